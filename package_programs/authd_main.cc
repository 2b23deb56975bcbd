// drift-authd: the package's authentication daemon.  Takes no arguments.
//
// It holds the daemon slot of the service (its pid file tells the tool that
// authentication is up); client authentication itself runs in the sync
// daemon's sessions on this host build.
#include "base/appliance_paths.h"
#include "package_programs/daemon.h"

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("drift-authd");
  if (argc != 1) {
    pkg_daemon::ReportError("usage: drift-authd (no arguments)");
    return 2;
  }
  std::string err;
  if (!pkg_daemon::Detach(paths::kAuthDaemonPid, &err)) {
    pkg_daemon::ReportError(err);
    return 1;
  }
  return pkg_daemon::WaitForStop();
}
