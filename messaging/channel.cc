#include "messaging/channel.h"

#include <arpa/inet.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "messaging/pstream_errors.h"
#include "netio/buffered_io.h"
#include "netio/file.h"
#include "netio/socket.h"
#include "netio/ssl_socket.h"

ustring Channel::m_cert_path = paths::kCertPath;
ustring Channel::m_key_path = paths::kKeyPath;
ustring Channel::m_ca_path = paths::kCaPath;

namespace {

const ustring& Component() {
  static const ustring component("channel_debug");
  return component;
}

// Longest Unix-domain path copied into the address (the last byte of
// sun_path stays NUL).
const size_t kMaxUnixPath = 107;

std::string HostPath(const ustring& appliance_path) {
  return paths::HostPath(std::string(appliance_path.c_str(), appliance_path.length()));
}

// The channel's code for a failed write into a file.
int FileWriteCode(int bio_error) {
  if (bio_error == cat::BufferedIO::kErrNoSpace) return Channel::kErrDiskFull;
  if (bio_error == cat::BufferedIO::kErrFileTooBig) return Channel::kErrFileTooBig;
  return Channel::kErrIo;
}

const char* BufferedIOErrorText(int code) {
  switch (code) {
    case cat::BufferedIO::kOk:
      return "no error";
    case cat::BufferedIO::kErrSystem:
      return "system error";
    case cat::BufferedIO::kErrAborted:
      return "aborted";
    case cat::BufferedIO::kErrTimeout:
      return "timed out";
    case cat::BufferedIO::kErrEndOfStream:
      return "end of stream";
    case cat::BufferedIO::kErrNoSpace:
      return "no space left";
    case cat::BufferedIO::kErrFileTooBig:
      return "file too big";
    case cat::BufferedIO::kErrNotAttached:
      return "no socket";
    default:
      return "unknown error";
  }
}

// A file stretch must lie within the 64-bit signed file offsets.
bool ValidStretch(uint64_t offset, uint64_t length) {
  const uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  return offset <= kMax && length <= kMax - offset;
}

// Counts every reported chunk; stands in when a caller gives no reporter.
class CountingReporter : public Channel::ProgressReporter {
 public:
  void report(uint64_t count) override { m_transferred += count; }
};

}  // namespace

Channel::ProgressReporter::~ProgressReporter() = default;

void Channel::ProgressReporter::report(uint64_t count) { m_transferred = count; }

uint64_t Channel::ProgressReporter::transferred() const { return m_transferred; }

ChannelController::ChannelController() : m_reporter(nullptr) {}

ChannelController::~ChannelController() = default;

void ChannelController::OnRead(size_t count) {
  cat::BandwidthController::OnRead(count);
  if (m_reporter != nullptr) m_reporter->report(count);
}

void ChannelController::OnWrite(size_t count) {
  cat::BandwidthController::OnWrite(count);
  if (m_reporter != nullptr) m_reporter->report(count);
}

Channel::Channel()
    : m_timeout(kDefaultTimeout),
      m_controller(new ChannelController()),
      m_reserved(nullptr),
      m_is_ssl(0),
      m_verify(1),
      m_bio(nullptr),
      m_socket(nullptr),
      m_md_ctx(nullptr),
      m_md(nullptr) {}

Channel::~Channel() {
  Close();
  FreeDigest();
  delete m_controller;
}

void Channel::ReplaceSocket(int fd) {
  if (m_socket != nullptr && m_socket->IsOpen()) {
    m_socket->Shutdown();
    m_socket->Close();
  } else if (m_socket == nullptr) {
    m_socket = new cat::Socket();
  }
  m_socket->Attach(fd);
}

int Channel::SetupBufferedIO() {
  if (m_bio == nullptr) {
    m_bio = new (std::nothrow) cat::BufferedIO();
    if (m_bio == nullptr) return kErrSystem;
  }
  m_bio->Reset();
  m_bio->Attach(m_socket);
  m_bio->SetController(m_controller);
  m_bio->SetTimeout(m_timeout);
  m_is_ssl = 0;
  return kOk;
}

