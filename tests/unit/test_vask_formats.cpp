// The wire-format decoders and the mapping that places their samples as metric messages.
//
// The central check: every placed message is rendered as a metric line, and decoding that line
// with the metric line decoder must give the very record the mapping built. A fault in the
// rendering, the canonical tags, the pointers into the line or the value conversion shows there.
#include <gtest/gtest.h>
#include <snappy-c.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tovi/tovi_uuid.h"
#include "vask/vask_decoder.h"
#include "vask/vask_formats.h"

namespace {

std::string uuid_text(const uint8_t id[16]) {
  char buf[37];
  tovi_uuid_unparse(id, buf);
  return std::string(buf, 36);
}

std::string tags_text(const vask_metric_tagset_t &set) {
  std::string out;
  for (int i = 0; i < set.tag_count; i++) {
    if (i) out += ",";
    out.append(set.tags[i].tag, set.tags[i].total_size);
  }
  return out;
}

// Asserts that the rendering of m decodes to the same record.
void expect_renders_faithfully(vask_metric_message_t *m) {
  std::string line(m->original_message, m->original_message_len);
  vask_metric_message_t *d = vask_metric_message_create(line.data(), line.size());
  ASSERT_EQ(vask_message_decoder_parse_line_reason(d, true), VASK_DECODE_OK) << line;
  EXPECT_EQ(d->type, m->type);
  EXPECT_EQ(0, std::memcmp(d->id.id, m->id.id, 16));
  EXPECT_EQ(d->id.account_id, m->id.account_id);
  EXPECT_EQ(std::string(d->id.name, d->id.name_len_with_tags),
            std::string(m->id.name, m->id.name_len_with_tags));
  EXPECT_EQ(d->id.name_len, m->id.name_len);
  EXPECT_EQ(tags_text(d->id.stream), tags_text(m->id.stream));
  EXPECT_EQ(d->id.stream.tag_count, m->id.stream.tag_count);
  EXPECT_EQ(d->id.stream.canonical_size, m->id.stream.canonical_size);
  for (int i = 0; i < m->id.stream.tag_count; i++)
    EXPECT_EQ(d->id.stream.tags[i].category_size, m->id.stream.tags[i].category_size);
  EXPECT_EQ(d->check_id, m->check_id);
  // A sample without a host is rendered with an empty one.
  EXPECT_EQ(std::string(d->host, d->host_len), std::string(m->host ? m->host : "", m->host_len));
  EXPECT_FALSE(d->selfcheck);
  EXPECT_FALSE(m->selfcheck);
  EXPECT_EQ(d->value.whence_ms, m->value.whence_ms);
  EXPECT_EQ(d->value.type, m->value.type);
  switch (m->value.type) {
    case METRIC_DOUBLE:
      if (std::isnan(m->value.value.n))
        EXPECT_TRUE(std::isnan(d->value.value.n));
      else
        EXPECT_EQ(0, std::memcmp(&d->value.value.n, &m->value.value.n, 8)) << line;
      break;
    case METRIC_INT64:
    case METRIC_UINT64:
      EXPECT_EQ(d->value.value.v_uint64, m->value.value.v_uint64);
      break;
    case METRIC_INT32:
    case METRIC_UINT32:
      EXPECT_EQ(d->value.value.v_uint32, m->value.value.v_uint32);
      break;
    default:
      EXPECT_EQ(std::string(d->value.value.s, d->value.s_len),
                std::string(m->value.value.s, m->value.s_len));
  }
  EXPECT_EQ(std::string(d->vask.name ? d->vask.name : "", d->vask.len),
            std::string(m->vask.name ? m->vask.name : "", m->vask.len));
  vask_metric_director_message_deref(d);
}

// An ingest pass that keeps what it places.
struct collector_t {
  vask_mapping_t mapping;
  vask_ingest_t in;
  std::vector<vask_metric_message_t *> out;

