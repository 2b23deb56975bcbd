#include "messaging/pobject.h"

#include <stdint.h>

#include <stdexcept>
#include <string>

#include "gtest/gtest.h"

namespace {

std::string Text(const PObject& value) { return value.to_text().str(); }

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
    EXPECT_EQ(c.capacity_after, PObject::buffer_type(buffer).capacity);  // a copy keeps it
    for (uint32_t i = 0; i < buffer.capacity; ++i) ASSERT_EQ(i < c.n ? 'z' : 0, buffer.data[i]);
  }
}

}  // namespace
