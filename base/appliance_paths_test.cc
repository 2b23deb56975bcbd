#include "base/appliance_paths.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "base/test_root.h"

namespace {

TEST(AppliancePathsTest, MappingTable) {
  test_support::TestRoot keep_env;  // restores DRIFT_ROOT at the end
  enum Kind { kRoot, kHost, kAppliance };
  struct Case {
    Kind kind;
    const char* env;  // nullptr: unset
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {kRoot, nullptr, "", ""},
      {kRoot, "/", "", ""},
      {kRoot, "//", "", ""},
      {kRoot, "/sandbox", "", "/sandbox"},
      {kRoot, "/sandbox/", "", "/sandbox"},
      {kRoot, "/sandbox//", "", "/sandbox"},
      {kRoot, "relative/root", "", ""},
      {kRoot, "", "", ""},
      // No root: every path is the appliance's own.
      {kHost, nullptr, "/var/run/x.pid", "/var/run/x.pid"},
      {kHost, nullptr, "/", "/"},
      {kHost, "/", "/var/run/x.pid", "/var/run/x.pid"},
      {kHost, "/", "/", "/"},
      // A root prefixes absolute paths, with or without its trailing slash.
      {kHost, "/sb", "/var/run/x.pid", "/sb/var/run/x.pid"},
      {kHost, "/sb/", "/var/run/x.pid", "/sb/var/run/x.pid"},
      {kHost, "/sb//", "/volume1/homes", "/sb/volume1/homes"},
      {kHost, "/sb", "/", "/sb/"},
      {kHost, "/sb", "", ""},
      // Relative paths are left alone.
      {kHost, "/sb", "relative/file", "relative/file"},
      {kHost, "/sb", "./x", "./x"},
      // The host's own /proc and /dev are never mapped, but look-alikes are.
      {kHost, "/sb", "/proc/mounts", "/proc/mounts"},
      {kHost, "/sb", "/proc", "/proc"},
      {kHost, "/sb", "/dev/null", "/dev/null"},
      {kHost, "/sb", "/dev", "/dev"},
      {kHost, "/sb", "/procedures", "/sb/procedures"},
      {kHost, "/sb", "/device/x", "/sb/device/x"},
      {kHost, "/sb", "/var/proc", "/sb/var/proc"},
      // A relative DRIFT_ROOT is ignored.
      {kHost, "sb", "/etc/passwd", "/etc/passwd"},
      {kAppliance, nullptr, "/sb/var/run", "/sb/var/run"},
      {kAppliance, "/", "/sb/var/run", "/sb/var/run"},
      {kAppliance, "/sb", "/sb/var/run", "/var/run"},
      {kAppliance, "/sb/", "/sb/var/run", "/var/run"},
      {kAppliance, "/sb", "/sb", "/"},
      {kAppliance, "/sb", "/sb/", "/"},
      {kAppliance, "/sb", "/sbx/var", "/sbx/var"},  // only whole components match
      {kAppliance, "/sb", "/other/path", "/other/path"},
      {kAppliance, "/sb", "relative", "relative"},
      {kAppliance, "/sb", "/proc/mounts", "/proc/mounts"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.env ? c.env : "(unset)") + " kind " + std::to_string(c.kind) + " " +
                 c.input);
    if (c.env == nullptr) {
      unsetenv("DRIFT_ROOT");
    } else {
      setenv("DRIFT_ROOT", c.env, 1);
    }
    const std::string got = c.kind == kRoot   ? paths::Root()
                            : c.kind == kHost ? paths::HostPath(c.input)
                                              : paths::AppliancePath(c.input);
    EXPECT_EQ(c.expected, got);
  }
}

// The root is made below the real path of /tmp, so that links written with
// the host view match it even where /tmp itself is a link.
std::string RealTmp() {
  char real[PATH_MAX];
  return realpath("/tmp", real) != nullptr ? real : "/tmp";
}

class ResolvePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/data/real");
    root_.Write("/data/real/file.txt", "x");
    root_.Write("/etc/drift-marker-only-in-root", "x");
    const std::pair<std::string, const char*> links[] = {
        {"real", "/data/rel"},                     // relative
        {"/data/real", "/abs"},                    // absolute: restarts at the root
        {"/etc", "/toetc"},                        // never the host's /etc
        {root_.Host("/data/real"), "/hostview"},   // the host view of the root
        {"../../../../../data", "/data/real/up"},  // climbs past the root
        {"/", "/toroot"},
        {root_.root(), "/tohostroot"},
        {"loop2", "/loop1"},
        {"loop1", "/loop2"},
        {"self", "/self"},
        {"/data/rel", "/chain"},  // link to a link
        {"missing-target", "/dangling"},
    };
    for (const auto& link : links) root_.Link(link.first, link.second);
  }

  test_support::TestRoot root_{"appliance_paths_test", RealTmp()};
};

TEST_F(ResolvePathTest, ResolvesInsideTheRoot) {
  const std::string own_process = "/proc/" + std::to_string(getpid());
  struct Case {
    const char* path;
    const char* resolved;  // nullptr: fails with `error`
    int error;
  };
  const Case cases[] = {
      {"/", "/", 0},
      {"/data/real/file.txt", "/data/real/file.txt", 0},
      {"/data/rel/file.txt", "/data/real/file.txt", 0},
      {"/data/rel", "/data/real", 0},
      {"/abs/file.txt", "/data/real/file.txt", 0},
      {"/toetc/drift-marker-only-in-root", "/etc/drift-marker-only-in-root", 0},
      {"/hostview/file.txt", "/data/real/file.txt", 0},
      {"/data/real/up/real/file.txt", "/data/real/file.txt", 0},
      {"/../../data/./real//file.txt", "/data/real/file.txt", 0},
      {"/data/../../../data/real", "/data/real", 0},
      {"/toroot/data", "/data", 0},
      {"/tohostroot/data/real", "/data/real", 0},
      {"/chain/file.txt", "/data/real/file.txt", 0},
      // The host's own /proc and /dev are resolved on the host.
      {"/proc/self", own_process.c_str(), 0},
      {"/dev/null", "/dev/null", 0},
      {"/dangling", nullptr, ENOENT},
      {"/data/abs", nullptr, ENOENT},
      {"/loop1", nullptr, ELOOP},
      {"/loop2/x", nullptr, ELOOP},
      {"/self", nullptr, ELOOP},
      {"/data/nothing/file", nullptr, ENOENT},
      {"/data/real/missing", nullptr, ENOENT},
      {"/data/real/file.txt/below", nullptr, ENOTDIR},
      {"relative/path", nullptr, EINVAL},
      {"", nullptr, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string resolved = "unchanged";
    errno = 0;
    bool ok = paths::ResolvePath(c.path, &resolved);
    if (c.resolved == nullptr) {
      EXPECT_FALSE(ok) << resolved;
      EXPECT_EQ(c.error, errno);
      EXPECT_EQ("unchanged", resolved);
    } else {
      EXPECT_TRUE(ok) << "errno " << errno;
      EXPECT_EQ(c.resolved, resolved);
    }
  }
}

TEST_F(ResolvePathTest, WithoutRootHostPathsResolveAsTheyAre) {
  unsetenv("DRIFT_ROOT");
  std::string resolved;
  ASSERT_TRUE(paths::ResolvePath(root_.Host("/data/rel/file.txt"), &resolved));
  EXPECT_EQ(root_.Host("/data/real/file.txt"), resolved);
  // The absolute link now leads to the host's /data, which is not ours.
  ASSERT_TRUE(paths::ResolvePath(root_.Host("/hostview"), &resolved));
  EXPECT_EQ(root_.Host("/data/real"), resolved);
}

// AdoptRootFromExecutable reads the running program's own path; it is
// exercised end to end by the package programs' tests, not here.

}  // namespace
