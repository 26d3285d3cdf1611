#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "vask/vask_decoder.h"
#include "vask/vask_metric.h"

namespace {

const char *kUuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
const uint8_t kUuidBytes[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};

std::string check_field(uint64_t account = 42) {
  return "web01`http`c_" + std::to_string(account) + "_1234`" + kUuid;
}

std::string m_line(const std::string &name, const std::string &type, const std::string &value,
                   const std::string &broker = "noit-a") {
  std::string line = "M\t";
  if (!broker.empty()) line += broker + "\t";
  return line + "1700000000.123456\t" + check_field() + "\t" + name + "\t" + type + "\t" + value;
}

// A decoded message over an exact-size heap copy of the line, so that a read past its end shows
// under AddressSanitizer.
struct decoded_t {
  std::vector<char> bytes;
  vask_metric_message_t *m = nullptr;
  vask_decode_reason_t reason = VASK_DECODE_OK;

  explicit decoded_t(const std::string &line, bool parse_tags = true)
      : bytes(line.begin(), line.end()) {
    m = vask_metric_message_wrap(bytes.data(), bytes.size());
    reason = vask_message_decoder_parse_line_reason(m, parse_tags);
  }
  ~decoded_t() { vask_metric_director_message_deref(m); }
  std::string name() const { return std::string(m->id.name, m->id.name_len); }
  std::string name_with_tags() const { return std::string(m->id.name, m->id.name_len_with_tags); }
  static std::string tags(const vask_metric_tagset_t &set) {
    std::string out;
    for (int i = 0; i < set.tag_count; i++) {
      if (i) out += ",";
      out.append(set.tags[i].tag, set.tags[i].total_size);
    }
    return out;
  }
};

TEST(vask_decoder, decodes_a_typical_numeric_line_without_allocating) {
  decoded_t d(m_line("cpu.user", "n", "42.5"));
  ASSERT_EQ(d.reason, VASK_DECODE_OK);
  const vask_metric_message_t *m = d.m;
  EXPECT_EQ(m->type, 'M');
  EXPECT_EQ(std::string(m->vask.name, m->vask.len), "noit-a");
  EXPECT_EQ(m->value.whence_ms, 1700000000123ull);
  EXPECT_EQ(0, std::memcmp(m->id.id, kUuidBytes, 16));
  EXPECT_EQ(m->id.account_id, 42u);
  EXPECT_EQ(d.name(), "cpu.user");
  EXPECT_EQ(m->id.name_len_with_tags, m->id.name_len);
  EXPECT_EQ(m->value.type, METRIC_DOUBLE);
  EXPECT_FALSE(m->value.is_null);
  EXPECT_EQ(m->value.value.n, 42.5);
  EXPECT_EQ(m->id.stream.tag_count, 0);
  EXPECT_EQ(m->decoder_storage, nullptr);
  // The name points into the line itself.
  EXPECT_GE(m->id.name, m->original_message);
  EXPECT_LT(m->id.name, m->original_message + m->original_message_len);
}

TEST(vask_decoder, decodes_every_type_letter_at_its_limits) {
  struct case_t {
    const char *type, *value;
    bool ok;
  } cases[] = {
      {"i", "-2147483648", true},
      {"i", "2147483647", true},
      {"i", "2147483648", false},
      {"i", "+7", true},
      {"i", "1.5", false},
      {"i", "", false},
      {"I", "4294967295", true},
      {"I", "4294967296", false},
      {"I", "-1", false},
      {"l", "-9223372036854775808", true},
      {"l", "9223372036854775808", false},
      {"L", "18446744073709551615", true},
      {"L", "18446744073709551616", false},
      {"n", "-0.5e-3", true},
      {"n", "+3", true},
      {"n", "1e999", false},
      {"n", "12abc", false},
      {"n", " 1", false},
      {"n", "+-1", false},
      {"s", "a text\twith a tab", true},
      {"s", "", true},
      {"x", "1", false},
      {"nn", "1", false},
  };
  for (const case_t &c : cases) {
    decoded_t d(m_line("m", c.type, c.value));
    EXPECT_EQ(d.reason == VASK_DECODE_OK, c.ok) << c.type << " " << c.value;
  }
  EXPECT_EQ(decoded_t(m_line("m", "i", "-2147483648")).m->value.value.v_int32, INT32_MIN);
  EXPECT_EQ(decoded_t(m_line("m", "I", "4294967295")).m->value.value.v_uint32, UINT32_MAX);
  EXPECT_EQ(decoded_t(m_line("m", "l", "-9223372036854775808")).m->value.value.v_int64, INT64_MIN);
  EXPECT_EQ(decoded_t(m_line("m", "L", "18446744073709551615")).m->value.value.v_uint64,
            UINT64_MAX);
  EXPECT_DOUBLE_EQ(decoded_t(m_line("m", "n", "-0.5e-3")).m->value.value.n, -0.0005);
  decoded_t s(m_line("m", "s", "a text\twith a tab"));
  EXPECT_EQ(s.m->value.type, METRIC_STRING);
  EXPECT_EQ(std::string(s.m->value.value.s, s.m->value.s_len), "a text\twith a tab");
  EXPECT_EQ(decoded_t(m_line("m", "x", "1")).reason, VASK_DECODE_BAD_TYPE);
  EXPECT_EQ(decoded_t(m_line("m", "i", "2147483648")).reason, VASK_DECODE_BAD_VALUE);
}

TEST(vask_decoder, null_values_keep_their_type) {
  for (const char *type : {"i", "I", "l", "L", "n", "s"}) {
    decoded_t d(m_line("m", type, "[[null]]"));
    ASSERT_EQ(d.reason, VASK_DECODE_OK) << type;
    EXPECT_TRUE(d.m->value.is_null);
    EXPECT_EQ(d.m->value.type, static_cast<metric_type_t>(type[0]));
  }
}

TEST(vask_decoder, broker_field_is_optional) {
  decoded_t d(m_line("m", "L", "7", ""));
  ASSERT_EQ(d.reason, VASK_DECODE_OK);
  EXPECT_EQ(d.m->vask.name, nullptr);
  EXPECT_EQ(d.m->vask.len, 0u);
  EXPECT_EQ(d.m->value.whence_ms, 1700000000123ull);
  EXPECT_EQ(d.m->value.value.v_uint64, 7u);
}

TEST(vask_decoder, histogram_lines_keep_the_encoded_text) {
  std::string tail = "\t1700000001.5\t" + check_field() + "\tlatency\tAAECAwQ=";
  decoded_t h1("H1\tnoit-a" + tail), h2("H2\tnoit-a" + tail);
  ASSERT_EQ(h1.reason, VASK_DECODE_OK);
  ASSERT_EQ(h2.reason, VASK_DECODE_OK);
  EXPECT_EQ(h1.m->type, 'H');
  EXPECT_EQ(h1.m->value.type, METRIC_HISTOGRAM);
  EXPECT_EQ(h2.m->value.type, METRIC_HISTOGRAM_CUMULATIVE);
  EXPECT_EQ(std::string(h1.m->value.value.s, h1.m->value.s_len), "AAECAwQ=");
  EXPECT_EQ(h1.m->value.whence_ms, 1700000001500ull);
  EXPECT_EQ(decoded_t("H1\tnoit-a\t1.0\t" + check_field() + "\tlatency\t").reason,
            VASK_DECODE_BAD_HISTOGRAM);
  EXPECT_EQ(decoded_t("H1\tnoit-a\t1.0\t" + check_field() + "\tlatency\tnot base64!").reason,
            VASK_DECODE_BAD_HISTOGRAM);
  EXPECT_EQ(decoded_t("H3\tnoit-a" + tail).reason, VASK_DECODE_UNKNOWN_RECORD);
}

TEST(vask_decoder, absence_trigger_lines_decode_as_nulls) {
  std::string uuid = kUuid;
  const std::string lines[] = {
      "M\tquelt-internal\t1700000000.000000\tinternal`queltd`c_7_0`" + uuid +
          "\tcpu|ST[]\tn\t[[null]]\n",
      "M\tquelt-internal\t0.000000\tinternal`queltd`c_7_0`" + uuid + "\tmsg|ST[a:1]\ts\t[[null]]\n",
      "H1\tquelt-internal\t1700000000.250000\tweb`queltd`c_7_0`" + uuid + "\tlat|ST[]\t[[null]]\n",
  };
  for (const std::string &line : lines) {
    decoded_t d(line);
    ASSERT_EQ(d.reason, VASK_DECODE_OK) << line;
    EXPECT_TRUE(d.m->value.is_null);
    EXPECT_EQ(d.m->id.account_id, 7u);
    EXPECT_EQ(std::string(d.m->vask.name, d.m->vask.len), "quelt-internal");
  }
  EXPECT_EQ(decoded_t(lines[1]).m->value.whence_ms, 0u);
}

TEST(vask_decoder, check_field_forms) {
  const char *none = "(none)";
  struct case_t {
    std::string field;
    vask_decode_reason_t reason;
    uint64_t account;
    const char *host;
    uint64_t check_id;
  } cases[] = {
      {kUuid, VASK_DECODE_OK, 0, none, 0},
      {"h`m`c_18446744073709551615_1`" + std::string(kUuid), VASK_DECODE_OK, UINT64_MAX, "h", 1},
      {"h`m`c_5_12_extra`0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", VASK_DECODE_OK, 5, "h", 12},
      {"h`m`x`c_5_1`" + std::string(kUuid), VASK_DECODE_OK, 5, "h", 1},
      {"``c_5_1`" + std::string(kUuid), VASK_DECODE_OK, 5, "", 1},
      {"web1`mod`c_12_0x1F`" + std::string(kUuid), VASK_DECODE_OK, 12, "web1", 31},
      {"web1`mod`c_12_010`" + std::string(kUuid), VASK_DECODE_OK, 12, "web1", 8},
      {"web1`mod`c_12_0`" + std::string(kUuid), VASK_DECODE_OK, 12, "web1", 0},
      {"h`m`c_18446744073709551616_1`" + std::string(kUuid), VASK_DECODE_BAD_ACCOUNT, 0, none, 0},
      {"h`m`c_x_1`" + std::string(kUuid), VASK_DECODE_BAD_ACCOUNT, 0, none, 0},
      {"h`m`c_5`" + std::string(kUuid), VASK_DECODE_BAD_ACCOUNT, 0, none, 0},
      {"h`m`c_5_`" + std::string(kUuid), VASK_DECODE_BAD_CHECK, 0, none, 0},
      {"h`m`c_5_x1`" + std::string(kUuid), VASK_DECODE_BAD_CHECK, 0, none, 0},
      {"h`m`d_5_1`" + std::string(kUuid), VASK_DECODE_BAD_CHECK, 0, none, 0},
      {"m`c_5_1`" + std::string(kUuid), VASK_DECODE_BAD_CHECK, 0, none, 0},
      {"h`m`c_5_1-" + std::string(kUuid), VASK_DECODE_BAD_CHECK, 0, none, 0},
      {"short", VASK_DECODE_BAD_CHECK, 0, none, 0},
      {"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1fz", VASK_DECODE_BAD_UUID, 0, none, 0},
      {"0f1e2d3c04b5a-6978-8796-a5b4c3d2e1f0", VASK_DECODE_BAD_UUID, 0, none, 0},
      {"h`m`c_5_1`0f1e2d3c04b5a-6978-8796-a5b4c3d2e1f0", VASK_DECODE_BAD_UUID, 0, none, 0},
  };
  for (const case_t &c : cases) {
    decoded_t d("M\tb\t1.5\t" + c.field + "\tm\tn\t1");
    EXPECT_EQ(d.reason, c.reason) << c.field;
    if (c.reason == VASK_DECODE_OK) {
      EXPECT_EQ(d.m->id.account_id, c.account) << c.field;
      EXPECT_EQ(0, std::memcmp(d.m->id.id, kUuidBytes, 16)) << c.field;
    }
    // A refused line carries nothing of its check field.
    std::string host = d.m->host ? std::string(d.m->host, d.m->host_len) : none;
    EXPECT_EQ(host, c.host) << c.field;
    EXPECT_EQ(d.m->check_id, c.check_id) << c.field;
  }
}

// The check id has always been read by strtoull(copy of at most 31 bytes, base 0) once its text
// started with a digit; vask_check_id_parse must give the same number for every text.
uint64_t check_id_as_strtoull(const std::string &text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return 0;
  char buf[32];
  size_t n = std::min<size_t>(text.size(), sizeof(buf) - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return strtoull(buf, nullptr, 0);
}

// Both readings of a check id text: the function's, and the decoder's of a line that carries it
// (when the text can stand in a check field).
void expect_check_id(const std::string &text, uint64_t expected) {
  EXPECT_EQ(vask_check_id_parse(text.data(), text.size()), expected) << text;
  if (text.empty() || text[0] < '0' || text[0] > '9' || text.find('`') != std::string::npos) return;
  decoded_t d("M\tb\t1.5\th`m`c_1_" + text + "`" + kUuid + "\tm\tn\t1");
  ASSERT_EQ(d.reason, VASK_DECODE_OK) << text;
  EXPECT_EQ(d.m->check_id, expected) << text;
}

TEST(vask_decoder, check_id_reads_as_c_reads_an_unsigned_number_with_base_prefixes) {
  struct case_t {
    std::string text;
    uint64_t expected;
  } cases[] = {
      {"345", 345},
      {"0x1F", 31},
      {"0X1f", 31},
      {"010", 8},
      {"0", 0},
      {"", 0},
      {"x12", 0},
      {"-5", 0},
      {"+5", 0},
      {" 5", 0},
      {"12_extra", 12},
      {"12abc", 12},
      {"08", 0},
      {"0128", 10},
      {"0x", 0},
      {"0xg", 0},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", UINT64_MAX},
      {"99999999999999999999999999999999999", UINT64_MAX},
      {"0xFFFFFFFFFFFFFFFF", UINT64_MAX},
      {"0x10000000000000000", UINT64_MAX},
      {"01777777777777777777777", UINT64_MAX},
      {"02000000000000000000000", UINT64_MAX},
      // Only 31 bytes are read: the digits beyond them do not count.
      {std::string(30, '0') + "12", 1},
      {std::string(31, '0') + "12", 0},
      {"0x" + std::string(28, '0') + "1F", 1},
      {"1234567890123456789", 1234567890123456789u},
      {"12345678901234567890", 12345678901234567890u},
      {"1234567890123456789x", 1234567890123456789u},
  };
  for (const case_t &c : cases) {
    expect_check_id(c.text, c.expected);
    EXPECT_EQ(check_id_as_strtoull(c.text), c.expected) << c.text;
  }
  // And on many texts built from the bytes that matter, against the C library itself.
  const char alphabet[] = "0123456789abcdefxX_` ";
  uint32_t seed = 12345;
  for (int i = 0; i < 20000; i++) {
    std::string text;
    seed = seed * 1103515245u + 12345u;
    size_t len = (seed >> 16) % 40;
    for (size_t k = 0; k < len; k++) {
      seed = seed * 1103515245u + 12345u;
      // Mostly digits, so that long numbers and overflows are common.
      unsigned r = (seed >> 16) % 64;
      text.push_back(r < 40 ? char('0' + r % 10) : alphabet[r % (sizeof alphabet - 1)]);
    }
    expect_check_id(text, check_id_as_strtoull(text));
    if (HasFailure()) break;
  }
}

// The self-check marker: the text "`selfcheck`selfcheck`" anywhere in the line before the name
// field, whatever becomes of the name.
TEST(vask_decoder, self_check_marker_stands_before_the_name_field) {
  std::string check = "b01`selfcheck`selfcheck`c_1_0`" + std::string(kUuid);
  auto line = [](const std::string &broker, const std::string &check, const std::string &name,
                 const std::string &rest) {
    return "M\t" + broker + "\t1.5\t" + check + "\t" + name + "\t" + rest;
  };
  struct case_t {
    std::string text;
    bool parse_tags;
    bool marked;
  } cases[] = {
      {line("b", check, "uptime", "L\t61"), true, true},
      {line("b", check, "uptime", "L\t61"), false, true},
      // A name the decoder rebuilds lies outside the line; the marker still counts.
      {line("b", check, "uptime|ST[z:1,a:2]", "L\t61"), true, true},
      {line("b", check, "uptime|ST[b\"eA==\":1]", "L\t61"), true, true},
      {line("b", "b01`selfcheck`x`c_1_0`" + std::string(kUuid), "uptime", "L\t61"), true, false},
      {line("b", "b01`selfcheck`selfcheck", "uptime", "L\t61"), true, false},  // refused
      {line("a`selfcheck`selfcheck`b", check_field(), "uptime", "L\t61"), true, true},
      {line("b", check_field(), "uptime", "s\t`selfcheck`selfcheck`"), true, false},
      {line("b", check_field(), "up`selfcheck`selfcheck`time", "L\t61"), true, false},
      {"M\t1.5\t" + check + "\tuptime\tL\t61", true, true},
  };
  for (const case_t &c : cases) {
    decoded_t d(c.text, c.parse_tags);
    EXPECT_EQ(d.m->selfcheck, c.marked) << c.text;
  }
  // Decoding another line into the same message forgets the marker.
  decoded_t d(cases[0].text);
  std::string plain = line("b", check_field(), "uptime", "L\t61");
  d.m->original_message = plain.data();
  d.m->original_message_len = plain.size();
  ASSERT_EQ(vask_message_decoder_parse_line(d.m, true), 1);
  EXPECT_FALSE(d.m->selfcheck);
  EXPECT_EQ(std::string(d.m->host, d.m->host_len), "web01");
  EXPECT_EQ(d.m->check_id, 1234u);
}

TEST(vask_decoder, canonical_tags_are_used_in_place) {
  decoded_t d(m_line("cpu|ST[env:prod,host:web-01]|MT{run:7}", "n", "1"));
  ASSERT_EQ(d.reason, VASK_DECODE_OK);
  EXPECT_EQ(d.m->decoder_storage, nullptr);
  EXPECT_EQ(d.name(), "cpu");
  EXPECT_EQ(d.name_with_tags(), "cpu|ST[env:prod,host:web-01]|MT{run:7}");
  EXPECT_EQ(decoded_t::tags(d.m->id.stream), "env:prod,host:web-01");
  EXPECT_EQ(d.m->id.stream.canonical_size, strlen("env:prod,host:web-01"));
  EXPECT_EQ(d.m->id.stream.tags[0].category_size, 3);
  EXPECT_EQ(decoded_t::tags(d.m->id.measurement), "run:7");
  EXPECT_EQ(d.m->id.check.tag_count, 0);
}

TEST(vask_decoder, other_tag_spellings_become_canonical) {
  struct case_t {
    const char *name, *canonical, *stream, *measurement;
  } cases[] = {
      {"cpu|ST[host:b,env:a]", "cpu|ST[env:a,host:b]", "env:a,host:b", ""},
      {"cpu|ST[a:1,a:1,a:0]", "cpu|ST[a:0,a:1]", "a:0,a:1", ""},
      {"cpu|ST[a.b:1,a:2]", "cpu|ST[a:2,a.b:1]", "a:2,a.b:1", ""},
      {"cpu|ST[a:x,a]", "cpu|ST[a,a:x]", "a,a:x", ""},
      {"cpu|ST[a:]", "cpu|ST[a]", "a", ""},
      {"cpu|ST[b\"aG9zdA==\":b\"d2ViMDE=\"]", "cpu|ST[host:web01]", "host:web01", ""},
      {"cpu|ST[path:/var/log x]", "cpu|ST[path:b\"L3Zhci9sb2cgeA==\"]",
       "path:b\"L3Zhci9sb2cgeA==\"", ""},
      {"cpu|ST[url:http://h:80/]", "cpu|ST[url:http://h:80/]", "url:http://h:80/", ""},
      {"cpu|ST[a:1]|ST[]", "cpu|ST[a:1]", "a:1", ""},
      {"cpu|ST[b:2]|ST[a:1]", "cpu|ST[a:1,b:2]", "a:1,b:2", ""},
      {"cpu|MT{z:1}|ST[a:1]", "cpu|ST[a:1]|MT{z:1}", "a:1", "z:1"},
      {"cpu|ST[]", "cpu", "", ""},
      {"cpu|ST[]|MT{}", "cpu", "", ""},
      {"a|b|ST[x:1]", "a|b|ST[x:1]", "x:1", ""},
  };
  for (const case_t &c : cases) {
    decoded_t d(m_line(c.name, "n", "1"));
    ASSERT_EQ(d.reason, VASK_DECODE_OK) << c.name;
    EXPECT_EQ(d.name_with_tags(), c.canonical) << c.name;
    EXPECT_EQ(decoded_t::tags(d.m->id.stream), c.stream) << c.name;
    EXPECT_EQ(decoded_t::tags(d.m->id.measurement), c.measurement) << c.name;
    // The canonical name is what canonicalisation of the same text gives, less an empty block.
    char out[256];
    int n = vask_metric_canonicalize(d.name_with_tags().data(), d.name_with_tags().size(), out,
                                     sizeof out, false);
    EXPECT_EQ(std::string(out, n > 0 ? n : 0), c.canonical) << c.name;
  }
}

TEST(vask_decoder, many_tags_go_to_owned_storage) {
  std::string tags;
  for (int i = 19; i >= 0; i--)
    tags += (tags.empty() ? "" : ",") + std::string("k") + char('a' + i) + ":v";
  decoded_t d(m_line("m|ST[" + tags + "]", "n", "1"));
  ASSERT_EQ(d.reason, VASK_DECODE_OK);
  ASSERT_EQ(d.m->id.stream.tag_count, 20);
  EXPECT_NE(d.m->decoder_storage, nullptr);
  for (int i = 0; i < 20; i++)
    EXPECT_EQ(std::string(d.m->id.stream.tags[i].tag, d.m->id.stream.tags[i].total_size),
              std::string("k") + char('a' + i) + ":v");
  // Canonical and more than fit inline: the text stays in the line, the array is owned.
  std::string sorted;
  for (int i = 0; i < 20; i++)
    sorted += (sorted.empty() ? "" : ",") + std::string("k") + char('a' + i) + ":v";
  decoded_t c(m_line("m|ST[" + sorted + "]", "n", "1"));
  ASSERT_EQ(c.reason, VASK_DECODE_OK);
  EXPECT_EQ(c.name_with_tags(), "m|ST[" + sorted + "]");
  EXPECT_EQ(decoded_t::tags(c.m->id.stream), sorted);
}

TEST(vask_decoder, without_tag_parsing_the_name_is_taken_as_written) {
  decoded_t d(m_line("cpu|ST[b:1,a:2]", "n", "1"), false);
  ASSERT_EQ(d.reason, VASK_DECODE_OK);
  EXPECT_EQ(d.name(), "cpu");
  EXPECT_EQ(d.name_with_tags(), "cpu|ST[b:1,a:2]");
  EXPECT_EQ(d.m->id.stream.tag_count, 0);
}

TEST(vask_decoder, rejects_malformed_lines_with_a_counted_reason) {
  std::string cf = check_field();
  struct case_t {
    std::string line;
    vask_decode_reason_t reason;
  } cases[] = {
      {"", VASK_DECODE_EMPTY_LINE},
      {"\r\n", VASK_DECODE_EMPTY_LINE},
      {"M\tb\t1.0\t" + cf + "\tm\tn\t" + std::string("1\0x", 3), VASK_DECODE_NUL_BYTE},
      {"S\tb\tstatus", VASK_DECODE_NOT_A_SAMPLE},
      {"X\tb\t1.0", VASK_DECODE_UNKNOWN_RECORD},
      {"M", VASK_DECODE_MISSING_FIELD},
      {"M\tb", VASK_DECODE_MISSING_FIELD},
      {"M\tb\t1.0\t" + cf + "\tm\tn", VASK_DECODE_MISSING_FIELD},
      {"M\t\t1.0\t" + cf + "\tm\tn\t1", VASK_DECODE_BAD_BROKER},
      {"M\tb\t1.x\t" + cf + "\tm\tn\t1", VASK_DECODE_BAD_TIMESTAMP},
      {"M\tb\t1.\t" + cf + "\tm\tn\t1", VASK_DECODE_BAD_TIMESTAMP},
      {"M\tb\t1.0\t" + cf + "\t\tn\t1", VASK_DECODE_EMPTY_NAME},
      {"M\tb\t1.0\t" + cf + "\t|ST[a:1]\tn\t1", VASK_DECODE_EMPTY_NAME},
      {"M\tb\t1.0\t" + cf + "\tm|ST[a:1\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[a:1]x\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[a:1,]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[,a:1]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[:1]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[b\"!!\":1]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[b\"\":1]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[a:b\"x]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm|ST[" + std::string(300, 'c') + ":1]\tn\t1", VASK_DECODE_BAD_TAGS},
      {"M\tb\t1.0\t" + cf + "\tm\tn\t1\textra", VASK_DECODE_BAD_VALUE},
  };
  for (const case_t &c : cases) {
    uint64_t before = vask_decoder_rejections(c.reason);
    decoded_t d(c.line);
    EXPECT_EQ(d.reason, c.reason) << vask_decode_reason_name(d.reason) << ": " << c.line;
    EXPECT_EQ(vask_decoder_rejections(c.reason), before + 1) << c.line;
    EXPECT_EQ(d.m->id.name, nullptr);
    EXPECT_EQ(d.m->decoder_storage, nullptr);
  }
  EXPECT_EQ(decoded_t("S\tb\tstatus").m->type, 'S');
  EXPECT_STREQ(vask_decode_reason_name(VASK_DECODE_BAD_TAGS), "bad_tags");
  EXPECT_STREQ(vask_decode_reason_name(static_cast<vask_decode_reason_t>(99)), "unknown");
}

TEST(vask_decoder, line_ends_are_not_part_of_the_value) {
  decoded_t lf(m_line("m", "s", "text\n")), crlf(m_line("m", "s", "text\r\n"));
  EXPECT_EQ(std::string(lf.m->value.value.s, lf.m->value.s_len), "text");
  EXPECT_EQ(std::string(crlf.m->value.value.s, crlf.m->value.s_len), "text");
}

TEST(vask_decoder, a_lone_carriage_return_is_data_and_underflow_reads_as_zero_or_subnormal) {
  decoded_t cr(m_line("m", "s", "text\r"));
  ASSERT_EQ(cr.reason, VASK_DECODE_OK);
  EXPECT_EQ(std::string(cr.m->value.value.s, cr.m->value.s_len), "text\r");

  struct case_t {
    const char *text;
    double value;
  } cases[] = {
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"4.9e-324", 4.9e-324},
      {"2e-310", 2e-310},
  };
  for (const case_t &c : cases) {
    decoded_t d(m_line("m", "n", c.text));
    ASSERT_EQ(d.reason, VASK_DECODE_OK) << c.text;
    EXPECT_EQ(d.m->value.value.n, c.value) << c.text;
    EXPECT_EQ(std::signbit(d.m->value.value.n), std::signbit(c.value)) << c.text;
  }
  for (const char *text : {"1e999", "-1e999", "1e-400x", "1e-400 "})
    EXPECT_EQ(decoded_t(m_line("m", "n", text)).reason, VASK_DECODE_BAD_VALUE) << text;
}

TEST(vask_decoder, names_longer_than_the_rules_can_key_are_rejected) {
  uint64_t before = vask_decoder_rejections(VASK_DECODE_NAME_TOO_LONG);
  std::string at_limit(VASK_METRIC_NAME_MAX, 'n');
  EXPECT_EQ(decoded_t(m_line(at_limit, "n", "1")).reason, VASK_DECODE_OK);
  EXPECT_EQ(decoded_t(m_line(at_limit + "x", "n", "1")).reason, VASK_DECODE_NAME_TOO_LONG);
  // Stream tags count ("|ST[" and "]" included); measurement tags do not.
  std::string tag = "k:" + std::string(100, 'v');
  std::string bare(VASK_METRIC_NAME_MAX - tag.size() - 5, 'n');
  EXPECT_EQ(decoded_t(m_line(bare + "|ST[" + tag + "]", "n", "1")).reason, VASK_DECODE_OK);
  EXPECT_EQ(decoded_t(m_line(bare + "x|ST[" + tag + "]", "n", "1")).reason,
            VASK_DECODE_NAME_TOO_LONG);
  EXPECT_EQ(decoded_t(m_line(bare + "|ST[" + tag + "]|MT{" + tag + "}", "n", "1")).reason,
            VASK_DECODE_OK);
  // What counts is the canonical form: repeated tags that collapse to one fit.
  EXPECT_EQ(decoded_t(m_line(bare + "|ST[" + tag + "," + tag + "]", "n", "1")).reason,
            VASK_DECODE_OK);
  EXPECT_EQ(vask_decoder_rejections(VASK_DECODE_NAME_TOO_LONG), before + 2);
  EXPECT_STREQ(vask_decode_reason_name(VASK_DECODE_NAME_TOO_LONG), "name_too_long");
}

TEST(vask_decoder, a_message_can_be_decoded_again) {
  std::string line = m_line("cpu|ST[b:1,a:2]", "n", "1");
  vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
  ASSERT_EQ(vask_message_decoder_parse_line(m, true), 1);
  ASSERT_NE(m->decoder_storage, nullptr);
  ASSERT_EQ(vask_message_decoder_parse_line(m, true), 1);  // releases the first storage
  EXPECT_EQ(std::string(m->id.name, m->id.name_len_with_tags), "cpu|ST[a:2,b:1]");
  EXPECT_EQ(m->original_message[m->original_message_len], '\0');
  vask_metric_director_message_ref(m);
  vask_metric_director_message_deref(m);
  EXPECT_EQ(m->refcnt.load(), 1u);
  vask_metric_director_message_deref(m);
}

TEST(vask_decoder, an_id_copy_outlives_its_message) {
  vask_metric_id_t copy;
  {
    decoded_t d(m_line("cpu|ST[z:1,b\"YSBi\":2]|MT{q:1}", "n", "1"));
    ASSERT_EQ(d.reason, VASK_DECODE_OK);
    ASSERT_TRUE(vask_metric_id_copy(&copy, &d.m->id));
  }
  EXPECT_EQ(std::string(copy.name, copy.name_len), "cpu");
  EXPECT_EQ(std::string(copy.name, copy.name_len_with_tags), "cpu|ST[b\"YSBi\":2,z:1]|MT{q:1}");
  EXPECT_EQ(copy.name[copy.name_len_with_tags], '\0');
  EXPECT_EQ(decoded_t::tags(copy.stream), "b\"YSBi\":2,z:1");
  EXPECT_EQ(copy.stream.tags[0].category_size, 7);
  EXPECT_EQ(decoded_t::tags(copy.measurement), "q:1");
  EXPECT_EQ(copy.account_id, 42u);
  vask_metric_id_free_copy(&copy);
  EXPECT_EQ(copy.name, nullptr);
}

TEST(vask_decoder, time_stamps) {
  struct case_t {
    const char *text;
    bool ok;
    uint64_t ms;
  } cases[] = {
      {"1700000000.123456", true, 1700000000123},
      {"1700000000", true, 1700000000000},
      {"0.000000", true, 0},
      {"1.5", true, 1500},
      {"1.05", true, 1050},
      {"1.123456789", true, 1123},
      {"1.1234567890", false, 0},
      {"1.", false, 0},
      {".5", false, 0},
      {"-1.0", false, 0},
      {"1e9", false, 0},
      {"", false, 0},
      {"18446744073709551.615", true, UINT64_MAX},
      {"18446744073709552.0", false, 0},
      {"noit-a", false, 0},
  };
  for (const case_t &c : cases) {
    uint64_t ms = 0;
    EXPECT_EQ(vask_is_timestamp(c.text, strlen(c.text)), c.ok) << c.text;
    EXPECT_EQ(vask_parse_timestamp(c.text, strlen(c.text), &ms), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ms, c.ms) << c.text;
    }
  }
  // Only the given bytes are read.
  EXPECT_TRUE(vask_is_timestamp("12.5xyz", 4));
}

}  // namespace

