// drift-cleand SYNC_FOLDER: the package's cleaner daemon, started with the
// database folder of the sync databases (an appliance path).
//
// The folder must exist when the daemon starts: a cleaner pointed at a
// missing folder would have nothing to look after, and the tool must learn
// that from the launch rather than later.
#include <sys/stat.h>

#include "base/appliance_paths.h"
#include "package_programs/daemon.h"

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("drift-cleand");
  if (argc != 2 || argv[1][0] != '/') {
    pkg_daemon::ReportError("usage: drift-cleand SYNC_FOLDER (an absolute path)");
    return 2;
  }
  struct stat st;
  if (stat(paths::HostPath(argv[1]).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    pkg_daemon::ReportError(std::string("sync folder ") + argv[1] + " is not a folder");
    return 1;
  }
  std::string err;
  if (!pkg_daemon::Detach(paths::kCleanDaemonPid, &err)) {
    pkg_daemon::ReportError(err);
    return 1;
  }
  return pkg_daemon::WaitForStop();
}
