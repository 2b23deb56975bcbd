// Users, shares and volumes from the platform's files.
#include <gtest/gtest.h>
#include <json/json.h>
#include <time.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

TEST(Users, LookUpByNameAndUidWithExpiry) {
  TestRoot root;
  root.Write("/etc/passwd",
             "# a comment\nbroken line\nbaduid:x:12a:100::/home/baduid:/bin/sh\n+nisuser::::::\n"
             "nouid:x::100::/home/nouid:/bin/sh\n"
             "alice:x:1026:100:Alice:/volume1/homes/alice:/bin/sh\n"
             "DOM\\bob:x:300001:300000::/volume1/homes/@DH-DOM/bob\n"  // no shell field
             "alice:x:9999:9999:second alice:/elsewhere:/bin/sh\nolduser:x:1040:100::/:/bin/sh");
  const int32_t today = static_cast<int32_t>(time(nullptr) / 86400);
  root.Write("/etc/shadow",
             "olduser:!:19000:0:99999:7::1:\nalice:!:1:0:9:7::garbage:\nDOM\\bob:!:1\n");
  const struct {
    const char* name;
    uint32_t uid;
    const char* described;  // "gid home expire expired"
  } cases[] = {
      {"alice", 1026, "100 /volume1/homes/alice -1 0"},  // first line wins; bad expiry: none
      {"DOM\\bob", 300001, "300000 /volume1/homes/@DH-DOM/bob -1 0"},  // a short shadow line
      {"olduser", 1040, "100 / 1 1"},
  };
  for (const auto& c : cases) {
    TarnUserInfo* user = nullptr;
    ASSERT_EQ(TARNUserGet(c.name, &user), 0) << c.name;
    EXPECT_EQ(std::string(user->name) + " " + std::to_string(user->uid) + " " +
                  std::to_string(user->gid) + " " + user->home + " " +
                  std::to_string(user->expire) + " " + std::to_string(TARNUserCheckExpired(c.name)),
              std::string(c.name) + " " + std::to_string(c.uid) + " " + c.described);
    TARNUserFree(user);
    ASSERT_EQ(TARNUserGetByUID(c.uid, &user), 0) << c.name;
    EXPECT_STREQ(user->name, c.name);
    TARNUserFree(user);
  }
  for (const char* unknown : {"bob", "baduid", "nouid", "+nisuser", "Alice", ""}) {
    TarnUserInfo* user = reinterpret_cast<TarnUserInfo*>(0x1);
    EXPECT_EQ(TARNUserGet(unknown, &user), -1) << unknown;
    EXPECT_EQ(user, nullptr);
  }
  TarnUserInfo* user = nullptr;
  EXPECT_EQ(TARNUserGetByUID(4242, &user), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_FOUND);
  EXPECT_EQ(TARNUserCheckExpired("nobody-known"), 0);
  // An account expires at the start of its day; day 0 is no expiry.
  EXPECT_EQ(std::to_string(TARNUserIsExpired(0)) + std::to_string(TARNUserIsExpired(today)) +
                std::to_string(TARNUserIsExpired(today + 1)),
            "010");
  root.Remove("/etc/passwd");
  EXPECT_EQ(TARNUserGet("alice", &user), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
}

const char kSharesText[] = R"({"shares":[
  {"name":"homes","path":"/volume1/homes","status":0,"type":0},
  {"name":"secret","path":"/volume1/secret","status":3,"type":0,"enc_path":"/volume1/@secret@"},
  {"name":"open-enc","path":"/volume1/open-enc","status":2},
  {"name":"usb","path":"/volumeUSB1/usbshare","status":6400,"type":4},
  {"name":"gluster","path":"/volume2/g","status":18440,"type":64},
  {"name":"homes","path":"/elsewhere"}
]})";

