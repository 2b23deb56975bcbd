#include "host_platform/key_value_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/test_root.h"
#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

namespace host_platform {
namespace {

using test_support::TestRoot;

constexpr char kConf[] = "/etc/test.conf";

// A string of every byte of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct ReadCase {
  const char* name;
  std::string text;
  const char* key;
  int size;
  int result;
  std::string value;
};

TEST(KeyValueFile, ReadTable) {
  const std::string huge(1 << 20, 'x');
  const std::vector<ReadCase> cases = {
      {"quoted", "status=\"enabled\"\n", "status", 32, 7, "enabled"},
      {"unquoted", "status=enabled\n", "status", 32, 7, "enabled"},
      {"blanks around", "  status = \"enabled\"  \n", "status", 32, 7, "enabled"},
      {"unquoted trailing blanks", "status=enabled \t\n", "status", 32, 7, "enabled"},
      {"empty value", "status=\"\"\n", "status", 32, 0, ""},
      {"empty unquoted", "status=\n", "status", 32, 0, ""},
      {"missing key", "other=\"x\"\n", "status", 32, 0, ""},
      {"key prefix is not the key", "statusx=\"1\"\nxstatus=\"2\"\n", "status", 32, 0, ""},
      {"no final newline", "a=1\nstatus=\"enabled\"", "status", 32, 7, "enabled"},
      {"unterminated quote", "status=\"enab\n", "status", 32, 0, ""},
      {"unterminated then good", "status=\"enab\nstatus=\"ok\"\n", "status", 32, 2, "ok"},
      {"no equals sign", "status\n", "status", 32, 0, ""},
      {"comment", "#status=\"x\"\n", "status", 32, 0, ""},
      {"quote inside value", "status=\"a\"b\"\n", "status", 32, 3, "a\"b"},
      {"carriage return", "status=\"x\"\r\n", "status", 32, 1, "x"},
      {"unquoted carriage return", "status=x\r\n", "status", 32, 1, "x"},
      {"first assignment wins", "status=\"first\"\nstatus=\"second\"\n", "status", 32, 5, "first"},
      {"equals in value", "url=\"a=b\"\n", "url", 32, 3, "a=b"},
      {"binary line skipped", Bytes("\x01\xff\0status=\"x\"\nstatus=\"y\"\n"), "status", 32, 1,
       "y"},
      {"binary garbage only", Bytes("\x7f\x45\x4c\x46\x02\x01\0\0\xff\xfe"), "status", 32, 0, ""},
      {"buffer exactly fits", "status=\"enabled\"\n", "status", 8, 7, "enabled"},
      {"buffer one short", "status=\"enabled\"\n", "status", 7, -1, ""},
      {"huge line, small buffer", "status=\"" + huge + "\"\n", "status", 32, -1, ""},
      {"huge line, big buffer", "status=\"" + huge + "\"\n", "status", (1 << 20) + 1, 1 << 20,
       huge},
      {"huge garbage line then key", huge + "\nk=v\n", "k", 32, 1, "v"},
      {"empty file", "", "status", 32, 0, ""},
  };
  for (const ReadCase& c : cases) {
    TestRoot root;
    root.Write(kConf, c.text);
    std::vector<char> buf(static_cast<size_t>(c.size), '#');
    int result = TLIBCFileGetKeyValue(kConf, c.key, buf.data(), c.size, 0);
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(std::string(buf.data()), c.value) << c.name;
  }
}

TEST(KeyValueFile, ReadFailures) {
  TestRoot root;
  char buf[32];
  EXPECT_EQ(TLIBCFileGetKeyValue("/etc/missing.conf", "k", buf, sizeof(buf), 0), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_OPEN);
  root.MakeDir("/etc/folder.conf");
  EXPECT_EQ(TLIBCFileGetKeyValue("/etc/folder.conf", "k", buf, sizeof(buf), 0), -1);
  root.Write(kConf, "k=v\n");
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "", buf, sizeof(buf), 0), -1);
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "k", buf, 0, 0), -1);
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "k", nullptr, 32, 0), -1);
  EXPECT_EQ(TLIBCFileGetKeyValue(nullptr, "k", buf, sizeof(buf), 0), -1);
  // A file beyond the size of any configuration file is refused, not read.
  ASSERT_EQ(truncate(root.Host(kConf).c_str(), kMaxPlatformFileSize + 1), 0);
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "k", buf, sizeof(buf), 0), -1);
  EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_FILE_READ);
}

