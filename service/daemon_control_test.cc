#include "service/daemon_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>

#include <set>
#include <thread>

#include "platform/platform_lib.h"
#include "service/package_state.h"
#include "service/service_test_util.h"

namespace {

using service_test::ChildProcess;
using service_test::GonePid;
using service_test::TestRoot;

const char kPidFile[] = "/var/run/test-daemon.pid";

bool LogHas(const TestRoot& root, const std::string& text) {
  return root.LogText().find(text) != std::string::npos;
}

// True when `pid` names no process, or one that has ended and waits to be
// reaped by a parent that is not this test.
bool IsGoneOrZombie(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stat.empty()) return true;
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0;
}

TEST(StopDaemonByPidFileTest, DaemonEndingOnTermGoneOrMissing) {
  const struct {
    const char* what;
    bool running;  // else the pid names a process that is gone
    int wait;
    bool pid_file_kept;
  } cases[] = {
      // Ends on SIGTERM and is waited for; as a zombie (this test does not
      // reap it while the stop polls) it counts as gone.
      {"ends on TERM", true, 5, false},
      {"wait zero only signals", true, 0, true},
      {"already gone", false, 10, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestRoot root;
    ChildProcess daemon;
    root.Write(kPidFile, std::to_string(c.running ? daemon.pid() : GonePid()) + "\n");
    EXPECT_EQ(StopDaemonByPidFile(kPidFile, c.wait), 0);
    EXPECT_EQ(root.Exists(kPidFile), c.pid_file_kept);
    if (c.running) {
      EXPECT_EQ(daemon.Wait(), SIGTERM);
    }
    EXPECT_FALSE(LogHas(root, "will now be killed"));
  }
  TestRoot root;
  EXPECT_EQ(StopDaemonByPidFile(kPidFile, 10), 0);
  EXPECT_TRUE(LogHas(root, "[DEBUG] service-ctrl("));
  EXPECT_TRUE(LogHas(root, std::string("): file '") + kPidFile +
                               "' does not exist, assuming daemon is not running\n"));
}

TEST(StopDaemonByPidFileTest, DaemonIgnoringTermIsKilledWithItsGroup) {
  TestRoot root;
  // The daemon leads its own group and has a helper in that group that also
  // ignores SIGTERM; the group kill must take both.
  int helper_pipe[2];
  ASSERT_EQ(pipe(helper_pipe), 0);
  pid_t daemon = fork();
  if (daemon == 0) {
    setpgid(0, 0);
    signal(SIGTERM, SIG_IGN);
    pid_t helper = fork();
    if (helper == 0) {
      for (;;) pause();
    }
    if (write(helper_pipe[1], &helper, sizeof(helper)) != sizeof(helper)) _exit(1);
    for (;;) pause();
  }
  close(helper_pipe[1]);
  pid_t helper = -1;
  ASSERT_EQ(read(helper_pipe[0], &helper, sizeof(helper)), static_cast<ssize_t>(sizeof(helper)));
  close(helper_pipe[0]);
  ASSERT_EQ(getpgid(helper), daemon);

  root.Write(kPidFile, std::to_string(daemon) + "\n");
  EXPECT_EQ(StopDaemonByPidFile(kPidFile, 2), 0);
  EXPECT_FALSE(root.Exists(kPidFile));
  int status = 0;
  ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  // The helper's parent is gone; whoever adopted it may not reap it, so a
  // zombie counts as ended.  Give the kernel a moment to deliver the kill.
  bool helper_gone = false;
  for (int i = 0; i < 100 && !helper_gone; ++i) {
    helper_gone = IsGoneOrZombie(helper);
    if (!helper_gone) usleep(10000);
  }
  EXPECT_TRUE(helper_gone);
  if (!helper_gone) kill(helper, SIGKILL);
  EXPECT_TRUE(LogHas(root, "[ERROR] service-ctrl("));
  EXPECT_TRUE(LogHas(
      root, "): daemon will now be killed (" + std::to_string(daemon) + ", " + kPidFile + ")\n"));
}

TEST(StopDaemonByPidFileTest, UnsignallablePidFilesAreFailedReads) {
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"garbage", "not a pid\n"},
      {"empty", ""},
      {"pid one", "1\n"},
      {"zero", "0\n"},
      {"negative", "-1\n"},
      {"this process", std::to_string(getpid()) + "\n"},
      {"this process group", std::to_string(getpgrp()) + "\n"},
      {"beyond the pid range", "99999999999\n"},
  };
  for (const Case& c : cases) {
    TestRoot root;
    root.Write(kPidFile, c.content);
    EXPECT_EQ(StopDaemonByPidFile(kPidFile, 1), -1) << c.name;
    EXPECT_TRUE(root.Exists(kPidFile)) << c.name;
    EXPECT_TRUE(LogHas(root, std::string("[ERROR] service-ctrl(")) &&
                LogHas(root, std::string("): Failed to read '") + kPidFile + "'\n"))
        << c.name;
    EXPECT_EQ(IsPidFileProcessAlive(kPidFile), 0) << c.name;
  }
}

