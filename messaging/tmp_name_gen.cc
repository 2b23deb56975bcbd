#include "messaging/tmp_name_gen.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

const char TmpNameGen::kAlphabet[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

std::mutex TmpNameGen::m_lock;

namespace {

TmpNameGen* CreateFromClock() {
  uint8_t key[256];
  memset(key, 0, sizeof(key));
  struct timeval now;
  gettimeofday(&now, nullptr);
  snprintf(reinterpret_cast<char*>(key), sizeof(key), "%lu-%lu",
           static_cast<unsigned long>(now.tv_sec), static_cast<unsigned long>(now.tv_usec));
  if (key[0] == 0 && key[1] == 0 && key[2] == 0 && key[3] == 0) {
    // Formatting gave nothing usable: fall back to the C library's generator.
    srand(static_cast<unsigned>(time(nullptr)));
    for (size_t i = 0; i < sizeof(key); ++i) key[i] = static_cast<uint8_t>(rand());
  }
  return new TmpNameGen(key, sizeof(key));
}

}  // namespace

TmpNameGen::TmpNameGen(const uint8_t* key, uint32_t key_length) {
  memset(m_key, 0, sizeof(m_key));
  if (key_length > sizeof(m_key)) key_length = sizeof(m_key);
  if (key_length > 0) memcpy(m_key, key, key_length);
  Schedule();
}

void TmpNameGen::Schedule() {
  for (int i = 0; i < 256; ++i) m_state[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + m_state[i] + m_key[i]);
    uint8_t t = m_state[i];
    m_state[i] = m_state[j];
    m_state[j] = t;
  }
}

TmpNameGen& TmpNameGen::Instance() {
  // Never destroyed: names may still be asked for while statics go away.
  static TmpNameGen* instance = CreateFromClock();
  return *instance;
}

ustring TmpNameGen::Next() {
  uint8_t bytes[6];
  {
    std::lock_guard<std::mutex> hold(m_lock);
    // The counters start from zero on every call; only the permutation
    // carries over, which is what makes successive names differ.
    uint8_t i = 0;
    uint8_t j = 0;
    for (int n = 0; n < 6; ++n) {
      i = static_cast<uint8_t>(i + 1);
      j = static_cast<uint8_t>(j + m_state[i]);
      uint8_t t = m_state[i];
      m_state[i] = m_state[j];
      m_state[j] = t;
      bytes[n] = m_state[static_cast<uint8_t>(m_state[i] + m_state[j])];
    }
  }
  uint64_t bits = 0;
  for (int n = 0; n < 6; ++n) bits = (bits << 8) | bytes[n];
  char name[kNameLength + 1];
  for (uint32_t n = 0; n < kNameLength; ++n) {
    name[n] = kAlphabet[(bits >> (42 - 6 * n)) & 0x3F];
  }
  name[kNameLength] = '\0';
  return ustring(name);
}

ustring TmpNameGen::TempPath(const ustring& dir) { return dir + "/" + Instance().Next(); }
