// Path and service questions of the platform access layer.  Calls into the
// platform library run under sdk_mutex; failures are logged and answered with
// -1 or an empty string.
#ifndef DRIFT_PLATFORM_SDK_FUNCTIONS_H_
#define DRIFT_PLATFORM_SDK_FUNCTIONS_H_

#include <string>

namespace SDK {

// The real path of `path` (links resolved inside the system root) in
// *resolved.  Returns 0, or -1 (logged; *resolved untouched).
int ResolvePath(const std::string& path, std::string* resolved);

// The share-bin folder of the volume holding `path` (a share or a volume
// path); empty (logged) when no volume holds it.
std::string GetShareBinPath(const std::string& path);

// The mount point of the volume holding `path`, symbolic links resolved;
// empty (logged) when it cannot be described.
std::string GetVolumePathOf(const std::string& path);

// Whether local users have home folders.
bool IsUserHomeServiceEnabled();

}  // namespace SDK

#endif  // DRIFT_PLATFORM_SDK_FUNCTIONS_H_
