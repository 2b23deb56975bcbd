// Fuzzes the platform's key/value file code: the reader of the file's text,
// the line builder and the writer's rewrite of the text, which must keep
// every line it does not own byte for byte.
//
// Input: a key line, a value line, a line format line (empty: the default
// `key="value"`), then the file's text:
//   KEY\nVALUE\nFORMAT\nTEXT...
// The text is also read through TLIBCFileGetKeyValue from a file, so that
// the copy into the caller's buffer is exercised with every buffer size
// around the value's length.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/fuzz_sandbox.h"
#include "host_platform/key_value_file.h"
#include "platform/platform_lib.h"

namespace {

const char kConf[] = "/etc/fuzz.conf";

// Cuts the next line (without its line end) off `rest`; false at the end.
bool NextLine(std::string* rest, std::string* line) {
  size_t nl = rest->find('\n');
  if (nl == std::string::npos) return false;
  line->assign(*rest, 0, nl);
  rest->erase(0, nl + 1);
  return true;
}

void CheckFileRead(const fuzz::Sandbox& sandbox, const std::string& text, const std::string& key) {
  sandbox.Write(kConf, text);
  // The C call sees the key up to its first NUL.
  const std::string c_key(key.c_str());
  std::string value;
  const bool found = !c_key.empty() && host_platform::FindKeyValue(text, c_key, &value);
  if (found && value.find('\0') != std::string::npos) __builtin_trap();
  const int sizes[] = {1, static_cast<int>(value.size()), static_cast<int>(value.size()) + 1,
                       static_cast<int>(value.size()) + 2};
  for (int size : sizes) {
    if (size <= 0) continue;
    std::string buffer(static_cast<size_t>(size) + 1, '\x7f');  // one guard byte
    const int rc = TLIBCFileGetKeyValue(kConf, c_key.c_str(), &buffer[0], size, 0);
    if (buffer[static_cast<size_t>(size)] != '\x7f') __builtin_trap();  // wrote past size
    if (buffer[0] != '\0' && rc <= 0) __builtin_trap();                 // a failure leaves ""
    if (c_key.empty()) {
      if (rc != -1) __builtin_trap();
    } else if (!found) {
      if (rc != 0) __builtin_trap();
    } else if (value.size() + 1 > static_cast<size_t>(size)) {
      if (rc != -1) __builtin_trap();
    } else if (rc != static_cast<int>(value.size()) ||
               memcmp(buffer.data(), value.c_str(), value.size() + 1) != 0) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (sandbox.MakeDir("/etc"), true);
  (void)made;

  std::string rest(reinterpret_cast<const char*>(data), size);
  std::string key;
  std::string value;
  std::string format;
  if (!NextLine(&rest, &key) || !NextLine(&rest, &value) || !NextLine(&rest, &format)) return 0;
  const std::string& text = rest;

  std::string found_value;
  const bool found = host_platform::FindKeyValue(text, key, &found_value);
  CheckFileRead(sandbox, text, key);

  // Removing: no assignment of the key is left, and removing again changes
  // nothing.
  const std::string removed = host_platform::RemoveKeyInText(text, key);
  std::string ignored;
  if (host_platform::FindKeyValue(removed, key, &ignored)) __builtin_trap();
  if (host_platform::RemoveKeyInText(removed, key) != removed) __builtin_trap();
  if (removed.size() > text.size()) __builtin_trap();
  if (found && removed == text) __builtin_trap();

  std::string line;
  const char* line_format = format.empty() ? nullptr : format.c_str();
  if (!host_platform::FormatKeyValueLine(line_format, key, value, &line)) return 0;
  // One line, ending in its line end.
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) __builtin_trap();
  if (line.find('\0') != std::string::npos) __builtin_trap();

  // Setting: the key reads back as the value, setting again changes
  // nothing, and every other line is kept byte for byte and in order (a
  // last line without a line end gets one when the new line goes after it).
  const std::string set = host_platform::SetKeyInText(text, key, line);
  std::string read_back;
  if (!host_platform::FindKeyValue(set, key, &read_back) || read_back != value) __builtin_trap();
  if (host_platform::SetKeyInText(set, key, line) != set) __builtin_trap();
  std::string others = removed;
  if (removed == text && !text.empty() && text.back() != '\n') others.push_back('\n');
  if (host_platform::RemoveKeyInText(set, key) != others) __builtin_trap();
  return 0;
}
