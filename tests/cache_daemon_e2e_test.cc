// End-to-end tests of the cache daemon drift-cached and its client: the
// daemon is launched from a sandbox's install path with an empty environment,
// as the tool launches it, and the tool's CacheDaemonClient asks it over the
// sandbox's socket.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "dircache/cache_daemon_client.h"
#include "dircache/daemon_cache_backend.h"
#include "gtest/gtest.h"
#include "platform/sdk_share.h"
#include "platform/sdk_user.h"
#include "tests/e2e_support.h"

namespace {

const char kKeyFile[] = "/etc/tarn/keys/secret.key";

e2e::RunResult RunBare(const std::string& host_program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", host_program};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::Run(argv, {}, "", 30);
}

using e2e::Running;
using e2e::WaitGone;

int OpenDescriptors(pid_t pid) {
  int count = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// The daemon's open descriptors once it is idle: the connection of a reply
// just read may still be closing on the daemon's side.
int IdleDescriptors(pid_t pid) {
  int last = OpenDescriptors(pid);
  for (int i = 0; i < 100; ++i) {
    usleep(20000);
    int now = OpenDescriptors(pid);
    if (now == last) return now;
    last = now;
  }
  return last;
}

// Waits (bounded) until the peer closes the socket; true when it did.
bool WaitForHangUp(int fd) {
  for (;;) {
    struct timeval tv = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n > 0) continue;
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
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
    const char* old = getenv("DRIFT_ROOT");
    had_root_ = old != nullptr;
    if (had_root_) old_root_ = old;
    setenv("DRIFT_ROOT", box_.root().c_str(), 1);
    ASSERT_EQ(Logger::Init(Logger::LOG_TYPE_FILE, ustring("/client.log"), ustring(), 2), 0);
    // An encrypted share with its key beside the sandbox's "homes".
    key_.clear();
    for (int i = 0; i < 64; ++i) key_.push_back(static_cast<char>(i * 37 + 5));
    std::filesystem::create_directories(box_.Host("/etc/tarn/keys"));
    std::filesystem::create_directories(box_.Host("/volume1/@secret@"));
    std::filesystem::create_directories(box_.Host("/volume1/secret"));
    box_.Write(kKeyFile, key_);
    box_.Write(paths::kSharesJson,
               R"({"shares":[{"name":"homes","path":"/volume1/homes","status":0,"type":0},)"
               R"({"name":"secret","path":"/volume1/secret","status":2,"type":0,)"
               R"("enc_path":"/volume1/@secret@","key":"/etc/tarn/keys/secret.key"}]})"
               "\n");
  }

  void TearDown() override {
    if (pid_ > 1 && Running(pid_)) {
      kill(pid_, SIGTERM);
      WaitGone(pid_);
    }
    if (had_root_) {
      setenv("DRIFT_ROOT", old_root_.c_str(), 1);
    } else {
      unsetenv("DRIFT_ROOT");
    }
  }

  std::string Program() const { return box_.Host(paths::kCacheDaemon); }

  // Launches the daemon with a one-second client timeout.
  void Start() {
    e2e::RunResult r = RunBare(Program(), {"-t", "1"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    pid_ = atoi(box_.Read(paths::kCacheDaemonPid).c_str());
    ASSERT_TRUE(Running(pid_)) << pid_;
  }

  // A raw connection to the daemon's socket.
  int Connect() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const std::string path = box_.Host(paths::kCacheDaemonSocket);
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
      ADD_FAILURE() << "connect: " << strerror(errno);
    }
    return fd;
  }

  std::string ClientLog() const { return box_.Read("/client.log"); }

  bool AliceAnswers() {
    UserGroupCache::User alice;
    return client_.GetUser("alice", &alice) == 0 && alice.GetUid() == 1026;
  }

  e2e::Sandbox box_;
  CacheDaemonClient client_;
  pid_t pid_ = 0;
  std::string key_;
  bool had_root_ = false;
  std::string old_root_;
};

TEST_F(CachedTest, UsersAndSharesFoundAndNotFound) {
  Start();
  const int32_t before = static_cast<int32_t>(time(nullptr));
  UserGroupCache::User alice;
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  EXPECT_EQ(alice.GetName(), "alice");
  EXPECT_EQ(alice.GetUid(), 1026u);
  EXPECT_EQ(alice.GetGid(), 100u);
  EXPECT_EQ(alice.GetHome(), "/volume1/homes/alice");
  EXPECT_EQ(alice.GetType(), 0);
  EXPECT_FALSE(alice.IsExpired());
  EXPECT_GE(alice.GetCacheTime(), before - 1);
  EXPECT_LE(alice.GetCacheTime(), static_cast<int32_t>(time(nullptr)) + 1);

  UserGroupCache::User nobody;
  nobody.SetName("kept");
  EXPECT_EQ(client_.GetUser("nobody", &nobody), -1);
  EXPECT_EQ(nobody.GetName(), "kept");

  ZOSCache::Share homes;
  ASSERT_EQ(client_.GetShare("homes", &homes), 0);
  EXPECT_EQ(homes.GetName(), "homes");
  EXPECT_EQ(homes.GetPath(), "/volume1/homes");
  EXPECT_EQ(homes.GetStatus(), 0u);
  EXPECT_EQ(homes.GetType(), 0);
  EXPECT_TRUE(homes.IsRegularShare());
  EXPECT_FALSE(homes.GetMountPath().empty());

  ZOSCache::Share secret;
  ASSERT_EQ(client_.GetShare("secret", &secret), 0);
  EXPECT_TRUE(secret.IsEncryption());
  EXPECT_TRUE(secret.IsMounted());

  ZOSCache::Share none;
  EXPECT_EQ(client_.GetShare("nope", &none), -1);
  // Refusals are not failures of the conversation: nothing is logged.
  EXPECT_EQ(ClientLog().find("zoscache-ipc"), std::string::npos) << ClientLog();

  // The platform layer's cache-backed objects get the same answers.
  dircache::InstallDaemonCacheBackend();
  SDK::User bob;
  ASSERT_EQ(bob.Open("bob", true), 0);
  EXPECT_EQ(bob.GetUid(), 1027u);
  EXPECT_EQ(bob.GetHomePath(), "/volume1/homes/bob");
  SDK::Share share;
  ASSERT_EQ(share.Open("homes", true), 0);
  EXPECT_EQ(share.GetPath(), "/volume1/homes");
  SDK::User ghost;
  EXPECT_EQ(ghost.Open("ghost", true), -1);
  SDK::SetCacheBackend(nullptr);
}

// Every answer of a user or share opened through the cache daemon equals
// the answer of the same user or share opened directly on the platform.
TEST_F(CachedTest, DirectAndCachedObjectsAgree) {
  Start();
  dircache::InstallDaemonCacheBackend();
  for (const char* name : {"alice", "bob", "root"}) {
    SCOPED_TRACE(name);
    SDK::User direct, cached;
    ASSERT_EQ(direct.Open(name, false), 0);
    ASSERT_EQ(cached.Open(name, true), 0);
    EXPECT_EQ(cached.GetName(), direct.GetName());
    EXPECT_EQ(cached.GetUid(), direct.GetUid());
    EXPECT_EQ(cached.GetGid(), direct.GetGid());
    EXPECT_EQ(cached.GetHomePath(), direct.GetHomePath());
    EXPECT_EQ(cached.IsExpired(), direct.IsExpired());
  }
  for (const char* name : {"homes", "secret"}) {
    SCOPED_TRACE(name);
    SDK::Share direct, cached;
    ASSERT_EQ(direct.Open(name, false), 0);
    ASSERT_EQ(cached.Open(name, true), 0);
    EXPECT_EQ(cached.GetName(), direct.GetName());
    EXPECT_EQ(cached.GetPath(), direct.GetPath());
    EXPECT_EQ(direct.GetVolumePath(), "/volume1");
    EXPECT_EQ(cached.GetVolumePath(), direct.GetVolumePath());
    EXPECT_EQ(cached.GetShareBinPath(), direct.GetShareBinPath());
    EXPECT_EQ(cached.GetStatus(), direct.GetStatus());
    EXPECT_EQ(cached.IsEncryption(), direct.IsEncryption());
    EXPECT_EQ(cached.IsMounted(), direct.IsMounted());
    EXPECT_EQ(cached.IsUsbShare(), direct.IsUsbShare());
    EXPECT_EQ(cached.IsRegularShare(), direct.IsRegularShare());
    std::string direct_key, cached_key;
    EXPECT_EQ(cached.GetEncryptionKey(&cached_key), direct.GetEncryptionKey(&direct_key));
    EXPECT_EQ(cached_key, direct_key);
  }
  EXPECT_EQ(SDK::Share().Open("nope", true), SDK::Share().Open("nope", false));
  SDK::SetCacheBackend(nullptr);
}

TEST_F(CachedTest, ShareUniqueKey) {
  Start();
  std::string key;
  ASSERT_EQ(client_.GetShareUniqueKey("secret", &key), 0);
  EXPECT_EQ(key, key_);
  // No key file, or no such share: refused.
  for (const char* name : {"homes", "nope"}) {
    std::string other = "kept";
    EXPECT_EQ(client_.GetShareUniqueKey(name, &other), -1) << name;
    EXPECT_EQ(other, "kept");
  }
  EXPECT_EQ(ClientLog().find("zoscache-ipc"), std::string::npos) << ClientLog();
}

TEST_F(CachedTest, NameLists) {
  Start();
  std::vector<std::string> shares{"kept"};
  ASSERT_EQ(client_.ListShareNames(&shares), 0);
  EXPECT_EQ(shares, (std::vector<std::string>{"homes", "secret"}));
  // The sandbox is in no domain.
  std::vector<std::string> domains{"kept"};
  ASSERT_EQ(client_.ListDomainNames(&domains), 0);
  EXPECT_TRUE(domains.empty());
  std::string sid = "kept";
  EXPECT_EQ(client_.GetDomainSid(&sid), -1);
  EXPECT_EQ(sid, "kept");
  // A broken share list is refused, not reported as empty.
  box_.Write(paths::kSharesJson, "{\"shares\":[");
  shares = {"kept"};
  EXPECT_EQ(client_.ListShareNames(&shares), -1);
  EXPECT_EQ(shares, std::vector<std::string>{"kept"});
}

TEST_F(CachedTest, ReloadDropsKeptUsers) {
  Start();
  UserGroupCache::User alice;
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  ASSERT_EQ(alice.GetHome(), "/volume1/homes/alice");
  box_.Write(paths::kPasswd,
             "root:x:0:0:root:/root:/bin/sh\n"
             "alice:x:1026:100:Alice:/volume1/homes/alice2:/bin/sh\n"
             "carol:x:1028:100:Carol:/volume1/homes/carol:/bin/sh\n");
  // Kept users are answered from the daemon's memory; new ones are found at
  // once.
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  EXPECT_EQ(alice.GetHome(), "/volume1/homes/alice");
  UserGroupCache::User carol;
  EXPECT_EQ(client_.GetUser("carol", &carol), 0);
  EXPECT_EQ(carol.GetUid(), 1028u);

  EXPECT_EQ(client_.Reload(), 0);
  ASSERT_EQ(client_.GetUser("alice", &alice), 0);
  EXPECT_EQ(alice.GetHome(), "/volume1/homes/alice2");
  UserGroupCache::User bob;
  EXPECT_EQ(client_.GetUser("bob", &bob), -1);
}

TEST_F(CachedTest, ClientsThatMisbehaveCostOnlyTheirConnection) {
  Start();
  struct Case {
    const char* what;
    std::string bytes;  // sent, then the client hangs up
  } cases[] = {
      {"hang-up at once", ""},
      {"half a type word", std::string("\x00\x00", 2)},
      {"wrong type word", std::string("\x00\x00\x00\x03", 4) + GetUserRequest("alice").substr(4)},
      {"type word only", kWord},
      {"unknown tag", kWord + "\x99\x01\x02"},
      {"truncated map", kWord + "\x42\x10\x00\x06" + "act"},
      {"non-string key", kWord + std::string("\x42\x01\x01\x05\x00\x00\x40", 7)},
      {"long truncated string", kWord + "\x42\x10\xff\xff" + std::string(1000, 'a')},
      {"huge buffer claim", kWord + "\x20\xff\xff\xff\xff"},
      {"deep nesting", kWord + std::string(5000, '\x41')},
      {"file data in a request", kWord + "\x42" + Str("action") + Str("get_user") + Str("data") +
                                     std::string("\x30\x00\x00\x00\x00\x00\x00\x00\x04", 9) +
                                     "abcd" + "\x40"},
      {"request cut before the end mark", GetUserRequest("alice").substr(0, 30)},
  };
  // A first round lets the daemon open whatever it keeps open (its log).
  for (const Case& c : cases) {
    int fd = Connect();
    if (!c.bytes.empty()) {
      EXPECT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(c.bytes.size()));
    }
    close(fd);
  }
  ASSERT_TRUE(AliceAnswers());
  const int open_before = IdleDescriptors(pid_);
  ASSERT_GT(open_before, 0);
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      int fd = Connect();
      if (!c.bytes.empty()) send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
      close(fd);
      EXPECT_TRUE(AliceAnswers());
    }
  }
  EXPECT_EQ(IdleDescriptors(pid_), open_before);
  EXPECT_TRUE(Running(pid_));
  // File data sent in a request was thrown away, not stored.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(box_.Host("/tmp"))) {
    if (e.path().filename() != "drift-cached-socket") ++files;
  }
  EXPECT_EQ(files, 0u);
}

