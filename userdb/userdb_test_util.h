// Helpers of the user database tests: a sandbox root with the platform's
// account and share files, and a second, independent SQLite connection
// (test_support::Query) that reads the database the way another process of
// the package would.
#ifndef DRIFT_USERDB_USERDB_TEST_UTIL_H_
#define DRIFT_USERDB_USERDB_TEST_UTIL_H_

#include <string>
#include <vector>

#include "base/test_query.h"
#include "base/test_root.h"
#include "gtest/gtest.h"
#include "userdb/user_manager.h"

namespace userdb_test {

// Appliance path of the database in every test root.
inline constexpr char kDbPath[] = "/volume1/@driftvault/@sync/user-db.sqlite";

using test_support::Query;
using test_support::Row;

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
