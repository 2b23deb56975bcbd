// The tool's help pages as a user must see them, byte for byte; written out
// rather than taken from the grammar, so that a change to it shows up.
#ifndef DRIFT_CLI_HELP_PAGES_EXPECTED_H_
#define DRIFT_CLI_HELP_PAGES_EXPECTED_H_

namespace expected_help {

inline constexpr char kGlobal[] =
    "\nUsage: drift-control [-h, --help] \nControl the Drift Vault package\n\n"
    "Required arguments: \n\nOptional arguments: \n    -h, --help\tShow this help message\n\n\n";

inline constexpr char kService[] =
    "\nUsage: drift-control service [--start] [--stop] [--status] [--collect-user-data] "
    "[-h, --help] \nControl Drift Vault service.\n\nRequired arguments: \n\n"
    "Optional arguments: \n    --start\t\n    --stop\t\n    --status\t\n"
    "    --collect-user-data\t\n    -h, --help\tShow this help message\n\n\n";

inline constexpr char kDiagnose[] =
    "\nUsage: drift-control diagnose [--output-stdout] [--create-archive] [-h, --help] \n\n"
    "Required arguments: \n\nOptional arguments: \n    --output-stdout\t\n"
    "    --create-archive\t\n    -h, --help\tShow this help message\n\n\n";

inline constexpr char kCleanup[] =
    "\nUsage: drift-control cleanup [-h, --help] \n\nRequired arguments: \n\n"
    "Optional arguments: \n    -h, --help\tShow this help message\n\n\n";

}  // namespace expected_help

#endif  // DRIFT_CLI_HELP_PAGES_EXPECTED_H_
