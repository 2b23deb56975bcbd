#include "package_db/log_manager.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"

namespace db {
namespace {

struct Row {
  int64_t type, action;
  std::string user;
  int64_t time;
  std::string path;
  int64_t client_type, result;
  std::vector<std::string> targets, params;
};

class LogManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/package-db-log-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    LogManager::Destroy();
    std::filesystem::remove_all(dir_);
  }

  // Every record of the log database in insertion order, read with the
  // plain SQLite API.
  std::vector<Row> ReadRows() const {
    std::vector<Row> rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(
        sqlite3_open_v2((dir_ + "/log-db.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
        SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT id, type, action, user, time, path, client_type, result "
                                 "FROM log_table ORDER BY id",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    std::vector<int64_t> ids;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ids.push_back(sqlite3_column_int64(stmt, 0));
      Row r;
      r.type = sqlite3_column_int64(stmt, 1);
      r.action = sqlite3_column_int64(stmt, 2);
      r.user = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
      r.time = sqlite3_column_int64(stmt, 4);
      r.path = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 5));
      r.client_type = sqlite3_column_int64(stmt, 6);
      r.result = sqlite3_column_int64(stmt, 7);
      rows.push_back(r);
    }
    sqlite3_finalize(stmt);
    EXPECT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT list, value FROM log_list_table WHERE log_id = ?1 "
                                 "ORDER BY list, pos",
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    for (size_t i = 0; i < ids.size(); ++i) {
      sqlite3_reset(stmt);
      sqlite3_bind_int64(stmt, 1, ids[i]);
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::string value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        (sqlite3_column_int(stmt, 0) == 0 ? rows[i].targets : rows[i].params).push_back(value);
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }

  std::string dir_;
};

TEST_F(LogManagerTest, InsertedRecordsReadBack) {
  ASSERT_EQ(LogManager::Initialize(dir_), 0);
  Log enabled{0, 0, "", 0, "", 0, 0, {}, {"1"}};
  Log full{3, -4, "alice", 1700000000, "/volume1/homes/alice/a b", 2, 17, {"x", "", "z"}, {"p"}};
  const int64_t before = time(nullptr);
  ASSERT_EQ(LogManager::InsertLog(enabled), 0);
  ASSERT_EQ(LogManager::InsertLog(full), 0);
  LogManager::Destroy();

  // Reopening appends to what is there.
  ASSERT_EQ(LogManager::Initialize(dir_), 0);
  Log stopped{0, 0, "", 0, "", 0, 0, {}, {"0"}};
  ASSERT_EQ(LogManager::InsertLog(stopped), 0);
  const int64_t after = time(nullptr);

  std::vector<Row> rows = ReadRows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[0].user, "");
  EXPECT_GE(rows[0].time, before);  // 0 stands for the time of insertion
  EXPECT_LE(rows[0].time, after);
  EXPECT_TRUE(rows[0].targets.empty());
  EXPECT_EQ(rows[0].params, std::vector<std::string>{"1"});

  EXPECT_EQ(rows[1].type, 3);
  EXPECT_EQ(rows[1].action, -4);
  EXPECT_EQ(rows[1].user, "alice");
  EXPECT_EQ(rows[1].time, 1700000000);
  EXPECT_EQ(rows[1].path, "/volume1/homes/alice/a b");
  EXPECT_EQ(rows[1].client_type, 2);
  EXPECT_EQ(rows[1].result, 17);
  EXPECT_EQ(rows[1].targets, (std::vector<std::string>{"x", "", "z"}));
  EXPECT_EQ(rows[1].params, std::vector<std::string>{"p"});

  EXPECT_EQ(rows[2].params, std::vector<std::string>{"0"});
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
}

TEST_F(LogManagerTest, GarbageFileIsAFailureAndStaysUntouched) {
  const std::string garbage(3000, '\x5a');
  const std::string path = dir_ + "/log-db.sqlite";
  std::ofstream(path, std::ios::binary) << garbage;
  EXPECT_EQ(LogManager::Initialize(dir_), -1);
  EXPECT_EQ(LogManager::InsertLog(Log()), -1);
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), garbage);
}

}  // namespace
}  // namespace db
