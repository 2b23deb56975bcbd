#include "package_db/manager.h"

#include <errno.h>
#include <inttypes.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "cli/logger.h"
#include "package_db/sqlite_file.h"

namespace db {
namespace {

const char kComponent[] = "default_component";

// The sync folder data database: the package's own version of its layout
// and one row per view created.  View ids are unsigned 64-bit; SQLite keeps
// them in its signed 64-bit integers with the same bits.
const char kSyncSchema[] =
    "BEGIN IMMEDIATE TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "  key VARCHAR PRIMARY KEY ON CONFLICT REPLACE, value);"
    "CREATE TABLE IF NOT EXISTS view_table ("
    "  view_id INTEGER PRIMARY KEY,"
    "  ctime INTEGER NOT NULL DEFAULT (strftime('%s','now')));"
    "INSERT OR IGNORE INTO config_table VALUES ('version', 1);"
    "END TRANSACTION;";

// A view database: key/value settings of the view.  "view_id" (decimal
// text) ties the file to its view; "rotate_cnt" (integer) and
// "rotate_policy" (text) are set through ViewDBInterface.
const char kViewSchemaFormat[] =
    "BEGIN IMMEDIATE TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS view_config_table ("
    "  key VARCHAR PRIMARY KEY ON CONFLICT REPLACE, value);"
    "INSERT OR IGNORE INTO view_config_table VALUES ('view_id', %Q);"
    "END TRANSACTION;";

const char kKeyViewId[] = "view_id";
const char kKeyRotateCount[] = "rotate_cnt";
const char kKeyRotatePolicy[] = "rotate_policy";

std::mutex g_mutex;
sqlite3* g_sync_db = nullptr;  // GUARDED_BY(g_mutex)
std::string g_folder;          // GUARDED_BY(g_mutex)

std::string ViewIdText(uint64_t view_id) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%" PRIu64, view_id);
  return buf;
}

std::string ViewFolder(const std::string& folder, uint64_t view_id) {
  return folder + "/" + kViewFolderName + "/" + ViewIdText(view_id);
}

bool MakeFolder(const std::string& path, std::string* err) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    *err = "mkdir " + path + ": not a folder";
    return false;
  }
  *err = "mkdir " + path + ": " + strerror(errno);
  return false;
}

// Runs a schema script; a failure part-way rolls the transaction back so that
// the connection is not left inside it.
bool ApplySchema(sqlite3* db, const char* sql, std::string* err) {
  if (internal::Exec(db, sql, err)) return true;
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return false;
}

// Reads one value of view_config_table.  Returns SQLITE_ROW with the
// statement positioned on the value, SQLITE_DONE when the key is missing,
// or an error code.  The caller finalizes *stmt.
int SelectSetting(sqlite3* db, const char* key, sqlite3_stmt** stmt) {
  int rc = sqlite3_prepare_v2(db, "SELECT value FROM view_config_table WHERE key = ?1;", -1, stmt,
                              nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_bind_text(*stmt, 1, key, -1, SQLITE_STATIC);
  return sqlite3_step(*stmt);
}

void LogError(int line, const std::string& what) {
  Logger::Log(3, kComponent, "[ERROR] package-db(%d): %s\n", line, what.c_str());
}

}  // namespace

ViewDBInterface::~ViewDBInterface() { Close(); }

void ViewDBInterface::Close() {
  internal::CloseDatabase(db_);
  db_ = nullptr;
  view_id_ = 0;
}

namespace {

int StoreSetting(sqlite3* db, const char* key, sqlite3_int64* number, const std::string* text) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "INSERT INTO view_config_table (key, value) VALUES (?1, ?2);", -1,
                              &stmt, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
    if (number != nullptr) {
      sqlite3_bind_int64(stmt, 2, *number);
    } else {
      sqlite3_bind_text(stmt, 2, text->data(), static_cast<int>(text->size()), SQLITE_STATIC);
    }
    rc = sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    LogError(__LINE__, std::string("cannot store ") + key + ": " + sqlite3_errmsg(db));
    return -1;
  }
  return 0;
}

}  // namespace

int ViewDBInterface::SetRotateCount(int count) {
  if (db_ == nullptr || count < 0) return -1;
  sqlite3_int64 value = count;
  return StoreSetting(db_, kKeyRotateCount, &value, nullptr);
}

int ViewDBInterface::SetRotatePolicy(const std::string& policy) {
  if (db_ == nullptr || policy.empty() || policy.size() > kMaxPolicyLength) return -1;
  return StoreSetting(db_, kKeyRotatePolicy, nullptr, &policy);
}