int Channel::Open(const ustring& path) {
  if (m_socket != nullptr && m_socket->IsOpen()) {
    m_socket->Shutdown();
    m_socket->Close();
  } else if (m_socket == nullptr) {
    m_socket = new cat::Socket();
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): Channel: Can not open socket. %s\n",
                __LINE__, strerror(errno));
    return kErrSystem;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), std::min<size_t>(path.length(), kMaxUnixPath));
  // A listener whose backlog is full makes connect wait; the send timeout
  // bounds that wait (the socket turns non-blocking right after).
  if (m_timeout > 0) {
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(m_timeout);
    tv.tv_usec = 0;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    Logger::Log(4, Component(),
                "[WARNING] channel(%d): Channel: Can not connect to server at '%s'. %s\n", __LINE__,
                addr.sun_path, strerror(errno));
    close(fd);
    return kErrIo;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    Logger::Log(3, Component(),
                "[ERROR] channel(%d): Channel: Cannot set the fd as nonblocking at '%s'. %s\n",
                __LINE__, addr.sun_path, strerror(errno));
    close(fd);
    return kErrSystem;
  }
  m_socket->Attach(fd);
  return SetupBufferedIO();
}

int Channel::Open(int fd, bool configure) {
  if (m_socket != nullptr && m_socket->IsOpen()) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Open: Channel already opened.", __LINE__);
    return kErrInvalidArgument;
  }
  if (fd < 0) return kErrInvalidArgument;
  if (m_socket == nullptr) m_socket = new cat::Socket();
  m_socket->Attach(fd);
  if (configure) {
    if (m_socket->SetLinger(true, 1) != 0) {
      Logger::Log(4, Component(),
                  "[WARNING] channel(%d): Open: SetLinger to socket [%d] failed, %s\n", __LINE__,
                  fd, strerror(errno));
      return kErrSystem;
    }
    if (m_socket->SetNonBlock(true) != 0) {
      Logger::Log(4, Component(),
                  "[WARNING] channel(%d): Open: SetNonBlock to socket [%d] failed, %s\n", __LINE__,
                  fd, strerror(errno));
      return kErrSystem;
    }
  }
  int rc = SetupBufferedIO();
  if (rc != kOk) return rc;
  Logger::Log(7, Component(), "[DEBUG] channel(%d): Channel: opening socket %d\n", __LINE__, fd);
  return kOk;
}

int Channel::Open(const char* host, int port) {
  if (host == nullptr || port < 0) return kErrInvalidArgument;
  int fd = ConnectTcp(host, port);
  if (fd < 0) return kErrIo;
  ReplaceSocket(fd);
  if (m_socket->SetLinger(true, 1) != 0) {
    Logger::Log(4, Component(),
                "[WARNING] channel(%d): Open: SetLinger to socket [%d] failed, %s\n", __LINE__, fd,
                strerror(errno));
    m_socket->Shutdown();
    return kErrSystem;
  }
  // No keep-alive probing is configured: the per-operation timeouts already
  // detect a dead peer while the channel is in use.
  Logger::Log(7, Component(),
              "[DEBUG] channel(%d): Channel::Open: SetupTcpKeepAlive failed (ignoring)\n",
              __LINE__);
  return SetupBufferedIO();
}

