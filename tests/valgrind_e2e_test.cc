// Every command of drift-control run once under valgrind's memcheck in a
// sandbox appliance, through the package's whole life: help pages, a
// command-line error, status, a start with an installing account, user
// statistics, both forms of the diagnostic archive, stop and clean-up.  Any
// memory error, or a definite or indirect leak, fails the command.  The
// commands that bin/drift-control hands to libexec/drift-control-full are
// followed into it; the daemons, the updater and zip run natively.  Skipped in the sanitized build,
// where AddressSanitizer already watches every run, and where valgrind is missing.
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"
#include "tests/fault_support.h"

namespace {

const char kValgrind[] = "/usr/bin/valgrind";
// The exit status valgrind gives a program in which it found an error.
const int kErrorExit = 99;
// Follow the tool into the complete program it hands commands to, and no
// further: what it launches is not under test here.
const char kFollowTheTool[] = "--trace-children=yes";
const char kButNotWhatItLaunches[] =
    "--trace-children-skip=*/sbin/*,*/bin/updater-svr,*/bin/zip,/bin/*,/usr/bin/*";

struct Step {
  const char* name;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;
  int exit_status;
};

TEST(ValgrindE2eTest, EveryCommandIsCleanUnderMemcheck) {
#ifdef DRIFT_SANITIZED_BUILD
  GTEST_SKIP() << "sanitized build: AddressSanitizer already checks every run";
#endif
  if (access(kValgrind, X_OK) != 0) {
    GTEST_SKIP() << kValgrind << " is not installed";
  }
  e2e::Sandbox box;
  ASSERT_FALSE(box.root().empty());
  const int port = fault::FreePort();
  ASSERT_GT(port, 0);
  box.Write("/var/packages/DriftVault/etc/setting.conf",
            "dfvt_port=\"" + std::to_string(port) + "\"\n");
  const std::string tool = box.root() + "/var/packages/DriftVault/target/bin/drift-control";

  const Step steps[] = {
      {"global help", {}, {}, 0},
      {"help of a command", {"service", "-h"}, {}, 0},
      {"command-line error", {"service", "start"}, {}, 255},
      {"status, stopped", {"service", "--status"}, {}, 0},
      {"start with an account", {"service", "--start"}, {{"TARNPKG_USERNAME", "alice"}}, 0},
      {"status, running", {"service", "--status"}, {}, 0},
      {"user statistics", {"service", "--collect-user-data"}, {}, 0},
      {"archive on standard output", {"diagnose", "--output-stdout"}, {}, 0},
      {"archive folder", {"diagnose", "--create-archive", "/root/diagnosis"}, {}, 0},
      {"stop", {"service", "--stop"}, {}, 0},
      {"clean-up", {"cleanup"}, {}, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    std::vector<std::string> argv = {kValgrind,
                                     "--quiet",
                                     "--leak-check=full",
                                     "--errors-for-leak-kinds=definite,indirect",
                                     "--error-exitcode=" + std::to_string(kErrorExit),
                                     kFollowTheTool,
                                     kButNotWhatItLaunches,
                                     tool};
    argv.insert(argv.end(), step.args.begin(), step.args.end());
    std::map<std::string, std::string> env = step.env;
    env["DRIFT_ROOT"] = box.root();
    e2e::RunResult r = e2e::Run(argv, env, "", 300);
    EXPECT_EQ(r.exit_status, step.exit_status) << r.err;
    EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;
  }
  // The handed-over commands really ran under memcheck: valgrind names the
  // complete program as the command of the traced process.
  const std::string log = box.Host("/valgrind.log");
  e2e::RunResult r = e2e::Run({kValgrind, "--log-file=" + log, kFollowTheTool,
                               kButNotWhatItLaunches, tool, "service", "--collect-user-data"},
                              {{"DRIFT_ROOT", box.root()}}, "", 300);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(box.Read("/valgrind.log")
                .find("Command: " + box.root() +
                      "/var/packages/DriftVault/target/libexec/"
                      "drift-control-full service --collect-user-data"),
            std::string::npos)
      << box.Read("/valgrind.log");

  // The run did what it should: the service ran and is down again.
  EXPECT_EQ(box.Tool({"service", "--status"}).out, "disabled");
  EXPECT_TRUE(box.Exists("/root/diagnosis"));
  EXPECT_FALSE(box.Exists("/volume1/@driftvault"));
  EXPECT_EQ(fault::SettledProcessesBelow(box.root()), std::vector<pid_t>{});
  fault::KillProcessesBelow(box.root());
}

}  // namespace
