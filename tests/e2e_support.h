// Helpers of the end-to-end tests: run the built programs, lay out sandbox
// appliance roots, run the service in them, and inject faults.
#ifndef DRIFT_TESTS_E2E_SUPPORT_H_
#define DRIFT_TESTS_E2E_SUPPORT_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "base/test_port.h"
#include "gtest/gtest.h"
#include "userdb/userdb_test_util.h"

namespace e2e {

// Appliance paths of the package's state.
inline constexpr char kTarget[] = "/var/packages/DriftVault/target";
inline constexpr char kEnabled[] = "/var/packages/DriftVault/enabled";
inline constexpr char kEtcFolder[] = "/var/packages/DriftVault/etc";
inline constexpr char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
inline constexpr char kSettingConf[] = "/var/packages/DriftVault/etc/setting.conf";
inline constexpr char kDbPathConf[] = "/var/packages/DriftVault/etc/db-path.conf";
inline constexpr char kSyncFolder[] = "/volume1/@driftvault/@sync";
inline constexpr char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";
inline constexpr char kLogDb[] = "/volume1/@driftvault/@sync/log-db.sqlite";
inline constexpr char kEventLog[] = "/var/log/tarn-events.log";
inline constexpr char kRelayConf[] = "/etc/tarn/relay.conf";
inline constexpr char kServiceVolumes[] = "/etc/tarn/service-volumes.conf";
inline constexpr char kUpgradingMark[] = "/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark";
inline constexpr char kRepoMoveMark[] = "/tmp/sf_repo_mv";
inline constexpr char kDiskFullMark[] = "/tmp/dfvt_diskfull_freeze_2";
inline constexpr char kEnableEvent[] = "\t0x11B01050\tDrift Vault\t";
inline constexpr char kStopEvent[] = "\t0x11B01051\tDrift Vault\t";

// The five daemons in launch order, with their arguments on the default
// volume and port.
struct Daemon {
  const char *program, *pid_file;
  std::vector<std::string> args;
};
extern const Daemon kDaemons[5];

struct RunResult {
  int exit_status = -1;  // the exit code, or 128 + signal number when killed
  std::string out, err;  // what it wrote to standard output and error
};

// Runs argv[0] (a path) with the merged environment and waits for it; fails
// the test (exit_status -1) when it cannot start or outlives the timeout.
RunResult Run(const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& env = {}, int timeout_seconds = 60);
// Runs a program with only PATH in its environment, as the tool launches it.
RunResult RunBare(const std::string& host_program, const std::vector<std::string>& args);
// Starts argv in the background in its own process group, output to
// /dev/null.  WaitChild returns its exit status or 128 + signal.
pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);
int WaitChild(pid_t pid);
int64_t NowUs();  // a monotonic clock

// True while `pid` (> 1) runs and is no zombie (the pid 1 of some containers
// never reaps orphans).
bool Running(pid_t pid);
bool WaitGone(pid_t pid, int ms = 5000);

// The running processes (sorted) whose executable lies below `root`: a
// sandbox's programs, found by what they are rather than by pid files.
std::vector<pid_t> ProcessesBelow(const std::string& root);
// Waits up to `ms` for them to be `expected` and returns the last found: a
// daemon removes its pid file as its last act, then takes a moment to go.
std::vector<pid_t> SettledProcessesBelow(const std::string& root, std::vector<pid_t> expected = {},
                                         int ms = 10000);
void KillProcessesBelow(const std::string& root);  // SIGKILL, then waits
// SIGTERM, so that daemons end their own way; SIGKILL for those that do not.
void EndProcessesBelow(const std::string& root);

using test_support::FreePort;

std::string SourceDir();
std::string BinaryDir();
std::string ToolPath();      // bin/drift-control
std::string FullToolPath();  // the complete program it hands JSON commands to

// Runs the statements on an SQLite file (made when missing); the rows, every
// column as text ("NULL" for null).
using Rows = std::vector<userdb_test::Row>;
using userdb_test::Query;
size_t Count(const std::string& text, const std::string& needle);

// A fresh sandbox appliance (scripts/make-sandbox.sh) in a temporary folder;
// going, it kills the processes running from it and removes it.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  const std::string& root() const { return root_; }  // the value of DRIFT_ROOT
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }
  std::string ToolProgram() const { return Host(std::string(kTarget) + "/bin/drift-control"); }

  // The sandbox's drift-control, with DRIFT_ROOT set.
  RunResult Tool(const std::vector<std::string>& args,
                 std::map<std::string, std::string> env = {}) const;
  pid_t SpawnTool(const std::vector<std::string>& args,
                  std::map<std::string, std::string> env = {}) const;
  std::string Status() const { return Tool({"service", "--status"}).out; }

  std::string Read(const std::string& appliance_path) const;
  void Write(const std::string& appliance_path, const std::string& content) const;
  bool Exists(const std::string& appliance_path) const;
  void MakeDirs(const std::string& appliance_path) const;
  // The value of `key` in a key/value file ("" when missing).
  std::string Value(const std::string& file, const std::string& key) const;
  pid_t PidOf(const char* pid_file) const;  // 0 when missing

 private:
  // The command line of the tool; DRIFT_ROOT set in `env`.
  std::vector<std::string> ToolArgv(const std::vector<std::string>& args,
                                    std::map<std::string, std::string>* env) const;
  std::string root_;
};

// What does not hold ("" when all does) of a service after any fault or
// race: the settings hold whole key="value" lines, the user database is sound
// with each account once, the status is a status word, nothing runs
// unaccounted for, and (unless a stop `raced` a start, which may end in any
// state) the word agrees with the running daemons.
std::string Inconsistency(const Sandbox& box, bool raced = false);

// A test in a sandbox on a free port; nothing it started there outlives it.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { EndProcessesBelow(box_.root()); }

  // An empty account: no TARNPKG_USERNAME.
  RunResult Start(const std::string& account = "alice") const;
  // The service up: no output, "enabled", every daemon running from the
  // install path under its pid file.
  void StartOk(const std::string& account = "alice") const;
  // A stop that leaves nothing: "disabled", no process, no pid file.
  void StopOk() const;

  Sandbox box_;
  int port_ = 0;
};

// Whether a private mount namespace with a tmpfs can be made here; `why`
// says what failed otherwise.
bool MountNamespaceUsable(std::string* why);

// Runs the shell `script` in a private mount namespace with its own /dev
// whose "log" socket feeds `log`.  The script has ROOT, TOOL and functions:
//   fill FOLDER PAGES [INODES]  a 64 KiB tmpfs (of INODES files at most) with
//                        the folder's files over it, filled to PAGES free pages;
//   unfill FOLDER        its files (less the filler) copied back, tmpfs gone;
//   run COMMAND          service --COMMAND as $ACCOUNT (alice by default),
//                        then "COMMAND EXIT-STATUS STATUS-WORD".
RunResult RunInMountNamespace(const Sandbox& box, const std::string& script, std::string* log);

}  // namespace e2e

#endif  // DRIFT_TESTS_E2E_SUPPORT_H_
