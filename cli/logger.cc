#include "cli/logger.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <sstream>
#include <string>

#include "base/appliance_paths.h"
#include "cli/debug_switch_file.h"

std::map<ustring, int32_t> Logger::log_level;
int32_t Logger::log_type = Logger::LOG_TYPE_STDOUT;
FILE* Logger::log_fp = nullptr;
ustring Logger::log_path;
int32_t Logger::rotate_cnt = 50;
int32_t* Logger::log_size = nullptr;
uint64_t* Logger::log_rotated_count_shared = nullptr;
uint64_t Logger::log_rotated_count_private = 0;
pthread_mutex_t* Logger::log_lock = nullptr;
int Logger::log_flock = -1;
bool Logger::inter_process_safe = false;
bool Logger::log_initialized = true;

namespace {

// Threshold of a component the debug switch file does not name: errors and
// warnings are written, info and debug are not.
constexpr int32_t kDefaultThreshold = 4;
// The live file is rotated once it has grown by more than this.
constexpr int32_t kRotateSize = 1048576;
// Every level goes to the system log at its error priority, so that the
// messages the component thresholds let through are never filtered again by
// the system log's own configuration.
constexpr int kSyslogPriority = LOG_ERR;

// Whether the counters live in shared mappings (they must be released the way
// they were obtained, whatever the mode is by then).
bool counters_mapped = false;
// The process that opened log_flock.  flock() locks belong to the open file
// description, which a forked child shares with its parent: the child must
// open the lock file itself or the lock would not keep the two apart.
pid_t flock_owner = 0;

FILE* OpenAppend(const ustring& path) { return fopen(paths::HostPath(path.str()).c_str(), "a"); }

int32_t ParseLevel(const ustring& value) {
  std::istringstream in(value.str());
  int32_t level = 0;
  in >> level;  // leaves 0 when the text is not a number
  return level;
}

template <typename T>
T* AllocateCounter(bool mapped) {
  if (mapped) {
    void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    return new (p) T(0);
  }
  return new (std::nothrow) T(0);
}

template <typename T>
void ReleaseCounter(T** counter, bool mapped) {
  if (*counter == nullptr) return;
  if (mapped) {
    munmap(*counter, sizeof(T));
  } else {
    delete *counter;
  }
  *counter = nullptr;
}

}  // namespace

int32_t Logger::highest_threshold = kDefaultThreshold;

int Logger::Init(int type, const ustring& path, const ustring& debug_switch_path, int count) {
  FreeCounters();
  FreeLock();
  CreateLock();
  if (CreateCounters() != 0) return -1;

  log_level[ustring("default_component")] = kDefaultThreshold;
  if (!debug_switch_path.empty()) {
    std::map<ustring, ustring> switches;
    ReadKeyValueFile(debug_switch_path, &switches);  // missing or malformed: no entries
    for (const auto& entry : switches) log_level[entry.first] = ParseLevel(entry.second);
  }
  int32_t highest = kDefaultThreshold;
  for (const auto& entry : log_level) highest = std::max(highest, entry.second);
  highest_threshold = highest;

  log_type = type;
  if (type == LOG_TYPE_SYSLOG || type == LOG_TYPE_STDOUT || type == LOG_TYPE_STDERR) {
    if (log_fp != nullptr && log_fp != stdout && log_fp != stderr) fclose(log_fp);
    log_fp = type == LOG_TYPE_SYSLOG ? nullptr : (type == LOG_TYPE_STDOUT ? stdout : stderr);
    log_path = ustring();
    *log_size = -1;
    *log_rotated_count_shared = 0;
    log_rotated_count_private = 0;
    log_initialized = true;
    return 0;
  }

  if (path.empty()) return -1;
  FILE* fp = OpenAppend(path);
  if (fp == nullptr) return -1;
  if (log_fp != nullptr && log_fp != stdout && log_fp != stderr) fclose(log_fp);
  log_fp = fp;
  *log_size = 0;  // what the file already holds is not counted
  log_path = path;
  rotate_cnt = count;
  *log_rotated_count_shared = 0;
  log_rotated_count_private = 0;
  log_initialized = true;
  return 0;
}

