#include "messaging/channel.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::vector<char> Pattern(size_t n, unsigned seed) {
  std::vector<char> v(n);
  uint32_t x = 2463534242u + seed;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = static_cast<char>(x & 0xff);
  }
  return v;
}

std::string OneShotDigest(const char* name, const std::vector<char>& data) {
  const EVP_MD* md = EVP_get_digestbyname(name);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), out, &len, md, nullptr));
  char hex[2 * EVP_MAX_MD_SIZE + 1];
  for (unsigned int i = 0; i < len; ++i) snprintf(hex + 2 * i, 3, "%02x", out[i]);
  hex[2 * len] = 0;
  return hex;
}

double Seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Adds up every reported chunk, as a stream's progress reporter does.
class SumReporter : public Channel::ProgressReporter {
 public:
  void report(uint64_t count) override { m_transferred += count; }
};

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSigpipeIgnored);
    char tmpl[] = "/tmp/channel-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    saved_cert_ = Channel::m_cert_path;
    saved_key_ = Channel::m_key_path;
    saved_ca_ = Channel::m_ca_path;
  }
  void TearDown() override {
    Channel::m_cert_path = saved_cert_;
    Channel::m_key_path = saved_key_;
    Channel::m_ca_path = saved_ca_;
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Path(const std::string& name) {
    std::string p = dir_ + "/" + name;
    files_.push_back(p);
    return p;
  }
  int NewFile(const std::string& name, const std::vector<char>& content) {
    int fd = open(Path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    if (!content.empty()) {
      EXPECT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    }
    return fd;
  }
  static std::vector<char> Contents(int fd) {
    std::vector<char> out;
    std::vector<char> buf(1 << 16);
    off_t pos = 0;
    ssize_t r;
    while ((r = pread(fd, buf.data(), buf.size(), pos)) > 0) {
      out.insert(out.end(), buf.begin(), buf.begin() + r);
      pos += r;
    }
    return out;
  }
  // Two channels over a connected socket pair.
  static void Pair(Channel* a, Channel* b) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    ASSERT_EQ(0, a->Open(sv[0], true));
    ASSERT_EQ(0, b->Open(sv[1], true));
  }
  // A pair where only `a` is a channel; *peer is the raw other end.
  static void HalfPair(Channel* a, int* peer) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    ASSERT_EQ(0, a->Open(sv[0], true));
    *peer = sv[1];
  }
  static void SendRaw(int fd, const std::vector<char>& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t r = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      ASSERT_GT(r, 0);
      done += static_cast<size_t>(r);
    }
  }

  std::string dir_;
  std::vector<std::string> files_;
  ustring saved_cert_, saved_key_, saved_ca_;
};

TEST_F(ChannelTest, ClosedChannelGivesNeutralResults) {
  Channel ch;
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_FALSE(ch.IsSSL());
  EXPECT_EQ(60u, ch.GetTimeout());
  EXPECT_TRUE(ch.GetVerify());
  char buf[4];
  size_t count = 99;
  EXPECT_EQ(0, ch.Read(buf, 0, &count));  // zero bytes never touch the socket
  EXPECT_EQ(0u, count);
  EXPECT_EQ(-2, ch.Read(buf, 1));
  EXPECT_EQ(-2, ch.Write("x", 1));
  EXPECT_EQ(-2, ch.Flush(0));
  EXPECT_EQ(-1, ch.Flush(1));
  uint32_t v;
  EXPECT_EQ(-2, ch.ReadUInt32(&v));
  EXPECT_EQ(-2, ch.WriteUInt16(7));
  EXPECT_EQ(-2, ch.ConvertToSSLChannel(false));
  EXPECT_EQ(-2, ch.SendFile(0, 0, 10, nullptr));
  uint64_t received = 5;
  EXPECT_EQ(-2, ch.RecvFile(0, 0, 10, nullptr, &received));
  EXPECT_EQ(0u, received);
  ustring address = "junk";
  int port = 77;
  EXPECT_EQ(0, ch.GetPeerInfo(&address, &port));
  EXPECT_EQ(ustring(""), address);
  EXPECT_EQ(0, port);
  EXPECT_EQ(0, ch.Close());
  EXPECT_EQ(ustring("same"), ch.ConvertToPeer("same"));
  EXPECT_EQ(ustring("same"), ch.ConvertFromPeer("same"));
}

