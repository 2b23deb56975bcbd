// Volumes from the platform's volume list (/etc/tarn/volumes.json):
//   {"volumes":[{"path":"/volume1","type":2}, ...]}
// in the platform's order.  A volume is mounted when its folder exists and
// writable when this process may write it.  The list is read whole and
// strictly: one malformed entry makes the whole list unusable, because
// choosing a volume from a half-understood list could put the databases on
// the wrong disk.
#include "host_platform/volumes.h"

#include <json/json.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "host_platform/host_files.h"
#include "host_platform/json_files.h"
#include "platform/platform_lib.h"

namespace host_platform {

std::string NormalizeAppliancePath(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = slash + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

bool PathIsBelow(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

bool LoadVolumes(std::vector<Volume>* volumes) {
  volumes->clear();
  Json::Value root;
  JsonResult read = ReadJsonFile(paths::HostPath(paths::kVolumesJson), &root);
  if (read != JsonResult::kOk) {
    if (read != JsonResult::kMissing) {
      Logger::Log(4, "default_component", "[WARNING] host-platform(%d): unusable volume list %s\n",
                  __LINE__, paths::kVolumesJson);
    }
    HOST_PLATFORM_FAIL(read == JsonResult::kMissing ? TLIB_ERR_FILE_OPEN : TLIB_ERR_BAD_FORMAT);
    return false;
  }
  const Json::Value* list = FindMember(root, "volumes");
  bool ok = list != nullptr && list->isArray();
  for (Json::ArrayIndex i = 0; ok && i < list->size(); ++i) {
    const Json::Value& entry = (*list)[i];
    if (!entry.isObject()) {
      ok = false;
      break;
    }
    const Json::Value& path = entry["path"];
    const Json::Value& type = entry["type"];
    if (!path.isString() || path.asString().empty() || path.asString()[0] != '/' ||
        path.asString().size() >= TARN_PATH_MAX ||
        path.asString().find('\0') != std::string::npos || !(type.isNull() || type.isInt())) {
      ok = false;
      break;
    }
    Volume volume;
    volume.path = NormalizeAppliancePath(path.asString());
    volume.type = type.isNull() ? 0 : type.asInt();
    volumes->push_back(volume);
  }
  if (!ok) {
    volumes->clear();
    Logger::Log(4, "default_component", "[WARNING] host-platform(%d): malformed volume list %s\n",
                __LINE__, paths::kVolumesJson);
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
    return false;
  }
  return true;
}

const Volume* FindHoldingVolume(const std::vector<Volume>& volumes, const std::string& path) {
  auto longest = [&volumes](const std::string& p) -> const Volume* {
    const Volume* best = nullptr;
    for (const Volume& v : volumes) {
      if (PathIsBelow(p, v.path) && (best == nullptr || v.path.size() > best->path.size())) {
        best = &v;
      }
    }
    return best;
  };
  // The path as written first; a path reached through a link (such as a
  // service link pointing into a volume) by where the link leads.
  const Volume* found = longest(NormalizeAppliancePath(path));
  if (found == nullptr) {
    std::string resolved;
    if (paths::ResolvePath(path, &resolved)) found = longest(resolved);
  }
  return found;
}

void VolumeState(const std::string& volume_path, bool* mounted, bool* writable) {
  const std::string host = paths::HostPath(volume_path);
  struct stat st;
  *mounted = stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  *writable = *mounted && access(host.c_str(), W_OK) == 0;
}

}  // namespace host_platform

using host_platform::Volume;

namespace {

void FillInfo(const Volume& volume, TarnVolumeInfo* info) {
  memset(info, 0, sizeof(*info));
  memcpy(info->path, volume.path.c_str(), volume.path.size() + 1);
  info->type = volume.type;
  bool mounted = false;
  bool writable = false;
  host_platform::VolumeState(volume.path, &mounted, &writable);
  info->mounted = mounted ? 1 : 0;
  info->writable = writable ? 1 : 0;
}

}  // namespace

int TARNMountVolInfoGet(const char* path, TarnVolumeInfo* info) {
  if (path == nullptr || path[0] != '/' || info == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  std::vector<Volume> volumes;
  if (!host_platform::LoadVolumes(&volumes)) return -1;
  const Volume* volume = host_platform::FindHoldingVolume(volumes, path);
  if (volume == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return -1;
  }
  TarnVolumeInfo filled;
  FillInfo(*volume, &filled);
  if (!filled.mounted) {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_MOUNTED);
    return -1;
  }
  *info = filled;
  return 0;
}

TarnVolumeList* TARNMountVolAllEnum(int flags, int kind, int reserved) {
  std::vector<Volume> volumes;
  if (!host_platform::LoadVolumes(&volumes)) return nullptr;
  TarnVolumeList* list = new (std::nothrow) TarnVolumeList;
  if (list == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return nullptr;
  }
  list->count = static_cast<int>(volumes.size());
  list->volumes = nullptr;
  if (!volumes.empty()) {
    list->volumes = new (std::nothrow) TarnVolumeInfo[volumes.size()];
    if (list->volumes == nullptr) {
      delete list;
      HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
      return nullptr;
    }
  }
  for (size_t i = 0; i < volumes.size(); ++i) FillInfo(volumes[i], &list->volumes[i]);
  return list;
}

void TARNMountVolInfoFree(TarnVolumeList* list) {
  if (list == nullptr) return;
  delete[] list->volumes;
  delete list;
}

int TARNShareBinPathGet(const char* path, char* buffer, int size) {
  if (path == nullptr || path[0] != '/' || buffer == nullptr || size <= 0) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  buffer[0] = '\0';
  std::vector<Volume> volumes;
  if (!host_platform::LoadVolumes(&volumes)) return -1;
  const Volume* volume = host_platform::FindHoldingVolume(volumes, path);
  if (volume == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return -1;
  }
  std::string bin = volume->path;
  // External disks keep their share-bin area in a folder of their own; an
  // internal volume's is the volume itself.
  if (volume->type == TARN_VOLUME_TYPE_USB) bin += paths::kShareBinFolder;
  if (bin.size() + 1 > static_cast<size_t>(size)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BUFFER_TOO_SMALL);
    return -1;
  }
  memcpy(buffer, bin.c_str(), bin.size() + 1);
  return 0;
}

namespace TARN {
namespace HXA {
namespace STORAGE_WEBUTILS {

bool Volume::VolumeListGet(Json::Value& out, bool with_detail) {
  std::vector<host_platform::Volume> volumes;
  if (!host_platform::LoadVolumes(&volumes)) return false;
  Json::Value list(Json::arrayValue);
  for (const host_platform::Volume& volume : volumes) {
    bool mounted = false;
    bool writable = false;
    host_platform::VolumeState(volume.path, &mounted, &writable);
    Json::Value entry(Json::objectValue);
    entry["mount_point"] = volume.path;
    entry["type"] = volume.type;
    entry["mounted"] = mounted;
    entry["writable"] = writable;
    list.append(entry);
  }
  Json::Value result(Json::objectValue);
  result["volume_list"] = list;
  out = result;
  return true;
}

}  // namespace STORAGE_WEBUTILS
}  // namespace HXA
}  // namespace TARN
