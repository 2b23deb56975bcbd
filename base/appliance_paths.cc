#include "base/appliance_paths.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace paths {
namespace {

// Links followed while resolving one path before giving up with ELOOP, as the
// kernel does.
constexpr int kMaxLinks = 40;

bool IsHostOwn(const std::string& path) {
  for (const char* prefix : {"/proc", "/dev"}) {
    size_t n = strlen(prefix);
    if (path.compare(0, n, prefix) == 0 && (path.size() == n || path[n] == '/')) return true;
  }
  return false;
}

// Splits "a/b//c" into its non-empty components and prepends them to `todo`
// (which is consumed from the back, so components are pushed in reverse).
void PushComponents(const std::string& path, std::vector<std::string>* todo) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    if (slash > pos) parts.push_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo->push_back(*it);
}

// True when `text` ends with `suffix`; `head` receives what comes before.
bool CutSuffix(const std::string& text, const std::string& suffix, std::string* head) {
  if (text.size() < suffix.size() ||
      text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  *head = text.substr(0, text.size() - suffix.size());
  return true;
}

// The root below which the program at the host path `exe` is installed: the
// package's programs lie in kInstallPrefix + "/<dir>/<name>", the platform's
// own (relay program, zip) in the folders of kRelayProgram and kZipProgram.
// False when `exe` lies in none of them.
bool RootOfInstalledProgram(const std::string& exe, std::string* root) {
  const size_t name_slash = exe.rfind('/');
  if (name_slash == std::string::npos || name_slash + 1 == exe.size()) return false;
  const std::string folder = exe.substr(0, name_slash);
  const size_t dir_slash = folder.rfind('/');
  if (dir_slash != std::string::npos && dir_slash + 1 < folder.size() &&
      CutSuffix(folder.substr(0, dir_slash), kInstallPrefix, root)) {
    return true;
  }
  for (const char* platform_program : {kRelayProgram, kZipProgram}) {
    const std::string program(platform_program);
    if (CutSuffix(folder, program.substr(0, program.rfind('/')), root)) return true;
  }
  return false;
}

}  // namespace

std::string Root() {
  const char* env = getenv("DRIFT_ROOT");
  if (env == nullptr || env[0] != '/') return std::string();
  std::string root(env);
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

std::string HostPath(const std::string& appliance_path) {
  if (appliance_path.empty() || appliance_path[0] != '/' || IsHostOwn(appliance_path)) {
    return appliance_path;
  }
  return Root() + appliance_path;
}

std::string AppliancePath(const std::string& host_path) {
  std::string root = Root();
  if (root.empty()) return host_path;
  if (host_path == root) return "/";
  if (host_path.compare(0, root.size(), root) == 0 && host_path.size() > root.size() &&
      host_path[root.size()] == '/') {
    return host_path.substr(root.size());
  }
  return host_path;
}

bool ResolvePath(const std::string& appliance_path, std::string* resolved) {
  if (appliance_path.empty() || appliance_path[0] != '/') {
    errno = EINVAL;
    return false;
  }
  if (IsHostOwn(appliance_path)) {
    char buf[PATH_MAX];
    if (realpath(appliance_path.c_str(), buf) == nullptr) return false;
    *resolved = buf;
    return true;
  }
  const std::string root = Root();
  std::vector<std::string> todo;
  PushComponents(appliance_path, &todo);
  std::string done;  // appliance path resolved so far, "" meaning "/"
  int links = 0;
  while (!todo.empty()) {
    std::string part = todo.back();
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      size_t slash = done.rfind('/');
      done.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    std::string next = done + "/" + part;
    struct stat st;
    if (lstat((root + next).c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      if (!todo.empty() && !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
      }
      done = next;
      continue;
    }
    if (++links > kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    char target[PATH_MAX];
    ssize_t n = readlink((root + next).c_str(), target, sizeof(target) - 1);
    if (n < 0) return false;
    target[n] = '\0';
    std::string link(target);
    // A link that points into the host's view of the root (as the links of
    // a diagnostic collection do) is taken as the appliance path it names.
    if (!root.empty()) link = AppliancePath(link);
    if (!link.empty() && link[0] == '/') done.clear();
    PushComponents(link, &todo);
  }
  *resolved = done.empty() ? "/" : done;
  return true;
}

void AdoptRootFromExecutable() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return;
  buf[n] = '\0';
  std::string root;
  if (RootOfInstalledProgram(buf, &root)) {
    setenv("DRIFT_ROOT", root.empty() ? "/" : root.c_str(), 1);
  }
}

std::string CompleteToolPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  // /proc gives the real path: <package>/bin/drift-control.
  const std::string program(buf);
  const size_t name = program.rfind('/');
  const size_t folder =
      name == 0 || name == std::string::npos ? std::string::npos : program.rfind('/', name - 1);
  if (folder == std::string::npos) return std::string("/") + kCompleteTool;
  return program.substr(0, folder + 1) + kCompleteTool;
}

}  // namespace paths
