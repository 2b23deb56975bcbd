// Helpers of the service unit tests: a system root with the package's
// folders and the service log captured in it, and child processes to stop.
#ifndef DRIFT_SERVICE_SERVICE_TEST_UTIL_H_
#define DRIFT_SERVICE_SERVICE_TEST_UTIL_H_

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/appliance_paths.h"
#include "base/test_root.h"
#include "gtest/gtest.h"

namespace service_test {

// A service test root: the package's and the platform's folders laid out,
// every service message logged.
class TestRoot : public test_support::TestRoot {
 public:
  TestRoot() : test_support::TestRoot("drift-service-test") {
    for (const char* dir : {"/var/packages/DriftVault/etc", "/var/packages/DriftVault/target/bin",
                            "/var/run", "/tmp", "/usr/tarn/etc/packages/DriftVault",
                            "/usr/tarn/bin", "/usr/tarn/sbin", "/etc/tarn", "/etc.defaults"}) {
      MakeDir(dir);
    }
    Write("/service.debug", "service_ctrl_debug=7\nutility_debug=7\n");
    CaptureLog("/service-test.log", "/service.debug", 50);
  }
};

// A child process that waits until it is signalled.
class ChildProcess {
 public:
  ChildProcess() : pid_(fork()) {
    if (pid_ == 0) {
      for (;;) pause();
    }
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
  pid_t pid_;
  bool reaped_ = false;
};

// A TCP listener on a port the kernel picks, as another service holding the
// package's port would be.
class Listener {
 public:
  Listener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    socklen_t len = sizeof(addr);
    if (bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd_, 1) != 0 ||
        getsockname(fd_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "listen: " << strerror(errno);
    }
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// A pid that named a process a moment ago and names none now.
inline int GonePid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status;
  waitpid(pid, &status, 0);
  return pid;
}

// Whether the root's log holds `text`.
inline bool LogHas(const test_support::TestRoot& root, const std::string& text) {
  return root.LogText().find(text) != std::string::npos;
}

}  // namespace service_test

#endif  // DRIFT_SERVICE_SERVICE_TEST_UTIL_H_
