#include "netio/buffered_io.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "base/test_root.h"
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

class BufferedIOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSigpipeIgnored);
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv));
    a_.Attach(sv[0]);
    b_.Attach(sv[1]);
    io_.Attach(&a_);
    io_.SetController(&controller_);
    io_.SetTimeoutMillis(5000);
    io_.SetWaitSlice(20);
    peer_.Attach(&b_);  // the other end, for writer threads
    peer_.SetTimeoutMillis(5000);
  }
  // Reads exactly n bytes from the raw peer socket.
  std::vector<char> PeerRead(size_t n) {
    std::vector<char> out(n);
    for (size_t got = 0; got < n;) {
      ssize_t r = recv(b_.fd(), out.data() + got, n - got, 0);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    return out;
  }

  Socket a_, b_;
  StepRecorder controller_;
  BufferedIO io_, peer_;
  test_support::TestRoot root_{"netio-test"};
};

// A limit of 10000 B/s allows 1000 bytes per tenth of a second.
TEST_F(BufferedIOTest, WritesStayBufferedUntilFlushInStepsOfTheLimitAndNeedATransport) {
  controller_.SetLimit(BufferedIOController::kWrite, 10000);
  std::vector<char> data = Pattern(1500, 8);
  ASSERT_EQ(data.size(), io_.Write(data.data(), data.size()));
  EXPECT_EQ(data.size(), io_.PendingWrite());
  char buf[16];
  EXPECT_EQ(-1, recv(b_.fd(), buf, sizeof(buf), MSG_DONTWAIT));
  ASSERT_EQ(BufferedIO::kOk, io_.Flush());
  EXPECT_EQ(0u, io_.PendingWrite());
  EXPECT_EQ(1000u, controller_.max_step);
  EXPECT_EQ(data, PeerRead(data.size()));
  ASSERT_EQ(3u, io_.Write("bye", 3));
  ASSERT_EQ(1u, io_.Write("!", 1));
  EXPECT_EQ(0u, io_.Write("?", 0));
  EXPECT_EQ(BufferedIO::kOk, io_.Close());  // flushes first
  EXPECT_FALSE(io_.IsUsable());
  EXPECT_EQ(std::vector<char>({'b', 'y', 'e', '!'}), PeerRead(4));

  BufferedIO idle;  // never attached
  EXPECT_FALSE(idle.IsUsable());
  EXPECT_EQ(0u, idle.Read(buf, 1));
  EXPECT_EQ(BufferedIO::kErrNotAttached, idle.LastError());
  EXPECT_EQ(0u, idle.Write(buf, 1));
  EXPECT_EQ(BufferedIO::kErrNotAttached, idle.LastError());
}

}  // namespace
}  // namespace cat
