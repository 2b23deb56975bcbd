// drift-control service --start against sandbox appliances, with the real
// daemons, updater, relay program and databases: the whole road of a first
// start, the refusals, every failure that ends the road, and the accounts of
// each kind.  Every sandbox has a port of its own, so that tests may run side
// by side, and every process started inside a sandbox is gone when its test
// ends, whatever the test found.
#include <arpa/inet.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "package_db/manager.h"
#include "tests/e2e_support.h"

namespace {

const char kPackage[] = "/var/packages/DriftVault";
const char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
const char kSettingConf[] = "/var/packages/DriftVault/etc/setting.conf";
const char kDbPathConf[] = "/var/packages/DriftVault/etc/db-path.conf";
const char kTarnInfo[] = "/etc.defaults/tarninfo.conf";
const char kEventLog[] = "/var/log/tarn-events.log";
const char kSyncFolder[] = "/volume1/@driftvault/@sync";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";
const char kLogDb[] = "/volume1/@driftvault/@sync/log-db.sqlite";
const char kEnableEvent[] = "\t0x11B01050\tDrift Vault\t";
const char kStopEvent[] = "\t0x11B01051\tDrift Vault\t";

struct Daemon {
  const char* program;
  const char* pid_file;
};

// In launch order.
const Daemon kDaemons[] = {
    {"/var/packages/DriftVault/target/sbin/drift-cached", "/var/run/drift-cached.pid"},
    {"/var/packages/DriftVault/target/sbin/drift-authd", "/var/run/drift-authd.pid"},
    {"/var/packages/DriftVault/target/sbin/drift-cleand", "/var/run/drift-cleand.pid"},
    {"/var/packages/DriftVault/target/sbin/tarn-drift-clientd", "/var/run/drift-clientd.pid"},
    {"/var/packages/DriftVault/target/sbin/syncd", "/var/run/tarnsyncfolder.pid"},
};

using e2e::ExecutableOf;
using e2e::FreePort;
using e2e::KillProcessesBelow;
using e2e::ProcessesBelow;
using e2e::Running;
using e2e::SettledProcessesBelow;
using e2e::WaitGone;

// The command line of a process, one text per argument.
std::vector<std::string> CommandLineOf(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "r");
  std::vector<std::string> args;
  if (f == nullptr) return args;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find('\0', pos);
    args.push_back(text.substr(pos, end - pos));
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  return args;
}

