// drift-control under faults, end to end in sandbox appliances with the real
// daemons: a full disk under the package's settings, the tool killed at
// random moments of a start and of a stop, daemons that ignore SIGTERM, pid
// files that name processes the package does not own, and a /tmp where the
// user database's lock file cannot be made.  Whatever happens, no setting is
// ever half written, nothing runs that no pid file accounts for, and one
// stop brings the service back to a state from which it starts again.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"
#include "tests/fault_support.h"

namespace {

using fault::kDaemonPidFiles;
using fault::kDbPathConf;
using fault::kEtcFolder;
using fault::kSettingConf;
using fault::kStatusFile;
using fault::kUserDb;

const char kLockFile[] = "/tmp/user-mgr-lock-file";
const char kSettingPath[] = "/var/packages/DriftVault/etc/setting.conf";

class FaultTest : public fault::SandboxTest {
 protected:
  e2e::RunResult Start(const std::string& account = "alice") {
    return box_.Tool({"service", "--start"}, {{"TARNPKG_USERNAME", account}});
  }
  void StartOk(const std::string& account = "alice") {
    e2e::RunResult r = Start(account);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(fault::ReportedStatus(box_), "enabled");
    for (const char* pid_file : kDaemonPidFiles) {
      EXPECT_TRUE(fault::Running(fault::PidOf(box_, pid_file))) << pid_file;
    }
  }
  void StopOk() {
    e2e::RunResult r = box_.Tool({"service", "--stop"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(fault::ReportedStatus(box_), "disabled");
    EXPECT_EQ(fault::SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
    for (const char* pid_file : kDaemonPidFiles) EXPECT_FALSE(box_.Exists(pid_file)) << pid_file;
  }

  // The files of the package's etc folder, by name.
  std::map<std::string, std::string> EtcFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(box_.Host(kEtcFolder))) {
      const std::string name = entry.path().filename();
      files[name] = box_.Read(std::string(kEtcFolder) + "/" + name);
    }
    return files;
  }

  bool NamespaceUsable() {
    std::string why;
    if (fault::MountNamespaceUsable(&why)) return true;
    skip_reason_ = why;
    return false;
  }

  std::string skip_reason_;
};

// --- A full disk under the package's settings ------------------------------

// A start on a full disk cannot even say "initializing": it ends there, and
// every file is as it was.
TEST_F(FaultTest, FullDiskStartLeavesEverySettingWhole) {
  if (!NamespaceUsable()) {
    GTEST_SKIP() << skip_reason_;
  }
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  const auto before = EtcFiles();
  fault::SyslogCapture log(box_.root() + "/.dev/log");
  e2e::RunResult r =
      fault::RunInMountNamespace(box_,
                                 "fill " + std::string(kEtcFolder) +
                                     " 0\n"
                                     "TARNPKG_USERNAME=alice \"$TOOL\" service --start\n"
                                     "echo \"start $?\"\n"
                                     "unfill " +
                                     std::string(kEtcFolder) + "\n",
                                 &log);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "start 0\n");
  EXPECT_EQ(EtcFiles(), before);
  EXPECT_NE(log.Text().find("failed to set service status to 'initializing'"), std::string::npos)
      << log.Text();
  EXPECT_EQ(fault::ReportedStatus(box_), "disabled");
  EXPECT_EQ(fault::SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));
  // With room again the service starts.
  StartOk();
}

