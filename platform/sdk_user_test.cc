#include "platform/sdk_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

// A cache backend answering from a table, as the cache daemon would.
class TableCache : public SDK::CacheBackend {
 public:
  int GetUser(const std::string& name, SDK::CachedUser* user) override {
    ++user_calls;
    locked_during_call = locked_during_call || SDK::sdk_mutex->IsOwnedByCurrentThread();
    auto it = users.find(name);
    if (it == users.end()) return missing_rc;
    *user = it->second;
    return 0;
  }
  int GetShare(const std::string&, SDK::CachedShare*) override { return -1; }
  int GetShareUniqueKey(const std::string&, std::string*) override { return -1; }

  std::map<std::string, SDK::CachedUser> users;
  int missing_rc = -1;
  int user_calls = 0;
  bool locked_during_call = false;
};

class ScopedCache {
 public:
  explicit ScopedCache(SDK::CacheBackend* cache) { SDK::SetCacheBackend(cache); }
  ~ScopedCache() { SDK::SetCacheBackend(nullptr); }
};

class UserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.Write("/etc/passwd",
               "root:x:0:0:root:/root:/bin/sh\n"
               "alice:x:1026:100:Alice:/volume1/homes/alice:/bin/sh\n"
               "bob:x:1027:100::/volume1/homes/bob:/bin/sh\n"
               "CORP\\carol:x:200001:200000::/volume1/homes/@DH-CORP/carol:/sbin/nologin\n"
               "dave@ldap.example:x:300001:300000::/volume1/homes/@LH-LDAP/dave:/sbin/nologin\n");
    // bob's account ran out on 2 January 1970; carol's runs until 2243.
    box_.Write("/etc/shadow",
               "alice:*:19000:0:99999:7:::\n"
               "bob:*:19000:0:99999:7::1:\n"
               "CORP\\carol:*:19000:0:99999:7::99999:\n");
  }

  test_support::TestRoot box_;
};

