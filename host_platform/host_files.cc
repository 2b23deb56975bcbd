#include "host_platform/host_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace host_platform {
namespace {

BeforeRenameHook g_before_rename_hook = nullptr;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

ReadResult ReadWholeFile(const std::string& host_path, size_t max_size, std::string* content) {
  content->clear();
  int fd = open(host_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kError;
  char buf[8192];
  ReadResult result = ReadResult::kOk;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = ReadResult::kError;
      break;
    }
    if (n == 0) break;
    if (content->size() + static_cast<size_t>(n) > max_size) {
      result = ReadResult::kTooLarge;
      break;
    }
    content->append(buf, static_cast<size_t>(n));
  }
  int saved = errno;
  close(fd);
  if (result != ReadResult::kOk) {
    content->clear();
    errno = saved;
  }
  return result;
}

void SetBeforeRenameHookForTesting(BeforeRenameHook hook) { g_before_rename_hook = hook; }

bool ReplaceFileAtomically(const std::string& host_path, const std::string& content,
                           mode_t new_file_mode) {
  const std::string folder = FolderOf(host_path);
  int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return false;

  // The temporary name starts with a dot and never equals the real name, so
  // a reader of the real file never sees it, even when a writer dies before
  // its rename.
  std::string temp = folder + "/." + NameOf(host_path) + ".tmp.XXXXXX";
  std::unique_ptr<char[]> temp_buf(new char[temp.size() + 1]);
  temp.copy(temp_buf.get(), temp.size());
  temp_buf[temp.size()] = '\0';
  int fd = mkostemp(temp_buf.get(), O_CLOEXEC);
  if (fd < 0) {
    int saved = errno;
    close(dir_fd);
    errno = saved;
    return false;
  }
  temp = temp_buf.get();

  bool ok = true;
  struct stat st;
  if (stat(host_path.c_str(), &st) == 0) {
    ok = fchmod(fd, st.st_mode & 07777) == 0;
    // Keep the owner too where we may (as root); elsewhere the file simply
    // becomes ours, as it would with any editor.
    if (ok && geteuid() == 0 && (st.st_uid != geteuid() || st.st_gid != getegid())) {
      if (fchown(fd, st.st_uid, st.st_gid) != 0) ok = false;
    }
  } else {
    ok = fchmod(fd, new_file_mode) == 0;
  }
  if (ok) ok = WriteAll(fd, content.data(), content.size());
  if (ok) ok = fsync(fd) == 0;
  int saved = errno;
  // close() is not retried: after EINTR the descriptor may already be reused.
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && g_before_rename_hook != nullptr) g_before_rename_hook(temp);
  if (ok && rename(temp.c_str(), host_path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    close(dir_fd);
    errno = saved;
    return false;
  }
  // The rename itself must reach the disk, or a power cut could bring back
  // the old file after we reported success.
  if (fsync(dir_fd) != 0) ok = false;
  saved = errno;
  close(dir_fd);
  errno = saved;
  return ok;
}

FolderLock::FolderLock(const std::string& host_path) {
  fd_ = open(FolderOf(host_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    close(fd_);
    fd_ = -1;
    return;
  }
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

char* CopyString(const std::string& s) {
  char* copy = static_cast<char*>(malloc(s.size() + 1));
  if (copy != nullptr) memcpy(copy, s.c_str(), s.size() + 1);
  return copy;
}

}  // namespace host_platform
