#include "tests/e2e_support.h"

#include <arpa/inet.h>
#include <dirent.h>
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
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"

extern char** environ;

namespace e2e {
namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq != nullptr) merged[std::string(*e, eq - *e)] = eq + 1;
  }
  for (const auto& [key, value] : env) {
    if (value.empty()) {
      merged.erase(key);
    } else {
      merged[key] = value;
    }
  }
  std::vector<std::string> out;
  for (const auto& [key, value] : merged) out.push_back(key + "=" + value);
  return out;
}

RunResult Run(const std::vector<std::string>& argv_in,
              const std::map<std::string, std::string>& env, const std::string& input,
              int timeout_seconds) {
  RunResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  std::vector<std::string> argv_texts = argv_in;
  std::vector<std::string> env_texts = MergedEnvironment(env);
  std::vector<char*> argv = CStrings(argv_texts);
  std::vector<char*> envp = CStrings(env_texts);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    // Own process group, so that a timeout kills everything it started.
    setpgid(0, 0);
    execve(argv[0], argv.data(), envp.data());
    dprintf(2, "exec %s: %s", argv[0], strerror(errno));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }

  // Feed the input and drain both outputs together so that no pipe fills up.
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  int open_outputs = 2;
  const int64_t deadline = NowMs() + int64_t{timeout_seconds} * 1000;
  bool timed_out = false;
  signal(SIGPIPE, SIG_IGN);
  while (open_outputs > 0 || in_fd >= 0) {
    struct pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_in = -1;
    if (out_pipe[0] >= 0) {
      fds[n] = {out_pipe[0], POLLIN, 0};
      idx_out = n++;
    }
    if (err_pipe[0] >= 0) {
      fds[n] = {err_pipe[0], POLLIN, 0};
      idx_err = n++;
    }
    if (in_fd >= 0) {
      fds[n] = {in_fd, POLLOUT, 0};
      idx_in = n++;
    }
    int64_t left = deadline - NowMs();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    int r = poll(fds, n, static_cast<int>(left > 1000 ? 1000 : left));
    if (r < 0 && errno != EINTR) break;
    char buf[65536];
    for (int i : {idx_out, idx_err}) {
      if (i < 0 || fds[i].revents == 0) continue;
      int* fd = (i == idx_out) ? &out_pipe[0] : &err_pipe[0];
      std::string* sink = (i == idx_out) ? &result.out : &result.err;
      ssize_t got = read(*fd, buf, sizeof(buf));
      if (got > 0) {
        sink->append(buf, got);
      } else if (got == 0 || errno != EINTR) {
        close(*fd);
        *fd = -1;
        --open_outputs;
      }
    }
    if (idx_in >= 0 && fds[idx_in].revents != 0) {
      ssize_t put = write(in_fd, input.data() + written, input.size() - written);
      if (put > 0) written += put;
      if (put < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written >= input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_pipe[0] >= 0) close(out_pipe[0]);
  if (err_pipe[0] >= 0) close(err_pipe[0]);
  if (timed_out) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    ADD_FAILURE() << argv_in[0] << " ran longer than " << timeout_seconds << " s";
    result.exit_status = -1;
  } else if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_status = 128 + WTERMSIG(status);
  }
  return result;
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

std::string ExecutableOf(pid_t pid) {
  char buf[4096];
  const ssize_t n =
      readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, n) : std::string();
}

std::vector<pid_t> ProcessesBelow(const std::string& root) {
  std::vector<pid_t> found;
  if (root.size() < 2) return found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (struct dirent* e = readdir(proc)) {
    const std::string name = e->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = atoi(name.c_str());
    if (ExecutableOf(pid).compare(0, root.size() + 1, root + "/") == 0 && Running(pid)) {
      found.push_back(pid);
    }
  }
  closedir(proc);
  return found;
}

std::vector<pid_t> SettledProcessesBelow(const std::string& root, std::vector<pid_t> expected,
                                         int ms) {
  std::sort(expected.begin(), expected.end());
  std::vector<pid_t> found = ProcessesBelow(root);
  for (int waited = 0; waited < ms; waited += 10) {
    std::sort(found.begin(), found.end());
    if (found == expected) break;
    usleep(10000);
    found = ProcessesBelow(root);
  }
  std::sort(found.begin(), found.end());
  return found;
}

void KillProcessesBelow(const std::string& root) {
  for (pid_t pid : ProcessesBelow(root)) kill(pid, SIGKILL);
  for (pid_t pid : ProcessesBelow(root)) WaitGone(pid);
}

std::string SourceDir() { return DRIFT_SOURCE_DIR; }
std::string BinaryDir() { return DRIFT_BINARY_DIR; }
std::string ToolPath() { return BinaryDir() + "/cli/drift-control"; }
std::string FullToolPath() { return BinaryDir() + "/libexec/drift-control-full"; }

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
    // Whatever the test left running inside this sandbox goes first.  (Not by
    // its pid files: a daemon that already ended may have left a pid that now
    // belongs to another process of the machine.)
    KillProcessesBelow(root_);
    Run({"/bin/rm", "-rf", root_});
  }
}

RunResult Sandbox::Tool(const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env) const {
  std::vector<std::string> argv{root_ + "/var/packages/DriftVault/target/bin/drift-control"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::map<std::string, std::string> full_env = env;
  full_env.emplace("DRIFT_ROOT", root_);
  return Run(argv, full_env);
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

}  // namespace e2e
