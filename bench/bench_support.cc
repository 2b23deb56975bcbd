#include "bench/bench_support.h"

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
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <utility>

extern char** environ;

namespace bench {

const char Sandbox::kToolPath[] = "/var/packages/DriftVault/target/bin/drift-control";
const char Sandbox::kFullToolPath[] = "/var/packages/DriftVault/target/libexec/drift-control-full";
const char Sandbox::kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";

int IterationsFromEnvironment(int default_count) {
  const char* env = getenv("DRIFT_BENCH_ITERATIONS");
  const int n = env != nullptr ? atoi(env) : 0;
  return n > 0 ? n : default_count;
}

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

long PeakRssKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string LoadAverage() {
  const std::string text = ReadFile("/proc/loadavg");
  size_t end = 0;
  for (int fields = 0; fields < 3 && end != std::string::npos; ++fields) {
    end = text.find(' ', end + (fields > 0 ? 1 : 0));
  }
  return text.substr(0, end);
}

int RunBenchmarksBetweenLoadReadings(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  printf("load average before: %s\n", LoadAverage().c_str());
  benchmark::RunSpecifiedBenchmarks();
  printf("load average after: %s\n", LoadAverage().c_str());
  benchmark::Shutdown();
  return 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

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

namespace {

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Command::Command(std::vector<std::string> args, const std::map<std::string, std::string>& extra)
    : args_(std::move(args)) {
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq == nullptr || extra.count(std::string(*e, eq - *e)) != 0) continue;
    env_.push_back(*e);
  }
  for (const auto& [key, value] : extra) {
    if (!value.empty()) env_.push_back(key + "=" + value);
  }
  argv_ = CStrings(args_);
  envp_ = CStrings(env_);
}

int Command::Run(const std::string& output_file, double* seconds) const {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const double begin = Now();
  const int spawned = posix_spawn(&pid, argv_[0], &actions, nullptr, argv_.data(), envp_.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    fprintf(stderr, "cannot run %s: %s\n", argv_[0], strerror(spawned));
    return -1;
  }
  const int status = WaitWithTimeout(pid, kRunTimeoutSeconds);
  if (seconds != nullptr) *seconds = Now() - begin;
  return status;
}

int Run(std::vector<std::string> args, const std::map<std::string, std::string>& extra,
        const std::string& output_file, double* seconds) {
  const Command command(std::move(args), extra);
  return command.Run(output_file, seconds);
}

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

size_t KillSandboxProcesses(const std::string& root) {
  const std::vector<pid_t> found = ProcessesBelow(root);
  for (pid_t pid : found) kill(pid, SIGKILL);
  for (int i = 0; i < 500 && !ProcessesBelow(root).empty(); ++i) usleep(10000);
  return found.size();
}

bool Running(pid_t pid) {
  if (pid <= 1) return false;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.compare(paren, 3, ") Z") != 0;
}

bool Sandbox::Make(const std::string& name_prefix, std::string* err) {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/" + name_prefix + "XXXXXX";
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
  const int made =
      bench::Run({"/bin/bash", std::string(DRIFT_SOURCE_DIR) + "/scripts/make-sandbox.sh", root_,
                  DRIFT_BINARY_DIR, std::to_string(port_)},
                 {}, log_);
  if (made != 0) {
    *err = "make-sandbox.sh failed (is the build complete?): " + ReadFile(log_);
    return false;
  }
  return true;
}

void Sandbox::Remove() {
  if (root_.size() <= 5) return;
  const size_t left = KillSandboxProcesses(root_);
  if (left != 0) fprintf(stderr, "killed %zu process(es) left in %s\n", left, root_.c_str());
  bench::Run({"/bin/rm", "-rf", "--", root_}, {}, "/dev/null");
  unlink(log_.c_str());
  root_.clear();
}

std::string Sandbox::StatusWord() const {
  const std::string text = ReadFile(Host(kStatusFile));
  const std::string head = "status=\"";
  const size_t at = text.rfind(head);
  if (at == std::string::npos) return "";
  const size_t begin = at + head.size();
  return text.substr(begin, text.find('"', begin) - begin);
}

}  // namespace bench
