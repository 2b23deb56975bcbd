#include "messaging/pstream.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/test_root.h"
#include "gtest/gtest.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  std::istringstream in(hex);
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<char>(strtoul(pair.c_str(), nullptr, 16)));
  return bytes;
}

std::string ToHex(const std::string& bytes) {
  std::string hex;
  char two[4];
  for (unsigned char c : bytes) {
    snprintf(two, sizeof(two), "%02x ", c);
    hex += two;
  }
  if (!hex.empty()) hex.pop_back();
  return hex;
}

std::string Repeat(const std::string& hex, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += hex + " ";
  return out;
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  char hex[2 * EVP_MAX_MD_SIZE + 1] = {0};
  for (unsigned int i = 0; i < length; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(rng());
  return bytes;
}

// Encodes `value` with Send and returns the bytes that reached the peer.
int EncodeBytes(const PObject& value, std::string* bytes, PStream* stream = nullptr) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -100;
  PStream own;
  PStream* s = stream != nullptr ? stream : &own;
  int rc = 0;
  // The sender runs beside the reader: values may exceed the socket buffer.
  std::thread sender([&] {
    Channel channel;
    rc = channel.Open(fds[0], true) == 0 ? s->Send(&channel, value) : -101;
  });
  bytes->clear();
  char chunk[65536];
  ssize_t n;
  while ((n = read(fds[1], chunk, sizeof(chunk))) > 0) bytes->append(chunk, n);
  sender.join();
  close(fds[1]);
  return rc;
}

// Decodes `bytes` (then end of stream) into `target`.
int DecodeBytes(const std::string& bytes, PObject* target, bool discard = false,
                PStream* stream = nullptr) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -100;
  std::thread writer([&] {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = write(fds[0], bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fds[0]);
  });
  PStream own;
  PStream* s = stream != nullptr ? stream : &own;
  Channel channel;
  int rc = -101;
  if (channel.Open(fds[1], true) == 0) {
    rc = discard ? s->RecvDiscard(&channel, target) : s->Recv(&channel, target);
  }
  writer.join();
  return rc;
}

// Sends `value` from one thread and receives into `target` on this one.
int Transfer(const PObject& value, PObject* target, PStream* receiver, int* send_rc,
             bool discard = false) {
  int fds[2];
  Channel a, b;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0 || a.Open(fds[0], true) != 0 ||
      b.Open(fds[1], true) != 0) {
    return -100;
  }
  PStream sender;
  std::thread thread([&] { *send_rc = sender.Send(&a, value); });
  int rc = discard ? receiver->RecvDiscard(&b, target) : receiver->Recv(&b, target);
  thread.join();
  return rc;
}

PObject Binary(const std::string& path, uint64_t offset, uint64_t length) {
  PObject value;
  PObject::binary_type& binary = value.mutable_binary();
  binary.path = path;
  binary.offset = offset;
  binary.length = length;
  return value;
}

// Every test runs in its own root (file paths are appliance paths) with the
// stream's log, INFO lines included, captured.
class PStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    root_.MakeDir("/t");
    CaptureLog("/stream.log", 6);
  }
  void CaptureLog(const std::string& path, int level) {
    root_.Write("/switches", "stream=" + std::to_string(level) + "\n");
    root_.CaptureLog(path, "/switches");
  }
  bool LogHas(const std::string& text) const {
    return root_.LogText().find(text) != std::string::npos;
  }
  // The names in the appliance folder /t (the receiver's temporary folder).
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(root_.Host("/t").c_str())) {
      while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(std::string("/t/") + entry->d_name);
      }
      closedir(dir);
    }
    return names;
  }

  test_support::TestRoot root_{"pstream-test"};
};

// ---------------------------------------------------------------------------
// Encoding

