#include "service/diagnose.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>

#include <set>

#include "service/service_test_util.h"

namespace {

using service_test::TestRoot;

const char kCollection[] = "/collection";

// Every entry below the host folder `dir`, as paths relative to it, with
// "-> target" for symbolic links.
std::set<std::string> Tree(const std::string& dir, const std::string& prefix = "") {
  std::set<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (struct dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
      target[n < 0 ? 0 : n] = '\0';
      out.insert(prefix + name + " -> " + target);
    } else if (S_ISDIR(st.st_mode)) {
      out.insert(prefix + name + "/");
      for (const std::string& sub : Tree(path, prefix + name + "/")) out.insert(sub);
    } else {
      out.insert(prefix + name);
    }
  }
  closedir(d);
  return out;
}

class AddToCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/var/log");
    root_.MakeDir(kCollection);
    for (const char* name : {"messages", "messages.1", "messages-old.gz", "other.log"}) {
      root_.Write(std::string("/var/log/") + name, name);
    }
  }
  std::string Link(const std::string& path) {
    return path.substr(path.rfind('/') + 1) + " -> " + root_.root() + path;
  }

  TestRoot root_;
};

TEST_F(AddToCollectionTest, PatternsAndPlainPaths) {
  // A trailing star links every entry with the prefix; the links reach the
  // real files.
  EXPECT_EQ(AddToCollection("/var/log/messages*", kCollection), 0);
  EXPECT_EQ(Tree(root_.Host("/collection/var/log")),
            (std::set<std::string>{Link("/var/log/messages"), Link("/var/log/messages.1"),
                                   Link("/var/log/messages-old.gz")}));
  EXPECT_EQ(root_.Read("/collection/var/log/messages.1"), "messages.1");
  // A star elsewhere adds nothing.
  EXPECT_EQ(AddToCollection("/var/log/mess*ages", kCollection), 0);
  EXPECT_EQ(AddToCollection("/var/log/*.1*", kCollection), 0);
  EXPECT_EQ(Tree(root_.Host("/collection/var/log")).size(), 3u);
  // A plain path is linked even when it is missing.
  EXPECT_EQ(AddToCollection("/var/log/dfvt/client.log_2", kCollection), 0);
  EXPECT_EQ(Tree(root_.Host("/collection/var/log/dfvt")),
            std::set<std::string>{Link("/var/log/dfvt/client.log_2")});
  // Patterns at the top level.
  root_.Write("/top-file", "x");
  EXPECT_EQ(AddToCollection("/top-*", kCollection), 0);
  EXPECT_EQ(Tree(root_.Host(kCollection)).count(Link("/top-file")), 1u);
}

TEST_F(AddToCollectionTest, EntryNamedWithAStarIsLinkedLiterally) {
  root_.Write("/var/log/messages*", "star");
  EXPECT_EQ(AddToCollection("/var/log/messages*", kCollection), 0);
  EXPECT_EQ(Tree(root_.Host("/collection/var/log")).count(Link("/var/log/messages*")), 1u);
  EXPECT_EQ(Tree(root_.Host("/collection/var/log")).size(), 4u);
}

TEST_F(AddToCollectionTest, Failures) {
  EXPECT_EQ(AddToCollection("/var/log/messages", ""), -1);
  EXPECT_EQ(AddToCollection("no-slash", kCollection), -1);
  // A relative path (a db-vol of "volume1") would grow folders beside the
  // collection, not in it.
  EXPECT_EQ(AddToCollection("volume1/@driftvault/@sync/file", kCollection), -1);
  EXPECT_FALSE(root_.Exists("/collectionvolume1"));
  EXPECT_EQ(AddToCollection("/var/missing/messages*", kCollection), -1);  // opendir fails
  EXPECT_EQ(AddToCollection("/var/log/other.log", kCollection), 0);
  EXPECT_EQ(AddToCollection("/var/log/other.log", kCollection), -1);  // link exists
  // A file where a folder of the collection must go.
  root_.Write("/collection/etc", "");
  EXPECT_EQ(AddToCollection("/etc/passwd", kCollection), -1);
}

