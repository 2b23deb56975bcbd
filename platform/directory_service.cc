#include "platform/directory_service.h"

#include <string.h>

#include "cli/logger.h"
#include "platform/platform_lib.h"
#include "platform/sdk_mutex.h"

namespace SDK {
namespace {
constexpr char kComponent[] = "sdk_cpp_debug";
constexpr int kUserHomeDomain = 2;
constexpr int kUserHomeLdap = 8;
constexpr int kRuleTypeEveryone = 2;
constexpr char kAnyAddress[] = "0.0.0.0";
}  // namespace

bool IsDomainJoined() {
  SdkLockGuard lock;
  return TARNWinsIsJoined() == 1 && TLIBServiceIsEnabled("winbindd") == 1;
}

bool IsDomainUserHomeEnabled() {
  SdkLockGuard lock;
  return TARNServiceUserHomeIsEnabled(kUserHomeDomain, 0) == 1;
}

bool IsLdapBound() {
  SdkLockGuard lock;
  return TARNLDAPIsBinded() == 1;
}

bool IsLdapUserHomeEnabled() {
  SdkLockGuard lock;
  return TARNServiceUserHomeIsEnabled(kUserHomeLdap, 0) == 1;
}

void AppPrivilege::AddDefaultRule() {
  SdkLock();
  TarnAppPrivRule* rule = TLIBAppPrivRuleAlloc();
  if (rule == nullptr) {
    Logger::Log(3, kComponent, "[ERROR] sdk-impl-6-0(%d): fail to allocate app rule list\n",
                __LINE__);
    SdkUnlock();
    return;
  }
  rule->type = kRuleTypeEveryone;
  rule->id = 0;
  rule->app = strdup(kAppPrivilegeAppId);
  if (rule->app == nullptr) {
    Logger::Log(3, kComponent, "[ERROR] sdk-impl-6-0(%d): strdup (%s) failed\n", __LINE__,
                kAppPrivilegeAppId);
  } else if (TLIBCSzListPush(&rule->allow, kAnyAddress) < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-impl-6-0(%d): push everyone allow rule failed\n",
                __LINE__);
  } else if (TLIBAppPrivRuleSetOne(rule) < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-impl-6-0(%d): Fail to set default allow rule\n",
                __LINE__);
  }
  SdkUnlock();
  // Freeing needs no lock: the rule is ours alone.
  TLIBAppPrivRuleFree(rule);
}

}  // namespace SDK
