#include "netio/buffered_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>

#include "netio/file.h"

namespace cat {

namespace {

// sendfile and splice move at most this much per call on every kernel.
const size_t kMaxStep = 0x7ffff000;
// Pipe capacity asked for on the splice path (the kernel may give less).
const int kPipeSize = 1 << 20;

uint64_t NowMillis() { return BandwidthController::NowMicros() / 1000; }

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

size_t Clamp(uint64_t n, size_t cap) { return n > cap ? cap : static_cast<size_t>(n); }

bool IsBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) {
      fds_[0] = fds_[1] = -1;
      return;
    }
    fcntl(fds_[1], F_SETPIPE_SZ, kPipeSize);  // best effort
    int size = fcntl(fds_[1], F_GETPIPE_SZ);
    capacity_ = size > 0 ? static_cast<size_t>(size) : 65536;
  }
  ~Pipe() {
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  bool ok() const { return fds_[0] >= 0; }
  int in() const { return fds_[1]; }
  int out() const { return fds_[0]; }
  size_t capacity() const { return capacity_; }

 private:
  int fds_[2];
  size_t capacity_ = 65536;
};

}  // namespace

BufferedIO::BufferedIO(size_t buffer_size)
    : m_size(buffer_size > 0 ? buffer_size : kDefaultBufferSize),
      m_rpos(0),
      m_rend(0),
      m_wlen(0),
      m_eof(false),
      m_error(kOk),
      m_errno(0),
      m_transport(nullptr),
      m_owned(nullptr),
      m_controller(nullptr),
      m_timeout_ms(0),
      m_slice_ms(kDefaultWaitSliceMs),
      m_last_progress_ms(0) {}

BufferedIO::~BufferedIO() { delete m_owned; }

void BufferedIO::Reset() {
  m_rpos = m_rend = 0;
  m_wlen = 0;
  m_eof = false;
  m_error = kOk;
  m_errno = 0;
  delete m_owned;
  m_owned = nullptr;
  m_transport = nullptr;
}

void BufferedIO::Attach(Transport* transport) {
  if (m_owned != nullptr && m_owned != transport) {
    delete m_owned;
    m_owned = nullptr;
  }
  m_transport = transport;
  m_eof = false;
}

void BufferedIO::SetController(BufferedIOController* controller) { m_controller = controller; }

void BufferedIO::Fail(int code, int err) {
  m_error = code;
  m_errno = err;
}

void BufferedIO::FailWrite(int err) {
  if (err == ENOSPC || err == EDQUOT) {
    Fail(kErrNoSpace, err);
  } else if (err == EFBIG) {
    Fail(kErrFileTooBig, err);
  } else {
    Fail(kErrSystem, err);
  }
}

void BufferedIO::Progress() { m_last_progress_ms = NowMillis(); }

bool BufferedIO::CheckAbort() {
  if (!controller()->IsAborted()) return false;
  Fail(kErrAborted, 0);
  return true;
}

int BufferedIO::Wait(short events) {
  for (;;) {
    if (CheckAbort()) return m_error;
    uint64_t slice = m_slice_ms;
    if (m_timeout_ms > 0) {
      uint64_t now = NowMillis();
      uint64_t idle = now > m_last_progress_ms ? now - m_last_progress_ms : 0;
      if (idle >= m_timeout_ms) {
        Fail(kErrTimeout, ETIMEDOUT);
        return m_error;
      }
      slice = std::min<uint64_t>(slice, m_timeout_ms - idle);
    }
    struct pollfd pfd;
    pfd.fd = m_transport->fd();
    pfd.events = events;
    pfd.revents = 0;
    int rc = poll(&pfd, 1, static_cast<int>(slice));
    if (rc > 0) return kOk;  // errors and hang-ups surface in the next step
    if (rc < 0) {
      if (errno == EINTR) continue;
      Fail(kErrSystem, errno);
      return m_error;
    }
  }
}

