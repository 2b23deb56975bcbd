#include <gtest/gtest.h>
#include <json/json.h>
#include <string.h>
#include <sys/stat.h>

#include <sstream>

#include "base/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

constexpr char kRules[] = "/etc/tarn/app-privilege.json";

TarnAppPrivRule* EveryoneRule(const char* app) {
  TarnAppPrivRule* rule = TLIBAppPrivRuleAlloc();
  rule->type = 2;
  rule->app = strdup(app);
  EXPECT_EQ(TLIBCSzListPush(&rule->allow, "0.0.0.0"), 0);
  return rule;
}

TEST(AppPrivilege, RulesAreAddedOnceReplacedByKeyAndOthersKept) {
  test_support::TestRoot root;
  EXPECT_EQ(TLIBAppPrivRuleSetOne(nullptr), -1);
  TarnAppPrivRule* rule = TLIBAppPrivRuleAlloc();
  EXPECT_EQ(TLIBAppPrivRuleSetOne(rule), -1);  // no application id
  TLIBAppPrivRuleFree(rule);
  rule = EveryoneRule("TARN.HXA.DFVT.Instance");
  EXPECT_EQ(TLIBAppPrivRuleSetOne(rule), -1);  // no /etc/tarn folder
  root.Write(kRules, "{\"rules\":[{\"note\":\"hand-written\"}],\"version\":3}");
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);
  struct stat before, after;
  ASSERT_EQ(stat(root.Host(kRules).c_str(), &before), 0);
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);  // the same rule: the file is not even rewritten
  ASSERT_EQ(stat(root.Host(kRules).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(TLIBCSzListPush(&rule->allow, "10.0.0.0/8"), 0);
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);  // same key: replaced in place
  TLIBAppPrivRuleFree(rule);
  rule = EveryoneRule("TARN.Other");
  ASSERT_EQ(TLIBAppPrivRuleSetOne(rule), 0);
  Json::Value all;
  std::istringstream in(root.Read(kRules));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &all, nullptr));
  EXPECT_EQ(Json::FastWriter().write(all),
            R"({"rules":[{"note":"hand-written"},{"allow":["0.0.0.0","10.0.0.0/8"],)"
            R"("app":"TARN.HXA.DFVT.Instance","id":0,"type":2},)"
            R"({"allow":["0.0.0.0"],"app":"TARN.Other","id":0,"type":2}],"version":3})"
            "\n");
  TLIBAppPrivRuleFree(rule);
}

}  // namespace
}  // namespace host_platform
