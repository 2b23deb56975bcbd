#include "service/package_state.h"

#include "service/service_test_util.h"

namespace {

using service_test::ChildProcess;
using service_test::GonePid;
using service_test::Listener;
using service_test::TestRoot;

// What the witness pid file of a running word holds.
enum class Witness { kNone, kLive, kGone, kZombie, kGarbage, kPidOne };

struct StatusCase {
  const char* name;
  bool enabled;
  const char* status_file;   // null: no status file
  const char* witness_file;  // pid file that backs the stored word
  Witness witness;
  const char* expected;
};

using W = Witness;
const char kEnabled[] = "status=\"enabled\"\n";
const char kUpdating[] = "status=\"updating\"\n";
const char kChecking[] = "status=\"checking\"\n";
const char kMovingDb[] = "status=\"moving_db\"\n";

const StatusCase kStatusCases[] = {
    {"NotEnabled", false, kEnabled, paths::kSyncDaemonPid, W::kLive, "disabled"},
    {"NoStatusFile", true, nullptr, nullptr, W::kNone, "disabled"},
    {"NoStatusKey", true, "other=\"x\"\n", nullptr, W::kNone, "error"},
    {"EmptyStatus", true, "status=\"\"\n", nullptr, W::kNone, "error"},
    {"GarbageFile", true, "\x01\x02 not a key value file", nullptr, W::kNone, "error"},
    {"WordTooLong", true, "status=\"abcdefghijklmnopqrstuvwxyz0123456\"\n", nullptr, W::kNone,
     "error"},
    {"WordOf31Bytes", true, "status=\"abcdefghijklmnopqrstuvwxyz01234\"\n", nullptr, W::kNone,
     "abcdefghijklmnopqrstuvwxyz01234"},
    {"EnabledSyncdAlive", true, kEnabled, paths::kSyncDaemonPid, W::kLive, "enabled"},
    {"EnabledSyncdPidFileMissing", true, kEnabled, paths::kSyncDaemonPid, W::kNone, "error"},
    {"EnabledSyncdGone", true, kEnabled, paths::kSyncDaemonPid, W::kGone, "error"},
    {"EnabledSyncdZombie", true, kEnabled, paths::kSyncDaemonPid, W::kZombie, "error"},
    {"EnabledSyncdPidGarbage", true, kEnabled, paths::kSyncDaemonPid, W::kGarbage, "error"},
    {"EnabledSyncdPidOne", true, kEnabled, paths::kSyncDaemonPid, W::kPidOne, "error"},
    {"UpdatingUpdaterAlive", true, kUpdating, paths::kUpgradingMark, W::kLive, "updating"},
    {"UpdatingMarkMissing", true, kUpdating, paths::kUpgradingMark, W::kNone, "error"},
    {"CheckingUpdaterAlive", true, kChecking, paths::kUpgradingMark, W::kLive, "checking"},
    {"CheckingUpdaterGone", true, kChecking, paths::kUpgradingMark, W::kGone, "error"},
    {"MovingDbMoverAlive", true, kMovingDb, paths::kRepoMoveMark, W::kLive, "moving_db"},
    {"MovingDbMoverGone", true, kMovingDb, paths::kRepoMoveMark, W::kGone, "error"},
    {"SyncdPidDoesNotBackUpdating", true, kUpdating, paths::kSyncDaemonPid, W::kLive, "error"},
    {"PortConflict", true, "status=\"portconflict\"\n", nullptr, W::kNone, "portconflict"},
    {"Done", true, "status=\"done\"\n", nullptr, W::kNone, "done"},
    {"Disabled", true, "status=\"disabled\"\n", nullptr, W::kNone, "disabled"},
    {"HomeDisabled", true, "status=\"homedisabled\"\n", nullptr, W::kNone, "homedisabled"},
    {"UnquotedWord", true, "status=initializing\n", nullptr, W::kNone, "initializing"},
};

class StatusDecisionTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusDecisionTest, ReportsTheWord) {
  const StatusCase& c = GetParam();
  TestRoot root;
  if (c.enabled) root.Write(paths::kEnabledMark, "");
  if (c.status_file != nullptr) root.Write(paths::kEnableStatus, c.status_file);

  ChildProcess live;
  ChildProcess zombie;
  std::string pid_text;
  switch (c.witness) {
    case Witness::kNone:
      break;
    case Witness::kLive:
      pid_text = std::to_string(live.pid()) + "\n";
      break;
    case Witness::kGone:
      pid_text = std::to_string(GonePid()) + "\n";
      break;
    case Witness::kZombie:
      kill(zombie.pid(), SIGKILL);
      // Wait until the kernel has made it a zombie, without reaping it.
      {
        siginfo_t info;
        waitid(P_PID, zombie.pid(), &info, WEXITED | WNOWAIT);
      }
      pid_text = std::to_string(zombie.pid()) + "\n";
      break;
    case Witness::kGarbage:
      pid_text = "12ab\n";
      break;
    case Witness::kPidOne:
      pid_text = "1\n";
      break;
  }
  if (!pid_text.empty()) root.Write(c.witness_file, pid_text);

