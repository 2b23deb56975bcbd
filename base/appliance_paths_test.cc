#include "base/appliance_paths.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "base/test_root.h"

namespace {

TEST(AppliancePathsTest, ResolvePathStaysInsideTheRoot) {
  // Below the real /tmp, so that links written with the host view match it.
  char real_tmp[PATH_MAX];
  test_support::TestRoot root("appliance_paths_test", realpath("/tmp", real_tmp));
  root.Write("/data/real/file.txt", "x");
  root.Write("/etc/drift-marker-only-in-root", "x");
  const char* links[][2] = {{"real", "/data/rel"},   {"/data/real", "/abs"},
                            {"/etc", "/toetc"},      {"../../../../../data", "/data/real/up"},
                            {"/", "/toroot"},        {"loop2", "/loop1"},
                            {"loop1", "/loop2"},     {"self", "/self"},
                            {"/data/rel", "/chain"}, {"missing-target", "/dangling"}};
  for (const auto& link : links) root.Link(link[0], link[1]);
  root.Link(root.Host("/data/real"), "/hostview");  // the host view of the root
  const std::string own_process = "/proc/" + std::to_string(getpid());
  const struct {
    const char* path;
    const char* resolved;  // nullptr: fails with `error`
    int error;
  } cases[] = {{"/", "/", 0},
               {"/abs/file.txt", "/data/real/file.txt", 0},
               {"/toetc/drift-marker-only-in-root", "/etc/drift-marker-only-in-root", 0},
               {"/hostview/file.txt", "/data/real/file.txt", 0},
               {"/data/real/up/real/file.txt", "/data/real/file.txt", 0},
               {"/../data/./real//file.txt", "/data/real/file.txt", 0},
               {"/toroot/data", "/data", 0},
               {"/chain", "/data/real", 0},
               {"/proc/self", own_process.c_str(), 0},
               {"/dev/nothing", nullptr, ENOENT},
               {"/dangling", nullptr, ENOENT},
               {"/loop2/x", nullptr, ELOOP},
               {"/self", nullptr, ELOOP},
               {"/data/real/file.txt/below", nullptr, ENOTDIR},
               {"relative/path", nullptr, EINVAL}};
  for (const auto& c : cases) {
    std::string resolved = "unchanged";
    errno = 0;
    const bool ok = paths::ResolvePath(c.path, &resolved);
    EXPECT_EQ(c.resolved ? c.resolved : "unchanged", resolved) << c.path;
    EXPECT_EQ(c.resolved ? 0 : c.error, ok ? 0 : errno) << c.path;
  }
  // Without a root an absolute link is taken as it is.
  unsetenv("DRIFT_ROOT");
  std::string resolved;
  ASSERT_TRUE(paths::ResolvePath(root.Host("/hostview"), &resolved));
  EXPECT_EQ(root.Host("/data/real"), resolved);
}

}  // namespace
