// drift-control's command line, and cleanup, service --collect-user-data and
// diagnose in sandbox appliances.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "cli/help_pages_expected.h"
#include "tests/e2e_support.h"
#include "userdb/user_manager.h"

namespace e2e {
namespace {

using namespace expected_help;

// Runs the tool and expects exit status 0 and nothing on standard error;
// returns what it printed.
std::string Quiet(const Sandbox& box, const std::vector<std::string>& args) {
  RunResult r = box.Tool(args);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  return r.out;
}

std::set<std::string> List(const std::string& host_dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(host_dir)) {
    names.insert(e.path().filename());
  }
  return names;
}

std::string LinkTarget(const Sandbox& box, const std::string& appliance_path) {
  char target[PATH_MAX] = {0};
  return readlink(box.Host(appliance_path).c_str(), target, sizeof(target) - 1) < 0 ? "" : target;
}

// The volume with a share-bin path longer than the platform's buffer allows
// is passed over; without a volume list nothing is removed; afterwards no
// database volume is configured, and statistics print nothing.
TEST(CleanupE2eTest, RemovesRepositoriesTwice) {
  Sandbox box;
  const std::string long_usb = "/volumeUSB1/" + std::string(240, 'u');
  box.Write("/etc/tarn/volumes.json", "not json");
  box.MakeDirs("/volume1/@driftvault/@sync/view/1");
  box.MakeDirs(long_usb + "/@sharebin/@driftvault/@sync");
  box.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  EXPECT_EQ(Quiet(box, {"cleanup"}), "");
  EXPECT_TRUE(box.Exists(kSyncFolder));
  EXPECT_TRUE(box.Exists(kDbPathConf));

  box.Write("/etc/tarn/volumes.json", R"({"volumes":[{"path":"/volume1","type":2},{"path":")" +
                                          long_usb + "\",\"type\":4}]}\n");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(Quiet(box, {"cleanup"}), "");
    EXPECT_FALSE(box.Exists("/volume1/@driftvault"));
    EXPECT_FALSE(box.Exists(kDbPathConf));
    EXPECT_TRUE(box.Exists("/volume1/homes/alice"));
    EXPECT_TRUE(box.Exists(kSettingConf));
    EXPECT_TRUE(box.Exists(long_usb + "/@sharebin/@driftvault/@sync"));
  }
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "");
}

TEST(CollectUserDataE2eTest, PrintsOneLineForTheUserDatabase) {
  Sandbox box;
  // Without a usable database volume nothing is printed.
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "");
  for (const char* conf : {"other=\"x\"\n", "db-vol=\"/volume9\"\n"}) {
    box.Write(kDbPathConf, conf);
    EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "") << conf;
  }
  EXPECT_FALSE(box.Exists("/volume9"));
  box.MakeDirs(kSyncFolder);
  box.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  box.Write(kUserDb, std::string(8192, 'z'));
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "");
  EXPECT_EQ(box.Read(kUserDb), std::string(8192, 'z'));
  ASSERT_EQ(unlink(box.Host(kUserDb).c_str()), 0);
  // A new database is laid out, empty.
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}), "{\"user\":[],\"version\":4164}\n");
  }
  EXPECT_TRUE(box.Exists("/tmp/user-mgr-lock-file"));
  // Entries added as a start adds them; a share entry counts like any other.
  setenv("DRIFT_ROOT", box.root().c_str(), 1);
  ASSERT_EQ(UserManager::Initialize(kUserDb), 0);
  EXPECT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  EXPECT_EQ(UserManager::AddUser("@homes", kUserTypeShare, 0), 1);
  EXPECT_EQ(UserManager::AddUser("bob", kUserTypeLocal, 0), 1);
  UserManager::Close();
  unsetenv("DRIFT_ROOT");
  Query(box.Host(kUserDb),
        "INSERT INTO session_table (uid, sess_id, client) VALUES (1, 's-1', 'laptop'), "
        "(1, 's-2', 'phone'), (2, 'h', NULL);");
  EXPECT_EQ(Quiet(box, {"service", "--collect-user-data"}),
            "{\"user\":[{\"session_count\":2,\"type\":0},{\"session_count\":1,\"type\":1},"
            "{\"session_count\":0,\"type\":0}],\"version\":4164}\n");
}