TEST(Shares, RecordsGettersEnumerationAndMalformedLists) {
  TestRoot root;
  root.Write("/etc/tarn/shares.json", kSharesText);
  int (*const getters[])(const TarnShareInfo*, int*) = {
      TLIBShareIsWinShareGet,    TLIBShareIsSkipSmbPermGet,
      TLIBShareRecycleStatusGet, TLIBShareRecycleAdminOnlyStatusGet,
      TLIBShareIsEncryptionGet,  TLIBShareIsEncryptedGet};
  const struct {
    const char* name;
    const char* described;  // path status type, then win acl, skip smb, recycle, admin
                            // only, encryption, locked, gluster
  } cases[] = {
      {"homes", "/volume1/homes 0 0 0000000"},
      {"secret", "/volume1/secret 3 0 0000110"},
      {"open-enc", "/volume1/open-enc 2 0 0000100"},
      {"usb", "/volumeUSB1/usbshare 6400 4 1110000"},  // 0x1900
      {"gluster", "/volume2/g 18440 64 1000001"},      // 0x4808
  };
  for (const auto& c : cases) {
    TarnShareInfo* share = nullptr;
    ASSERT_EQ(TARNShareGet(c.name, &share), 0) << c.name;
    EXPECT_STREQ(share->name, c.name);
    std::string got = std::string(share->path) + " " + std::to_string(share->status) + " " +
                      std::to_string(share->type) + " ";
    for (auto getter : getters) {
      int value = 7;
      EXPECT_EQ(getter(share, &value), 0);
      got += std::to_string(value);
      EXPECT_EQ(getter(nullptr, &value) + getter(share, nullptr), -2);
    }
    EXPECT_EQ(got + std::to_string(TLIBIsGlusterShare(share)), c.described);
    TARNShareFree(share);
  }
  TarnShareInfo* share = nullptr;
  EXPECT_EQ(TARNShareGet("Homes", &share), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_FOUND);
  EXPECT_EQ(TLIBIsGlusterShare(nullptr), 0);

  char buf[4095];
  ASSERT_EQ(TLIBShareEncryptPathGet("secret", buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, "/volume1/@secret@");
  EXPECT_EQ(TLIBShareEncryptPathGet("open-enc", buf, sizeof(buf)), -1);  // names none
  EXPECT_EQ(TLIBShareEncryptPathGet("secret", buf, 17), -1);
  TarnSzList* names = nullptr;
  ASSERT_EQ(TARNShareEnum(&names), 5);  // each name once
  EXPECT_EQ(std::vector<std::string>(names->items, names->items + names->count),
            (std::vector<std::string>{"homes", "secret", "open-enc", "usb", "gluster"}));
  TLIBCSzListFree(names);
  const char kNulInPath[] = "{\"shares\":[{\"name\":\"homes\",\"path\":\"/v\0x\"}]}";
  const std::string good = R"({"name":"homes","path":"/v"})";
  for (const std::string& text : std::vector<std::string>{
           "", "{", "[]", "{\"shares\":{}}", "{\"shares\":[1]}", R"({"shares":[{"name":"homes"}]})",
           R"({"shares":[{"name":"homes","path":"relative"}]})",
           R"({"shares":[{"name":"homes","path":"/v","status":-1}]})",
           R"({"shares":[{"name":"homes","path":"/v","enc_path":7}]})",
           R"({"shares":[{"name":"homes","path":"/v","rights":{"a":"rwx"}}]})",
           R"({"shares":[)" + good + R"(,{"name":"x"}]})",  // one bad entry spoils the list
           R"({"shares":[)" + good + "]} trailing", std::string(100000, '[') + "]",
           std::string(kNulInPath, sizeof(kNulInPath) - 1), "\xff\xfe"}) {
    root.Write("/etc/tarn/shares.json", text);
    TarnShareInfo* share = nullptr;
    EXPECT_EQ(TARNShareGet("homes", &share), -1) << text.substr(0, 80);
    EXPECT_EQ(share, nullptr);
    TarnSzList sentinel{};
    names = &sentinel;  // a failure must reset it
    EXPECT_EQ(TARNShareEnum(&names), -1) << text.substr(0, 80);
    EXPECT_EQ(names, nullptr);
  }
  root.Remove("/etc/tarn/shares.json");
  EXPECT_EQ(TARNShareEnum(&names), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
}

TEST(Volumes, InfoShareBinsAndLinks) {
  TestRoot root;
  root.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},
    {"path":"/volumeUSB1/usbshare","type":4},{"path":"/volume2/","type":2},
    {"path":"/volume1/nested","type":3}]})");
  root.MakeDir("/volume1/homes");
  root.MakeDir("/volume1/nested");
  root.MakeDir("/volumeUSB1/usbshare");  // /volume2 is listed but not mounted
  root.MakeDir("/var/services");
  root.Link("/volume1/homes", "/var/services/homes");
  const struct {
    const char* path;
    const char* volume;  // "path type", or "" for -1
    const char* bin;     // null: -1
  } cases[] = {
      {"/volume1/homes/alice", "/volume1 2", "/volume1"},
      {"/var/services/homes", "/volume1 2", "/volume1"},              // through a link
      {"/volume1/nested/x", "/volume1/nested 3", "/volume1/nested"},  // longest prefix
      {"/volume1/nestedx", "/volume1 2", "/volume1"},                 // whole components only
      {"/volumeUSB1/usbshare/a", "/volumeUSB1/usbshare 4", "/volumeUSB1/usbshare/@sharebin"},
      {"/volume2/x", "", "/volume2"},  // share-bin needs only a listed volume
      {"/volume10/x", "", nullptr},
      {"relative", "", nullptr},
  };
  for (const auto& c : cases) {
    TarnVolumeInfo info{};
    const int rc = TARNMountVolInfoGet(c.path, &info);
    EXPECT_EQ(rc == 0 ? std::string(info.path) + " " + std::to_string(info.type) +
                            (info.mounted == 1 && info.writable == 1 ? "" : " unmounted")
                      : std::string(),
              c.volume)
        << c.path;
    char buf[256] = "";
    EXPECT_EQ(TARNShareBinPathGet(c.path, buf, sizeof(buf)), c.bin != nullptr ? 0 : -1) << c.path;
    EXPECT_STREQ(buf, c.bin != nullptr ? c.bin : "") << c.path;
  }
  // The storage list: a listed path that is not a folder is neither mounted nor writable.
  root.Write("/volume2", "");
  Json::Value list;
  ASSERT_TRUE(TARN::HXA::STORAGE_WEBUTILS::Volume().VolumeListGet(list, false));
  std::string states;
  for (const Json::Value& v : list["volume_list"]) {
    states += v["mount_point"].asString() + (v["mounted"].asBool() ? " m" : " -") +
              (v["writable"].asBool() ? "w;" : "-;");
  }
  EXPECT_EQ(states, "/volume1 mw;/volumeUSB1/usbshare mw;/volume2 --;/volume1/nested mw;");
  root.Remove("/volume2");
  // The registry of the volume each service keeps its data on.
  EXPECT_EQ(TARNServiceVolumeRegister("drift", "/volume1", 0), 0);
  EXPECT_EQ(root.Read("/etc/tarn/service-volumes.conf"), "drift=\"/volume1\"\n");
  EXPECT_EQ(TARNServiceVolumeRegister("drift", "volume1", 0), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_BAD_PARAMETERS);

  TarnVolumeInfo info;
  EXPECT_EQ(TARNMountVolInfoGet("/volume2/x", &info), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_NOT_MOUNTED);
  char buf[4095];
  EXPECT_EQ(TARNShareBinPathGet("/volumeUSB1/usbshare", buf, 30), -1);
  ASSERT_NE(TARNPathResolve("/var/services/homes", buf, sizeof(buf)), nullptr);
  EXPECT_STREQ(buf, "/volume1/homes");
  EXPECT_EQ(TARNPathResolve("/var/services/missing", buf, sizeof(buf)), nullptr);
  EXPECT_EQ(TARNPathResolve("/var/services/homes", buf, 14), nullptr);
  buf[15] = 'x';  // room for the text and its NUL: nothing is written past them
  ASSERT_NE(TARNPathResolve("/var/services/homes", buf, 15), nullptr);
  EXPECT_EQ(buf[15], 'x');

  for (const std::string& text : std::vector<std::string>{
           "", "{}", "{\"volumes\":{}}", R"({"volumes":[{"type":2}]})",
           R"({"volumes":[{"path":"volume1"}]})", R"({"volumes":[{"path":"/volume1","type":"2"}]})",
           std::string(50000, '{')}) {
    root.Write("/etc/tarn/volumes.json", text);
    EXPECT_EQ(TARNMountVolInfoGet("/volume1", &info), -1) << text.substr(0, 60);
    EXPECT_EQ(TARNShareBinPathGet("/volume1", buf, sizeof(buf)), -1);
  }
  const std::string longest = "/" + std::string(TARN_PATH_MAX - 1, 'v');  // no room for a NUL
  root.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":")" + longest + "\"}]}");
  EXPECT_EQ(TARNMountVolAllEnum(0, 0, 0), nullptr);
}

}  // namespace
}  // namespace host_platform
