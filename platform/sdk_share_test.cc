#include "platform/sdk_share.h"

#include <gtest/gtest.h>

#include <map>

#include "base/test_root.h"
#include "platform/sdk_mutex.h"

namespace {

// "name|path|status|volume|bin|acl|flags", flags naming the true answers: s
// skip smb, r recycle bin, a admin only, e encryption, m mounted, 3 bit 3, 4
// bit 14, g gluster, t sata, u usb, R regular, V valid.  Works for a Share as
// for its implementations.
template <class S>
std::string Describe(const S& s) {
  const bool answers[] = {s.IsSkipSmbPerm(),    s.IsRecycleBinEnabled(), s.IsRecycleBinAdminOnly(),
                          s.IsEncryption(),     s.IsMounted(),           s.IsStatusBit3Set(),
                          s.IsStatusBit14Set(), s.IsGluster(),           s.IsSataShare(),
                          s.IsUsbShare(),       s.IsRegularShare(),      s.IsValid()};
  std::string flags;
  for (size_t i = 0; i < 12; ++i) flags += answers[i] ? std::string(1, "sraem34gtuRV"[i]) : "";
  std::string volume = s.GetVolumePath();
  if (s.GetVolumeMountPath() != volume) volume += "!" + s.GetVolumeMountPath();
  return s.GetName() + "|" + s.GetPath() + "|" + std::to_string(s.GetStatus()) + "|" + volume +
         "|" + s.GetShareBinPath() + "|" + std::to_string(s.GetAclMode()) + "|" + flags;
}

// Describes the platform's shares as the cache daemon would: the volume is
// that of the encrypted data for an encrypted share.
class ShareCache : public SDK::CacheBackend {
 public:
  ShareCache() { SDK::SetCacheBackend(this); }
  ~ShareCache() override { SDK::SetCacheBackend(nullptr); }

  int GetUser(const std::string&, SDK::CachedUser*) override { return -1; }
  int GetShare(const std::string& name, SDK::CachedShare* share) override {
    locked_during_call = locked_during_call || SDK::sdk_mutex->IsOwnedByCurrentThread();
    share->name = name;
    if (name == "ghost") return 0;  // known to the cache, gone from the platform
    TarnShareInfo* info = nullptr;
    if (TARNShareGet(name.c_str(), &info) != 0) return -5;
    share->path = info->path;
    share->status = info->status;
    share->type = info->type;
    TARNShareFree(info);
    char enc[4095];
    bool encrypted = TLIBShareEncryptPathGet(name.c_str(), enc, sizeof(enc)) == 0;
    return share->volume.Init(encrypted ? enc : share->path, true);
  }
  int GetShareUniqueKey(const std::string& name, std::string* key) override {
    if (keys.count(name) == 0) return -1;
    *key = keys[name];
    return 0;
  }

  std::map<std::string, std::string> keys;
  bool locked_during_call = false;
};

const char kKey[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\xff";

class ShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.Write("/etc/passwd", "alice:x:1026:100::/:/bin/sh\nbob:x:1027:100::/:/bin/sh\n");
    box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},)"
                                         R"({"path":"/volumeUSB1/usbshare","type":4},)"
                                         R"({"path":"/volumeSATA1/sata","type":2}]})");
    box_.Write("/etc/tarn/mounts",
               "/dev/md2 /volume1 ext4 rw 0 0\n/dev/sdq1 /volumeUSB1/usbshare vfat rw 0 0\n"
               "/dev/sdr1 /volumeSATA1/sata ext4 rw 0 0\n");
    box_.Write("/etc/tarn/shares.json", R"({"shares":[
{"name":"homes","path":"/volume1/homes","status":0,"type":0},
{"name":"secret","path":"/volume1/secret","status":2,"enc_path":"/volume1/@secret@",
 "key":"/etc/tarn/keys/secret.key"},
{"name":"locked","path":"/volume1/locked","status":3,"enc_path":"/volume1/@locked@"},
{"name":"flags","path":"/volume1/flags","status":23304,"readonly_by":["DriftVault"],
 "rights":{"alice":"ro","bob":"na"}},
{"name":"usbshare","path":"/volumeUSB1/usbshare","type":4},
{"name":"usbsub","path":"/volumeUSB1/usbshare/sub","type":4},
{"name":"sata","path":"/volumeSATA1/sata","type":8},
{"name":"gluster","path":"/volume1/gluster","type":64}]})");
    for (const char* dir : {"/volume1/homes", "/volume1/secret", "/volume1/@secret@",
                            "/volume1/locked", "/volume1/@locked@", "/volume1/flags",
                            "/volumeUSB1/usbshare/sub", "/volumeSATA1/sata", "/volume1/gluster"}) {
      box_.MakeDir(dir);
    }
    box_.Write("/etc/tarn/keys/secret.key", std::string(kKey, 64));
  }

  bool Logged(const std::string& text) { return box_.LogText().find(text) != std::string::npos; }

  test_support::TestRoot box_;
};

