#include "messaging/pstream.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/test_root.h"
#include "gtest/gtest.h"
#include "messaging/channel.h"
#include "messaging/messaging_test_util.h"
#include "messaging/pobject.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes, pair;
  std::istringstream in(hex);
  while (in >> pair) bytes.push_back(static_cast<char>(strtoul(pair.c_str(), nullptr, 16)));
  return bytes;
}

std::string Repeat(const std::string& hex, int times) {
  std::string out;
  while (times-- > 0) out += hex + " ";
  return out;
}

// Encodes `value` with Send and returns the bytes that reached the peer.
int EncodeBytes(const PObject& value, std::string* bytes) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -100;
  PStream stream;
  int rc = 0;
  // The sender runs beside the reader: values may exceed the socket buffer.
  std::thread sender([&] {
    Channel channel;
    rc = channel.Open(fds[0], true) == 0 ? stream.Send(&channel, value) : -101;
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
    root_.Write("/switches", "stream=6\n");
    root_.CaptureLog("/stream.log", "/switches");
    receiver_.SetTempDir("/t");
  }
  // Sends `value` and receives it into `target` with receiver_.
  int Transfer(const PObject& value, PObject* target, bool discard = false) {
    std::string bytes;
    int rc = EncodeBytes(value, &bytes);
    return rc != 0 ? rc : DecodeBytes(bytes, target, discard, &receiver_);
  }
  bool LogHas(const std::string& text) const {
    return root_.LogText().find(text) != std::string::npos;
  }
  // The names in the appliance folder /t (the receiver's temporary folder).
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> names;
    DIR* dir = opendir(root_.Host("/t").c_str());
    while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
      if (entry->d_name[0] != '.') names.push_back(std::string("/t/") + entry->d_name);
    }
    if (dir != nullptr) closedir(dir);
    return names;
  }

  test_support::TestRoot root_{"pstream-test"};
  PStream receiver_;
};

// Decoded into a target that held {"before": "kept"}; text "" for a failure.
TEST_F(PStreamTest, DecodeTable) {
  const struct {
    std::string hex;
    int rc;
    const char* text;
  } cases[] = {
      {"00 00", 0, "null"},
      {"01 00", 0, "0"},
      {"01 03 01 02 03", 0, "66051"},
      {"01 08 ff ff ff ff ff ff ff ff", 0, "18446744073709551615"},
      {"10 00 03 61 00 62", 0, "\"a\""},       // a zero byte ends the text
      {"42 40", 0, "{\"before\": \"kept\"}"},  // a map merges into a map
      {"42 10 00 01 6b 01 01 01 10 00 01 6b 01 01 02 40", 0, "{\"before\": \"kept\", \"k\": 2}"},
      {"41 42 40 00 00 40", 0, "[{}, null]"},
      {"20 00 00 00 02 68 69", 0, "{data_length: 2, }"},
      {"43 10 00 09 73 65 6e 64 5f 68 61 73 68 10 00 02 61 62 40", 0,
       "{offset: 0, length: 0, path: \"\", send_hash: \"ab\", recv_hash: \"\", hash_algo: \"\"}"},
      {"00 01", -5, ""},
      {"01 09 00 00 00 00 00 00 00 00 00", -5, ""},
      {"02 00", -5, ""},
      {"11", -5, ""},
      {"44", -5, ""},
      {"40", -5, ""},                       // an end mark instead of an item
      {"42 01 01 01 01 01 02 40", -5, ""},  // a map key that is no string
      {"43 01 01 01 40", -5, ""},
      {"41 00 00 07 40", -5, ""},
      {"20 04 00 00 01", -5, ""},  // a buffer over the limit
      {Repeat("41", 257), -5, ""},
      {"41 " + Repeat("42 10 00 01 6b", 256), -5, ""},
      {Repeat("43 10 00 01 6b", 257), -5, ""},
      {"", -2, ""},
      {"00", -2, ""},
      {"01 04 00 01", -2, ""},
      {"10 00 05 61 62", -2, ""},
      {"10 00", -2, ""},
      {"20 04 00 00 00 61 62 63", -2, ""},
      {"42 10 00 01 61", -2, ""},
      {"41 00 00", -2, ""},
      {"43", -2, ""},
      {Repeat("41", 256), -2, ""},
      // The key path of a failure is logged; what was decoded stays.
      {"42 10 00 05 6f 75 74 65 72 42 01 01 01", -5, ""},
      {"42 10 00 01 61 42 10 00 01 62 00 07", -5, "{\"a\": {\"b\": null}, \"before\": \"kept\"}"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex.substr(0, 40));
    PObject target;
    target["before"] = "kept";
    EXPECT_EQ(c.rc, DecodeBytes(FromHex(c.hex), &target));
    EXPECT_TRUE(c.text[0] == 0 || c.text == target.to_text().str()) << target.to_text().str();
    EXPECT_FALSE(PObject(target).to_text().empty());  // whatever happened, a sound value
  }
  EXPECT_TRUE(LogHas("nesting deeper than 256 levels\n"));
  EXPECT_TRUE(LogHas("expect length 0, but we've got 1\n"));
  EXPECT_TRUE(LogHas("PStream: expect string, but get tag 1\n"));
  EXPECT_TRUE(LogHas("Error stack: outer\n"));
  EXPECT_TRUE(LogHas("Error stack: a.b\n"));
  // Exactly 256 levels are accepted, and encode back to the same bytes.
  const std::string deepest = FromHex(Repeat("41", 256) + Repeat("40", 256));
  PObject target;
  std::string bytes;
  ASSERT_EQ(0, DecodeBytes(deepest, &target));
  ASSERT_EQ(0, EncodeBytes(target, &bytes));
  EXPECT_EQ(deepest, bytes);
  // A buffer larger than any socket read, and its length's every byte on the way back.
  const std::string payload = Pattern(200000, 7);
  ASSERT_EQ(0, DecodeBytes(FromHex("20 00 03 0d 40") + payload, &target));
  ASSERT_EQ(200000u, target.get_buffer().data_length);
  EXPECT_EQ(0, memcmp(payload.data(), target.get_buffer().data, payload.size()));
  ASSERT_EQ(0, EncodeBytes(target, &bytes));
  EXPECT_EQ(FromHex("20 00 03 0d 40") + payload, bytes);
}

