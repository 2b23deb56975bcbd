#include "base/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "base/test_root.h"

namespace {

int CountOf(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A process-shared mutex in an anonymous shared mapping, so that a forked
// child contends for the very same mutex.
class SharedMutex {
 public:
  SharedMutex() {
    void* p = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    mutex_ = p == MAP_FAILED ? nullptr : static_cast<pthread_mutex_t*>(p);
    if (mutex_ == nullptr) return;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~SharedMutex() {
    if (mutex_ == nullptr) return;
    pthread_mutex_destroy(mutex_);
    munmap(mutex_, sizeof(pthread_mutex_t));
  }
  pthread_mutex_t* get() { return mutex_; }
  bool HeldElsewhere() { return pthread_mutex_trylock(mutex_) == EBUSY; }

 private:
  pthread_mutex_t* mutex_;
};

class FileUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.Write("/section.lock", ""); }

  std::string Path(const std::string& name) const { return root_.Host("/" + name); }

  // An open file description of its own on the lock file.
  int OpenLock() const { return open(Path("section.lock").c_str(), O_RDWR); }

  // True when a fresh open file description can take the file lock now.
  bool LockFileIsFree() const {
    int fd = OpenLock();
    if (fd < 0) return false;
    bool free_now = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free_now;
  }

  test_support::TestRoot root_{"file_utils_test"};
};

// The child reports through a pipe shared with the parent: 'W' when it starts
// to wait for the section, 'E' once it holds it.  The parent writes 'L' into
// the same pipe just before leaving.  A lock that did not hold the child back
// would let 'E' overtake 'L'.
struct OrderPipe {
  int fds[2] = {-1, -1};
  OrderPipe() {
    if (pipe(fds) != 0) fds[0] = fds[1] = -1;
  }
  ~OrderPipe() {
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  bool Put(char c) { return write(fds[1], &c, 1) == 1; }
  char Get() {
    char c = 0;
    return read(fds[0], &c, 1) == 1 ? c : '?';
  }
};

// Exit codes of the contender.
enum ChildResult { kChildOk = 0, kChildNotHeldOff = 10, kChildPipe = 12 };

// While the caller holds a lock: forks a contender that checks with
// `held_off` that it cannot take the lock now, then enters it through
// `contend` (which runs `inside` while holding it); the parent leaves through
// `leave`.  Checks the order W, L, E.
void ExpectExcludesAnotherProcess(
    const std::function<bool()>& held_off,
    const std::function<void(const std::function<void()>& inside)>& contend,
    const std::function<void()>& leave) {
  OrderPipe order;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!held_off()) _exit(kChildNotHeldOff);
    if (!order.Put('W')) _exit(kChildPipe);
    bool put = false;
    contend([&] { put = order.Put('E'); });
    _exit(put ? kChildOk : kChildPipe);
  }
  EXPECT_EQ('W', order.Get());
  ASSERT_TRUE(order.Put('L'));
  leave();
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kChildOk, WEXITSTATUS(status));
  EXPECT_EQ('L', order.Get());
  EXPECT_EQ('E', order.Get());
}

