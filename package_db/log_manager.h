// The package's log database: one row per recorded event, kept in
// "log-db.sqlite" of the database folder.
//
// The folder handed to LogManager::Initialize is a HOST path (the caller has
// already mapped the appliance path onto the system root); the library maps
// nothing itself.  Results: 0 on success, -1 on failure (logged).
//
// Layout of the file (read by the package's other programs and by tests):
//   log_table(id INTEGER PRIMARY KEY AUTOINCREMENT, type, action, user,
//             time, path, client_type, result)
//   log_list_table(log_id, list, pos, value)  -- the two text lists of a
//             record: list 0 is Log::targets, list 1 is Log::params, each
//             entry at its position 0, 1, ...
#ifndef DRIFT_PACKAGE_DB_LOG_MANAGER_H_
#define DRIFT_PACKAGE_DB_LOG_MANAGER_H_

#include <stdint.h>

#include <string>
#include <vector>

namespace db {

inline constexpr char kLogDbName[] = "log-db.sqlite";

// One event.  The fields keep this order (callers fill it positionally).
// A service state change is recorded with every number 0, empty texts, no
// targets and one parameter: "1" the service was enabled, "0" it was
// stopped.
struct Log {
  int32_t type = 0;                  // kind of event; 0 is a service state change
  int32_t action = 0;                // what happened, by kind
  std::string user;                  // account concerned, "" for the service itself
  int64_t time = 0;                  // seconds since the epoch; 0 records the insert time
  std::string path;                  // file or folder concerned, if any
  int32_t client_type = 0;           // kind of client that caused it, 0 the server
  int32_t result = 0;                // 0 success, else an error code
  std::vector<std::string> targets;  // further subjects of the event
  std::vector<std::string> params;   // event parameters
};

// Process-wide handle on the log database (all members static).  Thread-safe.
class LogManager {
 public:
  // Opens "log-db.sqlite" in the existing folder `folder` (host path),
  // creating the file and its tables when missing.  0 also when already open
  // on the same folder; -1 when the folder is missing, the file is not a
  // usable database or the log database of another folder is open.
  static int Initialize(const std::string& folder);

  // Records one event (all of it or nothing).  0, or -1 when not initialised
  // or the write fails.
  static int InsertLog(const Log& log);

  // Closes the log database; safe when not open.
  static void Destroy();

 private:
  LogManager() = delete;
};

}  // namespace db

#endif  // DRIFT_PACKAGE_DB_LOG_MANAGER_H_
