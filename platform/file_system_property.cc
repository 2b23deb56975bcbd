#include "platform/file_system_property.h"

#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "base/appliance_paths.h"

namespace {

// `folder` + "/" + `name`, without doubling the slash of the root folder.
std::string Child(const std::string& folder, const char* name) {
  return (folder == "/" ? folder : folder + "/") + name;
}

bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The blank-separated words of a mount-table line; only the first three are
// used, the rest of the line (options, dump, pass) is skipped.
std::vector<std::string> FirstWords(const std::string& line, size_t count) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (words.size() < count) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) break;
    size_t end = line.find_first_of(" \t", pos);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

// The mount point M of the canonical path: the highest folder on the way up
// that still has the path's device number.  Empty when a status call fails.
std::string MountPointByDevice(const std::string& canonical, const FileSystemOps& ops) {
  uint64_t device = 0;
  if (!ops.DeviceOf(canonical, &device)) return std::string();
  std::string current = canonical;
  for (;;) {
    std::string parent = fspath::DirName(current);
    if (parent == current) return current;
    uint64_t parent_device = 0;
    if (!ops.DeviceOf(parent, &parent_device)) return std::string();
    if (parent_device != device) return current;
    current = parent;
  }
}

// A sandbox appliance keeps its volumes as plain folders of one host file
// system, so neither the host's device numbers nor the host's mount table
// know them.  A sandbox that carries its own table (kSandboxMountTable, in
// the kernel's format but with appliance mount points) is described by that
// table alone: each listed mount point is a device of its own, the rest of
// the root one more, and statfs tells btrfs from the table's file-system
// name.  A sandbox without the file keeps the host's view.

// True when the system root is a sandbox with its own mount table; `table`
// (when given) then receives it, empty when it cannot be read.
bool SandboxMounts(std::vector<MountEntry>* table) {
  if (paths::Root().empty()) return false;
  const std::string file = paths::HostPath(paths::kSandboxMountTable);
  if (access(file.c_str(), F_OK) != 0) return false;
  if (table != nullptr) *table = ReadMountTable(file);
  return true;
}

// The position in `table` of the longest mount point that is `path` or one
// of its folders (the first of equal ones), skipping lines without a
// file-system name when `named_only`; table.size() when none holds it.
size_t HoldingMount(const std::vector<MountEntry>& table, const std::string& path,
                    bool named_only) {
  size_t best = table.size();
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string& mount = table[i].mount_point;
    if (mount.empty() || mount[0] != '/' || (named_only && table[i].fs_name.empty())) continue;
    const bool holds = mount == "/" || path == mount ||
                       (path.size() > mount.size() && path.compare(0, mount.size(), mount) == 0 &&
                        path[mount.size()] == '/');
    if (holds && (best == table.size() || mount.size() > table[best].mount_point.size())) best = i;
  }
  return best;
}

}  // namespace

bool FileSystemOps::DeviceOf(const std::string& path, uint64_t* device) const {
  struct stat st;
  if (stat(paths::HostPath(path).c_str(), &st) != 0) return false;
  std::vector<MountEntry> table;
  if (SandboxMounts(&table)) {
    // Position + 1 of the holding mount; 0 for the root's own device.
    const size_t index = HoldingMount(table, path, false);
    *device = index < table.size() ? static_cast<uint64_t>(index) + 1 : 0;
    return true;
  }
  *device = static_cast<uint64_t>(st.st_dev);
  return true;
}

bool FileSystemOps::MagicOf(const std::string& path, uint32_t* magic) const {
  struct statfs st;
  if (statfs(paths::HostPath(path).c_str(), &st) != 0) return false;
  std::vector<MountEntry> table;
  if (SandboxMounts(&table)) {
    // Only btrfs is ever asked about; the host's own answer would describe
    // the disk the sandbox lies on.  A line without a file-system name (a
    // btrfs subvolume) takes the file system of the mount around it.
    const size_t index = HoldingMount(table, path, true);
    *magic = index < table.size() && table[index].fs_name == "btrfs" ? kBtrfsMagic : 0;
    return true;
  }
  // f_type is a signed word on 32-bit systems; the btrfs magic has its top
  // bit set, so compare the low 32 bits only.
  *magic = static_cast<uint32_t>(st.f_type);
  return true;
}

std::string FileSystemOps::RealPath(const std::string& path) const {
  return fspath::RealPath(path);
}

std::string FileSystemOps::MountTablePath() const {
  if (SandboxMounts(nullptr)) return paths::HostPath(paths::kSandboxMountTable);
  return paths::HostPath(paths::kMountTable);
}

std::string FileSystemOps::TableMountPoint(const std::string& mount_point) const {
  if (SandboxMounts(nullptr)) return mount_point;
  if (mount_point == "/") {
    std::string root = paths::Root();
    return root.empty() ? mount_point : root;
  }
  return paths::HostPath(mount_point);
}

std::string FileSystemOps::ApplianceDevice(const std::string& device) const {
  return paths::AppliancePath(device);
}

namespace {
std::atomic<const FileSystemOps*> g_installed_ops{nullptr};
}  // namespace

const FileSystemOps& FileSystemOps::Default() {
  static const FileSystemOps system_ops;
  const FileSystemOps* installed = g_installed_ops.load();
  return installed != nullptr ? *installed : system_ops;
}

void FileSystemOps::SetDefault(const FileSystemOps* ops) { g_installed_ops.store(ops); }