// The archive on standard output holds the logs, settings and databases by
// their patterns (the files' contents, not links), and no collection folder
// is left behind; --create-archive leaves links to root + path, for missing
// files too (they dangle).  The word counts decide what happens.
TEST(DiagnoseE2eTest, ArchiveAndCollectionFolder) {
  Sandbox box;
  auto archive_entries = [&box] {
    const std::string zip = Quiet(box, {"diagnose", "--output-stdout"});
    EXPECT_GT(zip.size(), 22u);  // more than an empty ZIP's end record
    box.Write("/archive.zip", zip);
    RunResult list = e2e::Run({"/usr/bin/zipinfo", "-1", box.Host("/archive.zip")});
    EXPECT_EQ(list.exit_status, 0) << list.err;
    std::set<std::string> entries;
    std::istringstream lines(list.out);
    for (std::string line; std::getline(lines, line);) entries.insert(line);
    return entries;
  };
  const std::set<std::string> tmp = List(box.Host("/tmp"));
  const std::string sync = "volume1/@driftvault/@sync/";
  const std::map<std::string, bool> files = {
      {"var/log/dfvt/syncfolder.log", true},
      {"var/log/dfvt/client.log_2", true},
      {"var/log/upstart/drift.log", true},
      {"var/log/messages-20240101", true},
      {"var/log/othermessages", false},
      {"var/packages/DriftVault/target/etc/syncfolder.debug", true},
      {sync + "view/1/view-db.sqlite", true},
      {sync + "view/22/view-db.sqlite-wal", true},
      {sync + "view/22/other.sqlite", false},
      {sync + "file/ab/blob", true},
      {sync + "syncfolder-db.sqlite", true},
      {sync + "user-db.sqlite", true},
      {sync + "view/22/view-db.sqlite", true},
      {sync + "user-db.sqlite-journal", true},
      {sync + "log-db.sqlite", false},
      {"volume1/@driftvault/@clientd/db.sqlite", true},
  };
  for (const auto& [path, collected] : files) {
    box.MakeDirs("/" + path.substr(0, path.rfind('/')));
    box.Write("/" + path, path);
  }
  std::set<std::string> entries = archive_entries();
  for (const char* path :
       {"var/log/messages", "var/log/messages.1", "etc.defaults/VERSION",
        "etc.defaults/tarninfo.conf", "var/packages/DriftVault/INFO",
        "var/packages/DriftVault/etc/setting.conf", "var/log/dfvt/client.log_2"}) {
    EXPECT_EQ(entries.count(path), 1u) << path;
  }
  EXPECT_EQ(entries.count("var/log/tarn-events.log"), 0u);
  for (const std::string& entry : entries) {
    EXPECT_EQ(entry.find("@driftvault"), std::string::npos) << entry;  // no database volume
    EXPECT_NE(entry.back(), '/') << "folder entry " << entry;
  }
  EXPECT_EQ(List(box.Host("/tmp")), tmp);
  box.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  entries = archive_entries();
  for (const auto& [path, collected] : files) EXPECT_EQ(entries.count(path), collected) << path;
  EXPECT_EQ(entries.count("var/packages/DriftVault/etc/db-path.conf"), 1u);
  const std::string entry = sync + "view/22/view-db.sqlite-wal";
  EXPECT_EQ(e2e::Run({"/usr/bin/unzip", "-p", box.Host("/archive.zip"), entry}).out, entry);

  EXPECT_EQ(Quiet(box, {"diagnose", "--create-archive", "/root/diag"}), "");
  for (const char* path : {"/var/log/messages", "/var/log/messages.1", "/etc.defaults/VERSION",
                           "/var/packages/DriftVault/etc", "/var/log/dfvt/client.log",
                           "/var/log/dfvt/drift-cached.log_1", "/var/log/upstart",
                           "/volume1/@driftvault/@sync/file"}) {
    EXPECT_EQ(LinkTarget(box, std::string("/root/diag") + path), box.Host(path)) << path;
  }
  struct stat st;
  EXPECT_NE(stat(box.Host("/root/diag/var/log/dfvt/client.log").c_str(), &st), 0);
  EXPECT_EQ(box.Read("/root/diag/var/log/messages"), box.Read("/var/log/messages"));
  EXPECT_EQ(Quiet(box, {"diagnose", "--output-stdout", "/root/x"}), "");
  EXPECT_FALSE(box.Exists("/root/x"));
  EXPECT_EQ(Quiet(box, {"diagnose", "--output-stdout", "--create-archive", "/root/y"}), "");
  EXPECT_EQ(LinkTarget(box, "/root/y/var/log/messages"), box.Host("/var/log/messages"));
  EXPECT_EQ(Quiet(box, {"diagnose", "--create-archive", "/root/a", "/root/b"}), "");
  EXPECT_FALSE(box.Exists("/root/a") || box.Exists("/root/b"));
  // Without the zip program: no archive and no leftovers.
  unlink(box.Host("/usr/tarn/bin/zip").c_str());
  EXPECT_EQ(Quiet(box, {"diagnose", "--output-stdout"}), "");
  EXPECT_EQ(List(box.Host("/tmp")), tmp);
}

