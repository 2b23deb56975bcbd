// Channel: the byte transport under PStream.
//
// A Channel is a connected stream socket (Unix-domain, TCP over IPv4 or IPv6,
// or an adopted descriptor), optionally upgraded to SSL, driven through the
// buffered socket layer of netio/.  It offers exact-length reads and writes
// that time out, big-endian integers, file-to-socket and socket-to-file
// transfers with progress reporting and optional bandwidth limiting, and an
// optional running digest over every byte read or written.
//
// Result codes are the messaging layer's: 0 on success, negative on failure
// (the constants below).  Nothing throws.  Every failure is logged once under
// the component "channel_debug".
//
// Writes are buffered: bytes reach the wire on Flush() or Close() (or when the
// write buffer fills up).
//
// Threads: a Channel is used by one thread at a time; only the abort flag
// (SetAbortFlag) may be set by another thread while a transfer runs.
#ifndef DRIFT_MESSAGING_CHANNEL_H_
#define DRIFT_MESSAGING_CHANNEL_H_

#include <stddef.h>
#include <stdint.h>

#include "base/ustring.h"
#include "cli/logger.h"
#include "netio/bandwidth_controller.h"
#include "netio/buffered_io.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;
typedef struct evp_md_st EVP_MD;

namespace cat {
class BufferedIO;
class Socket;
}  // namespace cat

class ChannelController;

class Channel {
 public:
  // Result codes (negated entries of the messaging error table).
  enum {
    kOk = 0,
    kErrInterrupted = -1,
    kErrIo = -2,               // closed channel, short read/write, timeout, peer hang-up
    kErrSystem = -3,           // socket set-up or allocation failure
    kErrInvalidArgument = -4,  // bad open arguments, channel already open
    kErrDiskFull = -16,        // receiving into a file: no space or quota
    kErrSslVerify = -24,       // SSL upgrade: server certificate did not verify
    kErrSslCertChanged = -25,  // SSL upgrade: server certificate is not the pinned one
    kErrFileTooBig = -34,      // receiving into a file: file size limit
  };

  // Default timeout of reads, writes and connects, in seconds.
  static constexpr uint32_t kDefaultTimeout = 60;
  // Chunk size of the hashing (buffered) file transfers.
  static constexpr size_t kFileChunkSize = 81920;

  // Receives file-transfer progress.  The channel calls report() with the
  // byte count of each step of a transfer (from the transferring thread).
  class ProgressReporter {
   public:
    ProgressReporter() : m_transferred(0) {}
    virtual ~ProgressReporter();
    // The base class stores `count` as the transferred count.
    virtual void report(uint64_t count);
    virtual uint64_t transferred() const;

   protected:
    uint64_t m_transferred;
  };

  // Certificate, private key (server side) and CA file (client side) of SSL
  // upgrades.  Appliance paths; they are opened through paths::HostPath.
  // Process-wide; set them before any upgrade (not thread-safe).
  static ustring m_cert_path;
  static ustring m_key_path;
  static ustring m_ca_path;

  Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  // Closes the channel.
  virtual ~Channel();

  // Connects to the Unix-domain socket at `path` (cut to 107 bytes).  Replaces
  // a socket that is still open.  0; -3 socket or non-blocking set-up failed;
  // -2 connect failed.
  virtual int Open(const ustring& path);
  // Adopts the connected socket `fd` (the channel owns it from then on).  With
  // `configure`, sets SO_LINGER (1 s) and non-blocking mode.  0; -4 negative fd
  // or channel already open (the old socket is kept); -3 set-up failed.
  virtual int Open(int fd, bool configure);
  // Connects over TCP to the IPv4 or IPv6 address text `host` (no name
  // lookup).  Replaces a socket that is still open.  0; -4 null host or
  // negative port; -2 connect failed; -3 socket set-up failed.
  virtual int Open(const char* host, int port);
  // Flushes (a failure is logged and ignored), shuts the socket down and closes
  // it.  The channel can be opened again.  Returns 0.
  virtual int Close();

