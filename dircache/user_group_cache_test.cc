#include "dircache/user_group_cache.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "messaging/channel.h"
#include "messaging/pstream.h"

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

const User kUsers[] = {
    MakeUser("alice", 1026, 100, "/volume1/homes/alice", 0, -1, 1700000000),
    MakeUser("", 0, 0, "", 0, 0, 0),
    MakeUser("user@ldap.example", 0xFFFFFFFFu, 0x80000000u, "/volume1/homes/@LH-LDAP/user", 2,
             19000, 0x7FFFFFFF),
    MakeUser("DOMAIN\\bob", 1000001, 1000000, "/volume1/homes/@DH-DOMAIN/1/bob", 3, 1, -5),
    MakeUser("\xc3\xa9l\xc3\xa8ve", 1, 2, "/volume1/homes/\xc3\xa9l\xc3\xa8ve", -1, INT32_MIN,
             INT32_MIN),
};

TEST(UserRecordTest, NewRecordIsEmpty) {
  User u;
  ExpectSame(u, MakeUser("", 0, 0, "", 0, 0, 0));
  EXPECT_FALSE(u.IsExpired());
}

TEST(UserRecordTest, MessageRoundTrip) {
  for (const User& u : kUsers) {
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
  User u = MakeUser("alice", 0xFFFFFFFFu, 7, "/h", -1, -1, -2);
  PObject m;
  u.ToMessage(&m);
  EXPECT_TRUE(m["name"].is_string());
  EXPECT_TRUE(m["home"].is_string());
  // uid and gid are unsigned 32-bit numbers: zero-extended.
  EXPECT_EQ(m["uid"].as_uint64(), 0xFFFFFFFFull);
  EXPECT_EQ(m["gid"].as_uint64(), 7u);
  // type, expire and cache_time are signed: sign-extended to 64 bits.
  EXPECT_EQ(m["type"].as_uint64(), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(m["expire"].as_int64(), -1);
  EXPECT_EQ(m["cache_time"].as_int64(), -2);
  EXPECT_EQ(m.to_text(),
            "{\"cache_time\": 18446744073709551614, \"expire\": 18446744073709551615, "
            "\"gid\": 7, \"home\": \"/h\", \"name\": \"alice\", \"type\": "
            "18446744073709551615, \"uid\": 4294967295}");
}

TEST(UserRecordTest, NumbersReadAsTheirLow32Bits) {
  PObject m;
  m["uid"] = static_cast<uint64_t>(0x100000005ull);
  m["gid"] = static_cast<int64_t>(-1);
  m["type"] = static_cast<uint64_t>(0x1FFFFFFFEull);
  m["expire"] = static_cast<int64_t>(0x100000003ll);
  m["cache_time"] = static_cast<int64_t>(-4294967296ll + 9);
  User u;
  u.FromMessage(m);
  EXPECT_EQ(u.GetUid(), 5u);
  EXPECT_EQ(u.GetGid(), 0xFFFFFFFFu);
  EXPECT_EQ(u.GetType(), -2);
  EXPECT_EQ(u.GetExpire(), 3);
  EXPECT_EQ(u.GetCacheTime(), 9);
}

TEST(UserRecordTest, NeutralReadsOfMissingAndMistypedKeys) {
  struct Case {
    const char* what;
    PObject message;
    User expected;
  };
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

  const Case cases[] = {
      {"null", PObject(), User()},
      {"string", PObject("alice"), User()},
      {"integer", PObject(1026), User()},
      {"array", PObject(PObject::array_type{PObject("alice")}), User()},
      {"empty map", PObject(PObject::map_type()), User()},
      {"wrong kinds", wrong_kinds, User()},
      {"no home", no_home, MakeUser("alice", 1026, 0, "", 0, 0, 0)},
      {"number as name", number_name, MakeUser("42", 0, 0, "", 0, 0, 0)},
      {"keys are exact", renamed, User()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    User u = MakeUser("old", 9, 9, "/old", 9, 9, 9);
    EXPECT_EQ(u.FromMessage(c.message), 0);
    ExpectSame(u, c.expected);
  }
}

TEST(UserRecordTest, ExpiryFollowsThePlatform) {
  const int32_t today = static_cast<int32_t>(time(nullptr) / 86400);
  struct Case {
    int32_t expire;
    bool expired;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {today, true}, {today + 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expire);
    User u;
    u.SetExpire(c.expire);
    EXPECT_EQ(u.IsExpired(), c.expired);
  }
}

// The message form survives the wire: encoded by one channel end, decoded at
// the other.
TEST(UserRecordTest, TravelsOverAChannel) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  Channel a;
  Channel b;
  ASSERT_EQ(a.Open(fds[0], true), 0);
  ASSERT_EQ(b.Open(fds[1], true), 0);
  for (const User& u : kUsers) {
    SCOPED_TRACE(u.GetName());
    PObject sent;
    u.ToMessage(&sent);
    PStream out;
    ASSERT_EQ(out.Send(&a, sent), 0);
    PObject received;
    PStream in;
    ASSERT_EQ(in.Recv(&b, &received), 0);
    User back;
    back.FromMessage(received);
    ExpectSame(back, u);
  }
}

}  // namespace
