// Shares from the platform's share list (/etc/tarn/shares.json):
//   {"shares":[{"name":"homes","path":"/volume1/homes","status":0,"type":0}, ...]}
// with optional members per share:
//   "enc_path"    folder holding an encrypted share's data
//   "key"         path of the share's 64-byte key file
//   "readonly_by" array of names (packages) that registered the share read-only
//   "rights"      object user name -> "rw", "ro" or "na"; when present, users
//                 it does not name have no access; when absent every known
//                 user may read and write (a share without an access list)
// As with the volume list, one malformed entry makes the list unusable.
#include <json/json.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "host_platform/host_files.h"
#include "host_platform/json_files.h"
#include "platform/platform_lib.h"

namespace {

struct ShareEntry {
  std::string name;
  std::string path;
  uint32_t status = 0;
  int type = 0;
  std::string enc_path;
  std::string key_path;
  std::vector<std::string> readonly_by;
  bool has_rights = false;
  std::map<std::string, int> rights;
};

bool OptionalString(const Json::Value& entry, const char* member, std::string* out) {
  const Json::Value& v = entry[member];
  if (v.isNull()) return true;
  if (!v.isString() || v.asString().find('\0') != std::string::npos) return false;
  *out = v.asString();
  return true;
}

bool ParseEntry(const Json::Value& entry, ShareEntry* share) {
  if (!entry.isObject()) return false;
  const Json::Value& name = entry["name"];
  const Json::Value& path = entry["path"];
  const Json::Value& status = entry["status"];
  const Json::Value& type = entry["type"];
  // A NUL inside a name or path would silently cut it in the C records.
  if (!name.isString() || name.asString().empty() || !path.isString() || path.asString().empty() ||
      path.asString()[0] != '/' || name.asString().find('\0') != std::string::npos ||
      path.asString().find('\0') != std::string::npos) {
    return false;
  }
  if (!(status.isNull() || status.isUInt()) || !(type.isNull() || type.isInt())) return false;
  share->name = name.asString();
  share->path = path.asString();
  share->status = status.isNull() ? 0 : status.asUInt();
  share->type = type.isNull() ? 0 : type.asInt();
  if (!OptionalString(entry, "enc_path", &share->enc_path) ||
      !OptionalString(entry, "key", &share->key_path)) {
    return false;
  }
  const Json::Value& readonly_by = entry["readonly_by"];
  if (!readonly_by.isNull()) {
    if (!readonly_by.isArray()) return false;
    for (const Json::Value& who : readonly_by) {
      if (!who.isString()) return false;
      share->readonly_by.push_back(who.asString());
    }
  }
  const Json::Value& rights = entry["rights"];
  if (!rights.isNull()) {
    if (!rights.isObject()) return false;
    share->has_rights = true;
    for (Json::Value::const_iterator it = rights.begin(); it != rights.end(); ++it) {
      if (!it->isString()) return false;
      const std::string right = it->asString();
      int value;
      if (right == "rw") {
        value = TARN_SHARE_RIGHT_READ_WRITE;
      } else if (right == "ro") {
        value = TARN_SHARE_RIGHT_READ_ONLY;
      } else if (right == "na") {
        value = TARN_SHARE_RIGHT_NO_ACCESS;
      } else {
        return false;
      }
      share->rights[it.name()] = value;
    }
  }
  return true;
}

// Every entry of the share list, in its order.  -1 with the platform error
// set when the list is missing or malformed: one bad entry spoils the list,
// as a half-written file would.
int ReadShareList(std::vector<ShareEntry>* shares) {
  Json::Value root;
  host_platform::JsonResult read =
      host_platform::ReadJsonFile(paths::HostPath(paths::kSharesJson), &root);
  if (read == host_platform::JsonResult::kMissing || read == host_platform::JsonResult::kError) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
    return -1;
  }
  const Json::Value* list =
      read == host_platform::JsonResult::kOk ? host_platform::FindMember(root, "shares") : nullptr;
  if (list == nullptr || !list->isArray()) {
    Logger::Log(4, "default_component", "[WARNING] host-platform(%d): malformed share list %s\n",
                __LINE__, paths::kSharesJson);
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
    return -1;
  }
  shares->clear();
  for (const Json::Value& entry : *list) {
    ShareEntry share;
    if (!ParseEntry(entry, &share)) {
      Logger::Log(4, "default_component",
                  "[WARNING] host-platform(%d): malformed share entry in %s\n", __LINE__,
                  paths::kSharesJson);
      HOST_PLATFORM_FAIL(TLIB_ERR_BAD_FORMAT);
      return -1;
    }
    shares->push_back(std::move(share));
  }
  return 0;
}

// The first entry named `name`.  -1 with the platform error set when the list
// is missing or malformed or names no such share.
int FindShare(const std::string& name, ShareEntry* found) {
  std::vector<ShareEntry> shares;
  if (ReadShareList(&shares) < 0) return -1;
  for (ShareEntry& share : shares) {
    if (share.name == name) {
      *found = std::move(share);
      return 0;
    }
  }
  HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
  return -1;
}

bool CopyOut(const std::string& value, char* buffer, int size) {
  if (value.size() + 1 > static_cast<size_t>(size)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BUFFER_TOO_SMALL);
    return false;
  }
  memcpy(buffer, value.c_str(), value.size() + 1);
  return true;
}

int StatusBitGetter(const TarnShareInfo* share, int* value, uint32_t bits) {
  if (share == nullptr || value == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  *value = (share->status & bits) == bits ? 1 : 0;
  return 0;
}

}  // namespace

