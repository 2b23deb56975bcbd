#include "messaging/pobject.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stdexcept>
#include <string>
#include <utility>

const PObject PObject::empty_object;
const PObject::array_type PObject::empty_array;
const PObject::map_type PObject::empty_map;
const PObject::binary_type PObject::empty_binary;
const PObject::binary_ex_type PObject::empty_binary_ex;
const PObject::buffer_type PObject::empty_buffer;

// ---------------------------------------------------------------------------
// buffer_type

PObject::buffer_type::buffer_type(const buffer_type& other) {
  if (other.capacity == 0) return;
  data = static_cast<unsigned char*>(malloc(other.capacity));
  if (data == nullptr) throw std::bad_alloc();
  memcpy(data, other.data, other.capacity);
  capacity = other.capacity;
  data_length = other.data_length;
}

PObject::buffer_type::buffer_type(buffer_type&& other) noexcept
    : data_length(other.data_length), capacity(other.capacity), data(other.data) {
  other.data_length = 0;
  other.capacity = 0;
  other.data = nullptr;
}

PObject::buffer_type& PObject::buffer_type::operator=(const buffer_type& other) {
  if (this != &other) {
    buffer_type copy(other);
    swap(copy);
  }
  return *this;
}

PObject::buffer_type& PObject::buffer_type::operator=(buffer_type&& other) noexcept {
  if (this != &other) {
    buffer_type taken(std::move(other));
    swap(taken);
  }
  return *this;
}

PObject::buffer_type::~buffer_type() { free(data); }

void PObject::buffer_type::swap(buffer_type& other) noexcept {
  std::swap(data_length, other.data_length);
  std::swap(capacity, other.capacity);
  std::swap(data, other.data);
}

int PObject::buffer_type::reserve(uint32_t n) {
  if (capacity >= n && n >= capacity / 2) return 0;
  if (n == 0) {
    // realloc(p, 0) may or may not free; release explicitly instead.
    free(data);
    data = nullptr;
    capacity = 0;
    data_length = 0;
    return 0;
  }
  void* grown = realloc(data, n);
  if (grown == nullptr) return -1;
  data = static_cast<unsigned char*>(grown);
  capacity = n;
  if (data_length > capacity) data_length = capacity;
  return 0;
}

int PObject::buffer_type::assign(const void* bytes, uint32_t n) {
  if (reserve(n) != 0) return -1;
  if (capacity > 0) memset(data, 0, capacity);
  data_length = 0;
  if (n > 0) memcpy(data, bytes, n);
  data_length = n;
  return 0;
}

// ---------------------------------------------------------------------------
// Payload management

void* PObject::CopyPayload(uint32_t type, const void* payload) {
  if (payload == nullptr) return nullptr;
  switch (type) {
    case kArray:
      return new array_type(*static_cast<const array_type*>(payload));
    case kMap:
      return new map_type(*static_cast<const map_type*>(payload));
    case kInteger:
      return new uint64_t(*static_cast<const uint64_t*>(payload));
    case kString:
      return new ustring(*static_cast<const ustring*>(payload));
    case kBinary:
      return new binary_type(*static_cast<const binary_type*>(payload));
    case kBinaryEx:
      return new binary_ex_type(*static_cast<const binary_ex_type*>(payload));
    case kBuffer:
      return new buffer_type(*static_cast<const buffer_type*>(payload));
    default:
      return nullptr;
  }
}

void PObject::FreePayload(uint32_t type, void* payload) {
  if (payload == nullptr) return;
  switch (type) {
    case kArray:
      delete static_cast<array_type*>(payload);
      break;
    case kMap:
      delete static_cast<map_type*>(payload);
      break;
    case kInteger:
      delete static_cast<uint64_t*>(payload);
      break;
    case kString:
      delete static_cast<ustring*>(payload);
      break;
    case kBinary:
      delete static_cast<binary_type*>(payload);
      break;
    case kBinaryEx:
      delete static_cast<binary_ex_type*>(payload);
      break;
    case kBuffer:
      delete static_cast<buffer_type*>(payload);
      break;
    default:
      break;
  }
}

void PObject::Replace(uint32_t type, void* payload) {
  uint32_t old_type = type_;
  void* old = data_;
  type_ = payload == nullptr ? static_cast<uint32_t>(kNull) : type;
  data_ = payload;
  FreePayload(old_type, old);
}

void PObject::clear() { Replace(kNull, nullptr); }

void PObject::swap(PObject& other) noexcept {
  std::swap(type_, other.type_);
  std::swap(data_, other.data_);
}

void PObject::SetInteger(uint64_t value) { Replace(kInteger, new uint64_t(value)); }

// ---------------------------------------------------------------------------
// Construction and assignment

PObject::PObject(const PObject& other)
    : type_(kNull), data_(CopyPayload(other.type_, other.data_)) {
  if (data_ != nullptr) type_ = other.type_;
}

PObject::PObject(bool value) : type_(kNull), data_(nullptr) { SetInteger(value ? 1 : 0); }

PObject::PObject(const ustring& value) : type_(kString), data_(new ustring(value)) {}

