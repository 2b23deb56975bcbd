// The platform calls of the appliance that the tool and its programs use.
//
// On the appliance these come from the platform's own C libraries; on any
// other Linux host the project's host_platform library implements them from
// small files below the system root (DRIFT_ROOT).  Every path argument is an
// appliance path; the implementation maps it onto the host when it opens a
// file.  Paths given back (share paths, volume paths, resolved paths) are
// appliance paths too.
//
// General rules:
// * Calls that fail set the thread's last platform error (TLIBCErrGet) to one
//   of the TLIB_ERR_* codes below; a successful call leaves it unchanged.
// * "Below 0" means failure; "below 1" for the getters of counts and pids
//   means "nothing there" (missing key, no valid pid).
// * Records handed out by *Get calls are owned by the caller and released
//   with the matching *Free call (which accepts null).
// * No call throws.
//
// The appliance's user and share library is not thread-safe, so callers
// serialise those two families under their own lock (SDK::sdk_mutex); the
// host implementation keeps no shared state and does not depend on it.
#ifndef DRIFT_PLATFORM_PLATFORM_LIB_H_
#define DRIFT_PLATFORM_PLATFORM_LIB_H_

#include <stdint.h>

namespace Json {
class Value;
}

// ---------------------------------------------------------------------------
// Errors: the last platform error code of the calling thread.
// TLIBCErrGet returns it (TLIB_ERR_NONE when no call has failed yet).
// TLIBCErrSetEx records `code` with the source file and line of the failure.
enum {
  TLIB_ERR_NONE = 0x0000,
  TLIB_ERR_OUT_OF_MEMORY = 0x0100,
  TLIB_ERR_FILE_OPEN = 0x0900,   // file missing or cannot be opened
  TLIB_ERR_FILE_READ = 0x0A00,   // read failed, or the file is too large
  TLIB_ERR_FILE_WRITE = 0x0B00,  // write, fsync or rename failed
  TLIB_ERR_BUFFER_TOO_SMALL = 0x0C00,
  TLIB_ERR_BAD_PARAMETERS = 0x0D00,
  TLIB_ERR_NOT_FOUND = 0x1400,   // no such key, user, share or volume
  TLIB_ERR_BAD_FORMAT = 0x1500,  // malformed file content (JSON, pid file)
  TLIB_ERR_NOT_MOUNTED = 0x1600,
  TLIB_ERR_SYSTEM = 0x1700,  // a system call failed (see errno in logs)
  TLIB_ERR_EXEC = 0x2A00,    // a program could not be launched (10752)
};

int TLIBCErrGet(void);
void TLIBCErrSetEx(int code, const char* file, int line);

// ---------------------------------------------------------------------------
// Key/value files: lines `key="value"` (unquoted values accepted on reading).
//
// TLIBCFileGetKeyValue: copies the value of `key` (NUL-terminated) into
//   `buffer` of `size` bytes; `flags` must be 0.  Returns the value's length
//   in bytes (>= 1) when found; 0 when the key is missing or its value is
//   empty (buffer set to ""); -1 when the file cannot be read or the value
//   does not fit the buffer (length + 1 > size).
// TLIBCFileSetKeyValue: sets `key` to `value`, replacing the file atomically
//   and keeping every other line as it was.  `line_format` is a printf-like
//   format with exactly two "%s" (key, then value), e.g. "%s=\"%s\"\n"; null
//   means the default format `key="value"`.  Returns 0, or -1 on failure (the
//   file is then unchanged).  A value may not contain a line end.
// TLIBCFileExist: 1 when the path exists, 0 otherwise.
int TLIBCFileGetKeyValue(const char* path, const char* key, char* buffer, int size, int flags);
int TLIBCFileSetKeyValue(const char* path, const char* key, const char* value,
                         const char* line_format);
int TLIBCFileExist(const char* path);

