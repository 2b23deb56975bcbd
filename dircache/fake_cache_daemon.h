// For the directory cache's tests: a listener on the cache daemon's socket of
// the current system root (DRIFT_ROOT) that reads each request and answers
// what a test gives, including what a real daemon never would (garbage,
// truncated items, a hang-up).
#ifndef DRIFT_DIRCACHE_FAKE_CACHE_DAEMON_H_
#define DRIFT_DIRCACHE_FAKE_CACHE_DAEMON_H_

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "base/appliance_paths.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"
#include "messaging/pstream.h"

namespace dircache_test {

class FakeCacheDaemon {
 public:
  // Listens on the daemon's socket below the current root ("/tmp" of the
  // root must exist).
  FakeCacheDaemon() : path_(paths::HostPath(paths::kCacheDaemonSocket)) {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
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

  // Serves the next connection on a thread of its own: reads the type word
  // and the request, then sends `reply` as a map, or `raw` bytes as they are
  // when `reply` is null (nothing at all: a hang-up).  A client that never
  // comes fails the test after 10 s.
  void Serve(const PObject& reply, const std::string& raw = "") {
    Wait();
    thread_ = std::thread([this, reply, raw] {
      struct pollfd pfd = {listen_fd_, POLLIN, 0};
      ASSERT_EQ(poll(&pfd, 1, 10000), 1) << "no client connected";
      Channel channel;
      channel.SetTimeout(5);
      EXPECT_EQ(channel.Open(accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC), true), 0);
      uint32_t word = 0;
      PObject request;
      PStream stream;
      EXPECT_EQ(channel.ReadUInt32(&word), 0);
      EXPECT_EQ(word, 2u);
      EXPECT_EQ(stream.Recv(&channel, &request), 0);
      if (!reply.is_null()) {
        EXPECT_EQ(stream.Send(&channel, reply), 0);
      } else if (!raw.empty()) {
        EXPECT_EQ(channel.Write(raw.data(), raw.size()), 0);
        EXPECT_EQ(channel.Flush(0), 0);
      }
    });
  }

  // Waits until the connection of the last Serve is done.
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::string path_;
  int listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::thread thread_;
};

}  // namespace dircache_test

#endif  // DRIFT_DIRCACHE_FAKE_CACHE_DAEMON_H_
