#include "base/ustring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const ustring::size_type npos = ustring::npos;

TEST(UstringTest, NposIsAllOnes32Bit) {
  EXPECT_EQ(0xFFFFFFFFu, npos);
  EXPECT_EQ(-1, static_cast<int32_t>(npos));
  EXPECT_EQ(4u, sizeof(ustring::size_type));
}

TEST(UstringTest, Construction) {
  struct Case {
    ustring value;
    const char* text;
  };
  std::string with_nul("ab\0cd", 5);
  const Case cases[] = {
      {ustring(), ""},
      {ustring("hello"), "hello"},
      {ustring(static_cast<const char*>(nullptr)), ""},
      {ustring(std::string("std")), "std"},
      {ustring(with_nul), "ab"},  // copying stops at the first NUL
      {ustring('x'), "x"},
      {ustring('\0'), ""},
      {ustring(u"h\u00e9"), "h\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.text, c.value.c_str());
    EXPECT_EQ(strlen(c.text), c.value.length());
    EXPECT_EQ(c.value.length() == 0, c.value.empty());
  }
  ustring original("copy me");
  ustring copy(original);
  original.append("!");
  EXPECT_STREQ("copy me", copy.c_str());
  EXPECT_NE(original.c_str(), copy.c_str());
}

TEST(UstringTest, NewStringHasFourBytesAndFourUnits) {
  ustring s;
  EXPECT_EQ(4u, s.capacity());
  EXPECT_EQ(4u, s.capacity16());
  EXPECT_STREQ("", s.c_str());
}

TEST(UstringTest, CapacityRule) {
  // From a capacity c, a request n keeps the buffer when c/2 <= n <= c and
  // otherwise reallocates to exactly n.
  struct Case {
    ustring::size_type start;
    ustring::size_type request;
    ustring::size_type expected;
  };
  const Case cases[] = {
      {4, 4, 4},   {4, 2, 4},      {4, 3, 4},     {4, 5, 5},         {4, 1, 1},
      {10, 5, 10}, {10, 4, 4},     {10, 11, 11},  {11, 5, 11},       {11, 4, 4},
      {11, 6, 11}, {100, 50, 100}, {100, 49, 49}, {100, 1000, 1000},
  };
  for (const Case& c : cases) {
    ustring s;
    s.reserve(c.start);
    ASSERT_EQ(c.start, s.capacity());
    s.reserve(c.request);
    EXPECT_EQ(c.expected, s.capacity()) << c.start << " -> " << c.request;
    ustring t;
    t.reserve16(c.start);
    t.reserve16(c.request);
    EXPECT_EQ(c.expected, t.capacity16()) << "utf16 " << c.start << " -> " << c.request;
  }
}

TEST(UstringTest, AppendGrowsExactlyAndShrinking) {
  ustring s;
  s.append("abc");  // needs 4: fits the initial buffer
  EXPECT_EQ(4u, s.capacity());
  s.append("d");  // needs 5: exact reallocation, no doubling
  EXPECT_EQ(5u, s.capacity());
  s.append("efghij");
  EXPECT_EQ(11u, s.capacity());
  EXPECT_STREQ("abcdefghij", s.c_str());

  // clear keeps the capacity; the next small assignment shrinks it to size.
  s.clear();
  EXPECT_EQ(11u, s.capacity());
  EXPECT_TRUE(s.empty());
  s.assign("xy");
  EXPECT_EQ(3u, s.capacity());
  EXPECT_STREQ("xy", s.c_str());

  // Shrinking below the text truncates it, keeping it terminated.
  ustring long_text("0123456789");
  long_text.reserve(4);
  EXPECT_EQ(4u, long_text.capacity());
  EXPECT_STREQ("012", long_text.c_str());
  EXPECT_EQ(3u, long_text.length());
}

TEST(UstringTest, SubstrBoundaries) {
  const ustring s("hello");
  struct Case {
    ustring::size_type pos;
    ustring::size_type n;
    const char* expected;
  };
  const Case cases[] = {
      {0, npos, "hello"}, {1, 3, "ell"}, {3, 100, "lo"}, {4, 1, "o"},
      {5, 0, ""},         {5, npos, ""}, {0, 0, ""},     {2, npos - 1, "llo"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.expected, s.substr(c.pos, c.n).c_str()) << c.pos << "," << c.n;
  }
  EXPECT_THROW(s.substr(6), std::out_of_range);
  EXPECT_THROW(s.substr(npos, 1), std::out_of_range);
  try {
    s.substr(6);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("substr", e.what());
  }
  EXPECT_STREQ("", ustring().substr(0).c_str());
}

TEST(UstringTest, SelfAppendDoubles) {
  ustring s("abc");
  s.append(s.c_str());
  EXPECT_STREQ("abcabc", s.c_str());
  s.append(s);
  EXPECT_STREQ("abcabcabcabc", s.c_str());
  s += s;
  EXPECT_EQ(24u, s.length());

  ustring t("xyz");
  t.append(t.c_str(), 100);  // self-append copies at most the length
  EXPECT_STREQ("xyzxyz", t.c_str());
  ustring u("xyz");
  u.append(u.c_str(), 2);
  EXPECT_STREQ("xyzxy", u.c_str());
  ustring v("hello");
  v.append(v.c_str() + 3);  // a tail of its own text
  EXPECT_STREQ("hellolo", v.c_str());
  ustring w("ab");
  w.append(w, 1, npos);
  EXPECT_STREQ("abb", w.c_str());
}

TEST(UstringTest, SelfAssign) {
  ustring s("keep");
  s.assign(s.c_str());
  EXPECT_STREQ("keep", s.c_str());
  s.assign(s.c_str(), 2);  // own buffer: truncates
  EXPECT_STREQ("ke", s.c_str());
  s.assign(s.c_str(), 10);  // longer than the text: unchanged
  EXPECT_STREQ("ke", s.c_str());

  ustring t("selfish");
  const ustring& alias = t;
  t = alias;
  EXPECT_STREQ("selfish", t.c_str());
  t.assign(t, 2, 3);
  EXPECT_STREQ("lfi", t.c_str());
  ustring u("tailpiece");
  u.assign(u.c_str() + 4);
  EXPECT_STREQ("piece", u.c_str());
  u.assign(u.c_str() + 1, 2);
  EXPECT_STREQ("ie", u.c_str());
}

TEST(UstringTest, AppendForms) {
  ustring s;
  s.append("ab").append("cdef", 2).append('x', 3).append(std::string("0123"), 1, 2);
  EXPECT_STREQ("abcdxxx12", s.c_str());
  s.append(ustring("uvw"), 1);
  EXPECT_STREQ("abcdxxx12vw", s.c_str());
  s.append("", 5).append(static_cast<const char*>(nullptr)).append('\0', 4);
  EXPECT_STREQ("abcdxxx12vw", s.c_str());
  std::string with_nul("p\0q", 3);
  s.append(with_nul);
  EXPECT_STREQ("abcdxxx12vwp", s.c_str());

  EXPECT_THROW(s.append(std::string("abc"), 4), std::out_of_range);
  try {
    s.assign(std::string("abc"), 4);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("basic_string::substr", e.what());
  }
  EXPECT_THROW(s.append(ustring("abc"), 4), std::out_of_range);
  EXPECT_STREQ("abcdxxx12vwp", s.c_str());  // failed operations change nothing
}

TEST(UstringTest, Operators) {
  ustring a("left");
  EXPECT_STREQ("leftright", (a + ustring("right")).c_str());
  EXPECT_STREQ("left-c", (a + "-c").c_str());
  EXPECT_STREQ("left!", (a + '!').c_str());
  EXPECT_STREQ("left\xc3\xa9", (a + u"\u00e9").c_str());
  EXPECT_STREQ("left\xe2\x82\xac", (a + u'\u20ac').c_str());
  EXPECT_STREQ("pre-left", ("pre-" + a).c_str());
  EXPECT_STREQ("left", a.c_str());

  std::ostringstream out;
  out << a << '|' << ustring("\xc3\xa9");
  EXPECT_EQ("left|\xc3\xa9", out.str());

  std::istringstream in("  first second");
  ustring word("old");
  in >> word;
  EXPECT_STREQ("first", word.c_str());
  in >> word;
  EXPECT_STREQ("second", word.c_str());
  in >> word;  // nothing left: unchanged
  EXPECT_STREQ("second", word.c_str());
}

TEST(UstringTest, CompareTable) {
  struct Case {
    const char* a;
    const char* b;
    bool ignore_case;
    int sign;
  };
  const Case cases[] = {
      {"abc", "ABD", true, -1},  // c < d once folded
      {"abc", "ABD", false, 1},  // 'a' (97) > 'A' (65)
      {"abc", "abc", false, 0},
      {"ABC", "abc", true, 0},
      {"ab", "abc", false, -1},  // terminating NUL against 'c'
      {"abc", "ab", false, 1},
      {"", "", false, 0},
      {"\xc3\xa9", "z", false, 1},         // unsigned: 0xC3 after every ASCII byte
      {"\xc3\x89", "\xc3\xa9", true, -1},  // only ASCII letters are folded
      {"[", "a", true, -1},                // '[' (91) vs 'a' (97) after folding
      {"[", "A", false, 1},
  };
  for (const Case& c : cases) {
    int result = ustring(c.a).compare(ustring(c.b), c.ignore_case);
    int sign = (result > 0) - (result < 0);
    EXPECT_EQ(c.sign, sign) << c.a << " vs " << c.b << " ignore=" << c.ignore_case;
  }
  // The result is the difference of the first differing bytes.
  EXPECT_EQ('a' - 'A', ustring("abc").compare(ustring("ABD")));
  EXPECT_EQ('c' - 'd', ustring("abc").compare(ustring("ABD"), true));
  EXPECT_EQ(-'c', ustring("ab").compare("abc"));
  EXPECT_EQ(0xC3 - 'z', ustring("\xc3\xa9").compare("z"));
}

TEST(UstringTest, RelationalOperatorsAndMapOrder) {
  EXPECT_TRUE(ustring("a") == ustring("a"));
  EXPECT_TRUE(ustring("a") != ustring("b"));
  EXPECT_TRUE(ustring("a") < ustring("b"));
  EXPECT_TRUE(ustring("b") > ustring("a"));
  EXPECT_TRUE(ustring("a") <= ustring("a"));
  EXPECT_TRUE(ustring("a") >= ustring("a"));
  EXPECT_FALSE(ustring("A") == ustring("a"));
  EXPECT_TRUE(ustring("x") == "x");
  EXPECT_TRUE("x" == ustring("x"));
  EXPECT_TRUE(ustring("x") != "y");
  EXPECT_TRUE("y" != ustring("x"));

  std::map<ustring, int> m;
  m["\xc3\xa9t\xc3\xa9"] = 3;  // été
  m["zebra"] = 2;
  m["Apple"] = 1;
  m["apple"] = 1;
  std::vector<std::string> order;
  for (const auto& entry : m) order.push_back(entry.first.c_str());
  const std::vector<std::string> expected = {"Apple", "apple", "zebra", "\xc3\xa9t\xc3\xa9"};
  EXPECT_EQ(expected, order);
}

TEST(UstringTest, FindTable) {
  const ustring s("abcabc");
  struct Case {
    const char* needle;
    ustring::size_type pos;
    ustring::size_type expected;
  };
  const Case cases[] = {
      {"abc", 0, 0},        {"abc", 1, 3},     {"bc", 0, 1},  {"c", 5, 5},    {"abcd", 0, npos},
      {"", 0, 0},           {"", 3, 3},        {"", 6, npos},  // empty needle at the length: npos
      {"a", 6, npos},       {"a", npos, npos}, {"cab", 0, 2}, {"x", 0, npos}, {"abcabc", 0, 0},
      {"abcabcx", 0, npos}, {"bc", 5, npos},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, s.find(c.needle, c.pos)) << c.needle << " @" << c.pos;
    EXPECT_EQ(c.expected, s.find(ustring(c.needle), c.pos)) << c.needle;
    EXPECT_EQ(c.expected, s.find(std::string(c.needle), c.pos)) << c.needle;
  }
  EXPECT_EQ(2u, s.find('c'));
  EXPECT_EQ(5u, s.find('c', 3));
  EXPECT_EQ(npos, s.find('\0'));
  EXPECT_EQ(npos, ustring().find(""));
}