TEST_F(FileUtilsTest, SectionsExcludeAnotherProcess) {
  // Over a lock file.  The child needs an open file description of its own:
  // the inherited one would share the lock.
  int fd = OpenLock();
  ASSERT_GE(fd, 0);
  int own = -1;
  {
    CriticalSection section(fd);
    section.Enter();
    ASSERT_TRUE(section.entered());
    ExpectExcludesAnotherProcess(
        [&] {
          own = OpenLock();
          return own >= 0 && flock(own, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        },
        [&](const std::function<void()>& inside) {
          CriticalSection theirs(own);
          theirs.Enter();
          inside();
          theirs.Leave();
        },
        [&] { section.Leave(); });
    EXPECT_FALSE(section.entered());
  }
  EXPECT_TRUE(LockFileIsFree());

  // Over a process mutex, which does not touch the lock file.
  SharedMutex mutex;
  ASSERT_NE(nullptr, mutex.get());
  {
    CriticalSection section(mutex.get());
    section.Enter();
    EXPECT_TRUE(LockFileIsFree());
    ExpectExcludesAnotherProcess([&] { return mutex.HeldElsewhere(); },
                                 [&](const std::function<void()>& inside) {
                                   CriticalSection theirs(mutex.get());
                                   theirs.Enter();
                                   inside();
                                   theirs.Leave();
                                 },
                                 [&] { section.Leave(); });
  }
  EXPECT_FALSE(mutex.HeldElsewhere());
  pthread_mutex_unlock(mutex.get());

  // DatabaseLockGuard holds both.
  {
    std::unique_ptr<DatabaseLockGuard> guard(new DatabaseLockGuard(fd, mutex.get()));
    EXPECT_FALSE(LockFileIsFree());
    ExpectExcludesAnotherProcess(
        [&] {
          own = OpenLock();
          return own >= 0 && mutex.HeldElsewhere() && flock(own, LOCK_EX | LOCK_NB) != 0 &&
                 errno == EWOULDBLOCK;
        },
        [&](const std::function<void()>& inside) {
          DatabaseLockGuard theirs(own, mutex.get());
          inside();
        },
        [&] { guard.reset(); });
  }
  EXPECT_TRUE(LockFileIsFree());
  EXPECT_FALSE(mutex.HeldElsewhere());
  pthread_mutex_unlock(mutex.get());
  close(fd);
}

TEST_F(FileUtilsTest, EnterTwiceLocksOnceAndOneLeaveReleases) {
  root_.Write("/switch", "utility_debug=7\n");
  root_.CaptureLog("/log", "/switch");
  // A recursive mutex would count a second lock; another thread can then only
  // take it if Enter locked exactly once.
  pthread_mutex_t mutex;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  {
    CriticalSection section(&mutex);
    section.Enter();
    section.Enter();
    EXPECT_TRUE(section.entered());
    section.Leave();
    EXPECT_FALSE(section.entered());
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(
                     &thread, nullptr,
                     [](void* arg) -> void* {
                       auto* m = static_cast<pthread_mutex_t*>(arg);
                       int rc = pthread_mutex_trylock(m);
                       if (rc == 0) pthread_mutex_unlock(m);
                       return reinterpret_cast<void*>(static_cast<intptr_t>(rc));
                     },
                     &mutex));
    void* result = nullptr;
    pthread_join(thread, &result);
    EXPECT_EQ(0, static_cast<int>(reinterpret_cast<intptr_t>(result)));
    section.Leave();  // not entered: nothing happens
  }
  pthread_mutex_destroy(&mutex);

  int fd = OpenLock();
  ASSERT_GE(fd, 0);
  {
    CriticalSection section(fd);
    section.Enter();
    section.Enter();
    EXPECT_FALSE(LockFileIsFree());
    section.Leave();
    EXPECT_TRUE(LockFileIsFree());
  }
  {
    // Destruction leaves a section that is still entered.
    CriticalSection section(fd);
    section.Enter();
    EXPECT_FALSE(LockFileIsFree());
  }
  EXPECT_TRUE(LockFileIsFree());
  close(fd);

  const std::string log = root_.LogText();
  // Three sections entered and left once each, whatever the number of calls.
  EXPECT_EQ(6, CountOf(log, "[DEBUG] utility(")) << log;
  EXPECT_EQ(3, CountOf(log, "): entering critical section")) << log;
  EXPECT_EQ(3, CountOf(log, "): leaving critical section")) << log;
}

TEST_F(FileUtilsTest, GetFileInfoTypes) {
  const std::string file = Path("file.txt");
  root_.Write("/file.txt", "12345");
  const std::string folder = Path("folder");
  root_.MakeDir("/folder");
  root_.Link(folder, "/link");
  root_.Link("nowhere", "/dangling");
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  const std::string sock_path = Path("sock");
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(0, bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));

  struct Case {
    std::string path;
    bool exists;
    int type;
    const char* name;
  };
  const Case cases[] = {
      {file, true, kFileTypeRegular, "file.txt"},
      {folder, true, kFileTypeDirectory, "folder"},
      {Path("link"), true, kFileTypeSymlink, "link"},  // the link, not its target
      {Path("dangling"), true, kFileTypeSymlink, "dangling"},
      {Path("fifo"), true, kFileTypeFifo, "fifo"},
      {sock_path, true, kFileTypeSocket, "sock"},
      {"/dev/null", true, kFileTypeDevice, "null"},
      {Path("missing"), false, kFileTypeNone, "missing"},
      {root_.root() + "/", true, kFileTypeDirectory, ""},
  };
  for (const Case& c : cases) {
    FileInfo info;
    info.size = 99;  // overwritten in every case
    ASSERT_EQ(0, GetFileInfo(c.path.c_str(), &info)) << c.path;
    EXPECT_EQ(c.exists, info.exists) << c.path;
    EXPECT_EQ(c.type, info.type) << c.path;
    EXPECT_STREQ(c.path.c_str(), info.path.c_str());
    EXPECT_STREQ(c.name, info.name.c_str()) << c.path;
    EXPECT_EQ(c.exists, FileExists(c.path.c_str())) << c.path;
    if (!c.exists) {
      EXPECT_EQ(0u, info.mode);
      EXPECT_EQ(0, info.size);
      EXPECT_EQ(0u, info.inode);
      EXPECT_EQ(0, info.modify_time);
    } else {
      EXPECT_NE(0u, info.mode);
      EXPECT_NE(0u, info.inode);
    }
  }
  FileInfo info;
  ASSERT_EQ(0, GetFileInfo(file.c_str(), &info));
  EXPECT_EQ(5, info.size);
  EXPECT_TRUE(S_ISREG(info.mode));
  EXPECT_EQ(static_cast<uint32_t>(getuid()), info.uid);
  EXPECT_GT(info.modify_time, 0);
  // A path through a regular file is an error, not a missing path.
  EXPECT_EQ(-1, GetFileInfo((file + "/below").c_str(), &info));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_FALSE(FileExists((file + "/below").c_str()));  // unreadable status
  EXPECT_FALSE(FileExists(""));
  close(sock);
}

