// Users, shares and volumes from the platform's files.
#include <gtest/gtest.h>
#include <json/json.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

const char kPasswdText[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "# a comment\n"
    "broken line without fields\n"
    "baduid:x:12a:100::/home/baduid:/bin/sh\n"
    "+nisuser::::::\n"
    "alice:x:1026:100:Alice:/volume1/homes/alice:/bin/sh\n"
    "ldap@corp.example:x:200001:200000::/volume1/homes/@LH-CORP/ldap:/sbin/nologin\n"
    "DOM\\bob:x:300001:300000::/volume1/homes/@DH-DOM/bob:/sbin/nologin\n"
    "noshell:x:1030:100::/volume1/homes/noshell\n"
    "alice:x:9999:9999:second alice:/elsewhere:/bin/sh\n"
    "olduser:x:1040:100::/volume1/homes/olduser:/bin/sh\n"
    "futureuser:x:1041:100::/volume1/homes/futureuser:/bin/sh";

struct UserCase {
  const char* name;
  uint32_t uid;
  uint32_t gid;
  const char* home;
  int32_t expire;  // from the shadow file
  bool expired;
};

TEST(Users, LookUpByNameAndUidWithExpiry) {
  TestRoot root;
  root.Write("/etc/passwd", kPasswdText);
  const int32_t today = static_cast<int32_t>(time(nullptr) / 86400);
  root.Write("/etc/shadow",
             "root:*:19000:0:99999:7:::\nolduser:!:19000:0:99999:7::1:\n"
             "futureuser:!:19000:0:99999:7::" +
                 std::to_string(today + 30) + ":\nalice:!:19000:0:99999:7::garbage:\n");
  const std::vector<UserCase> cases = {
      {"root", 0, 0, "/root", -1, false},
      // The first line of a name wins; an unreadable expiry is no expiry.
      {"alice", 1026, 100, "/volume1/homes/alice", -1, false},
      {"DOM\\bob", 300001, 300000, "/volume1/homes/@DH-DOM/bob", -1, false},  // no shadow line
      {"noshell", 1030, 100, "/volume1/homes/noshell", -1, false},
      {"olduser", 1040, 100, "/volume1/homes/olduser", 1, true},
      // The last line, without a line end.
      {"futureuser", 1041, 100, "/volume1/homes/futureuser", today + 30, false},
  };
  for (const UserCase& c : cases) {
    SCOPED_TRACE(c.name);
    TarnUserInfo* user = nullptr;
    ASSERT_EQ(TARNUserGet(c.name, &user), 0);
    ASSERT_NE(user, nullptr);
    EXPECT_STREQ(user->name, c.name);
    EXPECT_EQ(user->uid, c.uid);
    EXPECT_EQ(user->gid, c.gid);
    EXPECT_STREQ(user->home, c.home);
    EXPECT_EQ(user->expire, c.expire);
    EXPECT_EQ(TARNUserIsExpired(user->expire) != 0, c.expired);
    EXPECT_EQ(TARNUserCheckExpired(c.name) != 0, c.expired);
    TARNUserFree(user);
    ASSERT_EQ(TARNUserGetByUID(c.uid, &user), 0);
    EXPECT_STREQ(user->name, c.name);
    TARNUserFree(user);
  }
  for (const char* unknown : {"bob", "baduid", "+nisuser", "Alice", ""}) {
    TarnUserInfo* user = reinterpret_cast<TarnUserInfo*>(0x1);
    EXPECT_EQ(TARNUserGet(unknown, &user), -1) << unknown;
    EXPECT_EQ(user, nullptr);
  }
  TarnUserInfo* user = nullptr;
  EXPECT_EQ(TARNUserGetByUID(4242, &user), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_FOUND);
  EXPECT_EQ(TARNUserCheckExpired("nobody-known"), 0);
  TARNUserFree(nullptr);
  // An account expires at the start of its day.
  EXPECT_EQ(TARNUserIsExpired(0), 0);
  EXPECT_NE(TARNUserIsExpired(today), 0);
  EXPECT_EQ(TARNUserIsExpired(today + 1), 0);
  EXPECT_EQ(TARNUserIsExpired(INT32_MAX), 0);
  // Without the account file every lookup fails.
  root.Remove("/etc/passwd");
  EXPECT_EQ(TARNUserGet("root", &user), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
  EXPECT_EQ(user, nullptr);
}

const char kSharesText[] = R"({"shares":[
  {"name":"homes","path":"/volume1/homes","status":0,"type":0},
  {"name":"secret","path":"/volume1/secret","status":3,"type":0,
   "enc_path":"/volume1/@secret@","key":"/usr/tarn/etc/keys/secret.key"},
  {"name":"open-enc","path":"/volume1/open-enc","status":2},
  {"name":"usb","path":"/volumeUSB1/usbshare","status":6400,"type":4,
   "readonly_by":["DriftVault"],"rights":{"alice":"ro","carol":"na"}},
  {"name":"gluster","path":"/volume2/g","status":18440,"type":64}
]})";