// Rows of a query on an SQLite file, every column as text ("NULL" for null).
std::vector<std::vector<std::string>> Query(const std::string& host_db, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(host_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << host_db;
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

void Exec(const std::string& host_db, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(host_db.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
  sqlite3_free(err);
  sqlite3_close(db);
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A combination of directory-service switches and whether the account of
// that directory is added under it.
struct DirectoryCase {
  const char* name;
  std::map<std::string, std::string> switches;
  bool added;
};

class ServiceStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(box_.root().empty());
    port_ = FreePort();
    ASSERT_GT(port_, 0);
    box_.Write(kSettingConf, "dfvt_port=\"" + std::to_string(port_) + "\"\n");
  }

  // Whatever a test left running inside its sandbox goes, also when the
  // test failed half-way or a start lost track of its daemons.
  void TearDown() override { KillDaemons(); }

  // Takes the daemons down at once, as a crash would, for tests that start
  // the service many times and are not about stopping it (a stop waits for
  // the sync daemon).  The next start finds the sync daemon gone.
  void KillDaemons() const {
    if (box_.root().empty()) return;
    KillProcessesBelow(box_.root());
  }

  e2e::RunResult Start(const std::string& account = "") {
    // An empty value removes the variable from the tool's environment.
    return box_.Tool({"service", "--start"}, {{"TARNPKG_USERNAME", account}});
  }

  // Starts and expects the service to run, without any output.
  void StartOk(const std::string& account = "") {
    e2e::RunResult r = Start(account);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(StatusWord(), "enabled");
  }

  void Stop() {
    e2e::RunResult r = box_.Tool({"service", "--stop"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(StatusWord(), "disabled");
    EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  }

  // The value of `key` in a key/value file ("" when missing).
  std::string Value(const std::string& file, const std::string& key) const {
    const std::string text = "\n" + box_.Read(file);
    const std::string head = "\n" + key + "=\"";
    const size_t at = text.rfind(head);
    if (at == std::string::npos) return "";
    const size_t begin = at + head.size();
    return text.substr(begin, text.find('"', begin) - begin);
  }
  std::string StatusWord() const { return Value(kStatusFile, "status"); }

  void SetSwitches(const std::map<std::string, std::string>& switches) {
    std::map<std::string, std::string> all = {{"pocket_unit", "no"},     {"userhome_local", "yes"},
                                              {"userhome_domain", "no"}, {"userhome_ldap", "no"},
                                              {"domain_joined", "no"},   {"ldap_bound", "no"},
                                              {"service_winbindd", "no"}};
    for (const auto& [key, value] : switches) all[key] = value;
    std::string text;
    for (const auto& [key, value] : all) text += key + "=\"" + value + "\"\n";
    box_.Write(kTarnInfo, text);
  }

  pid_t PidOf(const Daemon& daemon) const {
    return box_.Exists(daemon.pid_file) ? atoi(box_.Read(daemon.pid_file).c_str()) : 0;
  }

  // Every daemon runs from the sandbox's install path under its pid file.
  void ExpectAllDaemonsRunning() const {
    for (const Daemon& daemon : kDaemons) {
      SCOPED_TRACE(daemon.program);
      const pid_t pid = PidOf(daemon);
      EXPECT_TRUE(Running(pid)) << pid;
      EXPECT_EQ(ExecutableOf(pid), box_.Host(daemon.program));
    }
  }

  std::vector<std::vector<std::string>> Users() const {
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
    if (!box_.Exists(kLogDb)) return out;
    for (const auto& row :
         Query(box_.Host(kLogDb),
               "SELECT value FROM log_list_table WHERE list = 1 ORDER BY log_id, pos")) {
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
    ASSERT_TRUE(initialized);
    ASSERT_TRUE(opened) << "no view database for view " << view_id;
    int got_count = -1;
    std::string got_policy;
    EXPECT_EQ(view.GetRotateCount(&got_count), 0);
    EXPECT_EQ(view.GetRotatePolicy(&got_policy), 0);
    EXPECT_EQ(got_count, count);
    EXPECT_EQ(got_policy, policy);
  }

  void CheckDirectoryAccount(const std::string& account, const char* user_type,
                             const std::vector<DirectoryCase>& cases);

  e2e::Sandbox box_;
  int port_ = 0;
};

TEST_F(ServiceStartTest, FirstStartOfALocalAccountRunsTheWholeRoad) {
  // Marks of an earlier run that ended without cleaning up.
  box_.Write("/tmp/sf_repo_mv", "1\n");
  box_.Write("/tmp/dfvt_diskfull_freeze_2", "");
  box_.Write("/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark", "1\n");

  StartOk("alice");
  e2e::RunResult status = box_.Tool({"service", "--status"});
  EXPECT_EQ(status.out, "enabled");
  ExpectAllDaemonsRunning();
  EXPECT_EQ(ProcessesBelow(box_.root()).size(), std::size(kDaemons));

  // The daemons' command lines: the cleaner and syncd get the sync folder,
  // syncd the configured port and the user database.
  const std::string port = std::to_string(port_);
  EXPECT_EQ(CommandLineOf(PidOf(kDaemons[2])),
            (std::vector<std::string>{kDaemons[2].program, kSyncFolder}));
  EXPECT_EQ(CommandLineOf(PidOf(kDaemons[4])),
            (std::vector<std::string>{kDaemons[4].program, "-c", kSyncFolder, "-p", port, "-u",
                                      kUserDb}));

  // The database volume was chosen through the homes share and remembered.
  EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume1\"\n");
  for (const char* folder : {"/volume1/@driftvault", "/volume1/@driftvault/@sync",
                             "/volume1/@driftvault/@clientd", "/var/log/dfvt"}) {
    struct stat st;
    EXPECT_TRUE(stat(box_.Host(folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << folder;
  }
  EXPECT_EQ(Value(kSettingConf, "dfvt_enable"), "1");
  EXPECT_EQ(Value(kSettingConf, "dfvt_port"), port);
  for (const char* mark : {"/tmp/sf_repo_mv", "/tmp/dfvt_diskfull_freeze_2",
                           "/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark"}) {
    EXPECT_FALSE(box_.Exists(mark)) << mark;
  }

  // The installing account with the first view and its resolved watch path.
  EXPECT_EQ(Users(), (std::vector<std::vector<std::string>>{{"alice", "1", "0", "1026", "100", "0",
                                                             "/volume1/homes/alice/DriftVault"}}));
  EXPECT_EQ(NextViewId(), "2");
  ExpectRotation(1, 32, "fifo");

  // First installation: the package is granted to everyone.
  Json::Value rules;
  std::string errors;
  Json::CharReaderBuilder builder;
  std::istringstream privileges(box_.Read("/etc/tarn/app-privilege.json"));
  ASSERT_TRUE(Json::parseFromStream(builder, privileges, &rules, &errors)) << errors;
  ASSERT_EQ(rules["rules"].size(), 1u);
  const Json::Value& rule = rules["rules"][0];
  EXPECT_EQ(rule["type"].asInt(), 2);
  EXPECT_EQ(rule["id"].asInt(), 0);
  EXPECT_EQ(rule["app"].asString(), "TARN.HXA.DFVT.Instance");
  ASSERT_EQ(rule["allow"].size(), 1u);
  EXPECT_EQ(rule["allow"][0].asString(), "0.0.0.0");

  // Registrations and the records of the start.
  EXPECT_EQ(box_.Read("/etc/tarn/relay.conf"), "driftvault\n");
  EXPECT_EQ(Value("/etc/tarn/service-volumes.conf", "DriftVault"), "/volume1");
  EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 1u);
  EXPECT_EQ(LoggedParams(), std::vector<std::string>{"1"});

  Stop();
  EXPECT_EQ(LoggedParams(), (std::vector<std::string>{"1", "0"}));
}

TEST_F(ServiceStartTest, StartWhileRunningChangesNothing) {
  StartOk("alice");
  std::vector<pid_t> pids;
  for (const Daemon& daemon : kDaemons) pids.push_back(PidOf(daemon));
  const std::map<std::string, std::string> before = {
      {kStatusFile, box_.Read(kStatusFile)},
      {kSettingConf, box_.Read(kSettingConf)},
      {kDbPathConf, box_.Read(kDbPathConf)},
      {kEventLog, box_.Read(kEventLog)},
      {"/etc/tarn/relay.conf", box_.Read("/etc/tarn/relay.conf")}};
  const auto users = Users();

  e2e::RunResult r = Start("bob");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  for (const auto& [file, content] : before) EXPECT_EQ(box_.Read(file), content) << file;
  EXPECT_EQ(Users(), users);
  EXPECT_EQ(LoggedParams(), std::vector<std::string>{"1"});
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(PidOf(kDaemons[i]), pids[i]) << kDaemons[i].program;
    EXPECT_TRUE(Running(pids[i])) << kDaemons[i].program;
  }
  EXPECT_EQ(ProcessesBelow(box_.root()).size(), std::size(kDaemons));
}

TEST_F(ServiceStartTest, NotEnabledPackageIsLeftAlone) {
  ASSERT_EQ(unlink(box_.Host(std::string(kPackage) + "/enabled").c_str()), 0);
  e2e::RunResult r = Start("alice");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_FALSE(box_.Exists(kStatusFile));
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
}

// Without an installing account no user is added, yet syncd finds (and lays
// out) the user database; once syncd has died the status says "error" and
// the next start runs in full.
TEST_F(ServiceStartTest, StartWithoutAccountAndAfterTheSyncDaemonDied) {
  StartOk();
  ExpectAllDaemonsRunning();
  EXPECT_TRUE(Users().empty());
  EXPECT_EQ(NextViewId(), "1");
  EXPECT_NE(box_.Read("/etc/tarn/app-privilege.json").find("TARN.HXA.DFVT.Instance"),
            std::string::npos);

  const pid_t syncd = PidOf(kDaemons[4]);
  ASSERT_EQ(kill(syncd, SIGKILL), 0);
  ASSERT_TRUE(WaitGone(syncd));
  EXPECT_EQ(box_.Tool({"service", "--status"}).out, "error");

  StartOk("bob");
  ExpectAllDaemonsRunning();
  EXPECT_NE(PidOf(kDaemons[4]), syncd);
  EXPECT_EQ(Users().size(), 1u);
  EXPECT_EQ(Users()[0][0], "bob");
  EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 2u);
  EXPECT_EQ(LoggedParams(), (std::vector<std::string>{"1", "1"}));
  // The daemons that still ran were not started twice.
  EXPECT_EQ(ProcessesBelow(box_.root()).size(), std::size(kDaemons));
  Stop();
}

TEST_F(ServiceStartTest, PortInUseStopsTheStartBeforeAnyFolderIsMade) {
  const int listener = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  struct sockaddr_in6 addr = {};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  addr.sin6_port = htons(static_cast<uint16_t>(port_));
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 1), 0);

  e2e::RunResult r = Start("alice");
  close(listener);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(StatusWord(), "portconflict");
  EXPECT_EQ(box_.Tool({"service", "--status"}).out, "portconflict");
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  EXPECT_FALSE(box_.Exists("/var/log/dfvt"));
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  EXPECT_EQ(Value(kSettingConf, "dfvt_enable"), "");
  EXPECT_FALSE(box_.Exists("/etc/tarn/relay.conf"));
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));
}

