#include "platform/sdk_share.h"

#include <new>

#include "cli/logger.h"
#include "platform/sdk_functions.h"
#include "platform/sdk_mutex.h"

namespace SDK {
namespace {

constexpr char kComponent[] = "default_component";
constexpr uint32_t kAllBits = 0xFFFFFFFFu;
constexpr int32_t kNoAccess = TARN_SHARE_RIGHT_NO_ACCESS;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// SDKShareImpl

SDKShareImpl::SDKShareImpl(const std::string& name) {
  SdkLockGuard lock;
  int rc = TARNShareGet(name.c_str(), &share_);
  if (rc < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TARNShareGet(%s): %d\n", __LINE__,
                name.c_str(), rc);
    share_ = nullptr;
  }
}

SDKShareImpl::~SDKShareImpl() {
  if (share_ == nullptr) return;
  SdkLockGuard lock;
  TARNShareFree(share_);
}

int SDKShareImpl::StatusValue(int (*getter)(const TarnShareInfo*, int*),
                              const char* failure) const {
  int value = 0;
  SdkLockGuard lock;
  if (getter(share_, &value) < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): %s\n", __LINE__, failure);
  }
  return value;
}

std::string SDKShareImpl::GetName() const {
  if (!IsValid() || share_->name == nullptr) return std::string();
  return share_->name;
}

std::string SDKShareImpl::GetPath() const {
  if (!IsValid() || share_->path == nullptr) return std::string();
  return share_->path;
}

std::string SDKShareImpl::GetVolumePath() const {
  if (!IsValid()) return std::string();
  return GetVolumePathOf(GetPath());
}

std::string SDKShareImpl::GetShareBinPath() const {
  if (!IsValid()) return std::string();
  return SDK::GetShareBinPath(GetPath());
}

std::string SDKShareImpl::GetVolumeMountPath() const { return GetVolumePath(); }

uint32_t SDKShareImpl::GetStatus() const { return IsValid() ? share_->status : kAllBits; }

int32_t SDKShareImpl::GetAclMode() const {
  if (!IsValid()) return -1;
  int windows_acl = 0;
  SdkLockGuard lock;
  TLIBShareIsWinShareGet(share_, &windows_acl);
  return windows_acl == 1 ? 5 : 4;
}

bool SDKShareImpl::IsValid() const { return share_ != nullptr; }

bool SDKShareImpl::IsSkipSmbPerm() const {
  return IsValid() &&
         StatusValue(TLIBShareIsSkipSmbPermGet, "Failed to get share privilege status") == 1;
}

bool SDKShareImpl::IsRecycleBinEnabled() const {
  return IsValid() &&
         StatusValue(TLIBShareRecycleStatusGet, "Failed to get share recycle bin status") == 1;
}

bool SDKShareImpl::IsRecycleBinAdminOnly() const {
  return IsValid() && StatusValue(TLIBShareRecycleAdminOnlyStatusGet,
                                  "Failed to get share recycle bin admin only status") == 1;
}

bool SDKShareImpl::IsEncryption() const {
  return IsValid() &&
         StatusValue(TLIBShareIsEncryptionGet, "Failed to get share encryption status") == 1;
}

bool SDKShareImpl::IsMounted() const {
  return !IsValid() ||
         StatusValue(TLIBShareIsEncryptedGet, "Failed to get share mount status") == 0;
}

bool SDKShareImpl::IsStatusBit3Set() const {
  return IsValid() && (share_->status & TARN_SHARE_STATUS_BIT3) != 0;
}

bool SDKShareImpl::IsStatusBit14Set() const {
  return IsValid() && (share_->status & TARN_SHARE_STATUS_BIT14) != 0;
}

bool SDKShareImpl::IsGluster() const {
  if (!IsValid()) return false;
  SdkLockGuard lock;
  return TLIBIsGlusterShare(share_) == 1;
}

bool SDKShareImpl::IsSataShare() const { return IsValid() && StartsWith(GetPath(), "/volumeSATA"); }

bool SDKShareImpl::IsUsbShare() const {
  // The prefix test comes first: only then is the volume worth describing.
  return IsValid() && StartsWith(GetPath(), "/volumeUSB") && GetPath() == GetVolumePath();
}

bool SDKShareImpl::IsRegularShare() const {
  if (!IsValid()) return true;
  return !IsUsbShare() && !IsSataShare() && !IsGluster() && !IsEncryption();
}

