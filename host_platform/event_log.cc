// The platform's event log: one line per event in /var/log/tarn-events.log,
//   2024-05-01T12:00:00+0200<TAB>1<TAB>1<TAB>0x11B01050<TAB>Drift Vault<TAB><TAB><TAB>
// (local time with its offset, type, level, event code, the four texts), and
// the same event in the system log.  Line ends and other control characters
// in the texts become blanks so that an event is always exactly one line.
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace {

std::string CleanText(const char* text) {
  std::string out = text != nullptr ? text : "";
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

int SyslogPriority(int level) {
  switch (level) {
    case 2:
      return LOG_WARNING;
    case 3:
      return LOG_ERR;
    default:
      return LOG_INFO;
  }
}

}  // namespace

int TARNLogSet1(int type, int level, uint32_t code, const char* text1, const char* text2,
                const char* text3, const char* text4) {
  char head[96];
  time_t now = time(nullptr);
  struct tm local;
  char stamp[40] = "";
  if (localtime_r(&now, &local) != nullptr) {
    strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S%z", &local);
  }
  snprintf(head, sizeof(head), "%d\t%d\t0x%08" PRIX32, type, level, code);
  const std::string event = std::string(head) + "\t" + CleanText(text1) + "\t" + CleanText(text2) +
                            "\t" + CleanText(text3) + "\t" + CleanText(text4);
  syslog(SyslogPriority(level), "event %s", event.c_str());

  const std::string line = std::string(stamp) + "\t" + event + "\n";
  int fd = open(paths::HostPath(paths::kEventLog).c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
    return -1;
  }
  // One write per event: with O_APPEND concurrent writers never interleave
  // within a line.
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n != static_cast<ssize_t>(line.size())) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_WRITE);
    return -1;
  }
  return 0;
}
