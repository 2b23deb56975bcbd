// A TCP port for a test or benchmark to give the package: one that nothing
// listens on right now (the kernel's choice for an ephemeral bind).  Another
// process may take it before we do; callers that start servers on it keep
// that race in mind.
#ifndef DRIFT_BASE_TEST_PORT_H_
#define DRIFT_BASE_TEST_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

// The port, or 0 when none could be found.
inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof(addr);
  auto* any = reinterpret_cast<struct sockaddr*>(&addr);
  const bool ok = bind(fd, any, sizeof(addr)) == 0 && getsockname(fd, any, &len) == 0;
  close(fd);
  return ok ? ntohs(addr.sin_port) : 0;
}

}  // namespace test_support

#endif  // DRIFT_BASE_TEST_PORT_H_
