// SSL transports that take over an open connection (the handshake runs over
// a socket that already carried plain bytes).
//
// The descriptor stays owned by whoever owned it before (the cat::Socket); an
// SSL socket only speaks over it.  Construction sets up the SSL context and
// object (IsReady() tells whether that worked, failures are logged); the
// handshake is driven step by step through Handshake() by cat::BufferedIO,
// which does the waiting.  Destruction shuts the SSL session down (quietly
// when asked), then frees it.
#ifndef DRIFT_NETIO_SSL_SOCKET_H_
#define DRIFT_NETIO_SSL_SOCKET_H_

#include <string>

#include "netio/socket.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace cat {

class SslSocket : public Transport {
 public:
  enum {
    kErrSsl = -100,          // handshake or session failure
    kErrVerify = -101,       // the peer's certificate did not verify
    kErrCertChanged = -102,  // the peer's certificate is not the pinned one
  };

  ~SslSocket() override;

  bool IsReady() const { return m_ssl != nullptr; }
  ssize_t ReadSome(void* buffer, size_t n) override;
  ssize_t WriteSome(const void* buffer, size_t n) override;
  short WaitEvents(bool reading) const override { return m_want; }
  bool IsRawStream() const override { return false; }
  int Handshake() override;
  int LastError() const override { return m_last_error; }

  // Skip the close_notify exchange on tear-down.
  void SetQuietShutdown(bool quiet) { m_quiet = quiet; }

 protected:
  SslSocket(int fd, bool server);
  // Context and session set-up; 0 or -1 (everything freed, failure logged).
  int InitSSL(const std::string& cert_path, const std::string& key_path, bool skip_verify_store,
              const std::string& ca_path);
  // Checks after a completed handshake; 0, or -1 with m_last_error set.
  virtual int AfterHandshake() { return 0; }
  void Teardown();
  void LogSslErrors();
  // The result of a failed SSL_read_ex/SSL_write_ex by its SSL_get_error
  // code: -1 with errno EAGAIN (and the direction to wait for) when the
  // transfer must be retried, else -1 with the error recorded; a system-call
  // failure without errno reports `silent_syscall_errno`.
  ssize_t FailedTransfer(int ssl_error, int silent_syscall_errno);

  SSL_CTX* m_ctx;
  SSL* m_ssl;
  bool m_server;
  short m_want;
  int m_last_error;
  bool m_quiet;
  bool m_established;
};

class SslServerSocket : public SslSocket {
 public:
  // Loads the certificate chain and the PEM private key (host paths).
  SslServerSocket(int fd, const std::string& cert_path, const std::string& key_path);
};

// Client side.  `skip_verify`: neither load the CA file nor check the
// server's certificate.  Otherwise the certificate must verify against the
// CA file and, when `server_name` is not empty, name that host (also sent as
// SNI); a failure is kErrVerify.  A non-empty `fingerprint` pins the
// certificate: the lowercase hexadecimal SHA-256 of its DER form (colons
// allowed) must match, else kErrCertChanged; it is checked even with
// `skip_verify`.
class SslClientSocket : public SslSocket {
 public:
  enum { kOptionQuietShutdown = 1 };

  SslClientSocket(int fd, bool skip_verify, const std::string& ca_path,
                  const std::string& server_name, const std::string& fingerprint);
  // Option bits (kOptionQuietShutdown); unknown bits are ignored.
  void SetOption(int value);

  // Lowercase hexadecimal SHA-256 of the server's certificate after the
  // handshake ("" before, or without a certificate).
  const std::string& PeerFingerprint() const { return m_peer_fingerprint; }

 protected:
  int AfterHandshake() override;

 private:
  bool m_skip_verify;
  std::string m_fingerprint;
  std::string m_peer_fingerprint;
};

}  // namespace cat

#endif  // DRIFT_NETIO_SSL_SOCKET_H_
