// UserManager: the package's user database, one SQLite file on the database
// volume ("<volume>/@driftvault/@sync/user-db.sqlite") that the tool shares
// with the package's daemons.
//
// The class has no instances: one connection per process, held in static
// members, opened by Initialize and closed by Close.  Several processes use
// the file at once, so every record operation and Close runs under the
// database lock: UserManager::mutex (threads of this process), then an
// exclusive flock() on "/tmp/user-mgr-lock-file" (processes), released in the
// opposite order (DatabaseLockGuard).  On top of that SQLite waits up to
// five minutes for a lock held by a process that does not use our lock file.
//
// Paths handed in are appliance paths; the files are opened below the system
// root (paths::HostPath).  Paths stored in the database stay appliance paths.
//
// Failures are logged under the component "user_mgr_debug" and reported as -1;
// nothing throws.
#ifndef DRIFT_USERDB_USER_MANAGER_H_
#define DRIFT_USERDB_USER_MANAGER_H_

#include <pthread.h>
#include <stdint.h>

#include <functional>
#include <vector>

#include "base/ustring.h"

struct sqlite3;
struct sqlite3_stmt;

// Kinds of user_table entries (column user_type).
enum UserType {
  kUserTypeLocal = 0,   // local user of the NAS
  kUserTypeShare = 1,   // shared folder synchronised as a whole, stored as "@" + share name
  kUserTypeLdap = 2,    // LDAP user, the name holds "@"
  kUserTypeDomain = 3,  // Windows domain user, the name holds a backslash
};

// Bits of user_table.attribute that this tool writes.
inline constexpr int kUserAttributeEncryptedShare = 0x8;

// Bit of profile_table.attribute marking the default server profile, and the
// attribute the default profile is created with.
inline constexpr int kProfileAttributeDefault = 0x2;
inline constexpr int kDefaultProfileAttribute = 7;

// The schema version recorded in config_table.
inline constexpr int kUserDbVersion = 4150;

// Time SQLite waits for a lock held by another connection.
inline constexpr int kUserDbBusyTimeoutMs = 300000;

// One row of user_table.
struct UserEntry {
  ustring name;
  int64_t id = 0;
  uint64_t view_id = 0;
  int attribute = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  int user_type = kUserTypeLocal;
  ustring watch_path;  // appliance path; empty when the user has no home folder
};

// One entry of the user statistics: a user_table row with its session count.
// For share entries the name is the bare share name (without the "@").
struct UserUsage {
  int user_type = kUserTypeLocal;
  int attribute = 0;
  ustring name;
  int session_count = 0;
};

class UserManager {
 public:
  // Opens the database at the appliance path `path`, creating the file, its
  // schema, seed rows and the default server profile when missing, then opens
  // the lock file.  Returns 0 when open (also when it already was: nothing
  // else happens then), -1 on failure (the class stays closed).
  static int Initialize(const ustring& path);

  // Closes the connection under the database lock, then the lock file.  Does
  // nothing when closed.
  static void Close();

  // Adds the entry `name` of kind `user_type` with the next view id.  For a
  // share entry the name is "@" + share name.  uid, gid and watch path come
  // from the platform (SDK::User / SDK::Share; `use_cache` non-zero asks the
  // cache daemon).  Returns 1 when inserted, 0 when an entry of that name
  // exists already (names compare without regard to ASCII case; nothing
  // changes then and no view id is used), -1 on failure.
  static int AddUser(const ustring& name, int user_type, int use_cache);

  // Fills `entry` with the entry called `name` (ASCII case ignored) that is
  // not a share entry.  0 whether found or not (not found: `entry` untouched),
  // -1 on failure.
  static int GetUserByName(const ustring& name, UserEntry* entry);

  // The rotation setting of a view (view 0 holds the package-wide default).
  // 1 and both outputs set when a row exists, 0 when none (outputs
  // untouched), -1 on failure.
  static int QueryRotateSettingTable(uint64_t view_id, int* count, ustring* policy);

  // Appends one UserUsage per user_table row, in id order.  0, or -1 on
  // failure (what was appended before the failure stays).
  static int CollectUserData(std::vector<UserUsage>* usages);
  // The same rows handed one at a time to `row` (under the database lock),
  // so that a caller that keeps less than the whole entry need not hold them
  // all.  0, or -1 on failure (the rows before the failure were handed on).
  static int ForEachUserUsage(const std::function<void(const UserUsage&)>& row);

  // State, for callers that need to know and for tests.
  static bool IsOpen() { return db != nullptr; }
  static int LockDescriptor() { return lock; }
  static const ustring& Seed() { return seed; }

 private:
  UserManager() = delete;

  // Reads one user_table row (name, id, view_id, attribute, uid, gid,
  // user_type, watch_path) into `entry`.  A share row must be named "@" +
  // share name; the "@" is removed.  0, or -1 for a malformed share row.
  // REQUIRES: database lock held.
  static int ReadUserRow(sqlite3_stmt* stmt, UserEntry* entry);

  // Works out attribute, uid, gid and watch path of a new entry from the
  // platform.  REQUIRES: database lock held.
  static int LookUpShareEntry(const ustring& name, int use_cache, int* attribute,
                              ustring* watch_path);
  static int LookUpUserEntry(const ustring& name, int use_cache, uint32_t* uid, uint32_t* gid,
                             ustring* watch_path);

  static sqlite3* db;            // null while closed
  static int lock;               // lock-file descriptor; -1 while closed
  static pthread_mutex_t mutex;  // initialised while open
  static ustring seed;           // decimal text of a number drawn at Initialize
  static int g_is_cached;
};

#endif  // DRIFT_USERDB_USER_MANAGER_H_
