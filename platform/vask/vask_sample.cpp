// Placement of decoded samples as metric messages.
//
// A sample becomes one message in one allocation: its metric line rendering, with the record's
// name, tags, broker and text value pointing into it (tag arrays beyond the inline area are the
// only second block). The line is built in a thread-local buffer and copied once.
#include "vask/vask_sample.h"

#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "stats/stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_decoder.h"

namespace {

const char *const kReasonNames[VASK_SAMPLE_REASON_COUNT] = {
    "ok",          "bad_compression", "bad_protobuf",     "bad_syntax",
    "bad_value",   "bad_timestamp",   "missing_name",     "bad_name",
    "no_identity", "bad_account",     "bad_check",        "bad_host",
    "bad_tags",    "name_too_long",   "native_histogram", "stale_marker",
    "no_memory",
};

const char *const kFormatNames[VASK_FORMAT_COUNT] = {"remote_write", "influx", "graphite"};

struct format_stats_t {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> rejected[VASK_SAMPLE_REASON_COUNT] = {};
  stats_counter_t *accepted_counter = nullptr;
  stats_counter_t *rejected_counter[VASK_SAMPLE_REASON_COUNT] = {};
  // Rejection log limit: lines logged in the current second.
  std::atomic<int64_t> log_second{0};
  std::atomic<uint32_t> log_in_second{0};
};

format_stats_t *format_stats() {
  static format_stats_t *all = [] {
    auto *f = new format_stats_t[VASK_FORMAT_COUNT];  // never freed: counted until the end
    stats_ns_t *root = stats_recorder_root(stats_process_recorder());
    stats_ns_t *base = stats_register_ns(stats_register_ns(root, "vask"), "formats");
    for (int i = 0; i < VASK_FORMAT_COUNT; i++) {
      stats_ns_t *ns = stats_register_ns(base, kFormatNames[i]);
      stats_opts_t opts;
      opts.units = "samples";
      f[i].accepted_counter = stats_register_counter(ns, "accepted", opts);
      for (int r = 1; r < VASK_SAMPLE_REASON_COUNT; r++) {
        std::string name = std::string("rejected_") + kReasonNames[r];
        stats_opts_t ro;
        ro.units = "samples";
        ro.tagged_name = "rejected_by_reason";
        ro.tags = {{"reason", kReasonNames[r]}};
        f[i].rejected_counter[r] = stats_register_counter(ns, name.c_str(), ro);
      }
    }
    return f;
  }();
  return all;
}

bool has_forbidden_byte(std::string_view s, bool backquote) {
  for (unsigned char c : s)
    if (c == '\t' || c == '\n' || c == '\0' || (backquote && c == '`')) return true;
  return false;
}

bool is_bad_name(std::string_view n) {
  if (has_forbidden_byte(n, false)) return true;
  if (n.find("|ST[") != std::string_view::npos || n.find("|MT{") != std::string_view::npos)
    return true;
  // The line decoder drops a trailing CR as part of a line end only at the line's end; a name is
  // never there, so a CR is data. A leading '|' could still open a block only as above.
  return false;
}

bool parse_u64_text(std::string_view s, uint64_t *out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, 10);
  return ec == std::errc() && end == s.data() + s.size();
}

// Canonical tag texts of the sample's stream labels.
struct tag_ref_t {
  uint32_t offset;  // in scratch text
  uint32_t cat_len;
  uint32_t total;
};

struct scratch_t {
  std::string tags;  // canonical tag texts, one after another
  std::vector<tag_ref_t> refs;
  std::string identity;
  std::string uuid_input;
  // The identities seen and their UUIDs; emptied when it reaches kCache entries, so that a
  // stream of ever new identities costs bounded memory.
  static constexpr size_t kCache = 16384;
  struct cached_t {
    uint8_t uuid[16];
    char text[37];
  };
  struct hash_t {
    using is_transparent = void;
    size_t operator()(std::string_view v) const { return std::hash<std::string_view>{}(v); }
  };
  std::unordered_map<std::string, cached_t, hash_t, std::equal_to<>> cache;
  char uuid_text[37];  // the text of the last UUID found
};

scratch_t &scratch() {
  static thread_local scratch_t s;
  return s;
}