// A stop on a full disk still takes every daemon down; the status word and
// the enable switch keep their old text whole, the failures are logged, and
// the status reads "error" (the sync daemon is gone) until a stop with room
// again says "disabled".
TEST_F(FaultTest, FullDiskStopStillStopsTheDaemons) {
  if (!NamespaceUsable()) {
    GTEST_SKIP() << skip_reason_;
  }
  StartOk();
  const auto before = EtcFiles();
  ASSERT_EQ(fault::Value(box_, kSettingConf, "dfvt_enable"), "1");
  fault::SyslogCapture log(box_.root() + "/.dev/log");
  e2e::RunResult r = fault::RunInMountNamespace(box_,
                                                "fill " + std::string(kEtcFolder) +
                                                    " 0\n"
                                                    "\"$TOOL\" service --stop\n"
                                                    "echo \"stop $?\"\n"
                                                    "unfill " +
                                                    std::string(kEtcFolder) + "\n",
                                                &log);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "stop 0\n");
  EXPECT_EQ(fault::SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  for (const char* pid_file : kDaemonPidFiles) EXPECT_FALSE(box_.Exists(pid_file)) << pid_file;
  EXPECT_EQ(EtcFiles(), before);
  const std::string text = log.Text();
  EXPECT_NE(text.find("fail to set service statis to disabled"), std::string::npos) << text;
  EXPECT_NE(
      text.find(std::string("failed to set dfvt_enable=0 in ") + kSettingPath + " (skipping)"),
      std::string::npos)
      << text;
  EXPECT_EQ(fault::ReportedStatus(box_), "error");
  StopOk();
  StartOk();
}

// A setting.conf larger than the room left: the enable switch cannot be
// written at start nor at stop, which is logged and skipped; the file keeps
// every byte, and the service starts and stops all the same.
TEST_F(FaultTest, FullDiskSettingWritesAreSkipped) {
  if (!NamespaceUsable()) {
    GTEST_SKIP() << skip_reason_;
  }
  box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  std::string setting = "# settings of the package\n";
  while (setting.size() < 3 * 4096) setting += "# ......................................\n";
  setting += "dfvt_port=\"" + std::to_string(port_) + "\"\n";
  box_.Write(kSettingConf, setting);
  fault::SyslogCapture log(box_.root() + "/.dev/log");
  // One page free: enough to replace the small files, not setting.conf.
  e2e::RunResult r =
      fault::RunInMountNamespace(box_,
                                 "fill " + std::string(kEtcFolder) +
                                     " 1\n"
                                     "TARNPKG_USERNAME=alice \"$TOOL\" service --start\n"
                                     "echo \"start $? $(\"$TOOL\" service --status)\"\n"
                                     "\"$TOOL\" service --stop\n"
                                     "echo \"stop $? $(\"$TOOL\" service --status)\"\n"
                                     "unfill " +
                                     std::string(kEtcFolder) + "\n",
                                 &log);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "start 0 enabled\nstop 0 disabled\n");
  EXPECT_EQ(box_.Read(kSettingConf), setting);
  const std::string text = log.Text();
  EXPECT_NE(
      text.find(std::string("failed to set dfvt_enable=1 in ") + kSettingPath + " (skipping)"),
      std::string::npos)
      << text;
  EXPECT_NE(
      text.find(std::string("failed to set dfvt_enable=0 in ") + kSettingPath + " (skipping)"),
      std::string::npos)
      << text;
  EXPECT_EQ(fault::SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  // The account was added while the disk was full.
  EXPECT_TRUE(box_.Exists(kUserDb));
}

// A first start whose database volume cannot be remembered: no db-path.conf
// is left behind (none, not an empty or half one), the start ends, and with
// room again a stop and a start bring the service up on the same volume.
TEST_F(FaultTest, FullDiskDbPathConfIsNeverHalfWritten) {
  if (!NamespaceUsable()) {
    GTEST_SKIP() << skip_reason_;
  }
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  // Pages to spare, but files for only one more: the replacement of the
  // status word takes it and gives it back, the port setting's lock file
  // (which the start creates) keeps it.
  unlink(box_.Host(std::string(kEtcFolder) + "/setting.conf.lock").c_str());
  fault::SyslogCapture log(box_.root() + "/.dev/log");
  e2e::RunResult r =
      fault::RunInMountNamespace(box_,
                                 "fill " + std::string(kEtcFolder) +
                                     " 4 64\n"
                                     "d=$ROOT" +
                                     kEtcFolder +
                                     "\n"
                                     "i=0; while touch \"$d/.inode$i\" 2>/dev/null; do i=$((i+1)); "
                                     "done; rm -f \"$d/.inode0\"\n"
                                     "TARNPKG_USERNAME=alice \"$TOOL\" service --start\n"
                                     "echo \"start $?\"\n"
                                     "rm -f \"$d\"/.inode*\n"
                                     "unfill " +
                                     std::string(kEtcFolder) + "\n",
                                 &log);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "start 0\n");
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  for (const auto& [name, content] : EtcFiles()) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name << " left behind";
  }
  const std::string text = log.Text();
  EXPECT_NE(text.find("failed to locate repository path"), std::string::npos) << text;
  EXPECT_EQ(fault::SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  // The status file holds a whole word, whichever the start could write.
  const std::string word = fault::Value(box_, kStatusFile, "status");
  EXPECT_TRUE(word == "initializing" || word == "error") << word;
  StopOk();
  StartOk();
  EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume1\"\n");
}

