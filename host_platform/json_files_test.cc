#include "host_platform/json_files.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "base/test_root.h"

namespace host_platform {
namespace {

// A rewrite of a platform list gives back every string exactly as it was
// read, even one another program wrote that is not valid UTF-8.
TEST(JsonFiles, RewriteKeepsEveryStringAndReadResults) {
  test_support::TestRoot root;
  root.MakeDir("/etc/tarn");
  const std::string host = root.Host("/etc/tarn/list.json");
  for (const std::string& text :
       {std::string("caf\xc3\xa9"), std::string("\xf0\x9f\x98\x80"), std::string("\xaf"),
        std::string("x\xc3"), std::string("\xc0\xaf"), std::string("a\0b\x01\x7f", 5),
        std::string("\"\\/")}) {
    Json::Value value(Json::objectValue);
    value["rules"].append(text);
    value[text] = 1;  // as a member name too
    ASSERT_TRUE(WriteJsonFileAtomically(host, value));
    Json::Value back;
    ASSERT_EQ(ReadJsonFile(host, &back), JsonResult::kOk);
    EXPECT_EQ(back["rules"][0].asString(), text);
    EXPECT_TRUE(back == value) << text;
  }
  const struct {
    std::string content;  // "<missing>": no file
    JsonResult expected;
  } cases[] = {
      {"{\"a\":[1,2]}", JsonResult::kOk},
      {"<missing>", JsonResult::kMissing},
      {"", JsonResult::kMalformed},
      {"{} // note", JsonResult::kMalformed},
      {"{\"a\":1,}", JsonResult::kMalformed},
      {"{\"a\":1,\"a\":2}", JsonResult::kMalformed},
      {"{} {}", JsonResult::kMalformed},
      {std::string(100000, '[') + std::string(100000, ']'), JsonResult::kMalformed},
  };
  for (const auto& c : cases) {
    unlink(host.c_str());
    if (c.content != "<missing>") root.Write("/etc/tarn/list.json", c.content);
    Json::Value value;
    EXPECT_EQ(ReadJsonFile(host, &value), c.expected) << c.content.substr(0, 20);
  }
}

}  // namespace
}  // namespace host_platform