bool SDKShareImpl::IsReadOnlyRegisteredBy(const std::string& name) const {
  if (!IsValid() || share_->name == nullptr) return false;
  SdkLockGuard lock;
  return TARNShareAttrReadOnlyIsRegBy(share_->name, name.c_str()) == 1;
}

int32_t SDKShareImpl::GetUserRight(const std::string& user) const {
  if (!IsValid()) return kNoAccess;
  SdkLockGuard lock;
  int right = TLIBShareUserRightGet(user.c_str(), share_);
  if (right < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] sdk-cpp(%d): TLIBShareUserRightGet(%s, %s): Error Code %d\n", __LINE__,
                user.c_str(), GetName().c_str(), TLIBCErrGet());
    return kNoAccess;
  }
  return right;
}

int32_t SDKShareImpl::GetEncryptionKey(std::string* key) const {
  key->clear();
  if (!IsValid() || !IsEncryption()) return 0;
  char buffer[TARN_SHARE_KEY_SIZE] = {0};
  SdkLockGuard lock;
  if (TARNShareEncDefaultKeyFileRead(GetName().c_str(), buffer, sizeof(buffer)) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] sdk-cpp(%d): TARNShareEncDefaultKeyFileRead(%s) failed, Error Code %d. \n",
                __LINE__, GetName().c_str(), TLIBCErrGet());
    return -1;
  }
  key->assign(buffer, sizeof(buffer));
  return 1;
}

// ---------------------------------------------------------------------------
// CacheShareImpl

CacheShareImpl::CacheShareImpl(const std::string& name) {
  CacheBackend* cache = GetCacheBackend();
  int rc = cache != nullptr ? cache->GetShare(name, &share_) : -1;
  if (rc < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): Failed to get cache share: %s, rc=%d\n",
                __LINE__, name.c_str(), rc);
    share_ = CachedShare();
    return;
  }
  valid_ = true;
}

std::string CacheShareImpl::GetName() const { return valid_ ? share_.name : std::string(); }

std::string CacheShareImpl::GetPath() const { return valid_ ? share_.path : std::string(); }

std::string CacheShareImpl::GetVolumePath() const {
  return valid_ ? share_.volume.mount_path() : std::string();
}

std::string CacheShareImpl::GetShareBinPath() const {
  return valid_ ? share_.volume.bin_base_path() : std::string();
}

std::string CacheShareImpl::GetVolumeMountPath() const { return GetVolumePath(); }

uint32_t CacheShareImpl::GetStatus() const { return valid_ ? share_.status : kAllBits; }

int32_t CacheShareImpl::GetAclMode() const {
  if (!valid_) return -1;
  return Bit(TARN_SHARE_STATUS_WIN_ACL) ? 5 : 4;
}

bool CacheShareImpl::IsValid() const { return valid_; }

bool CacheShareImpl::IsSkipSmbPerm() const { return Bit(TARN_SHARE_STATUS_SKIP_SMB_PERM); }

bool CacheShareImpl::IsRecycleBinEnabled() const { return Bit(TARN_SHARE_STATUS_RECYCLE_BIN); }

bool CacheShareImpl::IsRecycleBinAdminOnly() const {
  return Bit(TARN_SHARE_STATUS_RECYCLE_ADMIN_ONLY);
}

bool CacheShareImpl::IsEncryption() const { return Bit(TARN_SHARE_STATUS_ENCRYPTED); }

bool CacheShareImpl::IsMounted() const {
  const uint32_t locked = TARN_SHARE_STATUS_ENCRYPTED | TARN_SHARE_STATUS_NOT_MOUNTED;
  return !valid_ || (share_.status & locked) != locked;
}

bool CacheShareImpl::IsStatusBit3Set() const { return Bit(TARN_SHARE_STATUS_BIT3); }

bool CacheShareImpl::IsStatusBit14Set() const { return Bit(TARN_SHARE_STATUS_BIT14); }

bool CacheShareImpl::IsGluster() const { return valid_ && share_.type == TARN_SHARE_TYPE_GLUSTER; }

bool CacheShareImpl::IsSataShare() const { return valid_ && share_.type == TARN_SHARE_TYPE_SATA; }

bool CacheShareImpl::IsUsbShare() const { return valid_ && share_.type == TARN_SHARE_TYPE_USB; }