// ---------------------------------------------------------------------------
// Processes.
//
// TLIBCReadPidFile: the pid written in the file (decimal, optional blanks and
//   line end); -1 (below 1) when the file is missing, empty, malformed, or
//   names a pid <= 1 or beyond the kernel's pid range.  Never returns pid 1.
// TLIBCProcAlive: non-zero when a process with this pid exists (also when it
//   belongs to another user); 0 when not, and always 0 for pid <= 1.
// TLIBCExec: runs `program` (absolute appliance path) with up to four
//   argument texts (the first null ends the list), detached from the terminal
//   (new session, standard streams on /dev/null, working folder "/", only
//   PATH in the environment) and waits for it.  Returns its exit status
//   (>= 0); -1 when it could not be started (missing or not executable
//   program, fork failure) or ended by a signal.
// TLIBCFileCloseLock: for a freshly forked child: closes every descriptor
//   above standard error, so that the child keeps none of the parent's lock
//   files (and their flock locks) alive.  Async-signal-safe.  Returns 0.
int TLIBCReadPidFile(const char* path);
int TLIBCProcAlive(int pid);
int TLIBCExec(const char* program, const char* arg1, const char* arg2, const char* arg3,
              const char* arg4);
int TLIBCFileCloseLock(void);

// ---------------------------------------------------------------------------
// Device and service switches (from the device's tarninfo.conf).
// Each answers 1 when the switch is "yes", 0 otherwise (also when the file or
// key is missing or the kind is unknown).
//
// TARNServiceUserHomeIsEnabled: kind 1 local users, 2 domain users, 8 LDAP
//   users; `flags` must be 0.
// TLIBServiceIsEnabled: the platform service `name` (e.g. "winbindd").
int TLIBCIsPocketUnit(void);
int TARNServiceUserHomeIsEnabled(int kind, int flags);
int TLIBServiceIsEnabled(const char* name);
int TARNWinsIsJoined(void);
int TARNLDAPIsBinded(void);

// Service-volume registry: which volume a package service keeps its data on.
// Register: 0, or -1 on failure.  Unregister: 0 (also when the service was
// not registered), or -1 on failure.  `flags` is passed as 1 and not used.
int TARNServiceVolumeRegister(const char* service, const char* volume, int flags);
int TARNServiceVolumeUnregister(const char* service, int flags);

// ---------------------------------------------------------------------------
// Volumes.
enum {
  TARN_PATH_MAX = 4096,
  TARN_VOLUME_TYPE_USB = 4,  // external disk: share-bin below "/@sharebin"
};

struct TarnVolumeInfo {
  char path[TARN_PATH_MAX];  // mount path, e.g. "/volume1"
  int type;                  // platform volume type (2 an internal data volume, 4 USB)
  int mounted;               // 1 when the volume's folder exists
  int writable;              // 1 when this process may write it
};

struct TarnVolumeList {
  int count;
  TarnVolumeInfo* volumes;  // `count` entries in the platform's order
};

// TARNMountVolInfoGet: 0 and `info` filled for the mounted volume holding
//   `path` (longest listed volume path that is a prefix of it); -1 when no
//   listed volume holds the path or that volume is not mounted.
// TARNMountVolAllEnum: every listed volume in order (mounted or not); null on
//   failure (missing or malformed volume list).  `flags` and `reserved` are
//   0; `kind` (1, or 4 on the portable unit) does not filter here.
// TARNMountVolInfoFree: releases a list (null accepted).
int TARNMountVolInfoGet(const char* path, TarnVolumeInfo* info);
TarnVolumeList* TARNMountVolAllEnum(int flags, int kind, int reserved);
void TARNMountVolInfoFree(TarnVolumeList* list);

// ---------------------------------------------------------------------------
// Users (local passwd accounts; names may contain '@' or '\').
struct TarnUserInfo {
  char* name;
  uint32_t uid;
  uint32_t gid;
  char* home;      // home folder, an appliance path
  int32_t expire;  // account expiry day (days since 1970-01-01); -1 never
};

