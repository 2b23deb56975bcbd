// Feeds arbitrary bytes to the mount table reader as a sandbox's own table
// ("/etc/tarn/mounts" below a private root, the table FileSystemOps reads
// there), then describes a handful of paths of that sandbox through it:
// devices, file-system names, encrypted shares, external disks and a link
// into another volume.  Also checks that the octal unescape of the table's
// fields gives back any bytes escaped the kernel's way.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "fuzz/fuzz_sandbox.h"
#include "platform/file_system_property.h"

namespace {

// The kernel's escaping of a mount-table field, applied to every byte that
// is not plainly printable.
std::string Escape(const std::string& field) {
  std::string out;
  for (unsigned char c : field) {
    if (c > ' ' && c < 127 && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[5];
      snprintf(buf, sizeof(buf), "\\%03o", c);
      out += buf;
    }
  }
  return out;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// `path` is `folder` or lies below it.
bool IsBelow(const std::string& path, const std::string& folder) {
  return folder == "/" || path == folder ||
         (StartsWith(path, folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

void MakeSandbox(const fuzz::Sandbox& sandbox) {
  sandbox.MakeDir("/etc/tarn");
  sandbox.MakeDir("/volume1/homes/alice");
  sandbox.MakeDir("/volume1/crypt");
  sandbox.MakeDir("/volume1/@crypt@");
  sandbox.MakeDir("/volume2/photo");
  sandbox.MakeDir("/volumeUSB1/usbshare/data");
  if (symlink("/volume2/photo", sandbox.Host("/volume1/link").c_str()) != 0) {
    // Left from an earlier input of this process: fine.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (MakeSandbox(sandbox), true);
  (void)made;
  sandbox.Write(paths::kSandboxMountTable, data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The unescape inverts the kernel's escape, whatever the bytes.
  if (DecodeMountField(Escape(text)) != text) __builtin_trap();
  if (DecodeMountField(text).size() > text.size()) __builtin_trap();

  const std::vector<MountEntry> table = ReadMountTable(sandbox.Host(paths::kSandboxMountTable));
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  if (table.size() > lines) __builtin_trap();
  for (const MountEntry& entry : table) {
    if (entry.fs_name.find_first_of(" \t\n") != std::string::npos) __builtin_trap();
  }

  // The default operations read this table because the root has one.
  if (FileSystemOps::Default().MountTablePath() != sandbox.Host(paths::kSandboxMountTable)) {
    __builtin_trap();
  }
  static const char* const kMountPoints[] = {"/volume1", "/volume1/crypt"};
  for (const char* mount_point : kMountPoints) {
    MountEntry entry;
    if (FindMount(mount_point, &entry) == 0 && entry.mount_point != mount_point) __builtin_trap();
  }

  struct Case {
    const char* path;
    bool resolve;
  };
  static const Case kCases[] = {
      {"/volume1/homes/alice", false},
      {"/volume1/crypt", false},
      {"/volumeUSB1/usbshare/data", false},
      {"/volume1/link", true},
  };
  for (const Case& c : kCases) {
    FileSystemProperty fs;
    if (fs.Init(c.path, c.resolve) != 0) {
      if (!fs.mount_path().empty() || fs.kind() != FileSystemProperty::kOther) __builtin_trap();
      continue;
    }
    if (fs.kind() < FileSystemProperty::kOther || fs.kind() > FileSystemProperty::kExt3) {
      __builtin_trap();
    }
    const std::string mount = fs.mount_path();
    if (mount.empty() || mount[0] != '/') __builtin_trap();
    if (!c.resolve && !IsBelow(c.path, mount)) __builtin_trap();
    if (fs.base_path().empty() || !StartsWith(fs.tmp_path(), fs.base_path())) __builtin_trap();
  }
  return 0;
}
