#include "platform/sdk_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

// "name uid gid home expired", for a User as for its implementations.
template <class U>
std::string Describe(const U& u) {
  return u.GetName() + " " + std::to_string(u.GetUid()) + " " + std::to_string(u.GetGid()) + " " +
         u.GetHomePath() + (u.IsExpired() ? " expired" : "");
}

// Answers from a table, as the cache daemon would.
class TableCache : public SDK::CacheBackend {
 public:
  TableCache() { SDK::SetCacheBackend(this); }
  ~TableCache() override { SDK::SetCacheBackend(nullptr); }

  int GetUser(const std::string& name, SDK::CachedUser* user) override {
    ++user_calls;
    locked_during_call = locked_during_call || SDK::sdk_mutex->IsOwnedByCurrentThread();
    if (users.count(name) == 0) return -3;
    *user = users[name];
    return 0;
  }
  int GetShare(const std::string&, SDK::CachedShare*) override { return -1; }
  int GetShareUniqueKey(const std::string&, std::string*) override { return -1; }

  std::map<std::string, SDK::CachedUser> users;
  int user_calls = 0;
  bool locked_during_call = false;
};

class UserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.Write("/etc/passwd",
               "root:x:0:0:root:/root:/bin/sh\n"
               "alice:x:1026:100:Alice:/volume1/homes/alice:/bin/sh\n"
               "bob:x:1027:100::/volume1/homes/bob:/bin/sh\n"
               "CORP\\carol:x:200001:200000::/volume1/homes/@DH-CORP/carol:/sbin/nologin\n");
    // bob's account ran out on 2 January 1970; carol's runs until 2243.
    box_.Write("/etc/shadow", "bob:*:19000:0:99999:7::1:\nCORP\\carol:*:19000:0:99999:7::99999:\n");
  }

  bool Logged(const std::string& text) { return box_.LogText().find(text) != std::string::npos; }

  test_support::TestRoot box_;
};

TEST_F(UserTest, DirectAccountsByNameAndUid) {
  const struct {
    const char* name;
    uint32_t uid;
    const char* described;
  } rows[] = {
      {"alice", 1026, "alice 1026 100 /volume1/homes/alice"},
      {"bob", 1027, "bob 1027 100 /volume1/homes/bob expired"},
      {"CORP\\carol", 200001, "CORP\\carol 200001 200000 /volume1/homes/@DH-CORP/carol"},
      {"root", 0, "root 0 0 /root"},
  };
  SDK::User user;
  for (const auto& row : rows) {
    ASSERT_EQ(user.Open(row.name, false), 0) << row.name;  // over the one open before
    EXPECT_EQ(Describe(user), row.described);
    SDK::User by_uid;
    ASSERT_EQ(by_uid.OpenByUid(row.uid), 0) << row.name;
    EXPECT_EQ(Describe(by_uid), row.described);
  }
  EXPECT_EQ(box_.LogText(), "");
  user.Close();
  EXPECT_FALSE(user.IsOpen());
  EXPECT_EQ(Describe(user), " 0 0 ");

  ASSERT_EQ(user.Open("alice", false), 0);
  EXPECT_EQ(user.Open("nobody", false), -1);  // also closes what was open
  EXPECT_FALSE(user.IsOpen());
  EXPECT_EQ(Describe(user), " 0 0 ");
  EXPECT_EQ(user.OpenByUid(4242), -1);
  EXPECT_EQ(user.Open("alice", true), -1);  // no cache daemon
  EXPECT_FALSE(user.IsOpen());
  EXPECT_TRUE(Logged("[ERROR] sdk-cpp("));
  EXPECT_TRUE(Logged("): TARNUserGet(nobody): -1\n"));
  EXPECT_TRUE(Logged("): TARNUserGetByUID(4242): -1\n"));
  EXPECT_TRUE(Logged("): Failed to get cache user: alice, rc=-1\n")) << box_.LogText();
  SDK::SDKUserImpl direct("nobody");
  SDK::CacheUserImpl cached("nobody");
  EXPECT_FALSE(direct.IsValid() || cached.IsValid());
  EXPECT_EQ(Describe(direct) + Describe(cached), " 0 0  0 0 ");
}

TEST_F(UserTest, CachedAccountsNeedNoPlatformFiles) {
  ASSERT_EQ(unlink(box_.Host("/etc/passwd").c_str()), 0);
  TableCache cache;
  cache.users["erin"] = {"erin", 1100, 101, "/volume2/homes/erin", 0, -1, 0};
  cache.users["frank"] = {"frank", 1101, 101, "", 0, 1, 0};  // ran out on 2 January 1970
  SDK::User user;
  ASSERT_EQ(user.Open("erin", true), 0);
  EXPECT_EQ(Describe(user), "erin 1100 101 /volume2/homes/erin");
  ASSERT_EQ(user.Open("frank", true), 0);
  EXPECT_EQ(Describe(user), "frank 1101 101  expired");
  EXPECT_EQ(user.Open("ghost", true), -1);
  EXPECT_TRUE(Logged("): Failed to get cache user: ghost, rc=-3\n")) << box_.LogText();
  EXPECT_EQ(user.Open("erin", false), -1);  // the direct road asks the platform
  EXPECT_EQ(cache.user_calls, 3);
  EXPECT_FALSE(cache.locked_during_call);
}

TEST_F(UserTest, DirectLookupsWaitForTheSdkLock) {
  SDK::sdk_mutex->Lock();
  std::atomic<bool> released{false};
  bool finished_after_release = false;
  int rc = -2;
  std::thread opener([&] {
    SDK::User user;
    rc = user.Open("alice", false);
    finished_after_release = released.load();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  released.store(true);
  SDK::sdk_mutex->Unlock();
  opener.join();
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(finished_after_release);
}

}  // namespace
