#include "dircache/zos_cache_share.h"

#include <string.h>

#include "cli/logger.h"
#include "platform/platform_lib.h"

namespace ZOSCache {
namespace {

const char kComponent[] = "zoscache_debug";

// The buffer the platform fills with the folder of an encrypted share's data.
const int kEncryptPathSize = 4095;

}  // namespace

void Share::SetFields(const std::string& name, const std::string& path, uint32_t status,
                      int32_t type) {
  name_ = name;
  path_ = path;
  status_ = status;
  type_ = type;
}

int Share::Fill(const std::string& name, const std::string& path, uint32_t status, int32_t type) {
  SetFields(name, path, status, type);
  // A record filled again never keeps the volume of its previous share.
  volume_ = FileSystemProperty();
  std::string volume_of = path;
  if (IsEncryption()) {
    // The share folder of an encrypted share is only the mount of its data;
    // the volume that matters is the one holding the encrypted data.
    char buffer[kEncryptPathSize];
    memset(buffer, 0, sizeof(buffer));
    if (TLIBShareEncryptPathGet(name.c_str(), buffer, sizeof(buffer)) < 0) {
      Logger::Log(3, kComponent,
                  "[ERROR] zoscache(%d): TLIBShareEncryptPathGet(%s) failed, err=[0x%4X]\n",
                  __LINE__, name.c_str(), static_cast<unsigned>(TLIBCErrGet()));
      return -1;
    }
    buffer[sizeof(buffer) - 1] = '\0';
    volume_of = buffer;
  }
  if (volume_.Init(volume_of, true) != 0) {
    Logger::Log(3, kComponent, "[ERROR] zoscache(%d): Failed to initialize share info: %s\n",
                __LINE__, name.c_str());
    return -1;
  }
  return 0;
}

void Share::ToMessage(PObject* message) const {
  message->clear();
  PObject& m = *message;
  m["name"] = ustring(name_);
  m["path"] = ustring(path_);
  m["type"] = type_;
  m["status"] = status_;
}

int Share::FromMessage(const PObject& message) {
  return Fill(message["name"].as_string().str(), message["path"].as_string().str(),
              message["status"].as_uint32(), message["type"].as_int32());
}

}  // namespace ZOSCache
