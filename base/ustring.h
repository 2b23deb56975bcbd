// ustring: the string of names, keys and paths throughout the tool.
//
// The text is held as NUL-terminated UTF-8, which is authoritative.  Beside it
// a UTF-16 form is built on demand (for conversion and normalisation through
// ICU) and cached until the next change of the UTF-8 text.  Ordering and
// equality compare the UTF-8 bytes as unsigned values, so maps keyed by
// ustring are ordered by code point.
//
// Lengths and positions are unsigned 32-bit byte offsets into the UTF-8 form;
// npos (all bits set) means "not found" or "up to the end".  A ustring never
// holds an embedded NUL: every copy stops at the first NUL byte.
//
// Buffers grow and shrink exactly (see reserve); there is no geometric growth.
// A failed allocation throws std::bad_alloc and an out-of-range substring
// position throws std::out_of_range; nothing else throws.
//
// Not thread-safe: even const access may build the cached UTF-16 form, so a
// ustring shared between threads needs outside locking.
#ifndef DRIFT_BASE_USTRING_H_
#define DRIFT_BASE_USTRING_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

class ustring {
 public:
  typedef uint32_t size_type;
  static constexpr size_type npos = 0xFFFFFFFFu;

  // Normalisation forms for normalize().
  enum NormalizationForm { kNFC = 0, kNFD = 1 };

  // Construction.  Every constructor leaves at least 4 bytes of UTF-8 and 4
  // units of UTF-16 allocated.  A null C string is taken as empty.
  ustring();
  ustring(const char* s);         // NOLINT(runtime/explicit): used as a value type
  ustring(const std::string& s);  // NOLINT(runtime/explicit)
  ustring(char c);                // NOLINT(runtime/explicit)
  ustring(const char16_t* s);     // NOLINT(runtime/explicit): UTF-16 text
  ustring(const ustring& other);
  ~ustring();

  // Assignment.  Assigning from this string's own buffer or from itself keeps
  // the text intact.
  ustring& operator=(const ustring& other);
  ustring& operator=(const char* s);
  ustring& operator=(const std::string& s);
  ustring& operator=(char c);
  ustring& operator=(const char16_t* s);

  // Replaces the text by a C string; when `s` is this string's own buffer the
  // text is kept.
  ustring& assign(const char* s);
  // Replaces the text by at most n bytes of `s`; when `s` is this string's
  // own buffer, truncates to n when n is less than the length.
  ustring& assign(const char* s, size_type n);
  // Replaces the text by s.substr(pos, n); throws std::out_of_range when pos
  // is beyond s's length.
  ustring& assign(const ustring& s, size_type pos = 0, size_type n = npos);
  // Replaces the text by the substring of a std::string; throws
  // std::out_of_range("basic_string::substr") when pos is beyond its size.
  ustring& assign(const std::string& s, size_type pos = 0, size_type n = npos);
  // UTF-16 assignment: the UTF-16 form is replaced, then the UTF-8 form is
  // rebuilt from it.
  ustring& assign(const char16_t* s);
  ustring& assign(const char16_t* s, size_type n);
  ustring& assign(size_type count, char16_t unit);

  // Length 0, UTF-16 form dropped; capacities are kept.
  void clear();

  // Capacity rule for the UTF-8 buffer, in bytes including the NUL: a
  // request for n leaves the buffer alone when n <= capacity and
  // n >= capacity / 2; otherwise reallocates to exactly n (which may shrink
  // it, truncating the text to fit).  Throws std::bad_alloc on failure.
  void reserve(size_type n);
  // The same rule for the UTF-16 buffer, in units including the NUL.
  void reserve16(size_type n);
  size_type capacity() const { return cap8_; }
  size_type capacity16() const { return cap16_; }

  // Access.  Reads never allocate.
  const char* c_str() const { return buf8_; }
  const char* data() const { return buf8_; }
  size_type length() const { return len8_; }
  size_type size() const { return len8_; }
  bool empty() const { return len8_ == 0; }
  // The byte at index; unchecked (index must be below length()).
  char& at(size_type index) { return buf8_[index]; }
  const char& at(size_type index) const { return buf8_[index]; }
  char& operator[](size_type index) { return buf8_[index]; }
  const char& operator[](size_type index) const { return buf8_[index]; }
  std::string str() const { return std::string(buf8_, len8_); }

