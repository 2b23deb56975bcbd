// The volume that holds a path, found from the path alone: stat, statfs,
// realpath and the kernel's mount table.  No platform library call is made.
//
// Paths given in and handed out are appliance paths.  Status calls and the
// real-path lookup go through FileSystemOps, whose default maps each path onto
// the host below the system root (symbolic links resolved inside the root) and
// reads the host's own mount table; a mount point of the table is compared
// with the host form of the appliance mount point.  A sandbox root holding
// its own table ("/etc/tarn/mounts", appliance mount points) is described by
// that table instead: its mount points bound the devices and its btrfs lines
// answer statfs.  Tests replace the operations to describe any volume layout
// without mounting anything.
#ifndef DRIFT_PLATFORM_FILE_SYSTEM_PROPERTY_H_
#define DRIFT_PLATFORM_FILE_SYSTEM_PROPERTY_H_

#include <stdint.h>

#include <string>
#include <vector>

// The magic number statfs reports for btrfs.
constexpr uint32_t kBtrfsMagic = 0x9123683Eu;

// One line of the mount table, with the octal escapes of the device and the
// mount point decoded.
struct MountEntry {
  std::string device;
  std::string mount_point;
  std::string fs_name;
};

// Every system call FileSystemProperty makes, in one place so that a test can
// replace it.  Paths are appliance paths except where stated.
class FileSystemOps {
 public:
  virtual ~FileSystemOps() = default;

  // The device number of `path` (stat, following links); false when stat
  // fails.  In a sandbox with its own table: 1 + the position of the longest
  // listed mount point holding the path, 0 when only "/" holds it.
  virtual bool DeviceOf(const std::string& path, uint64_t* device) const;
  // The file-system magic of `path` (statfs); false when statfs fails.  In a
  // sandbox with its own table: kBtrfsMagic when the longest listed mount
  // holding the path that names a file system names btrfs, else 0.
  virtual bool MagicOf(const std::string& path, uint32_t* magic) const;
  // The real path (links resolved inside the root); empty when a component is
  // missing, the links loop or the path is not absolute.
  virtual std::string RealPath(const std::string& path) const;
  // The host file holding the mount table ("/proc/mounts", or the sandbox's
  // own "/etc/tarn/mounts" below the root).
  virtual std::string MountTablePath() const;
  // The mount-table form of an appliance mount point (root + path; the path
  // itself for a sandbox's own table).
  virtual std::string TableMountPoint(const std::string& mount_point) const;
  // The appliance form of a device or lower folder read from the table.
  virtual std::string ApplianceDevice(const std::string& device) const;

  // The operations in use: those of the running system unless a test has
  // installed others with SetDefault.
  static const FileSystemOps& Default();
  // Installs `ops` (not owned; it must outlive its use) as the operations
  // every caller without its own gets; null restores the system's.
  static void SetDefault(const FileSystemOps* ops);
};

class FileSystemProperty {
 public:
  enum Kind {
    kOther = 0,
    kExt4 = 1,
    kBtrfs = 2,
    kEcryptfs = 3,
    kExt3 = 4,
  };

  FileSystemProperty() = default;

  // Describes the volume holding the absolute `path`: with `resolve` the path
  // is first made real, else only normalised.  Returns 0, or -1 (nothing
  // logged; the object is then left as it was) for a relative or
  // unresolvable path, a path whose volume cannot be found, or a volume of an
  // unknown kind.
  int Init(const std::string& path, bool resolve);
  int Init(const std::string& path, bool resolve, const FileSystemOps& ops);

  int32_t kind() const { return kind_; }
  bool has_quota() const { return has_quota_; }
  bool is_btrfs() const { return is_btrfs_; }
  bool is_usb() const { return is_usb_; }
  bool on_btrfs() const { return on_btrfs_; }
  std::string tmp_path() const { return tmp_path_; }
  std::string base_path() const { return base_path_; }
  std::string bin_base_path() const { return bin_base_path_; }
  std::string mount_path() const { return mount_path_; }
  std::string device() const { return device_; }

 private:
  int32_t kind_ = kOther;
  bool has_quota_ = false;
  bool is_btrfs_ = false;
  bool is_usb_ = false;
  bool on_btrfs_ = false;
  std::string tmp_path_;
  std::string base_path_;
  std::string bin_base_path_;
  std::string mount_path_;
  std::string device_;
};

// The mount table in file order; empty when it cannot be read.
std::vector<MountEntry> ReadMountTable();
std::vector<MountEntry> ReadMountTable(const std::string& host_table_path);

// The first entry whose mount point equals `mount_point` byte for byte
// (compared in the table's own form, see FileSystemOps::TableMountPoint).
// Returns 0 with *entry filled (device and mount point in appliance form),
// or -1.
int FindMount(const std::string& mount_point, MountEntry* entry);
int FindMount(const std::string& mount_point, MountEntry* entry, const FileSystemOps& ops);

// Decodes the mount table's escapes: a backslash and three octal digits stand
// for one byte; at a backslash not followed by three octal digits the
// decoding stops and what was decoded so far is the result.
std::string DecodeMountField(const std::string& field);

namespace fspath {

// Everything before the last "/"; "/" when that is the first character or
// there is no "/".
std::string DirName(const std::string& path);
// Everything after the last "/"; the whole path when it has none.
std::string BaseName(const std::string& path);
// The non-empty runs between "/" characters.
std::vector<std::string> SplitPath(const std::string& path);
// The components joined with "/" (no leading "/").
std::string JoinPath(const std::vector<std::string>& components);
// Repeated and trailing slashes removed; an absolute path keeps one leading
// "/".  "." and ".." are left as they are.
std::string NormalizePath(const std::string& path);
// The real path inside the system root; empty on failure.
std::string RealPath(const std::string& path);

}  // namespace fspath

#endif  // DRIFT_PLATFORM_FILE_SYSTEM_PROPERTY_H_