  explicit collector_t(vask_format_t f) : mapping(vask_mapping_default(f)) {
    in.format = f;
    in.mapping = &mapping;
    in.now_ms = 1234567;
    in.emit = [](void *c, vask_metric_message_t *m) {
      static_cast<collector_t *>(c)->out.push_back(m);
    };
    in.closure = this;
  }
  ~collector_t() { clear(); }
  void clear() {
    for (auto *m : out)
      vask_metric_director_message_deref(m);
    out.clear();
  }
  std::string name(size_t i) const {
    return std::string(out.at(i)->id.name, out.at(i)->id.name_len_with_tags);
  }
  uint64_t rejected(vask_sample_reason_t r) const { return in.rejected[r]; }
};

// ---- A small protobuf writer for remote-write bodies --------------------------------------------

void put_varint(std::string *o, uint64_t v) {
  while (v >= 0x80) {
    o->push_back(char(v | 0x80));
    v >>= 7;
  }
  o->push_back(char(v));
}
void put_len(std::string *o, int field, const std::string &bytes) {
  put_varint(o, uint64_t(field) << 3 | 2);
  put_varint(o, bytes.size());
  o->append(bytes);
}
std::string label(const std::string &n, const std::string &v) {
  std::string o;
  put_len(&o, 1, n);
  put_len(&o, 2, v);
  return o;
}
std::string sample(double v, int64_t ts) {
  std::string o;
  put_varint(&o, 1 << 3 | 1);
  o.append(reinterpret_cast<const char *>(&v), 8);
  put_varint(&o, 2 << 3 | 0);
  put_varint(&o, uint64_t(ts));
  return o;
}
std::string series(const std::vector<std::pair<std::string, std::string>> &labels,
                   const std::vector<std::string> &samples, int histograms = 0) {
  std::string o;
  for (auto &[n, v] : labels)
    put_len(&o, 1, label(n, v));
  for (auto &s : samples)
    put_len(&o, 2, s);
  put_len(&o, 3, "\x0a\x00");  // an exemplar: skipped
  for (int i = 0; i < histograms; i++)
    put_len(&o, 4, "\x08\x01");
  return o;
}
std::string snappy(const std::string &raw) {
  std::string out(snappy_max_compressed_length(raw.size()), '\0');
  size_t n = out.size();
  EXPECT_EQ(snappy_compress(raw.data(), raw.size(), out.data(), &n), SNAPPY_OK);
  out.resize(n);
  return out;
}

double stale_nan() {
  uint64_t bits = 0x7ff0000000000002ull;
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

}  // namespace

// ---- Mapping
// --------------------------------------------------------------------------------------

TEST(vask_sample, identity_gives_a_name_based_uuid_and_the_host) {
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_REMOTE_WRITE);
  vask_label_t labels[] = {{"job", "node"}, {"instance", "127.0.0.1:9100"}, {"mode", "idle"}};
  vask_raw_sample_t s;
  s.name = "node_cpu_seconds_total";
  s.labels = labels;
  s.nlabels = 3;
  s.value.n = 12.5;
  s.whence_ms = 1700000000123;
  vask_metric_message_t *m;
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  // The same as Python's uuid.uuid5(namespace, "job=node,instance=127.0.0.1:9100").
  EXPECT_EQ(uuid_text(m->id.id), "310e35d0-6191-5464-9e95-67bb5b2a3be8");
  EXPECT_EQ(std::string(m->id.name, m->id.name_len_with_tags),
            "node_cpu_seconds_total|ST[instance:127.0.0.1:9100,job:node,mode:idle]");
  EXPECT_EQ(std::string(m->original_message, m->original_message_len),
            "M\t1700000000.123\t127.0.0.1:9100`remote_write`c_0_0`"
            "310e35d0-6191-5464-9e95-67bb5b2a3be8\tnode_cpu_seconds_total|ST[instance:127.0.0.1:"
            "9100,job:node,mode:idle]\tn\t12.5");
  expect_renders_faithfully(m);
  vask_metric_director_message_deref(m);

  // The label order does not matter; the source's identity does.
  vask_label_t reordered[] = {{"mode", "idle"}, {"instance", "127.0.0.1:9100"}, {"job", "node"}};
  s.labels = reordered;
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  EXPECT_EQ(uuid_text(m->id.id), "310e35d0-6191-5464-9e95-67bb5b2a3be8");
  vask_metric_director_message_deref(m);
  vask_label_t other[] = {{"instance", "127.0.0.1:9101"}, {"job", "node"}};
  s.labels = other;
  s.nlabels = 2;
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  EXPECT_NE(uuid_text(m->id.id), "310e35d0-6191-5464-9e95-67bb5b2a3be8");
  vask_metric_director_message_deref(m);

