#include "cli/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "base/test_root.h"

namespace {

// The time stamp that starts every line of the stream and file destinations:
// "Mmm dd hh:mm:ss ".
constexpr size_t kStampLength = 16;

bool IsStampAt(const std::string& text, size_t pos) {
  if (text.size() < pos + kStampLength) return false;
  const char* shape = "Aaa 00 00:00:00 ";
  for (size_t i = 0; i < kStampLength; ++i) {
    const char c = text[pos + i];
    switch (shape[i]) {
      case 'A':
        if (c < 'A' || c > 'Z') return false;
        break;
      case 'a':
        if (c < 'a' || c > 'z') return false;
        break;
      case '0':
        if (c < '0' || c > '9') return false;
        break;
      default:
        if (c != shape[i]) return false;
    }
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Sends a standard descriptor into a temporary file while alive.
class Capture {
 public:
  explicit Capture(int fd) : fd_(fd) {
    char name[] = "/tmp/logger_capture.XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    fflush(fd_ == 1 ? stdout : stderr);
    saved_ = dup(fd_);
    dup2(file_, fd_);
  }
  ~Capture() { Stop(); }

  std::string Stop() {
    if (saved_ != -1) {
      fflush(fd_ == 1 ? stdout : stderr);
      dup2(saved_, fd_);
      close(saved_);
      saved_ = -1;
      lseek(file_, 0, SEEK_SET);
      char buf[4096];
      ssize_t n;
      while ((n = read(file_, buf, sizeof(buf))) > 0) text_.append(buf, n);
      close(file_);
    }
    return text_;
  }

 private:
  int fd_;
  int file_ = -1;
  int saved_ = -1;
  std::string text_;
};

// Lines of `text` (split at line feeds; the last piece is kept when the text
// does not end with one).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

// Whether `line` is a time stamp followed by exactly `message`.
bool StampedLine(const std::string& line, const std::string& message) {
  return IsStampAt(line, 0) && line.substr(kStampLength) == message;
}

// Each test runs in a sandbox root (DRIFT_ROOT) with /tmp and /log folders, so
// that the log files and the inter-process lock file are private to it.
// Component names are unique per test: thresholds stay loaded across Init.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/tmp");
    root_.MakeDir("/log");
  }
  void TearDown() override {
    Logger::SetInterProcessSafe(false);
    Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50);
  }

  std::string Host(const std::string& appliance_path) { return root_.Host(appliance_path); }
  void WriteFile(const std::string& host_path, const std::string& content) {
    root_.Write(paths::AppliancePath(host_path), content);
  }

  test_support::TestRoot root_{"logger_test"};
};

TEST(LoggerBeforeInitTest, MessagesAreDropped) {
  // Re-executes the test program for the child, so that the logger really is
  // in its start-up state there (a forked child would inherit the
  // configuration of earlier tests).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Capture out(1);
        Capture err(2);
        Logger::Log(3, "drift_control", "[ERROR] test(%d): before init\n", __LINE__);
        std::string early = out.Stop() + err.Stop();
        Capture later(1);
        Logger::Init(Logger::LOG_TYPE_STDOUT, "", "", 50);
        Logger::Log(3, "drift_control", "[ERROR] test(%d): after init\n", __LINE__);
        std::string late = later.Stop();
        exit(early.empty() && late.find("after init") != std::string::npos ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(LoggerTest, StandardOutput) {
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDOUT, "", "", 50));
  Capture out(1);
  Logger::Log(3, "stdout_test", "[ERROR] test(%d): %s %d%%\n", 12, "failed", 50);
  Logger::Log(4, "stdout_test", "[WARNING] test(%d): careful\n", 13);
  Logger::Log(6, "stdout_test", "[INFO] test(%d): not shown\n", 14);
  Logger::Log(7, "stdout_test", "[DEBUG] test(%d): not shown\n", 15);
  std::vector<std::string> lines = Lines(out.Stop());
  ASSERT_EQ(2u, lines.size());
  EXPECT_TRUE(StampedLine(lines[0], "[ERROR] test(12): failed 50%")) << lines[0];
  EXPECT_TRUE(StampedLine(lines[1], "[WARNING] test(13): careful")) << lines[1];
}

