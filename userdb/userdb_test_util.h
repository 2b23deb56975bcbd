// Helpers of the user database tests: a sandbox root with the platform's
// account and share files, and a second, independent SQLite connection that
// reads the database the way another process of the package would.
#ifndef DRIFT_USERDB_USERDB_TEST_UTIL_H_
#define DRIFT_USERDB_USERDB_TEST_UTIL_H_

#include <sqlite3.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "gtest/gtest.h"
#include "userdb/user_manager.h"

namespace userdb_test {

// Appliance path of the database in every test root.
inline constexpr char kDbPath[] = "/volume1/@driftvault/@sync/user-db.sqlite";

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

// A sandbox root with one volume, the database folder and the lock folder,
// the log captured into the sandbox.  The user database is closed again when
// the fixture ends (the sandbox detaches the logger).
class UserDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.MakeDir("/volume1/@driftvault/@sync");
    sandbox_.MakeDir("/tmp");
    sandbox_.Write("/etc/tarn/volumes.json",
                   "{\"volumes\":[{\"path\":\"/volume1\",\"type\":2}]}\n");
    sandbox_.Write("/userdb.debug", "user_mgr_debug=3\ndefault_component=3\n");
    sandbox_.CaptureLog("/userdb.log", "/userdb.debug");
  }

  void TearDown() override { UserManager::Close(); }

  std::string HostDb() const { return sandbox_.Host(kDbPath); }
  std::vector<Row> Db(const std::string& sql) const { return Query(HostDb(), sql); }
  std::string LogText() const { return sandbox_.LogText(); }

  test_support::TestRoot sandbox_;
};

}  // namespace userdb_test

#endif  // DRIFT_USERDB_USERDB_TEST_UTIL_H_
