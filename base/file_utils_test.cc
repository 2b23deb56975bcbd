#include "base/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "base/test_root.h"

namespace {

class FileUtilsTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return root_.Host("/" + name); }
  // Whether an open file description of its own can take the file lock now.
  bool LockFileIsFree() const {
    const int fd = open(Path("lock").c_str(), O_RDWR | O_CREAT, 0644);
    const bool free_now = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free_now;
  }
  static bool MutexIsFree(pthread_mutex_t* m) {  // asked from another thread
    int rc = -1;
    std::thread([&] {
      rc = pthread_mutex_trylock(m) == 0 ? pthread_mutex_unlock(m) : EBUSY;
    }).join();
    return rc == 0;
  }
  mode_t Mode(const std::string& name) const {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0 ? st.st_mode : 0;
  }

  test_support::TestRoot root_{"file_utils_test"};
};

// A section is entered and left once whatever the number of calls; a
// recursive mutex would count a second lock and stay held.
TEST_F(FileUtilsTest, SectionsAndGuardsLockOnce) {
  root_.Write("/switch", "utility_debug=7\n");
  root_.CaptureLog("/log", "/switch");
  const int fd = open(Path("lock").c_str(), O_RDWR | O_CREAT, 0644);
  pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
  {
    CriticalSection by_file(fd), by_mutex(&mutex);
    for (CriticalSection* s : {&by_file, &by_mutex, &by_file, &by_mutex}) s->Enter();
    EXPECT_TRUE(by_file.entered() && by_mutex.entered() && !LockFileIsFree() &&
                !MutexIsFree(&mutex));
    by_mutex.Leave();
    EXPECT_TRUE(!by_mutex.entered() && MutexIsFree(&mutex) && !LockFileIsFree());
    by_mutex.Leave();  // not entered: nothing happens
  }                    // destruction leaves the file section
  EXPECT_TRUE(LockFileIsFree());
  {
    DatabaseLockGuard guard(fd, &mutex);
    EXPECT_TRUE(!LockFileIsFree() && !MutexIsFree(&mutex));
  }
  EXPECT_TRUE(LockFileIsFree() && MutexIsFree(&mutex));
  close(fd);
  const std::string log = std::regex_replace(
      root_.LogText(),
      std::regex("[A-Z][a-z]{2} [0-9]{2} [0-9:]{8} \\[DEBUG\\] utility\\([0-9]+\\): "), "");
  EXPECT_EQ(
      "entering critical sectionentering critical sectionleaving critical sectionleaving critical "
      "section",
      log);
}

TEST_F(FileUtilsTest, GetFileInfoAndBaseName) {
  root_.Write("/file.txt", "12345");
  root_.MakeDir("/folder");
  root_.Link(Path("folder"), "/link");
  root_.Link("nowhere", "/dangling");
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, Path("sock").c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(0, bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  const struct {
    std::string path;
    int type;
    const char* name;
  } cases[] = {{Path("file.txt"), kFileTypeRegular, "file.txt"},
               {Path("folder"), kFileTypeDirectory, "folder"},
               {Path("link"), kFileTypeSymlink, "link"},
               {Path("dangling"), kFileTypeSymlink, "dangling"},
               {Path("fifo"), kFileTypeFifo, "fifo"},
               {Path("sock"), kFileTypeSocket, "sock"},
               {"/dev/null", kFileTypeDevice, "null"},
               {Path("missing"), kFileTypeNone, "missing"},
               {root_.root() + "/", kFileTypeDirectory, ""}};
  for (const auto& c : cases) {
    FileInfo info;
    info.size = 99;
    ASSERT_EQ(0, GetFileInfo(c.path.c_str(), &info)) << c.path;
    const bool exists = c.type != kFileTypeNone;
    EXPECT_EQ(exists, info.exists && FileExists(c.path.c_str())) << c.path;
    EXPECT_EQ(c.type, info.type) << c.path;
    EXPECT_EQ(c.path + "|" + c.name, info.path.str() + "|" + info.name.str());
    EXPECT_EQ(exists, info.mode != 0 && info.inode != 0) << c.path;
    EXPECT_EQ(!exists ? 0 : c.type == kFileTypeRegular ? 5 : info.size, info.size) << c.path;
  }
  FileInfo info;
  ASSERT_EQ(0, GetFileInfo(Path("file.txt").c_str(), &info));
  EXPECT_TRUE(S_ISREG(info.mode) && info.uid == getuid() && info.modify_time > 0);
  // A path through a regular file is an error, not a missing path.
  EXPECT_EQ(-1, GetFileInfo(Path("file.txt/below").c_str(), &info));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_FALSE(FileExists(Path("file.txt/below").c_str()) || FileExists(""));
  close(sock);
  EXPECT_EQ("alice|alice|",
            BaseName("//alice").str() + "|" + BaseName("alice").str() + "|" + BaseName("/").str());
}

TEST_F(FileUtilsTest, MakeDirectoryPath) {
  root_.Write("/inner", "data");
  root_.Write("/last", "data");
  const struct {
    std::string path;  // the position reported is where it ends or where it failed
    bool replace;
    mode_t mask, mode;
    int result, error;
    size_t position;
    std::string check;  // a folder there afterwards, with this mode
    mode_t expected;
  } cases[] = {
      {Path("a/b/c"), false, 022, kDefaultDirectoryMode, 0, 0, 0, "a/b", 0755},
      {Path("a/b/c"), false, 022, kDefaultDirectoryMode, 0, 0, 0, "a/b/c", 0755},
      {Path("t/u/"), false, 027, kDefaultDirectoryMode, 0, 0, 0, "t/u", 0750},
      {Path("x//y///z"), false, 077, 0770, 0, 0, 0, "x/y", 0770},
      {Path("inner/deeper/leaf"), false, 022, 0711, -1, ENOTDIR, Path("inner").size(), "", 0},
      {Path("last"), false, 022, 0700, -1, EEXIST, Path("last").size(), "", 0},
      {Path("inner/deeper/leaf"), true, 022, 0711, 0, 0, 0, "inner/deeper", 0711},
      {Path("last"), true, 022, kDefaultDirectoryMode, 0, 0, 0, "last", 0755},
      {"", false, 022, kDefaultDirectoryMode, -1, EINVAL, 0, "", 0},
      {"/proc/drift-no-such-entry/x", false, 022, kDefaultDirectoryMode, -1, ENOENT, 25, "", 0}};
  for (const auto& c : cases) {
    const mode_t before = umask(c.mask);
    ustring::size_type position = 12345;
    errno = 0;
    EXPECT_EQ(c.result, MakeDirectoryPath(c.path.c_str(), &position, c.replace, c.mode)) << c.path;
    EXPECT_EQ(c.mask, umask(before)) << "mask not restored";
    EXPECT_EQ(c.error, c.result ? errno : 0) << c.path;
    EXPECT_EQ(c.result ? c.position : c.path.size(), position) << c.path;
    EXPECT_EQ(c.check.empty() ? 0 : S_IFDIR | c.expected, c.check.empty() ? 0 : Mode(c.check));
  }
  // A relative path is made relative to the working folder.
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)) && chdir(root_.root().c_str()) == 0);
  EXPECT_EQ(0, MakeDirectoryPath("rel/one", nullptr, false, kDefaultDirectoryMode));
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_TRUE(S_ISDIR(Mode("rel/one")));
}

}  // namespace
