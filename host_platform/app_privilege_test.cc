#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <sstream>
#include <string>

#include "base/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

constexpr char kRules[] = "/etc/tarn/app-privilege.json";

// A rule as service start fills it: everyone, any address.
TarnAppPrivRule* EveryoneRule(const char* app, const char* address) {
  TarnAppPrivRule* rule = TLIBAppPrivRuleAlloc();
  if (rule == nullptr) return nullptr;
  rule->type = 2;
  rule->id = 0;
  rule->app = strdup(app);
  if (TLIBCSzListPush(&rule->allow, address) != 0) {
    TLIBAppPrivRuleFree(rule);
    return nullptr;
  }
  return rule;
}

Json::Value ReadRules(const TestRoot& root) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(root.Read(kRules));
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors;
  return value;
}

ino_t InodeOf(const std::string& host_path) {
  struct stat st;
  return stat(host_path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(AppPrivilege, RuleIsAddedOnceAndReplacedByKey) {
  TestRoot root;
  root.MakeDir("/etc/tarn");
  TarnAppPrivRule* rule = EveryoneRule("TARN.HXA.DFVT.Instance", "0.0.0.0");
  ASSERT_NE(rule, nullptr);
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);
  Json::Value rules = ReadRules(root)["rules"];
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]["type"].asInt(), 2);
  EXPECT_EQ(rules[0]["id"].asInt(), 0);
  EXPECT_EQ(rules[0]["app"].asString(), "TARN.HXA.DFVT.Instance");
  ASSERT_EQ(rules[0]["allow"].size(), 1u);
  EXPECT_EQ(rules[0]["allow"][0].asString(), "0.0.0.0");

  // The identical rule again: nothing added, the file not even rewritten.
  ino_t before = InodeOf(root.Host(kRules));
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);
  EXPECT_EQ(InodeOf(root.Host(kRules)), before);
  EXPECT_EQ(ReadRules(root)["rules"].size(), 1u);

  // Same key, other addresses: replaced in place.
  ASSERT_EQ(TLIBCSzListPush(&rule->allow, "10.0.0.0/8"), 0);
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);
  rules = ReadRules(root)["rules"];
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]["allow"].size(), 2u);
  TLIBAppPrivRuleFree(rule);

  // Another application: a second rule.
  TarnAppPrivRule* other = EveryoneRule("TARN.Other", "0.0.0.0");
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(TLIBAppPrivRuleSetOne(other), 0);
  TLIBAppPrivRuleFree(other);
  rules = ReadRules(root)["rules"];
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[1]["app"].asString(), "TARN.Other");
}

TEST(AppPrivilege, UnknownRulesOfTheFileAreKept) {
  TestRoot root;
  root.Write(kRules,
             "{\"rules\":[{\"type\":1,\"id\":1026,\"app\":\"x\",\"allow\":[]},"
             "{\"note\":\"hand-written\"}],\"version\":3}");
  TarnAppPrivRule* rule = EveryoneRule("TARN.HXA.DFVT.Instance", "0.0.0.0");
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);
  TLIBAppPrivRuleFree(rule);
  Json::Value all = ReadRules(root);
  EXPECT_EQ(all["version"].asInt(), 3);
  ASSERT_EQ(all["rules"].size(), 3u);
  EXPECT_EQ(all["rules"][1]["note"].asString(), "hand-written");
}

TEST(AppPrivilege, BadRulesMissingFolderAndMalformedFile) {
  TestRoot root;
  EXPECT_EQ(TLIBAppPrivRuleSetOne(nullptr), -1);
  TarnAppPrivRule* rule = TLIBAppPrivRuleAlloc();
  ASSERT_NE(rule, nullptr);
  EXPECT_EQ(rule->allow->count, 0);
  EXPECT_EQ(TLIBAppPrivRuleSetOne(rule), -1);  // no application id
  rule->app = strdup("TARN.HXA.DFVT.Instance");
  EXPECT_EQ(TLIBAppPrivRuleSetOne(rule), -1);  // no /etc/tarn folder
  // A file that is not a rule list is left alone.
  for (const char* text : {"{\"rules\":", "[]", "{\"rules\":{}}", "garbage"}) {
    root.Write(kRules, text);
    EXPECT_EQ(TLIBAppPrivRuleSetOne(rule), -1) << text;
    EXPECT_EQ(root.Read(kRules), text);
  }
  TLIBAppPrivRuleFree(rule);
  TLIBAppPrivRuleFree(nullptr);
  EXPECT_EQ(TLIBCSzListPush(nullptr, "x"), -1);
  TarnSzList* list = nullptr;
  for (int i = 0; i < 10; ++i) ASSERT_EQ(TLIBCSzListPush(&list, "addr"), 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 10);
  TarnAppPrivRule* holder = TLIBAppPrivRuleAlloc();
  free(holder->allow);
  holder->allow = list;  // freed with the rule
  TLIBAppPrivRuleFree(holder);
}

}  // namespace
}  // namespace host_platform