TEST(IsPidFileProcessAliveTest, Table) {
  TestRoot root;
  ChildProcess live;
  ChildProcess zombie;
  kill(zombie.pid(), SIGKILL);
  siginfo_t info;
  waitid(P_PID, zombie.pid(), &info, WEXITED | WNOWAIT);

  EXPECT_EQ(IsPidFileProcessAlive(""), 0);
  EXPECT_EQ(IsPidFileProcessAlive(kPidFile), 0);  // missing
  root.Write(kPidFile, std::to_string(live.pid()) + "\n");
  EXPECT_EQ(IsPidFileProcessAlive(kPidFile), 1);
  root.Write(kPidFile, std::to_string(zombie.pid()) + "\n");
  EXPECT_EQ(IsPidFileProcessAlive(kPidFile), 0);
  root.Write(kPidFile, std::to_string(GonePid()) + "\n");
  EXPECT_EQ(IsPidFileProcessAlive(kPidFile), 0);
}

// RunProgram runs appliance paths: the programs below live inside the test
// root.  "/bin/shell" is a link to the host's shell, so that argument zero
// as the program sees it can be checked.
class RunProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/bin");
    ASSERT_EQ(symlink("/bin/sh", root_.Host("/bin/shell").c_str()), 0);
  }

  // Runs a shell command line through RunProgram.
  int RunShell(const std::string& command) {
    return RunProgram(3, "/bin/shell", "-c", command.c_str());
  }

  TestRoot root_;
};

TEST_F(RunProgramTest, ExitStatusesAndArgumentLists) {
  for (int code : {0, 1, 7, 254}) EXPECT_EQ(RunShell("exit " + std::to_string(code)), code);
  EXPECT_EQ(RunProgram(2, "/bin/no-such-program", "arg"), 255);
  root_.Write("/bin/not-executable", "data");
  EXPECT_EQ(RunProgram(1, "/bin/not-executable"), 255);
  // A signalled child: -1 and the launch error.
  TLIBCErrSetEx(TLIB_ERR_NONE, __FILE__, __LINE__);
  EXPECT_EQ(RunShell("kill -9 $$"), -1);
  EXPECT_EQ(TLIBCErrGet(), 0x2A00);
  // The vector form, and a null that ends the list early.
  EXPECT_EQ(RunProgramArgv({"/bin/shell", "-c", "exit $#", "zero", "a", "b"}), 2);
  EXPECT_EQ(RunProgram(5, "/bin/shell", "-c", "exit $#", nullptr, "never"), 0);
  EXPECT_EQ(RunProgramArgv({}), -1);
}

TEST_F(RunProgramTest, ChildGetsOnlyPathAndItsArguments) {
  const std::string out = root_.Host("/out");
  const std::string saved_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("DRIFT_TEST_SECRET", "1", 1);
  setenv("PATH", "/usr/bin:/bin", 1);
  const std::string script = "tr '\\0' '\\n' < /proc/$$/environ > " + out +
                             ".env; tr '\\0' '\\n' < /proc/$$/cmdline > " + out + ".argv";
  EXPECT_EQ(RunProgram(4, "/bin/shell", "-c", script.c_str(), "extra"), 0);
  // Without PATH the environment is empty.
  unsetenv("PATH");
  EXPECT_EQ(RunShell("/usr/bin/tr '\\0' '\\n' < /proc/$$/environ > " + out + ".bare"), 0);
  setenv("PATH", saved_path.c_str(), 1);
  unsetenv("DRIFT_TEST_SECRET");

  EXPECT_EQ(root_.Read("/out.env"), "PATH=/usr/bin:/bin\n");
  EXPECT_EQ(root_.Read("/out.bare"), "");
  // Argument zero is the appliance path, not the host path that was run.
  EXPECT_EQ(root_.Read("/out.argv"), "/bin/shell\n-c\n" + script + "\nextra\n");
}

