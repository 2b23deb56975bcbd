#include "dircache/user_group_cache.h"

#include <gtest/gtest.h>
#include <time.h>

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

void ExpectSame(const User& a, const User& b) {
  EXPECT_EQ(a.GetName(), b.GetName());
  EXPECT_EQ(a.GetUid(), b.GetUid());
  EXPECT_EQ(a.GetGid(), b.GetGid());
  EXPECT_EQ(a.GetHome(), b.GetHome());
  EXPECT_EQ(a.GetType(), b.GetType());
  EXPECT_EQ(a.GetExpire(), b.GetExpire());
  EXPECT_EQ(a.GetCacheTime(), b.GetCacheTime());
}

const User kEmpty = MakeUser("", 0, 0, "", 0, 0, 0);

TEST(UserRecordTest, MessageRoundTrip) {
  ExpectSame(User(), kEmpty);
  const User users[] = {
      MakeUser("alice", 1026, 100, "/volume1/homes/alice", 0, -1, 1700000000),
      kEmpty,
      MakeUser("user@ldap.example", 0xFFFFFFFFu, 0x80000000u, "/volume1/homes/@LH-LDAP/user", 2,
               19000, 0x7FFFFFFF),
      MakeUser("DOMAIN\\bob", 1000001, 1000000, "/volume1/homes/@DH-DOMAIN/1/bob", 3, 1, -5),
      MakeUser("\xc3\xa9l\xc3\xa8ve", 1, 2, "/volume1/homes/\xc3\xa9l\xc3\xa8ve", -1, INT32_MIN,
               INT32_MIN),
  };
  for (const User& u : users) {
    SCOPED_TRACE(u.GetName());
    PObject message("left over");
    u.ToMessage(&message);
    ASSERT_TRUE(message.is_map());
    EXPECT_EQ(message.get_map().size(), 7u);
    User back = MakeUser("old", 9, 9, "/old", 9, 9, 9);
    EXPECT_EQ(back.FromMessage(message), 0);
    ExpectSame(back, u);
  }
}

TEST(UserRecordTest, MessageFormKindsAndWidths) {
  PObject m;
  MakeUser("alice", 0xFFFFFFFFu, 7, "/h", -1, -1, -2).ToMessage(&m);
  EXPECT_TRUE(m["name"].is_string());
  EXPECT_TRUE(m["home"].is_string());
  // uid and gid are unsigned 32-bit numbers: zero-extended; type, expire and
  // cache_time are signed: sign-extended to 64 bits.
  EXPECT_EQ(m["uid"].as_uint64(), 0xFFFFFFFFull);
  EXPECT_EQ(m["type"].as_uint64(), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(m["cache_time"].as_int64(), -2);
  EXPECT_EQ(m.to_text(),
            "{\"cache_time\": 18446744073709551614, \"expire\": 18446744073709551615, "
            "\"gid\": 7, \"home\": \"/h\", \"name\": \"alice\", \"type\": "
            "18446744073709551615, \"uid\": 4294967295}");
}

TEST(UserRecordTest, NeutralReadsOfMissingMistypedAndWideKeys) {
  PObject wrong_kinds;
  wrong_kinds["name"] = PObject::map_type();
  wrong_kinds["uid"] = "1026";  // digits in a string are not parsed
  wrong_kinds["gid"] = PObject::array_type{PObject(5)};
  wrong_kinds["home"] = PObject::array_type{PObject("/x")};
  wrong_kinds["type"] = "2";
  wrong_kinds["expire"] = PObject();
  wrong_kinds["cache_time"] = PObject::buffer_type();
  PObject no_home;
  no_home["name"] = "alice";
  no_home["uid"] = 1026;
  PObject number_name;
  number_name["name"] = 42;
  PObject renamed;
  renamed["Name"] = "alice";
  renamed["_uid"] = 1026;
  // Numbers read as their low 32 bits.
  PObject wide;
  wide["uid"] = static_cast<uint64_t>(0x100000005ull);
  wide["gid"] = static_cast<int64_t>(-1);
  wide["type"] = static_cast<uint64_t>(0x1FFFFFFFEull);
  wide["expire"] = static_cast<int64_t>(0x100000003ll);
  wide["cache_time"] = static_cast<int64_t>(-4294967296ll + 9);
  const struct {
    const char* what;
    PObject message;
    User expected;
  } cases[] = {
      {"null", PObject(), kEmpty},
      {"string", PObject("alice"), kEmpty},
      {"integer", PObject(1026), kEmpty},
      {"array", PObject(PObject::array_type{PObject("alice")}), kEmpty},
      {"empty map", PObject(PObject::map_type()), kEmpty},
      {"wrong kinds", wrong_kinds, kEmpty},
      {"no home", no_home, MakeUser("alice", 1026, 0, "", 0, 0, 0)},
      {"number as name", number_name, MakeUser("42", 0, 0, "", 0, 0, 0)},
      {"keys are exact", renamed, kEmpty},
      {"wide numbers", wide, MakeUser("", 5, 0xFFFFFFFFu, "", -2, 3, 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    User u = MakeUser("old", 9, 9, "/old", 9, 9, 9);
    EXPECT_EQ(u.FromMessage(c.message), 0);
    ExpectSame(u, c.expected);
  }
}

TEST(UserRecordTest, ExpiryFollowsThePlatform) {
  const int32_t today = static_cast<int32_t>(time(nullptr) / 86400);
  const struct {
    int32_t expire;
    bool expired;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {today, true}, {today + 2, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expire);
    User u;
    u.SetExpire(c.expire);
    EXPECT_EQ(u.IsExpired(), c.expired);
  }
}

}  // namespace
