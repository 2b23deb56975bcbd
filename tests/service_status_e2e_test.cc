// drift-control service --status in a sandbox appliance: every row of the
// status decision, with the package's real sync daemon as the process behind
// "enabled" and a plain child process behind the other running words.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

const char kEnabled[] = "/var/packages/DriftVault/enabled";
const char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
const char kSyncPid[] = "/var/run/tarnsyncfolder.pid";
const char kUpgradingMark[] = "/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark";
const char kRepoMoveMark[] = "/tmp/sf_repo_mv";
const char kSyncFolder[] = "/volume1/@driftvault/@sync";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";

// A process that lives until the object goes.
class Sleeper {
 public:
  Sleeper() {
    pid_ = fork();
    if (pid_ == 0) {
      for (;;) pause();
    }
  }
  ~Sleeper() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::string PidLine() const { return std::to_string(pid_) + "\n"; }

 private:
  pid_t pid_;
};

// A pid that named a process a moment ago.
std::string GonePidLine() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return std::to_string(pid) + "\n";
}

class StatusE2eTest : public ::testing::Test {
 protected:
  // Runs the status command and checks what a caller sees besides the word:
  // exit status 0, nothing on standard error, no line end.
  std::string Status() {
    e2e::RunResult r = box_.Tool({"service", "--status"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  // Starts the package's sync daemon the way the service start does.
  void StartSyncDaemon() {
    ASSERT_EQ(e2e::Run({"/bin/mkdir", "-p", box_.Host(kSyncFolder)}).exit_status, 0);
    box_.Write(kUserDb, "");
    e2e::RunResult r = e2e::Run({box_.Host("/var/packages/DriftVault/target/sbin/syncd"), "-c",
                                 kSyncFolder, "-p", "6690", "-u", kUserDb});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    ASSERT_TRUE(box_.Exists(kSyncPid));
  }

  void StopSyncDaemon() {
    const int pid = atoi(box_.Read(kSyncPid).c_str());
    ASSERT_GT(pid, 1);
    kill(pid, SIGTERM);
    // The daemon removes its pid file as its last act; its parent is gone,
    // so it may stay a zombie, which is not alive either.
    EXPECT_TRUE(e2e::WaitGone(pid));
    EXPECT_FALSE(box_.Exists(kSyncPid));
  }

  e2e::Sandbox box_;
};

TEST_F(StatusE2eTest, DecisionTable) {
  Sleeper alive;
  StartSyncDaemon();
  const std::string sync_pid = box_.Read(kSyncPid);

  struct Row {
    const char* name;
    bool enabled;
    const char* status_file;  // null: no file
    const char* witness;      // pid file set for the row, null: none
    std::string witness_content;
    const char* expected;
  };
  const Row rows[] = {
      {"not enabled", false, "status=\"enabled\"\n", nullptr, "", "disabled"},
      {"no status file", true, nullptr, nullptr, "", "disabled"},
      {"no status key", true, "other=\"1\"\n", nullptr, "", "error"},
      {"half-written file", true, "status=\"enab", nullptr, "", "error"},
      {"word of 32 bytes", true, "status=\"abcdefghijklmnopqrstuvwxyz012345\"\n", nullptr, "",
       "error"},
      {"enabled, sync daemon running", true, "status=\"enabled\"\n", nullptr, "", "enabled"},
      {"updating, updater alive", true, "status=\"updating\"\n", kUpgradingMark, alive.PidLine(),
       "updating"},
      {"updating, no mark", true, "status=\"updating\"\n", nullptr, "", "error"},
      {"checking, updater gone", true, "status=\"checking\"\n", kUpgradingMark, GonePidLine(),
       "error"},
      {"checking, garbage mark", true, "status=\"checking\"\n", kUpgradingMark, "xyz\n", "error"},
      {"moving_db, mover alive", true, "status=\"moving_db\"\n", kRepoMoveMark, alive.PidLine(),
       "moving_db"},
      {"moving_db, mark names pid 1", true, "status=\"moving_db\"\n", kRepoMoveMark, "1\n",
       "error"},
      {"portconflict", true, "status=\"portconflict\"\n", nullptr, "", "portconflict"},
      {"dbunexist", true, "status=\"dbunexist\"\n", nullptr, "", "dbunexist"},
      {"done", true, "status=\"done\"\n", nullptr, "", "done"},
      {"upgradefail", true, "status=\"upgradefail\"\n", nullptr, "", "upgradefail"},
      {"disabled", true, "status=\"disabled\"\n", nullptr, "", "disabled"},
  };
  for (const Row& row : rows) {
    if (row.enabled) {
      box_.Write(kEnabled, "");
    } else {
      unlink(box_.Host(kEnabled).c_str());
    }
    if (row.status_file != nullptr) {
      box_.Write(kStatusFile, row.status_file);
    } else {
      unlink(box_.Host(kStatusFile).c_str());
    }
    unlink(box_.Host(kUpgradingMark).c_str());
    unlink(box_.Host(kRepoMoveMark).c_str());
    if (row.witness != nullptr) box_.Write(row.witness, row.witness_content);

    EXPECT_EQ(Status(), row.expected) << row.name;
    // Reporting never changes the status file.
    if (row.status_file != nullptr) {
      EXPECT_EQ(box_.Read(kStatusFile), row.status_file) << row.name;
    }
  }
  EXPECT_EQ(box_.Read(kSyncPid), sync_pid);
}

TEST_F(StatusE2eTest, EnabledBecomesErrorWhenTheSyncDaemonIsGone) {
  StartSyncDaemon();
  box_.Write(kStatusFile, "status=\"enabled\"\n");
  EXPECT_EQ(Status(), "enabled");
  const std::string pid_line = box_.Read(kSyncPid);
  StopSyncDaemon();
  EXPECT_EQ(Status(), "error");  // no pid file
  box_.Write(kSyncPid, pid_line);
  EXPECT_EQ(Status(), "error");  // stale pid file
  box_.Write(kSyncPid, "garbage\n");
  EXPECT_EQ(Status(), "error");
  EXPECT_EQ(box_.Read(kStatusFile), "status=\"enabled\"\n");
}

}  // namespace
