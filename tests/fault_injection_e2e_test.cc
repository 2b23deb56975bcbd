// drift-control under faults, with the real daemons: a full disk, the tool
// killed during a start or a stop, daemons ignoring SIGTERM, pid files naming
// processes the package does not own, a lock file that cannot be made.  No
// setting is ever half written, nothing runs unaccounted for, and one stop
// brings the service back to a state from which it starts again.
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

const char kLockFile[] = "/tmp/user-mgr-lock-file";
const std::string kEtc = kEtcFolder;

class FaultTest : public ServiceTest {
 protected:
  std::map<std::string, std::string> EtcFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(box_.Host(kEtc))) {
      files[entry.path().filename()] = box_.Read(kEtc + "/" + entry.path().filename().string());
    }
    return files;
  }
  // Runs `script` in the namespace, on a full etc folder when `fill` gives
  // the free pages (and inodes); expects it to print `out`; returns the system
  // log of the run.
  std::string InNamespace(const std::string& fill, const std::string& script,
                          const std::string& out) {
    std::string log;
    RunResult r = RunInMountNamespace(
        box_,
        fill.empty() ? script
                     : "fill " + kEtc + " " + fill + "\n" + script + "unfill " + kEtc + "\n",
        &log);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, out);
    return log;
  }
  static std::string Has(const std::string& log, const std::string& message) {
    return log.find(message) != std::string::npos ? "" : "'" + message + "' not in:\n" + log;
  }
};

class NamespaceTest : public FaultTest {
  void SetUp() override {
    FaultTest::SetUp();
    std::string why;
    if (!MountNamespaceUsable(&why)) GTEST_SKIP() << why;
  }
};

// A start on a full disk cannot even say "initializing": it ends there, and
// every file is as it was.  A stop on a full disk still takes every daemon
// down; the status word and the enable switch keep their old text whole, the
// failures are logged, and the status reads "error" until a stop with room
// again says "disabled".
TEST_F(NamespaceTest, StartAndStopLeaveEverySettingWhole) {
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  auto before = EtcFiles();
  std::string log = InNamespace("0", "run start\n", "start 0 disabled\n");
  EXPECT_EQ(EtcFiles(), before);
  EXPECT_EQ(Has(log, "failed to set service status to 'initializing'"), "");
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  EXPECT_FALSE(box_.Exists("/volume1/@driftvault"));

  StartOk();  // with room again
  before = EtcFiles();
  ASSERT_EQ(box_.Value(kSettingConf, "dfvt_enable"), "1");
  log = InNamespace("0", "run stop\n", "stop 0 error\n");
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));
  EXPECT_EQ(EtcFiles(), before);
  EXPECT_EQ(Has(log, "fail to set service statis to disabled"), "");
  EXPECT_EQ(Has(log, "failed to set dfvt_enable=0 in " + kEtc + "/setting.conf (skipping)"), "");
  StopOk();
  StartOk();
}

// A setting.conf larger than the room left: the enable switch cannot be
// written at start nor at stop, which is logged and skipped; the file keeps
// every byte, and the service starts and stops all the same.
TEST_F(NamespaceTest, SettingWritesAreSkipped) {
  box_.Write(kDbPathConf, "db-vol=\"/volume1\"\n");
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  std::string setting = "# settings of the package\n";
  while (setting.size() < 3 * 4096) setting += "# ......................................\n";
  setting += "dfvt_port=\"" + std::to_string(port_) + "\"\n";
  box_.Write(kSettingConf, setting);
  // One page free: enough to replace the small files, not setting.conf.
  const std::string log =
      InNamespace("1", "run start\nrm \"$ROOT\"" + std::string(kEnabled) + "\nrun stop\n",
                  "start 0 enabled\nstop 0 disabled\n");  // a stop that unregisters the relay
  EXPECT_EQ(box_.Read(kSettingConf), setting);
  for (const char* value : {"1", "0"}) {
    EXPECT_EQ(Has(log, std::string("failed to set dfvt_enable=") + value + " in " + kEtc +
                           "/setting.conf (skipping)"),
              "");
  }
  EXPECT_EQ(Count(log, "[ERROR]"), 2u) << log;  // nothing else failed
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  EXPECT_TRUE(box_.Exists(kUserDb));  // the account was added all the same
}

