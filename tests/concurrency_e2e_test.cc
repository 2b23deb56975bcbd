// drift-control run by several processes at once in one sandbox with the real
// daemons.  Start and stop keep apart through the status word only, so a race
// may end in any state; what must hold is that nothing crashes, no file is
// torn, nothing runs unaccounted for, and one more stop always cleans up.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

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

  // What must hold after any race; and one stop leaves nothing.
  void ExpectCleanAfterOneStop() {
    EXPECT_EQ(Inconsistency(box_, /*raced=*/true), "");
    EXPECT_EQ(box_.Value(kSettingConf, "dfvt_enable").size(), 1u);  // written whole
    StopOk();
  }
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
