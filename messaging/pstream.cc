#include "messaging/pstream.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "base/appliance_paths.h"
#include "cli/logger.h"
#include "messaging/tmp_name_gen.h"

namespace {

const ustring& Component() {
  static const ustring* component = new ustring("stream");
  return *component;
}

// Entry names of binary_ex items.  They live as long as the process, as keys
// on the key path must.
const ustring& BinaryKey() {
  static const ustring* key = new ustring("binary");
  return *key;
}

const ustring& SendHashKey() {
  static const ustring* key = new ustring("send_hash");
  return *key;
}

// Debug lines of every item are the common case and are nearly always off:
// their arguments (the indentation, the key path) are built only when some
// component could take them.
#define STREAM_LOG(level, ...)                                                 \
  do {                                                                         \
    if (Logger::MightLog(level)) Logger::Log(level, Component(), __VA_ARGS__); \
  } while (0)

const int kLogError = 3;
const int kLogWarning = 4;
const int kLogInfo = 6;
const int kLogDebug = 7;

// Result codes (see pstream.h).
const int kErrLocal = -1;
const int kErrChannel = -2;
const int kErrDiskFull = -4;
const int kErrProtocol = -5;
const int kErrFileTooBig = -7;

// Channel codes that file receives translate.
const int kChannelDiskFull = -16;
const int kChannelFileTooBig = -34;

// Progress is logged each time this many bytes of one stretch have moved.
const uint64_t kProgressLogStep = 100ull << 20;

// Reads of strings and buffers grow their memory in steps of this size, so a
// peer that claims a long item but sends little costs at most one step.
const uint32_t kReadChunk = 64u << 10;
// A scratch area that grew past this is released after use.
const size_t kScratchKeep = 1u << 20;
// Key path slots kept for reuse between messages.
const size_t kKeyPathKeep = 64;

// Debug indentation: two spaces per level, at most 22.
const uint32_t kMaxIndentLevel = 11;
const char kSpaces[] = "                      ";

const char kDevNull[] = "/dev/null";
// Name under which the channel's hashing is switched off (any known name).
const char kHashOffName[] = "md4";

const int64_t kMaxFileOffset = INT64_MAX;

unsigned long long ULL(uint64_t value) { return static_cast<unsigned long long>(value); }

// Number of value bytes an integer is sent with.
int IntegerWidth(uint64_t value) {
  if (value < (1ull << 8)) return 1;
  if (value < (1ull << 16)) return 2;
  if (value < (1ull << 32)) return 4;
  return 8;
}

// Item writers and readers.  An item goes straight into the channel's write
// buffer, or comes straight out of its read-ahead buffer, when the channel
// would only copy it; otherwise through the channel's Write (its head, then
// its body) or Read.  Inlined, so that the small fixed sizes of tags and
// heads become plain stores and loads.

inline __attribute__((always_inline)) int PutItem(Channel* channel, const void* head, size_t head_n,
                                                  const void* body = nullptr, size_t body_n = 0) {
  if (char* room = channel->WriteInPlace(head_n + body_n)) {
    memcpy(room, head, head_n);
    if (body_n > 0) memcpy(room + head_n, body, body_n);
    channel->CommitWrite(head_n + body_n);
    return 0;
  }
  int rc = channel->Write(head, head_n);
  if (rc == 0 && body_n > 0) rc = channel->Write(body, body_n);
  return rc;
}

int PutTag(Channel* channel, uint8_t tag) { return PutItem(channel, &tag, 1); }

int PutString(Channel* channel, const char* text, uint16_t length) {
  const uint8_t header[3] = {PStream::kTagString, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length)};
  return PutItem(channel, header, sizeof(header), text, length);
}

inline __attribute__((always_inline)) int GetBytes(Channel* channel, void* out, size_t n) {
  if (const char* ahead = channel->ReadInPlace(n)) {
    memcpy(out, ahead, n);
    channel->ConsumeRead(n);
    return 0;
  }
  return channel->Read(out, n);
}

int GetByte(Channel* channel, uint8_t* value) { return GetBytes(channel, value, 1); }

