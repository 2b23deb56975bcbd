#include "cli/debug_switch_file.h"

#include <stdio.h>

#include <string>

#include "base/appliance_paths.h"

namespace {

enum LineResult { kLineIgnored, kLinePair, kLineMalformed };

bool IsSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsKeyChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '_' || c == '.';
}

// Control characters and DEL end any value, quoted or not.
bool EndsValue(unsigned char c) { return c < 32 || c == 127; }

const char* SkipSpace(const char* p) {
  while (IsSpace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// Parses one NUL-terminated piece of the file (at most one line).
LineResult ParseLine(const char* line, std::string* key, std::string* value) {
  const char* p = SkipSpace(line);
  const char* key_begin = p;
  while (IsKeyChar(static_cast<unsigned char>(*p))) ++p;
  // '#' or the end of what was read: comment, blank line, or a bare key on a
  // last line that has no line feed.  A bare key followed by its line feed
  // falls through and fails on the missing '='.
  if (*p == '#' || *p == '\0') return kLineIgnored;
  key->assign(key_begin, p - key_begin);

  p = SkipSpace(p);
  if (*p != '=') return kLineMalformed;
  p = SkipSpace(p + 1);
  if (*p == '\0') return kLineMalformed;

  if (*p == '"' || *p == '\'') {
    const char quote = *p++;
    const char* value_begin = p;
    while (*p != quote && !EndsValue(static_cast<unsigned char>(*p))) ++p;
    if (*p != quote) return kLineMalformed;
    value->assign(value_begin, p - value_begin);
    ++p;
  } else {
    const char* value_begin = p;
    while (*p != ' ' && !EndsValue(static_cast<unsigned char>(*p))) ++p;
    if (p == value_begin) return kLineMalformed;
    value->assign(value_begin, p - value_begin);
  }

  p = SkipSpace(p);
  if (*p != '\0' && *p != '#') return kLineMalformed;
  return kLinePair;
}

}  // namespace

int ReadKeyValueFile(const ustring& path, std::map<ustring, ustring>* pairs) {
  if (path.empty() || pairs == nullptr) return -1;
  FILE* fp = fopen(paths::HostPath(path.str()).c_str(), "r");
  if (fp == nullptr) return -1;

  char line[kDebugSwitchMaxLine + 1];
  std::string key;
  std::string value;
  while (fgets(line, sizeof(line), fp) != nullptr) {
    switch (ParseLine(line, &key, &value)) {
      case kLineIgnored:
        break;
      case kLinePair:
        (*pairs)[ustring(key)] = ustring(value);
        break;
      case kLineMalformed:
        pairs->clear();
        fclose(fp);
        return -1;
    }
  }
  fclose(fp);
  return 0;
}
