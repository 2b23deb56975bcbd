// PStream: the wire format of the messaging stack.
//
// Send writes one PObject to a Channel as a self-describing, tagged byte
// stream and flushes it; Recv reads one item back.  Every item starts with a
// tag byte; numbers are unsigned big-endian:
//
//   0x00 null       one length byte, always 0
//   0x01 integer    width byte n (0..8), then n value bytes
//   0x10 string     16-bit byte count, then the UTF-8 bytes
//   0x20 buffer     32-bit byte count, then the bytes
//   0x30 binary     64-bit byte count N, then N bytes of file data
//   0x41 array      the elements, then the end mark
//   0x42 map        (string key, value) pairs in key order, then the end mark
//   0x43 binary_ex  entries "binary" (0x30) and "send_hash" (string), end mark
//   0x40 end mark
//
// A map key starting with "_" travels without that character.  File data
// (binary) goes from the sender's file to the socket and from the socket to
// the receiver's file through the channel's file transfers, never through
// PObject memory; binary_ex does the same with a digest agreed by both sides.
//
// The decoder reads bytes written by another process and treats them as
// hostile: it never reads past what it allocated, allocates only as the bytes
// actually arrive, and bounds its recursion (kMaxDepth).
//
// Result codes of Send and Recv: 0 success; -1 local failure (a file failed
// to open, channel hashing failed to start, no temporary name); -2 the channel
// failed to read, write or flush; -4 the disk or quota filled up while
// receiving file data; -5 protocol violation (unknown tag, bad null length,
// integer wider than 8 bytes, non-string key, nesting deeper than kMaxDepth,
// string or buffer over its limit, file stretch out of range); -7 the channel
// reported "file too big" while receiving file data.
//
// Threads: one thread encodes or decodes on a PStream; another may call
// GetProgress while a file transfer runs.
#ifndef DRIFT_MESSAGING_PSTREAM_H_
#define DRIFT_MESSAGING_PSTREAM_H_

#include <stdint.h>

#include <deque>
#include <mutex>
#include <vector>

#include "base/spin_mutex.h"
#include "base/ustring.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"

class PStream {
 public:
  // Wire tags.
  enum Tag : uint8_t {
    kTagNull = 0x00,
    kTagInteger = 0x01,
    kTagString = 0x10,
    kTagBuffer = 0x20,
    kTagBinary = 0x30,
    kTagEnd = 0x40,
    kTagArray = 0x41,
    kTagMap = 0x42,
    kTagBinaryEx = 0x43,
  };

  // Deepest nesting of arrays, maps and binary_ex items that Recv accepts;
  // one level more is a protocol violation (-5).  Keeps the recursive decoder
  // within a small, fixed stack however the peer nests.
  static const uint32_t kMaxDepth = 256;
  // Largest buffer item (tag 0x20) sent or received: 64 MiB.  The 32-bit
  // length on the wire could claim 4 GiB, more than the appliance's address
  // space; a longer claim is rejected (-5) before anything is allocated, and
  // below the cap memory grows only as the bytes really arrive.
  static const uint32_t kMaxBufferLength = 64u << 20;
  // Largest string item: its length travels as 16 bits.
  static const uint32_t kMaxStringLength = 0xFFFF;

  // Reports the progress of one file stretch to its stream.
  class FileTransferProgressReporter : public Channel::ProgressReporter {
   public:
    // `total` is the stretch's end position in the file, `start` its offset.
    FileTransferProgressReporter(PStream* stream, const ustring& path, uint64_t total,
                                 uint64_t start);
    ~FileTransferProgressReporter() override;
    // Adds `count` to the transferred total, publishes progress to the stream
    // and logs a line at every 100 MiB.
    void report(uint64_t count) override;

   private:
    PStream* m_stream;
    ustring m_path;
    uint64_t m_total;
    uint64_t m_start;
  };

  PStream();
  PStream(const PStream&) = delete;
  PStream& operator=(const PStream&) = delete;
  ~PStream();

  // Encodes `value` onto `channel` and flushes it.  0 or a negative code.
  int Send(Channel* channel, const PObject& value);
  // Decodes one item into `value`.  The target is not cleared first: an item
  // of the kind the target already holds is decoded into it in place (a map
  // merges, an array appends, a binary lands in the file the target names).
  // On failure the target holds what was decoded so far and stays usable.
  int Recv(Channel* channel, PObject* value);
  // As Recv, but received file data is consumed and thrown away.
  int RecvDiscard(Channel* channel, PObject* value);