// Every kind's wire form, and the key path named when an entry fails.
TEST_F(PStreamTest, EncodeTableAndErrorStack) {
  PObject map;
  map["_a"] = 255;
  map["b"].mutable_array().push_back(PObject(256));
  map["b"].mutable_array().push_back(PObject());
  map["c"] = "abc";
  map["d"] = uint64_t{1} << 32;
  map["e"] = 65536;
  std::string bytes;
  ASSERT_EQ(0, EncodeBytes(map, &bytes));
  EXPECT_EQ(FromHex("42 10 00 01 61 01 01 ff 10 00 01 62 41 01 02 01 00 00 00 40 10 00 01 63"
                    " 10 00 03 61 62 63 10 00 01 64 01 08 00 00 00 01 00 00 00 00"
                    " 10 00 01 65 01 04 00 01 00 00 40"),
            bytes);
  PObject failing;
  failing["a"]["m"]["z"] = 1;
  failing["a"]["y"] = Binary("/missing", 0, 1);
  failing["b"] = 2;
  EXPECT_EQ(-1, EncodeBytes(failing, &bytes));
  failing["a"]["y"] = 3;
  failing["c"] = Binary("/missing", 0, 1);
  EXPECT_EQ(-1, EncodeBytes(failing, &bytes));
  EXPECT_TRUE(LogHas("Error stack: a.y\n"));
  EXPECT_TRUE(LogHas("Error stack: c\n"));
}