// Big-endian, as Channel::ReadUInt16 reads it.
int GetUInt16(Channel* channel, uint16_t* value) {
  uint8_t bytes[2];
  int rc = GetBytes(channel, bytes, sizeof(bytes));
  if (rc == 0) *value = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
  return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// Progress

PStream::FileTransferProgressReporter::FileTransferProgressReporter(PStream* stream,
                                                                    const ustring& path,
                                                                    uint64_t total, uint64_t start)
    : m_stream(stream), m_path(path), m_total(total), m_start(start) {}

PStream::FileTransferProgressReporter::~FileTransferProgressReporter() {}

void PStream::FileTransferProgressReporter::report(uint64_t count) {
  m_transferred += count;
  m_stream->SetProgress(m_start + m_transferred, m_total);
  if (count > 0 && m_transferred % kProgressLogStep == 0) {
    STREAM_LOG(kLogInfo, "[INFO] stream(%d): sending %s ... (%llu / %llu)\n", __LINE__,
               m_path.c_str(), ULL(m_transferred), ULL(m_total));
  }
}

// ---------------------------------------------------------------------------
// State

PStream::PStream()
    : m_key_count(0), m_progress_total(0), m_progress_done(0), m_depth(0), m_discard(false) {}

PStream::~PStream() {}

void PStream::SetDefaultHashAlgo(const ustring& algorithm) { m_default_hash_algo = algorithm; }

void PStream::SetTempDir(const ustring& directory) { m_temp_dir = directory; }

void PStream::GetProgress(ustring* key_path, uint64_t* done, uint64_t* total) {
  std::lock_guard<SpinMutex> hold(m_mutex);
  if (key_path != nullptr) {
    ustring joined;
    for (size_t i = 0; i < m_key_count; ++i) {
      if (i > 0) joined.append('.');
      const KeySlot& slot = m_key_path[i];
      joined.append(slot.key != nullptr ? *slot.key : slot.copy);
    }
    *key_path = joined;
  }
  if (done != nullptr) *done = m_progress_done;
  if (total != nullptr) *total = m_progress_total;
}

ustring PStream::JoinedKeyPath() {
  ustring joined;
  GetProgress(&joined, nullptr, nullptr);
  return joined;
}

void PStream::PushKey(const ustring* key) {
  std::lock_guard<SpinMutex> hold(m_mutex);
  if (m_key_count == m_key_path.size()) m_key_path.emplace_back();
  m_key_path[m_key_count].key = key;
  ++m_key_count;
}

void PStream::PushKeyCopy(const ustring& key) {
  std::lock_guard<SpinMutex> hold(m_mutex);
  if (m_key_count == m_key_path.size()) m_key_path.emplace_back();
  KeySlot& slot = m_key_path[m_key_count];
  slot.key = nullptr;
  slot.copy = key;
  ++m_key_count;
}

void PStream::PinKeys() {
  std::lock_guard<SpinMutex> hold(m_mutex);
  for (size_t i = 0; i < m_key_count; ++i) {
    KeySlot& slot = m_key_path[i];
    if (slot.key == nullptr) continue;
    slot.copy = *slot.key;
    slot.key = nullptr;
  }
}

void PStream::ReplaceLastKey(const ustring* key) {
  std::lock_guard<SpinMutex> hold(m_mutex);
  KeySlot& slot = m_key_path[m_key_count - 1];
  slot.key = key;
}

void PStream::PopKey() {
  std::lock_guard<SpinMutex> hold(m_mutex);
  if (m_key_count > 0) --m_key_count;
}

void PStream::SetProgress(uint64_t done, uint64_t total) {
  // Every item sets (0, 0): unchanged counters need no lock.  This thread is
  // their only writer, so its unlocked read is not a race.
  if (m_progress_done == done && m_progress_total == total) return;
  std::lock_guard<SpinMutex> hold(m_mutex);
  m_progress_done = done;
  m_progress_total = total;
}

void PStream::Reset() {
  {
    std::lock_guard<SpinMutex> hold(m_mutex);
    m_key_count = 0;
    if (m_key_path.size() > kKeyPathKeep) m_key_path.clear();
    // The slots of arrays are empty between messages; deep ones are let go.
    if (m_gathered.size() > kKeyPathKeep) m_gathered.clear();
    m_progress_done = 0;
    m_progress_total = 0;
  }
  m_depth = 0;
  m_hash_algo.clear();
  m_last_hash.clear();
  m_discard = false;
  if (m_scratch.capacity() > kScratchKeep) std::vector<char>().swap(m_scratch);
}

const char* PStream::Indent() const {
  uint32_t level = std::min(m_depth, kMaxIndentLevel);
  return kSpaces + (sizeof(kSpaces) - 1) - 2 * level;
}

int PStream::CheckDepth() {
  if (m_depth >= kMaxDepth) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): nesting deeper than %u levels\n", __LINE__,
               kMaxDepth);
    return kErrProtocol;
  }
  return 0;
}

