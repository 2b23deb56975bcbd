// SpinMutex: a mutex for critical sections of a few instructions that one
// thread enters all the time and another only now and then.  Taking it when
// it is free is one atomic exchange and giving it back one release store,
// where a std::mutex pays two atomic read-modify-writes and its library
// calls; a thread that finds it taken yields the processor until it is free.
// Meets the Lockable requirements, so std::lock_guard takes it.
#ifndef DRIFT_BASE_SPIN_MUTEX_H_
#define DRIFT_BASE_SPIN_MUTEX_H_

#include <sched.h>

#include <atomic>

class SpinMutex {
 public:
  SpinMutex() = default;
  SpinMutex(const SpinMutex&) = delete;
  SpinMutex& operator=(const SpinMutex&) = delete;

  void lock() {
    while (m_locked.exchange(true, std::memory_order_acquire)) {
      while (m_locked.load(std::memory_order_relaxed)) sched_yield();
    }
  }
  bool try_lock() { return !m_locked.exchange(true, std::memory_order_acquire); }
  void unlock() { m_locked.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> m_locked{false};
};

#endif  // DRIFT_BASE_SPIN_MUTEX_H_
