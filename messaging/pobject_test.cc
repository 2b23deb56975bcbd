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

  struct Case {
    const char* name;
    PObject value;
    PObject::Type type;
    bool empty;
    bool truth;
    const char* as_string;
    const char* text;
  };
  const Case cases[] = {
      {"default", PObject(), PObject::kNull, true, false, "", "null"},
      {"true", PObject(true), PObject::kInteger, false, true, "1", "1"},
      {"false", PObject(false), PObject::kInteger, false, false, "0", "0"},
      {"zero", PObject(0), PObject::kInteger, false, false, "0", "0"},
      {"int32 -1", PObject(int32_t{-1}), PObject::kInteger, false, true, "4294967295",
       "18446744073709551615"},
      {"uint32 max", PObject(uint32_t{0xFFFFFFFFu}), PObject::kInteger, false, true, "4294967295",
       "4294967295"},
      {"five billion", PObject(int64_t{5000000000LL}), PObject::kInteger, false, true, "705032704",
       "5000000000"},
      {"uint64 max", PObject(UINT64_MAX), PObject::kInteger, false, true, "4294967295",
       "18446744073709551615"},
      {"string", PObject("abc"), PObject::kString, false, true, "abc", "\"abc\""},
      {"string 0", PObject(ustring("0")), PObject::kString, false, true, "0", "\"0\""},
      {"empty string", PObject(""), PObject::kString, true, false, "", "\"\""},
      {"array", PObject(array), PObject::kArray, false, true, "", "[7, \"x\"]"},
      {"empty array", PObject(PObject::array_type()), PObject::kArray, true, false, "", "[]"},
      {"map", PObject(map), PObject::kMap, false, true, "", "{\"a\": 1, \"b\": 2}"},
      {"empty map", PObject(PObject::map_type()), PObject::kMap, true, false, "", "{}"},
      {"binary", PObject(binary), PObject::kBinary, false, true, "",
       "{offset: 3, length: 9, path: \"/tmp/f\"}"},
      {"binary no path", PObject(PObject::binary_type()), PObject::kBinary, true, false, "",
       "{offset: 0, length: 0, path: \"\"}"},
      {"binary_ex", PObject(binary_ex), PObject::kBinaryEx, false, true, "",
       "{offset: 1, length: 2, path: \"/p\", send_hash: \"aa\", recv_hash: \"bb\", "
       "hash_algo: \"md5\"}"},
      {"buffer", PObject(buffer), PObject::kBuffer, false, true, "", "{data_length: 5, }"},
      {"empty buffer", PObject(PObject::buffer_type()), PObject::kBuffer, true, false, "",
       "{data_length: 0, }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.type, c.value.type());
    EXPECT_EQ(c.type == PObject::kNull, c.value.is_null());
    EXPECT_EQ(c.empty, c.value.is_empty());
    EXPECT_EQ(c.truth, c.value.as_bool());
    EXPECT_EQ(c.as_string, c.value.as_string().str());
    EXPECT_EQ(c.text, Text(c.value));
    if (c.type != PObject::kInteger) {
      EXPECT_EQ(0u, c.value.as_uint64());
    }
  }
}

TEST(PObjectTest, IntegerReadsTruncateAndSignExtend) {
  PObject minus_one(int32_t{-1});
  EXPECT_EQ(UINT64_MAX, minus_one.as_uint64());
  EXPECT_EQ(-1, minus_one.as_int64());
  EXPECT_EQ(-1, minus_one.as_int32());
  EXPECT_EQ(0xFFFFFFFFu, minus_one.as_uint32());

  PObject value(uint64_t{0x1234567890ABCDEFULL});
  EXPECT_EQ(0x90ABCDEFu, value.as_uint32());
  EXPECT_EQ(static_cast<int32_t>(0x90ABCDEFu), value.as_int32());
  EXPECT_EQ(0xCDEFu, value.as_uint16());
  EXPECT_EQ(static_cast<int16_t>(0xCDEF), value.as_int16());
  EXPECT_EQ(0xEFu, value.as_uint8());
  EXPECT_EQ(static_cast<int8_t>(0xEF), value.as_int8());

  PObject small(uint16_t{0x8001});
  EXPECT_EQ(0x8001u, small.as_uint64());  // unsigned sources are zero-extended
  PObject negative16(int16_t{-2});
  EXPECT_EQ(UINT64_MAX - 1, negative16.as_uint64());

  // A string of digits is not parsed.
  PObject digits("42");
  EXPECT_EQ(0u, digits.as_uint64());
  EXPECT_EQ(0, digits.as_int8());
}

