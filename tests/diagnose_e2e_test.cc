// drift-control diagnose in a sandbox appliance: the ZIP archive on standard
// output (through the sandbox's zip wrapper and the distribution's zip) and
// the collection folder of --create-archive.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

const char kDbPathConf[] = "/var/packages/DriftVault/etc/db-path.conf";
const char kSync[] = "/volume1/@driftvault/@sync";

// Entries of a folder (names only, without "." and "..").
std::set<std::string> List(const std::string& host_dir) {
  std::set<std::string> out;
  if (DIR* d = opendir(host_dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") out.insert(name);
    }
    closedir(d);
  }
  return out;
}

class DiagnoseE2eTest : public ::testing::Test {
 protected:
  void MakeDirs(const std::string& appliance_path) {
    ASSERT_EQ(e2e::Run({"/bin/mkdir", "-p", box_.Host(appliance_path)}).exit_status, 0);
  }

  // Runs diagnose --output-stdout and returns the archive's entry names.
  std::set<std::string> ArchiveEntries() {
    e2e::RunResult r = box_.Tool({"diagnose", "--output-stdout"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_GT(r.out.size(), 22u);  // more than an empty ZIP's end record
    box_.Write("/archive.zip", r.out);
    e2e::RunResult list = e2e::Run({"/usr/bin/zipinfo", "-1", box_.Host("/archive.zip")});
    EXPECT_EQ(list.exit_status, 0) << list.err;
    std::set<std::string> entries;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) entries.insert(line);
    return entries;
  }

  // The content of one entry of the last archive.
  std::string ArchiveEntry(const std::string& name) {
    return e2e::Run({"/usr/bin/unzip", "-p", box_.Host("/archive.zip"), name}).out;
  }

  std::string LinkTarget(const std::string& appliance_path) {
    char target[PATH_MAX] = {0};
    if (readlink(box_.Host(appliance_path).c_str(), target, sizeof(target) - 1) < 0) return "";
    return target;
  }

  e2e::Sandbox box_;
};

TEST_F(DiagnoseE2eTest, ArchiveWithoutDatabaseVolume) {
  MakeDirs("/var/log/dfvt");
  MakeDirs("/var/log/upstart");
  box_.Write("/var/log/dfvt/syncfolder.log", "sync log");
  box_.Write("/var/log/dfvt/client.log_2", "old client log");
  box_.Write("/var/log/upstart/drift.log", "upstart");
  box_.Write("/var/log/messages-20240101", "dated messages");
  box_.Write("/var/log/othermessages", "not collected");
  box_.Write("/var/packages/DriftVault/target/etc/syncfolder.debug", "service_ctrl_debug=7\n");
  const std::set<std::string> before_tmp = List(box_.Host("/tmp"));

  const std::set<std::string> entries = ArchiveEntries();
  for (const char* expected :
       {"var/log/messages", "var/log/messages.1", "var/log/messages-20240101",
        "var/log/dfvt/syncfolder.log", "var/log/dfvt/client.log_2", "var/log/upstart/drift.log",
        "etc.defaults/VERSION", "etc.defaults/tarninfo.conf", "var/packages/DriftVault/INFO",
        "var/packages/DriftVault/etc/setting.conf",
        "var/packages/DriftVault/target/etc/syncfolder.debug"}) {
    EXPECT_EQ(entries.count(expected), 1u) << expected;
  }
  EXPECT_EQ(entries.count("var/log/othermessages"), 0u);
  EXPECT_EQ(entries.count("var/log/tarn-events.log"), 0u);
  for (const std::string& entry : entries) {
    EXPECT_EQ(entry.find("@driftvault"), std::string::npos) << entry;
    EXPECT_NE(entry.back(), '/') << "folder entry " << entry;
  }
  // The archive holds the files' contents, not the links.
  EXPECT_EQ(ArchiveEntry("var/log/dfvt/client.log_2"), "old client log");
  // No collection folder is left behind.
  EXPECT_EQ(List(box_.Host("/tmp")), before_tmp);
}

TEST_F(DiagnoseE2eTest, ArchiveWithDatabaseVolume) {
  MakeDirs(std::string(kSync) + "/view/1");
  MakeDirs(std::string(kSync) + "/view/22");
  MakeDirs(std::string(kSync) + "/file/ab");
  MakeDirs("/volume1/@driftvault/@clientd");
  box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  const std::string sync(kSync);
  box_.Write(sync + "/view/1/view-db.sqlite", "view one");
  box_.Write(sync + "/view/22/view-db.sqlite", "view 22");
  box_.Write(sync + "/view/22/view-db.sqlite-wal", "wal");
  box_.Write(sync + "/view/22/other.sqlite", "not collected");
  box_.Write(sync + "/file/ab/blob", "blob");
  box_.Write(sync + "/syncfolder-db.sqlite", "sync db");
  box_.Write(sync + "/user-db.sqlite", "user db");
  box_.Write(sync + "/user-db.sqlite-journal", "journal");
  box_.Write(sync + "/log-db.sqlite", "not collected");
  box_.Write("/volume1/@driftvault/@clientd/db.sqlite", "client db");

  const std::set<std::string> entries = ArchiveEntries();
  const std::string prefix = "volume1/@driftvault/@sync/";
  for (const std::string& expected :
       {prefix + "view/1/view-db.sqlite", prefix + "view/22/view-db.sqlite",
        prefix + "view/22/view-db.sqlite-wal", prefix + "file/ab/blob",
        prefix + "syncfolder-db.sqlite", prefix + "user-db.sqlite",
        prefix + "user-db.sqlite-journal", std::string("volume1/@driftvault/@clientd/db.sqlite"),
        std::string("var/packages/DriftVault/etc/db-path.conf")}) {
    EXPECT_EQ(entries.count(expected), 1u) << expected;
  }
  EXPECT_EQ(entries.count(prefix + "view/22/other.sqlite"), 0u);
  EXPECT_EQ(entries.count(prefix + "log-db.sqlite"), 0u);
  EXPECT_EQ(ArchiveEntry(prefix + "view/22/view-db.sqlite"), "view 22");
}

TEST_F(DiagnoseE2eTest, CreateArchiveLeavesLinksToTheRealFiles) {
  box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  e2e::RunResult r = box_.Tool({"diagnose", "--create-archive", "/root/diag"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  // Existing files and missing ones alike: links to root + path.
  for (const char* path : {"/var/log/messages", "/var/log/messages.1", "/etc.defaults/VERSION",
                           "/var/packages/DriftVault/etc", "/var/log/dfvt/client.log",
                           "/var/log/dfvt/drift-cached.log_1", "/var/log/upstart",
                           "/volume1/@driftvault/@sync/file"}) {
    EXPECT_EQ(LinkTarget(std::string("/root/diag") + path), box_.Host(path)) << path;
  }
  // A missing file's link dangles.
  struct stat st;
  EXPECT_NE(stat(box_.Host("/root/diag/var/log/dfvt/client.log").c_str(), &st), 0);
  // Patterns over a missing folder add nothing.
  EXPECT_FALSE(box_.Exists("/root/diag/volume1/@driftvault/@clientd/db.sqlite"));
  EXPECT_EQ(box_.Read("/root/diag/var/log/messages"), box_.Read("/var/log/messages"));
}

TEST_F(DiagnoseE2eTest, WordCountsDecideWhatHappens) {
  // --output-stdout with a word: nothing on standard output.
  e2e::RunResult r = box_.Tool({"diagnose", "--output-stdout", "/root/x"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(box_.Exists("/root/x"));
  // Both flags and one word: the folder is filled instead.
  r = box_.Tool({"diagnose", "--output-stdout", "--create-archive", "/root/y"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(LinkTarget("/root/y/var/log/messages"), box_.Host("/var/log/messages"));
  // --create-archive with two words, or none: nothing.
  r = box_.Tool({"diagnose", "--create-archive", "/root/a", "/root/b"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(box_.Exists("/root/a"));
  EXPECT_FALSE(box_.Exists("/root/b"));
  r = box_.Tool({"diagnose", "--create-archive"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(DiagnoseE2eTest, MissingZipProgramGivesNoArchiveAndNoLeftovers) {
  unlink(box_.Host("/usr/tarn/bin/zip").c_str());
  const std::set<std::string> before_tmp = List(box_.Host("/tmp"));
  e2e::RunResult r = box_.Tool({"diagnose", "--output-stdout"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(List(box_.Host("/tmp")), before_tmp);
}

}  // namespace
