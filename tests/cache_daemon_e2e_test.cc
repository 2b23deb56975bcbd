// The cache daemon drift-cached and its client: the daemon is launched from
// a sandbox's install path with an empty environment, as the tool launches
// it, and the tool's CacheDaemonClient asks it over the sandbox's socket.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "dircache/cache_daemon_client.h"
#include "dircache/daemon_cache_backend.h"
#include "platform/sdk_share.h"
#include "platform/sdk_user.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

int OpenDescriptors(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
  return error ? -1 : static_cast<int>(std::distance(fds, {}));
}

// The daemon's open descriptors once it is idle: the connection of a reply
// just read may still be closing on the daemon's side.
int IdleDescriptors(pid_t pid) {
  int last = OpenDescriptors(pid);
  for (int i = 0, now; i < 100 && (usleep(20000), now = OpenDescriptors(pid)) != last; ++i) {
    last = now;
  }
  return last;
}

// Everything the peer sends until it closes (bounded by a 20 s timeout);
// `closed` tells whether it did close.
std::string ReceiveAll(int fd, bool* closed = nullptr) {
  struct timeval tv = {20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::string got;
  char buf[256];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) got.append(buf, static_cast<size_t>(n));
  if (closed != nullptr) *closed = n == 0 || (n < 0 && errno == ECONNRESET);
  return got;
}

std::string Str(const std::string& s) {
  return std::string(1, '\x10') + static_cast<char>(s.size() >> 8) +
         static_cast<char>(s.size() & 0xFF) + s;
}
const std::string kWord("\x00\x00\x00\x02", 4);
std::string GetUserRequest(const std::string& name) {
  return kWord + "\x42" + Str("action") + Str("get_user") + Str("name") + Str(name) + "\x40";
}

class CachedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DRIFT_ROOT", box_.root().c_str(), 1);
    ASSERT_EQ(Logger::Init(Logger::LOG_TYPE_FILE, ustring("/client.log"), ustring(), 2), 0);
    // An encrypted share with its key beside the sandbox's "homes".
    for (int i = 0; i < 64; ++i) key_.push_back(static_cast<char>(i * 37 + 5));
    for (const char* dir : {"/etc/tarn/keys", "/volume1/@secret@", "/volume1/secret"}) {
      box_.MakeDirs(dir);
    }
    box_.Write("/etc/tarn/keys/secret.key", key_);
    box_.Write(paths::kSharesJson,
               R"({"shares":[{"name":"homes","path":"/volume1/homes","status":0,"type":0},)"
               R"({"name":"secret","path":"/volume1/secret","status":2,"type":0,)"
               R"("enc_path":"/volume1/@secret@","key":"/etc/tarn/keys/secret.key"}]})"
               "\n");
  }
  void TearDown() override {
    EndProcessesBelow(box_.root());
    unsetenv("DRIFT_ROOT");
  }

  std::string Program() const { return box_.Host(paths::kCacheDaemon); }
  // Launches the daemon with a one-second client timeout.
  void Start() {
    RunResult r = RunBare(Program(), {"-t", "1"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    pid_ = box_.PidOf(paths::kCacheDaemonPid);
    ASSERT_TRUE(Running(pid_)) << pid_;
  }
  // A raw connection to the daemon's socket.
  int Connect() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    box_.Host(paths::kCacheDaemonSocket).copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
      ADD_FAILURE() << "connect: " << strerror(errno);
    }
    return fd;
  }
  void SendAndHangUp(const std::string& bytes) const {
    const int fd = Connect();
    EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  std::string ClientLog() const { return box_.Read("/client.log"); }
  bool AliceAnswers() {
    UserGroupCache::User alice;
    return client_.GetUser("alice", &alice) == 0 && alice.GetUid() == 1026;
  }

  Sandbox box_;
  CacheDaemonClient client_;
  pid_t pid_ = 0;
  std::string key_;
};

