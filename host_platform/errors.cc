// The last platform error of each thread.  Threads of a daemon call the
// platform independently, so one thread's failure must never be reported by
// another's TLIBCErrGet.
#include "platform/platform_lib.h"

namespace {

struct LastError {
  int code = TLIB_ERR_NONE;
  const char* file = "";
  int line = 0;
};

thread_local LastError t_last_error;

}  // namespace

int TLIBCErrGet(void) { return t_last_error.code; }

void TLIBCErrSetEx(int code, const char* file, int line) {
  t_last_error.code = code;
  // `file` is a string literal (__FILE__) at every call site, so keeping the
  // pointer is safe.
  t_last_error.file = file != nullptr ? file : "";
  t_last_error.line = line;
}
