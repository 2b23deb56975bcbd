#include "package_programs/cache_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "messaging/channel.h"
#include "messaging/pstream.h"

namespace cached {
namespace {

const char kComponent[] = "zoscache_debug";

PObject NameList(const std::vector<std::string>& names) {
  PObject list;
  PObject::array_type& items = list.mutable_array();
  for (const std::string& name : names) items.push_back(PObject(ustring(name)));
  return list;
}

// The request's "name" when it is text.
bool NameOf(const PObject& request, std::string* name) {
  const PObject& value = request["name"];
  if (!value.is_string()) return false;
  *name = value.as_string().str();
  return true;
}

}  // namespace

bool Answer(Directory* directory, const PObject& request, PObject* reply) {
  const std::string action =
      request["action"].is_string() ? request["action"].as_string().str() : std::string();
  PObject& r = *reply;
  r["ack"] = static_cast<int32_t>(kAckOk);
  std::string name;
  if (action == "reload") {
    directory->Reload();
    return false;
  }
  if (action == "get_user" || action == "get_share" || action == "get_share_unique_key") {
    if (!NameOf(request, &name)) {
      r["ack"] = static_cast<int32_t>(kAckInvalidRequest);
      return true;
    }
  }
  bool found = false;
  if (action == "get_user") {
    UserGroupCache::User user;
    found = directory->GetUser(name, &user) == 0;
    if (found) user.ToMessage(&r["user"]);
  } else if (action == "get_share") {
    ZOSCache::Share share;
    found = directory->GetShare(name, &share) == 0;
    if (found) share.ToMessage(&r["share"]);
  } else if (action == "get_share_unique_key") {
    std::string key;
    found = directory->GetShareKey(name, &key) == 0;
    if (found) r["key"] = ustring(ToLowerHex(key));
  } else if (action == "get_domain_sid") {
    std::string sid;
    found = directory->GetDomainSid(&sid) == 0;
    if (found) r["sid"] = ustring(sid);
  } else if (action == "list_share_name" || action == "list_domain_name") {
    std::vector<std::string> names;
    found = (action == "list_share_name" ? directory->ListShareNames(&names)
                                         : directory->ListDomainNames(&names)) == 0;
    if (found) r["name_list"] = NameList(names);
  } else {
    Logger::Log(4, kComponent, "[WARNING] cached(%d): unknown action '%s'\n", __LINE__,
                action.c_str());
    r["ack"] = static_cast<int32_t>(kAckInvalidRequest);
    return true;
  }
  if (!found) r["ack"] = static_cast<int32_t>(kAckNotFound);
  return true;
}

CacheServer::CacheServer(Directory* directory, uint32_t timeout_seconds)
    : directory_(directory), timeout_(timeout_seconds > 0 ? timeout_seconds : kDefaultTimeout) {}

CacheServer::~CacheServer() {
  // Descriptors only: the socket file is removed by Close alone, so that a
  // process that merely ends (the launcher, once the daemon runs) never
  // takes the daemon's socket away.
  if (listen_fd_ >= 0) close(listen_fd_);
  for (int fd : wake_fds_) {
    if (fd >= 0) close(fd);
  }
}

bool CacheServer::Listen(const std::string& socket_path, std::string* err) {
  host_path_ = paths::HostPath(socket_path);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (host_path_.size() >= sizeof(addr.sun_path)) {
    *err = "socket path " + host_path_ + " is longer than " +
           std::to_string(sizeof(addr.sun_path) - 1) + " bytes";
    return false;
  }
  memcpy(addr.sun_path, host_path_.data(), host_path_.size());

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *err = std::string("socket: ") + strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(host_path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *err = host_path_ + " exists and is not a socket";
      close(fd);
      return false;
    }
    // A server that still answers keeps its socket; one that died left a
    // file nobody listens on.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive =
        probe >= 0 && connect(probe, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    if (probe >= 0) close(probe);
    if (alive) {
      *err = "already running (a server answers on " + socket_path + ")";
      close(fd);
      return false;
    }
    unlink(host_path_.c_str());
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 64) != 0) {
    *err = "cannot listen on " + host_path_ + ": " + strerror(errno);
    close(fd);
    return false;
  }
  // Every local process of the package may ask.
  chmod(host_path_.c_str(), 0666);
  if (pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *err = std::string("pipe: ") + strerror(errno);
    close(fd);
    unlink(host_path_.c_str());
    return false;
  }
  listen_fd_ = fd;
  return true;
}

