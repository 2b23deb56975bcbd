// Service start inside this process, on a private root whose daemons,
// updater and relay program are small scripts that note how they were run:
// the log lines of the roads (the end-to-end tests cannot read the system
// log), the launch order and arguments, and a portable unit's checks.
#include "service/service_start.h"

#include <sstream>
#include <string>
#include <vector>

#include "base/test_port.h"
#include "service/package_state.h"
#include "service/service_test_util.h"

namespace {

using service_test::TestRoot;
using test_support::FreePort;

const char kSyncFolder[] = "/volume1/@driftvault/@sync";
const char kUserDb[] = "/volume1/@driftvault/@sync/user-db.sqlite";

class StartServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    ASSERT_GT(port_, 0);
    root_.Write(paths::kEnabledMark, "");
    root_.Write(paths::kSettingConf, "dfvt_port=\"" + std::to_string(port_) + "\"\n");
    root_.MakeDir("/volume1/homes/alice");
    root_.MakeDir("/var/log");
    root_.MakeDir("/var/packages/DriftVault/target/sbin");
    root_.Write(paths::kTarnInfoConf, "userhome_local=\"yes\"\n");
    root_.Write(paths::kVolumesJson, R"({"volumes":[{"path":"/volume1","type":2}]})");
    root_.Write(paths::kSharesJson,
                R"({"shares":[{"name":"homes","path":"/volume1/homes","status":0,"type":0}]})");
    root_.Write(paths::kPasswd, "alice:x:1026:100::/volume1/homes/alice:/bin/sh\n");
    root_.WriteScript(paths::kRelayProgram, "echo \"$*\" >> " + root_.Host("/relay-calls") + "\n");
    root_.WriteScript(paths::kUpdaterProgram,
                      "echo 'status=\"done\"' > " + root_.Host(paths::kEnableStatus) + "\n");
    // A stand-in daemon notes its command line.
    for (const char* daemon : kDaemons) {
      root_.WriteScript(daemon, "echo \"$0 $*\" >> " + root_.Host("/launches") + "\n");
    }
    unsetenv("TARNPKG_USERNAME");
  }

  void TearDown() override { unsetenv("TARNPKG_USERNAME"); }

  std::vector<std::string> Launches() const {
    std::vector<std::string> lines;
    if (!root_.Exists("/launches")) return lines;  // nothing was launched
    std::istringstream in(root_.Read("/launches"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string Status() const {
    ustring word;
    ReadServiceStatus(&word);
    return word.str();
  }

  // The messages of the log lines that start with `level` ("[ERROR]"), each
  // without its level, module and line.
  std::vector<std::string> Messages(const std::string& level) const {
    std::vector<std::string> out;
    std::istringstream in(root_.LogText());
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find(level + " ");
      const size_t colon = line.find("): ", at);
      if (at != std::string::npos && colon != std::string::npos)
        out.push_back(line.substr(colon + 3));
    }
    return out;
  }

  // True when the texts appear in the log in this order.
  bool LogHasInOrder(const std::vector<std::string>& texts) const {
    const std::string log = root_.LogText();
    size_t at = 0;
    for (const std::string& text : texts) {
      at = log.find(text, at);
      if (at == std::string::npos) {
        ADD_FAILURE() << "missing or out of order: " << text << "\nlog:\n" << log;
        return false;
      }
      at += text.size();
    }
    return true;
  }

  static constexpr const char* kDaemons[] = {paths::kCacheDaemon, paths::kAuthDaemon,
                                             paths::kCleanDaemon, paths::kClientDaemon,
                                             paths::kSyncDaemon};

  TestRoot root_;
  int port_ = 0;
};

TEST_F(StartServiceTest, FirstStartLaunchesTheDaemonsInOrder) {
  setenv("TARNPKG_USERNAME", "alice", 1);
  EXPECT_EQ(StartService(), 0);
  EXPECT_EQ(Status(), "enabled");
  const std::string port = std::to_string(port_);
  // (A script's $0 is the file the kernel ran: the host path.)
  EXPECT_EQ(Launches(), (std::vector<std::string>{
                            root_.Host(paths::kCacheDaemon) + " ",
                            root_.Host(paths::kAuthDaemon) + " ",
                            root_.Host(paths::kCleanDaemon) + " " + kSyncFolder,
                            root_.Host(paths::kClientDaemon) + " ",
                            root_.Host(paths::kSyncDaemon) + " -c " + kSyncFolder + " -p " + port +
                                " -u " + kUserDb,
                        }));
  EXPECT_EQ(root_.Read("/relay-calls"), "-a driftvault\n");
  EXPECT_TRUE(LogHasInOrder({
      "[DEBUG] service-ctrl(",
      "): checking service singleton...",
      "): change service status to initializing...",
      "): checking service environment...",
      "): preparing service environment...",
      "): get default share bin path ('/volume1') by homes shared folder",
      "): database will be placed at '/volume1'",
      "): first time installation, add default application privilege",
      "): enabling account 'alice'",
      "): change service status to enabled...",
  }));
  // The errors of a first start: no status file and no database volume yet.
  EXPECT_EQ(Messages("[ERROR]"),
            (std::vector<std::string>{
                "access(/var/packages/DriftVault/etc/enable_status): No such file or directory (2)",
                "can not get vol"}));
  EXPECT_EQ(Messages("[WARNING]"), std::vector<std::string>{});
  EXPECT_NE(root_.Read(paths::kEventLog).find("\t0x11B01050\tDrift Vault\t"), std::string::npos);
}

}  // namespace
