// Start-up cost of `drift-control service --status`, which the package
// framework runs very often: the wall time of one run, from the spawn to the
// exit, of
//   BM_CatStatusFile           /bin/cat of the status file, the floor;
//   BM_DriftControlStatus      the installed bin/drift-control (no jsoncpp,
//                              C++ runtime linked in);
//   BM_DriftControlFullStatus  the installed libexec/drift-control-full (all
//                              commands, jsoncpp and the shared C++ runtime),
//                              for comparison;
//   BM_Interleaved             one run of each of the three per iteration, so
//                              that load from other work on the machine
//                              falls on all three alike; its manual time is
//                              the three runs together.
// The goal is that bin/drift-control costs at most 1.5 times the `cat`.
//
// One sandbox appliance is made with scripts/make-sandbox.sh on a free port
// and the service is started there once with the installed tool, so that
// every run answers "enabled" after checking the live sync daemon.  Standard
// output of the timed runs goes to /dev/null; a run that does not exit 0
// ends its benchmark with an error.  Counters (per run):
//   mean_ms, median_ms     wall time of the runs
//   child_user_ms,         CPU time of the children per iteration, from
//   child_sys_ms           getrusage (RUSAGE_CHILDREN) before and after the
//                          loop (three runs in BM_Interleaved)
//   *_median_ms,           BM_Interleaved: median of each program's runs
//   status_over_cat,       and their ratios
//   full_over_cat
// A summary line with the means and the ratios to `cat` follows the table.
// At the end the service is stopped, anything still running below the
// sandbox is killed and the sandbox is removed.
//
//   status_startup_bench [--benchmark_...]
//   DRIFT_BENCH_ITERATIONS=N   runs per benchmark (default 2000)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

constexpr int kDefaultIterations = 2000;
constexpr double kGoalRatio = 1.5;
const char kAccount[] = "alice";

// The sandbox and the commands timed in it.
bench::Sandbox* g_sandbox = nullptr;

// One program timed, with what its runs measured (over every repetition).
struct Timed {
  std::unique_ptr<bench::Command> command;
  std::vector<double> seconds;
  std::string error;  // why its benchmark stopped, kept for SkipWithError
};
Timed g_cat;
Timed g_status;
Timed g_full;
// The runs of BM_Interleaved, kept apart from those of the single benchmarks.
Timed g_mixed_cat;
Timed g_mixed_status;
Timed g_mixed_full;
bool g_failed = false;

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

