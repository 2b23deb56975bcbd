#include "messaging/channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "base/test_root.h"
#include "messaging/messaging_test_util.h"

namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Writes a self-signed certificate for `name` and its key as PEM files;
// returns its SHA-256 fingerprint as a certificate viewer shows it
// ("AB:CD:..."), "" on failure.
std::string SelfSigned(const std::string& cert_path, const std::string& key_path,
                       const char* name) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600 * 24);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(cert, subject);
  FILE *c = fopen(cert_path.c_str(), "w"), *k = fopen(key_path.c_str(), "w");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  bool ok = key != nullptr && X509_sign(cert, key, EVP_sha256()) > 0 && c && k &&
            PEM_write_X509(c, cert) == 1 &&
            PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
            X509_digest(cert, EVP_sha256(), md, &len) == 1;
  if (c) fclose(c);
  if (k) fclose(k);
  X509_free(cert);
  EVP_PKEY_free(key);
  std::string text;
  for (unsigned int i = 0; ok && i < len; ++i) {
    char part[4];
    snprintf(part, sizeof(part), i > 0 ? ":%02X" : "%02X", md[i]);
    text += part;
  }
  return text;
}

// A listening TCP socket on the address text `host` with a kernel-chosen
// port; -1 when the host has no such address.
int ListenTcp(const char* host, int* port) {
  struct addrinfo hints = {}, *ai = nullptr;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host, "0", &hints, &ai) != 0) return -1;
  int fd = socket(ai->ai_family, SOCK_STREAM, 0);
  struct sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  bool ok = fd >= 0 && bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) == 0;
  freeaddrinfo(ai);
  // The port sits at the same place in IPv4 and IPv6 addresses.
  *port = ntohs(reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port);
  if (!ok && fd >= 0) close(fd);
  return ok ? fd : -1;
}

// Adds up every reported chunk, as a stream's progress reporter does.
class SumReporter : public Channel::ProgressReporter {
 public:
  void report(uint64_t count) override { m_transferred += count; }
};

// Each test has its own root: files live there, and the SSL files are
// appliance paths below it.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSigpipeIgnored);
    pin_ = SelfSigned(root_.Host("/cert.pem"), root_.Host("/key.pem"), "drift.test");
    other_pin_ = SelfSigned(root_.Host("/other.pem"), root_.Host("/other-key.pem"), "x.test");
    ASSERT_NE("", pin_);
    ASSERT_NE("", other_pin_);
    Channel::m_cert_path = "/cert.pem";
    Channel::m_key_path = "/key.pem";
    Channel::m_ca_path = "/cert.pem";
  }
  void TearDown() override {
    Channel::m_cert_path = saved_[0];
    Channel::m_key_path = saved_[1];
    Channel::m_ca_path = saved_[2];
  }
  int NewFile(const std::string& name, const std::string& content) {
    root_.Write("/" + name, content);
    int fd = open(root_.Host("/" + name).c_str(), O_RDWR);
    EXPECT_GE(fd, 0);
    return fd;
  }
  // Two channels over a connected socket pair; with `peer`, only `a` is a
  // channel and *peer is the raw other end.
  static void Pair(Channel* a, Channel* b, int* peer = nullptr) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    ASSERT_EQ(0, a->Open(sv[0], true));
    if (peer != nullptr) *peer = sv[1];
    if (b != nullptr) {
      ASSERT_EQ(0, b->Open(sv[1], true));
    }
  }

  // Upgrades both ends (the server in a thread); the client's result, the
  // server's in *server_rc.
  static int Upgrade(Channel* client, Channel* server, int* server_rc) {
    client->SetTimeout(10);
    server->SetTimeout(10);
    std::thread t([&] { *server_rc = server->ConvertToSSLChannel(true); });
    int rc = client->ConvertToSSLChannel(false);
    if (rc != 0) client->Close();  // lets a waiting server end
    t.join();
    return rc;
  }

  test_support::TestRoot root_{"channel-test"};
  std::string pin_, other_pin_;
  ustring saved_[3] = {Channel::m_cert_path, Channel::m_key_path, Channel::m_ca_path};
};

