#include "tests/e2e_support.h"

#include <errno.h>
#include <fcntl.h>
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
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

const Daemon kDaemons[5] = {
    {"/var/packages/DriftVault/target/sbin/drift-cached", "/var/run/drift-cached.pid", {}},
    {"/var/packages/DriftVault/target/sbin/drift-authd", "/var/run/drift-authd.pid", {}},
    {"/var/packages/DriftVault/target/sbin/drift-cleand",
     "/var/run/drift-cleand.pid",
     {kSyncFolder}},
    {"/var/packages/DriftVault/target/sbin/tarn-drift-clientd", "/var/run/drift-clientd.pid", {}},
    {"/var/packages/DriftVault/target/sbin/syncd",
     "/var/run/tarnsyncfolder.pid",
     {"-c", kSyncFolder, "-p", "6690", "-u", kUserDb}},
};

// A word that `service --status` may print.
static bool IsStatusWord(const std::string& word) {
  static const std::set<std::string> kWords = {
      "initializing", "enabled",  "disabled", "portconflict", "homedisabled", "dbunexist", "error",
      "updating",     "checking", "done",     "upgradefail",  "dbnewer",      "moving_db"};
  return kWords.count(word) == 1;
}

namespace {

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
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
run() {
  TARNPKG_USERNAME=${ACCOUNT:-alice} "$TOOL" service --$1
  echo "$1 $? $("$TOOL" service --status)"
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

// Starts argv in a process group of its own (so that a timeout kills all it
// started) with /dev/null as input and the given outputs, in the current
// environment with `env` laid over it (an empty value removes a key).
pid_t Launch(const std::vector<std::string>& argv_in, const std::map<std::string, std::string>& env,
             int out_fd, int err_fd) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq != nullptr) merged[std::string(*e, eq - *e)] = eq + 1;
  }
  for (const auto& [key, value] : env) merged[key] = value;
  std::vector<std::string> argv_texts = argv_in, env_texts;
  for (const auto& [key, value] : merged) {
    if (!value.empty()) env_texts.push_back(key + "=" + value);
  }
  std::vector<char*> argv = CStrings(argv_texts);
  std::vector<char*> envp = CStrings(env_texts);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(out_fd < 0 ? null_fd : out_fd, 1);
    dup2(err_fd < 0 ? null_fd : err_fd, 2);
    execve(argv[0], argv.data(), envp.data());
    dprintf(2, "exec %s: %s", argv[0], strerror(errno));
    _exit(127);
  }
  return pid;
}

int ExitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string ReadAll(FILE* f) {
  std::string text;
  char buf[65536];
  rewind(f);
  for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) text.append(buf, n);
  fclose(f);
  return text;
}

}  // namespace

RunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              int timeout_seconds) {
  RunResult result;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  const pid_t pid = out && err ? Launch(argv, env, fileno(out), fileno(err)) : -1;
  int status = 0;
  bool ended = false;
  for (int64_t deadline = NowUs() + int64_t{timeout_seconds} * 1000000, pause = 100;
       pid > 0 && !(ended = waitpid(pid, &status, WNOHANG) == pid) && NowUs() < deadline;
       pause = std::min<int64_t>(pause * 2, 5000)) {
    usleep(static_cast<useconds_t>(pause));
  }
  if (pid > 0 && !ended) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << argv[0] << " ran longer than " << timeout_seconds << " s";
  } else if (pid < 0) {
    ADD_FAILURE() << "cannot run " << argv[0] << ": " << strerror(errno);
  } else {
    result.exit_status = ExitStatus(status);
  }
  if (out != nullptr) result.out = ReadAll(out);
  if (err != nullptr) result.err = ReadAll(err);
  return result;
}

RunResult RunBare(const std::string& host_program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", host_program};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, {}, 30);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  return Launch(argv, env, -1, -1);
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return ExitStatus(status);
}

int64_t NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

bool Running(pid_t pid) {
  if (pid <= 1 || kill(pid, 0) != 0) return false;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return false;
  char state = '?';
  const int scanned = fscanf(f, "%*d (%*[^)]) %c", &state);
  fclose(f);
  return scanned == 1 && state != 'Z' && state != 'X';
}

bool WaitGone(pid_t pid, int ms) {
  for (int i = 0; i < ms / 10 && Running(pid); ++i) usleep(10000);
  return !Running(pid);
}

static std::string ExecutableOf(pid_t pid) {  // "" when unknown
  char buf[4096];
  const ssize_t n =
      readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, n) : std::string();
}

