// drift-control cleanup against a sandbox appliance with two volumes, one of
// which has a share-bin path that the platform cannot give.
#include <sys/stat.h>

#include <string>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

// A USB volume whose share-bin path ("<mount>/@sharebin") is longer than the
// platform's buffer allows.
const std::string kLongUsb = "/volumeUSB1/" + std::string(240, 'u');

void MakeDirs(const e2e::Sandbox& sandbox, const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      mkdir(sandbox.Host(path.substr(0, pos)).c_str(), 0755);
    }
  }
}

TEST(CleanUpCommand, RemovesRepositoriesTwice) {
  e2e::Sandbox sandbox;
  sandbox.Write("/etc/tarn/volumes.json",
                "{\"volumes\":[{\"path\":\"/volume1\",\"type\":2},"
                "{\"path\":\"" +
                    kLongUsb + "\",\"type\":4}]}\n");
  MakeDirs(sandbox, "/volume1/@driftvault/@sync/view/1");
  sandbox.Write("/volume1/@driftvault/@sync/user-db.sqlite", "data");
  MakeDirs(sandbox, kLongUsb + "/@sharebin/@driftvault/@sync");
  sandbox.Write("/var/packages/DriftVault/etc/db-path.conf", "db-vol=\"/volume1\"\n");

  for (int run = 0; run < 2; ++run) {
    e2e::RunResult result = sandbox.Tool({"cleanup"});
    EXPECT_EQ(result.exit_status, 0) << run;
    EXPECT_EQ(result.out, "") << run;
    EXPECT_EQ(result.err, "") << run;
    EXPECT_FALSE(sandbox.Exists("/volume1/@driftvault")) << run;
    EXPECT_FALSE(sandbox.Exists("/var/packages/DriftVault/etc/db-path.conf")) << run;
    // The other contents of the volume and the package stay.
    EXPECT_TRUE(sandbox.Exists("/volume1/homes/alice")) << run;
    EXPECT_TRUE(sandbox.Exists("/var/packages/DriftVault/etc/setting.conf")) << run;
    // The volume whose share-bin path cannot be read is passed over.
    EXPECT_TRUE(sandbox.Exists(kLongUsb + "/@sharebin/@driftvault/@sync")) << run;
  }
  // Afterwards no database volume is configured.
  e2e::RunResult stats = sandbox.Tool({"service", "--collect-user-data"});
  EXPECT_EQ(stats.exit_status, 0);
  EXPECT_EQ(stats.out, "");
}

TEST(CleanUpCommand, WithoutVolumeListNothingIsRemoved) {
  e2e::Sandbox sandbox;
  sandbox.Write("/etc/tarn/volumes.json", "not json");
  MakeDirs(sandbox, "/volume1/@driftvault/@sync");
  sandbox.Write("/var/packages/DriftVault/etc/db-path.conf", "db-vol=\"/volume1\"\n");
  e2e::RunResult result = sandbox.Tool({"cleanup"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(sandbox.Exists("/volume1/@driftvault/@sync"));
  EXPECT_TRUE(sandbox.Exists("/var/packages/DriftVault/etc/db-path.conf"));
}

}  // namespace
