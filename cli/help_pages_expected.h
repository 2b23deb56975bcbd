// The tool's help pages as a user must see them, byte for byte.  Written out
// here rather than taken from the grammar, so that a change to the grammar
// shows up in the tests of the parser and of the built programs alike.
#ifndef DRIFT_CLI_HELP_PAGES_EXPECTED_H_
#define DRIFT_CLI_HELP_PAGES_EXPECTED_H_

namespace expected_help {

inline constexpr char kGlobal[] =
    "\n"
    "Usage: drift-control [-h, --help] \n"
    "Control the Drift Vault package\n"
    "\n"
    "Required arguments: \n"
    "\n"
    "Optional arguments: \n"
    "    -h, --help\tShow this help message\n"
    "\n"
    "\n";

inline constexpr char kService[] =
    "\n"
    "Usage: drift-control service [--start] [--stop] [--status] [--collect-user-data] "
    "[-h, --help] \n"
    "Control Drift Vault service.\n"
    "\n"
    "Required arguments: \n"
    "\n"
    "Optional arguments: \n"
    "    --start\t\n"
    "    --stop\t\n"
    "    --status\t\n"
    "    --collect-user-data\t\n"
    "    -h, --help\tShow this help message\n"
    "\n"
    "\n";

inline constexpr char kDiagnose[] =
    "\n"
    "Usage: drift-control diagnose [--output-stdout] [--create-archive] [-h, --help] \n"
    "\n"
    "Required arguments: \n"
    "\n"
    "Optional arguments: \n"
    "    --output-stdout\t\n"
    "    --create-archive\t\n"
    "    -h, --help\tShow this help message\n"
    "\n"
    "\n";

inline constexpr char kCleanup[] =
    "\n"
    "Usage: drift-control cleanup [-h, --help] \n"
    "\n"
    "Required arguments: \n"
    "\n"
    "Optional arguments: \n"
    "    -h, --help\tShow this help message\n"
    "\n"
    "\n";

}  // namespace expected_help

#endif  // DRIFT_CLI_HELP_PAGES_EXPECTED_H_
