// drift-control service --start, --stop and --status in sandboxes with the
// real daemons, updater, relay and databases: the road of a first start and a
// stop, the refusals, a daemon that cannot be launched, the volume choice,
// directory accounts, and every row of the status decision.
#include <arpa/inet.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "package_db/manager.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

const char kLoggedSql[] = "SELECT value FROM log_list_table WHERE list = 1 ORDER BY log_id, pos";
const Daemon& kCleaner = kDaemons[2];
const Daemon& kSyncd = kDaemons[4];

// The command line of a process, one text per argument.
std::vector<std::string> CommandLineOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

// A process that lives until the object goes.
struct Sleeper {
  ~Sleeper() {
    kill(pid, SIGKILL);
    WaitChild(pid);
  }
  std::string Line() const { return std::to_string(pid) + "\n"; }
  const pid_t pid = Spawn({"/bin/sleep", "600"}, {});
};

class ServiceE2eTest : public ServiceTest {
 protected:
  // A start that ends before any daemon, with `word` in the status file.
  void StartEndsWith(const std::string& word, const std::string& account = "alice") {
    RunResult r = Start(account);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(box_.Value(kStatusFile, "status"), word);
    EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  }

  void SetSwitches(const std::map<std::string, std::string>& switches) {
    std::map<std::string, std::string> all = {{"pocket_unit", "no"},     {"userhome_local", "yes"},
                                              {"userhome_domain", "no"}, {"userhome_ldap", "no"},
                                              {"domain_joined", "no"},   {"ldap_bound", "no"},
                                              {"service_winbindd", "no"}};
    for (const auto& [key, value] : switches) all[key] = value;
    std::string text;
    for (const auto& [key, value] : all) text += key + "=\"" + value + "\"\n";
    box_.Write("/etc.defaults/tarninfo.conf", text);
  }

  Rows Users() const {
    return Query(box_.Host(kUserDb),
                 "SELECT name, view_id, user_type, uid, gid, attribute, watch_path FROM "
                 "user_table ORDER BY id");
  }
  std::string NextViewId() const {
    auto rows = Query(box_.Host(kUserDb), "SELECT value FROM config_table WHERE key = 'view_id'");
    return rows.size() == 1 ? rows[0][0] : "";
  }
  // The parameters of every record of the log database, in order.
  std::vector<std::string> LoggedParams() const {
    std::vector<std::string> out;
    for (const auto& row : box_.Exists(kLogDb) ? Query(box_.Host(kLogDb), kLoggedSql) : Rows{}) {
      out.push_back(row[0]);
    }
    return out;
  }

  // The rotation setting of a view database, read through the package's
  // database library as the daemons read it.
  void ExpectRotation(uint64_t view_id, int count, const std::string& policy) const {
    db::ViewDBInterface view;
    const bool initialized = db::Manager::Initialize(box_.Host(kSyncFolder)) == 0;
    const bool opened = initialized && db::Manager::GetViewDB(view_id, &view) == 0;
    db::Manager::Destroy(false);
    ASSERT_TRUE(opened) << "no view database for view " << view_id;
    int got_count = -1;
    std::string got_policy;
    EXPECT_EQ(view.GetRotateCount(&got_count), 0);
    EXPECT_EQ(view.GetRotatePolicy(&got_policy), 0);
    EXPECT_EQ(got_count, count);
    EXPECT_EQ(got_policy, policy);
  }
};

