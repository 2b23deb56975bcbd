#include "platform/sdk_mutex.h"

namespace SDK {

ReentrantMutex::ReentrantMutex() {
  pthread_mutex_init(&main_lock_, nullptr);
  pthread_mutex_init(&guard_, nullptr);
}

ReentrantMutex::~ReentrantMutex() {
  pthread_mutex_destroy(&guard_);
  pthread_mutex_destroy(&main_lock_);
}

int ReentrantMutex::Lock() {
  const pthread_t self = pthread_self();
  pthread_mutex_lock(&guard_);
  if (depth_ != 0 && pthread_equal(owner_, self)) {
    ++depth_;
    pthread_mutex_unlock(&guard_);
    return 0;
  }
  pthread_mutex_unlock(&guard_);
  // Wait outside the guard so that the owner can still unlock.
  pthread_mutex_lock(&main_lock_);
  pthread_mutex_lock(&guard_);
  owner_ = self;
  depth_ = 1;
  pthread_mutex_unlock(&guard_);
  return 0;
}

int ReentrantMutex::Unlock() {
  pthread_mutex_lock(&guard_);
  if (depth_ != 0 && pthread_equal(owner_, pthread_self())) {
    const uint32_t was = depth_--;
    pthread_mutex_unlock(&guard_);
    if (was == 1) pthread_mutex_unlock(&main_lock_);
    return 0;
  }
  pthread_mutex_unlock(&guard_);
  return 0;
}

bool ReentrantMutex::IsOwnedByCurrentThread() {
  pthread_mutex_lock(&guard_);
  const bool owned = depth_ != 0 && pthread_equal(owner_, pthread_self());
  pthread_mutex_unlock(&guard_);
  return owned;
}

ReentrantMutex& SdkMutex() {
  static ReentrantMutex mutex;
  return mutex;
}

ReentrantMutex* const sdk_mutex = &SdkMutex();

int SdkLock() { return SdkMutex().Lock(); }

int SdkUnlock() { return SdkMutex().Unlock(); }

}  // namespace SDK