  ustring word("untouched");
  EXPECT_EQ(GetServiceStatus(&word), 0);
  EXPECT_EQ(word.str(), c.expected);
  // Reporting never writes the status file.
  if (c.status_file != nullptr) {
    EXPECT_EQ(root.Read(paths::kEnableStatus), c.status_file);
  } else {
    EXPECT_FALSE(root.Exists(paths::kEnableStatus));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StatusDecisionTest, ::testing::ValuesIn(kStatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadServiceStatusTest, FailuresSetTheNeutralWordAndLog) {
  TestRoot root;
  ustring word;
  EXPECT_EQ(ReadServiceStatus(&word), -1);
  EXPECT_EQ(word.str(), "disabled");
  EXPECT_NE(root.LogText().find("[ERROR] service-ctrl("), std::string::npos);
  EXPECT_NE(root.LogText().find("): access(/var/packages/DriftVault/etc/enable_status): "),
            std::string::npos);

  root.Write(paths::kEnableStatus, "status=\"\n");
  EXPECT_EQ(ReadServiceStatus(&word), -1);
  EXPECT_EQ(word.str(), "error");
  EXPECT_NE(
      root.LogText().find("): TLIBCFileGetKeyValue(/var/packages/DriftVault/etc/enable_status, "
                          "status): "),
      std::string::npos);
}

TEST(SetServiceStatusTest, WritesAndKeepsOtherLinesOrLogs) {
  TestRoot root;
  root.Write(paths::kEnableStatus, "other=\"1\"\nstatus=\"enabled\"\n");
  EXPECT_EQ(SetServiceStatus("disabled"), 0);
  ustring word;
  EXPECT_EQ(ReadServiceStatus(&word), 0);
  EXPECT_EQ(word.str(), "disabled");
  EXPECT_NE(root.Read(paths::kEnableStatus).find("other=\"1\""), std::string::npos);

  root.Remove(paths::kEnableStatus);
  rmdir(root.Host(paths::kPackageEtcDir).c_str());
  EXPECT_EQ(SetServiceStatus("disabled"), -1);
  EXPECT_NE(root.LogText().find("): fail to set service statis to disabled"), std::string::npos);
}

struct PortCase {
  const char* name;
  const char* setting_conf;  // null: no file
  int expected_port;
  bool default_written;
};

const PortCase kPortCases[] = {
    {"NoFile", nullptr, 6690, true},
    {"NoKey", "dfvt_enable=\"1\"\n", 6690, true},
    {"EmptyValue", "dfvt_port=\"\"\n", 6690, true},
    {"Configured", "dfvt_port=\"7001\"\n", 7001, false},
    {"Unquoted", "dfvt_port=7002\n", 7002, false},
    {"LeadingDigitsOnly", "dfvt_port=\"7003abc\"\n", 7003, false},
    {"NotANumber", "dfvt_port=\"abc\"\n", 6690, true},
    {"Negative", "dfvt_port=\"-5\"\n", 6690, true},
    {"HugeNumberIsClamped", "dfvt_port=\"99999999999999999999\"\n", 2147483647, false},
};

class GetPortTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(GetPortTest, ReadsOrFallsBack) {
  const PortCase& c = GetParam();
  TestRoot root;
  if (c.setting_conf != nullptr) root.Write(paths::kSettingConf, c.setting_conf);
  int port = -1;
  EXPECT_EQ(GetPort(&port), 0);
  EXPECT_EQ(port, c.expected_port);
  const std::string conf = root.Read(paths::kSettingConf);
  if (c.default_written) {
    EXPECT_NE(conf.find("dfvt_port=\"6690\"\n"), std::string::npos) << conf;
    EXPECT_NE(root.LogText().find("): fail to set getPort, Set default port back "
                                  "/var/packages/DriftVault/etc/setting.conf\n"),
              std::string::npos);
    if (c.setting_conf != nullptr && strstr(c.setting_conf, "dfvt_enable") != nullptr) {
      EXPECT_NE(conf.find("dfvt_enable=\"1\""), std::string::npos) << conf;
    }
  } else {
    EXPECT_EQ(conf, c.setting_conf);
  }
  // The lock file exists afterwards, readable by the package's other users.
  struct stat st;
  ASSERT_EQ(stat(root.Host(paths::kSettingConfLock).c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
}

INSTANTIATE_TEST_SUITE_P(Table, GetPortTest, ::testing::ValuesIn(kPortCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GetPortFailureTest, LockFileOrDefaultCannotBeWritten) {
  TestRoot root;
  // setting.conf is a folder: it can be neither read nor replaced.
  root.MakeDir(paths::kSettingConf);
  int port = 42;
  EXPECT_EQ(GetPort(&port), -1);
  EXPECT_NE(
      root.LogText().find("): fail to set setPort /var/packages/DriftVault/etc/setting.conf\n"),
      std::string::npos);

  rmdir(root.Host(paths::kSettingConf).c_str());
  root.Remove(paths::kSettingConfLock);
  rmdir(root.Host(paths::kPackageEtcDir).c_str());
  port = 42;
  EXPECT_EQ(GetPort(&port), -1);
  EXPECT_EQ(port, 42);
  EXPECT_NE(root.LogText().find("): fail to open file lock of "
                                "/var/packages/DriftVault/etc/setting.conf\n"),
            std::string::npos);
  int conflict = -1;
  EXPECT_EQ(CheckPortConflict(&conflict), -1);
  EXPECT_EQ(conflict, 0);
  EXPECT_NE(root.LogText().find("): Fail to get dfvt_port\n"), std::string::npos);
}

TEST(CheckPortConflictTest, ReportsAPortInUse) {
  TestRoot root;
  int free_port;
  {
    Listener listener;
    root.Write(paths::kSettingConf, "dfvt_port=\"" + std::to_string(listener.port()) + "\"\n");
    int conflict = -1;
    EXPECT_EQ(CheckPortConflict(&conflict), 0);
    EXPECT_EQ(conflict, listener.port());
    EXPECT_NE(root.LogText().find("[INFO] service-ctrl("), std::string::npos);
    EXPECT_NE(root.LogText().find("): drift vault port '" + std::to_string(listener.port()) +
                                  "' has been used\n"),
              std::string::npos);
    free_port = listener.port();
  }
  int conflict = -1;
  EXPECT_EQ(CheckPortConflict(&conflict), 0);
  EXPECT_EQ(conflict, 0);
  EXPECT_NE(free_port, 0);
}

struct VolumeCase {
  const char* name;
  const char* db_path_conf;  // null: no file
  int expected_result;
  const char* expected_volume;
};

const VolumeCase kVolumeCases[] = {
    {"NoFile", nullptr, -1, ""},
    {"Configured", "db-vol=\"/volume1\"\n", 0, "/volume1"},
    // Only a failed read fails: a missing key or an odd value is returned
    // as it is (start then reports the volume as not mounted).
    {"NoKey", "other=\"/volume1\"\n", 0, ""},
    {"EmptyValue", "db-vol=\"\"\n", 0, ""},
    {"RelativePath", "db-vol=\"volume1\"\n", 0, "volume1"},
    {"TooLong", nullptr, -1, ""},  // filled in below
    {"Garbage", "\xff\xfe\x00garbage", 0, ""},
};

class GetDbVolumeTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(GetDbVolumeTest, ReadsTheVolume) {
  const VolumeCase& c = GetParam();
  TestRoot root;
  if (c.db_path_conf != nullptr) root.Write(paths::kDbPathConf, c.db_path_conf);
  if (std::string(c.name) == "TooLong") {
    root.Write(paths::kDbPathConf, "db-vol=\"/" + std::string(1100, 'v') + "\"\n");
  }
  ustring volume("before");
  EXPECT_EQ(GetDbVolume(&volume), c.expected_result);
  if (c.expected_result == 0) {
    EXPECT_EQ(volume.str(), c.expected_volume);
  } else {
    EXPECT_EQ(volume.str(), "before");
    EXPECT_NE(root.LogText().find("): can not get vol\n"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, GetDbVolumeTest, ::testing::ValuesIn(kVolumeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IsVolumeUsableTest, Table) {
  struct Case {
    bool pocket;
    int type;
    bool mounted;
    bool writable;
    int expected;
    const char* log;
  };
  const Case cases[] = {
      {false, 2, true, true, 1, nullptr},
      {false, 4, true, true, 1, nullptr},
      {false, 2, false, true, 0, "): Volume is no mounted: '/volume9'\n"},
      {false, 2, true, false, 0, "): Volume is no writable: '/volume9'\n"},
      {true, 1, true, true, 1, nullptr},
      {true, 2, true, true, 1, nullptr},
      {true, 4, true, true, 0, "'/volume9'"},
      {true, 2, false, true, 0, "): Volume is no mounted: '/volume9'\n"},
  };
  for (const Case& c : cases) {
    TestRoot root;
    root.Write(paths::kTarnInfoConf, c.pocket ? "pocket_unit=\"yes\"\n" : "pocket_unit=\"no\"\n");
    VolumeRecord volume;
    volume.type = c.type;
    volume.mounted = c.mounted;
    volume.writable = c.writable;
    volume.path = "/volume9";
    EXPECT_EQ(IsVolumeUsable(volume), c.expected)
        << "pocket " << c.pocket << " type " << c.type << " mounted " << c.mounted << " writable "
        << c.writable;
    if (c.log != nullptr) {
      EXPECT_NE(root.LogText().find(std::string("[DEBUG] service-ctrl(")), std::string::npos);
      EXPECT_NE(root.LogText().find(c.log), std::string::npos);
    }
  }
}

}  // namespace
