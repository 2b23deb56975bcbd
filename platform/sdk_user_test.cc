#include "platform/sdk_user.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

std::string Describe(const SDK::User& u) {
  return u.GetName() + " " + std::to_string(u.GetUid()) + " " + std::to_string(u.GetGid()) + " " +
         u.GetHomePath() + (u.IsExpired() ? " expired" : "");
}

TEST(UserTest, PlatformAccountsFailuresAndTheSdkLock) {
  test_support::TestRoot box;
  box.CaptureLog();
  box.Write("/etc/passwd", "bob:x:1027:100::/volume1/homes/bob:/bin/sh\n");
  box.Write("/etc/shadow", "bob:*:19000:0:99999:7::1:\n");
  SDK::User user, by_uid;
  ASSERT_EQ(user.Open("bob", false) + by_uid.OpenByUid(1027), 0);
  EXPECT_EQ(Describe(user) + "," + Describe(by_uid),
            "bob 1027 100 /volume1/homes/bob expired,bob 1027 100 /volume1/homes/bob expired");
  EXPECT_EQ(user.Open("nobody", false), -1);  // also closes what was open
  EXPECT_EQ(Describe(user), " 0 0 ");
  EXPECT_EQ(user.OpenByUid(4242) + user.Open("bob", true), -2);  // no cache daemon
  SDK::SDKUserImpl invalid("nobody");                            // a User never keeps one
  EXPECT_FALSE(invalid.IsValid() || invalid.IsExpired());
  for (const char* line :
       {"[ERROR] sdk-cpp(", "): TARNUserGet(nobody): -1\n", "): TARNUserGetByUID(4242): -1\n",
        "): Failed to get cache user: bob, rc=-1\n"}) {
    EXPECT_NE(box.LogText().find(line), std::string::npos) << line << box.LogText();
  }
  // A direct lookup waits for the SDK lock.  (The cache daemon's road is
  // driven by the cache daemon's end-to-end tests.)
  SDK::sdk_mutex->Lock();
  std::atomic<bool> released{false};
  bool after_release = false;
  std::thread opener([&] {
    SDK::User waiting;
    after_release = waiting.Open("bob", false) == 0 && released.load();
  });
  usleep(20000);
  released.store(true);
  SDK::sdk_mutex->Unlock();
  opener.join();
  EXPECT_TRUE(after_release);
}

}  // namespace