size_t BufferedIO::ReadStep(void* dst, size_t n) {
  for (;;) {
    if (CheckAbort()) return 0;
    size_t quota = std::min(controller()->Quota(BufferedIOController::kRead, n), n);
    ssize_t r = m_transport->ReadSome(dst, quota);
    if (r > 0) {
      controller()->OnRead(static_cast<size_t>(r));
      Progress();
      return static_cast<size_t>(r);
    }
    if (r == 0) {
      m_eof = true;
      Fail(kErrEndOfStream, 0);
      return 0;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) {
      if (Wait(m_transport->WaitEvents(true)) != kOk) return 0;
      continue;
    }
    Fail(kErrSystem, errno);
    return 0;
  }
}

size_t BufferedIO::ReadThrough(void* buffer, size_t n) {
  m_error = kOk;
  if (n == 0) return 0;
  if (!IsUsable()) {
    Fail(kErrNotAttached, EBADF);
    return 0;
  }
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  // The idle clock starts when this call first has to go to the transport:
  // a read served from the buffer alone does not read the clock, which was
  // a quarter of the cost of decoding many small items.
  bool clock_started = false;
  while (done < n) {
    if (m_rend > m_rpos) {
      size_t c = std::min(m_rend - m_rpos, n - done);
      memcpy(out + done, m_rbuf.data() + m_rpos, c);
      m_rpos += c;
      done += c;
      continue;
    }
    if (m_eof) {
      Fail(kErrEndOfStream, 0);
      break;
    }
    if (!clock_started) {
      Progress();
      clock_started = true;
    }
    size_t left = n - done;
    if (left >= m_size) {
      size_t r = ReadStep(out + done, left);
      if (r == 0) break;
      done += r;
    } else {
      if (m_rbuf.size() < m_size) m_rbuf.resize(m_size);
      size_t r = ReadStep(m_rbuf.data(), m_size);
      if (r == 0) break;
      m_rpos = 0;
      m_rend = r;
    }
  }
  return done;
}

size_t BufferedIO::WriteAll(const char* src, size_t n) {
  size_t done = 0;
  Progress();
  while (done < n) {
    if (CheckAbort()) break;
    size_t quota = std::min(controller()->Quota(BufferedIOController::kWrite, n - done), n - done);
    ssize_t r = m_transport->WriteSome(src + done, quota);
    if (r > 0) {
      controller()->OnWrite(static_cast<size_t>(r));
      Progress();
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r == 0 || WouldBlock(errno)) {
      if (Wait(m_transport->WaitEvents(false)) != kOk) break;
      continue;
    }
    FailWrite(errno);
    break;
  }
  return done;
}

size_t BufferedIO::WriteThrough(const void* buffer, size_t n) {
  m_error = kOk;
  if (n == 0) return 0;
  if (!IsUsable()) {
    Fail(kErrNotAttached, EBADF);
    return 0;
  }
  const char* src = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < n) {
    size_t left = n - done;
    if (m_wlen == 0 && left >= m_size) {
      size_t w = WriteAll(src + done, left);
      done += w;
      if (w < left) break;
      continue;
    }
    if (m_wbuf.size() < m_size) m_wbuf.resize(m_size);
    size_t c = std::min(m_size - m_wlen, left);
    memcpy(m_wbuf.data() + m_wlen, src + done, c);
    m_wlen += c;
    done += c;
    if (m_wlen == m_size && Flush() != kOk) break;
  }
  return done;
}

int BufferedIO::Flush() {
  m_error = kOk;
  if (m_wlen == 0) return kOk;
  if (!IsUsable()) {
    Fail(kErrNotAttached, EBADF);
    return m_error;
  }
  size_t w = WriteAll(m_wbuf.data(), m_wlen);
  if (w < m_wlen) {
    memmove(m_wbuf.data(), m_wbuf.data() + w, m_wlen - w);
    m_wlen -= w;
    if (m_error == kOk) Fail(kErrSystem, EIO);
    return m_error;
  }
  m_wlen = 0;
  return kOk;
}

