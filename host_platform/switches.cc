// Device and service switches of tarninfo.conf, and the service-volume
// registry.  Both are key/value files read and written through the one
// key/value reader and writer.
#include <string.h>

#include <string>

#include "base/appliance_paths.h"
#include "host_platform/host_files.h"
#include "host_platform/key_value_file.h"
#include "platform/platform_lib.h"

using host_platform::ReadYesNoSwitch;

int TLIBCIsPocketUnit(void) { return ReadYesNoSwitch(paths::kTarnInfoConf, "pocket_unit"); }

int TARNServiceUserHomeIsEnabled(int kind, int flags) {
  const char* key = nullptr;
  switch (kind) {
    case 1:
      key = "userhome_local";
      break;
    case 2:
      key = "userhome_domain";
      break;
    case 8:
      key = "userhome_ldap";
      break;
    default:
      HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
      return 0;
  }
  return ReadYesNoSwitch(paths::kTarnInfoConf, key);
}

int TLIBServiceIsEnabled(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return 0;
  }
  std::string key = std::string("service_") + name;
  return ReadYesNoSwitch(paths::kTarnInfoConf, key.c_str());
}

int TARNWinsIsJoined(void) { return ReadYesNoSwitch(paths::kTarnInfoConf, "domain_joined"); }

int TARNLDAPIsBinded(void) { return ReadYesNoSwitch(paths::kTarnInfoConf, "ldap_bound"); }

int TARNServiceVolumeRegister(const char* service, const char* volume, int flags) {
  if (service == nullptr || volume == nullptr || volume[0] != '/') {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  return TLIBCFileSetKeyValue(paths::kServiceVolumesConf, service, volume, nullptr) < 0 ? -1 : 0;
}

int TARNServiceVolumeUnregister(const char* service, int flags) {
  if (service == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  return host_platform::RemoveKeyValue(paths::kServiceVolumesConf, service);
}