int ViewDBInterface::GetRotateCount(int* count) const {
  if (db_ == nullptr) return -1;
  sqlite3_stmt* stmt = nullptr;
  int result = -1;
  if (SelectSetting(db_, kKeyRotateCount, &stmt) == SQLITE_ROW &&
      sqlite3_column_type(stmt, 0) == SQLITE_INTEGER) {
    sqlite3_int64 value = sqlite3_column_int64(stmt, 0);
    if (value >= 0 && value <= INT32_MAX) {
      *count = static_cast<int>(value);
      result = 0;
    }
  }
  sqlite3_finalize(stmt);
  return result;
}

int ViewDBInterface::GetRotatePolicy(std::string* policy) const {
  if (db_ == nullptr) return -1;
  sqlite3_stmt* stmt = nullptr;
  int result = -1;
  if (SelectSetting(db_, kKeyRotatePolicy, &stmt) == SQLITE_ROW &&
      sqlite3_column_type(stmt, 0) == SQLITE_TEXT) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    policy->assign(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, 0));
    result = 0;
  }
  sqlite3_finalize(stmt);
  return result;
}

int Manager::Initialize(const std::string& folder) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_sync_db != nullptr) {
    if (folder == g_folder) return 0;
    LogError(__LINE__, "already initialized for " + g_folder + ", not " + folder);
    return -1;
  }
  struct stat st;
  if (folder.empty() || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    LogError(__LINE__, "database folder " + folder + " does not exist");
    return -1;
  }
  std::string err;
  sqlite3* db = nullptr;
  if (!internal::OpenDatabase(folder + "/" + kSyncDbName, true, &db, &err) ||
      !ApplySchema(db, kSyncSchema, &err)) {
    internal::CloseDatabase(db);
    LogError(__LINE__, "sync folder data database: " + err);
    return -1;
  }
  g_sync_db = db;
  g_folder = folder;
  return 0;
}

int Manager::CreateView(uint64_t view_id) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_sync_db == nullptr) {
    LogError(__LINE__, "CreateView: not initialized");
    return -1;
  }
  std::string err;
  const std::string view_folder = ViewFolder(g_folder, view_id);
  if (!MakeFolder(g_folder + "/" + kViewFolderName, &err) || !MakeFolder(view_folder, &err)) {
    LogError(__LINE__, err);
    return -1;
  }
  const std::string path = view_folder + "/" + kViewDbName;
  struct stat st;
  const bool existed = lstat(path.c_str(), &st) == 0;
  sqlite3* db = nullptr;
  char* schema = sqlite3_mprintf(kViewSchemaFormat, ViewIdText(view_id).c_str());
  bool ok = schema != nullptr && internal::OpenDatabase(path, true, &db, &err) &&
            ApplySchema(db, schema, &err);
  sqlite3_free(schema);
  internal::CloseDatabase(db);
  if (!ok) {
    // Only a file made by this call is removed again; an existing one, even a
    // damaged one, is somebody's data.
    if (!existed) unlink(path.c_str());
    LogError(__LINE__, "view database " + path + ": " + (err.empty() ? "out of memory" : err));
    return -1;
  }
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(g_sync_db, "INSERT OR IGNORE INTO view_table (view_id) VALUES (?1);",
                              -1, &stmt, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(view_id));
    rc = sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    LogError(__LINE__, std::string("cannot record view: ") + sqlite3_errmsg(g_sync_db));
    return -1;
  }
  return 0;
}

int Manager::GetViewDB(uint64_t view_id, ViewDBInterface* view) {
  if (view == nullptr) return -1;
  view->Close();
  std::string path;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_sync_db == nullptr) {
      LogError(__LINE__, "GetViewDB: not initialized");
      return -1;
    }
    path = ViewFolder(g_folder, view_id) + "/" + kViewDbName;
  }
  std::string err;
  sqlite3* db = nullptr;
  if (!internal::OpenDatabase(path, false, &db, &err)) {
    LogError(__LINE__, "view database: " + err);
    return -1;
  }
  // The file must be the view database of this very view.
  sqlite3_stmt* stmt = nullptr;
  bool matches = false;
  if (SelectSetting(db, kKeyViewId, &stmt) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    matches = text != nullptr && ViewIdText(view_id) == reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(stmt);
  if (!matches) {
    LogError(__LINE__, path + " is not the view database of view " + ViewIdText(view_id));
    internal::CloseDatabase(db);
    return -1;
  }
  view->db_ = db;
  view->view_id_ = view_id;
  return 0;
}

void Manager::Destroy(bool optimize) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_sync_db == nullptr) return;
  if (optimize) sqlite3_exec(g_sync_db, "PRAGMA optimize;", nullptr, nullptr, nullptr);
  internal::CloseDatabase(g_sync_db);
  g_sync_db = nullptr;
  g_folder.clear();
}

bool Manager::IsInitialized() {
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_sync_db != nullptr;
}

}  // namespace db
