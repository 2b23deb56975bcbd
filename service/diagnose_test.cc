// The collection of links behind the diagnostic archive; the archive itself
// is tested end to end.
#include "service/diagnose.h"

#include <limits.h>
#include <sys/stat.h>

#include <string>

#include "service/service_test_util.h"

namespace {

using service_test::TestRoot;

class CollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/var/log");
    root_.MakeDir("/c");
    for (const char* name : {"messages", "messages.1", "other.log"}) {
      root_.Write(std::string("/var/log/") + name, name);
    }
    root_.Write("/top-file", "x");
  }
  // Where the link for `path` in the collection points ("" when there is none).
  std::string Link(const std::string& path) const {
    char target[PATH_MAX];
    const ssize_t n = readlink(root_.Host("/c" + path).c_str(), target, sizeof(target) - 1);
    return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
  }

  TestRoot root_;
};

TEST_F(CollectionTest, AddToCollection) {
  const struct {
    const char* pattern;
    int result;
    const char* linked;  // a path now linked to its real place, or null
  } cases[] = {
      // A trailing star links every entry with the prefix.
      {"/var/log/messages*", 0, "/var/log/messages.1"},
      {"/top-*", 0, "/top-file"},
      // A star elsewhere adds nothing; a plain path is linked even when it is
      // missing.
      {"/var/log/*.log", 0, nullptr},
      {"/var/log/dfvt/client.log", 0, "/var/log/dfvt/client.log"},
      {"/var/log/other.log", 0, "/var/log/other.log"},
      {"/var/log/other.log", -1, nullptr},  // the link exists
      {"no-slash", -1, nullptr},
      // A relative path would grow folders beside the collection.
      {"volume1/@driftvault/file", -1, nullptr},
      {"/var/missing/messages*", -1, nullptr},  // opendir fails
      {"/top-file/x", -1, nullptr},             // a link where a folder must go
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AddToCollection(c.pattern, "/c"), c.result) << c.pattern;
    if (c.linked != nullptr) {
      EXPECT_EQ(Link(c.linked), root_.Host(c.linked)) << c.pattern;
    }
  }
  EXPECT_EQ(Link("/var/log/messages"), root_.Host("/var/log/messages"));
  EXPECT_EQ(Link("/var/log/other.log.x"), "");
  EXPECT_FALSE(root_.Exists("/cvolume1"));
  EXPECT_EQ(AddToCollection("/var/log/messages", ""), -1);
  // An entry named with a star is linked literally.
  root_.Write("/var/log/a*", "star");
  EXPECT_EQ(AddToCollection("/var/log/a*", "/c"), 0);
  EXPECT_EQ(Link("/var/log/a*"), root_.Host("/var/log/a*"));

  // Removing the collection takes links and folders, never their targets.
  EXPECT_EQ(RemoveCollection("/c"), 0);
  EXPECT_FALSE(root_.Exists("/c"));
  EXPECT_EQ(root_.Read("/var/log/messages"), "messages");
  EXPECT_EQ(RemoveCollection(""), 0);
  EXPECT_EQ(RemoveCollection("/c"), -1);
}

TEST_F(CollectionTest, Folders) {
  EXPECT_EQ(MakeFolderPath("/a/b/c"), 0);
  EXPECT_EQ(MakeFolderPath("/a/b/d/"), 0);
  EXPECT_TRUE(root_.Exists("/a/b/c/.") && root_.Exists("/a/b/d/."));
  EXPECT_EQ(MakeFolderPath("/top-file/x"), -1);
  EXPECT_EQ(MakeFolderPath(""), -1);
  std::string d = "keep";
  EXPECT_EQ(MakeTempFolder("/no-such-base", &d), -1);
  EXPECT_EQ(d, "keep");
  ASSERT_EQ(MakeTempFolder("/tmp", &d), 0);
  EXPECT_EQ(d.compare(0, 5, "/tmp/"), 0) << d;
  EXPECT_EQ(d.size(), 11u);
  struct stat st;
  ASSERT_EQ(stat(root_.Host(d).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // The system root itself, however it is spelled, is refused: a missing log
  // must not become a link to itself at its own place.
  root_.MakeDir("/var/log/dfvt");
  for (const char* system_root : {"/", "//", "/var/.."}) {
    EXPECT_EQ(DiagnoseToFolder(system_root), 0) << system_root;
    EXPECT_FALSE(root_.Exists("/var/log/dfvt/client.log")) << system_root;
  }
  EXPECT_EQ(WriteZip("", 1), -1);
}

}  // namespace
