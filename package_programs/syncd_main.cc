// syncd -c SYNC_FOLDER -p PORT -u USER_DB: the package's sync daemon.
//
// Every argument is checked before the daemon detaches, so that a launch
// with a wrong command line or an unusable user database fails in the
// foreground (non-zero exit, nothing left running) and the tool's start can
// stop the service again.  Paths are appliance paths.
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "base/appliance_paths.h"
#include "package_programs/daemon.h"
#include "userdb/user_manager.h"

namespace {

const char kUsage[] = "usage: syncd -c SYNC_FOLDER -p PORT -u USER_DATABASE";

struct Options {
  std::string sync_folder;
  std::string port;
  std::string user_db;
};

// Each option exactly once, each with a value, nothing else.
bool ParseArguments(int argc, char** argv, Options* options, std::string* err) {
  for (int i = 1; i < argc; i += 2) {
    std::string* slot = nullptr;
    if (strcmp(argv[i], "-c") == 0) slot = &options->sync_folder;
    if (strcmp(argv[i], "-p") == 0) slot = &options->port;
    if (strcmp(argv[i], "-u") == 0) slot = &options->user_db;
    if (slot == nullptr) {
      *err = std::string("unknown argument '") + argv[i] + "'";
      return false;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      *err = std::string("option ") + argv[i] + " needs a value";
      return false;
    }
    if (!slot->empty()) {
      *err = std::string("option ") + argv[i] + " given twice";
      return false;
    }
    *slot = argv[i + 1];
  }
  if (options->sync_folder.empty() || options->port.empty() || options->user_db.empty()) {
    *err = "options -c, -p and -u are required";
    return false;
  }
  return true;
}

bool ValidPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535;
}

// The user database is opened the way every process of the package opens
// it, which creates it with its schema when it is still missing (a first
// start without an installing account has none yet).  A missing or
// unwritable folder, or a file that is not a database, fails the launch.
bool CheckUserDatabase(const std::string& path, std::string* err) {
  const bool opened = UserManager::Initialize(path) == 0;
  UserManager::Close();
  if (!opened) *err = "cannot open user database " + path;
  return opened;
}

}  // namespace

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("syncd");
  Options options;
  std::string err;
  if (!ParseArguments(argc, argv, &options, &err)) {
    pkg_daemon::ReportError(err + "\n" + kUsage);
    return 2;
  }
  if (!ValidPort(options.port)) {
    pkg_daemon::ReportError("invalid port '" + options.port + "'");
    return 2;
  }
  struct stat st;
  if (options.sync_folder[0] != '/' ||
      stat(paths::HostPath(options.sync_folder).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    pkg_daemon::ReportError("sync folder " + options.sync_folder + " is not a folder");
    return 1;
  }
  if (options.user_db[0] != '/' || !CheckUserDatabase(options.user_db, &err)) {
    pkg_daemon::ReportError(err.empty() ? "user database must be an absolute path" : err);
    return 1;
  }
  if (!pkg_daemon::Detach(paths::kSyncDaemonPid, &err)) {
    pkg_daemon::ReportError(err);
    return 1;
  }
  return pkg_daemon::WaitForStop();
}