uint64_t BufferedIO::SendFile(File* file, uint64_t offset, uint64_t length) {
  m_error = kOk;
  if (!IsUsable() || file == nullptr || file->fd() < 0) {
    Fail(kErrNotAttached, EBADF);
    return 0;
  }
  if (Flush() != kOk || length == 0) return 0;
  // sendfile on a blocking socket could wait without end: chunks, whose
  // writes never block, keep the timeout.
  if (!m_transport->IsRawStream() || IsBlocking(m_transport->fd())) {
    return SendFileChunked(file, offset, length);
  }
  Progress();
  uint64_t done = 0;
  while (done < length) {
    if (CheckAbort()) break;
    size_t want = Clamp(length - done, kMaxStep);
    size_t quota = std::min(controller()->Quota(BufferedIOController::kWrite, want), want);
    off_t pos = static_cast<off_t>(offset + done);
    ssize_t r = sendfile(m_transport->fd(), file->fd(), &pos, quota);
    if (r > 0) {
      controller()->OnWrite(static_cast<size_t>(r));
      Progress();
      done += static_cast<uint64_t>(r);
      continue;
    }
    if (r == 0) {  // the file is shorter than the stretch
      Fail(kErrEndOfStream, 0);
      break;
    }
    if (errno == EINTR) continue;
    if (WouldBlock(errno)) {
      if (Wait(POLLOUT) != kOk) break;
      continue;
    }
    if ((errno == EINVAL || errno == ENOSYS) && done == 0) {
      return SendFileChunked(file, offset, length);
    }
    Fail(kErrSystem, errno);
    break;
  }
  return done;
}

uint64_t BufferedIO::SendFileChunked(File* file, uint64_t offset, uint64_t length) {
  if (m_wbuf.size() < m_size) m_wbuf.resize(m_size);
  uint64_t done = 0;
  while (done < length) {
    if (CheckAbort()) break;
    size_t want = Clamp(length - done, m_size);
    ssize_t r = pread(file->fd(), m_wbuf.data(), want, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      Fail(kErrSystem, errno);
      break;
    }
    if (r == 0) {
      Fail(kErrEndOfStream, 0);
      break;
    }
    size_t w = WriteAll(m_wbuf.data(), static_cast<size_t>(r));
    done += w;
    if (w < static_cast<size_t>(r)) break;
  }
  return done;
}

size_t BufferedIO::PwriteAll(int fd, const char* src, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pwrite(fd, src + done, n - done, static_cast<off_t>(offset + done));
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    FailWrite(r < 0 ? errno : EIO);
    break;
  }
  return done;
}

uint64_t BufferedIO::RecvFile(File* file, uint64_t offset, uint64_t length) {
  m_error = kOk;
  if (!IsUsable() || file == nullptr || file->fd() < 0) {
    Fail(kErrNotAttached, EBADF);
    return 0;
  }
  uint64_t done = 0;
  if (length > 0 && m_rend > m_rpos) {
    size_t c = Clamp(length, m_rend - m_rpos);
    size_t w = PwriteAll(file->fd(), m_rbuf.data() + m_rpos, c, offset);
    m_rpos += w;
    done += w;
    if (w > 0) controller()->OnRead(w);  // progress of the bytes read ahead
    if (w < c) return done;
  }
  if (done == length) return done;
  if (m_eof) {
    Fail(kErrEndOfStream, 0);
    return done;
  }
  if (m_transport->IsRawStream()) {
    bool unsupported = false;
    done += RecvFileSplice(file, offset + done, length - done, &unsupported);
    if (!unsupported) return done;
  }
  return done + RecvFileChunked(file, offset + done, length - done);
}