  // Nothing names the source: refused, unless the sender's address is known.
  vask_label_t anonymous[] = {{"mode", "idle"}};
  s.labels = anonymous;
  s.nlabels = 1;
  EXPECT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_NO_IDENTITY);
  EXPECT_EQ(m, nullptr);
  ASSERT_EQ(vask_sample_build(map, s, "10.1.2.3", &m), VASK_SAMPLE_OK);
  EXPECT_EQ(uuid_text(m->id.id), "44490f73-c651-526f-b4f6-a870ed0e7dc8");
  EXPECT_EQ(std::string(m->host, m->host_len), "10.1.2.3");
  EXPECT_EQ(m->check_id, 0u);
  EXPECT_EQ(std::string(m->original_message, 21), "M\t1700000000.123\t10.1");
  vask_metric_director_message_deref(m);
}

TEST(vask_sample, configured_labels_place_account_check_and_broker) {
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_INFLUX);
  map.account = 9;
  map.account_label = "acct";
  map.check_uuid_label = "check";
  map.check_id_label = "check_id";
  map.broker = "influx-gw";
  vask_label_t labels[] = {{"host", "web01"},
                           {"acct", "77"},
                           {"check", "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"},
                           {"check_id", "4321"}};
  vask_raw_sample_t s;
  s.name = "cpu.user";
  s.labels = labels;
  s.nlabels = 4;
  s.value.n = 1;
  vask_metric_message_t *m;
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  EXPECT_EQ(m->id.account_id, 77u);
  EXPECT_EQ(m->check_id, 4321u);
  EXPECT_EQ(std::string(m->host, m->host_len), "web01");
  EXPECT_EQ(uuid_text(m->id.id), "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
  // The labels read for the account and the check are not tags.
  EXPECT_EQ(std::string(m->id.name, m->id.name_len_with_tags), "cpu.user|ST[host:web01]");
  EXPECT_NE(std::string(m->original_message, m->original_message_len)
                .find("\tweb01`influx`c_77_4321`0f1e2d3c"),
            std::string::npos);
  expect_renders_faithfully(m);
  vask_metric_director_message_deref(m);

  // Absent: the default account. Malformed: refused, never guessed.
  s.nlabels = 1;
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  EXPECT_EQ(m->id.account_id, 9u);
  EXPECT_EQ(uuid_text(m->id.id), "d86a670d-3cdd-5955-bf3c-24c723293351");
  vask_metric_director_message_deref(m);
  vask_label_t bad_account[] = {{"host", "a"}, {"acct", "12x"}};
  vask_label_t bad_uuid[] = {{"host", "a"}, {"check", "not-a-uuid"}};
  vask_label_t bad_id[] = {{"host", "a"}, {"check_id", "-1"}};
  vask_label_t bad_host[] = {{"host", "we`b"}};
  struct {
    vask_label_t *labels;
    vask_sample_reason_t want;
  } cases[] = {{bad_account, VASK_SAMPLE_BAD_ACCOUNT},
               {bad_uuid, VASK_SAMPLE_BAD_CHECK},
               {bad_id, VASK_SAMPLE_BAD_CHECK},
               {bad_host, VASK_SAMPLE_BAD_HOST}};
  for (auto &c : cases) {
    s.labels = c.labels;
    s.nlabels = c.labels == bad_host ? 1 : 2;
    EXPECT_EQ(vask_sample_build(map, s, "", &m), c.want);
  }
}

