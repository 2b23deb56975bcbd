#include "platform/sdk_share.h"

#include <gtest/gtest.h>

#include <map>

#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"
#include "platform/sdk_mutex.h"

namespace {

using platform_test::FakeFileSystemOps;
using platform_test::ScopedDefaultOps;

// One share as the platform lists it.
struct ShareRow {
  const char* name;
  const char* path;
  uint32_t status;
  int type;
  const char* enc_path;  // "" for none
};

const ShareRow kShares[] = {
    {"homes", "/volume1/homes", 0x0, 0, ""},
    {"secret", "/volume1/secret", 0x2, 0, "/volume1/@secret@"},
    {"locked", "/volume1/locked", 0x3, 0, "/volume1/@locked@"},
    {"flags", "/volume1/flags", 0x800 | 0x1000 | 0x100 | 0x200 | 0x8 | 0x4000, 0, ""},
    {"usbshare", "/volumeUSB1/usbshare", 0x0, 4, ""},
    {"sata", "/volumeSATA1/sata", 0x0, 8, ""},
    {"gluster", "/volume1/gluster", 0x0, 64, ""},
};

// A cache backend that describes the listed shares as the cache daemon
// would: the volume is that of the encrypted data for an encrypted share.
class ShareCache : public SDK::CacheBackend {
 public:
  int GetUser(const std::string&, SDK::CachedUser*) override { return -1; }
  int GetShare(const std::string& name, SDK::CachedShare* share) override {
    locked_during_call = locked_during_call || SDK::sdk_mutex->IsOwnedByCurrentThread();
    for (const ShareRow& row : kShares) {
      if (name != row.name) continue;
      share->name = row.name;
      share->path = row.path;
      share->status = row.status;
      share->type = row.type;
      std::string volume_of = row.enc_path[0] != '\0' ? row.enc_path : row.path;
      return share->volume.Init(volume_of, true);
    }
    if (name == "ghost") {  // known to the cache, gone from the platform
      share->name = "ghost";
      share->path = "/volume1/ghost";
      return 0;
    }
    return -5;
  }
  int GetShareUniqueKey(const std::string& name, std::string* key) override {
    auto it = keys.find(name);
    if (it == keys.end()) return -1;
    *key = it->second;
    return 0;
  }

  std::map<std::string, std::string> keys;
  bool locked_during_call = false;
};

class ShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.Write("/etc/passwd",
               "alice:x:1026:100::/volume1/homes/alice:/bin/sh\n"
               "bob:x:1027:100::/volume1/homes/bob:/bin/sh\n");
    box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},)"
                                         R"({"path":"/volumeUSB1/usbshare","type":4},)"
                                         R"({"path":"/volumeSATA1/sata","type":2}]})");
    box_.Write("/etc/tarn/shares.json",
               R"({"shares":[)"
               R"({"name":"homes","path":"/volume1/homes","status":0,"type":0},)"
               R"({"name":"secret","path":"/volume1/secret","status":2,"type":0,)"
               R"("enc_path":"/volume1/@secret@","key":"/etc/tarn/keys/secret.key"},)"
               R"({"name":"locked","path":"/volume1/locked","status":3,"type":0,)"
               R"("enc_path":"/volume1/@locked@"},)"
               R"({"name":"flags","path":"/volume1/flags","status":23304,"type":0,)"
               R"("readonly_by":["DriftVault"],"rights":{"alice":"ro","bob":"na"}},)"
               R"({"name":"usbshare","path":"/volumeUSB1/usbshare","status":0,"type":4},)"
               R"({"name":"usbsub","path":"/volumeUSB1/usbshare/sub","status":0,"type":4},)"
               R"({"name":"sata","path":"/volumeSATA1/sata","status":0,"type":8},)"
               R"({"name":"gluster","path":"/volume1/gluster","status":0,"type":64}]})");
    box_.Write("/etc/tarn/keys/secret.key", std::string(kKey, 64));
    for (const char* dir : {"/volume1/homes", "/volume1/secret", "/volume1/@secret@",
                            "/volume1/locked", "/volume1/@locked@", "/volume1/flags",
                            "/volume1/gluster", "/volumeUSB1/usbshare/sub", "/volumeSATA1/sata"}) {
      box_.MakeDir(dir);
    }
    const std::string r = box_.root();
    box_.Write("/mounts", "/dev/md2 " + r + "/volume1 ext4 rw 0 0\n" + "/dev/sdq1 " + r +
                              "/volumeUSB1/usbshare vfat rw 0 0\n" + "/dev/sdr1 " + r +
                              "/volumeSATA1/sata ext4 rw 0 0\n");
    ops_.Device("/volume1", 10);
    ops_.Device("/volumeUSB1/usbshare", 11);
    ops_.Device("/volumeSATA1/sata", 12);
  }

  static constexpr char kKey[] =
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\xff";

  test_support::TestRoot box_;
  FakeFileSystemOps ops_{box_.Host("/mounts")};
  ScopedDefaultOps installed_ops_{&ops_};
};

