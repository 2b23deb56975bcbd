// What the cache-backed user and share objects need from the package's cache
// daemon, as an interface the directory cache implements.
//
// The platform layer sits below the cache daemon client (whose share records
// embed a FileSystemProperty and call the platform), so it cannot call the
// client itself.  The client's side installs a CacheBackend at start-up that
// asks the daemon and copies its records into the plain values below.  With
// no backend installed every cache lookup fails as if the daemon were not
// running.
#ifndef DRIFT_PLATFORM_CACHE_BACKEND_H_
#define DRIFT_PLATFORM_CACHE_BACKEND_H_

#include <stdint.h>

#include <string>

#include "platform/file_system_property.h"

namespace SDK {

// The fields of a cached user record.
struct CachedUser {
  std::string name;
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string home;
  int32_t type = 0;
  int32_t expire = 0;      // expiry day as the platform's expiry test takes it
  int32_t cache_time = 0;  // seconds since the epoch
};

// The fields of a cached share record.
struct CachedShare {
  int32_t type = 1;     // 4 USB, 8 eSATA, 64 Gluster; else an ordinary share
  uint32_t status = 0;  // the platform's share status bits
  std::string name;
  std::string path;
  FileSystemProperty volume;  // the volume of the share (or of its encrypted data)
};

class CacheBackend {
 public:
  virtual ~CacheBackend() = default;

  // Each returns 0 with the output filled, or a negative result (the output
  // is then unspecified).  Implementations log their own failures, may be
  // called from any thread, and must not take sdk_mutex.
  virtual int GetUser(const std::string& name, CachedUser* user) = 0;
  virtual int GetShare(const std::string& name, CachedShare* share) = 0;
  // The share's key as bytes.
  virtual int GetShareUniqueKey(const std::string& name, std::string* key) = 0;
};

// Installs the backend (not owned; it must live until the process ends or
// another is installed); null removes it.
void SetCacheBackend(CacheBackend* backend);
// The installed backend, or null.
CacheBackend* GetCacheBackend();

}  // namespace SDK

#endif  // DRIFT_PLATFORM_CACHE_BACKEND_H_
