#include "host_platform/json_files.h"

#include <errno.h>
#include <json/json.h>
#include <string.h>

#include <exception>
#include <memory>

#include "host_platform/host_files.h"

namespace host_platform {

const Json::Value* FindMember(const Json::Value& root, const char* key) {
  if (!root.isObject()) return nullptr;
  return root.find(key, key + strlen(key));
}

JsonResult ReadJsonFile(const std::string& host_path, Json::Value* root) {
  std::string text;
  switch (ReadWholeFile(host_path, kMaxPlatformFileSize, &text)) {
    case ReadResult::kOk:
      break;
    case ReadResult::kMissing:
      return JsonResult::kMissing;
    case ReadResult::kTooLarge:
      return JsonResult::kMalformed;
    case ReadResult::kError:
      return JsonResult::kError;
  }
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  // The platform's lists are a few levels deep; a deeper document is not one
  // of them, and the limit keeps the recursive parser's stack small.
  builder.settings_["stackLimit"] = 64;
  try {
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
      return JsonResult::kMalformed;
    }
    *root = std::move(value);
    return JsonResult::kOk;
  } catch (const std::exception&) {
    // jsoncpp reports an exceeded nesting limit by throwing.
    return JsonResult::kMalformed;
  }
}

bool WriteJsonFileAtomically(const std::string& host_path, const Json::Value& root) {
  std::string text;
  try {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    // Strings go out as the bytes they hold.  Escaping non-ASCII text as
    // \uXXXX would first decode it as UTF-8, and a string another program
    // wrote that is not valid UTF-8 would come back as U+FFFD: rewriting a
    // file to change one entry would silently alter the others.
    builder["emitUTF8"] = true;
    text = Json::writeString(builder, root);
  } catch (const std::exception&) {
    errno = ENOMEM;
    return false;
  }
  text.push_back('\n');
  return ReplaceFileAtomically(host_path, text, 0644);
}

}  // namespace host_platform
