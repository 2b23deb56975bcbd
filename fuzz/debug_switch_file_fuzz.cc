// Feeds arbitrary bytes to the debug switch file reader as the file's
// content.  Whatever the bytes, the reader must either fill the map with
// pairs that obey its grammar, or empty it and fail; and a successful read
// must survive being written out and read back unchanged.
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

#include "base/ustring.h"
#include "cli/debug_switch_file.h"
#include "fuzz/fuzz_sandbox.h"

namespace {

const char kSwitchFile[] = "/etc/fuzz.debug";

bool IsKeyChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '_' || c == '.';
}

bool IsValueChar(unsigned char c) { return c >= 32 && c != 127; }

// One line that reads back as `key` and `value`: quoted with a quote the
// value lacks, or bare (a value holding both quotes was read unquoted, so it
// has no blank and does not start with a quote).
std::string LineFor(const std::string& key, const std::string& value) {
  if (value.find('"') == std::string::npos) return key + "=\"" + value + "\"\n";
  if (value.find('\'') == std::string::npos) return key + "='" + value + "'\n";
  return key + "=" + value + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (sandbox.MakeDir("/etc"), true);
  (void)made;
  sandbox.Write(kSwitchFile, data, size);

  // An entry already in the map stays unless the file is malformed.
  std::map<ustring, ustring> pairs;
  pairs[ustring("fuzz_seed_debug")] = ustring("4");
  const int rc = ReadKeyValueFile(ustring(kSwitchFile), &pairs);
  if (rc != 0 && rc != -1) __builtin_trap();
  if (rc == -1) {
    if (!pairs.empty()) __builtin_trap();  // a malformed file loads nothing
    return 0;
  }
  if (pairs.count(ustring("fuzz_seed_debug")) == 0) __builtin_trap();

  std::string rewritten;
  for (const auto& pair : pairs) {
    const std::string key = pair.first.str();
    const std::string value = pair.second.str();
    for (char c : key) {
      if (!IsKeyChar(static_cast<unsigned char>(c))) __builtin_trap();
    }
    for (char c : value) {
      if (!IsValueChar(static_cast<unsigned char>(c))) __builtin_trap();
    }
    rewritten += LineFor(key, value);
    // Longer lines would be read in pieces: not a round trip.
    if (key.size() + value.size() + 8 > static_cast<size_t>(kDebugSwitchMaxLine)) return 0;
  }
  sandbox.Write(kSwitchFile, rewritten);
  std::map<ustring, ustring> again;
  if (ReadKeyValueFile(ustring(kSwitchFile), &again) != 0) __builtin_trap();
  if (again != pairs) __builtin_trap();
  return 0;
}