TEST_F(ServiceStartTest, ConfiguredVolumeThatIsGone) {
  const struct {
    const char* name;
    const char* volumes_json;
  } cases[] = {
      {"listed but not mounted",
       R"({"volumes":[{"path":"/volume1","type":2},{"path":"/volume2","type":2}]})"},
      {"no longer listed", R"({"volumes":[{"path":"/volume1","type":2}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    box_.Write("/etc/tarn/volumes.json", c.volumes_json);
    box_.Write(kDbPathConf, "db-vol=\"/volume2\"\n");
    box_.Write(kStatusFile, "status=\"disabled\"\n");
    e2e::RunResult r = Start("alice");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(StatusWord(), "dbunexist");
    // The setting stays: the volume may come back.
    EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume2\"\n");
    EXPECT_FALSE(box_.Exists("/volume2"));
    EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
    EXPECT_FALSE(box_.Exists("/etc/tarn/relay.conf"));
    EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  }
  // A db-path.conf that names no usable volume is a configured volume that
  // is gone as well: the start must not choose a new volume, a road that
  // first clears the repository folders of every volume.
  box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2}]})");
  std::filesystem::create_directories(box_.Host("/volume1/@driftvault/@sync"));
  box_.Write("/volume1/@driftvault/@sync/keep", "data");
  for (const char* conf : {"other=\"x\"\n", "db-vol=\"\"\n", "db-vol=\"volume1\"\n"}) {
    SCOPED_TRACE(conf);
    box_.Write(kDbPathConf, conf);
    box_.Write(kStatusFile, "status=\"disabled\"\n");
    e2e::RunResult r = Start("alice");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(StatusWord(), "dbunexist");
    EXPECT_EQ(box_.Read(kDbPathConf), conf);
    EXPECT_EQ(box_.Read("/volume1/@driftvault/@sync/keep"), "data");
    EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  }
}

