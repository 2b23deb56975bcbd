#include "platform/file_system_property.h"

#include <gtest/gtest.h>

#include "base/test_root.h"
#include "platform/fake_file_system_ops.h"

namespace {

// "kind flags|tmp|base|bin|mount|device" (flags: q quota, b btrfs, u usb, o on
// btrfs), or Init's failure code when it leaves the object untouched.
std::string Describe(const std::string& path, bool resolve, const FileSystemOps& ops) {
  FileSystemProperty fs;
  const int rc = fs.Init(path, resolve, ops);
  if (rc != 0) return fs.mount_path().empty() ? std::to_string(rc) : "changed";
  std::string flags = std::string(fs.has_quota() ? "q" : "") + (fs.is_btrfs() ? "b" : "") +
                      (fs.is_usb() ? "u" : "") + (fs.on_btrfs() ? "o" : "");
  return std::to_string(fs.kind()) + " " + flags + "|" + fs.tmp_path() + "|" + fs.base_path() +
         "|" + fs.bin_base_path() + "|" + fs.mount_path() + "|" + fs.device();
}

TEST(VolumeTableTest, EveryKindOfVolumeAndItsMount) {
  // A sandbox with one volume of every kind, described by fake devices and
  // magics over a mount table in host paths.
  test_support::TestRoot box;
  platform_test::FakeFileSystemOps ops{box.Host("/mounts")};
  for (const char* dir :
       {"/volume1/homes/alice", "/volume1/secret/docs", "/volume2/data", "/volume3/data",
        "/volume3/docs/in", "/volume3/sub/deep", "/volume3/a/b/c", "/volume4/x", "/volume5/x",
        "/volume6/x", "/volume7/enc", "/volumeUSB1/usbshare/photos", "/volumeUSB2/usb disk/f",
        "/volumeUSB3", "/volumeUSB4/nfs"}) {
    box.MakeDir(dir);
  }
  // Host paths ($R: the root), blanks escaped, a tab as one separator.
  std::string table = R"(/dev/md2 $R/volume1 ext4 rw,relatime 0 0
/dev/md3 $R/volume2 ext3 rw 0 0

/dev/md4	$R/volume3 btrfs rw,space_cache 0 0
$R/volume3/@docs@ $R/volume3/docs ecryptfs rw 0 0
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
  for (size_t at; (at = table.find("$R")) != std::string::npos;) table.replace(at, 2, box.root());
  box.Write("/mounts", table);
  uint64_t device = 10;
  for (const char* folder :
       {"/volume1", "/volume1/secret", "/volume2", "/volume3", "/volume3/docs", "/volume3/sub",
        "/volume3/a/b/c", "/volume4", "/volume5", "/volume6", "/volume7", "/volume7/enc",
        "/volumeUSB1/usbshare", "/volumeUSB2/usb disk", "/volumeUSB3", "/volumeUSB4/nfs"}) {
    ops.Device(folder, device++);
  }
  ops.Magic("/volume3", kBtrfsMagic);
  ops.Magic("/volume6", kBtrfsMagic);
  box.Link("../../volume2/data", "/volume1/homes/to-ext3");
  box.Link("/volume1/nowhere", "/volume1/dangling");
  MountEntry entry;
  const struct {
    const char* path;
    bool resolve;
    const char* described;
  } cases[] = {
      {"/volume1/homes/alice", true, "1 q|/volume1/@tmp|/volume1|/volume1|/volume1|/dev/md2"},
      {"/volume2/data", true, "4 q|/volume2/@tmp|/volume2|/volume2|/volume2|/dev/md3"},
      {"/volume3/data", true, "2 b|/volume3/@tmp|/volume3|/volume3|/volume3|/dev/md4"},
      {"/volume3/sub/deep", true, "2 qb|/volume3/@tmp|/volume3|/volume3|/volume3/sub|"},
      // USB disks, whatever the file system: share-bin in a folder of its own.
      {"/volumeUSB1/usbshare/photos", true,
       "0 u|/volumeUSB1/usbshare/@tmp|/volumeUSB1/usbshare|/volumeUSB1/usbshare/@sharebin|"
       "/volumeUSB1/usbshare|"},
      {"/volumeUSB2/usb disk/f", true,
       "1 u|/volumeUSB2/usb disk/@tmp|/volumeUSB2/usb disk|/volumeUSB2/usb disk/@sharebin|"
       "/volumeUSB2/usb disk|"},
      // Encrypted share on btrfs: the lower folder is derived from the name...
      {"/volume3/docs/in", true,
       "3 qo|/volume3/docs/@eaDir/@tmp|/volume3/docs|/volume3|/volume3/docs|/volume3/@docs@"},
      // ... unless the mount point is not /volumeN/NAME.
      {"/volume3/a/b/c", true,
       "3 qo|/volume3/a/b/c/@eaDir/@tmp|/volume3/a/b/c|/volume3/a/b|"
       "/volume3/a/b/c|"},
      // On another file system the lower folder is the volume's device.
      {"/volume1/secret/docs", true,
       "3 q|/volume1/secret/@eaDir/@tmp|/volume1/secret|/volume1|/volume1/secret|/dev/md2"},
      {"/volume6/x", true, "2 qb|/@tmp|/|/|/volume6|"},  // btrfs line without a file system
      {"/volume1/missing", true, "-1"},
      // Unresolved, the link itself is described and the path only normalised.
      {"/volume1/homes/to-ext3", false, "1 q|/volume1/@tmp|/volume1|/volume1|/volume1|/dev/md2"},
      {"//volume2///data/", false, "4 q|/volume2/@tmp|/volume2|/volume2|/volume2|/dev/md3"},
      {"", true, "-1"},
      {"volume1/homes", true, "-1"},
      {"/volume1/dangling/x", true, "-1"},
      {"/volume4/x", true, "-1"},    // not in the table and not btrfs
      {"/volume5/x", true, "-1"},    // unknown file system
      {"/volumeUSB3", true, "-1"},   // one component: not a USB disk, and vfat
      {"/volume7/enc", true, "-1"},  // ecryptfs whose parent is not a mount point
  };
  for (const auto& c : cases) EXPECT_EQ(Describe(c.path, c.resolve, ops), c.described) << c.path;
  // A failed Init leaves an earlier description alone.
  FileSystemProperty fs;
  ASSERT_EQ(fs.Init("/volume2/data", true, ops), 0);
  EXPECT_EQ(fs.Init("/volume4/x", true, ops) + FindMount("/volume3/doc", &entry, ops), -2);
  EXPECT_EQ(fs.mount_path() + "," + std::to_string(fs.kind()), "/volume2,4");
  ASSERT_EQ(FindMount("/volume3/docs", &entry, ops), 0);
  EXPECT_EQ(
      entry.device + "|" + entry.mount_point + "|" + entry.fs_name,
      "/volume3/@docs@|/volume3/docs|ecryptfs");  // a lower folder in the root, as appliance path
  platform_test::ScopedDefaultOps installed(&ops);
  EXPECT_EQ(ReadMountTable().size(), 13u);
}

}  // namespace
