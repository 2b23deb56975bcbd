// drift-control run by several processes at once in one sandbox appliance,
// with the real daemons: two starts together, a start racing a stop, and
// status readers while the service is started and stopped.  Start and stop
// keep apart through the status word only, so a race may end in any state;
// what must hold is that nothing crashes, no file is ever torn, nothing runs
// that no pid file accounts for, and one more stop always cleans up.
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"
#include "tests/fault_support.h"

namespace {

using fault::kDaemonPidFiles;
using fault::kDbPathConf;
using fault::kSettingConf;
using fault::kStatusFile;
using fault::kUserDb;

// Every line a key="value" line, and each of `keys` there exactly once.
void ExpectWholeKeyValueFile(const std::string& text, const std::vector<std::string>& keys,
                             const std::string& what) {
  static const std::regex kLine("[A-Za-z_-]+=\"[^\"\\n]*\"\\n");
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end == std::string::npos ? end : end - pos + 1);
    EXPECT_TRUE(std::regex_match(line, kLine)) << what << ": torn line '" << line << "'";
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  for (const std::string& key : keys) {
    size_t count = 0;
    for (size_t at = text.find(key + "=\""); at != std::string::npos;
         at = text.find(key + "=\"", at + 1)) {
      if (at == 0 || text[at - 1] == '\n') ++count;
    }
    EXPECT_EQ(count, 1u) << what << ": key " << key << " in\n" << text;
  }
}

// The user database passes SQLite's own check and holds each account once.
void ExpectSoundUserDatabase(const std::string& host_db) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(host_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
  sqlite3_finalize(stmt);
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*), count(DISTINCT name) FROM user_table", -1,
                               &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), sqlite3_column_int(stmt, 1));
  EXPECT_LE(sqlite3_column_int(stmt, 0), 1);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

class ConcurrencyTest : public fault::SandboxTest {
 protected:
  // Runs the commands at once (each after its delay, in microseconds) and
  // expects each to end normally.
  void RunTogether(const std::vector<std::pair<std::string, int64_t>>& commands) {
    std::vector<pid_t> pids;
    const int64_t began = fault::NowUs();
    for (const auto& [command, delay] : commands) {
      while (fault::NowUs() < began + delay) usleep(1000);
      pids.push_back(
          fault::SpawnTool(box_, {"service", "--" + command}, {{"TARNPKG_USERNAME", "alice"}}));
    }
    for (size_t i = 0; i < pids.size(); ++i) {
      EXPECT_EQ(fault::WaitChild(pids[i]), 0) << commands[i].first;
    }
  }

  // What must hold after any race: whole files, a sound database, nothing
  // unaccounted for; and one stop leaves nothing running.
  void ExpectCleanAfterOneStop() {
    ExpectWholeKeyValueFile(box_.Read(kStatusFile), {"status"}, "enable_status");
    EXPECT_TRUE(fault::IsStatusWord(fault::Value(box_, kStatusFile, "status")));
    ExpectWholeKeyValueFile(box_.Read(kSettingConf), {"dfvt_port", "dfvt_enable"}, "setting.conf");
    if (box_.Exists(kDbPathConf)) {
      EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume1\"\n");
    }
    if (box_.Exists(kUserDb)) ExpectSoundUserDatabase(box_.Host(kUserDb));
    EXPECT_TRUE(fault::StrayProcesses(box_).empty());
    EXPECT_TRUE(fault::IsStatusWord(fault::ReportedStatus(box_)));

    e2e::RunResult r = box_.Tool({"service", "--stop"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(fault::ReportedStatus(box_), "disabled");
    EXPECT_EQ(fault::SettledProcessesBelow(box_.root()), std::vector<pid_t>{});
    for (const char* pid_file : kDaemonPidFiles) EXPECT_FALSE(box_.Exists(pid_file)) << pid_file;
  }
};

TEST_F(ConcurrencyTest, TwoStartsAtOnce) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    RunTogether({{"start", 0}, {"start", 0}});
    ExpectCleanAfterOneStop();
  }
  // And the service still starts.
  RunTogether({{"start", 0}});
  EXPECT_EQ(fault::ReportedStatus(box_), "enabled");
}

TEST_F(ConcurrencyTest, StartRacingAStop) {
  // The stop comes at moments spread over a start's length (a fixed seed).
  const int64_t began = fault::NowUs();
  RunTogether({{"start", 0}});
  const int64_t duration = fault::NowUs() - began;
  ExpectCleanAfterOneStop();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  const int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    const int64_t delay = static_cast<int64_t>((round + within(random)) * duration / kRounds);
    SCOPED_TRACE("stop after " + std::to_string(delay / 1000) + " ms");
    RunTogether({{"start", 0}, {"stop", delay}});
    ExpectCleanAfterOneStop();
  }
}

// Eight processes ask for the status all along a start, a stop, a start and
// a stop: every answer is a status word, and no asker fails.
TEST_F(ConcurrencyTest, StatusReadersDuringStartAndStop) {
  std::atomic<bool> done{false};
  std::mutex mutex;
  std::map<std::string, int> answers;
  std::vector<std::string> bad;
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      while (!done) {
        e2e::RunResult r = box_.Tool({"service", "--status"});
        std::lock_guard<std::mutex> lock(mutex);
        ++answers[r.out];
        if (r.exit_status != 0 || !fault::IsStatusWord(r.out) || !r.err.empty()) {
          bad.push_back("exit " + std::to_string(r.exit_status) + " '" + r.out + "' " + r.err);
        }
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    e2e::RunResult r = box_.Tool({"service", "--start"}, {{"TARNPKG_USERNAME", "alice"}});
    EXPECT_EQ(r.exit_status, 0);
    r = box_.Tool({"service", "--stop"});
    EXPECT_EQ(r.exit_status, 0);
  }
  done = true;
  for (std::thread& t : readers) t.join();
  int total = 0;
  std::string seen;
  for (const auto& [word, count] : answers) {
    total += count;
    seen += " " + word + ":" + std::to_string(count);
  }
  EXPECT_TRUE(bad.empty()) << bad.size() << " bad answers, first: " << bad[0];
  EXPECT_GT(answers["enabled"], 0) << seen;
  EXPECT_GT(answers["disabled"], 0) << seen;
  printf("[ figures  ] %d status answers during start and stop:%s\n", total, seen.c_str());
  ExpectCleanAfterOneStop();
}

}  // namespace
