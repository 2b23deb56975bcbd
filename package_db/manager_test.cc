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

  // Rows of the sync folder data database's view_table holding `view_id`,
  // read with a connection of its own.
  int ViewRows(uint64_t view_id) const {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(root_.Host("/db/syncfolder-db.sqlite").c_str(), &db,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    int rows = -1;
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

TEST_F(ManagerTest, InitializeFailuresAndReopening) {
  EXPECT_EQ(Manager::CreateView(1), -1);
  ViewDBInterface view;
  EXPECT_EQ(Manager::GetViewDB(1, &view), -1);
  EXPECT_FALSE(view.IsOpen());
  EXPECT_EQ(Manager::Initialize(dir_ + "/missing"), -1);
  EXPECT_EQ(Manager::Initialize(""), -1);
  EXPECT_FALSE(root_.Exists("/db/missing"));
  EXPECT_FALSE(Manager::IsInitialized());

  ASSERT_EQ(Manager::Initialize(dir_), 0);
  EXPECT_TRUE(root_.Exists("/db/syncfolder-db.sqlite"));
  // A second call for the same folder is harmless, another folder is refused.
  EXPECT_EQ(Manager::Initialize(dir_), 0);
  EXPECT_EQ(Manager::Initialize(dir_ + "/view"), -1);
  ASSERT_EQ(Manager::CreateView(7), 0);
  Manager::Destroy(true);
  EXPECT_FALSE(Manager::IsInitialized());
  Manager::Destroy(false);  // twice is fine
  ASSERT_EQ(Manager::Initialize(dir_), 0);
  EXPECT_EQ(ViewRows(7), 1);
  EXPECT_EQ(Manager::GetViewDB(7, &view), 0);
}

TEST_F(ManagerTest, RotationSettingsPersistThroughAFreshHandle) {
  const struct {
    uint64_t view_id;
    const char* folder_name;
    int count;
    const char* policy;
  } cases[] = {
      {1, "1", 32, "fifo"},
      {4294967296ULL + 5, "4294967301", 0, "lru"},                      // beyond 32 bits
      {18446744073709551615ULL, "18446744073709551615", 1000, "fifo"},  // beyond int64
  };
  ASSERT_EQ(Manager::Initialize(dir_), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder_name);
    ASSERT_EQ(Manager::CreateView(c.view_id), 0);
    EXPECT_TRUE(root_.Exists(ViewDb(c.folder_name)));
    ViewDBInterface view;
    ASSERT_EQ(Manager::GetViewDB(c.view_id, &view), 0);
    EXPECT_EQ(view.view_id(), c.view_id);
    int count = -1;
    std::string policy;
    EXPECT_EQ(view.GetRotateCount(&count), -1);  // nothing set yet
    EXPECT_EQ(view.GetRotatePolicy(&policy), -1);
    EXPECT_EQ(view.SetRotateCount(c.count + 1), 0);
    EXPECT_EQ(view.SetRotateCount(c.count), 0);  // the last one wins
    EXPECT_EQ(view.SetRotatePolicy(c.policy), 0);
  }
  Manager::Destroy(false);

  ASSERT_EQ(Manager::Initialize(dir_), 0);
  // Creating an existing view again keeps its settings.
  ASSERT_EQ(Manager::CreateView(1), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder_name);
    EXPECT_EQ(ViewRows(c.view_id), 1);
    ViewDBInterface view;
    ASSERT_EQ(Manager::GetViewDB(c.view_id, &view), 0);
    int count = -1;
    std::string policy;
    EXPECT_EQ(view.GetRotateCount(&count), 0);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(view.GetRotatePolicy(&policy), 0);
    EXPECT_EQ(policy, c.policy);
  }
}

TEST_F(ManagerTest, RejectsBadSettingsAndClosedHandles) {
  ASSERT_EQ(Manager::Initialize(dir_), 0);
  ASSERT_EQ(Manager::CreateView(3), 0);
  ViewDBInterface view;
  EXPECT_EQ(view.SetRotateCount(5), -1);  // not open
  ASSERT_EQ(Manager::GetViewDB(3, &view), 0);
  EXPECT_EQ(view.SetRotateCount(-1), -1);
  EXPECT_EQ(view.SetRotatePolicy(""), -1);
  EXPECT_EQ(view.SetRotatePolicy(std::string(ViewDBInterface::kMaxPolicyLength + 1, 'x')), -1);
  EXPECT_EQ(view.SetRotatePolicy(std::string(ViewDBInterface::kMaxPolicyLength, 'x')), 0);
  // The handle outlives the manager.
  Manager::Destroy(false);
  EXPECT_EQ(view.SetRotateCount(9), 0);
  int count = 0;
  EXPECT_EQ(view.GetRotateCount(&count), 0);
  EXPECT_EQ(count, 9);
  view.Close();
  EXPECT_FALSE(view.IsOpen());
  EXPECT_EQ(view.GetRotateCount(&count), -1);
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
  // A view database that belongs to another view is not handed out.
  ASSERT_EQ(Manager::CreateView(10), 0);
  root_.Write(ViewDb("11"), root_.Read(ViewDb("10")));
  EXPECT_EQ(Manager::GetViewDB(11, &view), -1);
  EXPECT_EQ(Manager::GetViewDB(10, &view), 0);

  // Garbage in place of a view database: creating and opening that view fail.
  root_.Write(ViewDb("5"), kGarbage);
  EXPECT_EQ(Manager::CreateView(5), -1);
  EXPECT_EQ(Manager::GetViewDB(5, &view), -1);
  EXPECT_EQ(root_.Read(ViewDb("5")), kGarbage);
  EXPECT_EQ(ViewRows(5), 0);
  // A file where the view's folder should be.
  root_.Write("/db/view/6", "x");
  EXPECT_EQ(Manager::CreateView(6), -1);
}

}  // namespace
}  // namespace db