TEST_F(ChannelTest, ByteOrderAndBigEndianIntegers) {
  Channel ch;
  uint16_t s = ch.Swap16(0x0102);
  uint32_t l = ch.Swap32(0x01020304);
  uint64_t q = ch.Swap64(0x0102030405060708ULL);
  EXPECT_EQ(0, memcmp(&s, "\x01\x02", 2));
  EXPECT_EQ(0, memcmp(&l, "\x01\x02\x03\x04", 4));
  EXPECT_EQ(0, memcmp(&q, "\x01\x02\x03\x04\x05\x06\x07\x08", 8));

  int peer;
  HalfPair(&ch, &peer);
  ASSERT_EQ(0, ch.WriteUInt8(0xAB));
  ASSERT_EQ(0, ch.WriteUInt16(0x1234));
  ASSERT_EQ(0, ch.WriteUInt32(0x89ABCDEFu));
  ASSERT_EQ(0, ch.WriteUInt64(0xFEDCBA9876543210ULL));
  ASSERT_EQ(0, ch.Flush(0));
  const unsigned char expected[] = {0xAB, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0xFE,
                                    0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  unsigned char wire[sizeof(expected)];
  size_t got = 0;
  while (got < sizeof(wire)) {
    ssize_t r = recv(peer, wire + got, sizeof(wire) - got, 0);
    ASSERT_GT(r, 0);
    got += static_cast<size_t>(r);
  }
  EXPECT_EQ(0, memcmp(expected, wire, sizeof(wire)));

  SendRaw(peer, std::vector<char>(expected, expected + sizeof(expected)));
  uint8_t b;
  uint16_t w;
  uint32_t d;
  uint64_t x;
  ASSERT_EQ(0, ch.ReadUInt8(&b));
  ASSERT_EQ(0, ch.ReadUInt16(&w));
  ASSERT_EQ(0, ch.ReadUInt32(&d));
  ASSERT_EQ(0, ch.ReadUInt64(&x));
  EXPECT_EQ(0xAB, b);
  EXPECT_EQ(0x1234, w);
  EXPECT_EQ(0x89ABCDEFu, d);
  EXPECT_EQ(0xFEDCBA9876543210ULL, x);
  close(peer);
}

TEST_F(ChannelTest, WritesLeaveOnFlushOrClose) {
  Channel ch;
  int peer;
  HalfPair(&ch, &peer);
  ASSERT_EQ(0, ch.Write("hello", 5));
  char buf[16];
  EXPECT_EQ(-1, recv(peer, buf, sizeof(buf), MSG_DONTWAIT));
  ASSERT_EQ(0, ch.Flush(0));
  ASSERT_EQ(5, recv(peer, buf, sizeof(buf), 0));
  ASSERT_EQ(0, ch.Write("bye", 3));
  EXPECT_EQ(0, ch.Close());
  EXPECT_TRUE(ch.IsClosed());
  ASSERT_EQ(3, recv(peer, buf, sizeof(buf), 0));
  EXPECT_EQ(0, memcmp(buf, "bye", 3));
  EXPECT_EQ(0, recv(peer, buf, sizeof(buf), 0));  // closed after the flush
  close(peer);
}

TEST_F(ChannelTest, ReadFailsAtEndOfStreamAndOnShortData) {
  Channel ch;
  int peer;
  HalfPair(&ch, &peer);
  SendRaw(peer, {'a', 'b', 'c'});
  close(peer);
  char buf[8];
  size_t count = 0;
  EXPECT_EQ(-2, ch.Read(buf, 8, &count));
  EXPECT_EQ(3u, count);
  EXPECT_EQ(-2, ch.Read(buf, 1));
}

TEST_F(ChannelTest, AdoptedDescriptors) {
  Channel ch;
  EXPECT_EQ(-4, ch.Open(-1, true));
  EXPECT_TRUE(ch.IsClosed());
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  // Unconfigured: the descriptor stays blocking, yet reads still time out.
  ASSERT_EQ(0, ch.Open(sv[0], false));
  EXPECT_EQ(0, fcntl(sv[0], F_GETFL) & O_NONBLOCK);
  int other[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, other));
  EXPECT_EQ(-4, ch.Open(other[0], true));  // already open: the old socket stays
  close(other[0]);
  close(other[1]);
  SendRaw(sv[1], {'o', 'k'});
  char buf[2];
  ASSERT_EQ(0, ch.Read(buf, 2));
  EXPECT_EQ(0, memcmp(buf, "ok", 2));
  ch.SetTimeout(1);
  EXPECT_EQ(-2, ch.Read(buf, 1));  // nobody writes
  ch.Close();
  // Reopening after Close adopts the new descriptor, configured this time.
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, other));
  ASSERT_EQ(0, ch.Open(other[0], true));
  EXPECT_NE(0, fcntl(other[0], F_GETFL) & O_NONBLOCK);
  struct linger lg;
  socklen_t len = sizeof(lg);
  ASSERT_EQ(0, getsockopt(other[0], SOL_SOCKET, SO_LINGER, &lg, &len));
  EXPECT_EQ(1, lg.l_onoff);
  EXPECT_EQ(1, lg.l_linger);
  ch.Close();
  close(other[1]);
  close(sv[1]);
}

