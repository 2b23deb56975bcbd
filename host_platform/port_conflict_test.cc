#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform_lib.h"

namespace {

// A TCP socket on the loopback address of `family`, bound to an ephemeral
// port and listening or not.  Closed by the destructor.
class LoopbackSocket {
 public:
  LoopbackSocket(int family, bool listening) {
    fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    int rc;
    if (family == AF_INET) {
      struct sockaddr_in addr;
      memset(&addr, 0, sizeof(addr));
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      rc = bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    } else {
      int one = 1;
      setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
      struct sockaddr_in6 addr;
      memset(&addr, 0, sizeof(addr));
      addr.sin6_family = AF_INET6;
      addr.sin6_addr = in6addr_loopback;
      rc = bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    }
    if (rc != 0 || (listening && listen(fd_, 4) != 0)) {
      Close();
      return;
    }
    struct sockaddr_storage got;
    socklen_t len = sizeof(got);
    if (getsockname(fd_, reinterpret_cast<struct sockaddr*>(&got), &len) != 0) {
      Close();
      return;
    }
    port_ = ntohs(family == AF_INET ? reinterpret_cast<struct sockaddr_in*>(&got)->sin_port
                                    : reinterpret_cast<struct sockaddr_in6*>(&got)->sin6_port);
  }
  ~LoopbackSocket() { Close(); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(IsPortConflict, Ipv4Listener) {
  LoopbackSocket listener(AF_INET, true);
  ASSERT_TRUE(listener.ok());
  const int p = listener.port();
  EXPECT_NE(WebUtils::IsPortConflict("test", p, p), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", p - 1, p + 1 > 65535 ? 65535 : p + 1), 0);
  listener.Close();
  // A closed listener leaves nothing behind (listeners have no TIME_WAIT).
  EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0);
}

TEST(IsPortConflict, Ipv6Listener) {
  LoopbackSocket listener(AF_INET6, true);
  if (!listener.ok()) GTEST_SKIP() << "no IPv6 loopback on this host";
  const int p = listener.port();
  EXPECT_NE(WebUtils::IsPortConflict("test", p, p), 0);
  listener.Close();
  EXPECT_EQ(WebUtils::IsPortConflict("test", p, p), 0);
}

TEST(IsPortConflict, BoundButNotListeningIsFree) {
  // Holding the port bound keeps any other process from listening on it, so
  // the answer cannot change under the test.
  LoopbackSocket bound(AF_INET, false);
  ASSERT_TRUE(bound.ok());
  EXPECT_EQ(WebUtils::IsPortConflict("test", bound.port(), bound.port()), 0);
}

TEST(IsPortConflict, InvalidRangesAreUnusable) {
  EXPECT_NE(WebUtils::IsPortConflict("test", 0, 0), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", 70000, 70000), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", 6000, 5000), 0);
  EXPECT_NE(WebUtils::IsPortConflict("test", -1, 10), 0);
}

}  // namespace
