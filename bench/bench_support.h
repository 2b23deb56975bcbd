// What the benchmarks that drive the built programs share: spawning a program
// and waiting for it with a time limit, a free TCP port, and a sandbox
// appliance laid out by scripts/make-sandbox.sh whose processes are killed
// and whose folder is removed at the end.
#ifndef DRIFT_BENCH_BENCH_SUPPORT_H_
#define DRIFT_BENCH_BENCH_SUPPORT_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "base/test_port.h"

namespace bench {

// A run of a program that takes longer than this is taken as hung.
constexpr int kRunTimeoutSeconds = 120;

// The iteration count of a benchmark: $DRIFT_BENCH_ITERATIONS when it is a
// positive number, else `default_count`.
int IterationsFromEnvironment(int default_count);

// Seconds on the monotonic clock.
double Now();

// The median of `values` (0 when empty).
double Median(std::vector<double> values);

// The peak resident set of this process (ru_maxrss), KiB.
long PeakRssKiB();

// The 1, 5 and 15 minute load averages as "a b c".
std::string LoadAverage();

// A benchmark program's whole main: the registered benchmarks run between
// two printed load readings, so that a figure can be judged by the load it
// was taken under.
int RunBenchmarksBetweenLoadReadings(int argc, char** argv);

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// A TCP port that nothing listens on right now (the kernel's choice); 0 when
// none could be had.
using test_support::FreePort;

// Waits for `pid` to end, at most `timeout_seconds`; kills it when it does
// not.  Returns the exit code, 128 + signal when it was killed by one, or -1
// on a timeout or failure to wait.
int WaitWithTimeout(pid_t pid, int timeout_seconds);

// A program with its arguments and environment prepared once, so that it can
// be run many times with nothing but the spawn and the wait in between.
class Command {
 public:
  // args[0] is the path of the program.  The environment is the current one
  // with `extra` set (an empty value removes the variable).
  Command(std::vector<std::string> args, const std::map<std::string, std::string>& extra);
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Runs the program with standard input from /dev/null and standard output
  // and error into `output_file` (created or truncated), and waits for it.
  // Not a pipe: daemons the program launches may keep the descriptors open
  // long after it has ended.  Returns the exit status as WaitWithTimeout
  // does, -1 when it cannot be spawned; *seconds (when given) gets the wall
  // time from the spawn to the end.
  int Run(const std::string& output_file, double* seconds = nullptr) const;

  const std::string& program() const { return args_[0]; }

 private:
  std::vector<std::string> args_;
  std::vector<std::string> env_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
};

// Runs `args` once as Command::Run does.
int Run(std::vector<std::string> args, const std::map<std::string, std::string>& extra,
        const std::string& output_file, double* seconds = nullptr);

// Pids of the running processes whose executable lies below `root`.
std::vector<pid_t> ProcessesBelow(const std::string& root);

// Kills every process of the sandbox and waits (a few seconds at most) until
// none is left.  Returns how many were found running.
size_t KillSandboxProcesses(const std::string& root);

// True while `pid` names a process that has not ended (a zombie has).
bool Running(pid_t pid);

// A sandbox appliance in a fresh folder below $TMPDIR (else /tmp), laid out
// by scripts/make-sandbox.sh with the programs of this build and a service
// port nothing listens on.
class Sandbox {
 public:
  // The installed tool and the status file, as appliance paths.
  static const char kToolPath[];
  static const char kFullToolPath[];
  static const char kStatusFile[];

  // Lays out the sandbox in a folder named `name_prefix` + a random suffix;
  // false with *err when that fails.
  bool Make(const std::string& name_prefix, std::string* err);

  // Kills what runs in the sandbox and removes it; nothing when it was not
  // made or is already removed.
  void Remove();

  const std::string& root() const { return root_; }
  int port() const { return port_; }
  // A file beside the sandbox for the output of the programs it runs.
  const std::string& log() const { return log_; }

  // The path on this host of the appliance path `path`.
  std::string Host(const std::string& path) const { return root_ + path; }

  // The word of status="..." in the status file; empty when there is none.
  std::string StatusWord() const;

 private:
  std::string root_;
  std::string log_;
  int port_ = 0;
};

}  // namespace bench

#endif  // DRIFT_BENCH_BENCH_SUPPORT_H_
