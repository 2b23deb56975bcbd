#include "messaging/tmp_name_gen.h"

#include <string.h>

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

}  // namespace
