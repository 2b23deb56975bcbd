#include "base/file_utils.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/file_op.h"
#include "base/test_root.h"

namespace {

// Folders made through every road: components, slashes, modes under the
// umask, a file in the way (replaced or not), failures with their errno and
// position; and FSMKDir, which makes a folder with its parents through them.
TEST(FileUtilsTest, MakeDirectoryPath) {
  test_support::TestRoot root{"file_utils_test"};
  auto Path = [&](const std::string& name) { return root.Host("/" + name); };
  auto Mode = [&](const std::string& name) {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0 ? st.st_mode : 0;
  };
  root.Write("/inner", "data");
  root.Write("/last", "data");
  const struct {
    std::string path;  // the position reported is where it ends or where it failed
    bool replace;
    mode_t mask, mode;
    int result, error;
    size_t position;
    std::string check;  // a folder there afterwards, with this mode
    mode_t expected;
  } cases[] = {
      {Path("a/b/c"), false, 022, kDefaultDirectoryMode, 0, 0, 0, "a/b", 0755},
      {Path("a/b/c"), false, 022, kDefaultDirectoryMode, 0, 0, 0, "a/b/c", 0755},
      {Path("t/u/"), false, 027, kDefaultDirectoryMode, 0, 0, 0, "t/u", 0750},
      {Path("x//y///z"), false, 077, 0770, 0, 0, 0, "x/y", 0770},
      {Path("inner/deeper/leaf"), false, 022, 0711, -1, ENOTDIR, Path("inner").size(), "", 0},
      {Path("last"), false, 022, 0700, -1, EEXIST, Path("last").size(), "", 0},
      {Path("inner/deeper/leaf"), true, 022, 0711, 0, 0, 0, "inner/deeper", 0711},
      {Path("last"), true, 022, kDefaultDirectoryMode, 0, 0, 0, "last", 0755},
      {"", false, 022, kDefaultDirectoryMode, -1, EINVAL, 0, "", 0},
      {"/proc/drift-no-such-entry/x", false, 022, kDefaultDirectoryMode, -1, ENOENT, 25, "", 0}};
  for (const auto& c : cases) {
    const mode_t before = umask(c.mask);
    ustring::size_type position = 12345;
    errno = 0;
    EXPECT_EQ(c.result, MakeDirectoryPath(c.path.c_str(), &position, c.replace, c.mode)) << c.path;
    EXPECT_EQ(c.mask, umask(before)) << "mask not restored";
    EXPECT_EQ(c.error, c.result ? errno : 0) << c.path;
    EXPECT_EQ(c.result ? c.position : c.path.size(), position) << c.path;
    EXPECT_EQ(c.check.empty() ? 0 : S_IFDIR | c.expected, c.check.empty() ? 0 : Mode(c.check));
  }
  // A relative path is made relative to the working folder.
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)) && chdir(root.root().c_str()) == 0);
  EXPECT_EQ(0, MakeDirectoryPath("rel/one", nullptr, false, kDefaultDirectoryMode));
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_TRUE(S_ISDIR(Mode("rel/one")));
  root.Write("/plain", "data");
  EXPECT_EQ(0, FSMKDir(Path("by/fsmkdir"), true) + FSMKDir(Path("by/fsmkdir"), false));
  EXPECT_TRUE(S_ISDIR(Mode("by/fsmkdir")));
  EXPECT_EQ(-1, FSMKDir(Path("plain"), true));
}

}  // namespace
