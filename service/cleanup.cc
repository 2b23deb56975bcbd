#include "service/cleanup.h"

#include <json/json.h>

#include <string>

#include "base/appliance_paths.h"
#include "base/file_op.h"
#include "cli/logger.h"
#include "platform/platform_lib.h"
#include "platform/sdk_functions.h"

int CleanUp() {
  Json::Value volumes;
  {
    TARN::HXA::STORAGE_WEBUTILS::Volume storage;
    if (!storage.VolumeListGet(volumes, false)) {
      Logger::Log(3, "service_ctrl_debug", "[ERROR] service-ctrl(%d): Fail to get volume info",
                  __LINE__);
      return -1;
    }
  }
  // jsoncpp throws on member access to a value of the wrong kind: check each
  // level before looking inside.
  static const char kVolumeList[] = "volume_list";
  const Json::Value* list = volumes.isObject()
                                ? volumes.find(kVolumeList, kVolumeList + sizeof(kVolumeList) - 1)
                                : nullptr;
  if (list != nullptr && list->isArray()) {
    for (const Json::Value& volume : *list) {
      if (!volume.isObject() || !volume["mount_point"].isString()) continue;
      const std::string share_bin = SDK::GetShareBinPath(volume["mount_point"].asString());
      // Without a share-bin path there is no repository path to remove; an
      // empty text must never turn into "/@driftvault" of the root.
      if (share_bin.empty()) continue;
      FSRemove(paths::HostPath(share_bin + paths::kRepoFolder));
    }
  }
  FSRemove(paths::HostPath(paths::kDbPathConf));
  return 0;
}
