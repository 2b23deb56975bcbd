#include "service/diagnose.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <vector>

#include "base/appliance_paths.h"
#include "base/ustring.h"
#include "service/package_state.h"

namespace {

// The package's own logs, each kept with two rotated generations.
const char* const kPackageLogs[] = {paths::kSyncfolderLog, paths::kClientLog, paths::kCachedLog};

// Configuration and platform files collected as they are.
const char* const kFixedItems[] = {paths::kUpstartLogDir, paths::kDefaultsVersion,
                                   paths::kTarnInfoConf,  paths::kPackageInfo,
                                   paths::kPackageEtcDir, paths::kTargetEtcDir};

bool IsDotOrDotDot(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// Links the absolute appliance path `path` into `d` (whose folders for it
// exist): the link sits at d + path and points at the real file.  The path
// is taken literally, so a file whose name contains "*" is linked as it is.
int LinkIntoCollection(const std::string& path, const std::string& d) {
  const std::string target = paths::HostPath(path);
  const std::string link = paths::HostPath(d + path);
  if (symlink(target.c_str(), link.c_str()) != 0) {
    syslog(LOG_ERR, "symlink(%s, %s): (%s)\n", target.c_str(), link.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// Child side of WriteZip; never returns.
[[noreturn]] void RunZipChild(const std::string& host_d, const std::string& zip_host,
                              char* const* argv, int fd) {
  if (fd != STDOUT_FILENO && dup2(fd, STDOUT_FILENO) < 0) _exit(126);
  if (chdir(host_d.c_str()) != 0) _exit(126);
  execv(zip_host.c_str(), argv);
  syslog(LOG_ERR, "execv(%s): %s (%d)\n", zip_host.c_str(), strerror(errno), errno);
  _exit(127);
}

// True when `folder` is the system root itself ("/", "//", "/var/..").  A
// collection there would put every link at the very path it points to: the
// existing files refuse it, but a missing log would become a link to itself,
// which the program writing that log could then never open.
bool IsSystemRoot(const std::string& folder) {
  char resolved[PATH_MAX];
  char root[PATH_MAX];
  if (realpath(paths::HostPath(folder).c_str(), resolved) == nullptr ||
      realpath(paths::HostPath("/").c_str(), root) == nullptr || strcmp(resolved, root) != 0) {
    return false;
  }
  syslog(LOG_ERR, "%s is the system root: nothing is collected there\n", folder.c_str());
  return true;
}

}  // namespace

int MakeTempFolder(const std::string& base, std::string* out) {
  std::vector<char> buf(paths::HostPath(base).size() + sizeof("/XXXXXX"));
  snprintf(buf.data(), buf.size(), "%s/XXXXXX", paths::HostPath(base).c_str());
  if (mkdtemp(buf.data()) == nullptr) {
    syslog(LOG_ERR, "mkdtemp(%s): %s (%d)\n", base.c_str(), strerror(errno), errno);
    return -1;
  }
  *out = paths::AppliancePath(buf.data());
  return 0;
}

int MakeFolderPath(const std::string& path) {
  if (path.empty()) {
    syslog(LOG_ERR, "mkdir(%s): %s\n", path.c_str(), strerror(ENOENT));
    return -1;
  }
  // Every prefix ending before a "/" (the leading one excepted), then the
  // whole path.
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    const std::string prefix = pos == std::string::npos ? path : path.substr(0, pos);
    if (!prefix.empty() && prefix.back() != '/' &&
        mkdir(paths::HostPath(prefix).c_str(), 0777) != 0 && errno != EEXIST) {
      syslog(LOG_ERR, "mkdir(%s): %s\n", prefix.c_str(), strerror(errno));
      return -1;
    }
    if (pos == std::string::npos) break;
  }
  return 0;
}

int AddToCollection(const std::string& pattern, const std::string& d) {
  if (d.empty()) return -1;
  const size_t slash = pattern.rfind('/');
  // The collection mirrors absolute paths: a relative one (say a db-vol
  // without its leading "/") would be glued onto the folder's own name and
  // grow folders beside the collection, left behind by RemoveCollection.
  if (slash == std::string::npos || pattern[0] != '/') {
    syslog(LOG_ERR, "invalid path %s\n", pattern.c_str());
    return -1;
  }
  const std::string parent = slash == 0 ? "/" : pattern.substr(0, slash);
  const std::string base = pattern.substr(slash + 1);
  if (parent != "/" && MakeFolderPath(d + parent) != 0) return -1;

  const size_t star = base.find('*');
  if (star == std::string::npos) return LinkIntoCollection(pattern, d);
  // Only a trailing "*" is a pattern; anything else names nothing.
  if (star != base.size() - 1) return 0;

  const std::string prefix = base.substr(0, star);
  DIR* dir = opendir(paths::HostPath(parent).c_str());
  if (dir == nullptr) {
    syslog(LOG_ERR, "opendir(%s): %s\n", parent.c_str(), strerror(errno));
    return -1;
  }
  const std::string folder = parent == "/" ? std::string() : parent;
  while (struct dirent* entry = readdir(dir)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    // One entry failing leaves the others to be collected.
    LinkIntoCollection(folder + "/" + entry->d_name, d);
  }
  closedir(dir);
  return 0;
}

void CollectDiagnostics(const std::string& d) {
  // Without a collection folder every item is refused by AddToCollection;
  // the walk still runs, so that a missing database volume is logged all the
  // same.
  AddToCollection(std::string(paths::kSystemMessages) + "*", d);
  for (int n = 0; n < 3; ++n) {
    for (const char* log : kPackageLogs) {
      std::string path(log);
      if (n != 0) path += "_" + std::to_string(n);
      AddToCollection(path, d);
    }
  }
  for (const char* item : kFixedItems) AddToCollection(item, d);

  ustring volume;
  if (GetDbVolume(&volume) != 0) return;
  const std::string v = volume.str();

  const std::string view_dir = v + paths::kViewFolderSuffix;
  if (DIR* dir = opendir(paths::HostPath(view_dir).c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      if (IsDotOrDotDot(entry->d_name)) continue;
      AddToCollection(view_dir + "/" + entry->d_name + paths::kViewDbName + "*", d);
    }
    closedir(dir);
  }
  AddToCollection(v + paths::kSyncFileFolderSuffix, d);
  AddToCollection(v + paths::kClientdDbSuffix + "*", d);
  AddToCollection(v + paths::kSyncFolderDbSuffix + "*", d);
  AddToCollection(v + paths::kUserDbSuffix + "*", d);
}

int WriteZip(const std::string& d, int fd) {
  if (d.empty()) return -1;
  // Everything the child needs is prepared before the fork.
  const std::string host_d = paths::HostPath(d);
  const std::string zip_host = paths::HostPath(paths::kZipProgram);
  std::vector<std::string> args = {paths::kZipProgram, "-q", "-0", "-G", "-r", "-D", "-", "."};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    syslog(LOG_ERR, "fork: %s (%d)\n", strerror(errno), errno);
    return -1;
  }
  if (pid == 0) RunZipChild(host_d, zip_host, argv.data(), fd);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // A pipe cannot be synced (EINVAL); that is expected for standard output.
  fsync(fd);
  return 0;
}

int RemoveCollection(const std::string& d) {
  if (d.empty()) return 0;
  const std::string host_d = paths::HostPath(d);
  DIR* dir = opendir(host_d.c_str());
  if (dir == nullptr) {
    syslog(LOG_ERR, "opendir(%s): %s (%d)\n", d.c_str(), strerror(errno), errno);
    return -1;
  }
  int result = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    const std::string child = d + "/" + entry->d_name;
    bool is_folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      // Some file systems do not fill in the type; never follow a link here.
      struct stat st;
      is_folder = lstat(paths::HostPath(child).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_folder) {
      if (RemoveCollection(child) != 0) {
        result = -1;
        break;
      }
    } else if (unlink(paths::HostPath(child).c_str()) != 0) {
      syslog(LOG_ERR, "unlink(%s): %s (%d)\n", child.c_str(), strerror(errno), errno);
      result = -1;
      break;
    }
  }
  closedir(dir);
  if (result != 0) return result;
  if (rmdir(host_d.c_str()) != 0) {
    syslog(LOG_ERR, "rmdir(%s): %s (%d)\n", d.c_str(), strerror(errno), errno);
    return -1;
  }
  return 0;
}

int DiagnoseToStream(int fd) {
  std::string d;
  MakeTempFolder(paths::kTmpDir, &d);
  CollectDiagnostics(d);
  WriteZip(d, fd);
  RemoveCollection(d);
  return 0;
}

int DiagnoseToFolder(const std::string& folder) {
  std::string d;
  if (MakeFolderPath(folder) == 0 && !IsSystemRoot(folder)) d = folder;
  CollectDiagnostics(d);
  return 0;
}
