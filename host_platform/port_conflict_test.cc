#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform_lib.h"

namespace {

TEST(IsPortConflict, ListenersConflictUntilClosedAndBadRangesAreUnusable) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 a6 = {};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof(a6);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a6), len) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a6), &len) != 0) {
    GTEST_SKIP() << "no IPv6 loopback on this host";
  }
  const int p = ntohs(a6.sin6_port);
  EXPECT_NE(WebUtils::IsPortConflict("test", p - 1, p + 1 > 65535 ? 65535 : p + 1), 0);
  close(fd);
  EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0);  // listeners leave no TIME_WAIT
  for (int bad : {0, 70000, -1}) EXPECT_NE(WebUtils::IsPortConflict("test", bad, bad), 0) << bad;
  EXPECT_NE(WebUtils::IsPortConflict("test", 6000, 5000), 0);
}

}  // namespace
