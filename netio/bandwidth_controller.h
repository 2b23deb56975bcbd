// Controllers of a cat::BufferedIO: what a transfer asks before and after
// each step.
//
// BufferedIOController is the interface with neutral answers (never aborted,
// no limit, nobody told).  BandwidthController adds an abort flag shared with
// another thread and per-direction rate limits in bytes per second.
#ifndef DRIFT_NETIO_BANDWIDTH_CONTROLLER_H_
#define DRIFT_NETIO_BANDWIDTH_CONTROLLER_H_

#include <stddef.h>
#include <stdint.h>

namespace cat {

class BufferedIOController {
 public:
  enum Direction { kRead = 0, kWrite = 1 };

  BufferedIOController() = default;
  BufferedIOController(const BufferedIOController&) = delete;
  BufferedIOController& operator=(const BufferedIOController&) = delete;
  virtual ~BufferedIOController();

  // Asked before every step; true stops the transfer (buffered-IO error -2).
  virtual bool IsAborted();
  // How many of `want` (> 0) bytes the next step in `direction` may move; may
  // sleep first to keep a rate.  Returns at least 1.
  virtual size_t Quota(Direction direction, size_t want);
  // Told after every step with the bytes it moved.
  virtual void OnRead(size_t count);
  virtual void OnWrite(size_t count);
};

class BandwidthController : public BufferedIOController {
 public:
  BandwidthController();
  ~BandwidthController() override;

  // A non-zero *flag means abort; the flag is read atomically, so another
  // thread may set it.  Null: never aborted.
  void SetAbortFlag(int* flag) { m_abort_flag = flag; }
  int* GetAbortFlag() const { return m_abort_flag; }
  bool IsAborted() override;

  // Rate limit in bytes per second; 0 means unlimited.  Setting a limit
  // starts a new measuring window.
  void SetLimit(Direction direction, uint64_t bytes_per_second);
  uint64_t GetLimit(Direction direction) const { return m_dir[direction].limit; }

  size_t Quota(Direction direction, size_t want) override;
  void OnRead(size_t count) override;
  void OnWrite(size_t count) override;

  // How long to wait, in microseconds, before moving more bytes when `moved`
  // bytes went in `elapsed_us` under a limit of `rate` bytes per second: the
  // time the bytes should have taken minus the time they did take (0 when not
  // ahead of the rate, or when unlimited).
  static uint64_t DelayMicros(uint64_t moved, uint64_t rate, uint64_t elapsed_us);
  // The most one step may move under `rate`: a tenth of a second's worth (at
  // least 1 byte), so that the rate is kept smoothly; `want` when unlimited.
  static size_t StepLimit(uint64_t rate, size_t want);
  // The wait that Quota would impose in `direction` at monotonic time `now_us`.
  uint64_t PendingDelay(Direction direction, uint64_t now_us) const;

  // Monotonic clock in microseconds.
  static uint64_t NowMicros();

 private:
  struct Window {
    uint64_t limit = 0;     // bytes per second, 0 unlimited
    uint64_t start_us = 0;  // start of the measuring window (0: not started)
    uint64_t moved = 0;     // bytes moved since start_us
  };
  void Account(Direction direction, size_t count);

  int* m_abort_flag;
  Window m_dir[2];
};

}  // namespace cat

#endif  // DRIFT_NETIO_BANDWIDTH_CONTROLLER_H_
