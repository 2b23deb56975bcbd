// A throw-away system root for the host platform tests: a fresh folder made
// with mkdtemp, exported as DRIFT_ROOT for the test's lifetime, removed with
// everything below it afterwards.
#ifndef DRIFT_HOST_PLATFORM_TEST_ROOT_H_
#define DRIFT_HOST_PLATFORM_TEST_ROOT_H_

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace host_platform {

class TestRoot {
 public:
  TestRoot() {
    char tmpl[] = "/tmp/drift-host-platform-XXXXXX";
    const char* made = mkdtemp(tmpl);
    EXPECT_NE(made, nullptr);
    root_ = made != nullptr ? made : "/nonexistent";
    const char* old = getenv("DRIFT_ROOT");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("DRIFT_ROOT", root_.c_str(), 1);
  }

  ~TestRoot() {
    if (had_old_) {
      setenv("DRIFT_ROOT", old_.c_str(), 1);
    } else {
      unsetenv("DRIFT_ROOT");
    }
    // Folders a test made read-only must be opened up again to be emptied.
    nftw(
        root_.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
          if (type == FTW_D) chmod(p, 0755);
          (void)st;
          return 0;
        },
        16, FTW_PHYS);
    nftw(
        root_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
          remove(p);  // best effort: a leftover only costs space in /tmp
          return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
  }

  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& root() const { return root_; }

  // The host path of an appliance path.
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }

  // Creates the appliance folder and its parents.
  void MakeDir(const std::string& appliance_path) const {
    std::string host = root_;
    size_t pos = 1;
    while (pos <= appliance_path.size()) {
      size_t slash = appliance_path.find('/', pos);
      if (slash == std::string::npos) slash = appliance_path.size();
      host = root_ + appliance_path.substr(0, slash);
      mkdir(host.c_str(), 0755);
      pos = slash + 1;
    }
  }

  // Writes a file (creating its folder).
  void Write(const std::string& appliance_path, const std::string& content) const {
    size_t slash = appliance_path.rfind('/');
    if (slash > 0) MakeDir(appliance_path.substr(0, slash));
    std::ofstream out(Host(appliance_path), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << appliance_path;
  }

  // The content of a file; "<missing>" when it cannot be opened.
  std::string Read(const std::string& appliance_path) const {
    std::ifstream in(Host(appliance_path), std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::string root_;
  std::string old_;
  bool had_old_ = false;
};

}  // namespace host_platform

#endif  // DRIFT_HOST_PLATFORM_TEST_ROOT_H_
