#include "service/service_start.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "base/appliance_paths.h"
#include "base/file_op.h"
#include "base/ustring.h"
#include "cli/logger.h"
#include "package_db/log_manager.h"
#include "platform/directory_service.h"
#include "platform/platform_lib.h"
#include "platform/sdk_functions.h"
#include "platform/sdk_mutex.h"
#include "platform/sdk_share.h"
#include "service/account_enabling.h"
#include "service/cleanup.h"
#include "service/daemon_control.h"
#include "service/package_state.h"
#include "service/service_stop.h"

namespace {

const char kComponent[] = "service_ctrl_debug";
const char kSettingLineFormat[] = "%s=\"%s\"\n";

// Names of the service in the platform's registries and event log.
const char kServiceName[] = "DriftVault";
const char kRelayName[] = "driftvault";
const char kEventSource[] = "Drift Vault";

// The environment variable naming the account that installs the package.
const char kInstallingAccountVariable[] = "TARNPKG_USERNAME";

// Volume type of an internal data volume, the only kind the portable unit's
// home share may live on.
constexpr int kInternalVolumeType = 2;

// Volume kinds asked of the platform's volume list.
constexpr int kVolumeKindDefault = 1;
constexpr int kVolumeKindPocketUnit = 4;

// Size of the share-bin path buffer of the volume list walk.
constexpr int kShareBinBufferSize = 256;

// Status words that mean a start (or the service) is already under way.
const char* const kRunningWords[] = {"initializing", "updating", "checking",
                                     "done",         "enabled",  "moving_db"};

const char* const kStaleMarks[] = {paths::kDiskFullFreezeMark, paths::kRepoMoveMark,
                                   paths::kUpgradingMark};

VolumeRecord RecordOf(const TarnVolumeInfo& info) {
  VolumeRecord record;
  record.type = info.type;
  record.mounted = info.mounted != 0;
  record.path = info.path;
  record.writable = info.writable != 0;
  return record;
}

bool IsRunningWord(const ustring& word) {
  for (const char* running : kRunningWords) {
    if (word == running) return true;
  }
  return false;
}

// True when the service (or another start) already runs, so that this start
// must leave everything alone.
bool AlreadyRunning() {
  Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): checking service singleton...", __LINE__);
  ustring status;
  bool running = false;
  if (GetServiceStatus(&status) < 0) {
    // Without knowing, a second start could trample on a running one.
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): failed to get service status, leave the status "
                "unchanged.",
                __LINE__);
    running = true;
  } else if (IsRunningWord(status)) {
    Logger::Log(4, kComponent, "[WARNING] service-ctrl(%d): Drift Vault service is already running",
                __LINE__);
    running = true;
  }
  if (running) {
    Logger::Log(6, kComponent, "[INFO] service-ctrl(%d): service is already running", __LINE__);
  }
  return running;
}

// On the portable unit the package lives beside the local users' homes: the
// home service must be on and the "homes" share on an internal volume.
bool PocketUnitHomeUsable() {
  if (!SDK::IsUserHomeServiceEnabled()) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): local home service is not enabled",
                __LINE__);
    return false;
  }
  TarnShareInfo* share = nullptr;
  TarnVolumeInfo volume = {};
  bool usable = false;
  {
    SDK::SdkLockGuard lock;
    if (TARNShareGet("homes", &share) != 0) {
      Logger::Log(3, kComponent,
                  "[ERROR] service-ctrl(%d): TARNShareGet(homes) failed with error code %d",
                  __LINE__, TLIBCErrGet());
    } else if (TARNMountVolInfoGet(share->path, &volume) != 0) {
      Logger::Log(3, kComponent,
                  "[ERROR] service-ctrl(%d): TARNMountVolInfoGet(%s) failed with error code %d",
                  __LINE__, share->path, TLIBCErrGet());
    } else {
      usable = volume.type == kInternalVolumeType;
    }
    TARNShareFree(share);
  }
  return usable;
}

