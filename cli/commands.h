// The handlers of the three command words.  Each takes the parse result of
// the command line and returns 0 or a negative value; the entry point does
// not use the result (the exit status is 0 whatever a handler returns).
//
// drift-control is built as two programs from these handlers.  The one the
// package framework calls, bin/drift-control, answers the frequent commands
// (status, stop, diagnose, help) itself and is linked without jsoncpp, so
// that it needs no shared C++ runtime and starts about as fast as `cat`.
// The commands whose work builds or reads JSON (start, collect-user-data,
// cleanup) are answered by libexec/drift-control-full, which holds every
// command; bin/drift-control hands them over by executing it in its own
// place.  Which of the two a program does is decided at link time: it links
// either json_commands.cc or json_commands_handover.cc.
#ifndef DRIFT_CLI_COMMANDS_H_
#define DRIFT_CLI_COMMANDS_H_

#include "cli/argument_parser.h"

// drift-control diagnose --output-stdout | --create-archive PATH
int DiagnoseCommand(const ParsedArguments& parsed);

// drift-control service --start | --stop | --status | --collect-user-data
// (`argv` is the program's own, for a handover).
int ServiceCommand(const ParsedArguments& parsed, char** argv);

// The commands that need JSON (json_commands.cc, or json_commands_handover.cc).
int StartCommand(char** argv);
int CollectUserDataCommand(char** argv);
// drift-control cleanup
int CleanUpCommand(char** argv);

#endif  // DRIFT_CLI_COMMANDS_H_
