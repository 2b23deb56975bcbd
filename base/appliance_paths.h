// Every fixed path of the appliance that the package opens, and the mapping of
// appliance paths onto the host.
//
// The tool and its programs always speak in appliance paths ("/var/run/x.pid",
// "/volume1/homes"): that is what is stored in configuration and databases,
// printed and handed to child programs.  Only at the moment a file is opened
// is the appliance path turned into a host path by prefixing the system root,
// which is the environment variable DRIFT_ROOT ("/" when unset).  This is the
// only module that knows about that prefix.
#ifndef DRIFT_BASE_APPLIANCE_PATHS_H_
#define DRIFT_BASE_APPLIANCE_PATHS_H_

#include <string>

namespace paths {

// The package.
inline constexpr char kPackageDir[] = "/var/packages/DriftVault";
inline constexpr char kInstallPrefix[] = "/var/packages/DriftVault/target";
inline constexpr char kPackageInfo[] = "/var/packages/DriftVault/INFO";
inline constexpr char kPackageEtcDir[] = "/var/packages/DriftVault/etc";
inline constexpr char kTargetEtcDir[] = "/var/packages/DriftVault/target/etc";
inline constexpr char kEnabledMark[] = "/var/packages/DriftVault/enabled";
inline constexpr char kEnableStatus[] = "/var/packages/DriftVault/etc/enable_status";
inline constexpr char kSettingConf[] = "/var/packages/DriftVault/etc/setting.conf";
inline constexpr char kSettingConfLock[] = "/var/packages/DriftVault/etc/setting.conf.lock";
inline constexpr char kDbPathConf[] = "/var/packages/DriftVault/etc/db-path.conf";
inline constexpr char kUpgradingMark[] = "/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark";
inline constexpr char kDebugSwitchFile[] = "/var/packages/DriftVault/target/etc/syncfolder.debug";

// The package's programs.
inline constexpr char kUpdaterProgram[] = "/var/packages/DriftVault/target/bin/updater-svr";
inline constexpr char kCacheDaemon[] = "/var/packages/DriftVault/target/sbin/drift-cached";
inline constexpr char kAuthDaemon[] = "/var/packages/DriftVault/target/sbin/drift-authd";
inline constexpr char kCleanDaemon[] = "/var/packages/DriftVault/target/sbin/drift-cleand";
inline constexpr char kClientDaemon[] = "/var/packages/DriftVault/target/sbin/tarn-drift-clientd";
inline constexpr char kSyncDaemon[] = "/var/packages/DriftVault/target/sbin/syncd";

// Pid files of the daemons.
inline constexpr char kRunDir[] = "/var/run";
inline constexpr char kCacheDaemonPid[] = "/var/run/drift-cached.pid";
inline constexpr char kAuthDaemonPid[] = "/var/run/drift-authd.pid";
inline constexpr char kCleanDaemonPid[] = "/var/run/drift-cleand.pid";
inline constexpr char kClientDaemonPid[] = "/var/run/drift-clientd.pid";
inline constexpr char kSyncDaemonPid[] = "/var/run/tarnsyncfolder.pid";

// Sockets, locks and marks in /tmp.
inline constexpr char kTmpDir[] = "/tmp";
inline constexpr char kCacheDaemonSocket[] = "/tmp/drift-cached-socket";
inline constexpr char kUserDbLockFile[] = "/tmp/user-mgr-lock-file";
inline constexpr char kLoggerLockFile[] = "/tmp/driftvault_logger_flock";
inline constexpr char kRepoMoveMark[] = "/tmp/sf_repo_mv";
inline constexpr char kDiskFullFreezeMark[] = "/tmp/dfvt_diskfull_freeze_2";

// Logs.
inline constexpr char kLogDir[] = "/var/log";
inline constexpr char kPackageLogDir[] = "/var/log/dfvt";
inline constexpr char kSystemMessages[] = "/var/log/messages";
inline constexpr char kUpstartLogDir[] = "/var/log/upstart";

// Certificates of the package's SSL channels.
inline constexpr char kCertPath[] =
    "/usr/local/etc/certificate/DriftVault/DriftVaultServer/fullchain.pem";
inline constexpr char kKeyPath[] =
    "/usr/local/etc/certificate/DriftVault/DriftVaultServer/privkey.pem";
inline constexpr char kCaPath[] = "/certs.pem";

// Platform programs and files.
inline constexpr char kRelayProgram[] = "/usr/tarn/sbin/tarnrelayd";
inline constexpr char kZipProgram[] = "/usr/tarn/bin/zip";
inline constexpr char kDefaultsVersion[] = "/etc.defaults/VERSION";
inline constexpr char kTarnInfoConf[] = "/etc.defaults/tarninfo.conf";
inline constexpr char kPasswd[] = "/etc/passwd";
inline constexpr char kShadow[] = "/etc/shadow";
inline constexpr char kSharesJson[] = "/etc/tarn/shares.json";
inline constexpr char kVolumesJson[] = "/etc/tarn/volumes.json";
inline constexpr char kServiceVolumesConf[] = "/etc/tarn/service-volumes.conf";
inline constexpr char kAppPrivilegeJson[] = "/etc/tarn/app-privilege.json";
inline constexpr char kRelayConf[] = "/etc/tarn/relay.conf";
inline constexpr char kEventLog[] = "/var/log/tarn-events.log";
inline constexpr char kMountTable[] = "/proc/mounts";

// Below a volume (appended to a volume path such as "/volume1").
inline constexpr char kRepoFolder[] = "/@driftvault";
inline constexpr char kSyncFolder[] = "/@driftvault/@sync";
inline constexpr char kUserDbSuffix[] = "/@driftvault/@sync/user-db.sqlite";
inline constexpr char kClientdFolder[] = "/@driftvault/@clientd";
inline constexpr char kVolumeTmpFolder[] = "/@tmp";
inline constexpr char kShareBinFolder[] = "/@sharebin";
inline constexpr char kHomeSyncFolder[] = "/DriftVault";

// The package's own logs (rotated copies end in "_1", "_2").
inline constexpr char kSyncfolderLog[] = "/var/log/dfvt/syncfolder.log";
inline constexpr char kClientLog[] = "/var/log/dfvt/client.log";
inline constexpr char kCachedLog[] = "/var/log/dfvt/drift-cached.log";

// Databases below a volume, as collected for diagnosis.
inline constexpr char kViewFolderSuffix[] = "/@driftvault/@sync/view";
inline constexpr char kViewDbName[] = "/view-db.sqlite";
inline constexpr char kSyncFileFolderSuffix[] = "/@driftvault/@sync/file";
inline constexpr char kClientdDbSuffix[] = "/@driftvault/@clientd/db.sqlite";
inline constexpr char kSyncFolderDbSuffix[] = "/@driftvault/@sync/syncfolder-db.sqlite";

// A sandbox appliance's own mount table (read instead of the host's
// kMountTable when the system root is not "/"; mount points are appliance
// paths).
inline constexpr char kSandboxMountTable[] = "/etc/tarn/mounts";

// The system root: DRIFT_ROOT without trailing slashes; empty for "/" or when
// the variable is unset or not absolute.
std::string Root();

// The host path of an appliance path: root + path for an absolute path;
// relative paths, and anything under /proc and /dev (the host's own), are
// returned unchanged.
std::string HostPath(const std::string& appliance_path);

// The appliance path of a host path: the path with the root prefix removed;
// a path outside the root is returned unchanged.
std::string AppliancePath(const std::string& host_path);

// Resolves every symbolic link of an absolute appliance path inside the root:
// an absolute link target restarts at the root, never at the host's "/", and
// ".." never climbs above it.  Returns false (errno set) when a component is
// missing or the links loop; on success `resolved` holds the appliance path.
bool ResolvePath(const std::string& appliance_path, std::string* resolved);

// For the package's own programs, which are started with an empty
// environment: derives the root from the real path of the running executable
// (its path minus "/var/packages/DriftVault/target/<dir>/<name>", or for the
// platform's programs minus "/usr/tarn/sbin/<name>" or "/usr/tarn/bin/<name>")
// and exports it as DRIFT_ROOT.  When the executable lies elsewhere DRIFT_ROOT
// is kept.
void AdoptRootFromExecutable();

// The complete drift-control program, relative to the folder above the quick
// one (bin/drift-control), which hands it the commands that need JSON.  It is
// found beside the running program rather than below the root so that a
// build tree and each installed package use their own.
inline constexpr char kCompleteTool[] = "libexec/drift-control-full";

// Host path of the complete drift-control program beside the running
// executable; empty when the running executable's path cannot be read.
std::string CompleteToolPath();

}  // namespace paths

#endif  // DRIFT_BASE_APPLIANCE_PATHS_H_