// Step "environment": the port must be free, and the portable unit needs its
// home service.  Sets the status word that names a failure.
bool CheckEnvironment() {
  Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): checking service environment...", __LINE__);
  int conflict = 0;
  const int checked = CheckPortConflict(&conflict);
  if (checked < 0 || conflict != 0) {
    if (checked < 0) {
      Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): DFVT: Fail to get used port", __LINE__);
    } else {
      Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): DFVT: port '%d' is used", __LINE__,
                  conflict);
      SetServiceStatus("portconflict");
    }
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): port checking failed, service will not be enabled",
                __LINE__);
    SetServiceStatus("portconflict");
    return false;
  }
  if (TLIBCIsPocketUnit() != 0 && !PocketUnitHomeUsable()) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): port checking failed, service will not be enabled",
                __LINE__);
    SetServiceStatus("homedisabled");
    return false;
  }
  return true;
}

// Remembers the chosen database volume for every later start.
bool RememberDbVolume(const std::string& volume) {
  return TLIBCFileSetKeyValue(paths::kDbPathConf, "db-vol", volume.c_str(), nullptr) >= 0;
}

// First choice of a database volume: the one holding the users' homes.
bool ChooseHomesVolume(ustring* out) {
  if (TARNServiceUserHomeIsEnabled(1, 0) == 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): UserHome is not enabled", __LINE__);
    return false;
  }
  std::string share_bin;
  {
    SDK::Share homes;
    if (homes.Open("homes", false) < 0) {
      Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): unable to open homes", __LINE__);
      return false;
    }
    share_bin = homes.GetShareBinPath();
  }
  if (share_bin.empty()) return false;
  TarnVolumeInfo volume = {};
  if (TARNMountVolInfoGet(share_bin.c_str(), &volume) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): TARNMountVolInfoGet(homes): error code %d", __LINE__,
                TLIBCErrGet());
    return false;
  }
  if (IsVolumeUsable(RecordOf(volume)) == 0) {
    Logger::Log(4, kComponent, "[WARNING] service-ctrl(%d): skip '%s' as it is not acceptable",
                __LINE__, share_bin.c_str());
    return false;
  }
  if (!RememberDbVolume(share_bin)) return false;
  Logger::Log(7, kComponent,
              "[DEBUG] service-ctrl(%d): get default share bin path ('%s') by homes shared "
              "folder",
              __LINE__, share_bin.c_str());
  *out = share_bin;
  return true;
}

// Second choice: the first usable volume of the platform's list.
bool ChooseListedVolume(ustring* out) {
  const int kind = TLIBCIsPocketUnit() != 0 ? kVolumeKindPocketUnit : kVolumeKindDefault;
  TarnVolumeList* list = TARNMountVolAllEnum(0, kind, 0);
  if (list == nullptr) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Fail to get a available volumn: %d",
                __LINE__, TLIBCErrGet());
    return false;
  }
  std::string share_bin;
  for (int i = 0; i < list->count && share_bin.empty(); ++i) {
    const TarnVolumeInfo& volume = list->volumes[i];
    if (IsVolumeUsable(RecordOf(volume)) == 0) {
      Logger::Log(4, kComponent, "[WARNING] service-ctrl(%d): skip '%s' as it is not acceptable",
                  __LINE__, volume.path);
      continue;
    }
    char buffer[kShareBinBufferSize] = {0};
    if (TARNShareBinPathGet(volume.path, buffer, sizeof(buffer)) < 0) {
      Logger::Log(3, kComponent,
                  "[ERROR] service-ctrl(%d): Fail to get share bin path from '%s': %d", __LINE__,
                  volume.path, TLIBCErrGet());
      continue;
    }
    share_bin = buffer;
  }
  TARNMountVolInfoFree(list);
  if (share_bin.empty()) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): No available volume found", __LINE__);
    return false;
  }
  if (!RememberDbVolume(share_bin)) return false;
  Logger::Log(7, kComponent,
              "[DEBUG] service-ctrl(%d): get default share bin path ('%s') by searching volume "
              "list",
              __LINE__, share_bin.c_str());
  *out = share_bin;
  return true;
}

