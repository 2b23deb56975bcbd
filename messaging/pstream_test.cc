#include "messaging/pstream.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/logger.h"
#include "gtest/gtest.h"
#include "messaging/channel.h"
#include "messaging/pobject.h"

namespace {

// ---------------------------------------------------------------------------
// Helpers

// A scratch folder removed with its files.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/pstream_test.XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    for (const std::string& name : Files()) unlink((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

 private:
  std::string path_;
};

// Every test writes its log lines (errors and warnings: the default
// threshold) to one file, so that messages can be checked.
class LogEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    // Paths in these tests are host paths: no sandbox root.
    unsetenv("DRIFT_ROOT");
    dir_ = new TempDir();
    log_path_ = dir_->File("stream.log");
    // INFO lines of the stream too (progress), but not its debug dump.
    Restore();
  }
  void TearDown() override { delete dir_; }
  // Points the log at `path` with the stream's threshold at `level`.
  static void Redirect(const std::string& path, int level) {
    std::string switches = path + ".switches";
    FILE* out = fopen(switches.c_str(), "w");
    if (out != nullptr) {
      fprintf(out, "stream=%d\n", level);
      fclose(out);
    }
    Logger::Init(Logger::LOG_TYPE_FILE, path.c_str(), switches.c_str(), 2);
    unlink(switches.c_str());
  }
  static void Restore() { Redirect(log_path_, 6); }
  static std::string LogText() {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  TempDir* dir_ = nullptr;
  static std::string log_path_;
};
std::string LogEnvironment::log_path_;
testing::Environment* const kLogEnvironment = testing::AddGlobalTestEnvironment(new LogEnvironment);

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

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadToEnd(int fd) {
  std::string bytes;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

std::string ReadFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  std::string bytes = ReadToEnd(fd);
  close(fd);
  return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_TRUE(WriteAll(fd, bytes));
  close(fd);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    snprintf(two, sizeof(two), "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(rng());
  return bytes;
}

// A connected pair of channels over a Unix-domain socket pair.
struct ChannelPair {
  ChannelPair() {
    int fds[2];
    ok = socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 && sender.Open(fds[0], true) == 0 &&
         receiver.Open(fds[1], true) == 0;
  }
  bool ok = false;
  Channel sender;
  Channel receiver;
};

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
    if (channel.Open(fds[0], true) != 0) {
      rc = -101;
      close(fds[0]);
      return;
    }
    rc = s->Send(&channel, value);
    channel.Close();
  });
  *bytes = ReadToEnd(fds[1]);
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
    WriteAll(fds[0], bytes);
    close(fds[0]);
  });
  PStream own;
  PStream* s = stream != nullptr ? stream : &own;
  Channel channel;
  int rc = -101;
  if (channel.Open(fds[1], true) == 0) {
    rc = discard ? s->RecvDiscard(&channel, target) : s->Recv(&channel, target);
    channel.Close();
  } else {
    close(fds[1]);
  }
  writer.join();
  return rc;
}

// Structural equality, buffers compared byte for byte.
bool DeepEqual(const PObject& a, const PObject& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case PObject::kNull:
      return true;
    case PObject::kInteger:
      return a.as_uint64() == b.as_uint64();
    case PObject::kString:
      return a.as_string() == b.as_string();
    case PObject::kBuffer: {
      const PObject::buffer_type& x = a.get_buffer();
      const PObject::buffer_type& y = b.get_buffer();
      return x.data_length == y.data_length &&
             (x.data_length == 0 || memcmp(x.data, y.data, x.data_length) == 0);
    }
    case PObject::kArray: {
      const PObject::array_type& x = a.get_array();
      const PObject::array_type& y = b.get_array();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!DeepEqual(x[i], y[i])) return false;
      }
      return true;
    }
    case PObject::kMap: {
      const PObject::map_type& x = a.get_map();
      const PObject::map_type& y = b.get_map();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (!(i->first == j->first) || !DeepEqual(i->second, j->second)) return false;
      }
      return true;
    }
    default:
      return a.to_text() == b.to_text();
  }
}

PObject Binary(const std::string& path, uint64_t offset, uint64_t length) {
  PObject value;
  PObject::binary_type& binary = value.mutable_binary();
  binary.path = path;
  binary.offset = offset;
  binary.length = length;
  return value;
}

