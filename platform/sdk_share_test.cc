#include "platform/sdk_share.h"

#include <gtest/gtest.h>

#include <map>

#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"
#include "platform/sdk_mutex.h"

namespace {

using platform_test::FakeFileSystemOps;
using platform_test::ScopedDefaultOps;

// What a share handle answers.  `flags` names the true answers: s skip smb,
// r recycle bin, a recycle admin only, e encryption, m mounted, 3 bit 3,
// 4 bit 14, g gluster, t sata, u usb, R regular.
struct Answers {
  const char* name;
  const char* path;
  uint32_t status;
  const char* volume;
  const char* bin;
  int32_t acl;
  const char* flags;
};

// One share as the platform lists it, and what the handle makes of it.
struct ShareRow {
  int type;
  const char* enc_path;  // "" for none
  Answers answers;
};

const ShareRow kShares[] = {
    {0, "", {"homes", "/volume1/homes", 0x0, "/volume1", "/volume1", 4, "mR"}},
    {0, "/volume1/@secret@", {"secret", "/volume1/secret", 0x2, "/volume1", "/volume1", 4, "em"}},
    {0, "/volume1/@locked@", {"locked", "/volume1/locked", 0x3, "/volume1", "/volume1", 4, "e"}},
    {0,
     "",
     {"flags", "/volume1/flags", 0x800 | 0x1000 | 0x100 | 0x200 | 0x8 | 0x4000, "/volume1",
      "/volume1", 5, "sram34R"}},
    {4,
     "",
     {"usbshare", "/volumeUSB1/usbshare", 0x0, "/volumeUSB1/usbshare",
      "/volumeUSB1/usbshare/@sharebin", 4, "mu"}},
    {8, "", {"sata", "/volumeSATA1/sata", 0x0, "/volumeSATA1/sata", "/volumeSATA1/sata", 4, "mt"}},
    {64, "", {"gluster", "/volume1/gluster", 0x0, "/volume1", "/volume1", 4, "mg"}},
};

// Works for a Share as for its implementations.
template <class S>
void CheckAnswers(const S& share, const Answers& e) {
  const std::string f = e.flags;
  auto has = [&f](char c) { return f.find(c) != std::string::npos; };
  EXPECT_EQ(share.IsValid(), e.name[0] != '\0');
  EXPECT_EQ(share.GetName(), e.name);
  EXPECT_EQ(share.GetPath(), e.path);
  EXPECT_EQ(share.GetStatus(), e.status);
  EXPECT_EQ(share.GetVolumePath(), e.volume);
  EXPECT_EQ(share.GetVolumeMountPath(), e.volume);
  EXPECT_EQ(share.GetShareBinPath(), e.bin);
  EXPECT_EQ(share.GetAclMode(), e.acl);
  EXPECT_EQ(share.IsSkipSmbPerm(), has('s'));
  EXPECT_EQ(share.IsRecycleBinEnabled(), has('r'));
  EXPECT_EQ(share.IsRecycleBinAdminOnly(), has('a'));
  EXPECT_EQ(share.IsEncryption(), has('e'));
  EXPECT_EQ(share.IsMounted(), has('m'));
  EXPECT_EQ(share.IsStatusBit3Set(), has('3'));
  EXPECT_EQ(share.IsStatusBit14Set(), has('4'));
  EXPECT_EQ(share.IsGluster(), has('g'));
  EXPECT_EQ(share.IsSataShare(), has('t'));
  EXPECT_EQ(share.IsUsbShare(), has('u'));
  EXPECT_EQ(share.IsRegularShare(), has('R'));
}

// A cache backend that describes the listed shares as the cache daemon
// would: the volume is that of the encrypted data for an encrypted share.
class ShareCache : public SDK::CacheBackend {
 public:
  ShareCache() { SDK::SetCacheBackend(this); }
  ~ShareCache() override { SDK::SetCacheBackend(nullptr); }