TEST_F(ShareTest, EveryShareDirectAndFromTheCache) {
  const char* const described[] = {
      "homes|/volume1/homes|0|/volume1|/volume1|4|mRV",
      "secret|/volume1/secret|2|/volume1|/volume1|4|emV",
      "locked|/volume1/locked|3|/volume1|/volume1|4|eV",
      "flags|/volume1/flags|23304|/volume1|/volume1|5|sram34RV",
      "usbshare|/volumeUSB1/usbshare|0|/volumeUSB1/usbshare|/volumeUSB1/usbshare/@sharebin|4|muV",
      "sata|/volumeSATA1/sata|0|/volumeSATA1/sata|/volumeSATA1/sata|4|mtV",
      "gluster|/volume1/gluster|0|/volume1|/volume1|4|mgV",
  };
  ShareCache cache;
  for (bool use_cache : {false, true}) {
    for (const char* expected : described) {
      SDK::Share share;
      const std::string name = std::string(expected).substr(0, std::string(expected).find('|'));
      ASSERT_EQ(share.Open(name, use_cache), 0) << name;
      EXPECT_EQ(Describe(share), expected) << (use_cache ? "cache" : "direct");
    }
  }
  EXPECT_FALSE(cache.locked_during_call);
  EXPECT_EQ(box_.LogText(), "");
  // Below a USB disk's mount point the platform share is not a USB share.
  SDK::Share share;
  ASSERT_EQ(share.Open("usbsub", false), 0);
  EXPECT_EQ(Describe(share),
            "usbsub|/volumeUSB1/usbshare/sub|0|/volumeUSB1/usbshare|"
            "/volumeUSB1/usbshare/@sharebin|4|mRV");
}

