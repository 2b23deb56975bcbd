#include "messaging/channel.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
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
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/test_root.h"

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
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(1,
            EVP_Digest(data.data(), data.size(), out, &len, EVP_get_digestbyname(name), nullptr));
  char hex[2 * EVP_MAX_MD_SIZE + 1] = {0};
  for (unsigned int i = 0; i < len; ++i) snprintf(hex + 2 * i, 3, "%02x", out[i]);
  return hex;
}

// Adds up every reported chunk, as a stream's progress reporter does.
class SumReporter : public Channel::ProgressReporter {
 public:
  void report(uint64_t count) override { m_transferred += count; }
};

// Each test has its own root: files and sockets live there, and the SSL
// files are appliance paths below it.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSigpipeIgnored);
    saved_cert_ = Channel::m_cert_path;
    saved_key_ = Channel::m_key_path;
    saved_ca_ = Channel::m_ca_path;
  }
  void TearDown() override {
    Channel::m_cert_path = saved_cert_;
    Channel::m_key_path = saved_key_;
    Channel::m_ca_path = saved_ca_;
  }
  int NewFile(const std::string& name, const std::vector<char>& content) {
    root_.Write("/" + name, content.data(), content.size());
    int fd = open(root_.Host("/" + name).c_str(), O_RDWR);
    EXPECT_GE(fd, 0);
    return fd;
  }
  static std::vector<char> Contents(int fd) {
    std::vector<char> out(1 << 16);
    size_t size = 0;
    ssize_t r;
    while ((r = pread(fd, out.data() + size, out.size() - size, size)) > 0) {
      size += static_cast<size_t>(r);
      if (size == out.size()) out.resize(2 * size);
    }
    out.resize(size);
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
    for (size_t done = 0; done < data.size();) {
      ssize_t r = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      ASSERT_GT(r, 0);
      done += static_cast<size_t>(r);
    }
  }

  test_support::TestRoot root_{"channel-test"};
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

  // The base progress reporter keeps the last count (a stream's adds up).
  Channel::ProgressReporter base;
  base.report(5);
  base.report(7);
  EXPECT_EQ(7u, base.transferred());
}

