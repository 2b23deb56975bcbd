#include "netio/bandwidth_controller.h"

#include <gtest/gtest.h>

namespace cat {
namespace {

TEST(BandwidthControllerTest, WindowsQuotaAndAbortFlag) {
  BandwidthController bc;
  const auto kRead = BufferedIOController::kRead, kWrite = BufferedIOController::kWrite;
  uint64_t t0 = BandwidthController::NowMicros();
  bc.OnWrite(1 << 20);  // unlimited: nothing accounted, no wait
  EXPECT_EQ(0u, bc.PendingDelay(kWrite, t0));
  EXPECT_EQ(70000u, bc.Quota(kRead, 70000));

  bc.SetLimit(kWrite, 1000);
  EXPECT_EQ(1000u, bc.GetLimit(kWrite));
  EXPECT_EQ(0u, bc.GetLimit(kRead));
  bc.OnWrite(500);  // starts the window now: due 0.5 s after its start
  uint64_t start = BandwidthController::NowMicros();
  uint64_t pending = bc.PendingDelay(kWrite, start + 100000);
  EXPECT_LE(pending, 400000u);
  EXPECT_GE(pending, 400000u - (start - t0) - 1000);
  EXPECT_EQ(0u, bc.PendingDelay(kWrite, start + 600000));
  EXPECT_EQ(0u, bc.PendingDelay(kRead, start));  // the directions are independent
  bc.SetLimit(kWrite, 1000);                     // a new limit starts a new window
  EXPECT_EQ(0u, bc.PendingDelay(kWrite, start + 100000));

  bc.SetLimit(kRead, 100000);
  EXPECT_EQ(10000u, bc.Quota(kRead, 70000));  // the first step of a window never waits
  EXPECT_EQ(7u, bc.Quota(kRead, 7));

  // The flag is read through, not copied.
  int flag = 0;
  EXPECT_FALSE(bc.IsAborted());
  bc.SetAbortFlag(&flag);
  EXPECT_FALSE(bc.IsAborted());
  flag = 1;
  EXPECT_TRUE(bc.IsAborted());
  bc.SetAbortFlag(nullptr);
  EXPECT_FALSE(bc.IsAborted());

  BufferedIOController neutral;
  EXPECT_FALSE(neutral.IsAborted());
  EXPECT_EQ(123u, neutral.Quota(kWrite, 123));
  EXPECT_EQ(1u, neutral.Quota(kWrite, 0));
}

}  // namespace
}  // namespace cat