struct WriteCase {
  const char* name;
  std::string before;  // "<missing>": no file
  const char* key;
  const char* value;
  const char* format;
  std::string after;
};

TEST(KeyValueFile, WriteTable) {
  const std::vector<WriteCase> cases = {
      {"new file, default format", "<missing>", "k", "v", nullptr, "k=\"v\"\n"},
      {"new file, setting format", "<missing>", "dfvt_port", "6690", "%s=\"%s\"\n",
       "dfvt_port=\"6690\"\n"},
      {"unquoted format", "<missing>", "k", "v", "%s=%s\n", "k=v\n"},
      {"format without line end", "a=1\n", "k", "v", "%s=\"%s\"", "a=1\nk=\"v\"\n"},
      {"percent sign kept", "<missing>", "k", "v", "%s=\"%s\" %%\n", "k=\"v\" %\n"},
      {"replace in place, other lines kept",
       Bytes("# comment\n  foo = bar \nk=\"old\"\ngarbage line\n\x01\x02\0\n"), "k", "new", nullptr,
       Bytes("# comment\n  foo = bar \nk=\"new\"\ngarbage line\n\x01\x02\0\n")},
      {"append after line without line end", "a=\"1\"", "k", "v", nullptr, "a=\"1\"\nk=\"v\"\n"},
      {"append to empty file", "", "k", "v", nullptr, "k=\"v\"\n"},
      {"later duplicates dropped", "k=1\nx=2\nk=3\n", "k", "v", nullptr, "k=\"v\"\nx=2\n"},
      {"malformed line of the key replaced", "k=\"unterminated\nx=1\n", "k", "v", nullptr,
       "k=\"v\"\nx=1\n"},
      {"CRLF lines of others kept", "a=1\r\nk=2\r\nb=3\r\n", "k", "v", nullptr,
       "a=1\r\nk=\"v\"\nb=3\r\n"},
      {"value with quotes", "<missing>", "k", "say \"hi\"", nullptr, "k=\"say \"hi\"\"\n"},
      {"empty value", "<missing>", "k", "", nullptr, "k=\"\"\n"},
  };
  for (const WriteCase& c : cases) {
    TestRoot root;
    root.MakeDir("/etc");
    if (c.before != "<missing>") root.Write(kConf, c.before);
    EXPECT_EQ(TLIBCFileSetKeyValue(kConf, c.key, c.value, c.format), 0) << c.name;
    EXPECT_EQ(root.Read(kConf), c.after) << c.name;
    // What was written reads back.
    char buf[64];
    EXPECT_EQ(TLIBCFileGetKeyValue(kConf, c.key, buf, sizeof(buf), 0),
              static_cast<int>(strlen(c.value)))
        << c.name;
    EXPECT_STREQ(buf, c.value) << c.name;
  }
}

TEST(KeyValueFile, WriteRefusesWhatWouldNotReadBack) {
  struct Bad {
    const char* key;
    const char* value;
    const char* format;
  };
  const std::vector<Bad> cases = {
      {"k", "two\nlines", nullptr}, {"", "v", nullptr},       {"a=b", "v", nullptr},
      {"a b", "v", nullptr},        {"#k", "v", nullptr},     {"k", "v", "%d=%s\n"},
      {"k", "v", "%s\n"},           {"k", "v", "%s=%s=%s\n"}, {"k", "v", "%s\n=%s\n"},
      {"k", " padded ", "%s=%s\n"}, {"k", "v", "%s=\"%s\"%"},
  };
  for (const Bad& c : cases) {
    TestRoot root;
    root.Write(kConf, "keep=\"me\"\n");
    EXPECT_EQ(TLIBCFileSetKeyValue(kConf, c.key, c.value, c.format), -1)
        << c.key << " / " << c.value;
    EXPECT_EQ(TLIBCErrGet(), TLIB_ERR_BAD_PARAMETERS);
    EXPECT_EQ(root.Read(kConf), "keep=\"me\"\n");
  }
}

