// The one reader and writer of the platform's key/value files (lines
// `key="value"`), behind TLIBCFileGetKeyValue and TLIBCFileSetKeyValue and
// used for every key/value file of the platform (tarninfo.conf,
// service-volumes.conf, the package's own settings).
//
// Line syntax, as read:
//   * optional blanks, the key, optional blanks, '=', optional blanks, then
//     either a quoted value (from the first '"' to the LAST '"' of the line,
//     so values holding quotes read back as written; anything after the last
//     quote is ignored) or an unquoted value (the rest of the line less
//     trailing blanks and carriage return);
//   * blank lines, '#' comments, lines without '=', lines with an opening
//     quote but no closing one, and lines holding a NUL byte are not
//     assignments: the reader passes over them and the writer keeps them.
// The first assignment of a key is its value.  A write replaces that line
// and drops later assignments of the same key, so a file never holds two
// values for one key after we wrote it; every other line, including a last
// line without a line end, is kept byte for byte.
#ifndef DRIFT_HOST_PLATFORM_KEY_VALUE_FILE_H_
#define DRIFT_HOST_PLATFORM_KEY_VALUE_FILE_H_

#include <string>

namespace host_platform {

// The value of the first assignment of `key` in `text`; false when none.
bool FindKeyValue(const std::string& text, const std::string& key, std::string* value);

// Builds the line for key and value from a line format with exactly two "%s"
// (key first) and "%%" as the only other conversion; null means `key="value"`.
// A line end is appended when the format has none.  False for a bad format
// or a key or value that would not survive a read back (empty key; key with
// blanks, '=', '#' first, quotes or line ends; value with a line end or NUL).
bool FormatKeyValueLine(const char* format, const std::string& key, const std::string& value,
                        std::string* line);

// `text` with the first assignment of `key` replaced by `line` (later ones
// dropped), or `line` appended when there is none.
std::string SetKeyInText(const std::string& text, const std::string& key, const std::string& line);

// `text` without any assignment of `key`.
std::string RemoveKeyInText(const std::string& text, const std::string& key);

// Removes every assignment of `key` from the file at the appliance path,
// atomically.  0 (also when the file or the key is missing) or -1.
int RemoveKeyValue(const char* appliance_path, const char* key);

// Reads a "yes"/"no" switch: 1 when the key's value is "yes", else 0.
int ReadYesNoSwitch(const char* appliance_path, const char* key);

}  // namespace host_platform

#endif  // DRIFT_HOST_PLATFORM_KEY_VALUE_FILE_H_