TEST(UstringTest, RfindTable) {
  const ustring s("abcabc");
  struct Case {
    const char* needle;
    ustring::size_type pos;
    ustring::size_type expected;
  };
  const Case cases[] = {
      {"abc", npos, 3}, {"abc", 3, 3},     {"abc", 2, 0},
      {"abc", 100, 3},  {"c", npos, 5},    {"c", 4, 2},
      {"c", 1, npos},   {"x", npos, npos}, {"", npos, 5},  // start position
      {"", 2, 2},       {"", 6, 5},        {"abcabcabc", npos, npos},
      {"a", 0, 0},      {"bca", npos, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, s.rfind(c.needle, c.pos)) << c.needle << " @" << c.pos;
    EXPECT_EQ(c.expected, s.rfind(ustring(c.needle), c.pos)) << c.needle;
    EXPECT_EQ(c.expected, s.rfind(std::string(c.needle), c.pos)) << c.needle;
  }
  EXPECT_EQ(3u, s.rfind('a'));
  EXPECT_EQ(0u, s.rfind('a', 2));
  EXPECT_EQ(npos, ustring().rfind(""));
  EXPECT_EQ(npos, ustring().rfind('a'));
}

TEST(UstringTest, FindOfTable) {
  const ustring s("path/to//file.txt");
  // 0123456789...: p0 a1 t2 h3 /4 t5 o6 /7 /8 f9 i10 l11 e12 .13 t14 x15 t16
  enum Kind { kFirstOf, kFirstNotOf, kLastOf, kLastNotOf };
  struct Case {
    Kind kind;
    const char* set;
    ustring::size_type pos;
    ustring::size_type expected;
  };
  const Case cases[] = {
      {kFirstOf, "/", 0, 4},       {kFirstOf, "/.", 9, 13},
      {kFirstOf, "/", 17, npos},   {kFirstOf, "", 0, npos},
      {kFirstOf, "z", 0, npos},    {kFirstNotOf, "path", 0, 4},
      {kFirstNotOf, "/", 7, 9},    {kFirstNotOf, "", 3, 3},
      {kFirstNotOf, "", 17, npos}, {kFirstNotOf, "path/ofilex.", 0, npos},
      {kLastOf, "/", npos, 8},     {kLastOf, "/", 6, 4},
      {kLastOf, "/", 3, npos},     {kLastOf, "", npos, npos},
      {kLastOf, "t", 100, 16},     {kLastNotOf, "txt.", npos, 12},
      {kLastNotOf, "/", 8, 6},     {kLastNotOf, "", npos, 16},
      {kLastNotOf, "", 5, 5},      {kLastNotOf, "path/ofilex.", npos, npos},
  };
  for (const Case& c : cases) {
    ustring::size_type got = 0;
    ustring::size_type got_u = 0;
    ustring::size_type got_s = 0;
    switch (c.kind) {
      case kFirstOf:
        got = s.find_first_of(c.set, c.pos);
        got_u = s.find_first_of(ustring(c.set), c.pos);
        got_s = s.find_first_of(std::string(c.set), c.pos);
        break;
      case kFirstNotOf:
        got = s.find_first_not_of(c.set, c.pos);
        got_u = s.find_first_not_of(ustring(c.set), c.pos);
        got_s = s.find_first_not_of(std::string(c.set), c.pos);
        break;
      case kLastOf:
        got = s.find_last_of(c.set, c.pos);
        got_u = s.find_last_of(ustring(c.set), c.pos);
        got_s = s.find_last_of(std::string(c.set), c.pos);
        break;
      case kLastNotOf:
        got = s.find_last_not_of(c.set, c.pos);
        got_u = s.find_last_not_of(ustring(c.set), c.pos);
        got_s = s.find_last_not_of(std::string(c.set), c.pos);
        break;
    }
    EXPECT_EQ(c.expected, got) << c.kind << " '" << c.set << "' @" << c.pos;
    EXPECT_EQ(c.expected, got_u) << c.kind << " '" << c.set << "'";
    EXPECT_EQ(c.expected, got_s) << c.kind << " '" << c.set << "'";
  }
  EXPECT_EQ(4u, s.find_first_of('/'));
  EXPECT_EQ(1u, s.find_first_not_of('p'));
  EXPECT_EQ(8u, s.find_last_of('/'));
  EXPECT_EQ(15u, s.find_last_not_of('t'));
  EXPECT_EQ(npos, ustring().find_last_of("a"));
  EXPECT_EQ(npos, ustring().find_first_not_of(""));
}

