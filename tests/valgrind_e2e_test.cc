// Every command of drift-control once under valgrind's memcheck, through the
// package's whole life in a sandbox; any memory error, or a definite or
// indirect leak, fails the command.  The tool is followed into the complete
// program it hands commands to, no further.  Skipped in the sanitized build
// (AddressSanitizer watches every run there) and where valgrind is missing.
#include <unistd.h>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

const char kValgrind[] = "/usr/bin/valgrind";
const std::vector<std::string> kFollowTheToolOnly = {
    "--trace-children=yes",
    "--trace-children-skip=*/sbin/*,*/bin/updater-svr,*/bin/zip,/bin/*,/usr/bin/*"};

class ValgrindE2eTest : public ServiceTest {};

TEST_F(ValgrindE2eTest, EveryCommandIsCleanUnderMemcheck) {
#ifdef DRIFT_SANITIZED_BUILD
  GTEST_SKIP() << "sanitized build: AddressSanitizer already checks every run";
#endif
  if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << kValgrind << " is not installed";
  const struct {
    std::vector<std::string> args;
    int exit_status;
  } steps[] = {
      {{}, 0},
      {{"service", "-h"}, 0},
      {{"service", "start"}, 255},
      {{"service", "--status"}, 0},
      {{"service", "--start"}, 0},  // with an installing account
      {{"service", "--status"}, 0},
      {{"service", "--collect-user-data"}, 0},
      {{"diagnose", "--output-stdout"}, 0},
      {{"diagnose", "--create-archive", "/root/diagnosis"}, 0},
      {{"service", "--stop"}, 0},
      {{"cleanup"}, 0},
  };
  // The exit status 99 says valgrind found an error.
  std::vector<std::string> memcheck = {kValgrind, "--quiet", "--leak-check=full",
                                       "--errors-for-leak-kinds=definite,indirect",
                                       "--error-exitcode=99"};
  memcheck.insert(memcheck.end(), kFollowTheToolOnly.begin(), kFollowTheToolOnly.end());
  memcheck.push_back(box_.ToolProgram());
  const std::map<std::string, std::string> env = {{"DRIFT_ROOT", box_.root()},
                                                  {"TARNPKG_USERNAME", "alice"}};
  for (const auto& step : steps) {
    std::vector<std::string> argv = memcheck;
    argv.insert(argv.end(), step.args.begin(), step.args.end());
    SCOPED_TRACE(argv.back());
    RunResult r = e2e::Run(argv, env, 300);
    EXPECT_EQ(r.exit_status, step.exit_status) << r.err;
    EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;
  }
  // The handed-over commands really ran under memcheck: valgrind names the
  // complete program as the command of the traced process.
  std::vector<std::string> argv = {kValgrind, "--log-file=" + box_.Host("/valgrind.log")};
  argv.insert(argv.end(), kFollowTheToolOnly.begin(), kFollowTheToolOnly.end());
  argv.insert(argv.end(), {box_.ToolProgram(), "service", "--collect-user-data"});
  EXPECT_EQ(e2e::Run(argv, env, 300).exit_status, 0);
  EXPECT_NE(box_.Read("/valgrind.log")
                .find("Command: " + box_.Host(kTarget) +
                      "/libexec/drift-control-full service --collect-user-data"),
            std::string::npos)
      << box_.Read("/valgrind.log");
  // The run did what it should: the service ran and is down again.
  EXPECT_EQ(box_.Status(), "disabled");
  EXPECT_TRUE(box_.Exists("/root/diagnosis"));
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
}

}  // namespace
}  // namespace e2e
