// UserGroupCache::User: a platform user as the package's cache daemon keeps
// it, and the message form in which the daemon hands it out.
//
// A record is a plain value: filled once (from a daemon reply, or by the
// daemon from the platform) and then only read.  The cache-backed user
// objects of the platform layer keep one record each.
#ifndef DRIFT_DIRCACHE_USER_GROUP_CACHE_H_
#define DRIFT_DIRCACHE_USER_GROUP_CACHE_H_

#include <stdint.h>

#include <string>

#include "messaging/pobject.h"

namespace UserGroupCache {

class User {
 public:
  User() = default;

  const std::string& GetName() const { return name_; }
  uint32_t GetUid() const { return uid_; }
  uint32_t GetGid() const { return gid_; }
  const std::string& GetHome() const { return home_; }
  // 0 local user, 2 LDAP user, 3 Windows domain user.
  int32_t GetType() const { return type_; }
  // The account's expiry day as the platform's expiry test takes it (days
  // since 1970-01-01; -1 or 0: never).
  int32_t GetExpire() const { return expire_; }
  // When the daemon took the record from the platform, in seconds since the
  // epoch.
  int32_t GetCacheTime() const { return cache_time_; }

  void SetName(const std::string& name) { name_ = name; }
  void SetUid(uint32_t uid) { uid_ = uid; }
  void SetGid(uint32_t gid) { gid_ = gid; }
  void SetHome(const std::string& home) { home_ = home; }
  void SetType(int32_t type) { type_ = type; }
  void SetExpire(int32_t expire) { expire_ = expire; }
  void SetCacheTime(int32_t cache_time) { cache_time_ = cache_time; }

  // True when the platform says the expiry day has begun.  Takes no lock: the
  // expiry test works on the number alone.
  bool IsExpired() const;

  // Replaces *message by a map of the seven keys "name", "uid", "gid",
  // "home", "type", "expire" and "cache_time".
  void ToMessage(PObject* message) const;
  // Reads the seven keys.  A missing key, a message that is not a map, or a
  // number key holding anything but an integer reads as "" or 0 (a text key
  // holding an integer reads as its decimal text).  Returns 0.
  int FromMessage(const PObject& message);

 private:
  std::string name_;
  uint32_t uid_ = 0;
  uint32_t gid_ = 0;
  std::string home_;
  int32_t type_ = 0;
  int32_t expire_ = 0;
  int32_t cache_time_ = 0;
};

}  // namespace UserGroupCache

#endif  // DRIFT_DIRCACHE_USER_GROUP_CACHE_H_
