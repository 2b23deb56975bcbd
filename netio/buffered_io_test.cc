#include "netio/buffered_io.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
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

TEST_F(BufferedIOTest, ExactReadsAcrossBufferAndLargeTransfers) {
  // Larger than the socket buffers, so writer and reader must interleave.
  std::vector<char> data = Pattern(3 * 1024 * 1024 + 17, 1);
  std::thread writer([&] {
    EXPECT_EQ(data.size(), peer_.Write(data.data(), data.size()));
    EXPECT_EQ(BufferedIO::kOk, peer_.Flush());
  });
  std::vector<char> got(data.size());
  size_t pos = 0;
  for (size_t s : {1, 2, 3, 4093, 65536, 70000, 1}) {  // small, odd and large pieces
    ASSERT_EQ(s, io_.Read(got.data() + pos, s));
    pos += s;
  }
  ASSERT_EQ(data.size() - pos, io_.Read(got.data() + pos, data.size() - pos));
  writer.join();
  EXPECT_EQ(data, got);
  EXPECT_EQ(0u, io_.Buffered());
}

TEST_F(BufferedIOTest, PeerHangUpIsEndOfStream) {
  ASSERT_EQ(3, send(b_.fd(), "abc", 3, 0));
  b_.Close();
  char buf[8];
  EXPECT_EQ(3u, io_.Read(buf, 8));
  EXPECT_EQ(BufferedIO::kErrEndOfStream, io_.LastError());
  EXPECT_TRUE(io_.AtEnd());
  EXPECT_EQ(0u, io_.Read(buf, 1));
  EXPECT_EQ(BufferedIO::kErrEndOfStream, io_.LastError());
}

TEST_F(BufferedIOTest, TimesOutWhenThePeerIsSilent) {
  io_.SetTimeoutMillis(60);
  char buf[4];
  EXPECT_EQ(0u, io_.Read(buf, 4));  // the peer never writes
  EXPECT_EQ(BufferedIO::kErrTimeout, io_.LastError());
  std::vector<char> data = Pattern(8 * 1024 * 1024, 2);
  EXPECT_LT(io_.Write(data.data(), data.size()), data.size());  // nor reads
  EXPECT_EQ(BufferedIO::kErrTimeout, io_.LastError());
}

TEST_F(BufferedIOTest, SendFileAndRecvFileMoveStretches) {
  std::vector<char> data = Pattern(2 * 1024 * 1024 + 333, 4);
  root_.Write("/src", data.data(), data.size());
  root_.Write("/dst", "");
  int src = open(root_.Host("/src").c_str(), O_RDONLY),
      dst = open(root_.Host("/dst").c_str(), O_RDWR);
  ASSERT_GE(src, 0);
  ASSERT_GE(dst, 0);
  const uint64_t offset = 1000, length = data.size() - 2000;
  std::thread sender([&] {
    File f(src);
    EXPECT_EQ(4u, peer_.Write("head", 4));  // buffered bytes go before the file
    EXPECT_EQ(length, peer_.SendFile(&f, offset, length));
    EXPECT_EQ(BufferedIO::kOk, peer_.LastError());
  });
  char head[2];
  ASSERT_EQ(2u, io_.Read(head, 2));  // leaves read-ahead bytes for RecvFile
  File f(dst);
  const uint64_t at = 5;
  EXPECT_EQ(length + 2, io_.RecvFile(&f, at, length + 2));
  EXPECT_EQ(BufferedIO::kOk, io_.LastError());
  sender.join();
  std::string expected(at, '\0');
  expected += "ad" + std::string(data.begin() + offset, data.begin() + offset + length);
  EXPECT_TRUE(expected == root_.Read("/dst"));
  close(src);
  close(dst);
}

}  // namespace
}  // namespace cat
