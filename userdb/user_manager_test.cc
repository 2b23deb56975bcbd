// Opening and closing the user database: the schema as SQLite's own
// catalogue describes it, the default profile, the lock file.
#include "userdb/user_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "userdb/userdb_test_util.h"

namespace {

using userdb_test::Row;
using userdb_test::UserDbTest;
typedef std::vector<Row> Rows;

// Every table with its columns as PRAGMA table_info reports them: name,
// declared type, not null, default value, primary key position.
const std::pair<const char*, const char*> kTables[] = {
    {"backup_task_table",
     "session VARCHAR 0 NULL 0,view_id INTEGER 0 NULL 0,relative_path VARCHAR 0 NULL 0,"
     "is_readonly INTEGER 0 NULL 0"},
    {"config_table", "key VARCHAR 0 NULL 0,value VARCHAR 0 NULL 0"},
    {"profile_apply_table", "profile_id INTEGER 0 NULL 1,user_id INTEGAR 0 NULL 2"},
    {"profile_apply_view_table", "profile_id INTEGER 0 NULL 1,view_id INTEGER 0 NULL 2"},
    {"profile_table",
     "id INTEGER 0 NULL 1,name VARCHAR 1 NULL 0,context VARCHAR 1 '{}' 0,attribute INTEGER 0 0 0"},
    {"rotate_setting_table",
     "view_id INTEGER 0 NULL 1,rotate_cnt INTEGER 0 NULL 0,rotate_policy VARCHAR 0 NULL 0"},
    {"session_table",
     "uid INTEGER 0 NULL 0,attribute INTEGER 0 0 0,group_id INTEGER 0 NULL 0,client VARCHAR 0 NULL "
     "0,ip VARCHAR 0 NULL 0,ctime DATETIME 0 strftime('%s','now') 0,sess_id VARCHAR 0 NULL 0,"
     "client_type INTEGER 0 0 0,client_platform VARCHAR 0 'Unknown' 0"},
    {"user_table",
     "id INTEGER 0 NULL 1,attribute INTEGER 0 NULL 0,view_id INTEGER 0 NULL 0,name VARCHAR 0 NULL "
     "0,uid INTEGER 0 NULL 0,gid INTEGER 0 NULL 0,user_type INTEGER 1 NULL 0,watch_path VARCHAR 1 "
     "NULL 0"},
};

TEST_F(UserDbTest, NewDatabaseHasTheSchema) {
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  EXPECT_TRUE(UserManager::IsOpen());
  for (const auto& table : kTables) {
    EXPECT_EQ(Db(std::string("SELECT group_concat(name || ' ' || type || ' ' || \"notnull\" || ' '"
                             " || ifnull(dflt_value, 'NULL') || ' ' || pk, ',') FROM "
                             "pragma_table_info('") +
                 table.first + "');"),
              (Rows{{table.second}}));
  }
  // The constraints (unique names in any case, replaced rotation rows) show
  // through the record operations.
  EXPECT_EQ(Db("SELECT count(*) FROM sqlite_master WHERE type = 'table';"), (Rows{{"9"}}));
  EXPECT_EQ(Db("SELECT \"table\", \"from\", \"to\" FROM pragma_foreign_key_list('session_table');"),
            (Rows{{"user_table", "uid", "id"}}));
  // Seed rows: the version as stored by the column's text affinity, the view
  // id counter at 1, the default rotation and the default server profile.
  EXPECT_EQ(
      Db("SELECT key, value, typeof(value) FROM config_table ORDER BY rowid;"),
      (Rows{{"version", "4150", "text"}, {"branch", "master", "text"}, {"view_id", "1", "text"}}));
  EXPECT_EQ(Db("SELECT * FROM rotate_setting_table;"), (Rows{{"0", "32", "fifo"}}));
  EXPECT_EQ(Db("SELECT * FROM profile_table;"),
            (Rows{{"1", "internal for enc share", "{\"filtered_max_name_length\":143}", "7"}}));
  EXPECT_EQ(Db("SELECT (SELECT count(*) FROM user_table) + (SELECT count(*) FROM session_table) + "
               "(SELECT count(*) FROM backup_task_table) + (SELECT count(*) FROM "
               "profile_apply_table) + (SELECT count(*) FROM profile_apply_view_table);"),
            (Rows{{"0"}}));
  struct stat st;
  ASSERT_EQ(stat(sandbox_.Host("/tmp/user-mgr-lock-file").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_FALSE(UserManager::Seed().empty());
  // A second Initialize looks at neither the lock file nor the path; Close
  // is idempotent.
  const int fd = UserManager::LockDescriptor();
  EXPECT_GE(fd, 0);
  ASSERT_EQ(unlink(sandbox_.Host("/tmp/user-mgr-lock-file").c_str()), 0);
  EXPECT_EQ(UserManager::Initialize("/volume9/missing/user-db.sqlite"), 0);
  EXPECT_EQ(UserManager::LockDescriptor(), fd);
  for (int i = 0; i < 2; ++i) {
    UserManager::Close();
    EXPECT_FALSE(UserManager::IsOpen());
    EXPECT_EQ(UserManager::LockDescriptor(), -1);
  }
}

// Which existing profiles count as the default server profile (bit 0x2).
TEST_F(UserDbTest, DefaultProfileIsAddedOnlyWithoutBitTwo) {
  for (const auto& c : {std::make_pair(2, false), std::make_pair(7, false), std::make_pair(0, true),
                        std::make_pair(5, true)}) {
    unlink(HostDb().c_str());
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
    UserManager::Close();
    const std::string own = std::to_string(c.first);
    Db("DELETE FROM profile_table; INSERT INTO profile_table (name, attribute) VALUES ('own', " +
       own + ");");
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
    UserManager::Close();
    Rows expected = {{"own", own}};
    if (c.second) expected.push_back({"internal for enc share", "7"});
    EXPECT_EQ(Db("SELECT name, attribute FROM profile_table ORDER BY id;"), expected) << own;
  }
}

TEST_F(UserDbTest, OpenFailuresLeaveTheClassClosed) {
  sandbox_.Write("/volume1/garbage.sqlite", std::string(4096, 'x'));
  const std::pair<std::string, const char*> cases[] = {
      {"/volume1/@driftvault/missing/user-db.sqlite", "): sqlite3_open("},
      {"/volume1/garbage.sqlite", "): sqlite3_exec: "},
      // A folder where the lock file belongs cannot be opened for writing.
      {"lock", "): UserManager::Initialize: open: Is a directory"},
  };
  for (const auto& c : cases) {
    if (c.first == "lock") sandbox_.MakeDir("/tmp/user-mgr-lock-file");
    EXPECT_EQ(UserManager::Initialize(c.first == "lock" ? userdb_test::kDbPath : c.first), -1);
    EXPECT_FALSE(UserManager::IsOpen()) << c.first;
    EXPECT_EQ(UserManager::LockDescriptor(), -1) << c.first;
    EXPECT_NE(LogText().find(c.second), std::string::npos) << c.first << "\n" << LogText();
  }
  EXPECT_NE(LogText().find("[ERROR] user-mgr("), std::string::npos);
  EXPECT_EQ(sandbox_.Read("/volume1/garbage.sqlite"), std::string(4096, 'x'));
  // The connection was closed: the database is not left locked, and a later
  // Initialize starts from the beginning.
  EXPECT_EQ(Db("SELECT count(*) FROM profile_table;"), (Rows{{"1"}}));
  ASSERT_EQ(rmdir(sandbox_.Host("/tmp/user-mgr-lock-file").c_str()), 0);
  EXPECT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  EXPECT_GE(UserManager::LockDescriptor(), 0);
}

}  // namespace
