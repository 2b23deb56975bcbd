// A second, independent SQLite connection for tests: reads (or changes) a
// database file the way another process of the package would.
#ifndef DRIFT_BASE_TEST_QUERY_H_
#define DRIFT_BASE_TEST_QUERY_H_

#include <sqlite3.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace test_support {

typedef std::vector<std::string> Row;

// Runs `sql` on its own connection to the host file `host_db` (made when
// missing) and returns every row, each column as text ("NULL" for a null).
// Fails the test on an SQLite error.
inline std::vector<Row> Query(const std::string& host_db, const std::string& sql) {
  std::vector<Row> rows;
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  EXPECT_EQ(sqlite3_open_v2(host_db.c_str(), &db, flags, nullptr), SQLITE_OK) << host_db;
  sqlite3_busy_timeout(db, 60000);
  auto add_row = [](void* out, int n, char** values, char**) {
    static_cast<std::vector<Row>*>(out)->emplace_back();
    for (int i = 0; i < n; ++i) {
      static_cast<std::vector<Row>*>(out)->back().push_back(values[i] ? values[i] : "NULL");
    }
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), add_row, &rows, nullptr), SQLITE_OK)
      << sql << ": " << sqlite3_errmsg(db);
  sqlite3_close(db);
  return rows;
}

}  // namespace test_support

#endif  // DRIFT_BASE_TEST_QUERY_H_
