#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

constexpr char kLog[] = "/var/log/tarn-events.log";

// "YYYY-MM-DDTHH:MM:SS+HHMM"
bool IsTimeStamp(const std::string& s) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd+dddd";
  if (s.size() != shape.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (shape[i] == 'd') {
      if (s[i] < '0' || s[i] > '9') return false;
    } else if (shape[i] == '+') {
      if (s[i] != '+' && s[i] != '-') return false;
    } else if (s[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    size_t next = s.find(sep, pos);
    parts.push_back(s.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
    if (next == std::string::npos) return parts;
    pos = next + 1;
  }
}

TEST(EventLog, OneLinePerEvent) {
  TestRoot root;
  root.MakeDir("/var/log");
  ASSERT_EQ(TARNLogSet1(1, 1, 0x11B01050, "Drift Vault", "", "", ""), 0);
  ASSERT_EQ(TARNLogSet1(1, 1, 0x11B01051, "Drift Vault", nullptr, "two\nlines", "tab\there"), 0);
  const std::vector<std::string> lines = Split(root.Read(kLog), '\n');
  ASSERT_EQ(lines.size(), 3u);  // two lines and the empty rest after the last line end
  EXPECT_EQ(lines[2], "");
  const std::vector<std::vector<std::string>> expected = {
      {"1", "1", "0x11B01050", "Drift Vault", "", "", ""},
      {"1", "1", "0x11B01051", "Drift Vault", "", "two lines", "tab here"},
  };
  for (size_t i = 0; i < 2; ++i) {
    std::vector<std::string> fields = Split(lines[i], '\t');
    ASSERT_EQ(fields.size(), 8u) << lines[i];
    EXPECT_TRUE(IsTimeStamp(fields[0])) << fields[0];
    EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()), expected[i]);
  }
}

TEST(EventLog, AppendsToExistingLogAndNeedsItsFolder) {
  TestRoot root;
  EXPECT_EQ(TARNLogSet1(1, 1, 0x11B01050, "Drift Vault", "", "", ""), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
  root.Write(kLog, "earlier line\n");
  ASSERT_EQ(TARNLogSet1(2, 3, 0x1, "a", "b", "c", "d"), 0);
  const std::string text = root.Read(kLog);
  ASSERT_EQ(text.rfind("earlier line\n", 0), 0u);
  const std::string added = text.substr(13);
  EXPECT_NE(added.find("\t2\t3\t0x00000001\ta\tb\tc\td\n"), std::string::npos) << added;
}

}  // namespace
}  // namespace host_platform
