// Service start inside this process, on a private root whose daemons,
// updater and relay program are small scripts that note how they were run:
// the log lines of a first start (the end-to-end tests cannot read the
// system log), the launch order and arguments.
#include "service/service_start.h"

#include <sqlite3.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/test_port.h"
#include "service/account_enabling.h"
#include "service/package_state.h"
#include "service/service_test_util.h"

namespace {

using service_test::TestRoot;
using test_support::FreePort;

const char kSyncFolder[] = "/volume1/@driftvault/@sync";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";

// The messages of the log lines that start with `level` ("[ERROR]"), each
// without its level, module and line.
std::vector<std::string> Messages(const std::string& log, const std::string& level) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(level + " ");
    const size_t colon = line.find("): ", at);
    if (at != std::string::npos && colon != std::string::npos)
      out.push_back(line.substr(colon + 3));
  }
  return out;
}

TEST(StartServiceTest, FirstStartLaunchesTheDaemonsInOrder) {
  TestRoot root;
  const int port = FreePort();
  ASSERT_GT(port, 0);
  root.Write(paths::kEnabledMark, "");
  root.Write(paths::kSettingConf, "dfvt_port=\"" + std::to_string(port) + "\"\n");
  root.MakeDir("/volume1/homes/alice");
  root.MakeDir("/var/log");
  root.MakeDir("/var/packages/DriftVault/target/sbin");
  root.Write(paths::kTarnInfoConf, "userhome_local=\"yes\"\n");
  root.Write(paths::kVolumesJson, R"({"volumes":[{"path":"/volume1","type":2}]})");
  root.Write(paths::kSharesJson,
             R"({"shares":[{"name":"homes","path":"/volume1/homes","status":0,"type":0}]})");
  root.Write(paths::kPasswd, "alice:x:1026:100::/volume1/homes/alice:/bin/sh\n");
  root.WriteScript(paths::kRelayProgram, "echo \"$*\" >> " + root.Host("/relay-calls") + "\n");
  root.WriteScript(paths::kUpdaterProgram,
                   "echo 'status=\"done\"' > " + root.Host(paths::kEnableStatus) + "\n");
  // Stand-in daemons note their command lines.
  for (const char* daemon : {paths::kCacheDaemon, paths::kAuthDaemon, paths::kCleanDaemon,
                             paths::kClientDaemon, paths::kSyncDaemon}) {
    root.WriteScript(daemon, "echo \"$0 $*\" >> " + root.Host("/launches") + "\n");
  }
  setenv("TARNPKG_USERNAME", "alice", 1);
  EXPECT_EQ(StartService(), 0);
  unsetenv("TARNPKG_USERNAME");
  ustring word;
  ReadServiceStatus(&word);
  EXPECT_EQ(word.str(), "enabled");
  // (A script's $0 is the file the kernel ran: the host path.)
  EXPECT_EQ(root.Read("/launches"),
            root.Host(paths::kCacheDaemon) + " \n" + root.Host(paths::kAuthDaemon) + " \n" +
                root.Host(paths::kCleanDaemon) + " " + kSyncFolder + "\n" +
                root.Host(paths::kClientDaemon) + " \n" + root.Host(paths::kSyncDaemon) + " -c " +
                kSyncFolder + " -p " + std::to_string(port) + " -u " + kUserDb + "\n");
  EXPECT_EQ(root.Read("/relay-calls"), "-a driftvault\n");
  // The debug lines of the road, in this order.
  const std::string log = root.LogText();
  size_t at = 0;
  for (const char* text :
       {"[DEBUG] service-ctrl(", "): checking service singleton...",
        "): change service status to initializing...", "): checking service environment...",
        "): preparing service environment...",
        "): get default share bin path ('/volume1') by homes shared folder",
        "): database will be placed at '/volume1'",
        "): first time installation, add default application privilege",
        "): enabling account 'alice'", "): change service status to enabled..."}) {
    at = log.find(text, at);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << text << "\nlog:\n" << log;
    at += strlen(text);
  }
  // The errors of a first start: no status file and no database volume yet.
  EXPECT_EQ(Messages(log, "[ERROR]"),
            (std::vector<std::string>{
                "access(/var/packages/DriftVault/etc/enable_status): No such file or directory (2)",
                "can not get vol"}));
  EXPECT_EQ(Messages(log, "[WARNING]"), std::vector<std::string>{});
  EXPECT_NE(root.Read(paths::kEventLog).find("\t0x11B01050\tDrift Vault\t"), std::string::npos);
  // Without the package-wide rotation default (reseeded at every open, so
  // gone again as the account is added) a new account's view keeps the
  // database library's own, and that is no error.
  root.Write(paths::kPasswd, "bob:x:1027:100::/volume1/homes/bob:/bin/sh\n");
  root.MakeDir("/volume1/homes/bob");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(root.Host(kUserDb).c_str(), &db), SQLITE_OK);
  const char kGone[] =
      "CREATE TRIGGER gone AFTER INSERT ON user_table BEGIN DELETE FROM rotate_setting_table; END";
  EXPECT_EQ(sqlite3_exec(db, kGone, nullptr, nullptr, nullptr), SQLITE_OK);
  EnableAccount("bob", "/volume1");
  int bobs = 0;
  auto count = [](void* n, int, char**, char**) { return ++*static_cast<int*>(n) * 0; };
  sqlite3_exec(db, "SELECT 1 FROM user_table WHERE name = 'bob'", count, &bobs, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(bobs, 1);
  EXPECT_EQ(Messages(root.LogText(), "[ERROR]").size(), 2u) << root.LogText();
}

}  // namespace