std::vector<pid_t> ProcessesBelow(const std::string& root) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const pid_t pid = atoi(entry.path().filename().c_str());
    if (pid > 0 && root.size() > 1 && ExecutableOf(pid).rfind(root + "/", 0) == 0 && Running(pid)) {
      found.push_back(pid);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<pid_t> SettledProcessesBelow(const std::string& root, std::vector<pid_t> expected,
                                         int ms) {
  std::sort(expected.begin(), expected.end());
  std::vector<pid_t> found = ProcessesBelow(root);
  for (int waited = 0; waited < ms && found != expected; waited += 10) {
    usleep(10000);
    found = ProcessesBelow(root);
  }
  return found;
}

void KillProcessesBelow(const std::string& root) {
  for (pid_t pid : ProcessesBelow(root)) kill(pid, SIGKILL);
  for (pid_t pid : ProcessesBelow(root)) WaitGone(pid);
}

void EndProcessesBelow(const std::string& root) {
  for (pid_t pid : ProcessesBelow(root)) kill(pid, SIGTERM);
  for (pid_t pid : ProcessesBelow(root)) WaitGone(pid, 1000);
  KillProcessesBelow(root);
}

std::string SourceDir() { return DRIFT_SOURCE_DIR; }
std::string BinaryDir() { return DRIFT_BINARY_DIR; }
std::string ToolPath() { return BinaryDir() + "/cli/drift-control"; }
std::string FullToolPath() { return BinaryDir() + "/libexec/drift-control-full"; }

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

Sandbox::Sandbox() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/drift-sandbox-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  root_ = tmpl;
  RunResult made = Run({"/bin/bash", SourceDir() + "/scripts/make-sandbox.sh", root_, BinaryDir()});
  EXPECT_EQ(made.exit_status, 0) << "make-sandbox.sh failed:\n" << made.out << made.err;
}

Sandbox::~Sandbox() {
  if (root_.size() > 5) {
    // Not by pid files: a pid an ended daemon left may belong to another
    // process of the machine by now.
    EndProcessesBelow(root_);
    Run({"/bin/rm", "-rf", root_});
  }
}