TEST(vask_sample, tags_are_canonical_and_the_rendering_decodes_to_the_same_record) {
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_INFLUX);
  // Unsorted, duplicated, empty, and bytes that must be encoded; more than the inline tags.
  std::vector<vask_label_t> labels = {
      {"z", "1"},  {"host", "web 01"}, {"a", "x,y]"}, {"a", "x,y]"}, {"empty", ""},
      {"é", "ü"},  {"k1", "v1"},       {"k2", "v2"},  {"k3", "v3"},  {"k4", "http://h:80/"},
      {"k5", "v5"}};
  vask_raw_sample_t s;
  s.name = "disk free.bytes";
  s.labels = labels.data();
  s.nlabels = labels.size();
  s.whence_ms = 5;
  struct value_case_t {
    metric_type_t type;
    double n;
    int64_t l;
    const char *text;
  } values[] = {{METRIC_DOUBLE, -0.0, 0, nullptr},
                {METRIC_DOUBLE, 1e-310, 0, nullptr},
                {METRIC_DOUBLE, 1.7976931348623157e308, 0, nullptr},
                {METRIC_DOUBLE, 0.1, 0, nullptr},
                {METRIC_DOUBLE, std::nan(""), 0, nullptr},
                {METRIC_DOUBLE, -INFINITY, 0, nullptr},
                {METRIC_INT64, 0, INT64_MIN, nullptr},
                {METRIC_UINT64, 0, -1, nullptr},
                {METRIC_INT32, 0, -7, nullptr},
                {METRIC_STRING, 0, 0, "tab\there, \"quotes\" and a CR\r"},
                {METRIC_STRING, 0, 0, ""}};
  for (const auto &v : values) {
    s.type = v.type;
    s.value.n = v.n;
    if (v.type == METRIC_INT64 || v.type == METRIC_UINT64) s.value.v_int64 = v.l;
    if (v.type == METRIC_INT32) s.value.v_int32 = int32_t(v.l);
    s.text = v.text ? v.text : "";
    vask_metric_message_t *m;
    ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
    EXPECT_EQ(std::string(m->id.name, m->id.name_len_with_tags),
              "disk free.bytes|ST[a:b\"eCx5XQ==\",b\"w6k=\":b\"w7w=\",host:b\"d2ViIDAx\",k1:v1,"
              "k2:v2,k3:v3,k4:http://h:80/,k5:v5,z:1]");
    EXPECT_EQ(m->id.stream.tag_count, 9);
    expect_renders_faithfully(m);
    vask_metric_director_message_deref(m);
  }
}

TEST(vask_sample, names_and_label_sets_it_cannot_place_are_refused) {
  vask_mapping_t map = vask_mapping_default(VASK_FORMAT_GRAPHITE);
  vask_label_t host[] = {{"host", "h"}};
  vask_raw_sample_t s;
  s.labels = host;
  s.nlabels = 1;
  vask_metric_message_t *m;
  struct {
    const char *name;
    vask_sample_reason_t want;
  } names[] = {{"", VASK_SAMPLE_MISSING_NAME},        {"a\tb", VASK_SAMPLE_BAD_NAME},
               {"a\nb", VASK_SAMPLE_BAD_NAME},        {"cpu|ST[x:1]", VASK_SAMPLE_BAD_NAME},
               {"cpu|MT{x:1}", VASK_SAMPLE_BAD_NAME}, {"cpu|ok", VASK_SAMPLE_OK}};
  for (auto &c : names) {
    s.name = c.name;
    EXPECT_EQ(vask_sample_build(map, s, "", &m), c.want) << c.name;
    if (m) vask_metric_director_message_deref(m);
  }
  s.name = "cpu";
  s.type = METRIC_STRING;
  s.text = "two\nlines";
  EXPECT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_BAD_VALUE);
  s.type = METRIC_DOUBLE;

  // A huge label set: refused as too long, and a long category as a bad tag; one just below the
  // limit is placed.
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; i++)
    keys.push_back("label_" + std::to_string(i));
  std::vector<vask_label_t> many;
  many.push_back({"host", "h"});
  for (auto &k : keys)
    many.push_back({k, "value"});
  s.labels = many.data();
  s.nlabels = many.size();
  EXPECT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_NAME_TOO_LONG);
  std::string long_key(256, 'k');
  vask_label_t long_cat[] = {{"host", "h"}, {long_key, "v"}};
  s.labels = long_cat;
  s.nlabels = 2;
  EXPECT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_BAD_TAGS);
  // A large set in reverse order, with duplicates, below the limit: sorted and deduplicated as
  // the line decoder does it.
  std::vector<vask_label_t> reversed;
  for (int i = 199; i >= 0; i--)
    reversed.push_back({keys[size_t(i / 2)], "v"});
  reversed.push_back({"host", "h"});
  s.labels = reversed.data();
  s.nlabels = reversed.size();
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  EXPECT_EQ(m->id.stream.tag_count, 101);
  expect_renders_faithfully(m);
  vask_metric_director_message_deref(m);
  // "cpu|ST[host:h,k:" + value + "]" is exactly 4095 bytes.
  std::string value(4095 - std::string("cpu|ST[host:h,k:]").size(), 'v');
  vask_label_t at_limit[] = {{"host", "h"}, {"k", value}};
  s.labels = at_limit;
  s.nlabels = 2;
  ASSERT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_OK);
  EXPECT_EQ(m->id.name_len_with_tags, 4095u);
  expect_renders_faithfully(m);
  vask_metric_director_message_deref(m);
  value.push_back('v');
  at_limit[1].value = value;
  EXPECT_EQ(vask_sample_build(map, s, "", &m), VASK_SAMPLE_NAME_TOO_LONG);
}

