#include "package_db/manager.h"

#include <sqlite3.h>

#include "base/test_root.h"
#include "gtest/gtest.h"

namespace db {
namespace {

const char kGarbage[] = "this is a text file and certainly not an SQLite database\n";

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.MakeDir("/db/view"); }
  void TearDown() override { Manager::Destroy(false); }

  static std::string ViewDb(const std::string& id) { return "/db/view/" + id + "/view-db.sqlite"; }

  // Rows of the sync folder database's view_table for `view_id`.
  int ViewRows(uint64_t view_id) const {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    int rows = -1;
    sqlite3_open_v2(root_.Host("/db/syncfolder-db.sqlite").c_str(), &db, SQLITE_OPEN_READONLY,
                    nullptr);
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM view_table WHERE view_id = ?1", -1, &stmt,
                           nullptr) == SQLITE_OK) {
      sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(view_id));
      if (sqlite3_step(stmt) == SQLITE_ROW) rows = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }

  test_support::TestRoot root_{"package-db-test"};
  const std::string dir_ = root_.Host("/db");
};

TEST_F(ManagerTest, ViewsAndRotationSettingsPersist) {
  ViewDBInterface view;
  EXPECT_EQ(Manager::CreateView(1) + Manager::GetViewDB(1, &view), -2);  // not initialised
  EXPECT_EQ(Manager::Initialize(dir_ + "/missing") + Manager::Initialize(""), -2);
  ASSERT_EQ(Manager::Initialize(dir_), 0);
  EXPECT_EQ(Manager::Initialize(dir_), 0);
  EXPECT_EQ(Manager::Initialize(dir_ + "/view"), -1);  // another folder while open
  const struct {
    uint64_t view_id;
    const char* folder;
    int count;
    const char* policy;
  } cases[] = {
      {1, "1", 32, "fifo"},
      {4294967296ULL + 5, "4294967301", 0, "lru"},                      // beyond 32 bits
      {18446744073709551615ULL, "18446744073709551615", 1000, "fifo"},  // beyond int64
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Manager::CreateView(c.view_id), 0) << c.folder;
    EXPECT_TRUE(root_.Exists(ViewDb(c.folder)));
    ASSERT_EQ(Manager::GetViewDB(c.view_id, &view), 0);
    EXPECT_EQ(view.view_id(), c.view_id);
    int count = -1;
    std::string policy;
    EXPECT_EQ(view.GetRotateCount(&count) + view.GetRotatePolicy(&policy), -2);  // unset
    EXPECT_EQ(view.SetRotateCount(c.count + 1) + view.SetRotateCount(c.count), 0);
    EXPECT_EQ(view.SetRotatePolicy(c.policy), 0);
  }
  Manager::Destroy(true);
  EXPECT_FALSE(Manager::IsInitialized());
  ASSERT_EQ(Manager::Initialize(dir_), 0);
  ASSERT_EQ(Manager::CreateView(1), 0);  // again: the settings are kept
  for (const auto& c : cases) {
    EXPECT_EQ(ViewRows(c.view_id), 1) << c.folder;
    ASSERT_EQ(Manager::GetViewDB(c.view_id, &view), 0);
    int count = -1;
    std::string policy;
    EXPECT_EQ(view.GetRotateCount(&count) + view.GetRotatePolicy(&policy), 0);
    EXPECT_EQ(std::to_string(count) + " " + policy, std::to_string(c.count) + " " + c.policy);
  }
  EXPECT_EQ(view.SetRotateCount(-1), -1);
  EXPECT_EQ(view.SetRotatePolicy(""), -1);
  EXPECT_EQ(view.SetRotatePolicy(std::string(ViewDBInterface::kMaxPolicyLength + 1, 'x')), -1);
  EXPECT_EQ(view.SetRotatePolicy(std::string(ViewDBInterface::kMaxPolicyLength, 'x')), 0);
  Manager::Destroy(false);  // the handle outlives the manager
  EXPECT_EQ(view.SetRotateCount(9), 0);
  view.Close();
  EXPECT_FALSE(view.IsOpen());
  int count = 0;
  EXPECT_EQ(view.GetRotateCount(&count) + view.SetRotateCount(5), -2);
}

TEST_F(ManagerTest, UnknownViewsAndGarbageFilesAreFailures) {
  root_.Write("/db/syncfolder-db.sqlite", kGarbage);
  EXPECT_EQ(Manager::Initialize(dir_), -1);
  EXPECT_FALSE(Manager::IsInitialized());
  EXPECT_EQ(root_.Read("/db/syncfolder-db.sqlite"), kGarbage);
  root_.Remove("/db/syncfolder-db.sqlite");
  ASSERT_EQ(Manager::Initialize(dir_), 0);
  ViewDBInterface view;
  EXPECT_EQ(Manager::GetViewDB(42, &view), -1);
  EXPECT_FALSE(root_.Exists(ViewDb("42")));  // looking does not create
  ASSERT_EQ(Manager::CreateView(10), 0);
  root_.Write(ViewDb("11"), root_.Read(ViewDb("10")));  // belongs to another view
  EXPECT_EQ(Manager::GetViewDB(11, &view), -1);
  root_.Write(ViewDb("5"), kGarbage);
  EXPECT_EQ(Manager::CreateView(5) + Manager::GetViewDB(5, &view), -2);
  EXPECT_EQ(root_.Read(ViewDb("5")), kGarbage);
  EXPECT_EQ(ViewRows(5), 0);
  root_.Write("/db/view/6", "x");  // a file where the view's folder should be
  EXPECT_EQ(Manager::CreateView(6), -1);
}

}  // namespace
}  // namespace db
