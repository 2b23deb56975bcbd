// Processes: pid files, liveness, running a program detached and waiting.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace {

// The kernel's absolute pid ceiling (PID_MAX_LIMIT on 64-bit kernels); used
// when /proc/sys/kernel/pid_max cannot be read.
constexpr long kPidCeiling = 4194304;

// A pid file is a number and a line end; anything longer is not one.
constexpr size_t kMaxPidFileSize = 64;

long PidMax() {
  std::string text;
  if (host_platform::ReadWholeFile("/proc/sys/kernel/pid_max", 32, &text) ==
      host_platform::ReadResult::kOk) {
    long value = strtol(text.c_str(), nullptr, 10);
    if (value > 1 && value <= kPidCeiling) return value;
  }
  return kPidCeiling;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Closes every descriptor from `first` on, except `keep` (-1 for none).
// Async-signal-safe: only system calls.
void CloseDescriptorsFrom(int first, int keep) {
#ifdef SYS_close_range
  if (keep < first) {
    if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
  } else {
    bool ok = true;
    if (keep > first) ok = syscall(SYS_close_range, first, keep - 1, 0) == 0;
    if (ok && syscall(SYS_close_range, keep + 1, ~0U, 0) == 0) return;
  }
#endif
  // Kernels before close_range: close one by one up to the descriptor limit.
  struct rlimit rl;
  long limit = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    limit = static_cast<long>(rl.rlim_cur);
  }
  if (limit > 65536) limit = 65536;
  for (long fd = first; fd < limit; ++fd) {
    if (fd != keep) close(static_cast<int>(fd));
  }
}

}  // namespace

int TLIBCReadPidFile(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  std::string text;
  switch (host_platform::ReadWholeFile(paths::HostPath(path), kMaxPidFileSize, &text)) {
    case host_platform::ReadResult::kOk:
      break;
    case host_platform::ReadResult::kMissing:
      HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
      return -1;
    case host_platform::ReadResult::kTooLarge:
      HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
      return -1;
    case host_platform::ReadResult::kError:
      HOST_PLATFORM_FAIL(TLIB_ERR_FILE_READ);
      return -1;
  }
  // Strict: blanks, digits, blanks.  Signs, other characters, several
  // numbers or a number beyond the pid range make the file invalid, and pids
  // 0 and 1 are never valid: a caller signalling them would hit its own
  // process group or init.
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  long pid = 0;
  size_t digits = 0;
  const long pid_max = PidMax();
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    pid = pid * 10 + (text[i] - '0');
    if (pid > pid_max) break;
    ++digits;
    ++i;
  }
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (digits == 0 || i != text.size() || pid <= 1 || pid > pid_max) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
    return -1;
  }
  return static_cast<int>(pid);
}

int TLIBCProcAlive(int pid) {
  if (pid <= 1) return 0;  // kill(0 or -1, ...) would address groups, 1 is init
  if (kill(pid, 0) != 0 && errno != EPERM) return 0;
  // A zombie still answers signal 0 but has ended; its parent has not yet
  // collected it.
  std::string stat;
  if (host_platform::ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", 4096, &stat) ==
      host_platform::ReadResult::kOk) {
    size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size()) {
      char state = stat[paren + 2];
      if (state == 'Z' || state == 'X') return 0;
    }
  }
  return 1;
}

int TLIBCFileCloseLock(void) {
  CloseDescriptorsFrom(3, -1);
  return 0;
}

int TLIBCExec(const char* program, const char* arg1, const char* arg2, const char* arg3,
              const char* arg4) {
  if (program == nullptr || program[0] != '/') {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  // Everything the child needs is built before the fork: after it, the child
  // may only make system calls (another thread may hold the allocator lock).
  const std::string host_program = paths::HostPath(program);
  std::vector<const char*> argv;
  argv.push_back(program);
  for (const char* arg : {arg1, arg2, arg3, arg4}) {
    if (arg == nullptr) break;
    argv.push_back(arg);
  }
  argv.push_back(nullptr);
  std::string path_entry;
  std::vector<const char*> envp;
  if (const char* path = getenv("PATH")) {
    path_entry = std::string("PATH=") + path;
    envp.push_back(path_entry.c_str());
  }
  envp.push_back(nullptr);

  // The child reports a failed exec through this pipe; a successful exec
  // closes it (close-on-exec), which the parent reads as end of file.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    HOST_PLATFORM_FAIL(TLIB_ERR_EXEC);
    return -1;
  }

  // Children must be collectable: SIGCHLD ignored or SA_NOCLDWAIT would make
  // the kernel reap the child and waitpid fail.
  struct sigaction old_chld;
  sigaction(SIGCHLD, nullptr, &old_chld);
  bool restore_chld = false;
  if (old_chld.sa_handler == SIG_IGN || (old_chld.sa_flags & SA_NOCLDWAIT) != 0) {
    struct sigaction dfl = old_chld;
    if (dfl.sa_handler == SIG_IGN) dfl.sa_handler = SIG_DFL;
    dfl.sa_flags &= ~SA_NOCLDWAIT;
    restore_chld = sigaction(SIGCHLD, &dfl, nullptr) == 0;
  }

  pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    int report_fd = report[1];
    if (report_fd <= 2) {
      // Our standard streams were closed and the pipe took their place: move
      // it out of the way of the /dev/null redirection.
      int moved = fcntl(report_fd, F_DUPFD_CLOEXEC, 3);
      if (moved >= 0) report_fd = moved;
    }
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    // The child keeps no descriptor of ours (and so none of our lock files)
    // except the report pipe, which closes itself on exec.
    CloseDescriptorsFrom(3, report_fd);
    // A fresh program starts with default signal handling and nothing
    // blocked: the tool ignores SIGPIPE, a daemon must not inherit that.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    if (chdir("/") != 0) {
      // Not fatal: the program still runs, from wherever we were.
    }
    execve(host_program.c_str(), const_cast<char* const*>(argv.data()),
           const_cast<char* const*>(envp.data()));
    int err = errno;
    ssize_t ignored = write(report_fd, &err, sizeof(err));
    (void)ignored;
    _exit(255);
  }
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    if (restore_chld) sigaction(SIGCHLD, &old_chld, nullptr);
    HOST_PLATFORM_FAIL(TLIB_ERR_EXEC);
    return -1;
  }

  int exec_errno = 0;
  ssize_t got;
  do {
    got = read(report[0], &exec_errno, sizeof(exec_errno));
  } while (got < 0 && errno == EINTR);
  close(report[0]);

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (restore_chld) sigaction(SIGCHLD, &old_chld, nullptr);

  if (got == static_cast<ssize_t>(sizeof(exec_errno)) || waited < 0 || !WIFEXITED(status)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_EXEC);
    return -1;
  }
  return WEXITSTATUS(status);
}
