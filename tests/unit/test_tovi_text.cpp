// The JSON text helpers: bytes that are not UTF-8 leave as reversible escapes, valid UTF-8 as it
// was, and a consumer's copy of an escaped text maps back to the original bytes.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <random>
#include <string>

#include "tovi/tovi_text.h"

namespace {

// Decodes the body of a JSON string as a consumer would, with U+DC80..U+DCFF standing for the
// bytes 0x80..0xff; fails the test on anything the escaper should not have written.
std::string consumer_bytes(std::string_view quoted) {
  EXPECT_GE(quoted.size(), 2u);
  std::string out;
  for (size_t i = 1; i + 1 < quoted.size(); i++) {
    char c = quoted[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    char e = quoted[++i];
    switch (e) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '/':
        out.push_back('/');
        break;
      case 'u': {
        unsigned v = std::stoul(std::string(quoted.substr(i + 1, 4)), nullptr, 16);
        i += 4;
        if (v >= 0xDC80 && v <= 0xDCFF)
          out.push_back(char(v - 0xDC00));
        else if (v < 0x80)
          out.push_back(char(v));
        else
          ADD_FAILURE() << "unexpected escape " << v;
        break;
      }
      default:
        ADD_FAILURE() << "unexpected escape " << e;
    }
  }
  return out;
}

bool is_utf8(std::string_view s) {
  return tovi_utf8_invalid_at(s) == s.size();
}

}  // namespace

TEST(tovi_text, random_bytes_escape_to_valid_utf8_and_back) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; round++) {
    std::string in(rng() % 12, '\0');
    for (char &c : in) {
      // Mostly high bytes and sequence starts, where the cases are.
      unsigned r = rng() % 8;
      c = char(r < 2 ? rng() % 128 : r < 4 ? 0x80 + rng() % 64 : 0xC0 + rng() % 64);
    }
    std::string out;
    tovi_json_escape_into(&out, in);
    ASSERT_TRUE(is_utf8(out)) << round;
    ASSERT_EQ(consumer_bytes(out), in) << round;
    // What json-c writes for the same bytes, repaired, is the same string.
    json_object *o = json_object_new_string_len(in.data(), int(in.size()));
    std::string via_jsonc =
        tovi_json_utf8_safe(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN));
    json_object_put(o);
    ASSERT_TRUE(is_utf8(via_jsonc));
    ASSERT_EQ(consumer_bytes(via_jsonc), in) << round;
    if (is_utf8(in)) {
      ASSERT_EQ(out.find("\\udc"), std::string::npos);
    }
  }
}

TEST(tovi_text, valid_utf8_is_untouched_and_edges_are_exact) {
  // Valid: every length, the edges of each range.
  for (std::string valid :
       {std::string("na\xc3\xafve\xe2\x82\xac"), std::string("\xc2\x80\xdf\xbf"),
        std::string("\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"),
        std::string("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf")}) {
    std::string out;
    tovi_json_escape_into(&out, valid);
    EXPECT_EQ(out, "\"" + valid + "\"");
    std::string repaired;
    EXPECT_FALSE(tovi_json_utf8_repair(out, &repaired));
  }
  // Invalid: overlong, surrogate, above U+10FFFF, cut, stray continuation, 0xff.
  struct {
    std::string in, out;
  } cases[] = {
      {"\xc0\xaf", "\"\\udcc0\\udcaf\""},
      {"\xe0\x9f\xbf", "\"\\udce0\\udc9f\\udcbf\""},
      {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
      {"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
      {"a\xe2\x82", "\"a\\udce2\\udc82\""},
      {"\x80z\xff", "\"\\udc80z\\udcff\""},
  };
  for (const auto &c : cases) {
    std::string out;
    tovi_json_escape_into(&out, c.in);
    EXPECT_EQ(out, c.out);
  }
}

TEST(tovi_text, a_sent_back_signature_unescapes_in_both_forms) {
  std::string raw;
  // As the JSON text holds it (any hex case), and as a decoded string encoded with its lone
  // surrogates (U+DCFF = ED B3 BF, U+DC80 = ED B2 80).
  EXPECT_TRUE(tovi_json_byte_unescape("u`bad\\udcFF\\udc80|ST[]", &raw));
  EXPECT_EQ(raw, "u`bad\xff\x80|ST[]");
  EXPECT_TRUE(tovi_json_byte_unescape("u`bad\xed\xb3\xbf\xed\xb2\x80|ST[]", &raw));
  EXPECT_EQ(raw, "u`bad\xff\x80|ST[]");
  // Neither form: nothing to undo (a low escape is a real character, not a byte).
  raw = "unchanged";
  EXPECT_FALSE(tovi_json_byte_unescape("plain\\udc7f \\u00e9 \xed\x9f\xbf", &raw));
  EXPECT_EQ(raw, "unchanged");
}
