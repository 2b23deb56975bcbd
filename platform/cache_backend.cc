#include "platform/cache_backend.h"

#include <atomic>

namespace SDK {
namespace {
std::atomic<CacheBackend*> g_backend{nullptr};
}  // namespace

void SetCacheBackend(CacheBackend* backend) { g_backend.store(backend); }

CacheBackend* GetCacheBackend() { return g_backend.load(); }

}  // namespace SDK
