// The package's state files.  The word reported for the stored status and
// its witness processes is tested end to end too; the rows here are the
// ones a running appliance cannot set up on demand.
#include "service/package_state.h"

#include <sys/stat.h>

#include "service/service_test_util.h"

namespace {

using service_test::ChildProcess;
using service_test::TestRoot;

TEST(GetServiceStatusTest, ReportsTheWord) {
  ChildProcess live;
  ChildProcess zombie;
  kill(zombie.pid(), SIGKILL);
  siginfo_t info;  // a zombie: ended, not reaped
  waitid(P_PID, zombie.pid(), &info, WEXITED | WNOWAIT);
  const std::string alive = std::to_string(live.pid()) + "\n";
  const struct {
    const char* status_file;
    const char* witness_file;  // pid file that backs the stored word, or null
    std::string witness;
    const char* expected;
  } cases[] = {
      {"status=\"abcdefghijklmnopqrstuvwxyz01234\"\n", nullptr, "",
       "abcdefghijklmnopqrstuvwxyz01234"},
      {"status=initializing\n", nullptr, "", "initializing"},
      {"status=\"enabled\"\n", paths::kSyncDaemonPid, alive, "enabled"},
      {"status=\"enabled\"\n", paths::kSyncDaemonPid, std::to_string(zombie.pid()) + "\n", "error"},
      {"status=\"updating\"\n", paths::kSyncDaemonPid, alive, "error"},
      {"status=\"moving_db\"\n", paths::kRepoMoveMark, alive, "moving_db"},
      {"status=\"moving_db\"\n", paths::kRepoMoveMark,
       std::to_string(service_test::GonePid()) + "\n", "error"},
  };
  for (const auto& c : cases) {
    TestRoot root;
    root.Write(paths::kEnabledMark, "");
    root.Write(paths::kEnableStatus, c.status_file);
    if (c.witness_file != nullptr) root.Write(c.witness_file, c.witness);
    ustring word("untouched");
    EXPECT_EQ(GetServiceStatus(&word), 0);
    EXPECT_EQ(word.str(), c.expected) << c.status_file << c.witness;
    EXPECT_EQ(root.Read(paths::kEnableStatus), c.status_file);  // never written
  }
}

TEST(ServiceStatusFileTest, ReadFailuresSetTheNeutralWordAndLog) {
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
  EXPECT_NE(root.LogText().find("): TLIBCFileGetKeyValue(/var/packages/DriftVault/etc/"
                                "enable_status, status): "),
            std::string::npos);
  // Writing keeps the other lines.
  root.Write(paths::kEnableStatus, "other=\"1\"\nstatus=\"enabled\"\n");
  EXPECT_EQ(SetServiceStatus("disabled"), 0);
  EXPECT_EQ(root.Read(paths::kEnableStatus), "other=\"1\"\nstatus=\"disabled\"\n");
  root.Remove(paths::kEnableStatus);
  rmdir(root.Host(paths::kPackageEtcDir).c_str());
  EXPECT_EQ(SetServiceStatus("disabled"), -1);
  EXPECT_NE(root.LogText().find("): fail to set service statis to disabled"), std::string::npos);
}

TEST(GetPortTest, ReadsOrFallsBack) {
  const struct {
    const char* setting_conf;  // null: no file
    int port;
    bool default_written;
  } cases[] = {
      {nullptr, 6690, true},
      {"dfvt_enable=\"1\"\n", 6690, true},
      {"dfvt_port=\"\"\n", 6690, true},
      {"dfvt_port=\"abc\"\n", 6690, true},
      {"dfvt_port=\"-5\"\n", 6690, true},
      {"dfvt_port=\"7001\"\n", 7001, false},
      {"dfvt_port=7002\n", 7002, false},
      {"dfvt_port=\"7003abc\"\n", 7003, false},
      {"dfvt_port=\"99999999999999999999\"\n", 2147483647, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting_conf != nullptr ? c.setting_conf : "no file");
    TestRoot root;
    if (c.setting_conf != nullptr) root.Write(paths::kSettingConf, c.setting_conf);
    int port = -1;
    EXPECT_EQ(GetPort(&port), 0);
    EXPECT_EQ(port, c.port);
    const std::string conf = root.Read(paths::kSettingConf);
    EXPECT_EQ(
        root.LogText().find("): fail to set getPort, Set default port back "
                            "/var/packages/DriftVault/etc/setting.conf\n") != std::string::npos,
        c.default_written);
    if (c.default_written) {
      EXPECT_NE(conf.find("dfvt_port=\"6690\"\n"), std::string::npos) << conf;
      if (c.setting_conf != nullptr && strstr(c.setting_conf, "dfvt_enable") != nullptr) {
        EXPECT_NE(conf.find("dfvt_enable=\"1\""), std::string::npos) << conf;  // kept
      }
    } else {
      EXPECT_EQ(conf, c.setting_conf);
    }
    // The lock file is left readable by the package's other users.
    struct stat st;
    ASSERT_EQ(stat(root.Host(paths::kSettingConfLock).c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
  }
}

TEST(GetPortTest, LockFileOrDefaultCannotBeWrittenAndPortConflicts) {
  TestRoot root;
  root.MakeDir(paths::kSettingConf);  // can be neither read nor replaced
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

  root.MakeDir(paths::kPackageEtcDir);
  int used = 0;
  {
    service_test::Listener listener;
    used = listener.port();
    root.Write(paths::kSettingConf, "dfvt_port=\"" + std::to_string(used) + "\"\n");
    EXPECT_EQ(CheckPortConflict(&conflict), 0);
    EXPECT_EQ(conflict, used);
  }
  EXPECT_NE(root.LogText().find("[INFO] service-ctrl("), std::string::npos);
  EXPECT_NE(
      root.LogText().find("): drift vault port '" + std::to_string(used) + "' has been used\n"),
      std::string::npos);
  EXPECT_EQ(CheckPortConflict(&conflict), 0);
  EXPECT_EQ(conflict, 0);
}

TEST(GetDbVolumeTest, ReadsTheVolume) {
  // Only a failed read fails: a missing key or an odd value is returned as
  // it is (start then reports the volume as not mounted).
  const std::pair<std::string, const char*> cases[] = {
      {"db-vol=\"/volume1\"\n", "/volume1"},
      {"other=\"/volume1\"\n", ""},
      {"db-vol=\"volume1\"\n", "volume1"},
      {std::string("\xff\xfe\x00garbage", 10), ""},
      {"db-vol=\"/" + std::string(1100, 'v') + "\"\n", nullptr},
      {"", nullptr},  // no file
  };
  for (const auto& c : cases) {
    TestRoot root;
    if (!c.first.empty()) root.Write(paths::kDbPathConf, c.first);
    ustring volume("before");
    EXPECT_EQ(GetDbVolume(&volume), c.second != nullptr ? 0 : -1) << c.first;
    EXPECT_EQ(volume.str(), c.second != nullptr ? c.second : "before");
    EXPECT_EQ(root.LogText().find("): can not get vol\n") != std::string::npos,
              c.second == nullptr);
  }
}

TEST(IsVolumeUsableTest, Table) {
  const struct {
    bool pocket;
    int type;
    bool mounted, writable;
    const char* log;  // null: usable
  } cases[] = {
      {false, 2, true, true, nullptr},
      {false, 4, true, true, nullptr},
      {false, 2, false, true, "): Volume is no mounted: '/volume9'\n"},
      {false, 2, true, false, "): Volume is no writable: '/volume9'\n"},
      {true, 1, true, true, nullptr},
      {true, 4, true, true, "): Not a valid volume: '/volume9' (type 4)\n"},
      {true, 2, false, true, "): Volume is no mounted: '/volume9'\n"},
  };
  for (const auto& c : cases) {
    TestRoot root;
    root.Write(paths::kTarnInfoConf, c.pocket ? "pocket_unit=\"yes\"\n" : "pocket_unit=\"no\"\n");
    VolumeRecord volume;
    volume.type = c.type;
    volume.mounted = c.mounted;
    volume.writable = c.writable;
    volume.path = "/volume9";
    EXPECT_EQ(IsVolumeUsable(volume), c.log == nullptr ? 1 : 0) << c.pocket << c.type << c.mounted;
    if (c.log != nullptr) {
      EXPECT_NE(root.LogText().find(std::string("[DEBUG] service-ctrl(")), std::string::npos);
      EXPECT_NE(root.LogText().find(c.log), std::string::npos) << root.LogText();
    }
  }
}

}  // namespace
