// For the directory cache's tests: a listener on the cache daemon's socket of
// the current system root (DRIFT_ROOT) that serves each connection with a
// handler the test writes, so that a test can answer what a real daemon never
// would (no "ack", truncated items, garbage) and see the exact bytes a client
// sent.
#ifndef DRIFT_DIRCACHE_FAKE_CACHE_DAEMON_H_
#define DRIFT_DIRCACHE_FAKE_CACHE_DAEMON_H_

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "base/appliance_paths.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"
#include "messaging/pstream.h"

namespace dircache_test {

// One accepted connection, as a channel with helpers.
class Connection {
 public:
  explicit Connection(int fd) {
    channel_.SetTimeout(5);
    EXPECT_EQ(channel_.Open(fd, true), 0);
  }

  // Reads the type word and the request map the way the daemon does.
  bool ReadRequest(uint32_t* word, PObject* request) {
    if (channel_.ReadUInt32(word) != 0) return false;
    PStream stream;
    return stream.Recv(&channel_, request) == 0;
  }
  // Reads exactly n bytes as they came.
  std::string ReadRaw(size_t n) {
    std::string bytes(n, '\0');
    if (n > 0 && channel_.Read(&bytes[0], n) != 0) return "<short>";
    return bytes;
  }
  // True when the peer has closed its side and sent nothing more.
  bool PeerClosed() {
    char c;
    return channel_.Read(&c, 1) != 0;
  }
  void SendReply(const PObject& reply) {
    PStream stream;
    EXPECT_EQ(stream.Send(&channel_, reply), 0);
  }
  void SendRaw(const std::string& bytes) {
    EXPECT_EQ(channel_.Write(bytes.data(), bytes.size()), 0);
    EXPECT_EQ(channel_.Flush(0), 0);
  }
  Channel* channel() { return &channel_; }

 private:
  Channel channel_;
};

class FakeCacheDaemon {
 public:
  using Handler = std::function<void(Connection*)>;

  // Listens on the daemon's socket below the current root ("/tmp" of the
  // root must exist).
  FakeCacheDaemon() {
    path_ = paths::HostPath(paths::kCacheDaemonSocket);
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(listen_fd_, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    EXPECT_LT(path_.size(), sizeof(addr.sun_path));
    path_.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    unlink(path_.c_str());
    EXPECT_EQ(bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0)
        << path_;
    EXPECT_EQ(listen(listen_fd_, 16), 0);
  }

  ~FakeCacheDaemon() {
    Wait();
    close(listen_fd_);
    unlink(path_.c_str());
  }

  // Serves the next `count` connections, one after another, with `handler`
  // on a thread of its own.
  void Serve(Handler handler, int count = 1) {
    Wait();
    thread_ = std::thread([this, handler, count] {
      for (int i = 0; i < count; ++i) {
        struct pollfd pfd = {listen_fd_, POLLIN, 0};
        // A client that never comes must not hang the test.
        if (poll(&pfd, 1, 10000) != 1) {
          ADD_FAILURE() << "no client connected";
          return;
        }
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
          ADD_FAILURE() << "accept failed";
          return;
        }
        Connection connection(fd);
        handler(&connection);
      }
    });
  }

  // Waits until the connections of the last Serve are done.
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }

  // A handler that reads the request and answers `reply`.
  static Handler Reply(const PObject& reply) {
    return [reply](Connection* c) {
      uint32_t word = 0;
      PObject request;
      EXPECT_TRUE(c->ReadRequest(&word, &request));
      c->SendReply(reply);
    };
  }
  // A handler that reads the request and sends `bytes` as they are.
  static Handler Raw(const std::string& bytes) {
    return [bytes](Connection* c) {
      uint32_t word = 0;
      PObject request;
      EXPECT_TRUE(c->ReadRequest(&word, &request));
      if (!bytes.empty()) c->SendRaw(bytes);
    };
  }

 private:
  std::string path_;
  int listen_fd_ = -1;
  std::thread thread_;
};

}  // namespace dircache_test

#endif  // DRIFT_DIRCACHE_FAKE_CACHE_DAEMON_H_
