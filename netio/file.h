// cat::File: a regular file (or any descriptor that never blocks) as a
// transport, so that a cat::BufferedIO can read or write it in chunks.
#ifndef DRIFT_NETIO_FILE_H_
#define DRIFT_NETIO_FILE_H_

#include <stdint.h>

#include "netio/socket.h"

namespace cat {

class File : public Transport {
 public:
  // Wraps `fd`; closes it on destruction only when `owned`.
  explicit File(int fd, bool owned = false) : Transport(fd), m_owned(owned) {}
  ~File() override;

  // Moves the file position to `offset`.  0, or -1 with errno.
  int Seek(uint64_t offset);

  ssize_t ReadSome(void* buffer, size_t n) override;
  ssize_t WriteSome(const void* buffer, size_t n) override;

 private:
  bool m_owned;
};

}  // namespace cat

#endif  // DRIFT_NETIO_FILE_H_
