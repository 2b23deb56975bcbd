// The two file-system operations that service start and clean-up use on host
// paths: creating a folder and removing a path with everything below it.
// Both report through small negative codes and log failures under the
// component "file_op_debug".
#ifndef DRIFT_BASE_FILE_OP_H_
#define DRIFT_BASE_FILE_OP_H_

#include "base/ustring.h"

// Creates the folder `path`, with every missing parent when `with_parents` is
// set (mode 0777 under the umask).  Returns 0 when it was created or already
// is a folder; -1 for an empty path, unreadable status or a non-folder in the
// way; -2 when the creation failed (a missing parent without `with_parents`).
int FSMKDir(const ustring& path, bool with_parents);

// Removes `path` and, for a folder, everything below it.  Symbolic links are
// removed, never followed.  A folder that cannot be opened is left in place
// (and counts as done).  Returns 0 when removed or nothing was there; -1 for
// an empty path or unreadable status; -3 when a removal failed.
int FSRemove(const ustring& path);

#endif  // DRIFT_BASE_FILE_OP_H_
