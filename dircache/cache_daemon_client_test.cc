// The client's side of failures that a real daemon never produces; the
// conversation with the real daemon, refusals included, is tested end to end.
#include "dircache/cache_daemon_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "dircache/fake_cache_daemon.h"
#include "platform/fake_file_system_ops.h"

namespace {

// A reply map: "ack" (none when `ack` is null) and `key` set to `value`.
PObject Reply(const PObject& ack, const char* key = nullptr, const PObject& value = PObject()) {
  PObject reply(PObject::map_type{});
  if (!ack.is_null()) reply["ack"] = ack;
  if (key != nullptr) reply[key] = value;
  return reply;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.CaptureLog();
    box_.MakeDir("/tmp");
    box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2}]})");
    box_.Write("/etc/tarn/shares.json", R"({"shares":[]})");
    box_.MakeDir("/volume1/homes");
    box_.Write("/mounts", "/dev/md2 " + box_.root() + "/volume1 ext4 rw 0 0\n");
    ops_.Device("/volume1", 10);
  }

  CacheDaemonClient client_;
  test_support::TestRoot box_;
  platform_test::FakeFileSystemOps ops_{box_.Host("/mounts")};
  platform_test::ScopedDefaultOps installed_ops_{&ops_};
};

TEST_F(ClientTest, NoDaemonEveryActionLogsItsOwnMessage) {
  UserGroupCache::User user;
  ZOSCache::Share share;
  std::string text = "kept";
  std::vector<std::string> names;
  const std::pair<const char*, int> cases[] = {
      {"Failed to get user: alice\n", client_.GetUser("alice", &user)},
      {"Failed to get share: homes\n", client_.GetShare("homes", &share)},
      {"Failed to get domain sid\n", client_.GetDomainSid(&text)},
      {"Failed to list shares\n", client_.ListShareNames(&names)},
      {"Failed to list domain name\n", client_.ListDomainNames(&names)},
      {"Failed to reload zos cache \n", client_.Reload()},
      {"connect to cached failed\n", client_.GetShareUniqueKey("secret", &text)},
  };
  const std::string log = box_.LogText();
  for (const auto& c : cases) {
    EXPECT_EQ(c.second, -1) << c.first;
    EXPECT_NE(log.find(std::string("): ") + c.first), std::string::npos) << c.first << log;
  }
  EXPECT_NE(log.find("[ERROR] zoscache-ipc("), std::string::npos);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(log.find("secret"), std::string::npos);  // the key lookup has no message of its own
}

// Runs `action` (User, sHare, Key, sId, share List, Domain list) and returns
// its output: the user's name, the share's name and mount, the key, the sid
// or the names joined by "," ("old" before).
std::string Act(CacheDaemonClient* client, char action, int* rc) {
  std::string out = "old";
  std::vector<std::string> names{out};
  UserGroupCache::User u;
  u.SetName(out);
  ZOSCache::Share s;
  s.SetFields(out, "", 0, 0);
  *rc = action == 'U'   ? client->GetUser("alice", &u)
        : action == 'H' ? client->GetShare("homes", &s)
        : action == 'K' ? client->GetShareUniqueKey("secret", &out)
        : action == 'I' ? client->GetDomainSid(&out)
        : action == 'L' ? client->ListShareNames(&names)
                        : client->ListDomainNames(&names);
  if (action == 'U') return u.GetName();
  if (action == 'H') return s.GetName() + s.GetMountPath();
  if (action != 'L' && action != 'D') return out;
  out.clear();
  for (const std::string& name : names) out += (out.empty() ? "" : ",") + name;
  return out;
}

