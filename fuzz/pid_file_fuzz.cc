// Feeds arbitrary bytes to the pid file reader as the file's content and
// compares its answer with a plain reading of the format: optional blanks,
// decimal digits, optional blanks, at most 64 bytes, a pid between 2 and the
// kernel's pid_max.  A pid file another program left behind decides which
// process gets a signal, so the reader must never accept anything else.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "fuzz/fuzz_sandbox.h"
#include "platform/platform_lib.h"

namespace {

const char kPidFile[] = "/var/run/fuzz.pid";

long PidMax() {
  long value = 4194304;
  FILE* fp = fopen("/proc/sys/kernel/pid_max", "r");
  if (fp != nullptr) {
    long read = 0;
    if (fscanf(fp, "%ld", &read) == 1 && read > 1 && read <= value) value = read;
    fclose(fp);
  }
  return value;
}

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The pid the file names, or -1.
long Expected(const uint8_t* data, size_t size, long pid_max) {
  if (size > 64) return -1;
  size_t begin = 0;
  size_t end = size;
  while (begin < end && IsBlank(data[begin])) ++begin;
  while (end > begin && IsBlank(data[end - 1])) --end;
  if (begin == end) return -1;
  long pid = 0;
  for (size_t i = begin; i < end; ++i) {
    if (data[i] < '0' || data[i] > '9') return -1;
    pid = pid * 10 + (data[i] - '0');
    if (pid > pid_max) return -1;
  }
  return pid >= 2 ? pid : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (sandbox.MakeDir("/var/run"), true);
  (void)made;
  static const long pid_max = PidMax();

  sandbox.Write(kPidFile, data, size);
  const int pid = TLIBCReadPidFile(kPidFile);
  if (pid != Expected(data, size, pid_max)) __builtin_trap();
  return 0;
}
