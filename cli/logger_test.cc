#include "cli/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "base/test_root.h"

namespace {

// Every line of the stream and file destinations starts with a stamp "Mmm dd hh:mm:ss ";
// the text with each replaced by '#'.
std::string Unstamped(const std::string& text) {
  std::string out;
  for (size_t at = 0, end; at < text.size(); at = end) {
    end = std::min(text.find('\n', at), text.size() - 1) + 1;
    bool stamp = end - at > 16;
    for (size_t i = 0; i < 16 && stamp; ++i) {
      const char c = text[at + i], shape = "Aa  00 00:00:00 "[i];
      stamp = shape == 'A'             ? isupper(c)
              : shape == 'a' || i == 2 ? islower(c)
              : shape == '0'           ? isdigit(c)
                                       : c == shape;
    }
    out += stamp ? "#" + text.substr(at + 16, end - at - 16) : text.substr(at, end - at);
  }
  return out;
}

// Component names differ per test: thresholds stay loaded across Init.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.MakeDir("/tmp"); }
  void TearDown() override {
    Logger::SetInterProcessSafe(false);
    Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50);
  }
  // What `log` writes to standard output (fd 1) or error (2), the stamps replaced by '#'.
  template <typename F>
  static std::string Printed(int fd, F log) {
    fd == 1 ? testing::internal::CaptureStdout() : testing::internal::CaptureStderr();
    log();
    return Unstamped(fd == 1 ? testing::internal::GetCapturedStdout()
                             : testing::internal::GetCapturedStderr());
  }
  std::string Read(const std::string& path) { return Unstamped(root_.Read(path)); }

  test_support::TestRoot root_{"logger_test"};
};

TEST_F(LoggerTest, DestinationsAndThresholds) {
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDOUT, "", "/etc/missing.debug", 50));
  EXPECT_EQ("#[ERROR] t(12): failed 50%\n#warned\n", Printed(1, [] {
              for (int level : {3, 4, 6, 7}) {
                Logger::Log(level, "std_test", level == 3 ? "[ERROR] t(%d): %s %d%%\n" : "warned\n",
                            12, "failed", 50);
              }
            }));
  // The logger adds no line end of its own; an unknown kind prints without stamps.
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50));
  const std::string both =
      Printed(2, [] { Logger::Log(4, "std_test", "one"), Logger::Log(3, "std_test", "two\n"); });
  EXPECT_EQ("#one|#two\n", both.substr(0, 4) + "|" + Unstamped(both.substr(4)));
  ASSERT_EQ(0, Logger::Init(9, "/other.log", "", 50));
  EXPECT_EQ("plain 4\n", Printed(2, [] { Logger::Log(3, "std_test", "plain %d\n", 4); }));
  EXPECT_EQ("", root_.Read("/other.log"));
  // One malformed line and nothing of the file is loaded; text reads as 0.
  const struct {
    const char* file;
    const char* levels[5];  // written of 3, 4, 6, 7 for t_a, t_b, t_c, t_d, default_component
  } files[] = {
      {"t_a=7\nt_b 7\n", {"34", "34", "34", "34", "34"}},
      {"t_a=7\nt_b=0\nt_c=abc\nt_d=6abc\ndefault_component=3\n", {"3467", "", "", "346", "3"}}};
  const char* components[] = {"t_a", "t_b", "t_c", "t_d", "default_component"};
  for (const auto& f : files) {
    root_.Write("/switch.debug", f.file);
    ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_STDOUT, "", "/switch.debug", 50));
    std::string expected;
    for (int i = 0; i < 5; ++i) {
      for (const char* l = f.levels[i]; *l; ++l)
        expected += "#" + std::string(components[i]) + *l + "\n";
    }
    EXPECT_EQ(expected, Printed(1, [&] {
                for (const char* c : components) {
                  for (int level : {3, 4, 6, 7}) Logger::Log(level, c, "%s%d\n", c, level);
                }
              }));
  }
}