TEST(PObjectTest, ReadsOfTheWrongKindAreNeutral) {
  PObject array;
  array.mutable_array().push_back(PObject(1));
  EXPECT_EQ(&PObject::empty_map, &array.get_map());
  EXPECT_EQ(&PObject::empty_binary, &array.get_binary());
  EXPECT_EQ(&PObject::empty_binary_ex, &array.get_binary_ex());
  EXPECT_EQ(&PObject::empty_buffer, &array.get_buffer());
  EXPECT_EQ(1u, array.get_array().size());

  PObject text("s");
  EXPECT_EQ(&PObject::empty_array, &text.get_array());
  EXPECT_EQ(&PObject::empty_object, &static_cast<const PObject&>(text)["k"]);
  EXPECT_TRUE(text.is_string());  // read-only access changed nothing
  EXPECT_FALSE(text.has_key("k"));

  PObject map;
  map["present"] = 1;
  const PObject& const_map = map;
  EXPECT_EQ(&PObject::empty_object, &const_map["absent"]);
  EXPECT_FALSE(map.has_key("absent"));
  EXPECT_EQ(1u, map.get_map().size());
  EXPECT_TRUE(PObject::empty_map.empty());
  EXPECT_TRUE(PObject::empty_object.is_null());
}

TEST(PObjectTest, WritableKeyedAccessTurnsValueIntoMap) {
  PObject value("was a string");
  PObject& element = value["action"];
  EXPECT_TRUE(element.is_null());
  ASSERT_TRUE(value.is_map());
  EXPECT_EQ(1u, value.get_map().size());
  element = "get_user";
  EXPECT_EQ("{\"action\": \"get_user\"}", Text(value));
  value["action"] = 5;  // existing key: same element, no second entry
  EXPECT_EQ(1u, value.get_map().size());
  EXPECT_EQ(5u, value["action"].as_uint64());
  EXPECT_TRUE(value.has_key("action"));
}

TEST(PObjectTest, MutableAccessReplacesOtherKinds) {
  PObject value(12);
  value.mutable_binary().path = "/a";
  EXPECT_TRUE(value.is_binary());
  EXPECT_EQ("/a", value.get_binary().path.str());
  value.mutable_binary().length = 4;  // same kind: kept, not reset
  EXPECT_EQ("/a", value.get_binary().path.str());
  value.mutable_buffer();
  EXPECT_TRUE(value.is_buffer());
  EXPECT_TRUE(value.is_empty());
  value.mutable_binary_ex().send_hash = "ff";
  EXPECT_TRUE(value.is_binary_ex());
  EXPECT_TRUE(value.is_empty());  // no path yet
  value.mutable_array().resize(3);
  EXPECT_EQ(3u, value.get_array().size());
  value.mutable_map();
  EXPECT_TRUE(value.is_map());
  EXPECT_TRUE(value.is_empty());
}

TEST(PObjectTest, PositionalAccess) {
  PObject map;
  map["c"] = 3;
  map["a"] = 1;
  map["b"] = 2;
  const PObject& const_map = map;
  EXPECT_EQ(1u, const_map[0u].as_uint64());
  EXPECT_EQ(2u, const_map[1u].as_uint64());
  EXPECT_EQ(3u, const_map[2u].as_uint64());
  EXPECT_EQ(&PObject::empty_object, &const_map[3u]);

  map[1u] = 20;  // writable access to a map entry by position
  EXPECT_EQ(20u, map["b"].as_uint64());

  PObject array;
  array.mutable_array().push_back(PObject("x"));
  const PObject& const_array = array;
  EXPECT_EQ("x", const_array[0u].as_string().str());
  EXPECT_EQ(&PObject::empty_object, &const_array[1u]);
  const PObject integer(1);
  EXPECT_EQ(&PObject::empty_object, &integer[0u]);

  // Writable positional access works on maps only.
  struct Case {
    const char* name;
    PObject value;
    uint32_t index;
  };
  Case throwing[] = {
      {"array", array, 0},
      {"past the map", map, 3},
      {"null", PObject(), 0},
      {"string", PObject("s"), 0},
  };
  for (Case& c : throwing) {
    SCOPED_TRACE(c.name);
    try {
      c.value[c.index];
      ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ("out_of_range: PObject::operator[]", e.what());
    }
  }
}