// Users, shares, keys and name lists, found and not found, through the
// client and through the platform's cache-backed objects, whose shares answer
// as the same shares opened directly on the platform.
TEST_F(CachedTest, AnswersAndRefusals) {
  box_.Write("/etc/passwd", box_.Read("/etc/passwd") + "ann@x.test:x:200001:100::/:/bin/sh\n");
  Start();
  const int32_t before = static_cast<int32_t>(time(nullptr));
  UserGroupCache::User alice, ann;
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  ASSERT_EQ(client_.GetUser("ann@x.test", &ann), 0);
  auto user = [](const UserGroupCache::User& u) {
    return u.GetName() + " " + std::to_string(u.GetUid()) + " " + std::to_string(u.GetGid()) + " " +
           u.GetHome() + " " + std::to_string(u.GetType()) + (u.IsExpired() ? " x" : "");
  };
  EXPECT_EQ(user(alice), "alice 1026 100 /volume1/homes/alice 0");
  EXPECT_EQ(user(ann), "ann@x.test 200001 100 / 2");  // an "@": a directory account
  EXPECT_GE(alice.GetCacheTime(), before - 1);
  EXPECT_LE(alice.GetCacheTime(), static_cast<int32_t>(time(nullptr)) + 1);
  UserGroupCache::User nobody;
  nobody.SetName("kept");
  EXPECT_EQ(client_.GetUser("nobody", &nobody), -1);
  EXPECT_EQ(nobody.GetName(), "kept");

  ZOSCache::Share homes, secret, none;
  ASSERT_EQ(client_.GetShare("homes", &homes), 0);
  EXPECT_EQ(homes.GetType(), 0);
  EXPECT_FALSE(homes.GetMountPath().empty());
  ASSERT_EQ(client_.GetShare("secret", &secret), 0);
  EXPECT_TRUE(secret.IsEncryption() && secret.IsMounted());
  EXPECT_EQ(client_.GetShare("nope", &none), -1);

  std::string key;
  ASSERT_EQ(client_.GetShareUniqueKey("secret", &key), 0);
  EXPECT_EQ(key, key_);
  for (const char* name : {"homes", "nope"}) {  // no key file, no such share
    std::string other = "kept";
    EXPECT_EQ(client_.GetShareUniqueKey(name, &other), -1) << name;
    EXPECT_EQ(other, "kept");
  }
  std::vector<std::string> shares{"kept"}, domains{"kept"};
  ASSERT_EQ(client_.ListShareNames(&shares), 0);
  EXPECT_EQ(shares, (std::vector<std::string>{"homes", "secret"}));
  ASSERT_EQ(client_.ListDomainNames(&domains), 0);  // the sandbox is in no domain
  EXPECT_TRUE(domains.empty());
  std::string sid = "kept";
  EXPECT_EQ(client_.GetDomainSid(&sid), -1);
  EXPECT_EQ(sid, "kept");
  // Refusals are not failures of the conversation: nothing is logged.
  EXPECT_EQ(ClientLog().find("zoscache-ipc"), std::string::npos) << ClientLog();

  dircache::InstallDaemonCacheBackend();
  SDK::User bob;
  ASSERT_EQ(bob.Open("bob", true), 0);
  EXPECT_EQ(bob.GetUid(), 1027u);
  EXPECT_EQ(bob.GetHomePath(), "/volume1/homes/bob");
  EXPECT_EQ(SDK::User().Open("ghost", true), -1);
  auto facts = [](const SDK::Share& share) {
    std::string key;
    const int got = share.GetEncryptionKey(&key);
    return share.GetName() + " " + share.GetPath() + " " + share.GetVolumePath() + " " +
           share.GetShareBinPath() + " " + std::to_string(share.GetStatus()) + " " +
           std::to_string(share.IsEncryption()) + std::to_string(share.IsMounted()) +
           std::to_string(share.IsUsbShare()) + std::to_string(share.IsRegularShare()) + " " +
           std::to_string(got) + " " + key;
  };
  for (const char* name : {"homes", "secret"}) {
    SDK::Share direct, cached;
    ASSERT_EQ(direct.Open(name, false), 0);
    ASSERT_EQ(cached.Open(name, true), 0);
    EXPECT_EQ(direct.GetVolumePath(), "/volume1");
    EXPECT_EQ(facts(cached), facts(direct));
  }
  EXPECT_EQ(SDK::Share().Open("nope", true), SDK::Share().Open("nope", false));
  SDK::SetCacheBackend(nullptr);

  // Kept users are answered from memory, new ones found at once; a reload
  // drops the kept ones.
  UserGroupCache::User carol, gone;
  box_.Write(paths::kPasswd,
             "root:x:0:0:root:/root:/bin/sh\n"
             "alice:x:1026:100:Alice:/volume1/homes/alice2:/bin/sh\n"
             "carol:x:1028:100:Carol:/volume1/homes/carol:/bin/sh\n");
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  EXPECT_EQ(alice.GetHome(), "/volume1/homes/alice");
  EXPECT_EQ(client_.GetUser("carol", &carol), 0);
  EXPECT_EQ(carol.GetUid(), 1028u);
  EXPECT_EQ(client_.Reload(), 0);
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  EXPECT_EQ(alice.GetHome(), "/volume1/homes/alice2");
  EXPECT_EQ(client_.GetUser("bob", &gone), -1);
  // A broken share list is refused, not reported as empty.
  box_.Write(paths::kSharesJson, "{\"shares\":[");
  EXPECT_EQ(client_.ListShareNames(&shares), -1);
  EXPECT_EQ(shares, (std::vector<std::string>{"homes", "secret"}));
  // One instance at a time; SIGTERM takes the socket along; anything else at
  // the socket's path is left alone.
  EXPECT_NE(RunBare(Program(), {}).err.find("already running"), std::string::npos);
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_TRUE(WaitGone(pid_));
  EXPECT_FALSE(box_.Exists(paths::kCacheDaemonSocket));
  box_.Write(paths::kCacheDaemonSocket, "not a socket");
  EXPECT_NE(RunBare(Program(), {}).err.find("is not a socket"), std::string::npos);
  EXPECT_EQ(box_.Read(paths::kCacheDaemonSocket), "not a socket");
}

