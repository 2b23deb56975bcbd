#include "netio/bandwidth_controller.h"

#include <errno.h>
#include <time.h>

namespace cat {

namespace {

const uint64_t kMicrosPerSecond = 1000000;
// A window older than this, with the rate kept, starts over: an idle spell
// must not bank credit for a later burst.
const uint64_t kWindowMicros = 1000000;

void SleepMicros(uint64_t us) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(us / kMicrosPerSecond);
  ts.tv_nsec = static_cast<long>((us % kMicrosPerSecond) * 1000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

BufferedIOController::~BufferedIOController() = default;

bool BufferedIOController::IsAborted() { return false; }

size_t BufferedIOController::Quota(Direction direction, size_t want) { return want > 0 ? want : 1; }

void BufferedIOController::OnRead(size_t count) {}

void BufferedIOController::OnWrite(size_t count) {}

BandwidthController::BandwidthController() : m_abort_flag(nullptr) {}

BandwidthController::~BandwidthController() = default;

bool BandwidthController::IsAborted() {
  return m_abort_flag != nullptr && __atomic_load_n(m_abort_flag, __ATOMIC_RELAXED) != 0;
}

void BandwidthController::SetLimit(Direction direction, uint64_t bytes_per_second) {
  Window& w = m_dir[direction];
  w.limit = bytes_per_second;
  w.start_us = 0;
  w.moved = 0;
}

uint64_t BandwidthController::DelayMicros(uint64_t moved, uint64_t rate, uint64_t elapsed_us) {
  if (rate == 0 || moved == 0) return 0;
  // moved * 1e6 / rate, saturating, without overflow for any 64-bit values.
  uint64_t whole = moved / rate;
  uint64_t rest = moved % rate;  // < rate, so the fraction is below 1e6
  if (whole > UINT64_MAX / kMicrosPerSecond) return UINT64_MAX;
  uint64_t frac = rest <= UINT64_MAX / kMicrosPerSecond
                      ? rest * kMicrosPerSecond / rate
                      : static_cast<uint64_t>(static_cast<long double>(rest) * kMicrosPerSecond /
                                              static_cast<long double>(rate));
  uint64_t base = whole * kMicrosPerSecond;
  uint64_t due_us = base > UINT64_MAX - frac ? UINT64_MAX : base + frac;
  return due_us > elapsed_us ? due_us - elapsed_us : 0;
}

size_t BandwidthController::StepLimit(uint64_t rate, size_t want) {
  if (rate == 0) return want > 0 ? want : 1;
  uint64_t step = rate / 10;
  if (step == 0) step = 1;
  if (step > want) step = want > 0 ? want : 1;
  return static_cast<size_t>(step);
}

uint64_t BandwidthController::PendingDelay(Direction direction, uint64_t now_us) const {
  const Window& w = m_dir[direction];
  if (w.limit == 0 || w.start_us == 0) return 0;
  uint64_t elapsed = now_us > w.start_us ? now_us - w.start_us : 0;
  return DelayMicros(w.moved, w.limit, elapsed);
}

uint64_t BandwidthController::NowMicros() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kMicrosPerSecond +
         static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

size_t BandwidthController::Quota(Direction direction, size_t want) {
  Window& w = m_dir[direction];
  if (w.limit == 0) return want > 0 ? want : 1;
  uint64_t now = NowMicros();
  if (w.start_us == 0) {
    w.start_us = now;
    w.moved = 0;
  } else {
    uint64_t delay = PendingDelay(direction, now);
    if (delay > 0) {
      SleepMicros(delay);
    } else if (now - w.start_us > kWindowMicros) {
      w.start_us = now;
      w.moved = 0;
    }
  }
  return StepLimit(w.limit, want);
}

void BandwidthController::Account(Direction direction, size_t count) {
  Window& w = m_dir[direction];
  if (w.limit == 0) return;
  if (w.start_us == 0) w.start_us = NowMicros();
  w.moved += count;
}

void BandwidthController::OnRead(size_t count) { Account(kRead, count); }

void BandwidthController::OnWrite(size_t count) { Account(kWrite, count); }

}  // namespace cat
