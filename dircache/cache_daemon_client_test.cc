#include "dircache/cache_daemon_client.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/test_root.h"
#include "dircache/daemon_cache_backend.h"
#include "dircache/fake_cache_daemon.h"
#include "platform/fake_file_system_ops.h"
#include "platform/sdk_share.h"
#include "platform/sdk_user.h"

namespace {

using dircache_test::Connection;
using dircache_test::FakeCacheDaemon;
using platform_test::FakeFileSystemOps;
using platform_test::ScopedDefaultOps;

PObject AliceMessage() {
  UserGroupCache::User u;
  u.SetName("alice");
  u.SetUid(1026);
  u.SetGid(100);
  u.SetHome("/volume1/homes/alice");
  u.SetExpire(-1);
  u.SetCacheTime(1700000000);
  PObject m;
  u.ToMessage(&m);
  return m;
}

PObject Ack(int32_t ack) {
  PObject reply;
  reply["ack"] = ack;
  return reply;
}

PObject With(PObject reply, const char* key, const PObject& value) {
  reply[key] = value;
  return reply;
}

// The string item of the wire format.
std::string Str(const std::string& s) {
  return std::string(1, '\x10') + static_cast<char>(s.size() >> 8) +
         static_cast<char>(s.size() & 0xFF) + s;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.MakeDir("/tmp");
    box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2}]})");
    box_.Write("/etc/tarn/shares.json",
               R"({"shares":[{"name":"secret","path":"/volume1/secret","status":2,"type":0,)"
               R"("enc_path":"/volume1/@secret@"}]})");
    box_.MakeDir("/volume1/homes");
    box_.MakeDir("/volume1/@secret@");
    box_.Write("/mounts", "/dev/md2 " + box_.root() + "/volume1 ext4 rw 0 0\n");
    ops_.Device("/volume1", 10);
  }

  CacheDaemonClient client_;
  test_support::TestRoot box_;
  FakeFileSystemOps ops_{box_.Host("/mounts")};
  ScopedDefaultOps installed_ops_{&ops_};
};

