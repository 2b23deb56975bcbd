#include "package_db/log_manager.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <mutex>

#include "cli/logger.h"
#include "package_db/sqlite_file.h"

namespace db {
namespace {

const char kComponent[] = "default_component";

const char kLogSchema[] =
    "BEGIN IMMEDIATE TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS log_table ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  type INTEGER NOT NULL,"
    "  action INTEGER NOT NULL,"
    "  user VARCHAR NOT NULL,"
    "  time INTEGER NOT NULL,"
    "  path VARCHAR NOT NULL,"
    "  client_type INTEGER NOT NULL,"
    "  result INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS log_list_table ("
    "  log_id INTEGER NOT NULL REFERENCES log_table (id),"
    "  list INTEGER NOT NULL,"
    "  pos INTEGER NOT NULL,"
    "  value VARCHAR NOT NULL,"
    "  PRIMARY KEY (log_id, list, pos));"
    "CREATE INDEX IF NOT EXISTS log_time_idx ON log_table (time);"
    "END TRANSACTION;";

std::mutex g_mutex;
sqlite3* g_log_db = nullptr;  // GUARDED_BY(g_mutex)
std::string g_folder;         // GUARDED_BY(g_mutex)

void LogError(int line, const std::string& what) {
  Logger::Log(3, kComponent, "[ERROR] package-db(%d): %s\n", line, what.c_str());
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// Inserts the row of `log` and its list entries; the caller holds the
// transaction.  SQLITE_DONE on success.
int InsertRows(sqlite3* db, const Log& log) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db,
                              "INSERT INTO log_table (type, action, user, time, path, "
                              "client_type, result) VALUES (?1, ?2, ?3, "
                              "CASE WHEN ?4 = 0 THEN strftime('%s','now') ELSE ?4 END, "
                              "?5, ?6, ?7);",
                              -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_bind_int(stmt, 1, log.type);
  sqlite3_bind_int(stmt, 2, log.action);
  BindText(stmt, 3, log.user);
  sqlite3_bind_int64(stmt, 4, log.time);
  BindText(stmt, 5, log.path);
  sqlite3_bind_int(stmt, 6, log.client_type);
  sqlite3_bind_int(stmt, 7, log.result);
  rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return rc;
  const sqlite3_int64 id = sqlite3_last_insert_rowid(db);

  rc = sqlite3_prepare_v2(db,
                          "INSERT INTO log_list_table (log_id, list, pos, value) "
                          "VALUES (?1, ?2, ?3, ?4);",
                          -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = SQLITE_DONE;
  const std::vector<std::string>* lists[] = {&log.targets, &log.params};
  for (int list = 0; list < 2 && rc == SQLITE_DONE; ++list) {
    for (size_t pos = 0; pos < lists[list]->size() && rc == SQLITE_DONE; ++pos) {
      sqlite3_reset(stmt);
      sqlite3_bind_int64(stmt, 1, id);
      sqlite3_bind_int(stmt, 2, list);
      sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(pos));
      BindText(stmt, 4, (*lists[list])[pos]);
      rc = sqlite3_step(stmt);
    }
  }
  sqlite3_finalize(stmt);
  return rc;
}

}  // namespace

int LogManager::Initialize(const std::string& folder) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_log_db != nullptr) {
    if (folder == g_folder) return 0;
    LogError(__LINE__, "log database already open for " + g_folder + ", not " + folder);
    return -1;
  }
  struct stat st;
  if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    LogError(__LINE__, "database folder " + folder + " does not exist");
    return -1;
  }
  std::string err;
  sqlite3* db = nullptr;
  if (!internal::OpenDatabase(folder + "/" + kLogDbName, true, &db, &err)) {
    LogError(__LINE__, "log database: " + err);
    return -1;
  }
  if (!internal::Exec(db, kLogSchema, &err)) {
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    internal::CloseDatabase(db);
    LogError(__LINE__, "log database: " + err);
    return -1;
  }
  g_log_db = db;
  g_folder = folder;
  return 0;
}

int LogManager::InsertLog(const Log& log) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_log_db == nullptr) {
    LogError(__LINE__, "InsertLog: log database not open");
    return -1;
  }
  std::string err;
  if (!internal::Exec(g_log_db, "BEGIN IMMEDIATE TRANSACTION;", &err)) {
    LogError(__LINE__, "InsertLog: " + err);
    return -1;
  }
  int rc = InsertRows(g_log_db, log);
  if (rc != SQLITE_DONE) {
    LogError(__LINE__, std::string("InsertLog: ") + sqlite3_errmsg(g_log_db));
    sqlite3_exec(g_log_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return -1;
  }
  if (!internal::Exec(g_log_db, "COMMIT;", &err)) {
    LogError(__LINE__, "InsertLog: " + err);
    if (!sqlite3_get_autocommit(g_log_db)) {
      sqlite3_exec(g_log_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    return -1;
  }
  return 0;
}

void LogManager::Destroy() {
  std::lock_guard<std::mutex> hold(g_mutex);
  internal::CloseDatabase(g_log_db);
  g_log_db = nullptr;
  g_folder.clear();
}

}  // namespace db
