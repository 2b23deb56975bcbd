// drift-control cleanup, service --collect-user-data and diagnose in sandbox
// appliances, and the sandbox's description of its volume.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "platform/file_system_property.h"
#include "platform/sdk_share.h"
#include "tests/e2e_support.h"
#include "userdb/user_manager.h"

namespace e2e {
namespace {

// Runs the tool and expects exit status 0 and nothing on standard error;
// returns what it printed.
std::string Quiet(const Sandbox& box, const std::vector<std::string>& args) {
  RunResult r = box.Tool(args);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  return r.out;
}

std::set<std::string> List(const std::string& host_dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(host_dir)) {
    names.insert(e.path().filename());
  }
  return names;
}

std::string LinkTarget(const Sandbox& box, const std::string& appliance_path) {
  char target[PATH_MAX] = {0};
  return readlink(box.Host(appliance_path).c_str(), target, sizeof(target) - 1) < 0 ? "" : target;
}

// The volume with a share-bin path longer than the platform's buffer allows
// is passed over; without a volume list nothing is removed; afterwards no
// database volume is configured, and statistics print nothing.
TEST(CleanupE2eTest, RemovesRepositoriesTwice) {
  Sandbox box;
  const std::string long_usb = "/volumeUSB1/" + std::string(240, 'u');
  box.Write("/etc/tarn/volumes.json", "not json");
  box.MakeDirs("/volume1/@driftvault/@sync/view/1");
  box.MakeDirs(long_usb + "/@sharebin/@driftvault/@sync");
  box.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  EXPECT_EQ(Quiet(box, {"cleanup"}), "");
  EXPECT_TRUE(box.Exists(kSyncFolder));
  EXPECT_TRUE(box.Exists(kDbPathConf));

  box.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},{"path":")" +
                                          long_usb + "\",\"type\":4}]}\n");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(Quiet(box, {"cleanup"}), "");
    EXPECT_FALSE(box.Exists("/volume1/@driftvault"));
    EXPECT_FALSE(box.Exists(kDbPathConf));
    EXPECT_TRUE(box.Exists("/volume1/homes/alice"));
    EXPECT_TRUE(box.Exists(kSettingConf));
    EXPECT_TRUE(box.Exists(long_usb + "/@sharebin/@driftvault/@sync"));
  }
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "");
}

TEST(CollectUserDataE2eTest, PrintsOneLineForTheUserDatabase) {
  Sandbox box;
  // Without a usable database volume nothing is printed.
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "");
  for (const char* conf : {"other=\"x\"\n", "db-vol=\"/volume9\"\n"}) {
    box.Write(kDbPathConf, conf);
    EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "") << conf;
  }
  EXPECT_FALSE(box.Exists("/volume9"));
  box.MakeDirs(kSyncFolder);
  box.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  box.Write(kUserDb, std::string(8192, 'z'));
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "");
  EXPECT_EQ(box.Read(kUserDb), std::string(8192, 'z'));
  ASSERT_EQ(unlink(box.Host(kUserDb).c_str()), 0);
  // A new database is laid out, empty.
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "{\"user\":[],\"version\":4164}\n");
  }
  EXPECT_TRUE(box.Exists("/tmp/user-mgr-lock-file"));
  // Entries added as a start adds them; a share entry counts like any other.
  setenv("DRIFT_ROOT", box.root().c_str(), 1);
  ASSERT_EQ(UserManager::Initialize(kUserDb), 0);
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  EXPECT_EQ(UserManager::AddUser("@homes", kUserTypeShare, 0), 1);
  EXPECT_EQ(UserManager::AddUser("bob", kUserTypeLocal, 0), 1);
  UserManager::Close();
  unsetenv("DRIFT_ROOT");
  Exec(box.Host(kUserDb),
       "INSERT INTO session_table (uid, sess_id, client) VALUES (1, 's-1', 'laptop'), "
       "(1, 's-2', 'phone'), (2, 'h', NULL);");
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}),
            "{\"user\":[{\"session_count\":2,\"type\":0},{\"session_count\":1,\"type\":1},"
            "{\"session_count\":0,\"type\":0}],\"version\":4164}\n");
}

// /volume1 is found as an ext4 volume through the sandbox's own mount table,
// so shares on it know their volume.
TEST(SandboxVolumes, HomesShareLiesOnVolume1) {
  Sandbox box;
  setenv("DRIFT_ROOT", box.root().c_str(), 1);
  SDK::Share share;
  ASSERT_EQ(share.Open("homes", false), 0);
  EXPECT_EQ(share.GetPath(), "/volume1/homes");
  EXPECT_EQ(share.GetVolumePath(), "/volume1");
  EXPECT_FALSE(share.IsUsbShare());
  FileSystemProperty fs;
  ASSERT_EQ(fs.Init("/volume1/homes/alice", true), 0);
  EXPECT_EQ(fs.kind(), FileSystemProperty::kExt4);
  EXPECT_EQ(fs.mount_path(), "/volume1");
  EXPECT_EQ(fs.tmp_path(), "/volume1/@tmp");
  EXPECT_EQ(fs.device(), "/dev/md2");
  EXPECT_EQ(fs.Init("/var/packages/DriftVault", true), -1);  // not on a volume
  unsetenv("DRIFT_ROOT");
}

class DiagnoseE2eTest : public ::testing::Test {
 protected:
  // Runs diagnose --output-stdout and returns the archive's entry names.
  std::set<std::string> ArchiveEntries() {
    const std::string zip = Quiet(box_, {"diagnose", "--output-stdout"});
    EXPECT_GT(zip.size(), 22u);  // more than an empty ZIP's end record
    box_.Write("/archive.zip", zip);
    RunResult list = e2e::Run({"/usr/bin/zipinfo", "-1", box_.Host("/archive.zip")});
    EXPECT_EQ(list.exit_status, 0) << list.err;
    std::set<std::string> entries;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) entries.insert(line);
    return entries;
  }
  std::string ArchiveEntry(const std::string& name) {
    return e2e::Run({"/usr/bin/unzip", "-p", box_.Host("/archive.zip"), name}).out;
  }
  Sandbox box_;
};

