#include "platform/file_system_property.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/appliance_paths.h"
#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"

namespace {

using platform_test::FakeFileSystemOps;

// What FileSystemProperty::Init makes of one path.  `flags` names the true
// answers: q has_quota, b is_btrfs, u is_usb, o on_btrfs.
struct Row {
  const char* path;
  int32_t kind;
  const char* flags;
  const char* tmp;
  const char* base;
  const char* bin;
  const char* mount;
  const char* device;
};

void CheckRows(const std::vector<Row>& rows, const FileSystemOps& ops) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::string flags = row.flags;
    FileSystemProperty fs;
    ASSERT_EQ(fs.Init(row.path, true, ops), 0);
    EXPECT_EQ(fs.kind(), row.kind);
    EXPECT_EQ(fs.has_quota(), flags.find('q') != std::string::npos);
    EXPECT_EQ(fs.is_btrfs(), flags.find('b') != std::string::npos);
    EXPECT_EQ(fs.is_usb(), flags.find('u') != std::string::npos);
    EXPECT_EQ(fs.on_btrfs(), flags.find('o') != std::string::npos);
    EXPECT_EQ(fs.tmp_path(), row.tmp);
    EXPECT_EQ(fs.base_path(), row.base);
    EXPECT_EQ(fs.bin_base_path(), row.bin);
    EXPECT_EQ(fs.mount_path(), row.mount);
    EXPECT_EQ(fs.device(), row.device);
  }
}

// A sandbox appliance with one volume of every kind, described by fake
// devices and magics over a mount table in host paths.
class VolumeTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir :
         {"/volume1/homes/alice", "/volume1/secret/docs", "/volume2/data", "/volume3/data",
          "/volume3/docs/in", "/volume3/sub/deep", "/volume3/a/b/c", "/volume4/x", "/volume5/x",
          "/volume6/x", "/volume7/enc", "/volumeUSB1/usbshare/photos", "/volumeUSB2/usb disk/f",
          "/volumeUSB3", "/volumeUSB4/nfs"}) {
      box_.MakeDir(dir);
    }
    // The kernel's table speaks in host paths ($R: the root), with blanks
    // escaped and a tab as one separator.
    std::string table = R"(/dev/md2 $R/volume1 ext4 rw,relatime 0 0
/dev/md3 $R/volume2 ext3 rw 0 0

/dev/md4	$R/volume3 btrfs rw,space_cache 0 0
$R/volume3/@docs@ $R/volume3/docs ecryptfs rw,ecryptfs_sig=1 0 0
$R/volume1/@secret@ $R/volume1/secret ecryptfs rw 0 0
$R/volume3/@c@ $R/volume3/a/b/c ecryptfs rw 0 0
/dev/md5 $R/volume5 xfs rw 0 0
/dev/md6 $R/volume6
$R/volume7/@enc@ $R/volume7/enc ecryptfs rw 0 0
/dev/sdq1 $R/volumeUSB1/usbshare vfat rw 0 0
/dev/sdr1 $R/volumeUSB2/usb\040disk ext4 rw 0 0
/dev/sds1 $R/volumeUSB3 vfat rw 0 0
srv:/e $R/volumeUSB4/nfs nfs rw 0 0
)";
    for (size_t at; (at = table.find("$R")) != std::string::npos;)
      table.replace(at, 2, box_.root());
    box_.Write("/mounts", table);
    uint64_t device = 10;
    for (const char* folder :
         {"/volume1", "/volume1/secret", "/volume2", "/volume3", "/volume3/docs", "/volume3/sub",
          "/volume3/a/b/c", "/volume4", "/volume5", "/volume6", "/volume7", "/volume7/enc",
          "/volumeUSB1/usbshare", "/volumeUSB2/usb disk", "/volumeUSB3", "/volumeUSB4/nfs"}) {
      ops_.Device(folder, device++);
    }
    ops_.Magic("/volume3", kBtrfsMagic);
    ops_.Magic("/volume6", kBtrfsMagic);
  }

  test_support::TestRoot box_;
  FakeFileSystemOps ops_{box_.Host("/mounts")};
};