TEST_F(ChannelTest, IntegersAreBigEndianOnTheWire) {
  Channel ch;
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
  ASSERT_EQ(static_cast<ssize_t>(sizeof(wire)), recv(peer, wire, sizeof(wire), MSG_WAITALL));
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

TEST_F(ChannelTest, WritesLeaveOnFlushOrCloseAndShortReadsFail) {
  root_.Write("/switches", "channel_debug=7\n");
  root_.CaptureLog("/channel.log", "/switches");
  Channel ch;
  EXPECT_EQ(-2, ch.Write("x", 1));
  int peer;
  HalfPair(&ch, &peer);
  ASSERT_EQ(0, ch.Write("hello", 5));
  ASSERT_EQ(0, ch.Write("", 0));
  const std::string log = root_.LogText();
  EXPECT_NE(std::string::npos, log.find("): Write failed: channel has been closed.\n"));
  EXPECT_NE(std::string::npos, log.find("): Write 5 bytes\n"));
  EXPECT_NE(std::string::npos, log.find("): Write 0 bytes\n"));
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

  HalfPair(&ch, &peer);
  SendRaw(peer, {'a', 'b', 'c'});
  close(peer);
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

TEST_F(ChannelTest, TimeoutsAndAbortFlagStopTransfers) {
  Channel a, b;
  Pair(&a, &b);
  a.SetTimeout(1);
  b.SetTimeout(1);
  uint64_t v;
  EXPECT_EQ(-2, b.ReadUInt64(&v));  // the peer never writes
  std::vector<char> big = Pattern(16 << 20, 1);
  int rc = a.Write(big.data(), big.size());  // the peer never reads
  if (rc == 0) rc = a.Flush(0);
  EXPECT_NE(0, rc);

  Channel c, d;
  Pair(&c, &d);
  int flag = 1;
  d.SetAbortFlag(&flag);
  char buf[4];
  EXPECT_EQ(-2, d.Read(buf, 4));
  EXPECT_EQ(-2, d.Write(big.data(), 1 << 20));
  int src = NewFile("abort-src", big);
  EXPECT_EQ(-2, d.SendFile(src, 0, 1 << 20, nullptr));
  uint64_t received = 9;
  EXPECT_EQ(-2, d.RecvFile(src, 0, 100, nullptr, &received));
  EXPECT_EQ(0u, received);
  ASSERT_TRUE(d.SetHashing(true, "md5"));
  EXPECT_EQ(-2, d.RecvFile(src, 0, 100, nullptr, &received));
  EXPECT_EQ(0u, received);
  d.SetHashing(false, "md5");
  // Cleared, the channel works again.
  flag = 0;
  ASSERT_EQ(0, c.Write("abcd", 4));
  ASSERT_EQ(0, c.Flush(0));
  ASSERT_EQ(0, d.Read(buf, 4));
  close(src);
}

TEST_F(ChannelTest, HashingCoversReadsAndWrites) {
  for (const char* algo : {"md5", "sha1", "sha256", "sha512"}) {
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

TEST_F(ChannelTest, FileStretchThroughASocketPair) {
  const struct {
    size_t size;
    const char* algo;  // "" for no hashing
  } cases[] = {{0, ""},
               {0, "md5"},
               {6 * 1024 * 1024 + 4321, ""},
               {6 * 1024 * 1024 + 4321, "md5"},
               {5 * 1024 * 1024 + 1, "sha256"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, digest '" << c.algo << "'");
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
      // A message header buffered before the file, as a stream writes it;
      // the reporter must count only the file's bytes.
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
    EXPECT_EQ(hashing ? OneShotDigest(c.algo, stretch) : "", send_hash);
    EXPECT_EQ(send_hash, b.GetHash().str());
    // The channel still carries messages after the file.
    ASSERT_EQ(0, a.WriteUInt32(42));
    ASSERT_EQ(0, a.Flush(0));
    uint32_t v = 0;
    ASSERT_EQ(0, b.ReadUInt32(&v));
    EXPECT_EQ(42u, v);
    close(src);
    close(dst);
  }
}

TEST_F(ChannelTest, FailedReceiveReportsWhatWasStored) {
  for (const char* algo : {"", "sha1"}) {
    SCOPED_TRACE(algo);
    Channel ch;
    int peer;
    HalfPair(&ch, &peer);
    if (algo[0]) {
      ASSERT_TRUE(ch.SetHashing(true, algo));
    }
    std::vector<char> sent = Pattern(1024 * 1024 + 99, 6);
    std::thread sender([&] {
      SendRaw(peer, sent);
      close(peer);  // hangs up in the middle of the announced stretch
    });
    int dst = NewFile(std::string("partial") + algo, {});
    uint64_t received = 0;
    SumReporter progress;
    EXPECT_EQ(-2, ch.RecvFile(dst, 0, 3 * 1024 * 1024, &progress, &received));
    sender.join();
    std::vector<char> stored = Contents(dst);
    EXPECT_LE(received, sent.size());
    if (!algo[0]) {
      EXPECT_EQ(sent.size(), received);  // the direct path keeps every byte
    }
    EXPECT_GT(received, 0u);
    // The file holds exactly the received bytes, which a caller may keep.
    ASSERT_EQ(received, stored.size());
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), sent.begin()));
    close(dst);
  }
}

TEST_F(ChannelTest, ReceiveIntoAFullDiskOrPastTheSizeLimit) {
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  struct sigaction ignore, old_action;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGXFSZ, &ignore, &old_action));
  struct rlimit limit = saved;
  limit.rlim_cur = 100000;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  for (bool full_disk : {true, false}) {
    for (const char* algo : {"", "md5"}) {
      SCOPED_TRACE(testing::Message() << (full_disk ? "/dev/full" : "size limit") << " " << algo);
      const int dst =
          full_disk ? open("/dev/full", O_WRONLY) : NewFile(std::string("big") + algo, {});
      if (dst < 0) continue;  // no /dev/full here
      Channel ch;
      int peer;
      HalfPair(&ch, &peer);
      if (algo[0]) {
        ASSERT_TRUE(ch.SetHashing(true, algo));
      }
      std::vector<char> sent = Pattern(300000, 8);
      std::thread sender([&] { send(peer, sent.data(), sent.size(), MSG_NOSIGNAL); });
      uint64_t received = 0;
      EXPECT_EQ(full_disk ? -16 : -34, ch.RecvFile(dst, 0, sent.size(), nullptr, &received));
      EXPECT_LE(received, full_disk ? 0u : 100000u);
      ch.Close();
      sender.join();
      close(peer);
      close(dst);
    }
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

// --- Unix-domain sockets and TCP ---------------------------------------------

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
  Channel ch;
  EXPECT_EQ(-2, ch.Open(ustring(root_.Host("/no-such-socket"))));
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(-2, ch.Write("x", 1));

  const std::string path = root_.Host("/sock");
  int listener = Listen(path);
  ASSERT_GE(listener, 0);
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

  // A path is cut to 107 bytes.
  std::string long_path = root_.root() + "/";
  long_path += std::string(107 - long_path.size(), 'p');
  listener = Listen(long_path);
  ASSERT_GE(listener, 0);
  EXPECT_EQ(0, ch.Open(ustring(long_path + "-these-bytes-are-dropped")));
  server = accept(listener, nullptr, nullptr);
  EXPECT_GE(server, 0);
  ch.Close();
  close(server);
  close(listener);
}

// A listening TCP socket on the address text `host` with a kernel-chosen
// port; -1 when the host has no such address.
int ListenTcp(const char* host, int* port) {
  struct addrinfo hints = {};
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* ai = nullptr;
  if (getaddrinfo(host, "0", &hints, &ai) != 0) return -1;
  int fd = socket(ai->ai_family, SOCK_STREAM, 0);
  bool ok = fd >= 0 && bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 4) == 0;
  freeaddrinfo(ai);
  struct sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (!ok || getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  // The port sits at the same place in IPv4 and IPv6 addresses.
  *port = ntohs(reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port);
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
    ASSERT_TRUE(MakeSelfSigned(root_.Host("/cert.pem"), root_.Host("/key.pem"), "drift.test"));
    ASSERT_TRUE(
        MakeSelfSigned(root_.Host("/other-cert.pem"), root_.Host("/other-key.pem"), "other.test"));
    Channel::m_cert_path = "/cert.pem";
    Channel::m_key_path = "/key.pem";
    Channel::m_ca_path = "/cert.pem";
  }

  // Upgrades both ends of a pair (server in a thread); returns the client's
  // result and stores the server's.
  int Upgrade(Channel* client, Channel* server, int* server_rc) {
    client->SetTimeout(10);
    server->SetTimeout(10);
    std::thread t([&] { *server_rc = server->ConvertToSSLChannel(true); });
    int rc = client->ConvertToSSLChannel(false);
    if (rc != 0) client->Close();  // lets a waiting server end
    t.join();
    return rc;
  }
};

