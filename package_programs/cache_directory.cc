#include "package_programs/cache_directory.h"

#include <string.h>
#include <time.h>

#include "package_programs/share_names.h"
#include "platform/platform_lib.h"
#include "platform/sdk_mutex.h"

namespace cached {

int32_t UserTypeOf(const std::string& name) {
  if (name.find('\\') != std::string::npos) return 3;
  if (name.find('@') != std::string::npos) return 2;
  return 0;
}

std::string ToLowerHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 0xF]);
  }
  return text;
}

int PlatformDirectory::GetUser(const std::string& name, UserGroupCache::User* user) {
  const int32_t now = static_cast<int32_t>(time(nullptr));
  auto kept = users_.find(name);
  if (kept != users_.end()) {
    const UserGroupCache::User& u = kept->second;
    const int32_t age = now - u.GetCacheTime();
    if (age >= 0 && age < kUserLifetime && !u.IsExpired()) {
      *user = u;
      return 0;
    }
    users_.erase(kept);
  }

  // The platform's record is read and freed under the same lock it was
  // fetched under.
  TarnUserInfo* info = nullptr;
  SDK::SdkLockGuard lock;
  if (TARNUserGet(name.c_str(), &info) < 0 || info == nullptr) return -1;
  UserGroupCache::User u;
  u.SetName(info->name != nullptr ? info->name : name);
  u.SetUid(info->uid);
  u.SetGid(info->gid);
  u.SetHome(info->home != nullptr ? info->home : "");
  u.SetType(UserTypeOf(u.GetName()));
  u.SetExpire(info->expire);
  u.SetCacheTime(now);
  TARNUserFree(info);
  users_[name] = u;
  *user = u;
  return 0;
}

int PlatformDirectory::GetShare(const std::string& name, ZOSCache::Share* share) {
  // Shares are asked afresh every time: their state (an encrypted share
  // being unlocked) changes without the daemon hearing of it.
  TarnShareInfo* info = nullptr;
  SDK::SdkLockGuard lock;
  if (TARNShareGet(name.c_str(), &info) < 0 || info == nullptr) return -1;
  share->SetFields(info->name != nullptr ? info->name : name,
                   info->path != nullptr ? info->path : "", info->status, info->type);
  TARNShareFree(info);
  return 0;
}

int PlatformDirectory::GetShareKey(const std::string& name, std::string* key) {
  char buffer[TARN_SHARE_KEY_SIZE];
  memset(buffer, 0, sizeof(buffer));
  SDK::SdkLockGuard lock;
  if (TARNShareEncDefaultKeyFileRead(name.c_str(), buffer, sizeof(buffer)) < 0) return -1;
  key->assign(buffer, sizeof(buffer));
  return 0;
}

int PlatformDirectory::GetDomainSid(std::string* sid) {
  // Outside a domain there is no SID to give; inside one, this host's
  // platform layer offers no call that tells it.
  sid->clear();
  return -1;
}

int PlatformDirectory::ListShareNames(std::vector<std::string>* names) {
  // Only what the share lookup itself would find, so that every listed name
  // can be asked for.  (The lock is recursive: the listing takes it again.)
  SDK::SdkLockGuard lock;
  std::vector<std::string> listed;
  if (ListPlatformShareNames(&listed) != 0) return -1;
  names->clear();
  for (const std::string& name : listed) {
    TarnShareInfo* info = nullptr;
    if (TARNShareGet(name.c_str(), &info) == 0 && info != nullptr) names->push_back(name);
    TARNShareFree(info);
  }
  return 0;
}

int PlatformDirectory::ListDomainNames(std::vector<std::string>* names) {
  {
    SDK::SdkLockGuard lock;
    if (TARNWinsIsJoined() == 0) {
      // Not joined: no domains.
      names->clear();
      return 0;
    }
  }
  // Joined, but this host's platform layer offers no call that names the
  // domains: refuse rather than claim there are none.
  return -1;
}

void PlatformDirectory::Reload() { users_.clear(); }

}  // namespace cached