TEST_F(ServiceStartTest, VolumeChoiceWithoutTheHomeService) {
  SetSwitches({{"userhome_local", "no"}});
  // The list's first volume is not mounted; the second is the one to take.
  // What an earlier installation left on any volume is cleaned away first.
  ASSERT_TRUE(std::filesystem::create_directories(box_.Host("/volume2")));
  ASSERT_TRUE(std::filesystem::create_directories(box_.Host("/volume1/@driftvault/@sync")));
  box_.Write("/volume1/@driftvault/@sync/user-db.sqlite", "left over");
  box_.Write("/etc/tarn/volumes.json",
             R"({"volumes":[{"path":"/volume3","type":2},{"path":"/volume2","type":2},)"
             R"({"path":"/volume1","type":2}]})");
  StartOk();
  EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume2\"\n");
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  EXPECT_FALSE(box_.Exists("/volume3"));
  EXPECT_TRUE(box_.Exists("/volume2/@driftvault/@clientd"));
  EXPECT_TRUE(box_.Exists("/volume2/@driftvault/@sync/user-db.sqlite"));
  EXPECT_EQ(Value("/etc/tarn/service-volumes.conf", "DriftVault"), "/volume2");
  EXPECT_EQ(CommandLineOf(PidOf(kDaemons[2])),
            (std::vector<std::string>{kDaemons[2].program, "/volume2/@driftvault/@sync"}));
  Stop();

  // No volume to take at all: "error", and nothing remembered.
  ASSERT_EQ(unlink(box_.Host(kDbPathConf).c_str()), 0);
  box_.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume3","type":2}]})");
  e2e::RunResult r = Start();
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(StatusWord(), "error");
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  EXPECT_FALSE(box_.Exists("/volume3"));
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
}

