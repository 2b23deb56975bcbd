// End-to-end tests of the package's companion programs, run as the tool runs
// them: from the sandbox's install path with an empty environment.
#include <errno.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

const char kTarget[] = "/var/packages/DriftVault/target";
const char kSyncFolder[] = "/volume1/@driftvault/@sync";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";
const char kSyncDb[] = "/volume1/@driftvault/@sync/syncfolder-db.sqlite";
const char kStatusFile[] = "/var/packages/DriftVault/etc/enable_status";
const char kUpgradingMark[] = "/usr/tarn/etc/packages/DriftVault/dfvt_upgrading_mark";

// Runs an appliance program of the sandbox with nothing but PATH in its
// environment, as the tool's launcher does.
e2e::RunResult RunBare(const e2e::Sandbox& box, const std::string& program,
                       const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", box.Host(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::Run(argv, {}, "", 30);
}

using e2e::Running;
using e2e::WaitGone;

// Live processes whose executable is the host file `exe`.
std::vector<pid_t> ProcessesOf(const std::string& exe) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    char buf[4096];
    ssize_t n = readlink((entry.path().string() + "/exe").c_str(), buf, sizeof(buf) - 1);
    if (n <= 0) continue;
    buf[n] = '\0';
    pid_t pid = atoi(name.c_str());
    if (exe == buf && Running(pid)) found.push_back(pid);
  }
  return found;
}

void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
  sqlite3_free(err);
  sqlite3_close(db);
}

// A user database as the tool lays it out, with the given schema version.
void MakeUserDb(const e2e::Sandbox& box, const std::string& version_literal) {
  std::filesystem::create_directories(box.Host(kSyncFolder));
  Sql(box.Host(kUserDb),
      "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR UNIQUE ON CONFLICT ABORT, "
      "value VARCHAR);"
      "INSERT INTO config_table VALUES ('version', " +
          version_literal + "), ('branch', 'master'), ('view_id', '1');");
}

// The value under key "status" of the package's status file ("" if none).
std::string StatusWord(const e2e::Sandbox& box) {
  const std::string text = box.Read(kStatusFile);
  const std::string key = "status=\"";
  size_t at = text.rfind("\n" + key);
  at = at == std::string::npos ? (text.compare(0, key.size(), key) == 0 ? 0 : at) : at + 1;
  if (at == std::string::npos) return "";
  size_t end = text.find('"', at + key.size());
  return text.substr(at + key.size(), end - at - key.size());
}

pid_t ReadPid(const e2e::Sandbox& box, const std::string& pid_file) {
  if (!box.Exists(pid_file)) return 0;
  return atoi(box.Read(pid_file).c_str());
}

struct DaemonCase {
  const char* program;  // below the install prefix
  std::vector<std::string> args;
  const char* pid_file;
};

const std::vector<DaemonCase>& Daemons() {
  static const std::vector<DaemonCase> cases{
      {"/sbin/drift-authd", {}, "/var/run/drift-authd.pid"},
      {"/sbin/drift-cleand", {kSyncFolder}, "/var/run/drift-cleand.pid"},
      {"/sbin/tarn-drift-clientd", {}, "/var/run/drift-clientd.pid"},
      {"/sbin/syncd",
       {"-c", kSyncFolder, "-p", "6690", "-u", kUserDb},
       "/var/run/tarnsyncfolder.pid"},
  };
  return cases;
}