TEST(PObjectTest, CopiesAreDeepMovesEmptyTheSource) {
  PObject source;
  source["list"].mutable_array().push_back(PObject(1));
  source["list"].mutable_array().push_back(PObject("two"));
  source["buf"].mutable_buffer().assign("abc", 3);
  PObject copy(source);
  copy["list"].mutable_array()[0] = 100;
  copy["list"].mutable_array().push_back(PObject());
  copy["buf"].mutable_buffer().data[0] = 'X';
  copy["new"] = true;
  EXPECT_EQ("{\"buf\": {data_length: 3, }, \"list\": [1, \"two\"]}", Text(source));
  EXPECT_EQ('a', source["buf"].get_buffer().data[0]);
  EXPECT_EQ("{\"buf\": {data_length: 3, }, \"list\": [100, \"two\", null], \"new\": 1}",
            Text(copy));

  PObject assigned;
  assigned = source;
  assigned["list"].mutable_array().clear();
  EXPECT_EQ(2u, source["list"].get_array().size());

  // Swapping trades kinds; moving leaves the source null; clear makes null.
  PObject text("moved");
  assigned.swap(text);
  EXPECT_EQ("moved", assigned.as_string().str());
  EXPECT_TRUE(text.is_map());
  PObject target(std::move(assigned));
  EXPECT_EQ("moved", target.as_string().str());
  EXPECT_TRUE(assigned.is_null());  // NOLINT(bugprone-use-after-move): defined state
  PObject other(1);
  other = std::move(target);
  EXPECT_EQ("moved", other.as_string().str());
  other.clear();
  EXPECT_EQ("null", Text(other));
}

TEST(PObjectTest, AssignmentFromItselfOrItsOwnParts) {
  PObject value;
  value["inner"]["x"] = 1;
  value["other"] = 2;

  PObject& self = value;
  value = self;
  EXPECT_EQ("{\"inner\": {\"x\": 1}, \"other\": 2}", Text(value));

  // Assigning an element of the value to the value keeps that element.
  value = value["inner"];
  EXPECT_EQ("{\"x\": 1}", Text(value));

  // Assigning a value's own map or array back to it is safe.
  value = value.get_map();
  EXPECT_EQ("{\"x\": 1}", Text(value));
  PObject list;
  list.mutable_array().push_back(PObject(5));
  list = list.get_array();
  EXPECT_EQ("[5]", Text(list));
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
// otherwise reallocate to exactly n.
TEST(PObjectBufferTest, GrowthRuleTable) {
  struct Case {
    uint32_t capacity_before;
    uint32_t n;
    uint32_t capacity_after;
  };
  const Case cases[] = {
      {0, 0, 0},   {0, 10, 10}, {10, 10, 10}, {10, 5, 10}, {10, 4, 4}, {10, 11, 11},
      {11, 5, 11}, {11, 4, 4},  {100, 1, 1},  {100, 0, 0}, {1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity_before << " -> " << c.n);
    PObject::buffer_type buffer;
    std::string before(c.capacity_before, 'q');
    ASSERT_EQ(0, buffer.assign(before.data(), c.capacity_before));
    ASSERT_EQ(c.capacity_before, buffer.capacity);
    std::string bytes(c.n, 'z');
    ASSERT_EQ(0, buffer.assign(bytes.data(), c.n));
    EXPECT_EQ(c.capacity_after, buffer.capacity);
    EXPECT_EQ(c.n, buffer.data_length);
    // Everything past the stored bytes is zero-filled.
    for (uint32_t i = 0; i < buffer.capacity; ++i) {
      ASSERT_EQ(i < c.n ? 'z' : 0, buffer.data[i]) << "byte " << i;
    }
  }
}

}  // namespace
