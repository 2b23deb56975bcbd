// The package's small state files and settings: the enabled marker, the
// service status word, the port of setting.conf, the database volume of
// db-path.conf and the volume usability test.
//
// Several processes (the package framework, this tool, the daemons and the
// database updater) use these files at once.  setting.conf is only touched
// under the exclusive lock of its ".lock" file; the others are written by
// writers that the package framework keeps apart.  Key/value files are read
// and written only through the platform's key/value calls, which replace a
// file atomically.
//
// Every operation logs its failures (component "service_ctrl_debug") and
// returns 0, or -1 on failure, unless stated otherwise.
#ifndef DRIFT_SERVICE_PACKAGE_STATE_H_
#define DRIFT_SERVICE_PACKAGE_STATE_H_

#include <string>

#include "base/ustring.h"

// The longest status word, in bytes, that the status file may hold.
inline constexpr int kMaxStatusWordLength = 31;

// The port used when setting.conf names none.
inline constexpr int kDefaultPort = 6690;

// True when the package framework has enabled the package (its marker
// exists).
bool IsPackageEnabled();

// Reads the stored status word.  A status file that cannot be accessed sets
// `out` to "disabled", one without a readable "status" key (missing, empty,
// longer than 31 bytes, unreadable) sets it to "error"; both return -1.
int ReadServiceStatus(ustring* out);

// Stores `word` as the status word.
int SetServiceStatus(const ustring& word);

// The word that `service --status` reports: "disabled" when the package is
// not enabled, the stored word otherwise, except that "updating",
// "checking", "enabled" and "moving_db" become "error" when the process
// behind them is gone.  Never writes the status file.  Always 0.
int GetServiceStatus(ustring* out);

// The configured port (key "dfvt_port" of setting.conf, leading decimal
// digits).  A missing, empty or non-numeric value is replaced by 6690, which
// is written back.  -1 only when the lock file cannot be opened or the
// default cannot be written.
int GetPort(int* out);

// Sets `out` to the configured port when another service listens on it, to 0
// otherwise.  -1 when the port cannot be read.
int CheckPortConflict(int* out);

// The database volume (key "db-vol" of db-path.conf; empty when the key is
// missing).  -1 when the file is missing or cannot be read, or the value does
// not fit 1024 bytes.
int GetDbVolume(ustring* out);

// What the platform tells about a mounted volume.
struct VolumeRecord {
  int type = 0;
  bool mounted = false;
  std::string path;
  bool writable = false;
};

// 1 when the volume can carry the databases (mounted, writable, and on the
// portable unit of type 1 or 2), 0 otherwise.
int IsVolumeUsable(const VolumeRecord& volume);

#endif  // DRIFT_SERVICE_PACKAGE_STATE_H_
