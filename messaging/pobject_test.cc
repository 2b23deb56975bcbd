#include "messaging/pobject.h"

#include <stdint.h>
#include <string.h>

#include <stdexcept>
#include <string>

#include "gtest/gtest.h"

namespace {

std::string Text(const PObject& value) { return value.to_text().str(); }

// Kind, emptiness, truth and both text forms of values built by each typed
// constructor.
TEST(PObjectTest, TypedConstructionTable) {
  PObject::binary_type binary;
  binary.offset = 3;
  binary.length = 9;
  binary.path = "/tmp/f";
  PObject::binary_ex_type binary_ex;
  binary_ex.path = "/p";
  binary_ex.offset = 1;
  binary_ex.length = 2;
  binary_ex.hash_algo = "md5";
  binary_ex.send_hash = "aa";
  binary_ex.recv_hash = "bb";
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
      {P(int64_t{5000000000LL}), P::kInteger, false, true, "705032704", "5000000000"},
      {P("abc"), P::kString, false, true, "abc", "\"abc\""},
      {P(ustring("0")), P::kString, false, true, "0", "\"0\""},
      {P(""), P::kString, true, false, "", "\"\""},
      {P(array), P::kArray, false, true, "", "[7, \"x\"]"},
      {P(P::array_type()), P::kArray, true, false, "", "[]"},
      {P(map), P::kMap, false, true, "", "{\"a\": 1, \"b\": 2}"},
      {P(P::map_type()), P::kMap, true, false, "", "{}"},
      {P(binary), P::kBinary, false, true, "", "{offset: 3, length: 9, path: \"/tmp/f\"}"},
      {P(P::binary_type()), P::kBinary, true, false, "", "{offset: 0, length: 0, path: \"\"}"},
      {P(binary_ex), P::kBinaryEx, false, true, "",
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
    if (c.type != P::kInteger) {
      EXPECT_EQ(0u, c.value.as_uint64());
    }
  }
}

TEST(PObjectTest, IntegerReadsTruncateAndSignExtend) {
  PObject minus_one(int32_t{-1}), negative16(int16_t{-2}), small(uint16_t{0x8001});
  EXPECT_EQ(UINT64_MAX, minus_one.as_uint64());
  EXPECT_EQ(-1, minus_one.as_int64());
  EXPECT_EQ(UINT64_MAX - 1, negative16.as_uint64());
  EXPECT_EQ(0x8001u, small.as_uint64());  // unsigned sources are zero-extended
  PObject value(uint64_t{0x1234567890ABCDEFULL});
  EXPECT_EQ(0x90ABCDEFu, value.as_uint32());
  EXPECT_EQ(static_cast<int32_t>(0x90ABCDEFu), value.as_int32());
  EXPECT_EQ(static_cast<int16_t>(0xCDEF), value.as_int16());
  EXPECT_EQ(0xEFu, value.as_uint8());
  EXPECT_EQ(0u, PObject("42").as_uint64());  // a string of digits is not parsed
}

TEST(PObjectTest, AccessByKeyAndPosition) {
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

  // Writable keyed access turns the value into a map; a key is there once.
  PObject& element = text["b"];
  EXPECT_TRUE(element.is_null());
  element = "get_user";
  text["c"] = 3;
  text["a"] = 1;
  text["b"] = 2;
  EXPECT_EQ("{\"a\": 1, \"b\": 2, \"c\": 3}", Text(text));
  EXPECT_TRUE(text.has_key("a"));
  EXPECT_FALSE(text.has_key("absent"));
  EXPECT_EQ(&PObject::empty_object, &const_text["absent"]);
  EXPECT_EQ(3u, text.get_map().size());

  // By position: map entries in key order, array elements; writable on maps only.
  EXPECT_EQ(2u, const_text[1u].as_uint64());
  EXPECT_EQ(&PObject::empty_object, &const_text[3u]);
  text[2u] = 30;
  EXPECT_EQ(30u, text["c"].as_uint64());
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
  value.mutable_binary().path = "/a";
  value.mutable_binary().length = 4;
  EXPECT_EQ("{offset: 0, length: 4, path: \"/a\"}", Text(value));
  value.mutable_array().resize(3);
  value.mutable_array().resize(4);
  EXPECT_EQ(4u, value.get_array().size());
  value.mutable_buffer();
  EXPECT_TRUE(value.is_buffer() && value.is_empty());
}

TEST(PObjectTest, CopiesAreDeepMovesEmptyTheSourceSelfAssignmentIsSafe) {
  PObject source;
  source["list"].mutable_array().push_back(PObject(1));
  source["buf"].mutable_buffer().assign("abc", 3);
  PObject copy(source);
  copy["list"].mutable_array()[0] = 100;
  copy["buf"].mutable_buffer().data[0] = 'X';
  copy["new"] = true;
  EXPECT_EQ("{\"buf\": {data_length: 3, }, \"list\": [1]}", Text(source));
  EXPECT_EQ('a', source["buf"].get_buffer().data[0]);
  EXPECT_EQ("{\"buf\": {data_length: 3, }, \"list\": [100], \"new\": 1}", Text(copy));

  PObject text("moved");
  copy.swap(text);
  EXPECT_TRUE(text.is_map());
  PObject target(std::move(copy));
  EXPECT_EQ("moved", target.as_string().str());
  EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): defined state
  target.clear();
  EXPECT_TRUE(target.is_null());

  // Assigning a value itself, one of its elements or its own map keeps the data.
  PObject& self = source;
  source = self;
  source = source["list"];
  EXPECT_EQ("[1]", Text(source));
  source = source.get_array();
  EXPECT_EQ("[1]", Text(source));
}

TEST(PObjectTest, MapIsOrderedByUnsignedBytes) {
  PObject value;
  value["\xc3\xa9"] = 1;  // a lead byte above every ASCII byte sorts last
  value["z"] = 2;
  value["B"] = 3;
  value["a"] = 4;
  EXPECT_EQ("{\"B\": 3, \"a\": 4, \"z\": 2, \"\xc3\xa9\": 1}", Text(value));
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
    for (uint32_t i = 0; i < buffer.capacity; ++i)
      ASSERT_EQ(i < c.n ? 'z' : 0, buffer.data[i]) << i;
  }
}

}  // namespace
