// File primitives shared by the host implementation of the platform calls:
// bounded whole-file reads, atomic replacement and folder locks.  Every path here is a HOST path
// (the callers map appliance paths with paths::HostPath first).
#ifndef DRIFT_HOST_PLATFORM_HOST_FILES_H_
#define DRIFT_HOST_PLATFORM_HOST_FILES_H_

#include <sys/types.h>

#include <string>

namespace host_platform {

// The platform's configuration and list files are small; anything larger is
// not one of them and is refused rather than read into memory.
constexpr size_t kMaxPlatformFileSize = 16 * 1024 * 1024;

enum class ReadResult {
  kOk,
  kMissing,   // the file does not exist
  kTooLarge,  // larger than the limit
  kError,     // any other failure (permissions, a folder, I/O)
};

// Reads the whole file into *content (at most `max_size` bytes).
ReadResult ReadWholeFile(const std::string& host_path, size_t max_size, std::string* content);

// A copy of `s` in memory from malloc, for the records that the platform's
// free calls release with free(); null when memory is short.
char* CopyString(const std::string& s);

// Replaces the file's content atomically: the new content is written to a
// temporary file in the same folder, flushed to disk, renamed over the file,
// and the folder is flushed.  The file keeps its permission bits (and owner,
// when we may set it); a new file gets `new_file_mode`.  On any failure the
// old file is untouched, the temporary file is removed, errno is set and the
// result is false.
bool ReplaceFileAtomically(const std::string& host_path, const std::string& content,
                           mode_t new_file_mode);

// Test hook: called with the temporary file's path after it was written and
// flushed and before the rename, so that a test can kill the writer exactly
// there.  Null (the default) disables it.
using BeforeRenameHook = void (*)(const std::string& temp_path);
void SetBeforeRenameHookForTesting(BeforeRenameHook hook);

// Exclusive flock on the folder that holds `host_path`, serialising the
// read-modify-write cycles of processes updating files in that folder.  The
// lock is released by the destructor (or when the process dies).
class FolderLock {
 public:
  explicit FolderLock(const std::string& host_path);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  bool locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The folder part and the name part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

// Sets the thread's platform error with this file and line.
#define HOST_PLATFORM_FAIL(code) TLIBCErrSetEx((code), __FILE__, __LINE__)

}  // namespace host_platform

#endif  // DRIFT_HOST_PLATFORM_HOST_FILES_H_
