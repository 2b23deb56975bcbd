#include "platform/directory_service.h"

#include <gtest/gtest.h>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

TEST(DirectoryServiceTest, AnswersFollowTheSwitches) {
  const struct {
    const char* conf;     // null: no tarninfo.conf
    const char* answers;  // j joined, d domain homes, l ldap bound, h ldap homes
  } cases[] = {
      {nullptr, ""},
      {"domain_joined=\"yes\"\nservice_winbindd=\"yes\"\n", "j"},
      {"domain_joined=\"yes\"\nservice_winbindd=\"no\"\n", ""},  // no winbindd: unusable
      {"userhome_domain=\"yes\"\n", "d"},
      {"ldap_bound=\"yes\"\nuserhome_ldap=\"no\"\n", "l"},
      {"ldap_bound=\"yes\"\nuserhome_ldap=\"yes\"\n", "lh"},
      {"userhome_local=\"yes\"\nldap_bound=\"maybe\"\n", ""},
  };
  for (const auto& c : cases) {
    test_support::TestRoot box;
    if (c.conf != nullptr) box.Write("/etc.defaults/tarninfo.conf", c.conf);
    const std::string answers = std::string(SDK::IsDomainJoined() ? "j" : "") +
                                (SDK::IsDomainUserHomeEnabled() ? "d" : "") +
                                (SDK::IsLdapBound() ? "l" : "") +
                                (SDK::IsLdapUserHomeEnabled() ? "h" : "");
    EXPECT_EQ(answers, c.answers) << (c.conf != nullptr ? c.conf : "(missing)");
  }
}

// (Writing the rule is driven by the service's end-to-end tests.)
TEST(AppPrivilegeTest, FailureIsLoggedAndReleasesTheLock) {
  test_support::TestRoot box;
  box.CaptureLog();
  const std::string broken = "{\"rules\": [ not json";
  box.Write("/etc/tarn/app-privilege.json", broken);
  SDK::AppPrivilege().AddDefaultRule();
  EXPECT_EQ(box.Read("/etc/tarn/app-privilege.json"), broken);
  EXPECT_FALSE(SDK::sdk_mutex->IsOwnedByCurrentThread());
  for (const char* line : {"[ERROR] sdk-impl-6-0(", "): Fail to set default allow rule\n"}) {
    EXPECT_NE(box.LogText().find(line), std::string::npos) << line << box.LogText();
  }
}

}  // namespace
