// Small file utilities shared by the package's modules: inter-process locks
// over lock files, the file-status record the file operations decide on, a
// routine creating every missing folder of a path, and the last component of
// a path.
//
// Paths handed to these functions are host paths: callers map appliance paths
// with paths::HostPath before calling.
#ifndef DRIFT_BASE_FILE_UTILS_H_
#define DRIFT_BASE_FILE_UTILS_H_

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/ustring.h"

// A section that one holder at a time may enter: either an exclusive flock()
// on an open descriptor of a lock file (which keeps processes apart) or a
// process mutex (which keeps threads apart), never both.  Entering blocks
// without a time limit.  Not copyable; destroying it leaves the section.
//
// The flock() lock belongs to the open file description: two sections over
// descriptors of separate open() calls exclude each other even within one
// process, while descriptors duplicated by dup() or inherited over fork()
// share one lock.
class CriticalSection {
 public:
  // Over the descriptor of a lock file (the caller keeps it open and closes it
  // after the section is gone).
  explicit CriticalSection(int fd);
  // Over a process mutex, which must outlive the section.
  explicit CriticalSection(pthread_mutex_t* mutex);
  ~CriticalSection();

  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Takes the lock unless this object already holds it (a second Enter does
  // nothing; one Leave releases).  The result of flock() is not checked: a
  // bad descriptor makes an unlocked section.
  void Enter();
  // Releases the lock when held.
  void Leave();
  bool entered() const { return entered_; }

 private:
  int fd_;
  pthread_mutex_t* mutex_;
  bool entered_;
};

// Holds both a process mutex and an exclusive flock() on a descriptor for its
// lifetime: the mutex is locked first and unlocked last.  Every user of one
// lock pair takes them in this order, so the two never deadlock.  A null mutex
// is skipped.  Not copyable.
class DatabaseLockGuard {
 public:
  DatabaseLockGuard(int fd, pthread_mutex_t* mutex);
  ~DatabaseLockGuard();

  DatabaseLockGuard(const DatabaseLockGuard&) = delete;
  DatabaseLockGuard& operator=(const DatabaseLockGuard&) = delete;

 private:
  pthread_mutex_t* mutex_;
  int fd_;
};

// File types as FileInfo::type reports them.
enum FileType {
  kFileTypeNone = 0,
  kFileTypeRegular = 1,
  kFileTypeDirectory = 2,
  kFileTypeSymlink = 3,
  kFileTypeDevice = 5,  // character or block device
  kFileTypeFifo = 6,
  kFileTypeSocket = 7,
};

// What a path is, taken without following a symbolic link at its end.
struct FileInfo {
  ustring path;  // the path that was asked about
  ustring name;  // its last component (BaseName)
  bool exists = false;
  int type = kFileTypeNone;
  // The status values; all 0 when the path does not exist.
  uint32_t mode = 0;  // type and permission bits (st_mode)
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t link_count = 0;
  uint64_t special_device = 0;  // st_rdev of a device node
  int64_t size = 0;
  int64_t block_size = 0;
  int64_t blocks = 0;
  int64_t access_time = 0;  // seconds since the epoch
  int64_t modify_time = 0;
  int64_t change_time = 0;
};

// Fills `info` from lstat(path).  Returns 0 for an existing path of a known
// type and for a missing one (exists false, type 0, path and name set, the
// other values 0); -1 for an unknown file type or any other lstat failure
// (errno kept).
int GetFileInfo(const ustring& path, FileInfo* info);

// True when something (a dangling symbolic link included) is at `path`; false
// for an empty path or when the status cannot be read.
bool FileExists(const ustring& path);

// The text after the last "/": the whole path when it has none, empty when the
// path ends with "/".
ustring BaseName(const ustring& path);

// MakeDirectoryPath's mode meaning "0777 under the process's umask".
constexpr mode_t kDefaultDirectoryMode = static_cast<mode_t>(-1);

// Creates every missing folder of `path` (like mkdir -p).  A `mode` other than
// kDefaultDirectoryMode is applied exactly: the umask is cleared while the
// folders are made and restored afterwards.  An existing non-folder in the way
// is removed and replaced by a folder when `replace` is set; otherwise the call
// fails with errno EEXIST (last component) or ENOTDIR (inner component).
// When `position` is given it receives the offset in `path` where the walk
// stopped: the end of the failing prefix, or the length on success.
// Returns 0, or -1 (errno set) for an empty path or a failure.
int MakeDirectoryPath(const ustring& path, ustring::size_type* position, bool replace, mode_t mode);

#endif  // DRIFT_BASE_FILE_UTILS_H_