TEST_F(ClientTest, Replies) {
  PObject alice;
  alice["name"] = "alice";
  PObject locked;  // encrypted, but the platform names no data folder
  locked["name"] = "homes";
  locked["path"] = "/volume1/homes";
  locked["status"] = 0x2;
  const PObject names(PObject::array_type{PObject("a"), PObject(5), PObject(PObject::map_type())});
  const struct {
    const char* what;
    char action;
    PObject reply;  // null: `raw` is sent as it is
    const char* raw;
    int rc;
    const char* out;
    const char* log;  // added to the log ("": nothing)
  } cases[] = {
      {"user, no ack", 'U', Reply(PObject(), "user", alice), "", 0, "alice", ""},
      {"no user", 'U', Reply(PObject(0)), "", 0, "", ""},
      {"64-bit ack", 'U', Reply(PObject(-5ll), "user", alice), "", -1, "old", ""},
      {"hang-up", 'U', PObject(), "", -1, "old", "): Failed to get user: alice\n"},
      {"truncated", 'U', PObject(), "\x42\x10\x00\x03", -1, "old",
       "): Failed to receive response\n"},
      {"garbage tag", 'U', PObject(), "\x99", -1, "old", "): Failed to get user: alice\n"},
      {"share undescribed", 'H', Reply(PObject(0), "share", locked), "", -1, "homes",
       "): TLIBShareEncryptPathGet(homes) failed"},
      {"share cut off", 'H', PObject(), "\x42\x10", -1, "old", "): Failed to get share: homes\n"},
      {"key as a number", 'K', Reply(PObject(), "key", PObject(10)), "", 0, "\x10", ""},
      {"no key", 'K', Reply(PObject(0)), "", 0, "", ""},
      {"key in capitals", 'K', Reply(PObject(0), "key", PObject("0AFF")), "", -1, "",
       "): Failed to decode key: secret\n"},
      {"key of odd length", 'K', Reply(PObject(0), "key", PObject("abc")), "", -1, "",
       "): Failed to decode key: secret\n"},
      {"shares as text", 'L', Reply(PObject(0), "name_list", names), "", 0, "a,5,", ""},
      {"shares not a list", 'L', Reply(PObject(0), "name_list", PObject("a")), "", 0, "", ""},
      {"domains", 'D', Reply(PObject(), "name_list", names), "", 0, "a,5,", ""},
      {"domains refused", 'D', Reply(PObject(-1), "name_list", names), "", -1, "old", ""},
      {"sid", 'I', Reply(PObject(0), "sid", PObject("S-1-5")), "", 0, "S-1-5", ""},
  };
  dircache_test::FakeCacheDaemon daemon;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = box_.LogText().size();
    daemon.Serve(c.reply, c.raw);
    int rc = 0;
    EXPECT_EQ(Act(&client_, c.action, &rc), c.out);
    EXPECT_EQ(rc, c.rc);
    daemon.Wait();
    const std::string added = box_.LogText().substr(before);
    EXPECT_EQ(added.empty(), *c.log == '\0') << added;
    EXPECT_NE(added.find(c.log), std::string::npos) << added;
  }
}

TEST(ClientSocketPathTest, RootTooDeepForAUnixSocket) {
  // Refused outright instead of knocking at a cut-off path.
  test_support::TestRoot box;
  box.CaptureLog();
  const std::string deep = "/" + std::string(100, 'd');
  box.MakeDir(deep + "/tmp");
  setenv("DRIFT_ROOT", (box.root() + deep).c_str(), 1);  // the root puts it back
  UserGroupCache::User u;
  EXPECT_EQ(CacheDaemonClient().GetUser("alice", &u), -1);
  EXPECT_NE(box.LogText().find("/tmp/drift-cached-socket' is longer than 107 bytes\n"),
            std::string::npos)
      << box.LogText();
}

TEST(HexTest, DecodeLowerHex) {
  std::string out;
  EXPECT_TRUE(DecodeLowerHex("0123456789abcdef", &out));
  EXPECT_EQ(out, "\x01\x23\x45\x67\x89\xab\xcd\xef");
  EXPECT_TRUE(DecodeLowerHex("", &out));
  EXPECT_EQ(out, "");
  // Odd lengths, capitals and the neighbours of the digit ranges.
  for (const char* bad : {"7", "7F", "g0", "0:", "0/", "`0", "0a ff"}) {
    out = "x";
    EXPECT_FALSE(DecodeLowerHex(bad, &out)) << bad;
    EXPECT_EQ(out, "x");
  }
}

}  // namespace
