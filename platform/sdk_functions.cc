#include "platform/sdk_functions.h"

#include "cli/logger.h"
#include "platform/file_system_property.h"
#include "platform/platform_lib.h"
#include "platform/sdk_mutex.h"

namespace SDK {
namespace {
constexpr char kComponent[] = "default_component";
constexpr int kResolveBufferSize = 4095;
constexpr int kShareBinBufferSize = 256;
}  // namespace

int ResolvePath(const std::string& path, std::string* resolved) {
  char buffer[kResolveBufferSize] = {0};
  SdkLockGuard lock;
  if (TARNPathResolve(path.c_str(), buffer, sizeof(buffer)) == nullptr) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TARNPathResolve(%s): Error code %d\n",
                __LINE__, path.c_str(), TLIBCErrGet());
    return -1;
  }
  *resolved = buffer;
  return 0;
}

std::string GetShareBinPath(const std::string& path) {
  char buffer[kShareBinBufferSize] = {0};
  SdkLockGuard lock;
  if (TARNShareBinPathGet(path.c_str(), buffer, sizeof(buffer)) < 0) {
    Logger::Log(3, kComponent, "[ERROR] sdk-cpp(%d): TARNShareBinPathGet(%s): Error code %d\n",
                __LINE__, path.c_str(), TLIBCErrGet());
    return std::string();
  }
  return buffer;
}

std::string GetVolumePathOf(const std::string& path) {
  FileSystemProperty fs;
  if (fs.Init(path, true) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] sdk-cpp(%d): Failed to get file system property from '%s'\n", __LINE__,
                path.c_str());
    return std::string();
  }
  return fs.mount_path();
}

bool IsUserHomeServiceEnabled() {
  SdkLockGuard lock;
  return TARNServiceUserHomeIsEnabled(1, 0) == 1;
}

}  // namespace SDK