  // The UTF-16 form, built from the UTF-8 form when not cached.  Returns an
  // empty UTF-16 string when the UTF-8 text is not valid (a warning is
  // written to standard error).  The pointer is valid until the next change.
  const char16_t* utf16() const;
  // Units of the cached UTF-16 form (building it when needed).
  size_type utf16_length() const;

  // Appending.  Each ends by dropping the cached UTF-16 form.
  ustring& append(const char* s);
  ustring& append(const char* s, size_type n);
  ustring& append(const ustring& s, size_type pos = 0, size_type n = npos);
  // Throws std::out_of_range("basic_string::substr") when pos is beyond the
  // size of s.
  ustring& append(const std::string& s, size_type pos = 0, size_type n = npos);
  // count copies of one byte.
  ustring& append(char c, size_type count = 1);
  // UTF-16 appending: the UTF-16 form is extended (built first when not
  // cached), then the UTF-8 form is rebuilt from it.
  ustring& append(const char16_t* s);
  ustring& append(const char16_t* s, size_type n);
  ustring& append(size_type count, char16_t unit);

  ustring& operator+=(const ustring& s) { return append(s); }
  ustring& operator+=(const char* s) { return append(s); }
  ustring& operator+=(const std::string& s) { return append(s); }
  ustring& operator+=(char c) { return append(c); }
  ustring& operator+=(const char16_t* s) { return append(s); }

  // Substring [pos, pos + n) clipped to the end.  pos == length() gives an
  // empty string; pos > length() throws std::out_of_range("substr").
  ustring substr(size_type pos = 0, size_type n = npos) const;

  // First match at or after pos; npos when pos >= length().  An empty needle
  // yields pos (when pos < length()).
  size_type find(const char* needle, size_type pos = 0) const;
  size_type find(char c, size_type pos = 0) const;
  size_type find(const ustring& needle, size_type pos = 0) const;
  size_type find(const std::string& needle, size_type pos = 0) const;

  // Last match starting at or before pos (pos >= length() or npos starts at
  // the last byte).  An empty needle yields the start position; an empty
  // string yields npos.
  size_type rfind(const char* needle, size_type pos = npos) const;
  size_type rfind(char c, size_type pos = npos) const;
  size_type rfind(const ustring& needle, size_type pos = npos) const;
  size_type rfind(const std::string& needle, size_type pos = npos) const;

  // First byte at or after pos that is in the set; an empty set yields npos.
  size_type find_first_of(const char* set, size_type pos = 0) const;
  size_type find_first_of(char c, size_type pos = 0) const;
  size_type find_first_of(const ustring& set, size_type pos = 0) const;
  size_type find_first_of(const std::string& set, size_type pos = 0) const;

  // First byte at or after pos not in the set; an empty set yields pos (npos
  // when pos >= length()).
  size_type find_first_not_of(const char* set, size_type pos = 0) const;
  size_type find_first_not_of(char c, size_type pos = 0) const;
  size_type find_first_not_of(const ustring& set, size_type pos = 0) const;
  size_type find_first_not_of(const std::string& set, size_type pos = 0) const;

  // Backward searches from pos (from the last byte when pos is out of range).
  size_type find_last_of(const char* set, size_type pos = npos) const;
  size_type find_last_of(char c, size_type pos = npos) const;
  size_type find_last_of(const ustring& set, size_type pos = npos) const;
  size_type find_last_of(const std::string& set, size_type pos = npos) const;

  size_type find_last_not_of(const char* set, size_type pos = npos) const;
  size_type find_last_not_of(char c, size_type pos = npos) const;
  size_type find_last_not_of(const ustring& set, size_type pos = npos) const;
  size_type find_last_not_of(const std::string& set, size_type pos = npos) const;