TEST_F(VolumeTableTest, EveryKindOfVolume) {
  CheckRows(
      {
          // ext4, ext3, btrfs: the volume describes itself.
          {"/volume1/homes/alice", 1, "q", "/volume1/@tmp", "/volume1", "/volume1", "/volume1",
           "/dev/md2"},
          {"/volume1", 1, "q", "/volume1/@tmp", "/volume1", "/volume1", "/volume1", "/dev/md2"},
          {"/volume2/data", 4, "q", "/volume2/@tmp", "/volume2", "/volume2", "/volume2",
           "/dev/md3"},
          {"/volume3/data", 2, "b", "/volume3/@tmp", "/volume3", "/volume3", "/volume3",
           "/dev/md4"},
          // USB disks: whatever the file system, share-bin in a folder of its own.
          {"/volumeUSB1/usbshare/photos", 0, "u", "/volumeUSB1/usbshare/@tmp",
           "/volumeUSB1/usbshare", "/volumeUSB1/usbshare/@sharebin", "/volumeUSB1/usbshare", ""},
          {"/volumeUSB2/usb disk/f", 1, "u", "/volumeUSB2/usb disk/@tmp", "/volumeUSB2/usb disk",
           "/volumeUSB2/usb disk/@sharebin", "/volumeUSB2/usb disk", ""},
          {"/volumeUSB4/nfs", 0, "u", "/volumeUSB4/nfs/@tmp", "/volumeUSB4/nfs",
           "/volumeUSB4/nfs/@sharebin", "/volumeUSB4/nfs", ""},
          // Encrypted share on btrfs: the lower folder is derived from the name...
          {"/volume3/docs/in", 3, "qo", "/volume3/docs/@eaDir/@tmp", "/volume3/docs", "/volume3",
           "/volume3/docs", "/volume3/@docs@"},
          // ... unless the mount point is not /volumeN/NAME.
          {"/volume3/a/b/c", 3, "qo", "/volume3/a/b/c/@eaDir/@tmp", "/volume3/a/b/c",
           "/volume3/a/b", "/volume3/a/b/c", ""},
          // Encrypted share on another file system: the device of the volume.
          {"/volume1/secret/docs", 3, "q", "/volume1/secret/@eaDir/@tmp", "/volume1/secret",
           "/volume1", "/volume1/secret", "/dev/md2"},
          // A btrfs subvolume, absent from the table, described by its parent.
          {"/volume3/sub/deep", 2, "qb", "/volume3/@tmp", "/volume3", "/volume3", "/volume3/sub",
           ""},
          // A btrfs volume whose table line lacks the file-system name.
          {"/volume6/x", 2, "qb", "/@tmp", "/", "/", "/volume6", ""},
      },
      ops_);
}

TEST_F(VolumeTableTest, PathsThatDescribeNoVolume) {
  box_.Link("/volume1/nowhere", "/volume1/dangling");
  FileSystemProperty fs;
  ASSERT_EQ(fs.Init("/volume2/data", true, ops_), 0);
  const char* const paths[] = {
      "",                     // empty
      "volume1/homes",        // relative
      "./volume1",            // relative
      "/volume1/missing",     // realpath fails
      "/volume1/dangling/x",  // realpath fails through a link
      "/volume4/x",           // not in the table and not btrfs
      "/volume5/x",           // unknown file system
      "/volumeUSB3",          // one component only: not a USB disk, and vfat
      "/volume7/enc",         // ecryptfs whose parent is not a mount point
  };
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(fs.Init(path, true, ops_), -1);
    FileSystemProperty fresh;
    EXPECT_EQ(fresh.Init(path, true, ops_), -1);
    EXPECT_EQ(fresh.mount_path(), "");
    EXPECT_EQ(fresh.kind(), 0);
  }
  // A failed Init leaves the earlier description alone.
  EXPECT_EQ(fs.mount_path(), "/volume2");
  EXPECT_EQ(fs.kind(), FileSystemProperty::kExt3);
  EXPECT_EQ(fs.Init("/volume2/nothing-here", false, ops_), -1);
}

TEST_F(VolumeTableTest, LinksAndUnresolvedPaths) {
  // An absolute target restarts at the system root, not at the host's "/".
  box_.Link("/volume3/data", "/volume1/homes/to-btrfs");
  box_.Link("../../volume2/data", "/volume1/homes/to-ext3");
  FileSystemProperty fs;
  ASSERT_EQ(fs.Init("/volume1/homes/to-btrfs", true, ops_), 0);
  EXPECT_EQ(fs.mount_path(), "/volume3");
  EXPECT_EQ(fs.kind(), FileSystemProperty::kBtrfs);
  ASSERT_EQ(fs.Init("/volume1/homes/to-ext3", true, ops_), 0);
  EXPECT_EQ(fs.mount_path(), "/volume2");
  // Without resolving, the link itself is described (it lies on ext4), and
  // the path is only normalised.
  ASSERT_EQ(fs.Init("/volume1/homes/to-ext3", false, ops_), 0);
  EXPECT_EQ(fs.mount_path(), "/volume1");
  ASSERT_EQ(fs.Init("//volume2///data/", false, ops_), 0);
  EXPECT_EQ(fs.mount_path(), "/volume2");
}

