// Wall time of `drift-control service --start` and `service --stop` with the
// package's own daemons, in one sandbox appliance made once with
// scripts/make-sandbox.sh on a port nothing listens on.
//
// Every iteration starts the service with the installing account "alice"
// and stops it again; both runs are timed from the spawn of the tool to its
// exit.  The start waits one second between launching the cache daemon and
// its first clients, so start_minus_pause_s is what the rest of the start
// costs.  Counters (means over the iterations):
//   start_s              the whole start
//   start_minus_pause_s  the start less that one-second pause
//   stop_s               the stop
//   first_start_s        the very first start of the sandbox (it creates
//                        the databases and adds the account), run once
//                        before the timed iterations and not part of them
// The manual time of an iteration is its start plus its stop.
//
// Before each start nothing of the sandbox may run (anything left is
// killed); at the end every process whose executable lies in the sandbox is
// killed and the sandbox is removed.
//
//   service_start_stop_bench [--benchmark_...]
//   DRIFT_BENCH_ITERATIONS=N   iterations (default 5)
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

// The pause the start takes after launching the cache daemon.
constexpr double kStartPauseSeconds = 1.0;
// A run of the tool that takes longer than this is taken as hung.
constexpr int kRunTimeoutSeconds = 120;
const char kAccount[] = "alice";
const char kToolPath[] = "/var/packages/DriftVault/target/bin/drift-control";
const char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
// The pid file of each daemon the start launches.
const char* const kPidFiles[] = {
    "/var/run/drift-cached.pid",  "/var/run/drift-authd.pid",    "/var/run/drift-cleand.pid",
    "/var/run/drift-clientd.pid", "/var/run/tarnsyncfolder.pid",
};

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A TCP port that nothing listens on right now (the kernel's choice).
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

// Waits for `pid` to end, at most `timeout_seconds`; kills it when it does
// not.  Returns the exit code, 128 + signal when it was killed by one, or -1
// on a timeout or failure to wait.
int WaitWithTimeout(pid_t pid, int timeout_seconds) {
  int status = 0;
#ifdef SYS_pidfd_open
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    struct pollfd pfd = {pidfd, POLLIN, 0};
    int ready;
    do {
      ready = poll(&pfd, 1, timeout_seconds * 1000);
    } while (ready < 0 && errno == EINTR);
    close(pidfd);
    if (ready == 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
  }
#endif
  // Without a pid descriptor the wait is unbounded.
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The current environment with `extra` set (an empty value removes the
// variable).
std::vector<std::string> Environment(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq == nullptr || extra.count(std::string(*e, eq - *e)) != 0) continue;
    out.push_back(*e);
  }
  for (const auto& [key, value] : extra) {
    if (!value.empty()) out.push_back(key + "=" + value);
  }
  return out;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

// Runs argv[0] (a path) with the environment plus `extra`, standard input
// from /dev/null and standard output and error into `output_file`, and
// waits for it.  Not a pipe: the daemons the tool launches may keep the
// descriptors open long after the tool has ended.  Returns the exit status
// as WaitWithTimeout does; *seconds (when given) gets the wall time from the
// spawn to the end.
int Run(std::vector<std::string> args, const std::map<std::string, std::string>& extra,
        const std::string& output_file, double* seconds = nullptr) {
  std::vector<std::string> env_texts = Environment(extra);
  std::vector<char*> argv = CStrings(args);
  std::vector<char*> envp = CStrings(env_texts);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const double begin = Now();
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(spawned));
    return -1;
  }
  const int status = WaitWithTimeout(pid, kRunTimeoutSeconds);
  if (seconds != nullptr) *seconds = Now() - begin;
  return status;
}

// Pids of the running processes whose executable lies below `root`.
std::vector<pid_t> ProcessesBelow(const std::string& root) {
  std::vector<pid_t> out;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return out;
  const std::string prefix = root + "/";
  while (struct dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 1 || *end != '\0') continue;
    char exe[PATH_MAX];
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t n = readlink(link.c_str(), exe, sizeof(exe) - 1);
    if (n <= 0) continue;
    exe[n] = '\0';
    if (strncmp(exe, prefix.c_str(), prefix.size()) == 0) out.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return out;
}

// Kills every process of the sandbox and waits (a few seconds at most) until
// none is left.  Returns how many were found running.
size_t KillSandboxProcesses(const std::string& root) {
  const std::vector<pid_t> found = ProcessesBelow(root);
  for (pid_t pid : found) kill(pid, SIGKILL);
  for (int i = 0; i < 500 && !ProcessesBelow(root).empty(); ++i) usleep(10000);
  return found.size();
}

// True while `pid` names a process that has not ended (a zombie has).
bool Running(pid_t pid) {
  if (pid <= 1) return false;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.compare(paren, 3, ") Z") != 0;
}