// Finds the database volume: the configured one, or on a first start a newly
// chosen one.  Sets the status word that names a failure.
bool LocateDbVolume(ustring* volume) {
  Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): preparing service environment...",
              __LINE__);
  bool located = false;
  if (GetDbVolume(volume) == 0) {
    TarnVolumeInfo info = {};
    if (TARNMountVolInfoGet(volume->c_str(), &info) == 0) {
      located = true;
    } else {
      Logger::Log(4, kComponent,
                  "[WARNING] service-ctrl(%d): %s is not a mounted volume ... Error code %d",
                  __LINE__, volume->c_str(), TLIBCErrGet());
      SetServiceStatus("dbunexist");
    }
  } else {
    // Nothing chosen yet: whatever an earlier installation left on the
    // volumes must not be mistaken for this one's databases.
    CleanUp();
    located = ChooseHomesVolume(volume) || ChooseListedVolume(volume);
    if (!located) {
      Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): failed to locate repository path",
                  __LINE__);
      SetServiceStatus("error");
    }
  }
  if (!located) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): failed to prepare environment", __LINE__);
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): failed to prepare environment for Drift Vault",
                __LINE__);
  }
  return located;
}

struct DaemonLaunch {
  const char* program;
  const char* inner_message;
  const char* outer_message;
};

// Launch order: the cache daemon first (the others ask it for users and
// shares), syncd last (it is what `service --status` watches).
const DaemonLaunch kCacheDaemon = {paths::kCacheDaemon,
                                   "[ERROR] service-ctrl(%d): Failed to start cache daemon",
                                   "[ERROR] service-ctrl(%d): fail to run ServiceCachedStart"};
const DaemonLaunch kAuthDaemon = {paths::kAuthDaemon,
                                  "[ERROR] service-ctrl(%d): Failed to start auth daemon",
                                  "[ERROR] service-ctrl(%d): fail to run ServiceAuthdStart"};
const DaemonLaunch kCleanDaemon = {paths::kCleanDaemon,
                                   "[ERROR] service-ctrl(%d): Failed to start cleaner daemon",
                                   "[ERROR] service-ctrl(%d): fail to run ServiceCleandStart"};
const DaemonLaunch kClientDaemon = {paths::kClientDaemon,
                                    "[ERROR] service-ctrl(%d): Failed to start client daemon",
                                    "[ERROR] service-ctrl(%d): fail to run ServiceClientdStart"};
const DaemonLaunch kSyncDaemon = {paths::kSyncDaemon,
                                  "[ERROR] service-ctrl(%d): Failed to start syncd daemon",
                                  "[ERROR] service-ctrl(%d): fail to run ServiceSyncdStart"};

// A launch result below 0 is a failure: the program could not be started or
// died by a signal.  Logs both messages of the daemon.
bool Launched(const DaemonLaunch& daemon, int result) {
  if (result >= 0) return true;
  Logger::Log(3, kComponent, daemon.inner_message, __LINE__);
  Logger::Log(3, kComponent, daemon.outer_message, __LINE__);
  return false;
}

// Launches the five daemons in order; stops at the first that fails.
bool LaunchDaemons(const ustring& volume) {
  // The cleaner and syncd get the folder of the sync folder data database.
  const std::string sync_db = volume.str() + paths::kSyncFolderDbSuffix;
  const std::string sync_folder = sync_db.substr(0, sync_db.rfind('/'));
  const std::string user_db = volume.str() + paths::kUserDbSuffix;
  int port = kDefaultPort;
  if (GetPort(&port) != 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): Failed get dfvt_port in %s, just use 6690", __LINE__,
                paths::kSettingConf);
    port = kDefaultPort;
  }
  char port_text[8];
  snprintf(port_text, sizeof(port_text), "%d", port);

  if (!Launched(kCacheDaemon,
                TLIBCExec(kCacheDaemon.program, nullptr, nullptr, nullptr, nullptr))) {
    return false;
  }
  // Give the cache daemon a moment to open its socket before its first
  // clients come up.
  sleep(1);
  return Launched(kAuthDaemon,
                  TLIBCExec(kAuthDaemon.program, nullptr, nullptr, nullptr, nullptr)) &&
         Launched(kCleanDaemon, TLIBCExec(kCleanDaemon.program, sync_folder.c_str(), nullptr,
                                          nullptr, nullptr)) &&
         Launched(kClientDaemon,
                  TLIBCExec(kClientDaemon.program, nullptr, nullptr, nullptr, nullptr)) &&
         Launched(kSyncDaemon, RunProgram(7, kSyncDaemon.program, "-c", sync_folder.c_str(), "-p",
                                          port_text, "-u", user_db.c_str()));
}