// ---- Remote-write
// ----------------------------------------------------------------------------------

TEST(vask_remote_write, decodes_series_and_skips_stale_markers_and_histograms) {
  std::string body;
  put_len(&body, 1,
          series({{"__name__", "node_load1"}, {"instance", "h:9100"}, {"job", "node"}},
                 {sample(0.5, 1700000000000), sample(stale_nan(), 1700000015000),
                  sample(0.75, 1700000030000)}));
  put_len(&body, 1, series({{"__name__", "hist"}, {"job", "node"}}, {}, 2));
  put_len(&body, 1, series({{"job", "node"}}, {sample(1, 1)}));  // no __name__
  put_len(&body, 1, series({{"__name__", "x"}, {"job", "node"}}, {sample(1, -5)}));
  put_varint(&body, 9 << 3 | 0);  // an unknown field of the request
  put_varint(&body, 300);

  collector_t c(VASK_FORMAT_REMOTE_WRITE);
  std::string scratch;
  std::string packed = snappy(body);
  ASSERT_EQ(vask_remote_write_decode(&c.in, packed.data(), packed.size(), &scratch),
            VASK_SAMPLE_OK);
  ASSERT_EQ(c.out.size(), 2u);
  EXPECT_EQ(c.name(0), "node_load1|ST[instance:h:9100,job:node]");
  EXPECT_EQ(c.out[0]->value.value.n, 0.5);
  EXPECT_EQ(c.out[1]->value.whence_ms, 1700000030000u);
  EXPECT_EQ(c.out[1]->value.value.n, 0.75);
  for (auto *m : c.out)
    expect_renders_faithfully(m);
  EXPECT_EQ(c.rejected(VASK_SAMPLE_STALE_MARKER), 1u);
  EXPECT_EQ(c.rejected(VASK_SAMPLE_NATIVE_HISTOGRAM), 2u);
  EXPECT_EQ(c.rejected(VASK_SAMPLE_MISSING_NAME), 1u);
  EXPECT_EQ(c.rejected(VASK_SAMPLE_BAD_TIMESTAMP), 1u);
  EXPECT_EQ(c.in.accepted, 2u);
  EXPECT_EQ(vask_ingest_refused(&c.in), 4u);  // the stale marker is not a refusal

  // Published counts reach the format's statistics.
  uint64_t before = vask_format_accepted(VASK_FORMAT_REMOTE_WRITE);
  vask_ingest_publish(&c.in);
  EXPECT_EQ(vask_format_accepted(VASK_FORMAT_REMOTE_WRITE), before + 2);
  EXPECT_EQ(c.in.accepted, 0u);

  // Every truncation of the body is either read or refused as a whole, never past its end.
  for (size_t cut = 0; cut < body.size(); cut++) {
    collector_t t(VASK_FORMAT_REMOTE_WRITE);
    std::vector<char> exact(body.begin(), body.begin() + long(cut));
    vask_sample_reason_t r = vask_remote_write_decode_protobuf(&t.in, exact.data(), exact.size());
    EXPECT_TRUE(r == VASK_SAMPLE_OK || r == VASK_SAMPLE_BAD_PROTOBUF) << cut;
  }
  // Not snappy, or a claimed length beyond the limit.
  collector_t bad(VASK_FORMAT_REMOTE_WRITE);
  EXPECT_EQ(vask_remote_write_decode(&bad.in, body.data(), body.size(), &scratch),
            VASK_SAMPLE_BAD_COMPRESSION);
  std::string huge;
  put_varint(&huge, uint64_t(1) << 32);
  EXPECT_EQ(vask_remote_write_decode(&bad.in, huge.data(), huge.size(), &scratch),
            VASK_SAMPLE_BAD_COMPRESSION);
  // Group wire types and zero field numbers are malformed.
  EXPECT_EQ(vask_remote_write_decode_protobuf(&bad.in, "\x0b", 1), VASK_SAMPLE_BAD_PROTOBUF);
  EXPECT_EQ(vask_remote_write_decode_protobuf(&bad.in, "\x02\x00", 2), VASK_SAMPLE_BAD_PROTOBUF);
  EXPECT_EQ(bad.in.rejected[VASK_SAMPLE_BAD_PROTOBUF], 2u);
}

