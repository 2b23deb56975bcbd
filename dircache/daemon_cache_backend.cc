#include "dircache/daemon_cache_backend.h"

#include "dircache/cache_daemon_client.h"

namespace dircache {

DaemonCacheBackend::DaemonCacheBackend(CacheDaemonClient* client)
    : client_(client != nullptr ? client : CacheDaemonClient::GetInstance()) {}

void CopyUser(const UserGroupCache::User& from, SDK::CachedUser* to) {
  to->name = from.GetName();
  to->uid = from.GetUid();
  to->gid = from.GetGid();
  to->home = from.GetHome();
  to->type = from.GetType();
  to->expire = from.GetExpire();
  to->cache_time = from.GetCacheTime();
}

void CopyShare(const ZOSCache::Share& from, SDK::CachedShare* to) {
  to->type = from.GetType();
  to->status = from.GetStatus();
  to->name = from.GetName();
  to->path = from.GetPath();
  to->volume = from.GetVolume();
}

int DaemonCacheBackend::GetUser(const std::string& name, SDK::CachedUser* user) {
  UserGroupCache::User record;
  int rc = client_->GetUser(name, &record);
  if (rc < 0) return rc;
  CopyUser(record, user);
  return 0;
}

int DaemonCacheBackend::GetShare(const std::string& name, SDK::CachedShare* share) {
  ZOSCache::Share record;
  int rc = client_->GetShare(name, &record);
  if (rc < 0) return rc;
  CopyShare(record, share);
  return 0;
}

int DaemonCacheBackend::GetShareUniqueKey(const std::string& name, std::string* key) {
  return client_->GetShareUniqueKey(name, key);
}

void InstallDaemonCacheBackend() {
  // Lives until the process ends, as the platform layer requires.
  static DaemonCacheBackend* backend = new DaemonCacheBackend();
  SDK::SetCacheBackend(backend);
}

}  // namespace dircache