// --- The tool killed at random moments -------------------------------------

// Kills a start (or stop) `moment_us` after it began; true when it was still
// running then (the kill hit it), false when it had already ended.
bool KillAfter(const e2e::Sandbox& box, const std::vector<std::string>& args, int64_t moment_us) {
  const pid_t pid = fault::SpawnTool(box, args, {{"TARNPKG_USERNAME", "alice"}});
  const int64_t due = fault::NowUs() + moment_us;
  while (fault::NowUs() < due)
    usleep(static_cast<useconds_t>(std::min<int64_t>(2000, due - fault::NowUs())));
  const bool hit = kill(pid, SIGKILL) == 0;
  const int status = fault::WaitChild(pid);
  return hit && status == 128 + SIGKILL;
}

// Moments spread over `duration_us`: one in each of `count` equal slices, at
// a place drawn from a fixed seed.
std::vector<int64_t> Moments(int64_t duration_us, int count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  std::vector<int64_t> moments;
  for (int i = 0; i < count; ++i) {
    moments.push_back(static_cast<int64_t>((i + within(random)) * duration_us / count));
  }
  return moments;
}

TEST_F(FaultTest, StartKilledAtRandomMoments) {
  // How long a start takes here.
  int64_t began = fault::NowUs();
  StartOk();
  const int64_t duration = fault::NowUs() - began;
  fault::KillProcessesBelow(box_.root());  // as a crash would leave it

  int hits = 0;
  for (int64_t moment : Moments(duration * 9 / 10, 10, 20240601)) {
    SCOPED_TRACE("start killed after " + std::to_string(moment / 1000) + " ms");
    if (KillAfter(box_, {"service", "--start"}, moment)) ++hits;
    EXPECT_EQ(fault::Inconsistency(box_), "");
    StopOk();
    StartOk();
    // A crash of the whole service, so that the next start runs in full.
    fault::KillProcessesBelow(box_.root());
  }
  // A run may end sooner than the one measured: most kills must hit one.
  EXPECT_GE(hits, 5) << "the kills came after the starts had ended";
  printf("[ figures  ] %d of 10 kills hit a running start (a start took %d ms)\n", hits,
         static_cast<int>(duration / 1000));
}

TEST_F(FaultTest, StopKilledAtRandomMoments) {
  StartOk();
  int64_t began = fault::NowUs();
  StopOk();
  const int64_t duration = fault::NowUs() - began;

  int hits = 0;
  for (int64_t moment : Moments(duration * 9 / 10, 6, 20240602)) {
    SCOPED_TRACE("stop killed after " + std::to_string(moment / 1000) + " ms");
    StartOk();
    if (KillAfter(box_, {"service", "--stop"}, moment)) ++hits;
    EXPECT_EQ(fault::Inconsistency(box_), "");
    StopOk();
  }
  EXPECT_GE(hits, 3) << "the kills came after the stops had ended";
  StartOk();
  printf("[ figures  ] %d of 6 kills hit a running stop (a stop took %d ms)\n", hits,
         static_cast<int>(duration / 1000));
}

// --- Pid files and processes the stop meets --------------------------------

// A copy of /bin/sleep inside the sandbox, so that TearDown finds whatever
// the test leaves running.
std::string SandboxSleep(const e2e::Sandbox& box) {
  const std::string path = box.root() + "/sleep-helper";
  std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
  chmod(path.c_str(), 0755);
  return path;
}