TEST_F(LoggerTest, FileAppendsAndRotatesKeepingCountFiles) {
  EXPECT_EQ(-1, Logger::Init(Logger::LOG_TYPE_FILE, "", "", 50));
  EXPECT_EQ(-1, Logger::Init(Logger::LOG_TYPE_FILE, "/no/such/folder/app.log", "", 50));
  // What the live file already holds is not counted towards the 1 MiB.
  root_.Write("/rot.log", std::string(1048576, 'p') + "\n");
  root_.Write("/rot.log_0", "previous 0\n");
  root_.Write("/rot.log_1", "previous 1\n");
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/rot.log", "", 3));
  Logger::Log(3, "rotate_test", "%lld %u %.2f %c\n", -5LL, 7u, 1.5, 'x');
  Logger::Log(6, "rotate_test", "hidden\n");
  const std::string chunk(100000, 'x');  // with its stamp, the eleventh passes 1048576 bytes
  for (int i = 0; i < 10; ++i) Logger::Log(3, "rotate_test", "%s\n", chunk.c_str());
  EXPECT_EQ("previous 0\n", root_.Read("/rot.log_0"));
  Logger::Log(3, "rotate_test", "%s\n", chunk.c_str());
  std::string rotated = std::string(1048576, 'p') + "\n#-5 7 1.50 x\n";
  for (int i = 0; i < 11; ++i) rotated += "#" + chunk + "\n";
  EXPECT_TRUE(Read("/rot.log_0") == rotated);
  EXPECT_EQ("previous 0\n|<missing>|", root_.Read("/rot.log_1") + "|" + root_.Read("/rot.log_2") +
                                           "|" + root_.Read("/rot.log"));
  Logger::Log(3, "rotate_test", "after\n");
  EXPECT_EQ("#after\n", Read("/rot.log"));
}

// A forked child must take the lock through a description of its own (the
// inherited one would share the parent's lock), and must follow a rotation
// done by another process.
TEST_F(LoggerTest, InterProcessLockAndRotation) {
  ASSERT_EQ(0, Logger::Init(Logger::LOG_TYPE_FILE, "/shared.log", "", 2));
  Logger::Log(3, "shared_test", "before\n");
  ASSERT_EQ(0, Logger::SetInterProcessSafe(true));
  ASSERT_TRUE(root_.Exists("/tmp/driftvault_logger_flock"));
  Logger::Log(3, "shared_test", "locked\n");
  const int lock = open(root_.Host("/tmp/driftvault_logger_flock").c_str(), O_RDWR);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  int go[2], done[2];
  ASSERT_EQ(0, pipe(go) | pipe(done));
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    Logger::Log(3, "shared_test", "child\n");
    char byte = 'c';
    if (write(done[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
    Logger::Log(3, "shared_test", "after rotation\n");
    _exit(0);
  }
  // The child sleeps in flock() until the lock is given up: the marker comes first.
  bool blocked = false;
  for (int i = 0; i < 20000 && !blocked; ++i, usleep(500)) {
    std::ifstream in("/proc/" + std::to_string(child) + "/syscall");
    long number = -1;
    blocked = in >> number && number == SYS_flock;
  }
  EXPECT_TRUE(blocked);
  std::ofstream(root_.Host("/shared.log"), std::ios::app) << "marker\n";
  ASSERT_EQ(0, flock(lock, LOCK_UN));
  char byte;
  ASSERT_EQ(1, read(done[0], &byte, 1));
  const std::string chunk(200000, 'r');
  for (int i = 0; i < 6; ++i) Logger::Log(3, "shared_test", "%s\n", chunk.c_str());
  ASSERT_TRUE(root_.Exists("/shared.log_0"));
  ASSERT_EQ(1, write(go[1], "g", 1));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(0u, Read("/shared.log_0").find("#before\n#locked\nmarker\n#child\n#rrr"));
  Logger::Log(3, "shared_test", "parent\n");
  EXPECT_EQ("#after rotation\n#parent\n", Read("/shared.log"));
  for (int fd : {lock, go[0], go[1], done[0], done[1]}) close(fd);
}

}  // namespace
