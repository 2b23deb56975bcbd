#include "netio/buffered_io.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "netio/file.h"

// Aborts, full disks, short files and cut-off receives are driven through the
// channel on top of this layer (messaging/channel_test.cc).
namespace cat {
namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::vector<char> Pattern(size_t n, unsigned seed) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return v;
}

// Records the largest step the bandwidth rule allowed.
class StepRecorder : public BandwidthController {
 public:
  size_t Quota(Direction d, size_t want) override {
    size_t q = BandwidthController::Quota(d, want);
    max_step = q > max_step ? q : max_step;
    return q;
  }
  size_t max_step = 0;
};

// Reads exactly n bytes from the raw socket `fd`.
std::vector<char> ReadExactly(int fd, size_t n) {
  std::vector<char> out(n);
  for (size_t got = 0; got < n;) {
    ssize_t r = recv(fd, out.data() + got, n - got, 0);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return out;
}

// A limit of 10000 B/s allows 1000 bytes per tenth of a second.
TEST(BufferedIOTest, WritesStayBufferedUntilFlushInStepsOfTheLimitAndNeedATransport) {
  ASSERT_TRUE(kSigpipeIgnored);
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv));
  Socket a, b;
  a.Attach(sv[0]);
  b.Attach(sv[1]);
  StepRecorder controller;
  BufferedIO io;
  io.Attach(&a);
  io.SetController(&controller);
  io.SetTimeoutMillis(5000);
  io.SetWaitSlice(20);
  controller.SetLimit(BufferedIOController::kWrite, 10000);
  std::vector<char> data = Pattern(1500, 8);
  ASSERT_EQ(data.size(), io.Write(data.data(), data.size()));
  EXPECT_EQ(data.size(), io.PendingWrite());
  char buf[16];
  EXPECT_EQ(-1, recv(b.fd(), buf, sizeof(buf), MSG_DONTWAIT));
  ASSERT_EQ(BufferedIO::kOk, io.Flush());
  EXPECT_EQ(0u, io.PendingWrite());
  EXPECT_EQ(1000u, controller.max_step);
  EXPECT_EQ(data, ReadExactly(b.fd(), data.size()));
  ASSERT_EQ(1u, io.Write("!", 1));
  EXPECT_EQ(0u, io.Write("?", 0));
  EXPECT_EQ(BufferedIO::kOk, io.Close());  // flushes first, be it a single byte
  EXPECT_FALSE(io.IsUsable());
  EXPECT_EQ(std::vector<char>({'!'}), ReadExactly(b.fd(), 1));

  BufferedIO idle;  // never attached
  EXPECT_FALSE(idle.IsUsable());
  EXPECT_EQ(0u, idle.Read(buf, 1));
  EXPECT_EQ(BufferedIO::kErrNotAttached, idle.LastError());
  EXPECT_EQ(0u, idle.Write(buf, 1));
  EXPECT_EQ(BufferedIO::kErrNotAttached, idle.LastError());
}

}  // namespace
}  // namespace cat
