#include "service/user_statistics.h"

#include <gtest/gtest.h>

#include "base/test_root.h"

namespace {

// Without an open user database nothing is printed and the failure is
// logged; the end-to-end tests see only the empty output.
TEST(PrintUserStatisticsTest, UnreadableDatabasePrintsNothing) {
  test_support::TestRoot root;
  root.CaptureLog();
  testing::internal::CaptureStdout();
  EXPECT_EQ(PrintUserStatistics(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(root.LogText().find("): failed to collect user data"), std::string::npos)
      << root.LogText();
}

}  // namespace
