// Feeds arbitrary bytes to the PStream decoder the way a peer process would:
// through a real socket pair adopted by a Channel.  The input is written
// into one end, that end is closed, and one item is decoded from the other
// (file data is discarded, so no file is created per input).  Whatever the
// bytes, decoding must end with 0 or a negative code and leave a sound value.
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include "messaging/channel.h"
#include "messaging/pobject.h"
#include "messaging/pstream.h"

namespace {

// Larger inputs would not fit the socket buffer in one write; they add
// nothing that smaller ones cannot reach.
const size_t kMaxInput = 64 * 1024;

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // The first byte chooses the target, so that decoding into every kind of
  // existing value (merge into a map, append to an array, reuse a buffer) is
  // reached too.
  const uint8_t mode = data[0];
  bool written = WriteAll(fds[0], data + 1, size - 1);
  close(fds[0]);
  if (!written) {
    close(fds[1]);
    return 0;
  }

  PObject target;
  switch (mode % 4) {
    case 1:
      target["a"] = 1;
      target["b"].mutable_array().push_back(PObject("x"));
      break;
    case 2:
      target.mutable_array().push_back(PObject(2));
      break;
    case 3:
      target.mutable_buffer().assign("seed", 4);
      break;
    default:
      break;
  }

  Channel channel;
  if (channel.Open(fds[1], true) != 0) {
    close(fds[1]);
    return 0;
  }
  PStream stream;
  int rc = stream.RecvDiscard(&channel, &target);
  if (rc > 0) __builtin_trap();  // results are 0 or negative codes
  // The value must be whole: copy it, print it, and read it every way.
  PObject copy(target);
  ustring text = copy.to_text();
  if (text.empty()) __builtin_trap();
  (void)copy.as_bool();
  (void)copy.as_string();
  (void)static_cast<const PObject&>(copy)[0u];
  channel.Close();
  return 0;
}