TEST_F(ChannelSslTest, UpgradeCarriesMessagesAndFiles) {
  Channel client, server;
  Pair(&client, &server);
  // Plain bytes first, then the upgrade over the same connection.
  ASSERT_EQ(0, client.WriteUInt32(7));
  ASSERT_EQ(0, client.Flush(0));
  uint32_t v = 0;
  ASSERT_EQ(0, server.ReadUInt32(&v));
  int server_rc = -99;
  client.SetSSLServerName("drift.test");
  client.SetSSLFingerprint(Fingerprint(root_.Host("/cert.pem")));
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

TEST_F(ChannelSslTest, ServerVerification) {
  struct Case {
    const char* name;
    const char* ca;           // the client's CA file
    const char* server_name;  // "" not checked
    const char* pinned;       // certificate whose fingerprint is pinned; "" none
    bool verify;
    int rc;
  };
  const Case cases[] = {
      {"untrusted server", "/other-cert.pem", "", "", true, -24},
      {"wrong server name", "/cert.pem", "other.test", "", true, -24},
      {"pinned fingerprint differs", "/cert.pem", "", "/other-cert.pem", true, -25},
      {"no verification, CA not even loaded", "/missing-ca.pem", "", "", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Channel client, server;
    Pair(&client, &server);
    Channel::m_ca_path = c.ca;
    client.SetSSLServerName(c.server_name);
    if (c.pinned[0]) client.SetSSLFingerprint(Fingerprint(root_.Host(c.pinned)));
    client.SetVerify(c.verify);
    EXPECT_EQ(c.verify, client.GetVerify());
    int server_rc = -99;
    ASSERT_EQ(c.rc, Upgrade(&client, &server, &server_rc));
    EXPECT_EQ(c.rc == 0, client.IsSSL());
    if (c.rc != 0) continue;
    EXPECT_EQ(0, server_rc);
    ASSERT_EQ(0, server.Write("pong", 4));
    ASSERT_EQ(0, server.Flush(0));
    char buf[4];
    ASSERT_EQ(0, client.Read(buf, 4));
    EXPECT_EQ(0, memcmp(buf, "pong", 4));
  }
}

TEST_F(ChannelSslTest, MissingFilesFailBeforeTheHandshake) {
  Channel a, b;
  Pair(&a, &b);
  Channel::m_cert_path = "/missing-cert.pem";
  EXPECT_EQ(-2, a.ConvertToSSLChannel(true));
  Channel::m_cert_path = "/cert.pem";
  Channel::m_key_path = "/missing-key.pem";
  EXPECT_EQ(-2, a.ConvertToSSLChannel(true));
  Channel::m_ca_path = "/missing-ca.pem";
  EXPECT_EQ(-2, b.ConvertToSSLChannel(false));
  EXPECT_FALSE(a.IsSSL());
  EXPECT_FALSE(b.IsSSL());
  // The plain connection is untouched.
  ASSERT_EQ(0, a.Write("ok", 2));
  ASSERT_EQ(0, a.Flush(0));
  char buf[2];
  ASSERT_EQ(0, b.Read(buf, 2));
}

TEST_F(ChannelSslTest, PeerThatSpeaksNoSslFails) {
  // A silent peer (the handshake times out), then garbage on either side.
  Channel a, b;
  Pair(&a, &b);
  a.SetTimeout(1);
  EXPECT_EQ(-2, a.ConvertToSSLChannel(false));
  EXPECT_FALSE(a.IsSSL());

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