void PStream::LeaveContainer() {
  if (m_depth > 0) --m_depth;
}

int PStream::ChannelFailure(int line, int code) {
  STREAM_LOG(kLogWarning, "[WARNING] stream(%d): Channel: %d\n", line, code);
  return kErrChannel;
}

// ---------------------------------------------------------------------------
// Send

int PStream::Send(Channel* channel, const PObject& value) {
  int rc = kErrChannel;
  if (channel == nullptr) {
    STREAM_LOG(kLogWarning, "[WARNING] stream(%d): Channel: %d\n", __LINE__, kErrChannel);
  } else {
    rc = Encode(channel, value);
    if (rc != 0) {
      STREAM_LOG(kLogError, "[ERROR] stream(%d): Error stack: %s\n", __LINE__,
                 JoinedKeyPath().c_str());
    } else {
      int flushed = channel->Flush(0);
      if (flushed != 0) rc = ChannelFailure(__LINE__, flushed);
    }
  }
  Reset();
  return rc;
}

int PStream::Encode(Channel* channel, const PObject& value) {
  switch (value.type()) {
    case PObject::kNull: {
      static const uint8_t kNullItem[2] = {kTagNull, 0};
      SetProgress(0, 0);
      int rc = PutItem(channel, kNullItem, sizeof(kNullItem));
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      return 0;
    }
    case PObject::kInteger: {
      uint64_t number = value.as_uint64();
      int width = IntegerWidth(number);
      uint8_t item[10];
      item[0] = kTagInteger;
      item[1] = static_cast<uint8_t>(width);
      for (int i = 0; i < width; ++i) {
        item[2 + i] = static_cast<uint8_t>(number >> (8 * (width - 1 - i)));
      }
      SetProgress(0, 0);
      int rc = PutItem(channel, item, 2 + width);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      STREAM_LOG(kLogDebug, "%s%llu\n", Indent(), ULL(number));
      return 0;
    }
    case PObject::kString:
      SetProgress(0, 0);
      {
        const ustring& text = value.get_string();
        return EncodeString(channel, text.c_str(), text.length());
      }
    case PObject::kBuffer: {
      const PObject::buffer_type& buffer = value.get_buffer();
      if (buffer.data_length > kMaxBufferLength) {
        // Receivers refuse it; better to say so here than to break the stream.
        STREAM_LOG(kLogError, "[ERROR] stream(%d): buffer of %u bytes is over the limit of %u\n",
                   __LINE__, buffer.data_length, kMaxBufferLength);
        return kErrProtocol;
      }
      uint8_t header[5] = {kTagBuffer, static_cast<uint8_t>(buffer.data_length >> 24),
                           static_cast<uint8_t>(buffer.data_length >> 16),
                           static_cast<uint8_t>(buffer.data_length >> 8),
                           static_cast<uint8_t>(buffer.data_length)};
      SetProgress(0, 0);
      int rc = PutItem(channel, header, sizeof(header), buffer.data, buffer.data_length);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      STREAM_LOG(kLogDebug, "%s%llu\n", Indent(), ULL(buffer.data_length));
      return 0;
    }
    case PObject::kArray: {
      int rc = PutTag(channel, kTagArray);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      STREAM_LOG(kLogDebug, "%s[\n", Indent());
      ++m_depth;
      for (const PObject& element : value.get_array()) {
        rc = Encode(channel, element);
        if (rc != 0) return rc;
      }
      rc = PutTag(channel, kTagEnd);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      LeaveContainer();
      STREAM_LOG(kLogDebug, "%s]\n", Indent());
      return 0;
    }
    case PObject::kMap: {
      int rc = PutTag(channel, kTagMap);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      STREAM_LOG(kLogDebug, "%s{\n", Indent());
      ++m_depth;
      const PObject::map_type& map = value.get_map();
      // One lock per entry: the key sent last is popped as the next one is
      // pushed, in place, and the last one when the map is done.
      bool key_on_path = false;
      for (PObject::map_type::const_iterator it = map.begin(); it != map.end();) {
        PObject::map_type::const_iterator next = std::next(it);
        // The nodes lie scattered on the heap: start loading the next key
        // while this entry is encoded.
        if (next != map.end()) __builtin_prefetch(next->first.c_str());
        rc = EncodeKey(channel, it->first);
        if (rc != 0) {
          if (key_on_path) PopKey();
          return rc;
        }
        if (key_on_path) {
          ReplaceLastKey(&it->first);
        } else {
          PushKey(&it->first);
          key_on_path = true;
        }
        rc = Encode(channel, it->second);
        if (rc != 0) return rc;  // the key stays on the path for the error stack
        it = next;
      }
      if (key_on_path) PopKey();
      rc = PutTag(channel, kTagEnd);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      LeaveContainer();
      STREAM_LOG(kLogDebug, "%s}\n", Indent());
      return 0;
    }
    case PObject::kBinary: {
      const PObject::binary_type& binary = value.get_binary();
      return EncodeBinary(channel, binary.path, binary.offset, binary.length);
    }
    case PObject::kBinaryEx:
      return EncodeBinaryEx(channel, value.get_binary_ex());
  }
  return kErrLocal;
}