// A first start whose database volume cannot be remembered leaves no
// db-path.conf (none, not an empty or half one); with room again a stop and a
// start bring the service up on the same volume.
TEST_F(NamespaceTest, DbPathConfIsNeverHalfWritten) {
  box_.Write(kStatusFile, "status=\"disabled\"\n");
  // Pages to spare, but files for only one more: the replacement of the
  // status word takes it and gives it back, the port setting's lock file
  // (which the start creates) keeps it.
  unlink(box_.Host(kEtc + "/setting.conf.lock").c_str());
  const std::string log =
      InNamespace("4 64",
                  "d=$ROOT" + kEtc +
                      "\ni=0; while touch \"$d/.inode$i\" 2>/dev/null; do i=$((i+1)); done\n"
                      "rm -f \"$d/.inode0\"\nTARNPKG_USERNAME=alice \"$TOOL\" service --start\n"
                      "echo \"start $?\"\nrm -f \"$d\"/.inode*\n",
                  "start 0\n");
  EXPECT_FALSE(box_.Exists(kDbPathConf));
  for (const auto& [name, content] : EtcFiles()) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name << " left behind";
  }
  EXPECT_EQ(Has(log, "failed to locate repository path"), "");
  EXPECT_EQ(SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
  const std::string word = box_.Value(kStatusFile, "status");  // a whole word
  EXPECT_TRUE(word == "initializing" || word == "error") << word;
  StopOk();
  StartOk();
  EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume1\"\n");
}

// SIGKILLs the tool running `command` at moments spread over `duration_us`
// (one in each of `count` equal slices, from a fixed seed), `before` and
// `after` each; returns how many kills hit a running tool.
template <typename Before, typename After>
int KillAtMoments(const Sandbox& box, const std::string& command, int64_t duration_us, int count,
                  unsigned seed, Before before, After after) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  int hits = 0;
  for (int i = 0; i < count; ++i) {
    const int64_t moment = static_cast<int64_t>((i + within(random)) * duration_us / count);
    SCOPED_TRACE(command + " killed after " + std::to_string(moment / 1000) + " ms");
    before();
    const pid_t pid = box.SpawnTool({"service", "--" + command}, {{"TARNPKG_USERNAME", "alice"}});
    const int64_t due = NowUs() + moment;
    while (NowUs() < due) usleep(static_cast<useconds_t>(std::min<int64_t>(2000, due - NowUs())));
    const bool hit = kill(pid, SIGKILL) == 0;
    if (WaitChild(pid) == 128 + SIGKILL && hit) ++hits;
    EXPECT_EQ(Inconsistency(box), "");
    after();
  }
  printf("[ figures  ] %d of %d kills hit a running %s (one took %d ms)\n", hits, count,
         command.c_str(), static_cast<int>(duration_us / 1000));
  return hits;
}

TEST_F(FaultTest, StartKilledAtRandomMoments) {
  const int64_t began = NowUs();
  StartOk();
  const int64_t duration = NowUs() - began;
  KillProcessesBelow(box_.root());  // as a crash would leave it
  const int hits = KillAtMoments(
      box_, "start", duration * 9 / 10, 10, 20240601, [] {},
      [this] {
        StopOk();
        StartOk();
        KillProcessesBelow(box_.root());  // so that the next start runs in full
      });
  // A run may end sooner than the one measured: most kills must hit one.
  EXPECT_GE(hits, 5) << "the kills came after the starts had ended";
}

TEST_F(FaultTest, StopKilledAtRandomMoments) {
  StartOk();
  const int64_t began = NowUs();
  StopOk();
  const int64_t duration = NowUs() - began;
  const int hits = KillAtMoments(
      box_, "stop", duration * 9 / 10, 6, 20240602, [this] { StartOk(); }, [this] { StopOk(); });
  EXPECT_GE(hits, 3) << "the kills came after the stops had ended";
  StartOk();
}

// A client daemon that ignores SIGTERM is killed after its wait, with its
// whole process group; and a pid file that names some other program's
// process (the pid was reused) gets that process a SIGTERM, as a stop by pid
// file must.
TEST_F(FaultTest, StopKillsADaemonThatIgnoresSigtermAndSignalsAReusedPid) {
  StartOk();
  const char* clientd_pid_file = kDaemons[3].pid_file;
  const pid_t real_clientd = box_.PidOf(clientd_pid_file);
  ASSERT_EQ(kill(real_clientd, SIGKILL), 0);
  ASSERT_TRUE(WaitGone(real_clientd));
  // A copy of sleep inside the sandbox, so that TearDown finds it.
  const std::string sleep_path = box_.Host("/sleep-helper");
  std::filesystem::copy_file("/bin/sleep", sleep_path);
  // The stubborn daemon leads its own group, with a child in that group.
  ASSERT_EQ(
      e2e::Run({"/bin/sh", "-c",
                "setsid sh -c 'trap \"\" TERM; \"$0\" 300 & echo $$ > \"$1\"; exec \"$0\" 300' "
                "\"$0\" \"$1\" </dev/null >/dev/null 2>&1 & sleep 0.2",
                sleep_path, box_.Host(clientd_pid_file)})
          .exit_status,
      0);
  const pid_t ignorer = box_.PidOf(clientd_pid_file);
  ASSERT_TRUE(Running(ignorer));
  std::vector<pid_t> group;
  for (pid_t pid : ProcessesBelow(box_.root())) {
    if (getpgid(pid) == ignorer) group.push_back(pid);
  }
  ASSERT_EQ(group.size(), 2u);
  // The authentication daemon's pid file names an unrelated program.
  const pid_t real_authd = box_.PidOf(kDaemons[1].pid_file);
  const pid_t stranger = Spawn({"/bin/sleep", "300"}, {});
  box_.Write(kDaemons[1].pid_file, std::to_string(stranger) + "\n");

  EXPECT_EQ(box_.Tool({"service", "--stop"}).exit_status, 0);
  for (pid_t pid : group) EXPECT_TRUE(WaitGone(pid)) << pid;
  EXPECT_EQ(WaitChild(stranger), 128 + SIGTERM);
  EXPECT_EQ(box_.Status(), "disabled");
  for (const Daemon& daemon : kDaemons) EXPECT_FALSE(box_.Exists(daemon.pid_file));
  // The real authentication daemon lost its pid file to the stranger: the
  // stop cannot know it, and it is the one process left.
  EXPECT_EQ(SettledProcessesBelow(box_.root(), {real_authd}), std::vector<pid_t>{real_authd});
}

