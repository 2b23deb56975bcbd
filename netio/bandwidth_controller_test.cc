#include "netio/bandwidth_controller.h"

#include <gtest/gtest.h>

namespace cat {
namespace {

TEST(BandwidthControllerTest, DelayIsTheTimeTheBytesShouldHaveTakenMinusElapsed) {
  struct Case {
    uint64_t moved, rate, elapsed_us, expected_us;
  } cases[] = {
      {0, 1000, 0, 0},                                        // nothing moved yet
      {1000, 0, 0, 0},                                        // unlimited
      {1000, 1000, 0, 1000000},                               // one second's worth at once
      {1000, 1000, 400000, 600000},                           // partly paid by elapsed time
      {1000, 1000, 1000000, 0},                               // exactly on rate
      {1000, 1000, 5000000, 0},                               // behind the rate: no wait
      {1500, 1000, 0, 1500000},                               // fractional seconds
      {1, 3, 0, 333333},                                      // rounding down to microseconds
      {10485760, 1048576, 2000000, 8000000},                  // 10 MiB at 1 MiB/s after 2 s
      {UINT64_MAX, 1, 0, UINT64_MAX},                         // saturates instead of overflowing
      {1ULL << 40, 1ULL << 30, 0, 1024000000},                // 1 TiB at 1 GiB/s
      {(1ULL << 50) + (1ULL << 49), 1ULL << 50, 0, 1500000},  // huge rate, huge remainder
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected_us, BandwidthController::DelayMicros(c.moved, c.rate, c.elapsed_us))
        << c.moved << " bytes at " << c.rate << " B/s after " << c.elapsed_us << " us";
  }
}

TEST(BandwidthControllerTest, StepIsATenthOfASecondsWorth) {
  struct Case {
    uint64_t rate;
    size_t want, expected;
  } cases[] = {
      {0, 5000, 5000}, {0, 0, 1},     {1000, 5000, 100}, {1000, 50, 50},
      {5, 5000, 1},    {10, 5000, 1}, {100, 5000, 10},   {1ULL << 40, 65536, 65536},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, BandwidthController::StepLimit(c.rate, c.want))
        << "rate " << c.rate << " want " << c.want;
  }
}

TEST(BandwidthControllerTest, PendingDelayFollowsAccountedBytes) {
  BandwidthController bc;
  uint64_t t0 = BandwidthController::NowMicros();
  // Unlimited: nothing accounted, no wait.
  bc.OnWrite(1 << 20);
  EXPECT_EQ(0u, bc.PendingDelay(BufferedIOController::kWrite, t0));

  bc.SetLimit(BufferedIOController::kWrite, 1000);
  EXPECT_EQ(1000u, bc.GetLimit(BufferedIOController::kWrite));
  EXPECT_EQ(0u, bc.GetLimit(BufferedIOController::kRead));
  bc.OnWrite(500);  // starts the window now
  uint64_t start = BandwidthController::NowMicros();
  // 500 bytes at 1000 B/s are due 0.5 s after the window started.
  uint64_t pending = bc.PendingDelay(BufferedIOController::kWrite, start + 100000);
  EXPECT_LE(pending, 400000u);
  EXPECT_GE(pending, 400000u - (start - t0) - 1000);
  EXPECT_EQ(0u, bc.PendingDelay(BufferedIOController::kWrite, start + 600000));
  // The read direction is independent.
  EXPECT_EQ(0u, bc.PendingDelay(BufferedIOController::kRead, start));
  // A new limit starts a new window.
  bc.SetLimit(BufferedIOController::kWrite, 1000);
  EXPECT_EQ(0u, bc.PendingDelay(BufferedIOController::kWrite, start + 100000));
}

TEST(BandwidthControllerTest, QuotaAndAbortFlag) {
  BandwidthController bc;
  EXPECT_EQ(70000u, bc.Quota(BufferedIOController::kRead, 70000));
  bc.SetLimit(BufferedIOController::kRead, 100000);
  // First step of a window never waits.
  EXPECT_EQ(10000u, bc.Quota(BufferedIOController::kRead, 70000));
  EXPECT_EQ(7u, bc.Quota(BufferedIOController::kRead, 7));

  // The flag is read through, not copied.
  EXPECT_FALSE(bc.IsAborted());
  int flag = 0;
  bc.SetAbortFlag(&flag);
  EXPECT_FALSE(bc.IsAborted());
  flag = 1;
  EXPECT_TRUE(bc.IsAborted());
  bc.SetAbortFlag(nullptr);
  EXPECT_FALSE(bc.IsAborted());

  BufferedIOController neutral;
  EXPECT_FALSE(neutral.IsAborted());
  EXPECT_EQ(123u, neutral.Quota(BufferedIOController::kWrite, 123));
}

}  // namespace
}  // namespace cat
