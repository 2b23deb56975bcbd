#include "service/cleanup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "service/service_test_util.h"

namespace {

using service_test::TestRoot;

// A USB volume whose share-bin path ("<mount>/@sharebin") does not fit the
// platform's 256-byte buffer: its share-bin path cannot be read.
const std::string kLongUsb = "/volumeUSB2/" + std::string(240, 'u');

class CleanUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("/etc/tarn/volumes.json",
                "{\"volumes\":[{\"path\":\"/volume1\",\"type\":2},"
                "{\"path\":\"" +
                    kLongUsb +
                    "\",\"type\":4},"
                    "{\"path\":\"/volumeUSB1/usbshare\",\"type\":4},"
                    "{\"path\":\"/volume2\",\"type\":2},"
                    "{\"path\":\"/volume3\",\"type\":2}]}\n");
    // Repositories with content on volume1 and on the USB disk.
    root_.MakeDir("/volume1/@driftvault/@sync/view/1");
    root_.Write("/volume1/@driftvault/@sync/user-db.sqlite", "db");
    root_.Write("/volume1/keep.txt", "keep");
    root_.MakeDir("/volumeUSB1/usbshare/@sharebin/@driftvault/@sync");
    root_.MakeDir("/volumeUSB1/usbshare/@driftvault");  // not where a USB repository lives
    // The unreadable volume keeps its folder; and an empty share-bin path
    // must never become the root's own "/@driftvault".
    root_.MakeDir(kLongUsb + "/@sharebin/@driftvault");
    root_.MakeDir("/@driftvault");
    // volume2's repository is a link to data elsewhere: the link goes, the
    // data stays.  volume3 has no repository.
    root_.MakeDir("/volume2");
    root_.MakeDir("/elsewhere/data");
    ASSERT_EQ(symlink("/elsewhere", root_.Host("/volume2/@driftvault").c_str()), 0);
    root_.MakeDir("/volume3");
    root_.Write("/var/packages/DriftVault/etc/db-path.conf", "db-vol=\"/volume1\"\n");
  }

  TestRoot root_;
};

TEST_F(CleanUpTest, RemovesEveryRepositoryAndTheVolumeChoice) {
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(CleanUp(), 0) << "run " << run;
    EXPECT_FALSE(root_.Exists("/volume1/@driftvault")) << run;
    EXPECT_FALSE(root_.Exists("/volumeUSB1/usbshare/@sharebin/@driftvault")) << run;
    EXPECT_FALSE(root_.Exists("/volume2/@driftvault")) << run;
    EXPECT_FALSE(root_.Exists("/var/packages/DriftVault/etc/db-path.conf")) << run;
    // Left alone.
    EXPECT_EQ(root_.Read("/volume1/keep.txt"), "keep") << run;
    EXPECT_TRUE(root_.Exists("/volumeUSB1/usbshare/@sharebin")) << run;
    EXPECT_TRUE(root_.Exists("/volumeUSB1/usbshare/@driftvault")) << run;
    EXPECT_TRUE(root_.Exists(kLongUsb + "/@sharebin/@driftvault")) << run;
    EXPECT_TRUE(root_.Exists("/@driftvault")) << run;
    EXPECT_TRUE(root_.Exists("/elsewhere/data")) << run;
    EXPECT_TRUE(root_.Exists("/volume3")) << run;
  }
  EXPECT_NE(root_.LogText().find("TARNShareBinPathGet(" + kLongUsb + ")"), std::string::npos)
      << root_.LogText();
}

TEST_F(CleanUpTest, WithoutAVolumeListNothingIsRemoved) {
  for (const char* list : {"", "{\"volumes\":[{\"type\":2}]}"}) {
    if (*list == '\0') {
      root_.Remove("/etc/tarn/volumes.json");
    } else {
      root_.Write("/etc/tarn/volumes.json", list);
    }
    EXPECT_EQ(CleanUp(), -1) << list;
    EXPECT_TRUE(root_.Exists("/volume1/@driftvault/@sync/user-db.sqlite")) << list;
    EXPECT_TRUE(root_.Exists("/var/packages/DriftVault/etc/db-path.conf")) << list;
  }
  // The message is the last one written, and carries no line end of its own.
  const std::string log = root_.LogText();
  EXPECT_NE(log.find("[ERROR] service-ctrl("), std::string::npos);
  const std::string tail = "): Fail to get volume info";
  EXPECT_TRUE(log.size() >= tail.size() &&
              log.compare(log.size() - tail.size(), tail.size(), tail) == 0)
      << log;
}

TEST_F(CleanUpTest, EmptyVolumeListStillForgetsTheVolume) {
  root_.Write("/etc/tarn/volumes.json", "{\"volumes\":[]}");
  EXPECT_EQ(CleanUp(), 0);
  EXPECT_FALSE(root_.Exists("/var/packages/DriftVault/etc/db-path.conf"));
  EXPECT_TRUE(root_.Exists("/volume1/@driftvault"));
}

}  // namespace
