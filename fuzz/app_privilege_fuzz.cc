// Feeds arbitrary bytes to the application privilege update as the rule
// file's current content, then sets one rule.  A file that does not parse,
// or is not a rule list, must be left exactly as it was; otherwise the file
// afterwards must hold everything it held before, with the rule of the same
// key replaced (or the rule appended), and be left byte for byte alone when
// the rule was already there.
#include <json/json.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/appliance_paths.h"
#include "fuzz/fuzz_sandbox.h"
#include "host_platform/host_files.h"
#include "host_platform/json_files.h"
#include "platform/platform_lib.h"

namespace {

const int kType = 2;
const int kId = 0;
const char kApp[] = "DriftVault.Sync";
const char kAllow[] = "0.0.0.0";

const TarnAppPrivRule& Rule() {
  static TarnAppPrivRule* rule = [] {
    TarnAppPrivRule* made = TLIBAppPrivRuleAlloc();
    if (made == nullptr) abort();
    made->type = kType;
    made->id = kId;
    made->app = strdup(kApp);
    if (made->app == nullptr || TLIBCSzListPush(&made->allow, kAllow) != 0) abort();
    return made;
  }();
  return *rule;
}

bool SameKey(const Json::Value& rule) {
  if (!rule.isObject()) return false;
  const Json::Value* type = host_platform::FindMember(rule, "type");
  const Json::Value* id = host_platform::FindMember(rule, "id");
  const Json::Value* app = host_platform::FindMember(rule, "app");
  return type != nullptr && type->isInt() && type->asInt() == kType && id != nullptr &&
         id->isInt() && id->asInt() == kId && app != nullptr && app->isString() &&
         app->asString() == kApp;
}

std::string ReadBack(const std::string& host) {
  std::string text;
  if (host_platform::ReadWholeFile(host, host_platform::kMaxPlatformFileSize, &text) !=
      host_platform::ReadResult::kOk) {
    __builtin_trap();  // the file must still be there, whole
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (sandbox.MakeDir("/etc/tarn"), true);
  (void)made;
  const std::string host = sandbox.Host(paths::kAppPrivilegeJson);
  const std::string before(reinterpret_cast<const char*>(data), size);
  sandbox.Write(paths::kAppPrivilegeJson, data, size);

  // What the file should hold afterwards, worked out from its parse.
  Json::Value root;
  bool usable =
      host_platform::ReadJsonFile(host, &root) == host_platform::JsonResult::kOk && root.isObject();
  bool unchanged = !usable;
  Json::Value expected;
  if (usable) {
    const Json::Value* rules = host_platform::FindMember(root, "rules");
    usable = rules == nullptr || rules->isNull() || rules->isArray();
    unchanged = !usable;
    if (usable) {
      Json::Value wanted(Json::objectValue);
      wanted["type"] = kType;
      wanted["id"] = kId;
      wanted["app"] = kApp;
      wanted["allow"] = Json::Value(Json::arrayValue);
      wanted["allow"].append(kAllow);
      expected = root;
      Json::Value& list = expected["rules"];
      if (list.isNull()) list = Json::Value(Json::arrayValue);
      Json::ArrayIndex i = 0;
      while (i < list.size() && !SameKey(list[i])) ++i;
      if (i == list.size()) {
        list.append(wanted);
      } else if (list[i] == wanted) {
        unchanged = true;
      } else {
        list[i] = wanted;
      }
    }
  }

  const int rc = TLIBAppPrivRuleSetOne(&Rule());
  if (rc != (usable ? 0 : -1)) __builtin_trap();
  const std::string after = ReadBack(host);
  if (unchanged) {
    if (after != before) __builtin_trap();
    return 0;
  }
  Json::Value written;
  if (host_platform::ReadJsonFile(host, &written) != host_platform::JsonResult::kOk) {
    __builtin_trap();
  }
  if (!(written == expected)) __builtin_trap();
  return 0;
}
