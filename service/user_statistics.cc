#include "service/user_statistics.h"

#include <json/json.h>
#include <stdio.h>

#include <utility>

#include "cli/logger.h"

std::string FormatUserStatistics(const std::vector<UserUsage>& usages) {
  Json::Value root;
  Json::Value users(Json::arrayValue);
  for (const UserUsage& usage : usages) {
    Json::Value user(Json::objectValue);
    user["type"] = Json::UInt(usage.user_type);
    user["session_count"] = Json::UInt(usage.session_count);
    users.append(std::move(user));
  }
  root["user"] = std::move(users);
  root["version"] = kUserStatisticsVersion;
  // The package framework parses the compact form that FastWriter produces;
  // the library marks that writer deprecated in favour of the builder.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::FastWriter writer;
  return writer.write(root);
#pragma GCC diagnostic pop
}

int PrintUserStatistics() {
  std::vector<UserUsage> usages;
  if (UserManager::CollectUserData(&usages) < 0) {
    Logger::Log(3, "service_ctrl_debug", "[ERROR] service-ctrl(%d): failed to collect user data\n",
                __LINE__);
    return -1;
  }
  const std::string text = FormatUserStatistics(usages);
  printf("%s", text.c_str());
  fflush(stdout);
  return 0;
}