  // Byte-wise comparison of the UTF-8 forms as unsigned values; with
  // ignore_case the ASCII letters A-Z compare as a-z (no other byte is
  // changed).  Returns the difference of the first differing pair of bytes
  // (the NUL counting as a byte), or 0.
  int compare(const ustring& other, bool ignore_case = false) const;
  int compare(const char* other, bool ignore_case = false) const;

  // Trimming: removes bytes of `set` from the left, the right or both ends.
  ustring& trim_left(const char* set = " \t\r\n");
  ustring& trim_right(const char* set = " \t\r\n");
  ustring& trim(const char* set = " \t\r\n");

  // Replaces this string by the normalisation of `source` (which may be this
  // string): kNFC or kNFD.  Empty for an empty source, or (with a warning on
  // standard error) when ICU fails.
  ustring& normalize(const ustring& source, int form);

  // True when the text is well-formed UTF-8 (an empty string is).
  bool is_valid_utf8() const;

 private:
  // Converts the UTF-8 form into the UTF-16 cache.  0, or -1 (warning on
  // standard error, cache dropped) on an ICU failure.
  int ConvertToUtf16() const;
  // Rebuilds the UTF-8 form from the UTF-16 form.  0, or -1 (warning on
  // standard error, both forms cleared) on an ICU failure.
  int ConvertToUtf8();
  // Drops the cached UTF-16 form.
  void InvalidateUtf16() const;
  // Appends n bytes that are known not to alias the buffer and hold no NUL.
  void AppendBytes(const char* s, size_type n);
  // Makes sure the UTF-16 form is built (for the UTF-16 modifiers).
  void EnsureUtf16() const;
  // Appends n UTF-16 units (which may alias the UTF-16 buffer, hold no NUL).
  void AppendUnits(const char16_t* s, size_type n);
  // Appends count copies of a unit to the UTF-16 form as it is, then rebuilds
  // the UTF-8 form.
  ustring& AppendRepeatedUnit(size_type count, char16_t unit);
  // The capacity rule applied to the UTF-16 buffer (a cache, so const).
  void Reserve16(size_type n) const;
  // Allocates both buffers: cap8 bytes and the initial UTF-16 units.
  void Init(size_type cap8);
  // Init with room for n bytes copied from s (which holds no NUL among them).
  void InitBytes(const char* s, size_type n);
  void Swap(ustring& other) noexcept;

  // Search kernels over explicit lengths; `member` chooses between "of" and
  // "not of".
  size_type FindBytes(const char* needle, size_t needle_length, size_type pos) const;
  size_type RFindBytes(const char* needle, size_t needle_length, size_type pos) const;
  size_type FindFirstOf(const char* set, size_t set_length, size_type pos, bool member) const;
  size_type FindLastOf(const char* set, size_t set_length, size_type pos, bool member) const;

  char* buf8_;
  size_type len8_;
  size_type cap8_;
  // The UTF-16 form is a cache and is (re)built by const readers.
  mutable char16_t* buf16_;
  mutable size_type len16_;
  mutable size_type cap16_;
};

ustring operator+(const ustring& left, const ustring& right);
ustring operator+(const ustring& left, const char* right);
ustring operator+(const ustring& left, char right);
ustring operator+(const ustring& left, const char16_t* right);
ustring operator+(const ustring& left, char16_t right);
ustring operator+(const char* left, const ustring& right);

bool operator==(const ustring& a, const ustring& b);
bool operator!=(const ustring& a, const ustring& b);
bool operator<(const ustring& a, const ustring& b);
bool operator>(const ustring& a, const ustring& b);
bool operator<=(const ustring& a, const ustring& b);
bool operator>=(const ustring& a, const ustring& b);
bool operator==(const ustring& a, const char* b);
bool operator!=(const ustring& a, const char* b);
bool operator==(const char* a, const ustring& b);
bool operator!=(const char* a, const ustring& b);

// Writes the UTF-8 bytes.
std::ostream& operator<<(std::ostream& out, const ustring& s);
// Reads one white-space-delimited word.
std::istream& operator>>(std::istream& in, ustring& s);

namespace std {
template <>
struct hash<ustring> {
  size_t operator()(const ustring& s) const noexcept;
};
}  // namespace std

#endif  // DRIFT_BASE_USTRING_H_
