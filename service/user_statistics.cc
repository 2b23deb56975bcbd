#include "service/user_statistics.h"

#include <json/json.h>
#include <stdio.h>

#include <utility>

#include "cli/logger.h"

namespace {

// The document as a value.  Static keys are not copied into every element,
// which matters with a hundred thousand entries.
Json::Value BuildDocument(const std::vector<UserUsage>& usages) {
  static const Json::StaticString kType("type");
  static const Json::StaticString kSessionCount("session_count");
  Json::Value root;
  Json::Value users(Json::arrayValue);
  for (const UserUsage& usage : usages) {
    Json::Value user(Json::objectValue);
    user[kType] = Json::UInt(usage.user_type);
    user[kSessionCount] = Json::UInt(usage.session_count);
    users.append(std::move(user));
  }
  root["user"] = std::move(users);
  root["version"] = kUserStatisticsVersion;
  return root;
}

std::string WriteDocument(const Json::Value& root) {
  // The package framework parses the compact form that FastWriter produces;
  // the library marks that writer deprecated in favour of the builder.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::FastWriter writer;
  return writer.write(root);
#pragma GCC diagnostic pop
}

}  // namespace

std::string FormatUserStatistics(const std::vector<UserUsage>& usages) {
  return WriteDocument(BuildDocument(usages));
}

int PrintUserStatistics() {
  std::vector<UserUsage> usages;
  if (UserManager::CollectUserData(&usages) < 0) {
    Logger::Log(3, "service_ctrl_debug", "[ERROR] service-ctrl(%d): failed to collect user data",
                __LINE__);
    return -1;
  }
  Json::Value root = BuildDocument(usages);
  std::vector<UserUsage>().swap(usages);  // not needed any more: give the memory back
  std::string text = WriteDocument(root);
  root = Json::Value();
  printf("%s", text.c_str());
  fflush(stdout);
  return 0;
}