TEST_F(ChannelTest, ReadTimesOutWhenPeerNeverWrites) {
  Channel a, b;
  Pair(&a, &b);
  b.SetTimeout(1);
  double start = Seconds();
  uint64_t v;
  EXPECT_EQ(-2, b.ReadUInt64(&v));
  double elapsed = Seconds() - start;
  EXPECT_GE(elapsed, 0.9);  // it waited for the timeout, it did not fail at once
  EXPECT_LT(elapsed, 30.0);
}

TEST_F(ChannelTest, WriteTimesOutWhenPeerNeverReads) {
  Channel a, b;
  Pair(&a, &b);
  a.SetTimeout(1);
  std::vector<char> big = Pattern(16 << 20, 1);
  int rc = a.Write(big.data(), big.size());
  if (rc == 0) rc = a.Flush(0);
  EXPECT_NE(0, rc);
}

TEST_F(ChannelTest, AbortFlagStopsTransfers) {
  Channel a, b;
  Pair(&a, &b);
  int flag = 1;
  b.SetAbortFlag(&flag);
  char buf[4];
  EXPECT_EQ(-2, b.Read(buf, 4));
  std::vector<char> big = Pattern(1 << 20, 2);
  EXPECT_EQ(-2, b.Write(big.data(), big.size()));
  int src = NewFile("abort-src", big);
  EXPECT_EQ(-2, b.SendFile(src, 0, big.size(), nullptr));
  uint64_t received = 9;
  EXPECT_EQ(-2, b.RecvFile(src, 0, 100, nullptr, &received));
  EXPECT_EQ(0u, received);
  ASSERT_TRUE(b.SetHashing(true, "md5"));
  EXPECT_EQ(-2, b.RecvFile(src, 0, 100, nullptr, &received));
  EXPECT_EQ(0u, received);
  b.SetHashing(false, "md5");
  // Cleared, the channel works again.
  flag = 0;
  ASSERT_EQ(0, a.Write("abcd", 4));
  ASSERT_EQ(0, a.Flush(0));
  ASSERT_EQ(0, b.Read(buf, 4));
  close(src);
}

TEST_F(ChannelTest, HashingCoversReadsAndWrites) {
  const char* algorithms[] = {"md5", "sha1", "sha256", "sha512"};
  for (const char* algo : algorithms) {
    SCOPED_TRACE(algo);
    Channel a, b;
    Pair(&a, &b);
    EXPECT_EQ(ustring(""), a.GetHash());
    ASSERT_TRUE(a.SetHashing(true, algo));
    std::vector<char> out = Pattern(100000, 3), in = Pattern(777, 4);
    ASSERT_EQ(0, a.Write(out.data(), out.size()));
    ASSERT_EQ(0, a.Flush(0));
    std::vector<char> got(out.size());
    ASSERT_EQ(0, b.Read(got.data(), got.size()));
    ASSERT_EQ(0, b.Write(in.data(), in.size()));
    ASSERT_EQ(0, b.Flush(0));
    std::vector<char> back(in.size());
    ASSERT_EQ(0, a.Read(back.data(), back.size()));
    std::vector<char> all = out;
    all.insert(all.end(), in.begin(), in.end());
    EXPECT_EQ(ustring(OneShotDigest(algo, all)), a.GetHash());
    // Hashing goes on after GetHash.
    ASSERT_EQ(0, a.Write("tail", 4));
    all.insert(all.end(), {'t', 'a', 'i', 'l'});
    EXPECT_EQ(ustring(OneShotDigest(algo, all)), a.GetHash());
    EXPECT_TRUE(a.ResetHash());
    EXPECT_EQ(ustring(OneShotDigest(algo, {})), a.GetHash());
    EXPECT_TRUE(a.SetHashing(false, algo));
    EXPECT_EQ(ustring(""), a.GetHash());
    EXPECT_FALSE(a.ResetHash());
  }
}