constexpr char ShareTest::kKey[];

struct Expected {
  const char* name;
  const char* volume;
  const char* bin;
  int32_t acl;
  bool skip_smb, recycle, recycle_admin, encryption, mounted, bit3, bit14, gluster, sata, usb,
      regular;
};

const Expected kExpected[] = {
    {"homes", "/volume1", "/volume1", 4, false, false, false, false, true, false, false, false,
     false, false, true},
    {"secret", "/volume1", "/volume1", 4, false, false, false, true, true, false, false, false,
     false, false, false},
    {"locked", "/volume1", "/volume1", 4, false, false, false, true, false, false, false, false,
     false, false, false},
    {"flags", "/volume1", "/volume1", 5, true, true, true, false, true, true, true, false, false,
     false, true},
    {"usbshare", "/volumeUSB1/usbshare", "/volumeUSB1/usbshare/@sharebin", 4, false, false, false,
     false, true, false, false, false, false, true, false},
    {"sata", "/volumeSATA1/sata", "/volumeSATA1/sata", 4, false, false, false, false, true, false,
     false, false, true, false, false},
    {"gluster", "/volume1", "/volume1", 4, false, false, false, false, true, false, false, true,
     false, false, false},
};

void CheckShare(const SDK::Share& share, const Expected& e) {
  const ShareRow* row = nullptr;
  for (const ShareRow& s : kShares) {
    if (std::string(s.name) == e.name) row = &s;
  }
  ASSERT_NE(row, nullptr);
  EXPECT_TRUE(share.IsValid());
  EXPECT_EQ(share.GetName(), e.name);
  EXPECT_EQ(share.GetPath(), row->path);
  EXPECT_EQ(share.GetStatus(), row->status);
  EXPECT_EQ(share.GetVolumePath(), e.volume);
  EXPECT_EQ(share.GetVolumeMountPath(), e.volume);
  EXPECT_EQ(share.GetShareBinPath(), e.bin);
  EXPECT_EQ(share.GetAclMode(), e.acl);
  EXPECT_EQ(share.IsSkipSmbPerm(), e.skip_smb);
  EXPECT_EQ(share.IsRecycleBinEnabled(), e.recycle);
  EXPECT_EQ(share.IsRecycleBinAdminOnly(), e.recycle_admin);
  EXPECT_EQ(share.IsEncryption(), e.encryption);
  EXPECT_EQ(share.IsMounted(), e.mounted);
  EXPECT_EQ(share.IsStatusBit3Set(), e.bit3);
  EXPECT_EQ(share.IsStatusBit14Set(), e.bit14);
  EXPECT_EQ(share.IsGluster(), e.gluster);
  EXPECT_EQ(share.IsSataShare(), e.sata);
  EXPECT_EQ(share.IsUsbShare(), e.usb);
  EXPECT_EQ(share.IsRegularShare(), e.regular);
}

TEST_F(ShareTest, EveryShareFromThePlatform) {
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.name);
    SDK::Share share;
    ASSERT_EQ(share.Open(e.name, false), 0);
    CheckShare(share, e);
  }
  EXPECT_EQ(box_.LogText(), "");
}

TEST_F(ShareTest, EveryShareFromTheCache) {
  ShareCache cache;
  SDK::SetCacheBackend(&cache);
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.name);
    SDK::Share share;
    ASSERT_EQ(share.Open(e.name, true), 0);
    CheckShare(share, e);
  }
  SDK::SetCacheBackend(nullptr);
  EXPECT_FALSE(cache.locked_during_call);
  EXPECT_EQ(box_.LogText(), "");
}

