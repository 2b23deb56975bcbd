#include "messaging/pstream_errors.h"

#include <stdint.h>
#include <string.h>

#include "gtest/gtest.h"

namespace {

TEST(PStreamErrorsTest, MessageTable) {
  const struct {
    int code;
    const char* message;
  } cases[] = {
      {0, "Successful"},
      {-1, "Interrupted"},
      {-2, "I/O error"},
      {-5, "Protocal error"},
      {-16, "Disk is full"},
      {-19, "no permission "},
      {-30, "sync folder not mounted"},
      {-31, "sync folder not mounted"},
      {-34, "file too big"},
      {-41, "Share quota full"},
      {-42, "Unknown error"},
      {1, "Unknown error"},
      {INT32_MIN, "Unknown error"},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.message, PStreamErrorMessage(c.code)) << c.code;
  for (int k = 0; k < kPStreamErrorCount; ++k) {
    EXPECT_STRNE("Unknown error", PStreamErrorMessage(-k)) << k;
    EXPECT_GT(strlen(PStreamErrorMessage(-k)), 0u) << k;
  }
}

}  // namespace
