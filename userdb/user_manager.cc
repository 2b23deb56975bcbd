// Opening and closing the user database: the schema script, the default
// server profile and the lock file.
#include "userdb/user_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "base/appliance_paths.h"
#include "base/file_utils.h"
#include "cli/logger.h"

sqlite3* UserManager::db = nullptr;
int UserManager::lock = -1;
pthread_mutex_t UserManager::mutex = PTHREAD_MUTEX_INITIALIZER;
ustring UserManager::seed;
int UserManager::g_is_cached = 0;

namespace {

const char kComponent[] = "user_mgr_debug";

// The whole schema in one script.  Every statement is "IF NOT EXISTS" or
// "INSERT OR IGNORE", so running it on an existing database changes nothing;
// BEGIN IMMEDIATE takes SQLite's write lock at once, which serialises two
// processes creating the schema at the same moment (the lock file is not open
// yet at this point).  Existing databases carry the type name "INTEGAR" of
// profile_apply_table.user_id; it stays for identical schemas.
const char kSchemaScript[] =
    "BEGIN IMMEDIATE TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS user_table ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "attribute INTEGER, "
    "view_id INTEGER, "
    "name VARCHAR COLLATE NOCASE UNIQUE, "
    "uid INTEGER, "
    "gid INTEGER, "
    "user_type INTEGER NOT NULL, "
    "watch_path VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS session_table ("
    "uid INTEGER REFERENCES user_table (id), "
    "attribute INTEGER DEFAULT 0, "
    "group_id INTEGER, "
    "client VARCHAR, "
    "ip VARCHAR, "
    "ctime DATETIME DEFAULT (strftime('%s','now')), "
    "sess_id VARCHAR UNIQUE ON CONFLICT ABORT, "
    "client_type INTEGER DEFAULT 0, "
    "client_platform VARCHAR DEFAULT 'Unknown');"
    "CREATE TABLE IF NOT EXISTS backup_task_table ("
    "session VARCHAR, "
    "view_id INTEGER, "
    "relative_path VARCHAR, "
    "is_readonly INTEGER);"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "key VARCHAR UNIQUE ON CONFLICT ABORT, "
    "value VARCHAR);"
    "CREATE TABLE IF NOT EXISTS profile_table ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "name VARCHAR NOT NULL, "
    "context VARCHAR NOT NULL DEFAULT '{}', "
    "attribute INTEGER DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS profile_apply_table ("
    "profile_id INTEGER, "
    "user_id INTEGAR, "
    "PRIMARY KEY (profile_id, user_id) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS profile_apply_view_table ("
    "profile_id INTEGER, "
    "view_id INTEGER, "
    "PRIMARY KEY (profile_id, view_id) ON CONFLICT IGNORE);"
    "CREATE TABLE IF NOT EXISTS rotate_setting_table ("
    "view_id INTEGER PRIMARY KEY ON CONFLICT REPLACE, "
    "rotate_cnt INTEGER, "
    "rotate_policy VARCHAR);"
    "CREATE INDEX IF NOT EXISTS profile_id_idx ON profile_table(id);"
    "CREATE INDEX IF NOT EXISTS profile_apply_id_idx ON profile_apply_table(profile_id);"
    "CREATE INDEX IF NOT EXISTS profile_apply_uid_idx ON profile_apply_table(user_id);"
    "CREATE INDEX IF NOT EXISTS profile_apply_view_id_idx ON profile_apply_view_table(profile_id);"
    "CREATE INDEX IF NOT EXISTS profile_apply_view_vid_idx ON profile_apply_view_table(view_id);"
    "INSERT OR IGNORE INTO config_table VALUES ('version', 4150);"
    "INSERT OR IGNORE INTO config_table VALUES ('branch', 'master');"
    "INSERT OR IGNORE INTO config_table VALUES ('view_id', '1');"
    "CREATE INDEX IF NOT EXISTS session_task_index ON backup_task_table(session);"
    "INSERT OR IGNORE INTO rotate_setting_table (view_id, rotate_cnt, rotate_policy) "
    "VALUES (0, 32, 'fifo');"
    "END TRANSACTION;";

// The default server profile: 143 bytes is the longest file name that an
// encrypted shared folder accepts.
const char kDefaultProfileInsert[] =
    "INSERT OR IGNORE INTO profile_table (name, context, attribute) VALUES "
    "('internal for enc share', '{\"filtered_max_name_length\":143}', %d);";
const char kDefaultProfileQuery[] = "SELECT * FROM profile_table WHERE attribute & %d";

// Closes a connection that was never published (sqlite3_open hands out a
// handle even when it fails).
void CloseConnection(sqlite3* connection) { sqlite3_close(connection); }

}  // namespace

