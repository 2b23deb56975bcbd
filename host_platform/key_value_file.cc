#include "host_platform/key_value_file.h"

#include <string.h>
#include <sys/stat.h>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

constexpr char kDefaultLineFormat[] = "%s=\"%s\"\n";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct ParsedLine {
  bool has_key = false;        // the line names a key (it may still be malformed)
  bool is_assignment = false;  // the value is well formed too
  std::string key;
  std::string value;
};

// Parses one line, without its line end.
ParsedLine ParseLine(const char* p, size_t n) {
  ParsedLine out;
  if (memchr(p, '\0', n) != nullptr) return out;
  if (n > 0 && p[n - 1] == '\r') --n;
  size_t i = 0;
  while (i < n && IsBlank(p[i])) ++i;
  if (i == n || p[i] == '#') return out;
  const char* eq = static_cast<const char*>(memchr(p + i, '=', n - i));
  if (eq == nullptr) return out;
  size_t key_end = static_cast<size_t>(eq - p);
  while (key_end > i && IsBlank(p[key_end - 1])) --key_end;
  if (key_end == i) return out;
  out.has_key = true;
  out.key.assign(p + i, key_end - i);

  size_t v = static_cast<size_t>(eq - p) + 1;
  while (v < n && IsBlank(p[v])) ++v;
  if (v < n && p[v] == '"') {
    size_t close = n;
    for (size_t k = n; k > v + 1; --k) {
      if (p[k - 1] == '"') {
        close = k - 1;
        break;
      }
    }
    if (close == n) return out;  // unterminated quote: not an assignment
    out.value.assign(p + v + 1, close - v - 1);
  } else {
    size_t end = n;
    while (end > v && IsBlank(p[end - 1])) --end;
    out.value.assign(p + v, end - v);
  }
  out.is_assignment = true;
  return out;
}

// Calls fn(line_start, line_length, segment_length) for every line of
// `text`; the segment includes the line end when there is one.
template <typename Fn>
void ForEachLine(const std::string& text, Fn fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t line_end = nl == std::string::npos ? text.size() : nl;
    size_t seg_end = nl == std::string::npos ? text.size() : nl + 1;
    if (!fn(pos, line_end - pos, seg_end - pos)) return;
    pos = seg_end;
  }
}

bool IsValidKey(const std::string& key) {
  if (key.empty() || key[0] == '#') return false;
  for (char c : key) {
    if (IsBlank(c) || c == '=' || c == '"' || c == '\n' || c == '\r' || c == '\0') return false;
  }
  return true;
}

// Shared by set and remove: `line` empty means remove.
std::string RewriteKey(const std::string& text, const std::string& key, const std::string& line) {
  std::string out;
  out.reserve(text.size() + line.size() + 1);
  bool replaced = false;
  ForEachLine(text, [&](size_t start, size_t len, size_t seg) {
    ParsedLine parsed = ParseLine(text.data() + start, len);
    if (parsed.has_key && parsed.key == key) {
      if (!replaced) out += line;
      replaced = true;
    } else {
      out.append(text, start, seg);
    }
    return true;
  });
  if (!replaced && !line.empty()) {
    // A last line without its line end (a file written by hand, or cut
    // short) is kept as it is; the new line goes after it, not into it.
    if (!out.empty() && out.back() != '\n') out.push_back('\n');
    out += line;
  }
  return out;
}

int UpdateFile(const char* appliance_path, const std::string& key, const std::string& line) {
  const std::string host = paths::HostPath(appliance_path);
  FolderLock lock(host);
  if (!lock.locked()) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
    return -1;
  }
  std::string text;
  switch (ReadWholeFile(host, kMaxPlatformFileSize, &text)) {
    case ReadResult::kOk:
    case ReadResult::kMissing:
      break;
    case ReadResult::kTooLarge:
    case ReadResult::kError:
      // Never replace a file we could not read: its other lines would be lost.
      HOST_PLATFORM_FAIL(TLIB_ERR_FILE_READ);
      return -1;
  }
  std::string updated = RewriteKey(text, key, line);
  if (updated == text) {
    struct stat st;
    if (stat(host.c_str(), &st) == 0) return 0;  // nothing to change
  }
  if (!ReplaceFileAtomically(host, updated, 0644)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_FILE_WRITE);
    return -1;
  }
  return 0;
}

}  // namespace

