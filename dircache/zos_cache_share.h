// ZOSCache::Share: a platform shared folder as the package's cache daemon
// hands it out, with the description of the volume that holds it.
//
// The message form carries the platform's fields only (name, path, status
// word, type); the volume is described by whoever reads the message, on its
// own host view of the path (Fill).
#ifndef DRIFT_DIRCACHE_ZOS_CACHE_SHARE_H_
#define DRIFT_DIRCACHE_ZOS_CACHE_SHARE_H_

#include <stdint.h>

#include <string>

#include "messaging/pobject.h"
#include "platform/file_system_property.h"

namespace ZOSCache {

class Share {
 public:
  // Status bits of the platform's share status word.
  enum : uint32_t {
    kStatusNotMounted = 0x1,  // together with kStatusEncrypted: a locked share
    kStatusEncrypted = 0x2,
    kStatusBit3 = 0x8,
    kStatusRecycleBin = 0x100,
    kStatusRecycleAdminOnly = 0x200,
    kStatusWinAcl = 0x800,
    kStatusSkipSmbPerm = 0x1000,
    kStatusBit14 = 0x4000,
  };
  // Share types; any other value is an ordinary share.
  enum : int32_t {
    kTypeUsb = 4,
    kTypeSata = 8,
    kTypeGluster = 64,
  };

  Share() = default;

  const std::string& GetName() const { return name_; }
  const std::string& GetPath() const { return path_; }
  int32_t GetType() const { return type_; }
  uint32_t GetStatus() const { return status_; }
  // The volume that holds the share (for an encrypted share: its data).
  const FileSystemProperty& GetVolume() const { return volume_; }
  std::string GetMountPath() const { return volume_.mount_path(); }
  std::string GetBinBasePath() const { return volume_.bin_base_path(); }

  bool IsEncryption() const { return (status_ & kStatusEncrypted) != 0; }
  // False only for a locked encrypted share (both 0x1 and 0x2 set).
  bool IsMounted() const {
    const uint32_t locked = kStatusNotMounted | kStatusEncrypted;
    return (status_ & locked) != locked;
  }
  bool IsRecycleBinEnabled() const { return (status_ & kStatusRecycleBin) != 0; }
  bool IsRecycleBinAdminOnly() const { return (status_ & kStatusRecycleAdminOnly) != 0; }
  bool IsSkipSmbPerm() const { return (status_ & kStatusSkipSmbPerm) != 0; }
  bool IsStatusBit3Set() const { return (status_ & kStatusBit3) != 0; }
  bool IsStatusBit14Set() const { return (status_ & kStatusBit14) != 0; }
  // 5 for a Windows ACL share, else 4.
  int32_t GetAclMode() const { return (status_ & kStatusWinAcl) != 0 ? 5 : 4; }

  bool IsUsbShare() const { return type_ == kTypeUsb; }
  bool IsSataShare() const { return type_ == kTypeSata; }
  bool IsGluster() const { return type_ == kTypeGluster; }
  bool IsRegularShare() const {
    return !IsUsbShare() && !IsSataShare() && !IsGluster() && !IsEncryption();
  }

  // Stores the four platform fields and describes the volume: the one
  // holding the encrypted data for an encrypted share (asked of the
  // platform), else the one holding the path.  Returns 0, or -1 (logged) when
  // the volume cannot be described; the four fields are stored either way.
  int Fill(const std::string& name, const std::string& path, uint32_t status, int32_t type);
  // Stores the four platform fields only, leaving the volume undescribed: for
  // the daemon, which hands the fields on and lets each reader describe the
  // volume on its own view of the path.
  void SetFields(const std::string& name, const std::string& path, uint32_t status, int32_t type);

  // Replaces *message by a map of "name", "path", "type" and "status".
  void ToMessage(PObject* message) const;
  // Reads "name" and "path" as text and "status" and "type" as 32-bit
  // integers (missing or mistyped keys read as "" and 0), then Fill.
  // Returns Fill's result.
  int FromMessage(const PObject& message);

 private:
  int32_t type_ = 1;
  uint32_t status_ = 0;
  [[maybe_unused]] std::string spare_;  // part of the record's layout; never set here
  std::string name_;
  std::string path_;
  FileSystemProperty volume_;
};

}  // namespace ZOSCache

#endif  // DRIFT_DIRCACHE_ZOS_CACHE_SHARE_H_
