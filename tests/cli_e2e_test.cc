// The command line of drift-control as a user meets it: the built program is
// run as a process and its exact output and exit status are checked.  The
// complete program (libexec/drift-control-full) parses the same command line
// and must answer it byte for byte the same, so every case runs on both.
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/help_pages_expected.h"
#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

using expected_help::kCleanup;
using expected_help::kDiagnose;
using expected_help::kGlobal;
using expected_help::kService;

struct Case {
  std::vector<std::string> args;
  int exit_status;
  std::string out;
  std::string err;
};

// Each case runs against an empty root, so that no command can touch the
// host's files even if a handler misbehaves.
class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/drift-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override { e2e::Run({"/bin/rm", "-rf", root_}); }

  e2e::RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(argv, {{"DRIFT_ROOT", root_}});
  }

  void Check(const std::vector<Case>& cases) {
    for (const std::string& program : {e2e::ToolPath(), e2e::FullToolPath()}) {
      for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += " " + a;
        SCOPED_TRACE(program + line);
        e2e::RunResult r = Run(program, c.args);
        EXPECT_EQ(r.exit_status, c.exit_status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
      }
    }
  }

  std::string root_;
};

TEST_F(CommandLineTest, HelpPages) {
  Check({
      {{}, 0, kGlobal, ""},
      {{"-h"}, 0, kGlobal, ""},
      {{"--help"}, 0, kGlobal, ""},
      // "help" is no command word: a global remainder, so the global help.
      {{"help"}, 0, kGlobal, ""},
      {{"bogus", "words"}, 0, kGlobal, ""},
      // The help option swallows the bare words after it: no command selected.
      {{"--help", "service"}, 0, kGlobal, ""},
      {{"service", "-h"}, 0, kService, ""},
      {{"service", "--help"}, 0, kService, ""},
      {{"service", "--status", "-h"}, 0, kService, ""},
      {{"diagnose", "-h"}, 0, kDiagnose, ""},
      {{"cleanup", "--help"}, 0, kCleanup, ""},
      // The help key is stored before the bad option fails the parse.
      {{"service", "-h", "--bogus"}, 0, kService, ""},
  });
}

TEST_F(CommandLineTest, ErrorsGoToStandardErrorWithStatus255) {
  Check({
      // The parser's message ends with a line end, the entry point adds one.
      {{"--bogus"}, 255, "", "Argument '--bogus': '--bogus' is not a valid argument\n\n"},
      {{"-hx"}, 255, "", "Argument '-hx': '-hx' is not a valid argument\n\n"},
      // Here the bad option comes first, before -h could be seen.
      {{"service", "--bogus", "-h"},
       255,
       "",
       "Argument '--bogus': '--bogus' is not a valid argument\n\n"},
      {{"service", "start"}, 255, "", "Global: Expect 0 remainders, but threre are 1\n"},
      {{"cleanup", "now"}, 255, "", "Global: Expect 0 remainders, but threre are 1\n"},
      {{"diagnose", "--create-archive=x"},
       255,
       "",
       "Argument 'create-archive': Expect 0 arguments, but threre are 1\n"},
      {{"service", "--stop", "--stop"}, 255, "", "Argument 'stop': Expect 0 argument(s)\n\n"},
      {{"diagnose", "x", "--output-stdout"},
       255,
       "",
       "Global: '--output-stdout' is not a valid positional argument\n"},
  });
}

TEST_F(CommandLineTest, CommandsThatDoNothingPrintNothing) {
  Check({
      {{"service"}, 0, "", ""},
      // Extra word: one remainder, so the archive is not written.
      {{"diagnose", "--output-stdout", "extra"}, 0, "", ""},
      {{"diagnose", "--create-archive"}, 0, "", ""},
      {{"diagnose", "--create-archive", "a", "b"}, 0, "", ""},
      {{"diagnose"}, 0, "", ""},
      // "-" and "--" are bare words.
      {{"diagnose", "-", "--"}, 0, "", ""},
  });
}

}  // namespace