// The sandbox appliance shared by all iterations, made on first use.
class Appliance {
 public:
  // Lays out the sandbox; false with *err when that fails.
  bool Make(std::string* err) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/drift-startbench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      *err = std::string("mkdtemp: ") + strerror(errno);
      return false;
    }
    root_ = tmpl;
    log_ = root_ + ".out";
    port_ = FreePort();
    if (port_ <= 0) {
      *err = "no free port";
      return false;
    }
    const int made = Run({"/bin/bash", std::string(DRIFT_SOURCE_DIR) + "/scripts/make-sandbox.sh",
                          root_, DRIFT_BINARY_DIR, std::to_string(port_)},
                         {}, log_);
    if (made != 0) {
      *err = "make-sandbox.sh failed (is the build complete?): " + ReadFile(log_);
      return false;
    }
    return true;
  }

  // Kills what runs in the sandbox and removes it.
  void Remove() {
    if (root_.size() <= 5) return;
    const size_t left = KillSandboxProcesses(root_);
    if (left != 0) fprintf(stderr, "killed %zu process(es) left in %s\n", left, root_.c_str());
    Run({"/bin/rm", "-rf", "--", root_}, {}, "/dev/null");
    unlink(log_.c_str());
    root_.clear();
  }

  const std::string& root() const { return root_; }
  int port() const { return port_; }

  // Runs the sandbox's drift-control with `args`; *seconds gets its wall
  // time.  An empty account runs it without TARNPKG_USERNAME.
  int Tool(const std::string& arg1, const std::string& arg2, const std::string& account,
           double* seconds) const {
    // A new file each time: daemons of an earlier start may still hold the
    // old one open and write into it.
    unlink(log_.c_str());
    return Run({root_ + kToolPath, arg1, arg2},
               {{"DRIFT_ROOT", root_}, {"TARNPKG_USERNAME", account}}, log_, seconds);
  }

  // What the last run of the tool printed.
  std::string Output() const { return ReadFile(log_); }

  std::string StatusWord() const {
    const std::string text = ReadFile(root_ + kStatusFile);
    const std::string head = "status=\"";
    const size_t at = text.rfind(head);
    if (at == std::string::npos) return "";
    const size_t begin = at + head.size();
    return text.substr(begin, text.find('"', begin) - begin);
  }

  // An empty text when every daemon runs under its pid file, else which not.
  std::string MissingDaemons() const {
    std::string missing;
    for (const char* pid_file : kPidFiles) {
      if (!Running(static_cast<pid_t>(atoi(ReadFile(root_ + pid_file).c_str())))) {
        missing += std::string(missing.empty() ? "" : ", ") + pid_file;
      }
    }
    return missing;
  }

  // One start and one stop, each checked; false with *err when either did
  // not do its job.
  bool Cycle(double* start_seconds, double* stop_seconds, std::string* err) const {
    const size_t stray = KillSandboxProcesses(root_);
    if (stray != 0) {
      *err = std::to_string(stray) + " process(es) of the sandbox ran before the start";
      return false;
    }
    int status = Tool("service", "--start", kAccount, start_seconds);
    std::string out = Output();
    if (status != 0 || !out.empty() || StatusWord() != "enabled") {
      *err = "start: exit " + std::to_string(status) + ", status word '" + StatusWord() +
             "', output '" + out + "'";
      return false;
    }
    const std::string missing = MissingDaemons();
    if (!missing.empty()) {
      *err = "start: not running: " + missing;
      return false;
    }
    status = Tool("service", "--stop", "", stop_seconds);
    out = Output();
    if (status != 0 || !out.empty() || StatusWord() != "disabled") {
      *err = "stop: exit " + std::to_string(status) + ", status word '" + StatusWord() +
             "', output '" + out + "'";
      return false;
    }
    const size_t left = ProcessesBelow(root_).size();
    if (left != 0) {
      *err = "stop left " + std::to_string(left) + " process(es) running";
      return false;
    }
    return true;
  }

 private:
  std::string root_;
  std::string log_;  // standard output and error of the last run
  int port_ = 0;
};

Appliance* g_appliance = nullptr;
bool g_ready = false;
std::string g_error;
double g_first_start = 0;

// Makes the sandbox and runs its first start and stop, once.
void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  g_appliance = new Appliance;
  if (!g_appliance->Make(&g_error)) return;
  double stop = 0;
  if (!g_appliance->Cycle(&g_first_start, &stop, &g_error)) {
    g_error = "first cycle: " + g_error;
    return;
  }
  fprintf(stderr, "sandbox %s, port %d; first start %.3f s, first stop %.3f s\n",
          g_appliance->root().c_str(), g_appliance->port(), g_first_start, stop);
  g_ready = true;
}

void BM_ServiceStartStop(benchmark::State& state) {
  Prepare();
  if (!g_ready) {
    state.SkipWithError(g_error.c_str());
    return;
  }
  double start_total = 0, stop_total = 0;
  for (auto _ : state) {
    double start = 0, stop = 0;
    std::string err;
    if (!g_appliance->Cycle(&start, &stop, &err)) {
      g_error = err;
      state.SkipWithError(g_error.c_str());
      break;
    }
    start_total += start;
    stop_total += stop;
    state.SetIterationTime(start + stop);
    fprintf(stderr, "  start %.3f s (less the pause %.3f s), stop %.3f s\n", start,
            start - kStartPauseSeconds, stop);
  }
  const double n = static_cast<double>(state.iterations());
  if (n > 0) {
    state.counters["start_s"] = start_total / n;
    state.counters["start_minus_pause_s"] = start_total / n - kStartPauseSeconds;
    state.counters["stop_s"] = stop_total / n;
    state.counters["first_start_s"] = g_first_start;
  }
}

int Iterations() {
  const char* env = getenv("DRIFT_BENCH_ITERATIONS");
  const int n = env != nullptr ? atoi(env) : 0;
  return n > 0 ? n : 5;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RegisterBenchmark("BM_ServiceStartStop", BM_ServiceStartStop)
      ->Iterations(Iterations())
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  int rc = 0;
  if (g_appliance != nullptr) {
    if (!g_error.empty()) rc = 1;
    g_appliance->Remove();
    delete g_appliance;
  }
  return rc;
}