TEST_F(ClientTest, NoDaemon) {
  UserGroupCache::User user;
  EXPECT_EQ(client_.GetUser("alice", &user), -1);
  const std::string log = box_.LogText();
  EXPECT_NE(log.find("[ERROR] zoscache-ipc("), std::string::npos) << log;
  EXPECT_NE(log.find("): connect to cached failed\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): Failed to get user: alice\n"), std::string::npos) << log;
  EXPECT_EQ(user.GetName(), "");

  // Every action reports the connect failure with its own message.
  ZOSCache::Share share;
  std::string sid;
  std::vector<std::string> names;
  const std::pair<const char*, int> cases[] = {
      {"Failed to get share: homes\n", client_.GetShare("homes", &share)},
      {"Failed to get domain sid\n", client_.GetDomainSid(&sid)},
      {"Failed to list shares\n", client_.ListShareNames(&names)},
      {"Failed to list domain name\n", client_.ListDomainNames(&names)},
      {"Failed to reload zos cache \n", client_.Reload()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(c.second, -1);
    EXPECT_NE(box_.LogText().find(std::string("): ") + c.first), std::string::npos)
        << box_.LogText();
  }
  // The key lookup has no message of its own.
  std::string key = "kept";
  const size_t before = box_.LogText().size();
  EXPECT_EQ(client_.GetShareUniqueKey("secret", &key), -1);
  EXPECT_EQ(key, "kept");
  const std::string added = box_.LogText().substr(before);
  EXPECT_NE(added.find("connect to cached failed"), std::string::npos) << added;
  EXPECT_EQ(added.find("secret"), std::string::npos) << added;
}

TEST_F(ClientTest, RequestBytesOnTheSocket) {
  FakeCacheDaemon daemon;
  // The bytes a call sent, `size` of them.
  auto sent = [&daemon](size_t size, const std::function<int()>& call) {
    std::string got;
    daemon.Serve([&got, size](Connection* conn) {
      got = conn->ReadRaw(size);
      conn->SendReply(Ack(0));
    });
    EXPECT_EQ(call(), 0);
    daemon.Wait();
    return got;
  };
  // The type word 2, then the request map.
  auto request = [](const std::string& items) {
    return std::string("\x00\x00\x00\x02\x42", 5) + items + "\x40";
  };
  UserGroupCache::User user;
  std::string key;
  std::vector<std::string> names;
  // Names with '@', a backslash and UTF-8 travel byte for byte.
  for (const std::string name :
       {"alice", "user@ldap.example", "DOMAIN\\bob", "\xc3\xa9l\xc3\xa8ve", ""}) {
    const std::string want = request(Str("action") + Str("get_user") + Str("name") + Str(name));
    EXPECT_EQ(sent(want.size(), [&] { return client_.GetUser(name, &user); }), want);
  }
  std::string want =
      request(Str("action") + Str("get_share_unique_key") + Str("name") + Str("secret"));
  EXPECT_EQ(sent(want.size(), [&] { return client_.GetShareUniqueKey("secret", &key); }), want);
  want = request(Str("action") + Str("list_share_name"));
  EXPECT_EQ(sent(want.size(), [&] { return client_.ListShareNames(&names); }), want);
}

TEST_F(ClientTest, ReloadDoesNotWaitForAnAnswer) {
  const std::string expected =
      std::string("\x00\x00\x00\x02\x42", 5) + Str("action") + Str("reload") + "\x40";
  FakeCacheDaemon daemon;
  std::string got;
  bool closed = false;
  daemon.Serve([&](Connection* conn) {
    got = conn->ReadRaw(expected.size());
    // The client hangs up right after its request, without any reply.
    closed = conn->PeerClosed();
  });
  EXPECT_EQ(client_.Reload(), 0);
  daemon.Wait();
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(closed);
  EXPECT_EQ(box_.LogText().find("zoscache-ipc"), std::string::npos) << box_.LogText();
}

TEST_F(ClientTest, UserReplies) {
  struct Case {
    const char* what;
    FakeCacheDaemon::Handler handler;
    int rc;
    const char* name;  // of the decoded record
    uint32_t uid;
    bool logged;  // "Failed to receive response" and "Failed to get user"
  } cases[] = {
      {"found", FakeCacheDaemon::Reply(With(Ack(0), "user", AliceMessage())), 0, "alice", 1026,
       false},
      {"positive ack", FakeCacheDaemon::Reply(With(Ack(7), "user", AliceMessage())), 0, "alice",
       1026, false},
      {"no ack", FakeCacheDaemon::Reply(With(PObject(), "user", AliceMessage())), 0, "alice", 1026,
       false},
      {"no user", FakeCacheDaemon::Reply(Ack(0)), 0, "", 0, false},
      {"reply not a map", FakeCacheDaemon::Reply(PObject(5)), 0, "", 0, false},
      {"refused", FakeCacheDaemon::Reply(With(Ack(-1), "user", AliceMessage())), -1, "old", 9,
       false},
      {"refused, 64-bit ack", FakeCacheDaemon::Reply(With(Ack(0), "ack", PObject(-5ll))), -1, "old",
       9, false},
      {"hang-up", FakeCacheDaemon::Raw(""), -1, "old", 9, true},
      {"truncated",
       FakeCacheDaemon::Raw("\x42\x10\x00\x03"
                            "ac"),
       -1, "old", 9, true},
      {"garbage tag", FakeCacheDaemon::Raw("\x99"), -1, "old", 9, true},
      {"key not a string", FakeCacheDaemon::Raw(std::string("\x42\x01\x01\x05\x00\x00\x40", 7)), -1,
       "old", 9, true},
  };
  FakeCacheDaemon daemon;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = box_.LogText().size();
    daemon.Serve(c.handler);
    UserGroupCache::User user;
    user.SetName("old");
    user.SetUid(9);
    EXPECT_EQ(client_.GetUser("alice", &user), c.rc);
    daemon.Wait();
    EXPECT_EQ(user.GetName(), c.name);
    EXPECT_EQ(user.GetUid(), c.uid);
    const std::string added = box_.LogText().substr(before);
    if (c.logged) {
      EXPECT_NE(added.find("): Failed to receive response\n"), std::string::npos) << added;
      EXPECT_NE(added.find("): Failed to get user: alice\n"), std::string::npos) << added;
    } else {
      EXPECT_EQ(added.find("zoscache-ipc"), std::string::npos) << added;
    }
  }
}

TEST_F(ClientTest, ShareReplies) {
  PObject homes;
  homes["name"] = "homes";
  homes["path"] = "/volume1/homes";
  homes["status"] = 0x100;
  homes["type"] = 0;
  PObject locked = homes;
  locked["name"] = "nodata";
  locked["status"] = 0x2;  // encrypted, but the platform names no data folder

  FakeCacheDaemon daemon;
  daemon.Serve(FakeCacheDaemon::Reply(With(Ack(0), "share", homes)));
  ZOSCache::Share share;
  ASSERT_EQ(client_.GetShare("homes", &share), 0);
  daemon.Wait();
  EXPECT_EQ(share.GetName(), "homes");
  EXPECT_EQ(share.GetPath(), "/volume1/homes");
  EXPECT_TRUE(share.IsRecycleBinEnabled());
  EXPECT_EQ(share.GetMountPath(), "/volume1");

  daemon.Serve(FakeCacheDaemon::Reply(With(Ack(0), "share", locked)));
  EXPECT_EQ(client_.GetShare("nodata", &share), -1);
  daemon.Wait();
  EXPECT_NE(box_.LogText().find("): TLIBShareEncryptPathGet(nodata) failed"), std::string::npos);

  daemon.Serve(FakeCacheDaemon::Reply(Ack(-2)));
  EXPECT_EQ(client_.GetShare("homes", &share), -1);
  daemon.Wait();

  const size_t before = box_.LogText().size();
  daemon.Serve(FakeCacheDaemon::Raw("\x42\x10"));
  EXPECT_EQ(client_.GetShare("homes", &share), -1);
  daemon.Wait();
  EXPECT_NE(box_.LogText().find("): Failed to get share: homes\n", before), std::string::npos)
      << box_.LogText();
}

