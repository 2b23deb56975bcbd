#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/test_root.h"
#include "platform/platform_lib.h"

extern char** environ;

namespace {

// When TLIBCExec runs this very test program as "<exe> --report-launch FILE",
// it writes what a launched program finds (environment, working folder,
// session, open descriptors) into FILE and ends before any test runs.
std::string Cmdline() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int ReportLaunchIfAsked() {
  std::string cmd = Cmdline();
  std::vector<std::string> args;
  size_t pos = 0;
  while (pos < cmd.size()) {
    size_t end = cmd.find('\0', pos);
    if (end == std::string::npos) end = cmd.size();
    args.push_back(cmd.substr(pos, end - pos));
    pos = end + 1;
  }
  if (args.size() != 3 || args[1] != "--report-launch") return 0;
  FILE* out = fopen(args[2].c_str(), "we");
  if (out == nullptr) _exit(70);
  for (char** e = environ; *e != nullptr; ++e) fprintf(out, "env %s\n", *e);
  char cwd[PATH_MAX];
  fprintf(out, "cwd %s\n", getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "?");
  fprintf(out, "session_leader %d\n", getsid(0) == getpid() ? 1 : 0);
  char target[PATH_MAX];
  ssize_t n = readlink("/proc/self/fd/0", target, sizeof(target) - 1);
  target[n > 0 ? n : 0] = '\0';
  fprintf(out, "stdin %s\n", target);
  fprintf(out, "argv0 %s\n", args[0].c_str());
  struct sigaction pipe_action;
  sigaction(SIGPIPE, nullptr, &pipe_action);
  fprintf(out, "sigpipe_default %d\n", pipe_action.sa_handler == SIG_DFL ? 1 : 0);
  int outfd = fileno(out);
  DIR* dir = opendir("/proc/self/fd");
  int extra = 0;
  while (dir != nullptr) {
    struct dirent* d = readdir(dir);
    if (d == nullptr) break;
    int fd = atoi(d->d_name);
    if (d->d_name[0] != '.' && fd > 2 && fd != outfd && fd != dirfd(dir)) ++extra;
  }
  if (dir != nullptr) closedir(dir);
  fprintf(out, "extra_fds %d\n", extra);
  fclose(out);
  _exit(0);
}

const int g_report_launch = ReportLaunchIfAsked();

struct PidCase {
  const char* name;
  std::string content;
  int expected;
};

TEST(ReadPidFile, Table) {
  const std::vector<PidCase> cases = {
      {"plain", "1234\n", 1234},
      {"no line end", "1234", 1234},
      {"blanks around", "  42 \r\n", 42},
      {"smallest valid", "2\n", 2},
      {"empty", "", -1},
      {"only line ends", "\n\n", -1},
      {"garbage", "abc\n", -1},
      {"negative", "-5\n", -1},
      {"explicit plus", "+5\n", -1},
      {"zero", "0\n", -1},
      {"init", "1\n", -1},
      {"two numbers", "12 34\n", -1},
      {"trailing text", "12abc\n", -1},
      {"beyond pid range", "4194305\n", -1},
      {"huge", "99999999999999999999999\n", -1},
      {"int overflow", "2147483648\n", -1},
      {"binary", std::string("\x00\x01\x02", 3), -1},
      {"too long for a pid file", std::string(100, ' ') + "5\n", -1},
  };
  for (const PidCase& c : cases) {
    test_support::TestRoot root;
    root.Write("/var/run/x.pid", c.content);
    EXPECT_EQ(TLIBCReadPidFile("/var/run/x.pid"), c.expected) << c.name;
  }
  test_support::TestRoot root;
  EXPECT_EQ(TLIBCReadPidFile("/var/run/missing.pid"), -1);
  EXPECT_EQ(TLIBCReadPidFile(""), -1);
  EXPECT_EQ(TLIBCReadPidFile(nullptr), -1);
}

TEST(ProcAlive, LiveDeadAndForbiddenPids) {
  EXPECT_NE(TLIBCProcAlive(getpid()), 0);
  EXPECT_EQ(TLIBCProcAlive(0), 0);
  EXPECT_EQ(TLIBCProcAlive(1), 0);
  EXPECT_EQ(TLIBCProcAlive(-1), 0);
  EXPECT_EQ(TLIBCProcAlive(INT_MIN), 0);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Wait until it has ended but leave it uncollected: a zombie is not alive.
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(TLIBCProcAlive(child), 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(TLIBCProcAlive(child), 0);

  // Another user's process is alive although signal 0 to it fails (EPERM).
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  pid_t parent = getpid();
  child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(TLIBCProcAlive(parent) != 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class ExecTest : public ::testing::Test {
 protected:
  test_support::TestRoot root_;
};

TEST_F(ExecTest, ExitStatusesArgumentsAndFailures) {
  root_.WriteScript("/bin/exit-with", "exit \"$1\"\n");
  root_.WriteScript("/bin/count-args", "exit $#\n");
  root_.WriteScript("/bin/die-by-signal", "kill -KILL $$\n");
  root_.Write("/bin/not-executable", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "0", nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "3", nullptr, nullptr, nullptr), 3);
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "255", nullptr, nullptr, nullptr), 255);
  // The arguments stop at the first null.
  EXPECT_EQ(TLIBCExec("/bin/count-args", "a", "b", "c", "d"), 4);
  EXPECT_EQ(TLIBCExec("/bin/count-args", "a", "", nullptr, "d"), 2);
  EXPECT_EQ(TLIBCExec("/bin/count-args", nullptr, "b", "c", "d"), 0);
  EXPECT_EQ(TLIBCExec("/bin/die-by-signal", nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_EXEC);
  EXPECT_EQ(TLIBCExec("/bin/missing", "0", nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_EXEC);
  EXPECT_EQ(TLIBCExec("/bin/not-executable", nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(TLIBCExec("bin/exit-with", "0", nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_BAD_PARAMETERS);
  EXPECT_EQ(TLIBCExec(nullptr, nullptr, nullptr, nullptr, nullptr), -1);

  // The child is collected even when the caller ignores SIGCHLD, and the
  // caller's setting is given back.
  struct sigaction ignore;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "7", nullptr, nullptr, nullptr), 7);
  struct sigaction now;
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  sigaction(SIGCHLD, &old, nullptr);
}

TEST_F(ExecTest, ProgramRunsDetachedWithOnlyPath) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  root_.MakeDir("/bin");
  ASSERT_EQ(symlink(exe, root_.Host("/bin/report-launch").c_str()), 0);

  std::string saved_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", "/usr/bin:/bin", 1);
  setenv("DRIFT_TEST_SECRET", "must-not-leak", 1);
  // A descriptor without close-on-exec, as a lock file of the caller would be.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  signal(SIGPIPE, SIG_IGN);

  const std::string report = root_.Host("/report.txt");
  int rc = TLIBCExec("/bin/report-launch", "--report-launch", report.c_str(), nullptr, nullptr);

  signal(SIGPIPE, SIG_DFL);
  close(leaked);
  unsetenv("DRIFT_TEST_SECRET");
  setenv("PATH", saved_path.c_str(), 1);
  ASSERT_EQ(rc, 0);

  EXPECT_EQ(root_.Read("/report.txt"),
            "env PATH=/usr/bin:/bin\n"
            "cwd /\n"
            "session_leader 1\n"
            "stdin /dev/null\n"
            "argv0 /bin/report-launch\n"
            "sigpipe_default 1\n"
            "extra_fds 0\n");
}

TEST(CloseLock, ChildKeepsNoInheritedDescriptor) {
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (TLIBCFileCloseLock() != 0) _exit(2);
    _exit(fcntl(fd, F_GETFD) == -1 && errno == EBADF && fcntl(1, F_GETFD) != -1 ? 0 : 1);
  }
  close(fd);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Errors, LastErrorIsPerThread) {
  TLIBCErrSetEx(TLIB_ERR_NOT_FOUND, __FILE__, __LINE__);
  int other = -1;
  std::thread t([&other] {
    other = TLIBCErrGet();
    TLIBCErrSetEx(TLIB_ERR_EXEC, __FILE__, __LINE__);
  });
  t.join();
  EXPECT_EQ(other, TLIB_ERR_NONE);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_FOUND);
}

}  // namespace