std::string DecodeMountField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out.push_back(field[i]);
      continue;
    }
    if (i + 3 >= field.size() || !IsOctalDigit(field[i + 1]) || !IsOctalDigit(field[i + 2]) ||
        !IsOctalDigit(field[i + 3])) {
      break;
    }
    int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
    out.push_back(static_cast<char>(value & 0xFF));
    i += 3;
  }
  return out;
}

std::vector<MountEntry> ReadMountTable() {
  return ReadMountTable(FileSystemOps::Default().MountTablePath());
}

std::vector<MountEntry> ReadMountTable(const std::string& host_table_path) {
  std::vector<MountEntry> table;
  std::ifstream in(host_table_path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> words = FirstWords(line, 3);
    if (words.empty()) continue;
    words.resize(3);
    MountEntry entry;
    entry.device = DecodeMountField(words[0]);
    entry.mount_point = DecodeMountField(words[1]);
    entry.fs_name = words[2];
    table.push_back(std::move(entry));
  }
  return table;
}

int FindMount(const std::string& mount_point, MountEntry* entry) {
  return FindMount(mount_point, entry, FileSystemOps::Default());
}

int FindMount(const std::string& mount_point, MountEntry* entry, const FileSystemOps& ops) {
  const std::string wanted = ops.TableMountPoint(mount_point);
  for (const MountEntry& row : ReadMountTable(ops.MountTablePath())) {
    if (row.mount_point != wanted) continue;
    entry->device = ops.ApplianceDevice(row.device);
    entry->mount_point = mount_point;
    entry->fs_name = row.fs_name;
    return 0;
  }
  return -1;
}

int FileSystemProperty::Init(const std::string& path, bool resolve) {
  return Init(path, resolve, FileSystemOps::Default());
}

int FileSystemProperty::Init(const std::string& path, bool resolve, const FileSystemOps& ops) {
  if (path.empty() || path[0] != '/') return -1;
  const std::string canonical = resolve ? ops.RealPath(path) : fspath::NormalizePath(path);
  if (canonical.empty()) return -1;
  const std::string mount = MountPointByDevice(canonical, ops);
  if (mount.empty()) return -1;

  FileSystemProperty fs;
  fs.mount_path_ = mount;
  MountEntry entry;
  if (FindMount(mount, &entry, ops) == 0 && !entry.device.empty() && !entry.mount_point.empty() &&
      !entry.fs_name.empty()) {
    const std::string& name = entry.fs_name;
    std::vector<std::string> parts = fspath::SplitPath(mount);
    if (name == "ext4") {
      fs.kind_ = kExt4;
    } else if (name == "ext3") {
      fs.kind_ = kExt3;
    } else if (name == "btrfs") {
      fs.kind_ = kBtrfs;
    } else if (name == "ecryptfs") {
      fs.kind_ = kEcryptfs;
    }
    if (parts.size() == 2 && StartsWith(parts[0], "volumeUSB")) {
      // External disks: whatever file system they carry, the share-bin area
      // is a folder of its own on the disk.
      fs.is_usb_ = true;
      fs.tmp_path_ = mount + "/@tmp";
      fs.base_path_ = mount;
      fs.bin_base_path_ = mount + "/@sharebin";
    } else if (name == "ecryptfs") {
      const std::string parent = fspath::DirName(mount);
      uint32_t magic = 0;
      if (ops.MagicOf(parent, &magic) && magic == kBtrfsMagic) {
        // The encrypted data of a share mounted at /volumeN/NAME lies in the
        // folder /volumeN/@NAME@ of the btrfs volume.
        fs.on_btrfs_ = true;
        if (parts.size() == 2) {
          parts[1] = "@" + parts[1] + "@";
          fs.device_ = "/" + fspath::JoinPath(parts);
        }
      } else {
        MountEntry lower;
        if (FindMount(parent, &lower, ops) != 0) return -1;
        fs.device_ = lower.device;
      }
      fs.has_quota_ = true;
      fs.tmp_path_ = mount + "/@eaDir/@tmp";
      fs.base_path_ = mount;
      fs.bin_base_path_ = parent;
    } else if (fs.kind_ == kExt4 || fs.kind_ == kExt3 || fs.kind_ == kBtrfs) {
      fs.has_quota_ = fs.kind_ != kBtrfs;
      fs.is_btrfs_ = fs.kind_ == kBtrfs;
      fs.tmp_path_ = mount + "/@tmp";
      fs.base_path_ = mount;
      fs.bin_base_path_ = mount;
      fs.device_ = entry.device;
    } else {
      return -1;
    }
  } else {
    // A btrfs subvolume mounted below its volume is missing from the mount
    // table; it is described by the folder it is mounted in.
    uint32_t magic = 0;
    if (!ops.MagicOf(mount, &magic) || magic != kBtrfsMagic) return -1;
    const std::string parent = fspath::DirName(mount);
    fs.kind_ = kBtrfs;
    fs.has_quota_ = true;
    fs.is_btrfs_ = true;
    fs.tmp_path_ = Child(parent, "@tmp");
    fs.base_path_ = parent;
    fs.bin_base_path_ = parent;
  }
  *this = fs;
  return 0;
}

namespace fspath {

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return path.substr(slash + 1);
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    if (slash > pos) parts.push_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  return parts;
}

std::string JoinPath(const std::vector<std::string>& components) {
  std::string joined;
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) joined += '/';
    joined += components[i];
  }
  return joined;
}

std::string NormalizePath(const std::string& path) {
  std::string joined = JoinPath(SplitPath(path));
  if (!path.empty() && path[0] == '/') return "/" + joined;
  return joined;
}

std::string RealPath(const std::string& path) {
  std::string resolved;
  if (!paths::ResolvePath(path, &resolved)) return std::string();
  return resolved;
}

}  // namespace fspath