// The first start of a local account, a start while running, and the stops.
TEST_F(ServiceE2eTest, FirstStartThenStopsRunTheWholeRoad) {
  const char* const marks[] = {kRepoMoveMark, kDiskFullMark, kUpgradingMark};
  for (const char* mark : marks) box_.Write(mark, "1\n");
  StartOk("alice");
  EXPECT_EQ(ProcessesBelow(box_.root()).size(), std::size(kDaemons));
  const std::string port = std::to_string(port_);
  EXPECT_EQ(CommandLineOf(box_.PidOf(kCleaner.pid_file)),
            (std::vector<std::string>{kCleaner.program, kSyncFolder}));
  EXPECT_EQ(
      CommandLineOf(box_.PidOf(kSyncd.pid_file)),
      (std::vector<std::string>{kSyncd.program, "-c", kSyncFolder, "-p", port, "-u", kUserDb}));
  // The database volume was chosen through the homes share and remembered.
  EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume1\"\n");
  for (const char* folder :
       {"/volume1/@driftvault/@sync", "/volume1/@driftvault/@clientd", "/var/log/dfvt"}) {
    EXPECT_TRUE(std::filesystem::is_directory(box_.Host(folder))) << folder;
  }
  EXPECT_EQ(box_.Value(kSettingConf, "dfvt_enable"), "1");
  EXPECT_EQ(box_.Value(kSettingConf, "dfvt_port"), port);
  for (const char* mark : marks) EXPECT_FALSE(box_.Exists(mark)) << mark;
  EXPECT_EQ(Users(),
            (Rows{{"alice", "1", "0", "1026", "100", "0", "/volume1/homes/alice/DriftVault"}}));
  EXPECT_EQ(NextViewId(), "2");
  ExpectRotation(1, 32, "fifo");
  // First installation: the package is granted to everyone.
  Json::Value rules[2];
  std::istringstream texts[2] = {
      std::istringstream(box_.Read("/etc/tarn/app-privilege.json")),
      std::istringstream(
          R"({"rules":[{"type":2,"id":0,"app":"TARN.HXA.DFVT.Instance","allow":["0.0.0.0"]}]})")};
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), texts[i], &rules[i], nullptr));
  }
  EXPECT_EQ(rules[0], rules[1]);
  EXPECT_EQ(box_.Read(kRelayConf), "driftvault\n");
  EXPECT_EQ(box_.Value(kServiceVolumes, "DriftVault"), "/volume1");
  EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 1u);
  EXPECT_EQ(LoggedParams(), std::vector<std::string>{"1"});

  // A start while running changes nothing.
  std::vector<pid_t> pids;
  for (const Daemon& daemon : kDaemons) pids.push_back(box_.PidOf(daemon.pid_file));
  std::sort(pids.begin(), pids.end());
  auto snapshot = [this] {
    std::string all;
    for (const char* file :
         {kStatusFile, kSettingConf, kDbPathConf, kEventLog, kRelayConf, kUserDb}) {
      all += box_.Read(file) + '\0';
    }
    return all;
  };
  const std::string before = snapshot();
  EXPECT_EQ(Start("bob").exit_status, 0);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(LoggedParams(), std::vector<std::string>{"1"});
  EXPECT_EQ(ProcessesBelow(box_.root()), pids);

  // A stop refuses while the database moves.
  {
    Sleeper mover;
    box_.Write(kRepoMoveMark, mover.Line());
    box_.Write(kStatusFile, "status=\"moving_db\"\n");
    RunResult r = box_.Tool({"service", "--stop"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(ProcessesBelow(box_.root()), pids);
    EXPECT_EQ(box_.Read(kStatusFile), "status=\"moving_db\"\n");
    EXPECT_TRUE(box_.Exists(kRepoMoveMark));
    EXPECT_EQ(box_.Value(kSettingConf, "dfvt_enable"), "1");
    EXPECT_EQ(box_.Value(kServiceVolumes, "DriftVault"), "/volume1");
    EXPECT_EQ(Count(box_.Read(kEventLog), kStopEvent), 0u);
    EXPECT_EQ(LoggedParams(), std::vector<std::string>{"1"});
  }
  // The package framework removes the enabled marker before it stops; a
  // mark without a pid is never signalled, just removed.
  ASSERT_EQ(unlink(box_.Host(kEnabled).c_str()), 0);
  box_.Write(kUpgradingMark, "garbage\n");
  StopOk();
  for (const char* mark : marks) EXPECT_FALSE(box_.Exists(mark)) << mark;
  EXPECT_EQ(box_.Value(kSettingConf, "dfvt_enable"), "0");
  EXPECT_EQ(box_.Value(kSettingConf, "dfvt_port"), port);
  EXPECT_EQ(box_.Value(kServiceVolumes, "DriftVault"), "");
  EXPECT_EQ(box_.Read(kRelayConf).find("driftvault"), std::string::npos);
  EXPECT_EQ(Count(box_.Read(kEventLog), kStopEvent), 1u);
  EXPECT_EQ(LoggedParams(), (std::vector<std::string>{"1", "0"}));
  // A stop finding nothing running records once more; without a database
  // volume only the event is written.
  StopOk();
  EXPECT_EQ(LoggedParams(), (std::vector<std::string>{"1", "0", "0"}));
  ASSERT_EQ(unlink(box_.Host(kDbPathConf).c_str()), 0);
  StopOk();
  EXPECT_EQ(LoggedParams(), (std::vector<std::string>{"1", "0", "0"}));
  EXPECT_EQ(Count(box_.Read(kEventLog), kStopEvent), 3u);
}

// A package not enabled is left alone, a port in use ends the start before
// any folder is made.  Without an installing account no user is added.
TEST_F(ServiceE2eTest, RefusedStartsAndAStartWithoutAccount) {
  ASSERT_EQ(unlink(box_.Host(kEnabled).c_str()), 0);
  StartEndsWith("");  // a package not enabled is left alone
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  box_.Write(kEnabled, "");
  // The port in use ends the start before any folder is made.
  const int listener = socket(AF_INET6, SOCK_STREAM, 0);
  struct sockaddr_in6 addr = {};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  addr.sin6_port = htons(static_cast<uint16_t>(port_));
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  StartEndsWith("portconflict");
  close(listener);
  EXPECT_EQ(box_.Status(), "portconflict");
  for (const char* path : {"/volume1/@driftvault", "/var/log/dfvt", kDbPathConf, kRelayConf}) {
    EXPECT_FALSE(box_.Exists(path)) << path;
  }
  EXPECT_EQ(box_.Value(kSettingConf, "dfvt_enable"), "");
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));

  StartOk("");
  EXPECT_TRUE(Users().empty());
}

