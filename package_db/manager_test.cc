#include "package_db/manager.h"

#include "base/test_query.h"
#include "base/test_root.h"
#include "gtest/gtest.h"

namespace db {
namespace {

const char kGarbage[] = "this is a text file and certainly not an SQLite database\n";

// Rows of the sync folder database's view_table for `view_id`.
int ViewRows(const std::string& file, uint64_t view_id) {
  const auto rows = test_support::Query(file, "SELECT count(*) FROM view_table WHERE view_id = " +
                                                  std::to_string(static_cast<int64_t>(view_id)));
  return rows.empty() ? -1 : std::stoi(rows[0][0]);
}

TEST(ManagerTest, ViewsSettingsAndFailures) {
  test_support::TestRoot root("package-db-test");
  root.CaptureLog();
  root.MakeDir("/db/view");
  const std::string dir = root.Host("/db"), sync_db = root.Host("/db/syncfolder-db.sqlite");
  ViewDBInterface view;
  EXPECT_EQ(Manager::CreateView(1) + Manager::GetViewDB(1, &view), -2);  // not initialised
  EXPECT_EQ(Manager::Initialize(dir + "/missing") + Manager::Initialize(""), -2);
  root.Write("/db/syncfolder-db.sqlite", kGarbage);
  EXPECT_EQ(Manager::Initialize(dir), -1);
  EXPECT_EQ(root.Read("/db/syncfolder-db.sqlite"), kGarbage);
  root.Remove("/db/syncfolder-db.sqlite");
  ASSERT_EQ(Manager::Initialize(dir) + Manager::Initialize(dir), 0);
  EXPECT_EQ(Manager::Initialize(dir + "/view"), -1);  // another folder while open
  const uint64_t kBig = 18446744073709551615ULL;      // beyond int64
  for (uint64_t id : {uint64_t{1}, kBig}) {
    ASSERT_EQ(Manager::CreateView(id), 0) << id;
    ASSERT_EQ(Manager::GetViewDB(id, &view), 0);
    EXPECT_EQ(view.view_id(), id);
    int count = -1;
    std::string policy;
    EXPECT_EQ(view.GetRotateCount(&count) + view.GetRotatePolicy(&policy), -2);  // unset
    EXPECT_EQ(view.SetRotateCount(33) + view.SetRotateCount(id == 1 ? 32 : 0), 0);
    EXPECT_EQ(view.SetRotatePolicy(id == 1 ? "fifo" : "lru"), 0);
  }
  EXPECT_TRUE(root.Exists("/db/view/18446744073709551615/view-db.sqlite"));
  Manager::Destroy(true);
  EXPECT_FALSE(Manager::IsInitialized());
  ASSERT_EQ(Manager::Initialize(dir), 0);
  ASSERT_EQ(Manager::CreateView(1), 0);  // again: the settings are kept
  for (uint64_t id : {uint64_t{1}, kBig}) {
    EXPECT_EQ(ViewRows(sync_db, id), 1) << id;
    ASSERT_EQ(Manager::GetViewDB(id, &view), 0);
    int count = -1;
    std::string policy;
    EXPECT_EQ(view.GetRotateCount(&count) + view.GetRotatePolicy(&policy), 0);
    EXPECT_EQ(std::to_string(count) + " " + policy, id == 1 ? "32 fifo" : "0 lru");
  }
  EXPECT_EQ(view.SetRotateCount(-1) + view.SetRotatePolicy(""), -2);
  EXPECT_EQ(view.SetRotatePolicy(std::string(ViewDBInterface::kMaxPolicyLength + 1, 'x')), -1);
  EXPECT_EQ(view.SetRotatePolicy(std::string(ViewDBInterface::kMaxPolicyLength, 'x')), 0);

  EXPECT_EQ(Manager::GetViewDB(42, &view), -1);
  EXPECT_FALSE(root.Exists("/db/view/42"));  // looking does not create
  root.Write("/db/view/11/view-db.sqlite", root.Read("/db/view/1/view-db.sqlite"));
  EXPECT_EQ(Manager::GetViewDB(11, &view), -1);  // belongs to another view
  root.Write("/db/view/5/view-db.sqlite", kGarbage);
  EXPECT_EQ(Manager::CreateView(5) + Manager::GetViewDB(5, &view), -2);
  EXPECT_EQ(root.Read("/db/view/5/view-db.sqlite"), kGarbage);
  EXPECT_NE(root.LogText().find("view database " + dir + "/view/5/"), std::string::npos);
  EXPECT_EQ(ViewRows(sync_db, 5), 0);
  root.Write("/db/view/6", "x");  // a file where the view's folder should be
  EXPECT_EQ(Manager::CreateView(6), -1);
  ASSERT_EQ(Manager::GetViewDB(1, &view), 0);
  Manager::Destroy(false);  // the handle outlives the manager
  EXPECT_EQ(view.SetRotateCount(9), 0);
  view.Close();
  EXPECT_FALSE(view.IsOpen());
  int count = 0;
  EXPECT_EQ(view.GetRotateCount(&count) + view.SetRotateCount(5), -2);
}

}  // namespace
}  // namespace db
