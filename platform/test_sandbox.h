// For the platform layer's tests: a throw-away system root made with mkdtemp,
// exported as DRIFT_ROOT while the object lives and removed afterwards, with
// helpers to lay out the platform's files in it.
#ifndef DRIFT_PLATFORM_TEST_SANDBOX_H_
#define DRIFT_PLATFORM_TEST_SANDBOX_H_

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "cli/logger.h"

namespace platform_test {

class Sandbox {
 public:
  Sandbox() {
    char tmpl[] = "/tmp/drift-sdk-XXXXXX";
    const char* made = mkdtemp(tmpl);
    EXPECT_NE(made, nullptr);
    root_ = made != nullptr ? made : "/nonexistent-drift-sdk";
    const char* old = getenv("DRIFT_ROOT");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("DRIFT_ROOT", root_.c_str(), 1);
  }

  ~Sandbox() {
    if (had_old_) {
      setenv("DRIFT_ROOT", old_.c_str(), 1);
    } else {
      unsetenv("DRIFT_ROOT");
    }
    nftw(
        root_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }

  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }

  // Creates an appliance folder and its parents.
  void MakeDir(const std::string& appliance_path) const {
    for (size_t pos = 1; pos <= appliance_path.size(); ++pos) {
      if (pos == appliance_path.size() || appliance_path[pos] == '/') {
        mkdir(Host(appliance_path.substr(0, pos)).c_str(), 0755);
      }
    }
  }

  // Writes a file, creating its folder.
  void Write(const std::string& appliance_path, const std::string& content) const {
    size_t slash = appliance_path.rfind('/');
    if (slash != std::string::npos && slash > 0) MakeDir(appliance_path.substr(0, slash));
    std::ofstream out(Host(appliance_path), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << appliance_path;
  }

  // The content of a file; "<missing>" when it cannot be read.
  std::string Read(const std::string& appliance_path) const {
    std::ifstream in(Host(appliance_path), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Sends the process's log to a file of the sandbox from now on (the
  // logger takes appliance paths).
  void CaptureLog() const {
    ASSERT_EQ(Logger::Init(Logger::LOG_TYPE_FILE, ustring("/captured.log"), ustring(), 2), 0);
  }
  // What was logged since CaptureLog.
  std::string Log() const { return Read("/captured.log"); }

  // A symbolic link at `appliance_path` whose target is stored as given.
  void Link(const std::string& target, const std::string& appliance_path) const {
    ASSERT_EQ(symlink(target.c_str(), Host(appliance_path).c_str()), 0) << appliance_path;
  }

 private:
  std::string root_;
  std::string old_;
  bool had_old_ = false;
};

}  // namespace platform_test

#endif  // DRIFT_PLATFORM_TEST_SANDBOX_H_
