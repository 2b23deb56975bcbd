#include "dircache/user_group_cache.h"

#include "platform/platform_lib.h"

namespace UserGroupCache {

bool User::IsExpired() const { return TARNUserIsExpired(expire_) != 0; }

void User::ToMessage(PObject* message) const {
  message->clear();
  PObject& m = *message;
  m["name"] = ustring(name_);
  m["uid"] = uid_;
  m["gid"] = gid_;
  m["home"] = ustring(home_);
  m["type"] = type_;
  // Sign-extended to the 64-bit word, so that -1 ("never") survives a reader
  // that takes all 64 bits.
  m["expire"] = static_cast<int64_t>(expire_);
  m["cache_time"] = static_cast<int64_t>(cache_time_);
}

int User::FromMessage(const PObject& message) {
  // Read-only lookups: a missing key or a message of another kind yields the
  // shared null value, whose reads are "" and 0.
  name_ = message["name"].as_string().str();
  uid_ = message["uid"].as_uint32();
  gid_ = message["gid"].as_uint32();
  home_ = message["home"].as_string().str();
  type_ = message["type"].as_int32();
  expire_ = static_cast<int32_t>(message["expire"].as_int64());
  cache_time_ = static_cast<int32_t>(message["cache_time"].as_int64());
  return 0;
}

}  // namespace UserGroupCache