TEST(Shares, RecordsAndStatusGetters) {
  TestRoot root;
  root.Write("/etc/tarn/shares.json", kSharesText);
  struct Case {
    const char* name;
    const char* path;
    uint32_t status;
    int type;
    // win acl, skip smb, recycle, recycle admin, encryption, encrypted (locked)
    int bits[6];
    int gluster;
  };
  const std::vector<Case> cases = {
      {"homes", "/volume1/homes", 0, 0, {0, 0, 0, 0, 0, 0}, 0},
      {"secret", "/volume1/secret", 3, 0, {0, 0, 0, 0, 1, 1}, 0},
      {"open-enc", "/volume1/open-enc", 2, 0, {0, 0, 0, 0, 1, 0}, 0},
      // 6400 = 0x1900: skip smb 0x1000, win acl 0x800, recycle 0x100
      {"usb", "/volumeUSB1/usbshare", 6400, 4, {1, 1, 1, 0, 0, 0}, 0},
      // 18440 = 0x4808: bit14, win acl, bit3
      {"gluster", "/volume2/g", 18440, 64, {1, 0, 0, 0, 0, 0}, 1},
  };
  for (const Case& c : cases) {
    TarnShareInfo* share = nullptr;
    ASSERT_EQ(TARNShareGet(c.name, &share), 0) << c.name;
    EXPECT_STREQ(share->name, c.name);
    EXPECT_STREQ(share->path, c.path);
    EXPECT_EQ(share->status, c.status) << c.name;
    EXPECT_EQ(share->type, c.type) << c.name;
    int (*getters[6])(const TarnShareInfo*, int*) = {
        TLIBShareIsWinShareGet,    TLIBShareIsSkipSmbPermGet,
        TLIBShareRecycleStatusGet, TLIBShareRecycleAdminOnlyStatusGet,
        TLIBShareIsEncryptionGet,  TLIBShareIsEncryptedGet};
    for (int i = 0; i < 6; ++i) {
      int value = 7;
      EXPECT_EQ(getters[i](share, &value), 0);
      EXPECT_EQ(value, c.bits[i]) << c.name << " getter " << i;
      EXPECT_EQ(getters[i](nullptr, &value), -1);
      EXPECT_EQ(getters[i](share, nullptr), -1);
    }
    EXPECT_EQ(TLIBIsGlusterShare(share), c.gluster) << c.name;
    TARNShareFree(share);
  }
  TarnShareInfo* share = nullptr;
  EXPECT_EQ(TARNShareGet("Homes", &share), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_FOUND);
  EXPECT_EQ(share, nullptr);
  EXPECT_EQ(TLIBIsGlusterShare(nullptr), 0);
}

