// cat::BufferedIO: exact-length, timed, buffered reads and writes over a
// cat::Transport, plus the file-to-socket and socket-to-file paths.
//
// Every transfer loops until its byte count is done.  Before each step it
// asks the controller whether to abort and how much the bandwidth limit
// allows; after each step it tells the controller what moved.  When the
// transport would block it waits for readiness in slices (3 s by default);
// a transfer fails with kErrTimeout once more than the timeout has passed
// since the last byte moved (timeout 0: wait forever).  A failure stops the
// transfer and is kept as LastError().
//
// Writes are buffered and leave on Flush() (or when the buffer fills).
// Reads fill a read-ahead buffer; the file paths consume it first.
//
// Not thread-safe; the controller's abort flag is the only thing another
// thread may touch.
#ifndef DRIFT_NETIO_BUFFERED_IO_H_
#define DRIFT_NETIO_BUFFERED_IO_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "netio/bandwidth_controller.h"
#include "netio/socket.h"

namespace cat {

class File;

class BufferedIO {
 public:
  enum {
    kOk = 0,
    kErrSystem = -1,       // a system call failed (errno in LastErrno)
    kErrAborted = -2,      // the controller's abort flag was set
    kErrTimeout = -3,      // no progress within the timeout
    kErrEndOfStream = -4,  // the peer closed the stream, or the file ended early
    kErrNoSpace = -5,      // ENOSPC or EDQUOT while writing
    kErrFileTooBig = -6,   // EFBIG while writing
    kErrNotAttached = -7,  // no usable transport
  };

  static constexpr size_t kDefaultBufferSize = 65536;
  static constexpr uint32_t kDefaultWaitSliceMs = 3000;

  explicit BufferedIO(size_t buffer_size = kDefaultBufferSize);
  BufferedIO(const BufferedIO&) = delete;
  BufferedIO& operator=(const BufferedIO&) = delete;
  ~BufferedIO();

  // Drops buffered bytes (unsent ones too), the end-of-stream mark and the
  // last error, and releases an owned transport; keeps controller and timeout.
  void Reset();
  // Uses `transport` (not owned; null detaches).
  void Attach(Transport* transport);
  // Flushes, then runs the handshake of `transport` over the connection
  // (waiting as for any transfer) and on success makes it the transport,
  // owned from then on (a previously owned one is destroyed).  On failure
  // the caller keeps `transport` and the old one stays.  0 or an error code.
  int SwitchTransport(Transport* transport);
  Transport* GetTransport() const { return m_transport; }

  // Not owned; null means a plain BufferedIOController's neutral answers.
  void SetController(BufferedIOController* controller);
  void SetTimeout(uint32_t seconds) { m_timeout_ms = static_cast<uint64_t>(seconds) * 1000; }
  void SetTimeoutMillis(uint64_t ms) { m_timeout_ms = ms; }
  void SetWaitSlice(uint32_t ms) { m_slice_ms = ms > 0 ? ms : 1; }

  // Reads up to n bytes, stopping early only on failure (then LastError).
  // Returns the count read.  Bytes wholly in the read-ahead buffer are
  // copied here, without the general loop: nearly every small item of a
  // message is read this way.
  size_t Read(void* buffer, size_t n) {
    const char* ahead = ReadAhead(n);
    if (ahead == nullptr) return ReadThrough(buffer, n);
    memcpy(buffer, ahead, n);
    ConsumeRead(n);
    return n;
  }
  // Takes up to n bytes for sending, stopping early only on failure.  Bytes
  // that fit in the write buffer without filling it are copied here.
  size_t Write(const void* buffer, size_t n) {
    char* room = WriteRoom(n);
    if (room == nullptr) return WriteThrough(buffer, n);
    memcpy(room, buffer, n);
    CommitWrite(n);
    return n;
  }
  // The n bytes a Read(n) would copy wholly from the read-ahead buffer, in
  // place; null when it would have to go further.  ConsumeRead(n) then
  // takes them as that Read would.
  const char* ReadAhead(size_t n) const {
    if (n == 0 || m_rend - m_rpos < n || !IsUsable()) return nullptr;
    return m_rbuf.data() + m_rpos;
  }
  void ConsumeRead(size_t n) {
    m_rpos += n;
    m_error = kOk;
  }
  // Where a Write(n) would copy its bytes, when they fit in the write buffer
  // without filling it; null otherwise.  CommitWrite(n) then takes the n
  // bytes put there as that Write would.
  char* WriteRoom(size_t n) {
    if (n == 0 || m_wlen + n >= m_wbuf.size() || !IsUsable()) return nullptr;
    return m_wbuf.data() + m_wlen;
  }
  void CommitWrite(size_t n) {
    m_wlen += n;
    m_error = kOk;
  }
  // Sends everything buffered.  0 or an error code.
  int Flush();

  // Sends `length` bytes of `file` from `offset` (after flushing): sendfile
  // on a raw stream, else chunks read with pread.  Returns the count sent.
  uint64_t SendFile(File* file, uint64_t offset, uint64_t length);
  // Receives `length` bytes into `file` at `offset`: read-ahead bytes first,
  // then splice on a raw stream, else chunks written with pwrite.  Returns the
  // count stored.
  uint64_t RecvFile(File* file, uint64_t offset, uint64_t length);

  // Flushes (ignoring failure) and releases the transport.  0 or the flush's
  // error code.
  int Close();

  // A transport is attached and open, and the stream has not ended.
  bool IsUsable() const { return m_transport != nullptr && m_transport->IsOpen(); }
  bool AtEnd() const { return m_eof; }
  // Bytes waiting in the read-ahead buffer.
  size_t Buffered() const { return m_rend - m_rpos; }
  size_t PendingWrite() const { return m_wlen; }
  int LastError() const { return m_error; }
  int LastErrno() const { return m_errno; }

 private:
  // Waits until the transport is ready for `events`; 0 or an error code.
  int Wait(short events);
  // Read and Write when the buffers alone cannot serve them.
  size_t ReadThrough(void* buffer, size_t n);
  size_t WriteThrough(const void* buffer, size_t n);
  // One read step into `dst` (at most n bytes), waiting as needed: > 0 bytes,
  // else 0 with m_error set.
  size_t ReadStep(void* dst, size_t n);
  // Writes all n bytes unbuffered; returns the count written.
  size_t WriteAll(const char* src, size_t n);
  // Writes n bytes at `offset` of file descriptor `fd`; count written.
  size_t PwriteAll(int fd, const char* src, size_t n, uint64_t offset);
  uint64_t SendFileChunked(File* file, uint64_t offset, uint64_t length);
  uint64_t RecvFileChunked(File* file, uint64_t offset, uint64_t length);
  uint64_t RecvFileSplice(File* file, uint64_t offset, uint64_t length, bool* unsupported);
  bool CheckAbort();
  void Fail(int code, int err);
  void FailWrite(int err);
  void Progress();
  BufferedIOController* controller() { return m_controller ? m_controller : &m_neutral; }

  size_t m_size;
  std::vector<char> m_rbuf;
  size_t m_rpos;
  size_t m_rend;
  std::vector<char> m_wbuf;
  size_t m_wlen;
  bool m_eof;
  int m_error;
  int m_errno;
  Transport* m_transport;
  Transport* m_owned;
  BufferedIOController* m_controller;
  BufferedIOController m_neutral;
  uint64_t m_timeout_ms;
  uint32_t m_slice_ms;
  uint64_t m_last_progress_ms;
};

}  // namespace cat

#endif  // DRIFT_NETIO_BUFFERED_IO_H_
