// `drift-control service --collect-user-data` on a large user database
// (100 000 entries, 1 000 000 sessions) against the sqlite3 shell running the
// same statement with JSON output.  Both run as child processes with their
// output sent to /dev/null; the wall time and the peak resident size of each
// child are measured, in turn, over several rounds (DRIFT_BENCH_ITERATIONS,
// default 7).  The goals: at most 1.2 times the shell's wall time, at most
// 1.5 times its peak.  Before timing, the tool's document must be the
// FastWriter form of the shell's rows, byte for byte.
//
// The database is generated once into /tmp/drift-collect-bench (a sandbox
// root with db-path.conf pointing at its /volume1) and reused while it holds
// the expected rows; generation is never timed.
//
//   collect_user_data_bench [--benchmark_...]
//   DRIFT_CONTROL=/path/to/drift-control  overrides the program under test
//   SQLITE3=/path/to/sqlite3              overrides the shell
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <json/json.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "userdb/user_manager.h"

namespace {

constexpr int kUsers = 100000;
constexpr int kSessions = 1000000;
const char kRoot[] = "/tmp/drift-collect-bench";
const char kDbPath[] = "/volume1/@driftvault/@sync/user-db.sqlite";
const char kQuery[] =
    "SELECT ut.id AS id, ut.attribute AS attribute, ut.user_type AS type, ut.name AS name, "
    "COUNT(st.sess_id) AS session_count FROM user_table AS ut LEFT JOIN session_table AS st "
    "ON ut.id = st.uid GROUP BY ut.id;";

std::string HostDb() { return std::string(kRoot) + kDbPath; }

std::string ToolPath() {
  const char* env = getenv("DRIFT_CONTROL");
  if (env != nullptr && env[0] != '\0') return env;
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "drift-control";
  self[n] = '\0';
  std::string dir(self);
  dir = dir.substr(0, dir.rfind('/'));  // BUILD/bench
  return dir.substr(0, dir.rfind('/')) + "/cli/drift-control";
}

std::string ShellPath() {
  const char* env = getenv("SQLITE3");
  return env != nullptr && env[0] != '\0' ? env : "sqlite3";
}

void MakeDirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), 0755);
  }
}

int64_t Count(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return value;
}

bool DatabaseIsReady() {
  sqlite3* db = nullptr;
  bool ready = false;
  if (sqlite3_open_v2(HostDb().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    ready = Count(db, "SELECT count(*) FROM user_table;") == kUsers &&
            Count(db, "SELECT count(*) FROM session_table;") == kSessions;
  }
  sqlite3_close(db);
  return ready;
}

bool Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    fprintf(stderr, "generation: %s: %s\n", sql, error != nullptr ? error : "?");
    sqlite3_free(error);
    return false;
  }
  return true;
}

