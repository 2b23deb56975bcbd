// drift-cached: the package's cache daemon.  Serves the cache client's
// lookups of platform users and shares on "/tmp/drift-cached-socket" of the
// system root, from the platform calls.
//
// Usage: drift-cached [-t SECONDS]
//   -t  how long one read or write of a client may wait (default 10 s; a
//       whole connection gets three times that).
//
// The socket is set up before the daemon detaches, so that a launch that
// cannot serve fails with a message and leaves nothing running.  SIGTERM
// stops the server, then the socket file and the pid file are removed.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include "base/appliance_paths.h"
#include "package_programs/cache_directory.h"
#include "package_programs/cache_server.h"
#include "package_programs/daemon.h"

namespace {

bool ParseTimeout(const char* text, uint32_t* seconds) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 3600) return false;
  *seconds = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("drift-cached");
  uint32_t timeout = cached::CacheServer::kDefaultTimeout;
  if (argc == 3 && strcmp(argv[1], "-t") == 0) {
    if (!ParseTimeout(argv[2], &timeout)) {
      pkg_daemon::ReportError(std::string("invalid timeout '") + argv[2] +
                              "' (seconds, 1 to 3600)");
      return 2;
    }
  } else if (argc != 1) {
    pkg_daemon::ReportError("usage: drift-cached [-t SECONDS]");
    return 2;
  }

  cached::PlatformDirectory directory;
  cached::CacheServer server(&directory, timeout);
  std::string err;
  if (!server.Listen(paths::kCacheDaemonSocket, &err)) {
    pkg_daemon::ReportError(err);
    return 1;
  }
  if (!pkg_daemon::Detach(paths::kCacheDaemonPid, &err)) {
    server.Close();
    pkg_daemon::ReportError(err);
    return 1;
  }
  // The stop signals stay blocked in the serving thread too (Detach blocked
  // them before it was made), so only WaitForStop takes them.
  std::thread serving([&server] { server.Run(); });
  return pkg_daemon::WaitForStop([&server, &serving] {
    server.Stop();
    serving.join();
    server.Close();
  });
}
