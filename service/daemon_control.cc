#include "service/daemon_control.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/appliance_paths.h"
#include "base/file_utils.h"
#include "cli/logger.h"
#include "platform/platform_lib.h"
#include "service/package_state.h"

namespace {

const char kComponent[] = "service_ctrl_debug";

// Platform error recorded when a launched program could not be run or was
// killed.
constexpr int kErrLaunchFailed = 0x2A00;

// The pid a pid file names, or -1 when it cannot be read or names a pid that
// must never be signalled: 1 and below (kill(-1) and killpg(1) reach every
// process), the tool itself, or the leader of the tool's own process group.
int ReadSignallablePid(const std::string& pid_file) {
  const int pid = TLIBCReadPidFile(pid_file.c_str());
  if (pid <= 1 || pid == getpid() || pid == getpgrp()) return -1;
  return pid;
}

// True when `pid` has ended and only waits for its parent to reap it.  Such
// a process still answers signal 0, but it is gone as far as a daemon's work
// is concerned (and its parent may never reap it, e.g. an orphan under an
// init that does not collect its children).
bool IsZombie(int pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[512];
  const ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  // "pid (comm) S ...": the command may itself hold ")" and blanks.
  const char* close_paren = strrchr(buf, ')');
  return close_paren != nullptr && close_paren[1] == ' ' && close_paren[2] == 'Z';
}

bool PidFileExists(const std::string& pid_file) {
  return FileExists(ustring(paths::HostPath(pid_file)));
}

void RemovePidFile(const std::string& pid_file) { unlink(paths::HostPath(pid_file).c_str()); }

// Child side of RunProgramArgv; never returns.  Uses only calls that are
// safe after fork: everything it needs was prepared by the parent.
[[noreturn]] void RunChild(const char* host_program, char* const* argv, char* const* envp,
                           const char* host_root) {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > STDERR_FILENO) close(null_fd);
  }
  TLIBCFileCloseLock();
  setsid();
  if (chdir(host_root) != 0) {
    // Not fatal: the program does not rely on its working folder.
  }
  execve(host_program, argv, envp);
  _exit(255);
}

}  // namespace

int IsPidFileProcessAlive(const std::string& pid_file) {
  if (pid_file.empty()) return 0;
  const int pid = ReadSignallablePid(pid_file);
  if (pid < 1) return 0;
  if (TLIBCProcAlive(pid) == 0) return 0;
  return IsZombie(pid) ? 0 : 1;
}

int StopDaemonByPidFile(const std::string& pid_file, int wait_seconds) {
  if (!PidFileExists(pid_file)) {
    Logger::Log(7, kComponent,
                "[DEBUG] service-ctrl(%d): file '%s' does not exist, assuming daemon is not "
                "running\n",
                __LINE__, pid_file.c_str());
    return 0;
  }
  const int pid = ReadSignallablePid(pid_file);
  if (pid < 1) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to read '%s'\n", __LINE__,
                pid_file.c_str());
    return -1;
  }
  if (kill(pid, SIGTERM) != 0) {
    if (errno == ESRCH) {
      RemovePidFile(pid_file);
      return 0;
    }
    const int err = errno;
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): kill: %s (%d)\n", __LINE__, strerror(err),
                err);
    return -1;
  }
  if (wait_seconds <= 0) return 0;

  // Whole-second polls: the wait is counted in tests, one a second, the
  // first one at once, and a daemon that outlasts them all is killed.
  for (int i = 0; i < wait_seconds; ++i) {
    if ((kill(pid, 0) != 0 && errno == ESRCH) || IsZombie(pid)) {
      RemovePidFile(pid_file);
      return 0;
    }
    sleep(1);
  }
  Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): daemon will now be killed (%d, %s)\n",
              __LINE__, pid, pid_file.c_str());
  killpg(pid, SIGKILL);
  // A daemon that did not lead its own group is not reached by the group
  // kill; its pid file goes away now, so it must not survive either.
  kill(pid, SIGKILL);
  RemovePidFile(pid_file);
  return 0;
}

int RunProgramArgv(const std::vector<std::string>& args) {
  if (args.empty() || args[0].empty()) {
    TLIBCErrSetEx(kErrLaunchFailed, __FILE__, __LINE__);
    return -1;
  }
  // Everything the child needs, prepared before the fork.
  std::vector<std::string> texts = args;
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  const std::string host_program = paths::HostPath(args[0]);
  const std::string host_root = paths::HostPath("/");
  std::string path_entry;
  std::vector<char*> envp;
  if (const char* path = getenv("PATH")) {
    path_entry = std::string("PATH=") + path;
    envp.push_back(path_entry.data());
  }
  envp.push_back(nullptr);

  // With SA_NOCLDWAIT the child would be reaped by the kernel and its status
  // lost; collect it ourselves for the duration of the call.
  struct sigaction old_action;
  bool restore_nocldwait = false;
  if (sigaction(SIGCHLD, nullptr, &old_action) == 0 && (old_action.sa_flags & SA_NOCLDWAIT)) {
    struct sigaction action = old_action;
    action.sa_flags &= ~SA_NOCLDWAIT;
    restore_nocldwait = sigaction(SIGCHLD, &action, nullptr) == 0;
  }

  int result = -1;
  const pid_t pid = fork();
  if (pid == 0) RunChild(host_program.c_str(), argv.data(), envp.data(), host_root.c_str());
  if (pid > 0) {
    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0) {
      result = errno == ECHILD ? 0 : -1;
    } else if (WIFEXITED(status)) {
      result = WEXITSTATUS(status);
    } else {
      result = -1;
    }
  }

  if (restore_nocldwait) sigaction(SIGCHLD, &old_action, nullptr);
  if (result == -1) TLIBCErrSetEx(kErrLaunchFailed, __FILE__, __LINE__);
  return result;
}

int RunProgram(int count, const char* program, ...) {
  std::vector<std::string> args;
  if (count >= 1 && program != nullptr) {
    args.push_back(program);
    va_list ap;
    va_start(ap, program);
    for (int i = 1; i < count; ++i) {
      const char* arg = va_arg(ap, const char*);
      if (arg == nullptr) break;  // a null text ends the list early
      args.push_back(arg);
    }
    va_end(ap);
  }
  return RunProgramArgv(args);
}

int RunUpdater(const ustring& volume) {
  if (TLIBCExec(paths::kUpdaterProgram, volume.c_str(), nullptr, nullptr, nullptr) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): failed to upgrade database\n", __LINE__);
    SetServiceStatus("error");
    return -1;
  }
  ustring word;
  if (ReadServiceStatus(&word) != 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): failed to get updater status, leave the status "
                "unchanged\n",
                __LINE__);
    return -1;
  }
  if (word == "done") return 0;
  if (word == "upgradefail" || word == "dbnewer") {
    Logger::Log(4, kComponent, "[WARNING] service-ctrl(%d): updater failed: (%s)\n", __LINE__,
                word.c_str());
    return -1;
  }
  Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): incorrect updater status (%s)\n", __LINE__,
              word.c_str());
  SetServiceStatus("error");
  return -1;
}
