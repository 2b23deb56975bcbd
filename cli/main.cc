// drift-control: starts, stops and queries the package's service, prints
// per-user statistics, collects a diagnostic archive and cleans up.
// One command per process; the exit status is 255 for a command-line error
// and 0 otherwise.
#include <signal.h>

#include <iostream>

#include "base/appliance_paths.h"
#include "cli/argument_parser.h"
#include "cli/command_grammar.h"
#include "cli/commands.h"
#include "cli/logger.h"

int main(int argc, char** argv) {
  ArgumentParser parser;
  ParsedArguments parsed;

  // A reader that goes away (drift-control diagnose --output-stdout | head)
  // must make our writes fail, not kill us half-way through a command.
  signal(SIGPIPE, SIG_IGN);

  // Whatever Init answers, the command runs: the logger is only a witness.
  // (The logger maps the appliance path of the switch file itself.)
  Logger::Init(Logger::LOG_TYPE_SYSLOG, ustring(""), ustring(paths::kDebugSwitchFile), 50);

  DeclareCommandLine(&parser);

  if (parser.Parse(argc, argv, &parsed) < 0) {
    if (parsed.HasKey("help")) {
      parser.PrintHelp(parsed.CommandName(), std::cout);
      std::cout.flush();
      return 0;
    }
    std::cerr << parser.ErrorText() << std::endl;
    return 255;
  }

  const std::string& command = parsed.CommandName();
  if (parsed.HasKey("help") || command.empty()) {
    parser.PrintHelp(command, std::cout);
    std::cout.flush();
    return 0;
  }

  if (command == "diagnose") {
    DiagnoseCommand(parsed);
  } else if (command == "service") {
    ServiceCommand(parsed, argv);
  } else if (command == "cleanup") {
    CleanUpCommand(argv);
  }
  std::cout.flush();
  return 0;
}
