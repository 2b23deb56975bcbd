// WebUtils::IsPortConflict: is some process listening on a TCP port of a
// range?
//
// The kernel's socket tables (/proc/net/tcp and /proc/net/tcp6, in our own
// network namespace) are read for sockets in the LISTEN state, rather than
// trying to bind each port: the tables are exact about listening (a socket
// that is merely bound, or a connection in TIME_WAIT, does not count), they
// need no privilege for ports below 1024, and reading them never disturbs a
// service that is starting at the same moment.  Only when neither table can
// be read (no /proc) do we fall back to trying to bind the wildcard address
// of each port and family, where EADDRINUSE means taken.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform_lib.h"

namespace {

constexpr unsigned kTcpListen = 0x0A;  // TCP_LISTEN in the kernel's state numbering

// Scans one table; false when it cannot be opened.
bool ScanTable(const char* table, int first, int last, bool* listening) {
  FILE* f = fopen(table, "re");
  if (f == nullptr) return false;
  char* line = nullptr;
  size_t cap = 0;
  while (!*listening && getline(&line, &cap, f) > 0) {
    // "  12: 0100007F:1A2B 00000000:0000 0A ..." (the header line fails to
    // match and is skipped).
    unsigned port = 0;
    unsigned state = 0;
    if (sscanf(line, " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x", &port, &state) != 2) {
      continue;
    }
    if (state == kTcpListen && static_cast<int>(port) >= first && static_cast<int>(port) <= last) {
      *listening = true;
    }
  }
  free(line);
  fclose(f);
  return true;
}

bool BindFails(int family, int port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;  // family not available: nothing can listen there
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  int rc;
  if (family == AF_INET) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    rc = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  } else {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    struct sockaddr_in6 addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(static_cast<uint16_t>(port));
    addr.sin6_addr = in6addr_any;
    rc = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  }
  bool in_use = rc != 0 && errno == EADDRINUSE;
  close(fd);
  return in_use;
}

}  // namespace

namespace WebUtils {

int IsPortConflict(const char* service, int first, int last) {
  if (first < 1 || last > 65535 || first > last) {
    // No service can be served on such a port: report it as unusable.
    TLIBCErrSetEx(TLIB_ERR_BAD_PARAMETERS, __FILE__, __LINE__);
    return -1;
  }
  bool listening = false;
  bool v4 = ScanTable("/proc/net/tcp", first, last, &listening);
  bool v6 = listening || ScanTable("/proc/net/tcp6", first, last, &listening);
  if (v4 || v6) return listening ? 1 : 0;
  for (int port = first; port <= last; ++port) {
    if (BindFails(AF_INET, port) || BindFails(AF_INET6, port)) return 1;
  }
  return 0;
}

}  // namespace WebUtils
