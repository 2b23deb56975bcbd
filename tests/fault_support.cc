#include "tests/fault_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "gtest/gtest.h"

namespace fault {

const char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
const char kSettingConf[] = "/var/packages/DriftVault/etc/setting.conf";
const char kDbPathConf[] = "/var/packages/DriftVault/etc/db-path.conf";
const char kEtcFolder[] = "/var/packages/DriftVault/etc";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";

const char* const kDaemonPidFiles[5] = {"/var/run/drift-cached.pid", "/var/run/drift-authd.pid",
                                        "/var/run/drift-cleand.pid", "/var/run/drift-clientd.pid",
                                        "/var/run/tarnsyncfolder.pid"};

namespace {

const char* const kStatusWords[] = {
    "initializing", "enabled",  "disabled", "portconflict", "homedisabled", "dbunexist", "error",
    "updating",     "checking", "done",     "upgradefail",  "dbnewer",      "moving_db"};

std::string ToolOf(const e2e::Sandbox& box) {
  return box.root() + "/var/packages/DriftVault/target/bin/drift-control";
}

// What every namespace script starts with: its own /dev, then the helpers.
const char kPrelude[] = R"SH(
set -e
mount --bind "$DEVDIR" /dev
fill() {
  d=$ROOT$1
  mkdir -p "$d.keep"
  cp -a "$d/." "$d.keep/"
  mount -t tmpfs -o size=64k,mode=755${3:+,nr_inodes=$3} tmpfs "$d"
  cp -a "$d.keep/." "$d/"
  rm -rf "$d.keep"
  dd if=/dev/zero of="$d/.filler" bs=4096 2>/dev/null || true
  if [ "$2" -gt 0 ]; then truncate -s -$((4096 * $2)) "$d/.filler"; fi
}
unfill() {
  d=$ROOT$1
  rm -f "$d/.filler"
  mkdir -p "$d.keep"
  cp -a "$d/." "$d.keep/"
  umount -l "$d"
  find "$d" -mindepth 1 -delete
  cp -a "$d.keep/." "$d/"
  rm -rf "$d.keep"
}
)SH";

}  // namespace

bool IsStatusWord(const std::string& word) {
  return std::find(std::begin(kStatusWords), std::end(kStatusWords), word) !=
         std::end(kStatusWords);
}

pid_t PidOf(const e2e::Sandbox& box, const char* pid_file) {
  if (!box.Exists(pid_file)) return 0;
  return atoi(box.Read(pid_file).c_str());
}

std::string Value(const e2e::Sandbox& box, const std::string& file, const std::string& key) {
  const std::string text = "\n" + box.Read(file);
  const std::string head = "\n" + key + "=\"";
  const size_t at = text.rfind(head);
  if (at == std::string::npos) return "";
  const size_t begin = at + head.size();
  return text.substr(begin, text.find('"', begin) - begin);
}

std::string ReportedStatus(const e2e::Sandbox& box) {
  return box.Tool({"service", "--status"}).out;
}

std::vector<pid_t> StrayProcesses(const e2e::Sandbox& box) {
  std::vector<pid_t> strays;
  for (int tries = 0; tries < 300; ++tries) {
    std::set<pid_t> accounted;
    for (const char* pid_file : kDaemonPidFiles) accounted.insert(PidOf(box, pid_file));
    strays.clear();
    for (pid_t pid : ProcessesBelow(box.root())) {
      if (accounted.count(pid) == 0) strays.push_back(pid);
    }
    if (strays.empty()) break;
    usleep(20000);
  }
  return strays;
}

std::string Inconsistency(const e2e::Sandbox& box) {
  std::string problems;
  const std::string word = ReportedStatus(box);
  if (!IsStatusWord(word)) problems += "status '" + word + "' is no status word; ";
  for (pid_t pid : StrayProcesses(box)) {
    problems += "pid " + std::to_string(pid) + " (" + ExecutableOf(pid) + ") has no pid file; ";
  }
  int running = 0;
  for (const char* pid_file : kDaemonPidFiles) running += Running(PidOf(box, pid_file)) ? 1 : 0;
  const bool sync_running = Running(PidOf(box, kDaemonPidFiles[4]));
  if (word == "enabled" && !sync_running) problems += "'enabled' without the sync daemon; ";
  if (word == "disabled" && running > 0) {
    problems += "'disabled' with " + std::to_string(running) + " daemons running; ";
  }
  return problems;
}

