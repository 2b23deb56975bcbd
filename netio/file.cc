#include "netio/file.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

namespace cat {

File::~File() {
  if (m_owned && m_fd >= 0) close(m_fd);
}

int File::Seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return -1;
  }
  return lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}

ssize_t File::ReadSome(void* buffer, size_t n) { return read(m_fd, buffer, n); }

ssize_t File::WriteSome(const void* buffer, size_t n) { return write(m_fd, buffer, n); }

}  // namespace cat