int Channel::ConnectTcp(const char* host, int port) {
  if (host == nullptr || port < 0 || port > 65535) return -1;
  unsigned char probe[sizeof(struct in6_addr)];
  int family;
  if (inet_pton(AF_INET, host, probe) == 1) {
    family = AF_INET;
  } else if (inet_pton(AF_INET6, host, probe) == 1) {
    family = AF_INET6;
  } else {
    Logger::Log(4, Component(), "[WARNING] channel(%d): ConnectTcp: '%s' is not an IP address\n",
                __LINE__, host);
    return -1;
  }
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): ConnectTcp: socket: %s\n", __LINE__,
                strerror(errno));
    return -1;
  }
  if (m_timeout > 0) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
      close(fd);
      return -1;
    }
  }
  char port_text[16];
  snprintf(port_text, sizeof(port_text), "%d", port);
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  struct addrinfo* result = nullptr;
  int gai = getaddrinfo(host, port_text, &hints, &result);
  if (gai != 0) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): ConnectTcp: getaddrinfo: %s\n", __LINE__,
                gai_strerror(gai));
    close(fd);
    return -1;
  }
  bool connected = false;
  int last_errno = 0;
  for (struct addrinfo* ai = result; ai != nullptr && !connected; ai = ai->ai_next) {
    if (m_controller->IsAborted()) {
      last_errno = ECANCELED;
      break;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      connected = true;
      break;
    }
    if (errno != EINPROGRESS) {
      last_errno = errno;
      continue;
    }
    // Wait for the connect in short slices so that the abort flag is seen.
    const uint64_t deadline = cat::BandwidthController::NowMicros() / 1000 + m_timeout * 1000ULL;
    for (;;) {
      if (m_controller->IsAborted()) {
        last_errno = ECANCELED;
        break;
      }
      uint64_t now = cat::BandwidthController::NowMicros() / 1000;
      if (now >= deadline) {
        last_errno = ETIMEDOUT;
        break;
      }
      struct pollfd pfd;
      pfd.fd = fd;
      pfd.events = POLLOUT;
      pfd.revents = 0;
      int rc = poll(&pfd, 1, static_cast<int>(std::min<uint64_t>(deadline - now, 500)));
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) {
        last_errno = errno;
        break;
      }
      if (rc == 0) continue;
      int err = 0;
      socklen_t len = sizeof(err);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0) connected = true;
      last_errno = err;
      break;
    }
  }
  freeaddrinfo(result);
  if (!connected) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): ConnectTcp: can not connect to %s:%d. %s\n",
                __LINE__, host, port, strerror(last_errno));
    close(fd);
    return -1;
  }
  return fd;
}

int Channel::Close() {
  if (m_bio != nullptr) {
    int rc = m_bio->Flush();
    if (rc != cat::BufferedIO::kOk) {
      Logger::Log(4, Component(), "[WARNING] channel(%d): FlushWrite: %s\n", __LINE__,
                  PStreamErrorMessage(rc));
    }
    m_bio->Close();
    delete m_bio;
    m_bio = nullptr;
  }
  if (m_socket != nullptr) {
    m_socket->Shutdown();
    m_socket->Close();
    delete m_socket;
    m_socket = nullptr;
  }
  Logger::Log(7, Component(), "[DEBUG] channel(%d): Channel has been closed.\n", __LINE__);
  m_is_ssl = 0;
  return kOk;
}

void Channel::SetTimeout(uint32_t seconds) {
  m_timeout = seconds;
  if (m_bio != nullptr) m_bio->SetTimeout(seconds);
}

void Channel::SetAbortFlag(int* flag) { m_controller->SetAbortFlag(flag); }

void Channel::FreeDigest() {
  if (m_md_ctx != nullptr) {
    EVP_MD_CTX_free(m_md_ctx);
    m_md_ctx = nullptr;
  }
  m_md = nullptr;
}

bool Channel::SetHashing(bool on, const ustring& algorithm) {
  FreeDigest();
  if (!on) return true;
  ERR_clear_error();
  const EVP_MD* md = EVP_get_digestbyname(algorithm.c_str());
  if (md == nullptr) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): SetHashing: unknown digest '%s'\n",
                __LINE__, algorithm.c_str());
    return false;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
    // md4 and other legacy digests land here when their provider is not
    // loaded.
    unsigned long err = ERR_get_error();
    char text[256] = "";
    if (err != 0) ERR_error_string_n(err, text, sizeof(text));
    Logger::Log(4, Component(), "[WARNING] channel(%d): SetHashing: can not start digest '%s' %s\n",
                __LINE__, algorithm.c_str(), text);
    ERR_clear_error();
    EVP_MD_CTX_free(ctx);
    return false;
  }
  m_md_ctx = ctx;
  m_md = md;
  return true;
}