TEST(UstringTest, Utf16CacheFollowsChanges) {
  ustring s("h\xc3\xa9");
  const char16_t* first = s.utf16();
  EXPECT_EQ(std::u16string(u"h\u00e9"), std::u16string(first));
  EXPECT_EQ(2u, s.utf16_length());
  // A read does not convert again: same buffer and contents.
  EXPECT_EQ(first, s.utf16());

  const struct {
    void (*change)(ustring*);
    const char16_t* expected;
  } changes[] = {
      {[](ustring* t) { t->append("!"); }, u"h\u00e9!"},
      {[](ustring* t) { t->assign("\xe2\x82\xac"); }, u"\u20ac"},
      {[](ustring* t) { *t = ustring("abc"); }, u"abc"},
      {[](ustring* t) { t->append('z', 2); }, u"abczz"},
      {[](ustring* t) { t->trim_right("z"); }, u"abc"},
      {[](ustring* t) { t->clear(); }, u""},
  };
  for (const auto& c : changes) {
    s.utf16();  // cache the current form
    c.change(&s);
    EXPECT_EQ(std::u16string(c.expected), std::u16string(s.utf16())) << s.c_str();
  }
}

TEST(UstringTest, Utf16AppendAndAssign) {
  ustring s("caf");
  s.append(u"\u00e9");
  EXPECT_STREQ("caf\xc3\xa9", s.c_str());
  s.append(u"\u20acxyz", 2);
  EXPECT_STREQ("caf\xc3\xa9\xe2\x82\xacx", s.c_str());
  s.append(static_cast<ustring::size_type>(2), u'\u00fc');
  EXPECT_STREQ("caf\xc3\xa9\xe2\x82\xacx\xc3\xbc\xc3\xbc", s.c_str());
  s.assign(u"\U0001F600");  // a surrogate pair
  EXPECT_STREQ("\xf0\x9f\x98\x80", s.c_str());
  EXPECT_EQ(2u, s.utf16_length());
  s.assign(static_cast<ustring::size_type>(3), u'a');
  EXPECT_STREQ("aaa", s.c_str());
  // Appending its own UTF-16 form doubles the text.
  s.append(s.utf16());
  EXPECT_STREQ("aaaaaa", s.c_str());
  s.assign(s.utf16() + 4);
  EXPECT_STREQ("aa", s.c_str());
}