TEST_F(PStreamTest, EncodeByteExactTable) {
  PObject map_with_underscore;
  map_with_underscore["_a"] = 1;
  map_with_underscore["b"] = PObject();
  PObject mixed_array;
  mixed_array.mutable_array().push_back(PObject(1));
  mixed_array.mutable_array().push_back(PObject("x"));
  PObject nested;
  nested["k"].mutable_array().push_back(PObject(PObject::map_type()));
  PObject buffer;
  buffer.mutable_buffer().assign("hi", 2);

  root_.Write("/source", "hello");
  const std::string ell = " 65 6c 6c";
  const std::string binary_key = "10 00 06 62 69 6e 61 72 79";
  const std::string send_hash_key = "10 00 09 73 65 6e 64 5f 68 61 73 68";
  const std::string md5_hex = ToHex(Md5Hex("ell"));
  PObject::binary_ex_type plain_ex;
  plain_ex.path = "/source";
  plain_ex.offset = 1;
  plain_ex.length = 3;
  PObject::binary_ex_type hashed_ex = plain_ex;
  hashed_ex.hash_algo = "md5";
  const std::string hashed_ex_hex = "43 " + binary_key + " 30 00 00 00 00 00 00 00 03" + ell + " " +
                                    send_hash_key + " 10 00 20 " + md5_hex + " 40";

  struct Case {
    const char* name;
    PObject value;
    std::string hex;
  };
  const Case cases[] = {
      {"null", PObject(), "00 00"},
      {"zero", PObject(0), "01 01 00"},
      {"true", PObject(true), "01 01 01"},
      {"255", PObject(255), "01 01 ff"},
      {"256", PObject(256), "01 02 01 00"},
      {"65535", PObject(65535), "01 02 ff ff"},
      {"65536", PObject(65536), "01 04 00 01 00 00"},
      {"2^32-1", PObject(uint32_t{0xFFFFFFFFu}), "01 04 ff ff ff ff"},
      {"2^32", PObject(uint64_t{1} << 32), "01 08 00 00 00 01 00 00 00 00"},
      {"int32 -1", PObject(int32_t{-1}), "01 08 ff ff ff ff ff ff ff ff"},
      {"string", PObject("abc"), "10 00 03 61 62 63"},
      {"empty string", PObject(""), "10 00 00"},
      {"empty map", PObject(PObject::map_type()), "42 40"},
      {"empty array", PObject(PObject::array_type()), "41 40"},
      {"underscore key", map_with_underscore, "42 10 00 01 61 01 01 01 10 00 01 62 00 00 40"},
      {"array", mixed_array, "41 01 01 01 10 00 01 78 40"},
      {"nested", nested, "42 10 00 01 6b 41 42 40 40 40"},
      {"buffer", buffer, "20 00 00 00 02 68 69"},
      {"empty buffer", PObject(PObject::buffer_type()), "20 00 00 00 00"},
      {"binary", Binary("/source", 1, 3), "30 00 00 00 00 00 00 00 03" + ell},
      {"binary of 0 bytes", Binary("/source", 0, 0), "30 00 00 00 00 00 00 00 00"},
      {"binary_ex without hash", PObject(plain_ex),
       "43 " + binary_key + " 30 00 00 00 00 00 00 00 03" + ell + " " + send_hash_key +
           " 10 00 00 40"},
      {"binary_ex with md5", PObject(hashed_ex), hashed_ex_hex},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes;
    ASSERT_EQ(0, EncodeBytes(c.value, &bytes));
    EXPECT_EQ(c.hex, ToHex(bytes));
  }

  // The stream's default algorithm applies when the value names none.
  PStream stream;
  stream.SetDefaultHashAlgo("md5");
  std::string bytes;
  ASSERT_EQ(0, EncodeBytes(PObject(plain_ex), &bytes, &stream));
  EXPECT_EQ(hashed_ex_hex, ToHex(bytes));
}