ustring Channel::GetHash() {
  if (m_md_ctx == nullptr) return ustring();
  EVP_MD_CTX* copy = EVP_MD_CTX_new();
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  bool ok = copy != nullptr && EVP_MD_CTX_copy_ex(copy, m_md_ctx) == 1 &&
            EVP_DigestFinal_ex(copy, md, &len) == 1;
  EVP_MD_CTX_free(copy);
  if (!ok) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): GetHash: can not finish the digest\n",
                __LINE__);
    ERR_clear_error();
    return ustring();
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(len * 2);
  for (unsigned int i = 0; i < len; ++i) {
    hex += kDigits[md[i] >> 4];
    hex += kDigits[md[i] & 0x0f];
  }
  return ustring(hex);
}

bool Channel::ResetHash() {
  if (m_md_ctx == nullptr) return false;
  return EVP_DigestInit_ex(m_md_ctx, m_md, nullptr) == 1;
}

void Channel::UpdateDigest(const void* data, size_t n) {
  if (m_md_ctx != nullptr && n > 0) EVP_DigestUpdate(m_md_ctx, data, n);
}

int Channel::ConvertToSSLChannel(bool server_side) {
  if (m_is_ssl) {
    Logger::Log(4, Component(),
                "[WARNING] channel(%d): ConvertToSSLChannel: Channel is SSL channel, no need to be "
                "converted\n",
                __LINE__);
    return kOk;
  }
  if (m_bio == nullptr || m_socket == nullptr || !m_socket->IsOpen()) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): ConvertToSSLChannel: channel is closed\n",
                __LINE__);
    return kErrIo;
  }
  // The handshake is driven through timed waits, which need a non-blocking
  // descriptor (an adopted one may still be blocking).
  m_socket->SetNonBlock(true);
  cat::SslSocket* ssl;
  if (server_side) {
    ssl = new cat::SslServerSocket(m_socket->fd(), HostPath(m_cert_path), HostPath(m_key_path));
  } else {
    ssl = new cat::SslClientSocket(m_socket->fd(), m_verify == 0, HostPath(m_ca_path),
                                   std::string(m_ssl_server_name.c_str()),
                                   std::string(m_ssl_fingerprint.c_str()));
  }
  int rc = ssl->IsReady() ? m_bio->SwitchTransport(ssl) : cat::BufferedIO::kErrNotAttached;
  if (rc != cat::BufferedIO::kOk) {
    int last = ssl->LastError();
    delete ssl;
    Logger::Log(4, Component(),
                "[WARNING] channel(%d): ConvertToSSLChannel: SSL set-up failed (%d, %d)\n",
                __LINE__, rc, last);
    if (last == cat::SslSocket::kErrVerify) return kErrSslVerify;
    if (last == cat::SslSocket::kErrCertChanged) return kErrSslCertChanged;
    return kErrIo;
  }
  m_is_ssl = 1;
  return kOk;
}

int Channel::ReadUInt8(uint8_t* value) {
  uint8_t b;
  int rc = Read(&b, 1);
  if (rc == kOk) *value = b;
  return rc;
}

int Channel::ReadUInt16(uint16_t* value) {
  uint16_t v;
  int rc = Read(&v, sizeof(v));
  if (rc == kOk) *value = Swap16(v);
  return rc;
}

int Channel::ReadUInt32(uint32_t* value) {
  uint32_t v;
  int rc = Read(&v, sizeof(v));
  if (rc == kOk) *value = Swap32(v);
  return rc;
}

int Channel::ReadUInt64(uint64_t* value) {
  uint64_t v;
  int rc = Read(&v, sizeof(v));
  if (rc == kOk) *value = Swap64(v);
  return rc;
}

int Channel::WriteUInt8(uint8_t value) { return Write(&value, 1); }

