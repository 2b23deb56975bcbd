#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
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

// Run by TLIBCExec as "<exe> --report-launch FILE", this program writes what a
// launched program finds into FILE and ends before any test.
const int g_report_launch = [] {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
  cmdline.close();
  if (args.size() != 3 || args[1] != "--report-launch") return 0;
  FILE* out = fopen(args[2].c_str(), "we");
  if (out == nullptr) _exit(70);
  for (char** e = environ; *e != nullptr; ++e) fprintf(out, "%s,", *e);
  char cwd[PATH_MAX] = "?", in[PATH_MAX] = "";
  struct sigaction pipe_action;
  sigaction(SIGPIPE, nullptr, &pipe_action);
  if (readlink("/proc/self/fd/0", in, sizeof(in) - 1) < 0 || getcwd(cwd, sizeof(cwd)) == nullptr) {
    _exit(71);
  }
  int extra = 0;
  for (int fd = 3; fd < 1024; ++fd) extra += fd != fileno(out) && fcntl(fd, F_GETFD) != -1;
  fprintf(out, " %s %d %s %s %d %d\n", cwd, getsid(0) == getpid(), in, args[0].c_str(),
          pipe_action.sa_handler == SIG_DFL, extra);
  _exit(fclose(out));
}();

TEST(ReadPidFile, Table) {
  const std::pair<std::string, int> cases[] = {
      {"1234\n", 1234}, {"1234", 1234},    {"  42 \r\n", 42},
      {"2\n", 2},       {"", -1},          {"abc\n", -1},
      {"-5\n", -1},     {"+5\n", -1},      {"1\n", -1},
      {"12 34\n", -1},  {"4194305\n", -1}, {"2147483648\n", -1},
      {"12abc\n", -1},  {{"\0\1", 2}, -1}, {std::string(100, ' ') + "5\n", -1},
  };
  test_support::TestRoot root;
  for (const auto& c : cases) {
    root.Write("/var/run/x.pid", c.first);
    EXPECT_EQ(TLIBCReadPidFile("/var/run/x.pid"), c.second) << c.first;
  }
  EXPECT_EQ(TLIBCReadPidFile("/var/run/missing.pid") + TLIBCReadPidFile(nullptr), -2);
}

TEST(ProcAlive, LiveDeadAndForbiddenPids) {
  EXPECT_NE(TLIBCProcAlive(getpid()), 0);
  for (int pid : {0, 1, -1, INT_MIN}) EXPECT_EQ(TLIBCProcAlive(pid), 0) << pid;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Ended but not collected: a zombie is not alive.
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(TLIBCProcAlive(child), 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);

  // Another user's process is alive although signal 0 to it fails (EPERM).
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const pid_t parent = getpid();
  if ((child = fork()) == 0)
    _exit(setgid(65534) == 0 && setuid(65534) == 0 ? !TLIBCProcAlive(parent) : 2);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

TEST(Exec, ExitStatusesArgumentsAndFailures) {
  test_support::TestRoot root;
  root.WriteScript("/bin/exit-with", "exit \"$1\"\n");
  root.WriteScript("/bin/count-args", "exit $#\n");
  root.WriteScript("/bin/die-by-signal", "kill -KILL $$\n");
  root.Write("/bin/not-executable", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "255", nullptr, nullptr, nullptr), 255);
  EXPECT_EQ(TLIBCExec("/bin/count-args", "a", "b", "c", "d"), 4);
  EXPECT_EQ(TLIBCExec("/bin/count-args", "a", "", nullptr, "d"), 2);  // up to the first null
  for (const char* failing : {"/bin/die-by-signal", "/bin/missing", "/bin/not-executable",
                              "bin/exit-with", static_cast<const char*>(nullptr)}) {
    TLIBCErrSetEx(TLIB_ERR_NONE, __FILE__, __LINE__);
    EXPECT_EQ(TLIBCExec(failing, "0", nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(TLIBCErrGet(),
              failing != nullptr && failing[0] == '/' ? TLIB_ERR_EXEC : TLIB_ERR_BAD_PARAMETERS);
  }
  // The child is collected even when the caller ignores SIGCHLD, and the
  // caller's setting is given back.
  struct sigaction ignore = {}, old, now;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "7", nullptr, nullptr, nullptr), 7);
  sigaction(SIGCHLD, &old, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

// Runs a link to this test program, so it stays a test of its own (it cannot
// run under user-mode emulation, which does not execute an ARM child).
TEST(Exec, ProgramRunsDetachedWithOnlyPath) {
  test_support::TestRoot root;
  root.MakeDir("/bin");
  // A program runs detached, with only PATH, from "/", with default signals
  // and without the caller's descriptors (a lock file of the caller here).
  char exe[PATH_MAX] = "";
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  root.Link(exe, "/bin/report-launch");
  const std::string saved_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", "/usr/bin:/bin", 1);
  setenv("DRIFT_TEST_SECRET", "must-not-leak", 1);
  const int leaked = open("/dev/null", O_RDONLY);
  signal(SIGPIPE, SIG_IGN);
  const std::string report = root.Host("/report.txt");
  const int rc =
      TLIBCExec("/bin/report-launch", "--report-launch", report.c_str(), nullptr, nullptr);
  signal(SIGPIPE, SIG_DFL);
  close(leaked);
  unsetenv("DRIFT_TEST_SECRET");
  setenv("PATH", saved_path.c_str(), 1);
  ASSERT_EQ(rc, 0);
  // env, cwd, session leader, stdin, argv0, default SIGPIPE, descriptors beyond 2 and the report's
  EXPECT_EQ(root.Read("/report.txt"), "PATH=/usr/bin:/bin, / 1 /dev/null /bin/report-launch 1 0\n");
}

TEST(Process, CloseLockAndPerThreadErrors) {
  const int fd = open("/dev/null", O_RDONLY);
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
  EXPECT_EQ(status, 0);
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
