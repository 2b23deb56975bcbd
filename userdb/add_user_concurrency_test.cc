// Several processes of the package add users to one database at the same
// moment, each on its own connection as the daemons do; names collide across
// processes in other letter case.  Whatever the interleaving, every entry
// gets its own view id, the ids are 1..N in insertion order and the counter
// ends at N + 1.
#include <ctype.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/test_root.h"
#include "gtest/gtest.h"
#include "userdb/user_manager.h"
#include "userdb/userdb_test_util.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kOwnUsers = 200;    // distinct names per process
constexpr int kSharedNames = 20;  // names every process adds, each in its own case
constexpr int kSpread = kOwnUsers / kSharedNames;

// Process p's names: its own, and shared name k with its letter p capitalised.
std::string OwnName(int p, int i) { return "p" + std::to_string(p) + "-user-" + std::to_string(i); }
std::string SharedName(int p, int k) {
  std::string name = "collision";
  name[p] = static_cast<char>(toupper(name[p]));
  return name + "-" + std::to_string(k);
}

// Adds the process's names once `start_fd` closes, the shared ones spread
// over the run so that processes meet on them.  Exits with the number of
// names found present already, 255 when an AddUser failed.
[[noreturn]] void RunChild(int p, int start_fd) {
  char go;
  if (read(start_fd, &go, 1) < 0 || UserManager::Initialize(userdb_test::kDbPath) != 0) _exit(255);
  int present = 0;
  for (int i = 0; i < kOwnUsers; ++i) {
    int results[2] = {UserManager::AddUser(OwnName(p, i), kUserTypeLocal, 0), 1};
    if (i % kSpread == p % kSpread) {
      results[1] = UserManager::AddUser(SharedName(p, i / kSpread), kUserTypeLocal, 0);
    }
    for (int r : results) {
      if (r < 0) _exit(255);
      present += r == 0;
    }
  }
  UserManager::Close();
  _exit(present);
}

TEST(AddUserConcurrency, ProcessesNeverShareAViewId) {
  // On a memory file system when there is one: what is tested is the
  // locking, and 1620 synced commits on a disk would take long.
  test_support::TestRoot root("drift-userdb", test_support::MemoryBackedFolder());
  Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50);  // the children's failures show
  std::map<std::string, uint32_t> uids;
  std::string passwd;
  auto add = [&](const std::string& name, uint32_t uid) {
    uids[name] = uid;
    passwd += name + ":x:" + std::to_string(uid) + ":100::/volume1/homes/" + name + ":/bin/sh\n";
  };
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kOwnUsers; ++i) add(OwnName(p, i), 10000 + p * 1000 + i);
    for (int k = 0; k < kSharedNames; ++k) add(SharedName(p, k), 50000 + p * 100 + k);
  }
  root.MakeDir("/tmp");
  root.MakeDir("/volume1/@driftvault/@sync");
  root.Write("/etc/passwd", passwd);
  // The schema exists before the race (Initialize creates it in an immediate
  // transaction).
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  UserManager::Close();

  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(fork());
    ASSERT_GE(children.back(), 0);
    if (children.back() == 0) {
      close(start[1]);
      RunChild(p, start[0]);
    }
  }
  close(start[0]);
  close(start[1]);  // go
  int present = 0;
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 255) << status;
    present += WEXITSTATUS(status);
  }
  EXPECT_EQ(present, (kProcesses - 1) * kSharedNames);
  const int n = kProcesses * kOwnUsers + kSharedNames;
  const std::string host_db = root.Host(userdb_test::kDbPath);
  const std::vector<userdb_test::Row> rows =
      userdb_test::Query(host_db, "SELECT view_id, name, uid FROM user_table ORDER BY id;");
  ASSERT_EQ(rows.size(), static_cast<size_t>(n));
  std::set<std::string> folded;
  for (size_t i = 0; i < rows.size(); ++i) {
    // No gaps, no repeats; every row whole (the uid is that of its name).
    EXPECT_EQ(rows[i][0], std::to_string(i + 1)) << rows[i][1];
    EXPECT_EQ(rows[i][2], std::to_string(uids[rows[i][1]])) << rows[i][1];
    std::string lower = rows[i][1];
    for (char& c : lower) c = static_cast<char>(tolower(c));
    EXPECT_TRUE(folded.insert(lower).second) << "twice: " << rows[i][1];
  }
  for (int k = 0; k < kSharedNames; ++k)
    EXPECT_EQ(folded.count("collision-" + std::to_string(k)), 1u);
  EXPECT_EQ(userdb_test::Query(host_db, "SELECT value FROM config_table WHERE key = 'view_id';"),
            (std::vector<userdb_test::Row>{{std::to_string(n + 1)}}));
}

}  // namespace