  // Digest used for binary_ex items whose hash_algo is empty ("" = none).
  void SetDefaultHashAlgo(const ustring& algorithm);
  // Folder where received files without a destination are created (an
  // appliance path; "/tmp" while unset).
  void SetTempDir(const ustring& directory);

  // The key path of the item in hand joined with ".", and the progress of
  // the file transfer in hand.  Any pointer may be null.  Thread-safe.
  void GetProgress(ustring* key_path, uint64_t* done, uint64_t* total);

 private:
  int Encode(Channel* channel, const PObject& value);
  // `text` is NUL-terminated at `length`.
  int EncodeString(Channel* channel, const char* text, uint32_t length);
  // A map key as a string item, without its leading underscore.
  int EncodeKey(Channel* channel, const ustring& key);
  // `key` stands on the key path while the value is encoded, and stays there
  // after a failure until Send returns: it must live that long.
  int EncodeEntry(Channel* channel, const ustring& key, const PObject& value);
  int EncodeBinary(Channel* channel, const ustring& path, uint64_t offset, uint64_t length);
  int EncodeBinaryEx(Channel* channel, const PObject::binary_ex_type& binary);

  int Decode(Channel* channel, PObject* target);
  int DecodeTagged(Channel* channel, uint8_t tag, PObject* target);
  int DecodeInteger(Channel* channel, PObject* target);
  // Reads a string's bytes into m_scratch, NUL-terminated there.
  int DecodeString(Channel* channel);
  int DecodeBuffer(Channel* channel, PObject* target);
  int DecodeArray(Channel* channel, PObject* target);
  // Moves the elements gathered by DecodeArray onto the end of `array`.
  static void AppendGathered(PObject::array_type* gathered, PObject::array_type* array);
  int DecodeMap(Channel* channel, PObject* target);
  int DecodeBinary(Channel* channel, PObject* target);
  int DecodeBinaryEx(Channel* channel, PObject* target);
  // Reads the key of the next map or binary_ex entry: 1 with the key's text
  // in m_scratch, 0 at the end mark, or a negative code.
  int DecodeKey(Channel* channel);
  // Reads exactly n bytes into `out`, growing it only as bytes arrive.
  int ReadBytes(Channel* channel, uint32_t n, std::vector<char>* out);

  // Depth bookkeeping of containers; CheckDepth fails (-5) when one more
  // level would pass kMaxDepth.
  int CheckDepth();
  void LeaveContainer();
  const char* Indent() const;

  // Puts a key on the path by reference: it must stay in place until it is
  // popped or the message ends (a key left by a failure is read by the
  // error stack).
  void PushKey(const ustring* key);
  // Puts a copy of a key on the path, for keys that do not live that long.
  void PushKeyCopy(const ustring& key);
  // Turns every key on the path into a copy, before the value that holds
  // some of them goes away.
  void PinKeys();
  // Puts `key` in place of the innermost key: a pop and a push in one.
  void ReplaceLastKey(const ustring* key);
  void PopKey();
  void SetProgress(uint64_t done, uint64_t total);
  ustring JoinedKeyPath();
  void Reset();
  int ChannelFailure(int line, int code);

  // One level of the key path: the key itself (a map's own key, which stays
  // in place while the message is handled) or, when `key` is null, `copy`.
  struct KeySlot {
    const ustring* key = nullptr;
    ustring copy;
  };

  // Guards m_key_path and the two progress counters.  Only the encoding or
  // decoding thread writes them, so that thread reads them without it.  It
  // is taken once per map entry, and by GetProgress only now and then.
  SpinMutex m_mutex;
  // The first m_key_count entries are the path; the ones past it are kept
  // only so that their storage is reused by the next keys.
  std::vector<KeySlot> m_key_path;
  size_t m_key_count;
  uint64_t m_progress_total;
  uint64_t m_progress_done;
  uint32_t m_depth;
  ustring m_default_hash_algo;
  bool m_discard;
  ustring m_temp_dir;
  ustring m_hash_algo;  // in effect for one binary_ex item
  ustring m_last_hash;  // digest of the last hashed file stretch
  // Reused for the bytes of strings, keys and buffers being decoded, which
  // are copied straight out of it into their values.
  std::vector<char> m_scratch;
  // Per array depth, the elements of an array being decoded, gathered here
  // so that the array itself is allocated once, at its final size.  A deque,
  // so that deeper levels added while an outer array decodes leave the outer
  // ones in place.
  std::deque<PObject::array_type> m_gathered;
};

#endif  // DRIFT_MESSAGING_PSTREAM_H_