TEST_F(LoggerTest, StandardError) {
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50));
  Capture out(1);
  Capture err(2);
  Logger::Log(4, "stderr_test", "[WARNING] test(%d): no line end", 7);
  Logger::Log(3, "stderr_test", "[ERROR] test(%d): next\n", 8);
  EXPECT_EQ("", out.Stop());
  std::string text = err.Stop();
  // The logger adds no line end of its own.
  const std::string first = "[WARNING] test(7): no line end";
  const std::string second = "[ERROR] test(8): next\n";
  ASSERT_EQ(2 * kStampLength + first.size() + second.size(), text.size()) << text;
  EXPECT_TRUE(IsStampAt(text, 0));
  EXPECT_EQ(first, text.substr(kStampLength, first.size()));
  EXPECT_TRUE(IsStampAt(text, kStampLength + first.size()));
  EXPECT_EQ(second, text.substr(2 * kStampLength + first.size())) << text;
}

TEST_F(LoggerTest, Thresholds) {
  struct Case {
    const char* component;
    std::vector<int> written;
  };
  const struct {
    const char* file;  // nullptr: no switch file
    std::vector<Case> cases;
  } files[] = {
      // Built-in thresholds: errors and warnings only, default_component too.
      {nullptr, {{"default_component", {3, 4}}, {"nofile_test_a", {3, 4}}}},
      // One malformed line and nothing of the file is loaded.
      {"malformed_test_a=7\nmalformed_test_b 7\n", {{"malformed_test_a", {3, 4}}}},
      {"# thresholds\n"
       "switch_test_debug=7\n"
       "switch_test_silent=0\n"
       "switch_test_letters=abc\n"
       "switch_test_prefix=6abc\n"
       "default_component=3\n",
       {
           {"switch_test_debug", {3, 4, 6, 7}},
           {"switch_test_silent", {}},
           {"switch_test_letters", {}},  // not a number: 0
           {"switch_test_prefix", {3, 4, 6}},
           {"default_component", {3}},  // the file overrides the built-in 4
           {"switch_test_unnamed", {3, 4}},
       }},
  };
  for (const auto& f : files) {
    if (f.file != nullptr) root_.Write("/switch.debug", f.file);
    ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDOUT, "",
                              f.file ? "/switch.debug" : "/etc/missing.debug", 50));
    for (const Case& c : f.cases) {
      SCOPED_TRACE(c.component);
      Capture out(1);
      for (int level : {3, 4, 6, 7}) Logger::Log(level, c.component, "level %d\n", level);
      std::vector<std::string> lines = Lines(out.Stop());
      ASSERT_EQ(c.written.size(), lines.size());
      for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(StampedLine(lines[i], "level " + std::to_string(c.written[i])));
      }
    }
  }
}

TEST_F(LoggerTest, FileDestinationAppends) {
  WriteFile(Host("/log/app.log"), "earlier line\n");
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/log/app.log", "", 50));
  Capture out(1);
  Capture err(2);
  Logger::Log(3, "file_test", "[ERROR] test(%d): %s\n", 1, "one");
  Logger::Log(6, "file_test", "[INFO] test(%d): hidden\n", 2);
  Logger::Log(4, "file_test", "[WARNING] test(%d): %lld %u %.2f %c\n", 3, -5LL, 7u, 1.5, 'x');
  EXPECT_EQ("", out.Stop());
  EXPECT_EQ("", err.Stop());
  std::vector<std::string> lines = Lines(ReadFile(Host("/log/app.log")));
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("earlier line", lines[0]);
  EXPECT_TRUE(StampedLine(lines[1], "[ERROR] test(1): one"));
  EXPECT_TRUE(StampedLine(lines[2], "[WARNING] test(3): -5 7 1.50 x"));
}

TEST_F(LoggerTest, FileDestinationFailures) {
  EXPECT_EQ(-1, Logger::Init(Logger::LOG_TYPE_FILE, "", "", 50));
  EXPECT_EQ(-1, Logger::Init(Logger::LOG_TYPE_FILE, "/no/such/folder/app.log", "", 50));
  EXPECT_FALSE(Exists("/no/such/folder/app.log"));
}

TEST_F(LoggerTest, UnknownKindWritesPlainStandardError) {
  ASSERT_EQ(0, Logger::Init(9, "/log/other.log", "", 50));
  Capture err(2);
  Logger::Log(3, "other_test", "[ERROR] test(%d): plain\n", 4);
  EXPECT_EQ("[ERROR] test(4): plain\n", err.Stop());
  EXPECT_EQ("", ReadFile(Host("/log/other.log")));
}

