// The names of the platform's shares, for the cache daemon's share list.
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
