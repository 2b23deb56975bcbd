// Opening the package's SQLite files, shared by the sync, view and log
// database code.
//
// SQLite opens any file without reading it; a damaged file or one that is not
// a database at all only shows when the first statement runs.  OpenDatabase
// therefore reads the schema once before handing the connection out, so that
// every caller gets a clear failure at open time instead of a surprise later.
#ifndef DRIFT_PACKAGE_DB_SQLITE_FILE_H_
#define DRIFT_PACKAGE_DB_SQLITE_FILE_H_

#include <sqlite3.h>

#include <string>

namespace db {
namespace internal {

// How long a statement waits for a lock held by another process of the
// package (the daemons use the same files) before it fails with "busy".
constexpr int kBusyTimeoutMs = 30000;

// Opens the SQLite file at the host path `path` for reading and writing,
// creating it when `create` is true and it is missing, and checks that it is
// a readable database.  On success *db holds the connection; on failure *db
// is null, the file is left as it was and `err` says why.
bool OpenDatabase(const std::string& path, bool create, sqlite3** db, std::string* err);

// Runs one or more statements; false with the SQLite error text in `err`.
bool Exec(sqlite3* db, const char* sql, std::string* err);

// Closes a connection opened by OpenDatabase; null is accepted.
void CloseDatabase(sqlite3* db);

}  // namespace internal
}  // namespace db

#endif  // DRIFT_PACKAGE_DB_SQLITE_FILE_H_
