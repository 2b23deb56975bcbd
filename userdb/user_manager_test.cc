// Opening and closing the user database: the schema as SQLite's own
// catalogue describes it, reopening, the default profile, the lock file.
#include "userdb/user_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "userdb/userdb_test_util.h"

namespace {

using userdb_test::Row;
using userdb_test::UserDbTest;

// One column as PRAGMA table_info reports it: name, declared type, not null,
// default value, primary key position.
struct Column {
  const char* name;
  const char* type;
  const char* notnull;
  const char* dflt;
  const char* pk;
};

const std::map<std::string, std::vector<Column>>& ExpectedTables() {
  static const std::map<std::string, std::vector<Column>> tables = {
      {"user_table",
       {{"id", "INTEGER", "0", "NULL", "1"},
        {"attribute", "INTEGER", "0", "NULL", "0"},
        {"view_id", "INTEGER", "0", "NULL", "0"},
        {"name", "VARCHAR", "0", "NULL", "0"},
        {"uid", "INTEGER", "0", "NULL", "0"},
        {"gid", "INTEGER", "0", "NULL", "0"},
        {"user_type", "INTEGER", "1", "NULL", "0"},
        {"watch_path", "VARCHAR", "1", "NULL", "0"}}},
      {"session_table",
       {{"uid", "INTEGER", "0", "NULL", "0"},
        {"attribute", "INTEGER", "0", "0", "0"},
        {"group_id", "INTEGER", "0", "NULL", "0"},
        {"client", "VARCHAR", "0", "NULL", "0"},
        {"ip", "VARCHAR", "0", "NULL", "0"},
        {"ctime", "DATETIME", "0", "strftime('%s','now')", "0"},
        {"sess_id", "VARCHAR", "0", "NULL", "0"},
        {"client_type", "INTEGER", "0", "0", "0"},
        {"client_platform", "VARCHAR", "0", "'Unknown'", "0"}}},
      {"backup_task_table",
       {{"session", "VARCHAR", "0", "NULL", "0"},
        {"view_id", "INTEGER", "0", "NULL", "0"},
        {"relative_path", "VARCHAR", "0", "NULL", "0"},
        {"is_readonly", "INTEGER", "0", "NULL", "0"}}},
      {"config_table",
       {{"key", "VARCHAR", "0", "NULL", "0"}, {"value", "VARCHAR", "0", "NULL", "0"}}},
      {"profile_table",
       {{"id", "INTEGER", "0", "NULL", "1"},
        {"name", "VARCHAR", "1", "NULL", "0"},
        {"context", "VARCHAR", "1", "'{}'", "0"},
        {"attribute", "INTEGER", "0", "0", "0"}}},
      {"profile_apply_table",
       {{"profile_id", "INTEGER", "0", "NULL", "1"}, {"user_id", "INTEGAR", "0", "NULL", "2"}}},
      {"profile_apply_view_table",
       {{"profile_id", "INTEGER", "0", "NULL", "1"}, {"view_id", "INTEGER", "0", "NULL", "2"}}},
      {"rotate_setting_table",
       {{"view_id", "INTEGER", "0", "NULL", "1"},
        {"rotate_cnt", "INTEGER", "0", "NULL", "0"},
        {"rotate_policy", "VARCHAR", "0", "NULL", "0"}}},
  };
  return tables;
}

// Everything a database holds, as text: the catalogue and every row of every
// table, for comparing a database before and after an operation.
std::string Dump(const std::string& host_db) {
  std::string out;
  for (const Row& row : userdb_test::Query(
           host_db, "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name;")) {
    for (const std::string& field : row) out += field + "|";
    out += "\n";
  }
  for (const auto& table : ExpectedTables()) {
    for (const Row& row : userdb_test::Query(host_db, "SELECT * FROM " + table.first + ";")) {
      out += table.first + ":";
      for (const std::string& field : row) out += field + "|";
      out += "\n";
    }
  }
  return out;
}

TEST_F(UserDbTest, NewDatabaseHasTheSchema) {
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  EXPECT_TRUE(UserManager::IsOpen());

  // The eight tables (and SQLite's own table of AUTOINCREMENT counters).
  std::vector<Row> tables =
      Db("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;");
  std::vector<Row> expected_tables;
  for (const auto& table : ExpectedTables()) expected_tables.push_back({table.first});
  expected_tables.push_back({"sqlite_sequence"});
  std::sort(expected_tables.begin(), expected_tables.end());
  EXPECT_EQ(tables, expected_tables);

  for (const auto& table : ExpectedTables()) {
    std::vector<Row> columns =
        Db("SELECT name, type, \"notnull\", dflt_value, pk "
           "FROM pragma_table_info('" +
           table.first + "') ORDER BY cid;");
    ASSERT_EQ(columns.size(), table.second.size()) << table.first;
    for (size_t i = 0; i < columns.size(); ++i) {
      const Column& want = table.second[i];
      EXPECT_EQ(columns[i], (Row{want.name, want.type, want.notnull, want.dflt, want.pk}))
          << table.first << " column " << i;
    }
  }

  // The six named indexes, with their tables and columns.
  EXPECT_EQ(
      Db("SELECT m.name, m.tbl_name, group_concat(i.name) FROM sqlite_master AS m, "
         "pragma_index_info(m.name) AS i WHERE m.type = 'index' AND m.sql IS NOT NULL "
         "GROUP BY m.name ORDER BY m.name;"),
      (std::vector<Row>{{"profile_apply_id_idx", "profile_apply_table", "profile_id"},
                        {"profile_apply_uid_idx", "profile_apply_table", "user_id"},
                        {"profile_apply_view_id_idx", "profile_apply_view_table", "profile_id"},
                        {"profile_apply_view_vid_idx", "profile_apply_view_table", "view_id"},
                        {"profile_id_idx", "profile_table", "id"},
                        {"session_task_index", "backup_task_table", "session"}}));

  // Constraint indexes: unique names without regard to case, unique keys and
  // session ids, the composite primary keys.
  EXPECT_EQ(Db("SELECT l.\"unique\", l.origin, group_concat(x.name || ':' || x.coll) "
               "FROM sqlite_master AS m, pragma_index_list(m.name) AS l, "
               "pragma_index_xinfo(l.name) AS x WHERE m.type = 'table' AND l.origin <> 'c' "
               "AND x.key = 1 "
               "GROUP BY l.name ORDER BY m.name, l.name;"),
            (std::vector<Row>{{"1", "u", "key:BINARY"},
                              {"1", "pk", "profile_id:BINARY,user_id:BINARY"},
                              {"1", "pk", "profile_id:BINARY,view_id:BINARY"},
                              {"1", "u", "sess_id:BINARY"},
                              {"1", "u", "name:NOCASE"}}));

  // Conflict clauses are kept only in the stored statements.
  const std::pair<const char*, const char*> clauses[] = {
      {"sess_id VARCHAR UNIQUE ON CONFLICT ABORT", "1"},
      {"key VARCHAR UNIQUE ON CONFLICT ABORT", "1"},
      {"PRIMARY KEY (profile_id, user_id) ON CONFLICT IGNORE", "1"},
      {"PRIMARY KEY (profile_id, view_id) ON CONFLICT IGNORE", "1"},
      {"view_id INTEGER PRIMARY KEY ON CONFLICT REPLACE", "1"},
      {"id INTEGER PRIMARY KEY AUTOINCREMENT", "2"},  // user_table and profile_table
  };
  for (const auto& clause : clauses) {
    EXPECT_EQ(Db(std::string("SELECT count(*) FROM sqlite_master WHERE instr(sql, '") +
                 clause.first + "') > 0;"),
              (std::vector<Row>{{clause.second}}))
        << clause.first;
  }
  EXPECT_EQ(Db("SELECT \"table\", \"from\", \"to\" FROM pragma_foreign_key_list('session_table');"),
            (std::vector<Row>{{"user_table", "uid", "id"}}));

  // Seed rows: the version as stored by the column's text affinity, the view
  // id counter at 1, the default rotation and the default server profile.
  EXPECT_EQ(
      Db("SELECT key, value, typeof(value) FROM config_table ORDER BY rowid;"),
      (std::vector<Row>{
          {"version", "4150", "text"}, {"branch", "master", "text"}, {"view_id", "1", "text"}}));
  EXPECT_EQ(Db("SELECT view_id, rotate_cnt, rotate_policy FROM rotate_setting_table;"),
            (std::vector<Row>{{"0", "32", "fifo"}}));
  EXPECT_EQ(Db("SELECT id, name, context, attribute FROM profile_table;"),
            (std::vector<Row>{
                {"1", "internal for enc share", "{\"filtered_max_name_length\":143}", "7"}}));
  for (const char* empty : {"user_table", "session_table", "backup_task_table",
                            "profile_apply_table", "profile_apply_view_table"}) {
    EXPECT_EQ(Db(std::string("SELECT count(*) FROM ") + empty + ";"), (std::vector<Row>{{"0"}}))
        << empty;
  }

  // The lock file exists now, with mode 0644 under the usual umask.
  struct stat st;
  ASSERT_EQ(stat(sandbox_.Host("/tmp/user-mgr-lock-file").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_GE(UserManager::LockDescriptor(), 0);
  EXPECT_FALSE(UserManager::Seed().empty());
}

TEST_F(UserDbTest, ReopeningChangesNothing) {
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  UserManager::Close();
  // Rows that a running package would have written by now.
  Db("UPDATE config_table SET value = '17' WHERE key = 'view_id';"
     "INSERT INTO user_table (name, attribute, view_id, uid, gid, user_type, watch_path) "
     "VALUES ('alice', 0, 16, 1026, 100, 0, '/volume1/homes/alice/DriftVault');"
     "INSERT INTO rotate_setting_table VALUES (0, 5, 'lru');"
     "INSERT INTO rotate_setting_table VALUES (16, 3, 'fifo');"
     "INSERT INTO session_table (uid, sess_id) VALUES (1, 's1');");
  const std::string before = Dump(HostDb());
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
    UserManager::Close();
    EXPECT_EQ(Dump(HostDb()), before) << "reopen " << i;
  }
  EXPECT_NE(before.find("config_table:view_id|17|"), std::string::npos);
}

// Which existing profiles count as the default server profile (bit 0x2).
TEST_F(UserDbTest, DefaultProfileIsAddedOnlyWithoutBitTwo) {
  struct Case {
    int attribute;
    bool default_added;
  } cases[] = {{2, false}, {7, false}, {6, false}, {0, true}, {1, true}, {5, true}};
  for (const Case& c : cases) {
    unlink(HostDb().c_str());
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
    UserManager::Close();
    Db("DELETE FROM profile_table; INSERT INTO profile_table (name, attribute) VALUES ('own', " +
       std::to_string(c.attribute) + ");");
    ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
    UserManager::Close();
    std::vector<Row> expected = {{"own", std::to_string(c.attribute)}};
    if (c.default_added) expected.push_back({"internal for enc share", "7"});
    EXPECT_EQ(Db("SELECT name, attribute FROM profile_table ORDER BY id;"), expected)
        << "attribute " << c.attribute;
  }
}

TEST_F(UserDbTest, InitializeAndCloseAreIdempotent) {
  UserManager::Close();  // closed: nothing happens
  EXPECT_FALSE(UserManager::IsOpen());
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  const int fd = UserManager::LockDescriptor();
  const ustring seed = UserManager::Seed();
  // A second Initialize looks at neither the lock file nor the path.
  ASSERT_EQ(unlink(sandbox_.Host("/tmp/user-mgr-lock-file").c_str()), 0);
  EXPECT_EQ(UserManager::Initialize("/volume9/missing/user-db.sqlite"), 0);
  EXPECT_EQ(UserManager::LockDescriptor(), fd);
  EXPECT_EQ(UserManager::Seed(), seed);
  EXPECT_NE(access(sandbox_.Host("/tmp/user-mgr-lock-file").c_str(), F_OK), 0);
  int count = 0;
  ustring policy;
  EXPECT_EQ(UserManager::QueryRotateSettingTable(0, &count, &policy), 1);
  for (int i = 0; i < 2; ++i) {
    UserManager::Close();
    EXPECT_FALSE(UserManager::IsOpen());
    EXPECT_EQ(UserManager::LockDescriptor(), -1);
  }
  // Reopening after Close works from a clean state.
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  EXPECT_TRUE(UserManager::IsOpen());
  EXPECT_EQ(access(sandbox_.Host("/tmp/user-mgr-lock-file").c_str(), F_OK), 0);
}

TEST_F(UserDbTest, UnopenableLockFileFailsAndCloses) {
  // A folder where the lock file belongs cannot be opened for writing.
  sandbox_.MakeDir("/tmp/user-mgr-lock-file");
  EXPECT_EQ(UserManager::Initialize(userdb_test::kDbPath), -1);
  EXPECT_FALSE(UserManager::IsOpen());
  EXPECT_EQ(UserManager::LockDescriptor(), -1);
  EXPECT_NE(LogText().find("[ERROR] user-mgr("), std::string::npos);
  EXPECT_NE(LogText().find("): UserManager::Initialize: open: Is a directory"), std::string::npos)
      << LogText();
  // Operations of a closed class fail instead of touching a stale handle.
  std::vector<UserUsage> usages;
  EXPECT_EQ(UserManager::CollectUserData(&usages), -1);
  // The connection was closed: the database is not left locked, and a later
  // Initialize starts from the beginning.
  EXPECT_EQ(Db("SELECT count(*) FROM profile_table;"), (std::vector<Row>{{"1"}}));
  ASSERT_EQ(rmdir(sandbox_.Host("/tmp/user-mgr-lock-file").c_str()), 0);
  EXPECT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  EXPECT_GE(UserManager::LockDescriptor(), 0);
}

TEST_F(UserDbTest, OpenFailuresLeaveTheClassClosed) {
  struct Case {
    const char* what;
    std::string path;
    std::string log;
  } cases[] = {
      {"missing folder", "/volume1/@driftvault/missing/user-db.sqlite", "): sqlite3_open("},
      {"not a database", "/volume1/garbage.sqlite", "): sqlite3_exec: "},
  };
  sandbox_.Write("/volume1/garbage.sqlite", std::string(4096, 'x'));
  for (const Case& c : cases) {
    EXPECT_EQ(UserManager::Initialize(c.path), -1) << c.what;
    EXPECT_FALSE(UserManager::IsOpen()) << c.what;
    EXPECT_EQ(UserManager::LockDescriptor(), -1) << c.what;
    EXPECT_NE(LogText().find(c.log), std::string::npos) << c.what << "\n" << LogText();
  }
  EXPECT_EQ(sandbox_.Read("/volume1/garbage.sqlite"), std::string(4096, 'x'));
}

}  // namespace