void CacheServer::Run() {
  std::thread watchdog(&CacheServer::Watch, this);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) break;
    }
    struct pollfd pfds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    int rc = poll(pfds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      Logger::Log(3, kComponent, "[ERROR] cached(%d): poll: %s\n", __LINE__, strerror(errno));
      break;
    }
    if (pfds[1].revents != 0) break;
    if (pfds[0].revents == 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory: the pending client stays queued;
        // give the system a moment instead of spinning on it.
        Logger::Log(3, kComponent, "[ERROR] cached(%d): accept: %s\n", __LINE__, strerror(errno));
        poll(nullptr, 0, 100);
      }
      continue;  // EAGAIN, EINTR, ECONNABORTED: the client is gone
    }
    Serve(fd);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  watchdog.join();
}

void CacheServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    if (current_fd_ >= 0) shutdown(current_fd_, SHUT_RDWR);
  }
  cv_.notify_all();
  if (wake_fds_[1] >= 0) {
    ssize_t ignored = write(wake_fds_[1], "x", 1);
    (void)ignored;  // a full pipe already wakes the server
  }
}

void CacheServer::Close() {
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    unlink(host_path_.c_str());
  }
}

void CacheServer::Watch() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    if (current_fd_ < 0) {
      cv_.wait(lock);
      continue;
    }
    if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && current_fd_ >= 0 &&
        std::chrono::steady_clock::now() >= deadline_) {
      Logger::Log(4, kComponent,
                  "[WARNING] cached(%d): client took longer than %u seconds, cut off\n", __LINE__,
                  timeout_ * kConnectionLimitFactor);
      // The serving thread sees the end of the stream and lets go; the
      // descriptor itself is closed there.
      shutdown(current_fd_, SHUT_RDWR);
      current_fd_ = -1;
    }
  }
}

void CacheServer::Serve(int fd) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    current_fd_ = fd;
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::seconds(static_cast<int64_t>(timeout_) * kConnectionLimitFactor);
    if (stopping_) shutdown(fd, SHUT_RDWR);
  }
  cv_.notify_all();

  {
    // The channel owns the descriptor from here on and closes it when it
    // goes, after the watchdog has let go of it below.
    Channel channel;
    channel.SetTimeout(timeout_);
    if (channel.Open(fd, true) == 0) {
      uint32_t type = 0;
      PStream stream;
      PObject request;
      PObject reply;
      if (channel.ReadUInt32(&type) != 0) {
        Logger::Log(7, kComponent, "[DEBUG] cached(%d): client left before its request\n",
                    __LINE__);
      } else if (type != kConnectionType) {
        Logger::Log(4, kComponent, "[WARNING] cached(%d): unknown connection type %u\n", __LINE__,
                    type);
      } else if (stream.RecvDiscard(&channel, &request) != 0) {
        // Garbage, a truncated item or a hang-up: nothing to answer.  File
        // data in a request went to the null device.
        Logger::Log(4, kComponent, "[WARNING] cached(%d): unreadable request\n", __LINE__);
      } else if (Answer(directory_, request, &reply)) {
        if (stream.Send(&channel, reply) != 0) {
          Logger::Log(4, kComponent, "[WARNING] cached(%d): reply to '%s' not delivered\n",
                      __LINE__, request["action"].as_string().c_str());
        }
      }
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      current_fd_ = -1;
    }
  }
}

}  // namespace cached