// Starts once per case with the installing account `account` of the
// directory; the account is added (with its view) only where its services
// are on.
void ServiceStartTest::CheckDirectoryAccount(const std::string& account, const char* user_type,
                                             const std::vector<DirectoryCase>& cases) {
  box_.Write("/etc/passwd", box_.Read("/etc/passwd") + account +
                                ":x:200001:200000::/volume1/homes/dir-user:/bin/sh\n");
  ASSERT_TRUE(std::filesystem::create_directories(box_.Host("/volume1/homes/dir-user")));
  for (const DirectoryCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetSwitches(c.switches);
    StartOk(account);
    const auto users = Users();
    if (!c.added) {
      EXPECT_TRUE(users.empty());
    } else {
      EXPECT_EQ(
          users,
          (std::vector<std::vector<std::string>>{{account, "1", user_type, "200001", "200000", "0",
                                                  "/volume1/homes/dir-user/DriftVault"}}));
      ExpectRotation(1, 32, "fifo");
    }
    KillDaemons();
  }
}

TEST_F(ServiceStartTest, LdapAccountNeedsHomesAndBinding) {
  CheckDirectoryAccount(
      "carol@ldap.example", "2",
      {{"no home service", {{"ldap_bound", "yes"}}, false},
       {"not bound", {{"userhome_ldap", "yes"}}, false},
       {"home service and bound", {{"userhome_ldap", "yes"}, {"ldap_bound", "yes"}}, true}});
}

TEST_F(ServiceStartTest, DomainAccountNeedsHomesAndAJoinedDomain) {
  CheckDirectoryAccount(
      "EXAMPLE\\dave", "3",
      {{"no home service", {{"domain_joined", "yes"}, {"service_winbindd", "yes"}}, false},
       {"winbindd off", {{"userhome_domain", "yes"}, {"domain_joined", "yes"}}, false},
       {"not joined", {{"userhome_domain", "yes"}, {"service_winbindd", "yes"}}, false},
       {"home service and joined",
        {{"userhome_domain", "yes"}, {"domain_joined", "yes"}, {"service_winbindd", "yes"}},
        true}});
}