  int GetUser(const std::string&, SDK::CachedUser*) override { return -1; }
  int GetShare(const std::string& name, SDK::CachedShare* share) override {
    locked_during_call = locked_during_call || SDK::sdk_mutex->IsOwnedByCurrentThread();
    for (const ShareRow& row : kShares) {
      if (name != row.answers.name) continue;
      share->name = row.answers.name;
      share->path = row.answers.path;
      share->status = row.answers.status;
      share->type = row.type;
      std::string volume_of = row.enc_path[0] != '\0' ? row.enc_path : row.answers.path;
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
    std::string list = R"({"shares":[)"
                       R"({"name":"usbsub","path":"/volumeUSB1/usbshare/sub","type":4})";
    for (const ShareRow& row : kShares) {
      const Answers& a = row.answers;
      list += std::string(R"(,{"name":")") + a.name + R"(","path":")" + a.path + R"(","status":)" +
              std::to_string(a.status) + R"(,"type":)" + std::to_string(row.type);
      if (row.enc_path[0] != '\0') list += std::string(R"(,"enc_path":")") + row.enc_path + "\"";
      if (a.name == std::string("secret")) list += R"(,"key":"/etc/tarn/keys/secret.key")";
      if (a.name == std::string("flags")) {
        list += R"(,"readonly_by":["DriftVault"],"rights":{"alice":"ro","bob":"na"})";
      }
      list += "}";
      box_.MakeDir(a.path);
      if (row.enc_path[0] != '\0') box_.MakeDir(row.enc_path);
    }
    box_.Write("/etc/tarn/shares.json", list + "]}");
    box_.Write("/etc/tarn/keys/secret.key", std::string(kKey, 64));
    box_.MakeDir("/volumeUSB1/usbshare/sub");
    const std::string r = box_.root();
    box_.Write("/mounts", "/dev/md2 " + r + "/volume1 ext4 rw 0 0\n/dev/sdq1 " + r +
                              "/volumeUSB1/usbshare vfat rw 0 0\n/dev/sdr1 " + r +
                              "/volumeSATA1/sata ext4 rw 0 0\n");
    ops_.Device("/volume1", 10);
    ops_.Device("/volumeUSB1/usbshare", 11);
    ops_.Device("/volumeSATA1/sata", 12);
  }

  bool Logged(const std::string& text) { return box_.LogText().find(text) != std::string::npos; }

  static constexpr char kKey[] =
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\xff";

  test_support::TestRoot box_;
  FakeFileSystemOps ops_{box_.Host("/mounts")};
  ScopedDefaultOps installed_ops_{&ops_};
};

constexpr char ShareTest::kKey[];

TEST_F(ShareTest, EveryShareDirectAndFromTheCache) {
  ShareCache cache;
  for (bool use_cache : {false, true}) {
    for (const ShareRow& row : kShares) {
      SCOPED_TRACE(std::string(row.answers.name) + (use_cache ? " cache" : " direct"));
      SDK::Share share;
      ASSERT_EQ(share.Open(row.answers.name, use_cache), 0);
      CheckAnswers(share, row.answers);
    }
  }
  EXPECT_FALSE(cache.locked_during_call);
  EXPECT_EQ(box_.LogText(), "");
  // Below a USB disk's mount point the platform share is not a USB share.
  SDK::Share share;
  ASSERT_EQ(share.Open("usbsub", false), 0);
  EXPECT_EQ(share.GetVolumePath(), "/volumeUSB1/usbshare");
  EXPECT_FALSE(share.IsUsbShare());
  EXPECT_TRUE(share.IsRegularShare());
}

TEST_F(ShareTest, UserRights) {
  ShareCache cache;
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
  EXPECT_TRUE(Logged("): TLIBShareUserRightGet(nobody, flags): Error Code 5120\n"));
  EXPECT_TRUE(Logged("): TLIBShareUserRightGet(nobody, flags): err=[0x1400]\n"));
  EXPECT_TRUE(Logged("): TARNShareGet(ghost): err=[0x1400]\n")) << box_.LogText();
}

TEST_F(ShareTest, EncryptionKeys) {
  ShareCache cache;
  cache.keys["secret"] = std::string("\x0a\xff", 2);
  const struct {
    const char* name;
    bool use_cache;
    int rc;
    std::string key;
  } cases[] = {
      {"secret", false, 1, std::string(kKey, 64)},
      {"homes", false, 0, ""},
      {"locked", false, -1, ""},  // encrypted, no key file
      {"secret", true, 1, std::string("\x0a\xff", 2)},
      {"locked", true, -1, ""},
      {"homes", true, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.use_cache ? " cache" : " direct"));
    std::string key = "stale";
    SDK::Share share;
    ASSERT_EQ(share.Open(c.name, c.use_cache), 0);
    EXPECT_EQ(share.GetEncryptionKey(&key), c.rc);
    EXPECT_EQ(key, c.key);
  }
  EXPECT_TRUE(Logged("): TARNShareEncDefaultKeyFileRead(locked) failed, Error Code "))
      << box_.LogText();
}

TEST_F(ShareTest, UnknownSharesAndInvalidImplementationsAnswerNeutrally) {
  SDK::Share share;
  ASSERT_EQ(share.Open("homes", false), 0);
  EXPECT_EQ(share.Open("nope", false), -1);
  EXPECT_FALSE(share.IsOpen());
  EXPECT_EQ(share.Open("homes", true), -1);  // no cache daemon
  EXPECT_FALSE(share.IsOpen());
  {
    ShareCache cache;
    EXPECT_EQ(share.Open("nope", true), -1);
  }
  // A closed handle answers neutrally and leaves the key alone.
  CheckAnswers(share, {"", "", 0, "", "", 0, ""});
  EXPECT_EQ(share.GetUserRight("alice"), 0);
  EXPECT_FALSE(share.IsReadOnlyRegisteredBy("DriftVault"));
  std::string key = "untouched";
  EXPECT_EQ(share.GetEncryptionKey(&key), 0);
  EXPECT_EQ(key, "untouched");
  EXPECT_TRUE(Logged("): TARNShareGet(nope): -1\n"));
  EXPECT_TRUE(Logged("): Failed to get cache share: homes, rc=-1\n"));
  EXPECT_TRUE(Logged("): Failed to get cache share: nope, rc=-5\n")) << box_.LogText();

  // Implementations of a share that does not exist.
  SDK::SDKShareImpl direct("nope");
  SDK::CacheShareImpl cached("nope");
  for (const SDK::AbstractShareImpl* impl : {static_cast<const SDK::AbstractShareImpl*>(&direct),
                                             static_cast<const SDK::AbstractShareImpl*>(&cached)}) {
    CheckAnswers(*impl, {"", "", 0xFFFFFFFFu, "", "", -1, "mR"});
    EXPECT_FALSE(impl->IsReadOnlyRegisteredBy("DriftVault"));
    EXPECT_EQ(impl->GetUserRight("alice"), TARN_SHARE_RIGHT_NO_ACCESS);
    key = "x";
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
  EXPECT_TRUE(Logged("): Failed to get file system property from '/volume1/gone'\n"))
      << box_.LogText();
}

}  // namespace
