#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "host_platform/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

constexpr char kLog[] = "/var/log/tarn-events.log";

TEST(EventLog, OneLinePerEvent) {
  TestRoot root;
  root.MakeDir("/var/log");
  ASSERT_EQ(TARNLogSet1(1, 1, 0x11B01050, "Drift Vault", "", "", ""), 0);
  ASSERT_EQ(TARNLogSet1(1, 1, 0x11B01051, "Drift Vault", nullptr, "two\nlines", "tab\there"), 0);
  const std::string text = root.Read(kLog);
  const std::regex line(
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d{4}\\t1\\t1\\t0x11B01050\\t"
      "Drift Vault\\t\\t\\t\\n"
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d{4}\\t1\\t1\\t0x11B01051\\t"
      "Drift Vault\\t\\ttwo lines\\ttab here\\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(EventLog, AppendsToExistingLog) {
  TestRoot root;
  root.Write(kLog, "earlier line\n");
  ASSERT_EQ(TARNLogSet1(2, 3, 0x1, "a", "b", "c", "d"), 0);
  const std::string text = root.Read(kLog);
  ASSERT_EQ(text.rfind("earlier line\n", 0), 0u);
  const std::string added = text.substr(13);
  EXPECT_NE(added.find("\t2\t3\t0x00000001\ta\tb\tc\td\n"), std::string::npos) << added;
}

TEST(EventLog, MissingFolderFails) {
  TestRoot root;
  EXPECT_EQ(TARNLogSet1(1, 1, 0x11B01050, "Drift Vault", "", "", ""), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
}

}  // namespace
}  // namespace host_platform
