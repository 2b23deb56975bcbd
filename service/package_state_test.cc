// The package's state files.  The word reported for the stored status and
// its witness processes is tested end to end too; the rows here are the
// ones a running appliance cannot set up on demand.
#include "service/package_state.h"

#include <sys/stat.h>

#include "service/service_test_util.h"

namespace {

using service_test::LogHas;
using service_test::TestRoot;

TEST(GetServiceStatusTest, ReportsTheWord) {
  service_test::ChildProcess live;
  service_test::ChildProcess zombie;
  zombie.MakeZombie();
  const struct {
    const char* status_file;
    int sync_daemon;  // the pid in the sync daemon's pid file, or 0
    const char* expected;
  } cases[] = {
      {"status=\"abcdefghijklmnopqrstuvwxyz01234\"\n", 0, "abcdefghijklmnopqrstuvwxyz01234"},
      {"status=\"enabled\"\n", zombie.pid(), "error"},
      {"status=\"updating\"\n", live.pid(), "error"},  // witnessed by the wrong file
  };
  for (const auto& c : cases) {
    TestRoot root;
    root.Write(paths::kEnabledMark, "");
    root.Write(paths::kEnableStatus, c.status_file);
    if (c.sync_daemon != 0) root.Write(paths::kSyncDaemonPid, std::to_string(c.sync_daemon) + "\n");
    ustring word("untouched");
    EXPECT_EQ(GetServiceStatus(&word), 0);
    EXPECT_EQ(word.str(), c.expected) << c.status_file;
    EXPECT_EQ(root.Read(paths::kEnableStatus), c.status_file);  // never written
  }
}

TEST(ServiceStatusFileTest, ReadFailuresSetTheNeutralWordAndLog) {
  TestRoot root;
  ustring word;
  EXPECT_EQ(ReadServiceStatus(&word), -1);
  EXPECT_EQ(word.str(), "disabled");
  EXPECT_TRUE(LogHas(root, "[ERROR] service-ctrl("));
  EXPECT_TRUE(LogHas(root, "): access(/var/packages/DriftVault/etc/enable_status): "));
  root.Write(paths::kEnableStatus, "status=\"\n");
  EXPECT_EQ(ReadServiceStatus(&word), -1);
  EXPECT_EQ(word.str(), "error");
  EXPECT_TRUE(LogHas(
      root, "): TLIBCFileGetKeyValue(/var/packages/DriftVault/etc/enable_status, status): "));
  // Writing keeps the other lines.
  root.Write(paths::kEnableStatus, "other=\"1\"\nstatus=\"enabled\"\n");
  EXPECT_EQ(SetServiceStatus("disabled"), 0);
  EXPECT_EQ(root.Read(paths::kEnableStatus), "other=\"1\"\nstatus=\"disabled\"\n");
  root.Remove(paths::kEnableStatus);
  rmdir(root.Host(paths::kPackageEtcDir).c_str());
  EXPECT_EQ(SetServiceStatus("disabled"), -1);
  EXPECT_TRUE(LogHas(root, "): fail to set service statis to disabled"));
}

TEST(GetPortTest, ReadsOrFallsBack) {
  const struct {
    const char* setting_conf;  // null: no file
    int port;
    const char* conf_after;  // null: unchanged (the default is written back otherwise)
  } cases[] = {
      {nullptr, 6690, "dfvt_port=\"6690\"\n"},
      {"dfvt_enable=\"1\"\n", 6690, "dfvt_enable=\"1\"\ndfvt_port=\"6690\"\n"},
      {"dfvt_port=\"\"\n", 6690, "dfvt_port=\"6690\"\n"},
      {"dfvt_port=\"abc\"\n", 6690, "dfvt_port=\"6690\"\n"},
      {"dfvt_port=\"-5\"\n", 6690, "dfvt_port=\"6690\"\n"},
      {"dfvt_port=7002\n", 7002, nullptr},
      {"dfvt_port=\"7003abc\"\n", 7003, nullptr},
      {"dfvt_port=\"99999999999999999999\"\n", 2147483647, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting_conf != nullptr ? c.setting_conf : "no file");
    TestRoot root;
    if (c.setting_conf != nullptr) root.Write(paths::kSettingConf, c.setting_conf);
    int port = -1;
    EXPECT_EQ(GetPort(&port), 0);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(root.Read(paths::kSettingConf), c.conf_after ? c.conf_after : c.setting_conf);
    EXPECT_EQ(LogHas(root,
                     "): fail to set getPort, Set default port back "
                     "/var/packages/DriftVault/etc/setting.conf\n"),
              c.conf_after != nullptr);
  }
  // The lock file is left readable by the package's other users.
  TestRoot root;
  int port = -1;
  EXPECT_EQ(GetPort(&port), 0);
  struct stat st;
  ASSERT_EQ(stat(root.Host(paths::kSettingConfLock).c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
}

TEST(GetPortTest, FailuresAndConflicts) {
  TestRoot root;
  root.MakeDir(paths::kSettingConf);  // can be neither read nor replaced
  int port = 42;
  EXPECT_EQ(GetPort(&port), -1);
  EXPECT_TRUE(LogHas(root, "): fail to set setPort /var/packages/DriftVault/etc/setting.conf\n"));
  rmdir(root.Host(paths::kSettingConf).c_str());
  root.Remove(paths::kSettingConfLock);
  rmdir(root.Host(paths::kPackageEtcDir).c_str());
  EXPECT_EQ(GetPort(&port), -1);
  EXPECT_EQ(port, 42);
  EXPECT_TRUE(
      LogHas(root, "): fail to open file lock of /var/packages/DriftVault/etc/setting.conf\n"));
  int conflict = -1;
  EXPECT_EQ(CheckPortConflict(&conflict), -1);
  EXPECT_EQ(conflict, 0);
  EXPECT_TRUE(LogHas(root, "): Fail to get dfvt_port\n"));
  root.MakeDir(paths::kPackageEtcDir);
  {
    service_test::Listener listener;
    root.Write(paths::kSettingConf, "dfvt_port=\"" + std::to_string(listener.port()) + "\"\n");
    EXPECT_EQ(CheckPortConflict(&conflict), 0);
    EXPECT_EQ(conflict, listener.port());
    EXPECT_TRUE(LogHas(root, "[INFO] service-ctrl("));
    EXPECT_TRUE(
        LogHas(root, "): drift vault port '" + std::to_string(conflict) + "' has been used\n"));
  }
  EXPECT_EQ(CheckPortConflict(&conflict), 0);
  EXPECT_EQ(conflict, 0);
}

// Only a failed read fails: a missing key or an odd value is returned as it
// is (tested end to end: start then reports the volume as not mounted).
TEST(GetDbVolumeTest, OnlyAFailedReadFails) {
  const std::pair<std::string, const char*> cases[] = {
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
    EXPECT_EQ(LogHas(root, "): can not get vol\n"), c.second == nullptr);
  }
}

TEST(IsVolumeUsableTest, Table) {
  const struct {
    bool pocket;
    VolumeRecord volume;
    const char* log;  // null: usable
  } cases[] = {
      {false, {2, true, "/volume9", true}, nullptr},
      {false, {4, true, "/volume9", true}, nullptr},
      {false, {2, false, "/volume9", true}, "): Volume is no mounted: '/volume9'\n"},
      {false, {2, true, "/volume9", false}, "): Volume is no writable: '/volume9'\n"},
      {true, {1, true, "/volume9", true}, nullptr},
      {true, {4, true, "/volume9", true}, "): Not a valid volume: '/volume9' (type 4)\n"},
      {true, {2, false, "/volume9", true}, "): Volume is no mounted: '/volume9'\n"},
  };
  for (const auto& c : cases) {
    TestRoot root;
    root.Write(paths::kTarnInfoConf, c.pocket ? "pocket_unit=\"yes\"\n" : "pocket_unit=\"no\"\n");
    EXPECT_EQ(IsVolumeUsable(c.volume), c.log == nullptr ? 1 : 0) << c.pocket << c.volume.type;
    EXPECT_EQ(LogHas(root, "[DEBUG] service-ctrl("), c.log != nullptr);
    EXPECT_TRUE(c.log == nullptr || LogHas(root, c.log)) << root.LogText();
  }
}

}  // namespace