TEST_F(CachedTest, RequestsTheDaemonRefuses) {
  Start();
  struct Case {
    const char* what;
    std::string request;
  } cases[] = {
      {"not a map", kWord + Str("get_user")},
      {"unknown action", kWord + "\x42" + Str("action") + Str("get_group") + "\x40"},
      {"no action", kWord + "\x42\x40"},
      {"name missing", kWord + "\x42" + Str("action") + Str("get_user") + "\x40"},
      {"name not text",
       kWord + "\x42" + Str("action") + Str("get_share") + Str("name") + "\x01\x01\x05\x40"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = Connect();
    ASSERT_EQ(send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.request.size()));
    // {"ack": -4}: map, key "ack", integer of 8 bytes, end mark.
    const std::string expected = std::string("\x42", 1) + Str("ack") +
                                 std::string("\x01\x08\xff\xff\xff\xff\xff\xff\xff\xfc\x40", 11);
    std::string got;
    char buf[256];
    struct timeval tv = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) got.append(buf, static_cast<size_t>(n));
    close(fd);
    EXPECT_EQ(got, expected);
  }
  EXPECT_TRUE(AliceAnswers());
}

TEST_F(CachedTest, SilentClientDoesNotBlockTheOthers) {
  Start();
  int silent = Connect();
  // Served after the daemon gives up on the silent client.
  EXPECT_TRUE(AliceAnswers());
  EXPECT_TRUE(WaitForHangUp(silent));
  close(silent);
  EXPECT_TRUE(AliceAnswers());
}