TEST(BaseNameTest, Table) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/volume1/homes/alice", "alice"},
      {"file.txt", "file.txt"},
      {"/volume1/", ""},
      {"/", ""},
      {"", ""},
      {"a/b", "b"},
      {"//x", "x"},
      {"/\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.expected, BaseName(c.path).c_str()) << c.path;
  }
}

TEST_F(FileUtilsTest, MakeDirectoryPathCreatesEveryLevel) {
  struct Case {
    std::string path;
    std::string check;
  };
  const Case cases[] = {
      {Path("a/b/c"), Path("a/b/c")},
      {Path("a/b/c"), Path("a/b/c")},  // already there
      {Path("t/u/"), Path("t/u")},     // trailing slash
      {Path("x//y///z"), Path("x/y/z")},
  };
  for (const Case& c : cases) {
    ustring::size_type position = 12345;
    EXPECT_EQ(0, MakeDirectoryPath(c.path.c_str(), &position, false, kDefaultDirectoryMode))
        << c.path;
    EXPECT_EQ(c.path.size(), position) << c.path;
    EXPECT_TRUE(IsDirectory(c.check)) << c.check;
  }
  // A relative path is made relative to the working folder.
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(root_.root().c_str()));
  EXPECT_EQ(0, MakeDirectoryPath("rel/one", nullptr, false, kDefaultDirectoryMode));
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_TRUE(IsDirectory(Path("rel/one")));

  ustring::size_type position = 7;
  errno = 0;
  EXPECT_EQ(-1, MakeDirectoryPath("", &position, false, kDefaultDirectoryMode));
  EXPECT_EQ(0u, position);
}

TEST_F(FileUtilsTest, MakeDirectoryPathWithFilesInTheWay) {
  // inner: base/inner is a regular file and the path goes below it.
  const std::string inner = Path("inner");
  root_.Write("/inner", "data");
  const std::string below = inner + "/deeper/leaf";
  ustring::size_type position = 0;
  errno = 0;
  EXPECT_EQ(-1, MakeDirectoryPath(below.c_str(), &position, false, kDefaultDirectoryMode));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(inner.size(), position);
  EXPECT_EQ("data", root_.Read("/inner"));  // untouched

  // last: the final component is a regular file.
  const std::string last = Path("last");
  root_.Write("/last", "data");
  errno = 0;
  EXPECT_EQ(-1, MakeDirectoryPath(last.c_str(), &position, false, kDefaultDirectoryMode));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(last.size(), position);

  // With replace both turn into folders.
  EXPECT_EQ(0, MakeDirectoryPath(below.c_str(), &position, true, kDefaultDirectoryMode));
  EXPECT_EQ(below.size(), position);
  EXPECT_TRUE(IsDirectory(inner));
  EXPECT_TRUE(IsDirectory(below));
  EXPECT_EQ(0, MakeDirectoryPath(last.c_str(), nullptr, true, kDefaultDirectoryMode));
  EXPECT_TRUE(IsDirectory(last));

  // A creation that the system refuses fails.
  errno = 0;
  EXPECT_EQ(-1, MakeDirectoryPath("/proc/drift-no-such-entry/x", &position, false,
                                  kDefaultDirectoryMode));
  EXPECT_NE(0, errno);
}

TEST_F(FileUtilsTest, MakeDirectoryPathModes) {
  struct Case {
    mode_t mask;
    mode_t mode;
    mode_t expected;
  };
  const Case cases[] = {
      {022, kDefaultDirectoryMode, 0755},  // 0777 under the mask
      {027, kDefaultDirectoryMode, 0750},
      {077, 0770, 0770},  // exact: the mask does not apply
      {022, 0711, 0711},
      {0, 0700, 0700},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = Path("mode" + std::to_string(n++) + "/sub");
    mode_t before = umask(c.mask);
    EXPECT_EQ(0, MakeDirectoryPath(path.c_str(), nullptr, false, c.mode));
    mode_t after = umask(before);
    EXPECT_EQ(c.mask, after) << "mask not restored";
    for (const std::string& p : {path, path.substr(0, path.size() - 4)}) {
      struct stat st;
      ASSERT_EQ(0, stat(p.c_str(), &st)) << p;
      EXPECT_EQ(c.expected, st.st_mode & 07777) << p << " mask " << c.mask;
    }
  }
  // The mask is restored after a failure too.
  const std::string blocker = Path("blocker");
  root_.Write("/blocker", "");
  mode_t before = umask(023);
  EXPECT_EQ(-1, MakeDirectoryPath((blocker + "/x").c_str(), nullptr, false, 0700));
  EXPECT_EQ(023u, umask(before));
}

}  // namespace
