// CacheDaemonClient: the tool's side of the conversation with the package's
// cache daemon (drift-cached) on the Unix-domain socket
// "/tmp/drift-cached-socket" of the system root.
//
// Every call is one connection: connect, send the connection type word 2
// (32 bits, big-endian) and the request map, read at most one reply map,
// close.  Requests carry "action" (and "name" where the action needs one);
// replies carry "ack" (negative: the daemon refused) and the action's result.
// Calls are therefore independent: a daemon restart between two calls is
// invisible, and concurrent calls from several threads each use their own
// connection.  Nothing is retried.
//
// Every operation returns 0 on success and -1 on failure; failures are logged
// under "zoscache_ipc_debug" (a refusal by the daemon, a negative "ack", is
// not).  Outputs are left untouched when the exchange or the "ack" fails.
#ifndef DRIFT_DIRCACHE_CACHE_DAEMON_CLIENT_H_
#define DRIFT_DIRCACHE_CACHE_DAEMON_CLIENT_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "dircache/user_group_cache.h"
#include "dircache/zos_cache_share.h"
#include "messaging/pobject.h"

class CacheDaemonClient {
 public:
  // The connection type word that opens every connection to the daemon.
  static const uint32_t kConnectionType = 2;

  // The process's one client, created on first use (thread-safe).
  static CacheDaemonClient* GetInstance();

  CacheDaemonClient() = default;
  CacheDaemonClient(const CacheDaemonClient&) = delete;
  CacheDaemonClient& operator=(const CacheDaemonClient&) = delete;

  // Connects, sends the type word and `request`, and when `want_reply` reads
  // one item into *reply (which is not cleared first).  0 or -1.
  int Exchange(const PObject& request, PObject* reply, bool want_reply);

  // The user record of a user name, decoded from the reply's "user".
  int GetUser(const std::string& name, UserGroupCache::User* user);
  // The share record of a share name, decoded from the reply's "share" (the
  // volume described on this host; a share whose volume cannot be described
  // fails).
  int GetShare(const std::string& name, ZOSCache::Share* share);
  // The share's key as bytes, from the lowercase hexadecimal "key".
  int GetShareUniqueKey(const std::string& name, std::string* key);
  int GetDomainSid(std::string* sid);
  int ListShareNames(std::vector<std::string>* names);
  int ListDomainNames(std::vector<std::string>* names);
  // Asks the daemon to drop its cache; returns once the request is sent.
  int Reload();

 private:
  enum AskResult { kAnswered, kExchangeFailed, kRefused };
  // Builds {"action": action} plus "name" when `name` is non-null, exchanges
  // it with a reply wanted and reads "ack" (a reply without one counts as
  // 0).  The caller logs its own message for kExchangeFailed.
  AskResult Ask(const char* action, const std::string* name, PObject* reply);
};

// Decodes lowercase hexadecimal text, two digits per byte, high nibble first.
// False for an odd length or any character outside "0123456789abcdef".
bool DecodeLowerHex(const std::string& text, std::string* bytes);

#endif  // DRIFT_DIRCACHE_CACHE_DAEMON_CLIENT_H_