TEST_F(UserTest, OpensAccountsFromThePlatform) {
  const struct {
    const char* name;
    uint32_t uid, gid;
    const char* home;
    bool expired;
  } rows[] = {
      {"alice", 1026, 100, "/volume1/homes/alice", false},
      {"bob", 1027, 100, "/volume1/homes/bob", true},
      {"CORP\\carol", 200001, 200000, "/volume1/homes/@DH-CORP/carol", false},
      {"dave@ldap.example", 300001, 300000, "/volume1/homes/@LH-LDAP/dave", false},
      {"root", 0, 0, "/root", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SDK::User user;
    ASSERT_EQ(user.Open(row.name, false), 0);
    EXPECT_TRUE(user.IsOpen());
    EXPECT_EQ(user.GetName(), row.name);
    EXPECT_EQ(user.GetUid(), row.uid);
    EXPECT_EQ(user.GetGid(), row.gid);
    EXPECT_EQ(user.GetHomePath(), row.home);
    EXPECT_EQ(user.IsExpired(), row.expired);
    // By uid, the same account.
    SDK::User by_uid;
    ASSERT_EQ(by_uid.OpenByUid(row.uid), 0);
    EXPECT_EQ(by_uid.GetName(), row.name);
    EXPECT_EQ(by_uid.GetHomePath(), row.home);
  }
  EXPECT_EQ(box_.LogText(), "");
}

TEST_F(UserTest, UnknownAccountsLeaveTheHandleClosed) {
  SDK::User user;
  ASSERT_EQ(user.Open("alice", false), 0);
  // A failed open also closes what was open before.
  EXPECT_EQ(user.Open("nobody", false), -1);
  EXPECT_FALSE(user.IsOpen());
  EXPECT_EQ(user.GetUid(), 0u);
  EXPECT_EQ(user.GetGid(), 0u);
  EXPECT_EQ(user.GetName(), "");
  EXPECT_EQ(user.GetHomePath(), "");
  EXPECT_FALSE(user.IsExpired());
  EXPECT_EQ(user.OpenByUid(4242), -1);
  EXPECT_FALSE(user.IsOpen());
  EXPECT_EQ(user.Open("", false), -1);
  const std::string log = box_.LogText();
  EXPECT_NE(log.find("[ERROR] sdk-cpp("), std::string::npos) << log;
  EXPECT_NE(log.find("): TARNUserGet(nobody): -1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): TARNUserGetByUID(4242): -1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): TARNUserGet(): -1\n"), std::string::npos) << log;
}

TEST_F(UserTest, MissingAccountFileFailsEveryLookup) {
  ASSERT_EQ(unlink(box_.Host("/etc/passwd").c_str()), 0);
  SDK::User user;
  EXPECT_EQ(user.Open("alice", false), -1);
  EXPECT_EQ(user.OpenByUid(1026), -1);
  EXPECT_FALSE(user.IsOpen());
}

TEST_F(UserTest, CloseAndReopen) {
  SDK::User user;
  ASSERT_EQ(user.Open("alice", false), 0);
  user.Close();
  EXPECT_FALSE(user.IsOpen());
  EXPECT_EQ(user.GetUid(), 0u);
  user.Close();  // twice is harmless
  ASSERT_EQ(user.Open("bob", false), 0);
  ASSERT_EQ(user.Open("alice", false), 0);
  EXPECT_EQ(user.GetUid(), 1026u);
}

TEST_F(UserTest, InvalidImplementationAnswersNeutrally) {
  SDK::SDKUserImpl direct("nobody");
  SDK::CacheUserImpl cached("nobody");
  for (const SDK::AbstractUserImpl* impl : {static_cast<const SDK::AbstractUserImpl*>(&direct),
                                            static_cast<const SDK::AbstractUserImpl*>(&cached)}) {
    EXPECT_FALSE(impl->IsValid());
    EXPECT_EQ(impl->GetName(), "");
    EXPECT_FALSE(impl->IsExpired());
    EXPECT_EQ(impl->GetUid(), 0u);
    EXPECT_EQ(impl->GetGid(), 0u);
    EXPECT_EQ(impl->GetHomePath(), "");
  }
}

TEST_F(UserTest, CacheWithoutDaemonFails) {
  SDK::User user;
  EXPECT_EQ(user.Open("alice", true), -1);
  EXPECT_FALSE(user.IsOpen());
  EXPECT_NE(box_.LogText().find("): Failed to get cache user: alice, rc=-1\n"), std::string::npos)
      << box_.LogText();
}

TEST_F(UserTest, CachedAccountsNeedNoPlatformFiles) {
  ASSERT_EQ(unlink(box_.Host("/etc/passwd").c_str()), 0);
  TableCache cache;
  SDK::CachedUser erin;
  erin.name = "erin";
  erin.uid = 1100;
  erin.gid = 101;
  erin.home = "/volume2/homes/erin";
  erin.expire = -1;
  cache.users["erin"] = erin;
  SDK::CachedUser frank = erin;
  frank.name = "frank";
  frank.uid = 1101;
  frank.home = "";
  frank.expire = 1;  // ran out on 2 January 1970
  cache.users["frank"] = frank;
  cache.missing_rc = -3;
  ScopedCache installed(&cache);

  SDK::User user;
  ASSERT_EQ(user.Open("erin", true), 0);
  EXPECT_EQ(user.GetName(), "erin");
  EXPECT_EQ(user.GetUid(), 1100u);
  EXPECT_EQ(user.GetGid(), 101u);
  EXPECT_EQ(user.GetHomePath(), "/volume2/homes/erin");
  EXPECT_FALSE(user.IsExpired());
  ASSERT_EQ(user.Open("frank", true), 0);
  EXPECT_EQ(user.GetHomePath(), "");
  EXPECT_TRUE(user.IsExpired());
  EXPECT_EQ(user.Open("ghost", true), -1);
  EXPECT_FALSE(user.IsOpen());
  EXPECT_NE(box_.LogText().find("): Failed to get cache user: ghost, rc=-3\n"), std::string::npos)
      << box_.LogText();
  // The direct road still asks the platform, which has no account file now.
  EXPECT_EQ(user.Open("erin", false), -1);
  EXPECT_EQ(cache.user_calls, 3);
  EXPECT_FALSE(cache.locked_during_call);
}

TEST_F(UserTest, DirectLookupsWaitForTheSdkLock) {
  // While another thread holds sdk_mutex, a direct open cannot finish.
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