TEST(Shares, EncryptionKeyReadOnlyAndRights) {
  TestRoot root;
  root.Write("/etc/tarn/shares.json", kSharesText);
  root.Write("/etc/passwd", kPasswdText);
  const std::string key(64, 'K');
  root.Write("/usr/tarn/etc/keys/secret.key", key + "\n");
  char buf[4095];
  ASSERT_EQ(TLIBShareEncryptPathGet("secret", buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, "/volume1/@secret@");
  EXPECT_EQ(TLIBShareEncryptPathGet("open-enc", buf, sizeof(buf)), -1);  // names none
  EXPECT_EQ(TLIBShareEncryptPathGet("nope", buf, sizeof(buf)), -1);
  EXPECT_EQ(TLIBShareEncryptPathGet("secret", buf, 10), -1);

  char read_key[64];
  ASSERT_EQ(TARNShareEncDefaultKeyFileRead("secret", read_key, sizeof(read_key)), 0);
  EXPECT_EQ(std::string(read_key, 64), key);
  EXPECT_EQ(TARNShareEncDefaultKeyFileRead("secret", read_key, 63), -1);
  EXPECT_EQ(TARNShareEncDefaultKeyFileRead("homes", read_key, 64), -1);
  root.Write("/usr/tarn/etc/keys/secret.key", "short");
  EXPECT_EQ(TARNShareEncDefaultKeyFileRead("secret", read_key, 64), -1);

  EXPECT_EQ(TARNShareAttrReadOnlyIsRegBy("usb", "DriftVault"), 1);
  EXPECT_EQ(TARNShareAttrReadOnlyIsRegBy("usb", "Other"), 0);
  EXPECT_EQ(TARNShareAttrReadOnlyIsRegBy("homes", "DriftVault"), 0);
  EXPECT_EQ(TARNShareAttrReadOnlyIsRegBy("nope", "DriftVault"), -1);
  TarnShareInfo* usb = nullptr;
  TarnShareInfo* homes = nullptr;
  ASSERT_EQ(TARNShareGet("usb", &usb), 0);
  ASSERT_EQ(TARNShareGet("homes", &homes), 0);
  EXPECT_EQ(TLIBShareUserRightGet("alice", usb), TARN_SHARE_RIGHT_READ_ONLY);
  EXPECT_EQ(TLIBShareUserRightGet("root", usb), TARN_SHARE_RIGHT_NO_ACCESS);      // not listed
  EXPECT_EQ(TLIBShareUserRightGet("alice", homes), TARN_SHARE_RIGHT_READ_WRITE);  // no list
  EXPECT_EQ(TLIBShareUserRightGet("ghost", homes), -1);
  EXPECT_EQ(TLIBShareUserRightGet("alice", nullptr), -1);
  TARNShareFree(usb);
  TARNShareFree(homes);
}

const char kNulInPath[] = "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\0x\"}]}";

TEST(Shares, MalformedListsFailWithoutCrash) {
  const std::vector<std::string> bad = {
      "",
      "{",
      "[]",
      "null",
      "{\"shares\":{}}",
      "{\"shares\":[1]}",
      "{\"shares\":[{\"name\":1,\"path\":\"/v\"}]}",
      "{\"shares\":[{\"name\":\"homes\"}]}",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"relative\"}]}",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\",\"status\":-1}]}",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\",\"status\":\"0\"}]}",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\",\"type\":1.5}]}",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\",\"rights\":{\"a\":\"rwx\"}}]}",
      // A good entry does not save a list holding a bad one.
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\"},{\"name\":\"x\"}]}",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\"}]} trailing",
      "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\"}]}\n// comment\n",
      std::string(100000, '[') + std::string(100000, ']'),
      std::string(kNulInPath, sizeof(kNulInPath) - 1),
      "\xff\xfe\x00\x01",
  };
  for (const std::string& text : bad) {
    TestRoot root;
    root.Write("/etc/tarn/shares.json", text);
    TarnShareInfo* share = nullptr;
    EXPECT_EQ(TARNShareGet("homes", &share), -1) << text.substr(0, 80);
    EXPECT_EQ(share, nullptr);
    TarnSzList sentinel{};
    TarnSzList* names = &sentinel;  // a failure must reset it
    EXPECT_EQ(TARNShareEnum(&names), -1) << text.substr(0, 80);
    EXPECT_EQ(names, nullptr);
  }
  TestRoot root;
  TarnShareInfo* share = nullptr;
  EXPECT_EQ(TARNShareGet("homes", &share), -1);  // no list at all
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
  TarnSzList* names = nullptr;
  EXPECT_EQ(TARNShareEnum(&names), -1);
  EXPECT_EQ(names, nullptr);
}

TEST(Shares, EnumerationInOrderWithoutRepeats) {
  TestRoot root;
  root.Write("/etc/tarn/shares.json",
             R"({"shares":[{"name":"photo","path":"/volume1/photo"},
                           {"name":"homes","path":"/volume1/homes"},
                           {"name":"photo","path":"/volume2/photo"},
                           {"name":"Docs","path":"/volume1/Docs"}]})");
  TarnSzList* names = nullptr;
  ASSERT_EQ(TARNShareEnum(&names), 3);
  ASSERT_NE(names, nullptr);
  std::vector<std::string> got(names->items, names->items + names->count);
  EXPECT_EQ(got, (std::vector<std::string>{"photo", "homes", "Docs"}));
  TLIBCSzListFree(names);

  root.Write("/etc/tarn/shares.json", R"({"shares":[]})");
  ASSERT_EQ(TARNShareEnum(&names), 0);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names->count, 0);
  TLIBCSzListFree(names);
  TLIBCSzListFree(nullptr);
}

