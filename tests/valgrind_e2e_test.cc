// Every command of drift-control once under valgrind's memcheck, through the
// package's whole life in a sandbox: any memory error (an uninitialised read
// too, which the sanitized build does not see), or a definite or indirect
// leak, fails the command.  The tool is followed into the complete program it
// hands commands to, no further.  Skipped in the sanitized build and where
// valgrind is missing.
#include <unistd.h>

#include <sstream>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

class ValgrindE2eTest : public ServiceTest {};

TEST_F(ValgrindE2eTest, EveryCommandIsCleanUnderMemcheck) {
#ifdef DRIFT_SANITIZED_BUILD
  GTEST_SKIP() << "sanitized build: AddressSanitizer already checks every run";
#endif
  const char kValgrind[] = "/usr/bin/valgrind";
  if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << kValgrind << " is not installed";
  // The start has an installing account; "service start" is a command-line
  // error (exit status 255).
  std::istringstream commands(
      ",service -h,service start,service --status,service --start,service --status,"
      "service --collect-user-data,diagnose --output-stdout,"
      "diagnose --create-archive /root/diagnosis,service --stop,cleanup");
  // The exit status 99 says valgrind found an error; each log names the
  // program it followed.
  std::vector<std::string> memcheck = {kValgrind, "--log-file=" + box_.Host("/valgrind.%p")};
  std::istringstream options(
      "--leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=99 "
      "--trace-children=yes "
      "--trace-children-skip=*/sbin/*,*/bin/updater-svr,*/bin/zip,/bin/*,/usr/bin/*");
  for (std::string option; options >> option;) memcheck.push_back(option);
  memcheck.push_back(box_.ToolProgram());
  const std::map<std::string, std::string> env = {{"DRIFT_ROOT", box_.root()},
                                                  {"TARNPKG_USERNAME", "alice"}};
  std::string followed;
  for (std::string command; std::getline(commands, command, ',');) {
    SCOPED_TRACE(command);
    std::vector<std::string> argv = memcheck;
    std::istringstream words(command);
    for (std::string word; words >> word;) argv.push_back(word);
    const int status = e2e::Run(argv, env, 300).exit_status;
    const std::string logs =
        e2e::Run({"/bin/sh", "-c", "cat \"$0\"/valgrind.* && rm \"$0\"/valgrind.*", box_.root()})
            .out;
    EXPECT_EQ(status, command == "service start" ? 255 : 0) << logs;
    followed += logs;
  }
  // The handed-over commands really ran under memcheck, and the run did what
  // it should: the service ran and is down again.
  EXPECT_NE(followed.find("Command: " + box_.Host(kTarget) +
                          "/libexec/drift-control-full service --collect-user-data"),
            std::string::npos);
  EXPECT_EQ(box_.Status(), "disabled");
  EXPECT_TRUE(box_.Exists("/root/diagnosis"));
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
}

}  // namespace
}  // namespace e2e