int PStream::EncodeString(Channel* channel, const char* text, uint32_t length) {
  if (length > kMaxStringLength) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): string of %u bytes is too long to send\n", __LINE__,
               length);
    return kErrProtocol;
  }
  int rc = PutString(channel, text, static_cast<uint16_t>(length));
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  STREAM_LOG(kLogDebug, "%s\"%s\"\n", Indent(), text);
  return 0;
}

int PStream::EncodeKey(Channel* channel, const ustring& key) {
  // The leading underscore of a key is local only: "_a" travels as "a".
  const uint32_t skip = (!key.empty() && key[0] == '_') ? 1 : 0;
  return EncodeString(channel, key.c_str() + skip, key.length() - skip);
}

int PStream::EncodeEntry(Channel* channel, const ustring& key, const PObject& value) {
  int rc = EncodeKey(channel, key);
  if (rc != 0) return rc;
  PushKey(&key);
  rc = Encode(channel, value);
  if (rc != 0) return rc;  // the key stays on the path for the error stack
  PopKey();
  return 0;
}

int PStream::EncodeBinary(Channel* channel, const ustring& path, uint64_t offset, uint64_t length) {
  const bool hashing = !m_hash_algo.empty();
  if (offset > static_cast<uint64_t>(kMaxFileOffset) ||
      length > static_cast<uint64_t>(kMaxFileOffset) - offset) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): file stretch %llu+%llu of %s is out of range\n",
               __LINE__, ULL(offset), ULL(length), path.c_str());
    if (hashing) channel->SetHashing(false, kHashOffName);
    return kErrLocal;
  }
  FileTransferProgressReporter reporter(this, path, offset + length, offset);
  // The file is opened before anything is written, so that a missing file
  // leaves the channel without half an item in it.
  int fd = open(paths::HostPath(path.str()).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): open(%s) error\n", __LINE__, path.c_str());
    // Hashing ends with the stretch, however the stretch ends.
    if (hashing) channel->SetHashing(false, kHashOffName);
    return kErrLocal;
  }
  uint8_t header[9];
  header[0] = kTagBinary;
  for (int i = 0; i < 8; ++i) header[1 + i] = static_cast<uint8_t>(length >> (8 * (7 - i)));
  int rc = channel->Write(header, sizeof(header));
  if (rc != 0) {
    close(fd);
    if (hashing) channel->SetHashing(false, kHashOffName);
    return ChannelFailure(__LINE__, rc);
  }
  int result = 0;
  if (hashing && !channel->SetHashing(true, m_hash_algo)) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): failed to initial channel hashing '%s'\n", __LINE__,
               m_hash_algo.c_str());
    result = kErrLocal;
  } else {
    rc = channel->SendFile(fd, offset, length, &reporter);
    if (rc != 0) {
      result = ChannelFailure(__LINE__, rc);
    } else if (hashing) {
      m_last_hash = channel->GetHash();
    }
  }
  close(fd);
  if (hashing) channel->SetHashing(false, kHashOffName);
  return result;
}