TEST_F(ChannelTest, UnknownOrUnavailableDigestsLeaveHashingOff) {
  Channel ch;
  EXPECT_FALSE(ch.SetHashing(true, "no-such-digest"));
  EXPECT_EQ(ustring(""), ch.GetHash());
  // md4 works only where its provider is loaded; the channel must agree with
  // the library either way.
  EVP_MD* md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
  EXPECT_EQ(md4 != nullptr, ch.SetHashing(true, "md4"));
  EXPECT_EQ(md4 != nullptr, !ch.GetHash().empty());
  EVP_MD_free(md4);
  ASSERT_TRUE(ch.SetHashing(true, "sha1"));
  EXPECT_FALSE(ch.SetHashing(true, "no-such-digest"));  // the old digest is gone too
  EXPECT_EQ(ustring(""), ch.GetHash());
}

TEST_F(ChannelTest, ProgressReporterBaseKeepsTheLastCount) {
  Channel::ProgressReporter base;
  EXPECT_EQ(0u, base.transferred());
  base.report(5);
  base.report(7);
  EXPECT_EQ(7u, base.transferred());
}

struct TransferCase {
  const char* name;
  size_t size;
  const char* algo;  // "" for no hashing
};

class ChannelTransferTest : public ChannelTest,
                            public ::testing::WithParamInterface<TransferCase> {};

TEST_P(ChannelTransferTest, FileStretchThroughASocketPair) {
  const TransferCase& c = GetParam();
  const bool hashing = c.algo[0] != 0;
  const uint64_t src_offset = c.size > 0 ? 100 : 0;
  const uint64_t dst_offset = c.size > 0 ? 7 : 0;
  std::vector<char> data = Pattern(c.size + src_offset + 50, 5);
  int src = NewFile("src", data);
  int dst = NewFile("dst", {});
  Channel a, b;
  Pair(&a, &b);
  std::string send_hash;
  SumReporter send_progress;
  std::thread sender([&] {
    // A message header buffered before the file, as a stream writes it; the
    // reporter must count only the file's bytes.
    ASSERT_EQ(0, a.WriteUInt64(c.size));
    if (hashing) {
      ASSERT_TRUE(a.SetHashing(true, c.algo));
    }
    EXPECT_EQ(0, a.SendFile(src, src_offset, c.size, &send_progress));
    EXPECT_EQ(0, a.Flush(0));
    send_hash = a.GetHash().c_str();
  });
  uint64_t header = 0;
  EXPECT_EQ(0, b.ReadUInt64(&header));
  EXPECT_EQ(c.size, header);
  if (hashing) {
    EXPECT_TRUE(b.SetHashing(true, c.algo));
  }
  SumReporter recv_progress;
  uint64_t received = 12345;
  EXPECT_EQ(0, b.RecvFile(dst, dst_offset, c.size, &recv_progress, &received));
  sender.join();
  EXPECT_EQ(c.size, received);
  EXPECT_EQ(c.size, send_progress.transferred());
  EXPECT_EQ(c.size, recv_progress.transferred());
  std::vector<char> stretch(data.begin() + src_offset, data.begin() + src_offset + c.size);
  std::vector<char> expected(dst_offset, 0);
  expected.insert(expected.end(), stretch.begin(), stretch.end());
  EXPECT_TRUE(expected == Contents(dst)) << "file contents differ";
  if (hashing) {
    std::string digest = OneShotDigest(c.algo, stretch);
    EXPECT_EQ(digest, send_hash);
    EXPECT_EQ(ustring(digest), b.GetHash());
  } else {
    EXPECT_EQ("", send_hash);
  }
  // The channel still carries messages after the file.
  ASSERT_EQ(0, a.WriteUInt32(42));
  ASSERT_EQ(0, a.Flush(0));
  uint32_t v = 0;
  ASSERT_EQ(0, b.ReadUInt32(&v));
  EXPECT_EQ(42u, v);
  close(src);
  close(dst);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ChannelTransferTest,
    ::testing::Values(TransferCase{"Empty", 0, ""}, TransferCase{"EmptyHashed", 0, "md5"},
                      TransferCase{"SeveralMiB", 6 * 1024 * 1024 + 4321, ""},
                      TransferCase{"SeveralMiBMd5", 6 * 1024 * 1024 + 4321, "md5"},
                      TransferCase{"SeveralMiBSha256", 5 * 1024 * 1024 + 1, "sha256"}),
    [](const ::testing::TestParamInfo<TransferCase>& info) { return info.param.name; });

