#include "platform/sdk_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(ReentrantMutexTest, OwnerNeedsAsManyUnlocksAndThreadsExcludeEachOther) {
  SDK::ReentrantMutex mutex;
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  EXPECT_EQ(mutex.Lock() + mutex.Lock(), 0);
  std::thread([&] { EXPECT_EQ(mutex.Unlock(), 0); }).join();  // another thread's unlock: nothing
  EXPECT_EQ(mutex.Unlock(), 0);
  EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
  EXPECT_EQ(mutex.Unlock() + mutex.Unlock(), 0);  // one too many changes nothing either
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  std::atomic<int> inside{0}, overlaps{0};
  long counter = 0;  // guarded by mutex only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        mutex.Lock();
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        mutex.Lock();
        mutex.Unlock();
        if (inside.load() != 1) overlaps.fetch_add(1);  // still held after the inner unlock
        ++counter;
        inside.fetch_sub(1);
        mutex.Unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter, 4L * 2000);
}

}  // namespace
