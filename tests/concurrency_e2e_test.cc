// drift-control run by several processes at once in one sandbox with the real
// daemons.  Start and stop keep apart through the status word only, so a race
// may end in any state; what must hold is that nothing crashes, no file is
// torn, nothing runs unaccounted for, and one more stop always cleans up.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

// Every line a key="value" line, and each of `keys` there exactly once.
void ExpectWholeKeyValueFile(const std::string& text, const std::vector<std::string>& keys) {
  static const std::regex kLine("[A-Za-z_-]+=\"[^\"\\n]*\"");
  std::istringstream lines(text);
  std::map<std::string, int> seen;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_match(line, kLine)) << "torn line '" << line << "' in\n" << text;
    ++seen[line.substr(0, line.find('='))];
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
  for (const std::string& key : keys) EXPECT_EQ(seen[key], 1) << key << " in\n" << text;
}

class ConcurrencyTest : public ServiceTest {
 protected:
  // Runs the commands at once (each after its delay, in microseconds) and
  // expects each to end normally.
  void RunTogether(const std::vector<std::pair<std::string, int64_t>>& commands) {
    std::vector<pid_t> pids;
    const int64_t began = NowUs();
    for (const auto& [command, delay] : commands) {
      while (NowUs() < began + delay) usleep(1000);
      pids.push_back(box_.SpawnTool({"service", "--" + command}, {{"TARNPKG_USERNAME", "alice"}}));
    }
    for (size_t i = 0; i < pids.size(); ++i) EXPECT_EQ(WaitChild(pids[i]), 0) << commands[i].first;
  }

  // What must hold after any race: whole files, a sound user database with
  // each account once, nothing unaccounted for; and one stop leaves nothing.
  void ExpectCleanAfterOneStop() {
    ExpectWholeKeyValueFile(box_.Read(kStatusFile), {"status"});
    EXPECT_TRUE(IsStatusWord(box_.Value(kStatusFile, "status")));
    ExpectWholeKeyValueFile(box_.Read(kSettingConf), {"dfvt_port", "dfvt_enable"});
    if (box_.Exists(kDbPathConf)) {
      EXPECT_EQ(box_.Read(kDbPathConf), "db-vol=\"/volume1\"\n");
    }
    if (box_.Exists(kUserDb)) {
      EXPECT_EQ(Query(box_.Host(kUserDb), "PRAGMA integrity_check"), (Rows{{"ok"}}));
      const Rows counts =
          Query(box_.Host(kUserDb), "SELECT count(*), count(DISTINCT name) FROM user_table");
      ASSERT_EQ(counts.size(), 1u);
      EXPECT_EQ(counts[0][0], counts[0][1]);
      EXPECT_LE(std::stoi(counts[0][0]), 1);
    }
    EXPECT_EQ(StrayProcesses(box_), std::vector<pid_t>{});
    EXPECT_TRUE(IsStatusWord(box_.Status()));
    StopOk();
  }
  using Rows = std::vector<std::vector<std::string>>;
};

TEST_F(ConcurrencyTest, TwoStartsAtOnce) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    RunTogether({{"start", 0}, {"start", 0}});
    ExpectCleanAfterOneStop();
  }
  StartOk();  // and the service still starts
}

TEST_F(ConcurrencyTest, StartRacingAStop) {
  // The stop comes at moments spread over a start's length (a fixed seed).
  const int64_t began = NowUs();
  RunTogether({{"start", 0}});
  const int64_t duration = NowUs() - began;
  ExpectCleanAfterOneStop();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  for (int round = 0; round < 5; ++round) {
    const int64_t delay = static_cast<int64_t>((round + within(random)) * duration / 5);
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
        RunResult r = box_.Tool({"service", "--status"});
        std::lock_guard<std::mutex> lock(mutex);
        ++answers[r.out];
        if (r.exit_status != 0 || !IsStatusWord(r.out) || !r.err.empty()) {
          bad.push_back("exit " + std::to_string(r.exit_status) + " '" + r.out + "' " + r.err);
        }
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Start().exit_status, 0);
    EXPECT_EQ(box_.Tool({"service", "--stop"}).exit_status, 0);
  }
  done = true;
  for (std::thread& t : readers) t.join();
  int total = 0;
  std::string seen;
  for (const auto& [word, count] : answers) {
    total += count;
    seen += " " + word + ":" + std::to_string(count);
  }
  EXPECT_EQ(bad, std::vector<std::string>{});
  EXPECT_GT(answers["enabled"], 0) << seen;
  EXPECT_GT(answers["disabled"], 0) << seen;
  printf("[ figures  ] %d status answers during start and stop:%s\n", total, seen.c_str());
  ExpectCleanAfterOneStop();
}

}  // namespace
}  // namespace e2e