TEST_F(ChannelTest, FailedReceiveReportsWhatWasStored) {
  struct Case {
    const char* algo;
  } cases[] = {{""}, {"sha1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algo);
    Channel ch;
    int peer;
    HalfPair(&ch, &peer);
    if (c.algo[0]) {
      ASSERT_TRUE(ch.SetHashing(true, c.algo));
    }
    std::vector<char> sent = Pattern(1024 * 1024 + 99, 6);
    std::thread sender([&] {
      SendRaw(peer, sent);
      close(peer);  // hangs up in the middle of the announced stretch
    });
    int dst = NewFile(std::string("partial") + c.algo, {});
    uint64_t received = 0;
    SumReporter progress;
    EXPECT_EQ(-2, ch.RecvFile(dst, 0, 3 * 1024 * 1024, &progress, &received));
    sender.join();
    std::vector<char> stored = Contents(dst);
    EXPECT_LE(received, sent.size());
    if (!c.algo[0]) {
      EXPECT_EQ(sent.size(), received);  // the direct path keeps every byte
    }
    EXPECT_GT(received, 0u);
    // The file holds exactly the received bytes, which a caller may keep.
    ASSERT_EQ(received, stored.size());
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), sent.begin()));
    close(dst);
  }
}

TEST_F(ChannelTest, ReceiveIntoAFullDiskIsDiskFull) {
  int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  for (const char* algo : {"", "md5"}) {
    SCOPED_TRACE(algo);
    Channel ch;
    int peer;
    HalfPair(&ch, &peer);
    if (algo[0]) {
      ASSERT_TRUE(ch.SetHashing(true, algo));
    }
    std::vector<char> sent = Pattern(200000, 7);
    std::thread sender([&] { send(peer, sent.data(), sent.size(), MSG_NOSIGNAL); });
    uint64_t received = 0;
    EXPECT_EQ(-16, ch.RecvFile(full, 0, sent.size(), nullptr, &received));
    EXPECT_EQ(0u, received);
    ch.Close();
    sender.join();
    close(peer);
  }
  close(full);
}

TEST_F(ChannelTest, ReceiveBeyondTheFileSizeLimitIsFileTooBig) {
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  struct sigaction ignore, old_action;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGXFSZ, &ignore, &old_action));
  struct rlimit limit = saved;
  limit.rlim_cur = 100000;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  for (const char* algo : {"", "md5"}) {
    SCOPED_TRACE(algo);
    Channel ch;
    int peer;
    HalfPair(&ch, &peer);
    if (algo[0]) {
      ASSERT_TRUE(ch.SetHashing(true, algo));
    }
    std::vector<char> sent = Pattern(300000, 8);
    std::thread sender([&] { send(peer, sent.data(), sent.size(), MSG_NOSIGNAL); });
    int dst = NewFile(std::string("big") + algo, {});
    uint64_t received = 0;
    EXPECT_EQ(-34, ch.RecvFile(dst, 0, sent.size(), nullptr, &received));
    EXPECT_LE(received, 100000u);
    ch.Close();
    sender.join();
    close(peer);
    close(dst);
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &old_action, nullptr);
}

TEST_F(ChannelTest, SendingAShortFileFails) {
  Channel a, b;
  Pair(&a, &b);
  std::vector<char> data = Pattern(1000, 9);
  int src = NewFile("short", data);
  std::thread reader([&] {
    std::vector<char> got(1000);
    EXPECT_EQ(0, b.Read(got.data(), got.size()));
    EXPECT_EQ(data, got);
  });
  EXPECT_EQ(-2, a.SendFileDirect(src, 0, 5000, nullptr));
  reader.join();
  EXPECT_EQ(-2, a.SendFileBuffered(src, 500, 5000, nullptr));
  close(src);
}

// --- Unix-domain sockets -----------------------------------------------------

