// Helpers of the service unit tests: a private system root (DRIFT_ROOT) in a
// fresh temporary folder, with the logger writing every service message into
// a file inside it, and small file helpers on appliance paths.
#ifndef DRIFT_SERVICE_SERVICE_TEST_UTIL_H_
#define DRIFT_SERVICE_SERVICE_TEST_UTIL_H_

#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "gtest/gtest.h"

namespace service_test {

// Appliance path of the log file that TestRoot sets up.
inline constexpr char kTestLog[] = "/service-test.log";

class TestRoot {
 public:
  TestRoot() {
    char tmpl[] = "/tmp/drift-service-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << strerror(errno);
      return;
    }
    root_ = tmpl;
    setenv("DRIFT_ROOT", root_.c_str(), 1);
    for (const char* dir : {"/var/packages/DriftVault/etc", "/var/packages/DriftVault/target/bin",
                            "/var/run", "/tmp", "/usr/tarn/etc/packages/DriftVault",
                            "/usr/tarn/bin", "/usr/tarn/sbin", "/etc/tarn", "/etc.defaults"}) {
      MakeDirs(dir);
    }
    Write("/service.debug", "service_ctrl_debug=7\nutility_debug=7\n");
    Logger::Init(Logger::LOG_TYPE_FILE, kTestLog, "/service.debug", 50);
  }

  ~TestRoot() {
    // Detach the logger from the file before the root goes away.
    Logger::Init(Logger::LOG_TYPE_SYSLOG, "", "", 50);
    unsetenv("DRIFT_ROOT");
    if (root_.size() > 5) {
      nftw(
          root_.c_str(),
          [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
          FTW_DEPTH | FTW_PHYS);
    }
  }

  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& root() const { return root_; }
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }

  void MakeDirs(const std::string& appliance_path) const {
    std::string host = Host(appliance_path);
    for (size_t pos = root_.size() + 1; pos != std::string::npos;) {
      pos = host.find('/', pos + 1);
      mkdir(host.substr(0, pos).c_str(), 0755);
    }
  }

  void Write(const std::string& appliance_path, const std::string& content) const {
    std::ofstream out(Host(appliance_path), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << Host(appliance_path);
  }

  std::string Read(const std::string& appliance_path) const {
    std::ifstream in(Host(appliance_path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  bool Exists(const std::string& appliance_path) const {
    struct stat st;
    return lstat(Host(appliance_path).c_str(), &st) == 0;
  }

  void Remove(const std::string& appliance_path) const { unlink(Host(appliance_path).c_str()); }

  // Writes an executable shell script.
  void WriteScript(const std::string& appliance_path, const std::string& body) const {
    Write(appliance_path, "#!/bin/sh\n" + body);
    chmod(Host(appliance_path).c_str(), 0755);
  }

  // Everything logged since the root was set up.
  std::string LogText() const { return Read(kTestLog); }

 private:
  std::string root_;
};

// A child process that waits until it is signalled.  With `ignore_term` it
// survives SIGTERM; with `own_group` it leads a process group of its own.
// The constructor returns once the child has set itself up.
class ChildProcess {
 public:
  explicit ChildProcess(bool ignore_term = false, bool own_group = false) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      if (own_group) setpgid(0, 0);
      if (ignore_term) signal(SIGTERM, SIG_IGN);
      if (write(ready[1], "x", 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char c;
    if (pid_ > 0 && read(ready[0], &c, 1) != 1) ADD_FAILURE() << "child did not start";
    close(ready[0]);
  }

  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }

  // Reaps the child; returns the signal that ended it, or 0 when it exited.
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// A pid that named a process a moment ago and names none now.
inline int GonePid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status;
  waitpid(pid, &status, 0);
  return pid;
}

}  // namespace service_test

#endif  // DRIFT_SERVICE_SERVICE_TEST_UTIL_H_