const char kVolumesText[] = R"({"volumes":[
  {"path":"/volume1","type":2},
  {"path":"/volumeUSB1/usbshare","type":4},
  {"path":"/volume2/","type":2},
  {"path":"/volume1/nested","type":3}
]})";

class VolumesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("/etc/tarn/volumes.json", kVolumesText);
    root_.MakeDir("/volume1/homes");
    root_.MakeDir("/volume1/nested");
    root_.MakeDir("/volumeUSB1/usbshare");
    // /volume2 is listed but not mounted (no folder).
  }
  TestRoot root_;
};

TEST_F(VolumesTest, InfoOfTheHoldingVolume) {
  struct Case {
    const char* path;
    int result;
    const char* volume;
    int type;
  };
  const std::vector<Case> cases = {
      {"/volume1", 0, "/volume1", 2},
      {"/volume1/homes/alice", 0, "/volume1", 2},
      {"/volume1//homes/../homes", 0, "/volume1", 2},
      {"/volume1/nested/x", 0, "/volume1/nested", 3},  // longest prefix
      {"/volume1/nestedx", 0, "/volume1", 2},          // whole components only
      {"/volumeUSB1/usbshare/a", 0, "/volumeUSB1/usbshare", 4},
      {"/volume10/x", -1, "", 0},
      {"/volume2/x", -1, "", 0},  // not mounted
      {"/", -1, "", 0},
  };
  for (const Case& c : cases) {
    TarnVolumeInfo info;
    memset(&info, 0, sizeof(info));
    EXPECT_EQ(TARNMountVolInfoGet(c.path, &info), c.result) << c.path;
    if (c.result != 0) continue;
    EXPECT_STREQ(info.path, c.volume) << c.path;
    EXPECT_EQ(info.type, c.type) << c.path;
    EXPECT_EQ(info.mounted, 1);
    EXPECT_EQ(info.writable, 1);
  }
  TarnVolumeInfo info;
  EXPECT_EQ(TARNMountVolInfoGet("/volume2/x", &info), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_MOUNTED);
  EXPECT_EQ(TARNMountVolInfoGet("relative", &info), -1);

  // Share-bin folders need only a listed volume, mounted or not.
  const struct {
    const char* path;
    const char* bin;  // null: -1
  } bins[] = {{"/volume1/homes", "/volume1"},
              {"/volumeUSB1/usbshare", "/volumeUSB1/usbshare/@sharebin"},
              {"/volume2/x", "/volume2"},
              {"/volume9/x", nullptr}};
  for (const auto& c : bins) {
    char buf[256];
    EXPECT_EQ(TARNShareBinPathGet(c.path, buf, sizeof(buf)), c.bin != nullptr ? 0 : -1) << c.path;
    if (c.bin != nullptr) {
      EXPECT_STREQ(buf, c.bin);
    }
  }
  char small[20];
  EXPECT_EQ(TARNShareBinPathGet("/volumeUSB1/usbshare", small, sizeof(small)), -1);
}