// A start ends before any daemon, leaving db-path.conf and the user database
// as they were, when the configured volume is gone (never replaced by a new
// choice, a road that first clears the repository folders of every volume)
// or the updater finds the database newer or damaged.
TEST_F(ServiceE2eTest, ConfiguredVolumeGoneOrDatabaseRefused) {
  const std::string one = R"({"volumes":[{"path":"/volume1","type":2}]})";
  const std::string newer =
      "CREATE TABLE config_table (key VARCHAR UNIQUE ON CONFLICT ABORT, value VARCHAR);"
      "INSERT INTO config_table VALUES ('version', 4151), ('view_id', '1');";
  const struct {
    std::string volumes, conf, user_db;  // user_db: SQL, or the file's bytes
    const char* word;
  } cases[] = {
      {R"({"volumes":[{"path":"/volume1","type":2},{"path":"/volume2","type":2}]})",
       "db-vol=\"/volume2\"\n", "", "dbunexist"},  // listed, not mounted
      {one, "db-vol=\"/volume2\"\n", "", "dbunexist"},
      {one, "other=\"x\"\n", "", "dbunexist"},
      {one, "db-vol=\"\"\n", "", "dbunexist"},
      {one, "db-vol=\"volume1\"\n", "", "dbunexist"},
      {one, "db-vol=\"/volume1\"\n", newer, "dbnewer"},
      {one, "db-vol=\"/volume1\"\n", std::string(4096, 'G'), "upgradefail"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf + c.word);
    std::filesystem::remove_all(box_.Host("/volume1/@driftvault"));
    box_.MakeDirs(kSyncFolder);
    box_.Write(std::string(kSyncFolder) + "/keep", "data");
    if (c.user_db[0] == 'G') {
      box_.Write(kUserDb, c.user_db);
    } else if (!c.user_db.empty()) {
      Query(box_.Host(kUserDb), c.user_db);
    }
    const std::string database = box_.Read(kUserDb);
    box_.Write("/etc/tarn/volumes.json", c.volumes);
    box_.Write(kDbPathConf, c.conf);
    box_.Write(kStatusFile, "status=\"disabled\"\n");
    StartEndsWith(c.word);
    EXPECT_EQ(box_.Status(), c.word);
    EXPECT_EQ(box_.Read(kDbPathConf), c.conf);  // the volume may come back
    EXPECT_EQ(box_.Read(kUserDb), database);
    EXPECT_EQ(box_.Read(std::string(kSyncFolder) + "/keep"), "data");
    for (const char* path :
         {"/volume2", kLogDb, "/volume1/@driftvault/@sync/syncfolder-db.sqlite"}) {
      EXPECT_FALSE(box_.Exists(path)) << path;
    }
    // The relay is registered only after the volume is found.
    EXPECT_EQ(box_.Exists(kRelayConf), c.word != std::string("dbunexist"));
    EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 0u);
  }
}

