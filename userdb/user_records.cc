// Reading user records: an entry by name, the rotation setting of a view and
// the per-entry session counts.  Each runs entirely under the database lock,
// from before its first statement to after its finalize.
#include <sqlite3.h>
#include <string.h>

#include <sstream>
#include <string>

#include "base/file_utils.h"
#include "cli/logger.h"
#include "userdb/user_manager.h"

namespace {

const char kComponent[] = "user_mgr_debug";

// Statements with names in them are formatted into buffers of this size.
const size_t kSqlBufferSize = 1024;

const char kCollectUserDataSql[] =
    "SELECT ut.id AS id, ut.attribute AS attribute, ut.user_type AS type, ut.name AS name, "
    "COUNT(st.sess_id) AS session_count FROM user_table AS ut LEFT JOIN session_table AS st "
    "ON ut.id = st.uid GROUP BY ut.id;";

ustring ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return ustring(reinterpret_cast<const char*>(text));
}

// A share entry is stored as "@" + share name; callers see the bare name.
ustring WithoutShareMark(const ustring& name) { return name.empty() ? name : name.substr(1); }

}  // namespace

int UserManager::ReadUserRow(sqlite3_stmt* stmt, UserEntry* entry) {
  ustring name = ColumnText(stmt, 0);
  const int user_type = static_cast<int>(sqlite3_column_int64(stmt, 6));
  if (user_type == kUserTypeShare) {
    if (name.empty() || name[0] != '@') {
      Logger::Log(4, kComponent,
                  "[WARNING] user-mgr(%d): UserManager::EnumShareUser: skipping share user '%s'",
                  __LINE__, name.c_str());
      return -1;
    }
    name = WithoutShareMark(name);
  }
  entry->name = name;
  entry->id = sqlite3_column_int64(stmt, 1);
  entry->view_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
  entry->attribute = static_cast<int>(sqlite3_column_int64(stmt, 3));
  entry->uid = static_cast<uint32_t>(sqlite3_column_int64(stmt, 4));
  entry->gid = static_cast<uint32_t>(sqlite3_column_int64(stmt, 5));
  entry->user_type = user_type;
  entry->watch_path = ColumnText(stmt, 7);
  return 0;
}

int UserManager::GetUserByName(const ustring& name, UserEntry* entry) {
  if (db == nullptr || entry == nullptr) return -1;
  // One byte beyond the 1024-byte statement buffer tells a statement that
  // fills it from one cut off.
  char sql[kSqlBufferSize + 1];
  sqlite3_snprintf(sizeof(sql), sql,
                   "SELECT name, id, view_id, attribute, uid, gid, user_type, watch_path "
                   "FROM user_table WHERE NOT (user_type = %d) AND name = %Q;",
                   static_cast<int>(kUserTypeShare), name.c_str());
  // A name too long for the statement buffer would be cut off mid-quote.
  if (strlen(sql) >= kSqlBufferSize) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): UserManager::EnumUser: name too long",
                __LINE__);
    return -1;
  }

  DatabaseLockGuard guard(lock, &mutex);
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent,
                "[ERROR] user-mgr(%d): UserManager::EnumUser: sqlite3_prepare_v2(%d): %s", __LINE__,
                rc, sqlite3_errmsg(db));
    return -1;
  }
  int result = 0;
  rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    UserEntry found;
    if (ReadUserRow(stmt, &found) < 0) {
      result = -1;
    } else {
      *entry = found;
    }
  } else if (rc != SQLITE_DONE) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): UserManager::EnumUser: sqlite3_step(%d): %s",
                __LINE__, rc, sqlite3_errmsg(db));
    result = -1;
  }
  sqlite3_finalize(stmt);
  return result;
}

int UserManager::QueryRotateSettingTable(uint64_t view_id, int* count, ustring* policy) {
  if (db == nullptr || count == nullptr || policy == nullptr) return -1;
  std::stringstream sql;
  sql << "SELECT rotate_cnt, rotate_policy FROM rotate_setting_table WHERE view_id = " << view_id
      << "; ";
  const std::string statement = sql.str();

  DatabaseLockGuard guard(lock, &mutex);
  sqlite3_stmt* stmt = nullptr;
  int rc =
      sqlite3_prepare_v2(db, statement.c_str(), static_cast<int>(statement.size()), &stmt, nullptr);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): sqlite3_prepare_v2(%d): %s sql = %s",
                __LINE__, rc, sqlite3_errmsg(db), statement.c_str());
    return -1;
  }
  int result = 0;
  rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    *count = sqlite3_column_int(stmt, 0);
    *policy = ColumnText(stmt, 1);
    result = 1;
  } else if (rc != SQLITE_DONE) {
    Logger::Log(3, kComponent, "[ERROR] user-mgr(%d): sqlite3_step(%d): %s", __LINE__, rc,
                sqlite3_errmsg(db));
    result = -1;
  }
  sqlite3_finalize(stmt);
  return result;
}

int UserManager::CollectUserData(std::vector<UserUsage>* usages) {
  if (usages == nullptr) return -1;
  return ForEachUserUsage([usages](const UserUsage& usage) { usages->push_back(usage); });
}

int UserManager::ForEachUserUsage(const std::function<void(const UserUsage&)>& row) {
  if (db == nullptr || !row) return -1;
  DatabaseLockGuard guard(lock, &mutex);
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, kCollectUserDataSql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    Logger::Log(3, kComponent,
                "[ERROR] user-mgr(%d): UserManager::CollectUserData: sqlite3_prepare_v2(%d): %s",
                __LINE__, rc, sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    return -1;
  }
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    UserUsage usage;
    usage.attribute = sqlite3_column_int(stmt, 1);
    usage.user_type = sqlite3_column_int(stmt, 2);
    usage.name = ColumnText(stmt, 3);
    if (usage.user_type == kUserTypeShare) usage.name = WithoutShareMark(usage.name);
    usage.session_count = sqlite3_column_int(stmt, 4);
    row(usage);
  }
  int result = 0;
  if (rc != SQLITE_DONE) {
    Logger::Log(3, kComponent,
                "[ERROR] user-mgr(%d): UserManager::CollectUserData: sqlite3_step(%d): %s",
                __LINE__, rc, sqlite3_errmsg(db));
    result = -1;
  }
  sqlite3_finalize(stmt);
  return result;
}
