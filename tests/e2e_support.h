// Helpers of the end-to-end tests: run a built program as a process and
// capture what it printed, and set up a sandbox appliance root.
#ifndef DRIFT_TESTS_E2E_SUPPORT_H_
#define DRIFT_TESTS_E2E_SUPPORT_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "base/test_port.h"

namespace e2e {

struct RunResult {
  int exit_status = -1;  // the exit code, or 128 + signal number when killed
  std::string out;       // everything written to standard output
  std::string err;       // everything written to standard error
};

// The current environment with `env` laid over it (an empty value removes
// the variable), as "KEY=VALUE" texts for execve.
std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& env);

// Runs argv[0] (a path) with the arguments, with the current environment
// plus `env` (an empty value removes the variable), feeding `input` on
// standard input, and waits for it.  Fails the current test (and returns
// exit_status -1) when the program cannot be started or runs longer than
// `timeout_seconds`, in which case it is killed.
RunResult Run(const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& env = {}, const std::string& input = "",
              int timeout_seconds = 60);

// True while `pid` (> 1) runs: alive and not a zombie.  (The pid 1 of some
// containers never reaps orphans, so a zombie must count as gone.)
bool Running(pid_t pid);

// Waits up to `ms` milliseconds for `pid` to be gone; true when it is.
bool WaitGone(pid_t pid, int ms = 5000);

// The host path of the program `pid` runs ("" when unknown).
std::string ExecutableOf(pid_t pid);

// The running processes whose executable lies below the folder `root`: the
// programs of a sandbox, found by what they are rather than by pid files,
// which may name a pid the system has since given to another process.
std::vector<pid_t> ProcessesBelow(const std::string& root);

// Waits up to `ms` milliseconds for the processes below `root` to be exactly
// `expected` (none by default) and returns the ones found last.  For checks
// right after a stop: a daemon removes its pid file as its last act, and the
// stop takes it for ended from then on, while its process may still take a
// moment to go (longer under the sanitizers' exit-time checks).
std::vector<pid_t> SettledProcessesBelow(const std::string& root, std::vector<pid_t> expected = {},
                                         int ms = 10000);

// SIGKILLs the processes below `root` and waits until they are gone.
void KillProcessesBelow(const std::string& root);

// A TCP port nothing listens on right now (0 when none could be found).
using test_support::FreePort;

// The source and build folders of this build.
std::string SourceDir();
std::string BinaryDir();

// Path of the built drift-control program (bin/drift-control), and of the
// complete program it hands the commands that need JSON to.
std::string ToolPath();
std::string FullToolPath();

// A fresh sandbox appliance (scripts/make-sandbox.sh) in a new temporary
// folder, removed again with everything in it when the object goes.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Removing the sandbox first kills every process whose executable lies in
  // it.

  // The root folder (the value of DRIFT_ROOT).
  const std::string& root() const { return root_; }
  // Host path of an appliance path inside this sandbox.
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }

  // Runs the installed drift-control of the sandbox with DRIFT_ROOT set.
  RunResult Tool(const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}) const;

  // Small file helpers on appliance paths.
  std::string Read(const std::string& appliance_path) const;
  void Write(const std::string& appliance_path, const std::string& content) const;
  bool Exists(const std::string& appliance_path) const;

 private:
  std::string root_;
};

}  // namespace e2e

#endif  // DRIFT_TESTS_E2E_SUPPORT_H_
