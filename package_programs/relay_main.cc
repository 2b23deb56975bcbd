// tarnrelayd -a NAME | -r NAME: the platform's relay registration, as far as
// the package uses it.  It keeps the registered service names, one per line,
// in the relay configuration file; registering a name twice or removing one
// that is not there changes nothing and succeeds.
//
// Installed at "/usr/tarn/sbin/tarnrelayd" of the root, outside the package
// tree; it finds the root from that install path.  The configuration folder
// must exist: the program never creates folders of the system.
#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"
#include "package_programs/daemon.h"

namespace {

const char kUsage[] = "usage: tarnrelayd -a NAME | -r NAME";

// The relay configuration is a handful of names.
constexpr size_t kMaxConfSize = 1024 * 1024;

// Service names are plain words: printable ASCII without blanks, '/' or '#'.
bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c >= 0x7f || c == '/' || c == '#') return false;
  }
  return true;
}

// The registered names, in file order; blank and '#' lines are kept as they
// are in `lines` so that an administrator's comments survive a rewrite.
void SplitLines(const std::string& text, std::vector<std::string>* lines) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines->push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
}

std::string Trimmed(const std::string& line) {
  size_t b = line.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = line.find_last_not_of(" \t\r");
  return line.substr(b, e - b + 1);
}

}  // namespace

int main(int argc, char** argv) {
  pkg_daemon::StartProgram("tarnrelayd");
  if (argc != 3 || (strcmp(argv[1], "-a") != 0 && strcmp(argv[1], "-r") != 0)) {
    pkg_daemon::ReportError(kUsage);
    return 2;
  }
  const bool add = strcmp(argv[1], "-a") == 0;
  const std::string name = argv[2];
  if (!ValidName(name)) {
    pkg_daemon::ReportError("invalid service name '" + name + "'");
    return 2;
  }

  const std::string host_path = paths::HostPath(paths::kRelayConf);
  // Two registrations at once must not lose one another's name.
  host_platform::FolderLock lock(host_path);
  if (!lock.locked()) {
    pkg_daemon::ReportError(std::string("cannot lock the folder of ") + paths::kRelayConf + ": " +
                            strerror(errno));
    return 1;
  }
  std::string text;
  switch (host_platform::ReadWholeFile(host_path, kMaxConfSize, &text)) {
    case host_platform::ReadResult::kOk:
    case host_platform::ReadResult::kMissing:
      break;
    default:
      pkg_daemon::ReportError(std::string("cannot read ") + paths::kRelayConf);
      return 1;
  }
  std::vector<std::string> lines;
  SplitLines(text, &lines);
  std::vector<std::string> kept;
  bool found = false;
  for (const std::string& line : lines) {
    if (Trimmed(line) == name) {
      found = true;
      if (!add) continue;
    }
    kept.push_back(line);
  }
  if (add == found) return 0;  // already registered, or nothing to remove
  if (add) kept.push_back(name);
  std::string out;
  for (const std::string& line : kept) out += line + "\n";
  if (!host_platform::ReplaceFileAtomically(host_path, out, 0644)) {
    pkg_daemon::ReportError(std::string("cannot write ") + paths::kRelayConf + ": " +
                            strerror(errno));
    return 1;
  }
  return 0;
}
