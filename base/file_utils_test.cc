#include "base/file_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "cli/logger.h"

namespace {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/file_utils_test.XXXXXX";
    char* made = mkdtemp(tmpl);
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (system(cmd.c_str()) != 0) perror("rm");
    }
  }
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

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

 private:
  pthread_mutex_t* mutex_;
};

class FileUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DRIFT_ROOT");
    ASSERT_FALSE(dir_.path().empty());
    lock_path_ = dir_.Join("section.lock");
    ASSERT_TRUE(WriteFile(lock_path_, ""));
  }

  // Sends every message of "utility_debug" up to debug level into a log file.
  void CaptureLog() {
    log_path_ = dir_.Join("log");
    std::string switches = dir_.Join("switch");
    ASSERT_TRUE(WriteFile(switches, "utility_debug=7\n"));
    ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, log_path_.c_str(), switches.c_str(), 2));
  }
  void TearDown() override {
    if (!log_path_.empty()) Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 2);
  }

  // True when a fresh open file description can take the file lock now.
  bool LockFileIsFree() {
    int fd = open(lock_path_.c_str(), O_RDWR);
    if (fd < 0) return false;
    bool free_now = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free_now;
  }

  TempDir dir_;
  std::string lock_path_;
  std::string log_path_;
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

// Exit codes of the children below.
enum ChildResult { kChildOk = 0, kChildNotHeldOff = 10, kChildOpenFailed = 11, kChildPipe = 12 };

TEST_F(FileUtilsTest, DescriptorSectionExcludesAnotherProcess) {
  int fd = open(lock_path_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  OrderPipe order;
  {
    CriticalSection section(fd);
    section.Enter();
    ASSERT_TRUE(section.entered());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Our own open file description: the inherited one would share the lock.
      int own = open(lock_path_.c_str(), O_RDWR);
      if (own < 0) _exit(kChildOpenFailed);
      if (flock(own, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) _exit(kChildNotHeldOff);
      if (!order.Put('W')) _exit(kChildPipe);
      CriticalSection theirs(own);
      theirs.Enter();
      if (!order.Put('E')) _exit(kChildPipe);
      theirs.Leave();
      _exit(kChildOk);
    }
    EXPECT_EQ('W', order.Get());
    ASSERT_TRUE(order.Put('L'));
    section.Leave();
    EXPECT_FALSE(section.entered());
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(kChildOk, WEXITSTATUS(status));
  }
  EXPECT_EQ('L', order.Get());
  EXPECT_EQ('E', order.Get());
  EXPECT_TRUE(LockFileIsFree());
  close(fd);
}

TEST_F(FileUtilsTest, MutexSectionExcludesAnotherProcess) {
  SharedMutex mutex;
  ASSERT_NE(nullptr, mutex.get());
  OrderPipe order;
  CriticalSection section(mutex.get());
  section.Enter();
  // A mutex section does not touch the lock file.
  EXPECT_TRUE(LockFileIsFree());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (pthread_mutex_trylock(mutex.get()) != EBUSY) _exit(kChildNotHeldOff);
    if (!order.Put('W')) _exit(kChildPipe);
    CriticalSection theirs(mutex.get());
    theirs.Enter();
    if (!order.Put('E')) _exit(kChildPipe);
    theirs.Leave();
    _exit(kChildOk);
  }
  EXPECT_EQ('W', order.Get());
  ASSERT_TRUE(order.Put('L'));
  section.Leave();
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kChildOk, WEXITSTATUS(status));
  EXPECT_EQ('L', order.Get());
  EXPECT_EQ('E', order.Get());
  EXPECT_EQ(0, pthread_mutex_trylock(mutex.get()));
  pthread_mutex_unlock(mutex.get());
}

TEST_F(FileUtilsTest, DatabaseLockGuardHoldsBothLocksAcrossProcesses) {
  SharedMutex mutex;
  ASSERT_NE(nullptr, mutex.get());
  int fd = open(lock_path_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  OrderPipe order;
  pid_t pid = -1;
  {
    DatabaseLockGuard guard(fd, mutex.get());
    EXPECT_FALSE(LockFileIsFree());
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int own = open(lock_path_.c_str(), O_RDWR);
      if (own < 0) _exit(kChildOpenFailed);
      if (pthread_mutex_trylock(mutex.get()) != EBUSY) _exit(kChildNotHeldOff);
      if (flock(own, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) _exit(kChildNotHeldOff);
      if (!order.Put('W')) _exit(kChildPipe);
      {
        DatabaseLockGuard theirs(own, mutex.get());
        if (!order.Put('E')) _exit(kChildPipe);
      }
      _exit(kChildOk);
    }
    EXPECT_EQ('W', order.Get());
    ASSERT_TRUE(order.Put('L'));
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kChildOk, WEXITSTATUS(status));
  EXPECT_EQ('L', order.Get());
  EXPECT_EQ('E', order.Get());
  // Both released by the guards' destruction.
  EXPECT_TRUE(LockFileIsFree());
  EXPECT_EQ(0, pthread_mutex_trylock(mutex.get()));
  pthread_mutex_unlock(mutex.get());
  close(fd);
}

TEST_F(FileUtilsTest, EnterTwiceLocksOnceAndOneLeaveReleases) {
  CaptureLog();
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
    int other = -1;
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
    other = static_cast<int>(reinterpret_cast<intptr_t>(result));
    EXPECT_EQ(0, other);
    section.Leave();  // not entered: nothing happens
  }
  pthread_mutex_destroy(&mutex);

  int fd = open(lock_path_.c_str(), O_RDWR);
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

  std::string log = ReadFile(log_path_);
  // Three sections entered and left once each, whatever the number of calls.
  EXPECT_EQ(6, CountOf(log, "[DEBUG] utility(")) << log;
  EXPECT_EQ(3, CountOf(log, "): entering critical section")) << log;
  EXPECT_EQ(3, CountOf(log, "): leaving critical section")) << log;
}

