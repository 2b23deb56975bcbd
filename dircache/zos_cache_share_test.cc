#include "dircache/zos_cache_share.h"

#include <gtest/gtest.h>

#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"

namespace {

using platform_test::FakeFileSystemOps;
using platform_test::ScopedDefaultOps;
using ZOSCache::Share;

TEST(ShareRecordTest, StatusAndTypeTests) {
  {
    Share fresh;
    EXPECT_EQ(fresh.GetType(), 1);
    EXPECT_EQ(fresh.GetStatus(), 0u);
    EXPECT_EQ(fresh.GetName() + fresh.GetPath() + fresh.GetMountPath() + fresh.GetBinBasePath(),
              "");
    EXPECT_TRUE(fresh.IsRegularShare());
    EXPECT_TRUE(fresh.IsMounted());
  }
  struct Case {
    uint32_t status;
    int32_t type;
    bool encryption, mounted, recycle, recycle_admin, skip_smb, bit3, bit14;
    int32_t acl;
    bool usb, sata, gluster, regular;
  } cases[] = {
      {0x0, 0, false, true, false, false, false, false, false, 4, false, false, false, true},
      {0x1, 0, false, true, false, false, false, false, false, 4, false, false, false, true},
      {0x2, 0, true, true, false, false, false, false, false, 4, false, false, false, false},
      {0x3, 0, true, false, false, false, false, false, false, 4, false, false, false, false},
      {0x8, 0, false, true, false, false, false, true, false, 4, false, false, false, true},
      {0x100, 0, false, true, true, false, false, false, false, 4, false, false, false, true},
      {0x200, 0, false, true, false, true, false, false, false, 4, false, false, false, true},
      {0x800, 0, false, true, false, false, false, false, false, 5, false, false, false, true},
      {0x1000, 0, false, true, false, false, true, false, false, 4, false, false, false, true},
      {0x4000, 0, false, true, false, false, false, false, true, 4, false, false, false, true},
      {0xFFFFFFFF, 1, true, false, true, true, true, true, true, 5, false, false, false, false},
      {0x0, 4, false, true, false, false, false, false, false, 4, true, false, false, false},
      {0x0, 8, false, true, false, false, false, false, false, 4, false, true, false, false},
      {0x0, 64, false, true, false, false, false, false, false, 4, false, false, true, false},
      {0x0, 12, false, true, false, false, false, false, false, 4, false, false, false, true},
      {0x0, -4, false, true, false, false, false, false, false, 4, false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << c.status << " type " << c.type);
    Share s;
    s.SetFields("s", "/volume1/s", c.status, c.type);
    EXPECT_EQ(s.IsEncryption(), c.encryption);
    EXPECT_EQ(s.IsMounted(), c.mounted);
    EXPECT_EQ(s.IsRecycleBinEnabled(), c.recycle);
    EXPECT_EQ(s.IsRecycleBinAdminOnly(), c.recycle_admin);
    EXPECT_EQ(s.IsSkipSmbPerm(), c.skip_smb);
    EXPECT_EQ(s.IsStatusBit3Set(), c.bit3);
    EXPECT_EQ(s.IsStatusBit14Set(), c.bit14);
    EXPECT_EQ(s.GetAclMode(), c.acl);
    EXPECT_EQ(s.IsUsbShare(), c.usb);
    EXPECT_EQ(s.IsSataShare(), c.sata);
    EXPECT_EQ(s.IsGluster(), c.gluster);
    EXPECT_EQ(s.IsRegularShare(), c.regular);
  }
}

// Shares on a sandbox whose volumes are described by invented devices.
class ShareFillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.Write("/etc/tarn/volumes.json",
               R"({"volumes":[{"path":"/volume1","type":2},{"path":"/volumeUSB1/usb","type":4},)"
               R"({"path":"/volume2","type":2}]})");
    box_.Write("/etc/tarn/shares.json",
               R"({"shares":[)"
               R"({"name":"homes","path":"/volume1/homes","status":0,"type":0},)"
               R"({"name":"secret","path":"/volume1/secret","status":2,"type":0,)"
               R"("enc_path":"/volume2/@secret@"},)"
               R"({"name":"nodata","path":"/volume1/nodata","status":2,"type":0}]})");
    for (const char* dir : {"/volume1/homes", "/volume1/secret", "/volume2/@secret@",
                            "/volume1/nodata", "/volumeUSB1/usb"}) {
      box_.MakeDir(dir);
    }
    const std::string r = box_.root();
    box_.Write("/mounts", "/dev/md2 " + r + "/volume1 ext4 rw 0 0\n/dev/md3 " + r +
                              "/volume2 ext4 rw 0 0\n/dev/sdq1 " + r +
                              "/volumeUSB1/usb vfat rw 0 0\n");
    ops_.Device("/volume1", 10);
    ops_.Device("/volume2", 11);
    ops_.Device("/volumeUSB1/usb", 12);
  }

  test_support::TestRoot box_;
  FakeFileSystemOps ops_{box_.Host("/mounts")};
  ScopedDefaultOps installed_ops_{&ops_};
};