bool FindKeyValue(const std::string& text, const std::string& key, std::string* value) {
  bool found = false;
  ForEachLine(text, [&](size_t start, size_t len, size_t) {
    ParsedLine parsed = ParseLine(text.data() + start, len);
    if (parsed.is_assignment && parsed.key == key) {
      *value = std::move(parsed.value);
      found = true;
      return false;
    }
    return true;
  });
  return found;
}

bool FormatKeyValueLine(const char* format, const std::string& key, const std::string& value,
                        std::string* line) {
  if (!IsValidKey(key)) return false;
  if (value.find('\n') != std::string::npos || value.find('\0') != std::string::npos) {
    return false;
  }
  if (format == nullptr) format = kDefaultLineFormat;
  std::string out;
  int strings = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      // A line end inside the format would split the assignment in two.
      if (*p == '\n' && p[1] != '\0') return false;
      out.push_back(*p);
      continue;
    }
    ++p;
    if (*p == '%') {
      out.push_back('%');
    } else if (*p == 's') {
      if (++strings > 2) return false;
      out += strings == 1 ? key : value;
    } else {
      return false;  // any other conversion would read arguments we do not have
    }
  }
  if (strings != 2) return false;
  if (out.empty() || out.back() != '\n') out.push_back('\n');
  // The line must read back as this key and value.
  ParsedLine check = ParseLine(out.data(), out.size() - 1);
  if (!check.is_assignment || check.key != key || check.value != value) return false;
  *line = std::move(out);
  return true;
}

std::string SetKeyInText(const std::string& text, const std::string& key, const std::string& line) {
  return RewriteKey(text, key, line);
}

std::string RemoveKeyInText(const std::string& text, const std::string& key) {
  return RewriteKey(text, key, std::string());
}

int RemoveKeyValue(const char* appliance_path, const char* key) {
  if (appliance_path == nullptr || key == nullptr || !IsValidKey(key)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  if (!TLIBCFileExist(appliance_path)) return 0;
  return UpdateFile(appliance_path, key, std::string());
}

int ReadYesNoSwitch(const char* appliance_path, const char* key) {
  char value[8];
  int n = TLIBCFileGetKeyValue(appliance_path, key, value, sizeof(value), 0);
  return n > 0 && strcmp(value, "yes") == 0 ? 1 : 0;
}

}  // namespace host_platform

using host_platform::ReadResult;

int TLIBCFileGetKeyValue(const char* path, const char* key, char* buffer, int size, int flags) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (path == nullptr || key == nullptr || key[0] == '\0' || buffer == nullptr || size <= 0 ||
      flags != 0) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  std::string text;
  switch (host_platform::ReadWholeFile(paths::HostPath(path), host_platform::kMaxPlatformFileSize,
                                       &text)) {
    case ReadResult::kOk:
      break;
    case ReadResult::kMissing:
      HOST_PLATFORM_FAIL(TLIB_ERR_FILE_OPEN);
      return -1;
    case ReadResult::kTooLarge:
    case ReadResult::kError:
      HOST_PLATFORM_FAIL(TLIB_ERR_FILE_READ);
      return -1;
  }
  std::string value;
  if (!host_platform::FindKeyValue(text, key, &value)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_NOT_FOUND);
    return 0;
  }
  if (value.size() + 1 > static_cast<size_t>(size)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BUFFER_TOO_SMALL);
    return -1;
  }
  memcpy(buffer, value.data(), value.size());
  buffer[value.size()] = '\0';
  return static_cast<int>(value.size());
}

int TLIBCFileSetKeyValue(const char* path, const char* key, const char* value,
                         const char* line_format) {
  std::string line;
  if (path == nullptr || path[0] != '/' || key == nullptr || value == nullptr ||
      !host_platform::FormatKeyValueLine(line_format, key, value, &line)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  return host_platform::UpdateFile(path, key, line);
}

int TLIBCFileExist(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  struct stat st;
  return stat(paths::HostPath(path).c_str(), &st) == 0 ? 1 : 0;
}