// The daemon dies (SIGKILL) while a client waits for its reply: the client's
// call fails and says so, and the next call, to a daemon started again, is
// answered by the same client.
TEST_F(CachedTest, DaemonKilledMidConversation) {
  Start();
  ASSERT_TRUE(AliceAnswers());
  // A stopped daemon still takes connections (the kernel queues them) but
  // never answers: the client is left waiting for the reply.
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
  std::atomic<pid_t> tid{0};
  std::atomic<int> result{1};
  std::thread asker([&] {
    tid = static_cast<pid_t>(syscall(SYS_gettid));
    UserGroupCache::User alice;
    result = client_.GetUser("alice", &alice);
  });
  // Until the asking thread sleeps in the kernel: connected, request sent,
  // reading.
  bool waiting = false;
  for (int i = 0; i < 500 && !waiting; ++i) {
    usleep(10000);
    if (tid == 0) continue;
    const std::string task = "/proc/self/task/" + std::to_string(tid.load());
    std::string wchan, stat;
    std::ifstream(task + "/wchan") >> wchan;
    std::getline(std::ifstream(task + "/stat"), stat);
    const size_t paren = stat.rfind(')');
    waiting = paren != std::string::npos && stat.compare(paren, 3, ") S") == 0 && !wchan.empty() &&
              wchan != "0";
  }
  EXPECT_TRUE(waiting);
  ASSERT_EQ(kill(pid_, SIGKILL), 0);
  asker.join();
  ASSERT_TRUE(WaitGone(pid_));
  EXPECT_EQ(result, -1);
  EXPECT_NE(ClientLog().find("): Failed to receive response\n"), std::string::npos) << ClientLog();
  // The killed daemon left its socket and pid file; a new one takes over and
  // the client goes on.
  Start();
  EXPECT_TRUE(AliceAnswers());
}

