// The process-wide logging facility.
//
// Every module logs through Logger::Log with a level (the system-log priority
// numbers: 3 error, 4 warning, 6 info, 7 debug), a component name and a
// printf-style format.  Whether a message is written is decided per component
// from the debug switch file read by Init; where it goes is fixed by Init.
// Until Init has run, messages are dropped.
//
// Callers write the level word and their module into the format themselves:
//   Logger::Log(3, "service_ctrl_debug", "[ERROR] service-ctrl(%d): open failed\n", __LINE__);
// The logger adds nothing but a time stamp (file and stream destinations).
#ifndef DRIFT_CLI_LOGGER_H_
#define DRIFT_CLI_LOGGER_H_

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#include <map>

#include "base/ustring.h"

class Logger {
 public:
  enum {
    LOG_TYPE_SYSLOG = 1,
    LOG_TYPE_STDOUT = 2,
    LOG_TYPE_STDERR = 3,
    LOG_TYPE_FILE = 4,
  };

  // Chooses the destination and loads the per-component thresholds from the
  // debug switch file (missing or malformed file: defaults only).  For
  // LOG_TYPE_FILE, `log_path` is opened for appending and rotated at 1 MiB,
  // keeping `rotate_cnt` files in all.  Returns 0, or -1 when the counters
  // cannot be allocated or the log file cannot be opened.
  static int Init(int log_type, const ustring& log_path, const ustring& debug_switch_path,
                  int rotate_cnt);

  // Writes one message when the threshold of `component` (4 when the switch
  // file does not name it) is at least `level`.  Safe to call before Init
  // (the message is dropped).  Never fails and never logs about itself.
  static void Log(int level, const ustring& component, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // False when Log would drop a message of `level` whatever its component:
  // hot paths ask first, so that a switched-off debug line costs neither the
  // call nor the building of its arguments.
  static bool MightLog(int level) { return log_initialized && level <= highest_threshold; }

  // Switches between the in-process mode (mutex, heap counters) and the
  // inter-process mode (an exclusive flock on the logger lock file, counters in
  // shared mappings that processes forked afterwards share, so one process's
  // rotation makes the others reopen the file).  Returns 0.
  static int SetInterProcessSafe(bool inter_process_safe);

 private:
  Logger() = delete;

  // REQUIRES: Lock held.
  static int Rotate();
  static void Reopen();

  static void Lock();
  static void Unlock();
  static void CreateLock();
  static void FreeLock();
  static int CreateCounters();
  static void FreeCounters();

  static std::map<ustring, int32_t> log_level;
  static int32_t log_type;
  static FILE* log_fp;
  static ustring log_path;
  static int32_t rotate_cnt;
  static int32_t* log_size;
  static uint64_t* log_rotated_count_shared;
  static uint64_t log_rotated_count_private;
  static pthread_mutex_t* log_lock;
  static int log_flock;
  static bool inter_process_safe;
  static bool log_initialized;
  // The highest threshold of any component (the default's included): a
  // message above it is dropped without the lock or the per-component
  // lookup.  Init, the only writer of the thresholds, recomputes it.
  static int32_t highest_threshold;
};

#endif  // DRIFT_CLI_LOGGER_H_
