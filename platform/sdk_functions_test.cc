#include "platform/sdk_functions.h"

#include <gtest/gtest.h>

#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"

namespace {

class SdkFunctionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},)"
                                         R"({"path":"/volumeUSB1/usbshare","type":4}]})");
    box_.MakeDir("/volume1/homes/alice");
    box_.MakeDir("/volume2/data");
    box_.MakeDir("/volumeUSB1/usbshare");
  }

  bool Logged(const std::string& text) { return box_.LogText().find(text) != std::string::npos; }

  test_support::TestRoot box_;
};

TEST_F(SdkFunctionsTest, ResolvePathStaysInsideTheRoot) {
  box_.Link("/volume2/data", "/volume1/homes/alice/elsewhere");
  box_.Link("alice", "/volume1/homes/al");
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/volume1/homes/alice", "/volume1/homes/alice"},
      {"/volume1//homes/./alice/", "/volume1/homes/alice"},
      {"/volume1/homes/alice/elsewhere", "/volume2/data"},
      {"/volume1/homes/al", "/volume1/homes/alice"},
      {"/volume1/homes/alice/../../../volume2", "/volume2"},
      {"/../../volume2", "/volume2"},  // ".." never climbs out of the root
  };
  for (const auto& c : cases) {
    std::string resolved = "unset";
    EXPECT_EQ(SDK::ResolvePath(c.in, &resolved), 0) << c.in;
    EXPECT_EQ(resolved, c.out) << c.in;
  }
  std::string resolved = "unset";
  EXPECT_EQ(SDK::ResolvePath("/volume1/homes/bob", &resolved), -1);
  EXPECT_EQ(resolved, "unset");
  EXPECT_EQ(SDK::ResolvePath("volume1/homes", &resolved), -1);
  EXPECT_TRUE(Logged("[ERROR] sdk-cpp("));
  EXPECT_TRUE(Logged("): TARNPathResolve(/volume1/homes/bob): Error code 5120\n"));
  EXPECT_TRUE(Logged("): TARNPathResolve(volume1/homes): Error code 3328\n")) << box_.LogText();
}

TEST_F(SdkFunctionsTest, ShareBinPathOfTheHoldingVolume) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/volume1", "/volume1"},
      {"/volume1/homes", "/volume1"},
      {"/volumeUSB1/usbshare", "/volumeUSB1/usbshare/@sharebin"},
      {"/volumeUSB1/usbshare/photos", "/volumeUSB1/usbshare/@sharebin"},
      {"/volume10/x", ""},
      {"/elsewhere", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SDK::GetShareBinPath(c.in), c.out) << c.in;
  EXPECT_TRUE(Logged("): TARNShareBinPathGet(/elsewhere): Error code 5120\n")) << box_.LogText();
  // A volume path longer than the platform's 256-byte answer does not fit.
  const std::string deep = "/volume1/" + std::string(300, 'd');
  box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":")" + deep + R"(","type":2}]})");
  EXPECT_EQ(SDK::GetShareBinPath(deep + "/x"), "");
}

TEST_F(SdkFunctionsTest, VolumePathOfResolvesLinks) {
  const std::string r = box_.root();
  box_.Write("/mounts",
             "/dev/md2 " + r + "/volume1 ext4 rw 0 0\n/dev/md3 " + r + "/volume2 btrfs rw 0 0\n");
  platform_test::FakeFileSystemOps ops(box_.Host("/mounts"));
  ops.Device("/volume1", 10);
  ops.Device("/volume2", 11);
  platform_test::ScopedDefaultOps installed(&ops);
  box_.Link("/volume2/data", "/volume1/homes/alice/elsewhere");
  EXPECT_EQ(SDK::GetVolumePathOf("/volume1/homes/alice"), "/volume1");
  EXPECT_EQ(SDK::GetVolumePathOf("/volume1/homes/alice/elsewhere"), "/volume2");
  EXPECT_EQ(SDK::GetVolumePathOf("/volume1/homes/bob"), "");
  EXPECT_EQ(SDK::GetVolumePathOf("/volumeUSB1/usbshare"), "");  // not in the table
  EXPECT_TRUE(Logged("): Failed to get file system property from '/volume1/homes/bob'\n"));
  EXPECT_TRUE(Logged("): Failed to get file system property from '/volumeUSB1/usbshare'\n"))
      << box_.LogText();
}

TEST_F(SdkFunctionsTest, UserHomeServiceFollowsTheSwitch) {
  EXPECT_FALSE(SDK::IsUserHomeServiceEnabled());  // no tarninfo.conf
  box_.Write("/etc.defaults/tarninfo.conf", "userhome_local=\"yes\"\n");
  EXPECT_TRUE(SDK::IsUserHomeServiceEnabled());
  box_.Write("/etc.defaults/tarninfo.conf", "userhome_local=\"no\"\nuserhome_domain=\"yes\"\n");
  EXPECT_FALSE(SDK::IsUserHomeServiceEnabled());
}

}  // namespace