  // Timeout of every wait for readiness, in seconds (0: no limit).
  virtual void SetTimeout(uint32_t seconds);
  // A non-zero *flag stops connects and transfers between steps.  The flag
  // must outlive the channel's use of it; null clears it.
  virtual void SetAbortFlag(int* flag);

  // Discards the current digest, then with `on` starts a new one of the
  // OpenSSL digest named `algorithm` ("md5", "sha1", "sha256", ...).  Returns
  // true when off, or when the digest could be started.
  virtual bool SetHashing(bool on, const ustring& algorithm);
  // Lowercase hexadecimal digest of the bytes read and written since
  // SetHashing (or ResetHash); hashing goes on.  Empty with hashing off.
  virtual ustring GetHash();
  // Restarts the digest with the same algorithm.  False with hashing off or on
  // failure.
  virtual bool ResetHash();

  // Runs an SSL handshake over the open connection, as server or client.
  // 0 (also when already SSL); -24 verification failed; -25 certificate
  // changed; -2 anything else (including a closed channel).
  virtual int ConvertToSSLChannel(bool server_side);

  // Exact-length big-endian integers.  0, or -2.
  virtual int ReadUInt8(uint8_t* value);
  virtual int ReadUInt16(uint16_t* value);
  virtual int ReadUInt32(uint32_t* value);
  virtual int ReadUInt64(uint64_t* value);
  virtual int WriteUInt8(uint8_t value);
  virtual int WriteUInt16(uint16_t value);
  virtual int WriteUInt32(uint32_t value);
  virtual int WriteUInt64(uint64_t value);

  // Reads exactly n bytes (each arrival waited for up to the timeout).  0, or
  // -2 on a closed channel, end of stream, timeout, abort or error.  n == 0
  // succeeds without touching the socket.
  virtual int Read(void* buffer, size_t n);
  // As above; *count receives n on success (0 for n == 0), else what arrived.
  virtual int Read(void* buffer, size_t n, size_t* count);
  // Buffers n bytes for sending.  0 when all n were taken, else -2.
  virtual int Write(const void* buffer, size_t n);

  // Small items in place.  When a Read or Write of n bytes would do nothing
  // but copy them from the read-ahead buffer or into the write buffer (an
  // open channel, no digest running, no debug line that could be written,
  // and the bytes all there or fitting without a step on the wire), these
  // give where the bytes are or go, and Consume or Commit then finish what
  // that Read or Write would have done.  Null otherwise: then Read or Write.
  // A message's tags, lengths and short strings take this road; it does not
  // pass through an overriding Read or Write.
  const char* ReadInPlace(size_t n) { return OnlyCopies() ? m_bio->ReadAhead(n) : nullptr; }
  void ConsumeRead(size_t n) { m_bio->ConsumeRead(n); }
  char* WriteInPlace(size_t n) { return OnlyCopies() ? m_bio->WriteRoom(n) : nullptr; }
  void CommitWrite(size_t n) { m_bio->CommitWrite(n); }

  // Sends `length` bytes of the file `fd` from `offset`.  Direct (send-file
  // path) with hashing off, buffered (80 KiB chunks through Write, so the
  // digest sees them) with hashing on.  `reporter` may be null.  0 when exactly
  // `length` bytes went, else -2 (-3 allocation failure).
  virtual int SendFile(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter);
  virtual int SendFileDirect(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter);
  virtual int SendFileBuffered(int fd, uint64_t offset, uint64_t length,
                               ProgressReporter* reporter);
  // Receives `length` bytes into the file `fd` at `offset`; *received tells
  // how many arrived.  Direct with hashing off, buffered with hashing on (then
  // *received is the reporter's transferred count).  0 when exactly `length`
  // bytes were stored; -16 disk full; -34 file too big; -2 otherwise.
  virtual int RecvFile(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter,
                       uint64_t* received);
  virtual int RecvFileDirect(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter,
                             uint64_t* received);
  // Buffered receive; progress goes only to `reporter` (may be null).
  virtual int RecvFileBuffered(int fd, uint64_t offset, uint64_t length,
                               ProgressReporter* reporter);

