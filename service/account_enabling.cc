#include "service/account_enabling.h"

#include <syslog.h>

#include <string>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "package_db/manager.h"
#include "platform/directory_service.h"
#include "userdb/user_manager.h"

namespace {

const char kComponent[] = "service_ctrl_debug";

// Whether the platform gives accounts of this kind home folders (and, for
// directory accounts, whether the directory is there at all).  Without that
// the account has nothing to synchronise.
bool KindIsServed(int kind) {
  switch (kind) {
    case kUserTypeLdap:
      return SDK::IsLdapUserHomeEnabled() && SDK::IsLdapBound();
    case kUserTypeDomain:
      return SDK::IsDomainUserHomeEnabled() && SDK::IsDomainJoined();
    default:
      return true;
  }
}

// Gives the new entry its view database with the package-wide rotation
// default.  Failures are logged; the entry stays in the user database.
void CreateViewOf(const UserEntry& entry, const ustring& name) {
  db::ViewDBInterface view;
  const unsigned long long view_id = entry.view_id;
  if (db::Manager::CreateView(entry.view_id) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): CreateView for view_id %llu (%s) failed",
                __LINE__, view_id, name.c_str());
    return;
  }
  int count = 0;
  ustring policy;
  const int found = UserManager::QueryRotateSettingTable(0, &count, &policy);
  if (found < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): QueryRotateSettingTable failed",
                __LINE__);
    return;
  }
  if (db::Manager::GetViewDB(entry.view_id, &view) < 0) {
    syslog(LOG_ERR, "Failed to open view db with view_id %llu\n", view_id);
    return;
  }
  // The default row of view 0 is seeded with the database; should someone
  // have deleted it, the view keeps the library's own defaults rather than
  // made-up values.
  if (found == 1) {
    view.SetRotateCount(count);
    view.SetRotatePolicy(policy.str());
  }
}

}  // namespace

int AccountKindOf(const ustring& name) {
  if (name.find('\\') != ustring::npos) return kUserTypeDomain;
  if (name.find('@') != ustring::npos) return kUserTypeLdap;
  return kUserTypeLocal;
}

void EnableAccount(const ustring& name, const ustring& volume) {
  const int kind = AccountKindOf(name);
  bool databases_unusable = false;

  if (db::Manager::Initialize(paths::HostPath(volume.str() + paths::kSyncFolder)) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): Failed to initialize sync folder data database",
                __LINE__);
    databases_unusable = true;
  } else if (UserManager::Initialize(volume + paths::kUserDbSuffix) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): Failed to initialize sync folder user database",
                __LINE__);
    databases_unusable = true;
  } else if (KindIsServed(kind)) {
    const int added = UserManager::AddUser(name, kind, 0);
    UserEntry entry;
    if (added < 0) {
      Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to add user '%s'", __LINE__,
                  name.c_str());
    } else if (UserManager::GetUserByName(name, &entry) < 0 || (added == 1 && entry.view_id == 0)) {
      // A new entry that cannot be read back (removed again at once by
      // another process) has no view id to build on; view 0 is the
      // package-wide default and never a user's view.
      Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to query user '%s'", __LINE__,
                  name.c_str());
    } else if (added == 1) {
      // Only a new entry gets a view: an existing one has had its view since
      // it was added, with whatever rotation setting it was given since.
      CreateViewOf(entry, name);
    }
  }

  db::Manager::Destroy(false);
  UserManager::Close();
  if (databases_unusable) {
    Logger::Log(4, kComponent, "[WARNING] service-ctrl(%d): '%s' is not automatically enabled",
                __LINE__, name.c_str());
  }
}
