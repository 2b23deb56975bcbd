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
       {std::string("caf\xc3\xa9"), std::string("x\xc3"), std::string("\xc0\xaf"),
        std::string("a\0b\x01\x7f", 5), std::string("\"\\/")}) {
    Json::Value value(Json::objectValue);
    value["rules"].append(text);
    value[text] = 1;  // as a member name too
    ASSERT_TRUE(WriteJsonFileAtomically(host, value));
    Json::Value back;
    ASSERT_EQ(ReadJsonFile(host, &back), JsonResult::kOk);
    EXPECT_EQ(back["rules"][0].asString(), text);
    EXPECT_TRUE(back == value) << text;
  }
  Json::Value value;
  unlink(host.c_str());
  EXPECT_EQ(ReadJsonFile(host, &value), JsonResult::kMissing);
  for (const std::string& text :
       {std::string(""), std::string("{} // note"), std::string("{\"a\":1,}"),
        std::string("{\"a\":1,\"a\":2}"), std::string("{} {}"),
        std::string(100000, '[') + std::string(100000, ']')}) {
    root.Write("/etc/tarn/list.json", text);
    EXPECT_EQ(ReadJsonFile(host, &value), JsonResult::kMalformed) << text.substr(0, 20);
  }
}

}  // namespace
}  // namespace host_platform