TEST_F(LoggerTest, SystemLog) {
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_SYSLOG, "", "", 50));
  // LOG_PERROR echoes what is sent to the system log on standard error, which
  // shows which messages were sent; no time stamp is added by the logger.
  openlog("logger_test", LOG_PERROR, LOG_USER);
  Capture err(2);
  Logger::Log(3, "syslog_test", "[ERROR] test(%d): sent %s\n", 5, "there");
  Logger::Log(7, "syslog_test", "[DEBUG] test(%d): filtered\n", 6);
  std::string text = err.Stop();
  closelog();
  EXPECT_NE(std::string::npos, text.find("[ERROR] test(5): sent there")) << text;
  EXPECT_EQ(std::string::npos, text.find("filtered")) << text;
  size_t message = text.find("[ERROR]");
  ASSERT_NE(std::string::npos, message);
  EXPECT_FALSE(message >= kStampLength && IsStampAt(text, message - kStampLength)) << text;
}

TEST_F(LoggerTest, RotationKeepsCountFiles) {
  const std::string live = Host("/log/rot.log");
  // What the live file already holds is not counted towards the 1 MiB.
  WriteFile(live, std::string(1048576, 'p') + "\n");
  WriteFile(live + "_0", "previous 0\n");
  WriteFile(live + "_1", "previous 1\n");
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/log/rot.log", "", 3));

  const std::string chunk(100000, 'x');
  Logger::Log(3, "rotate_test", "%s\n", chunk.c_str());
  EXPECT_EQ("previous 0\n", ReadFile(live + "_0"));

  // 100000 bytes and a stamp a message: the eleventh passes 1048576 bytes.
  for (int i = 1; i < 10; ++i) Logger::Log(3, "rotate_test", "%s\n", chunk.c_str());
  EXPECT_EQ("previous 0\n", ReadFile(live + "_0"));
  Logger::Log(3, "rotate_test", "%s\n", chunk.c_str());

  std::string rotated = ReadFile(live + "_0");
  std::vector<std::string> lines = Lines(rotated);
  ASSERT_EQ(12u, lines.size());
  EXPECT_EQ(std::string(1048576, 'p'), lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_TRUE(StampedLine(lines[i], chunk));
  EXPECT_EQ("previous 0\n", ReadFile(live + "_1"));
  EXPECT_FALSE(Exists(live + "_2"));
  EXPECT_EQ("", ReadFile(live));

  Logger::Log(3, "rotate_test", "after rotation\n");
  lines = Lines(ReadFile(live));
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(StampedLine(lines[0], "after rotation"));
}

TEST_F(LoggerTest, InterProcessLinesStayWhole) {
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  EXPECT_TRUE(Exists(Host("/tmp/driftvault_logger_flock")));
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/log/shared.log", "", 50));

  // Messages larger than a stream buffer take two writes each, so without the
  // file lock the two processes' writes would interleave.  Both start
  // together and stay below the rotation size.
  const int kMessages = 100;
  const std::string parent_text(5000, 'P');
  const std::string child_text(5000, 'C');
  int ready[2];
  int go[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(go));
  pid_t child = fork();
  ASSERT_NE(-1, child);
  char byte = 'x';
  if (child == 0) {
    if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
    for (int i = 0; i < kMessages; ++i) {
      Logger::Log(3, "shared_test", "child %d %s\n", i, child_text.c_str());
    }
    _exit(0);
  }
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  ASSERT_EQ(1, write(go[1], &byte, 1));
  for (int i = 0; i < kMessages; ++i) {
    Logger::Log(3, "shared_test", "parent %d %s\n", i, parent_text.c_str());
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);

  EXPECT_FALSE(Exists(Host("/log/shared.log_0")));
  std::vector<std::string> lines = Lines(ReadFile(Host("/log/shared.log")));
  EXPECT_EQ(2u * kMessages, lines.size());
  // Every line is one whole message of one process, in each process's order.
  int parent_next = 0;
  int child_next = 0;
  for (const std::string& line : lines) {
    if (StampedLine(line, "parent " + std::to_string(parent_next) + " " + parent_text)) {
      ++parent_next;
    } else if (StampedLine(line, "child " + std::to_string(child_next) + " " + child_text)) {
      ++child_next;
    } else {
      ADD_FAILURE() << "broken line: " << line.substr(0, 60) << "...";
      break;
    }
  }
  EXPECT_EQ(kMessages, parent_next);
  EXPECT_EQ(kMessages, child_next);
}

// The descriptor through which this process's logger takes its file lock.
int LoggerLockDescriptor(const std::string& lock_path) {
  for (int fd = 0; fd < 1024; ++fd) {
    char link[4096];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof(link));
    if (n > 0 && std::string(link, n) == lock_path) return fd;
  }
  return -1;
}