int Listen(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(ChannelTest, UnixDomainConnect) {
  std::string path = Path("sock");
  int listener = Listen(path);
  ASSERT_GE(listener, 0);
  Channel ch;
  ASSERT_EQ(0, ch.Open(ustring(path)));
  EXPECT_FALSE(ch.IsClosed());
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  ASSERT_EQ(0, ch.WriteUInt16(0xBEEF));
  ASSERT_EQ(0, ch.Flush(0));
  unsigned char wire[2];
  ASSERT_EQ(2, recv(server, wire, 2, MSG_WAITALL));
  EXPECT_EQ(0xBE, wire[0]);
  EXPECT_EQ(0xEF, wire[1]);
  ustring address = "x";
  int port = 1;
  EXPECT_EQ(-1, ch.GetPeerInfo(&address, &port));  // a Unix peer has no IP address
  EXPECT_EQ(ustring(""), address);

  // Opening again replaces the connection: the first one is shut down.
  ASSERT_EQ(0, ch.Open(ustring(path)));
  int second = accept(listener, nullptr, nullptr);
  ASSERT_GE(second, 0);
  char c;
  EXPECT_EQ(0, recv(server, &c, 1, 0));
  ASSERT_EQ(0, ch.WriteUInt8('z'));
  ASSERT_EQ(0, ch.Flush(0));
  ASSERT_EQ(1, recv(second, &c, 1, 0));
  EXPECT_EQ('z', c);
  ch.Close();
  close(second);
  close(server);
  close(listener);
}

TEST_F(ChannelTest, UnixDomainMissingPath) {
  Channel ch;
  EXPECT_EQ(-2, ch.Open(ustring(dir_ + "/no-such-socket")));
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(-2, ch.Write("x", 1));
}

TEST_F(ChannelTest, UnixDomainPathIsCutTo107Bytes) {
  std::string path = dir_ + "/";
  path += std::string(107 - path.size(), 'p');
  ASSERT_EQ(107u, path.size());
  files_.push_back(path);
  int listener = Listen(path);
  ASSERT_GE(listener, 0);
  Channel ch;
  EXPECT_EQ(0, ch.Open(ustring(path + "-these-bytes-are-dropped")));
  int server = accept(listener, nullptr, nullptr);
  EXPECT_GE(server, 0);
  ch.Close();
  close(server);
  close(listener);
}

// --- TCP ----------------------------------------------------------------------

// A listening TCP socket on `host` with a kernel-chosen port; -1 when the
// host has no such address.
int ListenTcp(const char* host, int* port) {
  bool v6 = strchr(host, ':') != nullptr;
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof(ss));
  socklen_t len;
  if (v6) {
    auto* a = reinterpret_cast<struct sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    inet_pton(AF_INET6, host, &a->sin6_addr);
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<struct sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    inet_pton(AF_INET, host, &a->sin_addr);
    len = sizeof(*a);
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&ss), len) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  len = sizeof(ss);
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len);
  *port = ntohs(v6 ? reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port
                   : reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port);
  return fd;
}

TEST_F(ChannelTest, TcpLoopbackIPv4AndIPv6) {
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    int port = 0;
    int listener = ListenTcp(host, &port);
    if (listener < 0) {
      ASSERT_STREQ("::1", host) << "IPv4 loopback must exist";
      continue;  // no IPv6 loopback on this host
    }
    Channel client;
    ASSERT_EQ(0, client.Open(host, port));
    int fd = accept(listener, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    Channel server;
    ASSERT_EQ(0, server.Open(fd, true));
    ASSERT_EQ(0, client.WriteUInt64(0x1122334455667788ULL));
    ASSERT_EQ(0, client.Flush(0));
    uint64_t v = 0;
    ASSERT_EQ(0, server.ReadUInt64(&v));
    EXPECT_EQ(0x1122334455667788ULL, v);
    ustring address;
    int peer_port = 0;
    EXPECT_EQ(0, client.GetPeerInfo(&address, &peer_port));
    EXPECT_EQ(ustring(host), address);
    EXPECT_EQ(port, peer_port);
    EXPECT_EQ(0, server.GetPeerInfo(&address, &peer_port));
    EXPECT_EQ(ustring(host), address);
    EXPECT_NE(0, peer_port);
    close(listener);
  }
}

TEST_F(ChannelTest, TcpOpenFailures) {
  Channel ch;
  EXPECT_EQ(-4, ch.Open(static_cast<const char*>(nullptr), 80));
  EXPECT_EQ(-4, ch.Open("127.0.0.1", -1));
  EXPECT_EQ(-2, ch.Open("localhost", 80));  // names are not looked up
  EXPECT_EQ(-1, ch.ConnectTcp("not an address", 80));
  // A port nobody listens on: refused.
  int port = 0;
  int probe = ListenTcp("127.0.0.1", &port);
  ASSERT_GE(probe, 0);
  close(probe);
  EXPECT_EQ(-2, ch.Open("127.0.0.1", port));
  EXPECT_TRUE(ch.IsClosed());
  // The abort flag stops a connect before it starts.
  int listener = ListenTcp("127.0.0.1", &port);
  ASSERT_GE(listener, 0);
  int flag = 1;
  ch.SetAbortFlag(&flag);
  EXPECT_EQ(-2, ch.Open("127.0.0.1", port));
  flag = 0;
  EXPECT_EQ(0, ch.Open("127.0.0.1", port));
  close(listener);
}