TEST(PackageDaemons, DetachWritePidFileAndEndOnSigterm) {
  e2e::Sandbox box;
  MakeUserDb(box, "4150");
  for (const DaemonCase& c : Daemons()) {
    SCOPED_TRACE(c.program);
    const std::string program = std::string(kTarget) + c.program;
    e2e::RunResult r = RunBare(box, program, c.args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    // The launch has returned: the pid file must already be there.
    const pid_t pid = ReadPid(box, c.pid_file);
    ASSERT_GT(pid, 1) << box.Read(c.pid_file);
    EXPECT_TRUE(Running(pid));
    EXPECT_EQ(getpgid(pid), pid);       // stoppable as a process group
    EXPECT_NE(getsid(pid), getsid(0));  // away from our session
    EXPECT_NE(getsid(pid), pid);        // but not a session leader
    EXPECT_EQ(ProcessesOf(box.Host(program)), std::vector<pid_t>{pid});

    // A second instance refuses while the first one runs.
    e2e::RunResult again = RunBare(box, program, c.args);
    EXPECT_NE(again.exit_status, 0);
    EXPECT_NE(again.err.find("already running"), std::string::npos) << again.err;
    EXPECT_EQ(ReadPid(box, c.pid_file), pid);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_FALSE(box.Exists(c.pid_file));
  }
}

TEST(PackageDaemons, StaleOrForeignPidFileDoesNotBlockAStart) {
  e2e::Sandbox box;
  // A pid file naming this test process (alive, but another program) and one
  // naming nothing at all.
  box.Write("/var/run/drift-authd.pid", std::to_string(getpid()) + "\n");
  box.Write("/var/run/drift-clientd.pid", "garbage\n");
  for (const char* name : {"/sbin/drift-authd", "/sbin/tarn-drift-clientd"}) {
    SCOPED_TRACE(name);
    e2e::RunResult r = RunBare(box, std::string(kTarget) + name, {});
    ASSERT_EQ(r.exit_status, 0) << r.err;
  }
  for (const char* pid_file : {"/var/run/drift-authd.pid", "/var/run/drift-clientd.pid"}) {
    const pid_t pid = ReadPid(box, pid_file);
    ASSERT_NE(pid, getpid());
    ASSERT_TRUE(Running(pid));
    kill(pid, SIGTERM);
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_FALSE(box.Exists(pid_file));
  }
}

TEST(PackageDaemons, BadLaunchesFailAndLeaveNothingRunning) {
  e2e::Sandbox box;
  std::filesystem::create_directories(box.Host(kSyncFolder));
  const std::string garbage_db = "/volume1/garbage.sqlite";
  box.Write(garbage_db, std::string(4096, 'G'));
  const std::string syncd = std::string(kTarget) + "/sbin/syncd";
  const struct {
    const char* program;
    std::vector<std::string> args;
  } cases[] = {
      {"/sbin/syncd", {}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "6690"}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "6690", "-u"}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "6690", "-u", kUserDb, "-x", "1"}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-c", kSyncFolder, "-p", "6690", "-u", kUserDb}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "0", "-u", kUserDb}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "65536", "-u", kUserDb}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "66a", "-u", kUserDb}},
      {"/sbin/syncd", {"-c", "/volume1/missing", "-p", "6690", "-u", kUserDb}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "6690", "-u", "/volume1/missing/user-db.sqlite"}},
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "6690", "-u", "/volume1"}},  // a folder
      {"/sbin/syncd", {"-c", kSyncFolder, "-p", "6690", "-u", garbage_db}},
      {"/sbin/drift-cleand", {}},
      {"/sbin/drift-cleand", {"/volume1/missing"}},
      {"/sbin/drift-authd", {"extra"}},
  };
  for (const auto& c : cases) {
    std::string line = c.program;
    for (const auto& a : c.args) line += " " + a;
    SCOPED_TRACE(line);
    e2e::RunResult r = RunBare(box, std::string(kTarget) + c.program, c.args);
    EXPECT_NE(r.exit_status, 0);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(ProcessesOf(box.Host(std::string(kTarget) + c.program)).empty());
  }
  for (const char* pid_file :
       {"/var/run/tarnsyncfolder.pid", "/var/run/drift-cleand.pid", "/var/run/drift-authd.pid"}) {
    EXPECT_FALSE(box.Exists(pid_file)) << pid_file;
  }
  // None of the refused launches got as far as the user database.
  EXPECT_FALSE(box.Exists(kUserDb));
  EXPECT_FALSE(box.Exists("/volume1/missing"));
  EXPECT_EQ(box.Read(garbage_db), std::string(4096, 'G'));
}

