#include "cli/debug_switch_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "base/test_root.h"

namespace {

// The file as read, "key=value;..." (entries already in the map stay unless the file is
// malformed), or the failure's return code.
std::string Load(const test_support::TestRoot& root, const std::string& content) {
  root.Write("/switch.debug", content);
  std::map<ustring, ustring> pairs = {{"old", "1"}};
  const int rc = ReadKeyValueFile(ustring("/switch.debug"), &pairs);
  std::string text = rc == 0 ? "" : std::to_string(rc);
  for (const auto& entry : pairs) text += entry.first.str() + "=" + entry.second.str() + ";";
  return text;
}

TEST(DebugSwitchFileTest, Grammar) {
  test_support::TestRoot root("debug_switch_test");
  const std::string max(kDebugSwitchMaxLine - 2, 'v');
  const struct {
    std::string content, read;
  } cases[] = {
      {"  Key.name-9_x \t= value\t  # note\n# c\n\n \t\n", "Key.name-9_x=value;old=1;"},
      {"a=1\nb=2\na=3\nold=2", "a=3;b=2;old=2;"},  // the last pair needs no line feed
      {"a#=1\nb=2\nbare", "b=2;old=1;"},  // a bare key or one followed by a comment is ignored
      {"q=\"two words\"   # c\n", "old=1;q=two words;"},
      {"q='it\"s'#c\n", "old=1;q=it\"s;"},
      {"q=a#b\r\nr=ab\t# c\n", "old=1;q=a#b;r=ab;"},
      {std::string("a=1\0junk\nb=2\n", 13), "a=1;b=2;old=1;"},  // a NUL ends the line
      {std::string(10000, 'k') + "=1\n",
       std::string(10000 - kDebugSwitchMaxLine, 'k') + "=1;old=1;"},
      {"k=" + max + "\n", "k=" + max + ";old=1;"},  // the line feed alone in the next piece
      {"k=" + max + "v\n", "-1"},                   // "v\n" in the next piece is a bare key
      {"a=1\nbare\n", "-1"},
      {"key value\n", "-1"},
      {"q=\n", "-1"},
      {"q=   \n", "-1"},
      {"q=\"open\n", "-1"},
      {"q='open\n", "-1"},
      {"q=two words\n", "-1"},
      {"q=\"a\"b\n", "-1"},
      {"q=ab\x01\n", "-1"},
      {"q=\"a\x02\"\n", "-1"},
      {"q=ab\x7f\n", "-1"},
      {"q=\"a\x7f\"\n", "-1"},
      {"q=ab\tc\n", "-1"},
      {"k\xc3\xa9=1\n", "-1"},
      {"=\n", "-1"},
      {"a b\nc=1\n", "-1"}};
  for (const auto& c : cases) EXPECT_EQ(c.read, Load(root, c.content)) << c.content;
  // A missing file or an empty path leaves the map alone; the path lies below the root.
  std::map<ustring, ustring> pairs = {{"a", "old"}};
  EXPECT_EQ(-2, ReadKeyValueFile(ustring("/no/such/file"), &pairs) +
                    ReadKeyValueFile(ustring(""), &pairs));
  unsetenv("DRIFT_ROOT");
  EXPECT_EQ(-1, ReadKeyValueFile(ustring("/switch.debug"), &pairs));
  EXPECT_EQ(1u, pairs.size());
}

}  // namespace
