// updater-svr VOLUME: the package's database updater, run by the service
// start with the database volume (an appliance path) before the daemons.
//
// It reports through the status word (key "status" of the package's status
// file): "updating" while it runs, then its outcome:
//   "done"         nothing to do or the databases are current
//   "dbnewer"      the user database was written by a newer package
//   "upgradefail"  the user database cannot be read or its version is not
//                  understood (or the command line was wrong)
// The exit status is 0 whenever the check ran and its outcome word was
// written (the word is the result the tool reads); 2 for a wrong command
// line, 1 when the status file could not be written.  While it runs, the upgrading mark holds its
// pid so that a status query can tell a running update from a dead one.
//
// It never creates a database: the sync folder data database's absence is
// how the service start recognises a first installation, and the user
// database is created by the control tool with its schema.
#include <errno.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/appliance_paths.h"
#include "package_programs/daemon.h"
#include "platform/platform_lib.h"

namespace {

// The user database layout this package writes; a database recording a
// higher version comes from a newer package and is left alone.
constexpr long long kUserDbVersion = 4150;

const char kDone[] = "done";
const char kDbNewer[] = "dbnewer";
const char kUpgradeFail[] = "upgradefail";

bool SetStatus(const char* word) {
  if (TLIBCFileSetKeyValue(paths::kEnableStatus, "status", word, nullptr) < 0) {
    pkg_daemon::ReportError(std::string("cannot write status '") + word + "' to " +
                            paths::kEnableStatus + " (error " + std::to_string(TLIBCErrGet()) +
                            ")");
    return false;
  }
  return true;
}

// Parses a whole decimal number (an optional '-', digits only).
bool ParseVersion(const char* text, long long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *value = v;
  return true;
}

// The outcome word for the user database of `volume`.
const char* CheckUserDatabase(const std::string& volume) {
  const std::string path = volume + paths::kUserDbSuffix;
  struct stat st;
  if (lstat(paths::HostPath(path).c_str(), &st) != 0) {
    if (errno == ENOENT) return kDone;  // first installation: nothing to update
    pkg_daemon::ReportError("cannot look at " + path);
    return kUpgradeFail;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(paths::HostPath(path).c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const char* outcome = kUpgradeFail;
  sqlite3_stmt* stmt = nullptr;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, 60000);
    rc = sqlite3_prepare_v2(db,
                            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                            "name = 'config_table';",
                            -1, &stmt, nullptr);
  }
  if (rc == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    if (sqlite3_column_int(stmt, 0) == 0) {
      outcome = kDone;  // an empty database: the tool lays out its schema
    } else {
      sqlite3_finalize(stmt);
      stmt = nullptr;
      rc = sqlite3_prepare_v2(db, "SELECT value FROM config_table WHERE key = 'version';", -1,
                              &stmt, nullptr);
      int step = rc == SQLITE_OK ? sqlite3_step(stmt) : rc;
      long long version = 0;
      if (step == SQLITE_DONE) {
        outcome = kDone;  // no version recorded yet: the tool seeds it
      } else if (step == SQLITE_ROW &&
                 ParseVersion(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                              &version)) {
        outcome = version > kUserDbVersion ? kDbNewer : kDone;
      } else if (step == SQLITE_ROW) {
        pkg_daemon::ReportError("user database " + path + " holds an unreadable version");
      }
    }
  }
  if (outcome == kUpgradeFail && db != nullptr && sqlite3_errcode(db) != SQLITE_OK) {
    pkg_daemon::ReportError("user database " + path + ": " + sqlite3_errmsg(db));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("updater-svr");
  if (argc != 2 || argv[1][0] != '/') {
    pkg_daemon::ReportError("usage: updater-svr VOLUME (an absolute path)");
    return SetStatus(kUpgradeFail) ? 2 : 1;
  }
  std::string err;
  if (!pkg_daemon::WritePidFile(paths::kUpgradingMark, &err)) {
    // Only a status query during the run misses it; the update goes on.
    pkg_daemon::ReportError(err);
  }
  int status = 1;
  if (SetStatus("updating") && SetStatus(CheckUserDatabase(argv[1]))) status = 0;
  if (TLIBCReadPidFile(paths::kUpgradingMark) == getpid()) {
    unlink(paths::HostPath(paths::kUpgradingMark).c_str());
  }
  return status;
}