int PStream::EncodeBinaryEx(Channel* channel, const PObject::binary_ex_type& binary) {
  uint8_t tag = kTagBinaryEx;
  int rc = channel->Write(&tag, 1);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  const ustring algorithm = binary.hash_algo.empty() ? m_default_hash_algo : binary.hash_algo;
  const bool hashing = !algorithm.empty();
  if (hashing) {
    m_hash_algo = algorithm;
    m_last_hash.clear();
  }
  STREAM_LOG(kLogDebug, "%s{\n", Indent());
  ++m_depth;
  PObject stretch;
  PObject::binary_type& file = stretch.mutable_binary();
  file.path = binary.path;
  file.offset = binary.offset;
  file.length = binary.length;
  rc = EncodeEntry(channel, BinaryKey(), stretch);
  if (rc == 0) {
    ustring digest = hashing ? m_last_hash : ustring();
    m_hash_algo.clear();
    m_last_hash.clear();
    rc = EncodeEntry(channel, SendHashKey(), PObject(digest));
  }
  if (rc == 0) {
    tag = kTagEnd;
    rc = channel->Write(&tag, 1);
    if (rc != 0) {
      rc = ChannelFailure(__LINE__, rc);
    } else {
      LeaveContainer();
      STREAM_LOG(kLogDebug, "%s}\n", Indent());
    }
  }
  m_hash_algo.clear();
  m_last_hash.clear();
  return rc;
}

// ---------------------------------------------------------------------------
// Recv

int PStream::Recv(Channel* channel, PObject* value) {
  m_discard = false;
  int rc = kErrChannel;
  if (channel == nullptr || value == nullptr) {
    STREAM_LOG(kLogWarning, "[WARNING] stream(%d): Channel: %d\n", __LINE__, kErrChannel);
  } else {
    rc = Decode(channel, value);
    if (rc != 0) {
      STREAM_LOG(kLogError, "[ERROR] stream(%d): Error stack: %s\n", __LINE__,
                 JoinedKeyPath().c_str());
    }
  }
  Reset();
  return rc;
}

int PStream::RecvDiscard(Channel* channel, PObject* value) {
  int rc = kErrChannel;
  if (channel == nullptr || value == nullptr) {
    STREAM_LOG(kLogWarning, "[WARNING] stream(%d): Channel: %d\n", __LINE__, kErrChannel);
  } else {
    m_discard = true;
    rc = Decode(channel, value);
    if (rc != 0) {
      STREAM_LOG(kLogError, "[ERROR] stream(%d): Error stack: %s\n", __LINE__,
                 JoinedKeyPath().c_str());
    }
  }
  Reset();  // clears the discard flag
  return rc;
}

int PStream::Decode(Channel* channel, PObject* target) {
  uint8_t tag = 0;
  int rc = GetByte(channel, &tag);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  return DecodeTagged(channel, tag, target);
}

int PStream::DecodeTagged(Channel* channel, uint8_t tag, PObject* target) {
  switch (tag) {
    case kTagNull: {
      uint8_t length = 0;
      int rc = GetByte(channel, &length);
      if (rc != 0) return ChannelFailure(__LINE__, rc);
      if (length != 0) {
        STREAM_LOG(kLogError, "[ERROR] stream(%d): expect length 0, but we've got %u\n", __LINE__,
                   static_cast<unsigned>(length));
        return kErrProtocol;
      }
      SetProgress(0, 0);
      target->clear();
      return 0;
    }
    case kTagInteger:
      return DecodeInteger(channel, target);
    case kTagString: {
      int rc = DecodeString(channel);
      if (rc != 0) return rc;
      *target = m_scratch.data();
      return 0;
    }
    case kTagBuffer:
      return DecodeBuffer(channel, target);
    case kTagArray:
      return DecodeArray(channel, target);
    case kTagMap:
      return DecodeMap(channel, target);
    case kTagBinary:
      return DecodeBinary(channel, target);
    case kTagBinaryEx:
      return DecodeBinaryEx(channel, target);
    default:
      // Unknown tags, and an end mark where an item belongs.
      return kErrProtocol;
  }
}

