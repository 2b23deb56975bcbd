#include "base/file_op.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/test_root.h"

namespace {

// The unprivileged account the permission cases run as when the tests run as
// root (which opens any folder whatever its mode).
constexpr uid_t kNobody = 65534;

class FileOpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("/switch", "file_op_debug=7\n");
    root_.CaptureLog("/log", "/switch");
    root_.MakeDir("/work");
  }

  std::string Path(const std::string& name) const { return root_.Host("/work/" + name); }
  void Write(const std::string& name, const std::string& text) const {
    root_.Write("/work/" + name, text);
  }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  static bool IsDirectory(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  test_support::TestRoot root_{"file_op_test"};
};

TEST_F(FileOpTest, FSMKDirCases) {
  ASSERT_EQ(0, mkdir(Path("existing").c_str(), 0700));
  Write("existing/keep", "kept");
  Write("regular", "file");
  ASSERT_EQ(0, symlink(Path("existing").c_str(), Path("link").c_str()));

  struct Case {
    std::string path;
    bool parents;
    int expected;
    bool is_folder_after;
  };
  const Case cases[] = {
      {"", false, -1, false},
      {Path("existing"), false, 0, true},
      {Path("existing"), true, 0, true},
      {Path("fresh"), false, 0, true},
      {Path("no/parents/here"), false, -2, false},
      {Path("with/parents/here"), true, 0, true},
      {Path("regular"), false, -1, false},
      {Path("regular"), true, -1, false},
      {Path("link"), false, -1, false},  // the link itself is not a folder
      {Path("regular/below"), true, -1, false},
  };
  const mode_t mask = umask(027);
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, FSMKDir(c.path.c_str(), c.parents)) << c.path << " " << c.parents;
    if (!c.path.empty()) {
      EXPECT_EQ(c.is_folder_after, IsDirectory(c.path)) << c.path;
    }
  }
  umask(mask);
  EXPECT_FALSE(Exists(Path("no")));
  // New folders, parents included, get 0777 under the umask.
  for (const char* name : {"fresh", "with", "with/parents", "with/parents/here"}) {
    struct stat st;
    ASSERT_EQ(0, stat(Path(name).c_str(), &st)) << name;
    EXPECT_EQ(0750u, st.st_mode & 07777) << name;
  }

  // The existing folder kept its mode and contents.
  struct stat st;
  ASSERT_EQ(0, stat(Path("existing").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ("kept", root_.Read("/work/existing/keep"));

  const std::string log = root_.LogText();
  const std::string not_dir =
      "): FSMKDir: Create a folder but local file system is not directory '";
  const std::string expected[] = {
      "[ERROR] file-op(", not_dir + Path("regular") + "' (1)", not_dir + Path("link") + "' (3)",
      "): FSMKDir: Failed to to file info '" + Path("regular/below") + "'"};
  for (const std::string& line : expected) {
    EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
  }
}

TEST_F(FileOpTest, FSRemoveCases) {
  Write("plain", "x");
  ASSERT_EQ(0, mkdir(Path("tree").c_str(), 0755));
  ASSERT_EQ(0, mkdir(Path("tree/a").c_str(), 0755));
  ASSERT_EQ(0, mkdir(Path("tree/a/b").c_str(), 0700));
  Write("tree/a/b/deep", "x");
  Write("tree/top", "x");
  ASSERT_EQ(0, mkfifo(Path("tree/a/fifo").c_str(), 0600));
  ASSERT_EQ(0, mkdir(Path("empty").c_str(), 0755));
  ASSERT_EQ(0, symlink("nowhere", Path("dangling").c_str()));
  // Links to folders are removed, never followed.
  Write("other/precious", "keep");
  Write("other/sub/also", "keep");
  Write("victim/own", "x");
  ASSERT_EQ(0, symlink(Path("other").c_str(), Path("victim/link").c_str()));
  ASSERT_EQ(0, symlink("../other/sub", Path("victim/relative").c_str()));
  ASSERT_EQ(0, symlink(Path("other").c_str(), Path("direct").c_str()));
  // A trailing slash would make the system resolve the link itself.
  ASSERT_EQ(0, symlink(Path("other").c_str(), Path("slashed").c_str()));
  ASSERT_EQ(0, mkdir(Path("folder").c_str(), 0755));

  struct Case {
    std::string path;
    int expected;
  };
  const Case cases[] = {
      {"", -1},
      {Path("missing"), 0},
      {Path("plain"), 0},
      {Path("tree"), 0},
      {Path("empty"), 0},
      {Path("dangling"), 0},
      {Path("victim"), 0},
      {Path("direct"), 0},
      {Path("slashed") + "//", 0},
      {Path("folder") + "/", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, FSRemove(c.path.c_str())) << c.path;
    if (!c.path.empty()) {
      EXPECT_FALSE(Exists(c.path)) << c.path;
    }
  }
  EXPECT_EQ("keep", root_.Read("/work/other/precious"));
  EXPECT_EQ("keep", root_.Read("/work/other/sub/also"));
  // Status that cannot be read: a path through a regular file.
  Write("blocker", "x");
  EXPECT_EQ(-1, FSRemove(Path("blocker/below").c_str()));
  EXPECT_TRUE(Exists(Path("blocker")));
}

// Exit codes of the unprivileged child.
enum { kChildCannotDrop = 100, kChildStillPrivileged = 101 };

// Runs `body` as an unprivileged user: directly when the tests already run
// unprivileged, in a forked child that drops to `nobody` when they run as root
// (root opens any folder, so the permission cases could not happen).  The
// body returns a bit mask of failed checks (0 when all passed).
template <typename Body>
int RunUnprivileged(const std::string& probe, Body body) {
  if (geteuid() != 0) return body();
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
      _exit(kChildCannotDrop);
    }
    // Some capability left (a container's setup): the case cannot happen.
    DIR* dir = opendir(probe.c_str());
    if (dir != nullptr) {
      closedir(dir);
      _exit(kChildStillPrivileged);
    }
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(FileOpTest, FSRemovePermissionCases) {
  // The whole test tree must be reachable for the unprivileged user.
  ASSERT_EQ(0, chmod(root_.root().c_str(), 0755));
  ASSERT_EQ(0, chmod(Path("").c_str(), 0777));
  // shut: a folder nobody may open; its file must stay.
  ASSERT_EQ(0, mkdir(Path("outer").c_str(), 0777));
  ASSERT_EQ(0, mkdir(Path("outer/shut").c_str(), 0700));
  Write("outer/shut/inside", "x");
  ASSERT_EQ(0, chmod(Path("outer/shut").c_str(), 0000));
  // sealed: a readable folder whose entries cannot be removed.
  ASSERT_EQ(0, mkdir(Path("sealed").c_str(), 0777));
  ASSERT_EQ(0, mkdir(Path("sealed/ro").c_str(), 0755));
  Write("sealed/ro/file", "x");
  ASSERT_EQ(0, chmod(Path("sealed/ro").c_str(), 0555));
  if (geteuid() == 0) {
    // Owned by root, so the modes bind the unprivileged child.
    ASSERT_EQ(0, chown(Path("outer/shut").c_str(), 0, 0));
  }

  const std::string shut = Path("outer/shut");
  const std::string outer = Path("outer");
  const std::string sealed = Path("sealed");
  int result = RunUnprivileged(shut, [&]() {
    int failed = 0;
    if (FSRemove(shut.c_str()) != 0) failed |= 1;  // cannot be opened: 0, stays
    if (!Exists(shut)) failed |= 2;
    if (FSRemove(outer.c_str()) != -3) failed |= 4;  // its folder cannot go
    if (!Exists(shut)) failed |= 8;
    if (FSRemove(sealed.c_str()) != -3) failed |= 16;  // "file" cannot be unlinked
    if (!Exists(sealed + "/ro/file")) failed |= 32;
    return failed;
  });
  if (result == kChildCannotDrop) GTEST_SKIP() << "cannot switch to uid " << kNobody;
  if (result == kChildStillPrivileged) {
    GTEST_SKIP() << "uid " << kNobody << " still bypasses folder permissions here";
  }
  EXPECT_EQ(0, result) << "bit mask of failed checks";
  EXPECT_TRUE(Exists(Path("outer/shut/inside")));
}

}  // namespace
