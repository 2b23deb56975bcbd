// PObject: the dynamic value every message of the messaging stack is made of.
//
// A PObject holds exactly one of eight kinds of value (null, array, map,
// integer, string, binary file stretch, binary_ex, buffer).  It owns its
// payload alone on the heap: copies are deep, nothing is shared or counted.
//
// Reading a value of the wrong kind is never an error: every read has a
// neutral result (0, false, an empty string, or a reference to one of the
// shared empty constants), so callers can pick fields out of a reply without
// checking kinds first.  The one operation that throws is the writable
// positional operator[] (std::out_of_range); container allocation failures
// propagate as std::bad_alloc.
//
// No locking: a value that is written must not be shared between threads.
#ifndef DRIFT_MESSAGING_POBJECT_H_
#define DRIFT_MESSAGING_POBJECT_H_

#include <stdint.h>

#include <map>
#include <type_traits>
#include <vector>

#include "base/ustring.h"

class PObject {
 public:
  // Kind tags of the in-memory value (the wire tags are different numbers).
  enum Type : uint32_t {
    kNull = 0,
    kArray = 1,
    kMap = 2,
    kInteger = 3,
    kString = 4,
    kBinary = 5,
    kBinaryEx = 6,
    kBuffer = 7,
  };

  typedef std::vector<PObject> array_type;
  typedef std::map<ustring, PObject> map_type;

  // A stretch of a local file that travels as file contents, not the bytes.
  struct binary_type {
    uint64_t offset = 0;
    uint64_t length = 0;
    ustring path;
  };

  // A file stretch with the digest of its transfer.
  struct binary_ex_type {
    ustring path;
    uint64_t offset = 0;
    uint64_t length = 0;
    ustring hash_algo;  // digest name agreed by both sides
    ustring send_hash;  // lowercase hex digest announced by the sender
    ustring recv_hash;  // digest computed by the receiver
  };

  // Bytes in memory, allocated with the C allocator.
  //
  // Growth rule: to hold n bytes the allocation is kept when
  // capacity >= n and n >= capacity / 2, and otherwise reallocated to exactly
  // n bytes.  There is no geometric growth.
  struct buffer_type {
    uint32_t data_length = 0;
    uint32_t capacity = 0;
    unsigned char* data = nullptr;

    buffer_type() = default;
    buffer_type(const buffer_type& other);
    buffer_type(buffer_type&& other) noexcept;
    buffer_type& operator=(const buffer_type& other);
    buffer_type& operator=(buffer_type&& other) noexcept;
    ~buffer_type();

    // Applies the growth rule for n bytes.  Returns 0, or -1 when the
    // reallocation fails (the buffer is left as it was).  Reserving 0 bytes
    // from a larger allocation releases it.
    int reserve(uint32_t n);
    // Stores n bytes: applies the growth rule, zero-fills the whole
    // allocation, then copies the bytes and sets data_length to n.  Returns 0,
    // or -1 with the buffer unchanged when the reallocation fails.
    int assign(const void* bytes, uint32_t n);
    void swap(buffer_type& other) noexcept;
  };

  // The shared empty values that reads of the wrong kind return.  Never
  // modified after start-up.
  static const PObject empty_object;
  static const array_type empty_array;
  static const map_type empty_map;
  static const binary_type empty_binary;
  static const binary_ex_type empty_binary_ex;
  static const buffer_type empty_buffer;

  PObject() : type_(kNull), data_(nullptr) {}
  PObject(const PObject& other);
  PObject(PObject&& other) noexcept : type_(other.type_), data_(other.data_) {
    other.type_ = kNull;
    other.data_ = nullptr;
  }
  ~PObject() { clear(); }

  // Typed construction: a copy of the argument becomes the payload.
  PObject(bool value);  // NOLINT(runtime/explicit): PObject is a value type
  // Every other integral type: signed values are sign-extended and unsigned
  // values zero-extended to the 64-bit word.
  template <typename T,
            typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                                    int>::type = 0>
  PObject(T value)  // NOLINT(runtime/explicit)
      : type_(kNull), data_(nullptr) {
    SetInteger(ToWord(value));
  }
  PObject(const ustring& value);         // NOLINT(runtime/explicit)
  PObject(const char* value);            // NOLINT(runtime/explicit): UTF-8 text
  PObject(const array_type& value);      // NOLINT(runtime/explicit)
  PObject(const map_type& value);        // NOLINT(runtime/explicit)
  PObject(const binary_type& value);     // NOLINT(runtime/explicit)
  PObject(const binary_ex_type& value);  // NOLINT(runtime/explicit)
  PObject(const buffer_type& value);     // NOLINT(runtime/explicit)

  // Copy assignment copies the source before releasing the current payload,
  // so assigning a value to itself or to one of its own elements keeps the
  // source's value.
  PObject& operator=(const PObject& other);
  PObject& operator=(PObject&& other) noexcept;

