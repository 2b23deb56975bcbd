#include "cli/commands.h"

#include <stdio.h>
#include <unistd.h>

#include "base/appliance_paths.h"
#include "base/ustring.h"
#include "cli/logger.h"
#include "service/cleanup.h"
#include "service/diagnose.h"
#include "service/package_state.h"
#include "service/service_start.h"
#include "service/service_stop.h"
#include "service/user_statistics.h"
#include "userdb/user_manager.h"

int DiagnoseCommand(const ParsedArguments& parsed) {
  const size_t remainders = parsed.Remainders().size();
  if (parsed.HasKey("output-stdout") && remainders == 0) {
    DiagnoseToStream(STDOUT_FILENO);
    return 0;
  }
  if (parsed.HasKey("create-archive") && remainders == 1) {
    DiagnoseToFolder(parsed.Remainders()[0]);
    return 0;
  }
  // Anything else (no flag, --create-archive without a path or with two)
  // quietly does nothing.
  return 0;
}

int ServiceCommand(const ParsedArguments& parsed) {
  // Only the first flag present runs, in this order.
  if (parsed.HasKey("start")) {
    return StartService();
  }
  if (parsed.HasKey("stop")) {
    return StopService(1);
  }
  if (parsed.HasKey("status")) {
    ustring status;
    const int result = GetServiceStatus(&status);
    printf("%s", status.c_str());
    return result;
  }
  if (parsed.HasKey("collect-user-data")) {
    ustring volume;
    if (GetDbVolume(&volume) < 0) {
      Logger::Log(3, "drift_control", "[ERROR] drift-control(%d): cannot get volume\n", __LINE__);
      return -1;
    }
    const ustring db_path = volume + paths::kUserDbSuffix;
    if (UserManager::Initialize(db_path) < 0) {
      Logger::Log(3, "drift_control", "[ERROR] drift-control(%d): failed to initialize database\n",
                  __LINE__);
      return -1;
    }
    PrintUserStatistics();  // failures are logged there; nothing is printed then
    UserManager::Close();
    return 0;
  }
  return 0;
}

int CleanUpCommand(const ParsedArguments& parsed) { return CleanUp(); }
