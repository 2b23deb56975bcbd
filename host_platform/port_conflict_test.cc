#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform_lib.h"

namespace {

// A TCP socket on the IPv4 or IPv6 loopback address, bound to an ephemeral
// port and listening or not; -1 when the host cannot make one.
int LoopbackSocket(bool v6, bool listening, int* port) {
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a4 = {};
  struct sockaddr_in6 a6 = {};
  a4.sin_family = AF_INET;
  a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  struct sockaddr* sa = v6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
  socklen_t len = v6 ? sizeof(a6) : sizeof(a4);
  if (fd < 0 || bind(fd, sa, len) != 0 || (listening && listen(fd, 4) != 0) ||
      getsockname(fd, sa, &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(v6 ? a6.sin6_port : a4.sin_port);
  return fd;
}

TEST(IsPortConflict, ListenersConflictUntilClosedAndBadRangesAreUnusable) {
  for (bool v6 : {false, true}) {
    int p = 0;
    int fd = LoopbackSocket(v6, true, &p);
    if (fd < 0 && v6) continue;  // no IPv6 loopback on this host
    ASSERT_GE(fd, 0);
    EXPECT_NE(WebUtils::IsPortConflict("test", p, p), 0) << v6;
    EXPECT_NE(WebUtils::IsPortConflict("test", p - 1, p + 1 > 65535 ? 65535 : p + 1), 0) << v6;
    close(fd);
    EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0) << v6;  // listeners leave no TIME_WAIT
  }
  // Holding the port bound keeps any other process from listening on it.
  int p = 0;
  int fd = LoopbackSocket(false, false, &p);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0);  // bound but not listening: free
  close(fd);
  for (int bad : {0, 70000, -1}) EXPECT_NE(WebUtils::IsPortConflict("test", bad, bad), 0) << bad;
  EXPECT_NE(WebUtils::IsPortConflict("test", 6000, 5000), 0);
}

}  // namespace