// TARNUserGet / TARNUserGetByUID: 0 and a new record in *user; -1 when the
//   user is unknown or the account files cannot be read (*user = null).
// TARNUserFree: releases a record (null accepted).
// TARNUserIsExpired: non-zero when an expiry day (as in TarnUserInfo) has
//   begun; 0 for -1 (never) and 0 (unset).
// TARNUserCheckExpired: non-zero when the named account is expired; 0 when it
//   is not, has no expiry, or cannot be looked up.
int TARNUserGet(const char* name, TarnUserInfo** user);
int TARNUserGetByUID(uint32_t uid, TarnUserInfo** user);
void TARNUserFree(TarnUserInfo* user);
int TARNUserIsExpired(int32_t expire);
int TARNUserCheckExpired(const char* name);

// ---------------------------------------------------------------------------
// Shares.
enum {
  TARN_SHARE_STATUS_NOT_MOUNTED = 0x1,  // with ENCRYPTED: locked encrypted share
  TARN_SHARE_STATUS_ENCRYPTED = 0x2,
  TARN_SHARE_STATUS_BIT3 = 0x8,
  TARN_SHARE_STATUS_RECYCLE_BIN = 0x100,
  TARN_SHARE_STATUS_RECYCLE_ADMIN_ONLY = 0x200,
  TARN_SHARE_STATUS_WIN_ACL = 0x800,
  TARN_SHARE_STATUS_SKIP_SMB_PERM = 0x1000,
  TARN_SHARE_STATUS_BIT14 = 0x4000,

  TARN_SHARE_TYPE_USB = 4,
  TARN_SHARE_TYPE_SATA = 8,
  TARN_SHARE_TYPE_GLUSTER = 64,

  // Answers of TLIBShareUserRightGet.
  TARN_SHARE_RIGHT_READ_ONLY = 1,
  TARN_SHARE_RIGHT_READ_WRITE = 2,
  TARN_SHARE_RIGHT_NO_ACCESS = 4,

  TARN_SHARE_KEY_SIZE = 64,
};

struct TarnSzList;  // a list of texts, see the application privileges

struct TarnShareInfo {
  char* name;
  char* path;       // appliance path of the share folder
  uint32_t status;  // TARN_SHARE_STATUS_* bits
  int type;         // TARN_SHARE_TYPE_* or 0 for an ordinary share
};

// TARNShareGet: 0 and a new record in *share; -1 when the share is unknown or
//   the share list is missing or malformed (*share = null).
// TARNShareFree: releases a record (null accepted).
// TARNShareEnum: the names of all shares, in the platform's order and without
//   repeats, in a new list *names (released with TLIBCSzListFree); the number
//   of names, or -1 when the share list is missing or malformed (*names =
//   null).
// TARNShareBinPathGet: writes the share-bin folder of the volume holding
//   `path` (the volume path; for USB volumes volume path + "/@sharebin");
//   0, or -1 when no listed volume holds the path or the buffer is too small.
// TARNPathResolve: the real path of `path` (links resolved inside the system
//   root) in `buffer`; returns `buffer`, or null when a component is missing,
//   the links loop, or the buffer is too small.
// TLIBShareEncryptPathGet: the folder holding an encrypted share's data; 0, or
//   -1 when the share is unknown or names none.
// TARNShareEncDefaultKeyFileRead: reads the share's 64-byte key into `key`
//   (`size` >= 64); 0, or -1 when the share is unknown, has no key file, or the
//   file holds fewer than 64 bytes.
int TARNShareGet(const char* name, TarnShareInfo** share);
void TARNShareFree(TarnShareInfo* share);
int TARNShareEnum(TarnSzList** names);
int TARNShareBinPathGet(const char* path, char* buffer, int size);
char* TARNPathResolve(const char* path, char* buffer, int size);
int TLIBShareEncryptPathGet(const char* name, char* buffer, int size);
int TARNShareEncDefaultKeyFileRead(const char* name, char* key, int size);

