#include "platform/sdk_functions.h"

#include <gtest/gtest.h>

#include "base/test_root.h"

namespace {

TEST(SdkFunctionsTest, PathsVolumesShareBinsAndUserHomes) {
  test_support::TestRoot box;
  box.CaptureLog();
  box.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},)"
                                      R"({"path":"/volumeUSB1/usbshare","type":4}]})");
  box.Write("/etc/tarn/mounts", "/dev/md2 /volume1 ext4 rw 0 0\n/dev/md3 /volume2 btrfs rw\n");
  box.MakeDir("/volume1/homes/alice");
  box.MakeDir("/volume2/data");
  box.MakeDir("/volumeUSB1/usbshare");
  box.Link("/volume2/data", "/volume1/homes/alice/elsewhere");
  const struct {
    const char *in, *resolved, *volume, *bin;  // null: -1
  } cases[] = {
      {"/volume1/homes/alice", "/volume1/homes/alice", "/volume1", "/volume1"},
      {"/volume1//homes/./alice/", "/volume1/homes/alice", "/volume1", "/volume1"},
      {"/volume1/homes/alice/elsewhere", "/volume2/data", "/volume2", "/volume1"},
      {"/../../volume1", "/volume1", "/volume1", "/volume1"},  // ".." stays inside the root
      {"/volumeUSB1/usbshare", "/volumeUSB1/usbshare", "", "/volumeUSB1/usbshare/@sharebin"},
      {"/volume1/homes/bob", nullptr, "", "/volume1"},
      {"volume1/homes", nullptr, "", ""},
  };
  for (const auto& c : cases) {
    std::string resolved = "unset";
    EXPECT_EQ(SDK::ResolvePath(c.in, &resolved), c.resolved != nullptr ? 0 : -1) << c.in;
    EXPECT_EQ(resolved, c.resolved != nullptr ? c.resolved : "unset") << c.in;
    EXPECT_EQ(SDK::GetVolumePathOf(c.in), c.volume) << c.in;
    EXPECT_EQ(SDK::GetShareBinPath(c.in), c.bin) << c.in;
  }
  for (const char* line :
       {"[ERROR] sdk-cpp(", "): TARNPathResolve(/volume1/homes/bob): Error code 5120\n",
        "): TARNPathResolve(volume1/homes): Error code 3328\n",
        "): TARNShareBinPathGet(volume1/homes): Error code 3328\n",
        "): Failed to get file system property from '/volume1/homes/bob'\n",
        "): Failed to get file system property from '/volumeUSB1/usbshare'\n"}) {
    EXPECT_NE(box.LogText().find(line), std::string::npos) << line << box.LogText();
  }
  // A volume path longer than the platform's 256-byte answer does not fit.
  const std::string deep = "/volume1/" + std::string(300, 'd');
  box.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":")" + deep + R"(","type":2}]})");
  EXPECT_EQ(SDK::GetShareBinPath(deep + "/x"), "");
  EXPECT_FALSE(SDK::IsUserHomeServiceEnabled());  // no tarninfo.conf
  box.Write("/etc.defaults/tarninfo.conf", "userhome_local=\"yes\"\n");
  EXPECT_TRUE(SDK::IsUserHomeServiceEnabled());
}

}  // namespace
