// The user-record operations on a real database file in a sandbox root, with
// the platform's users and shares read from the sandbox's files.
#include <sqlite3.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "userdb/user_manager.h"
#include "userdb/userdb_test_util.h"

namespace {

using userdb_test::Row;

// Names that must be stored and found byte for byte.
const char* const kAwkwardNames[] = {
    "o'brien",
    "100%",
    "%s%n%Q",
    "DOMAIN\\bob",
    "carol@ldap.example",
    "\xc3\x9cnal \xe6\x9d\x8e",  // "Ünal 李"
    "x'); DROP TABLE user_table;--",
    "\"quoted\"",
    "tab\tname",
};

class UserRecordsTest : public userdb_test::UserDbTest {
 protected:
  void SetUp() override {
    UserDbTest::SetUp();
    std::string passwd =
        "root:x:0:0:root:/root:/bin/sh\n"
        "alice:x:1026:100::/volume1/homes/alice:/bin/sh\n"
        "bob:x:1027:101::/volume1/homes/bob:/bin/sh\n"
        "nohome:x:1030:100::/volume1/homes/nohome:/bin/sh\n"
        "emptyhome:x:1033:100:::/bin/sh\n"
        "linked:x:1031:100::/var/services/homes/linked:/bin/sh\n"
        "moved:x:1034:100::/volume1/homes/moved:/bin/sh\n"
        "dangling:x:1032:100::/volume1/homes/dangling:/bin/sh\n"
        "ALICE:x:1040:100::/volume1/homes/ALICE:/bin/sh\n";
    uint32_t uid = 2000;
    for (const char* name : kAwkwardNames) {
      passwd += std::string(name) + ":x:" + std::to_string(uid++) + ":100::/volume1/homes/" + name +
                ":/bin/sh\n";
    }
    passwd += std::string(1000, 'n') + ":x:3000:100::/volume1/homes/long:/bin/sh\n";
    sandbox_.Write("/etc/passwd", passwd);
    sandbox_.MakeDir("/volume1/homes/alice");
    sandbox_.MakeDir("/volume1/homes/bob");
    sandbox_.MakeDir("/volume1/homes/linked");
    sandbox_.MakeDir("/var/services");
    // An absolute link target restarts at the system root.
    sandbox_.Link("/volume1/homes", "/var/services/homes");
    sandbox_.Link("/volume1/homes/gone", "/volume1/homes/dangling");
    // A home folder that is itself a link to another volume.
    sandbox_.MakeDir("/volume2/moved-home");
    sandbox_.Link("/volume2/moved-home", "/volume1/homes/moved");
    for (const char* name : kAwkwardNames) sandbox_.MakeDir(std::string("/volume1/homes/") + name);
    sandbox_.Write("/etc/tarn/shares.json",
                   "{\"shares\":["
                   "{\"name\":\"homes\",\"path\":\"/volume1/homes\",\"status\":0,\"type\":0},"
                   "{\"name\":\"secret\",\"path\":\"/volume1/secret\",\"status\":2,\"type\":0},"
                   "{\"name\":\"o'share\",\"path\":\"/volume1/o'share\",\"status\":0,\"type\":0}"
                   "]}\n");
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  }

  std::vector<Row> Users() {
    return Db(
        "SELECT id, name, attribute, view_id, uid, gid, user_type, watch_path "
        "FROM user_table ORDER BY id;");
  }
  std::string Counter() {
    return Db("SELECT value FROM config_table WHERE key = 'view_id';")[0][0];
  }
};

TEST_F(UserRecordsTest, LocalUsersGetTheirWatchPath) {
  struct Case {
    const char* name;
    const char* uid;
    const char* gid;
    const char* watch_path;
  } cases[] = {
      {"alice", "1026", "100", "/volume1/homes/alice/DriftVault"},
      {"nohome", "1030", "100", ""},     // home folder missing
      {"emptyhome", "1033", "100", ""},  // no home folder at all
      // The home is reached through a link: the resolved path is stored.
      {"linked", "1031", "100", "/volume1/homes/linked/DriftVault"},
      // The home folder is a link: its target is stored.
      {"moved", "1034", "100", "/volume2/moved-home/DriftVault"},
  };
  int id = 0;
  for (const Case& c : cases) {
    ++id;
    EXPECT_EQ(UserManager::AddUser(c.name, kUserTypeLocal, 0), 1) << c.name;
    const std::string ids = std::to_string(id);
    EXPECT_EQ(Users().back(), (Row{ids, c.name, "0", ids, c.uid, c.gid, "0", c.watch_path}))
        << c.name;
  }
  EXPECT_EQ(Counter(), "6");
}

TEST_F(UserRecordsTest, SameNameAgainAddsNothing) {
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  EXPECT_EQ(Counter(), "2");
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 0);
  // A platform account whose name differs only in letter case is the same
  // entry for the database.
  EXPECT_EQ(UserManager::AddUser("ALICE", kUserTypeLocal, 0), 0);
  EXPECT_EQ(Counter(), "2");
  EXPECT_EQ(UserManager::AddUser("bob", kUserTypeLocal, 0), 1);
  EXPECT_EQ(Users(),
            (std::vector<Row>{
                {"1", "alice", "0", "1", "1026", "100", "0", "/volume1/homes/alice/DriftVault"},
                {"4", "bob", "0", "2", "1027", "101", "0", "/volume1/homes/bob/DriftVault"},
            }));
  EXPECT_EQ(Counter(), "3");
}