TEST_F(ShareTest, UserRightsAndKeys) {
  ShareCache cache;
  cache.keys["secret"] = std::string("\x0a\xff", 2);
  for (bool use_cache : {false, true}) {
    SCOPED_TRACE(use_cache ? "cache" : "direct");
    SDK::Share flags, homes, secret, locked;
    ASSERT_EQ(flags.Open("flags", use_cache) + homes.Open("homes", use_cache) +
                  secret.Open("secret", use_cache) + locked.Open("locked", use_cache),
              0);
    EXPECT_EQ(flags.GetUserRight("alice"), TARN_SHARE_RIGHT_READ_ONLY);
    EXPECT_EQ(flags.GetUserRight("bob"), TARN_SHARE_RIGHT_NO_ACCESS);
    EXPECT_EQ(flags.GetUserRight("nobody"), TARN_SHARE_RIGHT_NO_ACCESS);
    EXPECT_EQ(homes.GetUserRight("alice"), TARN_SHARE_RIGHT_READ_WRITE);
    EXPECT_TRUE(flags.IsReadOnlyRegisteredBy("DriftVault"));
    EXPECT_FALSE(flags.IsReadOnlyRegisteredBy("Other"));
    EXPECT_FALSE(homes.IsReadOnlyRegisteredBy("DriftVault"));
    std::string key = "stale";
    EXPECT_EQ(secret.GetEncryptionKey(&key), 1);
    EXPECT_EQ(key, use_cache ? std::string("\x0a\xff", 2) : std::string(kKey, 64));
    EXPECT_EQ(homes.GetEncryptionKey(&key), 0);
    EXPECT_EQ(key, "");
    key = "stale";
    EXPECT_EQ(locked.GetEncryptionKey(&key), -1);  // no key file, no key in the cache
    EXPECT_EQ(key, "");
  }
  SDK::Share ghost;
  ASSERT_EQ(ghost.Open("ghost", true), 0);
  EXPECT_EQ(ghost.GetUserRight("alice"), TARN_SHARE_RIGHT_NO_ACCESS);
  EXPECT_TRUE(Logged("): TLIBShareUserRightGet(nobody, flags): Error Code 5120\n"));
  EXPECT_TRUE(Logged("): TLIBShareUserRightGet(nobody, flags): err=[0x1400]\n"));
  EXPECT_TRUE(Logged("): TARNShareGet(ghost): err=[0x1400]\n"));
  EXPECT_TRUE(Logged("): TARNShareEncDefaultKeyFileRead(locked) failed, Error Code "))
      << box_.LogText();
}

TEST_F(ShareTest, UnknownSharesAndInvalidImplementationsAnswerNeutrally) {
  SDK::Share share;
  ASSERT_EQ(share.Open("homes", false), 0);
  EXPECT_EQ(share.Open("nope", false), -1);
  EXPECT_FALSE(share.IsOpen());
  EXPECT_EQ(share.Open("homes", true), -1);  // no cache daemon
  {
    ShareCache cache;
    EXPECT_EQ(share.Open("nope", true), -1);
  }
  // A closed handle answers neutrally and leaves the key alone.
  EXPECT_EQ(Describe(share), "||0|||0|");
  EXPECT_EQ(share.GetUserRight("alice"), 0);
  EXPECT_FALSE(share.IsReadOnlyRegisteredBy("DriftVault"));
  std::string key = "untouched";
  EXPECT_EQ(share.GetEncryptionKey(&key), 0);
  EXPECT_EQ(key, "untouched");
  EXPECT_TRUE(Logged("[ERROR] sdk-cpp("));
  EXPECT_TRUE(Logged("): TARNShareGet(nope): -1\n"));
  EXPECT_TRUE(Logged("): Failed to get cache share: homes, rc=-1\n"));
  EXPECT_TRUE(Logged("): Failed to get cache share: nope, rc=-5\n")) << box_.LogText();

  SDK::SDKShareImpl direct("nope");
  SDK::CacheShareImpl cached("nope");
  for (const SDK::AbstractShareImpl* impl : {static_cast<SDK::AbstractShareImpl*>(&direct),
                                             static_cast<SDK::AbstractShareImpl*>(&cached)}) {
    EXPECT_EQ(Describe(*impl), "||4294967295|||-1|mR");
    EXPECT_FALSE(impl->IsReadOnlyRegisteredBy("DriftVault"));
    EXPECT_EQ(impl->GetUserRight("alice"), TARN_SHARE_RIGHT_NO_ACCESS);
    EXPECT_EQ(impl->GetEncryptionKey(&key), 0);
  }
  // A share whose folder is gone has no volume; its share-bin needs none.
  box_.Write("/etc/tarn/shares.json", R"({"shares":[{"name":"gone","path":"/volume1/gone"}]})");
  ASSERT_EQ(share.Open("gone", false), 0);
  EXPECT_EQ(share.GetVolumePath(), "");
  EXPECT_EQ(share.GetShareBinPath(), "/volume1");
  EXPECT_TRUE(Logged("): Failed to get file system property from '/volume1/gone'\n"));
}

}  // namespace
