#include "base/file_op.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "base/test_root.h"

namespace {

class FileOpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("/switch", "file_op_debug=7\n");
    root_.CaptureLog("/log", "/switch");
    root_.MakeDir("/work");
  }
  std::string Path(const std::string& name) const { return root_.Host("/work/" + name); }
  bool Exists(const std::string& name) const { return root_.Exists("/work/" + name); }
  mode_t Mode(const std::string& name) const {
    struct stat st;
    return lstat(Path(name).c_str(), &st) == 0 ? st.st_mode : 0;
  }

  test_support::TestRoot root_{"file_op_test"};
};

TEST_F(FileOpTest, FSMKDir) {
  ASSERT_EQ(0, mkdir(Path("existing").c_str(), 0700));
  root_.Write("/work/regular", "file");
  root_.Link(Path("existing"), "/work/link");
  const struct {
    const char* name;
    bool parents;
    int expected;
  } cases[] = {{"", false, -1},           {"existing", false, 0},         {"fresh", false, 0},
               {"no/parents", false, -2}, {"with/parents/here", true, 0}, {"regular", true, -1},
               {"link", false, -1},       {"regular/below", true, -1}};
  const mode_t mask = umask(002);
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, FSMKDir(*c.name ? Path(c.name).c_str() : "", c.parents)) << c.name;
  }
  umask(mask);
  EXPECT_FALSE(Exists("no"));
  // New folders, parents included, get 0777 under the umask; the existing one is kept as it was.
  for (const char* name : {"fresh", "with", "with/parents", "with/parents/here"}) {
    EXPECT_EQ(S_IFDIR | 0775u, Mode(name)) << name;
  }
  EXPECT_EQ(S_IFDIR | 0700u, Mode("existing"));
  const std::string not_dir =
      "): FSMKDir: Create a folder but local file system is not directory '";
  EXPECT_EQ(not_dir + Path("regular") + "' (1)" + not_dir + Path("link") + "' (3)" +
                "): FSMKDir: Failed to to file info '" + Path("regular/below") + "'",
            std::regex_replace(
                root_.LogText(),
                std::regex("[A-Z][a-z]{2} [0-9]{2} [0-9:]{8} \\[ERROR\\] file-op\\([0-9]+"), ""));
}

}  // namespace
