#include "messaging/pstream_errors.h"

namespace {

// Entry k is the text of code -k.  The texts are read by the daemons' peers
// and by administrators in logs: keep them byte for byte, spelling included.
const char* const kMessages[kPStreamErrorCount] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "ZOS disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
    "file locked or no permission",
    "ssl certificate verify fail",
    "ssl certificate changed",
    "permission is read-only",
    "no permission to access",
    "retry server download on local modified",
    "server enc share not mounted",
    "sync folder not mounted",
    "sync folder not mounted",
    "no access permission",
    "build number changed",
    "file too big",
    "IP is not allowed",
    "database id is changed",
    "Otp required",
    "user max tries",
    "Invalid otp",
    "Otp enforced",
    "Share quota full",
};

}  // namespace

const char* PStreamErrorMessage(int code) {
  if (code > 0 || code <= -kPStreamErrorCount) return "Unknown error";
  return kMessages[-code];
}
