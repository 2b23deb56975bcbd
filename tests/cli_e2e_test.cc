// The command line of drift-control as a user meets it: exact output and
// exit status of the built program.  The complete program
// (libexec/drift-control-full) parses the same command line and must answer
// it byte for byte the same, so every case runs on both, against an empty
// root, so that no command can touch the host's files.
#include <stdlib.h>

#include "cli/help_pages_expected.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using namespace expected_help;

TEST(CommandLineE2eTest, HelpErrorsAndCommandsThatDoNothing) {
  const std::string bad_bogus = "Argument '--bogus': '--bogus' is not a valid argument\n\n";
  const std::string remainder = "Global: Expect 0 remainders, but threre are 1\n";
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::string out, err;
  } cases[] = {
      {{}, 0, kGlobal, ""},
      {{"-h"}, 0, kGlobal, ""},
      {{"--help"}, 0, kGlobal, ""},
      {{"help"}, 0, kGlobal, ""},  // no command word: a global remainder
      {{"bogus", "words"}, 0, kGlobal, ""},
      {{"--help", "service"}, 0, kGlobal, ""},  // the help option swallows the words after it
      {{"service", "-h"}, 0, kService, ""},
      {{"service", "--help"}, 0, kService, ""},
      {{"service", "--status", "-h"}, 0, kService, ""},
      {{"diagnose", "-h"}, 0, kDiagnose, ""},
      {{"cleanup", "--help"}, 0, kCleanup, ""},
      {{"service", "-h", "--bogus"}, 0, kService, ""},  // help is stored before the parse fails
      // The parser's message ends with a line end, the entry point adds one.
      {{"--bogus"}, 255, "", bad_bogus},
      {{"-hx"}, 255, "", "Argument '-hx': '-hx' is not a valid argument\n\n"},
      {{"service", "--bogus", "-h"}, 255, "", bad_bogus},
      {{"service", "start"}, 255, "", remainder},
      {{"cleanup", "now"}, 255, "", remainder},
      {{"diagnose", "--create-archive=x"},
       255,
       "",
       "Argument 'create-archive': Expect 0 arguments, but threre are 1\n"},
      {{"service", "--stop", "--stop"}, 255, "", "Argument 'stop': Expect 0 argument(s)\n\n"},
      {{"diagnose", "x", "--output-stdout"},
       255,
       "",
       "Global: '--output-stdout' is not a valid positional argument\n"},
      {{"service"}, 0, "", ""},
      {{"diagnose", "--output-stdout", "extra"}, 0, "", ""},  // one remainder: no archive
      {{"diagnose", "--create-archive"}, 0, "", ""},
      {{"diagnose", "--create-archive", "a", "b"}, 0, "", ""},
      {{"diagnose"}, 0, "", ""},
      {{"diagnose", "-", "--"}, 0, "", ""},  // bare words
  };
  char tmpl[] = "/tmp/drift-cli-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  for (const std::string& program : {ToolPath(), FullToolPath()}) {
    for (const auto& c : cases) {
      std::vector<std::string> argv{program};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      std::string line;
      for (const auto& a : argv) line += " " + a;
      SCOPED_TRACE(line);
      RunResult r = e2e::Run(argv, {{"DRIFT_ROOT", tmpl}});
      EXPECT_EQ(r.exit_status, c.exit_status);
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(r.err, c.err);
    }
  }
  e2e::Run({"/bin/rm", "-rf", tmpl});
}

}  // namespace
}  // namespace e2e