TEST_F(VolumeTableTest, FindMountAndInstalledOperations) {
  MountEntry entry;
  ASSERT_EQ(FindMount("/volumeUSB2/usb disk", &entry, ops_), 0);
  EXPECT_EQ(entry.device, "/dev/sdr1");
  EXPECT_EQ(entry.mount_point, "/volumeUSB2/usb disk");
  EXPECT_EQ(entry.fs_name, "ext4");
  // A lower folder inside the root is given back as an appliance path.
  ASSERT_EQ(FindMount("/volume3/docs", &entry, ops_), 0);
  EXPECT_EQ(entry.device, "/volume3/@docs@");
  // Whole mount points only.
  for (const char* path : {"/volume3/doc", "/volume3/docs/", "/volume4"}) {
    EXPECT_EQ(FindMount(path, &entry, ops_), -1) << path;
  }
  {
    platform_test::ScopedDefaultOps installed(&ops_);
    FileSystemProperty fs;
    ASSERT_EQ(fs.Init("/volume2/data", true), 0);
    EXPECT_EQ(fs.mount_path(), "/volume2");
    ASSERT_EQ(FindMount("/volume1", &entry), 0);
    EXPECT_EQ(entry.device, "/dev/md2");
    EXPECT_EQ(ReadMountTable().size(), 13u);
  }
  EXPECT_NE(&FileSystemOps::Default(), &ops_);
  EXPECT_EQ(FindMount("/volume1", &entry), -1);
}

TEST(MountTableTest, ReadsThreeWordsPerLineInFileOrder) {
  test_support::TestRoot box;
  box.Write("/m",
            "sysfs /sys sysfs rw,nosuid 0 0\n"
            "  /dev/sda1\t\t/mnt/my\\040disk  ext4\n"
            "\n"
            "tmpfs /a\\134b tmpfs\n"
            "lonely\n"
            "/dev/x /cut\\04 ext4 rw\n");
  std::vector<MountEntry> table = ReadMountTable(box.Host("/m"));
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table[0].device, "sysfs");
  EXPECT_EQ(table[0].mount_point, "/sys");
  EXPECT_EQ(table[0].fs_name, "sysfs");
  EXPECT_EQ(table[1].device, "/dev/sda1");
  EXPECT_EQ(table[1].mount_point, "/mnt/my disk");
  EXPECT_EQ(table[1].fs_name, "ext4");
  EXPECT_EQ(table[2].mount_point, "/a\\b");
  EXPECT_EQ(table[3].device, "lonely");
  EXPECT_EQ(table[3].mount_point, "");
  EXPECT_EQ(table[3].fs_name, "");
  EXPECT_EQ(table[4].mount_point, "/cut");
  EXPECT_TRUE(ReadMountTable(box.Host("/no-such-table")).empty());
}

TEST(MountTableTest, OctalEscapes) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a\\040b", "a b"},
      {"\\011tab\\012", "\ttab\n"},
      {"back\\134slash", "back\\slash"},
      {"\\0400", " 0"},
      {"\\101\\102\\103", "ABC"},
      {"stop\\04", "stop"},       // two digits only
      {"stop\\0", "stop"},        // one digit
      {"stop\\", "stop"},         // nothing after the backslash
      {"stop\\08x", "stop"},      // 8 is not octal
      {"stop\\x41rest", "stop"},  // not an octal escape
      {"a\\040b\\c\\040", "a b"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeMountField(c.in), c.out) << c.in;
  EXPECT_EQ(DecodeMountField("\\000x"), std::string("\0x", 2));
}