int compare_text(const char *a, size_t alen, const char *b, size_t blen) {
  int c = std::memcmp(a, b, std::min(alen, blen));
  if (c) return c;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

// Writes a numeric value as the line decoder reads it back exactly (shortest round-trip form).
char *render_number(const vask_raw_sample_t &s, char *buf) {
  char *end = buf + 64;
  switch (s.type) {
    case METRIC_INT32:
      return std::to_chars(buf, end, s.value.v_int32).ptr;
    case METRIC_UINT32:
      return std::to_chars(buf, end, s.value.v_uint32).ptr;
    case METRIC_INT64:
      return std::to_chars(buf, end, s.value.v_int64).ptr;
    case METRIC_UINT64:
      return std::to_chars(buf, end, s.value.v_uint64).ptr;
    default:
      if (std::isnan(s.value.n)) {
        std::memcpy(buf, "nan", 3);
        return buf + 3;
      }
      return std::to_chars(buf, end, s.value.n).ptr;
  }
}

}  // namespace

const char *vask_sample_reason_name(vask_sample_reason_t reason) {
  if (reason < 0 || reason >= VASK_SAMPLE_REASON_COUNT) return "unknown";
  return kReasonNames[reason];
}

const char *vask_format_name(vask_format_t format) {
  if (format < 0 || format >= VASK_FORMAT_COUNT) return "unknown";
  return kFormatNames[format];
}

vask_mapping_t vask_mapping_default(vask_format_t format) {
  vask_mapping_t m;
  m.module = vask_format_name(format);
  if (format == VASK_FORMAT_REMOTE_WRITE) {
    m.identity = {"job", "instance"};
    m.host_label = "instance";
  } else {
    m.identity = {"host"};
    m.host_label = "host";
  }
  return m;
}

namespace {

// The UUID of an identity and its text, from the per-thread cache.
const scratch_t::cached_t &identity_uuid(std::string_view identity) {
  scratch_t &s = scratch();
  auto found = s.cache.find(identity);
  if (found != s.cache.end()) return found->second;
  static const auto ns = [] {
    std::array<uint8_t, 16> b{};
    tovi_uuid_parse(VASK_SAMPLE_UUID_NAMESPACE, 36, b.data());
    return b;
  }();
  std::string &text = s.uuid_input;
  text.assign(reinterpret_cast<const char *>(ns.data()), ns.size());
  text.append(identity);
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
  digest[6] = uint8_t((digest[6] & 0x0f) | 0x50);  // version 5
  digest[8] = uint8_t((digest[8] & 0x3f) | 0x80);  // RFC 4122 variant
  if (s.cache.size() >= scratch_t::kCache) s.cache.clear();
  scratch_t::cached_t &c = s.cache[std::string(identity)];
  std::memcpy(c.uuid, digest, 16);
  tovi_uuid_unparse(c.uuid, c.text);
  return c;
}

// Appends to a fixed buffer.
struct writer_t {
  char *p;
  void put(const char *d, size_t n) {
    std::memcpy(p, d, n);
    p += n;
  }
  void put(std::string_view v) { put(v.data(), v.size()); }
  void put(char c) { *p++ = c; }
};

}  // namespace

void vask_sample_identity_uuid(std::string_view identity, uint8_t out[16]) {
  std::memcpy(out, identity_uuid(identity).uuid, 16);
}