TEST_F(ClientTest, UniqueKeyDecoding) {
  struct Case {
    const char* what;
    PObject reply;
    int rc;
    std::string key;  // after the call (starts as "kept")
    bool decode_failure;
  } cases[] = {
      {"two bytes", With(Ack(0), "key", PObject("0aff")), 0, std::string("\x0a\xff", 2), false},
      {"empty", With(Ack(0), "key", PObject("")), 0, "", false},
      {"no key", Ack(0), 0, "", false},
      {"no ack", With(PObject(), "key", PObject("ff")), 0, "\xff", false},
      {"uppercase", With(Ack(0), "key", PObject("0AFF")), -1, "", true},
      {"odd length", With(Ack(0), "key", PObject("abc")), -1, "", true},
      {"number", With(Ack(0), "key", PObject(10)), 0, "\x10", false},  // read as text "10"
      {"refused", With(Ack(-1), "key", PObject("0aff")), -1, "kept", false},
  };
  FakeCacheDaemon daemon;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = box_.LogText().size();
    daemon.Serve(FakeCacheDaemon::Reply(c.reply));
    std::string key = "kept";
    EXPECT_EQ(client_.GetShareUniqueKey("secret", &key), c.rc);
    daemon.Wait();
    EXPECT_EQ(key, c.key);
    const std::string added = box_.LogText().substr(before);
    EXPECT_EQ(added.find("): Failed to decode key: secret\n") != std::string::npos,
              c.decode_failure)
        << added;
  }
}

TEST_F(ClientTest, NameLists) {
  PObject two;
  two.mutable_array().push_back(PObject("homes"));
  two.mutable_array().push_back(PObject("photo"));
  PObject mixed;
  mixed.mutable_array().push_back(PObject("a"));
  mixed.mutable_array().push_back(PObject(5));
  mixed.mutable_array().push_back(PObject(PObject::map_type()));
  struct Case {
    const char* what;
    PObject reply;
    int rc;
    std::vector<std::string> names;  // before: {"kept"}
  } cases[] = {
      {"two", With(Ack(0), "name_list", two), 0, {"homes", "photo"}},
      {"empty", With(Ack(0), "name_list", PObject(PObject::array_type())), 0, {}},
      {"not an array", With(Ack(0), "name_list", PObject("homes")), 0, {}},
      {"missing", Ack(0), 0, {}},
      {"elements as text", With(Ack(0), "name_list", mixed), 0, {"a", "5", ""}},
      {"refused", With(Ack(-1), "name_list", two), -1, {"kept"}},
  };
  FakeCacheDaemon daemon;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daemon.Serve(FakeCacheDaemon::Reply(c.reply));
    std::vector<std::string> shares{"kept"};
    EXPECT_EQ(client_.ListShareNames(&shares), c.rc);
    daemon.Wait();
    EXPECT_EQ(shares, c.names);
    daemon.Serve(FakeCacheDaemon::Reply(c.reply));
    std::vector<std::string> domains{"kept"};
    EXPECT_EQ(client_.ListDomainNames(&domains), c.rc);
    daemon.Wait();
    EXPECT_EQ(domains, c.names);
  }
  // A failed exchange leaves the list alone too.
  daemon.Serve(FakeCacheDaemon::Raw("\x41\x10"));
  std::vector<std::string> names{"kept"};
  EXPECT_EQ(client_.ListShareNames(&names), -1);
  daemon.Wait();
  EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

TEST_F(ClientTest, DomainSid) {
  FakeCacheDaemon daemon;
  daemon.Serve(FakeCacheDaemon::Reply(With(Ack(0), "sid", PObject("S-1-5-21-1-2-3"))));
  std::string sid = "kept";
  EXPECT_EQ(client_.GetDomainSid(&sid), 0);
  daemon.Wait();
  EXPECT_EQ(sid, "S-1-5-21-1-2-3");
  daemon.Serve(FakeCacheDaemon::Reply(Ack(-1)));
  sid = "kept";
  EXPECT_EQ(client_.GetDomainSid(&sid), -1);
  daemon.Wait();
  EXPECT_EQ(sid, "kept");
}