// A client daemon that ignores SIGTERM is killed after its wait, with its
// whole process group; and a pid file that names some other program's
// process (the pid was reused) gets that process a SIGTERM, as a stop by pid
// file must: the risk the README describes.
TEST_F(FaultTest, StopKillsADaemonThatIgnoresSigtermAndSignalsAReusedPid) {
  StartOk();
  // The real client daemon goes first: its pid file is about to name another.
  const pid_t real_clientd = fault::PidOf(box_, kDaemonPidFiles[3]);
  ASSERT_EQ(kill(real_clientd, SIGKILL), 0);
  ASSERT_TRUE(fault::WaitGone(real_clientd));
  const std::string sleep_path = SandboxSleep(box_);
  // The stubborn daemon leads its own group, with a child in that group.
  e2e::RunResult stubborn = e2e::Run({"/bin/sh", "-c",
                                      "setsid sh -c 'trap \"\" TERM; \"$0\" 300 & echo $$ > "
                                      "\"$1\"; exec \"$0\" 300' \"$0\" \"$1\" "
                                      "</dev/null >/dev/null 2>&1 & sleep 0.2",
                                      sleep_path, box_.Host(kDaemonPidFiles[3])});
  ASSERT_EQ(stubborn.exit_status, 0);
  const pid_t ignorer = fault::PidOf(box_, kDaemonPidFiles[3]);
  ASSERT_TRUE(fault::Running(ignorer));
  std::vector<pid_t> group;
  for (pid_t pid : fault::ProcessesBelow(box_.root())) {
    if (getpgid(pid) == ignorer) group.push_back(pid);
  }
  ASSERT_EQ(group.size(), 2u);

  // The authentication daemon's pid file names an unrelated program.
  const pid_t real_authd = fault::PidOf(box_, kDaemonPidFiles[1]);
  const pid_t stranger = fork();
  if (stranger == 0) {
    execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
    _exit(127);
  }
  box_.Write(kDaemonPidFiles[1], std::to_string(stranger) + "\n");

  e2e::RunResult r = box_.Tool({"service", "--stop"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  for (pid_t pid : group) EXPECT_TRUE(fault::WaitGone(pid)) << pid;
  EXPECT_EQ(fault::WaitChild(stranger), 128 + SIGTERM);
  EXPECT_EQ(fault::ReportedStatus(box_), "disabled");
  for (const char* pid_file : kDaemonPidFiles) EXPECT_FALSE(box_.Exists(pid_file)) << pid_file;
  // The real authentication daemon lost its pid file to the stranger: the
  // stop cannot know it, and it is the one process left.
  EXPECT_EQ(fault::SettledProcessesBelow(box_.root(), {real_authd}),
            std::vector<pid_t>{real_authd});
}

// Pid files naming pid 1 or the process group the tool runs in are never
// signalled.  Run in a pid namespace of its own, whose init records every
// signal it gets, so that a fault here cannot reach the machine's init.
TEST_F(FaultTest, StopNeverSignalsInitOrItsOwnProcessGroup) {
  e2e::RunResult probe = e2e::Run({"/bin/sh", "-c", "unshare -pf --mount-proc true"});
  if (probe.exit_status != 0) {
    GTEST_SKIP() << "no pid namespace here: " << probe.err;
  }
  const std::string script =
      "trap 'echo TERM >> \"$ROOT/init-signals\"' TERM\n"
      "trap 'echo HUP >> \"$ROOT/init-signals\"' HUP\n"
      "echo 1 > \"$ROOT/var/run/drift-clientd.pid\"\n"
      "echo 1 > \"$ROOT/var/run/tarnsyncfolder.pid\"\n"
      // The group leader writes its own pid (the group's id) into the
      // remaining pid files, then runs the tool in its group.
      "setsid sh -c 'for f in drift-authd drift-cleand drift-cached; do echo $$ > "
      "\"$ROOT/var/run/$f.pid\"; done; \"$TOOL\" service --stop; echo \"stop $?\" > "
      "\"$ROOT/stop-result\"'\n"
      "sleep 0.2\n";
  e2e::RunResult r = e2e::Run({"/usr/bin/unshare", "-pf", "--mount-proc", "/bin/sh", "-c", script},
                              {{"ROOT", box_.root()},
                               {"TOOL", box_.root() + "/var/packages/DriftVault/target/bin/"
                                                      "drift-control"},
                               {"DRIFT_ROOT", box_.root()}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(box_.Read("/stop-result"), "stop 0\n");
  EXPECT_FALSE(box_.Exists("/init-signals")) << box_.Read("/init-signals");
  EXPECT_EQ(fault::ReportedStatus(box_), "disabled");
}

// --- The user database's lock file cannot be made ---------------------------

// Snapshot of the user database, to compare byte for byte.
TEST_F(FaultTest, UnwritableTmpLeavesTheUserDatabaseAlone) {
  if (!NamespaceUsable()) {
    GTEST_SKIP() << skip_reason_;
  }
  StartOk("alice");
  fault::KillProcessesBelow(box_.root());
  const std::string database = box_.Read(kUserDb);
  ASSERT_FALSE(database.empty());
  unlink(box_.Host(kLockFile).c_str());

  struct Case {
    const char* name;
    bool folder_in_the_way;
    const char* prepare;  // shell lines run before the tool, in the namespace
  } cases[] = {
      {"a folder where the lock file goes", true, ""},
      {"/tmp a read-only file system", false,
       "mount -t tmpfs -o ro,size=64k tmpfs \"$ROOT/tmp\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rmdir(box_.Host(kLockFile).c_str());
    if (c.folder_in_the_way) {
      ASSERT_EQ(mkdir(box_.Host(kLockFile).c_str(), 0755), 0);
    }
    fault::SyslogCapture log(box_.root() + "/.dev/log");
    e2e::RunResult r = fault::RunInMountNamespace(
        box_,
        std::string(c.prepare) +
            "\"$TOOL\" service --collect-user-data > \"$ROOT/collected\"\n"
            "echo \"collect $?\"\n",
        &log);
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "collect 0\n");
    EXPECT_EQ(box_.Read("/collected"), "");
    EXPECT_NE(log.Text().find("failed to initialize database"), std::string::npos) << log.Text();
    EXPECT_EQ(box_.Read(kUserDb), database);
  }
}

// A start whose account cannot be enabled because the lock file cannot be
// made goes on without the account and leaves the database alone.  The sync
// daemon, which needs the same lock file, refuses to run (exit status 1, not
// a failed launch for the start): the status says "error" with the other
// daemons up, and once the way is clear a stop and a start bring it all up.
TEST_F(FaultTest, UnwritableLockFileStartGoesOnWithoutTheAccount) {
  if (!NamespaceUsable()) {
    GTEST_SKIP() << skip_reason_;
  }
  StartOk("alice");
  fault::KillProcessesBelow(box_.root());
  const std::string database = box_.Read(kUserDb);
  unlink(box_.Host(kLockFile).c_str());
  ASSERT_EQ(mkdir(box_.Host(kLockFile).c_str(), 0755), 0);
  fault::SyslogCapture log(box_.root() + "/.dev/log");
  e2e::RunResult r = fault::RunInMountNamespace(
      box_, "TARNPKG_USERNAME=bob \"$TOOL\" service --start\necho \"start $?\"\n", &log);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "start 0\n");
  const std::string text = log.Text();
  EXPECT_NE(text.find("'bob' is not automatically enabled"), std::string::npos) << text;
  EXPECT_NE(text.find("syncd: [ERROR] syncd("), std::string::npos) << text;
  EXPECT_EQ(box_.Read(kUserDb), database);
  EXPECT_EQ(fault::ReportedStatus(box_), "error");
  EXPECT_EQ(fault::Inconsistency(box_), "");

  ASSERT_EQ(rmdir(box_.Host(kLockFile).c_str()), 0);
  StopOk();
  StartOk("bob");
  EXPECT_NE(box_.Read(kUserDb), database);  // bob is in now
}

}  // namespace