int TARNShareGet(const char* name, TarnShareInfo** share) {
  if (share != nullptr) *share = nullptr;
  if (name == nullptr || name[0] == '\0' || share == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  ShareEntry entry;
  if (FindShare(name, &entry) < 0) return -1;
  TarnShareInfo* record = static_cast<TarnShareInfo*>(calloc(1, sizeof(TarnShareInfo)));
  if (record != nullptr) {
    record->name = host_platform::CopyString(entry.name);
    record->path = host_platform::CopyString(entry.path);
  }
  if (record == nullptr || record->name == nullptr || record->path == nullptr) {
    TARNShareFree(record);
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return -1;
  }
  record->status = entry.status;
  record->type = entry.type;
  *share = record;
  return 0;
}

int TARNShareEnum(TarnSzList** names) {
  if (names == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  *names = nullptr;
  std::vector<ShareEntry> shares;
  if (ReadShareList(&shares) < 0) return -1;
  TarnSzList* list = static_cast<TarnSzList*>(calloc(1, sizeof(TarnSzList)));
  if (list == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return -1;
  }
  std::set<std::string> seen;
  for (const ShareEntry& share : shares) {
    if (!seen.insert(share.name).second) continue;
    if (TLIBCSzListPush(&list, share.name.c_str()) != 0) {
      TLIBCSzListFree(list);
      return -1;
    }
  }
  *names = list;
  return list->count;
}

void TARNShareFree(TarnShareInfo* share) {
  if (share == nullptr) return;
  free(share->name);
  free(share->path);
  free(share);
}

char* TARNPathResolve(const char* path, char* buffer, int size) {
  if (path == nullptr || path[0] != '/' || buffer == nullptr || size <= 0) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return nullptr;
  }
  std::string resolved;
  if (!paths::ResolvePath(path, &resolved)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return nullptr;
  }
  return CopyOut(resolved, buffer, size) ? buffer : nullptr;
}

int TLIBShareEncryptPathGet(const char* name, char* buffer, int size) {
  if (name == nullptr || buffer == nullptr || size <= 0) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  buffer[0] = '\0';
  ShareEntry entry;
  if (FindShare(name, &entry) < 0) return -1;
  if (entry.enc_path.empty() || entry.enc_path[0] != '/') {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return -1;
  }
  return CopyOut(entry.enc_path, buffer, size) ? 0 : -1;
}

int TARNShareEncDefaultKeyFileRead(const char* name, char* key, int size) {
  if (name == nullptr || key == nullptr || size < TARN_SHARE_KEY_SIZE) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  ShareEntry entry;
  if (FindShare(name, &entry) < 0) return -1;
  if (entry.key_path.empty() || entry.key_path[0] != '/') {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return -1;
  }
  std::string content;
  // A key file holds the key and perhaps a line end; nothing big.
  host_platform::ReadResult read =
      host_platform::ReadWholeFile(paths::HostPath(entry.key_path), 4096, &content);
  if (read != host_platform::ReadResult::kOk || content.size() < TARN_SHARE_KEY_SIZE) {
    HOST_PLATFORM_FAIL(read == host_platform::ReadResult::kMissing ? TLIB_ERR_FILE_OPEN
                                                                   : TLIB_ERR_FILE_READ);
    return -1;
  }
  memcpy(key, content.data(), TARN_SHARE_KEY_SIZE);
  return 0;
}

int TLIBShareIsWinShareGet(const TarnShareInfo* share, int* value) {
  return StatusBitGetter(share, value, TARN_SHARE_STATUS_WIN_ACL);
}

int TLIBShareIsSkipSmbPermGet(const TarnShareInfo* share, int* value) {
  return StatusBitGetter(share, value, TARN_SHARE_STATUS_SKIP_SMB_PERM);
}

int TLIBShareRecycleStatusGet(const TarnShareInfo* share, int* value) {
  return StatusBitGetter(share, value, TARN_SHARE_STATUS_RECYCLE_BIN);
}

int TLIBShareRecycleAdminOnlyStatusGet(const TarnShareInfo* share, int* value) {
  return StatusBitGetter(share, value, TARN_SHARE_STATUS_RECYCLE_ADMIN_ONLY);
}

int TLIBShareIsEncryptionGet(const TarnShareInfo* share, int* value) {
  return StatusBitGetter(share, value, TARN_SHARE_STATUS_ENCRYPTED);
}

int TLIBShareIsEncryptedGet(const TarnShareInfo* share, int* value) {
  return StatusBitGetter(share, value, TARN_SHARE_STATUS_ENCRYPTED | TARN_SHARE_STATUS_NOT_MOUNTED);
}

int TLIBIsGlusterShare(const TarnShareInfo* share) {
  return share != nullptr && share->type == TARN_SHARE_TYPE_GLUSTER ? 1 : 0;
}

int TARNShareAttrReadOnlyIsRegBy(const char* share_name, const char* name) {
  if (share_name == nullptr || name == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  ShareEntry entry;
  if (FindShare(share_name, &entry) < 0) return -1;
  for (const std::string& who : entry.readonly_by) {
    if (who == name) return 1;
  }
  return 0;
}

int TLIBShareUserRightGet(const char* user, const TarnShareInfo* share) {
  if (user == nullptr || user[0] == '\0' || share == nullptr || share->name == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  TarnUserInfo* account = nullptr;
  if (TARNUserGet(user, &account) < 0) return -1;
  TARNUserFree(account);
  ShareEntry entry;
  if (FindShare(share->name, &entry) < 0) return -1;
  if (!entry.has_rights) return TARN_SHARE_RIGHT_READ_WRITE;
  auto it = entry.rights.find(user);
  return it == entry.rights.end() ? TARN_SHARE_RIGHT_NO_ACCESS : it->second;
}
