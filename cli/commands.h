// The handlers of the three command words.  Each takes the parse result of
// the command line and returns 0 or a negative value; the entry point does
// not use the result (the exit status is 0 whatever a handler returns).
#ifndef DRIFT_CLI_COMMANDS_H_
#define DRIFT_CLI_COMMANDS_H_

#include "cli/argument_parser.h"

// drift-control diagnose --output-stdout | --create-archive PATH
int DiagnoseCommand(const ParsedArguments& parsed);

// drift-control service --start | --stop | --status | --collect-user-data
int ServiceCommand(const ParsedArguments& parsed);

// drift-control cleanup
int CleanUpCommand(const ParsedArguments& parsed);

#endif  // DRIFT_CLI_COMMANDS_H_
