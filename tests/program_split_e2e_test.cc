// The two promises of the program split (see cli/commands.h): the frequent
// program loads no shared C++ runtime, and a damaged package (the complete
// program missing) is reported, not hidden.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

// Whether a program's dynamic section names a library starting `prefix`.
bool Needs(const std::string& program, const std::string& prefix) {
  RunResult r = e2e::Run({"/usr/bin/readelf", "-d", "-W", program});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  return r.out.find("Shared library: [" + prefix) != std::string::npos;  // (NEEDED)
}

TEST(ProgramSplitE2eTest, OnlyTheCompleteProgramLoadsTheSharedCxxRuntime) {
#ifndef DRIFT_QUICK_TOOL_OWN_RUNTIME
  GTEST_SKIP() << "built with DRIFT_STATIC_TOOL_LIBS=OFF: both programs use the shared runtime";
#endif
  if (access("/usr/bin/readelf", X_OK) != 0) GTEST_SKIP() << "readelf is not installed";
  ASSERT_TRUE(Needs(ToolPath(), "libc.so")) << "not a dynamic program?";
  for (const char* library : {"libstdc++", "libjsoncpp", "libicu", "libsqlite3"}) {
    EXPECT_FALSE(Needs(ToolPath(), library)) << library << " is loaded at every status query";
  }
  // The other program really is the one with JSON (the check looks at the
  // right thing).
  EXPECT_TRUE(Needs(FullToolPath(), "libjsoncpp"));
}

TEST(ProgramSplitE2eTest, MissingCompleteProgramIsReported) {
  Sandbox box;
  char real[PATH_MAX];
  ASSERT_NE(realpath(box.root().c_str(), real), nullptr);
  const std::string full = std::string(kTarget) + "/libexec/drift-control-full";
  ASSERT_EQ(unlink(box.Host(full).c_str()), 0);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"service", "--start"}, {"service", "--collect-user-data"}, {"cleanup"}}) {
    SCOPED_TRACE(args.back());
    RunResult r = box.Tool(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "drift-control: cannot run " + std::string(real) + full +
                         ": No such file or directory\n");
  }
  // Nothing was started, and what the program answers itself still works.
  EXPECT_EQ(SettledProcessesBelow(box.root()), std::vector<pid_t>{});
  RunResult status = box.Tool({"service", "--status"});
  EXPECT_EQ(status.out, "disabled");
  EXPECT_EQ(status.err, "");
}

}  // namespace
}  // namespace e2e
