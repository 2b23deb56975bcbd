#include "platform/directory_service.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <thread>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

TEST(DirectoryServiceTest, AnswersFollowTheSwitches) {
  const struct {
    const char* conf;
    bool joined, domain_home, ldap, ldap_home;
  } cases[] = {
      {nullptr, false, false, false, false},  // no tarninfo.conf at all
      {"", false, false, false, false},
      {"domain_joined=\"yes\"\nservice_winbindd=\"yes\"\n", true, false, false, false},
      // Joined, but winbindd is off: domain accounts cannot be used.
      {"domain_joined=\"yes\"\nservice_winbindd=\"no\"\n", false, false, false, false},
      {"domain_joined=\"yes\"\n", false, false, false, false},
      {"service_winbindd=\"yes\"\n", false, false, false, false},
      {"userhome_domain=\"yes\"\n", false, true, false, false},
      {"ldap_bound=\"yes\"\nuserhome_ldap=\"no\"\n", false, false, true, false},
      {"ldap_bound=\"yes\"\nuserhome_ldap=\"yes\"\n", false, false, true, true},
      {"userhome_local=\"yes\"\nldap_bound=\"maybe\"\n", false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf != nullptr ? c.conf : "(missing)");
    test_support::TestRoot box;
    if (c.conf != nullptr) box.Write("/etc.defaults/tarninfo.conf", c.conf);
    EXPECT_EQ(SDK::IsDomainJoined(), c.joined);
    EXPECT_EQ(SDK::IsDomainUserHomeEnabled(), c.domain_home);
    EXPECT_EQ(SDK::IsLdapBound(), c.ldap);
    EXPECT_EQ(SDK::IsLdapUserHomeEnabled(), c.ldap_home);
    EXPECT_FALSE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  }
}

TEST(AppPrivilegeTest, DefaultRuleIsWrittenOnce) {
  test_support::TestRoot box;
  box.CaptureLog();
  box.MakeDir("/etc/tarn");
  SDK::AppPrivilege privilege;
  privilege.AddDefaultRule();
  privilege.AddDefaultRule();
  SDK::AppPrivilege().AddDefaultRule();
  Json::Value root;
  std::istringstream in(box.Read("/etc/tarn/app-privilege.json"));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr));
  ASSERT_EQ(root["rules"].size(), 1u);
  const Json::Value& rule = root["rules"][0];
  EXPECT_EQ(rule["type"].asInt(), 2);
  EXPECT_EQ(rule["id"].asInt(), 0);
  EXPECT_EQ(rule["app"].asString(), "TARN.HXA.DFVT.Instance");
  ASSERT_EQ(rule["allow"].size(), 1u);
  EXPECT_EQ(rule["allow"][0].asString(), "0.0.0.0");
  EXPECT_FALSE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  EXPECT_EQ(box.LogText(), "");
}

TEST(AppPrivilegeTest, FailureIsLoggedAndReleasesTheLock) {
  test_support::TestRoot box;
  box.CaptureLog();
  const std::string broken = "{\"rules\": [ not json";
  box.Write("/etc/tarn/app-privilege.json", broken);
  SDK::AppPrivilege().AddDefaultRule();
  EXPECT_EQ(box.Read("/etc/tarn/app-privilege.json"), broken);
  EXPECT_FALSE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  const std::string log = box.LogText();
  EXPECT_NE(log.find("[ERROR] sdk-impl-6-0("), std::string::npos) << log;
  EXPECT_NE(log.find("): Fail to set default allow rule\n"), std::string::npos) << log;
  // Another thread can take the lock at once.
  std::thread other([] {
    SDK::SdkLock();
    SDK::SdkUnlock();
  });
  other.join();
}

}  // namespace
