#include "platform/sdk_user.h"

#include <new>

#include "cli/logger.h"
#include "platform/sdk_mutex.h"

namespace SDK {
namespace {
constexpr char kComponent[] = "default_component";
}  // namespace

SDKUserImpl::SDKUserImpl(const std::string& name) {
  SdkLockGuard lock;
  int rc = TARNUserGet(name.c_str(), &user_);
  if (rc < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TARNUserGet(%s): %d\n", __LINE__, name.c_str(),
                rc);
    user_ = nullptr;
  }
}

SDKUserImpl::SDKUserImpl(uint32_t uid) {
  SdkLockGuard lock;
  int rc = TARNUserGetByUID(uid, &user_);
  if (rc < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TARNUserGetByUID(%u): %d\n", __LINE__,
                static_cast<unsigned>(uid), rc);
    user_ = nullptr;
  }
}

SDKUserImpl::~SDKUserImpl() {
  if (user_ == nullptr) return;
  SdkLockGuard lock;
  TARNUserFree(user_);
}

bool SDKUserImpl::IsValid() const { return user_ != nullptr; }

std::string SDKUserImpl::GetName() const {
  if (!IsValid() || user_->name == nullptr) return std::string();
  return user_->name;
}

bool SDKUserImpl::IsExpired() const {
  if (!IsValid() || user_->name == nullptr) return false;
  SdkLockGuard lock;
  return TARNUserCheckExpired(user_->name) != 0;
}

uint32_t SDKUserImpl::GetUid() const { return IsValid() ? user_->uid : 0; }

uint32_t SDKUserImpl::GetGid() const { return IsValid() ? user_->gid : 0; }

std::string SDKUserImpl::GetHomePath() const {
  if (!IsValid() || user_->home == nullptr) return std::string();
  return user_->home;
}

CacheUserImpl::CacheUserImpl(const std::string& name) {
  CacheBackend* cache = GetCacheBackend();
  int rc = cache != nullptr ? cache->GetUser(name, &user_) : -1;
  if (rc < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): Failed to get cache user: %s, rc=%d\n",
                __LINE__, name.c_str(), rc);
    user_ = CachedUser();
    return;
  }
  valid_ = true;
}

bool CacheUserImpl::IsValid() const { return valid_; }

std::string CacheUserImpl::GetName() const { return IsValid() ? user_.name : std::string(); }

bool CacheUserImpl::IsExpired() const { return IsValid() && TARNUserIsExpired(user_.expire) != 0; }

uint32_t CacheUserImpl::GetUid() const { return IsValid() ? user_.uid : 0; }

uint32_t CacheUserImpl::GetGid() const { return IsValid() ? user_.gid : 0; }

std::string CacheUserImpl::GetHomePath() const { return IsValid() ? user_.home : std::string(); }

User::~User() { Close(); }

int User::Keep(AbstractUserImpl* impl) {
  if (impl == nullptr || !impl->IsValid()) {
    delete impl;
    return -1;
  }
  impl_ = impl;
  return 0;
}

int User::Open(const std::string& name, bool use_cache) {
  Close();
  if (use_cache) return Keep(new (std::nothrow) CacheUserImpl(name));
  return Keep(new (std::nothrow) SDKUserImpl(name));
}

int User::OpenByUid(uint32_t uid) {
  Close();
  return Keep(new (std::nothrow) SDKUserImpl(uid));
}

void User::Close() {
  delete impl_;
  impl_ = nullptr;
}

std::string User::GetName() const { return IsOpen() ? impl_->GetName() : std::string(); }

bool User::IsExpired() const { return IsOpen() && impl_->IsExpired(); }

uint32_t User::GetUid() const { return IsOpen() ? impl_->GetUid() : 0; }

uint32_t User::GetGid() const { return IsOpen() ? impl_->GetGid() : 0; }

std::string User::GetHomePath() const { return IsOpen() ? impl_->GetHomePath() : std::string(); }

}  // namespace SDK