vask_sample_reason_t vask_sample_build(const vask_mapping_t &map, const vask_raw_sample_t &smp,
                                       std::string_view peer, vask_metric_message_t **out) {
  *out = nullptr;
  if (smp.name.empty()) return VASK_SAMPLE_MISSING_NAME;
  if (is_bad_name(smp.name)) return VASK_SAMPLE_BAD_NAME;
  // A text value runs to the end of the rendered line, tabs included; only a line end or a NUL
  // cannot be rendered.
  if (smp.type == METRIC_STRING && (smp.text.find('\n') != std::string_view::npos ||
                                    smp.text.find('\0') != std::string_view::npos))
    return VASK_SAMPLE_BAD_VALUE;

  scratch_t &s = scratch();
  s.tags.clear();
  s.refs.clear();
  uint64_t account = map.account, check_id = 0;
  std::string_view host, uuid_text;
  bool have_host = false, have_uuid = false;
  // The identity labels, by their place in map.identity.
  std::string_view ident[8];
  bool ident_set[8] = {};
  size_t nident = std::min<size_t>(map.identity.size(), 8);

  for (size_t i = 0; i < smp.nlabels; i++) {
    const vask_label_t &l = smp.labels[i];
    if (l.value.empty() || l.name.empty()) continue;  // an empty label is an absent one
    if (!map.account_label.empty() && l.name == map.account_label) {
      if (!parse_u64_text(l.value, &account)) return VASK_SAMPLE_BAD_ACCOUNT;
      continue;
    }
    if (!map.check_uuid_label.empty() && l.name == map.check_uuid_label) {
      uuid_text = l.value;
      have_uuid = true;
      continue;
    }
    if (!map.check_id_label.empty() && l.name == map.check_id_label) {
      if (!parse_u64_text(l.value, &check_id)) return VASK_SAMPLE_BAD_CHECK;
      continue;
    }
    if (!have_host && !map.host_label.empty() && l.name == map.host_label) {
      host = l.value;
      have_host = true;
    }
    for (size_t k = 0; k < nident; k++)
      if (!ident_set[k] && l.name == map.identity[k]) {
        ident[k] = l.value;
        ident_set[k] = true;
      }
    uint32_t offset = uint32_t(s.tags.size());
    vask_tag_part_canonical_append(l.name.data(), l.name.size(), false, &s.tags);
    uint32_t cat_len = uint32_t(s.tags.size() - offset);
    if (cat_len > 255) return VASK_SAMPLE_BAD_TAGS;
    s.tags.push_back(':');
    vask_tag_part_canonical_append(l.value.data(), l.value.size(), true, &s.tags);
    uint32_t total = uint32_t(s.tags.size() - offset);
    if (total > 65535) return VASK_SAMPLE_BAD_TAGS;
    s.refs.push_back(tag_ref_t{offset, cat_len, total});
    if (s.tags.size() > 2 * VASK_METRIC_NAME_MAX) return VASK_SAMPLE_NAME_TOO_LONG;
  }

  if (!have_host && !peer.empty()) {
    host = peer;
    have_host = true;
  }
  if (have_host && has_forbidden_byte(host, true)) return VASK_SAMPLE_BAD_HOST;

  uint8_t uuid[16];
  const char *uuid_chars = s.uuid_text;
  if (have_uuid) {
    if (!tovi_uuid_parse(uuid_text.data(), uuid_text.size(), uuid)) return VASK_SAMPLE_BAD_CHECK;
    tovi_uuid_unparse(uuid, s.uuid_text);
  } else {
    s.identity.clear();
    for (size_t k = 0; k < nident; k++) {
      if (!ident_set[k]) continue;
      if (!s.identity.empty()) s.identity.push_back(',');
      s.identity.append(map.identity[k]);
      s.identity.push_back('=');
      s.identity.append(ident[k]);
    }
    if (s.identity.empty()) {
      if (peer.empty()) return VASK_SAMPLE_NO_IDENTITY;
      s.identity.append("peer=");
      s.identity.append(peer);
    }
    const scratch_t::cached_t &c = identity_uuid(s.identity);
    std::memcpy(uuid, c.uuid, 16);
    uuid_chars = c.text;
  }

  // Tags in canonical order (category, then value), duplicates dropped. Label sets usually come
  // sorted, so an insertion sort does next to nothing.
  const char *tt = s.tags.data();
  auto less = [tt](const tag_ref_t &a, const tag_ref_t &b) {
    int c = compare_text(tt + a.offset, a.cat_len, tt + b.offset, b.cat_len);
    if (c) return c < 0;
    return compare_text(tt + a.offset + a.cat_len + 1, a.total - a.cat_len - 1,
                        tt + b.offset + b.cat_len + 1, b.total - b.cat_len - 1) < 0;
  };
  if (s.refs.size() > 16) std::sort(s.refs.begin(), s.refs.end(), less);  // a large hostile set
  for (size_t i = 1; i < s.refs.size(); i++) {
    tag_ref_t t = s.refs[i];
    size_t j = i;
    while (j > 0 && less(t, s.refs[j - 1])) {
      s.refs[j] = s.refs[j - 1];
      j--;
    }
    s.refs[j] = t;
  }
  size_t count = 0;
  for (size_t i = 0; i < s.refs.size(); i++) {
    const tag_ref_t &t = s.refs[i];
    if (count && s.refs[count - 1].total == t.total &&
        std::memcmp(tt + s.refs[count - 1].offset, tt + t.offset, t.total) == 0)
      continue;
    s.refs[count++] = t;
  }
  s.refs.resize(count);
  size_t canonical = count ? count - 1 : 0;
  for (const tag_ref_t &t : s.refs)
    canonical += t.total;
  size_t stream_name_len = smp.name.size() + (count ? canonical + 5 : 0);
  if (stream_name_len > VASK_METRIC_NAME_MAX) return VASK_SAMPLE_NAME_TOO_LONG;

  // The rendering: M [broker] time check name type value, written straight into the message.
  char value_buf[64];
  std::string_view value_text;
  if (smp.type == METRIC_STRING) {
    value_text = smp.text;
  } else {
    value_text = std::string_view(value_buf, size_t(render_number(smp, value_buf) - value_buf));
  }
  char num[3][24];
  size_t secs_len = size_t(std::to_chars(num[0], num[0] + 24, smp.whence_ms / 1000).ptr - num[0]);
  size_t acct_len = size_t(std::to_chars(num[1], num[1] + 24, account).ptr - num[1]);
  size_t id_len = size_t(std::to_chars(num[2], num[2] + 24, check_id).ptr - num[2]);
  size_t name_with_tags = stream_name_len;
  size_t len = 2 + (map.broker.empty() ? 0 : map.broker.size() + 1) + secs_len + 5 + host.size() +
               1 + map.module.size() + 3 + acct_len + 1 + id_len + 1 + 36 + 1 + name_with_tags + 3 +
               value_text.size();
  vask_metric_message_t *m = vask_metric_message_create_for(len);
  if (!m) return VASK_SAMPLE_NO_MEMORY;
  char *line = m->original_message;
  writer_t w{line};
  w.put("M\t", 2);
  if (!map.broker.empty()) {
    m->vask.name = w.p;
    m->vask.len = map.broker.size();
    w.put(map.broker);
    w.put('\t');
  }
  w.put(num[0], secs_len);
  unsigned ms = unsigned(smp.whence_ms % 1000);
  char frac[5] = {'.', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), '\t'};
  w.put(frac, 5);
  const char *host_at = w.p;
  w.put(host);
  w.put('`');
  w.put(map.module);
  w.put("`c_", 3);
  w.put(num[1], acct_len);
  w.put('_');
  w.put(num[2], id_len);
  w.put('`');
  w.put(uuid_chars, 36);
  w.put('\t');
  const char *name_at = w.p;
  w.put(smp.name);
  const char *first_tag = w.p + 4;
  if (count) {
    w.put("|ST[", 4);
    for (size_t i = 0; i < count; i++) {
      if (i) w.put(',');
      w.put(tt + s.refs[i].offset, s.refs[i].total);
    }
    w.put(']');
  }
  char type_field[4] = {'\t', char(smp.type), '\t', 0};
  w.put(type_field, 3);
  const char *value_at = w.p;
  w.put(value_text);
  tovi_assert(size_t(w.p - line) == len);

  vask_metric_tag_t *tags = m->inline_tags;
  if (count > size_t(VASK_METRIC_INLINE_TAGS)) {
    tags = static_cast<vask_metric_tag_t *>(std::malloc(count * sizeof(vask_metric_tag_t)));
    if (!tags) {
      vask_metric_director_message_deref(m);
      return VASK_SAMPLE_NO_MEMORY;
    }
    m->decoder_storage = tags;
  }
  const char *at = first_tag;
  for (size_t i = 0; i < count; i++) {
    tags[i] = vask_metric_tag_t{uint16_t(s.refs[i].total), uint8_t(s.refs[i].cat_len), at};
    at += s.refs[i].total + 1;
  }
  m->type = 'M';
  vask_metric_id_t &id = m->id;
  std::memcpy(id.id, uuid, 16);
  id.account_id = account;
  id.name = name_at;
  id.name_len = smp.name.size();
  id.name_len_with_tags = name_with_tags;
  if (count) {
    id.stream.tags = tags;
    id.stream.tag_count = int(count);
    id.stream.canonical_size = canonical;
  }
  m->check_id = check_id;
  if (have_host) {
    m->host = host_at;
    m->host_len = host.size();
  }
  // Never a self-check: the marker needs back-quotes that module and broker cannot hold.
  m->selfcheck = false;
  vask_metric_value_t &v = m->value;
  v.whence_ms = smp.whence_ms;
  v.type = smp.type;
  switch (smp.type) {
    case METRIC_INT32:
      v.value.v_int32 = smp.value.v_int32;
      break;
    case METRIC_UINT32:
      v.value.v_uint32 = smp.value.v_uint32;
      break;
    case METRIC_INT64:
      v.value.v_int64 = smp.value.v_int64;
      break;
    case METRIC_UINT64:
      v.value.v_uint64 = smp.value.v_uint64;
      break;
    case METRIC_DOUBLE:
      v.value.n = smp.value.n;
      break;
    default:
      v.value.s = value_at;
      v.s_len = value_text.size();
      break;
  }
  *out = m;
  return VASK_SAMPLE_OK;
}

