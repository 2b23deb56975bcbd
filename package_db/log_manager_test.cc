#include "package_db/log_manager.h"

#include <sqlite3.h>
#include <stdio.h>
#include <time.h>

#include <utility>
#include <vector>

#include "base/test_root.h"
#include "gtest/gtest.h"

namespace db {
namespace {

class LogManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.MakeDir("/db"); }
  void TearDown() override { LogManager::Destroy(); }

  // Every record of the log database in insertion order, read with a
  // connection of its own: its time, and its other fields with both lists
  // as "type|action|user|path|client_type|result|[targets]|[params]".
  std::vector<std::pair<int64_t, std::string>> ReadRows() const {
    const char* list =
        "ifnull((SELECT '[' || group_concat(quote(value)) || ']' FROM (SELECT value FROM "
        "log_list_table WHERE log_id = l.id AND list = %d ORDER BY pos)), '[]')";
    char targets[256], params[256];
    snprintf(targets, sizeof(targets), list, 0);
    snprintf(params, sizeof(params), list, 1);
    const std::string sql =
        std::string("SELECT time, type || '|' || action || '|' || user || '|' ") +
        "|| path || '|' || client_type || '|' || result || '|' || " + targets + " || '|' || " +
        params + " FROM log_table AS l ORDER BY id";
    std::vector<std::pair<int64_t, std::string>> rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(root_.Host("/db/log-db.sqlite").c_str(), &db, SQLITE_OPEN_READONLY,
                              nullptr),
              SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      rows.emplace_back(sqlite3_column_int64(stmt, 0),
                        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }

  test_support::TestRoot root_{"package-db-log-test"};
  const std::string dir_ = root_.Host("/db");
};

TEST_F(LogManagerTest, InsertedRecordsReadBack) {
  ASSERT_EQ(LogManager::Initialize(dir_), 0);
  const int64_t before = time(nullptr);
  ASSERT_EQ(LogManager::InsertLog(Log{0, 0, "", 0, "", 0, 0, {}, {"1"}}), 0);
  ASSERT_EQ(
      LogManager::InsertLog(Log{
          3, -4, "alice", 1700000000, "/volume1/homes/alice/a b", 2, 17, {"x", "", "z"}, {"p"}}),
      0);
  LogManager::Destroy();
  // Reopening appends to what is there.
  ASSERT_EQ(LogManager::Initialize(dir_), 0);
  ASSERT_EQ(LogManager::InsertLog(Log{0, 0, "", 0, "", 0, 0, {}, {"0"}}), 0);
  const int64_t after = time(nullptr);

  const auto rows = ReadRows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_GE(rows[0].first, before);  // 0 stands for the time of insertion
  EXPECT_LE(rows[0].first, after);
  EXPECT_EQ(rows[0].second, "0|0|||0|0|[]|['1']");
  EXPECT_EQ(rows[1].first, 1700000000);
  EXPECT_EQ(rows[1].second, "3|-4|alice|/volume1/homes/alice/a b|2|17|['x','','z']|['p']");
  EXPECT_EQ(rows[2].second, "0|0|||0|0|[]|['0']");
}

TEST_F(LogManagerTest, FailuresWithoutADatabase) {
  Log log;
  EXPECT_EQ(LogManager::InsertLog(log), -1);  // not initialised
  EXPECT_EQ(LogManager::Initialize(dir_ + "/missing"), -1);
  EXPECT_EQ(LogManager::InsertLog(log), -1);
  ASSERT_EQ(LogManager::Initialize(dir_), 0);
  EXPECT_EQ(LogManager::Initialize(dir_), 0);
  EXPECT_EQ(LogManager::Initialize("/tmp"), -1);  // another folder while open
  EXPECT_EQ(LogManager::InsertLog(log), 0);
  LogManager::Destroy();
  LogManager::Destroy();
  EXPECT_EQ(LogManager::InsertLog(log), -1);

  const std::string garbage(3000, '\x5a');
  root_.Write("/db/log-db.sqlite", garbage);
  EXPECT_EQ(LogManager::Initialize(dir_), -1);
  EXPECT_EQ(LogManager::InsertLog(Log()), -1);
  EXPECT_EQ(root_.Read("/db/log-db.sqlite"), garbage);
}

}  // namespace
}  // namespace db
