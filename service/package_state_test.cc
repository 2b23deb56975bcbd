// The package's state files.  The word reported for the stored status and
// its witness processes is tested end to end too; the rows here are the
// ones a running appliance cannot set up on demand.
#include "service/package_state.h"

#include "service/service_test_util.h"

namespace {

using service_test::LogHas;
using service_test::TestRoot;

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

}  // namespace
