// Stopping daemons by their pid files and running the package's programs.
// A whole stop and start, with daemons that ignore SIGTERM, pid files naming
// init and the updater's own words, are tested end to end; whether a pid
// file's process lives is tested through the status word it backs.
#include "service/daemon_control.h"

#include "platform/platform_lib.h"
#include "service/service_test_util.h"

namespace {

using service_test::ChildProcess;
using service_test::GonePid;
using service_test::LogHas;
using service_test::TestRoot;

const char kPidFile[] = "/var/run/test-daemon.pid";

TEST(StopDaemonByPidFileTest, PidFiles) {
  const struct {
    const char* what;
    std::string content;  // "live": the pid of a child that ends on SIGTERM; null: no file
    int wait;
    int result;
    bool kept;
    const char* log;
  } cases[] = {
      // Ended on SIGTERM and waited for: as a zombie (this test does not reap
      // it while the stop polls) it counts as gone.
      {"ends on TERM", "live", 5, 0, false, nullptr},
      {"wait zero only signals", "live", 0, 0, true, nullptr},
      {"already gone", std::to_string(GonePid()) + "\n", 10, 0, false, nullptr},
      {"missing", "", 10, 0, false, "' does not exist, assuming daemon is not running\n"},
      {"garbage", "not a pid\n", 1, -1, true, "): Failed to read '"},
      {"pid one", "1\n", 1, -1, true, "): Failed to read '"},
      {"negative", "-1\n", 1, -1, true, "): Failed to read '"},
      {"this process", std::to_string(getpid()) + "\n", 1, -1, true, "): Failed to read '"},
      {"this group", std::to_string(getpgrp()) + "\n", 1, -1, true, "): Failed to read '"},
      {"beyond the pid range", "99999999999\n", 1, -1, true, "): Failed to read '"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestRoot root;
    ChildProcess daemon;
    if (!c.content.empty()) {
      root.Write(kPidFile, c.content == "live" ? std::to_string(daemon.pid()) + "\n" : c.content);
    }
    EXPECT_EQ(StopDaemonByPidFile(kPidFile, c.wait), c.result);
    EXPECT_EQ(root.Exists(kPidFile), c.kept);
    if (c.content == "live") {
      EXPECT_EQ(daemon.Wait(), SIGTERM);
    }
    EXPECT_EQ(c.log != nullptr, LogHas(root, c.log != nullptr ? c.log : "service-ctrl("));
    if (c.result != 0) {
      EXPECT_EQ(IsPidFileProcessAlive(kPidFile), 0);
    }
  }
}

// RunProgram runs appliance paths: "/bin/shell" inside the test root is a
// link to the host's shell, so that argument zero as the program sees it can
// be checked.
class RunProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/bin");
    ASSERT_EQ(symlink("/bin/sh", root_.Host("/bin/shell").c_str()), 0);
  }
  int RunShell(const std::string& command) {
    return RunProgram(3, "/bin/shell", "-c", command.c_str());
  }

  TestRoot root_;
};

TEST_F(RunProgramTest, ExitStatusesAndArgumentLists) {
  for (int code : {0, 7, 254}) EXPECT_EQ(RunShell("exit " + std::to_string(code)), code);
  EXPECT_EQ(RunProgram(2, "/bin/no-such-program", "arg"), 255);
  // A signalled child: -1 and the launch error.
  TLIBCErrSetEx(TLIB_ERR_NONE, __FILE__, __LINE__);
  EXPECT_EQ(RunShell("kill -9 $$"), -1);
  EXPECT_EQ(TLIBCErrGet(), 0x2A00);
  // The vector form, and a null that ends the list early.
  EXPECT_EQ(RunProgramArgv({"/bin/shell", "-c", "exit $#", "zero", "a", "b"}), 2);
  EXPECT_EQ(RunProgram(5, "/bin/shell", "-c", "exit $#", nullptr, "never"), 0);
  EXPECT_EQ(RunProgramArgv({}), -1);
  // SA_NOCLDWAIT is lifted for the call (else no status could be had) and
  // put back.
  struct sigaction action = {}, saved, after;
  action.sa_flags = SA_NOCLDWAIT;
  ASSERT_EQ(sigaction(SIGCHLD, &action, &saved), 0);
  const int result = RunShell("exit 5");
  sigaction(SIGCHLD, &saved, &after);
  EXPECT_EQ(result, 5);
  EXPECT_NE(after.sa_flags & SA_NOCLDWAIT, 0);
}

}  // namespace
