// A user record's message form; the round trip through the real daemon is
// tested end to end.
#include "dircache/user_group_cache.h"

#include <gtest/gtest.h>

namespace {

using UserGroupCache::User;

std::string Fields(const User& u) {
  return u.GetName() + "|" + std::to_string(u.GetUid()) + "|" + std::to_string(u.GetGid()) + "|" +
         u.GetHome() + "|" + std::to_string(u.GetType()) + "|" + std::to_string(u.GetExpire()) +
         "|" + std::to_string(u.GetCacheTime());
}

TEST(UserRecordTest, MessageFormAndNeutralReads) {
  User u;
  u.SetName("alice");
  u.SetUid(0xFFFFFFFFu);
  u.SetGid(0x80000000u);
  u.SetHome("/h");
  u.SetType(-1);
  u.SetExpire(INT32_MIN);
  u.SetCacheTime(-2);
  PObject m("left over");
  u.ToMessage(&m);
  // uid and gid are unsigned: zero-extended; type, expire and cache_time
  // are signed: sign-extended to 64 bits.
  EXPECT_EQ(m.to_text(),
            "{\"cache_time\": 18446744073709551614, \"expire\": 18446744071562067968, "
            "\"gid\": 2147483648, \"home\": \"/h\", \"name\": \"alice\", \"type\": "
            "18446744073709551615, \"uid\": 4294967295}");
  PObject wrong_kinds;  // digits in a string are not parsed; keys are exact
  wrong_kinds["name"] = PObject::map_type();
  wrong_kinds["uid"] = "1026";
  wrong_kinds["home"] = PObject::array_type{PObject("/x")};
  wrong_kinds["expire"] = PObject();
  wrong_kinds["Gid"] = 5;
  PObject number_name;
  number_name["name"] = 42;
  PObject wide;  // numbers read as their low 32 bits
  wide["uid"] = static_cast<uint64_t>(0x100000005ull);
  wide["gid"] = static_cast<int64_t>(-1);
  wide["type"] = static_cast<uint64_t>(0x1FFFFFFFEull);
  wide["expire"] = static_cast<int64_t>(0x100000003ll);
  wide["cache_time"] = static_cast<int64_t>(-4294967296ll + 9);
  const std::pair<PObject, std::string> cases[] = {
      {m, "alice|4294967295|2147483648|/h|-1|-2147483648|-2"},
      {PObject(), "|0|0||0|0|0"},
      {PObject(PObject::array_type{PObject("alice")}), "|0|0||0|0|0"},
      {wrong_kinds, "|0|0||0|0|0"},
      {number_name, "42|0|0||0|0|0"},
      {wide, "|5|4294967295||-2|3|9"},
  };
  for (const auto& c : cases) {
    User back = u;
    EXPECT_EQ(back.FromMessage(c.first), 0);
    EXPECT_EQ(Fields(back), c.second);
  }
}

}  // namespace
