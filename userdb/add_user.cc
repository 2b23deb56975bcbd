// Adding a user entry: the platform lookups that give uid, gid and watch
// path, then one transaction that inserts the row with the next view id and
// advances the counter.
#include <sqlite3.h>
#include <string.h>

#include <string>

#include "base/appliance_paths.h"
#include "base/file_utils.h"
#include "cli/logger.h"
#include "platform/sdk_functions.h"
#include "platform/sdk_share.h"
#include "platform/sdk_user.h"
#include "userdb/user_manager.h"

namespace {

const char kComponent[] = "user_mgr_debug";

// The statement is formatted into a buffer of this size.
const size_t kSqlBufferSize = 1024;

// The insert takes the view id from the counter row and the update advances
// the counter only when the insert added a row (changes() = 1), so an entry
// whose name exists already (names compare without ASCII case) consumes no
// id.  Both run in one transaction under the database lock, so no two
// processes ever hand out the same id.
const char kAddUserSql[] =
    "BEGIN;"
    "INSERT OR IGNORE INTO user_table (name, attribute, view_id, uid, gid, user_type, watch_path) "
    "VALUES (%Q, %d, (SELECT value FROM config_table WHERE key = 'view_id'), %u, %u, %u, %Q);"
    "UPDATE config_table SET value = value + 1 WHERE changes() = 1 AND key = 'view_id';"
    "END;";

// Whether something is at the appliance path `home`, the last component not
// followed (a dangling link exists).  The folders above it are resolved
// inside the system root, where an absolute link target restarts at the root;
// the host's own lstat() would follow such a link to the host's "/".
bool HomeExists(const std::string& home) {
  if (home.empty() || home[0] != '/') return false;
  std::string path = home;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/") return true;
  const size_t slash = path.rfind('/');
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  std::string resolved_parent;
  if (!paths::ResolvePath(parent, &resolved_parent)) return false;
  if (resolved_parent.empty() || resolved_parent.back() != '/') resolved_parent += '/';
  return FileExists(paths::HostPath(resolved_parent + path.substr(slash + 1)));
}

}  // namespace

int UserManager::LookUpShareEntry(const ustring& name, int use_cache, int* attribute,
                                  ustring* watch_path) {
  // "@" + share name; without a share name there is no share to look up.
  const std::string share_name = name.empty() ? std::string() : name.substr(1).str();
  if (share_name.empty()) {
    Logger::Log(3, kComponent,
                "[ERROR] user-mgr(%d): UserManager::AddUser: failed to open share %s", __LINE__,
                share_name.c_str());
    return -1;
  }
  SDK::Share share;
  if (share.Open(share_name, use_cache != 0) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] user-mgr(%d): UserManager::AddUser: failed to open share %s", __LINE__,
                share_name.c_str());
    return -1;
  }
  *attribute = share.IsEncryption() ? kUserAttributeEncryptedShare : 0;

  // The watch path always comes from the platform itself, never from a cached
  // record.
  SDK::Share direct;
  if (direct.Open(share_name, false) < 0) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): TARNShareGet failed: '%s'", __LINE__,
                share_name.c_str());
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): get watch path failed", __LINE__);
    return -1;
  }
  *watch_path = direct.GetPath();
  return 0;
}

int UserManager::LookUpUserEntry(const ustring& name, int use_cache, uint32_t* uid, uint32_t* gid,
                                 ustring* watch_path) {
  SDK::User user;
  if (user.Open(name.str(), use_cache != 0) < 0) {
    Logger::Log(3, kComponent,
                "[ERROR] user-mgr(%d): UserManager::AddUser: failed to open user %s", __LINE__,
                name.c_str());
    return -1;
  }
  *uid = user.GetUid();
  *gid = user.GetGid();
  const std::string home = user.GetHomePath();
  // A user without a home folder is still added; the sync daemon then has
  // nothing to watch for it.
  if (!HomeExists(home)) {
    *watch_path = "";
    return 0;
  }
  std::string resolved;
  if (SDK::ResolvePath(home, &resolved) < 0) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): TARNPathResolve: failed", __LINE__);
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): get watch path failed", __LINE__);
    return -1;
  }
  *watch_path = resolved + paths::kHomeSyncFolder;
  return 0;
}

int UserManager::AddUser(const ustring& name, int user_type, int use_cache) {
  if (db == nullptr) return -1;
  DatabaseLockGuard guard(lock, &mutex);

  int attribute = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  ustring watch_path;
  const int found = user_type == kUserTypeShare
                        ? LookUpShareEntry(name, use_cache, &attribute, &watch_path)
                        : LookUpUserEntry(name, use_cache, &uid, &gid, &watch_path);
  if (found < 0) return -1;

  // One byte beyond the 1024-byte statement buffer tells a statement that
  // fills it from one cut off.
  char sql[kSqlBufferSize + 1];
  sqlite3_snprintf(sizeof(sql), sql, kAddUserSql, name.c_str(), attribute, uid, gid,
                   static_cast<unsigned>(user_type), watch_path.c_str());
  // A statement cut off by the buffer would run its BEGIN and then fail.
  if (strlen(sql) >= kSqlBufferSize) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): UserManager::AddUser: entry too long: %s",
                __LINE__, name.c_str());
    return -1;
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): UserManager::AddUser: sqlite3_exec(%d): %s",
                __LINE__, rc, error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    // A script that stopped after its BEGIN would keep the write lock and
    // block the daemons until Close.
    if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return -1;
  }
  // The changes of the last statement: the counter update, 1 only when the
  // insert took place.
  return sqlite3_changes(db);
}