// ---- Influx line protocol
// ------------------------------------------------------------------------

TEST(vask_influx, field_types_escapes_and_precision) {
  collector_t c(VASK_FORMAT_INFLUX);
  std::string line =
      "my\\ meas\\,x,host=web01,ta\\,g=v\\=1\\ x,back=a\\\\b,odd=a\\b "
      "f\\ 1=1i,s=\"a \\\"q\\\" \\\\ b,c=d\",b=TRUE,u=5u,f=-1.5e3,g=3 1700000000123456789";
  vask_influx_decode_line(&c.in, line.data(), line.size());
  ASSERT_EQ(c.out.size(), 6u) << c.in.first_excerpt;
  EXPECT_EQ(c.name(0).substr(0, 17), "my meas,x.f 1|ST[");
  vask_metric_message_t *f1 = c.out[0];
  EXPECT_EQ(f1->value.type, METRIC_INT64);
  EXPECT_EQ(f1->value.value.v_int64, 1);
  EXPECT_EQ(f1->value.whence_ms, 1700000000123u);
  vask_metric_message_t *s = c.out[1];
  EXPECT_EQ(s->value.type, METRIC_STRING);
  EXPECT_EQ(std::string(s->value.value.s, s->value.s_len), "a \"q\" \\ b,c=d");
  EXPECT_EQ(c.out[2]->value.type, METRIC_INT32);
  EXPECT_EQ(c.out[2]->value.value.v_int32, 1);
  EXPECT_EQ(c.out[3]->value.type, METRIC_UINT64);
  EXPECT_EQ(c.out[3]->value.value.v_uint64, 5u);
  EXPECT_EQ(c.out[4]->value.value.n, -1500.0);
  EXPECT_EQ(c.out[5]->value.value.n, 3.0);
  // Tag keys and values unescaped: "\\\\" is one backslash, "\\b" stays a backslash and b.
  std::string name = c.name(0);
  EXPECT_NE(name.find("back:b\"YVxi\""), std::string::npos) << name;  // a\b
  EXPECT_NE(name.find("odd:b\"YVxi\""), std::string::npos) << name;
  EXPECT_NE(name.find("b\"dGEsZw==\":b\"dj0xIHg=\""), std::string::npos) << name;  // ta,g v=1 x
  for (auto *m : c.out)
    expect_renders_faithfully(m);
  c.clear();

  // Precision, a missing time, blank and comment lines, CRLF bodies.
  c.in.precision = 0;
  std::string body = "# comment\n\ncpu,host=a v=1 1700000000\r\n   \ncpu,host=a v=2\n";
  vask_influx_decode_lines(&c.in, body.data(), body.size());
  ASSERT_EQ(c.out.size(), 2u);
  EXPECT_EQ(c.out[0]->value.whence_ms, 1700000000000u);
  EXPECT_EQ(c.out[1]->value.whence_ms, 1234567u);
  EXPECT_EQ(vask_ingest_refused(&c.in), 0u);
  int p = -1;
  EXPECT_TRUE(vask_influx_precision("us", &p));
  EXPECT_EQ(p, 6);
  EXPECT_FALSE(vask_influx_precision("ps", &p));
}