TEST_F(PStreamTest, EncodeFailures) {
  PObject request;
  request["outer"]["file"] = Binary("/missing", 0, 10);
  request["outer"]["after"] = 1;
  std::string bytes;
  EXPECT_EQ(-1, EncodeBytes(request, &bytes));
  EXPECT_TRUE(LogHas("open(/missing) error"));
  EXPECT_TRUE(LogHas("Error stack: outer.file\n"));

  // A string the 16-bit length cannot carry is refused before it is written.
  EXPECT_EQ(-5, EncodeBytes(PObject(ustring(std::string(65536, 'x'))), &bytes));
  EXPECT_EQ("", ToHex(bytes));
  ASSERT_EQ(0, EncodeBytes(PObject(ustring(std::string(65535, 'y'))), &bytes));
  EXPECT_EQ(65538u, bytes.size());

  // An unknown digest name fails before any file data is sent.
  root_.Write("/f", "data");
  PObject::binary_ex_type ex;
  ex.path = "/f";
  ex.length = 4;
  ex.hash_algo = "no-such-digest";
  EXPECT_EQ(-1, EncodeBytes(PObject(ex), &bytes));
  EXPECT_TRUE(LogHas("failed to initial channel hashing 'no-such-digest'"));

  // Whatever ends a hashed stretch, the channel's hashing is off afterwards.
  {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    Channel channel;
    ASSERT_EQ(0, channel.Open(fds[0], true));
    close(fds[1]);
    ASSERT_TRUE(channel.SetHashing(true, "md5"));
    ex.hash_algo = "md5";
    ex.path = "/missing";
    PStream hashed;
    EXPECT_EQ(-1, hashed.Send(&channel, PObject(ex)));
    EXPECT_EQ("", channel.GetHash().str());
  }

  Channel closed;
  PStream stream;
  EXPECT_EQ(-2, stream.Send(&closed, PObject(1)));
  EXPECT_EQ(-2, stream.Send(nullptr, PObject(1)));
}

// ---------------------------------------------------------------------------
// Decoding

