// The sandbox made by scripts/make-sandbox.sh describes its volume as an
// appliance would: /volume1 is found as an ext4 volume through the sandbox's
// own mount table, so shares on it know their volume.
#include <stdlib.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/file_system_property.h"
#include "platform/sdk_share.h"
#include "tests/e2e_support.h"

namespace {

TEST(SandboxVolumes, HomesShareLiesOnVolume1) {
  e2e::Sandbox sandbox;
  ASSERT_TRUE(sandbox.Exists("/etc/tarn/mounts"));
  const char* old = getenv("DRIFT_ROOT");
  const std::string saved = old != nullptr ? old : "";
  setenv("DRIFT_ROOT", sandbox.root().c_str(), 1);

  {
    SDK::Share share;
    ASSERT_EQ(share.Open("homes", false), 0);
    EXPECT_EQ(share.GetPath(), "/volume1/homes");
    EXPECT_EQ(share.GetVolumePath(), "/volume1");
    EXPECT_FALSE(share.IsUsbShare());
  }

  FileSystemProperty fs;
  ASSERT_EQ(fs.Init("/volume1/homes/alice", true), 0);
  EXPECT_EQ(fs.kind(), FileSystemProperty::kExt4);
  EXPECT_EQ(fs.mount_path(), "/volume1");
  EXPECT_EQ(fs.tmp_path(), "/volume1/@tmp");
  EXPECT_EQ(fs.device(), "/dev/md2");
  // The package tree is not on a volume.
  EXPECT_EQ(fs.Init("/var/packages/DriftVault", true), -1);

  if (old != nullptr) {
    setenv("DRIFT_ROOT", saved.c_str(), 1);
  } else {
    unsetenv("DRIFT_ROOT");
  }
}

}  // namespace