namespace {

std::string canonical(const std::string &in, int *result = nullptr) {
  char out[4096];
  int n = vask_metric_canonicalize(in.data(), in.size(), out, sizeof out, true);
  if (result) *result = n;
  return n > 0 ? std::string(out, n) : std::string();
}

TEST(vask_decoder, canonicalize_names) {
  struct case_t {
    const char *in, *out;
  } cases[] = {
      {"cpu", "cpu"},
      {"cpu|ST[]", "cpu|ST[]"},
      {"cpu|ST[]|ST[]", "cpu|ST[]"},
      {"cpu|ST[b:2,a:1,b:2]", "cpu|ST[a:1,b:2]"},
      {"cpu|ST[a:1]|MT{}", "cpu|ST[a:1]"},
      {"cpu|MT{m:2,m:1}", "cpu|MT{m:1,m:2}"},
      {"cpu|ST[b\"Zm9v\":b\"YmFy\"]", "cpu|ST[foo:bar]"},
      {"cpu|ST[host:b\"d2ViMDE\"]", "cpu|ST[host:web01]"},  // unpadded base64 is accepted
      {"cpu|ST[a b:c]", "cpu|ST[b\"YSBi\":c]"},
      {"cpu|ST[k:a\"b]", "cpu|ST[k:b\"YSJi\"]"},
      {"cpu|ST[k:é]", "cpu|ST[k:b\"w6k=\"]"},
      {"name with spaces|ST[k:v]", "name with spaces|ST[k:v]"},
  };
  for (const case_t &c : cases)
    EXPECT_EQ(canonical(c.in), c.out) << c.in;
  for (const char *bad : {"", "|ST[a:1]", "cpu|ST[a:1", "cpu|ST[a:1]junk", "cpu|ST[a:1,,b:2]",
                          "cpu|ST[b\"***\":1]", "cpu|MT{a:1]"}) {
    int n = 1;
    canonical(bad, &n);
    EXPECT_EQ(n, -1) << bad;
  }
}

TEST(vask_decoder, canonicalize_respects_the_output_size) {
  const char *in = "cpu|ST[b:2,a:1]";  // canonical length 15
  char out[16];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(vask_metric_canonicalize(in, strlen(in), out, 15, true), -2);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(vask_metric_canonicalize(in, strlen(in), out, 15, false), 15);
  EXPECT_EQ(std::string(out, 15), "cpu|ST[a:1,b:2]");
  EXPECT_EQ(out[15], 'x');
  EXPECT_EQ(vask_metric_canonicalize(in, strlen(in), out, 16, true), 15);
  EXPECT_EQ(out[15], '\0');
  // Canonical text is a fixed point.
  EXPECT_EQ(canonical(canonical("x|ST[c:b\"AA==\",b,a:1]|MT{z:1,y}")),
            canonical("x|ST[c:b\"AA==\",b,a:1]|MT{z:1,y}"));
}

}  // namespace