// ---------------------------------------------------------------------------
// Encoding

TEST(PStreamEncodeTest, ByteExactTable) {
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

  struct Case {
    const char* name;
    PObject value;
    const char* hex;
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes;
    ASSERT_EQ(0, EncodeBytes(c.value, &bytes));
    EXPECT_EQ(c.hex, ToHex(bytes));
  }
}

TEST(PStreamEncodeTest, FileStretchesTable) {
  TempDir dir;
  const std::string file = dir.File("source");
  WriteFile(file, "hello");
  const std::string ell = " 65 6c 6c";
  const std::string binary_key = "10 00 06 62 69 6e 61 72 79";
  const std::string send_hash_key = "10 00 09 73 65 6e 64 5f 68 61 73 68";
  std::string md5_hex;
  for (char c : Md5Hex("ell")) {
    char two[4];
    snprintf(two, sizeof(two), " %02x", static_cast<unsigned char>(c));
    md5_hex += two;
  }

  PObject::binary_ex_type plain_ex;
  plain_ex.path = file;
  plain_ex.offset = 1;
  plain_ex.length = 3;
  PObject::binary_ex_type hashed_ex = plain_ex;
  hashed_ex.hash_algo = "md5";

  struct Case {
    const char* name;
    PObject value;
    std::string hex;
  };
  const Case cases[] = {
      {"binary", Binary(file, 1, 3), "30 00 00 00 00 00 00 00 03" + ell},
      {"binary of 0 bytes", Binary(file, 0, 0), "30 00 00 00 00 00 00 00 00"},
      {"binary_ex without hash", PObject(plain_ex),
       "43 " + binary_key + " 30 00 00 00 00 00 00 00 03" + ell + " " + send_hash_key +
           " 10 00 00 40"},
      {"binary_ex with md5", PObject(hashed_ex),
       "43 " + binary_key + " 30 00 00 00 00 00 00 00 03" + ell + " " + send_hash_key +
           " 10 00 20" + md5_hex + " 40"},
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
  EXPECT_EQ(cases[3].hex, ToHex(bytes));
}

TEST(PStreamEncodeTest, LocalFailures) {
  TempDir dir;
  PObject request;
  request["outer"]["file"] = Binary(dir.File("missing"), 0, 10);
  request["outer"]["after"] = 1;
  std::string bytes;
  EXPECT_EQ(-1, EncodeBytes(request, &bytes));
  std::string log = LogEnvironment::LogText();
  EXPECT_NE(std::string::npos, log.find("open(" + dir.File("missing") + ") error"));
  EXPECT_NE(std::string::npos, log.find("Error stack: outer.file\n"));

  // A string the 16-bit length cannot carry is refused before it is written.
  PObject long_string(ustring(std::string(65536, 'x')));
  EXPECT_EQ(-5, EncodeBytes(long_string, &bytes));
  EXPECT_EQ("", ToHex(bytes));
  PObject longest(ustring(std::string(65535, 'y')));
  ASSERT_EQ(0, EncodeBytes(longest, &bytes));
  EXPECT_EQ(65538u, bytes.size());

  // An unknown digest name fails before any file data is sent.
  TempDir other;
  WriteFile(other.File("f"), "data");
  PObject::binary_ex_type ex;
  ex.path = other.File("f");
  ex.length = 4;
  ex.hash_algo = "no-such-digest";
  EXPECT_EQ(-1, EncodeBytes(PObject(ex), &bytes));
  EXPECT_NE(std::string::npos,
            LogEnvironment::LogText().find("failed to initial channel hashing 'no-such-digest'"));
}

TEST(PStreamEncodeTest, ClosedChannelGivesMinusTwo) {
  Channel closed;
  PStream stream;
  EXPECT_EQ(-2, stream.Send(&closed, PObject(1)));
  EXPECT_EQ(-2, stream.Send(nullptr, PObject(1)));
}

// ---------------------------------------------------------------------------
// Decoding

TEST(PStreamDecodeTest, WellFormedTable) {
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
}

TEST(PStreamDecodeTest, BufferBytesArriveIntact) {
  std::string payload = RandomBytes(200000, 7);
  std::string item = FromHex("20 00 03 0d 40") + payload;
  PObject target;
  ASSERT_EQ(0, DecodeBytes(item, &target));
  ASSERT_TRUE(target.is_buffer());
  ASSERT_EQ(200000u, target.get_buffer().data_length);
  EXPECT_EQ(0, memcmp(payload.data(), target.get_buffer().data, payload.size()));
}

std::string Repeat(const std::string& hex, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += hex + " ";
  return out;
}

TEST(PStreamDecodeTest, MalformedTable) {
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
}

TEST(PStreamDecodeTest, NestingLimitIsExactly256) {
  PObject target;
  ASSERT_EQ(0, DecodeBytes(FromHex(Repeat("41", 256) + Repeat("40", 256)), &target));
  int depth = 0;
  for (const PObject* p = &target; p->is_array(); p = &p->get_array()[0]) {
    ++depth;
    if (p->get_array().empty()) break;
  }
  EXPECT_EQ(256, depth);

  // The encoder produces what the decoder accepts back.
  std::string bytes;
  ASSERT_EQ(0, EncodeBytes(target, &bytes));
  EXPECT_EQ(FromHex(Repeat("41", 256) + Repeat("40", 256)), bytes);
}

TEST(PStreamDecodeTest, ErrorMessagesAndStack) {
  PObject target;
  EXPECT_EQ(-5, DecodeBytes(FromHex("00 01"), &target));
  EXPECT_NE(std::string::npos,
            LogEnvironment::LogText().find("expect length 0, but we've got 1\n"));

  EXPECT_EQ(-5, DecodeBytes(FromHex("42 10 00 05 6f 75 74 65 72 42 01 01 01"), &target));
  std::string log = LogEnvironment::LogText();
  EXPECT_NE(std::string::npos, log.find("PStream: expect string, but get tag 1\n"));
  EXPECT_NE(std::string::npos, log.find("Error stack: outer\n"));

  target.clear();
  EXPECT_EQ(-5, DecodeBytes(FromHex("42 10 00 01 61 42 10 00 01 62 00 07"), &target));
  EXPECT_NE(std::string::npos, LogEnvironment::LogText().find("Error stack: a.b\n"));
  EXPECT_EQ("{\"a\": {\"b\": null}}", target.to_text().str());
}

TEST(PStreamDecodeTest, TargetKindIsReused) {
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
  PObject value;
  switch (kind(*rng)) {
    case 0:
      break;
    case 1: {
      // Values around every width boundary.
      int bits = std::uniform_int_distribution<int>(0, 64)(*rng);
      uint64_t number = (uint64_t{(*rng)()} << 32) | (*rng)();
      number = bits == 0 ? 0 : number >> (64 - bits);
      value = number;
      break;
    }
    case 2: {
      size_t length = std::uniform_int_distribution<size_t>(0, 40)(*rng);
      std::string text;
      for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(1 + (*rng)() % 255));
      value = ustring(text);
      break;
    }
    case 3: {
      std::string bytes = RandomBytes(std::uniform_int_distribution<size_t>(0, 300)(*rng),
                                      static_cast<uint32_t>((*rng)()));
      value.mutable_buffer().assign(bytes.data(), static_cast<uint32_t>(bytes.size()));
      break;
    }
    case 4:
      value = (*rng)() % 2 == 0;
      break;
    case 5: {
      int count = std::uniform_int_distribution<int>(0, 5)(*rng);
      value.mutable_array();
      for (int i = 0; i < count; ++i) {
        value.mutable_array().push_back(RandomValue(rng, depth + 1));
      }
      break;
    }
    case 6: {
      int count = std::uniform_int_distribution<int>(0, 5)(*rng);
      value.mutable_map();
      for (int i = 0; i < count; ++i) {
        // Keys with a leading underscore change on the wire; they have their
        // own cases above.
        std::string key = "k" + std::to_string((*rng)() % 50);
        value[ustring(key)] = RandomValue(rng, depth + 1);
      }
      break;
    }
  }
  return value;
}