TEST(vask_influx, malformed_lines_are_refused_whole) {
  struct {
    const char *line;
    vask_sample_reason_t want;
  } cases[] = {
      {"cpu", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host=a", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host v=1", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,=a v=1", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host= v=1", VASK_SAMPLE_BAD_SYNTAX},
      {",host=a v=1", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host=a v=", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host=a v=\"open", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host=a =1", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host=a v=1,", VASK_SAMPLE_BAD_SYNTAX},
      {"cpu,host=a v=1.5i", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a v=-1u", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a v=99999999999999999999i", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a v=inf", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a v=yes", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a v=1e999", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a ok=1,v=x", VASK_SAMPLE_BAD_VALUE},
      {"cpu,host=a v=1 -5", VASK_SAMPLE_BAD_TIMESTAMP},
      {"cpu,host=a v=1 12x", VASK_SAMPLE_BAD_TIMESTAMP},
      {"cpu,host=a v=1 1 2", VASK_SAMPLE_BAD_TIMESTAMP},
      {"cpu v=1", VASK_SAMPLE_NO_IDENTITY},
      {"cpu,host=a v=\"two\\nlines\"", VASK_SAMPLE_OK},
  };
  for (auto &c : cases) {
    collector_t col(VASK_FORMAT_INFLUX);
    vask_influx_decode_line(&col.in, c.line, std::strlen(c.line));
    if (c.want == VASK_SAMPLE_OK) {
      EXPECT_EQ(col.out.size(), 1u) << c.line;
      continue;
    }
    EXPECT_EQ(col.out.size(), 0u) << c.line;  // nothing of a bad line is placed
    EXPECT_EQ(col.rejected(c.want), 1u)
        << c.line << " " << vask_sample_reason_name(col.in.first_reason);
  }
}

// ---- Graphite
// ------------------------------------------------------------------------------------

TEST(vask_graphite, plain_tagged_and_host_node) {
  collector_t c(VASK_FORMAT_GRAPHITE);
  c.mapping.host_node = 1;
  c.in.peer = "10.0.0.9";
  const char *lines[] = {
      "collectd.web01.load.load.shortterm 0.25 1700000000",
      "servers.cpu;host=db2;dc=x  1e3\t1700000000.5",
      "noderoot 7 -1",
      "",
  };
  for (const char *l : lines)
    vask_graphite_decode_line(&c.in, l, std::strlen(l));
  ASSERT_EQ(c.out.size(), 3u) << c.in.first_excerpt;
  EXPECT_EQ(c.name(0), "collectd.web01.load.load.shortterm|ST[host:web01]");
  EXPECT_EQ(c.out[0]->value.whence_ms, 1700000000000u);
  EXPECT_EQ(c.out[0]->value.value.n, 0.25);
  EXPECT_EQ(c.name(1), "servers.cpu|ST[dc:x,host:db2]");  // the tag wins over the node
  EXPECT_EQ(c.out[1]->value.whence_ms, 1700000000500u);
  // One node only: no host from the path; the sender names the source.
  EXPECT_EQ(c.name(2), "noderoot");
  EXPECT_EQ(uuid_text(c.out[2]->id.id), "f1cc77b5-0744-5a7d-8037-9b663c4c369b");
  EXPECT_EQ(c.out[2]->value.whence_ms, 1234567u);
  EXPECT_EQ(c.rejected(VASK_SAMPLE_NO_IDENTITY), 0u);
  for (auto *m : c.out)
    expect_renders_faithfully(m);

  const char *bad[] = {"a.b",      "a.b x 1",  "a.b 1 1 1", "a.b;t 1 1", "a.b;=v 1",
                       "a.b;t= 1", "a.b 1 1.", "a.b 1 -2",  ";t=v 1"};
  collector_t b(VASK_FORMAT_GRAPHITE);
  for (const char *l : bad)
    vask_graphite_decode_line(&b.in, l, std::strlen(l));
  EXPECT_EQ(b.out.size(), 0u);
  EXPECT_EQ(vask_ingest_refused(&b.in), std::size(bad));
  EXPECT_EQ(b.rejected(VASK_SAMPLE_BAD_SYNTAX), 5u);
  EXPECT_EQ(b.rejected(VASK_SAMPLE_BAD_VALUE), 1u);
  EXPECT_EQ(b.rejected(VASK_SAMPLE_BAD_TIMESTAMP), 2u);
  EXPECT_EQ(b.rejected(VASK_SAMPLE_MISSING_NAME), 1u);
}