TEST_F(PStreamTest, FileStretches) {
  const size_t kSize = (6u << 20) + 12345;
  const std::string content = Pattern(kSize, 99);
  root_.Write("/source", content);
  // Into a prepared destination, created when missing; offset and length
  // both record where the received bytes end.
  PObject message, target;
  message["name"] = "payload";
  message["file"] = Binary("/source", 0, kSize);
  target["file"] = Binary("/copy", 0, 0);
  ASSERT_EQ(0, Transfer(message, &target));
  EXPECT_EQ("\"payload\"", target["name"].to_text().str());
  EXPECT_TRUE(root_.Read("/copy") == content);
  EXPECT_EQ(kSize, target["file"].get_binary().length);
  EXPECT_EQ(kSize, target["file"].get_binary().offset);
  // From the middle of the source into the middle of an existing file.
  root_.Write("/partial", std::string(10, '.'));
  PObject placed = Binary("/partial", 4, 0);
  ASSERT_EQ(0, Transfer(Binary("/source", 1000, 3 << 20), &placed));
  EXPECT_TRUE(root_.Read("/partial") == "...." + content.substr(1000, 3 << 20));
  EXPECT_EQ(4u + (3u << 20), placed.get_binary().offset);
  // A discarding receive reads the data past, writes nothing and stays in
  // step; the flag lasts for one call only.
  message["next"] = 77;
  PObject discarded;
  discarded["file"] = Binary("/not-written", 0, 0);
  ASSERT_EQ(0, Transfer(message, &discarded, /*discard=*/true));
  EXPECT_FALSE(root_.Exists("/not-written"));
  EXPECT_EQ(77u, discarded["next"].as_uint64());
  EXPECT_EQ(kSize, discarded["file"].get_binary().length);
  EXPECT_TRUE(TempFiles().empty());
  // Hashed, without a destination: a new file in the temporary folder; the
  // receiver's default algorithm applies to a target that names none.
  PObject::binary_ex_type ex;
  ex.path = "/source";
  ex.offset = 5;
  ex.length = kSize - 5;
  ex.hash_algo = "md5";
  receiver_.SetDefaultHashAlgo("md5");
  PObject fresh;
  ASSERT_EQ(0, Transfer(PObject(ex), &fresh));
  const PObject::binary_ex_type& got = fresh.get_binary_ex();
  EXPECT_EQ(Digest("md5", content.substr(5)), got.send_hash.str());
  EXPECT_EQ(got.send_hash, got.recv_hash);
  EXPECT_EQ("md5", got.hash_algo.str());
  EXPECT_EQ(kSize - 5, got.length);
  const std::vector<std::string> made = TempFiles();
  ASSERT_EQ(1u, made.size());
  EXPECT_EQ(made[0], got.path.str());
  EXPECT_EQ(strlen("/t/") + 8, made[0].size());
  EXPECT_TRUE(root_.Read(made[0]) == content.substr(5));
  // A zero-byte stretch has the digest of no bytes on both sides.
  ex.length = 0;
  PObject empty;
  empty.mutable_binary_ex().hash_algo = "md5";
  ASSERT_EQ(0, Transfer(PObject(ex), &empty));
  EXPECT_EQ(Digest("md5", ""), empty.get_binary_ex().send_hash.str());
  EXPECT_EQ(Digest("md5", ""), empty.get_binary_ex().recv_hash.str());
}

// With debug lines on, both directions dump a value line by line, each
// indented by its depth.
TEST_F(PStreamTest, DebugDumpIsIndentedByDepth) {
  root_.Write("/switches", "stream=7\n");
  root_.CaptureLog("/dump.log", "/switches");
  PObject value, decoded;
  value["k"].mutable_array().push_back(PObject(1));
  std::string bytes;
  ASSERT_EQ(0, EncodeBytes(value, &bytes) + DecodeBytes(bytes, &decoded));
  const std::string one = "{\n  \"k\"\n  [\n    1\n  ]\n}\n";
  EXPECT_EQ(
      std::regex_replace(root_.LogText(), std::regex("[A-Z][a-z]{2} [0-9]{2} [0-9:]{8} "), ""),
      one + one);
}

TEST_F(PStreamTest, ProgressIsPublishedAndLoggedEvery100MiB) {
  PStream stream;
  uint64_t done = 1, total = 1;
  ustring path("x");
  stream.GetProgress(&path, &done, &total);
  EXPECT_EQ("", path.str());
  EXPECT_EQ(0u, done + total);
  const uint64_t kStep = 104857600, kChunk = 81920;  // 1280 chunks make 100 MiB
  PStream::FileTransferProgressReporter reporter(&stream, "/progress/file", 2 * kStep + 10, 10);
  for (uint64_t sent = 0; sent < 2 * kStep; sent += kChunk) reporter.report(kChunk);
  EXPECT_EQ(2 * kStep, reporter.transferred());
  const std::string log = root_.LogText(), line = "sending /progress/file ... (";
  EXPECT_TRUE(LogHas(line + "104857600 / 209715210)\n"));
  EXPECT_TRUE(LogHas(line + "209715200 / 209715210)\n"));
  size_t count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  EXPECT_EQ(2u, count);
  stream.GetProgress(nullptr, &done, &total);
  EXPECT_EQ(2 * kStep + 10, done);
  EXPECT_EQ(2 * kStep + 10, total);
  PObject value;  // a message, even one refused for want of a channel, ends the transfer
  EXPECT_EQ(-2, stream.Recv(nullptr, &value));
  stream.GetProgress(nullptr, &done, &total);
  EXPECT_EQ(0u, done + total);
}

}  // namespace
