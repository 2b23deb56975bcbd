#include "package_programs/daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace pkg_daemon {
namespace {

const char kComponent[] = "default_component";

std::string g_name = "daemon";
std::string g_pid_file;  // appliance path, set once the daemon wrote it

// The messages of the daemon to the launching process over the ready pipe.
const char kReady[] = "ok";

std::string ErrnoText(const std::string& what) { return what + ": " + strerror(errno); }

std::string ExecutableOf(pid_t pid) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(pid));
  char buf[PATH_MAX];
  ssize_t n = readlink(link, buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  return std::string(buf, n);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// In the daemon (grandchild): the rest of the detachment.  Returns false with
// `err` when the daemon cannot run.
bool BecomeDaemon(const std::string& pid_file, std::string* err) {
  if (chdir("/") != 0) {
    *err = ErrnoText("chdir /");
    return false;
  }
  umask(022);
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) {
    *err = ErrnoText("open /dev/null");
    return false;
  }
  for (int fd = 0; fd <= 2; ++fd) dup2(null_fd, fd);
  if (null_fd > 2) close(null_fd);
  return WritePidFile(pid_file, err);
}

}  // namespace

bool WritePidFile(const std::string& path, std::string* err) {
  if (!host_platform::ReplaceFileAtomically(paths::HostPath(path), std::to_string(getpid()) + "\n",
                                            0644)) {
    *err = ErrnoText("cannot write " + path);
    return false;
  }
  return true;
}

void StartProgram(const char* name) {
  g_name = name;
  paths::AdoptRootFromExecutable();
  Logger::Init(Logger::LOG_TYPE_SYSLOG, ustring(), paths::kDebugSwitchFile, 0);
}

void ReportError(const std::string& message) {
  fprintf(stderr, "%s: %s\n", g_name.c_str(), message.c_str());
  Logger::Log(3, kComponent, "[ERROR] %s(%d): %s\n", g_name.c_str(), __LINE__, message.c_str());
}

bool Detach(const std::string& pid_file, std::string* err) {
  pid_t running = TLIBCReadPidFile(pid_file.c_str());
  if (running > 1 && running != getpid() && kill(running, 0) == 0 &&
      ExecutableOf(running) == ExecutableOf(getpid())) {
    *err = "already running (pid " + std::to_string(running) + " in " + pid_file + ")";
    return false;
  }
  // Two launches at the same moment both find no live pid file above, and
  // both would run, the first one without a pid file that names it (no stop
  // could find it).  A lock beside the pid file, held by the daemon for its
  // whole life, lets only one of them through.  The descriptor passes to the
  // daemon through the forks; the launching process's copy goes with its
  // exit, and the lock with the daemon's end.
  const std::string lock_file = pid_file + ".lock";
  const int lock_fd = open(paths::HostPath(lock_file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) {
    *err = ErrnoText("cannot open " + lock_file);
    return false;
  }
  if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    *err = errno == EWOULDBLOCK ? "already running (" + lock_file + " is held)"
                                : ErrnoText("cannot lock " + lock_file);
    close(lock_fd);
    return false;
  }

  // SIGTERM and SIGINT stay blocked for good: WaitForStop takes them with
  // sigwait, so a signal that arrives early is kept pending, never lost and
  // never kills the daemon before it could remove its pid file.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigset_t old_mask;
  sigprocmask(SIG_BLOCK, &stop_signals, &old_mask);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    *err = ErrnoText("pipe");
    close(lock_fd);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return false;
  }
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    *err = ErrnoText("fork");
    close(ready[0]);
    close(ready[1]);
    close(lock_fd);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return false;
  }

  if (child > 0) {
    // The launching process: wait for the daemon's word.  End of file
    // without a word means it died before it was ready.
    close(ready[1]);
    std::string word;
    char buf[512];
    for (;;) {
      ssize_t n = read(ready[0], buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      word.append(buf, static_cast<size_t>(n));
    }
    close(ready[0]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (word == kReady) exit(0);
    *err = word.empty() ? "the daemon ended before it was ready" : word;
    close(lock_fd);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return false;
  }

  // The first child: a session of its own, then a second fork so that the
  // daemon is not a session leader and can never acquire a terminal.
  close(ready[0]);
  if (setsid() < 0) {
    WriteAll(ready[1], ErrnoText("setsid"));
    _exit(1);
  }
  pid_t daemon_pid = fork();
  if (daemon_pid < 0) {
    WriteAll(ready[1], ErrnoText("fork"));
    _exit(1);
  }
  if (daemon_pid > 0) _exit(0);

  // A process group of its own whose id is the daemon's pid: stopping a
  // daemon that ignores SIGTERM kills the group named by its pid file.
  std::string why;
  if (setpgid(0, 0) != 0) {
    WriteAll(ready[1], ErrnoText("setpgid"));
    _exit(1);
  }
  if (!BecomeDaemon(pid_file, &why)) {
    WriteAll(ready[1], why);
    _exit(1);
  }
  g_pid_file = pid_file;
  WriteAll(ready[1], kReady);
  close(ready[1]);
  Logger::Log(6, kComponent, "[INFO] %s(%d): running as pid %d\n", g_name.c_str(), __LINE__,
              static_cast<int>(getpid()));
  return true;
}

int WaitForStop(const std::function<void()>& wind_down) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  Logger::Log(6, kComponent, "[INFO] %s(%d): stopped by signal %d\n", g_name.c_str(), __LINE__,
              sig);
  if (wind_down) wind_down();
  if (!g_pid_file.empty()) {
    // A pid file that another instance has taken over is not ours to remove.
    if (TLIBCReadPidFile(g_pid_file.c_str()) == getpid()) {
      unlink(paths::HostPath(g_pid_file).c_str());
    }
  }
  return 0;
}

}  // namespace pkg_daemon