TEST_F(PStreamTest, DecodeWellFormedTable) {
  struct Case {
    const char* name;
    const char* hex;
    const char* text;
  };
  const Case cases[] = {
      {"null", "00 00", "null"},
      {"integer width 0", "01 00", "0"},
      {"integer width 1", "01 01 ff", "255"},
      {"integer width 3", "01 03 01 02 03", "66051"},
      {"integer width 8", "01 08 ff ff ff ff ff ff ff ff", "18446744073709551615"},
      {"integer leading zeros", "01 08 00 00 00 00 00 00 00 2a", "42"},
      {"string", "10 00 03 61 62 63", "\"abc\""},
      {"empty string", "10 00 00", "\"\""},
      {"string with zero byte", "10 00 03 61 00 62", "\"a\""},
      {"empty map", "42 40", "{}"},
      {"empty array", "41 40", "[]"},
      {"keys as they arrive", "42 10 00 02 5f 61 01 01 01 10 00 01 62 01 01 02 40",
       "{\"_a\": 1, \"b\": 2}"},
      {"repeated key", "42 10 00 01 6b 01 01 01 10 00 01 6b 01 01 02 40", "{\"k\": 2}"},
      {"nested", "42 10 00 01 6b 41 42 40 00 00 40 40", "{\"k\": [{}, null]}"},
      {"buffer", "20 00 00 00 02 68 69", "{data_length: 2, }"},
      {"binary_ex, no file data", "43 10 00 09 73 65 6e 64 5f 68 61 73 68 10 00 02 61 62 40",
       "{offset: 0, length: 0, path: \"\", send_hash: \"ab\", recv_hash: \"\", hash_algo: \"\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PObject target;
    ASSERT_EQ(0, DecodeBytes(FromHex(c.hex), &target));
    EXPECT_EQ(c.text, target.to_text().str());
  }

  std::string payload = RandomBytes(200000, 7);
  PObject buffer;
  ASSERT_EQ(0, DecodeBytes(FromHex("20 00 03 0d 40") + payload, &buffer));
  ASSERT_EQ(200000u, buffer.get_buffer().data_length);
  EXPECT_EQ(0, memcmp(payload.data(), buffer.get_buffer().data, payload.size()));
}

TEST_F(PStreamTest, DecodeMalformedTable) {
  struct Case {
    const char* name;
    std::string hex;
    int rc;
  };
  const Case cases[] = {
      {"null with length 1", "00 01", -5},
      {"integer width 9", "01 09 00 00 00 00 00 00 00 00 00", -5},
      {"integer width 255", "01 ff", -5},
      {"unknown tag 02", "02 00", -5},
      {"unknown tag 11", "11", -5},
      {"unknown tag 44", "44", -5},
      {"unknown tag ff", "ff", -5},
      {"end mark instead of an item", "40", -5},
      {"map key is an integer", "42 01 01 01 01 01 02 40", -5},
      {"map key is a map", "42 42 40 40", -5},
      {"binary_ex key is an integer", "43 01 01 01 40", -5},
      {"unknown tag inside an array", "41 00 00 07 40", -5},
      {"buffer over the limit", "20 04 00 00 01", -5},
      {"buffer claims 4 GiB", "20 ff ff ff ff", -5},
      {"257 nested arrays", Repeat("41", 257), -5},
      {"257 nested maps", "41 " + Repeat("42 10 00 01 6b", 256), -5},
      {"nesting through binary_ex", Repeat("43 10 00 01 6b", 257), -5},
      {"empty stream", "", -2},
      {"null without length", "00", -2},
      {"integer cut short", "01 04 00 01", -2},
      {"string cut short", "10 00 05 61 62", -2},
      {"string length cut short", "10 00", -2},
      {"string claims 65535 bytes", "10 ff ff 61", -2},
      {"buffer cut short", "20 00 00 00 10 61 62 63", -2},
      {"buffer claims 64 MiB, sends 3", "20 04 00 00 00 61 62 63", -2},
      {"map value missing", "42 10 00 01 61", -2},
      {"map without end mark", "42 10 00 01 61 00 00", -2},
      {"array without end mark", "41 00 00", -2},
      {"binary_ex without end mark", "43", -2},
      {"256 nested arrays left open", Repeat("41", 256), -2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PObject target;
    target["before"] = "kept";
    EXPECT_EQ(c.rc, DecodeBytes(FromHex(c.hex), &target));
    // Whatever was decoded, the target is a sound value.
    PObject copy(target);
    EXPECT_FALSE(copy.to_text().empty());
  }

  // Exactly 256 levels are accepted, and encode back to the same bytes.
  const std::string deepest = FromHex(Repeat("41", 256) + Repeat("40", 256));
  PObject target;
  ASSERT_EQ(0, DecodeBytes(deepest, &target));
  int depth = 0;
  for (const PObject* p = &target; p->is_array(); p = &p->get_array()[0]) {
    ++depth;
    if (p->get_array().empty()) break;
  }
  EXPECT_EQ(256, depth);
  std::string bytes;
  ASSERT_EQ(0, EncodeBytes(target, &bytes));
  EXPECT_EQ(deepest, bytes);
}

TEST_F(PStreamTest, DecodeErrorMessagesAndStack) {
  PObject target;
  EXPECT_EQ(-5, DecodeBytes(FromHex("00 01"), &target));
  EXPECT_TRUE(LogHas("expect length 0, but we've got 1\n"));

  EXPECT_EQ(-5, DecodeBytes(FromHex("42 10 00 05 6f 75 74 65 72 42 01 01 01"), &target));
  EXPECT_TRUE(LogHas("PStream: expect string, but get tag 1\n"));
  EXPECT_TRUE(LogHas("Error stack: outer\n"));

  target.clear();
  EXPECT_EQ(-5, DecodeBytes(FromHex("42 10 00 01 61 42 10 00 01 62 00 07"), &target));
  EXPECT_TRUE(LogHas("Error stack: a.b\n"));
  EXPECT_EQ("{\"a\": {\"b\": null}}", target.to_text().str());
}

TEST_F(PStreamTest, DecodeReusesTheTargetKind) {
  // A map merges into a map: entries not on the wire stay.
  PObject map;
  map["keep"] = 1;
  map["k"] = "old";
  ASSERT_EQ(0,
            DecodeBytes(FromHex("42 10 00 01 6b 10 00 03 6e 65 77 10 00 01 6e 01 01 02 40"), &map));
  EXPECT_EQ("{\"k\": \"new\", \"keep\": 1, \"n\": 2}", map.to_text().str());

  // An array appends to an array.
  PObject array;
  array.mutable_array().push_back(PObject(1));
  ASSERT_EQ(0, DecodeBytes(FromHex("41 01 01 02 40"), &array));
  EXPECT_EQ("[1, 2]", array.to_text().str());

  // Another kind is replaced.
  PObject text("text");
  ASSERT_EQ(0, DecodeBytes(FromHex("41 40"), &text));
  EXPECT_EQ("[]", text.to_text().str());
  ASSERT_EQ(0, DecodeBytes(FromHex("00 00"), &map));
  EXPECT_TRUE(map.is_null());
}

// ---------------------------------------------------------------------------
// Round trips

PObject RandomValue(std::mt19937* rng, int depth) {
  std::uniform_int_distribution<int> kind(0, depth >= 5 ? 4 : 6);
  auto below = [rng](size_t n) { return static_cast<size_t>((*rng)() % n); };
  PObject value;
  switch (kind(*rng)) {
    case 0:
      break;
    case 1: {  // values around every width boundary
      const size_t bits = below(65);
      const uint64_t number = (uint64_t{(*rng)()} << 32) | (*rng)();
      value = bits == 0 ? 0 : number >> (64 - bits);
      break;
    }
    case 2: {
      std::string text(below(41), 'x');
      for (char& c : text) c = static_cast<char>(1 + below(255));
      value = ustring(text);
      break;
    }
    case 3: {
      std::string bytes = RandomBytes(below(301), (*rng)());
      value.mutable_buffer().assign(bytes.data(), static_cast<uint32_t>(bytes.size()));
      break;
    }
    case 4:
      value = below(2) == 0;
      break;
    case 5:
      value.mutable_array();
      for (size_t i = below(6); i > 0; --i) {
        value.mutable_array().push_back(RandomValue(rng, depth + 1));
      }
      break;
    case 6:
      value.mutable_map();
      // Keys with a leading underscore change on the wire (see the table).
      for (size_t i = below(6); i > 0; --i) {
        value[ustring("k" + std::to_string(below(50)))] = RandomValue(rng, depth + 1);
      }
      break;
  }
  return value;
}

TEST_F(PStreamTest, RoundTrips) {
  // Random nested values decode to a value that encodes to the same bytes
  // (buffers compared byte for byte).
  std::mt19937 rng(20240611);
  for (int i = 0; i < 150; ++i) {
    PObject value = RandomValue(&rng, 0);
    SCOPED_TRACE(testing::Message() << "value " << i << ": " << value.to_text());
    std::string bytes, again;
    ASSERT_EQ(0, EncodeBytes(value, &bytes));
    PObject decoded;
    ASSERT_EQ(0, DecodeBytes(bytes, &decoded));
    EXPECT_EQ(value.to_text().str(), decoded.to_text().str());
    ASSERT_EQ(0, EncodeBytes(decoded, &again));
    EXPECT_TRUE(bytes == again);
  }

  // Several messages one after another on one channel, same streams.
  int fds[2];
  Channel a, b;
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  ASSERT_EQ(0, a.Open(fds[0], true));
  ASSERT_EQ(0, b.Open(fds[1], true));
  PStream sender, receiver;
  PObject request;
  request["action"] = "get_user";
  request["uid"] = 1026;
  ASSERT_EQ(0, sender.Send(&a, request));
  ASSERT_EQ(0, sender.Send(&a, PObject("second")));
  PObject first, second;
  ASSERT_EQ(0, receiver.Recv(&b, &first));
  ASSERT_EQ(0, receiver.Recv(&b, &second));
  EXPECT_EQ("{\"action\": \"get_user\", \"uid\": 1026}", first.to_text().str());
  EXPECT_EQ("\"second\"", second.to_text().str());
}

// ---------------------------------------------------------------------------
// File stretches through a real socket pair

TEST_F(PStreamTest, ZeroByteStretch) {
  root_.Write("/empty", "");
  PStream receiver;
  receiver.SetTempDir("/t");
  int send_rc = -100;

  // Into a prepared destination that does not exist yet: it is created.
  PObject target;
  target["file"] = Binary("/dest", 0, 0);
  PObject message;
  message["file"] = Binary("/empty", 0, 0);
  ASSERT_EQ(0, Transfer(message, &target, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  EXPECT_EQ("", root_.Read("/dest"));
  EXPECT_EQ(0u, target["file"].get_binary().length);

  // Without a destination: a new file in the temporary folder.
  PObject fresh;
  ASSERT_EQ(0, Transfer(Binary("/empty", 0, 0), &fresh, &receiver, &send_rc));
  ASSERT_TRUE(fresh.is_binary());
  const std::string made = fresh.get_binary().path.str();
  EXPECT_EQ(0u, made.find("/t/"));
  EXPECT_EQ(strlen("/t/") + 8, made.size());
  EXPECT_EQ("", root_.Read(made));
}

TEST_F(PStreamTest, SeveralMiBFromFileToFile) {
  const size_t kSize = (6u << 20) + 12345;
  const std::string content = RandomBytes(kSize, 99);
  root_.Write("/source", content);
  PStream receiver;
  int send_rc = -100;

  PObject message;
  message["name"] = "payload";
  message["file"] = Binary("/source", 0, kSize);
  PObject target;
  target["file"] = Binary("/copy", 0, 0);
  ASSERT_EQ(0, Transfer(message, &target, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  EXPECT_EQ("\"payload\"", target["name"].to_text().str());
  EXPECT_TRUE(root_.Read("/copy") == content);
  // Offset and length both record where the received bytes end.
  EXPECT_EQ(kSize, target["file"].get_binary().length);
  EXPECT_EQ(kSize, target["file"].get_binary().offset);

  // A stretch from the middle of the source into the middle of an existing
  // destination.
  root_.Write("/partial", std::string(10, '.'));
  PObject placed = Binary("/partial", 4, 0);
  ASSERT_EQ(0, Transfer(Binary("/source", 1000, 3 << 20), &placed, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  EXPECT_TRUE(root_.Read("/partial") == "...." + content.substr(1000, 3 << 20));
  EXPECT_EQ(4u + (3u << 20), placed.get_binary().offset);
}

TEST_F(PStreamTest, BinaryExWithMd5) {
  const std::string content = RandomBytes((2u << 20) + 77, 5);
  root_.Write("/source", content);
  PStream receiver;
  receiver.SetTempDir("/t");
  int send_rc = -100;

  PObject::binary_ex_type ex;
  ex.path = "/source";
  ex.offset = 5;
  ex.length = content.size() - 5;
  ex.hash_algo = "md5";
  PObject target;
  target.mutable_binary_ex().hash_algo = "md5";
  ASSERT_EQ(0, Transfer(PObject(ex), &target, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  const PObject::binary_ex_type& got = target.get_binary_ex();
  const std::string expected_hash = Md5Hex(content.substr(5));
  EXPECT_EQ(expected_hash, got.send_hash.str());
  EXPECT_EQ(expected_hash, got.recv_hash.str());
  EXPECT_EQ("md5", got.hash_algo.str());
  EXPECT_TRUE(root_.Read(got.path.str()) == content.substr(5));
  EXPECT_EQ(content.size() - 5, got.length);

  // The receiver's default algorithm applies to a target that names none.
  PStream defaulted;
  defaulted.SetTempDir("/t");
  defaulted.SetDefaultHashAlgo("md5");
  PObject other;
  ASSERT_EQ(0, Transfer(PObject(ex), &other, &defaulted, &send_rc));
  EXPECT_EQ(expected_hash, other.get_binary_ex().recv_hash.str());

  // A zero-byte stretch has the digest of no bytes on both sides.
  ex.length = 0;
  PObject empty;
  ASSERT_EQ(0, Transfer(PObject(ex), &empty, &defaulted, &send_rc));
  EXPECT_EQ(Md5Hex(""), empty.get_binary_ex().send_hash.str());
  EXPECT_EQ(Md5Hex(""), empty.get_binary_ex().recv_hash.str());
}

TEST_F(PStreamTest, DiscardConsumesFileData) {
  const std::string content = RandomBytes(300000, 3);
  root_.Write("/source", content);
  PStream receiver;
  receiver.SetTempDir("/t");
  int send_rc = -100;

  PObject message;
  message["a_file"] = Binary("/source", 0, content.size());
  message["b_after"] = 77;
  PObject target;
  target["a_file"] = Binary("/not-written", 0, 0);
  ASSERT_EQ(0, Transfer(message, &target, &receiver, &send_rc, /*discard=*/true));
  EXPECT_EQ(0, send_rc);
  EXPECT_FALSE(root_.Exists("/not-written"));
  EXPECT_EQ(77u, target["b_after"].as_uint64());  // the stream stayed in step
  EXPECT_EQ(content.size(), target["a_file"].get_binary().length);
  EXPECT_TRUE(TempFiles().empty());  // no temporary file was made

  // The flag lasts for one call only.
  PObject next;
  next["a_file"] = Binary("/written", 0, 0);
  ASSERT_EQ(0, Transfer(message, &next, &receiver, &send_rc));
  EXPECT_TRUE(root_.Read("/written") == content);
}

TEST_F(PStreamTest, BadFileStretches) {
  // Announces 1000 bytes, sends 100, then the peer is gone: the file keeps
  // what arrived.
  PObject target = Binary("/dest", 0, 0);
  const std::string cut = FromHex("30 00 00 00 00 00 00 03 e8") + std::string(100, 'z');
  EXPECT_EQ(-2, DecodeBytes(cut, &target));
  EXPECT_EQ(std::string(100, 'z'), root_.Read("/dest"));
  EXPECT_EQ(100u, target.get_binary().length);
  PObject discarded;
  EXPECT_EQ(-2, DecodeBytes(cut, &discarded, /*discard=*/true));

  // A stretch past the largest offset is refused before the file is made.
  PObject past = Binary("/past", 0, 0);
  EXPECT_EQ(-5, DecodeBytes(FromHex("30 ff ff ff ff ff ff ff ff 61"), &past));
  EXPECT_FALSE(root_.Exists("/past"));

  // A destination in a missing folder is a local failure.
  PObject nowhere = Binary("/no/such/folder", 0, 0);
  EXPECT_EQ(-1, DecodeBytes(FromHex("30 00 00 00 00 00 00 00 01 61"), &nowhere));
  EXPECT_TRUE(LogHas("open(/no/such/folder) error: reason "));

  // The file of an unknown binary_ex entry is deleted; the "binary" one stays.
  PStream receiver;
  receiver.SetTempDir("/t");
  const std::string bytes = FromHex(
      "43 10 00 05 65 78 74 72 61 30 00 00 00 00 00 00 00 03 61 62 63 "  // "extra": abc
      "10 00 06 62 69 6e 61 72 79 30 00 00 00 00 00 00 00 02 78 79 "     // "binary": xy
      "10 00 09 73 65 6e 64 5f 68 61 73 68 10 00 00 40");
  PObject ex;
  ASSERT_EQ(0, DecodeBytes(bytes, &ex, false, &receiver));
  const std::vector<std::string> files = TempFiles();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(files[0], ex.get_binary_ex().path.str());
  EXPECT_EQ("xy", root_.Read(files[0]));
}

// ---------------------------------------------------------------------------
// Debug dump and progress

TEST_F(PStreamTest, DebugDumpIsIndentedByDepthUpTo11) {
  struct Case {
    const char* name;
    PObject value;
    std::vector<std::string> lines;  // without the time stamps
  };
  PObject small;
  small["k"].mutable_array().push_back(PObject(1));
  small["k"].mutable_array().push_back(PObject("s"));
  PObject deep(7);
  for (int i = 0; i < 13; ++i) {
    PObject outer;
    outer.mutable_array().push_back(deep);
    deep = outer;
  }
  std::vector<std::string> deep_lines;
  for (int i = 0; i < 13; ++i) deep_lines.push_back(std::string(2 * std::min(i, 11), ' ') + "[");
  deep_lines.push_back(std::string(22, ' ') + "7");
  for (int i = 12; i >= 0; --i) deep_lines.push_back(std::string(2 * std::min(i, 11), ' ') + "]");
  const Case cases[] = {
      {"small", small, {"{", "  \"k\"", "  [", "    1", "    \"s\"", "  ]", "}"}},
      {"13 levels", deep, deep_lines},
  };
  // Both directions dump the same lines: a container's opening line is
  // indented at its own depth, its contents one level deeper.
  auto dumped = [this](const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(root_.Read(path));
    const size_t kStamp = strlen("Dec 05 20:35:07 ");
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line.size() >= kStamp ? line.substr(kStamp) : line);
    }
    return lines;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = std::string("/dump-") + c.name;
    CaptureLog(path, 7);
    std::string bytes;
    ASSERT_EQ(0, EncodeBytes(c.value, &bytes));
    EXPECT_EQ(c.lines, dumped(path));
    CaptureLog(path + "-recv", 7);
    PObject decoded;
    ASSERT_EQ(0, DecodeBytes(bytes, &decoded));
    EXPECT_EQ(c.value.to_text(), decoded.to_text());
    EXPECT_EQ(c.lines, dumped(path + "-recv"));
  }
}

TEST_F(PStreamTest, ProgressIsPublishedAndLoggedEvery100MiB) {
  PStream stream;
  uint64_t done = 1;
  uint64_t total = 1;
  ustring path("x");
  stream.GetProgress(&path, &done, &total);
  EXPECT_EQ("", path.str());
  EXPECT_EQ(0u, done);
  EXPECT_EQ(0u, total);
  PStream::FileTransferProgressReporter started(&stream, "/f", 1000, 400);
  started.report(100);
  started.report(50);
  EXPECT_EQ(150u, started.transferred());
  stream.GetProgress(nullptr, &done, &total);
  EXPECT_EQ(550u, done);
  EXPECT_EQ(1000u, total);

  const uint64_t kStep = 104857600;
  PStream::FileTransferProgressReporter reporter(&stream, "/progress/file", 2 * kStep, 0);
  const uint64_t kChunk = 81920;  // 1280 chunks make 100 MiB
  for (uint64_t sent = 0; sent < 2 * kStep; sent += kChunk) reporter.report(kChunk);
  EXPECT_EQ(2 * kStep, reporter.transferred());
  const std::string log = root_.LogText();
  const std::string line = "sending /progress/file ... (";
  EXPECT_TRUE(LogHas(line + "104857600 / 209715200)\n"));
  EXPECT_TRUE(LogHas(line + "209715200 / 209715200)\n"));
  size_t count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  EXPECT_EQ(2u, count);
  stream.GetProgress(nullptr, &done, &total);
  EXPECT_EQ(2 * kStep, done);
  EXPECT_EQ(2 * kStep, total);
}

}  // namespace
