#include "service/service_stop.h"

#include <unistd.h>

#include <string>

#include "base/appliance_paths.h"
#include "base/ustring.h"
#include "cli/logger.h"
#include "package_db/log_manager.h"
#include "platform/platform_lib.h"
#include "service/daemon_control.h"
#include "service/package_state.h"

namespace {

const char kComponent[] = "service_ctrl_debug";

// Platform event raised when the service has been stopped.
constexpr uint32_t kEventServiceStopped = 0x11B01051;

// Name of the service in the platform's registries.
const char kServiceName[] = "DriftVault";
const char kRelayName[] = "driftvault";
const char kEventSource[] = "Drift Vault";

struct StopStep {
  const char* pid_file;
  int wait_seconds;
};

// The client daemon is signalled without waiting before the sync daemon, so
// it winds down while the sync daemon gets its time; the authentication,
// cleaner and cache daemons are signalled without waiting after it.  A second
// pass then waits for those four (a daemon already gone answers that second
// SIGTERM with ESRCH, which removes its pid file).
//
// Every wait tests the daemon right after its SIGTERM and then polls in whole
// seconds, so even daemons that end within a millisecond cost about two
// seconds: one poll for the sync daemon, and one for the first of the last
// three daemons that is still winding down when the second pass reaches it,
// a fraction of a millisecond after its first SIGTERM.
const StopStep kStopSteps[] = {
    {paths::kUpgradingMark, 10},   {paths::kClientDaemonPid, 0}, {paths::kSyncDaemonPid, 20},
    {paths::kAuthDaemonPid, 0},    {paths::kCleanDaemonPid, 0},  {paths::kCacheDaemonPid, 0},
    {paths::kClientDaemonPid, 10}, {paths::kAuthDaemonPid, 10},  {paths::kCleanDaemonPid, 10},
    {paths::kCacheDaemonPid, 10},
};

const char* const kTransientMarks[] = {paths::kDiskFullFreezeMark, paths::kRepoMoveMark,
                                       paths::kUpgradingMark};

// Appends the "service stopped" event to the log database of the database
// volume.  Failures are logged only.
void RecordStopInLogDatabase() {
  db::Log log;
  ustring volume;
  if (GetDbVolume(&volume) != 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): cannot get conf vol\n", __LINE__);
    return;
  }
  const std::string folder = paths::HostPath(volume.str() + paths::kSyncFolder);
  if (db::LogManager::Initialize(folder) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to initialize log db\n", __LINE__);
    return;
  }
  log.params.push_back("0");
  if (db::LogManager::InsertLog(log) != 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to write dfvt enable log\n",
                __LINE__);
  }
  db::LogManager::Destroy();
}

}  // namespace

int StopService(int record) {
  ustring status;
  GetServiceStatus(&status);
  if (status == "moving_db") {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): service database is moving, abort\n",
                __LINE__);
    return -1;
  }

  for (const StopStep& step : kStopSteps) StopDaemonByPidFile(step.pid_file, step.wait_seconds);

  SetServiceStatus("disabled");
  for (const char* mark : kTransientMarks) unlink(paths::HostPath(mark).c_str());

  if (TLIBCFileSetKeyValue(paths::kSettingConf, "dfvt_enable", "0", "%s=\"%s\"\n") < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): failed to set dfvt_enable=0 in %s (skipping)\n",
                __LINE__, paths::kSettingConf);
  }
  if (TARNServiceVolumeUnregister(kServiceName, 1) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] service-ctrl(%d): TARNServiceVolumeUnregister(DriftVault): Error code = "
                "%d\n",
                __LINE__, TLIBCErrGet());
  }
  // While the package is still enabled (a restart, or a failed start taking
  // itself down) the relay registration must stay.
  if (!IsPackageEnabled() &&
      TLIBCExec(paths::kRelayProgram, "-r", kRelayName, nullptr, nullptr) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Failed to unregister relay service\n",
                __LINE__);
  }

  if (record == 0) return 0;
  RecordStopInLogDatabase();
  TARNLogSet1(1, 1, kEventServiceStopped, kEventSource, "", "", "");
  return 0;
}