TEST_F(ServiceE2eTest, VolumeChoiceWithoutTheHomeService) {
  SetSwitches({{"userhome_local", "no"}});
  // The first listed volume is not mounted; the second is taken.  What an
  // earlier installation left on any volume is cleaned away first.
  box_.MakeDirs("/volume2");
  box_.MakeDirs(kSyncFolder);
  box_.Write(kUserDb, "left over");
  box_.Write("/etc/tarn/volumes.json",
             R"({"volumes":[{"path":"/volume3","type":2},{"path":"/volume2","type":2},)"
             R"({"path":"/volume1","type":2}]})");
  StartOk("");
  EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume2\"\n");
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  EXPECT_FALSE(box_.Exists("/volume3"));
  EXPECT_TRUE(box_.Exists("/volume2/@driftvault/@clientd"));
  EXPECT_TRUE(box_.Exists("/volume2/@driftvault/@sync/user-db.sqlite"));
  EXPECT_EQ(box_.Value(kServiceVolumes, "DriftVault"), "/volume2");
  EXPECT_EQ(CommandLineOf(box_.PidOf(kCleaner.pid_file)),
            (std::vector<std::string>{kCleaner.program, "/volume2/@driftvault/@sync"}));
  KillProcessesBelow(box_.root());

  // No volume to take at all: "error", and nothing remembered.
  ASSERT_EQ(unlink(box_.Host(kDbPathConf).c_str()), 0);
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume3","type":2}]})");
  StartEndsWith("error", "");
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  EXPECT_FALSE(box_.Exists("/volume3"));
}

// A directory account is added (with its view) only where its home service
// is on and the directory bound or joined.
TEST_F(ServiceE2eTest, DirectoryAccountsNeedHomesAndTheirDirectory) {
  const struct {
    const char* account;
    const char* user_type;
    std::map<std::string, std::string> switches;
    bool added;
  } cases[] = {
      {"carol@ldap.example", "2", {{"ldap_bound", "yes"}}, false},
      {"carol@ldap.example", "2", {{"userhome_ldap", "yes"}}, false},
      {"carol@ldap.example", "2", {{"userhome_ldap", "yes"}, {"ldap_bound", "yes"}}, true},
      {"EXAMPLE\\dave", "3", {{"domain_joined", "yes"}, {"service_winbindd", "yes"}}, false},
      {"EXAMPLE\\dave", "3", {{"userhome_domain", "yes"}, {"domain_joined", "yes"}}, false},
      {"EXAMPLE\\dave", "3", {{"userhome_domain", "yes"}, {"service_winbindd", "yes"}}, false},
      {"EXAMPLE\\dave",
       "3",
       {{"userhome_domain", "yes"}, {"domain_joined", "yes"}, {"service_winbindd", "yes"}},
       true},
  };
  box_.MakeDirs("/volume1/homes/dir-user");
  const std::string passwd = box_.Read("/etc/passwd");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account) + (c.added ? " added" : " not added"));
    box_.Write("/etc/passwd",
               passwd + c.account + ":x:200001:200000::/volume1/homes/dir-user:/bin/sh\n");
    std::filesystem::remove_all(box_.Host("/volume1/@driftvault"));
    unlink(box_.Host(kDbPathConf).c_str());
    SetSwitches(c.switches);
    StartOk(c.account);
    if (c.added) {
      EXPECT_EQ(Users(), (Rows{{c.account, "1", c.user_type, "200001", "200000", "0",
                                "/volume1/homes/dir-user/DriftVault"}}));
      ExpectRotation(1, 32, "fifo");
    } else {
      EXPECT_TRUE(Users().empty());
    }
    KillProcessesBelow(box_.root());
  }
}