TEST(UstringTest, InvalidUtf16ClearsTheString) {
  testing::internal::CaptureStderr();
  ustring s("text");
  const char16_t lone_surrogate[] = {0xD800, 0};
  s.append(lone_surrogate);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(0u, s.utf16_length());
  EXPECT_EQ(0u, err.find("Warning: u_strToUTF8: error code ")) << err;
  EXPECT_NE(std::string::npos, err.find(" at line ")) << err;
}

TEST(UstringTest, InvalidUtf8WarnsOnConversion) {
  ustring s("ab\xff");
  testing::internal::CaptureStderr();
  const char16_t* u = s.utf16();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, u[0]);
  EXPECT_EQ(0u, err.find("Warning: u_strFromUTF8: error code 10 at line ")) << err;
  EXPECT_STREQ("ab\xff", s.c_str());  // the UTF-8 text is kept
}

TEST(UstringTest, NormalizeRoundTrip) {
  const char* composed = "Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9";       // Crème brûlée, NFC
  const char* decomposed = "Cre\xcc\x80me bru\xcc\x82le\xcc\x81";  // combining marks, NFD
  ustring nfd;
  nfd.normalize(ustring(composed), ustring::kNFD);
  EXPECT_STREQ(decomposed, nfd.c_str());
  ustring nfc;
  nfc.normalize(nfd, ustring::kNFC);
  EXPECT_STREQ(composed, nfc.c_str());
  // Normalising in place works too.
  nfc.normalize(nfc, ustring::kNFD);
  EXPECT_STREQ(decomposed, nfc.c_str());
  // Already-normal ASCII is unchanged; an empty source gives an empty result.
  ustring ascii;
  ascii.normalize(ustring("plain"), ustring::kNFC);
  EXPECT_STREQ("plain", ascii.c_str());
  ustring empty("junk");
  empty.normalize(ustring(), ustring::kNFD);
  EXPECT_TRUE(empty.empty());
}