TEST_F(UserRecordsTest, ShareEntries) {
  EXPECT_EQ(UserManager::AddUser("@homes", kUserTypeShare, 0), 1);
  EXPECT_EQ(UserManager::AddUser("@secret", kUserTypeShare, 0), 1);
  EXPECT_EQ(UserManager::AddUser("@o'share", kUserTypeShare, 0), 1);
  EXPECT_EQ(UserManager::AddUser("@homes", kUserTypeShare, 0), 0);
  EXPECT_EQ(Users(), (std::vector<Row>{
                         {"1", "@homes", "0", "1", "0", "0", "1", "/volume1/homes"},
                         {"2", "@secret", "8", "2", "0", "0", "1", "/volume1/secret"},
                         {"3", "@o'share", "0", "3", "0", "0", "1", "/volume1/o'share"},
                     }));
  std::vector<UserUsage> usages;
  ASSERT_EQ(UserManager::CollectUserData(&usages), 0);
  ASSERT_EQ(usages.size(), 3u);
  EXPECT_EQ(usages[2].name, "o'share");  // the other fields: CollectUserDataCountsSessions
}

TEST_F(UserRecordsTest, FailedLookupsAddNothing) {
  const std::string long_name(1000, 'n');
  struct Case {
    const char* name;
    int type;
    const char* log;
  } cases[] = {
      {"ghost", kUserTypeLocal, "): UserManager::AddUser: failed to open user ghost"},
      {"ghost@ldap", kUserTypeLdap, "): UserManager::AddUser: failed to open user ghost@ldap"},
      {"@nope", kUserTypeShare, "): UserManager::AddUser: failed to open share nope"},
      {"@", kUserTypeShare, "): UserManager::AddUser: failed to open share "},
      {"", kUserTypeShare, "): UserManager::AddUser: failed to open share "},
      {"dangling", kUserTypeLocal, "): TARNPathResolve: failed"},
      {long_name.c_str(), kUserTypeLocal, "): UserManager::AddUser: entry too long"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UserManager::AddUser(c.name, c.type, 0), -1) << c.name;
    EXPECT_NE(LogText().find(c.log), std::string::npos) << c.name << "\n" << LogText();
  }
  EXPECT_NE(LogText().find("): get watch path failed"), std::string::npos);
  // The share name is logged, never the entry name with its "@".
  EXPECT_EQ(LogText().find("open share @"), std::string::npos) << LogText();
  EXPECT_TRUE(Users().empty());
  EXPECT_EQ(Counter(), "1");
  // The database is still usable.
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
}

TEST_F(UserRecordsTest, AwkwardNamesAreStoredAndFoundExactly) {
  int id = 0;
  for (const char* name : kAwkwardNames) {
    ++id;
    const int type = strchr(name, '\\') ? kUserTypeDomain : strchr(name, '@') ? kUserTypeLdap : 0;
    ASSERT_EQ(UserManager::AddUser(name, type, 0), 1) << name;
    UserEntry entry;
    ASSERT_EQ(UserManager::GetUserByName(name, &entry), 0) << name;
    EXPECT_EQ(entry.name, name);
    EXPECT_EQ(entry.id, id);
    EXPECT_EQ(entry.view_id, static_cast<uint64_t>(id));
    EXPECT_EQ(entry.user_type, type);
    EXPECT_EQ(entry.watch_path, std::string("/volume1/homes/") + name + "/DriftVault");
    // The bytes in the file are the bytes given.
    EXPECT_EQ(Db("SELECT name FROM user_table WHERE id = " + std::to_string(id) + ";"),
              (std::vector<Row>{{name}}));
  }
  EXPECT_EQ(Db("SELECT count(*) FROM user_table;"),
            (std::vector<Row>{{std::to_string(sizeof(kAwkwardNames) / sizeof(kAwkwardNames[0]))}}));
  // Non-ASCII letters are compared exactly: another case of "Ü" is another name.
  UserEntry untouched;
  untouched.name = "sentinel";
  ASSERT_EQ(UserManager::GetUserByName("\xc3\xbcnal \xe6\x9d\x8e", &untouched), 0);
  EXPECT_EQ(untouched.name, "sentinel");
}

