// Which kinds of accounts the NAS knows (Windows domain, LDAP) and whether
// they have home folders, and the package's default application privilege.
// Each question answers true only when the platform says exactly yes; errors
// count as no and are not logged.
#ifndef DRIFT_PLATFORM_DIRECTORY_SERVICE_H_
#define DRIFT_PLATFORM_DIRECTORY_SERVICE_H_

namespace SDK {

// Joined to a Windows domain, with the winbindd service enabled.
bool IsDomainJoined();
bool IsDomainUserHomeEnabled();
bool IsLdapBound();
bool IsLdapUserHomeEnabled();

// The package's application id in the platform's privilege rules.
constexpr char kAppPrivilegeAppId[] = "TARN.HXA.DFVT.Instance";

class AppPrivilege {
 public:
  AppPrivilege() = default;
  AppPrivilege(const AppPrivilege&) = delete;
  AppPrivilege& operator=(const AppPrivilege&) = delete;

  // Grants the package to everyone from any address (rule type 2, id 0,
  // allow "0.0.0.0").  Setting the rule again leaves the rule set as it is.
  // Failures are logged and leave the platform's rules unchanged.
  void AddDefaultRule();
};

}  // namespace SDK

#endif  // DRIFT_PLATFORM_DIRECTORY_SERVICE_H_