int PStream::DecodeInteger(Channel* channel, PObject* target) {
  uint8_t width = 0;
  int rc = GetByte(channel, &width);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  if (width > 8) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): integer of %u bytes, at most 8 are allowed\n",
               __LINE__, static_cast<unsigned>(width));
    return kErrProtocol;
  }
  uint8_t bytes[8];
  rc = GetBytes(channel, bytes, width);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  uint64_t number = 0;
  for (int i = 0; i < width; ++i) number = (number << 8) | bytes[i];
  SetProgress(0, 0);
  *target = number;
  STREAM_LOG(kLogDebug, "%s%llu\n", Indent(), ULL(number));
  return 0;
}

int PStream::ReadBytes(Channel* channel, uint32_t n, std::vector<char>* out) {
  out->clear();
  uint32_t got = 0;
  while (got < n) {
    uint32_t step = std::min(n - got, kReadChunk);
    out->resize(static_cast<size_t>(got) + step);
    int rc = channel->Read(out->data() + got, step);
    if (rc != 0) return ChannelFailure(__LINE__, rc);
    got += step;
  }
  return 0;
}

int PStream::DecodeString(Channel* channel) {
  uint16_t length = 0;
  int rc = GetUInt16(channel, &length);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  // At most 64 KiB, which is one step of ReadBytes: read in place.
  m_scratch.resize(static_cast<size_t>(length) + 1);
  rc = GetBytes(channel, m_scratch.data(), length);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  // Taken as NUL-terminated text: an embedded zero byte ends the string.
  m_scratch[length] = '\0';
  SetProgress(0, 0);
  STREAM_LOG(kLogDebug, "%s\"%s\"\n", Indent(), m_scratch.data());
  return 0;
}

int PStream::DecodeBuffer(Channel* channel, PObject* target) {
  uint32_t length = 0;
  int rc = channel->ReadUInt32(&length);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  if (length > kMaxBufferLength) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): buffer of %u bytes is over the limit of %u\n",
               __LINE__, length, kMaxBufferLength);
    return kErrProtocol;
  }
  rc = ReadBytes(channel, length, &m_scratch);
  if (rc != 0) return rc;
  if (target->mutable_buffer().assign(m_scratch.data(), length) != 0) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): can not allocate a buffer of %u bytes\n", __LINE__,
               length);
    return kErrLocal;
  }
  SetProgress(0, 0);
  STREAM_LOG(kLogDebug, "%s\"%d\"\n", Indent(), static_cast<int>(length));
  return 0;
}

int PStream::DecodeArray(Channel* channel, PObject* target) {
  // The opening line stands at the container's own depth, like the closing
  // one; its contents are indented one level deeper.
  int rc = CheckDepth();
  if (rc != 0) return rc;
  STREAM_LOG(kLogDebug, "%s[\n", Indent());
  ++m_depth;
  PObject::array_type& array = target->mutable_array();
  // The elements of this array wait at its depth's slot, which is empty
  // whenever no array of that depth is being decoded; on any return they
  // join the array, so that a failure leaves what was decoded in the target.
  if (m_gathered.size() < m_depth) m_gathered.resize(m_depth);
  PObject::array_type& gathered = m_gathered[m_depth - 1];
  gathered.clear();  // only an exception could have left something there
  for (;;) {
    uint8_t tag = 0;
    rc = GetByte(channel, &tag);
    if (rc != 0) {
      AppendGathered(&gathered, &array);
      return ChannelFailure(__LINE__, rc);
    }
    if (tag == kTagEnd) break;
    gathered.emplace_back();
    // Only the new element is written while it decodes (deeper arrays use
    // other slots), so the reference into the vector stays valid.
    rc = DecodeTagged(channel, tag, &gathered.back());
    if (rc != 0) {
      AppendGathered(&gathered, &array);
      return rc;
    }
  }
  AppendGathered(&gathered, &array);
  LeaveContainer();
  STREAM_LOG(kLogDebug, "%s]\n", Indent());
  return 0;
}

void PStream::AppendGathered(PObject::array_type* gathered, PObject::array_type* array) {
  if (gathered->empty()) return;
  array->reserve(array->size() + gathered->size());
  for (PObject& element : *gathered) array->push_back(std::move(element));
  gathered->clear();
}

int PStream::DecodeKey(Channel* channel) {
  uint8_t tag = 0;
  int rc = GetByte(channel, &tag);
  if (rc != 0) return ChannelFailure(__LINE__, rc);
  if (tag == kTagEnd) return 0;
  if (tag != kTagString) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): PStream: expect string, but get tag %u\n", __LINE__,
               static_cast<unsigned>(tag));
    return kErrProtocol;
  }
  rc = DecodeString(channel);
  return rc != 0 ? rc : 1;
}