TEST(UstringTest, NormalizeFailureWarnsAndIsEmpty) {
  testing::internal::CaptureStderr();
  ustring result("x");
  result.normalize(ustring("abc"), 7);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(0u, err.find("Warning: unorm_normalize: error code ")) << err;
}

TEST(UstringTest, Utf8Validity) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"ascii", true},
      {"\xc3\xa9", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xc3", false},              // truncated sequence
      {"\xff", false},              // never a UTF-8 byte
      {"\xc0\xaf", false},          // overlong "/"
      {"\xed\xa0\x80", false},      // encoded surrogate
      {"a\x80", false},             // stray continuation byte
      {"\xf4\x90\x80\x80", false},  // beyond U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.valid, ustring(c.text).is_valid_utf8()) << testing::PrintToString(c.text);
  }
}

TEST(UstringTest, Trimming) {
  ustring s("  padded\t\n");
  s.trim();
  EXPECT_STREQ("padded", s.c_str());
  ustring t("xxabcxx");
  t.trim_left("x");
  EXPECT_STREQ("abcxx", t.c_str());
  t.trim_right("x");
  EXPECT_STREQ("abc", t.c_str());
  ustring all("xxx");
  all.trim("x");
  EXPECT_TRUE(all.empty());
  ustring none("abc");
  none.trim("");
  EXPECT_STREQ("abc", none.c_str());
}