// Reads and writes log their byte counts at the channel's debug level.
TEST_F(ChannelTest, ReadsAndWritesLogTheirCountsAtDebugLevel) {
  root_.Write("/switches", "channel_debug=7\n");
  root_.CaptureLog("/channel.log", "/switches");
  Channel a, b;
  Pair(&a, &b);
  char got[3];
  ASSERT_EQ(0, a.Write("abc", 3) + a.Flush(0));
  ASSERT_EQ(0, b.Read(got, 3));
  for (const char* line : {"Write 3 bytes\n", "Read 3 bytes \n"}) {
    EXPECT_NE(root_.LogText().find(line), std::string::npos) << line;
  }
}

// Plain or after an upgrade to SSL on the same connection (checked against a
// pinned fingerprint, either separator allowed, and the server name).
TEST_F(ChannelTest, FileStretchThroughASocketPair) {
  const struct {
    size_t size;
    const char* algo;  // "" for no hashing
    bool ssl;
  } cases[] = {{0, "", false},
               {0, "md5", false},
               {6 * 1024 * 1024 + 4321, "", false},
               {5 * 1024 * 1024 + 1, "sha256", false},
               {1024 * 1024 + 5, "", true},
               {1024 * 1024 + 5, "sha256", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, '" << c.algo << "', ssl " << c.ssl);
    const bool hashing = c.algo[0] != 0;
    const uint64_t src_offset = c.size > 0 ? 100 : 0, dst_offset = c.size > 0 ? 7 : 0;
    std::string data = Pattern(c.size + src_offset + 50, 5);
    int src = NewFile("src", data), dst = NewFile("dst", "");
    Channel a, b;
    Pair(&a, &b);
    if (c.ssl) {
      int server_rc = -99;
      std::string pin = pin_;
      pin[2] = ' ';
      a.SetSSLFingerprint(pin);
      a.SetSSLServerName("drift.test");
      ASSERT_EQ(0, Upgrade(&a, &b, &server_rc));
      ASSERT_EQ(0, server_rc);
      EXPECT_TRUE(a.IsSSL() && b.IsSSL());
      EXPECT_EQ(0, a.ConvertToSSLChannel(false));  // already SSL
    }
    std::string send_hash;
    SumReporter send_progress, recv_progress;
    std::thread sender([&] {
      // A header buffered before the file; the reporter counts the file only.
      ASSERT_EQ(0, a.WriteUInt64(c.size));
      if (hashing) {
        ASSERT_TRUE(a.SetHashing(true, c.algo));
      }
      EXPECT_EQ(0, a.SendFile(src, src_offset, c.size, &send_progress));
      EXPECT_EQ(0, a.Flush(0));
      send_hash = a.GetHash().c_str();
    });
    uint64_t header = 0, received = 12345;
    EXPECT_EQ(0, b.ReadUInt64(&header));
    EXPECT_EQ(c.size, header);
    if (hashing) {
      EXPECT_TRUE(b.SetHashing(true, c.algo));
    }
    EXPECT_EQ(0, b.RecvFile(dst, dst_offset, c.size, &recv_progress, &received));
    sender.join();
    EXPECT_EQ(c.size, received);
    EXPECT_EQ(c.size, send_progress.transferred());
    EXPECT_EQ(c.size, recv_progress.transferred());
    const std::string stretch = data.substr(src_offset, c.size);
    EXPECT_TRUE(std::string(dst_offset, '\0') + stretch == root_.Read("/dst")) << "contents differ";
    EXPECT_EQ(hashing ? Digest(c.algo, stretch) : "", send_hash);
    EXPECT_EQ(send_hash, b.GetHash().str());
    // The channel still carries messages, big-endian whatever their width.
    ASSERT_EQ(0, a.WriteUInt8(1) + a.WriteUInt16(0x0203) + a.WriteUInt8(4) + a.Flush(0));
    uint32_t v = 0;
    ASSERT_EQ(0, b.ReadUInt32(&v));
    EXPECT_EQ(0x01020304u, v);
    a.Close();
    EXPECT_FALSE(a.IsSSL());
    EXPECT_EQ(-2, b.ReadUInt32(&v));  // the sender went away
    close(src);
    close(dst);
  }
}

// What arrived before a receive failed is stored, and reported, exactly.
TEST_F(ChannelTest, ReceiveFailures) {
  const struct {
    const char* what;
    const char* algo;
    int rc;
  } cases[] = {{"hang-up", "", -2},       {"hang-up", "sha1", -2}, {"/dev/full", "", -16},
               {"/dev/full", "md5", -16}, {"size limit", "", -34}, {"size limit", "md5", -34}};
  struct sigaction ignore = {}, old_action;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGXFSZ, &ignore, &old_action));
  struct rlimit saved, limit;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  limit = saved;
  limit.rlim_cur = 100000;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.what << " " << c.algo);
    const std::string what = c.what, sent = Pattern(300000, 8);
    const int dst = what == "/dev/full" ? open("/dev/full", O_WRONLY) : NewFile("dst", "");
    if (dst < 0) continue;  // no /dev/full here
    Channel ch;
    int peer;
    Pair(&ch, nullptr, &peer);
    if (c.algo[0]) {
      ASSERT_TRUE(ch.SetHashing(true, c.algo));
    }
    std::thread sender([&] {
      send(peer, sent.data(), sent.size(), MSG_NOSIGNAL);
      shutdown(peer, SHUT_WR);  // a hang-up in the middle of the announced stretch
    });
    if (what == "size limit") {
      ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
    }
    uint64_t received = 12345;
    EXPECT_EQ(c.rc, ch.RecvFile(dst, 0, 3 * sent.size(), nullptr, &received));
    setrlimit(RLIMIT_FSIZE, &saved);
    ch.Close();
    sender.join();
    close(peer);
    close(dst);
    if (what == "/dev/full") {
      EXPECT_EQ(0u, received);
      continue;
    }
    EXPECT_GT(received, 0u);
    if (what != "hang-up") {
      EXPECT_LE(received, 100000u);
      continue;
    }
    if (!c.algo[0]) {
      EXPECT_EQ(sent.size(), received);  // the direct path keeps every byte
    }
    EXPECT_TRUE(sent.substr(0, received) == root_.Read("/dst"));  // exactly what was counted
  }
  sigaction(SIGXFSZ, &old_action, nullptr);
}

