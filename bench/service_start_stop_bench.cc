// Wall time of `drift-control service --start` and `service --stop` with the
// package's own daemons, in one sandbox appliance made once with
// scripts/make-sandbox.sh on a port nothing listens on.
//
// Every iteration starts the service with the installing account "alice"
// and stops it again; both runs are timed from the spawn of the tool to its
// exit.  The start waits one second between launching the cache daemon and
// its first clients, so start_minus_pause_s is what the rest of the start
// costs.  Counters (means over the iterations):
//   start_s              the whole start
//   start_minus_pause_s  the start less that one-second pause
//   stop_s               the stop
//   first_start_s        the very first start of the sandbox (it creates
//                        the databases and adds the account), run once
//                        before the timed iterations and not part of them
// The manual time of an iteration is its start plus its stop.
//
// Before each start nothing of the sandbox may run (anything left is
// killed); at the end every process whose executable lies in the sandbox is
// killed and the sandbox is removed.
//
//   service_start_stop_bench [--benchmark_...]
//   DRIFT_BENCH_ITERATIONS=N   iterations (default 5)
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "bench/bench_support.h"

namespace {

using bench::ReadFile;
using bench::Sandbox;

// The pause the start takes after launching the cache daemon.
constexpr double kStartPauseSeconds = 1.0;
const char kAccount[] = "alice";
// The pid file of each daemon the start launches.
const char* const kPidFiles[] = {
    "/var/run/drift-cached.pid",  "/var/run/drift-authd.pid",    "/var/run/drift-cleand.pid",
    "/var/run/drift-clientd.pid", "/var/run/tarnsyncfolder.pid",
};

// The sandbox appliance shared by all iterations, made on first use.
class Appliance {
 public:
  // Lays out the sandbox; false with *err when that fails.
  bool Make(std::string* err) { return sandbox_.Make("drift-startbench-", err); }

  // Kills what runs in the sandbox and removes it.
  void Remove() { sandbox_.Remove(); }

  const std::string& root() const { return sandbox_.root(); }
  int port() const { return sandbox_.port(); }

  // Runs the sandbox's drift-control with `args`; *seconds gets its wall
  // time.  An empty account runs it without TARNPKG_USERNAME.
  int Tool(const std::string& arg1, const std::string& arg2, const std::string& account,
           double* seconds) const {
    // A new file each time: daemons of an earlier start may still hold the
    // old one open and write into it.
    unlink(sandbox_.log().c_str());
    return bench::Run({sandbox_.Host(Sandbox::kToolPath), arg1, arg2},
                      {{"DRIFT_ROOT", root()}, {"TARNPKG_USERNAME", account}}, sandbox_.log(),
                      seconds);
  }

  // What the last run of the tool printed.
  std::string Output() const { return ReadFile(sandbox_.log()); }

  std::string StatusWord() const { return sandbox_.StatusWord(); }

  // An empty text when every daemon runs under its pid file, else which not.
  std::string MissingDaemons() const {
    std::string missing;
    for (const char* pid_file : kPidFiles) {
      if (!bench::Running(static_cast<pid_t>(atoi(ReadFile(sandbox_.Host(pid_file)).c_str())))) {
        missing += std::string(missing.empty() ? "" : ", ") + pid_file;
      }
    }
    return missing;
  }

  // One start and one stop, each checked; false with *err when either did
  // not do its job.
  bool Cycle(double* start_seconds, double* stop_seconds, std::string* err) const {
    const size_t stray = bench::KillSandboxProcesses(root());
    if (stray != 0) {
      *err = std::to_string(stray) + " process(es) of the sandbox ran before the start";
      return false;
    }
    int status = Tool("service", "--start", kAccount, start_seconds);
    std::string out = Output();
    if (status != 0 || !out.empty() || StatusWord() != "enabled") {
      *err = "start: exit " + std::to_string(status) + ", status word '" + StatusWord() +
             "', output '" + out + "'";
      return false;
    }
    const std::string missing = MissingDaemons();
    if (!missing.empty()) {
      *err = "start: not running: " + missing;
      return false;
    }
    status = Tool("service", "--stop", "", stop_seconds);
    out = Output();
    if (status != 0 || !out.empty() || StatusWord() != "disabled") {
      *err = "stop: exit " + std::to_string(status) + ", status word '" + StatusWord() +
             "', output '" + out + "'";
      return false;
    }
    const size_t left = bench::ProcessesBelow(root()).size();
    if (left != 0) {
      *err = "stop left " + std::to_string(left) + " process(es) running";
      return false;
    }
    return true;
  }

 private:
  Sandbox sandbox_;  // its log gets standard output and error of the last run
};

Appliance* g_appliance = nullptr;
bool g_ready = false;
std::string g_error;
double g_first_start = 0;

// Makes the sandbox and runs its first start and stop, once.
void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  g_appliance = new Appliance;
  if (!g_appliance->Make(&g_error)) return;
  double stop = 0;
  if (!g_appliance->Cycle(&g_first_start, &stop, &g_error)) {
    g_error = "first cycle: " + g_error;
    return;
  }
  fprintf(stderr, "sandbox %s, port %d; first start %.3f s, first stop %.3f s\n",
          g_appliance->root().c_str(), g_appliance->port(), g_first_start, stop);
  g_ready = true;
}

void BM_ServiceStartStop(benchmark::State& state) {
  Prepare();
  if (!g_ready) {
    state.SkipWithError(g_error.c_str());
    return;
  }
  double start_total = 0, stop_total = 0;
  for (auto _ : state) {
    double start = 0, stop = 0;
    std::string err;
    if (!g_appliance->Cycle(&start, &stop, &err)) {
      g_error = err;
      state.SkipWithError(g_error.c_str());
      break;
    }
    start_total += start;
    stop_total += stop;
    state.SetIterationTime(start + stop);
    fprintf(stderr, "  start %.3f s (less the pause %.3f s), stop %.3f s\n", start,
            start - kStartPauseSeconds, stop);
  }
  const double n = static_cast<double>(state.iterations());
  if (n > 0) {
    state.counters["start_s"] = start_total / n;
    state.counters["start_minus_pause_s"] = start_total / n - kStartPauseSeconds;
    state.counters["stop_s"] = stop_total / n;
    state.counters["first_start_s"] = g_first_start;
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RegisterBenchmark("BM_ServiceStartStop", BM_ServiceStartStop)
      ->Iterations(bench::IterationsFromEnvironment(5))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  int rc = 0;
  if (g_appliance != nullptr) {
    if (!g_error.empty()) rc = 1;
    g_appliance->Remove();
    delete g_appliance;
  }
  return rc;
}