TEST_F(ShareTest, UsbShareIsTheWholeDisk) {
  // Below a USB disk's mount point the platform share is not a USB share;
  // the cache tells USB shares by their type alone.
  SDK::Share share;
  ASSERT_EQ(share.Open("usbsub", false), 0);
  EXPECT_EQ(share.GetVolumePath(), "/volumeUSB1/usbshare");
  EXPECT_FALSE(share.IsUsbShare());
  EXPECT_TRUE(share.IsRegularShare());
}

TEST_F(ShareTest, UserRights) {
  ShareCache cache;
  SDK::SetCacheBackend(&cache);
  for (bool use_cache : {false, true}) {
    SCOPED_TRACE(use_cache ? "cache" : "direct");
    SDK::Share flags;
    ASSERT_EQ(flags.Open("flags", use_cache), 0);
    EXPECT_EQ(flags.GetUserRight("alice"), TARN_SHARE_RIGHT_READ_ONLY);
    EXPECT_EQ(flags.GetUserRight("bob"), TARN_SHARE_RIGHT_NO_ACCESS);
    EXPECT_EQ(flags.GetUserRight("nobody"), TARN_SHARE_RIGHT_NO_ACCESS);
    EXPECT_TRUE(flags.IsReadOnlyRegisteredBy("DriftVault"));
    EXPECT_FALSE(flags.IsReadOnlyRegisteredBy("Other"));
    SDK::Share homes;
    ASSERT_EQ(homes.Open("homes", use_cache), 0);
    EXPECT_EQ(homes.GetUserRight("alice"), TARN_SHARE_RIGHT_READ_WRITE);
    EXPECT_FALSE(homes.IsReadOnlyRegisteredBy("DriftVault"));
  }
  SDK::Share ghost;
  ASSERT_EQ(ghost.Open("ghost", true), 0);
  EXPECT_EQ(ghost.GetUserRight("alice"), TARN_SHARE_RIGHT_NO_ACCESS);
  SDK::SetCacheBackend(nullptr);
  const std::string log = box_.LogText();
  EXPECT_NE(log.find("): TLIBShareUserRightGet(nobody, flags): Error Code 5120\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("): TLIBShareUserRightGet(nobody, flags): err=[0x1400]\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("): TARNShareGet(ghost): err=[0x1400]\n"), std::string::npos) << log;
}

TEST_F(ShareTest, EncryptionKeys) {
  std::string key = "stale";
  SDK::Share share;
  ASSERT_EQ(share.Open("secret", false), 0);
  EXPECT_EQ(share.GetEncryptionKey(&key), 1);
  EXPECT_EQ(key, std::string(kKey, 64));
  ASSERT_EQ(share.Open("homes", false), 0);
  EXPECT_EQ(share.GetEncryptionKey(&key), 0);
  EXPECT_EQ(key, "");
  key = "stale";
  ASSERT_EQ(share.Open("locked", false), 0);  // encrypted, no key file
  EXPECT_EQ(share.GetEncryptionKey(&key), -1);
  EXPECT_EQ(key, "");
  EXPECT_NE(box_.LogText().find("): TARNShareEncDefaultKeyFileRead(locked) failed, Error Code "),
            std::string::npos)
      << box_.LogText();

  ShareCache cache;
  cache.keys["secret"] = std::string("\x0a\xff", 2);
  SDK::SetCacheBackend(&cache);
  ASSERT_EQ(share.Open("secret", true), 0);
  EXPECT_EQ(share.GetEncryptionKey(&key), 1);
  EXPECT_EQ(key, std::string("\x0a\xff", 2));
  ASSERT_EQ(share.Open("locked", true), 0);
  EXPECT_EQ(share.GetEncryptionKey(&key), -1);
  EXPECT_EQ(key, "");
  ASSERT_EQ(share.Open("homes", true), 0);
  EXPECT_EQ(share.GetEncryptionKey(&key), 0);
  SDK::SetCacheBackend(nullptr);
}

