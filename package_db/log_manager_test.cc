#include "package_db/log_manager.h"

#include <sqlite3.h>
#include <time.h>

#include "base/test_root.h"
#include "gtest/gtest.h"

namespace db {
namespace {

// Every record in insertion order, read with a connection of its own, as
// "time?|type|action|user|path|client_type|result|targets|params" where
// time? is "now" for a time within [since, now].
std::string ReadRows(const std::string& file, int64_t since) {
  const char* sql =
      "SELECT time, type || '|' || action || '|' || user || '|' || path || '|' || client_type || "
      "'|' || result || '|' || ifnull((SELECT group_concat(value) FROM (SELECT value FROM "
      "log_list_table WHERE log_id = l.id AND list = 0 ORDER BY pos)), '') || '|' || "
      "ifnull((SELECT group_concat(value) FROM (SELECT value FROM log_list_table WHERE log_id = "
      "l.id AND list = 1 ORDER BY pos)), '') FROM log_table AS l ORDER BY id";
  std::string rows;
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const int64_t t = sqlite3_column_int64(stmt, 0);
    rows += (t >= since && t <= time(nullptr) ? "now" : std::to_string(t)) + "|" +
            reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)) + "\n";
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

TEST(LogManagerTest, RecordsReadBackAndFailuresWithoutADatabase) {
  test_support::TestRoot root("package-db-log-test");
  root.MakeDir("/db");
  const std::string dir = root.Host("/db");
  EXPECT_EQ(LogManager::InsertLog(Log()), -1);  // not initialised
  EXPECT_EQ(LogManager::Initialize(dir + "/missing"), -1);
  const int64_t before = time(nullptr);
  ASSERT_EQ(LogManager::Initialize(dir), 0);
  EXPECT_EQ(LogManager::Initialize(dir), 0);
  EXPECT_EQ(LogManager::Initialize("/tmp"), -1);  // another folder while open
  ASSERT_EQ(LogManager::InsertLog(
                Log{3, -4, "alice", 1700000000, "/volume1/a b", 2, 17, {"x", "", "z"}, {"p"}}),
            0);
  LogManager::Destroy();
  EXPECT_EQ(LogManager::InsertLog(Log()), -1);
  ASSERT_EQ(LogManager::Initialize(dir), 0);  // reopening appends
  ASSERT_EQ(LogManager::InsertLog(Log{0, 0, "", 0, "", 0, 0, {}, {"0"}}), 0);
  LogManager::Destroy();
  EXPECT_EQ(ReadRows(root.Host("/db/log-db.sqlite"), before),
            "1700000000|3|-4|alice|/volume1/a b|2|17|x,,z|p\nnow|0|0|||0|0||0\n");

  const std::string garbage(3000, '\x5a');
  root.Write("/db/log-db.sqlite", garbage);
  EXPECT_EQ(LogManager::Initialize(dir) + LogManager::InsertLog(Log()), -2);
  EXPECT_EQ(root.Read("/db/log-db.sqlite"), garbage);
}

}  // namespace
}  // namespace db
