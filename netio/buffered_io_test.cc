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

namespace cat {
namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::vector<char> Pattern(size_t n, unsigned seed) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return v;
}

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
  int NewFile(const std::string& name, const std::vector<char>& content) {
    root_.Write("/" + name, content.data(), content.size());
    int fd = open(root_.Host("/" + name).c_str(), O_RDWR);
    EXPECT_GE(fd, 0);
    return fd;
  }
  static std::vector<char> Contents(int fd) {
    std::vector<char> out;
    char buf[65536];
    ssize_t r;
    off_t pos = 0;
    while ((r = pread(fd, buf, sizeof(buf), pos)) > 0) {
      out.insert(out.end(), buf, buf + r);
      pos += r;
    }
    return out;
  }
  // Reads everything from the peer socket until it is closed.
  static std::vector<char> Drain(int fd) {
    std::vector<char> out;
    char buf[65536];
    for (;;) {
      ssize_t r = recv(fd, buf, sizeof(buf), 0);
      if (r > 0) {
        out.insert(out.end(), buf, buf + r);
      } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
        usleep(1000);
      } else {
        break;
      }
    }
    return out;
  }

  Socket a_, b_;
  BandwidthController controller_;
  BufferedIO io_, peer_;
  test_support::TestRoot root_{"netio-test"};
};

TEST_F(BufferedIOTest, WritesStayBufferedUntilFlushAndNeedATransport) {
  ASSERT_EQ(5u, io_.Write("hello", 5));
  EXPECT_EQ(5u, io_.PendingWrite());
  char buf[16];
  EXPECT_EQ(-1, recv(b_.fd(), buf, sizeof(buf), MSG_DONTWAIT));
  EXPECT_EQ(EAGAIN, errno);
  ASSERT_EQ(BufferedIO::kOk, io_.Flush());
  EXPECT_EQ(0u, io_.PendingWrite());
  ASSERT_EQ(5, recv(b_.fd(), buf, sizeof(buf), MSG_DONTWAIT));
  EXPECT_EQ(0, memcmp(buf, "hello", 5));
  EXPECT_EQ(BufferedIO::kOk, io_.Close());
  EXPECT_FALSE(io_.IsUsable());

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
  // Small, odd and large pieces.
  size_t sizes[] = {1, 2, 3, 4093, 65536, 70000, 1};
  size_t pos = 0;
  for (size_t s : sizes) {
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

TEST_F(BufferedIOTest, AbortStopsTransfers) {
  int flag = 1;
  controller_.SetAbortFlag(&flag);
  char buf[4];
  EXPECT_EQ(0u, io_.Read(buf, 4));
  EXPECT_EQ(BufferedIO::kErrAborted, io_.LastError());
  std::vector<char> big = Pattern(1 << 20, 3);
  EXPECT_EQ(0u, io_.Write(big.data(), big.size()));
  EXPECT_EQ(BufferedIO::kErrAborted, io_.LastError());
  int fd = NewFile("abort", big);
  File file(fd);
  EXPECT_EQ(0u, io_.SendFile(&file, 0, big.size()));
  EXPECT_EQ(BufferedIO::kErrAborted, io_.LastError());
  EXPECT_EQ(0u, io_.RecvFile(&file, 0, 10));
  EXPECT_EQ(BufferedIO::kErrAborted, io_.LastError());
  close(fd);
}

TEST_F(BufferedIOTest, SendFileAndRecvFileMoveStretches) {
  std::vector<char> data = Pattern(2 * 1024 * 1024 + 333, 4);
  int src = NewFile("src", data);
  int dst = NewFile("dst", {});
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
  std::vector<char> got = Contents(dst);
  std::vector<char> expected(at, 0);
  expected.push_back('a');
  expected.push_back('d');
  expected.insert(expected.end(), data.begin() + offset, data.begin() + offset + length);
  EXPECT_EQ(expected, got);
  close(src);
  close(dst);
}

TEST_F(BufferedIOTest, RecvFileReportsWhatArrivedBeforeHangUp) {
  std::vector<char> data = Pattern(300000, 5);
  std::thread sender([&] {
    EXPECT_EQ(data.size(), peer_.Write(data.data(), data.size()));
    EXPECT_EQ(BufferedIO::kOk, peer_.Flush());
    b_.Close();
  });
  int dst = NewFile("partial", {});
  File f(dst);
  uint64_t got = io_.RecvFile(&f, 0, data.size() * 2);
  sender.join();
  EXPECT_EQ(data.size(), got);
  EXPECT_EQ(BufferedIO::kErrEndOfStream, io_.LastError());
  EXPECT_EQ(data, Contents(dst));
  close(dst);
}

TEST_F(BufferedIOTest, SendFileOfAShortFileStopsAtItsEnd) {
  std::vector<char> data = Pattern(1000, 6);
  int src = NewFile("short", data);
  File f(src);
  std::vector<char> peer;
  std::thread reader([&] { peer = Drain(b_.fd()); });
  EXPECT_EQ(1000u, io_.SendFile(&f, 0, 5000));
  EXPECT_EQ(BufferedIO::kErrEndOfStream, io_.LastError());
  a_.Shutdown();
  reader.join();
  EXPECT_EQ(data, peer);
  close(src);
}

TEST_F(BufferedIOTest, RecvFileIntoAFullDeviceIsNoSpace) {
  int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  std::vector<char> data = Pattern(100000, 7);
  std::thread sender([&] {
    peer_.Write(data.data(), data.size());
    peer_.Flush();
  });
  File f(full);
  EXPECT_EQ(0u, io_.RecvFile(&f, 0, data.size()));
  EXPECT_EQ(BufferedIO::kErrNoSpace, io_.LastError());
  b_.Shutdown();
  sender.join();
  close(full);
}

TEST_F(BufferedIOTest, BandwidthLimitCapsEachStep) {
  // A step-size observer: the limit allows 1000 bytes per tenth of a second.
  class Recorder : public BandwidthController {
   public:
    size_t Quota(Direction d, size_t want) override {
      size_t q = BandwidthController::Quota(d, want);
      max_step = q > max_step ? q : max_step;
      return q;
    }
    size_t max_step = 0;
  } recorder;
  recorder.SetLimit(BufferedIOController::kWrite, 10000);
  io_.SetController(&recorder);
  std::vector<char> data = Pattern(1500, 8);
  ASSERT_EQ(data.size(), io_.Write(data.data(), data.size()));
  ASSERT_EQ(BufferedIO::kOk, io_.Flush());
  EXPECT_EQ(1000u, recorder.max_step);
  char buf[1500];
  size_t got = 0;
  while (got < sizeof(buf)) {
    ssize_t r = recv(b_.fd(), buf + got, sizeof(buf) - got, 0);
    ASSERT_GT(r, 0);
    got += static_cast<size_t>(r);
  }
  EXPECT_EQ(0, memcmp(buf, data.data(), sizeof(buf)));
}

}  // namespace
}  // namespace cat