TEST(PathFunctionsTest, Table) {
  const struct {
    const char* path;
    const char* dir;
    const char* base;
    const char* normal;
    const char* joined;  // JoinPath(SplitPath(path))
  } cases[] = {
      {"/volume1/homes", "/volume1", "homes", "/volume1/homes", "volume1/homes"},
      {"/volume1", "/", "volume1", "/volume1", "volume1"},
      {"/", "/", "", "/", ""},
      {"", "/", "", "", ""},
      {"name", "/", "name", "name", "name"},
      {"a/b", "a", "b", "a/b", "a/b"},
      {"/a/b/", "/a/b", "", "/a/b", "a/b"},
      {"//a///b//", "//a///b/", "", "/a/b", "a/b"},
      {"/a/./b/../c", "/a/./b/..", "c", "/a/./b/../c", "a/./b/../c"},
      {"///", "//", "", "/", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(fspath::DirName(c.path), c.dir);
    EXPECT_EQ(fspath::BaseName(c.path), c.base);
    EXPECT_EQ(fspath::NormalizePath(c.path), c.normal);
    EXPECT_EQ(fspath::JoinPath(fspath::SplitPath(c.path)), c.joined);
  }
  EXPECT_EQ(fspath::SplitPath("//x/y//z/"), (std::vector<std::string>{"x", "y", "z"}));
}

// A sandbox appliance that lists its volumes in its own mount table and is
// described with the system's operations, not fake ones.
class SandboxTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir :
         {"/volume1/homes/alice", "/volume1/secret/docs", "/volume2/data", "/volume2/plain/folder",
          "/volume2/docs/in", "/volume2/sub/deep", "/volumeUSB1/usbshare/photos", "/elsewhere/x"}) {
      box_.MakeDir(dir);
    }
    box_.Write(paths::kSandboxMountTable,
               "/dev/md2 /volume1 ext4 rw,relatime 0 0\n"
               "/dev/md3 /volume2 btrfs rw,space_cache 0 0\n"
               "/volume2/@docs@ /volume2/docs ecryptfs rw 0 0\n"
               "/volume1/@secret@ /volume1/secret ecryptfs rw 0 0\n"
               "subvolume /volume2/sub\n"
               "/dev/sdq1 /volumeUSB1/usbshare vfat rw 0 0\n"
               "/dev/sdr1 /volumeUSB2/usb\\040disk ext4 rw 0 0\n"
               "\n"
               "lonely\n");
  }

  test_support::TestRoot box_;
};

TEST_F(SandboxTableTest, VolumesAreDescribedAsOnTheAppliance) {
  CheckRows(
      {
          {"/volume1/homes/alice", 1, "q", "/volume1/@tmp", "/volume1", "/volume1", "/volume1",
           "/dev/md2"},
          {"/volume2/data", 2, "b", "/volume2/@tmp", "/volume2", "/volume2", "/volume2",
           "/dev/md3"},
          // A folder the table does not list is part of its volume.
          {"/volume2/plain/folder", 2, "b", "/volume2/@tmp", "/volume2", "/volume2", "/volume2",
           "/dev/md3"},
          // A listed mount point without a file system inside btrfs: a subvolume.
          {"/volume2/sub/deep", 2, "qb", "/volume2/@tmp", "/volume2", "/volume2", "/volume2/sub",
           ""},
          {"/volume2/docs/in", 3, "qo", "/volume2/docs/@eaDir/@tmp", "/volume2/docs", "/volume2",
           "/volume2/docs", "/volume2/@docs@"},
          {"/volume1/secret/docs", 3, "q", "/volume1/secret/@eaDir/@tmp", "/volume1/secret",
           "/volume1", "/volume1/secret", "/dev/md2"},
          {"/volumeUSB1/usbshare/photos", 0, "u", "/volumeUSB1/usbshare/@tmp",
           "/volumeUSB1/usbshare", "/volumeUSB1/usbshare/@sharebin", "/volumeUSB1/usbshare", ""},
      },
      FileSystemOps::Default());
  // Links resolve inside the root and land on the volume they point to.
  box_.Link("/volume2/data", "/volume1/homes/to-btrfs");
  FileSystemProperty fs;
  ASSERT_EQ(fs.Init("/volume1/homes/to-btrfs", true), 0);
  EXPECT_EQ(fs.mount_path(), "/volume2");
  // Outside every listed volume the walk reaches "/", which is no volume.
  for (const char* path : {"/elsewhere/x", "/", "/volume1/missing"}) {
    EXPECT_EQ(fs.Init(path, true), -1) << path;
  }
}