TEST(KeyValueFile, ModeMissingFolderOversizeRemoveAndExist) {
  TestRoot root;
  root.Write(kConf, "a=1\n");
  ASSERT_EQ(chmod(root.Host(kConf).c_str(), 0600), 0);
  ASSERT_EQ(TLIBCFileSetKeyValue(kConf, "k", "v", nullptr), 0);
  struct stat st;
  ASSERT_EQ(stat(root.Host(kConf).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // the rewrite keeps the mode
  EXPECT_EQ(TLIBCFileExist(kConf), 1);
  EXPECT_EQ(TLIBCFileExist("/etc/absent.conf"), 0);
  EXPECT_EQ(TLIBCFileExist(nullptr), 0);
  EXPECT_EQ(TLIBCFileSetKeyValue("/no/such/folder.conf", "k", "v", nullptr), -1);
  EXPECT_EQ(root.Read("/no/such/folder.conf"), "<missing>");

  // Removing drops every line of the key; a missing key or file is no error.
  root.Write(kConf, "a=1\nk=\"v\"\n# c\nk=2\n");
  EXPECT_EQ(RemoveKeyValue(kConf, "k"), 0);
  EXPECT_EQ(root.Read(kConf), "a=1\n# c\n");
  EXPECT_EQ(RemoveKeyValue(kConf, "k"), 0);
  EXPECT_EQ(RemoveKeyValue("/etc/absent.conf", "k"), 0);
  EXPECT_EQ(root.Read("/etc/absent.conf"), "<missing>");

  // A file too big to read is not replaced either.
  ASSERT_EQ(truncate(root.Host(kConf).c_str(), kMaxPlatformFileSize + 1), 0);
  EXPECT_EQ(TLIBCFileSetKeyValue(kConf, "k", "v", nullptr), -1);
  ASSERT_EQ(stat(root.Host(kConf).c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), kMaxPlatformFileSize + 1);
}

std::vector<std::string> FolderEntries(const std::string& host_folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(host_folder.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

int g_hook_fd = -1;

// Runs in the writer child between the flushed temporary file and the
// rename: tells the parent where the temporary file is, then waits to be
// killed.
void ReportAndWait(const std::string& temp_path) {
  std::string msg = temp_path + "\n";
  ssize_t n = write(g_hook_fd, msg.data(), msg.size());
  (void)n;
  for (;;) pause();
}

TEST(KeyValueFile, WriterKilledBeforeRenameLeavesOldFile) {
  TestRoot root;
  root.Write(kConf, "a=1\nstatus=\"enabled\"\n");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    g_hook_fd = fds[1];
    SetBeforeRenameHookForTesting(ReportAndWait);
    TLIBCFileSetKeyValue(kConf, "status", "disabled", nullptr);
    _exit(3);  // not reached: the hook never returns
  }
  close(fds[1]);
  std::string temp;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') temp.push_back(c);
  close(fds[0]);
  ASSERT_FALSE(temp.empty()) << "writer never reached the rename";

  // The kill lands after the new content is complete on disk and before the
  // rename: exactly the window a crash must not damage.
  std::ifstream in(temp, std::ios::binary);
  std::string pending((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(pending, "a=1\nstatus=\"disabled\"\n");
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(root.Read(kConf), "a=1\nstatus=\"enabled\"\n");
  char buf[32];
  EXPECT_EQ(TLIBCFileGetKeyValue(kConf, "status", buf, sizeof(buf), 0), 7);
  EXPECT_STREQ(buf, "enabled");
  // The leftover is a hidden file beside the real one and never its name.
  std::vector<std::string> names = FolderEntries(root.Host("/etc"));
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& name : names) {
    if (name != "test.conf") {
      EXPECT_EQ(name.rfind(".test.conf.tmp.", 0), 0u) << name;
    }
  }
  // The next writer is not disturbed by it (the lock died with the child).
  EXPECT_EQ(TLIBCFileSetKeyValue(kConf, "status", "disabled", nullptr), 0);
  EXPECT_EQ(root.Read(kConf), "a=1\nstatus=\"disabled\"\n");
}

TEST(KeyValueFile, ReadOnlyFolderMakesSetFail) {
  TestRoot root;
  root.Write(kConf, "k=\"old\"\n");
  ASSERT_EQ(chmod(root.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(root.Host("/etc").c_str(), 0555), 0);
  ASSERT_EQ(chmod(root.Host(kConf).c_str(), 0666), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Root writes anywhere; only an ordinary user meets the folder's mode.
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    int rc = TLIBCFileSetKeyValue(kConf, "k", "new", nullptr);
    _exit(rc == -1 && TLIBCErrGet() == TLIB_ERR_FILE_WRITE ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(root.Read(kConf), "k=\"old\"\n");
  EXPECT_EQ(FolderEntries(root.Host("/etc")).size(), 1u);
}

TEST(KeyValueFile, SwitchesOfTarnInfo) {
  TestRoot root;
  root.Write("/etc.defaults/tarninfo.conf",
             "pocket_unit=\"yes\"\nuserhome_local=\"yes\"\nuserhome_domain=\"no\"\n"
             "userhome_ldap=\"YES\"\ndomain_joined=\"yes\"\nservice_winbindd=\"no\"\n");
  EXPECT_EQ(TLIBCIsPocketUnit(), 1);
  EXPECT_EQ(TARNServiceUserHomeIsEnabled(1, 0), 1);
  EXPECT_EQ(TARNServiceUserHomeIsEnabled(2, 0), 0);
  EXPECT_EQ(TARNServiceUserHomeIsEnabled(8, 0), 0);  // only "yes" counts
  EXPECT_EQ(TARNServiceUserHomeIsEnabled(3, 0), 0);  // no such kind
  EXPECT_EQ(TARNWinsIsJoined(), 1);
  EXPECT_EQ(TARNLDAPIsBinded(), 0);  // missing key means "no"
  EXPECT_EQ(TLIBServiceIsEnabled("winbindd"), 0);
  root.Write("/etc.defaults/tarninfo.conf", "service_winbindd=yes\n");
  EXPECT_EQ(TLIBServiceIsEnabled("winbindd"), 1);
  EXPECT_EQ(TLIBCIsPocketUnit(), 0);
}

TEST(KeyValueFile, ServiceVolumeRegistry) {
  TestRoot root;
  root.Write("/etc/tarn/service-volumes.conf", "Other=\"/volume2\"\n");
  EXPECT_EQ(TARNServiceVolumeRegister("DriftVault", "/volume1", 1), 0);
  EXPECT_EQ(root.Read("/etc/tarn/service-volumes.conf"),
            "Other=\"/volume2\"\nDriftVault=\"/volume1\"\n");
  EXPECT_EQ(TARNServiceVolumeRegister("DriftVault", "/volume3", 1), 0);
  EXPECT_EQ(root.Read("/etc/tarn/service-volumes.conf"),
            "Other=\"/volume2\"\nDriftVault=\"/volume3\"\n");
  EXPECT_EQ(TARNServiceVolumeUnregister("DriftVault", 1), 0);
  EXPECT_EQ(root.Read("/etc/tarn/service-volumes.conf"), "Other=\"/volume2\"\n");
  EXPECT_EQ(TARNServiceVolumeUnregister("DriftVault", 1), 0);
  EXPECT_EQ(TARNServiceVolumeRegister("DriftVault", "relative", 1), -1);
  EXPECT_EQ(TARNServiceVolumeRegister("DriftVault", "/volume1", 1), 0);
  EXPECT_EQ(TARNServiceVolumeRegister("DriftVault", "/volume1", 1), 0);
  EXPECT_EQ(root.Read("/etc/tarn/service-volumes.conf"),
            "Other=\"/volume2\"\nDriftVault=\"/volume1\"\n");
}

}  // namespace
}  // namespace host_platform