// Inspects a running child from outside: the child publishes its pid and
// turns into a sleeping process with exactly the descriptors, folder and
// session that RunProgram gave it.
TEST_F(RunProgramTest, ChildIsDetachedFromTheTerminal) {
  const std::string pid_file = root_.Host("/child.pid");
  const int lock_fd = open(root_.Host("/lockfile").c_str(), O_RDWR | O_CREAT, 0644);
  int result = 0;
  std::thread runner([&] {
    result = RunShell("echo $$ > " + pid_file + ".tmp; mv " + pid_file + ".tmp " + pid_file +
                      "; exec sleep 60");
  });
  int pid = 0;
  for (int i = 0; i < 1000 && pid == 0; ++i) {
    pid = atoi(root_.Read("/child.pid").c_str());
    if (pid == 0) usleep(10000);
  }
  ASSERT_GT(pid, 0);
  // Wait until the shell has become the sleeping program.
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 1000; ++i) {
    std::ifstream comm(proc + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name == "sleep") break;
    usleep(10000);
  }
  auto open_descriptors = [&proc] {
    std::set<std::string> fds;
    if (DIR* dir = opendir((proc + "/fd").c_str())) {
      while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char target[PATH_MAX] = {0};
        readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof(target) - 1);
        fds.insert(std::string(e->d_name) + " " + target);
      }
      closedir(dir);
    }
    return fds;
  };
  // Right after the exec the loader holds the program's libraries open for a
  // moment; what was inherited stays open for good.
  const std::set<std::string> kStandardStreams = {"0 /dev/null", "1 /dev/null", "2 /dev/null"};
  std::set<std::string> fds = open_descriptors();
  for (int i = 0; i < 200 && fds != kStandardStreams; ++i) {
    usleep(10000);
    fds = open_descriptors();
  }
  char cwd[PATH_MAX] = {0};
  readlink((proc + "/cwd").c_str(), cwd, sizeof(cwd) - 1);
  const pid_t sid = getsid(pid);
  kill(pid, SIGKILL);
  runner.join();
  close(lock_fd);

  // Standard streams on /dev/null and nothing of the tool's (such as a held
  // lock file) inherited.
  EXPECT_EQ(fds, kStandardStreams);
  EXPECT_EQ(std::string(cwd), root_.root());
  EXPECT_EQ(sid, pid);
  EXPECT_EQ(result, -1);  // it was killed
}

TEST_F(RunProgramTest, NoCldWaitIsLiftedForTheCallAndRestored) {
  struct sigaction action = {};
  struct sigaction saved;
  action.sa_handler = SIG_DFL;
  action.sa_flags = SA_NOCLDWAIT;
  ASSERT_EQ(sigaction(SIGCHLD, &action, &saved), 0);
  const int result = RunShell("exit 5");
  struct sigaction after;
  sigaction(SIGCHLD, nullptr, &after);
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_EQ(result, 5);
  EXPECT_NE(after.sa_flags & SA_NOCLDWAIT, 0);
}

// The updater stand-in writes the word given in its script into the status
// file, as the real one does, and records its argument.
class RunUpdaterTest : public ::testing::Test {
 protected:
  void InstallUpdater(const std::string& body) {
    root_.WriteScript(paths::kUpdaterProgram,
                      "echo \"$1\" > " + root_.Host("/updater-arg") + "\n" + body);
  }
  std::string WriteStatus(const std::string& word) {
    return "printf 'status=\"" + word + "\"\\n' > " + root_.Host(paths::kEnableStatus) + "\n";
  }
  std::string Status() {
    ustring word;
    ReadServiceStatus(&word);
    return word.str();
  }

  TestRoot root_;
};

TEST_F(RunUpdaterTest, Outcomes) {
  struct Case {
    const char* word;
    int expected;
    const char* stored_after;
    const char* log;
  };
  const Case cases[] = {
      {"done", 0, "done", nullptr},
      {"upgradefail", -1, "upgradefail", "[WARNING] service-ctrl("},
      {"dbnewer", -1, "dbnewer", "): updater failed: (dbnewer)\n"},
      {"updating", -1, "error", "): incorrect updater status (updating)\n"},
      {"bogus", -1, "error", "): incorrect updater status (bogus)\n"},
  };
  for (const Case& c : cases) {
    InstallUpdater(WriteStatus(c.word));
    EXPECT_EQ(RunUpdater("/volume1"), c.expected) << c.word;
    EXPECT_EQ(Status(), c.stored_after) << c.word;
    EXPECT_EQ(root_.Read("/updater-arg"), "/volume1\n");
    if (c.log != nullptr) {
      EXPECT_TRUE(LogHas(root_, c.log)) << c.word;
    }
  }
  // An outcome that cannot be read leaves the status alone.
  InstallUpdater("printf 'garbage\\n' > " + root_.Host(paths::kEnableStatus) + "\n");
  EXPECT_EQ(RunUpdater("/volume1"), -1);
  EXPECT_EQ(root_.Read(paths::kEnableStatus), "garbage\n");
  EXPECT_TRUE(LogHas(root_, "): failed to get updater status, leave the status unchanged\n"));
  // No updater at all.
  root_.Remove(paths::kUpdaterProgram);
  root_.Write(paths::kEnableStatus, "status=\"initializing\"\n");
  EXPECT_EQ(RunUpdater("/volume1"), -1);
  EXPECT_EQ(Status(), "error");
  EXPECT_TRUE(LogHas(root_, "): failed to upgrade database\n"));
}

}  // namespace
