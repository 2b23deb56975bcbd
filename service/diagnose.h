// The diagnostic archive: a collection folder whose tree mirrors the
// appliance paths of the collected files, with a symbolic link at each file's
// place, optionally streamed as a ZIP archive through the platform's zip
// program.
//
// Nothing is copied: the links point at the real files (the system root plus
// the appliance path), and the zip program follows them.  Every failure is
// written to the system log at error priority and the remaining items are
// still collected; a missing file becomes a dangling link.
//
// Folder arguments (the collection folder D, patterns) are appliance paths;
// they are mapped onto the host only when a file is touched.
#ifndef DRIFT_SERVICE_DIAGNOSE_H_
#define DRIFT_SERVICE_DIAGNOSE_H_

#include <string>

// Builds a temporary collection under "/tmp", writes it as a ZIP archive to
// `fd` and removes the collection again.  Always 0.
int DiagnoseToStream(int fd);

// Lays out the collection in `folder` (created with its parents when
// missing) and leaves it there.  Always 0.
int DiagnoseToFolder(const std::string& folder);

// Fills the collection folder `d` with every diagnostic item: system and
// package logs, the platform's version and configuration, the package's
// configuration and, when a database volume is configured, its databases.
void CollectDiagnostics(const std::string& d);

// Links one absolute appliance path, or every entry of its folder whose name
// starts with the text before a trailing "*", into `d`.  A "*" anywhere but
// at the end adds nothing (result 0).  Returns 0, or -1 when `d` is empty, the
// pattern is not absolute, a folder cannot be made or read, or the link fails.
int AddToCollection(const std::string& pattern, const std::string& d);

// Creates a fresh folder "base/XXXXXX" (mode 0700) and stores its appliance
// path in `out`.  Returns 0, or -1 (out left alone) on failure.
int MakeTempFolder(const std::string& base, std::string* out);

// Creates every missing folder of `path` with mode 0777 less the file mode
// mask; existing folders are fine.  Returns 0 or -1.
int MakeFolderPath(const std::string& path);

// Runs the zip program inside `d` with the archive going to `fd`, waits for
// it and syncs `fd`.  Returns 0, or -1 when `d` is empty or fork fails.
int WriteZip(const std::string& d, int fd);

// Removes the collection folder `d` with its links and folders; link targets
// are never touched.  An empty `d` returns 0 at once; otherwise 0 or -1.
int RemoveCollection(const std::string& d);

#endif  // DRIFT_SERVICE_DIAGNOSE_H_
