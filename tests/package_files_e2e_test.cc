// What the package ships besides the programs' behaviour: the archive cpack
// makes of the package tree, the manual page and the bash completion.
#include <ctype.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/e2e_support.h"

namespace e2e {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// How many ICU data item names ("icudt72l/...") a program image holds.
size_t IcuDataItems(const std::string& image) {
  size_t items = 0;
  for (size_t at = 0; (at = image.find("icudt", at)) != std::string::npos;) {
    at += 5;
    size_t end = at;
    while (end < image.size() && isdigit(static_cast<unsigned char>(image[end]))) ++end;
    if (end > at && image.compare(end, 2, "l/") == 0) ++items;
  }
  return items;
}

// A temporary folder, removed with the object.
struct TempFolder {
  TempFolder() : path(mkdtemp(tmpl) != nullptr ? tmpl : "") {}
  ~TempFolder() { e2e::Run({"/bin/rm", "-rf", path}); }
  char tmpl[32] = "/tmp/drift-package-XXXXXX";
  std::string path;
};

TEST(PackageFilesE2eTest, ArchiveHoldsThePackageTreeStripped) {
  TempFolder out;
  ASSERT_FALSE(out.path.empty());
  RunResult packed = e2e::Run(
      {"/usr/bin/cpack", "--config", BinaryDir() + "/CPackConfig.cmake", "-B", out.path}, {}, 300);
  ASSERT_EQ(packed.exit_status, 0) << packed.out << packed.err;
  RunResult found =
      e2e::Run({"/usr/bin/find", out.path, "-maxdepth", "1", "-name", "drift-control-*.tar.gz"});
  const std::vector<std::string> archives = Lines(found.out);
  ASSERT_EQ(archives.size(), 1u) << found.out;

  // Every file of the archive, with its mode, as "MODE PATH".
  RunResult listed = e2e::Run({"/bin/tar", "tzvf", archives[0]});
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  std::vector<std::string> files;
  for (const std::string& line : Lines(listed.out)) {
    if (line[0] != '-') continue;  // folders
    files.push_back(line.substr(0, 10) + " " + line.substr(line.rfind(' ') + 1));
  }
  std::sort(files.begin(), files.end());
  const std::vector<std::string> expected = {
      "-rw-r--r-- target/share/bash-completion/completions/drift-control",
      "-rw-r--r-- target/share/man/man8/drift-control.8",
      "-rwxr-xr-x target/bin/drift-control",
      "-rwxr-xr-x target/bin/updater-svr",
      "-rwxr-xr-x target/libexec/drift-control-full",
      "-rwxr-xr-x target/sbin/drift-authd",
      "-rwxr-xr-x target/sbin/drift-cached",
      "-rwxr-xr-x target/sbin/drift-cleand",
      "-rwxr-xr-x target/sbin/syncd",
      "-rwxr-xr-x target/sbin/tarn-drift-clientd",
  };
  EXPECT_EQ(files, expected) << listed.out;

  // The programs go out without symbols or debug sections (the build itself
  // keeps them).
  RunResult unpacked =
      e2e::Run({"/bin/tar", "xzf", archives[0], "-C", out.path, "target/bin/drift-control"});
  ASSERT_EQ(unpacked.exit_status, 0) << unpacked.err;
  RunResult sections =
      e2e::Run({"/usr/bin/readelf", "-S", "-W", out.path + "/target/bin/drift-control"});
  ASSERT_EQ(sections.exit_status, 0) << sections.err;
  EXPECT_EQ(sections.out.find(".debug_info"), std::string::npos);
  EXPECT_EQ(sections.out.find(".symtab"), std::string::npos);
  EXPECT_NE(e2e::Run({"/usr/bin/readelf", "-S", "-W", ToolPath()}).out.find(".symtab"),
            std::string::npos)
      << "the built program should still have its symbols";

  // ICU's full data (30 MB, 3920 items named icudtNNl/...) stays out of both
  // drift-control programs: they carry only the items cli/icu_data_items.txt
  // lists, or none when they use the shared ICU.
  for (const std::string program :
       {"target/bin/drift-control", "target/libexec/drift-control-full"}) {
    SCOPED_TRACE(program);
    ASSERT_EQ(e2e::Run({"/bin/tar", "xzf", archives[0], "-C", out.path, program}).exit_status, 0);
    const std::string image = ReadFile(out.path + "/" + program);
    ASSERT_FALSE(image.empty());
    EXPECT_LT(IcuDataItems(image), 100u);
  }
}

TEST(PackageFilesE2eTest, ManualPageRendersCleanlyAndNamesEveryCommandAndFlag) {
  const std::string page = SourceDir() + "/doc/drift-control.8";
  std::string text = ReadFile(page);
  ASSERT_FALSE(text.empty());
  // In roff source a hyphen to print is written "\-".
  for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
  for (const char* word :
       {"service", "diagnose", "cleanup", "--start", "--stop", "--status", "--collect-user-data",
        "--output-stdout", "--create-archive", "--help", "DRIFT_ROOT", "TARNPKG_USERNAME", "255"}) {
    EXPECT_NE(text.find(word), std::string::npos) << word;
  }
  if (access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "groff is not installed";
  RunResult r = e2e::Run({"/usr/bin/groff", "-man", "-ww", "-z", page});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "") << "groff warns about the manual page";
}

// The completions bash would offer after the words typed so far (the last
// one being completed).
std::vector<std::string> Complete(const std::vector<std::string>& words) {
  std::string script = "source \"$1\"; COMP_WORDS=(";
  for (size_t i = 0; i < words.size(); ++i) script += " \"${" + std::to_string(i + 2) + "}\"";
  script += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
            "; _drift_control; printf '%s\\n' \"${COMPREPLY[@]}\"";
  std::vector<std::string> argv = {"/bin/bash", "-c", script, "bash",
                                   SourceDir() + "/completion/drift-control.bash"};
  argv.insert(argv.end(), words.begin(), words.end());
  RunResult r = e2e::Run(argv);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> offered = Lines(r.out);
  std::sort(offered.begin(), offered.end());
  return offered;
}

TEST(PackageFilesE2eTest, CompletionOffersCommandWordsFlagsAndFolders) {
  using Words = std::vector<std::string>;
  EXPECT_EQ(Complete({"drift-control", ""}),
            (Words{"--help", "-h", "cleanup", "diagnose", "service"}));
  EXPECT_EQ(Complete({"drift-control", "s"}), (Words{"service"}));
  EXPECT_EQ(Complete({"drift-control", "service", "--st"}),
            (Words{"--start", "--status", "--stop"}));
  EXPECT_EQ(Complete({"drift-control", "service", "--stop", "--c"}),
            (Words{"--collect-user-data"}));
  EXPECT_EQ(Complete({"drift-control", "diagnose", "--"}),
            (Words{"--create-archive", "--help", "--output-stdout"}));
  EXPECT_EQ(Complete({"drift-control", "cleanup", ""}), (Words{"--help", "-h"}));

  // After --create-archive: folders only.
  TempFolder tmp;
  ASSERT_FALSE(tmp.path.empty());
  ASSERT_EQ(mkdir((tmp.path + "/archives").c_str(), 0755), 0);
  std::ofstream(tmp.path + "/a-file") << "x";
  EXPECT_EQ(Complete({"drift-control", "diagnose", "--create-archive", tmp.path + "/a"}),
            (Words{tmp.path + "/archives"}));
}

}  // namespace
}  // namespace e2e
