// The commands that need JSON, run in this process (libexec/drift-control-full).
#include "base/appliance_paths.h"
#include "base/ustring.h"
#include "cli/commands.h"
#include "cli/logger.h"
#include "dircache/daemon_cache_backend.h"
#include "service/cleanup.h"
#include "service/package_state.h"
#include "service/service_start.h"
#include "service/user_statistics.h"
#include "userdb/user_manager.h"

int StartCommand(char** /*argv*/) {
  // Start enables the accounts of the package's users, asking for users and
  // shares "through the cache": the package's cache daemon answers those.
  dircache::InstallDaemonCacheBackend();
  return StartService();
}

int CollectUserDataCommand(char** /*argv*/) {
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

int CleanUpCommand(char** /*argv*/) { return CleanUp(); }
