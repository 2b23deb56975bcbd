#include "platform/sdk_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

struct Account {
  const char* name;
  uint32_t uid, gid;
  const char* home;
  bool expired;
};

// Works for a User as for its implementations.
template <class U>
void CheckAccount(const U& user, const Account& a) {
  EXPECT_EQ(user.GetName(), a.name);
  EXPECT_EQ(user.GetUid(), a.uid);
  EXPECT_EQ(user.GetGid(), a.gid);
  EXPECT_EQ(user.GetHomePath(), a.home);
  EXPECT_EQ(user.IsExpired(), a.expired);
}

const Account kNone = {"", 0, 0, "", false};

// A cache backend answering from a table, as the cache daemon would.
class TableCache : public SDK::CacheBackend {
 public:
  TableCache() { SDK::SetCacheBackend(this); }
  ~TableCache() override { SDK::SetCacheBackend(nullptr); }

  int GetUser(const std::string& name, SDK::CachedUser* user) override {
    ++user_calls;
    locked_during_call = locked_during_call || SDK::sdk_mutex->IsOwnedByCurrentThread();
    auto it = users.find(name);
    if (it == users.end()) return -3;
    *user = it->second;
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
               "CORP\\carol:x:200001:200000::/volume1/homes/@DH-CORP/carol:/sbin/nologin\n"
               "dave@ldap.example:x:300001:300000::/volume1/homes/@LH-LDAP/dave:/sbin/nologin\n");
    // bob's account ran out on 2 January 1970; carol's runs until 2243.
    box_.Write("/etc/shadow",
               "alice:*:19000:0:99999:7:::\n"
               "bob:*:19000:0:99999:7::1:\n"
               "CORP\\carol:*:19000:0:99999:7::99999:\n");
  }

  bool Logged(const std::string& text) { return box_.LogText().find(text) != std::string::npos; }

  test_support::TestRoot box_;
};

TEST_F(UserTest, OpensAccountsFromThePlatform) {
  const Account rows[] = {
      {"alice", 1026, 100, "/volume1/homes/alice", false},
      {"bob", 1027, 100, "/volume1/homes/bob", true},
      {"CORP\\carol", 200001, 200000, "/volume1/homes/@DH-CORP/carol", false},
      {"dave@ldap.example", 300001, 300000, "/volume1/homes/@LH-LDAP/dave", false},
      {"root", 0, 0, "/root", false},
  };
  SDK::User user;
  for (const Account& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(user.Open(row.name, false), 0);  // over the one open before
    EXPECT_TRUE(user.IsOpen());
    CheckAccount(user, row);
    SDK::User by_uid;
    ASSERT_EQ(by_uid.OpenByUid(row.uid), 0);
    CheckAccount(by_uid, row);
  }
  EXPECT_EQ(box_.LogText(), "");
  user.Close();
  EXPECT_FALSE(user.IsOpen());
  CheckAccount(user, kNone);
  user.Close();  // twice is harmless
}

TEST_F(UserTest, UnknownAccountsLeaveTheHandleClosed) {
  SDK::User user;
  ASSERT_EQ(user.Open("alice", false), 0);
  // A failed open also closes what was open before.
  EXPECT_EQ(user.Open("nobody", false), -1);
  EXPECT_FALSE(user.IsOpen());
  CheckAccount(user, kNone);
  EXPECT_EQ(user.OpenByUid(4242), -1);
  EXPECT_FALSE(user.IsOpen());
  EXPECT_EQ(user.Open("", false), -1);
  EXPECT_EQ(user.Open("alice", true), -1);  // no cache daemon
  EXPECT_FALSE(user.IsOpen());
  EXPECT_TRUE(Logged("[ERROR] sdk-cpp("));
  EXPECT_TRUE(Logged("): TARNUserGet(nobody): -1\n"));
  EXPECT_TRUE(Logged("): TARNUserGetByUID(4242): -1\n"));
  EXPECT_TRUE(Logged("): TARNUserGet(): -1\n"));
  EXPECT_TRUE(Logged("): Failed to get cache user: alice, rc=-1\n")) << box_.LogText();

  ASSERT_EQ(unlink(box_.Host("/etc/passwd").c_str()), 0);
  EXPECT_EQ(user.Open("alice", false), -1);
  EXPECT_EQ(user.OpenByUid(1026), -1);

  SDK::SDKUserImpl direct("nobody");
  SDK::CacheUserImpl cached("nobody");
  for (const SDK::AbstractUserImpl* impl : {static_cast<const SDK::AbstractUserImpl*>(&direct),
                                            static_cast<const SDK::AbstractUserImpl*>(&cached)}) {
    EXPECT_FALSE(impl->IsValid());
    CheckAccount(*impl, kNone);
  }
}

TEST_F(UserTest, CachedAccountsNeedNoPlatformFiles) {
  ASSERT_EQ(unlink(box_.Host("/etc/passwd").c_str()), 0);
  TableCache cache;
  const Account accounts[] = {
      {"erin", 1100, 101, "/volume2/homes/erin", false},
      {"frank", 1101, 101, "", true},
  };
  for (const Account& a : accounts) {
    SDK::CachedUser& cached = cache.users[a.name];
    cached.name = a.name;
    cached.uid = a.uid;
    cached.gid = a.gid;
    cached.home = a.home;
    cached.expire = a.expired ? 1 : -1;  // 1: ran out on 2 January 1970
  }
  SDK::User user;
  for (const Account& a : accounts) {
    SCOPED_TRACE(a.name);
    ASSERT_EQ(user.Open(a.name, true), 0);
    CheckAccount(user, a);
  }
  EXPECT_EQ(user.Open("ghost", true), -1);
  EXPECT_FALSE(user.IsOpen());
  EXPECT_TRUE(Logged("): Failed to get cache user: ghost, rc=-3\n")) << box_.LogText();
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
