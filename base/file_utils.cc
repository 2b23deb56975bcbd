#include "base/file_utils.h"

#include <errno.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cli/logger.h"

namespace {

const char kComponent[] = "utility_debug";

// Clears the umask for its lifetime when a mode must be applied exactly.
class ScopedUmask {
 public:
  explicit ScopedUmask(bool clear) : active_(clear), saved_(0) {
    if (active_) saved_ = umask(0);
  }
  ~ScopedUmask() {
    if (active_) umask(saved_);
  }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  bool active_;
  mode_t saved_;
};

int TypeOf(mode_t mode) {
  if (S_ISREG(mode)) return kFileTypeRegular;
  if (S_ISDIR(mode)) return kFileTypeDirectory;
  if (S_ISLNK(mode)) return kFileTypeSymlink;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return kFileTypeDevice;
  if (S_ISFIFO(mode)) return kFileTypeFifo;
  if (S_ISSOCK(mode)) return kFileTypeSocket;
  return -1;
}

// Makes one folder of the walk, tolerating a folder that appeared meanwhile
// (another process creating the same path).
int MakeOneDirectory(const std::string& prefix, mode_t mode) {
  if (mkdir(prefix.c_str(), mode) == 0) return 0;
  int saved = errno;
  struct stat st;
  if (saved == EEXIST && stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  errno = saved;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------

CriticalSection::CriticalSection(int fd) : fd_(fd), mutex_(nullptr), entered_(false) {}

CriticalSection::CriticalSection(pthread_mutex_t* mutex)
    : fd_(-1), mutex_(mutex), entered_(false) {}

CriticalSection::~CriticalSection() { Leave(); }

void CriticalSection::Enter() {
  if (entered_) return;
  if (mutex_ != nullptr) {
    pthread_mutex_lock(mutex_);
  } else {
    // Blocking; a failure (bad descriptor) leaves the section unlocked, which
    // its users accept rather than failing their read or write.
    (void)flock(fd_, LOCK_EX);
  }
  entered_ = true;
  Logger::Log(7, kComponent, "[DEBUG] utility(%d): entering critical section", __LINE__);
}

void CriticalSection::Leave() {
  if (!entered_) return;
  Logger::Log(7, kComponent, "[DEBUG] utility(%d): leaving critical section", __LINE__);
  if (mutex_ != nullptr) {
    pthread_mutex_unlock(mutex_);
  } else {
    (void)flock(fd_, LOCK_UN);
  }
  entered_ = false;
}

DatabaseLockGuard::DatabaseLockGuard(int fd, pthread_mutex_t* mutex) : mutex_(mutex), fd_(fd) {
  if (mutex_ != nullptr) pthread_mutex_lock(mutex_);
  (void)flock(fd_, LOCK_EX);
}

DatabaseLockGuard::~DatabaseLockGuard() {
  (void)flock(fd_, LOCK_UN);
  if (mutex_ != nullptr) pthread_mutex_unlock(mutex_);
}

// ---------------------------------------------------------------------------

ustring BaseName(const ustring& path) {
  ustring::size_type slash = path.rfind('/');
  if (slash == ustring::npos) return path;
  return path.substr(slash + 1);
}

int GetFileInfo(const ustring& path, FileInfo* info) {
  *info = FileInfo();
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return -1;
    info->path = path;
    info->name = BaseName(path);
    return 0;
  }
  int type = TypeOf(st.st_mode);
  if (type < 0) return -1;
  info->path = path;
  info->name = BaseName(path);
  info->exists = true;
  info->type = type;
  info->mode = static_cast<uint32_t>(st.st_mode);
  info->uid = static_cast<uint32_t>(st.st_uid);
  info->gid = static_cast<uint32_t>(st.st_gid);
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
  info->link_count = static_cast<uint64_t>(st.st_nlink);
  info->special_device = static_cast<uint64_t>(st.st_rdev);
  info->size = static_cast<int64_t>(st.st_size);
  info->block_size = static_cast<int64_t>(st.st_blksize);
  info->blocks = static_cast<int64_t>(st.st_blocks);
  info->access_time = static_cast<int64_t>(st.st_atime);
  info->modify_time = static_cast<int64_t>(st.st_mtime);
  info->change_time = static_cast<int64_t>(st.st_ctime);
  return 0;
}

bool FileExists(const ustring& path) {
  if (path.empty()) return false;
  FileInfo info;
  if (GetFileInfo(path, &info) != 0) return false;
  return info.exists;
}

int MakeDirectoryPath(const ustring& path, ustring::size_type* position, bool replace,
                      mode_t mode) {
  if (position != nullptr) *position = 0;
  if (path.empty()) {
    errno = EINVAL;
    return -1;
  }
  const std::string work(path.c_str(), path.length());
  const bool exact = mode != kDefaultDirectoryMode;
  ScopedUmask mask(exact);
  const mode_t create_mode = exact ? mode : 0777;

  // A leading "/" belongs to the first prefix; empty components ("a//b") are
  // skipped.  Trailing slashes end the walk at the last component.
  size_t end_of_path = work.size();
  while (end_of_path > 1 && work[end_of_path - 1] == '/') --end_of_path;
  size_t start = work[0] == '/' ? 1 : 0;
  while (start < end_of_path) {
    size_t slash = work.find('/', start);
    size_t end = (slash == std::string::npos || slash > end_of_path) ? end_of_path : slash;
    if (end == start) {
      start = end + 1;
      continue;
    }
    const bool last = end >= end_of_path;
    if (position != nullptr) *position = static_cast<ustring::size_type>(end);
    const std::string prefix = work.substr(0, end);
    struct stat st;
    if (stat(prefix.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        if (!replace) {
          errno = last ? EEXIST : ENOTDIR;
          return -1;
        }
        if (unlink(prefix.c_str()) != 0) return -1;
        if (MakeOneDirectory(prefix, create_mode) != 0) return -1;
      }
    } else if (errno == ENOENT) {
      if (MakeOneDirectory(prefix, create_mode) != 0) return -1;
    } else {
      return -1;
    }
    start = end + 1;
  }
  if (position != nullptr) *position = path.length();
  return 0;
}