// A cleaner that cannot be launched: the cache and authentication daemons
// were already up, the service is taken down again without a stop record,
// and the start records nothing either.
TEST_F(ServiceE2eTest, FailedDaemonLaunchStopsTheServiceSilently) {
  // The cleaner notes which daemons run at its launch, then dies by a signal.
  box_.Write(kCleaner.program, "#!/bin/sh\ncat " + box_.Host(kDaemons[0].pid_file) + " " +
                                   box_.Host(kDaemons[1].pid_file) + " > " +
                                   box_.Host("/cleaner-saw") + "\nkill -KILL $$\n");
  ASSERT_EQ(chmod(box_.Host(kCleaner.program).c_str(), 0755), 0);
  StartEndsWith("disabled");
  std::istringstream in(box_.Read("/cleaner-saw"));
  std::vector<pid_t> earlier{std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
  ASSERT_EQ(earlier.size(), 2u) << "cache and auth daemons were not running";
  for (pid_t pid : earlier) EXPECT_TRUE(WaitGone(pid)) << pid;
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));
  EXPECT_EQ(box_.Value(kSettingConf, "dfvt_enable"), "0");
  EXPECT_EQ(box_.Read(kRelayConf), "driftvault\n");  // the package is still enabled
  EXPECT_EQ(box_.Value(kServiceVolumes, "DriftVault"), "");
  EXPECT_EQ(LoggedParams(), std::vector<std::string>{});
  EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 0u);
  EXPECT_EQ(Count(box_.Read(kEventLog), kStopEvent), 0u);
  EXPECT_EQ(Users().size(), 1u);  // enabled before the launches
}

// Every row of the status decision, with the package's real sync daemon as
// the process behind "enabled" and a plain child behind the other words.
TEST_F(ServiceE2eTest, StatusDecisionTable) {
  Sleeper alive;
  const pid_t gone = Spawn({"/bin/true"}, {});
  WaitChild(gone);
  box_.MakeDirs(kSyncFolder);
  RunResult launched = RunBare(box_.Host(kSyncd.program), kSyncd.args);
  ASSERT_EQ(launched.exit_status, 0) << launched.err;
  const std::string sync_pid = box_.Read(kSyncd.pid_file);
  const std::string gone_line = std::to_string(gone) + "\n";

  const struct {
    bool enabled;
    const char* status_file;  // null: no file
    const char* witness;      // a pid file set for the row (null: none)
    std::string content;      // of the witness; "" removes it
    const char* expected;
  } rows[] = {
      {false, "status=\"enabled\"\n", nullptr, "", "disabled"},
      {true, nullptr, nullptr, "", "disabled"},
      {true, "other=\"1\"\n", nullptr, "", "error"},
      {true, "status=\"enab", nullptr, "", "error"},
      {true, "status=\"abcdefghijklmnopqrstuvwxyz012345\"\n", nullptr, "", "error"},
      {true, "status=\"enabled\"\n", nullptr, "", "enabled"},
      {true, "status=\"enabled\"\n", kSyncd.pid_file, "", "error"},
      {true, "status=\"enabled\"\n", kSyncd.pid_file, gone_line, "error"},
      {true, "status=\"enabled\"\n", kSyncd.pid_file, "garbage\n", "error"},
      {true, "status=\"updating\"\n", kUpgradingMark, alive.Line(), "updating"},
      {true, "status=\"updating\"\n", nullptr, "", "error"},
      {true, "status=\"checking\"\n", kUpgradingMark, gone_line, "error"},
      {true, "status=\"checking\"\n", kUpgradingMark, "xyz\n", "error"},
      {true, "status=\"moving_db\"\n", kRepoMoveMark, alive.Line(), "moving_db"},
      {true, "status=\"moving_db\"\n", kRepoMoveMark, "1\n", "error"},
      {true, "status=\"portconflict\"\n", nullptr, "", "portconflict"},
      {true, "status=\"disabled\"\n", nullptr, "", "disabled"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.status_file ? row.status_file : "no file") + " " +
                 (row.witness ? row.witness : "") + " " + row.content);
    row.enabled ? box_.Write(kEnabled, "") : (void)unlink(box_.Host(kEnabled).c_str());
    row.status_file ? box_.Write(kStatusFile, row.status_file)
                    : (void)unlink(box_.Host(kStatusFile).c_str());
    for (const char* mark : {kUpgradingMark, kRepoMoveMark}) unlink(box_.Host(mark).c_str());
    box_.Write(kSyncd.pid_file, sync_pid);
    if (row.witness != nullptr && row.content.empty()) unlink(box_.Host(row.witness).c_str());
    if (row.witness != nullptr && !row.content.empty()) box_.Write(row.witness, row.content);

    RunResult r = box_.Tool({"service", "--status"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, row.expected);
    // Reporting never changes the status file.
    if (row.status_file != nullptr) {
      EXPECT_EQ(box_.Read(kStatusFile), row.status_file);
    }
  }
}

}  // namespace
}  // namespace e2e