TEST(UstringTest, AtAndHash) {
  ustring s("abc");
  s.at(1) = 'B';
  EXPECT_STREQ("aBc", s.c_str());
  EXPECT_EQ('c', s[2]);
  std::hash<ustring> h;
  EXPECT_EQ(h(ustring("same")), h(ustring(std::string("same"))));
  EXPECT_NE(h(ustring("one")), h(ustring("two")));
}

// Random texts over a small alphabet (with a UTF-8 lead byte) checked against
// std::string, whose search results agree with ours except for the few edge
// rules handled in the reference below.
TEST(UstringTest, SearchesAgreeWithReference) {
  std::mt19937 rng(20240611);
  const char alphabet[] = {'a', 'b', '/', '\xc3', '\xa9'};
  auto random_text = [&](size_t max_length) {
    std::string text(rng() % (max_length + 1), ' ');
    for (char& c : text) c = alphabet[rng() % sizeof(alphabet)];
    return text;
  };
  auto to32 = [](size_t n) {
    return n == std::string::npos ? npos : static_cast<ustring::size_type>(n);
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random_text(12);
    const std::string needle = random_text(3);
    const ustring u(text);
    const size_t len = text.size();
    const ustring::size_type positions[] = {
        0,   1, 3, static_cast<ustring::size_type>(len), static_cast<ustring::size_type>(len + 1),
        npos};
    for (ustring::size_type pos : positions) {
      const size_t p = pos == npos ? std::string::npos : pos;
      ustring::size_type want_find =
          pos >= len ? npos : (needle.empty() ? pos : to32(text.find(needle, p)));
      EXPECT_EQ(want_find, u.find(needle.c_str(), pos)) << text << " / " << needle << " @" << pos;
      ustring::size_type start = pos >= len ? static_cast<ustring::size_type>(len - 1) : pos;
      ustring::size_type want_rfind =
          len == 0 ? npos : (needle.empty() ? start : to32(text.rfind(needle, start)));
      EXPECT_EQ(want_rfind, u.rfind(needle.c_str(), pos)) << text << " / " << needle << " @" << pos;
      EXPECT_EQ(to32(text.find_first_of(needle, p)), u.find_first_of(needle.c_str(), pos));
      EXPECT_EQ(to32(text.find_first_not_of(needle, p)), u.find_first_not_of(needle.c_str(), pos));
      EXPECT_EQ(to32(text.find_last_of(needle, p)), u.find_last_of(needle.c_str(), pos));
      EXPECT_EQ(to32(text.find_last_not_of(needle, p)), u.find_last_not_of(needle.c_str(), pos));
      if (pos <= len) {
        EXPECT_EQ(text.substr(pos, 2), u.substr(pos, 2).str());
      } else {
        EXPECT_THROW(u.substr(pos, 2), std::out_of_range);
      }
    }
    int cmp = u.compare(ustring(needle));
    int ref = strcmp(text.c_str(), needle.c_str());
    EXPECT_EQ((ref > 0) - (ref < 0), (cmp > 0) - (cmp < 0)) << text << " vs " << needle;
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