TEST_F(UserRecordsTest, GetUserByName) {
  ASSERT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  ASSERT_EQ(UserManager::AddUser("@homes", kUserTypeShare, 0), 1);
  ASSERT_EQ(UserManager::AddUser("bob", kUserTypeLocal, 0), 1);

  UserEntry entry;
  ASSERT_EQ(UserManager::GetUserByName("BoB", &entry), 0);  // ASCII case ignored
  EXPECT_EQ(entry.name, "bob");
  EXPECT_EQ(entry.id, 3);
  EXPECT_EQ(entry.view_id, 3u);
  EXPECT_EQ(entry.attribute, 0);
  EXPECT_EQ(entry.uid, 1027u);
  EXPECT_EQ(entry.gid, 101u);
  EXPECT_EQ(entry.user_type, kUserTypeLocal);
  EXPECT_EQ(entry.watch_path, "/volume1/homes/bob/DriftVault");

  // Share entries and unknown names leave the entry as it was.
  for (const char* name : {"@homes", "@HOMES", "homes", "carol", ""}) {
    UserEntry untouched;
    untouched.name = "sentinel";
    untouched.id = 77;
    EXPECT_EQ(UserManager::GetUserByName(name, &untouched), 0) << name;
    EXPECT_EQ(untouched.name, "sentinel") << name;
    EXPECT_EQ(untouched.id, 77) << name;
  }
}

// The statements are formatted into 1024-byte buffers: one that fills the
// buffer (1023 bytes and its NUL) runs, one byte more is refused whole.
TEST_F(UserRecordsTest, StatementsThatFillTheBufferRun) {
  const std::string get_sql =
      "SELECT name, id, view_id, attribute, uid, gid, user_type, watch_path FROM user_table "
      "WHERE NOT (user_type = 1) AND name = '';";
  const std::string add_sql =
      "BEGIN;INSERT OR IGNORE INTO user_table (name, attribute, view_id, uid, gid, user_type, "
      "watch_path) VALUES ('', 0, (SELECT value FROM config_table WHERE key = 'view_id'), "
      "3001, 100, 0, '');UPDATE config_table SET value = value + 1 WHERE changes() = 1 AND "
      "key = 'view_id';END;";
  std::string passwd = sandbox_.Read("/etc/passwd");
  for (size_t extra = 0; extra < 2; ++extra) {
    const std::string name(1023 - add_sql.size() + extra, static_cast<char>('a' + extra));
    passwd += name + ":x:3001:100::/volume1/homes/none:/bin/sh\n";
  }
  sandbox_.Write("/etc/passwd", passwd);
  for (size_t extra = 0; extra < 2; ++extra) {
    SCOPED_TRACE(extra);
    UserEntry entry;
    const std::string get_name(1023 - get_sql.size() + extra, 'g');
    EXPECT_EQ(UserManager::GetUserByName(get_name, &entry), extra == 0 ? 0 : -1);
    const std::string add_name(1023 - add_sql.size() + extra, static_cast<char>('a' + extra));
    EXPECT_EQ(UserManager::AddUser(add_name, kUserTypeLocal, 0), extra == 0 ? 1 : -1);
  }
  EXPECT_EQ(Db("SELECT length(name), uid, watch_path FROM user_table;"),
            (std::vector<Row>{{std::to_string(1023 - add_sql.size()), "3001", ""}}));
}

TEST_F(UserRecordsTest, LargeViewIdsAreReadWhole) {
  // A view id beyond 32 bits, as a long-lived installation may reach.
  Db("UPDATE config_table SET value = '8589934597' WHERE key = 'view_id';");
  ASSERT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  UserEntry entry;
  ASSERT_EQ(UserManager::GetUserByName("alice", &entry), 0);
  EXPECT_EQ(entry.view_id, 8589934597ull);
  EXPECT_EQ(Counter(), "8589934598");
}

