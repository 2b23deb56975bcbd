// tarn-drift-clientd: the package's client daemon.  Takes no arguments.
//
// It holds the daemon slot of the service (its pid file tells the tool that
// the client side is up); it has no outbound connections to serve on this
// host build.
#include "base/appliance_paths.h"
#include "package_programs/daemon.h"

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("tarn-drift-clientd");
  if (argc != 1) {
    pkg_daemon::ReportError("usage: tarn-drift-clientd (no arguments)");
    return 2;
  }
  std::string err;
  if (!pkg_daemon::Detach(paths::kClientDaemonPid, &err)) {
    pkg_daemon::ReportError(err);
    return 1;
  }
  return pkg_daemon::WaitForStop();
}
