#include "dircache/cache_daemon_client.h"

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "messaging/channel.h"
#include "messaging/pstream.h"

namespace {

const char kComponent[] = "zoscache_ipc_debug";

// The longest path a Unix-domain address holds (sun_path less its NUL).  A
// longer host path (a deep system root) cannot be reached: the channel would
// cut it and knock at some other path.
const size_t kMaxSocketPath = 107;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void ToNameList(const PObject& list, std::vector<std::string>* names) {
  names->clear();
  for (const PObject& item : list.get_array()) names->push_back(item.as_string().str());
}

}  // namespace

bool DecodeLowerHex(const std::string& text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>((high << 4) | low));
  }
  bytes->swap(out);
  return true;
}

CacheDaemonClient* CacheDaemonClient::GetInstance() {
  static CacheDaemonClient instance;
  return &instance;
}

int CacheDaemonClient::Exchange(const PObject& request, PObject* reply, bool want_reply) {
  // Both are destroyed on every path, which closes the connection.
  Channel channel;
  PStream stream;

  const std::string socket_path = paths::HostPath(paths::kCacheDaemonSocket);
  if (socket_path.size() > kMaxSocketPath) {
    Logger::Log(4, kComponent,
                "[WARNING] zoscache-ipc(%d): socket path '%s' is longer than %u bytes\n", __LINE__,
                socket_path.c_str(), static_cast<unsigned>(kMaxSocketPath));
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): connect to cached failed\n", __LINE__);
    return -1;
  }
  if (channel.Open(ustring(socket_path)) != 0) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): connect to cached failed\n", __LINE__);
    return -1;
  }
  // Buffered: the word leaves together with the request on the stream's
  // flush.
  if (channel.WriteUInt32(kConnectionType) != 0) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to send ipc type\n", __LINE__);
    return -1;
  }
  if (stream.Send(&channel, request) != 0) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to execute action: %s\n", __LINE__,
                request["action"].as_string().c_str());
    return -1;
  }
  if (want_reply && stream.Recv(&channel, reply) != 0) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to receive response\n", __LINE__);
    return -1;
  }
  return 0;
}

CacheDaemonClient::AskResult CacheDaemonClient::Ask(const char* action, const std::string* name,
                                                    PObject* reply) {
  PObject request;
  request["action"] = action;
  if (name != nullptr) request["name"] = ustring(*name);
  if (Exchange(request, reply, true) != 0) return kExchangeFailed;
  // The writable lookup: a reply without "ack" reads 0, i.e. accepted.
  if ((*reply)["ack"].as_int32() < 0) return kRefused;
  return kAnswered;
}

int CacheDaemonClient::GetUser(const std::string& name, UserGroupCache::User* user) {
  PObject reply;
  AskResult asked = Ask("get_user", &name, &reply);
  if (asked == kExchangeFailed) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to get user: %s\n", __LINE__,
                name.c_str());
    return -1;
  }
  if (asked == kRefused) return -1;
  user->FromMessage(reply["user"]);
  return 0;
}

int CacheDaemonClient::GetShare(const std::string& name, ZOSCache::Share* share) {
  PObject reply;
  AskResult asked = Ask("get_share", &name, &reply);
  if (asked == kExchangeFailed) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to get share: %s\n", __LINE__,
                name.c_str());
    return -1;
  }
  if (asked == kRefused) return -1;
  // The share's volume is described here, on this process's view of the
  // path; a share whose volume cannot be described is of no use.
  return share->FromMessage(reply["share"]) == 0 ? 0 : -1;
}

int CacheDaemonClient::GetShareUniqueKey(const std::string& name, std::string* key) {
  PObject reply;
  if (Ask("get_share_unique_key", &name, &reply) != kAnswered) return -1;
  key->clear();
  if (!DecodeLowerHex(reply["key"].as_string().str(), key)) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to decode key: %s\n", __LINE__,
                name.c_str());
    return -1;
  }
  return 0;
}

int CacheDaemonClient::GetDomainSid(std::string* sid) {
  PObject reply;
  AskResult asked = Ask("get_domain_sid", nullptr, &reply);
  if (asked == kExchangeFailed) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to get domain sid\n", __LINE__);
    return -1;
  }
  if (asked == kRefused) return -1;
  *sid = reply["sid"].as_string().str();
  return 0;
}

int CacheDaemonClient::ListShareNames(std::vector<std::string>* names) {
  PObject reply;
  AskResult asked = Ask("list_share_name", nullptr, &reply);
  if (asked == kExchangeFailed) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to list shares\n", __LINE__);
    return -1;
  }
  if (asked == kRefused) return -1;
  ToNameList(reply["name_list"], names);
  return 0;
}

int CacheDaemonClient::ListDomainNames(std::vector<std::string>* names) {
  PObject reply;
  AskResult asked = Ask("list_domain_name", nullptr, &reply);
  if (asked == kExchangeFailed) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to list domain name\n", __LINE__);
    return -1;
  }
  if (asked == kRefused) return -1;
  ToNameList(reply["name_list"], names);
  return 0;
}

int CacheDaemonClient::Reload() {
  PObject request;
  request["action"] = "reload";
  if (Exchange(request, nullptr, false) != 0) {
    Logger::Log(3, kComponent, "[ERROR] zoscache-ipc(%d): Failed to reload zos cache \n", __LINE__);
    return -1;
  }
  return 0;
}
