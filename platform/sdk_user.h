// Platform users as small handles: SDK::User answers uid, gid, home folder
// and expiry for one account, read either directly from the platform's user
// library (under sdk_mutex) or from the package's cache daemon.
//
// An implementation is a snapshot taken when it is made; it never changes
// afterwards.  Accessors of an invalid implementation or of a closed User
// answer empty strings, false or 0 and never call the platform.
#ifndef DRIFT_PLATFORM_SDK_USER_H_
#define DRIFT_PLATFORM_SDK_USER_H_

#include <stdint.h>

#include <string>

#include "platform/cache_backend.h"
#include "platform/platform_lib.h"

namespace SDK {

class AbstractUserImpl {
 public:
  virtual ~AbstractUserImpl() = default;
  virtual bool IsValid() const = 0;
  virtual std::string GetName() const = 0;
  virtual bool IsExpired() const = 0;
  virtual uint32_t GetUid() const = 0;
  virtual uint32_t GetGid() const = 0;
  virtual std::string GetHomePath() const = 0;
};

// Backed by the platform's user record.
class SDKUserImpl : public AbstractUserImpl {
 public:
  // Looks the account up by name or by uid; a failed lookup is logged and
  // leaves the object invalid.
  explicit SDKUserImpl(const std::string& name);
  explicit SDKUserImpl(uint32_t uid);
  ~SDKUserImpl() override;
  SDKUserImpl(const SDKUserImpl&) = delete;
  SDKUserImpl& operator=(const SDKUserImpl&) = delete;

  bool IsValid() const override;
  std::string GetName() const override;
  bool IsExpired() const override;
  uint32_t GetUid() const override;
  uint32_t GetGid() const override;
  std::string GetHomePath() const override;

 private:
  TarnUserInfo* user_ = nullptr;  // owned; null when the lookup failed
};

// Backed by a record of the cache daemon; never takes sdk_mutex.
class CacheUserImpl : public AbstractUserImpl {
 public:
  explicit CacheUserImpl(const std::string& name);

  bool IsValid() const override;
  std::string GetName() const override;
  bool IsExpired() const override;
  uint32_t GetUid() const override;
  uint32_t GetGid() const override;
  std::string GetHomePath() const override;

 private:
  bool valid_ = false;
  CachedUser user_;
};

class User {
 public:
  User() = default;
  ~User();
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // Closes any open account, then opens `name` from the cache daemon
  // (`use_cache`) or from the platform.  Returns 0, or -1 with the handle
  // left closed.
  int Open(const std::string& name, bool use_cache);
  // The same by uid, always from the platform.
  int OpenByUid(uint32_t uid);
  bool IsOpen() const { return impl_ != nullptr; }
  void Close();

  std::string GetName() const;
  bool IsExpired() const;
  uint32_t GetUid() const;
  uint32_t GetGid() const;
  std::string GetHomePath() const;

 private:
  int Keep(AbstractUserImpl* impl);

  AbstractUserImpl* impl_ = nullptr;  // owned; null when closed
};

}  // namespace SDK

#endif  // DRIFT_PLATFORM_SDK_USER_H_