// An account already in the user database keeps its entry and its view; a
// new one gets the package-wide rotation default as it is at that moment.
TEST_F(ServiceStartTest, LaterStartsAndExistingAccounts) {
  StartOk("alice");
  KillDaemons();
  Exec(box_.Host(kUserDb),
       "UPDATE rotate_setting_table SET rotate_cnt = 5, rotate_policy = 'lru' WHERE view_id = 0;");

  StartOk("ALICE");
  EXPECT_EQ(Users().size(), 1u);
  EXPECT_EQ(NextViewId(), "2");
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault/@sync/view/2"));
  ExpectRotation(1, 32, "fifo");
  // Not a first installation any more: the rule set is left as it is.
  box_.Write("/etc/tarn/app-privilege.json", "{\"rules\":[]}\n");
  KillDaemons();

  StartOk("bob");
  EXPECT_EQ(box_.Read("/etc/tarn/app-privilege.json"), "{\"rules\":[]}\n");
  const auto users = Users();
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[1], (std::vector<std::string>{"bob", "2", "0", "1027", "100", "0",
                                                "/volume1/homes/bob/DriftVault"}));
  ExpectRotation(2, 5, "lru");

  // An account the platform does not know is not added; the start goes on.
  KillDaemons();
  StartOk("nobody-here");
  EXPECT_EQ(Users().size(), 2u);
  ExpectAllDaemonsRunning();
}

// A cleaner daemon that cannot be launched: the cache and authentication
// daemons were already up, the service is taken down again without a stop
// record, and the start records nothing either.
TEST_F(ServiceStartTest, FailedDaemonLaunchStopsTheServiceSilently) {
  // The cleaner, as it is launched, notes which daemons run at that moment
  // and then dies by a signal, which is how a broken launch looks.
  const std::string seen = box_.Host("/cleaner-saw");
  box_.Write(kDaemons[2].program, "#!/bin/sh\ncat " + box_.Host(kDaemons[0].pid_file) + " " +
                                      box_.Host(kDaemons[1].pid_file) + " > " + seen +
                                      "\nkill -KILL $$\n");
  ASSERT_EQ(chmod(box_.Host(kDaemons[2].program).c_str(), 0755), 0);

  e2e::RunResult r = Start("alice");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::vector<pid_t> earlier;
  {
    std::istringstream in(box_.Read("/cleaner-saw"));
    for (pid_t pid; in >> pid;) earlier.push_back(pid);
  }
  ASSERT_EQ(earlier.size(), 2u) << "cache and auth daemons were not running";
  for (pid_t pid : earlier) EXPECT_TRUE(WaitGone(pid)) << pid;
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));

  EXPECT_EQ(StatusWord(), "disabled");
  EXPECT_EQ(Value(kSettingConf, "dfvt_enable"), "0");
  // The package is still enabled: its relay registration stays.
  EXPECT_EQ(box_.Read("/etc/tarn/relay.conf"), "driftvault\n");
  EXPECT_EQ(Value("/etc/tarn/service-volumes.conf", "DriftVault"), "");
  EXPECT_EQ(LoggedParams(), std::vector<std::string>{});
  EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 0u);
  EXPECT_EQ(Count(box_.Read(kEventLog), kStopEvent), 0u);
  // The account was enabled before the launches.
  EXPECT_EQ(Users().size(), 1u);
}

TEST_F(ServiceStartTest, UpdaterOutcomesEndTheStart) {
  const struct {
    const char* name;
    const char* word;
  } cases[] = {{"database of a newer package", "dbnewer"}, {"damaged database", "upgradefail"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(box_.Host("/volume1/@driftvault"));
    ASSERT_TRUE(std::filesystem::create_directories(box_.Host(kSyncFolder)));
    if (c.word == std::string("dbnewer")) {
      Exec(box_.Host(kUserDb),
           "CREATE TABLE config_table (key VARCHAR UNIQUE ON CONFLICT ABORT, value VARCHAR);"
           "INSERT INTO config_table VALUES ('version', 4151), ('view_id', '1');");
    } else {
      box_.Write(kUserDb, std::string(4096, 'G'));
    }
    const std::string database = box_.Read(kUserDb);
    box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
    e2e::RunResult r = Start("alice");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(StatusWord(), c.word);
    EXPECT_EQ(box_.Tool({"service", "--status"}).out, c.word);
    EXPECT_EQ(box_.Read(kUserDb), database);
    EXPECT_FALSE(box_.Exists("/volume1/@driftvault/@sync/syncfolder-db.sqlite"));
    EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
    EXPECT_EQ(Count(box_.Read(kEventLog), kEnableEvent), 0u);
    EXPECT_FALSE(box_.Exists(kLogDb));
  }
}

}  // namespace