TEST_F(UserRecordsTest, QueryRotateSettingTable) {
  Db("INSERT INTO rotate_setting_table VALUES (5, 3, 'lru');"
     "INSERT INTO rotate_setting_table VALUES (8589934597, 7, 'x''y');");
  struct Case {
    uint64_t view_id;
    int result;
    int count;
    const char* policy;
  } cases[] = {
      {0, 1, 32, "fifo"},  // the package-wide default of a new database
      {5, 1, 3, "lru"},        {8589934597ull, 1, 7, "x'y"},
      {6, 0, -5, "untouched"}, {18446744073709551615ull, 0, -5, "untouched"},
  };
  for (const Case& c : cases) {
    int count = -5;
    ustring policy = "untouched";
    EXPECT_EQ(UserManager::QueryRotateSettingTable(c.view_id, &count, &policy), c.result)
        << c.view_id;
    EXPECT_EQ(count, c.count) << c.view_id;
    EXPECT_EQ(policy, c.policy) << c.view_id;
  }
  // A second row for the same view replaces the first.
  Db("INSERT INTO rotate_setting_table VALUES (5, 9, 'fifo');");
  int count = 0;
  ustring policy;
  EXPECT_EQ(UserManager::QueryRotateSettingTable(5, &count, &policy), 1);
  EXPECT_EQ(count, 9);
  EXPECT_EQ(policy, "fifo");
}

TEST_F(UserRecordsTest, CollectUserDataCountsSessions) {
  std::vector<UserUsage> usages;
  ASSERT_EQ(UserManager::CollectUserData(&usages), 0);
  EXPECT_TRUE(usages.empty());

  ASSERT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  ASSERT_EQ(UserManager::AddUser("@secret", kUserTypeShare, 0), 1);
  ASSERT_EQ(UserManager::AddUser("bob", kUserTypeLocal, 0), 1);
  ASSERT_EQ(UserManager::AddUser("carol@ldap.example", kUserTypeLdap, 0), 1);
  Db("INSERT INTO session_table (uid, sess_id) VALUES (1, 'a1'), (1, 'a2'), (2, 's1'), "
     "(4, 'c1'), (4, 'c2'), (4, 'c3');"
     // A session of no entry counts nowhere; one without an id is not counted.
     "INSERT INTO session_table (uid, sess_id) VALUES (99, 'x1'), (3, NULL);");

  // Results are appended to what the sequence holds.
  UserUsage first;
  first.name = "kept";
  usages.push_back(first);
  ASSERT_EQ(UserManager::CollectUserData(&usages), 0);
  struct Want {
    int type;
    int attribute;
    const char* name;
    int sessions;
  } want[] = {{0, 0, "kept", 0},
              {kUserTypeLocal, 0, "alice", 2},
              {kUserTypeShare, 8, "secret", 1},
              {kUserTypeLocal, 0, "bob", 0},
              {kUserTypeLdap, 0, "carol@ldap.example", 3}};
  ASSERT_EQ(usages.size(), sizeof(want) / sizeof(want[0]));
  for (size_t i = 0; i < usages.size(); ++i) {
    EXPECT_EQ(usages[i].user_type, want[i].type) << i;
    EXPECT_EQ(usages[i].attribute, want[i].attribute) << i;
    EXPECT_EQ(usages[i].name, want[i].name) << i;
    EXPECT_EQ(usages[i].session_count, want[i].sessions) << i;
  }
}

TEST_F(UserRecordsTest, MalformedShareRowIsRefusedByTheRowReader) {
  // Written by hand, as an older or foreign writer might have: a share row
  // without its "@", and a share row whose name is missing.
  Db("INSERT INTO user_table (name, attribute, view_id, uid, gid, user_type, watch_path) "
     "VALUES ('plain', 0, 1, 0, 0, 1, '/volume1/plain'), (NULL, 0, 2, 0, 0, 1, '');");
  std::vector<UserUsage> usages;
  ASSERT_EQ(UserManager::CollectUserData(&usages), 0);
  ASSERT_EQ(usages.size(), 2u);
  EXPECT_EQ(usages[0].name, "lain");  // the first character goes, whatever it is
  EXPECT_EQ(usages[1].name, "");
  UserEntry entry;
  EXPECT_EQ(UserManager::GetUserByName("plain", &entry), 0);  // share rows are never read
  EXPECT_EQ(entry.name, "");
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
}

TEST_F(UserRecordsTest, ClosedDatabaseRefusesEveryOperation) {
  UserManager::Close();
  UserEntry entry;
  int count = 0;
  ustring policy;
  std::vector<UserUsage> usages;
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), -1);
  EXPECT_EQ(UserManager::GetUserByName("alice", &entry), -1);
  EXPECT_EQ(UserManager::QueryRotateSettingTable(0, &count, &policy), -1);
  EXPECT_EQ(UserManager::CollectUserData(&usages), -1);
}

}  // namespace
