// What drift-cached knows: the platform's users, shares and domain, asked
// through the platform calls, with users kept for a while.
//
// The daemon serves one connection at a time from one thread; a Directory is
// used by that thread only.
#ifndef DRIFT_PACKAGE_PROGRAMS_CACHE_DIRECTORY_H_
#define DRIFT_PACKAGE_PROGRAMS_CACHE_DIRECTORY_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "dircache/user_group_cache.h"
#include "dircache/zos_cache_share.h"

namespace cached {

class Directory {
 public:
  virtual ~Directory() = default;

  // Each returns 0 with the output filled, or -1 when the platform knows no
  // such thing (or cannot be asked).
  virtual int GetUser(const std::string& name, UserGroupCache::User* user) = 0;
  // The share's platform fields (the volume is left to the reader).
  virtual int GetShare(const std::string& name, ZOSCache::Share* share) = 0;
  // The share's key as bytes.
  virtual int GetShareKey(const std::string& name, std::string* key) = 0;
  virtual int GetDomainSid(std::string* sid) = 0;
  virtual int ListShareNames(std::vector<std::string>* names) = 0;
  virtual int ListDomainNames(std::vector<std::string>* names) = 0;
  // Forgets everything kept.
  virtual void Reload() = 0;
};

class PlatformDirectory : public Directory {
 public:
  // A kept user older than this is asked of the platform again.
  static const int32_t kUserLifetime = 43200;

  int GetUser(const std::string& name, UserGroupCache::User* user) override;
  int GetShare(const std::string& name, ZOSCache::Share* share) override;
  int GetShareKey(const std::string& name, std::string* key) override;
  int GetDomainSid(std::string* sid) override;
  int ListShareNames(std::vector<std::string>* names) override;
  int ListDomainNames(std::vector<std::string>* names) override;
  void Reload() override;

 private:
  // Users by name.  Unknown names are not kept, so a new account is found as
  // soon as the platform has it.
  std::map<std::string, UserGroupCache::User> users_;
};

// The user type of a platform account name: 3 for a Windows domain account
// ("DOMAIN\name"), 2 for an LDAP account ("name@base"), else 0 (local).
int32_t UserTypeOf(const std::string& name);

// Lowercase hexadecimal, two digits per byte, high nibble first.
std::string ToLowerHex(const std::string& bytes);

}  // namespace cached

#endif  // DRIFT_PACKAGE_PROGRAMS_CACHE_DIRECTORY_H_