// --- SSL ------------------------------------------------------------------------

// Writes a self-signed certificate for `name` and its key as PEM files.
bool MakeSelfSigned(const std::string& cert_path, const std::string& key_path, const char* name) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key != nullptr && cert != nullptr;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600 * 24);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    std::string san = std::string("DNS:") + name;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
    ok = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* f = fopen(cert_path.c_str(), "w");
    ok = f != nullptr && PEM_write_X509(f, cert) == 1;
    if (f) fclose(f);
    f = fopen(key_path.c_str(), "w");
    ok = ok && f != nullptr &&
         PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (f) fclose(f);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

std::string Fingerprint(const std::string& cert_path) {
  FILE* f = fopen(cert_path.c_str(), "r");
  if (f == nullptr) return "";
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  X509_digest(cert, EVP_sha256(), md, &len);
  X509_free(cert);
  // Written as people copy it from a certificate viewer: "AB:CD:...".
  std::string text;
  for (unsigned int i = 0; i < len; ++i) {
    char part[4];
    snprintf(part, sizeof(part), "%02X", md[i]);
    if (i > 0) text += ':';
    text += part;
  }
  return text;
}

class ChannelSslTest : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    unsetenv("DRIFT_ROOT");  // the test's files are host paths
    cert_ = Path("cert.pem");
    key_ = Path("key.pem");
    other_cert_ = Path("other-cert.pem");
    other_key_ = Path("other-key.pem");
    ASSERT_TRUE(MakeSelfSigned(cert_, key_, "drift.test"));
    ASSERT_TRUE(MakeSelfSigned(other_cert_, other_key_, "other.test"));
    Channel::m_cert_path = cert_;
    Channel::m_key_path = key_;
    Channel::m_ca_path = cert_;
  }

  // Upgrades both ends of a pair (server in a thread); returns the client's
  // result and stores the server's.
  int Upgrade(Channel* client, Channel* server, int* server_rc) {
    std::thread t([&] { *server_rc = server->ConvertToSSLChannel(true); });
    int rc = client->ConvertToSSLChannel(false);
    if (rc != 0) client->Close();  // lets a waiting server end
    t.join();
    return rc;
  }

  std::string cert_, key_, other_cert_, other_key_;
};

TEST_F(ChannelSslTest, UpgradeCarriesMessagesAndFiles) {
  Channel client, server;
  Pair(&client, &server);
  client.SetTimeout(10);
  server.SetTimeout(10);
  // Plain bytes first, then the upgrade over the same connection.
  ASSERT_EQ(0, client.WriteUInt32(7));
  ASSERT_EQ(0, client.Flush(0));
  uint32_t v = 0;
  ASSERT_EQ(0, server.ReadUInt32(&v));
  int server_rc = -99;
  client.SetSSLServerName("drift.test");
  client.SetSSLFingerprint(Fingerprint(cert_));
  ASSERT_EQ(0, Upgrade(&client, &server, &server_rc));
  ASSERT_EQ(0, server_rc);
  EXPECT_TRUE(client.IsSSL());
  EXPECT_TRUE(server.IsSSL());
  EXPECT_EQ(0, client.ConvertToSSLChannel(false));  // already SSL
  client.SetSSLOption(1);                           // quiet shutdown: accepted

  std::vector<char> data = Pattern(1024 * 1024 + 5, 10);
  int src = NewFile("ssl-src", data);
  int dst = NewFile("ssl-dst", {});
  std::string sent_hash;
  std::thread sender([&] {
    ASSERT_EQ(0, client.WriteUInt32(0xC0FFEEu));
    EXPECT_EQ(0, client.SendFile(src, 0, data.size(), nullptr));  // not hashed
    ASSERT_TRUE(client.SetHashing(true, "sha256"));
    EXPECT_EQ(0, client.SendFile(src, 0, data.size(), nullptr));  // hashed
    sent_hash = client.GetHash().c_str();
    EXPECT_EQ(0, client.Flush(0));
  });
  ASSERT_EQ(0, server.ReadUInt32(&v));
  EXPECT_EQ(0xC0FFEEu, v);
  uint64_t received = 0;
  EXPECT_EQ(0, server.RecvFile(dst, 0, data.size(), nullptr, &received));
  EXPECT_EQ(data.size(), received);
  ASSERT_TRUE(server.SetHashing(true, "sha256"));
  EXPECT_EQ(0, server.RecvFile(dst, data.size(), data.size(), nullptr, &received));
  EXPECT_EQ(data.size(), received);
  sender.join();
  std::string digest = OneShotDigest("sha256", data);
  EXPECT_EQ(digest, sent_hash);
  EXPECT_EQ(ustring(digest), server.GetHash());
  std::vector<char> twice = data;
  twice.insert(twice.end(), data.begin(), data.end());
  EXPECT_TRUE(twice == Contents(dst));
  client.Close();
  EXPECT_FALSE(client.IsSSL());
  uint8_t b;
  EXPECT_EQ(-2, server.ReadUInt8(&b));  // the client went away
  close(src);
  close(dst);
}

