// The document of the user statistics; printing it from a database is
// tested end to end.
#include "service/user_statistics.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "userdb/user_manager.h"

namespace {

UserUsage Usage(int type, int sessions, const char* name = "someone", int attribute = 0) {
  UserUsage usage;
  usage.user_type = type;
  usage.attribute = attribute;
  usage.name = name;
  usage.session_count = sessions;
  return usage;
}

TEST(FormatUserStatistics, ExactDocuments) {
  const std::pair<std::vector<UserUsage>, const char*> cases[] = {
      {{}, "{\"user\":[],\"version\":4164}\n"},
      // Names and attributes never show; a share entry is counted like any.
      {{Usage(kUserTypeLocal, 1, "a\"b"), Usage(kUserTypeShare, 3, "secret", 8),
        Usage(kUserTypeLdap, 0), Usage(kUserTypeDomain, 12345)},
       "{\"user\":[{\"session_count\":1,\"type\":0},{\"session_count\":3,\"type\":1},"
       "{\"session_count\":0,\"type\":2},{\"session_count\":12345,\"type\":3}],"
       "\"version\":4164}\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatUserStatistics(c.first), c.second);
}

}  // namespace