TEST_F(CachedTest, TricklingClientIsCutOff) {
  Start();
  int slow = Connect();
  std::atomic<bool> cut{false};
  // A request that never ends, one byte at a time, each well within the
  // per-read timeout: only the limit on the whole connection ends it.
  std::thread trickle([slow, &cut] {
    std::string start = kWord + "\x42\x10\xff\xff";
    if (send(slow, start.data(), start.size(), MSG_NOSIGNAL) < 0) return;
    for (int i = 0; i < 200; ++i) {
      usleep(200000);
      if (send(slow, "a", 1, MSG_NOSIGNAL) < 0) {
        cut = true;
        return;
      }
    }
  });
  EXPECT_TRUE(AliceAnswers());
  trickle.join();
  EXPECT_TRUE(cut);
  close(slow);
}

TEST_F(CachedTest, EndsCleanlyOnSigterm) {
  Start();
  ASSERT_TRUE(AliceAnswers());
  ASSERT_TRUE(box_.Exists(paths::kCacheDaemonSocket));
  // Even with a client holding a connection open.
  int silent = Connect();
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_TRUE(WaitGone(pid_));
  close(silent);
  EXPECT_FALSE(box_.Exists(paths::kCacheDaemonSocket));
  EXPECT_FALSE(box_.Exists(paths::kCacheDaemonPid));
  UserGroupCache::User alice;
  EXPECT_EQ(client_.GetUser("alice", &alice), -1);
  EXPECT_NE(ClientLog().find("): connect to cached failed\n"), std::string::npos) << ClientLog();
}