// Broken requests cost only their connection; requests the daemon
// understands but refuses get {"ack": -4}; a silent client is hung up on
// after the timeout without blocking the others, and one trickling a request
// that never ends is cut off.
TEST_F(CachedTest, MisbehavingClientsCostOnlyTheirConnection) {
  Start();
  const std::string broken[] = {
      "",
      std::string("\x00\x00", 2),
      std::string("\x00\x00\x00\x03", 4) + GetUserRequest("alice").substr(4),
      kWord,
      kWord + "\x99\x01\x02",
      kWord + "\x42\x10\x00\x06" + "act",
      kWord + std::string("\x42\x01\x01\x05\x00\x00\x40", 7),  // a key not text
      kWord + "\x42\x10\xff\xff" + std::string(1000, 'a'),
      kWord + "\x20\xff\xff\xff\xff",  // a huge buffer claimed
      kWord + std::string(5000, '\x41'),
      kWord + "\x42" + Str("action") + Str("get_user") + Str("data") +
          std::string("\x30\x00\x00\x00\x00\x00\x00\x00\x04", 9) + "abcd" + "\x40",  // file data
      GetUserRequest("alice").substr(0, 30),
  };
  // A first round lets the daemon open whatever it keeps open (its log).
  for (const std::string& bytes : broken) SendAndHangUp(bytes);
  ASSERT_TRUE(AliceAnswers());
  const int open_before = IdleDescriptors(pid_);
  ASSERT_GT(open_before, 0);
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < std::size(broken); ++i) {
      SCOPED_TRACE(i);
      SendAndHangUp(broken[i]);
      EXPECT_TRUE(AliceAnswers());
    }
  }
  EXPECT_EQ(IdleDescriptors(pid_), open_before);
  // File data sent in a request was thrown away, not stored.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box_.Host("/tmp")), {}), 1);

  const std::string refused[] = {
      kWord + Str("get_user"),  // not a map
      kWord + "\x42" + Str("action") + Str("get_group") + "\x40",
      kWord + "\x42\x40",
      kWord + "\x42" + Str("action") + Str("get_user") + "\x40",  // no name
      kWord + "\x42" + Str("action") + Str("get_share") + Str("name") + "\x01\x01\x05\x40",
  };
  // {"ack": -4}: map, key "ack", integer of 8 bytes, end mark.
  const std::string ack = std::string("\x42", 1) + Str("ack") +
                          std::string("\x01\x08\xff\xff\xff\xff\xff\xff\xff\xfc\x40", 11);
  for (const std::string& request : refused) {
    const int fd = Connect();
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    EXPECT_EQ(ReceiveAll(fd), ack);
    close(fd);
  }

  const int silent = Connect();
  EXPECT_TRUE(AliceAnswers());  // served after the daemon gives up on the silent one
  bool closed = false;
  ReceiveAll(silent, &closed);
  EXPECT_TRUE(closed);
  close(silent);
  EXPECT_TRUE(AliceAnswers());
  const int slow = Connect();
  std::atomic<bool> cut{false};
  // A request that never ends, one byte at a time, each well within the
  // per-read timeout: only the limit on the whole connection ends it.
  std::thread trickle([slow, &cut] {
    const std::string start = kWord + "\x42\x10\xff\xff";
    if (send(slow, start.data(), start.size(), MSG_NOSIGNAL) < 0) return;
    for (int i = 0; i < 200 && !cut; ++i) {
      usleep(200000);
      cut = send(slow, "a", 1, MSG_NOSIGNAL) < 0;
    }
  });
  EXPECT_TRUE(AliceAnswers());
  trickle.join();
  EXPECT_TRUE(cut);
  close(slow);
  EXPECT_TRUE(Running(pid_));
}

}  // namespace
}  // namespace e2e
