#include "service/service_stop.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

#include "service/package_state.h"
#include "service/service_test_util.h"

namespace {

using service_test::ChildProcess;
using service_test::TestRoot;

const char* const kDaemonPidFiles[] = {paths::kClientDaemonPid, paths::kSyncDaemonPid,
                                       paths::kAuthDaemonPid, paths::kCleanDaemonPid,
                                       paths::kCacheDaemonPid};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The second text list of every row of the log database.
std::vector<std::string> LoggedParams(const std::string& host_db) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(host_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return out;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT value FROM log_list_table WHERE list = 1 ORDER BY log_id, pos",
                         -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      out.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return out;
}

// A package with five running stand-in daemons (processes that end on
// SIGTERM), marks and registrations as a running service leaves them.
class StopServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write(paths::kEnabledMark, "");
    root_.MakeDir("/volume1/@driftvault/@sync");
    root_.Write(paths::kDbPathConf, "db-vol=\"/volume1\"\n");
    root_.Write(paths::kSettingConf, "dfvt_port=\"6690\"\ndfvt_enable=\"1\"\n");
    root_.Write(paths::kServiceVolumesConf, "DriftVault=\"/volume1\"\nOther=\"/volume2\"\n");
    root_.Write(paths::kDiskFullFreezeMark, "");
    root_.MakeDir("/var/log");
    root_.WriteScript(paths::kRelayProgram, "echo \"$@\" >> " + root_.Host("/relay-calls") + "\n");
    for (const char* pid_file : kDaemonPidFiles) {
      daemons_.push_back(std::make_unique<ChildProcess>());
      root_.Write(pid_file, std::to_string(daemons_.back()->pid()) + "\n");
    }
    root_.Write(paths::kEnableStatus, "status=\"enabled\"\n");
  }

  bool LogHas(const std::string& text) const {
    return root_.LogText().find(text) != std::string::npos;
  }
  std::string Status() const {
    ustring word;
    ReadServiceStatus(&word);
    return word.str();
  }
  std::string EventLog() const { return Lower(root_.Read(paths::kEventLog)); }
  std::vector<std::string> Params() const {
    return LoggedParams(root_.Host("/volume1/@driftvault/@sync/log-db.sqlite"));
  }

  TestRoot root_;
  std::vector<std::unique_ptr<ChildProcess>> daemons_;
};

TEST_F(StopServiceTest, StopsEverythingAndRecords) {
  root_.Remove(paths::kEnabledMark);  // the framework disables first
  EXPECT_EQ(StopService(1), 0);
  for (auto& daemon : daemons_) EXPECT_EQ(daemon->Wait(), SIGTERM);
  for (const char* pid_file : kDaemonPidFiles) EXPECT_FALSE(root_.Exists(pid_file)) << pid_file;
  EXPECT_EQ(Status(), "disabled");
  EXPECT_FALSE(root_.Exists(paths::kDiskFullFreezeMark));
  const std::string setting = root_.Read(paths::kSettingConf);
  EXPECT_NE(setting.find("dfvt_enable=\"0\"\n"), std::string::npos) << setting;
  EXPECT_NE(setting.find("dfvt_port=\"6690\""), std::string::npos) << setting;
  const std::string volumes = root_.Read(paths::kServiceVolumesConf);
  EXPECT_EQ(volumes.find("DriftVault"), std::string::npos) << volumes;
  EXPECT_NE(volumes.find("Other"), std::string::npos) << volumes;
  EXPECT_EQ(root_.Read("/relay-calls"), "-r driftvault\n");
  EXPECT_EQ(Params(), std::vector<std::string>{"0"});
  EXPECT_NE(EventLog().find("11b01051"), std::string::npos) << EventLog();
  EXPECT_NE(EventLog().find("drift vault"), std::string::npos);
}

TEST_F(StopServiceTest, UnrecordedStopThenAStopOfAStoppedService) {
  EXPECT_EQ(StopService(0), 0);
  EXPECT_EQ(Status(), "disabled");
  for (const char* pid_file : kDaemonPidFiles) EXPECT_FALSE(root_.Exists(pid_file)) << pid_file;
  EXPECT_TRUE(Params().empty());
  EXPECT_EQ(EventLog().find("11b01051"), std::string::npos);

  // Nothing runs any more; the package is still enabled, so the relay stays.
  EXPECT_EQ(StopService(1), 0);
  EXPECT_EQ(Status(), "disabled");
  EXPECT_TRUE(
      LogHas("): file '/var/run/tarnsyncfolder.pid' does not exist, assuming daemon is "
             "not running\n"));
  EXPECT_TRUE(
      LogHas("): file '/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark' does not "
             "exist, assuming daemon is not running\n"));
  EXPECT_FALSE(root_.Exists("/relay-calls"));
  EXPECT_EQ(Params(), std::vector<std::string>{"0"});
}

TEST_F(StopServiceTest, WithoutAUsableLogDatabaseTheEventIsStillRaised) {
  root_.Remove(paths::kDbPathConf);
  EXPECT_EQ(StopService(1), 0);
  EXPECT_TRUE(LogHas("[ERROR] service-ctrl("));
  EXPECT_TRUE(LogHas("): cannot get conf vol\n"));
  EXPECT_NE(EventLog().find("11b01051"), std::string::npos);
  EXPECT_FALSE(root_.Exists("/volume1/@driftvault/@sync/log-db.sqlite"));

  root_.Remove(paths::kEventLog);
  root_.Write(paths::kDbPathConf, "db-vol=\"/volume7\"\n");  // no such folder
  EXPECT_EQ(StopService(1), 0);
  EXPECT_TRUE(LogHas("): Failed to initialize log db\n"));
  EXPECT_NE(EventLog().find("11b01051"), std::string::npos);
}

TEST_F(StopServiceTest, MovingDatabaseRefuses) {
  ChildProcess mover;
  root_.Write(paths::kRepoMoveMark, std::to_string(mover.pid()) + "\n");
  root_.Write(paths::kEnableStatus, "status=\"moving_db\"\n");
  EXPECT_EQ(StopService(1), -1);
  EXPECT_TRUE(LogHas("): service database is moving, abort\n"));
  EXPECT_EQ(Status(), "moving_db");
  for (const char* pid_file : kDaemonPidFiles) EXPECT_TRUE(root_.Exists(pid_file)) << pid_file;
  EXPECT_TRUE(root_.Exists(paths::kRepoMoveMark));
  EXPECT_NE(root_.Read(paths::kSettingConf).find("dfvt_enable=\"1\""), std::string::npos);
  EXPECT_TRUE(Params().empty());
}

TEST_F(StopServiceTest, FailuresAreLoggedAndTheStopGoesOn) {
  root_.Remove(paths::kEnabledMark);
  // setting.conf and the service-volume registry cannot be replaced, the relay
  // program is missing.
  root_.Remove(paths::kSettingConf);
  root_.MakeDir(paths::kSettingConf);
  root_.Remove(paths::kServiceVolumesConf);
  root_.MakeDir(paths::kServiceVolumesConf);
  root_.Remove(paths::kRelayProgram);
  EXPECT_EQ(StopService(1), 0);
  EXPECT_EQ(Status(), "disabled");
  EXPECT_TRUE(
      LogHas("): failed to set dfvt_enable=0 in /var/packages/DriftVault/etc/setting.conf "
             "(skipping)\n"));
  EXPECT_TRUE(LogHas("): TARNServiceVolumeUnregister(DriftVault): Error code = "));
  EXPECT_TRUE(LogHas("): Failed to unregister relay service\n"));
  EXPECT_EQ(Params(), std::vector<std::string>{"0"});
}

}  // namespace
