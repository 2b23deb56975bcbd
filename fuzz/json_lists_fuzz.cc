// Feeds arbitrary bytes to the platform's JSON list readers: the same bytes
// become the share list and the volume list of a private sandbox root, and
// every call that walks those lists is asked about a few shares, paths and
// users.  Whatever the bytes, each call must give its documented answer or
// -1, fill caller buffers only up to their size, and agree with the others
// (a list that one call finds usable, every other call does too).
#include <json/json.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/appliance_paths.h"
#include "fuzz/fuzz_sandbox.h"
#include "host_platform/host_files.h"
#include "host_platform/json_files.h"
#include "host_platform/volumes.h"
#include "platform/platform_lib.h"

namespace {

const char kGuard = '\x7f';

void MakeSandbox(const fuzz::Sandbox& sandbox) {
  sandbox.MakeDir("/etc/tarn");
  sandbox.MakeDir("/volume1/homes");
  sandbox.MakeDir("/volumeUSB1/usbshare");
  const std::string passwd =
      "root:x:0:0:root:/root:/bin/sh\n"
      "admin:x:1024:100::/var/services/homes/admin:/bin/sh\n"
      "alice:x:1026:100::/var/services/homes/alice:/bin/sh\n";
  sandbox.Write(paths::kPasswd, passwd);
}

// Calls fill(buffer, size) with buffers of a few sizes and one guard byte
// after each; traps when the call writes past its size.
template <typename Fill>
void WithBuffers(Fill fill) {
  for (int size : {1, 16, 4096}) {
    std::string buffer(static_cast<size_t>(size) + 1, kGuard);
    int rc = fill(&buffer[0], size);
    if (buffer[static_cast<size_t>(size)] != kGuard) __builtin_trap();
    if (rc == 0 && memchr(buffer.data(), '\0', static_cast<size_t>(size)) == nullptr) {
      __builtin_trap();  // success must leave a terminated string
    }
  }
}

void CheckShares() {
  // TARNShareGet decides whether the list is usable for a share it names;
  // the other calls on that share must then succeed too.
  for (const char* name : {"homes", "encrypted"}) {
    TarnShareInfo* share = reinterpret_cast<TarnShareInfo*>(1);
    const int rc = TARNShareGet(name, &share);
    if (rc != 0) {
      if (rc != -1 || share != nullptr) __builtin_trap();
      if (TARNShareAttrReadOnlyIsRegBy(name, "DriftVault") != -1) __builtin_trap();
      continue;
    }
    if (share == nullptr || share->name == nullptr || share->path == nullptr ||
        strcmp(share->name, name) != 0 || share->path[0] != '/') {
      __builtin_trap();
    }
    int value = -1;
    if (TLIBShareIsEncryptionGet(share, &value) != 0 || (value != 0 && value != 1)) {
      __builtin_trap();
    }
    (void)TLIBIsGlusterShare(share);
    for (const char* user : {"alice", "nobody"}) {
      const int right = TLIBShareUserRightGet(user, share);
      const bool known = strcmp(user, "nobody") != 0;
      if (known && right != TARN_SHARE_RIGHT_READ_ONLY && right != TARN_SHARE_RIGHT_READ_WRITE &&
          right != TARN_SHARE_RIGHT_NO_ACCESS) {
        __builtin_trap();
      }
      if (!known && right != -1) __builtin_trap();
    }
    const int registered = TARNShareAttrReadOnlyIsRegBy(name, "DriftVault");
    if (registered != 0 && registered != 1) __builtin_trap();
    WithBuffers([name](char* buffer, int size) {
      const int result = TLIBShareEncryptPathGet(name, buffer, size);
      if (result == 0 && buffer[0] != '/') __builtin_trap();
      return result;
    });
    TARNShareFree(share);
  }
}

void CheckVolumes() {
  std::vector<host_platform::Volume> volumes;
  const bool usable = host_platform::LoadVolumes(&volumes);
  if (!usable && !volumes.empty()) __builtin_trap();
  for (const host_platform::Volume& volume : volumes) {
    if (volume.path.empty() || volume.path[0] != '/' ||
        host_platform::NormalizeAppliancePath(volume.path) != volume.path) {
      __builtin_trap();
    }
  }

  TarnVolumeList* list = TARNMountVolAllEnum(0, 0, 0);
  if ((list != nullptr) != usable) __builtin_trap();
  if (list != nullptr) {
    if (list->count != static_cast<int>(volumes.size())) __builtin_trap();
    for (int i = 0; i < list->count; ++i) {
      if (strnlen(list->volumes[i].path, TARN_PATH_MAX) == TARN_PATH_MAX ||
          volumes[static_cast<size_t>(i)].path != list->volumes[i].path) {
        __builtin_trap();
      }
    }
    TARNMountVolInfoFree(list);
  }

  Json::Value out(Json::nullValue);
  TARN::HXA::STORAGE_WEBUTILS::Volume storage;
  if (storage.VolumeListGet(out, true) != usable) __builtin_trap();
  if (usable) {
    const Json::Value* entries = host_platform::FindMember(out, "volume_list");
    if (entries == nullptr || !entries->isArray() || entries->size() != volumes.size()) {
      __builtin_trap();
    }
  } else if (!out.isNull()) {
    __builtin_trap();  // left untouched
  }

  for (const char* path : {"/volume1/homes", "/volumeUSB1/usbshare/x", "/"}) {
    TarnVolumeInfo info;
    const int rc = TARNMountVolInfoGet(path, &info);
    if (rc != 0 && rc != -1) __builtin_trap();
    if (rc == 0 && (!usable || strnlen(info.path, TARN_PATH_MAX) == TARN_PATH_MAX)) {
      __builtin_trap();
    }
    WithBuffers([path, usable](char* buffer, int size) {
      const int result = TARNShareBinPathGet(path, buffer, size);
      if (result == 0 && (!usable || buffer[0] != '/')) __builtin_trap();
      return result;
    });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::Sandbox& sandbox = fuzz::Sandbox::Get();
  static const bool made = (MakeSandbox(sandbox), true);
  (void)made;
  sandbox.Write(paths::kSharesJson, data, size);
  sandbox.Write(paths::kVolumesJson, data, size);
  CheckShares();
  CheckVolumes();
  return 0;
}