TEST(PStreamRoundTripTest, RandomNestedValues) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 150; ++i) {
    PObject value = RandomValue(&rng, 0);
    SCOPED_TRACE(testing::Message() << "value " << i << ": " << value.to_text());
    std::string bytes;
    ASSERT_EQ(0, EncodeBytes(value, &bytes));
    PObject decoded;
    ASSERT_EQ(0, DecodeBytes(bytes, &decoded));
    EXPECT_TRUE(DeepEqual(value, decoded)) << decoded.to_text();
  }
}

TEST(PStreamRoundTripTest, SeveralMessagesOnOneChannel) {
  ChannelPair pair;
  ASSERT_TRUE(pair.ok);
  PStream sender;
  PStream receiver;
  PObject request;
  request["action"] = "get_user";
  request["uid"] = 1026;
  ASSERT_EQ(0, sender.Send(&pair.sender, request));
  ASSERT_EQ(0, sender.Send(&pair.sender, PObject("second")));
  PObject first;
  PObject second;
  ASSERT_EQ(0, receiver.Recv(&pair.receiver, &first));
  ASSERT_EQ(0, receiver.Recv(&pair.receiver, &second));
  EXPECT_EQ("{\"action\": \"get_user\", \"uid\": 1026}", first.to_text().str());
  EXPECT_EQ("\"second\"", second.to_text().str());
}

