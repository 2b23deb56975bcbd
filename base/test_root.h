// A throw-away system root for the unit tests and fuzz programs: a fresh
// mkdtemp folder exported as DRIFT_ROOT while the object lives, helpers to lay
// out and read files by appliance path in it, and all of it removed afterwards
// (the previous DRIFT_ROOT is restored).  A step that fails fails the running
// test; the fuzz programs (built with DRIFT_TEST_ROOT_ABORTS) stop instead,
// since a fuzz run without its files would only exercise "missing file" paths.
#ifndef DRIFT_BASE_TEST_ROOT_H_
#define DRIFT_BASE_TEST_ROOT_H_

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "cli/logger.h"

#ifndef DRIFT_TEST_ROOT_ABORTS
#include "gtest/gtest.h"
#endif

namespace test_support {

// A memory file system when there is one, else /tmp: for roots whose files
// are rewritten or synced so often that a disk would dominate.
inline std::string MemoryBackedFolder() {
  struct stat st;
  const bool shm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode);
  return shm && access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

class TestRoot {
 public:
  // Makes `parent`/`name`-XXXXXX.
  explicit TestRoot(const std::string& name = "drift-test", const std::string& parent = "/tmp") {
    std::string templ = parent + "/" + name + "-XXXXXX";
    made_ = mkdtemp(&templ[0]) != nullptr;
    if (!made_) Fail(SystemError("mkdtemp " + templ));
    // After a failure every later step fails on this path instead of touching the host.
    root_ = made_ ? templ : "/nonexistent-drift-test-root";
    const char* old = getenv("DRIFT_ROOT");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    if (setenv("DRIFT_ROOT", root_.c_str(), 1) != 0) Fail(SystemError("setenv DRIFT_ROOT"));
  }

  ~TestRoot() {
    // Detach the logger from its file before the root goes away.
    if (!log_path_.empty()) Logger::Init(Logger::LOG_TYPE_SYSLOG, "", "", 50);
    had_old_ ? setenv("DRIFT_ROOT", old_.c_str(), 1) : unsetenv("DRIFT_ROOT");
    if (!made_) return;
    // Folders a test made read-only are opened up to be emptied; a leftover only costs space.
    nftw(root_.c_str(), OpenUp, 16, FTW_PHYS);
    nftw(root_.c_str(), Drop, 16, FTW_DEPTH | FTW_PHYS);
  }

  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& root() const { return root_; }
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }

  // Creates the appliance folder and its parents.
  void MakeDir(const std::string& appliance_path) const {
    for (size_t pos = 1; pos <= appliance_path.size(); ++pos) {
      if (pos < appliance_path.size() && appliance_path[pos] != '/') continue;
      const std::string host = Host(appliance_path.substr(0, pos));
      if (mkdir(host.c_str(), 0755) != 0 && errno != EEXIST) Fail(SystemError("mkdir " + host));
    }
  }

  // Replaces the content of a file, creating it and its folder as needed
  // (one open and one write over an existing file: the fuzz programs stay fast).
  void Write(const std::string& appliance_path, const std::string& content) const {
    Write(appliance_path, content.data(), content.size());
  }
  void Write(const std::string& appliance_path, const void* data, size_t size) const {
    const std::string host = Host(appliance_path);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int fd = open(host.c_str(), flags, 0644);
    const size_t slash = appliance_path.rfind('/');
    if (fd < 0 && errno == ENOENT && slash != std::string::npos && slash > 0) {
      MakeDir(appliance_path.substr(0, slash));
      fd = open(host.c_str(), flags, 0644);
    }
    if (fd < 0) return Fail(SystemError("open " + host));
    // A regular file takes the whole of one write; anything less is a failure.
    if (write(fd, data, size) != static_cast<ssize_t>(size)) Fail(SystemError("write " + host));
    close(fd);
  }

  // Writes an executable shell script.
  void WriteScript(const std::string& appliance_path, const std::string& body) const {
    Write(appliance_path, "#!/bin/sh\n" + body);
    if (chmod(Host(appliance_path).c_str(), 0755) != 0)
      Fail(SystemError("chmod " + appliance_path));
  }

  // The content of a file; "<missing>" when it cannot be opened.
  std::string Read(const std::string& appliance_path) const {
    std::ifstream in(Host(appliance_path), std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
  }

  // True when something (a dangling link included) is at the path.
  bool Exists(const std::string& appliance_path) const {
    struct stat st;
    return lstat(Host(appliance_path).c_str(), &st) == 0;
  }

  void Remove(const std::string& appliance_path) const { unlink(Host(appliance_path).c_str()); }

  // A symbolic link at `appliance_path` whose target is stored as given.
  void Link(const std::string& target, const std::string& appliance_path) const {
    if (symlink(target.c_str(), Host(appliance_path).c_str()) != 0) {
      Fail(SystemError("symlink " + Host(appliance_path)));
    }
  }

  // Sends the process's log to the appliance file `log_path` from now on, with
  // the thresholds of the debug switch file `debug_switch_path` (none: the
  // defaults); detached again when the root goes away.
  void CaptureLog(const std::string& log_path = "/captured.log",
                  const std::string& debug_switch_path = "", int rotate_count = 2) {
    log_path_ = log_path;
    if (Logger::Init(Logger::LOG_TYPE_FILE, ustring(log_path), ustring(debug_switch_path),
                     rotate_count) != 0) {
      Fail(SystemError("logging to " + Host(log_path)));
    }
  }

  // Everything logged since CaptureLog.
  std::string LogText() const {
    if (log_path_.empty()) Fail("LogText called without CaptureLog");
    return log_path_.empty() ? "" : Read(log_path_);
  }

 private:
  static int OpenUp(const char* p, const struct stat*, int type, struct FTW*) {
    return type == FTW_D ? chmod(p, 0755) * 0 : 0;
  }
  static int Drop(const char* p, const struct stat*, int, struct FTW*) { return remove(p) * 0; }
  static std::string SystemError(const std::string& what) {
    return what + " failed: " + strerror(errno);
  }
  static void Fail(const std::string& what) {
#ifdef DRIFT_TEST_ROOT_ABORTS
    fprintf(stderr, "test root: %s\n", what.c_str());
    abort();
#else
    ADD_FAILURE() << what;
#endif
  }

  std::string root_, old_, log_path_;
  bool had_old_ = false, made_ = false;
};

}  // namespace test_support

#endif  // DRIFT_BASE_TEST_ROOT_H_
