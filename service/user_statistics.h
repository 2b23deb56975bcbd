// The user statistics of `service --collect-user-data`: how many client
// sessions each entry of the user database has, printed as one line of JSON
// for the package framework to collect.
#ifndef DRIFT_SERVICE_USER_STATISTICS_H_
#define DRIFT_SERVICE_USER_STATISTICS_H_

#include <string>
#include <vector>

#include "userdb/user_manager.h"

// The version member of the printed document.
inline constexpr int kUserStatisticsVersion = 4164;

// The document for `usages`, as jsoncpp's FastWriter writes it (members in
// key order, no blanks) with its line end:
//   {"user":[{"session_count":2,"type":0}],"version":4164}
// Names and attributes are not part of it.
std::string FormatUserStatistics(const std::vector<UserUsage>& usages);

// Collects the statistics from the open user database (UserManager) and
// prints the document on standard output.  0 when printed; -1 when the
// database cannot be read, and then nothing is printed.
int PrintUserStatistics();

#endif  // DRIFT_SERVICE_USER_STATISTICS_H_
