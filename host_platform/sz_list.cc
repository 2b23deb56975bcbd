// The platform's growable list of C strings (TarnSzList).
#include <stdlib.h>
#include <string.h>

#include "host_platform/host_files.h"
#include "platform/platform_lib.h"

int TLIBCSzListPush(TarnSzList** list, const char* text) {
  if (list == nullptr || text == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  if (*list == nullptr) {
    *list = static_cast<TarnSzList*>(calloc(1, sizeof(TarnSzList)));
    if (*list == nullptr) {
      HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
      return -1;
    }
  }
  TarnSzList* l = *list;
  if (l->count < 0 || l->count > l->capacity || (l->capacity > 0 && l->items == nullptr)) {
    HOST_PLATFORM_FAIL(TLIB_ERR_BAD_PARAMETERS);
    return -1;
  }
  if (l->count == l->capacity) {
    int capacity = l->capacity == 0 ? 4 : l->capacity * 2;
    char** items = static_cast<char**>(realloc(l->items, sizeof(char*) * capacity));
    if (items == nullptr) {
      HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
      return -1;
    }
    l->items = items;
    l->capacity = capacity;
  }
  char* copy = strdup(text);
  if (copy == nullptr) {
    HOST_PLATFORM_FAIL(TLIB_ERR_OUT_OF_MEMORY);
    return -1;
  }
  l->items[l->count++] = copy;
  return 0;
}

void TLIBCSzListFree(TarnSzList* list) {
  if (list == nullptr) return;
  for (int i = 0; i < list->count; ++i) free(list->items[i]);
  free(list->items);
  free(list);
}