TEST_F(CachedTest, OneInstanceAndStaleSockets) {
  Start();
  const pid_t first = pid_;
  e2e::RunResult again = RunBare(Program(), {});
  EXPECT_NE(again.exit_status, 0);
  EXPECT_NE(again.err.find("already running"), std::string::npos) << again.err;
  EXPECT_TRUE(Running(first));
  EXPECT_TRUE(AliceAnswers());

  // A daemon that was killed leaves its socket and pid file behind; the next
  // one takes their place.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(WaitGone(first));
  ASSERT_TRUE(box_.Exists(paths::kCacheDaemonSocket));
  Start();
  EXPECT_NE(pid_, first);
  EXPECT_TRUE(AliceAnswers());

  // Something else at the socket's path is left alone.
  kill(pid_, SIGTERM);
  ASSERT_TRUE(WaitGone(pid_));
  box_.Write(paths::kCacheDaemonSocket, "not a socket");
  e2e::RunResult blocked = RunBare(Program(), {});
  EXPECT_NE(blocked.exit_status, 0);
  EXPECT_NE(blocked.err.find("is not a socket"), std::string::npos) << blocked.err;
  EXPECT_EQ(box_.Read(paths::kCacheDaemonSocket), "not a socket");
  EXPECT_FALSE(box_.Exists(paths::kCacheDaemonPid));
}

TEST_F(CachedTest, CommandLine) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-t"}, {"-t", "0"}, {"-t", "x"}, {"-t", "3601"}, {"-x"}, {"-t", "1", "-t"}}) {
    e2e::RunResult r = RunBare(Program(), args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_NE(r.err.find("drift-cached: "), std::string::npos) << r.err;
  }
  EXPECT_FALSE(box_.Exists(paths::kCacheDaemonPid));
  EXPECT_FALSE(box_.Exists(paths::kCacheDaemonSocket));
}

TEST(CachedSocketPath, RootTooDeepIsRefused) {
  // Under a root this deep the socket's host path does not fit a Unix-domain
  // address: the daemon says so and does not start.
  e2e::Sandbox box;
  const std::string deep = box.root() + "/" + std::string(90, 'd');
  const std::string program = deep + paths::kCacheDaemon;
  std::filesystem::create_directories(std::filesystem::path(program).parent_path());
  std::filesystem::create_directories(deep + "/tmp");
  std::filesystem::create_directories(deep + "/var/run");
  std::filesystem::copy_file(box.Host(paths::kCacheDaemon), program);
  e2e::RunResult r = RunBare(program, {});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("/tmp/drift-cached-socket is longer than 107 bytes"), std::string::npos)
      << r.err;
  struct stat st;
  EXPECT_NE(stat((deep + paths::kCacheDaemonPid).c_str(), &st), 0);
}

}  // namespace
