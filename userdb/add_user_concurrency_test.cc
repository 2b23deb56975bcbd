// Several processes of the package add users to one database at the same
// moment.  Each child process opens its own connection, as the daemons do;
// names collide across processes in other letter case.  Whatever the
// interleaving, every entry must get its own view id, the ids must be 1..N in
// insertion order and the counter must end at N + 1.
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

using userdb_test::Row;

constexpr int kProcesses = 8;
constexpr int kOwnUsers = 200;           // distinct names per process
constexpr int kSharedNames = 20;         // names every process adds, each in its own case
constexpr char kShared[] = "collision";  // 9 letters: 8 different one-letter capitalisations

std::string OwnName(int process, int i) {
  return "p" + std::to_string(process) + "-user-" + std::to_string(i);
}

// The name that process `process` uses for shared name `k`: the base in lower
// case with its letter number `process` capitalised.
std::string SharedName(int process, int k) {
  std::string name = kShared;
  name[process] = static_cast<char>(toupper(name[process]));
  return name + "-" + std::to_string(k);
}

void RunChild(int p, int start_fd, int result_fd) {
  // Everyone starts together.
  char go;
  if (read(start_fd, &go, 1) < 0) _exit(2);
  int counts[3] = {0, 0, 0};  // results -1, 0, 1
  if (UserManager::Initialize(userdb_test::kDbPath) != 0) _exit(3);
  for (int i = 0; i < kOwnUsers; ++i) {
    counts[UserManager::AddUser(OwnName(p, i), kUserTypeLocal, 0) + 1]++;
    // The shared names are spread over the run so that processes meet on
    // them while the others are adding their own users.
    if (i % (kOwnUsers / kSharedNames) == p % (kOwnUsers / kSharedNames)) {
      const int k = i / (kOwnUsers / kSharedNames);
      counts[UserManager::AddUser(SharedName(p, k), kUserTypeLocal, 0) + 1]++;
    }
  }
  UserManager::Close();
  const ssize_t written = write(result_fd, counts, sizeof(counts));
  _exit(written == static_cast<ssize_t>(sizeof(counts)) ? 0 : 4);
}

TEST(AddUserConcurrency, ProcessesNeverShareAViewId) {
  // The test's root lies on a memory file system when there is one: what is
  // tested is the locking, and 1620 synced commits on a disk would take long.
  test_support::TestRoot root("drift-userdb", test_support::MemoryBackedFolder());
  // Failures of the children show on standard error.
  Logger::Init(Logger::LOG_TYPE_STDERR, "", "", 50);
  std::string passwd;
  std::map<std::string, uint32_t> uids;
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kOwnUsers; ++i) uids[OwnName(p, i)] = 10000 + p * 1000 + i;
    for (int k = 0; k < kSharedNames; ++k) uids[SharedName(p, k)] = 50000 + p * 100 + k;
  }
  for (const auto& user : uids) {
    passwd += user.first + ":x:" + std::to_string(user.second) + ":100::/volume1/homes/" +
              user.first + ":/bin/sh\n";
  }
  root.MakeDir("/tmp");
  root.MakeDir("/volume1/@driftvault/@sync");
  root.Write("/etc/passwd", passwd);
  // The schema exists before the race; creating it concurrently is covered
  // by Initialize's immediate transaction, not by this test.
  ASSERT_EQ(UserManager::Initialize(userdb_test::kDbPath), 0);
  UserManager::Close();

  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  std::vector<int> results;
  for (int p = 0; p < kProcesses; ++p) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      close(result[0]);
      RunChild(p, start[0], result[1]);
    }
    close(result[1]);
    children.push_back(pid);
    results.push_back(result[0]);
  }
  close(start[0]);
  close(start[1]);  // go

  int totals[3] = {0, 0, 0};
  for (int p = 0; p < kProcesses; ++p) {
    int counts[3] = {0, 0, 0};
    EXPECT_EQ(read(results[p], counts, sizeof(counts)), static_cast<ssize_t>(sizeof(counts)));
    close(results[p]);
    int status = 0;
    ASSERT_EQ(waitpid(children[p], &status, 0), children[p]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p;
    for (int r = 0; r < 3; ++r) totals[r] += counts[r];
  }

  const int n = kProcesses * kOwnUsers + kSharedNames;
  EXPECT_EQ(totals[0], 0) << "failed AddUser calls";
  EXPECT_EQ(totals[2], n) << "inserted entries";
  EXPECT_EQ(totals[1], (kProcesses - 1) * kSharedNames) << "names found already present";

  const std::string host_db = root.Host(userdb_test::kDbPath);
  std::vector<Row> rows =
      userdb_test::Query(host_db, "SELECT id, view_id, name, uid FROM user_table ORDER BY id;");
  ASSERT_EQ(rows.size(), static_cast<size_t>(n));
  std::set<std::string> folded;
  for (size_t i = 0; i < rows.size(); ++i) {
    // View ids follow the insertion order without gaps and never repeat.
    EXPECT_EQ(rows[i][1], std::to_string(i + 1)) << "row " << rows[i][0];
    // Every row is whole: the uid is that of the very name stored.
    ASSERT_EQ(uids.count(rows[i][2]), 1u) << rows[i][2];
    EXPECT_EQ(rows[i][3], std::to_string(uids[rows[i][2]])) << rows[i][2];
    std::string lower = rows[i][2];
    for (char& c : lower) c = static_cast<char>(tolower(c));
    EXPECT_TRUE(folded.insert(lower).second) << "twice: " << rows[i][2];
  }
  EXPECT_EQ(userdb_test::Query(host_db, "SELECT value FROM config_table WHERE key = 'view_id';"),
            (std::vector<Row>{{std::to_string(n + 1)}}));
  for (int k = 0; k < kSharedNames; ++k) {
    EXPECT_EQ(folded.count("collision-" + std::to_string(k)), 1u) << k;
  }
}

}  // namespace
