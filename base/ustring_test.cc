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

// Positions stay 32-bit on every target, 64-bit hosts included.
static_assert(sizeof(ustring::size_type) == 4, "32-bit positions");
static_assert(npos == 0xFFFFFFFFu, "npos is all ones");

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
  EXPECT_EQ(4u, ustring().capacity());
  EXPECT_EQ(4u, ustring().capacity16());
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
  // Short lengths are checked against std::string in SearchesAgreeWithReference.
  const Case cases[] = {{0, npos, "hello"}, {5, npos, ""}, {2, npos - 1, "llo"}, {0, 0, ""}};
  for (const Case& c : cases) {
    EXPECT_STREQ(c.expected, s.substr(c.pos, c.n).c_str()) << c.pos << "," << c.n;
  }
  EXPECT_THROW(s.substr(npos, 1), std::out_of_range);
  try {
    s.substr(6);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("substr", e.what());
  }
  EXPECT_STREQ("", ustring().substr(0).c_str());
}

// Every modifier, including those handed this string's own text (which must
// not read a buffer they have just reallocated).
TEST(UstringTest, Modifiers) {
  using size_type = ustring::size_type;
  struct Case {
    const char* start;
    void (*change)(ustring*);
    const char* expected;
  };
  const Case cases[] = {
      {"abc", [](ustring* s) { s->append(s->c_str()); }, "abcabc"},
      {"abc", [](ustring* s) { s->append(*s); }, "abcabc"},
      {"abc", [](ustring* s) { *s += *s; }, "abcabc"},
      {"xyz", [](ustring* s) { s->append(s->c_str(), 100); }, "xyzxyz"},  // at most the length
      {"xyz", [](ustring* s) { s->append(s->c_str(), 2); }, "xyzxy"},
      {"hello", [](ustring* s) { s->append(s->c_str() + 3); }, "hellolo"},
      {"ab", [](ustring* s) { s->append(*s, 1, npos); }, "abb"},
      {"keep", [](ustring* s) { s->assign(s->c_str()); }, "keep"},
      {"keep", [](ustring* s) { s->assign(s->c_str(), 2); }, "ke"},  // own buffer: truncates
      {"ke", [](ustring* s) { s->assign(s->c_str(), 10); }, "ke"},
      {"selfish", [](ustring* s) { *s = static_cast<const ustring&>(*s); }, "selfish"},
      {"selfish", [](ustring* s) { s->assign(*s, 2, 3); }, "lfi"},
      {"tailpiece", [](ustring* s) { s->assign(s->c_str() + 4); }, "piece"},
      {"piece", [](ustring* s) { s->assign(s->c_str() + 1, 2); }, "ie"},
      {"", [](ustring* s) { s->append("ab").append("cdef", 2).append('x', 3); }, "abcdxxx"},
      {"", [](ustring* s) { s->append(std::string("0123"), 1, 2); }, "12"},
      {"ab", [](ustring* s) { s->append(ustring("uvw"), 1); }, "abvw"},
      {"ab", [](ustring* s) { s->append("", 5).append('\0', 4); }, "ab"},
      {"ab", [](ustring* s) { s->append(static_cast<const char*>(nullptr)); }, "ab"},
      {"ab", [](ustring* s) { s->append(std::string("p\0q", 3)); }, "abp"},
      {"caf", [](ustring* s) { s->append(u"\u00e9"); }, "caf\xc3\xa9"},
      {"x", [](ustring* s) { s->append(u"\u20acxyz", 2); }, "x\xe2\x82\xacx"},
      {"x", [](ustring* s) { s->append(size_type{2}, u'\u00fc'); }, "x\xc3\xbc\xc3\xbc"},
      {"x", [](ustring* s) { s->assign(u"\U0001F600"); }, "\xf0\x9f\x98\x80"},  // surrogates
      {"x", [](ustring* s) { s->assign(size_type{3}, u'a'); }, "aaa"},
      {"aaa", [](ustring* s) { s->append(s->utf16()); }, "aaaaaa"},
      {"aaaaaa", [](ustring* s) { s->assign(s->utf16() + 4); }, "aa"},
      {"  padded\t\n", [](ustring* s) { s->trim(); }, "padded"},
      {"xxabcxx", [](ustring* s) { s->trim_left("x"); }, "abcxx"},
      {"xxabcxx", [](ustring* s) { s->trim_right("x"); }, "xxabc"},
      {"xxx", [](ustring* s) { s->trim("x"); }, ""},
      {"abc", [](ustring* s) { s->trim(""); }, "abc"},
      {"abc", [](ustring* s) { s->at(1) = 'B', (*s)[2] = 'C'; }, "aBC"},
  };
  for (const Case& c : cases) {
    ustring s(c.start);
    c.change(&s);
    EXPECT_STREQ(c.expected, s.c_str()) << "from " << c.start;
    EXPECT_EQ(strlen(c.expected), s.length()) << "from " << c.start;
  }
  EXPECT_EQ(2u, ustring(u"\U0001F600").utf16_length());

  // Failed operations change nothing.
  ustring s("abc");
  EXPECT_THROW(s.append(std::string("abc"), 4), std::out_of_range);
  try {
    s.assign(std::string("abc"), 4);
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ("basic_string::substr", e.what());
  }
  EXPECT_THROW(s.append(ustring("abc"), 4), std::out_of_range);
  EXPECT_STREQ("abc", s.c_str());  // failed operations change nothing
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

// The result is the difference of the first differing pair of unsigned bytes.
TEST(UstringTest, CompareAndOrder) {
  struct Case {
    const char* a;
    const char* b;
    bool ignore_case;
    int result;
  };
  const Case cases[] = {
      {"abc", "ABD", true, 'c' - 'd'},
      {"abc", "ABD", false, 'a' - 'A'},
      {"ABC", "abc", true, 0},
      {"ab", "abc", false, -'c'},  // terminating NUL against 'c'
      {"", "", false, 0},
      {"\xc3\xa9", "z", false, 0xC3 - 'z'},         // unsigned: after every ASCII byte
      {"\xc3\x89", "\xc3\xa9", true, 0x89 - 0xA9},  // only ASCII letters are folded
      {"[", "a", true, '[' - 'a'},
      {"[", "A", false, '[' - 'A'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, ustring(c.a).compare(ustring(c.b), c.ignore_case))
        << c.a << " vs " << c.b << " ignore=" << c.ignore_case;
    EXPECT_EQ(c.result, ustring(c.a).compare(c.b, c.ignore_case)) << c.a << " vs " << c.b;
  }
  EXPECT_TRUE(ustring("a") < ustring("b") && ustring("b") > ustring("a"));
  EXPECT_TRUE(ustring("a") <= ustring("a") && ustring("a") >= ustring("a"));
  EXPECT_FALSE(ustring("b") <= ustring("a") || ustring("a") >= ustring("b"));
  EXPECT_TRUE(ustring("a") == ustring("a") && ustring("a") != ustring("b"));
  EXPECT_FALSE(ustring("A") == ustring("a"));
  EXPECT_TRUE(ustring("x") == "x" && "x" == ustring("x"));
  EXPECT_TRUE(ustring("x") != "y" && "y" != ustring("x"));

  std::map<ustring, int> m = {{"\xc3\xa9t\xc3\xa9", 3}, {"zebra", 2}, {"Apple", 1}, {"apple", 1}};
  std::vector<std::string> order;
  for (const auto& entry : m) order.push_back(entry.first.c_str());
  EXPECT_EQ((std::vector<std::string>{"Apple", "apple", "zebra", "\xc3\xa9t\xc3\xa9"}), order);
}

TEST(UstringTest, SingleByteSearches) {
  const ustring s("path/to//file.txt");
  EXPECT_EQ(5u, s.find('t', 3));
  EXPECT_EQ(npos, s.find('\0'));
  EXPECT_EQ(2u, s.rfind('t', 4));
  EXPECT_EQ(npos, ustring().rfind('a'));
  EXPECT_EQ(4u, s.find_first_of('/'));
  EXPECT_EQ(1u, s.find_first_not_of('p'));
  EXPECT_EQ(8u, s.find_last_of('/'));
  EXPECT_EQ(15u, s.find_last_not_of('t'));
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

TEST(UstringTest, NormalizeRoundTrip) {
  const ustring composed("Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9");       // NFC
  const ustring decomposed("Cre\xcc\x80me bru\xcc\x82le\xcc\x81");  // NFD
  ustring s;
  EXPECT_EQ(decomposed, s.normalize(composed, ustring::kNFD));
  EXPECT_EQ(composed, s.normalize(s, ustring::kNFC));  // in place
  EXPECT_EQ(ustring("plain"), s.normalize(ustring("plain"), ustring::kNFC));
  EXPECT_TRUE(s.normalize(ustring(), ustring::kNFD).empty());
}

// ICU failures warn on standard error and leave an empty result.
TEST(UstringTest, ConversionFailures) {
  testing::internal::CaptureStderr();
  ustring s("text");
  const char16_t lone_surrogate[] = {0xD800, 0};
  s.append(lone_surrogate);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(0u, s.utf16_length());
  EXPECT_EQ(0u, err.find("Warning: u_strToUTF8: error code ")) << err;
  EXPECT_NE(std::string::npos, err.find(" at line ")) << err;

  s = "ab\xff";
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, s.utf16()[0]);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, err.find("Warning: u_strFromUTF8: error code 10 at line ")) << err;
  EXPECT_EQ('\n', err.back());
  EXPECT_STREQ("ab\xff", s.c_str());  // the UTF-8 text is kept

  testing::internal::CaptureStderr();
  s.normalize(ustring("abc"), 7);
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(s.empty());
  // The normaliser's warning is the only one that ends without a line end.
  EXPECT_EQ(0u, err.find("Warning: unorm_normalize: error code 1 at line ")) << err;
  EXPECT_EQ(err.size() - 1, err.find_last_of("0123456789")) << err;
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

TEST(UstringTest, Hash) {
  std::hash<ustring> h;
  EXPECT_EQ(h(ustring("same")), h(ustring(std::string("same"))));
  EXPECT_NE(h(ustring("one")), h(ustring("two")));
}

// Random texts over a small alphabet (with a UTF-8 lead byte) checked against
// std::string, whose search results agree with ours except for the few edge
// rules handled in the reference below (find and rfind with an empty needle or
// text, and positions at or past the end).
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
      ustring::size_type start = pos >= len ? static_cast<ustring::size_type>(len - 1) : pos;
      ustring::size_type want_rfind =
          len == 0 ? npos : (needle.empty() ? start : to32(text.rfind(needle, start)));
      // Every search in its three needle forms: C string, ustring, std::string.
      const ustring::size_type want[] = {
          want_find,
          want_rfind,
          to32(text.find_first_of(needle, p)),
          to32(text.find_first_not_of(needle, p)),
          to32(text.find_last_of(needle, p)),
          to32(text.find_last_not_of(needle, p)),
      };
      const char* c = needle.c_str();
      const ustring un(needle);
      const ustring::size_type got[][3] = {
          {u.find(c, pos), u.find(un, pos), u.find(needle, pos)},
          {u.rfind(c, pos), u.rfind(un, pos), u.rfind(needle, pos)},
          {u.find_first_of(c, pos), u.find_first_of(un, pos), u.find_first_of(needle, pos)},
          {u.find_first_not_of(c, pos), u.find_first_not_of(un, pos),
           u.find_first_not_of(needle, pos)},
          {u.find_last_of(c, pos), u.find_last_of(un, pos), u.find_last_of(needle, pos)},
          {u.find_last_not_of(c, pos), u.find_last_not_of(un, pos),
           u.find_last_not_of(needle, pos)},
      };
      for (int kind = 0; kind < 6; ++kind) {
        for (int form = 0; form < 3; ++form) {
          EXPECT_EQ(want[kind], got[kind][form]) << "search " << kind << " form " << form << ": '"
                                                 << text << "' / '" << needle << "' @" << pos;
        }
      }
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
