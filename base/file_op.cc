#include "base/file_op.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_utils.h"
#include "cli/logger.h"

namespace {
const char kComponent[] = "file_op_debug";
}  // namespace

int FSMKDir(const ustring& path, bool with_parents) {
  if (path.empty()) return -1;
  FileInfo info;
  if (GetFileInfo(path, &info) != 0) {
    Logger::Log(3, kComponent, "[ERROR] file-op(%d): FSMKDir: Failed to to file info '%s'",
                __LINE__, path.c_str());
    return -1;
  }
  if (!info.exists) {
    int result = with_parents ? MakeDirectoryPath(path, nullptr, false, kDefaultDirectoryMode)
                              : mkdir(path.c_str(), 0777);
    return result == 0 ? 0 : -2;
  }
  if (info.type == kFileTypeDirectory) return 0;
  Logger::Log(3, kComponent,
              "[ERROR] file-op(%d): FSMKDir: Create a folder but local file system is not "
              "directory '%s' (%d)",
              __LINE__, path.c_str(), info.type);
  return -1;
}

int FSRemove(const ustring& given) {
  if (given.empty()) return -1;
  // "link/" names what a link points to, not the link: without its trailing
  // slashes the path is looked at, and removed, as the link it is.
  ustring path = given;
  while (path.length() > 1 && path.c_str()[path.length() - 1] == '/') {
    path = path.substr(0, path.length() - 1);
  }
  FileInfo info;
  if (GetFileInfo(path, &info) != 0) return -1;
  if (!info.exists) return 0;
  if (info.type != kFileTypeDirectory) return unlink(path.c_str()) == 0 ? 0 : -3;

  DIR* dir = opendir(path.c_str());
  // A folder we may not read is left alone rather than reported: clean-up goes
  // on with whatever else it can remove.
  if (dir == nullptr) return 0;
  int result = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    // A read error ends the listing like its end; the final rmdir then tells
    // whether everything went.
    if (entry == nullptr) break;
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (FSRemove(path + "/" + entry->d_name) != 0) {
      result = -3;
      break;
    }
  }
  closedir(dir);
  if (result != 0) return result;
  return rmdir(path.c_str()) == 0 ? 0 : -3;
}