TEST_F(VolumesTest, PathThroughLinkFindsItsVolume) {
  root_.MakeDir("/var/services");
  ASSERT_EQ(symlink("/volume1/homes", root_.Host("/var/services/homes").c_str()), 0);
  TarnVolumeInfo info;
  ASSERT_EQ(TARNMountVolInfoGet("/var/services/homes", &info), 0);
  EXPECT_STREQ(info.path, "/volume1");

  char buf[4095];
  ASSERT_NE(TARNPathResolve("/var/services/homes", buf, sizeof(buf)), nullptr);
  EXPECT_STREQ(buf, "/volume1/homes");
  EXPECT_EQ(TARNPathResolve("/var/services/missing", buf, sizeof(buf)), nullptr);
  EXPECT_EQ(TARNPathResolve("/var/services/homes", buf, 5), nullptr);
  EXPECT_EQ(TARNPathResolve("relative", buf, sizeof(buf)), nullptr);
}

TEST_F(VolumesTest, EnumerationAndStorageListInOrder) {
  TarnVolumeList* list = TARNMountVolAllEnum(0, 1, 0);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count, 4);
  const char* paths[] = {"/volume1", "/volumeUSB1/usbshare", "/volume2", "/volume1/nested"};
  const int types[] = {2, 4, 2, 3};
  const int mounted[] = {1, 1, 0, 1};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(list->volumes[i].path, paths[i]);
    EXPECT_EQ(list->volumes[i].type, types[i]);
    EXPECT_EQ(list->volumes[i].mounted, mounted[i]) << paths[i];
    EXPECT_EQ(list->volumes[i].writable, mounted[i]) << paths[i];
  }
  TARNMountVolInfoFree(list);
  TARNMountVolInfoFree(nullptr);

  TARN::HXA::STORAGE_WEBUTILS::Volume storage;
  Json::Value out;
  ASSERT_TRUE(storage.VolumeListGet(out, false));
  const Json::Value& volumes = out["volume_list"];
  ASSERT_TRUE(volumes.isArray());
  ASSERT_EQ(volumes.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(volumes[i]["mount_point"].asString(), paths[i]);
    EXPECT_EQ(volumes[i]["type"].asInt(), types[i]);
    EXPECT_EQ(volumes[i]["mounted"].asBool(), mounted[i] == 1);
  }

  root_.Write("/etc/tarn/volumes.json", "{\"volumes\":[]}");
  list = TARNMountVolAllEnum(0, 1, 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 0);
  TARNMountVolInfoFree(list);
}

TEST(Volumes, MalformedOrMissingListFails) {
  const std::vector<std::string> bad = {
      "",
      "{}",
      "{\"volumes\":{}}",
      "{\"volumes\":[{\"type\":2}]}",
      "{\"volumes\":[{\"path\":\"volume1\"}]}",
      "{\"volumes\":[{\"path\":\"/volume1\",\"type\":\"2\"}]}",
      "{\"volumes\":[{\"path\":\"/volume1\"},3]}",
      "{\"volumes\":[{\"path\":\"/" + std::string(5000, 'v') + "\"}]}",
      std::string(50000, '{'),
  };
  for (const std::string& text : bad) {
    TestRoot root;
    root.MakeDir("/volume1");
    root.Write("/etc/tarn/volumes.json", text);
    TarnVolumeInfo info;
    EXPECT_EQ(TARNMountVolInfoGet("/volume1", &info), -1) << text.substr(0, 60);
    EXPECT_EQ(TARNMountVolAllEnum(0, 1, 0), nullptr);
    char buf[256];
    EXPECT_EQ(TARNShareBinPathGet("/volume1", buf, sizeof(buf)), -1);
    Json::Value out("untouched");
    TARN::HXA::STORAGE_WEBUTILS::Volume storage;
    EXPECT_FALSE(storage.VolumeListGet(out, false));
    EXPECT_EQ(out.asString(), "untouched");
  }
  TestRoot root;
  EXPECT_EQ(TARNMountVolAllEnum(0, 1, 0), nullptr);
}

}  // namespace
}  // namespace host_platform