TEST_F(SandboxTableTest, OperationsAnswerFromTheTable) {
  const FileSystemOps& ops = FileSystemOps::Default();
  EXPECT_EQ(ops.MountTablePath(), box_.Host("/etc/tarn/mounts"));
  EXPECT_EQ(ops.TableMountPoint("/volume1"), "/volume1");
  EXPECT_EQ(ops.TableMountPoint("/"), "/");
  std::vector<MountEntry> table = ReadMountTable();
  ASSERT_EQ(table.size(), 8u);
  EXPECT_EQ(table[6].mount_point, "/volumeUSB2/usb disk");
  MountEntry entry;
  ASSERT_EQ(FindMount("/volume2/docs", &entry), 0);
  EXPECT_EQ(entry.device, "/volume2/@docs@");
  EXPECT_EQ(entry.fs_name, "ecryptfs");

  // Devices: one per listed mount point, one more for the rest of the root.
  uint64_t root = 99, volume1 = 99, homes = 99, secret = 99, volume2 = 99, sub = 99, other = 99;
  ASSERT_TRUE(ops.DeviceOf("/", &root));
  ASSERT_TRUE(ops.DeviceOf("/volume1", &volume1));
  ASSERT_TRUE(ops.DeviceOf("/volume1/homes/alice", &homes));
  ASSERT_TRUE(ops.DeviceOf("/volume1/secret/docs", &secret));
  ASSERT_TRUE(ops.DeviceOf("/volume2", &volume2));
  ASSERT_TRUE(ops.DeviceOf("/volume2/sub", &sub));
  ASSERT_TRUE(ops.DeviceOf("/elsewhere", &other));
  EXPECT_EQ(homes, volume1);
  EXPECT_NE(volume1, root);
  EXPECT_NE(secret, volume1);
  EXPECT_NE(volume2, volume1);
  EXPECT_NE(sub, volume2);
  EXPECT_EQ(other, root);
  EXPECT_FALSE(ops.DeviceOf("/volume1/missing", &other));

  // Only the table's btrfs lines report btrfs, whatever the host's disk is.
  const struct {
    const char* path;
    uint32_t magic;
  } magics[] = {
      {"/volume2", kBtrfsMagic}, {"/volume2/data", kBtrfsMagic}, {"/volume2/sub/deep", kBtrfsMagic},
      {"/volume2/docs", 0},      {"/volume1/homes", 0},          {"/", 0},
      {"/elsewhere/x", 0}};
  for (const auto& m : magics) {
    uint32_t magic = 1;
    ASSERT_TRUE(ops.MagicOf(m.path, &magic)) << m.path;
    EXPECT_EQ(magic, m.magic) << m.path;
  }
  uint32_t magic = 1;
  EXPECT_FALSE(ops.MagicOf("/volume2/missing", &magic));

  // A sandbox without its own table keeps the host's view: the kernel's
  // table in host paths, and real device numbers and magics.
  ASSERT_EQ(unlink(box_.Host(paths::kSandboxMountTable).c_str()), 0);
  EXPECT_EQ(ops.MountTablePath(), "/proc/mounts");
  EXPECT_EQ(ops.TableMountPoint("/"), box_.root());
  EXPECT_EQ(ops.TableMountPoint("/volume1"), box_.Host("/volume1"));
  EXPECT_EQ(ops.ApplianceDevice(box_.Host("/volume1/@x@")), "/volume1/@x@");
  EXPECT_EQ(ops.ApplianceDevice("/dev/md2"), "/dev/md2");
  struct stat st;
  ASSERT_EQ(stat(box_.root().c_str(), &st), 0);
  uint64_t device = 0;
  ASSERT_TRUE(ops.DeviceOf("/volume1/homes", &device));
  EXPECT_EQ(device, static_cast<uint64_t>(st.st_dev));
  EXPECT_TRUE(ops.MagicOf("/volume1", &magic));
  EXPECT_EQ(ops.RealPath("/volume1//homes/../homes"), "/volume1/homes");
  EXPECT_EQ(ops.RealPath("/volume1/b"), "");
}

TEST(HostTableTest, WithoutASandboxTheKernelTableIsUsed) {
  test_support::TestRoot box;  // brings DRIFT_ROOT back afterwards
  for (const char* root : {static_cast<const char*>(nullptr), "/", "//"}) {
    SCOPED_TRACE(root != nullptr ? root : "(unset)");
    if (root != nullptr) {
      setenv("DRIFT_ROOT", root, 1);
    } else {
      unsetenv("DRIFT_ROOT");
    }
    const FileSystemOps& ops = FileSystemOps::Default();
    EXPECT_EQ(ops.MountTablePath(), "/proc/mounts");
    EXPECT_EQ(ops.TableMountPoint("/"), "/");
    EXPECT_EQ(ops.TableMountPoint("/volume1"), "/volume1");
    MountEntry entry;
    ASSERT_EQ(FindMount("/", &entry), 0);
    EXPECT_EQ(entry.mount_point, "/");
    EXPECT_FALSE(entry.fs_name.empty());
    struct stat st;
    ASSERT_EQ(stat("/proc", &st), 0);
    uint64_t device = 0;
    ASSERT_TRUE(ops.DeviceOf("/proc", &device));
    EXPECT_EQ(device, static_cast<uint64_t>(st.st_dev));
    uint32_t magic = 0;
    ASSERT_TRUE(ops.MagicOf("/proc", &magic));
    EXPECT_EQ(magic, 0x9FA0u);  // procfs
  }
}

}  // namespace