int Channel::WriteUInt16(uint16_t value) {
  uint16_t v = Swap16(value);
  return Write(&v, sizeof(v));
}

int Channel::WriteUInt32(uint32_t value) {
  uint32_t v = Swap32(value);
  return Write(&v, sizeof(v));
}

int Channel::WriteUInt64(uint64_t value) {
  uint64_t v = Swap64(value);
  return Write(&v, sizeof(v));
}

int Channel::Read(void* buffer, size_t n) {
  size_t count = 0;
  return Read(buffer, n, &count);
}

int Channel::Read(void* buffer, size_t n, size_t* count) {
  if (count != nullptr) *count = 0;
  if (n == 0) return kOk;
  if (m_bio == nullptr) {
    Logger::Log(7, Component(), "[DEBUG] channel(%d): Read failed: channel has been closed.\n",
                __LINE__);
    return kErrIo;
  }
  if (!m_bio->IsUsable() || (m_bio->AtEnd() && m_bio->Buffered() == 0)) return kErrIo;
  size_t got = m_bio->Read(buffer, n);
  UpdateDigest(buffer, got);
  if (count != nullptr) *count = got;
  if (got != n) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): Read: %zu of %zu bytes, %s\n", __LINE__,
                got, n, BufferedIOErrorText(m_bio->LastError()));
    return kErrIo;
  }
  if (Logger::MightLog(7)) {
    Logger::Log(7, Component(), "[DEBUG] channel(%d): Read %d bytes \n", __LINE__,
                static_cast<int>(n));
  }
  return kOk;
}

int Channel::Write(const void* buffer, size_t n) {
  if (m_bio == nullptr) {
    Logger::Log(7, Component(), "[DEBUG] channel(%d): Write failed: channel has been closed.\n",
                __LINE__);
    return kErrIo;
  }
  size_t put = m_bio->Write(buffer, n);
  UpdateDigest(buffer, put);
  if (Logger::MightLog(7)) {
    Logger::Log(7, Component(), "[DEBUG] channel(%d): Write %d bytes\n", __LINE__,
                static_cast<int>(put));
  }
  if (put != n || m_bio->LastError() != cat::BufferedIO::kOk) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): Write: %zu of %zu bytes, %s\n", __LINE__,
                put, n, BufferedIOErrorText(m_bio->LastError()));
    return kErrIo;
  }
  return kOk;
}

int Channel::SendFile(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter) {
  if (m_md_ctx != nullptr) return SendFileBuffered(fd, offset, length, reporter);
  return SendFileDirect(fd, offset, length, reporter);
}

int Channel::SendFileDirect(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter) {
  if (m_bio == nullptr) {
    Logger::Log(7, Component(), "[DEBUG] channel(%d): Write failed: channel has been closed.\n",
                __LINE__);
    return kErrIo;
  }
  if (!ValidStretch(offset, length)) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): SendFile: bad file stretch\n", __LINE__);
    return kErrIo;
  }
  // Bytes buffered before the file leave first, without the reporter, which
  // counts file bytes only.
  if (m_bio->Flush() != cat::BufferedIO::kOk) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): SendFile: %s\n", __LINE__,
                BufferedIOErrorText(m_bio->LastError()));
    return kErrIo;
  }
  m_controller->SetProgressReporter(reporter);
  cat::File file(fd);
  uint64_t sent = m_bio->SendFile(&file, offset, length);
  m_controller->SetProgressReporter(nullptr);
  Logger::Log(7, Component(), "[DEBUG] channel(%d): Write %lld bytes.\n", __LINE__,
              static_cast<long long>(sent));
  if (sent != length || m_bio->LastError() != cat::BufferedIO::kOk) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): SendFile: %llu of %llu bytes, %s\n",
                __LINE__, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(length), BufferedIOErrorText(m_bio->LastError()));
    return kErrIo;
  }
  return kOk;
}

