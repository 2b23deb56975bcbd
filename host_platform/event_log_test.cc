#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

TEST(EventLog, OneLinePerEventAppendedToTheLog) {
  test_support::TestRoot root;
  EXPECT_EQ(TARNLogSet1(1, 1, 0x11B01050, "Drift Vault", "", "", ""), -1);  // no folder
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
  root.Write("/var/log/tarn-events.log", "earlier line\n");
  ASSERT_EQ(TARNLogSet1(1, 1, 0x11B01050, "Drift Vault", "", "", ""), 0);
  ASSERT_EQ(TARNLogSet1(2, 3, 0x1, "a", nullptr, "two\nlines", "tab\there"), 0);
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d{4}\t";
  EXPECT_TRUE(std::regex_match(
      root.Read("/var/log/tarn-events.log"),
      std::regex("earlier line\n" + stamp + "1\t1\t0x11B01050\tDrift Vault\t\t\t\n" + stamp +
                 "2\t3\t0x00000001\ta\t\ttwo lines\ttab here\n")))
      << root.Read("/var/log/tarn-events.log");
}

}  // namespace
}  // namespace host_platform
