#include "platform/sdk_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(ReentrantMutexTest, OwnerNeedsAsManyUnlocksAndOthersCannotUnlock) {
  SDK::ReentrantMutex mutex;
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mutex.Lock(), 0);
  EXPECT_EQ(mutex.Unlock() + mutex.Unlock(), 0);
  std::thread other([&] {  // unlocks by another thread change nothing
    EXPECT_EQ(mutex.Unlock(), 0);
    EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  });
  other.join();
  EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
  EXPECT_EQ(mutex.Unlock(), 0);
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  EXPECT_EQ(mutex.Unlock(), 0);  // one too many changes nothing either
  // Another thread can take it now (this would hang had the stray unlocks
  // broken the lock).
  std::thread taker([&] {
    mutex.Lock();
    EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
    mutex.Unlock();
  });
  taker.join();
}

TEST(ReentrantMutexTest, ThreadsExcludeEachOtherAtEveryDepth) {
  SDK::ReentrantMutex mutex;
  std::atomic<int> inside{0}, overlaps{0};
  long counter = 0;  // guarded by mutex only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        mutex.Lock();
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        mutex.Lock();
        ++counter;
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
  EXPECT_EQ(counter, 2L * 4 * 2000);
}

}  // namespace
