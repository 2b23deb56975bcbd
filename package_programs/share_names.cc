#include "package_programs/share_names.h"

#include <json/json.h>

#include <set>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"

namespace cached {

int ListPlatformShareNames(std::vector<std::string>* names) {
  Json::Value root;
  if (host_platform::ReadJsonFile(paths::HostPath(paths::kSharesJson), &root) !=
      host_platform::JsonResult::kOk) {
    return -1;
  }
  if (!root.isObject() || !root["shares"].isArray()) return -1;
  std::set<std::string> seen;
  names->clear();
  for (const Json::Value& entry : root["shares"]) {
    if (!entry.isObject() || !entry["name"].isString()) continue;
    const std::string name = entry["name"].asString();
    if (seen.insert(name).second) names->push_back(name);
  }
  return 0;
}

}  // namespace cached
