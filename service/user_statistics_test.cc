#include "service/user_statistics.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "service/service_test_util.h"
#include "userdb/user_manager.h"

namespace {

using service_test::TestRoot;

const char kDbPath[] = "/volume1/@driftvault/@sync/user-db.sqlite";

UserUsage Usage(int type, int sessions, const char* name = "someone", int attribute = 0) {
  UserUsage usage;
  usage.user_type = type;
  usage.attribute = attribute;
  usage.name = name;
  usage.session_count = sessions;
  return usage;
}

TEST(FormatUserStatistics, ExactDocuments) {
  struct Case {
    std::vector<UserUsage> usages;
    const char* json;
  } cases[] = {
      {{}, "{\"user\":[],\"version\":4164}\n"},
      {{Usage(kUserTypeLocal, 2, "alice")},
       "{\"user\":[{\"session_count\":2,\"type\":0}],\"version\":4164}\n"},
      // Names and attributes never show; a share entry is counted like any.
      {{Usage(kUserTypeShare, 0, "secret", 8)},
       "{\"user\":[{\"session_count\":0,\"type\":1}],\"version\":4164}\n"},
      {{Usage(kUserTypeLocal, 1, "a\"b"), Usage(kUserTypeShare, 3), Usage(kUserTypeLdap, 0),
        Usage(kUserTypeDomain, 12345)},
       "{\"user\":[{\"session_count\":1,\"type\":0},{\"session_count\":3,\"type\":1},"
       "{\"session_count\":0,\"type\":2},{\"session_count\":12345,\"type\":3}],"
       "\"version\":4164}\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatUserStatistics(c.usages), c.json);
}

// Runs PrintUserStatistics with standard output sent to a file; returns what
// it printed.
std::string PrintToString(int* result) {
  char path[] = "/tmp/drift-stats-out-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  *result = PrintUserStatistics();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  char buffer[4096];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(n));
  close(fd);
  unlink(path);
  return out;
}

class PrintUserStatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/volume1/@driftvault/@sync");
    root_.MakeDir("/volume1/homes/alice");
    root_.Write("/etc/passwd", "alice:x:1026:100::/volume1/homes/alice:/bin/sh\n");
    root_.Write("/etc/tarn/shares.json",
                "{\"shares\":[{\"name\":\"homes\",\"path\":\"/volume1/homes\",\"status\":2}]}\n");
  }
  void TearDown() override { UserManager::Close(); }

  void Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(root_.Host(kDbPath).c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }

  TestRoot root_;
};

TEST_F(PrintUserStatisticsTest, PrintsTheDocumentOfTheDatabase) {
  ASSERT_EQ(UserManager::Initialize(kDbPath), 0);
  int result = -2;
  EXPECT_EQ(PrintToString(&result), "{\"user\":[],\"version\":4164}\n");
  EXPECT_EQ(result, 0);

  ASSERT_EQ(UserManager::AddUser("alice", kUserTypeLocal, 0), 1);
  ASSERT_EQ(UserManager::AddUser("@homes", kUserTypeShare, 0), 1);
  Sql("INSERT INTO session_table (uid, sess_id) VALUES (1, 'a'), (1, 'b'), (2, 'c');");
  EXPECT_EQ(PrintToString(&result),
            "{\"user\":[{\"session_count\":2,\"type\":0},{\"session_count\":1,\"type\":1}],"
            "\"version\":4164}\n");
  EXPECT_EQ(result, 0);
}

TEST_F(PrintUserStatisticsTest, UnreadableDatabasePrintsNothing) {
  int result = 0;
  // Closed database.
  EXPECT_EQ(PrintToString(&result), "");
  EXPECT_EQ(result, -1);
  // The message is the last one written, and carries no line end of its own.
  const std::string log = root_.LogText();
  EXPECT_NE(log.find("[ERROR] service-ctrl("), std::string::npos);
  const std::string tail = "): failed to collect user data";
  EXPECT_TRUE(log.size() >= tail.size() &&
              log.compare(log.size() - tail.size(), tail.size(), tail) == 0)
      << log;

  // A database whose user table has gone.
  ASSERT_EQ(UserManager::Initialize(kDbPath), 0);
  Sql("DROP TABLE user_table;");
  EXPECT_EQ(PrintToString(&result), "");
  EXPECT_EQ(result, -1);
}

}  // namespace
