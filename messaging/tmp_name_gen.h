// TmpNameGen: names for files received without a destination.
//
// One generator per process, created on first use.  It is an RC4 key
// schedule keyed with the creation time and used as a random source: each
// name is 6 output bytes written as 8 characters of the 64-character alphabet
// "0-9a-zA-Z-_".  The names only need to be unlikely to collide within one
// temporary folder; they are not secrets.
#ifndef DRIFT_MESSAGING_TMP_NAME_GEN_H_
#define DRIFT_MESSAGING_TMP_NAME_GEN_H_

#include <stdint.h>

#include <mutex>

#include "base/ustring.h"

class TmpNameGen {
 public:
  // Length of every name.
  static const uint32_t kNameLength = 8;
  // The 64 characters names are made of.
  static const char kAlphabet[];

  // The process-wide generator (thread-safe lazy creation).
  static TmpNameGen& Instance();

  // A new 8-character name.  Thread-safe (takes m_lock).
  ustring Next();
  // `dir` + "/" + a new name.
  static ustring TempPath(const ustring& dir);

  // Creates a generator keyed with `key` (zero-filled to 256 bytes); used by
  // Instance and by tests that need a reproducible sequence.
  TmpNameGen(const uint8_t* key, uint32_t key_length);
  TmpNameGen(const TmpNameGen&) = delete;
  TmpNameGen& operator=(const TmpNameGen&) = delete;

  // Guards the permutation of every generator.
  static std::mutex m_lock;

 private:
  void Schedule();

  uint8_t m_state[256];
  uint8_t m_key[256];
};

#endif  // DRIFT_MESSAGING_TMP_NAME_GEN_H_
