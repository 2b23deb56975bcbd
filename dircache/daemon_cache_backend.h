// Connects the platform layer's cache-backed user and share objects to the
// package's cache daemon.
//
// The platform layer cannot call the cache daemon client itself (the client's
// share records are built on the platform layer), so it asks an installed
// SDK::CacheBackend.  This one asks the daemon through CacheDaemonClient and
// copies the records into the platform layer's plain values.  A program that
// opens users or shares "from the cache" installs it once at start-up:
//
//   dircache::InstallDaemonCacheBackend();
#ifndef DRIFT_DIRCACHE_DAEMON_CACHE_BACKEND_H_
#define DRIFT_DIRCACHE_DAEMON_CACHE_BACKEND_H_

#include <string>

#include "dircache/user_group_cache.h"
#include "dircache/zos_cache_share.h"
#include "platform/cache_backend.h"

class CacheDaemonClient;

namespace dircache {

class DaemonCacheBackend : public SDK::CacheBackend {
 public:
  // Asks `client` (not owned; the process's one client when null).
  explicit DaemonCacheBackend(CacheDaemonClient* client = nullptr);

  int GetUser(const std::string& name, SDK::CachedUser* user) override;
  int GetShare(const std::string& name, SDK::CachedShare* share) override;
  int GetShareUniqueKey(const std::string& name, std::string* key) override;

 private:
  CacheDaemonClient* client_;
};

// The copies between the directory cache's records and the platform layer's.
void CopyUser(const UserGroupCache::User& from, SDK::CachedUser* to);
void CopyShare(const ZOSCache::Share& from, SDK::CachedShare* to);

// Installs a process-wide DaemonCacheBackend over the process's one client
// (idempotent, thread-safe).
void InstallDaemonCacheBackend();

}  // namespace dircache

#endif  // DRIFT_DIRCACHE_DAEMON_CACHE_BACKEND_H_