// Records the start in the log database of the database volume.  Failures
// are logged only: the service runs already.
void RecordEnableInLogDatabase() {
  ustring volume;
  if (GetDbVolume(&volume) != 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): cannot get conf vol", __LINE__);
    return;
  }
  if (db::LogManager::Initialize(paths::HostPath(volume.str() + paths::kSyncFolder)) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to initialize log db", __LINE__);
    return;
  }
  db::Log log;
  log.params.push_back("1");
  if (db::LogManager::InsertLog(log) != 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to write dfvt enable log",
                __LINE__);
  }
  db::LogManager::Destroy();
}

bool SetStatusOrLog(const char* word) {
  if (SetServiceStatus(word) == 0) return true;
  Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): failed to set service status to '%s'",
              __LINE__, word);
  return false;
}

}  // namespace

int StartService() {
  if (!IsPackageEnabled()) {
    Logger::Log(6, kComponent, "[INFO] service-ctrl(%d): package is not enabled", __LINE__);
    return 0;
  }
  if (AlreadyRunning()) return 0;

  Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): change service status to initializing...",
              __LINE__);
  if (!SetStatusOrLog("initializing")) return -1;
  // Marks of an earlier run that ended without cleaning up.
  for (const char* mark : kStaleMarks) unlink(paths::HostPath(mark).c_str());

  if (!CheckEnvironment()) return -1;
  ustring volume;
  if (!LocateDbVolume(&volume)) return -1;

  for (const char* folder : {paths::kRepoFolder, paths::kSyncFolder, paths::kClientdFolder}) {
    FSMKDir(paths::HostPath(volume.str() + folder), true);
  }
  FSMKDir(paths::HostPath(paths::kPackageLogDir), true);
  Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): database will be placed at '%s'", __LINE__,
              volume.c_str());

  if (TLIBCFileSetKeyValue(paths::kSettingConf, "dfvt_enable", "1", kSettingLineFormat) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): failed to set dfvt_enable=1 in %s (skipping)", __LINE__,
                paths::kSettingConf);
  }
  if (TLIBCExec(paths::kRelayProgram, "-a", kRelayName, nullptr, nullptr) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to register relay service",
                __LINE__);
  }
  if (TARNServiceVolumeRegister(kServiceName, volume.c_str(), 1) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): TARNServiceVolumeRegister(DriftVault): Error code = %d",
                __LINE__, TLIBCErrGet());
  }
  if (RunUpdater(volume) < 0) {
    // The updater's run has left the word that says why.
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): failed to upgrade database", __LINE__);
    return -1;
  }

  // The sync folder data database is created when the first account is
  // enabled: until then this counts as a first installation (granting the
  // rule again is harmless, an identical rule is never added twice).
  if (!TLIBCFileExist((volume.str() + paths::kSyncFolderDbSuffix).c_str())) {
    Logger::Log(7, kComponent,
                "[DEBUG] service-ctrl(%d): first time installation, add default application "
                "privilege",
                __LINE__);
    SDK::AppPrivilege().AddDefaultRule();
  }
  const char* account = getenv(kInstallingAccountVariable);
  if (account != nullptr && account[0] != '\0') {
    Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): enabling account '%s'", __LINE__,
                account);
    EnableAccount(account, volume);
  }

  Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): change service status to enabled...",
              __LINE__);
  if (!SetStatusOrLog("enabled")) return -1;

  if (!LaunchDaemons(volume)) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): failed to launch daemons, stop the service silently",
                __LINE__);
    StopService(0);
    return -1;
  }

  RecordEnableInLogDatabase();
  TARNLogSet1(1, 1, kEventServiceEnabled, kEventSource, "", "", "");
  return 0;
}
