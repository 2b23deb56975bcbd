#include "base/appliance_paths.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

// Keeps DRIFT_ROOT as the test found it.
class RootEnv {
 public:
  RootEnv() {
    const char* old = getenv("DRIFT_ROOT");
    had_ = old != nullptr;
    if (had_) old_ = old;
  }
  ~RootEnv() {
    if (had_) {
      setenv("DRIFT_ROOT", old_.c_str(), 1);
    } else {
      unsetenv("DRIFT_ROOT");
    }
  }
  // nullptr unsets the variable.
  static void Set(const char* root) {
    if (root == nullptr) {
      unsetenv("DRIFT_ROOT");
    } else {
      setenv("DRIFT_ROOT", root, 1);
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(AppliancePathsTest, RootTable) {
  RootEnv env;
  struct Case {
    const char* env;
    const char* root;
  };
  const Case cases[] = {
      {nullptr, ""},
      {"/", ""},
      {"//", ""},
      {"/sandbox", "/sandbox"},
      {"/sandbox/", "/sandbox"},
      {"/sandbox//", "/sandbox"},
      {"relative/root", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    RootEnv::Set(c.env);
    EXPECT_EQ(c.root, paths::Root()) << (c.env ? c.env : "(unset)");
  }
}

TEST(AppliancePathsTest, HostPathTable) {
  RootEnv env;
  struct Case {
    const char* env;
    const char* path;
    const char* host;
  };
  const Case cases[] = {
      // No root: every path is the appliance's own.
      {nullptr, "/var/run/x.pid", "/var/run/x.pid"},
      {nullptr, "/", "/"},
      {"/", "/var/run/x.pid", "/var/run/x.pid"},
      {"/", "/", "/"},
      // A root prefixes absolute paths, with or without its trailing slash.
      {"/sb", "/var/run/x.pid", "/sb/var/run/x.pid"},
      {"/sb/", "/var/run/x.pid", "/sb/var/run/x.pid"},
      {"/sb//", "/volume1/homes", "/sb/volume1/homes"},
      {"/sb", "/", "/sb/"},
      {"/sb", "", ""},
      // Relative paths are left alone.
      {"/sb", "relative/file", "relative/file"},
      {"/sb", "./x", "./x"},
      // The host's own /proc and /dev are never mapped, but look-alikes are.
      {"/sb", "/proc/mounts", "/proc/mounts"},
      {"/sb", "/proc", "/proc"},
      {"/sb", "/dev/null", "/dev/null"},
      {"/sb", "/dev", "/dev"},
      {"/sb", "/procedures", "/sb/procedures"},
      {"/sb", "/device/x", "/sb/device/x"},
      {"/sb", "/var/proc", "/sb/var/proc"},
      // A relative DRIFT_ROOT is ignored.
      {"sb", "/etc/passwd", "/etc/passwd"},
  };
  for (const Case& c : cases) {
    RootEnv::Set(c.env);
    EXPECT_EQ(c.host, paths::HostPath(c.path)) << (c.env ? c.env : "(unset)") << " + " << c.path;
  }
}

TEST(AppliancePathsTest, AppliancePathTable) {
  RootEnv env;
  struct Case {
    const char* env;
    const char* host;
    const char* appliance;
  };
  const Case cases[] = {
      {nullptr, "/sb/var/run", "/sb/var/run"},
      {"/", "/sb/var/run", "/sb/var/run"},
      {"/sb", "/sb/var/run", "/var/run"},
      {"/sb/", "/sb/var/run", "/var/run"},
      {"/sb", "/sb", "/"},
      {"/sb", "/sb/", "/"},
      {"/sb", "/sbx/var", "/sbx/var"},  // only whole components match
      {"/sb", "/other/path", "/other/path"},
      {"/sb", "relative", "relative"},
      {"/sb", "/proc/mounts", "/proc/mounts"},
  };
  for (const Case& c : cases) {
    RootEnv::Set(c.env);
    EXPECT_EQ(c.appliance, paths::AppliancePath(c.host))
        << (c.env ? c.env : "(unset)") << " - " << c.host;
  }
  // Round trip of a mapped path.
  RootEnv::Set("/sb");
  EXPECT_EQ("/volume1/x", paths::AppliancePath(paths::HostPath("/volume1/x")));
}

class ResolvePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/appliance_paths_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    // The root itself may lie below a linked /tmp: use its real path so that
    // links written with the host view match it.
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(tmpl, real));
    root_ = real;
    RootEnv::Set(root_.c_str());

    MakeDir("/data");
    MakeDir("/data/real");
    MakeFile("/data/real/file.txt");
    MakeDir("/etc");
    MakeFile("/etc/drift-marker-only-in-root");
    Link("real", "/data/rel");                     // relative
    Link("/data/real", "/abs");                    // absolute: restarts at the root
    Link("/etc", "/toetc");                        // never the host's /etc
    Link(root_ + "/data/real", "/hostview");       // the host view of the root
    Link("../../../../../data", "/data/real/up");  // climbs past the root
    Link("/", "/toroot");
    Link(root_, "/tohostroot");
    Link("loop2", "/loop1");
    Link("loop1", "/loop2");
    Link("self", "/self");
    Link("/data/rel", "/chain");  // link to a link
    Link("missing-target", "/dangling");
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }

  void MakeDir(const std::string& appliance) {
    ASSERT_EQ(0, mkdir((root_ + appliance).c_str(), 0755)) << appliance;
  }
  void MakeFile(const std::string& appliance) {
    std::ofstream out((root_ + appliance).c_str());
    out << "x";
    ASSERT_TRUE(static_cast<bool>(out)) << appliance;
  }
  void Link(const std::string& target, const std::string& appliance) {
    ASSERT_EQ(0, symlink(target.c_str(), (root_ + appliance).c_str())) << appliance;
  }

  RootEnv env_;
  std::string root_;
};

TEST_F(ResolvePathTest, ResolvesInsideTheRoot) {
  struct Case {
    const char* path;
    const char* resolved;
  };
  const Case cases[] = {
      {"/", "/"},
      {"/data/real/file.txt", "/data/real/file.txt"},
      {"/data/rel/file.txt", "/data/real/file.txt"},
      {"/data/rel", "/data/real"},
      {"/abs/file.txt", "/data/real/file.txt"},
      {"/toetc/drift-marker-only-in-root", "/etc/drift-marker-only-in-root"},
      {"/hostview/file.txt", "/data/real/file.txt"},
      {"/data/real/up/real/file.txt", "/data/real/file.txt"},
      {"/../../data/./real//file.txt", "/data/real/file.txt"},
      {"/data/../../../data/real", "/data/real"},
      {"/toroot/data", "/data"},
      {"/tohostroot/data/real", "/data/real"},
      {"/chain/file.txt", "/data/real/file.txt"},
      {"/dangling", nullptr},
      {"/data/abs", nullptr},
  };
  for (const Case& c : cases) {
    std::string resolved = "unchanged";
    errno = 0;
    bool ok = paths::ResolvePath(c.path, &resolved);
    if (c.resolved == nullptr) {
      EXPECT_FALSE(ok) << c.path << " -> " << resolved;
      EXPECT_EQ(ENOENT, errno) << c.path;
      EXPECT_EQ("unchanged", resolved);
    } else {
      EXPECT_TRUE(ok) << c.path << " errno " << errno;
      EXPECT_EQ(c.resolved, resolved) << c.path;
    }
  }
}

TEST_F(ResolvePathTest, Failures) {
  struct Case {
    const char* path;
    int error;
  };
  const Case cases[] = {
      {"/loop1", ELOOP},
      {"/loop2/x", ELOOP},
      {"/self", ELOOP},
      {"/data/nothing/file", ENOENT},
      {"/data/real/missing", ENOENT},
      {"/data/real/file.txt/below", ENOTDIR},
      {"relative/path", EINVAL},
      {"", EINVAL},
  };
  for (const Case& c : cases) {
    std::string resolved;
    errno = 0;
    EXPECT_FALSE(paths::ResolvePath(c.path, &resolved)) << c.path << " -> " << resolved;
    EXPECT_EQ(c.error, errno) << c.path;
  }
}

TEST_F(ResolvePathTest, HostOwnPathsAreResolvedOnTheHost) {
  std::string resolved;
  ASSERT_TRUE(paths::ResolvePath("/proc/self", &resolved));
  EXPECT_EQ("/proc/" + std::to_string(getpid()), resolved);
  ASSERT_TRUE(paths::ResolvePath("/dev/null", &resolved));
  EXPECT_EQ("/dev/null", resolved);
}

TEST_F(ResolvePathTest, WithoutRootHostPathsResolveAsTheyAre) {
  RootEnv::Set(nullptr);
  std::string resolved;
  ASSERT_TRUE(paths::ResolvePath(root_ + "/data/rel/file.txt", &resolved));
  EXPECT_EQ(root_ + "/data/real/file.txt", resolved);
  // The absolute link now leads to the host's /data, which is not ours.
  ASSERT_TRUE(paths::ResolvePath(root_ + "/hostview", &resolved));
  EXPECT_EQ(root_ + "/data/real", resolved);
}

// AdoptRootFromExecutable reads the running program's own path; it is
// exercised end to end by the package programs' tests, not here.

}  // namespace
