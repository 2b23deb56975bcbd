#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform_lib.h"

namespace {

// A TCP socket on the loopback address of `family`, bound to an ephemeral
// port and listening or not; -1 when the host cannot make one.
int LoopbackSocket(int family, bool listening, int* port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_storage addr;
  memset(&addr, 0, sizeof(addr));
  socklen_t len;
  if (family == AF_INET) {
    reinterpret_cast<struct sockaddr_in*>(&addr)->sin_family = AF_INET;
    reinterpret_cast<struct sockaddr_in*>(&addr)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(struct sockaddr_in);
  } else {
    int one = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_family = AF_INET6;
    reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_addr = in6addr_loopback;
    len = sizeof(struct sockaddr_in6);
  }
  struct sockaddr* sa = reinterpret_cast<struct sockaddr*>(&addr);
  if (bind(fd, sa, len) != 0 || (listening && listen(fd, 4) != 0) ||
      getsockname(fd, sa, &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(family == AF_INET ? reinterpret_cast<struct sockaddr_in*>(&addr)->sin_port
                                  : reinterpret_cast<struct sockaddr_in6*>(&addr)->sin6_port);
  return fd;
}

TEST(IsPortConflict, ListenersOfEitherFamilyConflictUntilClosed) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    int p = 0;
    int fd = LoopbackSocket(family, true, &p);
    if (fd < 0 && family == AF_INET6) continue;  // no IPv6 loopback on this host
    ASSERT_GE(fd, 0);
    EXPECT_NE(WebUtils::IsPortConflict("test", p, p), 0);
    EXPECT_NE(WebUtils::IsPortConflict("test", p - 1, p + 1 > 65535 ? 65535 : p + 1), 0);
    close(fd);
    // A closed listener leaves nothing behind (listeners have no TIME_WAIT).
    EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0);
  }
}

TEST(IsPortConflict, BoundButNotListeningIsFreeAndBadRangesAreUnusable) {
  // Holding the port bound keeps any other process from listening on it, so
  // the answer cannot change under the test.
  int p = 0;
  int fd = LoopbackSocket(AF_INET, false, &p);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0);
  close(fd);
  EXPECT_NE(WebUtils::IsPortConflict("test", 0, 0), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", 70000, 70000), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", 6000, 5000), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", -1, 10), 0);
}

}  // namespace