uint64_t BufferedIO::RecvFileSplice(File* file, uint64_t offset, uint64_t length,
                                    bool* unsupported) {
  Pipe pipe;
  if (!pipe.ok()) {
    *unsupported = true;
    return 0;
  }
  Progress();
  uint64_t done = 0;
  while (done < length) {
    if (CheckAbort()) break;
    size_t want = Clamp(length - done, pipe.capacity());
    size_t quota = std::min(controller()->Quota(BufferedIOController::kRead, want), want);
    ssize_t r = splice(m_transport->fd(), nullptr, pipe.in(), nullptr, quota,
                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (r == 0) {
      m_eof = true;
      Fail(kErrEndOfStream, 0);
      break;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      if (WouldBlock(errno)) {
        if (Wait(POLLIN) != kOk) break;
        continue;
      }
      if ((errno == EINVAL || errno == ENOSYS) && done == 0) {
        *unsupported = true;
        return 0;
      }
      Fail(kErrSystem, errno);
      break;
    }
    // Move what the pipe holds into the file; a file system without splice
    // support gets it through a user-space copy.
    size_t in_pipe = static_cast<size_t>(r);
    size_t stored = 0;
    while (stored < in_pipe) {
      loff_t pos = static_cast<loff_t>(offset + done + stored);
      ssize_t w = splice(pipe.out(), nullptr, file->fd(), &pos, in_pipe - stored, SPLICE_F_MOVE);
      if (w > 0) {
        stored += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && (errno == EINVAL || errno == ENOSYS)) {
        if (m_rbuf.size() < m_size) m_rbuf.resize(m_size);
        ssize_t got = read(pipe.out(), m_rbuf.data(), std::min(m_size, in_pipe - stored));
        if (got <= 0) {
          Fail(kErrSystem, got < 0 ? errno : EIO);
          break;
        }
        size_t put =
            PwriteAll(file->fd(), m_rbuf.data(), static_cast<size_t>(got), offset + done + stored);
        stored += put;
        if (put < static_cast<size_t>(got)) break;
        continue;
      }
      FailWrite(w < 0 ? errno : EIO);
      break;
    }
    m_rpos = m_rend = 0;
    controller()->OnRead(in_pipe);
    Progress();
    done += stored;
    if (stored < in_pipe) break;
  }
  return done;
}

uint64_t BufferedIO::RecvFileChunked(File* file, uint64_t offset, uint64_t length) {
  if (m_rbuf.size() < m_size) m_rbuf.resize(m_size);
  m_rpos = m_rend = 0;
  Progress();
  uint64_t done = 0;
  while (done < length) {
    size_t r = ReadStep(m_rbuf.data(), Clamp(length - done, m_size));
    if (r == 0) break;
    size_t w = PwriteAll(file->fd(), m_rbuf.data(), r, offset + done);
    done += w;
    if (w < r) break;
  }
  return done;
}

int BufferedIO::SwitchTransport(Transport* transport) {
  m_error = kOk;
  if (!IsUsable() || transport == nullptr) {
    Fail(kErrNotAttached, EBADF);
    return m_error;
  }
  if (Flush() != kOk) return m_error;
  // Bytes already read ahead belong to the old transport's stream; the peer
  // must not start the new one before the switch was agreed.
  if (m_rend > m_rpos) {
    Fail(kErrSystem, EPROTO);
    return m_error;
  }
  Transport* old = m_transport;
  m_transport = transport;  // Wait() polls the transport's descriptor
  Progress();
  for (;;) {
    if (CheckAbort()) break;
    int rc = transport->Handshake();
    if (rc > 0) {
      if (m_owned != nullptr && m_owned != transport) delete m_owned;
      m_owned = transport;
      return kOk;
    }
    if (rc < 0) {
      Fail(transport->LastError() != 0 ? transport->LastError() : kErrSystem, errno);
      break;
    }
    if (Wait(transport->WaitEvents(false)) != kOk) break;
  }
  m_transport = old;
  return m_error;
}

int BufferedIO::Close() {
  int rc = kOk;
  if (m_wlen > 0 && IsUsable()) rc = Flush();
  delete m_owned;
  m_owned = nullptr;
  m_transport = nullptr;
  m_rpos = m_rend = 0;
  m_wlen = 0;
  m_eof = false;
  std::vector<char>().swap(m_rbuf);
  std::vector<char>().swap(m_wbuf);
  return rc;
}

}  // namespace cat
