// The commands that need JSON, handed to the complete program
// (bin/drift-control; see commands.h).  The complete program replaces this
// one in the same process: same pid, arguments, environment and open files,
// so the caller cannot tell the difference.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "base/appliance_paths.h"
#include "cli/commands.h"
#include "cli/logger.h"

namespace {

// Returns only when the complete program cannot be run.
int HandOver(char** argv) {
  const std::string program = paths::CompleteToolPath();
  if (!program.empty()) execv(program.c_str(), argv);
  const int error = program.empty() ? ENOENT : errno;
  // The package is damaged; say so where an administrator will look.
  fprintf(stderr, "drift-control: cannot run %s: %s\n",
          program.empty() ? paths::kCompleteTool : program.c_str(), strerror(error));
  Logger::Log(3, "drift_control", "[ERROR] drift-control(%d): cannot run %s: %s\n", __LINE__,
              program.c_str(), strerror(error));
  return -1;
}

}  // namespace

int StartCommand(char** argv) { return HandOver(argv); }

int CollectUserDataCommand(char** argv) { return HandOver(argv); }

int CleanUpCommand(char** argv) { return HandOver(argv); }