int Channel::SendFileBuffered(int fd, uint64_t offset, uint64_t length,
                              ProgressReporter* reporter) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kFileChunkSize]);
  if (!buffer) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Can't alloc memory.\n", __LINE__);
    return kErrSystem;
  }
  cat::File file(fd);
  if (!ValidStretch(offset, length) || file.Seek(offset) != 0) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Can't seek file to offset %lld.\n", __LINE__,
                static_cast<long long>(offset));
    return kErrIo;
  }
  cat::BandwidthController file_controller;
  file_controller.SetAbortFlag(m_controller->GetAbortFlag());
  cat::BufferedIO file_io;
  file_io.Attach(&file);
  file_io.SetController(&file_controller);
  file_io.SetTimeout(m_timeout);
  uint64_t done = 0;
  int rc = kErrIo;
  while (done < length) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - done, kFileChunkSize));
    size_t got = file_io.Read(buffer.get(), chunk);
    if (got != chunk) {
      Logger::Log(3, Component(), "[ERROR] channel(%d): Failed to read file. (error: %d)\n",
                  __LINE__, file_io.LastError());
      rc = kErrIo;
      break;
    }
    int w = Write(buffer.get(), chunk);
    if (w != kOk) {
      rc = w;
      break;
    }
    done += chunk;
    if (reporter != nullptr) reporter->report(chunk);
  }
  Logger::Log(7, Component(), "[DEBUG] channel(%d): Write %lld bytes.\n", __LINE__,
              static_cast<long long>(done));
  return done == length ? kOk : rc;
}

int Channel::RecvFile(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter,
                      uint64_t* received) {
  if (m_md_ctx == nullptr) return RecvFileDirect(fd, offset, length, reporter, received);
  CountingReporter counter;
  ProgressReporter* used = reporter != nullptr ? reporter : &counter;
  int rc = RecvFileBuffered(fd, offset, length, used);
  if (received != nullptr) *received = used->transferred();
  return rc;
}

int Channel::RecvFileDirect(int fd, uint64_t offset, uint64_t length, ProgressReporter* reporter,
                            uint64_t* received) {
  if (received != nullptr) *received = 0;
  if (m_bio == nullptr) {
    Logger::Log(7, Component(), "[DEBUG] channel(%d): Read failed: channel has been closed.\n",
                __LINE__);
    return kErrIo;
  }
  if (!ValidStretch(offset, length)) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): RecvFile: bad file stretch\n", __LINE__);
    return kErrIo;
  }
  m_controller->SetProgressReporter(reporter);
  cat::File file(fd);
  uint64_t got = m_bio->RecvFile(&file, offset, length);
  m_controller->SetProgressReporter(nullptr);
  Logger::Log(7, Component(), "[DEBUG] channel(%d): Read %lld bytes.\n", __LINE__,
              static_cast<long long>(got));
  // What did arrive is reported even on failure, so that the caller can cut
  // the file back to exactly the stored bytes.
  if (received != nullptr) *received = got;
  int error = m_bio->LastError();
  if (error != cat::BufferedIO::kOk) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Failed to recvfile (rc: %lld, error: %d)\n",
                __LINE__, -1LL, error);
    return FileWriteCode(error);
  }
  return got == length ? kOk : kErrIo;
}

