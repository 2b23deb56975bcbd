#include "cli/logger.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>

#include "base/test_root.h"

namespace {

// Lines of the stream and file destinations start with a stamp "Mmm dd hh:mm:ss ";
// the text with each replaced by '#'.
std::string Unstamped(const std::string& text) {
  std::string out;
  for (size_t at = 0, end; at < text.size(); at = end) {
    end = std::min(text.find('\n', at), text.size() - 1) + 1;
    const bool stamp = end - at > 16 && isupper(text[at]) && text.compare(at + 3, 1, " ") == 0 &&
                       text[at + 6] == ' ' && text[at + 9] == ':' && text[at + 15] == ' ';
    out += stamp ? "#" + text.substr(at + 16, end - at - 16) : text.substr(at, end - at);
  }
  return out;
}

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Logger::SetInterProcessSafe(false);
    Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50);
  }
  // What `log` writes to standard error, the stamps replaced by '#'.
  template <typename F>
  static std::string Printed(F log) {
    testing::internal::CaptureStderr();
    log();
    return Unstamped(testing::internal::GetCapturedStderr());
  }
  std::string Read(const std::string& path) { return Unstamped(root_.Read(path)); }

  test_support::TestRoot root_{"logger_test"};
};

// Thresholds: errors and warnings by default; a malformed switch file loads nothing, a
// value that is no number reads as 0.  Component names are new in each Init: thresholds
// stay loaded.
TEST_F(LoggerTest, DestinationsAndThresholds) {
  const struct {
    const char *file, *printed;
  } files[] = {{"t_a=7\nt_b 7\n", "#a3#a4#b3#b4#c3#c4#d3#d4#default_component3#default_component4"},
               {"a=7\nb=0\nc=abc\nd=6abc\ndefault_component=3\n",
                "#a3#a4#a6#a7#d3#d4#d6#default_component3"}};
  for (const auto& f : files) {
    root_.Write("/switch.debug", f.file);
    ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDERR, "", "/switch.debug", 50));
    // The logger adds no line end of its own: a stamp per message, not per line.
    EXPECT_EQ(f.printed,
              std::regex_replace(Printed([] {
                                   for (const char* c : {"a", "b", "c", "d", "default_component"}) {
                                     for (int level : {3, 4, 6, 7})
                                       Logger::Log(level, c, "%s%d", c, level);
                                   }
                                 }),
                                 std::regex("[A-Z][a-z][a-z] [0-9]{2} [0-9:]{8} "), "#"));
  }
  ASSERT_EQ(0, Logger::Init(9, "/other.log", "", 50));  // unknown kind: no stamps
  EXPECT_EQ("plain 4 50%\n", Printed([] { Logger::Log(3, "x", "plain %d %d%%\n", 4, 50); }));
  EXPECT_EQ("", root_.Read("/other.log"));
}

// A forked child must take the lock through a description of its own: the
// inherited one shares the parent's lock.
TEST_F(LoggerTest, InterProcessLockHoldsForkedWriters) {
  root_.MakeDir("/tmp");
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/lock.log", "", 50));
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  Logger::Log(3, "shared_test", "locked\n");
  int lock = -1;  // the logger's own description, which the child inherits
  for (int fd = 0; fd < 1024 && lock < 0; ++fd) {
    char link[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof(link));
    if (n > 0 && std::string(link, n) == root_.Host("/tmp/driftvault_logger_flock")) lock = fd;
  }
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  const pid_t child = fork();
  if (child == 0) _exit((Logger::Log(3, "shared_test", "child\n"), 0));
  // The child sleeps in flock() until the lock is given up: the marker comes first.
  long call = -1;
  for (int i = 0; i < 20000 && call != SYS_flock && waitpid(child, nullptr, WNOHANG) == 0; ++i) {
    std::ifstream in("/proc/" + std::to_string(child) + "/syscall");
    if (!(in >> call)) call = -1;
    usleep(500);
  }
  EXPECT_EQ(SYS_flock, call);
  std::ofstream(root_.Host("/lock.log"), std::ios::app) << "marker\n";
  ASSERT_EQ(0, flock(lock, LOCK_UN));
  waitpid(child, nullptr, 0);
  EXPECT_EQ("#locked\nmarker\n#child\n", Read("/lock.log"));
}

// A process writes into the new file after another one rotated it.
TEST_F(LoggerTest, InterProcessRotationMakesOthersReopen) {
  root_.MakeDir("/tmp");
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/shared.log", "", 2));
  Logger::Log(3, "shared_test", "before\n");
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  int go[2];
  ASSERT_EQ(0, pipe(go));
  const pid_t child = fork();
  if (child == 0) {
    char byte;
    _exit(read(go[0], &byte, 1) == 1 ? (Logger::Log(3, "shared_test", "after rotation\n"), 0) : 2);
  }
  // Counted since the switch, 1 MiB exactly does not rotate; the line after does.
  const std::string chunk(1048576 - 16 - 1, 'r');
  Logger::Log(3, "shared_test", "%s\n", chunk.c_str());
  EXPECT_FALSE(root_.Exists("/shared.log_0"));
  Logger::Log(3, "shared_test", "%s\n", chunk.c_str());
  ASSERT_EQ(1, write(go[1], "g", 1));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(0u, Read("/shared.log_0").find("#before\n#rrr"));
  Logger::Log(3, "shared_test", "parent\n");
  EXPECT_EQ("#after rotation\n#parent\n", Read("/shared.log"));
  close(go[0]);
  close(go[1]);
}

}  // namespace
