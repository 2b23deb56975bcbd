// The request server of drift-cached: a Unix-domain listener whose clients
// each send the connection type word 2 and one request map, and get at most
// one reply map (package wire format, messaging/pstream.h).
//
// Connections are served one after another by one thread.  Each read and
// write waits at most the server's timeout, and a whole connection at most
// kConnectionLimitFactor times that, so a client that connects and never
// writes (or trickles its request) delays the others by a bounded time.  A
// client that sends garbage or hangs up costs only its own connection.
#ifndef DRIFT_PACKAGE_PROGRAMS_CACHE_SERVER_H_
#define DRIFT_PACKAGE_PROGRAMS_CACHE_SERVER_H_

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "messaging/pobject.h"
#include "package_programs/cache_directory.h"

namespace cached {

// Codes of the "ack" of a refused request (the messaging error codes).
enum AckCode : int32_t {
  kAckOk = 0,
  kAckInvalidRequest = -4,  // not a map, unknown action, name missing or not text
  kAckNotFound = -11,       // no such user or share, or nothing to tell
};

// Turns one request into its reply.  Returns false when the action expects no
// reply ("reload").
bool Answer(Directory* directory, const PObject& request, PObject* reply);

class CacheServer {
 public:
  static const uint32_t kConnectionType = 2;
  static const uint32_t kDefaultTimeout = 10;  // seconds
  static const uint32_t kConnectionLimitFactor = 3;

  // `directory` is not owned and must outlive the server.
  CacheServer(Directory* directory, uint32_t timeout_seconds);
  ~CacheServer();
  CacheServer(const CacheServer&) = delete;
  CacheServer& operator=(const CacheServer&) = delete;

  // Binds and listens on the Unix-domain socket at the appliance path
  // `socket_path` (on the host below the system root).  A stale socket file
  // is replaced; a socket on which a server answers is not.  False with
  // `err` when the socket cannot be set up (its host path longer than a
  // Unix-domain address holds, among others).
  bool Listen(const std::string& socket_path, std::string* err);

  // Serves connections until Stop.  Call once, after Listen.
  void Run();
  // Makes Run return soon, cutting the connection in hand.  Thread-safe.
  void Stop();
  // Closes the listener and removes its socket file (only after Run has
  // returned, or when it never ran).
  void Close();

 private:
  void Serve(int fd);
  void Watch();

  Directory* directory_;
  const uint32_t timeout_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  std::string host_path_;

  // The watchdog's view of the connection in hand: it shuts the socket down
  // when the connection outlives its limit or the server stops.
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;                           // REQUIRES: mu_ held
  int current_fd_ = -1;                             // REQUIRES: mu_ held
  std::chrono::steady_clock::time_point deadline_;  // REQUIRES: mu_ held
};

}  // namespace cached

#endif  // DRIFT_PACKAGE_PROGRAMS_CACHE_SERVER_H_