// A first start without an installing account has no user database yet:
// syncd opens it as every process of the package does, which lays it out.
TEST(PackageDaemons, SyncDaemonCreatesAMissingUserDatabase) {
  e2e::Sandbox box;
  std::filesystem::create_directories(box.Host(kSyncFolder));
  ASSERT_FALSE(box.Exists(kUserDb));
  const std::string program = std::string(kTarget) + "/sbin/syncd";
  e2e::RunResult r = RunBare(box, program, {"-c", kSyncFolder, "-p", "6690", "-u", kUserDb});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const pid_t pid = ReadPid(box, "/var/run/tarnsyncfolder.pid");
  ASSERT_GT(pid, 1);
  EXPECT_TRUE(Running(pid));

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(box.Host(kUserDb).c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT (SELECT value FROM config_table WHERE key = 'version'), "
                               "(SELECT rotate_cnt FROM rotate_setting_table WHERE view_id = 0)",
                               -1, &stmt, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 4150);
  EXPECT_EQ(sqlite3_column_int(stmt, 1), 32);
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_TRUE(WaitGone(pid));
}

TEST(Updater, StatusWordFollowsTheUserDatabase) {
  const struct {
    const char* name;
    const char* version;  // SQL literal; null: no user database at all
    const char* word;
  } cases[] = {
      {"no database", nullptr, "done"},
      {"current version", "4150", "done"},
      {"older version", "4100", "done"},
      {"newer version", "4151", "dbnewer"},
      {"newer version as text", "'5000'", "dbnewer"},
      {"unreadable version", "'x1'", "upgradefail"},
  };
  e2e::Sandbox box;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(box.Host("/volume1/@driftvault"));
    box.Write(kStatusFile, "status=\"initializing\"\nother=\"kept\"\n");
    if (c.version != nullptr) {
      MakeUserDb(box, c.version);
    }
    e2e::RunResult r = RunBare(box, std::string(kTarget) + "/bin/updater-svr", {"/volume1"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(StatusWord(box), c.word);
    EXPECT_NE(box.Read(kStatusFile).find("other=\"kept\""), std::string::npos);
    EXPECT_FALSE(box.Exists(kSyncDb));
    EXPECT_EQ(box.Exists(kUserDb), c.version != nullptr);
    EXPECT_FALSE(box.Exists(kUpgradingMark));
  }
}

TEST(Updater, DamagedDatabaseAndBadCommandLine) {
  e2e::Sandbox box;
  const std::string updater = std::string(kTarget) + "/bin/updater-svr";
  std::filesystem::create_directories(box.Host(kSyncFolder));
  const std::string garbage(4096, 'G');
  box.Write(kUserDb, garbage);
  e2e::RunResult r = RunBare(box, updater, {"/volume1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(StatusWord(box), "upgradefail");
  EXPECT_EQ(box.Read(kUserDb), garbage);
  EXPECT_FALSE(box.Exists(kSyncDb));

  // An empty database file: nothing recorded yet, nothing to update.
  box.Write(kUserDb, "");
  r = RunBare(box, updater, {"/volume1"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(StatusWord(box), "done");

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"volume1"}, {"/volume1", "/volume2"}}) {
    box.Write(kStatusFile, "status=\"initializing\"\n");
    r = RunBare(box, updater, args);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(StatusWord(box), "upgradefail");
  }
}

TEST(RelayProgram, RegistersAndUnregistersNames) {
  e2e::Sandbox box;
  const std::string relay = "/usr/tarn/sbin/tarnrelayd";
  const std::string conf = "/etc/tarn/relay.conf";
  const bool host_conf_existed = std::filesystem::exists("/etc/tarn/relay.conf");
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
    std::string line;
    for (const auto& a : s.args) line += " " + a;
    SCOPED_TRACE(line);
    e2e::RunResult r = RunBare(box, relay, s.args);
    EXPECT_EQ(r.exit_status, s.exit_status) << r.err;
    ASSERT_EQ(box.Exists(conf), s.content != nullptr);
    if (s.content != nullptr) {
      EXPECT_EQ(box.Read(conf), s.content);
    }
  }
  // Comments of an administrator survive a rewrite.
  box.Write(conf, "# relays\nwebdav\n");
  EXPECT_EQ(RunBare(box, relay, {"-a", "driftvault"}).exit_status, 0);
  EXPECT_EQ(box.Read(conf), "# relays\nwebdav\ndriftvault\n");
  // The root came from the install path: the host's file was never touched.
  EXPECT_EQ(std::filesystem::exists("/etc/tarn/relay.conf"), host_conf_existed);
}

TEST(RelayProgram, NeverCreatesTheSystemFolder) {
  e2e::Sandbox box;
  std::filesystem::remove_all(box.Host("/etc/tarn"));
  e2e::RunResult r = RunBare(box, "/usr/tarn/sbin/tarnrelayd", {"-a", "driftvault"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(box.Exists("/etc/tarn"));
}

TEST(ZipWrapper, DropsTheApplianceOptionAndMakesAnArchive) {
  e2e::Sandbox box;
  std::filesystem::create_directories(box.Host("/tmp/collect/sub"));
  box.Write("/tmp/collect/a file.txt", "hello\n");
  box.Write("/tmp/collect/sub/b.log", std::string(10000, 'b'));
  const std::string archive = box.Host("/tmp/out archive.zip");
  // The distribution's zip alone refuses the option: the wrapper is needed.
  e2e::RunResult plain = e2e::Run(
      {"/usr/bin/zip", "-q", "-r", "-G", box.Host("/tmp/plain.zip"), box.Host("/tmp/collect")});
  EXPECT_NE(plain.exit_status, 0);

  std::vector<std::string> argv{"/usr/bin/env",
                                "-i",
                                "PATH=/usr/bin:/bin",
                                box.Host("/usr/tarn/bin/zip"),
                                "-q",
                                "-r",
                                "-G",
                                archive,
                                "collect"};
  std::string cd_and_run = "cd \"$0\" && exec \"$@\"";
  argv.insert(argv.begin(), {"/bin/sh", "-c", cd_and_run, box.Host("/tmp")});
  e2e::RunResult r = e2e::Run(argv);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  e2e::RunResult list = e2e::Run({"/usr/bin/unzip", "-l", archive});
  ASSERT_EQ(list.exit_status, 0) << list.err;
  EXPECT_NE(list.out.find("collect/a file.txt"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("collect/sub/b.log"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("10000"), std::string::npos) << list.out;
}

}  // namespace

namespace {

e2e::RunResult MakeSandbox(const std::string& root, const std::vector<std::string>& extra,
                           const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> argv{"/bin/bash", e2e::SourceDir() + "/scripts/make-sandbox.sh", root,
                                e2e::BinaryDir()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return e2e::Run(argv, env);
}

std::string ReadHostFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return std::string();
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

TEST(SandboxScript, PortChoiceRerunAndRefusal) {
  char tmpl[] = "/tmp/drift-sandbox-script-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string setting = "/var/packages/DriftVault/etc/setting.conf";

  // The port: the third argument, else the environment, else the default.
  e2e::RunResult r = MakeSandbox(dir + "/a", {}, {{"DRIFT_SANDBOX_PORT", ""}});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadHostFile(dir + "/a" + setting), "dfvt_port=\"6690\"\n");
  r = MakeSandbox(dir + "/a", {}, {{"DRIFT_SANDBOX_PORT", "7123"}});
  ASSERT_EQ(r.exit_status, 0) << r.err;  // laying out a sandbox again is fine
  EXPECT_EQ(ReadHostFile(dir + "/a" + setting), "dfvt_port=\"7123\"\n");
  r = MakeSandbox(dir + "/a", {"7124"}, {{"DRIFT_SANDBOX_PORT", "7123"}});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(ReadHostFile(dir + "/a" + setting), "dfvt_port=\"7124\"\n");
  for (const char* bad : {"0", "65536", "12x"}) {
    EXPECT_EQ(MakeSandbox(dir + "/a", {bad}).exit_status, 2) << bad;
  }
  for (const char* path :
       {"/usr/tarn/sbin/tarnrelayd", "/usr/tarn/bin/zip",
        "/var/packages/DriftVault/target/sbin/syncd", "/var/packages/DriftVault/enabled",
        "/etc/tarn/volumes.json", "/volume1/homes/alice", "/var/log/messages.1"}) {
    EXPECT_TRUE(std::filesystem::exists(dir + "/a" + path)) << path;
  }

  // A folder with other things in it is somebody's data: left alone.
  std::filesystem::create_directories(dir + "/b/data");
  r = MakeSandbox(dir + "/b", {});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("refusing"), std::string::npos) << r.err;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/b")) {
    left.push_back(e.path().filename());
  }
  EXPECT_EQ(left, std::vector<std::string>{"data"});
  std::filesystem::remove_all(dir);
}

}  // namespace