int PStream::DecodeMap(Channel* channel, PObject* target) {
  // The opening line stands at the container's own depth, like the closing
  // one; its contents are indented one level deeper.
  int rc = CheckDepth();
  if (rc != 0) return rc;
  STREAM_LOG(kLogDebug, "%s{\n", Indent());
  ++m_depth;
  PObject::map_type& map = target->mutable_map();
  for (;;) {
    rc = DecodeKey(channel);
    if (rc < 0) return rc;
    if (rc == 0) break;
    // The key's text is in m_scratch until the value is decoded.  Keys
    // arrive in order, so a new entry mostly goes after the last one.  An
    // entry already there keeps its kind (for instance a prepared binary
    // naming where file data goes); a new one starts as null.
    const char* key = m_scratch.data();
    PObject::map_type::iterator it;
    if (map.empty() || map.rbegin()->first.compare(key) < 0) {
      it = map.emplace_hint(map.end(), key, PObject());
    } else {
      const ustring wanted(key);
      it = map.lower_bound(wanted);
      if (it == map.end() || wanted < it->first) it = map.emplace_hint(it, wanted, PObject());
    }
    PushKey(&it->first);
    rc = Decode(channel, &it->second);
    if (rc != 0) return rc;  // the key stays on the path for the error stack
    PopKey();
  }
  LeaveContainer();
  STREAM_LOG(kLogDebug, "%s}\n", Indent());
  return 0;
}

int PStream::DecodeBinary(Channel* channel, PObject* target) {
  PObject::binary_type& binary = target->mutable_binary();
  bool hashing = !m_hash_algo.empty();
  uint64_t count = 0;
  int rc = channel->ReadUInt64(&count);
  if (rc != 0) return ChannelFailure(__LINE__, rc);

  ustring path;
  uint64_t offset = 0;
  bool fresh_name = false;
  if (m_discard) {
    path = kDevNull;
    hashing = false;
    STREAM_LOG(kLogDebug, "[DEBUG] stream(%d): discard binary to null device.\n", __LINE__);
  } else if (!binary.path.empty()) {
    path = binary.path;
    offset = binary.offset;
    STREAM_LOG(kLogDebug, "[DEBUG] stream(%d): store binary to %s, offset %llu\n", __LINE__,
               path.c_str(), ULL(offset));
  } else {
    path = TmpNameGen::TempPath(m_temp_dir.empty() ? ustring(paths::kTmpDir) : m_temp_dir);
    if (path.empty()) return kErrLocal;
    fresh_name = true;
  }
  if (offset > static_cast<uint64_t>(kMaxFileOffset) ||
      count > static_cast<uint64_t>(kMaxFileOffset) - offset) {
    STREAM_LOG(kLogError, "[ERROR] stream(%d): file stretch of %llu bytes at %llu is too long\n",
               __LINE__, ULL(count), ULL(offset));
    return kErrProtocol;
  }

  // A fresh name must not meet an existing file (or a link planted there).
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | (fresh_name ? O_EXCL : 0);
  int fd = open(paths::HostPath(path.str()).c_str(), flags, 0644);
  if (fd < 0) {
    int error = errno;
    STREAM_LOG(kLogError, "[ERROR] stream(%d): open(%s) error: reason %s(%d)\n", __LINE__,
               path.c_str(), strerror(error), error);
    return kErrLocal;
  }
  if (fresh_name) {
    binary.path = path;
    binary.offset = 0;
  }

  FileTransferProgressReporter reporter(this, path, offset + count, offset);
  uint64_t received = 0;
  int result = 0;
  bool hashing_on = false;
  if (hashing) {
    hashing_on = channel->SetHashing(true, m_hash_algo);
    if (!hashing_on) {
      STREAM_LOG(kLogError, "[ERROR] stream(%d): enable channel hashing error. [hash algo: '%s']\n",
                 __LINE__, m_hash_algo.c_str());
      result = kErrLocal;
    }
  }
  if (result == 0 && count > 0) {
    if (m_discard || hashing) {
      rc = channel->RecvFileBuffered(fd, offset, count, &reporter);
      received = reporter.transferred();
    } else {
      rc = channel->RecvFile(fd, offset, count, &reporter, &received);
    }
    if (rc != 0) {
      bool disk_full = rc == kChannelDiskFull;
      if (!m_discard && received > 0) {
        // Keep exactly what arrived.
        STREAM_LOG(kLogWarning, "[WARNING] stream(%d): TruncateFile\n", __LINE__);
        if (ftruncate(fd, static_cast<off_t>(offset + received)) != 0) {
          int error = errno;
          STREAM_LOG(kLogError, "[ERROR] stream(%d): truncate: %s (%d)\n", __LINE__,
                     strerror(error), error);
          if (error == ENOSPC || error == EDQUOT) disk_full = true;
        }
      }
      STREAM_LOG(kLogWarning, "[WARNING] stream(%d): Channel: %d\n", __LINE__, rc);
      result = rc == kChannelFileTooBig ? kErrFileTooBig : disk_full ? kErrDiskFull : kErrChannel;
    }
  }
  // A stretch of 0 bytes reads nothing; with hashing it still gets the digest
  // of no bytes, which is what the sender announces for it.
  if (result == 0 && hashing_on) m_last_hash = channel->GetHash();

  // Both fields record the end of what arrived in the file.
  binary.offset = offset + received;
  binary.length = offset + received;
  STREAM_LOG(kLogDebug, "%sbinary has been stored at '%s' with length %llu\n", Indent(),
             path.c_str(), ULL(binary.length));
  close(fd);
  if (hashing_on) channel->SetHashing(false, m_hash_algo);
  return result;
}

