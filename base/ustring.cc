#include "base/ustring.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unicode/unorm.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>

static_assert(sizeof(UChar) == sizeof(char16_t), "ICU's UChar must be a 16-bit unit");

namespace {

// Both buffers start with room for this many elements.
constexpr ustring::size_type kInitialCapacity = 4;

// Grows or shrinks a heap block; never returns null.
void* Resize(void* block, size_t count, size_t element_size) {
  if (count == 0) count = 1;
  if (count > SIZE_MAX / element_size) throw std::bad_alloc();
  void* grown = realloc(block, count * element_size);
  if (grown == nullptr) throw std::bad_alloc();
  return grown;
}

// True when `p` points into the live text [begin, begin + length].  Compared
// as integers: the pointers may belong to unrelated objects.
template <typename T>
bool PointsInto(const T* p, const T* begin, ustring::size_type length) {
  uintptr_t address = reinterpret_cast<uintptr_t>(p);
  uintptr_t start = reinterpret_cast<uintptr_t>(begin);
  return address >= start && address <= start + length * sizeof(T);
}

// The capacity the rule of reserve() gives a fresh buffer of
// kInitialCapacity elements asked for `need` elements.
ustring::size_type FreshCapacity(ustring::size_type need) {
  if (need <= kInitialCapacity && need >= kInitialCapacity / 2) return kInitialCapacity;
  return need == 0 ? 1 : need;
}

// Length of a NUL-terminated UTF-16 string, reading at most `limit` units.
ustring::size_type Utf16Length(const char16_t* s, ustring::size_type limit) {
  ustring::size_type n = 0;
  while (n < limit && s[n] != 0) ++n;
  return n;
}

// Length of a C string, reading at most `limit` bytes.
ustring::size_type ByteLength(const char* s, size_t limit) {
  size_t n = strnlen(s, limit);
  if (n >= ustring::npos) throw std::bad_alloc();
  return static_cast<ustring::size_type>(n);
}

// Longest text a ustring can hold: length + NUL must fit the capacity type,
// and ICU takes lengths as int32_t.
constexpr ustring::size_type kMaxLength = ustring::npos - 1;

void CheckGrowth(ustring::size_type length, size_t extra) {
  if (extra > kMaxLength || length > kMaxLength - extra) throw std::bad_alloc();
}

// ICU takes buffer sizes as int32_t.
int32_t IcuSize(ustring::size_type n) {
  return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

int FoldCase(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

// ---------------------------------------------------------------------------
// Construction and storage.

void ustring::Init(size_type cap8) {
  buf8_ = static_cast<char*>(Resize(nullptr, cap8, 1));
  buf8_[0] = '\0';
  len8_ = 0;
  cap8_ = cap8 == 0 ? 1 : cap8;
  try {
    buf16_ = static_cast<char16_t*>(Resize(nullptr, kInitialCapacity, sizeof(char16_t)));
  } catch (...) {
    free(buf8_);
    throw;
  }
  buf16_[0] = 0;
  len16_ = 0;
  cap16_ = kInitialCapacity;
}

void ustring::InitBytes(const char* s, size_type n) {
  Init(FreshCapacity(n + 1));
  memcpy(buf8_, s, n);
  buf8_[n] = '\0';
  len8_ = n;
}

ustring::ustring() { Init(kInitialCapacity); }

ustring::ustring(const char* s) {
  if (s == nullptr) {
    Init(kInitialCapacity);
    return;
  }
  InitBytes(s, ByteLength(s, kMaxLength + static_cast<size_t>(1)));
}

ustring::ustring(const std::string& s) { InitBytes(s.c_str(), ByteLength(s.c_str(), s.size())); }

ustring::ustring(char c) {
  if (c == '\0') {
    Init(FreshCapacity(1));
    return;
  }
  InitBytes(&c, 1);
}

ustring::ustring(const char16_t* s) {
  Init(kInitialCapacity);
  try {
    assign(s);
  } catch (...) {
    free(buf8_);
    free(buf16_);
    throw;
  }
}

ustring::ustring(const ustring& other) { InitBytes(other.buf8_, other.len8_); }

ustring::~ustring() {
  free(buf8_);
  free(buf16_);
}

void ustring::Swap(ustring& other) noexcept {
  std::swap(buf8_, other.buf8_);
  std::swap(len8_, other.len8_);
  std::swap(cap8_, other.cap8_);
  std::swap(buf16_, other.buf16_);
  std::swap(len16_, other.len16_);
  std::swap(cap16_, other.cap16_);
}

void ustring::reserve(size_type n) {
  if (n == 0) n = 1;
  if (n <= cap8_ && n >= cap8_ / 2) return;
  buf8_ = static_cast<char*>(Resize(buf8_, n, 1));
  cap8_ = n;
  if (len8_ >= n) {
    len8_ = n - 1;
    buf8_[len8_] = '\0';
    InvalidateUtf16();
  }
}

void ustring::reserve16(size_type n) { Reserve16(n); }

void ustring::Reserve16(size_type n) const {
  if (n == 0) n = 1;
  if (n <= cap16_ && n >= cap16_ / 2) return;
  buf16_ = static_cast<char16_t*>(Resize(buf16_, n, sizeof(char16_t)));
  cap16_ = n;
  if (len16_ >= n) {
    len16_ = n - 1;
    buf16_[len16_] = 0;
  }
}

void ustring::InvalidateUtf16() const {
  len16_ = 0;
  buf16_[0] = 0;
}

void ustring::clear() {
  len8_ = 0;
  buf8_[0] = '\0';
  InvalidateUtf16();
}

// ---------------------------------------------------------------------------
// UTF-16 form.

int ustring::ConvertToUtf16() const {
  if (len8_ == 0) {
    InvalidateUtf16();
    return 0;
  }
  UErrorCode error = U_ZERO_ERROR;
  int32_t needed = 0;
  if (len8_ > static_cast<size_type>(INT32_MAX)) {
    error = U_INDEX_OUTOFBOUNDS_ERROR;
  } else {
    u_strFromUTF8(nullptr, 0, &needed, buf8_, static_cast<int32_t>(len8_), &error);
    // Preflighting always reports a full (null) destination.
    if (error == U_BUFFER_OVERFLOW_ERROR || error == U_STRING_NOT_TERMINATED_WARNING) {
      error = U_ZERO_ERROR;
    }
  }
  if (U_SUCCESS(error)) {
    Reserve16(static_cast<size_type>(needed) + 1);
    int32_t written = 0;
    u_strFromUTF8(reinterpret_cast<UChar*>(buf16_), IcuSize(cap16_), &written, buf8_,
                  static_cast<int32_t>(len8_), &error);
    if (U_SUCCESS(error) && static_cast<size_type>(written) < cap16_) {
      len16_ = static_cast<size_type>(written);
      buf16_[len16_] = 0;
      return 0;
    }
    if (U_SUCCESS(error)) error = U_BUFFER_OVERFLOW_ERROR;
  }
  fprintf(stderr, "Warning: u_strFromUTF8: error code %d at line %d\n", static_cast<int>(error),
          __LINE__);
  InvalidateUtf16();
  return -1;
}

int ustring::ConvertToUtf8() {
  // The UTF-8 text is rebuilt from scratch; emptying it first also keeps
  // reserve() from truncating it (which would drop the UTF-16 form).
  len8_ = 0;
  buf8_[0] = '\0';
  if (len16_ == 0) return 0;
  UErrorCode error = U_ZERO_ERROR;
  int32_t needed = 0;
  if (len16_ > static_cast<size_type>(INT32_MAX)) {
    error = U_INDEX_OUTOFBOUNDS_ERROR;
  } else {
    u_strToUTF8(nullptr, 0, &needed, reinterpret_cast<const UChar*>(buf16_),
                static_cast<int32_t>(len16_), &error);
    if (error == U_BUFFER_OVERFLOW_ERROR || error == U_STRING_NOT_TERMINATED_WARNING) {
      error = U_ZERO_ERROR;
    }
  }
  if (U_SUCCESS(error)) {
    if (static_cast<size_type>(needed) >= kMaxLength) throw std::bad_alloc();
    reserve(static_cast<size_type>(needed) + 1);
    int32_t written = 0;
    u_strToUTF8(buf8_, IcuSize(cap8_), &written, reinterpret_cast<const UChar*>(buf16_),
                static_cast<int32_t>(len16_), &error);
    if (U_SUCCESS(error) && static_cast<size_type>(written) < cap8_) {
      len8_ = static_cast<size_type>(written);
      buf8_[len8_] = '\0';
      return 0;
    }
    if (U_SUCCESS(error)) error = U_BUFFER_OVERFLOW_ERROR;
  }
  fprintf(stderr, "Warning: u_strToUTF8: error code %d at line %d\n", static_cast<int>(error),
          __LINE__);
  clear();
  return -1;
}

const char16_t* ustring::utf16() const {
  if (len16_ == 0) ConvertToUtf16();
  return buf16_;
}

ustring::size_type ustring::utf16_length() const {
  if (len16_ == 0) ConvertToUtf16();
  return len16_;
}

void ustring::EnsureUtf16() const {
  if (len16_ == 0) ConvertToUtf16();
}

void ustring::AppendUnits(const char16_t* s, size_type n) {
  if (n > kMaxLength || len16_ > kMaxLength - n) throw std::bad_alloc();
  bool alias = PointsInto(s, buf16_, len16_);
  size_type offset = alias ? static_cast<size_type>(s - buf16_) : 0;
  Reserve16(len16_ + n + 1);
  const char16_t* source = alias ? buf16_ + offset : s;
  memmove(buf16_ + len16_, source, static_cast<size_t>(n) * sizeof(char16_t));
  len16_ += n;
  buf16_[len16_] = 0;
}

ustring& ustring::append(const char16_t* s) {
  if (s == nullptr) return *this;
  return append(s, npos);
}

ustring& ustring::append(const char16_t* s, size_type n) {
  if (s == nullptr) return *this;
  // An alias of an empty cache is the empty string (and the cache may move
  // while it is built).
  if (len16_ == 0 && PointsInto(s, buf16_, 0)) return *this;
  EnsureUtf16();
  size_type limit = n;
  if (PointsInto(s, buf16_, len16_)) {
    size_type available = len16_ - static_cast<size_type>(s - buf16_);
    if (limit > available) limit = available;
  }
  AppendUnits(s, Utf16Length(s, limit));
  ConvertToUtf8();
  return *this;
}

ustring& ustring::append(size_type count, char16_t unit) {
  EnsureUtf16();
  return AppendRepeatedUnit(count, unit);
}

ustring& ustring::AppendRepeatedUnit(size_type count, char16_t unit) {
  if (unit == 0) count = 0;
  if (count > kMaxLength || len16_ > kMaxLength - count) throw std::bad_alloc();
  Reserve16(len16_ + count + 1);
  for (size_type i = 0; i < count; ++i) buf16_[len16_ + i] = unit;
  len16_ += count;
  buf16_[len16_] = 0;
  ConvertToUtf8();
  return *this;
}

ustring& ustring::assign(const char16_t* s) {
  if (s == nullptr) {
    clear();
    return *this;
  }
  return assign(s, npos);
}

ustring& ustring::assign(const char16_t* s, size_type n) {
  if (s == nullptr) {
    clear();
    return *this;
  }
  if (PointsInto(s, buf16_, len16_)) {
    // Our own UTF-16 text: move the wanted stretch to the front.
    size_type offset = static_cast<size_type>(s - buf16_);
    size_type count = Utf16Length(s, n < len16_ - offset ? n : len16_ - offset);
    memmove(buf16_, s, static_cast<size_t>(count) * sizeof(char16_t));
    len16_ = count;
    buf16_[len16_] = 0;
  } else {
    len16_ = 0;
    buf16_[0] = 0;
    AppendUnits(s, Utf16Length(s, n));
  }
  ConvertToUtf8();
  return *this;
}

ustring& ustring::assign(size_type count, char16_t unit) {
  len16_ = 0;
  buf16_[0] = 0;
  return AppendRepeatedUnit(count, unit);
}

ustring& ustring::normalize(const ustring& source, int form) {
  if (&source == this) {
    ustring result;
    result.normalize(source, form);
    Swap(result);
    return *this;
  }
  clear();
  if (source.empty()) return *this;
  const UChar* text = reinterpret_cast<const UChar*>(source.utf16());
  size_type text_length = source.len16_;
  // An unconvertible source has already been reported by the conversion.
  if (text_length == 0) return *this;

  UErrorCode error = U_ZERO_ERROR;
  UNormalizationMode mode = UNORM_NFC;
  if (form == kNFC) {
    mode = UNORM_NFC;
  } else if (form == kNFD) {
    mode = UNORM_NFD;
  } else {
    error = U_ILLEGAL_ARGUMENT_ERROR;
  }
  int32_t needed = 0;
// The one-shot normaliser is deprecated in favour of the unorm2 objects, but it
// is the call whose results (and error codes) this class has always had.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (U_SUCCESS(error)) {
    needed = unorm_normalize(text, IcuSize(text_length), mode, 0, nullptr, 0, &error);
    if (error == U_BUFFER_OVERFLOW_ERROR || error == U_STRING_NOT_TERMINATED_WARNING) {
      error = U_ZERO_ERROR;
    }
  }
  if (U_SUCCESS(error)) {
    if (static_cast<size_type>(needed) >= kMaxLength) throw std::bad_alloc();
    Reserve16(static_cast<size_type>(needed) + 1);
    int32_t written = unorm_normalize(text, IcuSize(text_length), mode, 0,
                                      reinterpret_cast<UChar*>(buf16_), IcuSize(cap16_), &error);
    if (U_SUCCESS(error) && written >= 0 && static_cast<size_type>(written) < cap16_) {
      len16_ = static_cast<size_type>(written);
      buf16_[len16_] = 0;
      ConvertToUtf8();
      return *this;
    }
    if (U_SUCCESS(error)) error = U_BUFFER_OVERFLOW_ERROR;
  }
#pragma GCC diagnostic pop
  // Unlike the two conversion warnings, this one ends without a line end.
  fprintf(stderr, "Warning: unorm_normalize: error code %d at line %d", static_cast<int>(error),
          __LINE__);
  clear();
  return *this;
}

bool ustring::is_valid_utf8() const {
  if (len8_ == 0) return true;
  if (len8_ > static_cast<size_type>(INT32_MAX)) return false;
  UErrorCode error = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strFromUTF8(nullptr, 0, &needed, buf8_, static_cast<int32_t>(len8_), &error);
  return error != U_INVALID_CHAR_FOUND;
}

// ---------------------------------------------------------------------------
// Assignment.

ustring& ustring::operator=(const ustring& other) { return assign(other, 0, npos); }

ustring& ustring::operator=(const char* s) { return assign(s); }

ustring& ustring::operator=(const std::string& s) { return assign(s, 0, npos); }

ustring& ustring::operator=(char c) {
  clear();
  return append(c, 1);
}

ustring& ustring::operator=(const char16_t* s) { return assign(s); }

ustring& ustring::assign(const char* s) {
  if (s == buf8_) return *this;
  return assign(s, npos);
}

ustring& ustring::assign(const char* s, size_type n) {
  if (s == nullptr) {
    clear();
    return *this;
  }
  if (s == buf8_) {
    if (n < len8_) {
      len8_ = n;
      buf8_[len8_] = '\0';
      InvalidateUtf16();
    }
    return *this;
  }
  if (PointsInto(s, buf8_, len8_)) {
    // A tail of our own text: slide it to the front, then apply the rule of
    // "clear and append" to the capacity.
    size_type offset = static_cast<size_type>(s - buf8_);
    size_type available = len8_ - offset;
    size_type count = n < available ? n : available;
    memmove(buf8_, s, count);
    len8_ = count;
    buf8_[len8_] = '\0';
    reserve(len8_ + 1);
    InvalidateUtf16();
    return *this;
  }
  clear();
  return append(s, n);
}

ustring& ustring::assign(const ustring& s, size_type pos, size_type n) {
  if (&s == this) {
    ustring copy(s.substr(pos, n));
    clear();
    AppendBytes(copy.buf8_, copy.len8_);
    return *this;
  }
  if (pos > s.len8_) throw std::out_of_range("substr");
  size_type available = s.len8_ - pos;
  clear();
  AppendBytes(s.buf8_ + pos, n < available ? n : available);
  return *this;
}

ustring& ustring::assign(const std::string& s, size_type pos, size_type n) {
  if (pos > s.size()) throw std::out_of_range("basic_string::substr");
  size_t available = s.size() - pos;
  size_t count = n < available ? n : available;
  clear();
  AppendBytes(s.c_str() + pos, ByteLength(s.c_str() + pos, count));
  return *this;
}

// ---------------------------------------------------------------------------
// Appending.

void ustring::AppendBytes(const char* s, size_type n) {
  CheckGrowth(len8_, n);
  bool alias = PointsInto(s, buf8_, len8_);
  size_type offset = alias ? static_cast<size_type>(s - buf8_) : 0;
  reserve(len8_ + n + 1);
  const char* source = alias ? buf8_ + offset : s;
  memmove(buf8_ + len8_, source, n);
  len8_ += n;
  buf8_[len8_] = '\0';
  InvalidateUtf16();
}

ustring& ustring::append(const char* s) {
  if (s == nullptr) return *this;
  return append(s, npos);
}

ustring& ustring::append(const char* s, size_type n) {
  if (s == nullptr) return *this;
  size_t limit = n;
  if (PointsInto(s, buf8_, len8_)) {
    // Our own text: never read past its current end.
    size_type available = len8_ - static_cast<size_type>(s - buf8_);
    if (limit > available) limit = available;
  }
  AppendBytes(s, ByteLength(s, limit));
  return *this;
}

ustring& ustring::append(const ustring& s, size_type pos, size_type n) {
  if (pos > s.len8_) throw std::out_of_range("substr");
  size_type available = s.len8_ - pos;
  AppendBytes(s.buf8_ + pos, n < available ? n : available);
  return *this;
}

ustring& ustring::append(const std::string& s, size_type pos, size_type n) {
  if (pos > s.size()) throw std::out_of_range("basic_string::substr");
  size_t available = s.size() - pos;
  size_t count = n < available ? n : available;
  AppendBytes(s.c_str() + pos, ByteLength(s.c_str() + pos, count));
  return *this;
}

ustring& ustring::append(char c, size_type count) {
  if (c == '\0') count = 0;
  CheckGrowth(len8_, count);
  reserve(len8_ + count + 1);
  memset(buf8_ + len8_, c, count);
  len8_ += count;
  buf8_[len8_] = '\0';
  InvalidateUtf16();
  return *this;
}

// ---------------------------------------------------------------------------
// Substring and search.

ustring ustring::substr(size_type pos, size_type n) const {
  if (pos > len8_) throw std::out_of_range("substr");
  size_type available = len8_ - pos;
  ustring result;
  result.AppendBytes(buf8_ + pos, n < available ? n : available);
  return result;
}

ustring::size_type ustring::FindBytes(const char* needle, size_t needle_length,
                                      size_type pos) const {
  if (pos >= len8_) return npos;
  if (needle_length == 0) return pos;
  if (needle_length > len8_ - pos) return npos;
  size_type last = len8_ - static_cast<size_type>(needle_length);
  for (size_type i = pos; i <= last; ++i) {
    const void* hit = memchr(buf8_ + i, needle[0], last - i + 1);
    if (hit == nullptr) return npos;
    i = static_cast<size_type>(static_cast<const char*>(hit) - buf8_);
    if (memcmp(buf8_ + i, needle, needle_length) == 0) return i;
  }
  return npos;
}

ustring::size_type ustring::RFindBytes(const char* needle, size_t needle_length,
                                       size_type pos) const {
  if (len8_ == 0) return npos;
  size_type start = pos >= len8_ ? len8_ - 1 : pos;
  if (needle_length == 0) return start;
  if (needle_length > len8_) return npos;
  size_type last = len8_ - static_cast<size_type>(needle_length);
  size_type i = start < last ? start : last;
  for (;;) {
    if (memcmp(buf8_ + i, needle, needle_length) == 0) return i;
    if (i == 0) return npos;
    --i;
  }
}

ustring::size_type ustring::FindFirstOf(const char* set, size_t set_length, size_type pos,
                                        bool member) const {
  if (pos >= len8_) return npos;
  if (set_length == 0) return member ? npos : pos;
  for (size_type i = pos; i < len8_; ++i) {
    bool in_set = memchr(set, buf8_[i], set_length) != nullptr;
    if (in_set == member) return i;
  }
  return npos;
}

ustring::size_type ustring::FindLastOf(const char* set, size_t set_length, size_type pos,
                                       bool member) const {
  if (len8_ == 0) return npos;
  size_type i = pos >= len8_ ? len8_ - 1 : pos;
  if (set_length == 0) return member ? npos : i;
  for (;;) {
    bool in_set = memchr(set, buf8_[i], set_length) != nullptr;
    if (in_set == member) return i;
    if (i == 0) return npos;
    --i;
  }
}

namespace {
size_t CLength(const char* s) { return s == nullptr ? 0 : strlen(s); }
const char* CText(const char* s) { return s == nullptr ? "" : s; }
}  // namespace

ustring::size_type ustring::find(const char* needle, size_type pos) const {
  return FindBytes(CText(needle), CLength(needle), pos);
}
ustring::size_type ustring::find(char c, size_type pos) const {
  if (c == '\0') return npos;
  return FindBytes(&c, 1, pos);
}
ustring::size_type ustring::find(const ustring& needle, size_type pos) const {
  return FindBytes(needle.buf8_, needle.len8_, pos);
}
ustring::size_type ustring::find(const std::string& needle, size_type pos) const {
  return FindBytes(needle.c_str(), strlen(needle.c_str()), pos);
}

ustring::size_type ustring::rfind(const char* needle, size_type pos) const {
  return RFindBytes(CText(needle), CLength(needle), pos);
}
ustring::size_type ustring::rfind(char c, size_type pos) const {
  if (c == '\0') return npos;
  return RFindBytes(&c, 1, pos);
}
ustring::size_type ustring::rfind(const ustring& needle, size_type pos) const {
  return RFindBytes(needle.buf8_, needle.len8_, pos);
}
ustring::size_type ustring::rfind(const std::string& needle, size_type pos) const {
  return RFindBytes(needle.c_str(), strlen(needle.c_str()), pos);
}

ustring::size_type ustring::find_first_of(const char* set, size_type pos) const {
  return FindFirstOf(CText(set), CLength(set), pos, true);
}
ustring::size_type ustring::find_first_of(char c, size_type pos) const {
  return FindFirstOf(&c, c == '\0' ? 0 : 1, pos, true);
}
ustring::size_type ustring::find_first_of(const ustring& set, size_type pos) const {
  return FindFirstOf(set.buf8_, set.len8_, pos, true);
}
ustring::size_type ustring::find_first_of(const std::string& set, size_type pos) const {
  return FindFirstOf(set.c_str(), strlen(set.c_str()), pos, true);
}

ustring::size_type ustring::find_first_not_of(const char* set, size_type pos) const {
  return FindFirstOf(CText(set), CLength(set), pos, false);
}
ustring::size_type ustring::find_first_not_of(char c, size_type pos) const {
  return FindFirstOf(&c, c == '\0' ? 0 : 1, pos, false);
}
ustring::size_type ustring::find_first_not_of(const ustring& set, size_type pos) const {
  return FindFirstOf(set.buf8_, set.len8_, pos, false);
}
ustring::size_type ustring::find_first_not_of(const std::string& set, size_type pos) const {
  return FindFirstOf(set.c_str(), strlen(set.c_str()), pos, false);
}

ustring::size_type ustring::find_last_of(const char* set, size_type pos) const {
  return FindLastOf(CText(set), CLength(set), pos, true);
}
ustring::size_type ustring::find_last_of(char c, size_type pos) const {
  return FindLastOf(&c, c == '\0' ? 0 : 1, pos, true);
}
ustring::size_type ustring::find_last_of(const ustring& set, size_type pos) const {
  return FindLastOf(set.buf8_, set.len8_, pos, true);
}
ustring::size_type ustring::find_last_of(const std::string& set, size_type pos) const {
  return FindLastOf(set.c_str(), strlen(set.c_str()), pos, true);
}

ustring::size_type ustring::find_last_not_of(const char* set, size_type pos) const {
  return FindLastOf(CText(set), CLength(set), pos, false);
}
ustring::size_type ustring::find_last_not_of(char c, size_type pos) const {
  return FindLastOf(&c, c == '\0' ? 0 : 1, pos, false);
}
ustring::size_type ustring::find_last_not_of(const ustring& set, size_type pos) const {
  return FindLastOf(set.buf8_, set.len8_, pos, false);
}
ustring::size_type ustring::find_last_not_of(const std::string& set, size_type pos) const {
  return FindLastOf(set.c_str(), strlen(set.c_str()), pos, false);
}

// ---------------------------------------------------------------------------
// Comparison.

int ustring::compare(const char* other, bool ignore_case) const {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(buf8_);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(CText(other));
  for (;; ++a, ++b) {
    int ca = *a;
    int cb = *b;
    if (ignore_case) {
      ca = FoldCase(ca);
      cb = FoldCase(cb);
    }
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

int ustring::compare(const ustring& other, bool ignore_case) const {
  return compare(other.buf8_, ignore_case);
}

bool operator==(const ustring& a, const ustring& b) {
  return a.length() == b.length() && a.compare(b) == 0;
}
bool operator!=(const ustring& a, const ustring& b) { return !(a == b); }
bool operator<(const ustring& a, const ustring& b) { return a.compare(b) < 0; }
bool operator>(const ustring& a, const ustring& b) { return a.compare(b) > 0; }
bool operator<=(const ustring& a, const ustring& b) { return a.compare(b) <= 0; }
bool operator>=(const ustring& a, const ustring& b) { return a.compare(b) >= 0; }
bool operator==(const ustring& a, const char* b) { return a.compare(b) == 0; }
bool operator!=(const ustring& a, const char* b) { return a.compare(b) != 0; }
bool operator==(const char* a, const ustring& b) { return b.compare(a) == 0; }
bool operator!=(const char* a, const ustring& b) { return b.compare(a) != 0; }

// ---------------------------------------------------------------------------
// Trimming.

ustring& ustring::trim_left(const char* set) {
  size_type first = find_first_not_of(set);
  if (first == npos) {
    if (CLength(set) != 0) clear();
    return *this;
  }
  if (first > 0) {
    memmove(buf8_, buf8_ + first, len8_ - first);
    len8_ -= first;
    buf8_[len8_] = '\0';
    InvalidateUtf16();
  }
  return *this;
}

ustring& ustring::trim_right(const char* set) {
  size_type last = find_last_not_of(set);
  if (last == npos) {
    if (CLength(set) != 0) clear();
    return *this;
  }
  if (last + 1 < len8_) {
    len8_ = last + 1;
    buf8_[len8_] = '\0';
    InvalidateUtf16();
  }
  return *this;
}

ustring& ustring::trim(const char* set) {
  trim_right(set);
  return trim_left(set);
}

// ---------------------------------------------------------------------------
// Free operators.

ustring operator+(const ustring& left, const ustring& right) {
  ustring result(left);
  result.append(right);
  return result;
}
ustring operator+(const ustring& left, const char* right) {
  ustring result(left);
  result.append(right);
  return result;
}
ustring operator+(const ustring& left, char right) {
  ustring result(left);
  result.append(right, 1);
  return result;
}
ustring operator+(const ustring& left, const char16_t* right) {
  ustring result(left);
  result.append(right);
  return result;
}
ustring operator+(const ustring& left, char16_t right) {
  ustring result(left);
  result.append(static_cast<ustring::size_type>(1), right);
  return result;
}
ustring operator+(const char* left, const ustring& right) {
  ustring result(left);
  result.append(right);
  return result;
}

std::ostream& operator<<(std::ostream& out, const ustring& s) {
  return out.write(s.c_str(), static_cast<std::streamsize>(s.length()));
}

std::istream& operator>>(std::istream& in, ustring& s) {
  std::string word;
  if (in >> word) s = word;
  return in;
}

size_t std::hash<ustring>::operator()(const ustring& s) const noexcept {
  // FNV-1a over the UTF-8 bytes.
  uint32_t h = 2166136261u;
  for (ustring::size_type i = 0; i < s.length(); ++i) {
    h ^= static_cast<unsigned char>(s.c_str()[i]);
    h *= 16777619u;
  }
  return h;
}