TEST_F(FileUtilsTest, GetFileInfoTypes) {
  const std::string file = dir_.Join("file.txt");
  ASSERT_TRUE(WriteFile(file, "12345"));
  const std::string folder = dir_.Join("folder");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  const std::string link = dir_.Join("link");
  ASSERT_EQ(0, symlink(folder.c_str(), link.c_str()));
  const std::string dangling = dir_.Join("dangling");
  ASSERT_EQ(0, symlink("nowhere", dangling.c_str()));
  const std::string fifo = dir_.Join("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const std::string sock_path = dir_.Join("sock");
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
      {link, true, kFileTypeSymlink, "link"},  // the link, not its target
      {dangling, true, kFileTypeSymlink, "dangling"},
      {fifo, true, kFileTypeFifo, "fifo"},
      {sock_path, true, kFileTypeSocket, "sock"},
      {"/dev/null", true, kFileTypeDevice, "null"},
      {dir_.Join("missing"), false, kFileTypeNone, "missing"},
      {dir_.path() + "/", true, kFileTypeDirectory, ""},
  };
  for (const Case& c : cases) {
    FileInfo info;
    info.size = 99;  // overwritten in every case
    ASSERT_EQ(0, GetFileInfo(c.path.c_str(), &info)) << c.path;
    EXPECT_EQ(c.exists, info.exists) << c.path;
    EXPECT_EQ(c.type, info.type) << c.path;
    EXPECT_STREQ(c.path.c_str(), info.path.c_str());
    EXPECT_STREQ(c.name, info.name.c_str()) << c.path;
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
  close(sock);
}

TEST_F(FileUtilsTest, FileExists) {
  const std::string file = dir_.Join("present");
  ASSERT_TRUE(WriteFile(file, "x"));
  const std::string dangling = dir_.Join("dangling");
  ASSERT_EQ(0, symlink("nowhere", dangling.c_str()));
  EXPECT_TRUE(FileExists(file.c_str()));
  EXPECT_TRUE(FileExists(dir_.path().c_str()));
  EXPECT_TRUE(FileExists(dangling.c_str()));
  EXPECT_FALSE(FileExists(dir_.Join("absent").c_str()));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists((file + "/x").c_str()));  // unreadable status
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
      {dir_.Join("a/b/c"), dir_.Join("a/b/c")},
      {dir_.Join("a/b/c"), dir_.Join("a/b/c")},  // already there
      {dir_.Join("t/u/"), dir_.Join("t/u")},     // trailing slash
      {dir_.Join("x//y///z"), dir_.Join("x/y/z")},
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
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  EXPECT_EQ(0, MakeDirectoryPath("rel/one", nullptr, false, kDefaultDirectoryMode));
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_TRUE(IsDirectory(dir_.Join("rel/one")));

  ustring::size_type position = 7;
  errno = 0;
  EXPECT_EQ(-1, MakeDirectoryPath("", &position, false, kDefaultDirectoryMode));
  EXPECT_EQ(0u, position);
}

TEST_F(FileUtilsTest, MakeDirectoryPathWithFilesInTheWay) {
  // inner: base/inner is a regular file and the path goes below it.
  const std::string inner = dir_.Join("inner");
  ASSERT_TRUE(WriteFile(inner, "data"));
  const std::string below = inner + "/deeper/leaf";
  ustring::size_type position = 0;
  errno = 0;
  EXPECT_EQ(-1, MakeDirectoryPath(below.c_str(), &position, false, kDefaultDirectoryMode));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(inner.size(), position);
  EXPECT_EQ("data", ReadFile(inner));  // untouched

  // last: the final component is a regular file.
  const std::string last = dir_.Join("last");
  ASSERT_TRUE(WriteFile(last, "data"));
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
    const std::string path = dir_.Join("mode" + std::to_string(n++) + "/sub");
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
  const std::string blocker = dir_.Join("blocker");
  ASSERT_TRUE(WriteFile(blocker, ""));
  mode_t before = umask(023);
  EXPECT_EQ(-1, MakeDirectoryPath((blocker + "/x").c_str(), nullptr, false, 0700));
  EXPECT_EQ(023u, umask(before));
}

}  // namespace
