#include "netio/bandwidth_controller.h"

#include <gtest/gtest.h>

namespace cat {
namespace {

TEST(BandwidthControllerTest, DelayAndStepTables) {
  // The delay is the time the bytes should have taken minus the time elapsed.
  const struct {
    uint64_t moved, rate, elapsed_us, expected_us;
  } delays[] = {
      {0, 1000, 0, 0},                                        // nothing moved yet
      {1000, 0, 0, 0},                                        // unlimited
      {1000, 1000, 400000, 600000},                           // partly paid by elapsed time
      {1000, 1000, 1000000, 0},                               // exactly on rate
      {1000, 1000, 5000000, 0},                               // behind the rate: no wait
      {1, 3, 0, 333333},                                      // rounding down to microseconds
      {10485760, 1048576, 2000000, 8000000},                  // 10 MiB at 1 MiB/s after 2 s
      {UINT64_MAX, 1, 0, UINT64_MAX},                         // saturates instead of overflowing
      {(1ULL << 50) + (1ULL << 49), 1ULL << 50, 0, 1500000},  // huge rate, huge remainder
  };
  for (const auto& c : delays) {
    EXPECT_EQ(c.expected_us, BandwidthController::DelayMicros(c.moved, c.rate, c.elapsed_us))
        << c.moved << " bytes at " << c.rate << " B/s after " << c.elapsed_us << " us";
  }
  // A step is a tenth of a second's worth, at least one byte, at most the wish.
  const struct {
    uint64_t rate;
    size_t want, expected;
  } steps[] = {{0, 5000, 5000}, {0, 0, 1},  {1000, 5000, 100}, {1000, 50, 50},
               {5, 5000, 1},    {10, 0, 1}, {100, 5000, 10},   {1ULL << 40, 65536, 65536}};
  for (const auto& c : steps) {
    EXPECT_EQ(c.expected, BandwidthController::StepLimit(c.rate, c.want))
        << c.rate << " " << c.want;
  }
}

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
