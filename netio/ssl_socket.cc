#include "netio/ssl_socket.h"

#include <ctype.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include "cli/logger.h"

namespace cat {

namespace {

const char kComponent[] = "channel_debug";

std::string Hex(const unsigned char* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0f];
  }
  return out;
}

// Lowercase hex without separators, for comparing fingerprints as people
// write them ("AB:CD:..." or "abcd...").
std::string NormalizeFingerprint(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace

SslSocket::SslSocket(int fd, bool server)
    : Transport(fd),
      m_ctx(nullptr),
      m_ssl(nullptr),
      m_server(server),
      m_want(POLLIN),
      m_last_error(0),
      m_quiet(false),
      m_established(false) {}

SslSocket::~SslSocket() { Teardown(); }

void SslSocket::LogSslErrors() {
  unsigned long err;
  while ((err = ERR_get_error()) != 0) {
    char text[256];
    ERR_error_string_n(err, text, sizeof(text));
    Logger::Log(4, kComponent, "[WARNING] channel(%d): ssl-errors: %s\n", __LINE__, text);
  }
}

void SslSocket::Teardown() {
  if (m_ssl != nullptr) {
    if (m_quiet) SSL_set_quiet_shutdown(m_ssl, 1);
    if (m_established) {
      SSL_shutdown(m_ssl);  // one non-blocking attempt; the peer may be gone
    }
    SSL_free(m_ssl);
    m_ssl = nullptr;
  }
  if (m_ctx != nullptr) {
    SSL_CTX_free(m_ctx);
    m_ctx = nullptr;
  }
  ERR_clear_error();
}

int SslSocket::InitSSL(const std::string& cert_path, const std::string& key_path,
                       bool skip_verify_store, const std::string& ca_path) {
  ERR_clear_error();
  m_ctx = SSL_CTX_new(m_server ? TLS_server_method() : TLS_client_method());
  if (m_ctx == nullptr) {
    Logger::Log(4, kComponent, "[WARNING] channel(%d): m_ssl_ctx created failed\n", __LINE__);
    LogSslErrors();
    return -1;
  }
  SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A peer that drops the connection shows as the end of the stream.
  SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!m_server) {
    // The suite that older peers of this protocol asked for; current
    // libraries refuse it, and then the default list stands.
    if (SSL_CTX_set_cipher_list(m_ctx, "RC4-MD5") != 1) {
      Logger::Log(4, kComponent,
                  "[WARNING] channel(%d): can't set cipher suit to SSL3_TXT_RSA_RC4_128_MD5\n",
                  __LINE__);
      ERR_clear_error();
    }
  } else {
    Logger::Log(7, kComponent, "[DEBUG] channel(%d): cert path = %s\n", __LINE__,
                cert_path.c_str());
    if (SSL_CTX_use_certificate_chain_file(m_ctx, cert_path.c_str()) != 1) {
      Logger::Log(4, kComponent, "[WARNING] channel(%d): Install certificate failed\n", __LINE__);
      LogSslErrors();
      Logger::Log(4, kComponent, "[WARNING] channel(%d): Open: init ssl certificate failed\n",
                  __LINE__);
      Teardown();
      return -1;
    }
    if (SSL_CTX_use_PrivateKey_file(m_ctx, key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
      Logger::Log(4, kComponent, "[WARNING] channel(%d): Install private key failed\n", __LINE__);
      Logger::Log(4, kComponent, "[WARNING] channel(%d): Open: init ssl private key failed\n",
                  __LINE__);
      Teardown();
      return -1;
    }
  }
  m_ssl = SSL_new(m_ctx);
  if (m_ssl == nullptr || SSL_set_fd(m_ssl, m_fd) != 1) {
    Logger::Log(4, kComponent, "[WARNING] channel(%d): m_ssl created failed\n", __LINE__);
    LogSslErrors();
    Teardown();
    return -1;
  }
  if (m_server) {
    SSL_set_accept_state(m_ssl);
    return 0;
  }
  if (!skip_verify_store) {
    if (SSL_CTX_load_verify_locations(m_ctx, ca_path.c_str(), nullptr) != 1) {
      Logger::Log(4, kComponent,
                  "[WARNING] channel(%d): SSL_CTX_load_verify_locations(%s) failed\n", __LINE__,
                  ca_path.c_str());
      LogSslErrors();
      Logger::Log(4, kComponent, "[WARNING] channel(%d): InitSSL(): set Verify store fail\n",
                  __LINE__);
      Teardown();
      return -1;
    }
  }
  // The handshake never stops on the certificate; AfterHandshake judges the
  // recorded verification result itself.
  SSL_set_verify(m_ssl, SSL_VERIFY_NONE, nullptr);
  SSL_set_connect_state(m_ssl);
  return 0;
}

ssize_t SslSocket::ReadSome(void* buffer, size_t n) {
  if (m_ssl == nullptr) {
    errno = EBADF;
    return -1;
  }
  ERR_clear_error();
  size_t got = 0;
  int rc = SSL_read_ex(m_ssl, buffer, n, &got);
  if (rc == 1) return static_cast<ssize_t>(got);
  int err = SSL_get_error(m_ssl, rc);
  if (err == SSL_ERROR_ZERO_RETURN) return 0;
  return FailedTransfer(err, EIO);
}

ssize_t SslSocket::WriteSome(const void* buffer, size_t n) {
  if (m_ssl == nullptr) {
    errno = EBADF;
    return -1;
  }
  ERR_clear_error();
  size_t put = 0;
  int rc = SSL_write_ex(m_ssl, buffer, n, &put);
  if (rc == 1) return static_cast<ssize_t>(put);
  return FailedTransfer(SSL_get_error(m_ssl, rc), EPIPE);
}

ssize_t SslSocket::FailedTransfer(int ssl_error, int silent_syscall_errno) {
  switch (ssl_error) {
    case SSL_ERROR_WANT_READ:
      m_want = POLLIN;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_WANT_WRITE:
      m_want = POLLOUT;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_SYSCALL:
      if (errno == 0) errno = silent_syscall_errno;
      m_last_error = kErrSsl;
      return -1;
    default:
      LogSslErrors();
      m_last_error = kErrSsl;
      errno = EIO;
      return -1;
  }
}

int SslSocket::Handshake() {
  if (m_ssl == nullptr) {
    m_last_error = kErrSsl;
    errno = EBADF;
    return -1;
  }
  ERR_clear_error();
  int rc = SSL_do_handshake(m_ssl);
  if (rc == 1) {
    m_established = true;
    return AfterHandshake() == 0 ? 1 : -1;
  }
  int err = SSL_get_error(m_ssl, rc);
  if (err == SSL_ERROR_WANT_READ) {
    m_want = POLLIN;
    return 0;
  }
  if (err == SSL_ERROR_WANT_WRITE) {
    m_want = POLLOUT;
    return 0;
  }
  Logger::Log(4, kComponent, "[WARNING] channel(%d): SSL handshake failed (%d)\n", __LINE__, err);
  LogSslErrors();
  m_last_error = kErrSsl;
  if (errno == 0) errno = EPROTO;
  return -1;
}

SslServerSocket::SslServerSocket(int fd, const std::string& cert_path, const std::string& key_path)
    : SslSocket(fd, true) {
  InitSSL(cert_path, key_path, true, std::string());
}

SslClientSocket::SslClientSocket(int fd, bool skip_verify, const std::string& ca_path,
                                 const std::string& server_name, const std::string& fingerprint)
    : SslSocket(fd, false), m_skip_verify(skip_verify), m_fingerprint(fingerprint) {
  if (InitSSL(std::string(), std::string(), skip_verify, ca_path) != 0) return;
  if (!server_name.empty()) {
    if (SSL_set_tlsext_host_name(m_ssl, server_name.c_str()) != 1 ||
        (!skip_verify && SSL_set1_host(m_ssl, server_name.c_str()) != 1)) {
      Logger::Log(4, kComponent, "[WARNING] channel(%d): can't set server name '%s'\n", __LINE__,
                  server_name.c_str());
      LogSslErrors();
      Teardown();
    }
  }
}

void SslClientSocket::SetOption(int value) {
  SetQuietShutdown((value & kOptionQuietShutdown) != 0);
}

int SslClientSocket::AfterHandshake() {
  X509* cert = SSL_get1_peer_certificate(m_ssl);
  if (cert != nullptr) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(cert, EVP_sha256(), md, &len) == 1) m_peer_fingerprint = Hex(md, len);
    X509_free(cert);
  }
  if (!m_skip_verify) {
    long result = SSL_get_verify_result(m_ssl);
    if (cert == nullptr || result != X509_V_OK) {
      Logger::Log(4, kComponent, "[WARNING] channel(%d): server certificate not verified: %s\n",
                  __LINE__,
                  cert == nullptr ? "no certificate" : X509_verify_cert_error_string(result));
      m_last_error = kErrVerify;
      return -1;
    }
  }
  if (!m_fingerprint.empty() && NormalizeFingerprint(m_fingerprint) != m_peer_fingerprint) {
    Logger::Log(4, kComponent, "[WARNING] channel(%d): server certificate changed\n", __LINE__);
    m_last_error = kErrCertChanged;
    return -1;
  }
  return 0;
}

}  // namespace cat