PObject::PObject(const char* value) : type_(kString), data_(new ustring(value)) {}

PObject::PObject(const array_type& value) : type_(kArray), data_(new array_type(value)) {}

PObject::PObject(const map_type& value) : type_(kMap), data_(new map_type(value)) {}

PObject::PObject(const binary_type& value) : type_(kBinary), data_(new binary_type(value)) {}

PObject::PObject(const binary_ex_type& value)
    : type_(kBinaryEx), data_(new binary_ex_type(value)) {}

PObject::PObject(const buffer_type& value) : type_(kBuffer), data_(new buffer_type(value)) {}

PObject& PObject::operator=(const PObject& other) {
  // Copying first keeps self-assignment and assignment from an element of
  // this value well defined: the source is read before anything is freed.
  void* copy = CopyPayload(other.type_, other.data_);
  Replace(other.type_, copy);
  return *this;
}

PObject& PObject::operator=(PObject&& other) noexcept {
  if (this != &other) {
    PObject taken(std::move(other));
    swap(taken);
  }
  return *this;
}

PObject& PObject::operator=(bool value) {
  SetInteger(value ? 1 : 0);
  return *this;
}

PObject& PObject::operator=(const ustring& value) {
  Replace(kString, new ustring(value));
  return *this;
}

PObject& PObject::operator=(const char* value) {
  Replace(kString, new ustring(value));
  return *this;
}

PObject& PObject::operator=(const array_type& value) {
  Replace(kArray, new array_type(value));
  return *this;
}

PObject& PObject::operator=(const map_type& value) {
  Replace(kMap, new map_type(value));
  return *this;
}

PObject& PObject::operator=(const binary_type& value) {
  Replace(kBinary, new binary_type(value));
  return *this;
}

PObject& PObject::operator=(const binary_ex_type& value) {
  Replace(kBinaryEx, new binary_ex_type(value));
  return *this;
}

PObject& PObject::operator=(const buffer_type& value) {
  Replace(kBuffer, new buffer_type(value));
  return *this;
}

// ---------------------------------------------------------------------------
// Reads

bool PObject::is_empty() const {
  if (data_ == nullptr) return true;
  switch (type_) {
    case kArray:
      return static_cast<const array_type*>(data_)->empty();
    case kMap:
      return static_cast<const map_type*>(data_)->empty();
    case kInteger:
      return false;
    case kString:
      return static_cast<const ustring*>(data_)->empty();
    case kBinary:
      return static_cast<const binary_type*>(data_)->path.empty();
    case kBinaryEx:
      return static_cast<const binary_ex_type*>(data_)->path.empty();
    case kBuffer:
      return static_cast<const buffer_type*>(data_)->data_length == 0;
    default:
      return true;
  }
}

uint64_t PObject::as_uint64() const {
  if (type_ != kInteger || data_ == nullptr) return 0;
  return *static_cast<const uint64_t*>(data_);
}

bool PObject::as_bool() const {
  if (type_ == kInteger) return as_uint64() != 0;
  return !is_empty();
}

ustring PObject::as_string() const {
  if (data_ == nullptr) return ustring();
  if (type_ == kString) return *static_cast<const ustring*>(data_);
  if (type_ == kInteger) {
    char text[16];
    snprintf(text, sizeof(text), "%u", static_cast<unsigned>(as_uint32()));
    return ustring(text);
  }
  return ustring();
}

const PObject::array_type& PObject::get_array() const {
  if (type_ == kArray && data_ != nullptr) return *static_cast<const array_type*>(data_);
  return empty_array;
}

const PObject::map_type& PObject::get_map() const {
  if (type_ == kMap && data_ != nullptr) return *static_cast<const map_type*>(data_);
  return empty_map;
}

const PObject::binary_type& PObject::get_binary() const {
  if (type_ == kBinary && data_ != nullptr) return *static_cast<const binary_type*>(data_);
  return empty_binary;
}

const PObject::binary_ex_type& PObject::get_binary_ex() const {
  if (type_ == kBinaryEx && data_ != nullptr) {
    return *static_cast<const binary_ex_type*>(data_);
  }
  return empty_binary_ex;
}

const PObject::buffer_type& PObject::get_buffer() const {
  if (type_ == kBuffer && data_ != nullptr) return *static_cast<const buffer_type*>(data_);
  return empty_buffer;
}

const ustring& PObject::get_string() const {
  static const ustring* const empty = new ustring();
  if (type_ == kString && data_ != nullptr) return *static_cast<const ustring*>(data_);
  return *empty;
}

// ---------------------------------------------------------------------------
// Writable access

PObject::array_type& PObject::mutable_array() {
  if (type_ != kArray || data_ == nullptr) Replace(kArray, new array_type());
  return *static_cast<array_type*>(data_);
}

PObject::map_type& PObject::mutable_map() {
  if (type_ != kMap || data_ == nullptr) Replace(kMap, new map_type());
  return *static_cast<map_type*>(data_);
}

PObject::binary_type& PObject::mutable_binary() {
  if (type_ != kBinary || data_ == nullptr) Replace(kBinary, new binary_type());
  return *static_cast<binary_type*>(data_);
}