TEST_F(ClientTest, ConcurrentCallsUseTheirOwnConnections) {
  const int kThreads = 4;
  const int kCalls = 5;
  FakeCacheDaemon daemon;
  daemon.Serve(
      [](Connection* conn) {
        uint32_t word = 0;
        PObject request;
        ASSERT_TRUE(conn->ReadRequest(&word, &request));
        PObject user;
        user["name"] = request["name"];
        conn->SendReply(With(Ack(0), "user", user));
      },
      kThreads * kCalls);
  std::vector<std::thread> threads;
  std::vector<int> good(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &good] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string name = "user" + std::to_string(t) + "-" + std::to_string(i);
        UserGroupCache::User u;
        if (CacheDaemonClient::GetInstance()->GetUser(name, &u) == 0 && u.GetName() == name) {
          ++good[t];
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  daemon.Wait();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], kCalls) << t;
}

TEST_F(ClientTest, PlatformObjectsFromTheDaemon) {
  dircache::InstallDaemonCacheBackend();
  FakeCacheDaemon daemon;
  daemon.Serve(FakeCacheDaemon::Reply(With(Ack(0), "user", AliceMessage())));
  SDK::User user;
  ASSERT_EQ(user.Open("alice", true), 0);
  daemon.Wait();
  EXPECT_EQ(user.GetUid(), 1026u);
  EXPECT_EQ(user.GetGid(), 100u);
  EXPECT_EQ(user.GetHomePath(), "/volume1/homes/alice");
  EXPECT_FALSE(user.IsExpired());

  PObject secret;
  secret["name"] = "secret";
  secret["path"] = "/volume1/secret";
  secret["status"] = 0x2;
  secret["type"] = 0;
  daemon.Serve(FakeCacheDaemon::Reply(With(Ack(0), "share", secret)));
  SDK::Share share;
  ASSERT_EQ(share.Open("secret", true), 0);
  daemon.Wait();
  EXPECT_TRUE(share.IsEncryption());
  EXPECT_EQ(share.GetShareBinPath(), "/volume1");

  daemon.Serve(FakeCacheDaemon::Reply(With(Ack(0), "key", PObject("00ff10"))));
  std::string key;
  EXPECT_EQ(share.GetEncryptionKey(&key), 1);
  daemon.Wait();
  EXPECT_EQ(key, std::string("\x00\xff\x10", 3));

  daemon.Serve(FakeCacheDaemon::Reply(Ack(-1)));
  SDK::User nobody;
  EXPECT_EQ(nobody.Open("nobody", true), -1);
  daemon.Wait();
  EXPECT_NE(box_.LogText().find("): Failed to get cache user: nobody, rc=-1\n"), std::string::npos)
      << box_.LogText();
  SDK::SetCacheBackend(nullptr);
}

TEST(ClientSocketPathTest, RootTooDeepForAUnixSocket) {
  // A root whose socket path exceeds what a Unix-domain address holds is
  // refused outright instead of knocking at a cut-off path.
  test_support::TestRoot box;
  box.CaptureLog();
  std::string deep = "/" + std::string(100, 'd');
  box.MakeDir(deep + "/tmp");
  setenv("DRIFT_ROOT", (box.root() + deep).c_str(), 1);  // the root puts it back
  CacheDaemonClient client;
  UserGroupCache::User u;
  EXPECT_EQ(client.GetUser("alice", &u), -1);
  const std::string log = box.LogText();
  EXPECT_NE(log.find("/tmp/drift-cached-socket' is longer than 107 bytes\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("): connect to cached failed\n"), std::string::npos) << log;
  EXPECT_NE(log.find("): Failed to get user: alice\n"), std::string::npos) << log;
}

TEST(HexTest, DecodeLowerHex) {
  const std::pair<const char*, std::string> good[] = {
      {"", ""},
      {"7f80", "\x7f\x80"},
      {"0000", std::string("\0\0", 2)},
      {"0123456789abcdef", "\x01\x23\x45\x67\x89\xab\xcd\xef"},
  };
  for (const auto& c : good) {
    std::string out = "x";
    EXPECT_TRUE(DecodeLowerHex(c.first, &out)) << c.first;
    EXPECT_EQ(out, c.second) << c.first;
  }
  // Odd lengths, capitals and the neighbours of the digit ranges.
  for (const char* bad : {"7", "7F", "g0", "0:", "0/", "`0", "  ", "0a ff"}) {
    std::string out = "x";
    EXPECT_FALSE(DecodeLowerHex(bad, &out)) << bad;
    EXPECT_EQ(out, "x");
  }
}

}  // namespace
