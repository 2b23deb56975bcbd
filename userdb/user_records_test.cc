// The user-record operations on a real database file in a sandbox root, with
// the platform's users and shares read from the sandbox's files.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "userdb/user_manager.h"
#include "userdb/userdb_test_util.h"

namespace {

typedef std::vector<userdb_test::Row> Rows;

class UserRecordsTest : public userdb_test::UserDbTest {
 protected:
  void SetUp() override {
    UserDbTest::SetUp();
    sandbox_.Write("/etc/passwd",
                   "alice:x:1026:100::/volume1/homes/alice:/bin/sh\n"
                   "bob:x:1027:101::/volume1/homes/bob:/bin/sh\n"
                   "nohome:x:1030:100::/volume1/homes/nohome:/bin/sh\n"
                   "linked:x:1031:100::/var/services/homes/linked:/bin/sh\n"
                   "dangling:x:1032:100::/volume1/homes/dangling:/bin/sh\n"
                   "moved:x:1034:100::/volume1/homes/moved:/bin/sh\n"
                   "ALICE:x:1040:100::/volume1/homes/ALICE:/bin/sh\n"
                   "o'brien%s:x:1050:100::/volume1/homes/o'brien%s:/bin/sh\n"
                   "DOMAIN\\\xc3\x9c:x:1051:100:::/bin/sh\ncarol:x:1060:100:::/bin/sh\n" +
                       std::string(1000, 'n') + ":x:3000:100::/volume1/homes/n:/bin/sh\n");
    for (const char* home : {"alice", "bob", "linked", "o'brien%s"}) {
      sandbox_.MakeDir(std::string("/volume1/homes/") + home);
    }
    // An absolute link target restarts at the system root.
    sandbox_.MakeDir("/var/services");
    sandbox_.Link("/volume1/homes", "/var/services/homes");
    sandbox_.Link("/volume1/homes/gone", "/volume1/homes/dangling");
    sandbox_.MakeDir("/volume2/moved-home");
    sandbox_.Link("/volume2/moved-home", "/volume1/homes/moved");
    sandbox_.Write("/etc/tarn/shares.json",
                   "{\"shares\":[{\"name\":\"homes\",\"path\":\"/volume1/homes\",\"status\":0,"
                   "\"type\":0},{\"name\":\"secret\",\"path\":\"/volume1/secret\",\"status\":2,"
                   "\"type\":0}]}\n");
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  }
  std::string Counter() {
    return Db("SELECT value FROM config_table WHERE key = 'view_id';")[0][0];
  }
};

TEST_F(UserRecordsTest, AddAndGetUsers) {
  const std::string long_name(1000, 'n');
  const struct {
    const char* name;
    int type;
    int result;
    const char* row;  // view_id|uid|gid|attribute|watch_path of the new row, or the message
  } cases[] = {
      {"alice", kUserTypeLocal, 1, "1|1026|100|0|/volume1/homes/alice/DriftVault"},
      {"nohome", kUserTypeLocal, 1, "2|1030|100|0|"},
      // Reached through a link: the resolved path; a home that is a link: its target.
      {"linked", kUserTypeLocal, 1, "3|1031|100|0|/volume1/homes/linked/DriftVault"},
      {"moved", kUserTypeLocal, 1, "4|1034|100|0|/volume2/moved-home/DriftVault"},
      {"o'brien%s", kUserTypeLdap, 1, "5|1050|100|0|/volume1/homes/o'brien%s/DriftVault"},
      {"DOMAIN\\\xc3\x9c", kUserTypeDomain, 1, "6|1051|100|0|"},
      {"@homes", kUserTypeShare, 1, "7|0|0|0|/volume1/homes"},
      {"@secret", kUserTypeShare, 1, "8|0|0|8|/volume1/secret"},
      // The same name again, in any ASCII case: no entry, no view id used.
      {"alice", kUserTypeLocal, 0, nullptr},
      {"ALICE", kUserTypeLocal, 0, nullptr},
      {"@homes", kUserTypeShare, 0, nullptr},
      {"ghost", kUserTypeLocal, -1, "): UserManager::AddUser: failed to open user ghost"},
      {"@", kUserTypeShare, -1, "): UserManager::AddUser: failed to open share "},
      {"@nope", kUserTypeShare, -1, "): UserManager::AddUser: failed to open share nope"},
      {"dangling", kUserTypeLocal, -1, "): TARNPathResolve: failed"},
      {"dangling", kUserTypeLocal, -1, "): get watch path failed"},
      {long_name.c_str(), kUserTypeLocal, -1, "): UserManager::AddUser: entry too long"},
      {"bob", kUserTypeLocal, 1, "9|1027|101|0|/volume1/homes/bob/DriftVault"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = Counter();
    EXPECT_EQ(UserManager::AddUser(c.name, c.type, 0), c.result);
    if (c.result == 1) {
      EXPECT_EQ(Db("SELECT view_id || '|' || uid || '|' || gid || '|' || attribute || '|' || "
                   "watch_path, user_type, name FROM user_table ORDER BY id DESC LIMIT 1;"),
                (Rows{{c.row, std::to_string(c.type), c.name}}));
    }
    EXPECT_EQ(Counter(), std::to_string(std::stoi(before) + (c.result == 1 ? 1 : 0)));
    if (c.result < 0) {
      EXPECT_NE(LogText().find(c.row), std::string::npos) << LogText();
    }
  }
  EXPECT_EQ(LogText().find("open share @"), std::string::npos);  // the share's name is logged
  EXPECT_EQ(Db("SELECT count(*), max(id) FROM user_table;"), (Rows{{"9", "12"}}));

  UserEntry entry;
  ASSERT_EQ(UserManager::GetUserByName("BoB", &entry), 0);  // ASCII case ignored
  EXPECT_EQ(entry.name.str() + "|" + std::to_string(entry.id) + "|" +
                std::to_string(entry.view_id) + "|" + std::to_string(entry.attribute) + "|" +
                std::to_string(entry.uid) + "|" + std::to_string(entry.gid) + "|" +
                std::to_string(entry.user_type) + "|" + entry.watch_path.str(),
            "bob|12|9|0|1027|101|0|/volume1/homes/bob/DriftVault");
  // Share entries, unknown names and another case of a non-ASCII letter
  // leave the entry as it was.
  for (const char* name : {"@homes", "homes", "carol", "", "domain\\\xc3\xbc"}) {
    UserEntry untouched;
    untouched.name = "sentinel";
    EXPECT_EQ(UserManager::GetUserByName(name, &untouched), 0) << name;
    EXPECT_EQ(untouched.name, "sentinel") << name;
  }
  // A view id beyond 32 bits, as a long-lived installation may reach.
  Db("UPDATE config_table SET value = '8589934597' WHERE key = 'view_id';");
  ASSERT_EQ(UserManager::AddUser("carol", kUserTypeLocal, 0), 1);
  ASSERT_EQ(UserManager::GetUserByName("carol", &entry), 0);
  EXPECT_EQ(entry.view_id, 8589934597ull);
}

// The rotation setting of a view ("count policy", -5 and "untouched" when
// there is none) and the session count of every entry.
TEST_F(UserRecordsTest, RotationSettingsAndSessionCounts) {
  Db("INSERT INTO rotate_setting_table VALUES (8589934597, 7, 'x''y'), (9, 1, 'lru');"
     "INSERT INTO rotate_setting_table VALUES (9, 4, 'lru');");  // replaces the row before
  const std::pair<uint64_t, const char*> settings[] = {
      {0, "1 32 fifo"},  // the package-wide default of a new database
      {8589934597ull, "1 7 x'y"},
      {9, "1 4 lru"},
      {18446744073709551615ull, "0 -5 untouched"},
  };
  for (const auto& c : settings) {
    int count = -5;
    ustring policy = "untouched";
    const int found = UserManager::QueryRotateSettingTable(c.first, &count, &policy);
    EXPECT_EQ(std::to_string(found) + " " + std::to_string(count) + " " + policy.str(), c.second);
  }
  for (const char* name : {"alice", "@secret", "bob", "o'brien%s"}) {
    ASSERT_EQ(UserManager::AddUser(name, name[0] == '@' ? kUserTypeShare : kUserTypeLdap, 0), 1);
  }
  // A session of no entry counts nowhere; one without an id is not counted.
  // A share row written without its "@" loses its first character all the same.
  Db("INSERT INTO session_table (uid, sess_id) VALUES (1, 'a1'), (1, 'a2'), (2, 's1'), "
     "(4, 'c1'), (4, 'c2'), (4, 'c3'), (99, 'x1'), (3, NULL);"
     "INSERT INTO user_table (name, attribute, view_id, uid, gid, user_type, watch_path) "
     "VALUES ('plain', 0, 9, 0, 0, 1, '/volume1/plain');");
  std::vector<UserUsage> usages(1);  // results are appended
  usages[0].name = "kept";
  ASSERT_EQ(UserManager::CollectUserData(&usages), 0);
  std::string got;
  for (const UserUsage& u : usages) {
    got += std::to_string(u.user_type) + "/" + std::to_string(u.attribute) + "/" + u.name.str() +
           "/" + std::to_string(u.session_count) + " ";
  }
  EXPECT_EQ(got, "0/0/kept/0 2/0/alice/2 1/8/secret/1 2/0/bob/0 2/0/o'brien%s/3 1/0/lain/0 ");
}

TEST_F(UserRecordsTest, FailedInsertLeavesNoTransactionOpen) {
  Db("CREATE TRIGGER refuse BEFORE INSERT ON user_table BEGIN SELECT RAISE(ABORT, 'refused'); "
     "END;");
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), -1);
  EXPECT_NE(LogText().find("): UserManager::AddUser: sqlite3_exec(19): refused"), std::string::npos)
      << LogText();
  // Another process can write at once: no lock is left behind.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(HostDb().c_str(), &other), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(other, "DROP TRIGGER refuse;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(Counter(), "1");
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  // A closed database refuses every operation.
  UserManager::Close();
  UserEntry entry;
  int count = 0;
  ustring policy;
  std::vector<UserUsage> usages;
  EXPECT_EQ(UserManager::AddUser("bob", kUserTypeLocal, 0), -1);
  EXPECT_EQ(UserManager::GetUserByName("alice", &entry), -1);
  EXPECT_EQ(UserManager::QueryRotateSettingTable(0, &count, &policy), -1);
  EXPECT_EQ(UserManager::CollectUserData(&usages), -1);
}

}  // namespace