TEST_F(ShareTest, UnknownSharesLeaveTheHandleClosed) {
  SDK::Share share;
  ASSERT_EQ(share.Open("homes", false), 0);
  EXPECT_EQ(share.Open("nope", false), -1);
  EXPECT_FALSE(share.IsOpen());
  EXPECT_EQ(share.Open("homes", true), -1);  // no cache daemon
  EXPECT_FALSE(share.IsOpen());
  ShareCache cache;
  SDK::SetCacheBackend(&cache);
  EXPECT_EQ(share.Open("nope", true), -1);
  SDK::SetCacheBackend(nullptr);
  // A closed handle answers neutrally.
  std::string key = "untouched";
  EXPECT_FALSE(share.IsValid());
  EXPECT_EQ(share.GetName(), "");
  EXPECT_EQ(share.GetPath(), "");
  EXPECT_EQ(share.GetVolumePath(), "");
  EXPECT_EQ(share.GetShareBinPath(), "");
  EXPECT_EQ(share.GetStatus(), 0u);
  EXPECT_EQ(share.GetAclMode(), 0);
  EXPECT_FALSE(share.IsEncryption());
  EXPECT_FALSE(share.IsMounted());
  EXPECT_FALSE(share.IsRegularShare());
  EXPECT_EQ(share.GetUserRight("alice"), 0);
  EXPECT_EQ(share.GetEncryptionKey(&key), 0);
  EXPECT_EQ(key, "untouched");
  const std::string log = box_.LogText();
  EXPECT_NE(log.find("): TARNShareGet(nope): -1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): Failed to get cache share: homes, rc=-1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): Failed to get cache share: nope, rc=-5\n"), std::string::npos) << log;
}

TEST_F(ShareTest, InvalidImplementationsAnswerNeutrally) {
  SDK::SDKShareImpl direct("nope");
  SDK::CacheShareImpl cached("nope");
  for (const SDK::AbstractShareImpl* impl : {static_cast<const SDK::AbstractShareImpl*>(&direct),
                                             static_cast<const SDK::AbstractShareImpl*>(&cached)}) {
    std::string key = "x";
    EXPECT_FALSE(impl->IsValid());
    EXPECT_EQ(impl->GetName(), "");
    EXPECT_EQ(impl->GetPath(), "");
    EXPECT_EQ(impl->GetVolumePath(), "");
    EXPECT_EQ(impl->GetShareBinPath(), "");
    EXPECT_EQ(impl->GetStatus(), 0xFFFFFFFFu);
    EXPECT_EQ(impl->GetAclMode(), -1);
    EXPECT_FALSE(impl->IsSkipSmbPerm());
    EXPECT_FALSE(impl->IsRecycleBinEnabled());
    EXPECT_FALSE(impl->IsRecycleBinAdminOnly());
    EXPECT_FALSE(impl->IsEncryption());
    EXPECT_TRUE(impl->IsMounted());
    EXPECT_FALSE(impl->IsStatusBit3Set());
    EXPECT_FALSE(impl->IsStatusBit14Set());
    EXPECT_FALSE(impl->IsGluster());
    EXPECT_FALSE(impl->IsSataShare());
    EXPECT_FALSE(impl->IsUsbShare());
    EXPECT_TRUE(impl->IsRegularShare());
    EXPECT_FALSE(impl->IsReadOnlyRegisteredBy("DriftVault"));
    EXPECT_EQ(impl->GetUserRight("alice"), TARN_SHARE_RIGHT_NO_ACCESS);
    EXPECT_EQ(impl->GetEncryptionKey(&key), 0);
  }
}

TEST_F(ShareTest, VolumePathFailureIsLogged) {
  // A share whose folder is gone cannot be described.
  box_.Write("/etc/tarn/shares.json",
             R"({"shares":[{"name":"gone","path":"/volume1/gone","status":0,"type":0}]})");
  SDK::Share share;
  ASSERT_EQ(share.Open("gone", false), 0);
  EXPECT_EQ(share.GetVolumePath(), "");
  EXPECT_EQ(share.GetShareBinPath(), "/volume1");  // the platform's answer needs no folder
  EXPECT_NE(box_.LogText().find("): Failed to get file system property from '/volume1/gone'\n"),
            std::string::npos)
      << box_.LogText();
}

}  // namespace
