// File primitives shared by the host implementation of the platform calls:
// bounded whole-file reads, atomic replacement, folder locks and the JSON
// reader of the platform's list files.  Every path here is a HOST path (the
// callers map appliance paths with paths::HostPath first).
#ifndef DRIFT_HOST_PLATFORM_HOST_FILES_H_
#define DRIFT_HOST_PLATFORM_HOST_FILES_H_

#include <sys/types.h>

#include <string>

namespace Json {
class Value;
}

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

enum class JsonResult { kOk, kMissing, kMalformed, kError };

// Reads and parses a JSON file (strict: one value, no comments, bounded
// nesting).  Never throws.
JsonResult ReadJsonFile(const std::string& host_path, Json::Value* root);

// The member `key` of an object value, or null when `root` is no object or
// has no such member.  (Never creates the member, unlike operator[].)
const Json::Value* FindMember(const Json::Value& root, const char* key);

// Serialises `root` (two-space indentation, final line end) and replaces the
// file atomically with mode 0644 for a new file.
bool WriteJsonFileAtomically(const std::string& host_path, const Json::Value& root);

// The folder part and the name part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

// Sets the thread's platform error with this file and line.
#define HOST_PLATFORM_FAIL(code) TLIBCErrSetEx((code), __FILE__, __LINE__)

}  // namespace host_platform

#endif  // DRIFT_HOST_PLATFORM_HOST_FILES_H_