// Pid files naming pid 1 or the process group the tool runs in are never
// signalled.  Run in a pid namespace of its own, whose init records every
// signal it gets, so that a fault here cannot reach the machine's init.
TEST_F(FaultTest, StopNeverSignalsInitOrItsOwnProcessGroup) {
  RunResult probe = e2e::Run({"/bin/sh", "-c", "unshare -pf --mount-proc true"});
  if (probe.exit_status != 0) GTEST_SKIP() << "no pid namespace here: " << probe.err;
  const std::string script =
      "trap 'echo TERM >> \"$ROOT/init-signals\"' TERM\n"
      "trap 'echo HUP >> \"$ROOT/init-signals\"' HUP\n"
      "echo 1 > \"$ROOT/var/run/drift-clientd.pid\"\n"
      "echo 1 > \"$ROOT/var/run/tarnsyncfolder.pid\"\n"
      // The group leader writes its own pid (the group's id) into the other
      // pid files, then runs the tool in its group.
      "setsid sh -c 'for f in drift-authd drift-cleand drift-cached; do echo $$ > "
      "\"$ROOT/var/run/$f.pid\"; done; \"$TOOL\" service --stop; echo \"stop $?\" > "
      "\"$ROOT/stop-result\"'\n"
      "sleep 0.2\n";
  RunResult r =
      e2e::Run({"/usr/bin/unshare", "-pf", "--mount-proc", "/bin/sh", "-c", script},
               {{"ROOT", box_.root()}, {"TOOL", box_.ToolProgram()}, {"DRIFT_ROOT", box_.root()}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(box_.Read("/stop-result"), "stop 0\n");
  EXPECT_FALSE(box_.Exists("/init-signals")) << box_.Read("/init-signals");
  EXPECT_EQ(box_.Status(), "disabled");
}

// The user database's lock file cannot be made: statistics print nothing and
// leave the database byte for byte alone.  A start goes on without the
// account; the sync daemon, which needs the same lock file, refuses to run
// (exit status 1, not a failed launch for the start), so the status says
// "error" with the other daemons up, until a stop once the way is clear.
TEST_F(NamespaceTest, UnwritableLockFileLeavesTheUserDatabaseAlone) {
  StartOk("alice");
  KillProcessesBelow(box_.root());
  const std::string database = box_.Read(kUserDb);
  ASSERT_FALSE(database.empty());
  unlink(box_.Host(kLockFile).c_str());
  // /tmp a read-only file system, then a folder where the lock file goes.
  for (const char* prepare : {"mount -t tmpfs -o ro,size=64k tmpfs \"$ROOT/tmp\"\n", ""}) {
    SCOPED_TRACE(prepare);
    if (*prepare == '\0') {
      ASSERT_EQ(mkdir(box_.Host(kLockFile).c_str(), 0755), 0);
    }
    const std::string log = InNamespace("", std::string(prepare) + "run collect-user-data\n",
                                        "collect-user-data 0 error\n");
    EXPECT_EQ(Has(log, "failed to initialize database"), "");
    EXPECT_EQ(box_.Read(kUserDb), database);
  }
  const std::string log = InNamespace("", "ACCOUNT=bob run start\n", "start 0 error\n");
  EXPECT_EQ(Has(log, "'bob' is not automatically enabled"), "");
  EXPECT_EQ(Has(log, "syncd: [ERROR] syncd("), "");
  EXPECT_EQ(box_.Read(kUserDb), database);
  EXPECT_EQ(Inconsistency(box_), "");
  ASSERT_EQ(rmdir(box_.Host(kLockFile).c_str()), 0);
  StopOk();
  StartOk("bob");
  EXPECT_NE(box_.Read(kUserDb), database);  // bob is in now
}

}  // namespace
}  // namespace e2e
