#include "platform/sdk_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using SDK::ReentrantMutex;

TEST(ReentrantMutexTest, OwnerNeedsAsManyUnlocksAndOthersCannotUnlock) {
  ReentrantMutex mutex;
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mutex.Lock(), 0);
  EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
  EXPECT_EQ(mutex.Unlock(), 0);
  EXPECT_EQ(mutex.Unlock(), 0);
  // Unlocks by another thread change nothing.
  bool other_owned = true;
  std::thread other([&] {
    EXPECT_EQ(mutex.Unlock(), 0);
    EXPECT_EQ(mutex.Unlock(), 0);
    other_owned = mutex.IsOwnedByCurrentThread();
  });
  other.join();
  EXPECT_FALSE(other_owned);
  EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
  EXPECT_EQ(mutex.Unlock(), 0);
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  // One unlock too many changes nothing either.
  EXPECT_EQ(mutex.Unlock(), 0);
  EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
  // And another thread can take it now (this would block forever if the
  // stray unlocks had broken the lock's state).
  std::thread taker([&] {
    mutex.Lock();
    EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
    mutex.Unlock();
  });
  taker.join();
}

TEST(ReentrantMutexTest, ThreadsExcludeEachOtherAtEveryDepth) {
  ReentrantMutex mutex;
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  long counter = 0;  // guarded by mutex only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        mutex.Lock();
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        mutex.Lock();  // nested
        ++counter;
        mutex.Unlock();
        // Still held after the inner unlock.
        if (inside.load() != 1) overlaps.fetch_add(1);
        ++counter;
        inside.fetch_sub(1);
        mutex.Unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter, 2L * kThreads * kRounds);
}

TEST(SdkMutexTest, PointerFunctionsAndGuardNameTheSameLock) {
  ASSERT_EQ(SDK::sdk_mutex, &SDK::SdkMutex());
  SDK::SdkLock();
  EXPECT_TRUE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  SDK::sdk_mutex->Lock();
  SDK::SdkUnlock();
  EXPECT_TRUE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  SDK::sdk_mutex->Unlock();
  EXPECT_FALSE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  {
    SDK::SdkLockGuard guard;
    EXPECT_TRUE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  }
  EXPECT_FALSE(SDK::sdk_mutex->IsOwnedByCurrentThread());
}

}  // namespace