// ---- Ingest passes ----------------------------------------------------------------------------

namespace {

uint64_t wall_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

void note_first(vask_ingest_t *in, vask_sample_reason_t reason, std::string_view input) {
  if (in->first_reason != VASK_SAMPLE_OK || reason == VASK_SAMPLE_STALE_MARKER) return;
  in->first_reason = reason;
  static const char kHex[] = "0123456789abcdef";
  std::string &e = in->first_excerpt;
  e.clear();
  for (unsigned char c : input) {
    if (e.size() > 200) {
      e.append("...");
      break;
    }
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      e.push_back(char(c));
    } else {
      e.append("\\x");
      e.push_back(kHex[c >> 4]);
      e.push_back(kHex[c & 15]);
    }
  }
}

}  // namespace

void vask_ingest_refuse(vask_ingest_t *in, vask_sample_reason_t reason, std::string_view input) {
  in->rejected[reason]++;
  note_first(in, reason, input);
}

void vask_ingest_sample(vask_ingest_t *in, const vask_raw_sample_t &s) {
  vask_metric_message_t *m = nullptr;
  vask_sample_reason_t r = vask_sample_build(*in->mapping, s, in->peer, &m);
  if (r != VASK_SAMPLE_OK) {
    vask_ingest_refuse(in, r, s.name);
    return;
  }
  in->accepted++;
  if (in->emit)
    in->emit(in->closure, m);
  else
    vask_metric_director_message_deref(m);
}

