#include "messaging/pobject.h"

#include <stdint.h>

#include <stdexcept>
#include <string>

#include "gtest/gtest.h"

namespace {

std::string Text(const PObject& value) { return value.to_text().str(); }

// Kind, emptiness, truth and both text forms of values built by each typed
// constructor; integers are stored as 64 bits, signed sources sign-extended.
TEST(PObjectTest, TypedConstructionTable) {
  PObject::binary_type binary;
  binary.offset = 3;
  binary.length = 9;
  binary.path = "/tmp/f";
  PObject::binary_ex_type ex;
  ex.path = "/p";
  ex.offset = 1;
  ex.length = 2;
  ex.hash_algo = "md5";
  ex.send_hash = "aa";
  ex.recv_hash = "bb";
  PObject::buffer_type buffer;
  ASSERT_EQ(0, buffer.assign("hello", 5));
  PObject::array_type array(2);
  array[0] = 7;
  array[1] = "x";
  PObject::map_type map;
  map["b"] = 2;
  map["a"] = 1;
  using P = PObject;
  const struct {
    PObject value;
    PObject::Type type;
    bool empty, truth;
    const char *as_string, *text;
  } cases[] = {
      {P(), P::kNull, true, false, "", "null"},
      {P(true), P::kInteger, false, true, "1", "1"},
      {P(0), P::kInteger, false, false, "0", "0"},
      {P(int32_t{-1}), P::kInteger, false, true, "4294967295", "18446744073709551615"},
      {P(int16_t{-2}), P::kInteger, false, true, "4294967294", "18446744073709551614"},
      {P(uint16_t{0x8001}), P::kInteger, false, true, "32769", "32769"},
      {P(int64_t{5000000000LL}), P::kInteger, false, true, "705032704", "5000000000"},
      {P("abc"), P::kString, false, true, "abc", "\"abc\""},
      {P(ustring("42")), P::kString, false, true, "42", "\"42\""},
      {P(""), P::kString, true, false, "", "\"\""},
      {P(array), P::kArray, false, true, "", "[7, \"x\"]"},
      {P(P::array_type()), P::kArray, true, false, "", "[]"},
      {P(map), P::kMap, false, true, "", "{\"a\": 1, \"b\": 2}"},
      {P(P::map_type()), P::kMap, true, false, "", "{}"},
      {P(binary), P::kBinary, false, true, "", "{offset: 3, length: 9, path: \"/tmp/f\"}"},
      {P(P::binary_type()), P::kBinary, true, false, "", "{offset: 0, length: 0, path: \"\"}"},
      {P(ex), P::kBinaryEx, false, true, "",
       "{offset: 1, length: 2, path: \"/p\", send_hash: \"aa\", recv_hash: \"bb\", "
       "hash_algo: \"md5\"}"},
      {P(buffer), P::kBuffer, false, true, "", "{data_length: 5, }"},
      {P(P::buffer_type()), P::kBuffer, true, false, "", "{data_length: 0, }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.type, c.value.type());
    EXPECT_EQ(c.type == P::kNull, c.value.is_null());
    EXPECT_EQ(c.empty, c.value.is_empty());
    EXPECT_EQ(c.truth, c.value.as_bool());
    EXPECT_EQ(c.as_string, c.value.as_string().str());
    EXPECT_EQ(c.text, Text(c.value));
    EXPECT_TRUE(c.type == P::kInteger || c.value.as_uint64() == 0);  // "42" is not parsed
  }
  EXPECT_EQ(-1, P(int32_t{-1}).as_int64());
  EXPECT_EQ(0x90ABCDEFu, P(uint64_t{0x1234567890ABCDEFULL}).as_uint32());
}

TEST(PObjectTest, AccessCopyAndMove) {
  // Reads of the wrong kind give the shared empty values and change nothing.
  PObject text("s");
  const PObject& const_text = text;
  EXPECT_EQ(&PObject::empty_array, &text.get_array());
  EXPECT_EQ(&PObject::empty_map, &text.get_map());
  EXPECT_EQ(&PObject::empty_binary, &text.get_binary());
  EXPECT_EQ(&PObject::empty_buffer, &text.get_buffer());
  EXPECT_EQ(&PObject::empty_object, &const_text["k"]);
  EXPECT_EQ(&PObject::empty_object, &const_text[0u]);
  EXPECT_FALSE(text.has_key("k"));
  EXPECT_TRUE(text.is_string());
  // Writable keyed access turns the value into a map, ordered by unsigned
  // bytes; a key is there once.
  EXPECT_TRUE(text["b"].is_null());
  text["b"] = "get_user";
  text["\xc3\xa9"] = 3;
  text["B"] = 1;
  text["b"] = 2;
  EXPECT_EQ("{\"B\": 1, \"b\": 2, \"\xc3\xa9\": 3}", Text(text));
  EXPECT_TRUE(text.has_key("B"));
  EXPECT_EQ(&PObject::empty_object, &const_text["absent"]);
  // By position: map entries in key order, array elements; writable on maps only.
  EXPECT_EQ(2u, const_text[1u].as_uint64());
  EXPECT_EQ(&PObject::empty_object, &const_text[3u]);
  text[2u] = 30;
  EXPECT_EQ(30u, text["\xc3\xa9"].as_uint64());
  PObject array;
  array.mutable_array().push_back(PObject("x"));
  const PObject& const_array = array;
  EXPECT_EQ("x", const_array[0u].as_string().str());
  EXPECT_EQ(&PObject::empty_object, &const_array[1u]);
  for (PObject* p : {&array, &text}) {
    try {
      (*p)[3u];
      ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ("out_of_range: PObject::operator[]", e.what());
    }
  }
  // Mutable access of another kind replaces the value; of the same kind keeps it.
  PObject value(12);
  value.mutable_binary().length = 4;
  EXPECT_EQ("{offset: 0, length: 4, path: \"\"}", Text(value));
  value.mutable_array().resize(3);
  value.mutable_array().resize(4);
  EXPECT_EQ(4u, value.get_array().size());
  // Copies are deep, moves leave a null, self-assignment keeps the data.
  PObject source;
  source["list"].mutable_array().push_back(PObject(1));
  source["buf"].mutable_buffer().assign("abc", 3);
  PObject copy(source);
  copy["list"].mutable_array()[0] = 100;
  copy["buf"].mutable_buffer().data[0] = 'X';
  EXPECT_EQ("{\"buf\": {data_length: 3, }, \"list\": [1]}", Text(source));
  EXPECT_EQ('a', source["buf"].get_buffer().data[0]);
  EXPECT_EQ("{\"buf\": {data_length: 3, }, \"list\": [100]}", Text(copy));
  PObject moved("moved");
  copy.swap(moved);
  EXPECT_TRUE(moved.is_map());
  PObject target(std::move(copy));
  EXPECT_EQ("moved", target.as_string().str());
  EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): defined state
  PObject& self = source;
  source = self;
  source = source["list"];
  EXPECT_EQ("[1]", Text(source));
  source = source.get_array();
  EXPECT_EQ("[1]", Text(source));
}

// Growth rule: keep the allocation when capacity >= n >= capacity / 2,
// otherwise reallocate to exactly n; everything past the bytes is zero.
TEST(PObjectBufferTest, GrowthRuleTable) {
  const struct {
    uint32_t capacity_before, n, capacity_after;
  } cases[] = {{0, 0, 0},    {0, 10, 10}, {10, 10, 10}, {10, 5, 10}, {10, 4, 4},
               {10, 11, 11}, {11, 5, 11}, {11, 4, 4},   {100, 0, 0}, {1, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity_before << " -> " << c.n);
    PObject::buffer_type buffer;
    std::string before(c.capacity_before, 'q'), bytes(c.n, 'z');
    ASSERT_EQ(0, buffer.assign(before.data(), c.capacity_before));
    ASSERT_EQ(0, buffer.assign(bytes.data(), c.n));
    EXPECT_EQ(c.capacity_after, buffer.capacity);
    EXPECT_EQ(c.n, buffer.data_length);
    for (uint32_t i = 0; i < buffer.capacity; ++i) ASSERT_EQ(i < c.n ? 'z' : 0, buffer.data[i]);
  }
}

}  // namespace