  // Conversions of names between this host and the peer; the identity here.
  virtual ustring ConvertToPeer(const ustring& text);
  virtual ustring ConvertFromPeer(const ustring& text);

  // Sends what is buffered.  -1 when `flag` is non-zero; otherwise 0 or the
  // buffered IO's (negative) error code; -2 on a closed channel.
  virtual int Flush(int flag);
  // The peer's IPv4 address text and port.  On a closed channel: "", 0 and
  // result 0.  -3 getpeername failed; -1 formatting failed.
  virtual int GetPeerInfo(ustring* address, int* port);
  // Hands `value` to the transport when it is an SSL client socket (see
  // cat::SslClientSocket::SetOption); no effect otherwise.
  virtual void SetSSLOption(int value);
  // True when there is no buffered IO (never opened, or closed).
  virtual bool IsClosed();

  // Host <-> big-endian byte order.
  virtual uint64_t Swap64(uint64_t value);
  virtual uint32_t Swap32(uint32_t value);
  virtual uint16_t Swap16(uint16_t value);

  // Connects a TCP socket to the address text `host` and `port`; the
  // connected descriptor (blocking mode as created) or -1.
  virtual int ConnectTcp(const char* host, int port);

  // Whether a client-side upgrade verifies the server (default true).
  void SetVerify(bool verify) { m_verify = verify ? 1 : 0; }
  bool GetVerify() const { return m_verify != 0; }
  // Peer-identity settings handed to the SSL client socket on upgrade: the
  // expected server name and the pinned certificate fingerprint (see
  // cat::SslClientSocket).  Empty: not checked.
  void SetSSLServerName(const ustring& name) { m_ssl_server_name = name; }
  void SetSSLFingerprint(const ustring& fingerprint) { m_ssl_fingerprint = fingerprint; }

  // The controller of the channel's transfers, e.g. for bandwidth limits
  // (cat::BandwidthController::SetLimit).  Owned by the channel.
  ChannelController* GetController() const { return m_controller; }

  bool IsSSL() const { return m_is_ssl != 0; }
  uint32_t GetTimeout() const { return m_timeout; }

 private:
  // Creates or resets the buffered IO over the socket with the controller and
  // timeout.  Returns 0 or -3.
  int SetupBufferedIO();
  // Replaces the socket object by one over `fd`, shutting down and closing an
  // open old one.
  void ReplaceSocket(int fd);
  void UpdateDigest(const void* data, size_t n);
  // A Read or Write that its buffer can serve would only copy bytes.
  bool OnlyCopies() const {
    return m_bio != nullptr && m_md_ctx == nullptr && !Logger::MightLog(7);
  }
  void FreeDigest();

  uint32_t m_timeout;
  ChannelController* m_controller;
  [[maybe_unused]] void* m_reserved;  // kept for layout compatibility; always null
  uint8_t m_is_ssl;
  uint8_t m_verify;
  ustring m_ssl_server_name;
  ustring m_ssl_fingerprint;
  cat::BufferedIO* m_bio;
  cat::Socket* m_socket;
  EVP_MD_CTX* m_md_ctx;
  const EVP_MD* m_md;
};

// The channel's controller of its buffered IO: abort flag and bandwidth limit
// (from cat::BandwidthController) plus the progress reporter of the file
// transfer in hand, which hears of every step.
class ChannelController : public cat::BandwidthController {
 public:
  ChannelController();
  ~ChannelController() override;

  void SetProgressReporter(Channel::ProgressReporter* reporter) { m_reporter = reporter; }
  Channel::ProgressReporter* GetProgressReporter() const { return m_reporter; }

  void OnRead(size_t count) override;
  void OnWrite(size_t count) override;

 private:
  Channel::ProgressReporter* m_reporter;
};

#endif  // DRIFT_MESSAGING_CHANNEL_H_
