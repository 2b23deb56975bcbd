#include "dircache/user_group_cache.h"

#include <gtest/gtest.h>

namespace {

using UserGroupCache::User;

User MakeUser(const char* name, uint32_t uid, uint32_t gid, const char* home, int32_t type,
              int32_t expire, int32_t cache_time) {
  User u;
  u.SetName(name);
  u.SetUid(uid);
  u.SetGid(gid);
  u.SetHome(home);
  u.SetType(type);
  u.SetExpire(expire);
  u.SetCacheTime(cache_time);
  return u;
}

std::string Fields(const User& u) {
  return u.GetName() + "|" + std::to_string(u.GetUid()) + "|" + std::to_string(u.GetGid()) + "|" +
         u.GetHome() + "|" + std::to_string(u.GetType()) + "|" + std::to_string(u.GetExpire()) +
         "|" + std::to_string(u.GetCacheTime());
}

TEST(UserRecordTest, MessageFormAndRoundTrip) {
  PObject m("left over");
  MakeUser("alice", 0xFFFFFFFFu, 7, "/h", -1, -1, -2).ToMessage(&m);
  // uid and gid are unsigned: zero-extended; type, expire and cache_time
  // are signed: sign-extended to 64 bits.
  EXPECT_EQ(m.to_text(),
            "{\"cache_time\": 18446744073709551614, \"expire\": 18446744073709551615, "
            "\"gid\": 7, \"home\": \"/h\", \"name\": \"alice\", \"type\": "
            "18446744073709551615, \"uid\": 4294967295}");
  for (const User& u :
       {MakeUser("user@ldap.example", 0x80000000u, 1, "/volume1/homes/u", 2, INT32_MIN, 0x7FFFFFFF),
        MakeUser("", 0, 0, "", 0, 0, 0)}) {
    u.ToMessage(&m);
    User back = MakeUser("old", 9, 9, "/old", 9, 9, 9);
    EXPECT_EQ(back.FromMessage(m), 0);
    EXPECT_EQ(Fields(back), Fields(u));
  }
}

TEST(UserRecordTest, NeutralReadsOfMissingMistypedAndWideKeys) {
  PObject wrong_kinds;
  wrong_kinds["name"] = PObject::map_type();
  wrong_kinds["uid"] = "1026";  // digits in a string are not parsed
  wrong_kinds["home"] = PObject::array_type{PObject("/x")};
  wrong_kinds["expire"] = PObject();
  PObject number_name;
  number_name["name"] = 42;
  number_name["Uid"] = 5;  // keys are exact
  // Numbers read as their low 32 bits.
  PObject wide;
  wide["uid"] = static_cast<uint64_t>(0x100000005ull);
  wide["gid"] = static_cast<int64_t>(-1);
  wide["type"] = static_cast<uint64_t>(0x1FFFFFFFEull);
  wide["expire"] = static_cast<int64_t>(0x100000003ll);
  wide["cache_time"] = static_cast<int64_t>(-4294967296ll + 9);
  const std::pair<PObject, std::string> cases[] = {
      {PObject(), "|0|0||0|0|0"},
      {PObject(PObject::array_type{PObject("alice")}), "|0|0||0|0|0"},
      {wrong_kinds, "|0|0||0|0|0"},
      {number_name, "42|0|0||0|0|0"},
      {wide, "|5|4294967295||-2|3|9"},
  };
  for (const auto& c : cases) {
    User u = MakeUser("old", 9, 9, "/old", 9, 9, 9);
    EXPECT_EQ(u.FromMessage(c.first), 0);
    EXPECT_EQ(Fields(u), c.second);
  }
}

}  // namespace
