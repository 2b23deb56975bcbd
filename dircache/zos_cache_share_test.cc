#include "dircache/zos_cache_share.h"

#include <gtest/gtest.h>

#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"

namespace {

using ZOSCache::Share;

// Plain and encrypted shares on the first volume are tested end to end,
// against the platform's own description.
TEST(ShareFillTest, DescribesTheVolumeOrFails) {
  // Shares on a sandbox whose volumes are described by invented devices.
  test_support::TestRoot box;
  box.CaptureLog();
  box.Write("/etc/tarn/volumes.json",
            R"({"volumes":[{"path":"/volume1","type":2},{"path":"/volumeUSB1/usb","type":4},)"
            R"({"path":"/volume2","type":2}]})");
  box.Write("/etc/tarn/shares.json",
            R"({"shares":[{"name":"secret","path":"/volume1/secret","status":2,"type":0,)"
            R"("enc_path":"/volume2/@secret@"}]})");
  for (const char* dir : {"/volume1/homes", "/volume1/secret", "/volume2/@secret@",
                          "/volume1/nodata", "/volumeUSB1/usb"}) {
    box.MakeDir(dir);
  }
  const std::string r = box.root();
  box.Write("/mounts", "/dev/md2 " + r + "/volume1 ext4 rw 0 0\n/dev/md3 " + r +
                           "/volume2 ext4 rw 0 0\n/dev/sdq1 " + r +
                           "/volumeUSB1/usb vfat rw 0 0\n");
  platform_test::FakeFileSystemOps ops{box.Host("/mounts")};
  platform_test::ScopedDefaultOps installed_ops{&ops};
  ops.Device("/volume1", 10);
  ops.Device("/volume2", 11);
  ops.Device("/volumeUSB1/usb", 12);
  const struct {
    const char* name;
    const char* path;
    uint32_t status;
    int32_t type;
    const char* mount;  // null: Fill fails
    const char* bin;
    const char* log;
  } cases[] = {
      {"secret", "/volume1/secret", 2, 0, "/volume2", "/volume2", ""},
      {"usb", "/volumeUSB1/usb", 0, 4, "/volumeUSB1/usb", "/volumeUSB1/usb/@sharebin", ""},
      {"nodata", "/volume1/nodata", 2, 0, nullptr, "",
       "): TLIBShareEncryptPathGet(nodata) failed, err=[0x1400]\n"},
      {"gone", "/volume9/gone", 0, 0, nullptr, "", "): Failed to initialize share info: gone\n"},
  };
  Share s;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(s.Fill("homes", "/volume1/homes", 0, 0), 0);  // a volume from before
    const size_t before = box.LogText().size();
    EXPECT_EQ(s.Fill(c.name, c.path, c.status, c.type), c.mount != nullptr ? 0 : -1);
    // Failures keep the fields but describe no volume.
    EXPECT_EQ(s.GetName() + " " + s.GetPath() + " " + std::to_string(s.GetStatus()) + " " +
                  std::to_string(s.GetType()) + " " + s.GetMountPath() + " " + s.GetBinBasePath(),
              std::string(c.name) + " " + c.path + " " + std::to_string(c.status) + " " +
                  std::to_string(c.type) + " " + (c.mount ? c.mount : "") + " " + c.bin);
    const std::string log = box.LogText().substr(before);
    EXPECT_EQ(log.empty(), *c.log == '\0') << log;
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
    EXPECT_EQ(log.find("[ERROR] zoscache(") == std::string::npos, *c.log == '\0') << log;
    // The message form carries the four fields and describes the volume anew.
    PObject m(PObject::array_type{PObject(1)});
    s.ToMessage(&m);
    EXPECT_EQ(m.get_map().size(), 4u);
    Share back;
    EXPECT_EQ(back.FromMessage(m), c.mount != nullptr ? 0 : -1);
    EXPECT_EQ(back.GetBinBasePath() + " " + std::to_string(back.GetStatus()),
              std::string(c.bin) + " " + std::to_string(c.status));
  }
}

}  // namespace
