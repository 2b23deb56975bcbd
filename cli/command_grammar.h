// The command-line grammar of drift-control.
#ifndef DRIFT_CLI_COMMAND_GRAMMAR_H_
#define DRIFT_CLI_COMMAND_GRAMMAR_H_

#include "cli/argument_parser.h"

// Declares on `parser` the program name, its description and the commands
//   diagnose [--output-stdout] [--create-archive] [PATH...]
//   service  [--start] [--stop] [--status] [--collect-user-data]   (no bare words)
//   cleanup                                                         (no bare words)
// Every option is a flag (no value) under the key of its long name; each scope
// also has the built-in -h/--help.
void DeclareCommandLine(ArgumentParser* parser);

#endif  // DRIFT_CLI_COMMAND_GRAMMAR_H_