// Waits until `pid` either sleeps in flock() or has exited; true for flock.
bool BlocksInFlock(pid_t pid, int* status) {
  const std::string syscall_file = "/proc/" + std::to_string(pid) + "/syscall";
  for (int i = 0; i < 20000; ++i) {
    if (waitpid(pid, status, WNOHANG) == pid) return false;
    std::ifstream in(syscall_file);
    long number = -1;
    if (in >> number && number == SYS_flock) return true;
    usleep(500);
  }
  return false;
}

TEST_F(LoggerTest, InterProcessLockHoldsForkedWriters) {
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/log/lock.log", "", 50));
  // Take the lock on the logger's own descriptor: a forked child must not
  // slip through on the descriptor it inherited.
  int fd = LoggerLockDescriptor(Host("/tmp/driftvault_logger_flock"));
  ASSERT_NE(-1, fd);
  ASSERT_EQ(0, flock(fd, LOCK_EX));

  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    if (write(ready[1], "r", 1) != 1) _exit(2);
    Logger::Log(3, "lock_test", "child line\n");
    _exit(0);
  }
  char byte;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  int status = 0;
  bool blocked = BlocksInFlock(child, &status);
  EXPECT_TRUE(blocked);

  // Written while the child waits: it must come first.
  int log = open(Host("/log/lock.log").c_str(), O_WRONLY | O_APPEND);
  ASSERT_NE(-1, log);
  ASSERT_EQ(7, write(log, "marker\n", 7));
  close(log);
  ASSERT_EQ(0, flock(fd, LOCK_UN));
  if (blocked) {
    ASSERT_EQ(child, waitpid(child, &status, 0));
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  close(ready[1]);

  std::vector<std::string> lines = Lines(ReadFile(Host("/log/lock.log")));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("marker", lines[0]);
  EXPECT_TRUE(StampedLine(lines[1], "child line"));
}

TEST_F(LoggerTest, InterProcessRotationMakesOthersReopen) {
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/log/reopen.log", "", 2));
  const std::string live = Host("/log/reopen.log");

  int go[2];
  ASSERT_EQ(0, pipe(go));
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    close(go[1]);
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(2);
    // The parent has rotated the file: this line must reach the new file.
    Logger::Log(3, "reopen_test", "from child\n");
    _exit(0);
  }
  close(go[0]);
  const std::string chunk(200000, 'r');
  for (int i = 0; i < 6; ++i) Logger::Log(3, "reopen_test", "%s\n", chunk.c_str());
  ASSERT_TRUE(Exists(live + "_0"));
  ASSERT_EQ(1, write(go[1], "g", 1));
  close(go[1]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::vector<std::string> lines = Lines(ReadFile(live));
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(StampedLine(lines[0], "from child"));
  EXPECT_EQ(std::string::npos, ReadFile(live + "_0").find("from child"));

  // The parent keeps writing into the same new file.
  Logger::Log(3, "reopen_test", "from parent\n");
  lines = Lines(ReadFile(live));
  ASSERT_EQ(2u, lines.size());
  EXPECT_TRUE(StampedLine(lines[1], "from parent"));
}

TEST_F(LoggerTest, SwitchingModesKeepsLogging) {
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/log/modes.log", "", 50));
  Logger::Log(3, "modes_test", "one\n");
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  Logger::Log(3, "modes_test", "two\n");
  ASSERT_EQ(0, Logger::SetInterProcessSafe(false));
  Logger::Log(3, "modes_test", "three\n");
  std::vector<std::string> lines = Lines(ReadFile(Host("/log/modes.log")));
  ASSERT_EQ(3u, lines.size());
  EXPECT_TRUE(StampedLine(lines[2], "three"));
}

}  // namespace
