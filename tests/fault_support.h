// Helpers of the fault and concurrency tests: the processes of a sandbox,
// the service's state as the daemons and the status word tell it, programs
// run in the background and killed at a chosen moment, a private mount
// namespace with a system log the test can read.
#ifndef DRIFT_TESTS_FAULT_SUPPORT_H_
#define DRIFT_TESTS_FAULT_SUPPORT_H_

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace fault {

// Appliance paths of the package's state.
extern const char kStatusFile[];
extern const char kSettingConf[];
extern const char kDbPathConf[];
extern const char kEtcFolder[];
extern const char kUserDb[];

// The five daemons' pid files, in launch order; the last one is the sync
// daemon's.
extern const char* const kDaemonPidFiles[5];

// Every word `service --status` may print.
bool IsStatusWord(const std::string& word);

using e2e::ExecutableOf;
using e2e::FreePort;
using e2e::KillProcessesBelow;
using e2e::ProcessesBelow;
using e2e::SettledProcessesBelow;
using e2e::Running;
using e2e::WaitGone;

// The pid a pid file of the sandbox names (0 when missing or unreadable).
pid_t PidOf(const e2e::Sandbox& box, const char* pid_file);
// The value of `key` in a key/value file of the sandbox ("" when missing).
std::string Value(const e2e::Sandbox& box, const std::string& file, const std::string& key);

// The word `service --status` prints.
std::string ReportedStatus(const e2e::Sandbox& box);

// Processes below the sandbox that no pid file accounts for, once programs
// that end by themselves (the updater, the relay program, a launcher between
// its forks) have had a few seconds to end.  Empty when there is none.
std::vector<pid_t> StrayProcesses(const e2e::Sandbox& box);

// Checks that the reported status word and the running daemons agree and
// that nothing runs unaccounted for; the text says what does not hold ("" when
// everything does).
std::string Inconsistency(const e2e::Sandbox& box);

// The tool of the sandbox started in the background, in a process group of
// its own, with DRIFT_ROOT and `env` added to the environment (an empty value
// removes a variable); its output goes to /dev/null.  Returns its pid.
pid_t SpawnTool(const e2e::Sandbox& box, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = {});
// Waits for a child; returns its exit status or 128 + signal.
int WaitChild(pid_t pid);

// Microseconds of a monotonic clock.
int64_t NowUs();

// Whether this machine lets us make a private mount namespace and mount a
// tmpfs in it (root, and not forbidden by a container's policy); `why` says
// what failed otherwise.
bool MountNamespaceUsable(std::string* why);

// A datagram socket in the style of the system log socket, bound at a path
// of the host, whose messages are collected by a thread of the test.
class SyslogCapture {
 public:
  explicit SyslogCapture(const std::string& host_path);
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  const std::string& path() const { return path_; }
  bool ok() const { return fd_ >= 0; }
  // Everything received so far, one message a line.  Waits a moment first
  // so that messages already sent have been read.
  std::string Text();

 private:
  std::string path_;
  int fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::string text_;
  std::thread reader_;
};

// Runs the shell `script` in a private mount namespace (unshare -m) in which
// /dev is a folder of the sandbox with the usual character devices and, as
// "log", the socket of `syslog` (which must be ROOT/.dev/log; may be null),
// so that everything the script runs logs to the test.  The script gets ROOT (the sandbox root) and
// TOOL (the sandbox's drift-control) in its environment plus `env`, and the shell functions:
//   fill FOLDER PAGES [INODES]  puts a 64 KiB tmpfs (of INODES files at
//                        most) over the sandbox's FOLDER (an
//                        appliance path) with the folder's files in it, and
//                        fills it up to PAGES free 4 KiB pages;
//   unfill FOLDER        copies the tmpfs's files (less the filler) back to
//                        the real folder and takes the tmpfs away.
e2e::RunResult RunInMountNamespace(const e2e::Sandbox& box, const std::string& script,
                                   SyslogCapture* syslog,
                                   const std::map<std::string, std::string>& env = {},
                                   int timeout_seconds = 120);

// A test in a sandbox whose service port is one nothing listens on; nothing
// the test started inside the sandbox outlives it, whatever the test found.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  e2e::Sandbox box_;
  int port_ = 0;
};

}  // namespace fault

#endif  // DRIFT_TESTS_FAULT_SUPPORT_H_