  // Typed assignment: the new payload is built first, then the old one is
  // released, so assigning a value's own array or map back to it is safe.
  PObject& operator=(bool value);
  template <typename T,
            typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                                    int>::type = 0>
  PObject& operator=(T value) {
    SetInteger(ToWord(value));
    return *this;
  }
  PObject& operator=(const ustring& value);
  PObject& operator=(const char* value);
  PObject& operator=(const array_type& value);
  PObject& operator=(const map_type& value);
  PObject& operator=(const binary_type& value);
  PObject& operator=(const binary_ex_type& value);
  PObject& operator=(const buffer_type& value);

  Type type() const { return static_cast<Type>(type_); }

  // Kind tests.  A value is null when it has no payload.
  bool is_null() const { return data_ == nullptr; }
  bool is_array() const { return type_ == kArray; }
  bool is_map() const { return type_ == kMap; }
  bool is_integer() const { return type_ == kInteger; }
  bool is_string() const { return type_ == kString; }
  bool is_binary() const { return type_ == kBinary; }
  bool is_binary_ex() const { return type_ == kBinaryEx; }
  bool is_buffer() const { return type_ == kBuffer; }

  // True for null, an empty string, array or map, a binary or binary_ex
  // without a path and a buffer with no bytes in use; never for an integer.
  bool is_empty() const;

  // Integer reads: the stored word, or its low 32, 16 or 8 bits (the signed
  // forms sign-extend them).  0 for every kind that is not an integer.
  uint64_t as_uint64() const;
  int64_t as_int64() const { return static_cast<int64_t>(as_uint64()); }
  uint32_t as_uint32() const { return static_cast<uint32_t>(as_uint64()); }
  int32_t as_int32() const { return static_cast<int32_t>(as_uint32()); }
  uint16_t as_uint16() const { return static_cast<uint16_t>(as_uint64()); }
  int16_t as_int16() const { return static_cast<int16_t>(as_uint16()); }
  uint8_t as_uint8() const { return static_cast<uint8_t>(as_uint64()); }
  int8_t as_int8() const { return static_cast<int8_t>(as_uint8()); }

  // An integer is true when non-zero; every other kind is true when not
  // empty.
  bool as_bool() const;
  // A string's copy; an integer's low 32 bits as unsigned decimal; else "".
  ustring as_string() const;

  // Read-only container access: the payload, or the shared empty constant of
  // the asked kind when the kind does not match.
  const array_type& get_array() const;
  const map_type& get_map() const;
  const binary_type& get_binary() const;
  const binary_ex_type& get_binary_ex() const;
  const buffer_type& get_buffer() const;
  // A string's text without a copy; an empty string for every other kind.
  const ustring& get_string() const;

  // Writable container access: a value of another kind is first replaced by
  // an empty value of the asked kind (the old payload is released).
  array_type& mutable_array();
  map_type& mutable_map();
  binary_type& mutable_binary();
  binary_ex_type& mutable_binary_ex();
  buffer_type& mutable_buffer();

  // Read-only keyed access: the element of a map holding the key, else
  // empty_object.  Never inserts.
  const PObject& operator[](const ustring& key) const;
  // Writable keyed access: turns a non-map into an empty map first, then
  // returns the element for the key, inserted as null when absent.
  PObject& operator[](const ustring& key);
  // True only for a map holding the key.
  bool has_key(const ustring& key) const;

  // Read-only positional access: an array's element below its size, the
  // value of a map's entry at that position in key order, else empty_object.
  const PObject& operator[](uint32_t index) const;
  // Writable positional access works on maps only: the value of the entry at
  // that position in key order.  For every other kind (arrays included) and
  // for a position past the last entry it throws
  // std::out_of_range("out_of_range: PObject::operator[]").
  PObject& operator[](uint32_t index);

  // Releases the payload; the value becomes null.
  void clear();
  // Exchanges kind and payload with `other` without copying.
  void swap(PObject& other) noexcept;

  // The text form used in log lines (see pobject.cc for the exact rules).
  ustring to_text() const;

 private:
  template <typename T>
  static uint64_t ToWord(T value) {
    if (std::is_signed<T>::value) {
      return static_cast<uint64_t>(static_cast<int64_t>(value));
    }
    return static_cast<uint64_t>(value);
  }

  void SetInteger(uint64_t value);
  // Takes ownership of `payload` (of kind `type`) after releasing the
  // current payload.
  void Replace(uint32_t type, void* payload);
  static void* CopyPayload(uint32_t type, const void* payload);
  static void FreePayload(uint32_t type, void* payload);
  void AppendText(std::string* out) const;

  uint32_t type_;
  void* data_;
};

#endif  // DRIFT_MESSAGING_POBJECT_H_