double Mean(const std::vector<double>& values) {
  if (values.empty()) return 0;
  return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  return values[mid];
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

double Milliseconds(const struct timeval& tv) {
  return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
}

struct ChildTimes {
  double user_ms = 0;
  double sys_ms = 0;
};

ChildTimes ChildCpu() {
  struct rusage usage = {};
  getrusage(RUSAGE_CHILDREN, &usage);
  return {Milliseconds(usage.ru_utime), Milliseconds(usage.ru_stime)};
}

// Runs `path service <arg>` in the sandbox into its log; the exit status,
// and in *output what it printed.
int Tool(const std::string& path, const char* arg, std::string* output) {
  // A new file each time: the daemons the start launched may still hold the
  // old one open and write into it.
  unlink(g_sandbox->log().c_str());
  const int status = bench::Run({g_sandbox->Host(path), "service", arg},
                                {{"DRIFT_ROOT", g_sandbox->root()}, {"TARNPKG_USERNAME", kAccount}},
                                g_sandbox->log());
  *output = bench::ReadFile(g_sandbox->log());
  return status;
}

// True when both programs answer exactly "enabled", else false with *err.
bool BothEnabled(std::string* err) {
  for (const char* path : {bench::Sandbox::kToolPath, bench::Sandbox::kFullToolPath}) {
    std::string out;
    const int status = Tool(path, "--status", &out);
    if (status != 0 || out != "enabled") {
      *err = std::string(path) + " service --status: exit " + std::to_string(status) +
             ", printed '" + out + "' instead of 'enabled'";
      return false;
    }
  }
  return true;
}

// Ends the benchmark with an error when the service does not answer
// "enabled" before or after its runs: they would time another path of the
// status command (their output is not read).  False when it ended it.  A
// benchmark that failed once fails in every later repetition too.
bool CheckStillEnabled(benchmark::State& state, Timed* timed) {
  if (timed->error.empty() && BothEnabled(&timed->error)) return true;
  g_failed = true;
  state.SkipWithError(timed->error.c_str());
  return false;
}

// Runs `timed` once into /dev/null; false (with the benchmark ended by an
// error) when the run failed or the user interrupted.
bool RunOnce(benchmark::State& state, Timed* timed, double* seconds) {
  if (g_interrupted) {
    timed->error = "interrupted";
  } else {
    const int status = timed->command->Run("/dev/null", seconds);
    if (status == 0) return true;
    timed->error = timed->command->program() + " exited with status " + std::to_string(status);
  }
  g_failed = true;
  state.SkipWithError(timed->error.c_str());
  return false;
}

// Sets child_user_ms and child_sys_ms: the CPU time the children took since
// `before`, per iteration.
void SetCpuCounters(benchmark::State& state, const ChildTimes& before, size_t iterations) {
  if (iterations == 0) return;
  const ChildTimes after = ChildCpu();
  const double n = static_cast<double>(iterations);
  state.counters["child_user_ms"] = (after.user_ms - before.user_ms) / n;
  state.counters["child_sys_ms"] = (after.sys_ms - before.sys_ms) / n;
}

// The wall times of `timed` from its sample `first` on (this repetition).
std::vector<double> Since(const Timed& timed, size_t first) {
  return std::vector<double>(timed.seconds.begin() + static_cast<ptrdiff_t>(first),
                             timed.seconds.end());
}

void BM_Single(benchmark::State& state, Timed* timed) {
  if (!CheckStillEnabled(state, timed)) return;
  const size_t first = timed->seconds.size();
  const ChildTimes before = ChildCpu();
  for (auto _ : state) {
    double seconds = 0;
    if (!RunOnce(state, timed, &seconds)) break;
    timed->seconds.push_back(seconds);
  }
  SetCpuCounters(state, before, timed->seconds.size() - first);
  const std::vector<double> these = Since(*timed, first);
  if (these.empty()) return;
  state.counters["mean_ms"] = Mean(these) * 1e3;
  state.counters["median_ms"] = Median(these) * 1e3;
  if (timed->error.empty()) CheckStillEnabled(state, timed);
}

void BM_Interleaved(benchmark::State& state) {
  Timed* const order[] = {&g_mixed_cat, &g_mixed_status, &g_mixed_full};
  for (Timed* t : order) {
    if (!CheckStillEnabled(state, t)) return;
  }
  const size_t first = g_mixed_cat.seconds.size();
  const ChildTimes before = ChildCpu();
  for (auto _ : state) {
    double seconds[3] = {0, 0, 0};
    bool ok = true;
    for (int i = 0; i < 3 && ok; ++i) ok = RunOnce(state, order[i], &seconds[i]);
    if (!ok) break;
    for (int i = 0; i < 3; ++i) order[i]->seconds.push_back(seconds[i]);
    state.SetIterationTime(seconds[0] + seconds[1] + seconds[2]);
  }
  const size_t runs = g_mixed_cat.seconds.size() - first;
  SetCpuCounters(state, before, runs);
  bool failed = false;
  for (const Timed* t : order) failed = failed || !t->error.empty();
  if (!failed) CheckStillEnabled(state, &g_mixed_status);
  if (runs == 0) return;
  // Medians: one slow run caused by other work on the machine does not move
  // them.
  const double cat = Median(Since(g_mixed_cat, first));
  const double status = Median(Since(g_mixed_status, first));
  const double full = Median(Since(g_mixed_full, first));
  state.counters["cat_median_ms"] = cat * 1e3;
  state.counters["status_median_ms"] = status * 1e3;
  state.counters["full_median_ms"] = full * 1e3;
  state.counters["status_over_cat"] = Ratio(status, cat);
  state.counters["full_over_cat"] = Ratio(full, cat);
}

// Makes the sandbox, starts the service and checks that both programs answer
// "enabled"; false with *err when any of it fails.
bool Prepare(std::string* err) {
  if (!g_sandbox->Make("drift-statusbench-", err)) return false;
  std::string out;
  const int started = Tool(bench::Sandbox::kToolPath, "--start", &out);
  if (started != 0 || g_sandbox->StatusWord() != "enabled") {
    *err = "service --start did not enable the service: exit " + std::to_string(started) +
           ", status word '" + g_sandbox->StatusWord() + "', output '" + out + "'";
    return false;
  }
  if (!BothEnabled(err)) return false;
  const std::map<std::string, std::string> env = {{"DRIFT_ROOT", g_sandbox->root()}};
  // The same three commands for the single benchmarks and the interleaved one.
  auto prepare = [&env](Timed* single, Timed* mixed, const std::vector<std::string>& args) {
    single->command.reset(new bench::Command(args, env));
    mixed->command.reset(new bench::Command(args, env));
  };
  prepare(&g_cat, &g_mixed_cat, {"/bin/cat", g_sandbox->Host(bench::Sandbox::kStatusFile)});
  prepare(&g_status, &g_mixed_status,
          {g_sandbox->Host(bench::Sandbox::kToolPath), "service", "--status"});
  prepare(&g_full, &g_mixed_full,
          {g_sandbox->Host(bench::Sandbox::kFullToolPath), "service", "--status"});
  fprintf(stderr, "sandbox %s, port %d; service enabled\n", g_sandbox->root().c_str(),
          g_sandbox->port());
  return true;
}

// Stops the service (when it was started) and removes the sandbox; false
// when the stop failed.
bool Finish() {
  bool ok = true;
  if (!g_sandbox->root().empty() && g_sandbox->StatusWord() == "enabled") {
    std::string out;
    const int status = Tool(bench::Sandbox::kToolPath, "--stop", &out);
    if (status != 0) {
      fprintf(stderr, "service --stop: exit %d, output '%s'\n", status, out.c_str());
      ok = false;
    }
  }
  g_sandbox->Remove();
  return ok;
}

// True when every one of `timed` ran to its end.
bool Complete(std::initializer_list<const Timed*> timed) {
  for (const Timed* t : timed) {
    if (!t->error.empty() || t->seconds.empty()) return false;
  }
  return true;
}

// Prints the means of the single benchmarks and the medians of the
// interleaved one with their ratios to `cat`, each only when all of its
// benchmarks ran to their end.
void PrintSummary() {
  if (Complete({&g_cat, &g_status, &g_full})) {
    const double cat = Mean(g_cat.seconds);
    const double status = Mean(g_status.seconds);
    const double full = Mean(g_full.seconds);
    const double ratio = Ratio(status, cat);
    printf(
        "summary (means): cat %.3f ms, bin/drift-control %.3f ms, drift-control-full %.3f ms; "
        "status/cat %.2f (goal <= %.1f: %s), full/cat %.2f\n",
        cat * 1e3, status * 1e3, full * 1e3, ratio, kGoalRatio,
        ratio <= kGoalRatio ? "met" : "missed", Ratio(full, cat));
  } else {
    printf("summary (means): not all three single benchmarks ran to their end\n");
  }
  if (Complete({&g_mixed_cat, &g_mixed_status, &g_mixed_full})) {
    const double cat = Median(g_mixed_cat.seconds);
    const double status = Median(g_mixed_status.seconds);
    const double full = Median(g_mixed_full.seconds);
    printf(
        "summary (interleaved medians): cat %.3f ms, bin/drift-control %.3f ms, "
        "drift-control-full %.3f ms; status/cat %.2f, full/cat %.2f\n",
        cat * 1e3, status * 1e3, full * 1e3, Ratio(status, cat), Ratio(full, cat));
  } else {
    printf("summary (interleaved medians): the interleaved benchmark did not run to its end\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // Ctrl-C ends the current benchmark with an error so that the service is
  // still stopped and the sandbox removed.
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  g_sandbox = new bench::Sandbox;
  std::string err;
  if (!Prepare(&err)) {
    fprintf(stderr, "status_startup_bench: cannot prepare the sandbox: %s\n", err.c_str());
    Finish();
    delete g_sandbox;
    return 1;
  }

  const int iterations = bench::IterationsFromEnvironment(kDefaultIterations);
  for (Timed* timed : {&g_cat, &g_status, &g_full}) {
    const char* name = timed == &g_cat      ? "BM_CatStatusFile"
                       : timed == &g_status ? "BM_DriftControlStatus"
                                            : "BM_DriftControlFullStatus";
    benchmark::RegisterBenchmark(name, BM_Single, timed)
        ->Iterations(iterations)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("BM_Interleaved", BM_Interleaved)
      ->Iterations(std::max(1, iterations / 3))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();

  const bool stopped = Finish();
  delete g_sandbox;
  return g_failed || !stopped ? 1 : 0;
}