// The command line as a user meets it: exact output and exit status.  The
// complete program (libexec/drift-control-full) parses the same command line
// and must answer byte for byte the same, so every case runs on both, against
// an empty root, so that no command can touch the host's files.
TEST(CommandLineE2eTest, HelpErrorsAndCommandsThatDoNothing) {
  const std::string bad_bogus = "Argument '--bogus': '--bogus' is not a valid argument\n\n";
  const std::string remainder = "Global: Expect 0 remainders, but threre are 1\n";
  const std::string one_value = "Argument 'create-archive': Expect 0 arguments, but threre are 1\n";
  const std::string positional = "Global: '--output-stdout' is not a valid positional argument\n";
  const struct {
    std::vector<std::string> args;
    int exit_status;
    std::string out, err;
  } cases[] = {
      {{}, 0, kGlobal, ""},
      {{"-h"}, 0, kGlobal, ""},
      {{"help"}, 0, kGlobal, ""},  // no command word: a global remainder
      {{"bogus", "words"}, 0, kGlobal, ""},
      {{"--help", "service"}, 0, kGlobal, ""},  // the help option swallows the words after it
      {{"service", "-h"}, 0, kService, ""},
      {{"service", "--status", "-h"}, 0, kService, ""},
      {{"diagnose", "-h"}, 0, kDiagnose, ""},
      {{"cleanup", "--help"}, 0, kCleanup, ""},
      {{"service", "-h", "--bogus"}, 0, kService, ""},  // help is stored before the parse fails
      // The parser's message ends with a line end, the entry point adds one.
      {{"--bogus"}, 255, "", bad_bogus},
      {{"-hx"}, 255, "", "Argument '-hx': '-hx' is not a valid argument\n\n"},
      {{"service", "--bogus", "-h"}, 255, "", bad_bogus},
      {{"service", "start"}, 255, "", remainder},
      {{"cleanup", "now"}, 255, "", remainder},
      {{"diagnose", "--create-archive=x"}, 255, "", one_value},
      {{"service", "--stop", "--stop"}, 255, "", "Argument 'stop': Expect 0 argument(s)\n\n"},
      {{"diagnose", "x", "--output-stdout"}, 255, "", positional},
      {{"service"}, 0, "", ""},
      {{"diagnose", "--output-stdout", "extra"}, 0, "", ""},  // one remainder: no archive
      {{"diagnose", "--create-archive"}, 0, "", ""},
      {{"diagnose", "--create-archive", "a", "b"}, 0, "", ""},
      {{"diagnose"}, 0, "", ""},
      {{"diagnose", "-", "--"}, 0, "", ""},  // bare words
  };
  char tmpl[] = "/tmp/drift-cli-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  for (const std::string& program : {ToolPath(), FullToolPath()}) {
    for (const auto& c : cases) {
      std::vector<std::string> argv{program};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      SCOPED_TRACE(testing::PrintToString(argv));
      RunResult r = e2e::Run(argv, {{"DRIFT_ROOT", tmpl}});
      EXPECT_EQ(r.exit_status, c.exit_status);
      EXPECT_EQ(r.out, c.out);
      EXPECT_EQ(r.err, c.err);
    }
  }
  e2e::Run({"/bin/rm", "-rf", tmpl});
}

}  // namespace
}  // namespace e2e