bool CacheShareImpl::IsRegularShare() const {
  if (!valid_) return true;
  return !IsUsbShare() && !IsSataShare() && !IsGluster() && !IsEncryption();
}

bool CacheShareImpl::IsReadOnlyRegisteredBy(const std::string& name) const {
  return valid_ && TARNShareAttrReadOnlyIsRegBy(share_.name.c_str(), name.c_str()) == 1;
}

int32_t CacheShareImpl::GetUserRight(const std::string& user) const {
  if (!valid_) return kNoAccess;
  TarnShareInfo* share = nullptr;
  if (TARNShareGet(share_.name.c_str(), &share) < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TARNShareGet(%s): err=[0x%04X]\n", __LINE__,
                share_.name.c_str(), static_cast<unsigned>(TLIBCErrGet()));
    return kNoAccess;
  }
  int right = TLIBShareUserRightGet(user.c_str(), share);
  const int error = TLIBCErrGet();
  TARNShareFree(share);
  if (right < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TLIBShareUserRightGet(%s, %s): err=[0x%04X]\n",
                __LINE__, user.c_str(), share_.name.c_str(), static_cast<unsigned>(error));
    return kNoAccess;
  }
  return right;
}

int32_t CacheShareImpl::GetEncryptionKey(std::string* key) const {
  key->clear();
  if (!valid_ || !IsEncryption()) return 0;
  CacheBackend* cache = GetCacheBackend();
  if (cache == nullptr || cache->GetShareUniqueKey(share_.name, key) < 0) {
    key->clear();
    return -1;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Share

Share::~Share() { Close(); }

int Share::Open(const std::string& name, bool use_cache) {
  Close();
  AbstractShareImpl* impl =
      use_cache ? static_cast<AbstractShareImpl*>(new (std::nothrow) CacheShareImpl(name))
                : new (std::nothrow) SDKShareImpl(name);
  if (impl == nullptr || !impl->IsValid()) {
    delete impl;
    return -1;
  }
  impl_ = impl;
  return 0;
}

void Share::Close() {
  delete impl_;
  impl_ = nullptr;
}

std::string Share::GetName() const { return impl_ ? impl_->GetName() : std::string(); }
std::string Share::GetPath() const { return impl_ ? impl_->GetPath() : std::string(); }
std::string Share::GetVolumePath() const { return impl_ ? impl_->GetVolumePath() : std::string(); }
std::string Share::GetShareBinPath() const {
  return impl_ ? impl_->GetShareBinPath() : std::string();
}
std::string Share::GetVolumeMountPath() const {
  return impl_ ? impl_->GetVolumeMountPath() : std::string();
}
uint32_t Share::GetStatus() const { return impl_ ? impl_->GetStatus() : 0; }
int32_t Share::GetAclMode() const { return impl_ ? impl_->GetAclMode() : 0; }
bool Share::IsValid() const { return impl_ && impl_->IsValid(); }
bool Share::IsSkipSmbPerm() const { return impl_ && impl_->IsSkipSmbPerm(); }
bool Share::IsRecycleBinEnabled() const { return impl_ && impl_->IsRecycleBinEnabled(); }
bool Share::IsRecycleBinAdminOnly() const { return impl_ && impl_->IsRecycleBinAdminOnly(); }
bool Share::IsEncryption() const { return impl_ && impl_->IsEncryption(); }
bool Share::IsMounted() const { return impl_ && impl_->IsMounted(); }
bool Share::IsStatusBit3Set() const { return impl_ && impl_->IsStatusBit3Set(); }
bool Share::IsStatusBit14Set() const { return impl_ && impl_->IsStatusBit14Set(); }
bool Share::IsGluster() const { return impl_ && impl_->IsGluster(); }
bool Share::IsSataShare() const { return impl_ && impl_->IsSataShare(); }
bool Share::IsUsbShare() const { return impl_ && impl_->IsUsbShare(); }
bool Share::IsRegularShare() const { return impl_ && impl_->IsRegularShare(); }
bool Share::IsReadOnlyRegisteredBy(const std::string& name) const {
  return impl_ && impl_->IsReadOnlyRegisteredBy(name);
}
int32_t Share::GetUserRight(const std::string& user) const {
  return impl_ ? impl_->GetUserRight(user) : 0;
}
int32_t Share::GetEncryptionKey(std::string* key) const {
  return impl_ ? impl_->GetEncryptionKey(key) : 0;
}

}  // namespace SDK
