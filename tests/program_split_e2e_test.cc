// drift-control is two programs (see cli/commands.h): bin/drift-control
// answers status, stop, diagnose and help itself and hands the commands that
// need JSON to libexec/drift-control-full.  These tests hold the two promises
// of that split: the frequent program loads no shared C++ runtime, and a
// damaged package (the complete program missing) is reported, not hidden.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e_support.h"

namespace {

// The shared libraries a program names in its dynamic section.
std::vector<std::string> NeededLibraries(const std::string& program) {
  e2e::RunResult r = e2e::Run({"/usr/bin/readelf", "-d", "-W", program});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  std::vector<std::string> needed;
  size_t at = 0;
  while ((at = r.out.find("(NEEDED)", at)) != std::string::npos) {
    const size_t open = r.out.find('[', at);
    const size_t close = r.out.find(']', open);
    if (open == std::string::npos || close == std::string::npos) break;
    needed.push_back(r.out.substr(open + 1, close - open - 1));
    at = close;
  }
  return needed;
}

bool Names(const std::vector<std::string>& libraries, const std::string& prefix) {
  for (const std::string& library : libraries) {
    if (library.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

TEST(ProgramSplitE2eTest, OnlyTheCompleteProgramLoadsTheSharedCxxRuntime) {
#ifndef DRIFT_QUICK_TOOL_OWN_RUNTIME
  GTEST_SKIP() << "built with DRIFT_STATIC_TOOL_LIBS=OFF: both programs use the shared runtime";
#endif
  if (access("/usr/bin/readelf", X_OK) != 0) GTEST_SKIP() << "readelf is not installed";
  const std::vector<std::string> quick = NeededLibraries(e2e::ToolPath());
  ASSERT_TRUE(Names(quick, "libc.so")) << "not a dynamic program?";
  EXPECT_FALSE(Names(quick, "libstdc++")) << "the C++ runtime is loaded at every status query";
  EXPECT_FALSE(Names(quick, "libjsoncpp"));
  EXPECT_FALSE(Names(quick, "libicu"));
  EXPECT_FALSE(Names(quick, "libsqlite3"));
  // The other program really is the one with JSON (the check above looks
  // at the right thing).
  EXPECT_TRUE(Names(NeededLibraries(e2e::FullToolPath()), "libjsoncpp"));
}

TEST(ProgramSplitE2eTest, MissingCompleteProgramIsReported) {
  e2e::Sandbox box;
  ASSERT_FALSE(box.root().empty());
  char real[PATH_MAX];
  ASSERT_NE(realpath(box.root().c_str(), real), nullptr);
  const std::string full = "/var/packages/DriftVault/target/libexec/drift-control-full";
  ASSERT_TRUE(box.Exists(full));
  ASSERT_EQ(unlink(box.Host(full).c_str()), 0);
  const std::string message =
      "drift-control: cannot run " + std::string(real) + full + ": No such file or directory\n";

  const std::vector<std::vector<std::string>> handed_over = {
      {"service", "--start"}, {"service", "--collect-user-data"}, {"cleanup"}};
  for (const auto& args : handed_over) {
    SCOPED_TRACE(args.back());
    e2e::RunResult r = box.Tool(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message);
  }
  // Nothing was started, and what the program answers itself still works.
  EXPECT_EQ(e2e::SettledProcessesBelow(box.root()), std::vector<pid_t>{});
  e2e::RunResult status = box.Tool({"service", "--status"});
  EXPECT_EQ(status.out, "disabled");
  EXPECT_EQ(status.err, "");
}

}  // namespace
