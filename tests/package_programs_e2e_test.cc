// The package's daemons, updater and relay program, run as the tool runs
// them: from the sandbox's install path with an empty environment.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

const char kSyncDb[] = "/volume1/@driftvault/@sync/syncfolder-db.sqlite";

// A user database as the tool lays it out, with the given schema version.
void MakeUserDb(const Sandbox& box, const std::string& version_literal) {
  box.MakeDirs(kSyncFolder);
  Query(box.Host(kUserDb),
        "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR UNIQUE ON CONFLICT ABORT, "
        "value VARCHAR); INSERT INTO config_table VALUES ('version', " +
            version_literal + "), ('branch', 'master'), ('view_id', '1');");
}

// Each daemon detaches (its own process group, out of our session, not a
// session leader) with its pid file written by the time the launch returns,
// refuses a second instance, and ends on SIGTERM removing its pid file.  A
// pid file naming another live program, or garbage, does not block a start;
// syncd lays out a missing user database as every process of the package does.
TEST(PackageDaemons, DetachWritePidFileAndEndOnSigterm) {
  Sandbox box;
  box.MakeDirs(kSyncFolder);
  box.Write(kDaemons[1].pid_file, std::to_string(getpid()) + "\n");
  box.Write(kDaemons[3].pid_file, "garbage\n");
  for (const Daemon& d : kDaemons) {
    if (d.pid_file == kDaemons[0].pid_file) continue;  // the cache daemon has tests of its own
    SCOPED_TRACE(d.program);
    RunResult r = RunBare(box.Host(d.program), d.args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const pid_t pid = box.PidOf(d.pid_file);
    ASSERT_TRUE(Running(pid)) << pid;
    EXPECT_NE(pid, getpid());
    EXPECT_EQ(getpgid(pid), pid);
    EXPECT_NE(getsid(pid), getsid(0));
    EXPECT_NE(getsid(pid), pid);
    EXPECT_EQ(ProcessesBelow(box.root()), std::vector<pid_t>{pid});

    RunResult again = RunBare(box.Host(d.program), d.args);
    EXPECT_NE(again.exit_status, 0);
    EXPECT_NE(again.err.find("already running"), std::string::npos) << again.err;
    EXPECT_EQ(box.PidOf(d.pid_file), pid);
    if (d.pid_file == kDaemons[4].pid_file) {
      EXPECT_EQ(Query(box.Host(kUserDb),
                      "SELECT (SELECT value FROM config_table WHERE key = 'version'), "
                      "(SELECT rotate_cnt FROM rotate_setting_table WHERE view_id = 0)"),
                (std::vector<std::vector<std::string>>{{"4150", "32"}}));
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_FALSE(box.Exists(d.pid_file));
  }
}

TEST(PackageDaemons, BadLaunchesFailAndLeaveNothingRunning) {
  Sandbox box;
  box.MakeDirs(kSyncFolder);
  const std::string garbage_db = "/volume1/garbage.sqlite";
  box.Write(garbage_db, std::string(4096, 'G'));
  const std::string syncd = kDaemons[4].program;
  const std::vector<std::string> launches[] = {
      {syncd},
      {syncd, "-c", kSyncFolder, "-p", "6690"},
      {syncd, "-c", kSyncFolder, "-p", "6690", "-u"},
      {syncd, "-c", kSyncFolder, "-p", "6690", "-u", kUserDb, "-x", "1"},
      {syncd, "-c", kSyncFolder, "-c", kSyncFolder, "-p", "6690", "-u", kUserDb},
      {syncd, "-c", kSyncFolder, "-p", "0", "-u", kUserDb},
      {syncd, "-c", kSyncFolder, "-p", "65536", "-u", kUserDb},
      {syncd, "-c", kSyncFolder, "-p", "66a", "-u", kUserDb},
      {syncd, "-c", "/volume1/missing", "-p", "6690", "-u", kUserDb},
      {syncd, "-c", kSyncFolder, "-p", "6690", "-u", "/volume1/missing/user-db.sqlite"},
      {syncd, "-c", kSyncFolder, "-p", "6690", "-u", "/volume1"},  // a folder
      {syncd, "-c", kSyncFolder, "-p", "6690", "-u", garbage_db},
      {kDaemons[2].program},
      {kDaemons[2].program, "/volume1/missing"},
      {kDaemons[1].program, "extra"},
  };
  for (const auto& argv : launches) {
    SCOPED_TRACE(testing::PrintToString(argv));
    RunResult r = RunBare(box.Host(argv[0]), {argv.begin() + 1, argv.end()});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(SettledProcessesBelow(box.root()), std::vector<pid_t>{});
  }
  for (const Daemon& d : kDaemons) EXPECT_FALSE(box.Exists(d.pid_file)) << d.pid_file;
  // None of the refused launches got as far as the user database.
  EXPECT_FALSE(box.Exists(kUserDb));
  EXPECT_FALSE(box.Exists("/volume1/missing"));
  EXPECT_EQ(box.Read(garbage_db), std::string(4096, 'G'));
}

TEST(Updater, StatusWordFollowsTheUserDatabase) {
  const struct {
    const char* version;  // SQL literal; null: none, or a file of `bytes` bytes 'G'
    int bytes;            // -1: no user database at all
    const char* word;
  } cases[] = {
      {nullptr, -1, "done"},         {"4150", 0, "done"},
      {"4100", 0, "done"},           {"4151", 0, "dbnewer"},
      {"'5000'", 0, "dbnewer"},      {"'x1'", 0, "upgradefail"},
      {nullptr, 0, "done"},          {nullptr, 4096, "upgradefail"},
      {"'4151x'", 0, "upgradefail"},
  };
  Sandbox box;
  const std::string updater = box.Host(std::string(kTarget) + "/bin/updater-svr");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.version ? c.version : "raw file") + " " + std::to_string(c.bytes));
    std::filesystem::remove_all(box.Host("/volume1/@driftvault"));
    box.Write(kStatusFile, "status=\"initializing\"\nother=\"kept\"\n");
    if (c.version != nullptr) {
      MakeUserDb(box, c.version);
    } else if (c.bytes >= 0) {
      box.MakeDirs(kSyncFolder);
      box.Write(kUserDb, std::string(c.bytes, 'G'));
    }
    const std::string database = box.Read(kUserDb);
    RunResult r = RunBare(updater, {"/volume1"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(box.Value(kStatusFile, "status"), c.word);
    EXPECT_EQ(box.Value(kStatusFile, "other"), "kept");
    EXPECT_FALSE(box.Exists(kSyncDb));
    EXPECT_EQ(box.Exists(kUserDb), c.bytes >= 0);
    if (c.version == nullptr) {
      EXPECT_EQ(box.Read(kUserDb), database);
    }
    EXPECT_FALSE(box.Exists(kUpgradingMark));
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"volume1"}, {"/volume1", "/volume2"}}) {
    box.Write(kStatusFile, "status=\"initializing\"\n");
    EXPECT_EQ(RunBare(updater, args).exit_status, 2);
    EXPECT_EQ(box.Value(kStatusFile, "status"), "upgradefail");
  }
}

