#include "package_programs/share_names.h"

#include "platform/platform_lib.h"
#include "platform/sdk_mutex.h"

namespace cached {

int ListPlatformShareNames(std::vector<std::string>* names) {
  SDK::SdkLockGuard lock;
  TarnSzList* list = nullptr;
  if (TARNShareEnum(&list) < 0) return -1;
  names->clear();
  for (int i = 0; i < list->count; ++i) names->push_back(list->items[i]);
  TLIBCSzListFree(list);
  return 0;
}

}  // namespace cached
