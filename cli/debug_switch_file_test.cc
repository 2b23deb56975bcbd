#include "cli/debug_switch_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

namespace {

using Pairs = std::map<std::string, std::string>;

// Runs every test inside a sandbox root, so that the appliance paths handed
// to the reader are mapped onto a private temporary folder.
class DebugSwitchFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/debug_switch_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
    const char* old = getenv("DRIFT_ROOT");
    had_root_ = old != nullptr;
    if (had_root_) old_root_ = old;
    setenv("DRIFT_ROOT", root_.c_str(), 1);
  }

  void TearDown() override {
    if (had_root_) {
      setenv("DRIFT_ROOT", old_root_.c_str(), 1);
    } else {
      unsetenv("DRIFT_ROOT");
    }
    unlink((root_ + kFile).c_str());
    rmdir(root_.c_str());
  }

  // Writes `content` as the file and reads it back.
  int Load(const std::string& content, Pairs* pairs) {
    {
      std::ofstream out(root_ + kFile, std::ios::binary | std::ios::trunc);
      out.write(content.data(), content.size());
    }
    std::map<ustring, ustring> read;
    int result = ReadKeyValueFile(ustring(kFile), &read);
    pairs->clear();
    for (const auto& entry : read) (*pairs)[entry.first.str()] = entry.second.str();
    return result;
  }

  static constexpr char kFile[] = "/switch.debug";
  std::string root_;
  std::string old_root_;
  bool had_root_ = false;
};

constexpr char DebugSwitchFileTest::kFile[];

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
    {"several pairs", "a=1\nb=2\nc=3\n", 0, {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
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
    {"non-number value is kept as text",
     "service_ctrl_debug=abc\n",
     0,
     {{"service_ctrl_debug", "abc"}}},

    {"bare key with line feed", "a=1\nbare\n", -1, {}},
    {"key and value without equals", "good=1\nkey value\n", -1, {}},
    {"empty unquoted value", "good=1\nq=\n", -1, {}},
    {"only blanks after equals", "q=   \n", -1, {}},
    {"unclosed double quote", "good=1\nq=\"open\n", -1, {}},
    {"unclosed single quote", "q='open\n", -1, {}},
    {"unquoted value with blank", "good=1\nq=two words\n", -1, {}},
    {"text after the closing quote", "q=\"a\"b\n", -1, {}},
    {"control character ends a value", "q=ab\x01\n", -1, {}},
    {"control character inside quotes",
     "q=\"a\x02"
     "b\"\n",
     -1,
     {}},
    {"DEL ends a value", "q=ab\x7f\n", -1, {}},
    {"DEL inside quotes", "q=\"a\x7f\"\n", -1, {}},
    {"tab then more text", "q=ab\tc\n", -1, {}},
    {"non-ASCII byte in the key", "k\xc3\xa9=1\n", -1, {}},
    {"malformed line before good ones", "a b\nc=1\n", -1, {}},
    {"equals alone", "=\n", -1, {}},
};

TEST_F(DebugSwitchFileTest, Grammar) {
  for (const GrammarCase& c : kGrammarCases) {
    SCOPED_TRACE(c.title);
    Pairs pairs;
    EXPECT_EQ(c.result, Load(c.content, &pairs));
    EXPECT_EQ(c.pairs, pairs);
  }
}

TEST_F(DebugSwitchFileTest, EmbeddedNulEndsTheLine) {
  Pairs pairs;
  EXPECT_EQ(0, Load(std::string("a=1\0junk that is not parsed\nb=2\n", 33), &pairs));
  EXPECT_EQ((Pairs{{"a", "1"}, {"b", "2"}}), pairs);
}

TEST_F(DebugSwitchFileTest, LongLinesAreReadInPieces) {
  Pairs pairs;
  // 10000 key bytes: the first 8191 end at the end of the buffer (ignored),
  // the rest is read as a line of its own.
  std::string key(10000, 'k');
  EXPECT_EQ(0, Load(key + "=1\n", &pairs));
  ASSERT_EQ(1u, pairs.size());
  EXPECT_EQ(std::string(10000 - kDebugSwitchMaxLine, 'k'), pairs.begin()->first);
  EXPECT_EQ("1", pairs.begin()->second);

  // A long value: its tail is a bare key followed by a line feed.
  EXPECT_EQ(-1, Load("k=" + std::string(20000, 'v') + "\n", &pairs));
  EXPECT_TRUE(pairs.empty());

  // A line that fills the buffer but for its line feed: the line feed is
  // read as an empty piece and ignored.
  EXPECT_EQ(0, Load("k=" + std::string(kDebugSwitchMaxLine - 2, 'v') + "\n", &pairs));
  EXPECT_EQ(std::string(kDebugSwitchMaxLine - 2, 'v'), pairs["k"]);
  // One byte more and the tail piece "v\n" is a bare key with its line feed.
  EXPECT_EQ(-1, Load("k=" + std::string(kDebugSwitchMaxLine - 1, 'v') + "\n", &pairs));
  EXPECT_TRUE(pairs.empty());
}

TEST_F(DebugSwitchFileTest, ExistingEntries) {
  {
    std::ofstream out(root_ + kFile);
    out << "b=2\n";
  }
  std::map<ustring, ustring> pairs;
  pairs[ustring("a")] = ustring("old");
  pairs[ustring("b")] = ustring("old");
  EXPECT_EQ(0, ReadKeyValueFile(ustring(kFile), &pairs));
  EXPECT_EQ(2u, pairs.size());
  EXPECT_EQ(ustring("old"), pairs[ustring("a")]);
  EXPECT_EQ(ustring("2"), pairs[ustring("b")]);

  {
    std::ofstream out(root_ + kFile);
    out << "b=2\nbroken\n";
  }
  EXPECT_EQ(-1, ReadKeyValueFile(ustring(kFile), &pairs));
  EXPECT_TRUE(pairs.empty());
}

TEST_F(DebugSwitchFileTest, MissingFileOrEmptyPath) {
  std::map<ustring, ustring> pairs;
  pairs[ustring("a")] = ustring("1");
  EXPECT_EQ(-1, ReadKeyValueFile(ustring("/no/such/file"), &pairs));
  EXPECT_EQ(-1, ReadKeyValueFile(ustring(""), &pairs));
  EXPECT_EQ(1u, pairs.size());
}

TEST_F(DebugSwitchFileTest, PathIsMappedIntoTheRoot) {
  // The file exists only under the root: reading the same appliance path
  // without the root must fail.
  Pairs pairs;
  ASSERT_EQ(0, Load("a=1\n", &pairs));
  unsetenv("DRIFT_ROOT");
  std::map<ustring, ustring> read;
  EXPECT_EQ(-1, ReadKeyValueFile(ustring(kFile), &read));
  setenv("DRIFT_ROOT", root_.c_str(), 1);
  EXPECT_EQ(0, ReadKeyValueFile(ustring(kFile), &read));
  EXPECT_EQ(1u, read.size());
}

}  // namespace
