// Shared folders as small handles: SDK::Share answers a share's path, its
// volume and share-bin folders, its status (encrypted, mounted, recycle bin,
// kind of volume) and a user's rights on it, read either directly from the
// platform's share library (under sdk_mutex) or from a record of the
// package's cache daemon.
//
// An implementation is a snapshot taken when it is made.  Accessors of an
// invalid implementation answer the neutral values stated below without
// calling the platform; a closed Share answers empty strings, false or 0.
#ifndef DRIFT_PLATFORM_SDK_SHARE_H_
#define DRIFT_PLATFORM_SDK_SHARE_H_

#include <stdint.h>

#include <string>

#include "platform/cache_backend.h"
#include "platform/platform_lib.h"

namespace SDK {

class AbstractShareImpl {
 public:
  virtual ~AbstractShareImpl() = default;
  virtual std::string GetName() const = 0;
  virtual std::string GetPath() const = 0;
  // The mount point of the volume holding the share.
  virtual std::string GetVolumePath() const = 0;
  virtual std::string GetShareBinPath() const = 0;
  virtual std::string GetVolumeMountPath() const = 0;
  // The platform's status bits; all bits set when invalid.
  virtual uint32_t GetStatus() const = 0;
  // 5 for a Windows-ACL share, else 4; -1 when invalid.
  virtual int32_t GetAclMode() const = 0;
  virtual bool IsValid() const = 0;
  virtual bool IsSkipSmbPerm() const = 0;
  virtual bool IsRecycleBinEnabled() const = 0;
  virtual bool IsRecycleBinAdminOnly() const = 0;
  virtual bool IsEncryption() const = 0;
  // False only for a locked encrypted share; true when invalid.
  virtual bool IsMounted() const = 0;
  virtual bool IsStatusBit3Set() const = 0;
  virtual bool IsStatusBit14Set() const = 0;
  virtual bool IsGluster() const = 0;
  virtual bool IsSataShare() const = 0;
  virtual bool IsUsbShare() const = 0;
  // Not USB, eSATA, Gluster or encrypted; true when invalid.
  virtual bool IsRegularShare() const = 0;
  // Whether the package or program `name` registered the share read-only.
  virtual bool IsReadOnlyRegisteredBy(const std::string& name) const = 0;
  // TARN_SHARE_RIGHT_* of `user`; 4 (no access) on any failure.
  virtual int32_t GetUserRight(const std::string& user) const = 0;
  // For a valid encrypted share: 1 with the key bytes, -1 with *key emptied
  // when it cannot be read.  0 (and *key emptied) otherwise.
  virtual int32_t GetEncryptionKey(std::string* key) const = 0;
};

// Backed by the platform's share record; every platform call holds sdk_mutex.
class SDKShareImpl : public AbstractShareImpl {
 public:
  explicit SDKShareImpl(const std::string& name);
  ~SDKShareImpl() override;
  SDKShareImpl(const SDKShareImpl&) = delete;
  SDKShareImpl& operator=(const SDKShareImpl&) = delete;

  std::string GetName() const override;
  std::string GetPath() const override;
  std::string GetVolumePath() const override;
  std::string GetShareBinPath() const override;
  std::string GetVolumeMountPath() const override;
  uint32_t GetStatus() const override;
  int32_t GetAclMode() const override;
  bool IsValid() const override;
  bool IsSkipSmbPerm() const override;
  bool IsRecycleBinEnabled() const override;
  bool IsRecycleBinAdminOnly() const override;
  bool IsEncryption() const override;
  bool IsMounted() const override;
  bool IsStatusBit3Set() const override;
  bool IsStatusBit14Set() const override;
  bool IsGluster() const override;
  bool IsSataShare() const override;
  bool IsUsbShare() const override;
  bool IsRegularShare() const override;
  bool IsReadOnlyRegisteredBy(const std::string& name) const override;
  int32_t GetUserRight(const std::string& user) const override;
  int32_t GetEncryptionKey(std::string* key) const override;

 private:
  // One of the platform's status getters, with 0 standing when it fails.
  int StatusValue(int (*getter)(const TarnShareInfo*, int*), const char* failure) const;

  TarnShareInfo* share_ = nullptr;  // owned; null when the lookup failed
};

// Backed by a record of the cache daemon; never takes sdk_mutex.
class CacheShareImpl : public AbstractShareImpl {
 public:
  explicit CacheShareImpl(const std::string& name);

  std::string GetName() const override;
  std::string GetPath() const override;
  std::string GetVolumePath() const override;
  std::string GetShareBinPath() const override;
  std::string GetVolumeMountPath() const override;
  uint32_t GetStatus() const override;
  int32_t GetAclMode() const override;
  bool IsValid() const override;
  bool IsSkipSmbPerm() const override;
  bool IsRecycleBinEnabled() const override;
  bool IsRecycleBinAdminOnly() const override;
  bool IsEncryption() const override;
  bool IsMounted() const override;
  bool IsStatusBit3Set() const override;
  bool IsStatusBit14Set() const override;
  bool IsGluster() const override;
  bool IsSataShare() const override;
  bool IsUsbShare() const override;
  bool IsRegularShare() const override;
  bool IsReadOnlyRegisteredBy(const std::string& name) const override;
  int32_t GetUserRight(const std::string& user) const override;
  int32_t GetEncryptionKey(std::string* key) const override;

 private:
  bool Bit(uint32_t bit) const { return valid_ && (share_.status & bit) != 0; }

  bool valid_ = false;
  CachedShare share_;
};

class Share {
 public:
  Share() = default;
  ~Share();
  Share(const Share&) = delete;
  Share& operator=(const Share&) = delete;

  // Closes any open share, then opens `name` from the cache daemon
  // (`use_cache`) or from the platform.  Returns 0, or -1 with the handle
  // left closed.
  int Open(const std::string& name, bool use_cache);
  bool IsOpen() const { return impl_ != nullptr; }
  void Close();

  std::string GetName() const;
  std::string GetPath() const;
  std::string GetVolumePath() const;
  std::string GetShareBinPath() const;
  std::string GetVolumeMountPath() const;
  uint32_t GetStatus() const;
  int32_t GetAclMode() const;
  bool IsValid() const;
  bool IsSkipSmbPerm() const;
  bool IsRecycleBinEnabled() const;
  bool IsRecycleBinAdminOnly() const;
  bool IsEncryption() const;
  bool IsMounted() const;
  bool IsStatusBit3Set() const;
  bool IsStatusBit14Set() const;
  bool IsGluster() const;
  bool IsSataShare() const;
  bool IsUsbShare() const;
  bool IsRegularShare() const;
  bool IsReadOnlyRegisteredBy(const std::string& name) const;
  int32_t GetUserRight(const std::string& user) const;
  // A closed share answers 0 and leaves *key alone.
  int32_t GetEncryptionKey(std::string* key) const;

 private:
  AbstractShareImpl* impl_ = nullptr;  // owned; null when closed
};

}  // namespace SDK

#endif  // DRIFT_PLATFORM_SDK_SHARE_H_