void Logger::Log(int level, const ustring& component, const char* format, ...) {
  if (!log_initialized) return;
  // The threshold is decided first, before the lazy set-up and the lock:
  // most calls are debug lines that are switched off, and they must not pay
  // for either (or, in the inter-process mode, for an flock).  A message
  // that is dropped never wrote anything, so the set-up and the reopen after
  // another process's rotation wait for the next message that is written,
  // with the same result.
  if (level > highest_threshold) return;
  CreateLock();
  CreateCounters();
  if (log_type != LOG_TYPE_SYSLOG && log_fp == nullptr) return;
  if (format == nullptr) return;
  auto found = log_level.find(component);
  const int32_t threshold = found == log_level.end() ? kDefaultThreshold : found->second;
  if (threshold < level) return;

  Lock();
  if (log_rotated_count_shared != nullptr &&
      *log_rotated_count_shared != log_rotated_count_private) {
    Reopen();  // another process rotated the file under us
    log_rotated_count_private = *log_rotated_count_shared;
  }

  int written = 0;
  va_list args;
  va_start(args, format);
  if (log_type == LOG_TYPE_SYSLOG) {
    vsyslog(kSyslogPriority, format, args);
  } else if (log_type < LOG_TYPE_SYSLOG || log_type > LOG_TYPE_FILE) {
    vfprintf(stderr, format, args);
  } else if (log_fp != nullptr) {
    char stamp[512];
    time_t now = time(nullptr);
    struct tm local;
    stamp[0] = '\0';
    if (localtime_r(&now, &local) != nullptr) {
      if (strftime(stamp, sizeof(stamp), "%b %d %H:%M:%S ", &local) == 0) stamp[0] = '\0';
    }
    int stamp_written = fprintf(log_fp, "%s", stamp);
    int message_written = vfprintf(log_fp, format, args);
    fflush(log_fp);
    // A failed print only keeps this message out of the size accounting.
    written = (stamp_written < 0 || message_written < 0) ? -1 : stamp_written + message_written;
  }
  va_end(args);

  if (log_type == LOG_TYPE_FILE && written >= 0 && log_size != nullptr && *log_size >= 0) {
    int64_t size = static_cast<int64_t>(*log_size) + written;
    if (size > kRotateSize) {
      Rotate();
      size = 0;  // even when the rotation failed: the stream is gone then anyway
    }
    *log_size = static_cast<int32_t>(size);
  }
  Unlock();
}

int Logger::SetInterProcessSafe(bool safe) {
  FreeCounters();
  FreeLock();
  inter_process_safe = safe;
  CreateLock();
  CreateCounters();
  return 0;
}

int Logger::Rotate() {
  const std::string path = paths::HostPath(log_path.str());
  char from[1024];
  char to[1024];
  for (int i = rotate_cnt - 2; i >= 0; --i) {
    snprintf(from, sizeof(from), "%s_%d", path.c_str(), i);
    snprintf(to, sizeof(to), "%s_%d", path.c_str(), i + 1);
    rename(from, to);  // a missing older file is not an error
  }
  snprintf(to, sizeof(to), "%s_%d", path.c_str(), rotate_cnt - 1);
  unlink(to);

  if (log_fp != nullptr) fclose(log_fp);
  log_fp = nullptr;
  snprintf(to, sizeof(to), "%s_%d", path.c_str(), 0);
  if (rename(path.c_str(), to) != 0) return -1;
  FILE* fp = fopen(path.c_str(), "a");
  if (fp == nullptr) return -1;
  log_fp = fp;
  if (log_rotated_count_shared != nullptr) ++*log_rotated_count_shared;
  ++log_rotated_count_private;
  return 0;
}

void Logger::Reopen() {
  if (log_type == LOG_TYPE_SYSLOG || log_type == LOG_TYPE_STDOUT || log_type == LOG_TYPE_STDERR) {
    return;
  }
  if (log_fp != nullptr) fclose(log_fp);
  log_fp = OpenAppend(log_path);
  if (log_fp != nullptr && log_size != nullptr) *log_size = 0;
}

void Logger::Lock() {
  if (log_lock != nullptr) pthread_mutex_lock(log_lock);
  if (inter_process_safe) {
    if (log_flock != -1 && flock_owner != getpid()) {
      // Forked since the lock file was opened: get a description of our own.
      close(log_flock);
      log_flock = -1;
      CreateLock();
    }
    if (log_flock != -1) {
      while (flock(log_flock, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
}

void Logger::Unlock() {
  if (inter_process_safe && log_flock != -1) flock(log_flock, LOCK_UN);
  if (log_lock != nullptr) pthread_mutex_unlock(log_lock);
}

void Logger::CreateLock() {
  if (inter_process_safe && log_flock == -1) {
    int fd = open(paths::HostPath(paths::kLoggerLockFile).c_str(),
                  O_RDWR | O_CREAT | O_SYNC | O_CLOEXEC, 0777);
    if (fd != -1) {
      log_flock = fd;
      flock_owner = getpid();
    }
  }
  if (log_lock == nullptr) {
    pthread_mutex_t* mutex = new (std::nothrow) pthread_mutex_t;
    if (mutex != nullptr && pthread_mutex_init(mutex, nullptr) != 0) {
      delete mutex;
      mutex = nullptr;
    }
    log_lock = mutex;
  }
}

void Logger::FreeLock() {
  if (log_lock != nullptr) {
    pthread_mutex_destroy(log_lock);
    delete log_lock;
    log_lock = nullptr;
  }
  if (inter_process_safe && log_flock != -1) {
    close(log_flock);
    log_flock = -1;
  }
}

int Logger::CreateCounters() {
  if (log_size != nullptr && log_rotated_count_shared != nullptr) return 0;
  if (log_size == nullptr && log_rotated_count_shared == nullptr) {
    counters_mapped = inter_process_safe;
  }
  if (log_size == nullptr) log_size = AllocateCounter<int32_t>(counters_mapped);
  if (log_rotated_count_shared == nullptr) {
    log_rotated_count_shared = AllocateCounter<uint64_t>(counters_mapped);
  }
  return (log_size != nullptr && log_rotated_count_shared != nullptr) ? 0 : -1;
}

void Logger::FreeCounters() {
  ReleaseCounter(&log_size, counters_mapped);
  ReleaseCounter(&log_rotated_count_shared, counters_mapped);
}
