#include "host_platform/key_value_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
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

TEST(KeyValueFile, ReadTable) {
  const std::string huge(1 << 20, 'x');
  const struct {
    std::string text;
    int size;
    std::string expected;  // of Get("k", size)
  } cases[] = {
      {"k=\"enabled\"\n", 32, "7 enabled"},
      {"k=enabled \t\n", 32, "7 enabled"},
      {"k=\"\"\n", 32, "0 "},
      {"kx=\"1\"\nxk=\"2\"\n", 32, "0 "},    // a prefix is not the key
      {"k=\"enab\nk=\"ok\"\n", 32, "2 ok"},  // an unterminated quote is no value
      {"k\n#k=\"x\"\n", 32, "0 "},
      {"k=\"a\"b\"\n", 32, "3 a\"b"},
      {"k=\"x\"\r\n", 32, "1 x"},
      {"k=\"first\"\nk=\"second\"\n", 32, "5 first"},
      {Bytes("\x01\xff\0k=\"x\"\nk=\"y\"\n"), 32, "1 y"},  // binary line skipped
      {"k=\"enabled\"\n", 8, "7 enabled"},                 // exactly fits
      {"k=\"enabled\"\n", 7, "-1 "},
      {"k=\"" + huge + "\"\n", 32, "-1 "},
      {"k=\"" + huge + "\"\n", (1 << 20) + 1, std::to_string(1 << 20) + " " + huge},
      {huge + "\nk=v\n", 32, "1 v"},
  };
  for (const auto& c : cases) {
    TestRoot root;
    root.Write(kConf, c.text);
    EXPECT_EQ(Get("k", c.size), c.expected) << c.text.substr(0, 40);
  }
  TestRoot root;
  char buf[32];
  EXPECT_EQ(TLIBCFileGetKeyValue("/etc/missing.conf", "k", buf, sizeof(buf), 0), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
  root.MakeDir("/etc/folder.conf");
  EXPECT_EQ(TLIBCFileGetKeyValue("/etc/folder.conf", "k", buf, sizeof(buf), 0), -1);
  root.Write(kConf, "k=v\n");
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "", buf, sizeof(buf), 0) +
                TLIBCFileGetKeyValue(kConf, "k", buf, 0, 0) +
                TLIBCFileGetKeyValue(kConf, "k", nullptr, 32, 0) +
                TLIBCFileGetKeyValue(nullptr, "k", buf, sizeof(buf), 0),
            -4);
  // A file beyond the size of any configuration file is refused, not read.
  ASSERT_EQ(truncate(root.Host(kConf).c_str(), kMaxPlatformFileSize + 1), 0);
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "k", buf, sizeof(buf), 0), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_READ);
  EXPECT_EQ(TLIBCFileSetKeyValue(kConf, "k", "v", nullptr), -1);  // nor replaced
  EXPECT_EQ(TLIBCFileExist(kConf) + TLIBCFileExist("/etc/absent.conf"), 1);
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

std::string g_temp_prefix;

// Ends the writer between the flushed temporary file and the rename, as a
// crash would; the exit status says whether the file was hidden beside the
// real one and complete.
void DieBeforeRename(const std::string& temp_path) {
  std::ifstream in(temp_path, std::ios::binary);
  const std::string content(std::istreambuf_iterator<char>(in), {});
  _exit(temp_path.rfind(g_temp_prefix, 0) == 0 && content == "a=1\nk=\"disabled\"\n" ? 0 : 1);
}

TEST(KeyValueFile, WriterDeadBeforeRenameLeavesOldFile) {
  TestRoot root;
  root.Write(kConf, "a=1\nk=\"enabled\"\n");
  g_temp_prefix = root.Host("/etc/.test.conf.tmp.");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SetBeforeRenameHookForTesting(DieBeforeRename);
    TLIBCFileSetKeyValue(kConf, "k", "disabled", nullptr);
    _exit(3);  // not reached: the hook never returns
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Get("k", 32), "7 enabled");
  // The next writer is not disturbed by the leftover (the lock died with the child).
  EXPECT_EQ(TLIBCFileSetKeyValue(kConf, "k", "disabled", nullptr), 0);
  EXPECT_EQ(root.Read(kConf), "a=1\nk=\"disabled\"\n");
}

}  // namespace
}  // namespace host_platform