// Creates the database with the tool's own schema, then fills it in one
// transaction: a mix of local, share, LDAP and domain entries, and sessions
// spread unevenly (some entries have none, a few have many).
bool Generate() {
  MakeDirs(std::string(kRoot) + "/volume1/@driftvault/@sync");
  MakeDirs(std::string(kRoot) + "/tmp");
  MakeDirs(std::string(kRoot) + "/var/packages/DriftVault/etc");
  FILE* conf =
      fopen((std::string(kRoot) + "/var/packages/DriftVault/etc/db-path.conf").c_str(), "w");
  if (conf == nullptr) return false;
  fputs("db-vol=\"/volume1\"\n", conf);
  fclose(conf);
  unlink(HostDb().c_str());

  setenv("DRIFT_ROOT", kRoot, 1);
  const bool created = UserManager::Initialize(kDbPath) == 0;
  UserManager::Close();
  unsetenv("DRIFT_ROOT");
  if (!created) return false;

  sqlite3* db = nullptr;
  if (sqlite3_open(HostDb().c_str(), &db) != SQLITE_OK) return false;
  bool ok = Exec(db, "PRAGMA synchronous = OFF;") && Exec(db, "BEGIN;");
  sqlite3_stmt* user = nullptr;
  sqlite3_stmt* session = nullptr;
  ok = ok &&
       sqlite3_prepare_v2(db,
                          "INSERT INTO user_table (id, name, attribute, view_id, uid, gid, "
                          "user_type, watch_path) VALUES (?, ?, ?, ?, ?, ?, ?, ?);",
                          -1, &user, nullptr) == SQLITE_OK &&
       sqlite3_prepare_v2(db,
                          "INSERT INTO session_table (uid, group_id, client, ip, sess_id, "
                          "client_type, client_platform) VALUES (?, 0, ?, '10.0.0.1', ?, 1, "
                          "'Linux');",
                          -1, &session, nullptr) == SQLITE_OK;
  char text[128];
  for (int i = 1; ok && i <= kUsers; ++i) {
    int type = kUserTypeLocal;
    if (i % 20 == 0) {
      type = kUserTypeShare;
      snprintf(text, sizeof(text), "@share-%06d", i);
    } else if (i % 33 == 0) {
      type = kUserTypeLdap;
      snprintf(text, sizeof(text), "user-%06d@ldap.example", i);
    } else if (i % 50 == 1) {
      type = kUserTypeDomain;
      snprintf(text, sizeof(text), "DOMAIN\\user-%06d", i);
    } else {
      snprintf(text, sizeof(text), "user-%06d", i);
    }
    sqlite3_bind_int(user, 1, i);
    sqlite3_bind_text(user, 2, text, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(user, 3, type == kUserTypeShare && i % 40 == 0 ? 8 : 0);
    sqlite3_bind_int(user, 4, i);
    sqlite3_bind_int(user, 5, type == kUserTypeShare ? 0 : 100000 + i);
    sqlite3_bind_int(user, 6, type == kUserTypeShare ? 0 : 100);
    sqlite3_bind_int(user, 7, type);
    snprintf(text, sizeof(text), "/volume1/homes/user-%06d/DriftVault", i);
    sqlite3_bind_text(user, 8, text, -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(user) == SQLITE_DONE;
    sqlite3_reset(user);
  }
  // A fixed pseudo-random sequence, so that every generated database is the
  // same: squaring the draw skews sessions towards the low ids.
  uint32_t state = 12345;
  for (int s = 0; ok && s < kSessions; ++s) {
    state = state * 1103515245u + 12345u;
    const double draw = static_cast<double>(state >> 8) / static_cast<double>(1u << 24);
    const int owner = 1 + static_cast<int>(draw * draw * kUsers);
    sqlite3_bind_int(session, 1, owner);
    snprintf(text, sizeof(text), "client-%d", s % 7);
    sqlite3_bind_text(session, 2, text, -1, SQLITE_TRANSIENT);
    snprintf(text, sizeof(text), "sess-%08d-%08x", s, state);
    sqlite3_bind_text(session, 3, text, -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(session) == SQLITE_DONE;
    sqlite3_reset(session);
  }
  sqlite3_finalize(user);
  sqlite3_finalize(session);
  char counter[128];
  snprintf(counter, sizeof(counter), "UPDATE config_table SET value = '%d' WHERE key = 'view_id';",
           kUsers + 1);
  ok = ok && Exec(db, counter) && Exec(db, "COMMIT;");
  sqlite3_close(db);
  return ok;
}

struct ChildRun {
  bool ok = false;
  double seconds = 0;      // wall time
  double cpu_seconds = 0;  // user + system time of the child
  long peak_kib = 0;       // ru_maxrss of the child
};

// Runs argv with DRIFT_ROOT set and standard output sent to `out_path`.
ChildRun RunChild(const std::vector<std::string>& argv, const char* out_path) {
  ChildRun run;
  struct timeval start, end;
  gettimeofday(&start, nullptr);
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    const int fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) _exit(126);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    setenv("DRIFT_ROOT", kRoot, 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof(usage));
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  gettimeofday(&end, nullptr);
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                static_cast<double>(end.tv_usec - start.tv_usec) / 1e6;
  run.peak_kib = usage.ru_maxrss;
  run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

std::vector<std::string> ToolArgv() { return {ToolPath(), "service", "--collect-user-data"}; }
std::vector<std::string> ShellArgv() { return {ShellPath(), "-json", HostDb(), kQuery}; }

// The two programs in turn in every round (which goes first alternates), so
// that a change of the machine's load during the run touches both alike;
// the figures are medians over the rounds, the peaks the largest seen.
struct Paired {
  std::vector<double> tool_seconds, shell_seconds, tool_cpu, shell_cpu;
  long tool_peak_kib = 0;
  long shell_peak_kib = 0;
} paired;

void BM_PairedRatio(benchmark::State& state) {
  for (auto _ : state) {
    for (int round = 0; round < bench::IterationsFromEnvironment(7); ++round) {
      ChildRun tool, shell;
      if (round % 2 == 0) {
        tool = RunChild(ToolArgv(), "/dev/null");
        shell = RunChild(ShellArgv(), "/dev/null");
      } else {
        shell = RunChild(ShellArgv(), "/dev/null");
        tool = RunChild(ToolArgv(), "/dev/null");
      }
      if (!tool.ok || !shell.ok) {
        state.SkipWithError("child failed");
        return;
      }
      paired.tool_seconds.push_back(tool.seconds);
      paired.shell_seconds.push_back(shell.seconds);
      paired.tool_cpu.push_back(tool.cpu_seconds);
      paired.shell_cpu.push_back(shell.cpu_seconds);
      paired.tool_peak_kib = std::max(paired.tool_peak_kib, tool.peak_kib);
      paired.shell_peak_kib = std::max(paired.shell_peak_kib, shell.peak_kib);
    }
  }
  const double tool = bench::Median(paired.tool_seconds);
  const double shell = bench::Median(paired.shell_seconds);
  state.counters["tool_ms"] = tool * 1e3;
  state.counters["shell_ms"] = shell * 1e3;
  state.counters["ratio"] = tool / shell;
  state.counters["cpu_ratio"] = bench::Median(paired.tool_cpu) / bench::Median(paired.shell_cpu);
  state.counters["tool_peak_KiB"] = static_cast<double>(paired.tool_peak_kib);
  state.counters["shell_peak_KiB"] = static_cast<double>(paired.shell_peak_kib);
}

BENCHMARK(BM_PairedRatio)->Iterations(1)->Unit(benchmark::kSecond);

// Before timing anything: both programs must report the same counts.
bool OutputsAgree() {
  const std::string tool_out = std::string(kRoot) + "/tool-output.json";
  const std::string shell_out = std::string(kRoot) + "/shell-output.json";
  if (!RunChild(ToolArgv(), tool_out.c_str()).ok || !RunChild(ShellArgv(), shell_out.c_str()).ok) {
    fprintf(stderr, "a program failed; tool: %s\n", ToolPath().c_str());
    return false;
  }
  Json::Value tool, shell;
  Json::CharReaderBuilder builder;
  std::string errors;
  const std::string tool_text = bench::ReadFile(tool_out);
  const std::string shell_text = bench::ReadFile(shell_out);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(tool_text.data(), tool_text.data() + tool_text.size(), &tool, &errors) ||
      !reader->parse(shell_text.data(), shell_text.data() + shell_text.size(), &shell, &errors)) {
    fprintf(stderr, "unparsable output: %s\n", errors.c_str());
    return false;
  }
  const Json::Value& users = tool["user"];
  if (!users.isArray() || !shell.isArray() || users.size() != shell.size() ||
      users.size() != static_cast<Json::ArrayIndex>(kUsers) || tool["version"].asInt() != 4164) {
    fprintf(stderr, "row counts differ\n");
    return false;
  }
  // The tool prints what jsoncpp's FastWriter makes of the rows, byte for
  // byte: the numbers as unsigned, members in key order.
  Json::Value expected;
  Json::Value& rows = expected["user"];
  rows = Json::Value(Json::arrayValue);
  for (const Json::Value& row : shell) {
    Json::Value user;
    user["session_count"] = Json::UInt(row["session_count"].asUInt());
    user["type"] = Json::UInt(row["type"].asUInt());
    rows.append(user);
  }
  expected["version"] = 4164;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (Json::FastWriter().write(expected) != tool_text) {
#pragma GCC diagnostic pop
    fprintf(stderr, "the tool's document is not the FastWriter form of the rows\n");
    return false;
  }
  int64_t sessions = 0;
  for (Json::ArrayIndex i = 0; i < users.size(); ++i) {
    if (users[i]["session_count"].asInt64() != shell[i]["session_count"].asInt64() ||
        users[i]["type"].asInt() != shell[i]["type"].asInt()) {
      fprintf(stderr, "row %u differs\n", i);
      return false;
    }
    sessions += users[i]["session_count"].asInt64();
  }
  if (sessions != kSessions) {
    fprintf(stderr, "sessions add up to %lld\n", static_cast<long long>(sessions));
    return false;
  }
  unlink(tool_out.c_str());
  unlink(shell_out.c_str());
  return true;
}

// Runs `work` in a child process: the memory it takes is never part of this
// process, whose size every later child starts from (a child's peak resident
// size counts the pages it shared with this process before its exec).
bool InChild(bool (*work)()) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) _exit(work() ? 0 : 1);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!InChild(DatabaseIsReady)) {
    fprintf(stderr, "generating %s (%d users, %d sessions)...\n", HostDb().c_str(), kUsers,
            kSessions);
    if (!InChild(Generate) || !InChild(DatabaseIsReady)) {
      fprintf(stderr, "generation failed\n");
      return 1;
    }
  }
  if (!InChild(OutputsAgree)) return 1;
  // The floor under every peak below: this process's own size.
  struct rusage self;
  getrusage(RUSAGE_SELF, &self);
  printf("bench process peak %ld KiB (included in every child's peak)\n", self.ru_maxrss);
  printf("load average before: %s\n", bench::LoadAverage().c_str());
  benchmark::RunSpecifiedBenchmarks();
  if (!paired.tool_seconds.empty()) {
    const double tool = bench::Median(paired.tool_seconds);
    const double shell = bench::Median(paired.shell_seconds);
    printf(
        "\ncollect-user-data: %.0f ms wall, %.0f ms CPU, peak %ld KiB\n"
        "sqlite3 -json:     %.0f ms wall, %.0f ms CPU, peak %ld KiB\n"
        "medians of %zu rounds: wall %.2fx (goal <= 1.20), CPU %.2fx, peak %.2fx (goal <= 1.5)\n",
        tool * 1e3, bench::Median(paired.tool_cpu) * 1e3, paired.tool_peak_kib, shell * 1e3,
        bench::Median(paired.shell_cpu) * 1e3, paired.shell_peak_kib, paired.tool_seconds.size(),
        tool / shell, bench::Median(paired.tool_cpu) / bench::Median(paired.shell_cpu),
        static_cast<double>(paired.tool_peak_kib) / static_cast<double>(paired.shell_peak_kib));
  }
  printf("load average after: %s\n", bench::LoadAverage().c_str());
  benchmark::Shutdown();
  return 0;
}