TEST(RelayProgram, RegistersAndUnregistersNames) {
  Sandbox box;
  const std::string relay = box.Host("/usr/tarn/sbin/tarnrelayd");
  const bool host_conf_existed = std::filesystem::exists(kRelayConf);
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* content;  // null: the file does not exist
  } steps[] = {
      {{"-r", "driftvault"}, 0, nullptr},
      {{"-a", "driftvault"}, 0, "driftvault\n"},
      {{"-a", "driftvault"}, 0, "driftvault\n"},
      {{"-a", "webdav"}, 0, "driftvault\nwebdav\n"},
      {{"-r", "driftvault"}, 0, "webdav\n"},
      {{"-r", "driftvault"}, 0, "webdav\n"},
      {{"-a"}, 2, "webdav\n"},
      {{"-x", "name"}, 2, "webdav\n"},
      {{"-a", "two words"}, 2, "webdav\n"},
      {{"-a", "a/b"}, 2, "webdav\n"},
      {{"-a", ""}, 2, "webdav\n"},
      {{"-r", "webdav"}, 0, ""},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.args[0] + (s.args.size() > 1 ? " " + s.args[1] : ""));
    EXPECT_EQ(RunBare(relay, s.args).exit_status, s.exit_status);
    ASSERT_EQ(box.Exists(kRelayConf), s.content != nullptr);
    if (s.content != nullptr) {
      EXPECT_EQ(box.Read(kRelayConf), s.content);
    }
  }
  // Comments of an administrator survive a rewrite.
  box.Write(kRelayConf, "# relays\nwebdav\n");
  EXPECT_EQ(RunBare(relay, {"-a", "driftvault"}).exit_status, 0);
  EXPECT_EQ(box.Read(kRelayConf), "# relays\nwebdav\ndriftvault\n");
  // The root came from the install path: the host's file was never touched,
  // and the system folder is never created.
  EXPECT_EQ(std::filesystem::exists(kRelayConf), host_conf_existed);
  std::filesystem::remove_all(box.Host("/etc/tarn"));
  EXPECT_EQ(RunBare(relay, {"-a", "driftvault"}).exit_status, 1);
  EXPECT_FALSE(box.Exists("/etc/tarn"));
}

}  // namespace
}  // namespace e2e
