#include "host_platform/json_files.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "base/test_root.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

// A rewrite of a platform list must give back every string exactly as it
// was read, including strings another program wrote that are not valid
// UTF-8: they belong to entries we were not asked to change.
TEST(JsonFiles, JsonRewriteKeepsEveryStringByteForByte) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"ascii", "DriftVault.Sync"},
      {"valid two-byte UTF-8", "caf\xc3\xa9"},
      {"valid four-byte UTF-8", "\xf0\x9f\x98\x80"},
      {"lone continuation byte", "\xaf"},
      {"truncated sequence", "x\xc3"},
      {"overlong encoding", "\xc0\xaf"},
      {"embedded NUL and controls", std::string("a\0b\x01\x7f", 5)},
      {"quotes and backslashes", "\"\\/"},
  };
  TestRoot root;
  root.MakeDir("/etc/tarn");
  const std::string host = root.Host("/etc/tarn/list.json");
  for (const Case& c : cases) {
    Json::Value value(Json::objectValue);
    value["rules"] = Json::Value(Json::arrayValue);
    value["rules"].append(Json::Value(c.text));
    value[c.text] = 1;  // as a member name too
    ASSERT_TRUE(WriteJsonFileAtomically(host, value)) << c.name;
    Json::Value back;
    ASSERT_EQ(ReadJsonFile(host, &back), JsonResult::kOk) << c.name;
    EXPECT_EQ(back["rules"][0].asString(), c.text) << c.name;
    EXPECT_TRUE(back.isMember(c.text)) << c.name;
    EXPECT_TRUE(back == value) << c.name;
  }
}

TEST(JsonFiles, ReadJsonFileResults) {
  struct Case {
    const char* name;
    const char* content;  // null: no file
    JsonResult expected;
  };
  const Case cases[] = {
      {"object", "{\"a\":[1,2]}", JsonResult::kOk},
      {"missing", nullptr, JsonResult::kMissing},
      {"empty", "", JsonResult::kMalformed},
      {"comment", "{} // note", JsonResult::kMalformed},
      {"trailing comma", "{\"a\":1,}", JsonResult::kMalformed},
      {"duplicate member", "{\"a\":1,\"a\":2}", JsonResult::kMalformed},
      {"two values", "{} {}", JsonResult::kMalformed},
  };
  TestRoot root;
  root.MakeDir("/etc/tarn");
  const std::string host = root.Host("/etc/tarn/list.json");
  for (const Case& c : cases) {
    unlink(host.c_str());
    if (c.content != nullptr) root.Write("/etc/tarn/list.json", c.content);
    Json::Value value;
    EXPECT_EQ(ReadJsonFile(host, &value), c.expected) << c.name;
  }
  // Nesting beyond the limit is refused, not a stack overflow.
  root.Write("/etc/tarn/list.json", std::string(100000, '[') + std::string(100000, ']'));
  Json::Value value;
  EXPECT_EQ(ReadJsonFile(host, &value), JsonResult::kMalformed);
}

}  // namespace
}  // namespace host_platform
