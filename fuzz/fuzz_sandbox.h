// A private sandbox root for the fuzz programs that feed a reader through a
// file: created once per process under $TMPDIR (else /dev/shm, else /tmp),
// exported as DRIFT_ROOT before the first input, and removed again at exit.
// Each input is written over the same file in place, so an execution costs
// one open, one write and the reader's own work.
#ifndef DRIFT_FUZZ_FUZZ_SANDBOX_H_
#define DRIFT_FUZZ_FUZZ_SANDBOX_H_

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace fuzz {

class Sandbox {
 public:
  // The one sandbox of the process.  Aborts when it cannot be made: a fuzz
  // run without its files would only exercise the "missing file" paths and
  // still look green.
  static Sandbox& Get() {
    static Sandbox* sandbox = new Sandbox();  // outlives every input
    return *sandbox;
  }

  const std::string& root() const { return root_; }

  // The host path of an appliance path inside the sandbox.
  std::string Host(const std::string& appliance_path) const { return root_ + appliance_path; }

  // Makes the appliance folder and its parents.
  void MakeFolder(const std::string& appliance_path) const {
    std::string path = root_;
    size_t pos = 1;
    while (pos <= appliance_path.size()) {
      size_t slash = appliance_path.find('/', pos);
      if (slash == std::string::npos) slash = appliance_path.size();
      path = root_ + appliance_path.substr(0, slash);
      if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Die("mkdir", path);
      pos = slash + 1;
    }
  }

  // Replaces the content of the appliance file with the given bytes.
  void WriteFile(const std::string& appliance_path, const uint8_t* data, size_t size) const {
    const std::string host = Host(appliance_path);
    int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Die("open", host);
    while (size > 0) {
      ssize_t n = write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Die("write", host);
      data += n;
      size -= static_cast<size_t>(n);
    }
    close(fd);
  }

 private:
  Sandbox() {
    // Memory-backed when possible: the writers flush every file they
    // replace, which on a disk would make each execution wait for it.
    const char* tmp = getenv("TMPDIR");
    std::string folder = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    if (tmp == nullptr && access("/dev/shm", W_OK | X_OK) == 0) folder = "/dev/shm";
    std::string templ = folder + "/drift-fuzz-root.XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) Die("mkdtemp", templ);
    root_ = templ;
    if (setenv("DRIFT_ROOT", root_.c_str(), 1) != 0) Die("setenv", root_);
    RootToRemove() = root_;
    atexit(RemoveRoot);
  }

  static std::string& RootToRemove() {
    static std::string* root = new std::string();
    return *root;
  }

  static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
  }

  static void RemoveRoot() {
    const std::string& root = RootToRemove();
    if (!root.empty()) nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  [[noreturn]] static void Die(const char* what, const std::string& path) {
    fprintf(stderr, "fuzz sandbox: %s %s failed: errno %d\n", what, path.c_str(), errno);
    abort();
  }

  std::string root_;
};

}  // namespace fuzz

#endif  // DRIFT_FUZZ_FUZZ_SANDBOX_H_