int UserManager::Initialize(const ustring& path) {
  char insert_sql[512];
  char select_sql[512];
  sqlite3_snprintf(sizeof(insert_sql), insert_sql, kDefaultProfileInsert, kDefaultProfileAttribute);
  sqlite3_snprintf(sizeof(select_sql), select_sql, kDefaultProfileQuery, kProfileAttributeDefault);

  if (db != nullptr) return 0;

  const std::string host_path = paths::HostPath(path.str());
  sqlite3* connection = nullptr;
  int rc = sqlite3_open(host_path.c_str(), &connection);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): sqlite3_open(%s): %s (%d)", __LINE__,
                path.c_str(),
                connection != nullptr ? sqlite3_errmsg(connection) : sqlite3_errstr(rc), rc);
    CloseConnection(connection);
    return -1;
  }
  sqlite3_busy_timeout(connection, kUserDbBusyTimeoutMs);

  char* error = nullptr;
  rc = sqlite3_exec(connection, kSchemaScript, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): sqlite3_exec: %s (%d)", __LINE__,
                error != nullptr ? error : sqlite3_errmsg(connection), rc);
    sqlite3_free(error);
    // Closing rolls back a script that stopped half-way.
    CloseConnection(connection);
    return -1;
  }

  sqlite3_stmt* stmt = nullptr;
  // The text ends at its NUL: given the buffer's whole size, SQLite would
  // look at the buffer's last byte, which nothing ever wrote.
  rc = sqlite3_prepare_v2(connection, select_sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): sqlite3_prepare_v2(%d): %s", __LINE__, rc,
                sqlite3_errmsg(connection));
    CloseConnection(connection);
    return -1;
  }
  rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) {
    // No profile carries the default bit: create the default profile.
    error = nullptr;
    rc = sqlite3_exec(connection, insert_sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      Logger::Log(3, kComponent,
                  "[ERROR] user-mgr(%d): Fail to insert default server profile: %s (%d)",
                  __LINE__, error != nullptr ? error : sqlite3_errmsg(connection), rc);
      sqlite3_free(error);
      sqlite3_finalize(stmt);
      CloseConnection(connection);
      return -1;
    }
  } else if (rc != SQLITE_ROW) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): Fail to get profile info(%d): %s", __LINE__,
                rc, sqlite3_errmsg(connection));
    sqlite3_finalize(stmt);
    CloseConnection(connection);
    return -1;
  }
  sqlite3_finalize(stmt);

  const std::string lock_path = paths::HostPath(paths::kUserDbLockFile);
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): UserManager::Initialize: open: %s",
                __LINE__, strerror(errno));
    CloseConnection(connection);
    return -1;
  }

  pthread_mutex_init(&mutex, nullptr);
  db = connection;
  lock = fd;
  g_is_cached = 0;

  // Drawn for the daemons' benefit; nothing in this tool reads it.
  srand(static_cast<unsigned>(time(nullptr)));
  seed = ustring(std::to_string(rand()));
  return 0;
}

void UserManager::Close() {
  if (db == nullptr) return;
  {
    DatabaseLockGuard guard(lock, &mutex);
    sqlite3_close(db);
    db = nullptr;
    g_is_cached = 0;
  }
  // Never retried on EINTR: the descriptor may already be reused.
  close(lock);
  lock = -1;
  pthread_mutex_destroy(&mutex);
}