TEST_F(ShareFillTest, DescribesTheVolumeOrFails) {
  struct Case {
    const char* name;
    const char* path;
    uint32_t status;
    int32_t type;
    const char* mount;
    const char* bin;
  } cases[] = {
      {"homes", "/volume1/homes", 0, 0, "/volume1", "/volume1"},
      // An encrypted share lives where its data lies, not where it is mounted.
      {"secret", "/volume1/secret", 2, 0, "/volume2", "/volume2"},
      {"usb", "/volumeUSB1/usb", 0, 4, "/volumeUSB1/usb", "/volumeUSB1/usb/@sharebin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Share s;
    ASSERT_EQ(s.Fill(c.name, c.path, c.status, c.type), 0);
    EXPECT_EQ(s.GetName(), c.name);
    EXPECT_EQ(s.GetPath(), c.path);
    EXPECT_EQ(s.GetStatus(), c.status);
    EXPECT_EQ(s.GetType(), c.type);
    EXPECT_EQ(s.GetMountPath(), c.mount);
    EXPECT_EQ(s.GetBinBasePath(), c.bin);
  }
  EXPECT_EQ(box_.LogText(), "");

  // Failures keep the fields but describe no volume.
  Share s;
  EXPECT_EQ(s.Fill("nodata", "/volume1/nodata", 2, 0), -1);
  EXPECT_EQ(s.GetName(), "nodata");
  EXPECT_EQ(s.GetStatus(), 2u);
  EXPECT_EQ(s.GetMountPath(), "");
  EXPECT_NE(box_.LogText().find("[ERROR] zoscache("), std::string::npos);
  EXPECT_NE(box_.LogText().find("): TLIBShareEncryptPathGet(nodata) failed, err=[0x1400]\n"),
            std::string::npos)
      << box_.LogText();
  ASSERT_EQ(s.Fill("homes", "/volume1/homes", 0, 0), 0);
  EXPECT_EQ(s.Fill("gone", "/volume9/gone", 0, 0), -1);
  EXPECT_EQ(s.GetMountPath(), "");
  EXPECT_EQ(s.GetName(), "gone");
  EXPECT_NE(box_.LogText().find("): Failed to initialize share info: gone\n"), std::string::npos)
      << box_.LogText();
}

TEST_F(ShareFillTest, MessageRoundTrip) {
  struct Case {
    const char* name;
    const char* path;
    uint32_t status;
    int32_t type;
  } cases[] = {
      {"homes", "/volume1/homes", 0, 0},
      {"homes", "/volume1/homes", 0xFFFFFFFFu & ~0x2u, -1},
      {"secret", "/volume1/secret", 0x2 | 0x800, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Share s;
    ASSERT_EQ(s.Fill(c.name, c.path, c.status, c.type), 0);
    PObject m(PObject::array_type{PObject(1)});
    s.ToMessage(&m);
    ASSERT_TRUE(m.is_map());
    EXPECT_EQ(m.get_map().size(), 4u);
    EXPECT_TRUE(m["name"].is_string());
    EXPECT_TRUE(m["path"].is_string());
    EXPECT_EQ(m["status"].as_uint64(), static_cast<uint64_t>(c.status));
    EXPECT_EQ(m["type"].as_int64(), c.type);
    Share back;
    ASSERT_EQ(back.FromMessage(m), 0);
    EXPECT_EQ(back.GetName(), s.GetName());
    EXPECT_EQ(back.GetPath(), s.GetPath());
    EXPECT_EQ(back.GetStatus(), s.GetStatus());
    EXPECT_EQ(back.GetType(), s.GetType());
    EXPECT_EQ(back.GetMountPath(), s.GetMountPath());
    EXPECT_EQ(back.GetBinBasePath(), s.GetBinBasePath());
  }
}

TEST_F(ShareFillTest, NeutralReadsOfMissingAndMistypedKeys) {
  // Without a path there is no volume to describe: the fields still read
  // neutrally and the lookup fails.
  const PObject not_maps[] = {PObject(), PObject("homes"), PObject(7),
                              PObject(PObject::array_type{PObject("homes")})};
  for (const PObject& m : not_maps) {
    SCOPED_TRACE(m.to_text().c_str());
    Share s;
    s.SetFields("old", "/old", 9, 9);
    EXPECT_EQ(s.FromMessage(m), -1);
    EXPECT_EQ(s.GetName(), "");
    EXPECT_EQ(s.GetPath(), "");
    EXPECT_EQ(s.GetStatus(), 0u);
    EXPECT_EQ(s.GetType(), 0);
  }
  PObject mistyped;
  mistyped["name"] = "homes";
  mistyped["path"] = "/volume1/homes";
  mistyped["status"] = "2";  // a string is not a number: not encrypted
  mistyped["type"] = PObject::map_type();
  Share s;
  EXPECT_EQ(s.FromMessage(mistyped), 0);
  EXPECT_EQ(s.GetStatus(), 0u);
  EXPECT_EQ(s.GetType(), 0);
  EXPECT_EQ(s.GetMountPath(), "/volume1");
  // Numbers read as their low 32 bits.
  PObject wide;
  wide["name"] = "homes";
  wide["path"] = "/volume1/homes";
  wide["status"] = static_cast<uint64_t>(0x100000100ull);
  wide["type"] = static_cast<uint64_t>(0x200000004ull);
  ASSERT_EQ(s.FromMessage(wide), 0);
  EXPECT_EQ(s.GetStatus(), 0x100u);
  EXPECT_EQ(s.GetType(), 4);
}

}  // namespace