pid_t SpawnTool(const e2e::Sandbox& box, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv_texts{ToolOf(box)};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::map<std::string, std::string> full_env = env;
  full_env["DRIFT_ROOT"] = box.root();
  std::vector<std::string> env_texts = e2e::MergedEnvironment(full_env);
  std::vector<char*> argv, envp;
  for (auto& t : argv_texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  for (auto& t : env_texts) envp.push_back(t.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int64_t NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

bool MountNamespaceUsable(std::string* why) {
  if (geteuid() != 0) {
    *why = "not root: mounting a tmpfs needs root";
    return false;
  }
  char dir[] = "/tmp/drift-mount-probe-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    *why = std::string("mkdtemp: ") + strerror(errno);
    return false;
  }
  e2e::RunResult r = e2e::Run(
      {"/bin/sh", "-c", "unshare -m sh -c 'mount -t tmpfs -o size=64k tmpfs \"$0\"' \"$0\"", dir});
  rmdir(dir);
  if (r.exit_status != 0) {
    *why = "unshare -m / mount -t tmpfs not permitted here: " + r.err;
    return false;
  }
  return true;
}

SyslogCapture::SyslogCapture(const std::string& host_path) : path_(host_path) {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (host_path.size() >= sizeof(addr.sun_path)) {
    ADD_FAILURE() << "socket path too long: " << host_path;
    return;
  }
  memcpy(addr.sun_path, host_path.c_str(), host_path.size() + 1);
  mkdir(host_path.substr(0, host_path.rfind('/')).c_str(), 0755);
  unlink(host_path.c_str());
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
      chmod(host_path.c_str(), 0666) != 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "system log socket " << host_path << ": " << strerror(errno);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return;
  }
  // The senders block once a few messages wait unread: read all the time.
  reader_ = std::thread([this] {
    char buf[8192];
    for (;;) {
      struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[0].revents & POLLIN) {
        const ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          text_.append(buf, static_cast<size_t>(n));
          if (text_.back() != '\n') text_.push_back('\n');
        }
        continue;
      }
      if (fds[1].revents != 0) return;
    }
  });
}

SyslogCapture::~SyslogCapture() {
  if (fd_ < 0) return;
  const ssize_t ignored = write(stop_pipe_[1], "x", 1);
  (void)ignored;
  reader_.join();
  close(fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  unlink(path_.c_str());
}

std::string SyslogCapture::Text() {
  usleep(100000);
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

e2e::RunResult RunInMountNamespace(const e2e::Sandbox& box, const std::string& script,
                                   SyslogCapture* syslog,
                                   const std::map<std::string, std::string>& env,
                                   int timeout_seconds) {
  // A /dev of our own: the usual devices and, as "log", the test's socket.
  const std::string dev = box.root() + "/.dev";
  std::string make_dev =
      "mkdir -p \"$0\" && cd \"$0\" && for d in null:3 zero:5 full:7 random:8 urandom:9; do "
      "[ -e ${d%:*} ] || mknod -m 666 ${d%:*} c 1 ${d#*:}; done && ln -sfn /proc/self/fd fd";
  e2e::RunResult made = e2e::Run({"/bin/sh", "-c", make_dev, dev});
  EXPECT_EQ(made.exit_status, 0) << made.err;
  if (syslog != nullptr && syslog->path() != dev + "/log") {
    ADD_FAILURE() << "the system log socket must be " << dev << "/log";
  }
  std::map<std::string, std::string> full_env = env;
  full_env["ROOT"] = box.root();
  full_env["TOOL"] = ToolOf(box);
  full_env["DRIFT_ROOT"] = box.root();
  full_env["DEVDIR"] = dev;
  return e2e::Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", std::string(kPrelude) + script},
                  full_env, "", timeout_seconds);
}

void SandboxTest::SetUp() {
  ASSERT_FALSE(box_.root().empty());
  port_ = FreePort();
  ASSERT_GT(port_, 0);
  box_.Write(kSettingConf, "dfvt_port=\"" + std::to_string(port_) + "\"\n");
}

void SandboxTest::TearDown() { KillProcessesBelow(box_.root()); }

}  // namespace fault
