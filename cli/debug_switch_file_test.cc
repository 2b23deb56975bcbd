#include "cli/debug_switch_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "base/test_root.h"

namespace {

using Pairs = std::map<std::string, std::string>;
constexpr char kFile[] = "/switch.debug";

class DebugSwitchFileTest : public ::testing::Test {
 protected:
  // Writes `content` as the file and reads it back.
  int Load(const std::string& content, Pairs* pairs) {
    root_.Write(kFile, content);
    std::map<ustring, ustring> read;
    int result = ReadKeyValueFile(ustring(kFile), &read);
    pairs->clear();
    for (const auto& entry : read) (*pairs)[entry.first.str()] = entry.second.str();
    return result;
  }

  test_support::TestRoot root_{"debug_switch_test"};
};

struct GrammarCase {
  const char* title;
  std::string content;
  int result;
  Pairs pairs;
};

const GrammarCase kGrammarCases[] = {
    {"one pair", "user_mgr_debug=7\n", 0, {{"user_mgr_debug", "7"}}},
    {"key charset and blanks",
     "  Key.name-9_x \t= value\t  # note\n",
     0,
     {{"Key.name-9_x", "value"}}},
    {"comments and blank lines", "# header\n\n   \n\t# indented\n", 0, {}},
    {"empty file", "", 0, {}},
    {"later duplicate wins", "a=1\nb=2\na=3\n", 0, {{"a", "3"}, {"b", "2"}}},
    {"key directly followed by a comment", "a#=1\nb=2\n", 0, {{"b", "2"}}},
    {"bare key on a last line without line feed", "a=1\nbare", 0, {{"a", "1"}}},
    {"last pair without line feed", "a=1\nb=2", 0, {{"a", "1"}, {"b", "2"}}},
    {"double quoted value with blank and comment",
     "q=\"two words\"   # c\n",
     0,
     {{"q", "two words"}}},
    {"single quoted value", "q='it works'\n", 0, {{"q", "it works"}}},
    {"quote of the other kind inside", "q=\"it's\"\n", 0, {{"q", "it's"}}},
    {"quoted value then comment without blank", "q = \"x y\"#c\n", 0, {{"q", "x y"}}},
    {"hash inside an unquoted value", "q=a#b\n", 0, {{"q", "a#b"}}},
    {"value ended by a tab", "q=ab\t# c\n", 0, {{"q", "ab"}}},
    {"carriage return line end", "a=1\r\nb=2\r\n", 0, {{"a", "1"}, {"b", "2"}}},
    {"non-number value is kept as text", "svc_debug=abc\n", 0, {{"svc_debug", "abc"}}},
    {"embedded NUL ends the line",
     std::string("a=1\0junk that is not parsed\nb=2\n", 33),
     0,
     {{"a", "1"}, {"b", "2"}}},

    {"bare key with line feed", "a=1\nbare\n", -1, {}},
    {"key and value without equals", "good=1\nkey value\n", -1, {}},
    {"empty unquoted value", "good=1\nq=\n", -1, {}},
    {"only blanks after equals", "q=   \n", -1, {}},
    {"unclosed double quote", "good=1\nq=\"open\n", -1, {}},
    {"unclosed single quote", "q='open\n", -1, {}},
    {"unquoted value with blank", "good=1\nq=two words\n", -1, {}},
    {"text after the closing quote", "q=\"a\"b\n", -1, {}},
    {"control character ends a value", "q=ab\x01\n", -1, {}},
    {"control character inside quotes", std::string("q=\"a\x02") + "b\"\n", -1, {}},
    {"DEL ends a value", "q=ab\x7f\n", -1, {}},
    {"DEL inside quotes", "q=\"a\x7f\"\n", -1, {}},
    {"tab then more text", "q=ab\tc\n", -1, {}},
    {"non-ASCII byte in the key", "k\xc3\xa9=1\n", -1, {}},
    {"malformed line before good ones", "a b\nc=1\n", -1, {}},
    {"equals alone", "=\n", -1, {}},
    // Lines longer than the buffer are read in pieces, each its own line.
    {"long key: the tail piece is the key",
     std::string(10000, 'k') + "=1\n",
     0,
     {{std::string(10000 - kDebugSwitchMaxLine, 'k'), "1"}}},
    {"long value: its tail is a bare key", "k=" + std::string(20000, 'v') + "\n", -1, {}},
    {"line feed alone in the second piece is ignored",
     "k=" + std::string(kDebugSwitchMaxLine - 2, 'v') + "\n",
     0,
     {{"k", std::string(kDebugSwitchMaxLine - 2, 'v')}}},
    {"one byte more: \"v\\n\" is a bare key",
     "k=" + std::string(kDebugSwitchMaxLine - 1, 'v') + "\n",
     -1,
     {}},
};

TEST_F(DebugSwitchFileTest, Grammar) {
  for (const GrammarCase& c : kGrammarCases) {
    SCOPED_TRACE(c.title);
    Pairs pairs;
    EXPECT_EQ(c.result, Load(c.content, &pairs));
    EXPECT_EQ(c.pairs, pairs);
  }
}

TEST_F(DebugSwitchFileTest, EntriesAlreadyInTheMap) {
  std::map<ustring, ustring> pairs = {{"a", "old"}, {"b", "old"}};
  root_.Write(kFile, "b=2\n");
  EXPECT_EQ(0, ReadKeyValueFile(ustring(kFile), &pairs));
  EXPECT_EQ((std::map<ustring, ustring>{{"a", "old"}, {"b", "2"}}), pairs);

  // A missing file or an empty path leaves the map alone.
  EXPECT_EQ(-1, ReadKeyValueFile(ustring("/no/such/file"), &pairs));
  EXPECT_EQ(-1, ReadKeyValueFile(ustring(""), &pairs));
  EXPECT_EQ(2u, pairs.size());

  // The file exists only under the root: without it the same path is missing.
  unsetenv("DRIFT_ROOT");
  EXPECT_EQ(-1, ReadKeyValueFile(ustring(kFile), &pairs));
  EXPECT_EQ(2u, pairs.size());
  setenv("DRIFT_ROOT", root_.root().c_str(), 1);

  // A malformed file empties it.
  root_.Write(kFile, "b=2\nbroken\n");
  EXPECT_EQ(-1, ReadKeyValueFile(ustring(kFile), &pairs));
  EXPECT_TRUE(pairs.empty());
}

}  // namespace
