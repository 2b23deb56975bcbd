// Reader of the debug switch file: the small key/value file through which an
// administrator raises or lowers the log threshold of single components.
//
// Lines look like
//   # comment
//   user_mgr_debug=7
//   service_ctrl_debug = "7"   # quoted values may hold blanks
// The reader is deliberately strict: one malformed line makes the whole file
// count as absent, so that a typo never half-applies a configuration.
#ifndef DRIFT_CLI_DEBUG_SWITCH_FILE_H_
#define DRIFT_CLI_DEBUG_SWITCH_FILE_H_

#include <map>

#include "base/ustring.h"

// Lines longer than this many bytes are read in pieces, each piece parsed as a
// line of its own.
constexpr int kDebugSwitchMaxLine = 8191;

// Reads the key/value file at the appliance path `path` into `pairs` (a later
// line with the same key replaces the earlier value; entries already in the
// map are kept unless the file is malformed).
//
// Grammar of a line: optional white space; a key made of ASCII letters,
// digits, '-', '_' and '.'; a line whose key is followed by '#' or by the end
// of the text read is ignored (blank and comment lines, a bare key on a last
// line without line feed).  Otherwise: white space, '=', white space, a
// non-empty value; a value opened by '"' or '\'' runs to the matching quote,
// an unquoted one to the first blank; any control character or DEL ends the
// value.  After the value only white space and an optional '#' comment.
//
// Returns 0 at end of file.  Returns -1 when the path is empty or cannot be
// opened (map untouched) and when a line breaks the grammar (map emptied).
int ReadKeyValueFile(const ustring& path, std::map<ustring, ustring>* pairs);

#endif  // DRIFT_CLI_DEBUG_SWITCH_FILE_H_
