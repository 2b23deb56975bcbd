// Feeds arbitrary bytes to the account readers as the sandbox's passwd and
// shadow files: the input up to a line "%%" is the passwd file, the rest the
// shadow file (without the line, both get the whole input).  Whatever the
// bytes, a lookup must give a record that matches what was asked for, or -1
// and no record.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "base/appliance_paths.h"
#include "fuzz/fuzz_sandbox.h"
#include "platform/platform_lib.h"

namespace {

void CheckRecord(const TarnUserInfo* user) {
  if (user == nullptr || user->name == nullptr || user->home == nullptr) __builtin_trap();
  // Fields are split at ':' and records at line ends.
  if (user->name[0] == '\0' || strpbrk(user->name, ":\n") != nullptr ||
      strpbrk(user->home, ":\n") != nullptr) {
    __builtin_trap();
  }
  if (user->uid == 0xFFFFFFFFu || user->gid == 0xFFFFFFFFu || user->expire < -1) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (sandbox.MakeDir("/etc"), true);
  (void)made;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string passwd = input;
  std::string shadow = input;
  const size_t marker = input.find("\n%%\n");
  if (marker != std::string::npos) {
    passwd = input.substr(0, marker + 1);
    shadow = input.substr(marker + 4);
  }
  sandbox.Write(paths::kPasswd, passwd);
  sandbox.Write(paths::kShadow, shadow);

  for (const char* name : {"root", "alice", "a"}) {
    TarnUserInfo* user = reinterpret_cast<TarnUserInfo*>(1);
    const int rc = TARNUserGet(name, &user);
    if (rc != 0) {
      if (rc != -1 || user != nullptr) __builtin_trap();
      continue;
    }
    CheckRecord(user);
    if (strcmp(user->name, name) != 0) __builtin_trap();
    // The same account (or an earlier one with its id) by id.
    TarnUserInfo* by_uid = nullptr;
    if (TARNUserGetByUID(user->uid, &by_uid) != 0) __builtin_trap();
    CheckRecord(by_uid);
    if (by_uid->uid != user->uid) __builtin_trap();
    const int expired = TARNUserCheckExpired(name);
    if (expired != TARNUserIsExpired(user->expire)) __builtin_trap();
    TARNUserFree(by_uid);
    TARNUserFree(user);
  }
  for (uint32_t uid : {0u, 1026u, 0xFFFFFFFEu}) {
    TarnUserInfo* user = reinterpret_cast<TarnUserInfo*>(1);
    const int rc = TARNUserGetByUID(uid, &user);
    if (rc != 0) {
      if (rc != -1 || user != nullptr) __builtin_trap();
      continue;
    }
    CheckRecord(user);
    if (user->uid != uid) __builtin_trap();
    TARNUserFree(user);
  }
  return 0;
}
