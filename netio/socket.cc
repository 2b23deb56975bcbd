#include "netio/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cat {

Transport::~Transport() = default;

short Transport::WaitEvents(bool reading) const { return reading ? POLLIN : POLLOUT; }

Socket::~Socket() { Close(); }

void Socket::Attach(int fd) {
  if (fd != m_fd) Close();
  m_fd = fd;
}

int Socket::Detach() {
  int fd = m_fd;
  m_fd = -1;
  return fd;
}

void Socket::Shutdown() {
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

void Socket::Close() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
}

int Socket::SetNonBlock(bool on) {
  if (m_fd < 0) {
    errno = EBADF;
    return -1;
  }
  int flags = fcntl(m_fd, F_GETFL, 0);
  if (flags < 0) return -1;
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && fcntl(m_fd, F_SETFL, wanted) < 0) return -1;
  return 0;
}

int Socket::SetLinger(bool on, int seconds) {
  struct linger lg;
  lg.l_onoff = on ? 1 : 0;
  lg.l_linger = seconds;
  return setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
}

// MSG_DONTWAIT: a step never blocks, even on a descriptor adopted in blocking
// mode, so that every wait goes through the caller's timed poll.
ssize_t Socket::ReadSome(void* buffer, size_t n) {
  ssize_t r = recv(m_fd, buffer, n, MSG_DONTWAIT);
  if (r < 0 && errno == ENOTSOCK) r = read(m_fd, buffer, n);
  return r;
}

ssize_t Socket::WriteSome(const void* buffer, size_t n) {
  ssize_t r = send(m_fd, buffer, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (r < 0 && errno == ENOTSOCK) r = write(m_fd, buffer, n);
  return r;
}

}  // namespace cat