TEST_F(ChannelSslTest, UntrustedServerFailsVerification) {
  Channel client, server;
  Pair(&client, &server);
  client.SetTimeout(10);
  server.SetTimeout(10);
  Channel::m_ca_path = other_cert_;
  int server_rc;
  EXPECT_EQ(-24, Upgrade(&client, &server, &server_rc));
  EXPECT_FALSE(client.IsSSL());
}

TEST_F(ChannelSslTest, WrongServerNameFailsVerification) {
  Channel client, server;
  Pair(&client, &server);
  client.SetTimeout(10);
  server.SetTimeout(10);
  client.SetSSLServerName("other.test");
  int server_rc;
  EXPECT_EQ(-24, Upgrade(&client, &server, &server_rc));
}

TEST_F(ChannelSslTest, PinnedFingerprintMismatchIsCertificateChanged) {
  Channel client, server;
  Pair(&client, &server);
  client.SetTimeout(10);
  server.SetTimeout(10);
  client.SetSSLFingerprint(Fingerprint(other_cert_));
  int server_rc;
  EXPECT_EQ(-25, Upgrade(&client, &server, &server_rc));
}

TEST_F(ChannelSslTest, NoVerificationAcceptsAnyServer) {
  Channel client, server;
  Pair(&client, &server);
  client.SetTimeout(10);
  server.SetTimeout(10);
  Channel::m_ca_path = dir_ + "/missing-ca.pem";  // not even loaded
  client.SetVerify(false);
  EXPECT_FALSE(client.GetVerify());
  int server_rc = -99;
  ASSERT_EQ(0, Upgrade(&client, &server, &server_rc));
  EXPECT_EQ(0, server_rc);
  ASSERT_EQ(0, server.Write("pong", 4));
  ASSERT_EQ(0, server.Flush(0));
  char buf[4];
  ASSERT_EQ(0, client.Read(buf, 4));
  EXPECT_EQ(0, memcmp(buf, "pong", 4));
}

TEST_F(ChannelSslTest, MissingFilesFailBeforeTheHandshake) {
  Channel a, b;
  Pair(&a, &b);
  Channel::m_cert_path = dir_ + "/missing-cert.pem";
  EXPECT_EQ(-2, a.ConvertToSSLChannel(true));
  Channel::m_cert_path = cert_;
  Channel::m_key_path = dir_ + "/missing-key.pem";
  EXPECT_EQ(-2, a.ConvertToSSLChannel(true));
  Channel::m_ca_path = dir_ + "/missing-ca.pem";
  EXPECT_EQ(-2, b.ConvertToSSLChannel(false));
  EXPECT_FALSE(a.IsSSL());
  EXPECT_FALSE(b.IsSSL());
  // The plain connection is untouched.
  ASSERT_EQ(0, a.Write("ok", 2));
  ASSERT_EQ(0, a.Flush(0));
  char buf[2];
  ASSERT_EQ(0, b.Read(buf, 2));
}

TEST_F(ChannelSslTest, PeerThatIsNotSslFailsWithinTheTimeout) {
  Channel a, b;
  Pair(&a, &b);
  a.SetTimeout(1);
  // b never answers the handshake.
  EXPECT_EQ(-2, a.ConvertToSSLChannel(false));
  EXPECT_FALSE(a.IsSSL());
}

TEST_F(ChannelSslTest, GarbageInsteadOfAHandshakeFails) {
  for (bool server_side : {false, true}) {
    SCOPED_TRACE(server_side ? "server" : "client");
    Channel ch;
    int peer;
    HalfPair(&ch, &peer);
    ch.SetTimeout(5);
    std::vector<char> junk = Pattern(4096, 11);
    junk[0] = 0x16;  // looks like a handshake record at first
    SendRaw(peer, junk);
    shutdown(peer, SHUT_WR);
    EXPECT_EQ(-2, ch.ConvertToSSLChannel(server_side));
    EXPECT_FALSE(ch.IsSSL());
    close(peer);
  }
}

}  // namespace
