#include "package_db/sqlite_file.h"

#include <stdio.h>

namespace db {
namespace internal {

bool OpenDatabase(const std::string& path, bool create, sqlite3** db, std::string* err) {
  *db = nullptr;
  sqlite3* conn = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &conn, flags, nullptr);
  if (rc != SQLITE_OK) {
    *err = "open " + path + ": " + (conn != nullptr ? sqlite3_errmsg(conn) : sqlite3_errstr(rc));
    sqlite3_close(conn);
    return false;
  }
  sqlite3_busy_timeout(conn, kBusyTimeoutMs);
  // Reading the schema touches the file header and the schema table: a file
  // that is not a database fails here with "file is not a database".
  rc = sqlite3_exec(conn, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    *err = path + ": " + sqlite3_errmsg(conn);
    sqlite3_close(conn);
    return false;
  }
  *db = conn;
  return true;
}

bool Exec(sqlite3* db, const char* sql, std::string* err) {
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
  if (rc == SQLITE_OK) return true;
  *err = msg != nullptr ? msg : sqlite3_errstr(rc);
  sqlite3_free(msg);
  return false;
}

void CloseDatabase(sqlite3* db) {
  if (db != nullptr) sqlite3_close(db);
}

}  // namespace internal
}  // namespace db
