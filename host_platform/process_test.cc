#include <dirent.h>
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

// When TLIBCExec runs this test program as "<exe> --report-launch FILE", it
// writes what a launched program finds into FILE and ends before any test.
const int g_report_launch = [] {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
  cmdline.close();
  if (args.size() != 3 || args[1] != "--report-launch") return 0;
  FILE* out = fopen(args[2].c_str(), "we");
  if (out == nullptr) _exit(70);
  for (char** e = environ; *e != nullptr; ++e) fprintf(out, "env %s\n", *e);
  char cwd[PATH_MAX] = "?", in[PATH_MAX] = "";
  if (readlink("/proc/self/fd/0", in, sizeof(in) - 1) < 0 || getcwd(cwd, sizeof(cwd)) == nullptr) {
    _exit(71);
  }
  struct sigaction pipe_action;
  sigaction(SIGPIPE, nullptr, &pipe_action);
  int extra = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (struct dirent* d = dir != nullptr ? readdir(dir) : nullptr) {
    const int fd = atoi(d->d_name);
    extra += d->d_name[0] != '.' && fd > 2 && fd != fileno(out) && fd != dirfd(dir);
  }
  fprintf(out, "cwd %s, leader %d, stdin %s, argv0 %s, sigpipe %d, extra fds %d\n", cwd,
          getsid(0) == getpid(), in, args[0].c_str(), pipe_action.sa_handler == SIG_DFL, extra);
  _exit(fclose(out));
}();

TEST(ReadPidFile, Table) {
  const struct {
    std::string content;
    int expected;
  } cases[] = {
      {"1234\n", 1234},
      {"1234", 1234},
      {"  42 \r\n", 42},
      {"2\n", 2},
      {"", -1},
      {"\n\n", -1},
      {"abc\n", -1},
      {"-5\n", -1},
      {"+5\n", -1},
      {"0\n", -1},
      {"1\n", -1},
      {"12 34\n", -1},
      {"12abc\n", -1},
      {"4194305\n", -1},
      {"2147483648\n", -1},
      {std::string("\0\1", 2), -1},
      {std::string(100, ' ') + "5\n", -1},
  };
  for (const auto& c : cases) {
    test_support::TestRoot root;
    root.Write("/var/run/x.pid", c.content);
    EXPECT_EQ(TLIBCReadPidFile("/var/run/x.pid"), c.expected) << c.content;
  }
  test_support::TestRoot root;
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
  child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(TLIBCProcAlive(parent) != 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Exec, ExitStatusesArgumentsAndFailures) {
  test_support::TestRoot root;
  root.WriteScript("/bin/exit-with", "exit \"$1\"\n");
  root.WriteScript("/bin/count-args", "exit $#\n");
  root.WriteScript("/bin/die-by-signal", "kill -KILL $$\n");
  root.Write("/bin/not-executable", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "0", nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "255", nullptr, nullptr, nullptr), 255);
  EXPECT_EQ(TLIBCExec("/bin/count-args", "a", "b", "c", "d"), 4);
  EXPECT_EQ(TLIBCExec("/bin/count-args", "a", "", nullptr, "d"), 2);  // up to the first null
  const struct {
    const char* program;
    int error;
  } failures[] = {{"/bin/die-by-signal", TLIB_ERR_EXEC},
                  {"/bin/missing", TLIB_ERR_EXEC},
                  {"/bin/not-executable", TLIB_ERR_EXEC},
                  {"bin/exit-with", TLIB_ERR_BAD_PARAMETERS},
                  {nullptr, TLIB_ERR_BAD_PARAMETERS}};
  for (const auto& f : failures) {
    TLIBCErrSetEx(TLIB_ERR_NONE, __FILE__, __LINE__);
    EXPECT_EQ(TLIBCExec(f.program, "0", nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(TLIBCErrGet(), f.error) << (f.program != nullptr ? f.program : "null");
  }
  // The child is collected even when the caller ignores SIGCHLD, and the
  // caller's setting is given back.
  struct sigaction ignore = {}, old, now;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  EXPECT_EQ(TLIBCExec("/bin/exit-with", "7", nullptr, nullptr, nullptr), 7);
  sigaction(SIGCHLD, &old, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);

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
  EXPECT_EQ(root.Read("/report.txt"),
            "env PATH=/usr/bin:/bin\ncwd /, leader 1, stdin /dev/null, argv0 /bin/report-launch, "
            "sigpipe 1, extra fds 0\n");
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
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

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
