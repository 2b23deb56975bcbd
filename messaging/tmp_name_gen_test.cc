#include "messaging/tmp_name_gen.h"

#include <string.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

bool AllFromAlphabet(const std::string& name) {
  return name.find_first_not_of(TmpNameGen::kAlphabet) == std::string::npos;
}

// Known answers for fixed keys (the key zero-filled to 256 bytes, the RC4
// schedule, 6 output bytes per name with the counters restarted, 48 bits read
// as 8 groups of 6).  Worked out independently of this implementation.
TEST(TmpNameGenTest, KnownSequences) {
  struct Case {
    const char* key;
    const char* names[3];
  };
  const Case cases[] = {
      {"Key", {"HW1iIvI0", "K9YyJglm", "Lf5smJWo"}},
      {"1700000000-123456", {"4e-5Metp", "J8x3FAX9", "2SrkJCfK"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    TmpNameGen gen(reinterpret_cast<const uint8_t*>(c.key), strlen(c.key));
    for (const char* expected : c.names) EXPECT_EQ(expected, gen.Next().str());
  }
}

TEST(TmpNameGenTest, NamesAndPathsAreEightAlphabetCharactersAndDistinct) {
  EXPECT_EQ(64u, strlen(TmpNameGen::kAlphabet));
  std::set<std::string> seen;
  for (int i = 0; i < 5000; ++i) {
    std::string name = TmpNameGen::Instance().Next().str();
    ASSERT_EQ(8u, name.size()) << name;
    ASSERT_TRUE(AllFromAlphabet(name)) << name;
    seen.insert(name);
  }
  EXPECT_EQ(5000u, seen.size());

  std::string path = TmpNameGen::TempPath("/some/dir").str();
  ASSERT_EQ(strlen("/some/dir/") + 8, path.size());
  EXPECT_EQ(0u, path.find("/some/dir/"));
  EXPECT_TRUE(AllFromAlphabet(path.substr(10)));
}

TEST(TmpNameGenTest, ConcurrentCallersGetDistinctNames) {
  std::vector<std::vector<std::string>> names(4);
  std::vector<std::thread> threads;
  for (auto& list : names) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 500; ++i) list.push_back(TmpNameGen::Instance().Next().str());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> all;
  for (const auto& list : names) all.insert(list.begin(), list.end());
  EXPECT_EQ(2000u, all.size());
}

}  // namespace
