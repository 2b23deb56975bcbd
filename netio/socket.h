// Transports of the buffered socket layer: a descriptor that bytes move
// through one system step at a time.
//
// cat::Transport is what cat::BufferedIO drives.  Its steps never block on a
// non-blocking descriptor: a step that would block fails with errno EAGAIN
// and WaitEvents() tells what to wait for (POLLIN or POLLOUT; an SSL read
// may have to wait for writability and the other way round).
#ifndef DRIFT_NETIO_SOCKET_H_
#define DRIFT_NETIO_SOCKET_H_

#include <stddef.h>
#include <sys/types.h>

namespace cat {

class Transport {
 public:
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  virtual ~Transport();

  // The descriptor (-1 when there is none).  Every transport is a descriptor
  // underneath; keeping it here lets each buffered step test it inline.
  int fd() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }

  // One step: > 0 bytes moved; 0 end of stream (reads only); -1 with errno
  // set on failure (EAGAIN: would block, see WaitEvents).
  virtual ssize_t ReadSome(void* buffer, size_t n) = 0;
  virtual ssize_t WriteSome(const void* buffer, size_t n) = 0;
  // poll() events to wait for after a step failed with EAGAIN.
  virtual short WaitEvents(bool reading) const;
  // True when the descriptor carries the bytes as they are, so that the
  // kernel's file-to-socket paths (sendfile, splice) may be used on it.
  virtual bool IsRawStream() const { return true; }
  // Start-up exchange over the connection (the SSL handshake): 1 done, 0 call
  // again after waiting for WaitEvents(false), -1 failed (see LastError).
  virtual int Handshake() { return 1; }
  // The transport's own code of its last failure (0 none).
  virtual int LastError() const { return 0; }

 protected:
  explicit Transport(int fd) : m_fd(fd) {}

  int m_fd;
};

// A stream socket; owns its descriptor.
class Socket : public Transport {
 public:
  Socket() : Transport(-1) {}
  explicit Socket(int fd) : Transport(fd) {}
  ~Socket() override;

  // Takes `fd` (closing a descriptor held before).
  void Attach(int fd);
  // Gives the descriptor up without closing it.
  int Detach();

  // shutdown(SHUT_RDWR); errors (a peer already gone) are ignored.
  void Shutdown();
  // Closes the descriptor (never retried: it may be reused at once).
  void Close();
  // 0, or -1 with errno.
  int SetNonBlock(bool on);
  int SetLinger(bool on, int seconds);

  ssize_t ReadSome(void* buffer, size_t n) override;
  // Never raises SIGPIPE on a socket.
  ssize_t WriteSome(const void* buffer, size_t n) override;
};

}  // namespace cat

#endif  // DRIFT_NETIO_SOCKET_H_
