// The real file-system operations with invented devices and magics, for tests:
// a path must exist; its device (magic) is that of the longest listed folder
// holding it, 1 (ext4) when none does.  The mount table is a file the test writes.
#ifndef DRIFT_PLATFORM_FAKE_FILE_SYSTEM_OPS_H_
#define DRIFT_PLATFORM_FAKE_FILE_SYSTEM_OPS_H_

#include <stdint.h>

#include <map>
#include <string>

#include "platform/file_system_property.h"

namespace platform_test {

class FakeFileSystemOps : public FileSystemOps {
 public:
  explicit FakeFileSystemOps(std::string host_table_path) : table_(std::move(host_table_path)) {}

  bool DeviceOf(const std::string& path, uint64_t* device) const override {
    return Lookup(devices_, path, 1, device);
  }
  bool MagicOf(const std::string& path, uint32_t* magic) const override {
    uint64_t value = 0;
    if (!Lookup(magics_, path, 0xEF53u, &value)) return false;
    *magic = static_cast<uint32_t>(value);
    return true;
  }
  std::string MountTablePath() const override { return table_; }

  void Device(const std::string& folder, uint64_t device) { devices_[folder] = device; }
  void Magic(const std::string& folder, uint32_t magic) { magics_[folder] = magic; }

 private:
  bool Lookup(const std::map<std::string, uint64_t>& table, const std::string& path,
              uint64_t fallback, uint64_t* value) const {
    uint64_t real = 0;
    if (!FileSystemOps::DeviceOf(path, &real)) return false;
    size_t best = 0;
    *value = fallback;
    for (const auto& row : table) {
      const std::string& folder = row.first;
      if (folder.size() > best && path.compare(0, folder.size(), folder) == 0 &&
          (path.size() == folder.size() || path[folder.size()] == '/')) {
        best = folder.size();
        *value = row.second;
      }
    }
    return true;
  }

  std::string table_;
  std::map<std::string, uint64_t> devices_, magics_;
};

// Installs a fake as the process's default operations for one scope.
class ScopedDefaultOps {
 public:
  explicit ScopedDefaultOps(const FileSystemOps* ops) { FileSystemOps::SetDefault(ops); }
  ~ScopedDefaultOps() { FileSystemOps::SetDefault(nullptr); }
  ScopedDefaultOps(const ScopedDefaultOps&) = delete;
  ScopedDefaultOps& operator=(const ScopedDefaultOps&) = delete;
};

}  // namespace platform_test

#endif  // DRIFT_PLATFORM_FAKE_FILE_SYSTEM_OPS_H_
