#include "base/ustring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>

namespace {

using size_type = ustring::size_type;
const size_type npos = ustring::npos;
static_assert(sizeof(size_type) == 4 && npos == 0xFFFFFFFFu, "32-bit positions on every target");

// A request n from capacity c keeps the buffer when c/2 <= n <= c, else reallocates to exactly n.
TEST(UstringTest, CapacityRuleForBothBuffers) {
  const size_type cases[][3] = {{4, 4, 4},   {4, 2, 4},  {4, 5, 5},      {4, 1, 1},
                                {11, 5, 11}, {11, 4, 4}, {100, 50, 100}, {100, 49, 49}};
  EXPECT_TRUE(ustring().capacity() == 4 && ustring().capacity16() == 4);
  for (const auto& c : cases) {
    ustring s, t;
    s.reserve(c[0]), s.reserve(c[1]), t.reserve16(c[0]), t.reserve16(c[1]);
    EXPECT_EQ(c[2] * 65537, s.capacity() + 65536 * t.capacity16()) << c[0] << " -> " << c[1];
  }
  ustring s;  // "abc" fits the first 4 bytes; each append that does not fit grows exactly
  EXPECT_EQ(4u, s.append("abc").capacity());
  EXPECT_EQ(5u, s.append("d").capacity());
  EXPECT_EQ(11u, s.append("efghij").capacity());
  EXPECT_EQ(11u, (s.clear(), s.capacity()));  // clear keeps the buffer
  EXPECT_EQ(3u, s.assign("xy").capacity());   // a small assignment shrinks it
  ustring cut("0123456789");
  cut.reserve(4);  // below the text: truncated, still terminated
  EXPECT_EQ("012", cut.str());
}

// Every constructor and modifier, those handed this string's own text included.
TEST(UstringTest, ConstructorsAndModifiers) {
  struct Case {
    ustring start;
    void (*change)(ustring*);
    const char* expected;
  } const cases[] = {
      {ustring(std::string("ab\0cd", 5)), [](ustring* s) { *s += ustring('\0'); }, "ab"},
      {ustring(static_cast<const char*>(nullptr)), [](ustring* s) { s->append(u"h\u00e9"); },
       "h\xc3\xa9"},
      {"abc", [](ustring* s) { s->append(s->c_str()).append(*s); }, "abcabcabcabc"},
      {"xyz", [](ustring* s) { s->append(s->c_str(), 100).append(s->c_str(), 2); }, "xyzxyzxy"},
      {"hello", [](ustring* s) { s->append(s->c_str() + 3).append(*s, 6, npos); }, "helloloo"},
      {"keep",
       [](ustring* s) { s->assign(s->c_str()).assign(s->c_str(), 10).assign(s->c_str(), 2); },
       "ke"},
      {"selfish", [](ustring* s) { *s = static_cast<const ustring&>(*s); }, "selfish"},
      {"selfish", [](ustring* s) { s->assign(*s, 2, 3); }, "lfi"},
      {"tailpiece", [](ustring* s) { s->assign(s->c_str() + 4).assign(s->c_str() + 1, 2); }, "ie"},
      {"ab", [](ustring* s) { s->append("cd", 1).append('x', 2).append(std::string("p\0q", 3)); },
       "abcxxp"},
      {"x", [](ustring* s) { s->append(u"\u20acxyz", 2).append(ustring::size_type{2}, u'\u00fc'); },
       "x\xe2\x82\xacx\xc3\xbc\xc3\xbc"},
      {"x", [](ustring* s) { s->assign(size_type{3}, u'a').append(s->utf16()); }, "aaaaaa"},
      {"aaaaab", [](ustring* s) { s->assign(s->utf16() + 4); }, "ab"},
      {" xxabcyy\t\n", [](ustring* s) { s->trim().trim_left("x").trim_right("y"); }, "abc"},
      {"xxx", [](ustring* s) { s->trim_right("x"); }, ""},
      {"xxx", [](ustring* s) { s->trim_left("x"); }, ""},
      {"left", [](ustring* s) { *s = "<" + *s + ustring("R") + "c" + '!' + u"\u00e9" + u'\u20ac'; },
       "<leftRc!\xc3\xa9\xe2\x82\xac"},
      {"hello", [](ustring* s) { *s = s->substr(5) + s->substr(2, npos - 1) + s->substr(0, 0); },
       "llo"}};
  for (const Case& c : cases) {
    ustring s(c.start);
    c.change(&s);
    EXPECT_STREQ(c.expected, s.c_str()) << "from " << c.start;
    EXPECT_EQ(strlen(c.expected), s.length()) << "from " << c.start;
  }
  EXPECT_EQ(2u, ustring(u"\U0001F600").utf16_length());
  // Out of range: the library's messages, and nothing changed.
  ustring s("abc");
  auto message = [&](void (*op)(ustring*)) {
    try {
      op(&s);
    } catch (const std::out_of_range& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ("substr", message([](ustring* t) { t->substr(4); }));
  EXPECT_EQ("substr", message([](ustring* t) { t->append(ustring("ab"), 3); }));
  EXPECT_EQ("basic_string::substr", message([](ustring* t) { t->assign(std::string("ab"), 3); }));
  EXPECT_EQ("basic_string::substr", message([](ustring* t) { t->append(std::string("ab"), 3); }));
  EXPECT_STREQ("abc", s.c_str());
}

// The difference of the first differing pair of unsigned (case-folded ASCII) bytes.
TEST(UstringTest, CompareOrderAndStreams) {
  const struct {
    const char *a, *b;
    bool ignore_case;
    int result;
  } cases[] = {{"abc", "ABD", true, 'c' - 'd'},  {"abc", "ABD", false, 'a' - 'A'},
               {"AbZ", "aBz", true, 0},          {"ab", "abc", false, -'c'},
               {"\xc3", "z", false, 0xC3 - 'z'}, {"\xc3\x89", "\xc3\xa9", true, 0x89 - 0xA9},
               {"[", "a", true, '[' - 'a'},      {"[", "A", false, '[' - 'A'}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.result, ustring(c.a).compare(ustring(c.b), c.ignore_case)) << c.a << " " << c.b;
    EXPECT_EQ(c.result, ustring(c.a).compare(c.b, c.ignore_case)) << c.a << " " << c.b;
  }
  const ustring a("a"), b("b");
  EXPECT_TRUE(a < b && b > a && a <= a && a >= a && !(b <= a) && !(a >= b) && !(a > a));
  EXPECT_TRUE(a == ustring("a") && a != b && !(ustring("A") == a) && !(a != "a"));
  EXPECT_TRUE(a == "a" && "a" == a && a != "b" && "b" != a && !("a" != a) && !(a == "b"));
  EXPECT_NE(std::hash<ustring>()(a), std::hash<ustring>()(b));
  std::ostringstream out;
  std::istringstream in("  \xc3\xa9 ");
  ustring word("old");
  in >> word >> word;  // nothing left for the second: unchanged
  EXPECT_EQ("a|\xc3\xa9", (out << a << '|' << word, out.str()));
}

// The UTF-16 form is rebuilt after every change; ICU failures warn on standard
// error and leave an empty result.
TEST(UstringTest, Utf16FormNormalisationAndFailures) {
  ustring s("h\xc3\xa9");
  EXPECT_EQ(2u, s.utf16_length());
  const char16_t* first = s.utf16();
  EXPECT_EQ(first, s.utf16());        // cached: not converted again
  ustring nine("123456789"), normal;  // conversions make room for the text and its NUL
  EXPECT_EQ(10u, ustring(u"123456789").capacity());
  EXPECT_EQ(10u, (nine.utf16(), nine.capacity16()));
  EXPECT_EQ(10u, normal.normalize(nine, ustring::kNFC).capacity16());
  EXPECT_EQ(u"h\u00e9!", std::u16string(s.append("!").utf16()));
  EXPECT_EQ(u"\u20ac", std::u16string(s.assign("\xe2\x82\xac").utf16()));
  EXPECT_EQ(u"", std::u16string((s.clear(), s.utf16())));
  const ustring nfc("Cr\xc3\xa8me br\xc3\xbbl\xc3\xa9"), nfd("Cre\xcc\x80me bru\xcc\x82le\xcc\x81");
  EXPECT_EQ(nfd, s.normalize(nfc, ustring::kNFD));
  EXPECT_EQ(nfc, s.normalize(s, ustring::kNFC));  // in place
  EXPECT_TRUE(s.normalize(ustring(), ustring::kNFD).empty());
  for (const char* valid : {"", "\xf0\x9f\x98\x80"}) EXPECT_TRUE(ustring(valid).is_valid_utf8());
  for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "a\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(ustring(bad).is_valid_utf8()) << bad;
  }

  auto warning = [](const std::function<void()>& act) {
    testing::internal::CaptureStderr();
    act();
    return testing::internal::GetCapturedStderr();
  };
  const char16_t lone_surrogate[] = {0xD800, 0};
  std::string err = warning([&] { s.assign("text").append(lone_surrogate); });
  EXPECT_TRUE(s.empty() && s.utf16_length() == 0);
  EXPECT_EQ(0u, err.find("Warning: u_strToUTF8: error code ")) << err;
  s = "ab\xff";
  err = warning([&] { EXPECT_EQ(0, s.utf16()[0]); });
  EXPECT_EQ(0u, err.find("Warning: u_strFromUTF8: error code 10 at line ")) << err;
  EXPECT_EQ('\n', err.back());
  EXPECT_STREQ("ab\xff", s.c_str());  // the UTF-8 text is kept
  err = warning([&] { s.normalize(ustring("abc"), 7); });
  EXPECT_TRUE(s.empty());
  // The normaliser's warning is the only one without a line end.
  EXPECT_EQ(0u, err.find("Warning: unorm_normalize: error code 1 at line ")) << err;
  EXPECT_EQ(err.size() - 1, err.find_last_of("0123456789")) << err;
}

// Random texts over a small alphabet (with a UTF-8 lead byte) against
// std::string, with the few rules where ours differ (find and rfind with an
// empty needle or text, positions at or past the end) in the reference.  Each
// search runs with the needle as a C string, a ustring, a std::string and,
// for one-byte needles, a char.
#define FORMS(f)                                            \
  {                                                         \
    u.f(n.c_str(), pos), u.f(ustring(n), pos), u.f(n, pos), \
        n.size() == 1 ? u.f(n[0], pos) : u.f(n, pos)        \
  }
TEST(UstringTest, SearchesAgreeWithReference) {
  std::mt19937 rng(20240611);
  const char alphabet[] = {'a', 'b', '/', '\xc3', '\xa9'};
  auto random_text = [&](size_t max_length) {
    std::string text(rng() % (max_length + 1), ' ');
    for (char& c : text) c = alphabet[rng() % sizeof(alphabet)];
    return text;
  };
  auto to32 = [](size_t n) { return n == std::string::npos ? npos : static_cast<size_type>(n); };
  for (int round = 0; round < 3000 && !::testing::Test::HasFailure(); ++round) {
    const std::string text = random_text(12), needle = random_text(3);
    const ustring u(text);
    const size_type len = static_cast<size_type>(text.size());
    for (size_type pos : {size_type{0}, size_type{1}, size_type{3}, len, len + 1, npos}) {
      for (const std::string& n : {needle, needle.substr(0, 1)}) {
        auto check = [&](const char* what, size_type want, std::initializer_list<size_type> got) {
          for (size_type g : got)
            EXPECT_EQ(want, g) << what << " '" << text << "' '" << n << "' @" << pos;
        };
        const size_t p = pos == npos ? std::string::npos : pos;
        const size_type start = pos >= len ? len - 1 : pos;
        check("find", pos >= len ? npos : n.empty() ? pos : to32(text.find(n, p)), FORMS(find));
        check("rfind",
              len == 0    ? npos
              : n.empty() ? start
                          : to32(text.rfind(n, start)),
              FORMS(rfind));
        check("first_of", to32(text.find_first_of(n, p)), FORMS(find_first_of));
        check("first_not_of", to32(text.find_first_not_of(n, p)), FORMS(find_first_not_of));
        check("last_of", to32(text.find_last_of(n, p)), FORMS(find_last_of));
        check("last_not_of", to32(text.find_last_not_of(n, p)), FORMS(find_last_not_of));
      }
      EXPECT_EQ(pos <= len ? text.substr(pos, 2) : "-", pos <= len ? u.substr(pos, 2).str() : "-");
    }
    const int ref = strcmp(text.c_str(), needle.c_str()), cmp = u.compare(ustring(needle));
    EXPECT_EQ((ref > 0) - (ref < 0), (cmp > 0) - (cmp < 0)) << text << " vs " << needle;
  }
}
#undef FORMS

}  // namespace
