// The syntax check and the element splitter of JSON array bodies: they must agree with a whole
// parse on what is JSON, cut elements where json-c would, and never let an integer beyond 64
// bits through as a clamped one.
#include "json_elements.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>
#include <vector>

namespace {

TEST(json_elements, checks_documents_as_a_whole_parse_would) {
  struct case_t {
    std::string text;
    bool ok, is_array;
    size_t elements;
    const char *error;
  } cases[] = {
      {"[]", true, true, 0, nullptr},
      {" [ {} , {\"a\": [1, 2, {\"b\": null}]}, 3, \"x\" ]\n", true, true, 4, nullptr},
      {"{\"a\": 1}", true, false, 0, nullptr},
      {"17", true, false, 0, nullptr},
      {"", false, false, 0, "unexpected end of data"},
      {"   ", false, false, 0, "unexpected end of data"},
      {"[{},{", false, false, 0, "unexpected end of data"},
      {"[{\"a\": \"open]", false, false, 0, "quoted string not terminated"},
      {"[1 2]", false, false, 0, "array value separator ',' expected"},
      {"[1,]", false, false, 0, "unexpected character"},
      {"[{\"a\" 1}]", false, false, 0, "object property name separator ':' expected"},
      {"[{a: 1}]", false, false, 0, "object property name expected"},
      {"[\"\\x\"]", false, false, 0, "invalid string sequence"},
      {"[\"\\u12g4\"]", false, false, 0, "invalid string sequence"},
      {"[tru]", false, false, 0, "boolean expected"},
      {"[NaN]", false, false, 0, "unexpected character"},
      {"[01x]", false, false, 0, "array value separator ',' expected"},
      {"[1.]", false, false, 0, "number expected"},
      {"[] []", false, false, 0, "trailing data after the document"},
      {std::string("[1]\0", 4), false, false, 0, "trailing data after the document"},
      {std::string(32, '[') + std::string(32, ']'), true, true, 1, nullptr},
      {std::string(33, '[') + std::string(33, ']'), false, false, 0, "nesting too deep"},
  };
  for (const case_t &c : cases) {
    json_document_t d = json_document_check(c.text);
    EXPECT_EQ(d.ok, c.ok) << c.text;
    EXPECT_EQ(d.is_array, c.is_array) << c.text;
    EXPECT_EQ(d.elements, c.elements) << c.text;
    if (c.error) {
      EXPECT_STREQ(d.error, c.error) << c.text;
    }
  }
}

TEST(json_elements, cuts_elements_through_strings_and_nesting) {
  std::string text =
      R"([ {"s": "] , [ { \" }"}, [1, [2, {"x": "}"}]], "a,b", -0.5e3, null, {"u": "\u005d"} ])";
  ASSERT_TRUE(json_document_check(text).ok);
  std::vector<std::string> raws, parsed;
  size_t n = json_elements_each(text, [&](std::string_view raw, json_object *el) {
    raws.emplace_back(raw);
    parsed.emplace_back(el ? json_object_to_json_string_ext(el, JSON_C_TO_STRING_PLAIN) : "?");
  });
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(raws, (std::vector<std::string>{R"({"s": "] , [ { \" }"})", R"([1, [2, {"x": "}"}]])",
                                            R"("a,b")", "-0.5e3", "null", R"({"u": "\u005d"})"}));
  EXPECT_EQ(parsed[0], R"({"s":"] , [ { \" }"})");
  EXPECT_EQ(parsed[3], "-0.5e3");
  EXPECT_EQ(parsed[4], "?");  // json-c's null is no object, as inside a whole document
  EXPECT_EQ(parsed[5], R"({"u":"]"})");

  // An element larger than any definition is not parsed at all: its tree would cost as much as
  // a whole body's.
  std::string big = "[{\"a\": [" + std::string(json_elements_max_element, ' ') + "]}, {}]";
  std::vector<bool> got;
  json_elements_each(big, [&](std::string_view, json_object *el) { got.push_back(el != nullptr); });
  EXPECT_EQ(got, (std::vector<bool>{false, true}));
}

TEST(json_elements, integers_beyond_64_bits_arrive_as_floating_point_never_clamped) {
  std::string text =
      R"([{"id": 18446744073709551615}, {"id": 18446744073709551616}, {"id": 100000000000000000000000000000000000000000},
          {"id": -9223372036854775808}, {"id": -9223372036854775809}, {"id": 7, "t": "18446744073709551616"}])";
  std::vector<json_type> types;
  std::vector<uint64_t> ids;
  std::string text_kept;
  json_elements_each(text, [&](std::string_view, json_object *el) {
    json_object *id = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(el, "id", &id));
    types.push_back(json_object_get_type(id));
    ids.push_back(json_object_get_uint64(id));
    json_object *t = nullptr;
    if (json_object_object_get_ex(el, "t", &t)) text_kept = json_object_get_string(t);
  });
  EXPECT_EQ(types, (std::vector<json_type>{json_type_int, json_type_double, json_type_double,
                                           json_type_int, json_type_double, json_type_int}));
  EXPECT_EQ(ids[0], UINT64_MAX);
  EXPECT_EQ(text_kept, "18446744073709551616");  // inside a string nothing changes
}

}  // namespace
