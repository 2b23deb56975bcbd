// The platform's volume list as the host implementation reads it, shared by
// the volume calls, the share-bin lookup and the storage volume list.
#ifndef DRIFT_HOST_PLATFORM_VOLUMES_H_
#define DRIFT_HOST_PLATFORM_VOLUMES_H_

#include <string>
#include <vector>

namespace host_platform {

struct Volume {
  std::string path;  // normalised appliance path, e.g. "/volume1"
  int type = 0;
};

// Reads the volume list in the platform's order.  False (platform error set)
// when the file is missing or any part of it is malformed.
bool LoadVolumes(std::vector<Volume>* volumes);

// The listed volume holding `path` (the longest volume path that is `path`
// or one of its parent folders), judged on the path as written and, when that
// finds none, on the path with its links resolved inside the root.  Null when
// no volume holds it.
const Volume* FindHoldingVolume(const std::vector<Volume>& volumes, const std::string& path);

// Mounted: the volume's folder exists.  Writable: mounted and writable by
// this process.
void VolumeState(const std::string& volume_path, bool* mounted, bool* writable);

// "/a//b/./c/../d/" -> "/a/b/d" (lexically; ".." never climbs above "/").
std::string NormalizeAppliancePath(const std::string& path);

// True when `path` is `folder` or lies below it (whole components).
bool PathIsBelow(const std::string& path, const std::string& folder);

}  // namespace host_platform

#endif  // DRIFT_HOST_PLATFORM_VOLUMES_H_
