// Users from passwd(5) lines, account expiry from shadow(5) lines.
//
// Names are taken byte for byte (they may hold '@' for LDAP accounts or '\'
// for domain accounts); the first line of a name or uid wins, as with the C
// library.  Lines that are not well formed (too few or too many fields, a
// non-numeric uid or gid, NIS "+"/"-" entries) are passed over.
#include <stdlib.h>
#include <time.h>

#include <new>
#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace {

struct PasswdEntry {
  std::string name;
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string home;
};

std::vector<std::string> SplitFields(const std::string& line, char sep) {
  std::vector<std::string> fields;
  size_t pos = 0;
  for (;;) {
    size_t next = line.find(sep, pos);
    if (next == std::string::npos) {
      fields.push_back(line.substr(pos));
      return fields;
    }
    fields.push_back(line.substr(pos, next - pos));
    pos = next + 1;
  }
}

// Strict unsigned decimal no larger than `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > max) return false;
  }
  *value = v;
  return true;
}

// Calls fn(fields) for every line of the file, or with a non-empty
// `first_field` only for the lines whose first field is exactly that text
// (tested before the line is split: lookups by name then cost one compare
// per line); false when the file cannot be read (missing included).
template <typename Fn>
bool ForEachRecord(const char* appliance_path, const std::string& first_field, Fn fn) {
  std::string text;
  host_platform::ReadResult read = host_platform::ReadWholeFile(
      paths::HostPath(appliance_path), host_platform::kMaxPlatformFileSize, &text);
  if (read != host_platform::ReadResult::kOk) return false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#' || line[0] == '+' || line[0] == '-' ||
        line.find('\0') != std::string::npos) {
      continue;
    }
    if (!first_field.empty() &&
        (line.compare(0, first_field.size(), first_field) != 0 ||
         line.size() <= first_field.size() || line[first_field.size()] != ':')) {
      continue;
    }
    if (!fn(SplitFields(line, ':'))) break;
  }
  return true;
}

bool ParsePasswd(const std::vector<std::string>& f, PasswdEntry* entry) {
  // name:password:uid:gid:gecos:home[:shell]
  if (f.size() < 6 || f.size() > 7 || f[0].empty()) return false;
  uint64_t uid = 0;
  uint64_t gid = 0;
  // (uint32_t)-1 is the "no id" value of the system calls, never an account.
  if (!ParseNumber(f[2], 0xFFFFFFFEu, &uid) || !ParseNumber(f[3], 0xFFFFFFFEu, &gid)) {
    return false;
  }
  entry->name = f[0];
  entry->uid = static_cast<uint32_t>(uid);
  entry->gid = static_cast<uint32_t>(gid);
  entry->home = f[5];
  return true;
}

// The expiry day of `name` from shadow: -1 when none is set, the file or the
// account is missing, or the field is not a number.
int32_t ExpiryDay(const std::string& name) {
  int32_t expire = -1;
  ForEachRecord(paths::kShadow, name, [&](const std::vector<std::string>& f) {
    // name:password:lastchg:min:max:warn:inactive:expire:reserved
    if (f.size() < 8) return true;  // the record is `name`'s: ForEachRecord saw to it
    uint64_t day = 0;
    if (ParseNumber(f[7], 0x7FFFFFFF, &day)) expire = static_cast<int32_t>(day);
    return false;
  });
  return expire;
}

int MakeRecord(const PasswdEntry& entry, TarnUserInfo** user) {
  TarnUserInfo* record = static_cast<TarnUserInfo*>(calloc(1, sizeof(TarnUserInfo)));
  if (record != nullptr) {
    record->name = host_platform::CopyString(entry.name);
    record->home = host_platform::CopyString(entry.home);
  }
  if (record == nullptr || record->name == nullptr || record->home == nullptr) {
    TARNUserFree(record);
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return -1;
  }
  record->uid = entry.uid;
  record->gid = entry.gid;
  record->expire = ExpiryDay(entry.name);
  *user = record;
  return 0;
}

// `name`: the account name when the lookup is by name, else empty.
template <typename Match>
int LookUp(const std::string& name, Match match, TarnUserInfo** user) {
  PasswdEntry found;
  bool have = false;
  bool readable = ForEachRecord(paths::kPasswd, name, [&](const std::vector<std::string>& f) {
    PasswdEntry entry;
    if (!ParsePasswd(f, &entry) || !match(entry)) return true;
    found = entry;
    have = true;
    return false;
  });
  if (!readable) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
    return -1;
  }
  if (!have) {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return -1;
  }
  return MakeRecord(found, user);
}

}  // namespace

int TARNUserGet(const char* name, TarnUserInfo** user) {
  if (user != nullptr) *user = nullptr;
  if (name == nullptr || name[0] == '\0' || user == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  const std::string wanted(name);
  return LookUp(
      wanted, [&wanted](const PasswdEntry& e) { return e.name == wanted; }, user);
}

int TARNUserGetByUID(uint32_t uid, TarnUserInfo** user) {
  if (user == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  *user = nullptr;
  return LookUp(
      std::string(), [uid](const PasswdEntry& e) { return e.uid == uid; }, user);
}

void TARNUserFree(TarnUserInfo* user) {
  if (user == nullptr) return;
  free(user->name);
  free(user->home);
  free(user);
}

int TARNUserIsExpired(int32_t expire) {
  // Day 0 is "unset" as with the login tools; an account expires at the start
  // (UTC) of its expiry day.
  if (expire <= 0) return 0;
  int64_t today = static_cast<int64_t>(time(nullptr)) / 86400;
  return today >= expire ? 1 : 0;
}

int TARNUserCheckExpired(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return 0;
  }
  return TARNUserIsExpired(ExpiryDay(name));
}
