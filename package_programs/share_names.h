// The names of the platform's shares, for the cache daemon's share list.
//
// The platform calls of this host (platform/platform_lib.h) look a share up
// by name but have no call that enumerates the shares.  Until the platform
// layer offers one, this module takes the names from the platform's share
// list through the host platform's own JSON reader; it is the only place in
// the daemon that touches a platform file, and it takes nothing from it but
// the names (every name is then looked up through TARNShareGet).
#ifndef DRIFT_PACKAGE_PROGRAMS_SHARE_NAMES_H_
#define DRIFT_PACKAGE_PROGRAMS_SHARE_NAMES_H_

#include <string>
#include <vector>

namespace cached {

// The share names in the platform's order, duplicates dropped.  0, or -1
// when the share list is missing or malformed.
int ListPlatformShareNames(std::vector<std::string>* names);

}  // namespace cached

#endif  // DRIFT_PACKAGE_PROGRAMS_SHARE_NAMES_H_
