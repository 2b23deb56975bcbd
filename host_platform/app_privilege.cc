// Application privilege rules in /etc/tarn/app-privilege.json:
//   {"rules":[{"type":2,"id":0,"app":"...","allow":["0.0.0.0"]}, ...]}
// A rule is keyed by (type, id, app): setting one replaces the rule with the
// same key and leaves an identical rule alone, so repeated first-start runs
// never pile up copies.  The file is updated under the folder lock and
// replaced atomically; a file we cannot parse is left untouched.
#include <json/json.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "host_platform/host_files.h"
#include "host_platform/json_files.h"
#include "platform/platform_lib.h"

namespace {

Json::Value AllowList(const TarnSzList* list) {
  Json::Value allow(Json::arrayValue);
  if (list != nullptr) {
    for (int i = 0; i < list->count; ++i) allow.append(list->items[i]);
  }
  return allow;
}

bool SameKey(const Json::Value& rule, const TarnAppPrivRule& wanted) {
  if (!rule.isObject()) return false;
  const Json::Value& type = rule["type"];
  const Json::Value& id = rule["id"];
  const Json::Value& app = rule["app"];
  return type.isInt() && type.asInt() == wanted.type && id.isInt() && id.asInt() == wanted.id &&
         app.isString() && app.asString() == wanted.app;
}

}  // namespace

TarnAppPrivRule* TLIBAppPrivRuleAlloc(void) {
  TarnAppPrivRule* rule = static_cast<TarnAppPrivRule*>(calloc(1, sizeof(TarnAppPrivRule)));
  if (rule == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return nullptr;
  }
  rule->allow = static_cast<TarnSzList*>(calloc(1, sizeof(TarnSzList)));
  if (rule->allow == nullptr) {
    free(rule);
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return nullptr;
  }
  return rule;
}

int TLIBAppPrivRuleSetOne(const TarnAppPrivRule* rule) {
  if (rule == nullptr || rule->app == nullptr || rule->app[0] == '\0') {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  const std::string host = paths::HostPath(paths::kAppPrivilegeJson);
  host_platform::FolderLock lock(host);
  if (!lock.locked()) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
    return -1;
  }
  Json::Value root;
  switch (host_platform::ReadJsonFile(host, &root)) {
    case host_platform::JsonResult::kOk:
      break;
    case host_platform::JsonResult::kMissing:
      root = Json::Value(Json::objectValue);
      root["rules"] = Json::Value(Json::arrayValue);
      break;
    case host_platform::JsonResult::kMalformed:
    case host_platform::JsonResult::kError:
      Logger::Log(3, "default_component", "[ERROR] host-platform(%d): cannot read %s\n", __LINE__,
                  paths::kAppPrivilegeJson);
      HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
      return -1;
  }
  if (!root.isObject() || !(root["rules"].isArray() || root["rules"].isNull())) {
    Logger::Log(3, "default_component", "[ERROR] host-platform(%d): malformed %s\n", __LINE__,
                paths::kAppPrivilegeJson);
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
    return -1;
  }
  Json::Value wanted(Json::objectValue);
  wanted["type"] = rule->type;
  wanted["id"] = rule->id;
  wanted["app"] = rule->app;
  wanted["allow"] = AllowList(rule->allow);

  Json::Value& rules = root["rules"];
  if (rules.isNull()) rules = Json::Value(Json::arrayValue);
  bool replaced = false;
  for (Json::ArrayIndex i = 0; i < rules.size(); ++i) {
    if (!SameKey(rules[i], *rule)) continue;
    if (rules[i] == wanted) return 0;  // already there, exactly
    rules[i] = wanted;
    replaced = true;
    break;
  }
  if (!replaced) rules.append(wanted);
  if (!host_platform::WriteJsonFileAtomically(host, root)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_WRITE);
    return -1;
  }
  return 0;
}

void TLIBAppPrivRuleFree(TarnAppPrivRule* rule) {
  if (rule == nullptr) return;
  free(rule->app);
  TLIBCSzListFree(rule->allow);
  free(rule);
}