int PStream::DecodeBinaryEx(Channel* channel, PObject* target) {
  PObject::binary_ex_type& binary = target->mutable_binary_ex();
  const ustring algorithm = binary.hash_algo.empty() ? m_default_hash_algo : binary.hash_algo;
  if (!algorithm.empty()) {
    m_hash_algo = algorithm;
    m_last_hash.clear();
  }
  int rc = CheckDepth();
  if (rc == 0) {
    STREAM_LOG(kLogDebug, "%s{\n", Indent());
    ++m_depth;
    for (;;) {
      rc = DecodeKey(channel);
      if (rc <= 0) break;
      const ustring key(m_scratch.data());
      PushKeyCopy(key);
      PObject value;
      rc = Decode(channel, &value);
      if (key == "binary" && value.is_binary()) {
        // Taken even when the transfer failed: the caller learns where the
        // partial file lies.
        const PObject::binary_type& file = value.get_binary();
        binary.path = file.path;
        binary.offset = file.offset;
        binary.length = file.length;
        binary.recv_hash = m_last_hash;
        binary.hash_algo = m_hash_algo;
        STREAM_LOG(kLogDebug,
                   "%ssender provide binary to path: '%s', length: %llu, offset: %llu.\n", Indent(),
                   binary.path.c_str(), ULL(binary.length), ULL(binary.offset));
      } else if (key == "send_hash" && value.is_string()) {
        binary.send_hash = value.as_string();
        STREAM_LOG(kLogDebug, "%ssender provide binary hash '%s'.\n", Indent(),
                   binary.send_hash.c_str());
      } else if (value.is_binary() || value.is_binary_ex()) {
        // File data under an unknown entry went to a fresh temporary file
        // that nobody will look for.
        const ustring& created =
            value.is_binary() ? value.get_binary().path : value.get_binary_ex().path;
        if (!m_discard && !created.empty() && unlink(paths::HostPath(created.str()).c_str()) != 0) {
          int error = errno;
          STREAM_LOG(kLogError, "[ERROR] stream(%d): unlink: %s (%d)\n", __LINE__, strerror(error),
                     error);
        }
      }
      if (rc != 0) {
        // Keys of maps inside `value` may stand on the path for the error
        // stack, and `value` ends here.
        PinKeys();
        break;
      }
      PopKey();
    }
    if (rc == 0) {
      LeaveContainer();
      STREAM_LOG(kLogDebug, "%s}\n", Indent());
    }
  }
  m_hash_algo.clear();
  m_last_hash.clear();
  STREAM_LOG(kLogDebug, "%sbinary with hash has been stored at '%s' with length %llu\n", Indent(),
             binary.path.c_str(), ULL(binary.length));
  return rc;
}