// ---------------------------------------------------------------------------
// File stretches through a real socket pair

// Sends `value` from one thread and receives into `target` on this one.
int Transfer(const PObject& value, PObject* target, PStream* receiver, int* send_rc,
             bool discard = false) {
  ChannelPair pair;
  if (!pair.ok) return -100;
  PStream sender;
  std::thread thread([&] { *send_rc = sender.Send(&pair.sender, value); });
  int rc = discard ? receiver->RecvDiscard(&pair.receiver, target)
                   : receiver->Recv(&pair.receiver, target);
  thread.join();
  return rc;
}

TEST(PStreamFileTest, ZeroByteStretch) {
  TempDir dir;
  WriteFile(dir.File("empty"), "");
  PStream receiver;
  receiver.SetTempDir(dir.path());
  int send_rc = -100;

  // Into a prepared destination that does not exist yet: it is created.
  PObject target;
  target["file"] = Binary(dir.File("dest"), 0, 0);
  PObject message;
  message["file"] = Binary(dir.File("empty"), 0, 0);
  ASSERT_EQ(0, Transfer(message, &target, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  EXPECT_TRUE(Exists(dir.File("dest")));
  EXPECT_EQ("", ReadFile(dir.File("dest")));
  EXPECT_EQ(0u, target["file"].get_binary().length);

  // Without a destination: a new file in the temporary folder.
  PObject fresh;
  ASSERT_EQ(0, Transfer(Binary(dir.File("empty"), 0, 0), &fresh, &receiver, &send_rc));
  ASSERT_TRUE(fresh.is_binary());
  const std::string made = fresh.get_binary().path.str();
  EXPECT_EQ(dir.path() + "/", made.substr(0, dir.path().size() + 1));
  EXPECT_EQ(dir.path().size() + 9, made.size());
  EXPECT_TRUE(Exists(made));
  EXPECT_EQ("", ReadFile(made));
}

TEST(PStreamFileTest, SeveralMiBFromFileToFile) {
  TempDir dir;
  const size_t kSize = (6u << 20) + 12345;
  const std::string content = RandomBytes(kSize, 99);
  WriteFile(dir.File("source"), content);
  PStream receiver;
  int send_rc = -100;

  PObject message;
  message["name"] = "payload";
  message["file"] = Binary(dir.File("source"), 0, kSize);
  PObject target;
  target["file"] = Binary(dir.File("copy"), 0, 0);
  ASSERT_EQ(0, Transfer(message, &target, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  EXPECT_EQ("\"payload\"", target["name"].to_text().str());
  std::string copy = ReadFile(dir.File("copy"));
  ASSERT_EQ(kSize, copy.size());
  EXPECT_TRUE(copy == content);
  // Offset and length both record where the received bytes end.
  EXPECT_EQ(kSize, target["file"].get_binary().length);
  EXPECT_EQ(kSize, target["file"].get_binary().offset);

  // A stretch from the middle of the source into the middle of an existing
  // destination.
  WriteFile(dir.File("partial"), std::string(10, '.'));
  PObject stretch = Binary(dir.File("source"), 1000, 3 << 20);
  PObject placed = Binary(dir.File("partial"), 4, 0);
  ASSERT_EQ(0, Transfer(stretch, &placed, &receiver, &send_rc));
  EXPECT_EQ(0, send_rc);
  std::string partial = ReadFile(dir.File("partial"));
  ASSERT_EQ(4u + (3u << 20), partial.size());
  EXPECT_EQ("....", partial.substr(0, 4));
  EXPECT_TRUE(partial.substr(4) == content.substr(1000, 3 << 20));
  EXPECT_EQ(4u + (3u << 20), placed.get_binary().offset);
}

TEST(PStreamFileTest, BinaryExWithMd5) {
  TempDir dir;
  const std::string content = RandomBytes((2u << 20) + 77, 5);
  WriteFile(dir.File("source"), content);
  PStream receiver;
  receiver.SetTempDir(dir.path());
  int send_rc = -100;

  PObject::binary_ex_type ex;
  ex.path = dir.File("source");
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
  EXPECT_TRUE(ReadFile(got.path.str()) == content.substr(5));
  EXPECT_EQ(content.size() - 5, got.length);

  // The receiver's default algorithm applies to a target that names none.
  PStream defaulted;
  defaulted.SetTempDir(dir.path());
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

TEST(PStreamFileTest, DiscardConsumesFileData) {
  TempDir dir;
  const std::string content = RandomBytes(300000, 3);
  WriteFile(dir.File("source"), content);
  PStream receiver;
  receiver.SetTempDir(dir.path());
  int send_rc = -100;

  PObject message;
  message["a_file"] = Binary(dir.File("source"), 0, content.size());
  message["b_after"] = 77;
  PObject target;
  target["a_file"] = Binary(dir.File("not-written"), 0, 0);
  ASSERT_EQ(0, Transfer(message, &target, &receiver, &send_rc, /*discard=*/true));
  EXPECT_EQ(0, send_rc);
  EXPECT_FALSE(Exists(dir.File("not-written")));
  EXPECT_EQ(77u, target["b_after"].as_uint64());  // the stream stayed in step
  EXPECT_EQ(content.size(), target["a_file"].get_binary().length);
  // Only the source is in the folder: no temporary file was made.
  EXPECT_EQ(1u, dir.Files().size());

  // The flag lasts for one call only.
  PObject next;
  next["a_file"] = Binary(dir.File("written"), 0, 0);
  ASSERT_EQ(0, Transfer(message, &next, &receiver, &send_rc));
  EXPECT_TRUE(ReadFile(dir.File("written")) == content);
}

TEST(PStreamFileTest, CutShortStretchIsTruncatedToWhatArrived) {
  TempDir dir;
  PObject target = Binary(dir.File("dest"), 0, 0);
  // Announces 1000 bytes, sends 100, then the peer is gone.
  std::string bytes = FromHex("30 00 00 00 00 00 00 03 e8") + std::string(100, 'z');
  EXPECT_EQ(-2, DecodeBytes(bytes, &target));
  EXPECT_EQ(std::string(100, 'z'), ReadFile(dir.File("dest")));
  EXPECT_EQ(100u, target.get_binary().length);

  // The same in discard mode consumes what there is and fails the same way.
  PObject discarded;
  EXPECT_EQ(-2, DecodeBytes(bytes, &discarded, /*discard=*/true));
}

TEST(PStreamFileTest, StretchPastTheLargestOffsetIsRefused) {
  TempDir dir;
  PObject target = Binary(dir.File("dest"), 0, 0);
  EXPECT_EQ(-5, DecodeBytes(FromHex("30 ff ff ff ff ff ff ff ff 61"), &target));
  EXPECT_FALSE(Exists(dir.File("dest")));
}

TEST(PStreamFileTest, UnknownBinaryExEntryFileIsDeleted) {
  TempDir dir;
  PStream receiver;
  receiver.SetTempDir(dir.path());
  const std::string bytes = FromHex(
      "43 10 00 05 65 78 74 72 61 30 00 00 00 00 00 00 00 03 61 62 63 "  // "extra": abc
      "10 00 06 62 69 6e 61 72 79 30 00 00 00 00 00 00 00 02 78 79 "     // "binary": xy
      "10 00 09 73 65 6e 64 5f 68 61 73 68 10 00 00 40");
  PObject target;
  ASSERT_EQ(0, DecodeBytes(bytes, &target, false, &receiver));
  std::vector<std::string> files = dir.Files();
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(dir.File(files[0]), target.get_binary_ex().path.str());
  EXPECT_EQ("xy", ReadFile(target.get_binary_ex().path.str()));
}

TEST(PStreamFileTest, MissingDestinationFolderIsALocalFailure) {
  TempDir dir;
  PObject target = Binary(dir.File("no/such/folder"), 0, 0);
  EXPECT_EQ(-1, DecodeBytes(FromHex("30 00 00 00 00 00 00 00 01 61"), &target));
  EXPECT_NE(std::string::npos, LogEnvironment::LogText().find("open(" + dir.File("no/such/folder") +
                                                              ") error: reason "));
}

// ---------------------------------------------------------------------------
// Debug dump

// The lines a debug-level encode writes, without their time stamps.
std::vector<std::string> DumpLines(const PObject& value) {
  TempDir dir;
  const std::string path = dir.File("dump.log");
  LogEnvironment::Redirect(path, 7);
  std::string bytes;
  EncodeBytes(value, &bytes);
  LogEnvironment::Restore();
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  std::string line;
  const size_t kStamp = strlen("Dec 05 20:35:07 ");
  while (std::getline(in, line))
    lines.push_back(line.size() >= kStamp ? line.substr(kStamp) : line);
  unlink(path.c_str());
  return lines;
}

TEST(PStreamDebugDumpTest, ItemsAreIndentedByDepth) {
  PObject value;
  value["k"].mutable_array().push_back(PObject(1));
  value["k"].mutable_array().push_back(PObject("s"));
  const std::vector<std::string> expected = {
      "{", "  \"k\"", "  [", "    1", "    \"s\"", "  ]", "}",
  };
  EXPECT_EQ(expected, DumpLines(value));
}

TEST(PStreamDebugDumpTest, IndentationStopsGrowingAtDepth11) {
  PObject value(7);
  for (int i = 0; i < 13; ++i) {
    PObject outer;
    outer.mutable_array().push_back(value);
    value = outer;
  }
  std::vector<std::string> lines = DumpLines(value);
  ASSERT_EQ(27u, lines.size());
  EXPECT_EQ("[", lines[0]);
  EXPECT_EQ(std::string(20, ' ') + "[", lines[10]);
  EXPECT_EQ(std::string(22, ' ') + "[", lines[11]);
  EXPECT_EQ(std::string(22, ' ') + "[", lines[12]);
  EXPECT_EQ(std::string(22, ' ') + "7", lines[13]);
  EXPECT_EQ("]", lines[26]);
}

// ---------------------------------------------------------------------------
// Progress

TEST(PStreamProgressTest, ReporterPublishesToTheStream) {
  PStream stream;
  PStream::FileTransferProgressReporter reporter(&stream, "/f", 1000, 400);
  uint64_t done = 1;
  uint64_t total = 1;
  ustring path("x");
  stream.GetProgress(&path, &done, &total);
  EXPECT_EQ("", path.str());
  EXPECT_EQ(0u, done);
  EXPECT_EQ(0u, total);
  reporter.report(100);
  reporter.report(50);
  EXPECT_EQ(150u, reporter.transferred());
  stream.GetProgress(nullptr, &done, &total);
  EXPECT_EQ(550u, done);
  EXPECT_EQ(1000u, total);
}

TEST(PStreamProgressTest, LogsEvery100MiB) {
  const uint64_t kStep = 104857600;
  PStream stream;
  PStream::FileTransferProgressReporter reporter(&stream, "/progress/file", 2 * kStep, 0);
  const uint64_t kChunk = 81920;  // 1280 chunks make 100 MiB
  for (uint64_t sent = 0; sent < 2 * kStep; sent += kChunk) reporter.report(kChunk);
  EXPECT_EQ(2 * kStep, reporter.transferred());
  std::string log = LogEnvironment::LogText();
  const std::string line = "sending /progress/file ... (";
  size_t first = log.find(line);
  ASSERT_NE(std::string::npos, first);
  EXPECT_NE(std::string::npos, log.find(line + "104857600 / 209715200)\n"));
  EXPECT_NE(std::string::npos, log.find(line + "209715200 / 209715200)\n"));
  size_t count = 0;
  for (size_t at = first; at != std::string::npos; at = log.find(line, at + 1)) ++count;
  EXPECT_EQ(2u, count);
  uint64_t done = 0;
  uint64_t total = 0;
  stream.GetProgress(nullptr, &done, &total);
  EXPECT_EQ(2 * kStep, done);
  EXPECT_EQ(2 * kStep, total);
}

}  // namespace
