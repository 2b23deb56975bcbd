// The private sandbox root of a fuzz program that feeds a reader through a
// file: created once per process under $TMPDIR (else /dev/shm, else /tmp),
// exported as DRIFT_ROOT before the first input, and removed again at exit.
// Each input is written over the same file in place, so an execution costs
// one open, one write and the reader's own work.  The fuzz programs are built
// with DRIFT_TEST_ROOT_ABORTS: a step that fails stops the run.
#ifndef DRIFT_FUZZ_FUZZ_SANDBOX_H_
#define DRIFT_FUZZ_FUZZ_SANDBOX_H_

#include <stdlib.h>

#include <string>

#include "base/test_root.h"

namespace fuzz {

class Sandbox : public test_support::TestRoot {
 public:
  // The one sandbox of the process; it outlives every input.
  static Sandbox& Get() {
    static Sandbox sandbox;
    return sandbox;
  }

 private:
  // Memory-backed when possible: the writers flush every file they
  // replace, which on a disk would make each execution wait for it.
  Sandbox() : TestRoot("drift-fuzz-root", Parent()) {}

  static std::string Parent() {
    const char* tmp = getenv("TMPDIR");
    return tmp != nullptr && tmp[0] == '/' ? tmp : test_support::MemoryBackedFolder();
  }
};

}  // namespace fuzz

#endif  // DRIFT_FUZZ_FUZZ_SANDBOX_H_