// The archive holds the logs, settings and databases by their patterns (the
// files' contents, not links), and no collection folder is left behind.
TEST_F(DiagnoseE2eTest, ArchiveOnStandardOutput) {
  box_.MakeDirs("/var/log/dfvt");
  box_.MakeDirs("/var/log/upstart");
  const std::set<std::string> tmp = List(box_.Host("/tmp"));
  const std::map<std::string, bool> files = {
      {"var/log/dfvt/syncfolder.log", true},
      {"var/log/dfvt/client.log_2", true},
      {"var/log/upstart/drift.log", true},
      {"var/log/messages-20240101", true},
      {"var/log/othermessages", false},
      {"var/packages/DriftVault/target/etc/syncfolder.debug", true},
  };
  for (const auto& [path, collected] : files) box_.Write("/" + path, path);
  std::set<std::string> entries = ArchiveEntries();
  for (const auto& [path, collected] : files) EXPECT_EQ(entries.count(path), collected) << path;
  for (const char* path : {"var/log/messages", "var/log/messages.1", "etc.defaults/VERSION",
                           "etc.defaults/tarninfo.conf", "var/packages/DriftVault/INFO",
                           "var/packages/DriftVault/etc/setting.conf"}) {
    EXPECT_EQ(entries.count(path), 1u) << path;
  }
  EXPECT_EQ(entries.count("var/log/tarn-events.log"), 0u);
  for (const std::string& entry : entries) {
    EXPECT_EQ(entry.find("@driftvault"), std::string::npos) << entry;
    EXPECT_NE(entry.back(), '/') << "folder entry " << entry;
  }
  EXPECT_EQ(ArchiveEntry("var/log/dfvt/client.log_2"), "var/log/dfvt/client.log_2");
  EXPECT_EQ(List(box_.Host("/tmp")), tmp);

  // With a database volume its databases come along, by their patterns.
  const std::string sync = "volume1/@driftvault/@sync/";
  const std::map<std::string, bool> databases = {
      {sync + "view/1/view-db.sqlite", true},
      {sync + "view/22/view-db.sqlite", true},
      {sync + "view/22/view-db.sqlite-wal", true},
      {sync + "view/22/other.sqlite", false},
      {sync + "file/ab/blob", true},
      {sync + "syncfolder-db.sqlite", true},
      {sync + "user-db.sqlite", true},
      {sync + "user-db.sqlite-journal", true},
      {sync + "log-db.sqlite", false},
      {"volume1/@driftvault/@clientd/db.sqlite", true},
  };
  for (const auto& [path, collected] : databases) {
    box_.MakeDirs("/" + path.substr(0, path.rfind('/')));
    box_.Write("/" + path, path);
  }
  box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  entries = ArchiveEntries();
  for (const auto& [path, collected] : databases) EXPECT_EQ(entries.count(path), collected) << path;
  EXPECT_EQ(entries.count("var/packages/DriftVault/etc/db-path.conf"), 1u);
  EXPECT_EQ(ArchiveEntry(sync + "view/22/view-db.sqlite"), sync + "view/22/view-db.sqlite");

  // Without the zip program: no archive and no leftovers.
  unlink(box_.Host("/usr/tarn/bin/zip").c_str());
  EXPECT_EQ(Quiet(box_, {"diagnose", "--output-stdout"}), "");
  EXPECT_EQ(List(box_.Host("/tmp")), tmp);
}

// --create-archive leaves links to root + path, for missing files too (they
// dangle); patterns over a missing folder add nothing.  The word counts
// decide what happens.
TEST_F(DiagnoseE2eTest, CreateArchiveAndWordCounts) {
  box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  EXPECT_EQ(Quiet(box_, {"diagnose", "--create-archive", "/root/diag"}), "");
  for (const char* path : {"/var/log/messages", "/var/log/messages.1", "/etc.defaults/VERSION",
                           "/var/packages/DriftVault/etc", "/var/log/dfvt/client.log",
                           "/var/log/dfvt/drift-cached.log_1", "/var/log/upstart",
                           "/volume1/@driftvault/@sync/file"}) {
    EXPECT_EQ(LinkTarget(box_, std::string("/root/diag") + path), box_.Host(path)) << path;
  }
  struct stat st;
  EXPECT_NE(stat(box_.Host("/root/diag/var/log/dfvt/client.log").c_str(), &st), 0);
  EXPECT_FALSE(box_.Exists("/root/diag/volume1/@driftvault/@clientd/db.sqlite"));
  EXPECT_EQ(box_.Read("/root/diag/var/log/messages"), box_.Read("/var/log/messages"));

  EXPECT_EQ(Quiet(box_, {"diagnose", "--output-stdout", "/root/x"}), "");
  EXPECT_FALSE(box_.Exists("/root/x"));
  EXPECT_EQ(Quiet(box_, {"diagnose", "--output-stdout", "--create-archive", "/root/y"}), "");
  EXPECT_EQ(LinkTarget(box_, "/root/y/var/log/messages"), box_.Host("/var/log/messages"));
  EXPECT_EQ(Quiet(box_, {"diagnose", "--create-archive", "/root/a", "/root/b"}), "");
  EXPECT_FALSE(box_.Exists("/root/a"));
  EXPECT_FALSE(box_.Exists("/root/b"));
}

}  // namespace
}  // namespace e2e
