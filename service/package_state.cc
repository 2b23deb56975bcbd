#include "service/package_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "base/appliance_paths.h"
#include "base/file_utils.h"
#include "cli/logger.h"
#include "platform/platform_lib.h"
#include "service/daemon_control.h"

namespace {

const char kComponent[] = "service_ctrl_debug";
const char kSettingLineFormat[] = "%s=\"%s\"\n";

// Buffer sizes of the key/value reads: a status word of at most 31 bytes, a
// port, a volume path.
constexpr int kStatusBufferSize = kMaxStatusWordLength + 1;
constexpr int kPortBufferSize = 256;
constexpr int kVolumeBufferSize = 1024;

// The leading decimal digits of `text` as a port, or -1 when it starts with
// none.  Values beyond INT_MAX are clamped rather than overflowed; the port
// check that follows rejects them.
int ParseLeadingDigits(const char* text) {
  if (*text < '0' || *text > '9') return -1;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

}  // namespace

bool IsPackageEnabled() { return access(paths::HostPath(paths::kEnabledMark).c_str(), F_OK) == 0; }

int ReadServiceStatus(ustring* out) {
  if (access(paths::HostPath(paths::kEnableStatus).c_str(), F_OK) != 0) {
    const int err = errno;
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): access(%s): %s (%d)\n", __LINE__,
                paths::kEnableStatus, strerror(err), err);
    *out = "disabled";
    return -1;
  }
  char buffer[kStatusBufferSize] = {0};
  if (TLIBCFileGetKeyValue(paths::kEnableStatus, "status", buffer, sizeof(buffer), 0) < 1) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): TLIBCFileGetKeyValue(%s, status): %d\n",
                __LINE__, paths::kEnableStatus, TLIBCErrGet());
    *out = "error";
    return -1;
  }
  *out = buffer;
  return 0;
}

int SetServiceStatus(const ustring& word) {
  if (TLIBCFileSetKeyValue(paths::kEnableStatus, "status", word.c_str(), nullptr) < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): fail to set service statis to %s",
                __LINE__, word.c_str());
    return -1;
  }
  return 0;
}

int GetServiceStatus(ustring* out) {
  if (!IsPackageEnabled()) {
    *out = "disabled";
    return 0;
  }
  if (ReadServiceStatus(out) != 0) return 0;
  // A running word is only believed while the process behind it lives.
  const char* witness = nullptr;
  if (*out == "updating" || *out == "checking") {
    witness = paths::kUpgradingMark;
  } else if (*out == "enabled") {
    witness = paths::kSyncDaemonPid;
  } else if (*out == "moving_db") {
    witness = paths::kRepoMoveMark;
  }
  if (witness != nullptr && !IsPidFileProcessAlive(witness)) *out = "error";
  return 0;
}

int GetPort(int* out) {
  const int fd =
      open(paths::HostPath(paths::kSettingConfLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): fail to open file lock of %s\n", __LINE__,
                paths::kSettingConf);
    return -1;
  }
  int result = 0;
  {
    CriticalSection section(fd);
    section.Enter();
    char buffer[kPortBufferSize] = {0};
    const int got =
        TLIBCFileGetKeyValue(paths::kSettingConf, "dfvt_port", buffer, sizeof(buffer), 0);
    // A value without leading digits names no port: it is treated like a
    // missing one rather than read as port 0.
    const int port = got < 1 ? -1 : ParseLeadingDigits(buffer);
    if (port < 0) {
      Logger::Log(3, kComponent,
                  "[ERROR] service-ctrl(%d): fail to set getPort, Set default port back %s\n",
                  __LINE__, paths::kSettingConf);
      if (TLIBCFileSetKeyValue(paths::kSettingConf, "dfvt_port",
                               std::to_string(kDefaultPort).c_str(), kSettingLineFormat) < 0) {
        Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): fail to set setPort %s\n", __LINE__,
                    paths::kSettingConf);
        result = -1;
      } else {
        *out = kDefaultPort;
      }
    } else {
      *out = port;
    }
    section.Leave();
  }
  close(fd);
  return result;
}

int CheckPortConflict(int* out) {
  *out = 0;
  int port = 0;
  if (GetPort(&port) != 0) {
    Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): Fail to get dfvt_port\n", __LINE__);
    return -1;
  }
  if (WebUtils::IsPortConflict("driftvault", port, port) != 0) {
    Logger::Log(6, kComponent, "[INFO] service-ctrl(%d): drift vault port '%d' has been used\n",
                __LINE__, port);
    *out = port;
  }
  return 0;
}

int GetDbVolume(ustring* out) {
  char buffer[kVolumeBufferSize] = {0};
  // Only an unreadable file fails: a missing key or an odd value is still
  // "the configured volume", which start then finds unmounted ("dbunexist")
  // instead of choosing a new volume, a road that begins by clearing the
  // repository folders of every volume.
  if (TLIBCFileExist(paths::kDbPathConf) &&
      TLIBCFileGetKeyValue(paths::kDbPathConf, "db-vol", buffer, sizeof(buffer), 0) >= 0) {
    *out = buffer;
    return 0;
  }
  Logger::Log(3, kComponent, "[ERROR] service-ctrl(%d): can not get vol\n", __LINE__);
  return -1;
}

int IsVolumeUsable(const VolumeRecord& volume) {
  if (TLIBCIsPocketUnit() != 0 && volume.type != 1 && volume.type != 2) {
    Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): Not a valid volume: '%s' (type %d)\n",
                __LINE__, volume.path.c_str(), volume.type);
    return 0;
  }
  if (!volume.mounted) {
    Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): Volume is no mounted: '%s'\n", __LINE__,
                volume.path.c_str());
    return 0;
  }
  if (!volume.writable) {
    Logger::Log(7, kComponent, "[DEBUG] service-ctrl(%d): Volume is no writable: '%s'\n", __LINE__,
                volume.path.c_str());
    return 0;
  }
  return 1;
}
