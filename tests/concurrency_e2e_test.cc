// drift-control run by several processes at once in one sandbox with the real
// daemons.  Start and stop keep apart through the status word only, so a race
// may end in any state; what must hold is that nothing crashes, no file is
// torn, nothing runs unaccounted for, and one more stop always cleans up.
#include <unistd.h>

#include <random>

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

}  // namespace
}  // namespace e2e
