// The platform's JSON list files (shares, volumes, application privileges):
// strict bounded reading and atomic rewriting.  Every path here is a HOST
// path.  Kept apart from the plain file primitives so that a program that
// reads no JSON file needs no JSON library.
#ifndef DRIFT_HOST_PLATFORM_JSON_FILES_H_
#define DRIFT_HOST_PLATFORM_JSON_FILES_H_

#include <string>

namespace Json {
class Value;
}

namespace host_platform {

enum class JsonResult { kOk, kMissing, kMalformed, kError };

// Reads and parses a JSON file (strict: one value, no comments, bounded
// nesting).  Never throws.
JsonResult ReadJsonFile(const std::string& host_path, Json::Value* root);

// The member `key` of an object value, or null when `root` is no object or
// has no such member.  (Never creates the member, unlike operator[].)
const Json::Value* FindMember(const Json::Value& root, const char* key);

// Serialises `root` (two-space indentation, final line end) and replaces the
// file atomically with mode 0644 for a new file.
bool WriteJsonFileAtomically(const std::string& host_path, const Json::Value& root);

}  // namespace host_platform

#endif  // DRIFT_HOST_PLATFORM_JSON_FILES_H_
