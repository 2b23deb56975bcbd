// Data of the messaging tests: reproducible byte patterns and their digests.
#ifndef DRIFT_MESSAGING_MESSAGING_TEST_UTIL_H_
#define DRIFT_MESSAGING_MESSAGING_TEST_UTIL_H_

#include <openssl/evp.h>
#include <stdio.h>

#include <string>

// n bytes that differ with `seed` and do not repeat within a 512-byte block.
inline std::string Pattern(size_t n, unsigned seed) {
  std::string v(n, '\0');
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return v;
}

// The lowercase hexadecimal digest `name` ("md5", "sha256", ...) of `data`.
inline std::string Digest(const char* name, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out, &len, EVP_get_digestbyname(name), nullptr) != 1) {
    return "no digest " + std::string(name);
  }
  char hex[2 * EVP_MAX_MD_SIZE + 1] = {0};
  for (unsigned int i = 0; i < len; ++i) snprintf(hex + 2 * i, 3, "%02x", out[i]);
  return hex;
}

#endif  // DRIFT_MESSAGING_MESSAGING_TEST_UTIL_H_