TEST(MakeFolderPathTest, CreatesParentsAndAcceptsExisting) {
  TestRoot root;
  EXPECT_EQ(MakeFolderPath("/a/b/c"), 0);
  EXPECT_EQ(MakeFolderPath("/a/b/c"), 0);
  EXPECT_EQ(MakeFolderPath("/a/b/d/"), 0);
  struct stat st;
  EXPECT_EQ(stat(root.Host("/a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(stat(root.Host("/a/b/d").c_str(), &st), 0);
  root.Write("/a/file", "");
  EXPECT_EQ(MakeFolderPath("/a/file/x"), -1);
  EXPECT_EQ(MakeFolderPath(""), -1);
}

TEST(MakeTempFolderTest, PrivateFolderUnderTheBase) {
  TestRoot root;
  std::string d;
  ASSERT_EQ(MakeTempFolder("/tmp", &d), 0);
  EXPECT_EQ(d.compare(0, 5, "/tmp/"), 0) << d;
  EXPECT_EQ(d.size(), 11u);
  struct stat st;
  ASSERT_EQ(stat(root.Host(d).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::string untouched = "keep";
  EXPECT_EQ(MakeTempFolder("/no-such-base", &untouched), -1);
  EXPECT_EQ(untouched, "keep");
}

TEST(RemoveCollectionTest, RemovesLinksAndFoldersButNotTargets) {
  TestRoot root;
  root.MakeDir("/data/sub");
  root.Write("/data/sub/file", "precious");
  ASSERT_EQ(MakeFolderPath("/c"), 0);
  EXPECT_EQ(AddToCollection("/data/sub/file", "/c"), 0);
  EXPECT_EQ(AddToCollection("/data/sub", "/c"), -1);  // the folder /c/data/sub exists
  EXPECT_EQ(AddToCollection("/data/missing", "/c"), 0);
  EXPECT_EQ(RemoveCollection("/c"), 0);
  EXPECT_FALSE(root.Exists("/c"));
  EXPECT_EQ(root.Read("/data/sub/file"), "precious");
  EXPECT_EQ(RemoveCollection(""), 0);
  EXPECT_EQ(RemoveCollection("/c"), -1);
}

// The zip stand-in for these unit tests: the distribution's zip without the
// appliance's "-G" option (the sandbox installs the project's own wrapper).
void InstallZip(const TestRoot& root) {
  root.WriteScript("/usr/tarn/bin/zip",
                   "for a; do shift; [ \"$a\" = -G ] || set -- \"$@\" \"$a\"; done\n"
                   "exec zip \"$@\"\n");
}

// Lists the entries of a ZIP archive held in a string.
std::set<std::string> ZipEntries(const TestRoot& root, const std::string& archive) {
  root.Write("/archive.zip", archive);
  const std::string cmd = "zipinfo -1 " + root.Host("/archive.zip") + " 2>/dev/null";
  std::set<std::string> entries;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return entries;
  char line[4096];
  while (fgets(line, sizeof(line), p) != nullptr) {
    std::string entry(line);
    if (!entry.empty() && entry.back() == '\n') entry.pop_back();
    entries.insert(entry);
  }
  pclose(p);
  return entries;
}

// Runs DiagnoseToStream into a temporary file and returns what was written.
std::string StreamArchive(const TestRoot& root) {
  const std::string host = root.Host("/stream.out");
  const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(DiagnoseToStream(fd), 0);
  close(fd);
  const std::string archive = root.Read("/stream.out");
  unlink(host.c_str());
  return archive;
}

TEST(DiagnoseToStreamTest, ArchiveHoldsTheRealFilesAndNoTemporaryFolderRemains) {
  TestRoot root;
  InstallZip(root);
  root.MakeDir("/var/log/dfvt");
  root.Write("/var/log/messages", "system log");
  root.Write("/var/log/dfvt/syncfolder.log_1", "rotated");
  root.Write(paths::kDefaultsVersion, "version");
  root.Write(paths::kSettingConf, "dfvt_port=\"6690\"\n");
  const std::set<std::string> entries = ZipEntries(root, StreamArchive(root));
  EXPECT_EQ(entries.count("var/log/messages"), 1u);
  EXPECT_EQ(entries.count("var/log/dfvt/syncfolder.log_1"), 1u);
  EXPECT_EQ(entries.count("etc.defaults/VERSION"), 1u);
  EXPECT_EQ(entries.count("var/packages/DriftVault/etc/setting.conf"), 1u);
  // Missing files are dangling links, which the archive leaves out.
  EXPECT_EQ(entries.count("var/log/dfvt/client.log"), 0u);
  EXPECT_EQ(Tree(root.Host("/tmp")), std::set<std::string>{});
}

TEST(DiagnoseToFolderTest, CollectionStaysInTheNamedFolderIfItCanBeMade) {
  TestRoot root;
  root.MakeDir("/var/log");
  root.Write("/var/log/messages", "system log");
  EXPECT_EQ(DiagnoseToFolder("/out/diag"), 0);
  const std::set<std::string> tree = Tree(root.Host("/out/diag"));
  EXPECT_EQ(tree.count("var/log/messages -> " + root.Host("/var/log/messages")), 1u);
  EXPECT_EQ(tree.count("var/packages/DriftVault/etc -> " + root.Host(paths::kPackageEtcDir)), 1u);
  // No database volume configured: nothing below a volume is collected.
  for (const std::string& entry : tree) EXPECT_EQ(entry.find("@driftvault"), std::string::npos);
  // A folder that cannot be made collects nothing; nor does an empty name.
  // The database volume is still asked for, and its absence logged.
  const std::string kNoVolume = "): can not get vol\n";
  const size_t logged = root.LogText().rfind(kNoVolume);
  ASSERT_NE(logged, std::string::npos) << root.LogText();
  root.Write("/blocker", "");
  EXPECT_EQ(DiagnoseToFolder("/blocker/diag"), 0);
  EXPECT_FALSE(root.Exists("/blocker/diag"));
  EXPECT_GT(root.LogText().rfind(kNoVolume), logged) << root.LogText();
  EXPECT_EQ(WriteZip("", 1), -1);

  // The system root itself, however it is spelled, is refused: a missing
  // log must not become a link to itself at its own place.
  root.MakeDir("/var/log/dfvt");
  for (const char* system_root : {"/", "//", "/var/.."}) {
    EXPECT_EQ(DiagnoseToFolder(system_root), 0) << system_root;
    struct stat st;
    EXPECT_NE(lstat(root.Host("/var/log/dfvt/client.log").c_str(), &st), 0) << system_root;
  }
}

}  // namespace