// Share attribute getters: 0 and *value set to 1 or 0; -1 on a null record or
// null value (then *value is left alone).
//   IsWinShare: Windows ACL share (status 0x800).
//   IsSkipSmbPerm: status 0x1000.  RecycleStatus: 0x100.
//   RecycleAdminOnlyStatus: 0x200.  IsEncryption: encrypted share (0x2).
//   IsEncrypted: encrypted and locked, i.e. not mounted (0x1 and 0x2 both).
int TLIBShareIsWinShareGet(const TarnShareInfo* share, int* value);
int TLIBShareIsSkipSmbPermGet(const TarnShareInfo* share, int* value);
int TLIBShareRecycleStatusGet(const TarnShareInfo* share, int* value);
int TLIBShareRecycleAdminOnlyStatusGet(const TarnShareInfo* share, int* value);
int TLIBShareIsEncryptionGet(const TarnShareInfo* share, int* value);
int TLIBShareIsEncryptedGet(const TarnShareInfo* share, int* value);
// 1 for a Gluster share (type 64), 0 otherwise (also for null).
int TLIBIsGlusterShare(const TarnShareInfo* share);
// 1 when the share is registered read-only by `name` (a package), 0 when not,
// -1 when the share is unknown or the share list cannot be read.
int TARNShareAttrReadOnlyIsRegBy(const char* share_name, const char* name);
// The user's right on the share: TARN_SHARE_RIGHT_* (NO_ACCESS when the share
// grants the user nothing); -1 when the user is unknown or the share list
// cannot be read.
int TLIBShareUserRightGet(const char* user, const TarnShareInfo* share);

// ---------------------------------------------------------------------------
// Application privileges.
struct TarnSzList {
  int count;
  int capacity;
  char** items;
};

struct TarnAppPrivRule {
  int type;           // 2: everyone
  int id;             // user or group id for the other types; 0 for everyone
  char* app;          // application id, heap (malloc/strdup); freed with the rule
  TarnSzList* allow;  // allowed client addresses; "0.0.0.0" means any
};

// TLIBAppPrivRuleAlloc: a zeroed rule with an empty address list; null when
//   out of memory.
// TLIBCSzListPush: appends a copy of `text` to *list (allocating the list when
//   *list is null); 0, or -1 on failure.
// TLIBCSzListFree: frees a list and its texts (null accepted).
// TLIBAppPrivRuleSetOne: stores the rule in the platform's rule set: a rule of
//   the same type, id and application is replaced, an identical rule is left
//   as it is (never added twice).  0, or -1 (malformed rule file, write
//   failure, bad rule); on failure the rule set is unchanged.
// TLIBAppPrivRuleFree: frees the rule, its application id and its list.
TarnAppPrivRule* TLIBAppPrivRuleAlloc(void);
int TLIBCSzListPush(TarnSzList** list, const char* text);
void TLIBCSzListFree(TarnSzList* list);
int TLIBAppPrivRuleSetOne(const TarnAppPrivRule* rule);
void TLIBAppPrivRuleFree(TarnAppPrivRule* rule);

// ---------------------------------------------------------------------------
// Event log: appends one line (time, type, level, event code in hex, the four
// texts) to the platform's event log and sends it to the system log.
// Returns 0, or -1 when the event log cannot be written (the system log
// message is sent in any case).  Null texts count as "".
int TARNLogSet1(int type, int level, uint32_t code, const char* text1, const char* text2,
                const char* text3, const char* text4);

// ---------------------------------------------------------------------------
// Web utilities.
namespace WebUtils {
// Non-zero when some process of the host listens on a TCP port of
// [first, last] (IPv4 or IPv6), or when the range is invalid (outside
// 1..65535 or first > last); 0 when every port of the range is free.
// `service` names the asking service (for messages only).
int IsPortConflict(const char* service, int first, int last);
}  // namespace WebUtils

// The storage volume list.
namespace TARN {
namespace HXA {
namespace STORAGE_WEBUTILS {

class Volume {
 public:
  Volume() = default;
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // On success returns true and sets `out` to an object whose array member
  // "volume_list" holds, for every listed volume in order, an object with
  // "mount_point" (text), "type" (integer), "mounted" and "writable"
  // (booleans).  Returns false (out untouched) when the volume list is missing
  // or malformed.  `with_detail` adds nothing here.
  bool VolumeListGet(Json::Value& out, bool with_detail);
};

}  // namespace STORAGE_WEBUTILS
}  // namespace HXA
}  // namespace TARN

#endif  // DRIFT_PLATFORM_PLATFORM_LIB_H_
