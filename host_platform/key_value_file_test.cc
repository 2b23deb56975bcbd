#include "host_platform/key_value_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

constexpr char kConf[] = "/etc/test.conf";

template <size_t N>
std::string Bytes(const char (&literal)[N]) {  // NULs included
  return std::string(literal, N - 1);
}

// "result value" of a lookup of `key` in a buffer of `size` bytes.
std::string Get(const char* key, int size) {
  std::vector<char> buf(static_cast<size_t>(size), '#');
  int result = TLIBCFileGetKeyValue(kConf, key, buf.data(), size, 0);
  return std::to_string(result) + " " + buf.data();
}

TEST(KeyValueFile, WriteTableRefusalsAndRemoval) {
  const struct {
    std::string before;  // "<missing>": no file
    const char *value, *format;
    std::string after;
  } cases[] = {
      {"<missing>", "v", nullptr, "k=\"v\"\n"},
      {"<missing>", "v", "%s=%s\n", "k=v\n"},
      {"a=1\n", "v", "%s=\"%s\"", "a=1\nk=\"v\"\n"},  // a line end is added
      {Bytes("# c\n  foo = bar \nk=\"old\"\nbad line\n\x01\0\n"), "new", nullptr,
       Bytes("# c\n  foo = bar \nk=\"new\"\nbad line\n\x01\0\n")},
      {"k=1\nx=2\nk=3\n", "v", nullptr, "k=\"v\"\nx=2\n"},  // later duplicates dropped
      {"k=\"unterminated\nx=1\n", "v", nullptr, "k=\"v\"\nx=1\n"},
      {"a=1\r\nk=2\r\nb=3\r\n", "v", nullptr, "a=1\r\nk=\"v\"\nb=3\r\n"},
      {"<missing>", "say \"hi\"", nullptr, "k=\"say \"hi\"\"\n"},
  };
  for (const auto& c : cases) {
    TestRoot root;
    root.MakeDir("/etc");
    if (c.before != "<missing>") root.Write(kConf, c.before);
    EXPECT_EQ(TLIBCFileSetKeyValue(kConf, "k", c.value, c.format), 0) << c.after;
    EXPECT_EQ(root.Read(kConf), c.after);
    EXPECT_EQ(Get("k", 64), std::to_string(strlen(c.value)) + " " + c.value);  // reads back
  }
  // What would not read back is refused.
  const struct {
    const char *key, *value, *format;
  } refused[] = {
      {"k", "two\nlines", nullptr}, {"", "v", nullptr},       {"a=b", "v", nullptr},
      {"a b", "v", nullptr},        {"#k", "v", nullptr},     {"k", "v", "%d=%s\n"},
      {"k", "v", "%s\n"},           {"k", "v", "%s=%s=%s\n"}, {"k", "v", "%s\n=%s\n"},
      {"k", " padded ", "%s=%s\n"}, {"k", "v", "%s=\"%s\"%"},
  };
  TestRoot root;
  root.Write(kConf, "keep=\"me\"\n");
  ASSERT_EQ(chmod(root.Host(kConf).c_str(), 0600), 0);
  for (const auto& c : refused) {
    EXPECT_EQ(TLIBCFileSetKeyValue(kConf, c.key, c.value, c.format), -1) << c.key << c.value;
    EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_BAD_PARAMETERS);
  }
  EXPECT_EQ(root.Read(kConf), "keep=\"me\"\n");
  ASSERT_EQ(TLIBCFileSetKeyValue(kConf, "k", "v", nullptr), 0);
  struct stat st;
  ASSERT_EQ(stat(root.Host(kConf).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // the rewrite keeps the mode
  EXPECT_EQ(TLIBCFileSetKeyValue("/no/such/folder.conf", "k", "v", nullptr), -1);
  // Removing drops every line of the key; a missing key or file is no error.
  root.Write(kConf, "a=1\nk=\"v\"\n# c\nk=2\n");
  EXPECT_EQ(RemoveKeyValue(kConf, "k") + RemoveKeyValue(kConf, "k"), 0);
  EXPECT_EQ(root.Read(kConf), "a=1\n# c\n");
  EXPECT_EQ(RemoveKeyValue("/etc/absent.conf", "k"), 0);
  EXPECT_FALSE(root.Exists("/etc/absent.conf"));
}

}  // namespace
}  // namespace host_platform
