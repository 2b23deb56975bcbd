// drift-control service --stop in a sandbox appliance, against the package's
// own daemons started as the service start launches them.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

const char kEnabled[] = "/var/packages/DriftVault/enabled";
const char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
const char kSettingConf[] = "/var/packages/DriftVault/etc/setting.conf";
const char kDbPathConf[] = "/var/packages/DriftVault/etc/db-path.conf";
const char kServiceVolumes[] = "/etc/tarn/service-volumes.conf";
const char kRelayConf[] = "/etc/tarn/relay.conf";
const char kEventLog[] = "/var/log/tarn-events.log";
const char kRepoMoveMark[] = "/tmp/sf_repo_mv";
const char kDiskFullMark[] = "/tmp/dfvt_diskfull_freeze_2";
const char kUpgradingMark[] = "/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark";
const char kSyncFolder[] = "/volume1/@driftvault/@sync";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";
const char kLogDb[] = "/volume1/@driftvault/@sync/log-db.sqlite";
const char kSbin[] = "/var/packages/DriftVault/target/sbin/";

// Pid file of each daemon the sandbox can run.
const std::map<std::string, std::string> kDaemons = {
    {"drift-authd", "/var/run/drift-authd.pid"},
    {"drift-cleand", "/var/run/drift-cleand.pid"},
    {"tarn-drift-clientd", "/var/run/drift-clientd.pid"},
    {"syncd", "/var/run/tarnsyncfolder.pid"},
    {"drift-cached", "/var/run/drift-cached.pid"},
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Rows of the log database: the second text list of each, joined.
std::vector<std::string> LogDbParams(const std::string& host_db) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(host_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT value FROM log_list_table WHERE list = 1 ORDER BY log_id",
                           -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        out.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return out;
}

class StopE2eTest : public ::testing::Test {
 protected:
  // A running service: daemons up, status "enabled", the volume and the
  // relay registered, dfvt_enable="1", a stale disk-full mark.
  void SetUp() override {
    ASSERT_EQ(e2e::Run({"/bin/mkdir", "-p", box_.Host(kSyncFolder)}).exit_status, 0);
    box_.Write(kUserDb, "");
    box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
    box_.Write(kSettingConf, "dfvt_port=\"6690\"\ndfvt_enable=\"1\"\n");
    box_.Write(kServiceVolumes, "DriftVault=\"/volume1\"\n");
    box_.Write(kDiskFullMark, "");
    e2e::RunResult relay = e2e::Run({box_.Host("/usr/tarn/sbin/tarnrelayd"), "-a", "driftvault"});
    ASSERT_EQ(relay.exit_status, 0) << relay.err;
    ASSERT_NE(box_.Read(kRelayConf).find("driftvault"), std::string::npos);

    for (const auto& [name, pid_file] : kDaemons) {
      const std::string program = box_.Host(kSbin + name);
      if (access(program.c_str(), X_OK) != 0) continue;  // not part of this build
      std::vector<std::string> argv{program};
      if (name == "drift-cleand") argv.push_back(kSyncFolder);
      if (name == "syncd")
        argv.insert(argv.end(), {"-c", kSyncFolder, "-p", "6690", "-u", kUserDb});
      e2e::RunResult r = e2e::Run(argv);
      ASSERT_EQ(r.exit_status, 0) << name << ": " << r.err;
      const int pid = atoi(box_.Read(pid_file).c_str());
      ASSERT_GT(pid, 1) << name;
      pids_[pid_file] = pid;
    }
    ASSERT_GE(pids_.size(), 4u);
    box_.Write(kStatusFile, "status=\"enabled\"\n");
    ASSERT_EQ(Status(), "enabled");
  }

  std::string Status() { return box_.Tool({"service", "--status"}).out; }

  e2e::RunResult Stop() {
    e2e::RunResult r = box_.Tool({"service", "--stop"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    return r;
  }

  e2e::Sandbox box_;
  std::map<std::string, int> pids_;  // pid file -> pid of the running daemon
};

TEST_F(StopE2eTest, StopsTheDaemonsAndRecordsTheStop) {
  // The package framework removes the enabled marker before it stops.
  unlink(box_.Host(kEnabled).c_str());
  box_.Write(kUpgradingMark, "garbage\n");  // no pid: never signalled, just removed
  Stop();
  for (const auto& [pid_file, pid] : pids_) {
    EXPECT_TRUE(e2e::WaitGone(pid)) << pid_file;
    EXPECT_FALSE(box_.Exists(pid_file)) << pid_file;
  }
  EXPECT_EQ(box_.Read(kStatusFile).find("status=\"disabled\""), 0u) << box_.Read(kStatusFile);
  EXPECT_FALSE(box_.Exists(kDiskFullMark));
  EXPECT_FALSE(box_.Exists(kRepoMoveMark));
  EXPECT_FALSE(box_.Exists(kUpgradingMark));
  EXPECT_NE(box_.Read(kSettingConf).find("dfvt_enable=\"0\"\n"), std::string::npos);
  EXPECT_NE(box_.Read(kSettingConf).find("dfvt_port=\"6690\"\n"), std::string::npos);
  EXPECT_EQ(box_.Read(kServiceVolumes).find("DriftVault"), std::string::npos);
  EXPECT_EQ(box_.Read(kRelayConf).find("driftvault"), std::string::npos);
  EXPECT_NE(Lower(box_.Read(kEventLog)).find("0x11b01051\tdrift vault"), std::string::npos)
      << box_.Read(kEventLog);
  EXPECT_EQ(LogDbParams(box_.Host(kLogDb)), std::vector<std::string>{"0"});
  EXPECT_EQ(Status(), "disabled");

  // A second stop finds nothing running and records once more.
  Stop();
  EXPECT_EQ(LogDbParams(box_.Host(kLogDb)), (std::vector<std::string>{"0", "0"}));
}

TEST_F(StopE2eTest, StillEnabledPackageKeepsTheRelay) {
  Stop();
  for (const auto& [pid_file, pid] : pids_) EXPECT_TRUE(e2e::WaitGone(pid)) << pid_file;
  EXPECT_NE(box_.Read(kRelayConf).find("driftvault"), std::string::npos);
  EXPECT_EQ(box_.Read(kServiceVolumes).find("DriftVault"), std::string::npos);
  EXPECT_EQ(Status(), "disabled");
}

TEST_F(StopE2eTest, WithoutDatabaseVolumeTheEventIsStillWritten) {
  unlink(box_.Host(kDbPathConf).c_str());
  Stop();
  EXPECT_FALSE(box_.Exists(kLogDb));
  EXPECT_NE(Lower(box_.Read(kEventLog)).find("0x11b01051"), std::string::npos);
  EXPECT_EQ(Status(), "disabled");
}

TEST_F(StopE2eTest, MovingDatabaseRefusesToStop) {
  pid_t mover = fork();
  if (mover == 0) {
    for (;;) pause();
  }
  box_.Write(kRepoMoveMark, std::to_string(mover) + "\n");
  box_.Write(kStatusFile, "status=\"moving_db\"\n");
  Stop();
  kill(mover, SIGKILL);
  waitpid(mover, nullptr, 0);
  for (const auto& [pid_file, pid] : pids_) {
    EXPECT_TRUE(e2e::Running(pid)) << pid_file;
    EXPECT_TRUE(box_.Exists(pid_file)) << pid_file;
  }
  EXPECT_EQ(box_.Read(kStatusFile), "status=\"moving_db\"\n");
  EXPECT_TRUE(box_.Exists(kRepoMoveMark));
  EXPECT_NE(box_.Read(kSettingConf).find("dfvt_enable=\"1\""), std::string::npos);
  EXPECT_NE(box_.Read(kServiceVolumes).find("DriftVault"), std::string::npos);
  EXPECT_FALSE(box_.Exists(kLogDb));
  EXPECT_EQ(Lower(box_.Read(kEventLog)).find("11b01051"), std::string::npos);
}

}  // namespace
