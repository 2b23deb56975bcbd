#include "messaging/tmp_name_gen.h"

#include <string.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

// Known answers for fixed keys (the key zero-filled to 256 bytes, the RC4
// schedule, 6 output bytes per name with the counters restarted, 48 bits read
// as 8 groups of 6).  Worked out independently of this implementation.
TEST(TmpNameGenTest, KnownSequences) {
  const struct {
    const char* key;
    const char* names[3];
  } cases[] = {
      {"Key", {"HW1iIvI0", "K9YyJglm", "Lf5smJWo"}},
      {"1700000000-123456", {"4e-5Metp", "J8x3FAX9", "2SrkJCfK"}},
  };
  for (const auto& c : cases) {
    TmpNameGen gen(reinterpret_cast<const uint8_t*>(c.key), strlen(c.key));
    for (const char* expected : c.names) EXPECT_EQ(expected, gen.Next().str()) << c.key;
  }
}

// Concurrent callers of the shared generator get distinct 8-character names.
TEST(TmpNameGenTest, ConcurrentCallersGetDistinctNames) {
  EXPECT_EQ(64u, strlen(TmpNameGen::kAlphabet));
  std::vector<std::vector<std::string>> names(4);
  std::vector<std::thread> threads;
  for (auto& list : names) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 1000; ++i) list.push_back(TmpNameGen::Instance().Next().str());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> all;
  for (const auto& list : names) {
    for (const std::string& name : list) {
      ASSERT_EQ(8u, name.size()) << name;
      ASSERT_EQ(std::string::npos, name.find_first_not_of(TmpNameGen::kAlphabet)) << name;
      all.insert(name);
    }
  }
  EXPECT_EQ(4000u, all.size());

  const std::string path = TmpNameGen::TempPath("/some/dir").str();
  ASSERT_EQ(strlen("/some/dir/") + 8, path.size());
  EXPECT_EQ(0u, path.find("/some/dir/"));
  EXPECT_EQ(std::string::npos, path.find_first_not_of(TmpNameGen::kAlphabet, 10));
}

}  // namespace