int Channel::RecvFileBuffered(int fd, uint64_t offset, uint64_t length,
                              ProgressReporter* reporter) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kFileChunkSize]);
  if (!buffer) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Can't alloc memory.\n", __LINE__);
    return kErrSystem;
  }
  cat::File file(fd);
  if (!ValidStretch(offset, length) || file.Seek(offset) != 0) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Can't seek file to offset %d.\n", __LINE__,
                static_cast<int>(offset));
    return kErrIo;
  }
  cat::BandwidthController file_controller;
  file_controller.SetAbortFlag(m_controller->GetAbortFlag());
  // A one-byte buffer makes every chunk go to the file at once, so that what
  // the reporter counts is really stored when a later step fails.
  cat::BufferedIO file_io(1);
  file_io.Attach(&file);
  file_io.SetController(&file_controller);
  file_io.SetTimeout(m_timeout);
  uint64_t done = 0;
  int rc = kOk;
  while (done < length) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - done, kFileChunkSize));
    int r = Read(buffer.get(), chunk);
    if (r != kOk) {
      Logger::Log(3, Component(), "[ERROR] channel(%d): Failed to read. (code: %d)\n", __LINE__, r);
      rc = r;
      break;
    }
    size_t w = file_io.Write(buffer.get(), chunk);
    if (w != chunk || file_io.LastError() != cat::BufferedIO::kOk) {
      Logger::Log(3, Component(), "[ERROR] channel(%d): Failed to write. (rc: %d, error: %d)\n",
                  __LINE__, static_cast<int>(w), file_io.LastError());
      rc = FileWriteCode(file_io.LastError());
      break;
    }
    done += chunk;
    if (reporter != nullptr) reporter->report(chunk);
  }
  int flushed = file_io.Flush();
  if (flushed != cat::BufferedIO::kOk) {
    Logger::Log(3, Component(), "[ERROR] channel(%d): Failed to flush. (error: %d)\n", __LINE__,
                flushed);
    if (rc == kOk) rc = FileWriteCode(flushed);
  }
  if (rc != kOk) return rc;
  return done == length ? kOk : kErrIo;
}

ustring Channel::ConvertToPeer(const ustring& text) { return text; }

ustring Channel::ConvertFromPeer(const ustring& text) { return text; }

int Channel::Flush(int flag) {
  if (flag != 0) return -1;
  if (m_bio == nullptr) return kErrIo;
  return m_bio->Flush();
}

int Channel::GetPeerInfo(ustring* address, int* port) {
  if (m_bio == nullptr || m_socket == nullptr || !m_socket->IsOpen()) {
    Logger::Log(4, Component(),
                "[WARNING] channel(%d): GetPeerInfo: Attempting to get info of an uninitialized "
                "channel\n",
                __LINE__);
    *address = "";
    *port = 0;
    return kOk;
  }
  struct sockaddr_storage peer;
  socklen_t len = sizeof(peer);
  memset(&peer, 0, sizeof(peer));
  if (getpeername(m_socket->fd(), reinterpret_cast<struct sockaddr*>(&peer), &len) != 0) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): GetPeerInfo: getpeername: %s\n", __LINE__,
                strerror(errno));
    return kErrSystem;
  }
  char text[INET6_ADDRSTRLEN];
  const char* formatted = nullptr;
  int peer_port = 0;
  if (peer.ss_family == AF_INET) {
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(&peer);
    formatted = inet_ntop(AF_INET, &in->sin_addr, text, 17);
    peer_port = ntohs(in->sin_port);
  } else if (peer.ss_family == AF_INET6) {
    const struct sockaddr_in6* in6 = reinterpret_cast<const struct sockaddr_in6*>(&peer);
    formatted = inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
    peer_port = ntohs(in6->sin6_port);
  } else {
    errno = EAFNOSUPPORT;  // a Unix-domain peer has no address text
  }
  if (formatted == nullptr) {
    Logger::Log(4, Component(), "[WARNING] channel(%d): GetPeerInfo: inet_ntop: %s (%d)\n",
                __LINE__, strerror(errno), errno);
    *address = "";
    *port = 0;
    return -1;
  }
  *address = formatted;
  *port = peer_port;
  return kOk;
}

void Channel::SetSSLOption(int value) {
  if (m_bio == nullptr) return;
  cat::SslClientSocket* client = dynamic_cast<cat::SslClientSocket*>(m_bio->GetTransport());
  if (client != nullptr) client->SetOption(value);
}

bool Channel::IsClosed() { return m_bio == nullptr; }

uint64_t Channel::Swap64(uint64_t value) { return htobe64(value); }

uint32_t Channel::Swap32(uint32_t value) { return htobe32(value); }

uint16_t Channel::Swap16(uint16_t value) { return htobe16(value); }