TEST_F(ChannelTest, TcpConnections) {
  Channel ch;
  EXPECT_EQ(-4, ch.Open(static_cast<const char*>(nullptr), 80));
  EXPECT_EQ(-4, ch.Open("127.0.0.1", -1));
  EXPECT_EQ(-2, ch.Open("127.0.0.1", 65536));
  EXPECT_EQ(-1, ch.ConnectTcp(nullptr, 80));
  EXPECT_EQ(-1, ch.ConnectTcp("not an address", 80));
  EXPECT_EQ(-2, ch.Open("localhost", 80));  // names are not looked up
  int port = 0, probe = ListenTcp("127.0.0.1", &port);
  ASSERT_GE(probe, 0);
  close(probe);
  EXPECT_EQ(-2, ch.Open("127.0.0.1", port));  // refused
  EXPECT_TRUE(ch.IsClosed());

  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    int listener = ListenTcp(host, &port);
    if (listener < 0) {
      ASSERT_STREQ("::1", host) << "IPv4 loopback must exist";
      continue;  // no IPv6 loopback on this host
    }
    int flag = 1;  // the abort flag stops a connect before it starts
    Channel client, server;
    client.SetAbortFlag(&flag);
    EXPECT_EQ(-2, client.Open(host, port));
    flag = 0;
    EXPECT_EQ(-1, client.ConnectTcp(host, port + 65536));  // not taken modulo 2^16
    ASSERT_EQ(0, client.Open(host, port));
    int fd = accept(listener, nullptr, nullptr);
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

TEST_F(ChannelTest, ServerVerification) {
  const struct {
    const char* name;
    const char* ca;           // the client's CA file
    const char* server_name;  // "" not checked
    const char* pinned;       // "" none
    bool verify;
    int rc;
  } cases[] = {
      {"untrusted server", "/other.pem", "", "", true, -24},
      {"wrong server name", "/cert.pem", "x.test", "", true, -24},
      {"pinned fingerprint differs", "/cert.pem", "", other_pin_.c_str(), true, -25},
      {"no verification, CA not even loaded", "/missing-ca.pem", "", "", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Channel client, server;
    Pair(&client, &server);
    Channel::m_ca_path = c.ca;
    client.SetSSLServerName(c.server_name);
    if (c.pinned[0]) client.SetSSLFingerprint(c.pinned);
    client.SetVerify(c.verify);
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

}  // namespace
