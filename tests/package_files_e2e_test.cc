// What the package ships besides the programs' behaviour: the archive cpack
// makes of the package tree and the bash completion.
#include <ctype.h>

#include <algorithm>
#include <sstream>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

// The non-empty lines of a text, sorted.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// How many ICU data item names ("icudt72l/...") a program image holds.
size_t IcuDataItems(const std::string& image) {
  size_t items = 0;
  for (size_t at = 0; (at = image.find("icudt", at)) != std::string::npos;) {
    size_t end = at += 5;
    while (end < image.size() && isdigit(static_cast<unsigned char>(image[end]))) ++end;
    items += end > at && image.compare(end, 2, "l/") == 0;
  }
  return items;
}

TEST(PackageFilesE2eTest, ArchiveHoldsThePackageTreeStripped) {
  Sandbox out;  // a folder of its own
  RunResult packed = e2e::Run(
      {"/usr/bin/cpack", "--config", BinaryDir() + "/CPackConfig.cmake", "-B", out.Host("/pack")},
      {}, 300);
  ASSERT_EQ(packed.exit_status, 0) << packed.out << packed.err;
  const std::vector<std::string> archives = Lines(
      e2e::Run({"/usr/bin/find", out.Host("/pack"), "-maxdepth", "1", "-name", "*.tar.gz"}).out);
  ASSERT_EQ(archives.size(), 1u);
  EXPECT_NE(archives[0].find("/drift-control-"), std::string::npos) << archives[0];
  // Every file of the archive, with its mode, as "MODE PATH".
  RunResult listed = e2e::Run({"/bin/tar", "tzvf", archives[0]});
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  std::string picked, files;
  for (const std::string& line : Lines(listed.out)) {
    if (line[0] == '-')
      picked += line.substr(0, 10) + " " + line.substr(line.rfind(' ') + 1) + "\n";
  }
  for (const std::string& line : Lines(picked)) files += line + "\n";
  EXPECT_EQ(files,
            "-rw-r--r-- target/share/bash-completion/completions/drift-control\n"
            "-rw-r--r-- target/share/man/man8/drift-control.8\n"
            "-rwxr-xr-x target/bin/drift-control\n"
            "-rwxr-xr-x target/bin/updater-svr\n"
            "-rwxr-xr-x target/libexec/drift-control-full\n"
            "-rwxr-xr-x target/sbin/drift-authd\n"
            "-rwxr-xr-x target/sbin/drift-cached\n"
            "-rwxr-xr-x target/sbin/drift-cleand\n"
            "-rwxr-xr-x target/sbin/syncd\n"
            "-rwxr-xr-x target/sbin/tarn-drift-clientd\n");
  // The programs go out without symbols or debug sections (the build keeps
  // them), and without ICU's full data (30 MB, 3920 items named
  // icudtNNl/...): only the items cli/icu_data_items.txt lists, or none when
  // they use the shared ICU.
  for (const std::string program :
       {"target/bin/drift-control", "target/libexec/drift-control-full"}) {
    SCOPED_TRACE(program);
    ASSERT_EQ(e2e::Run({"/bin/tar", "xzf", archives[0], "-C", out.root(), program}).exit_status, 0);
    const std::string sections =
        e2e::Run({"/usr/bin/readelf", "-S", "-W", out.Host("/" + program)}).out;
    EXPECT_NE(sections.find(".text"), std::string::npos);
    EXPECT_EQ(sections.find(".debug_info"), std::string::npos);
    EXPECT_EQ(sections.find(".symtab"), std::string::npos);
    EXPECT_LT(IcuDataItems(out.Read("/" + program)), 100u);
  }
  EXPECT_NE(e2e::Run({"/usr/bin/readelf", "-S", "-W", ToolPath()}).out.find(".symtab"),
            std::string::npos)
      << "the built program should still have its symbols";
}

// The completions bash offers after the words typed so far (the last one
// being completed); after --create-archive, folders only.
TEST(PackageFilesE2eTest, CompletionOffersCommandWordsFlagsAndFolders) {
  Sandbox box;
  box.MakeDirs("/archives");
  box.Write("/a-file", "x");
  const struct {
    std::vector<std::string> words;
    std::string offered;
  } cases[] = {
      {{""}, "--help\n-h\ncleanup\ndiagnose\nservice\n"},
      {{"s"}, "service\n"},
      {{"service", "--st"}, "--start\n--status\n--stop\n"},
      {{"service", "--stop", "--c"}, "--collect-user-data\n"},
      {{"diagnose", "--"}, "--create-archive\n--help\n--output-stdout\n"},
      {{"cleanup", ""}, "--help\n-h\n"},
      {{"diagnose", "--create-archive", box.Host("/a")}, box.Host("/archives") + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.back());
    std::string script = "source \"$1\"; COMP_WORDS=(drift-control";
    for (size_t i = 0; i < c.words.size(); ++i) script += " \"${" + std::to_string(i + 2) + "}\"";
    script += "); COMP_CWORD=" + std::to_string(c.words.size()) +
              "; _drift_control; printf '%s\\n' \"${COMPREPLY[@]}\"";
    std::vector<std::string> argv = {"/bin/bash", "-c", script, "bash",
                                     SourceDir() + "/completion/drift-control.bash"};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    RunResult r = e2e::Run(argv);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    std::string offered;
    for (const std::string& word : Lines(r.out)) offered += word + "\n";
    EXPECT_EQ(offered, c.offered);
  }
}

}  // namespace
}  // namespace e2e