std::vector<std::string> Sandbox::ToolArgv(const std::vector<std::string>& args,
                                           std::map<std::string, std::string>* env) const {
  (*env)["DRIFT_ROOT"] = root_;
  std::vector<std::string> argv{ToolProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}
RunResult Sandbox::Tool(const std::vector<std::string>& args,
                        std::map<std::string, std::string> env) const {
  return Run(ToolArgv(args, &env), env);
}
pid_t Sandbox::SpawnTool(const std::vector<std::string>& args,
                         std::map<std::string, std::string> env) const {
  return Spawn(ToolArgv(args, &env), env);
}

std::string Sandbox::Read(const std::string& appliance_path) const {
  std::ifstream in(Host(appliance_path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Sandbox::Write(const std::string& appliance_path, const std::string& content) const {
  std::ofstream out(Host(appliance_path), std::ios::binary | std::ios::trunc);
  out << content;
  EXPECT_TRUE(out.good()) << "cannot write " << Host(appliance_path);
}

bool Sandbox::Exists(const std::string& appliance_path) const {
  struct stat st;
  return lstat(Host(appliance_path).c_str(), &st) == 0;
}

void Sandbox::MakeDirs(const std::string& appliance_path) const {
  std::error_code error;
  std::filesystem::create_directories(Host(appliance_path), error);
  EXPECT_FALSE(error) << appliance_path << ": " << error.message();
}

std::string Sandbox::Value(const std::string& file, const std::string& key) const {
  const std::string text = "\n" + Read(file);
  const std::string head = "\n" + key + "=\"";
  const size_t at = text.rfind(head);
  if (at == std::string::npos) return "";
  const size_t begin = at + head.size();
  return text.substr(begin, text.find('"', begin) - begin);
}

pid_t Sandbox::PidOf(const char* pid_file) const {
  return Exists(pid_file) ? atoi(Read(pid_file).c_str()) : 0;
}

// Processes of the sandbox no pid file accounts for, once those that end by
// themselves have had a few seconds to end.
static std::vector<pid_t> StrayProcesses(const Sandbox& box) {
  std::vector<pid_t> strays;
  for (int tries = 0; tries < 300; ++tries) {
    std::set<pid_t> accounted;
    for (const Daemon& daemon : kDaemons) accounted.insert(box.PidOf(daemon.pid_file));
    strays.clear();
    for (pid_t pid : ProcessesBelow(box.root())) {
      if (accounted.count(pid) == 0) strays.push_back(pid);
    }
    if (strays.empty()) break;
    usleep(20000);
  }
  return strays;
}

std::string Inconsistency(const Sandbox& box, bool raced) {
  std::string problems;
  // Every line of the settings a whole key="value" line, no key twice.
  static const std::regex kLine("[A-Za-z_-]+=\"[^\"\\n]*\"");
  for (const char* file : {kStatusFile, kSettingConf, kDbPathConf}) {
    std::istringstream lines(box.Read(file));
    std::set<std::string> keys;
    for (std::string line; std::getline(lines, line);) {
      if (!std::regex_match(line, kLine) || !keys.insert(line.substr(0, line.find('='))).second) {
        problems += std::string(file) + ": line '" + line + "'; ";
      }
    }
  }
  if (box.Exists(kDbPathConf) && box.Read(kDbPathConf) != "db-vol=\"/volume1\"\n") {
    problems += "db-path.conf '" + box.Read(kDbPathConf) + "'; ";
  }
  if (box.Exists(kUserDb) &&
      (Query(box.Host(kUserDb), "PRAGMA integrity_check") != Rows{{"ok"}} ||
       Query(box.Host(kUserDb), "SELECT count(*) = count(DISTINCT name) FROM user_table") !=
           Rows{{"1"}})) {
    problems += "user database unsound or with an account twice; ";
  }
  const std::string word = box.Status();
  if (!IsStatusWord(word) || !IsStatusWord(box.Value(kStatusFile, "status"))) {
    problems += "status '" + word + "' is no status word; ";
  }
  for (pid_t pid : StrayProcesses(box)) {
    problems += "pid " + std::to_string(pid) + " (" + ExecutableOf(pid) + ") has no pid file; ";
  }
  if (raced) return problems;
  int running = 0;
  for (const Daemon& daemon : kDaemons) running += Running(box.PidOf(daemon.pid_file));
  if (word == "enabled" && !Running(box.PidOf(kDaemons[4].pid_file))) problems += "no syncd; ";
  if (word == "disabled" && running > 0) problems += std::to_string(running) + " daemons run; ";
  return problems;
}

void ServiceTest::SetUp() {
  ASSERT_FALSE(box_.root().empty());
  port_ = FreePort();
  ASSERT_GT(port_, 0);
  box_.Write(kSettingConf, "dfvt_port=\"" + std::to_string(port_) + "\"\n");
}

RunResult ServiceTest::Start(const std::string& account) const {
  return box_.Tool({"service", "--start"}, {{"TARNPKG_USERNAME", account}});
}

void ServiceTest::StartOk(const std::string& account) const {
  RunResult r = Start(account);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(box_.Status(), "enabled");
  for (const Daemon& daemon : kDaemons) {
    const pid_t pid = box_.PidOf(daemon.pid_file);
    EXPECT_TRUE(Running(pid)) << daemon.program << " " << pid;
    EXPECT_EQ(ExecutableOf(pid), box_.Host(daemon.program));
  }
}

void ServiceTest::StopOk() const {
  RunResult r = box_.Tool({"service", "--stop"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(box_.Status(), "disabled");
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));
}

bool MountNamespaceUsable(std::string* why) {
  // A tmpfs over /tmp, seen only inside the new (private) namespace.
  RunResult r =
      Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs -o size=64k tmpfs /tmp"});
  *why = "unshare -m / mount -t tmpfs not permitted here (needs root): " + r.err;
  return r.exit_status == 0;
}

RunResult RunInMountNamespace(const Sandbox& box, const std::string& script, std::string* log) {
  const std::string dev = box.root() + "/.dev";
  const std::string make_dev =
      "mkdir -p \"$0\" && cd \"$0\" && for d in null:3 zero:5 full:7 random:8 urandom:9; do "
      "[ -e ${d%:*} ] || mknod -m 666 ${d%:*} c 1 ${d#*:}; done && ln -sfn /proc/self/fd fd";
  EXPECT_EQ(Run({"/bin/sh", "-c", make_dev, dev}).exit_status, 0);
  // The system log socket.  The senders block once a few messages wait
  // unread, so a thread reads all the time.
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  (dev + "/log").copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  unlink(addr.sun_path);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct timeval tv = {0, 50000};
  EXPECT_TRUE(dev.size() + 4 < sizeof(addr.sun_path) &&
              bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0 &&
              chmod(addr.sun_path, 0666) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0)
      << "system log socket " << addr.sun_path << ": " << strerror(errno);
  std::atomic<bool> stop{false};
  log->clear();
  std::thread reader([&] {
    char buf[8192];
    while (!stop) {
      const ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n > 0) log->append(buf, static_cast<size_t>(n)).append(buf[n - 1] == '\n' ? "" : "\n");
    }
  });
  RunResult r = Run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", std::string(kPrelude) + script},
                    {{"ROOT", box.root()},
                     {"TOOL", box.ToolProgram()},
                     {"DRIFT_ROOT", box.root()},
                     {"DEVDIR", dev}},
                    120);
  usleep(100000);  // for messages already sent
  stop = true;
  reader.join();
  close(fd);
  unlink(addr.sun_path);
  return r;
}

}  // namespace e2e
