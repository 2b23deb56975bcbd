// The one lock of the process around the platform's user and share library,
// which may not be entered by two threads at once.  It is reentrant: a thread
// that holds it may take it again, and each Lock needs its Unlock.
#ifndef DRIFT_PLATFORM_SDK_MUTEX_H_
#define DRIFT_PLATFORM_SDK_MUTEX_H_

#include <pthread.h>
#include <stdint.h>

namespace SDK {

class ReentrantMutex {
 public:
  ReentrantMutex();
  ~ReentrantMutex();
  ReentrantMutex(const ReentrantMutex&) = delete;
  ReentrantMutex& operator=(const ReentrantMutex&) = delete;

  // Blocks until the calling thread owns the lock; a thread that already owns
  // it only counts one level deeper.  Returns 0.
  int Lock();
  // Releases one level; the lock is free again when the count reaches 0.  A
  // thread that does not own the lock changes nothing.  Returns 0.
  int Unlock();

  // True when the calling thread owns the lock (for assertions and tests).
  bool IsOwnedByCurrentThread();

 private:
  pthread_mutex_t main_lock_;  // held by the owner for the whole locked period
  pthread_mutex_t guard_;      // protects owner_ and depth_
  pthread_t owner_;            // REQUIRES: guard_ held; meaningful when depth_ > 0
  uint32_t depth_ = 0;         // REQUIRES: guard_ held
};

// The process's one ReentrantMutex, created on first use and destroyed at
// process exit.
extern ReentrantMutex* const sdk_mutex;

// The same object through functions, safe to call from other static
// initialisers (the pointer above may not be set yet while they run).
ReentrantMutex& SdkMutex();
int SdkLock();
int SdkUnlock();

// Holds sdk_mutex for one scope.
class SdkLockGuard {
 public:
  SdkLockGuard() { SdkLock(); }
  ~SdkLockGuard() { SdkUnlock(); }
  SdkLockGuard(const SdkLockGuard&) = delete;
  SdkLockGuard& operator=(const SdkLockGuard&) = delete;
};

}  // namespace SDK

#endif  // DRIFT_PLATFORM_SDK_MUTEX_H_