PObject::binary_ex_type& PObject::mutable_binary_ex() {
  if (type_ != kBinaryEx || data_ == nullptr) Replace(kBinaryEx, new binary_ex_type());
  return *static_cast<binary_ex_type*>(data_);
}

PObject::buffer_type& PObject::mutable_buffer() {
  if (type_ != kBuffer || data_ == nullptr) Replace(kBuffer, new buffer_type());
  return *static_cast<buffer_type*>(data_);
}

const PObject& PObject::operator[](const ustring& key) const {
  if (type_ != kMap || data_ == nullptr) return empty_object;
  const map_type& map = *static_cast<const map_type*>(data_);
  map_type::const_iterator it = map.find(key);
  return it == map.end() ? empty_object : it->second;
}

PObject& PObject::operator[](const ustring& key) {
  map_type& map = mutable_map();
  map_type::iterator it = map.lower_bound(key);
  if (it != map.end() && !(key < it->first)) return it->second;
  return map.emplace_hint(it, key, PObject())->second;
}

bool PObject::has_key(const ustring& key) const {
  if (type_ != kMap || data_ == nullptr) return false;
  const map_type& map = *static_cast<const map_type*>(data_);
  return map.find(key) != map.end();
}

const PObject& PObject::operator[](uint32_t index) const {
  if (data_ == nullptr) return empty_object;
  if (type_ == kArray) {
    const array_type& array = *static_cast<const array_type*>(data_);
    return index < array.size() ? array[index] : empty_object;
  }
  if (type_ == kMap) {
    const map_type& map = *static_cast<const map_type*>(data_);
    if (index >= map.size()) return empty_object;
    map_type::const_iterator it = map.begin();
    for (uint32_t i = 0; i < index; ++i) ++it;
    return it->second;
  }
  return empty_object;
}

PObject& PObject::operator[](uint32_t index) {
  if (type_ == kMap && data_ != nullptr) {
    map_type& map = *static_cast<map_type*>(data_);
    if (index < map.size()) {
      map_type::iterator it = map.begin();
      for (uint32_t i = 0; i < index; ++i) ++it;
      return it->second;
    }
  }
  throw std::out_of_range("out_of_range: PObject::operator[]");
}

// ---------------------------------------------------------------------------
// Text form

namespace {

void AppendUnsigned(std::string* out, uint64_t value) {
  char text[24];
  snprintf(text, sizeof(text), "%" PRIu64, value);
  out->append(text);
}

void AppendQuoted(std::string* out, const ustring& text) {
  out->push_back('"');
  out->append(text.c_str(), text.length());
  out->push_back('"');
}

}  // namespace

void PObject::AppendText(std::string* out) const {
  if (data_ == nullptr) {
    out->append("null");
    return;
  }
  switch (type_) {
    case kInteger:
      AppendUnsigned(out, as_uint64());
      break;
    case kString:
      AppendQuoted(out, *static_cast<const ustring*>(data_));
      break;
    case kArray: {
      out->push_back('[');
      bool first = true;
      for (const PObject& element : *static_cast<const array_type*>(data_)) {
        if (!first) out->append(", ");
        first = false;
        element.AppendText(out);
      }
      out->push_back(']');
      break;
    }
    case kMap: {
      out->push_back('{');
      bool first = true;
      for (const map_type::value_type& entry : *static_cast<const map_type*>(data_)) {
        if (!first) out->append(", ");
        first = false;
        out->push_back('"');
        out->append(entry.first.c_str(), entry.first.length());
        out->append("\": ");
        entry.second.AppendText(out);
      }
      out->push_back('}');
      break;
    }
    case kBinary: {
      const binary_type& binary = *static_cast<const binary_type*>(data_);
      out->append("{offset: ");
      AppendUnsigned(out, binary.offset);
      out->append(", length: ");
      AppendUnsigned(out, binary.length);
      out->append(", path: ");
      AppendQuoted(out, binary.path);
      out->push_back('}');
      break;
    }
    case kBinaryEx: {
      const binary_ex_type& binary = *static_cast<const binary_ex_type*>(data_);
      out->append("{offset: ");
      AppendUnsigned(out, binary.offset);
      out->append(", length: ");
      AppendUnsigned(out, binary.length);
      out->append(", path: ");
      AppendQuoted(out, binary.path);
      out->append(", send_hash: ");
      AppendQuoted(out, binary.send_hash);
      out->append(", recv_hash: ");
      AppendQuoted(out, binary.recv_hash);
      out->append(", hash_algo: ");
      AppendQuoted(out, binary.hash_algo);
      out->push_back('}');
      break;
    }
    case kBuffer:
      out->append("{data_length: ");
      AppendUnsigned(out, static_cast<const buffer_type*>(data_)->data_length);
      // The separator before the brace is part of the established form.
      out->append(", }");
      break;
    default:
      out->append("null");
      break;
  }
}

ustring PObject::to_text() const {
  std::string out;
  AppendText(&out);
  return ustring(out);
}