uint64_t vask_ingest_refused(const vask_ingest_t *in) {
  uint64_t n = 0;
  for (int r = 1; r < VASK_SAMPLE_REASON_COUNT; r++)
    if (r != VASK_SAMPLE_STALE_MARKER) n += in->rejected[r];
  return n;
}

void vask_ingest_publish(vask_ingest_t *in) {
  format_stats_t &f = format_stats()[in->format];
  if (in->accepted) {
    f.accepted.fetch_add(in->accepted, std::memory_order_relaxed);
    stats_counter_add(f.accepted_counter, in->accepted);
  }
  for (int r = 1; r < VASK_SAMPLE_REASON_COUNT; r++) {
    if (!in->rejected[r]) continue;
    f.rejected[r].fetch_add(in->rejected[r], std::memory_order_relaxed);
    stats_counter_add(f.rejected_counter[r], in->rejected[r]);
  }
  if (in->first_reason != VASK_SAMPLE_OK) {
    static tovi_log_stream_t ls = tovi_log_stream_find("error/vask");
    if (tovi_log_stream_enabled(ls)) {
      timespec ts;
      clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
      int64_t seen = f.log_second.load(std::memory_order_relaxed);
      if (seen != ts.tv_sec && f.log_second.compare_exchange_strong(seen, ts.tv_sec))
        f.log_in_second.store(0, std::memory_order_relaxed);
      if (f.log_in_second.fetch_add(1, std::memory_order_relaxed) < 5)
        tovi_log_fields(ls, ({"reason", kReasonNames[in->first_reason]}),
                        "vask: %s: %llu samples refused, the first (%s): %s",
                        kFormatNames[in->format],
                        static_cast<unsigned long long>(vask_ingest_refused(in)),
                        kReasonNames[in->first_reason], in->first_excerpt.c_str());
    }
  }
  in->accepted = 0;
  std::fill(std::begin(in->rejected), std::end(in->rejected), 0);
  in->first_reason = VASK_SAMPLE_OK;
  in->first_excerpt.clear();
}

void vask_format_stats_init(void) {
  format_stats();
}

uint64_t vask_format_accepted(vask_format_t format) {
  return format_stats()[format].accepted.load(std::memory_order_relaxed);
}

uint64_t vask_format_rejected(vask_format_t format, vask_sample_reason_t reason) {
  if (reason <= VASK_SAMPLE_OK || reason >= VASK_SAMPLE_REASON_COUNT) return 0;
  return format_stats()[format].rejected[reason].load(std::memory_order_relaxed);
}

uint64_t vask_ingest_now_ms(vask_ingest_t *in) {
  if (!in->now_ms) in->now_ms = wall_ms();
  return in->now_ms;
}
