#include "platform/sdk_share.h"

#include <gtest/gtest.h>

#include "base/test_root.h"

namespace {

// "name|path|status|volume|bin|acl|flags", flags naming the true answers: s
// skip smb, r recycle bin, a admin only, e encryption, m mounted, 3 bit 3, 4
// bit 14, g gluster, t sata, u usb, R regular, V valid; for a Share as for its
// implementations.
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

class NamesOnlyCache : public SDK::CacheBackend {
 public:
  NamesOnlyCache() { SDK::SetCacheBackend(this); }
  ~NamesOnlyCache() override { SDK::SetCacheBackend(nullptr); }
  int GetUser(const std::string&, SDK::CachedUser*) override { return -1; }
  int GetShare(const std::string& name, SDK::CachedShare* share) override {
    share->name = name;
    return 0;
  }
  int GetShareUniqueKey(const std::string&, std::string*) override { return -1; }
};

TEST(ShareTest, EverySharePlatformAndFailures) {
  test_support::TestRoot box;
  box.CaptureLog();
  box.Write("/etc/passwd", "alice:x:1026:100::/:/bin/sh\n");
  box.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},)"
                                      R"({"path":"/volumeUSB1/usbshare","type":4},)"
                                      R"({"path":"/volumeSATA1/sata","type":2}]})");
  box.Write("/etc/tarn/mounts",
            "/dev/md2 /volume1 ext4 rw 0 0\n/dev/sdq1 /volumeUSB1/usbshare vfat rw 0 0\n"
            "/dev/sdr1 /volumeSATA1/sata ext4 rw 0 0\n");
  box.Write("/etc/tarn/shares.json", R"({"shares":[
{"name":"homes","path":"/volume1/homes","status":0,"type":0},
{"name":"secret","path":"/volume1/secret","status":2,"enc_path":"/volume1/@secret@"},
{"name":"locked","path":"/volume1/locked","status":3,"enc_path":"/volume1/@locked@"},
{"name":"flags","path":"/volume1/flags","status":23304,"rights":{"alice":"ro"}},
{"name":"usbshare","path":"/volumeUSB1/usbshare","type":4},
{"name":"usbsub","path":"/volumeUSB1/usbshare/sub","type":4},
{"name":"sata","path":"/volumeSATA1/sata","type":8},
{"name":"gluster","path":"/volume1/gluster","type":64},
{"name":"gone","path":"/volume1/gone"}]})");
  for (const char* dir : {"/volume1/homes", "/volume1/secret", "/volume1/@secret@",
                          "/volume1/locked", "/volume1/@locked@", "/volume1/flags",
                          "/volumeUSB1/usbshare/sub", "/volumeSATA1/sata", "/volume1/gluster"}) {
    box.MakeDir(dir);
  }
  const char* const described[] = {
      "homes|/volume1/homes|0|/volume1|/volume1|4|mRV",
      "secret|/volume1/secret|2|/volume1|/volume1|4|emV",
      "locked|/volume1/locked|3|/volume1|/volume1|4|eV",
      "flags|/volume1/flags|23304|/volume1|/volume1|5|sram34RV",
      "usbshare|/volumeUSB1/usbshare|0|/volumeUSB1/usbshare|/volumeUSB1/usbshare/@sharebin|4|muV",
      "sata|/volumeSATA1/sata|0|/volumeSATA1/sata|/volumeSATA1/sata|4|mtV",
      "gluster|/volume1/gluster|0|/volume1|/volume1|4|mgV",
      // Below a USB disk's mount point the platform share is not a USB share.
      "usbsub|/volumeUSB1/usbshare/sub|0|/volumeUSB1/usbshare|/volumeUSB1/usbshare/@sharebin|4|mRV",
  };
  // (The cache daemon's road is driven by the directory cache's tests.)
  SDK::Share share;
  for (const char* expected : described) {
    const std::string name = std::string(expected).substr(0, std::string(expected).find('|'));
    ASSERT_EQ(share.Open(name, false), 0) << name;
    EXPECT_EQ(Describe(share), expected);
  }
  EXPECT_EQ(box.LogText(), "");
  EXPECT_EQ(share.Open("nope", false) + share.Open("homes", true), -2);  // no cache daemon
  std::string key = "kept";
  EXPECT_EQ(share.GetUserRight("alice") + share.GetEncryptionKey(&key), 0);  // closed: neutral
  EXPECT_EQ(Describe(share) + key, "||0|||0|kept");
  // A share whose folder is gone has no volume; its share-bin needs none.
  ASSERT_EQ(share.Open("gone", false), 0);
  EXPECT_EQ(share.GetVolumePath() + "," + share.GetShareBinPath(), ",/volume1");
  // Invalid implementations (a Share never keeps one) answer neutrally too.
  SDK::SDKShareImpl direct("nope");
  SDK::CacheShareImpl cached("nope");
  EXPECT_EQ(Describe(direct) + "," + Describe(cached), "||4294967295|||-1|mR,||4294967295|||-1|mR");
  // Rights, from the platform on either road (the cache knows names only here).
  NamesOnlyCache cache;
  for (bool use_cache : {false, true}) {
    ASSERT_EQ(share.Open("flags", use_cache), 0);
    EXPECT_EQ(share.GetUserRight("alice"), TARN_SHARE_RIGHT_READ_ONLY);
    EXPECT_EQ(share.GetUserRight("nobody"), TARN_SHARE_RIGHT_NO_ACCESS);
  }
  for (const char* line : {"[ERROR] sdk-cpp(", "): TARNShareGet(nope): -1\n",
                           "): Failed to get cache share: homes, rc=-1\n",
                           "): Failed to get file system property from '/volume1/gone'\n",
                           "): TLIBShareUserRightGet(nobody, flags): Error Code 5120\n",
                           "): TLIBShareUserRightGet(nobody, flags): err=[0x1400]\n"}) {
    EXPECT_NE(box.LogText().find(line), std::string::npos) << line << box.LogText();
  }
}

}  // namespace
