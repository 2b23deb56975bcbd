// The user statistics of `service --collect-user-data`: how many client
// sessions each entry of the user database has, printed as one line of JSON
// for the package framework to collect.
#ifndef DRIFT_SERVICE_USER_STATISTICS_H_
#define DRIFT_SERVICE_USER_STATISTICS_H_

// The version member of the printed document.
inline constexpr int kUserStatisticsVersion = 4164;

// Collects the statistics from the open user database (UserManager) and
// prints them on standard output as jsoncpp's FastWriter writes them (members
// in key order, no blanks) with its line end:
//   {"user":[{"session_count":2,"type":0}],"version":4164}
// Names and attributes are not part of it.  0 when printed; -1 when the
// database cannot be read, and then nothing is printed.
int PrintUserStatistics();

#endif  // DRIFT_SERVICE_USER_STATISTICS_H_
