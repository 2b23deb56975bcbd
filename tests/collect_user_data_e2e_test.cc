// drift-control service --collect-user-data against a sandbox appliance: the
// exact line printed for the user database on the database volume.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"
#include "userdb/user_manager.h"

namespace {

const char kDbPath[] = "/volume1/@driftvault/@sync/user-db.sqlite";

class CollectUserDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(sandbox_.Host("/volume1/@driftvault").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sandbox_.Host("/volume1/@driftvault/@sync").c_str(), 0755), 0);
    sandbox_.Write("/var/packages/DriftVault/etc/db-path.conf", "db-vol=\"/volume1\"\n");
  }

  // Adds entries the way service start does, from this process, against the
  // sandbox's users and shares.
  void AddEntries(const std::vector<std::pair<std::string, int>>& entries) {
    setenv("DRIFT_ROOT", sandbox_.root().c_str(), 1);
    ASSERT_EQ(UserManager::Initialize(kDbPath), 0);
    for (const auto& entry : entries) {
      EXPECT_EQ(UserManager::AddUser(entry.first, entry.second, 0), 1) << entry.first;
    }
    UserManager::Close();
    unsetenv("DRIFT_ROOT");
  }

  void Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(sandbox_.Host(kDbPath).c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }

  void ExpectPrinted(const std::string& line) {
    e2e::RunResult run = sandbox_.Tool({"service", "--collect-user-data"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, line);
    EXPECT_EQ(run.err, "");
  }

  e2e::Sandbox sandbox_;
};

TEST_F(CollectUserDataTest, NewDatabaseIsCreatedAndEmpty) {
  ExpectPrinted("{\"user\":[],\"version\":4164}\n");
  EXPECT_TRUE(sandbox_.Exists(kDbPath));
  EXPECT_TRUE(sandbox_.Exists("/tmp/user-mgr-lock-file"));
  // And once more on the existing database.
  ExpectPrinted("{\"user\":[],\"version\":4164}\n");
}

TEST_F(CollectUserDataTest, LocalUserWithTwoSessions) {
  AddEntries({{"alice", kUserTypeLocal}});
  Sql("INSERT INTO session_table (uid, sess_id, client) VALUES (1, 's-1', 'laptop'), "
      "(1, 's-2', 'phone');");
  ExpectPrinted("{\"user\":[{\"session_count\":2,\"type\":0}],\"version\":4164}\n");
}

TEST_F(CollectUserDataTest, ShareEntryIsCountedLikeAnyOther) {
  AddEntries({{"alice", kUserTypeLocal}, {"@homes", kUserTypeShare}, {"bob", kUserTypeLocal}});
  Sql("INSERT INTO session_table (uid, sess_id) VALUES (1, 'a'), (1, 'b'), (2, 'h');");
  ExpectPrinted(
      "{\"user\":[{\"session_count\":2,\"type\":0},{\"session_count\":1,\"type\":1},"
      "{\"session_count\":0,\"type\":0}],\"version\":4164}\n");
}

TEST_F(CollectUserDataTest, WithoutADatabaseVolumeNothingIsPrinted) {
  struct Case {
    const char* what;
    const char* db_path_conf;  // null: no db-path.conf at all
  } cases[] = {
      {"no db-path.conf", nullptr},
      {"no db-vol key", "other=\"x\"\n"},
      // The volume is named but its database folder is missing.
      {"no database folder", "db-vol=\"/volume9\"\n"},
  };
  for (const Case& c : cases) {
    if (c.db_path_conf == nullptr) {
      ASSERT_EQ(unlink(sandbox_.Host("/var/packages/DriftVault/etc/db-path.conf").c_str()), 0);
    } else {
      sandbox_.Write("/var/packages/DriftVault/etc/db-path.conf", c.db_path_conf);
    }
    e2e::RunResult run = sandbox_.Tool({"service", "--collect-user-data"});
    EXPECT_EQ(run.exit_status, 0) << c.what;
    EXPECT_EQ(run.out, "") << c.what;
    EXPECT_EQ(run.err, "") << c.what;
  }
  EXPECT_FALSE(sandbox_.Exists("/volume9"));
}

TEST_F(CollectUserDataTest, UnreadableDatabasePrintsNothing) {
  sandbox_.Write(kDbPath, std::string(8192, 'z'));
  e2e::RunResult run = sandbox_.Tool({"service", "--collect-user-data"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(sandbox_.Read(kDbPath), std::string(8192, 'z'));
}

}  // namespace
