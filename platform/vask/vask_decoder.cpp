// Metric line decoder and canonical metric names.
//
// Every sample of the daemon passes through vask_message_decoder_parse_line, so the common case is
// kept short: the fields are found with memchr, numbers are parsed in place, and a name whose tags
// are already canonical (what brokers send) is used where it lies in the line, with its tags in
// the message's inline area. Only a name that needs rewriting (unsorted or duplicate tags, bytes
// that must be base64-encoded, several tag blocks) is rebuilt, into one block that the message
// owns (decoder_storage).
//
// Tags in the id always point into the id's name text, so the name and its tags stay consistent
// and a copy of the id (vask_metric_id_copy) is a plain copy of texts.
//
// What the check field says of the source (host, check id) and the self-check marker are found
// here too, so that no consumer scans the line again.
//
// The decoder never reads past original_message + original_message_len: every scan is bounded by
// the field it is in.
#include "vask/vask_decoder.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tovi/tovi_log.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_base64.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Character classes

struct char_classes_t {
  bool category[256];  // bytes a canonical category may hold as they are
  bool value[256];     // the same for values: also ':'
  constexpr char_classes_t() : category(), value() {
    for (int c = 0; c < 256; c++) {
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      category[c] = alnum || c == '.' || c == '_' || c == '/' || c == '-';
      value[c] = category[c] || c == ':';
    }
  }
};
constexpr char_classes_t kClass;

bool all_in(const bool *table, const char *p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (!table[static_cast<unsigned char>(p[i])]) return false;
  return true;
}

int compare_bytes(const char *a, size_t alen, const char *b, size_t blen) {
  int c = std::memcmp(a, b, std::min(alen, blen));
  if (c) return c;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// Reasons, counters and the rejection log

const char *const kReasonNames[VASK_DECODE_REASON_COUNT] = {
    "ok",         "empty_line",    "nul_byte",  "not_a_sample",  "unknown_record", "missing_field",
    "bad_broker", "bad_timestamp", "bad_check", "bad_uuid",      "bad_account",    "empty_name",
    "bad_tags",   "bad_type",      "bad_value", "bad_histogram", "no_memory",      "name_too_long",
};

std::atomic<uint64_t> g_rejections[VASK_DECODE_REASON_COUNT];

// At most kLogPerSecond rejection lines a second; the rest are counted and summarised.
constexpr uint32_t kLogPerSecond = 20;
std::atomic<int64_t> g_log_second{0};
std::atomic<uint32_t> g_log_in_second{0};
std::atomic<uint64_t> g_log_suppressed{0};

tovi_log_stream_t error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/vask");
  return ls;
}

// Makes a log-safe excerpt of a line: printable ASCII as is, everything else escaped.
size_t excerpt(const char *line, size_t len, char *out, size_t cap) {
  static const char kHex[] = "0123456789abcdef";
  size_t o = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (o + 5 >= cap) {
      if (o + 3 < cap) {
        out[o++] = '.';
        out[o++] = '.';
        out[o++] = '.';
      }
      break;
    }
    if (c == '\t') {
      out[o++] = '\\';
      out[o++] = 't';
    } else if (c >= 0x20 && c < 0x7f && c != '\\') {
      out[o++] = static_cast<char>(c);
    } else {
      out[o++] = '\\';
      out[o++] = 'x';
      out[o++] = kHex[c >> 4];
      out[o++] = kHex[c & 15];
    }
  }
  return o;
}

void log_rejection(vask_decode_reason_t reason, const char *line, size_t len) {
  tovi_log_stream_t ls = error_stream();
  if (!tovi_log_stream_enabled(ls)) return;
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  int64_t second = ts.tv_sec;
  int64_t seen = g_log_second.load(std::memory_order_relaxed);
  if (seen != second &&
      g_log_second.compare_exchange_strong(seen, second, std::memory_order_relaxed)) {
    g_log_in_second.store(0, std::memory_order_relaxed);
    uint64_t dropped = g_log_suppressed.exchange(0, std::memory_order_relaxed);
    if (dropped)
      tovi_log(ls, "vask: %llu more rejected lines were not logged",
               static_cast<unsigned long long>(dropped));
  }
  // Relaxed throughout: the limit is approximate by design, nothing else depends on it.
  if (g_log_in_second.fetch_add(1, std::memory_order_relaxed) >= kLogPerSecond) {
    g_log_suppressed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  char text[320];
  size_t n = excerpt(line, len, text, sizeof text);
  tovi_log_fields(ls, ({"reason", kReasonNames[reason]}), "vask: rejected metric line (%s): %.*s",
                  kReasonNames[reason], static_cast<int>(n), text);
}

// ---------------------------------------------------------------------------------------------
// Numbers

bool parse_u64_digits(const char *p, size_t n, uint64_t *out) {
  if (n == 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned d = static_cast<unsigned char>(p[i]) - '0';
    if (d > 9) return false;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, d, &v)) return false;
  }
  *out = v;
  return true;
}

bool parse_u64(const char *p, size_t n, uint64_t *out) {
  if (n && p[0] == '+') p++, n--;
  return parse_u64_digits(p, n, out);
}

bool parse_i64(const char *p, size_t n, int64_t *out) {
  bool negative = false;
  if (n && (p[0] == '+' || p[0] == '-')) {
    negative = p[0] == '-';
    p++, n--;
  }
  uint64_t magnitude;
  if (!parse_u64_digits(p, n, &magnitude)) return false;
  if (negative) {
    if (magnitude > uint64_t(INT64_MAX) + 1) return false;
    *out = static_cast<int64_t>(0 - magnitude);
  } else {
    if (magnitude > uint64_t(INT64_MAX)) return false;
    *out = static_cast<int64_t>(magnitude);
  }
  return true;
}

bool parse_double(const char *p, size_t n, double *out) {
  if (n && p[0] == '+') {
    p++, n--;
    if (n && p[0] == '-') return false;
  }
  if (n == 0) return false;
  auto [end, ec] = std::from_chars(p, p + n, *out, std::chars_format::general);
  if (end != p + n) return false;
  if (ec == std::errc()) return true;
  if (ec != std::errc::result_out_of_range || n > 1024) return false;
  // Out of range: a value too small to represent is still a finite number and reads as the
  // nearest double (0 or a subnormal); only one too large to represent is refused. from_chars
  // does not say which, strtod does (it needs a terminated copy).
  char text[1025];
  std::memcpy(text, p, n);
  text[n] = '\0';
  double x = std::strtod(text, nullptr);
  if (!std::isfinite(x) || std::fabs(x) > DBL_MIN) return false;
  *out = x;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Names and tags

enum : uint8_t { SET_STREAM = 0, SET_MEASUREMENT = 1 };

struct raw_tag_t {
  const char *text;  // the whole tag as written
  size_t text_len;
  const char *cat;  // category, without the b"..." wrapper when encoded
  size_t cat_len;
  const char *val;  // value, likewise; null when the tag has no ':'
  size_t val_len;
  bool cat_b64, val_b64;
  uint8_t set;
};

struct name_layout_t {
  size_t bare_len = 0;
  int blocks[2] = {0, 0};  // blocks seen, by set
  bool has_empty_block = false;
  bool ordered = true;  // at most one block of each set, stream before measurement
  size_t counts[2] = {0, 0};
};

bool parse_tag(const char *s, size_t len, uint8_t set, raw_tag_t *t) {
  if (len == 0) return false;
  *t = raw_tag_t{s, len, s, 0, nullptr, 0, false, false, set};
  size_t i;
  if (len >= 2 && s[0] == 'b' && s[1] == '"') {
    const char *q = static_cast<const char *>(std::memchr(s + 2, '"', len - 2));
    if (!q) return false;
    t->cat = s + 2;
    t->cat_len = static_cast<size_t>(q - (s + 2));
    t->cat_b64 = true;
    i = static_cast<size_t>(q - s) + 1;
    if (i < len && s[i] != ':') return false;
  } else {
    const char *c = static_cast<const char *>(std::memchr(s, ':', len));
    i = c ? static_cast<size_t>(c - s) : len;
    if (i == 0) return false;
    t->cat_len = i;
  }
  if (i == len) return true;
  const char *v = s + i + 1;
  size_t vlen = len - i - 1;
  if (vlen >= 2 && v[0] == 'b' && v[1] == '"') {
    if (vlen < 3 || v[vlen - 1] != '"') return false;
    if (std::memchr(v + 2, '"', vlen - 3)) return false;
    t->val = v + 2;
    t->val_len = vlen - 3;
    t->val_b64 = true;
  } else {
    t->val = v;
    t->val_len = vlen;
  }
  return true;
}

// Splits "name|ST[...]|MT{...}" into the bare name and raw tags (appended to tags, in the order
// written). With want_tags false only the bare name is found.
bool parse_name(const char *p, size_t n, bool want_tags, name_layout_t *layout,
                std::vector<raw_tag_t> *tags) {
  size_t at = 0;
  for (;;) {
    const char *bar = static_cast<const char *>(std::memchr(p + at, '|', n - at));
    if (!bar) {
      at = n;
      break;
    }
    at = static_cast<size_t>(bar - p);
    if (n - at >= 4 && ((p[at + 1] == 'S' && p[at + 2] == 'T' && p[at + 3] == '[') ||
                        (p[at + 1] == 'M' && p[at + 2] == 'T' && p[at + 3] == '{')))
      break;
    at++;
  }
  layout->bare_len = at;
  if (!want_tags) return true;
  int last_set = -1;
  while (at < n) {
    if (n - at < 4 || p[at] != '|' || p[at + 2] != 'T') return false;
    uint8_t set;
    char close;
    if (p[at + 1] == 'S' && p[at + 3] == '[') {
      set = SET_STREAM;
      close = ']';
    } else if (p[at + 1] == 'M' && p[at + 3] == '{') {
      set = SET_MEASUREMENT;
      close = '}';
    } else {
      return false;
    }
    size_t begin = at + 4;
    const char *end = static_cast<const char *>(std::memchr(p + begin, close, n - begin));
    if (!end) return false;
    size_t stop = static_cast<size_t>(end - p);
    if (layout->blocks[set]++ || static_cast<int>(set) < last_set) layout->ordered = false;
    last_set = set;
    if (stop == begin) layout->has_empty_block = true;
    size_t pos = begin;
    while (pos < stop) {
      const char *comma = static_cast<const char *>(std::memchr(p + pos, ',', stop - pos));
      size_t piece_end = comma ? static_cast<size_t>(comma - p) : stop;
      raw_tag_t t;
      if (!parse_tag(p + pos, piece_end - pos, set, &t)) return false;
      tags->push_back(t);
      layout->counts[set]++;
      if (!comma) break;
      pos = piece_end + 1;
      if (pos == stop) return false;  // a trailing comma
    }
    at = stop + 1;
  }
  return true;
}

// Whether the tag is written in canonical form (without looking at its neighbours).
bool raw_tag_is_canonical(const raw_tag_t &t) {
  if (t.cat_b64 || t.val_b64) return false;
  if (t.cat_len > 255 || t.text_len > 65535) return false;
  if (!all_in(kClass.category, t.cat, t.cat_len)) return false;
  if (t.val) {
    if (t.val_len == 0) return false;  // "cat:" is written "cat"
    if (!all_in(kClass.value, t.val, t.val_len)) return false;
  }
  return true;
}

// Canonical tags as offsets into one text.
struct canon_tag_t {
  size_t offset;
  size_t cat_len;
  size_t total;
  uint8_t set;
};

bool canon_less(const std::string &text, const canon_tag_t &a, const canon_tag_t &b) {
  if (a.set != b.set) return a.set < b.set;
  const char *pa = text.data() + a.offset, *pb = text.data() + b.offset;
  int c = compare_bytes(pa, a.cat_len, pb, b.cat_len);
  if (c) return c < 0;
  size_t va = a.total - a.cat_len, vb = b.total - b.cat_len;
  // Values start after the ':' (absent for a category alone, which sorts first).
  return compare_bytes(pa + a.cat_len + (va ? 1 : 0), va ? va - 1 : 0,
                       pb + b.cat_len + (vb ? 1 : 0), vb ? vb - 1 : 0) < 0;
}

bool canon_equal(const std::string &text, const canon_tag_t &a, const canon_tag_t &b) {
  return a.set == b.set && a.total == b.total && a.cat_len == b.cat_len &&
         std::memcmp(text.data() + a.offset, text.data() + b.offset, a.total) == 0;
}

struct canon_scratch_t {
  std::string text;
  std::string bytes;
  std::vector<canon_tag_t> tags;
  std::vector<raw_tag_t> raw;
};

canon_scratch_t &scratch() {
  static thread_local canon_scratch_t s;
  return s;
}

// Builds the canonical texts of raw tags into s.text / s.tags, sorted by set, category and value,
// duplicates dropped. False when a tag cannot be canonical (bad base64, empty category, too long).
bool canonicalize_tags(const std::vector<raw_tag_t> &raw, canon_scratch_t *s) {
  s->text.clear();
  s->tags.clear();
  for (const raw_tag_t &t : raw) {
    size_t offset = s->text.size();
    s->bytes.clear();
    if (t.cat_b64) {
      if (!vask_base64_decode_append(t.cat, t.cat_len, &s->bytes)) return false;
    } else {
      s->bytes.assign(t.cat, t.cat_len);
    }
    if (s->bytes.empty()) return false;
    vask_tag_part_canonical_append(s->bytes.data(), s->bytes.size(), false, &s->text);
    size_t cat_len = s->text.size() - offset;
    if (cat_len > 255) return false;
    if (t.val) {
      s->bytes.clear();
      if (t.val_b64) {
        if (!vask_base64_decode_append(t.val, t.val_len, &s->bytes)) return false;
      } else {
        s->bytes.assign(t.val, t.val_len);
      }
      if (!s->bytes.empty()) {
        s->text.push_back(':');
        vask_tag_part_canonical_append(s->bytes.data(), s->bytes.size(), true, &s->text);
      }
    }
    size_t total = s->text.size() - offset;
    if (total > 65535) return false;
    s->tags.push_back(canon_tag_t{offset, cat_len, total, t.set});
  }
  const std::string &text = s->text;
  std::stable_sort(
      s->tags.begin(), s->tags.end(),
      [&text](const canon_tag_t &a, const canon_tag_t &b) { return canon_less(text, a, b); });
  s->tags.erase(std::unique(s->tags.begin(), s->tags.end(),
                            [&text](const canon_tag_t &a, const canon_tag_t &b) {
                              return canon_equal(text, a, b);
                            }),
                s->tags.end());
  return true;
}

// Writes bare + "|ST[...]" + "|MT{...}" from canonical tags. With out null, only measures.
size_t write_canonical_name(const char *bare, size_t bare_len, const canon_scratch_t &s,
                            bool keep_empty_stream, char *out) {
  size_t n = 0;
  auto put = [&](const char *p, size_t len) {
    if (out) std::memcpy(out + n, p, len);
    n += len;
  };
  put(bare, bare_len);
  for (uint8_t set : {SET_STREAM, SET_MEASUREMENT}) {
    bool any = false;
    for (const canon_tag_t &t : s.tags) {
      if (t.set != set) continue;
      put(any ? "," : (set == SET_STREAM ? "|ST[" : "|MT{"), any ? 1 : 4);
      put(s.text.data() + t.offset, t.total);
      any = true;
    }
    if (!any && set == SET_STREAM && keep_empty_stream) put("|ST[", 4);
    if (any || (set == SET_STREAM && keep_empty_stream)) put(set == SET_STREAM ? "]" : "}", 1);
  }
  return n;
}

// ---------------------------------------------------------------------------------------------
// Decoding

struct fields_t {
  const char *p;
  size_t n;
  size_t at;
  // The next tab-separated field; false at the end of the line.
  bool next(const char **f, size_t *len) {
    if (at > n) return false;
    const char *tab = static_cast<const char *>(std::memchr(p + at, '\t', n - at));
    size_t end = tab ? static_cast<size_t>(tab - p) : n;
    *f = p + at;
    *len = end - at;
    at = end + 1;
    return true;
  }
  // Everything after the fields taken so far.
  bool rest(const char **f, size_t *len) {
    if (at > n) return false;
    *f = p + at;
    *len = n - at;
    at = n + 1;
    return true;
  }
};

constexpr char kSelfcheckMarker[] = "`selfcheck`selfcheck`";
constexpr size_t kSelfcheckMarkerLen = sizeof kSelfcheckMarker - 1;

// Whether "`selfcheck`selfcheck`" occurs in p[0, n). The marker starts with a back-quote, so the
// back-quotes are the places to look. Most texts are shorter than the marker: that test is inline.
__attribute__((noinline)) bool find_selfcheck_marker(const char *p, size_t n) {
  constexpr size_t kLen = kSelfcheckMarkerLen;
  const char *end = p + n;
  while (static_cast<size_t>(end - p) >= kLen) {
    const char *q = static_cast<const char *>(std::memchr(p, '`', static_cast<size_t>(end - p)));
    if (!q || static_cast<size_t>(end - q) < kLen) return false;
    if (std::memcmp(q, kSelfcheckMarker, kLen) == 0) return true;
    p = q + 1;
  }
  return false;
}

inline bool has_selfcheck_marker(const char *p, size_t n) {
  return n >= kSelfcheckMarkerLen && find_selfcheck_marker(p, n);
}

// The check id, as vask_check_id_parse reads it (inline here: every line has one).
inline uint64_t read_check_id(const char *text, size_t len) {
  // The usual case: a decimal number of at most 19 digits, which cannot overflow.
  if (len && text[0] >= '1' && text[0] <= '9') {
    size_t safe = std::min<size_t>(len, 19);
    uint64_t v = 0;
    for (size_t i = 0; i < safe; i++) {
      unsigned d = static_cast<unsigned char>(text[i]) - '0';
      if (d > 9) return v;
      v = v * 10 + d;
    }
    if (len == safe) return v;
  }
  return vask_check_id_parse(text, len);
}

// The check field: the UUID, and when it has the long form the account, the host and the check
// id (into m->host and m->check_id), and whether it holds the self-check marker.
vask_decode_reason_t parse_check(const char *f, size_t n, vask_metric_message_t *m) {
  vask_metric_id_t *id = &m->id;
  if (n < 36) return VASK_DECODE_BAD_CHECK;
  const char *uuid = f + n - 36;
  if (n > 36) {
    if (uuid[-1] != '`') return VASK_DECODE_BAD_CHECK;
    size_t head = n - 37;  // host`module`c_<account>_<id>
    const char *seg = static_cast<const char *>(memrchr(f, '`', head));
    if (!seg) return VASK_DECODE_BAD_CHECK;
    const char *host_end = static_cast<const char *>(std::memchr(f, '`', size_t(seg - f)));
    if (!host_end) return VASK_DECODE_BAD_CHECK;
    seg++;
    size_t seg_len = head - static_cast<size_t>(seg - f);
    if (seg_len < 2 || seg[0] != 'c' || seg[1] != '_') return VASK_DECODE_BAD_CHECK;
    const char *digits = seg + 2;
    size_t left = seg_len - 2;
    const char *us = static_cast<const char *>(std::memchr(digits, '_', left));
    if (!us) return VASK_DECODE_BAD_ACCOUNT;
    if (!parse_u64_digits(digits, static_cast<size_t>(us - digits), &id->account_id))
      return VASK_DECODE_BAD_ACCOUNT;
    size_t after = left - static_cast<size_t>(us - digits) - 1;
    if (after == 0 || us[1] < '0' || us[1] > '9') return VASK_DECODE_BAD_CHECK;
    m->check_id = read_check_id(us + 1, after);
    m->host = f;
    m->host_len = static_cast<size_t>(host_end - f);
    // Inside the check field the marker can only lie from the host's back-quote to the one
    // before "c_": it cannot end at the UUID's back-quote, as the segment before that would
    // have to read "selfcheck" rather than "c_...".
    if (!m->selfcheck) m->selfcheck = has_selfcheck_marker(host_end, size_t(seg - host_end));
  }
  if (!tovi_uuid_parse(uuid, 36, id->id)) return VASK_DECODE_BAD_UUID;
  return VASK_DECODE_OK;
}

vask_decode_reason_t parse_value(char type_letter, const char *v, size_t n,
                                 vask_metric_value_t *value) {
  switch (type_letter) {
    case 'i':
    case 'I':
    case 'l':
    case 'L':
    case 'n':
    case 's':
      break;
    default:
      return VASK_DECODE_BAD_TYPE;
  }
  value->type = static_cast<metric_type_t>(type_letter);
  if (n == 8 && std::memcmp(v, "[[null]]", 8) == 0) {
    value->is_null = true;
    return VASK_DECODE_OK;
  }
  switch (type_letter) {
    case 'i': {
      int64_t x;
      if (!parse_i64(v, n, &x) || x < INT32_MIN || x > INT32_MAX) return VASK_DECODE_BAD_VALUE;
      value->value.v_int32 = static_cast<int32_t>(x);
      break;
    }
    case 'I': {
      uint64_t x;
      if (!parse_u64(v, n, &x) || x > UINT32_MAX) return VASK_DECODE_BAD_VALUE;
      value->value.v_uint32 = static_cast<uint32_t>(x);
      break;
    }
    case 'l':
      if (!parse_i64(v, n, &value->value.v_int64)) return VASK_DECODE_BAD_VALUE;
      break;
    case 'L':
      if (!parse_u64(v, n, &value->value.v_uint64)) return VASK_DECODE_BAD_VALUE;
      break;
    case 'n':
      if (!parse_double(v, n, &value->value.n)) return VASK_DECODE_BAD_VALUE;
      break;
    case 's':
      value->value.s = v;
      value->s_len = n;
      break;
  }
  return VASK_DECODE_OK;
}

// Fills the id's name and tag sets from the name field. With parse_tags false only the bare
// length is found and the field is taken as it stands.
vask_decode_reason_t decode_name(vask_metric_message_t *m, const char *f, size_t n,
                                 bool parse_tags) {
  vask_metric_id_t *id = &m->id;
  canon_scratch_t &s = scratch();
  s.raw.clear();
  name_layout_t layout;
  if (!parse_name(f, n, parse_tags, &layout, &s.raw)) return VASK_DECODE_BAD_TAGS;
  if (layout.bare_len == 0) return VASK_DECODE_EMPTY_NAME;
  id->name = f;
  id->name_len = layout.bare_len;
  id->name_len_with_tags = n;
  if (layout.bare_len > VASK_METRIC_NAME_MAX) return VASK_DECODE_NAME_TOO_LONG;
  if (!parse_tags || s.raw.empty()) {
    // No tags: an empty block, if any, is not part of the identity.
    if (parse_tags) id->name_len_with_tags = layout.bare_len;
    return VASK_DECODE_OK;
  }

  bool canonical = layout.ordered && !layout.has_empty_block;
  for (size_t i = 0; canonical && i < s.raw.size(); i++) {
    const raw_tag_t &t = s.raw[i];
    if (!raw_tag_is_canonical(t)) canonical = false;
    if (i && s.raw[i - 1].set == t.set) {
      const raw_tag_t &prev = s.raw[i - 1];
      int c = compare_bytes(prev.cat, prev.cat_len, t.cat, t.cat_len);
      if (c == 0)
        c = compare_bytes(prev.val ? prev.val : "", prev.val_len, t.val ? t.val : "", t.val_len);
      if (c >= 0) canonical = false;
    }
  }

  size_t count = s.raw.size();
  const char *name_text = f;
  size_t name_len = n;
  if (!canonical) {
    if (!canonicalize_tags(s.raw, &s)) return VASK_DECODE_BAD_TAGS;
    count = s.tags.size();
    name_len = write_canonical_name(f, layout.bare_len, s, false, nullptr);
  }
  size_t array_bytes =
      count > static_cast<size_t>(VASK_METRIC_INLINE_TAGS) ? count * sizeof(vask_metric_tag_t) : 0;
  size_t text_bytes = canonical ? 0 : name_len + 1;
  vask_metric_tag_t *tags = m->inline_tags;
  if (array_bytes + text_bytes) {
    char *block = static_cast<char *>(std::malloc(array_bytes + text_bytes));
    if (!block) return VASK_DECODE_NO_MEMORY;
    m->decoder_storage = block;
    if (array_bytes) tags = reinterpret_cast<vask_metric_tag_t *>(block);
    if (text_bytes) {
      char *text = block + array_bytes;
      write_canonical_name(f, layout.bare_len, s, false, text);
      text[name_len] = '\0';
      name_text = text;
    }
  }

  size_t per_set[2] = {0, 0};
  if (canonical) {
    for (size_t i = 0; i < count; i++) {
      const raw_tag_t &t = s.raw[i];
      tags[i] = vask_metric_tag_t{static_cast<uint16_t>(t.text_len),
                                  static_cast<uint8_t>(t.cat_len), t.text};
      per_set[t.set]++;
    }
  } else {
    // Tags follow one another in the canonical name: walk it to point at them.
    const char *at = name_text + layout.bare_len;
    uint8_t set = 255;
    for (size_t i = 0; i < count; i++) {
      const canon_tag_t &t = s.tags[i];
      if (t.set == set)
        at += 1;  // ','
      else
        at += i == 0 ? 4 : 5;  // "|ST[", or the closing bracket and "|MT{"
      set = t.set;
      tags[i] =
          vask_metric_tag_t{static_cast<uint16_t>(t.total), static_cast<uint8_t>(t.cat_len), at};
      at += t.total;
      per_set[t.set]++;
    }
  }
  id->name = name_text;
  id->name_len_with_tags = name_len;
  vask_metric_tagset_t *sets[2] = {&id->stream, &id->measurement};
  size_t first = 0;
  for (int k = 0; k < 2; k++) {
    if (!per_set[k]) continue;
    sets[k]->tags = tags + first;
    sets[k]->tag_count = static_cast<int>(per_set[k]);
    size_t canonical_size = per_set[k] - 1;
    for (size_t i = first; i < first + per_set[k]; i++)
      canonical_size += tags[i].total_size;
    sets[k]->canonical_size = canonical_size;
    first += per_set[k];
  }
  // "|ST[" + tags + "]": the identity that the rules key in fixed buffers.
  size_t stream_name_len =
      layout.bare_len + (per_set[SET_STREAM] ? id->stream.canonical_size + 5 : 0);
  if (stream_name_len > VASK_METRIC_NAME_MAX) return VASK_DECODE_NAME_TOO_LONG;
  return VASK_DECODE_OK;
}

bool is_histogram_text(const char *v, size_t n) {
  if (n == 0) return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(v[i]);
    if (!vask_base64_is_alphabet(c) && c != '=') return false;
  }
  return true;
}

vask_decode_reason_t decode(vask_metric_message_t *m, bool parse_tags) {
  const char *line = m->original_message;
  size_t n = m->original_message_len;
  if (!line) return VASK_DECODE_EMPTY_LINE;
  // A line end is LF or CRLF; a lone CR is data (it may end a text value).
  if (n && line[n - 1] == '\n') {
    n--;
    if (n && line[n - 1] == '\r') n--;
  }
  if (n == 0) return VASK_DECODE_EMPTY_LINE;
  if (std::memchr(line, '\0', n)) return VASK_DECODE_NUL_BYTE;

  fields_t fields{line, n, 0};
  const char *f;
  size_t flen;
  fields.next(&f, &flen);
  bool histogram;
  if (flen == 1 && f[0] == 'M') {
    histogram = false;
  } else if (flen == 2 && f[0] == 'H' && (f[1] == '1' || f[1] == '2')) {
    histogram = true;
  } else {
    if (flen >= 1 && (f[0] == 'C' || f[0] == 'D' || f[0] == 'S')) {
      m->type = f[0];
      return VASK_DECODE_NOT_A_SAMPLE;
    }
    return VASK_DECODE_UNKNOWN_RECORD;
  }
  char record_type = f[0];

  // Broker (optional), then the time stamp.
  if (!fields.next(&f, &flen)) return VASK_DECODE_MISSING_FIELD;
  uint64_t whence_ms;
  const char *broker = nullptr;
  size_t broker_len = 0;
  if (!vask_parse_timestamp(f, flen, &whence_ms)) {
    if (flen == 0) return VASK_DECODE_BAD_BROKER;
    broker = f;
    broker_len = flen;
    if (!fields.next(&f, &flen)) return VASK_DECODE_MISSING_FIELD;
    if (!vask_parse_timestamp(f, flen, &whence_ms)) return VASK_DECODE_BAD_TIMESTAMP;
  }

  // The self-check marker may stand anywhere before the name field; it has no tab, and the time
  // stamp no back-quote, so the broker field and the check field are where it can be.
  m->selfcheck = broker && has_selfcheck_marker(broker, broker_len);
  if (!fields.next(&f, &flen)) return VASK_DECODE_MISSING_FIELD;
  vask_decode_reason_t r = parse_check(f, flen, m);
  if (r != VASK_DECODE_OK) return r;

  const char *name;
  size_t name_len;
  if (!fields.next(&name, &name_len)) return VASK_DECODE_MISSING_FIELD;

  vask_metric_value_t *value = &m->value;
  value->whence_ms = whence_ms;
  if (histogram) {
    if (!fields.rest(&f, &flen)) return VASK_DECODE_MISSING_FIELD;
    value->type = line[1] == '2' ? METRIC_HISTOGRAM_CUMULATIVE : METRIC_HISTOGRAM;
    if (flen == 8 && std::memcmp(f, "[[null]]", 8) == 0) {
      value->is_null = true;
    } else {
      if (!is_histogram_text(f, flen)) return VASK_DECODE_BAD_HISTOGRAM;
      value->value.s = f;
      value->s_len = flen;
    }
  } else {
    if (!fields.next(&f, &flen)) return VASK_DECODE_MISSING_FIELD;
    if (flen != 1) return VASK_DECODE_BAD_TYPE;
    char letter = f[0];
    const char *v;
    size_t vlen;
    if (!fields.rest(&v, &vlen)) return VASK_DECODE_MISSING_FIELD;
    r = parse_value(letter, v, vlen, value);
    if (r != VASK_DECODE_OK) return r;
  }

  r = decode_name(m, name, name_len, parse_tags);
  if (r != VASK_DECODE_OK) return r;
  m->type = record_type;
  m->vask.name = broker;
  m->vask.len = broker_len;
  return VASK_DECODE_OK;
}

}  // namespace

// -----------------------------------------------------------------------------------------------

const char *vask_decode_reason_name(vask_decode_reason_t reason) {
  if (reason < 0 || reason >= VASK_DECODE_REASON_COUNT) return "unknown";
  return kReasonNames[reason];
}

uint64_t vask_decoder_rejections(vask_decode_reason_t reason) {
  if (reason <= VASK_DECODE_OK || reason >= VASK_DECODE_REASON_COUNT) return 0;
  return g_rejections[reason].load(std::memory_order_relaxed);
}

void vask_message_decoder_reset(vask_metric_message_t *m) {
  std::free(m->decoder_storage);
  m->decoder_storage = nullptr;
  m->id = vask_metric_id_t{};
  m->value = vask_metric_value_t{};
  m->vask.name = nullptr;
  m->vask.len = 0;
  m->host = nullptr;
  m->host_len = 0;
  m->check_id = 0;
  m->selfcheck = false;
}

vask_decode_reason_t vask_message_decoder_parse_line_reason(vask_metric_message_t *m,
                                                            bool parse_tags) {
  vask_message_decoder_reset(m);
  vask_decode_reason_t r = decode(m, parse_tags);
  if (r == VASK_DECODE_OK) return r;
  char type = m->type;
  vask_message_decoder_reset(m);
  m->type = r == VASK_DECODE_NOT_A_SAMPLE ? type : 0;
  // Relaxed: a statistic, read on its own.
  g_rejections[r].fetch_add(1, std::memory_order_relaxed);
  if (r != VASK_DECODE_NOT_A_SAMPLE) log_rejection(r, m->original_message, m->original_message_len);
  return r;
}

int vask_message_decoder_parse_line(vask_metric_message_t *m, bool parse_tags) {
  return vask_message_decoder_parse_line_reason(m, parse_tags) == VASK_DECODE_OK ? 1 : 0;
}

uint64_t vask_check_id_parse(const char *text, size_t len) {
  // The check id has always been read from a 31-byte terminated copy by strtoull(copy, 0, 0);
  // this is that reading without the copy, so that every line keeps its check id. A number past
  // 64 bits reads as UINT64_MAX whatever digits follow, so the first overflow ends the reading.
  len = std::min<size_t>(len, 31);
  if (len == 0) return 0;
  auto digit = [](char c) -> unsigned {
    if (c >= '0' && c <= '9') return unsigned(c - '0');
    if (c >= 'a' && c <= 'f') return unsigned(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return unsigned(c - 'A' + 10);
    return 99;
  };
  unsigned base = 10;
  size_t i = 0;
  if (text[0] < '0' || text[0] > '9') return 0;
  if (text[0] == '0') {
    base = 8;
    if (len >= 3 && (text[1] == 'x' || text[1] == 'X') && digit(text[2]) < 16) {
      base = 16;
      i = 2;
    }
  }
  uint64_t v = 0;
  for (; i < len; i++) {
    unsigned d = digit(text[i]);
    if (d >= base) break;
    if (__builtin_mul_overflow(v, base, &v) || __builtin_add_overflow(v, d, &v)) return UINT64_MAX;
  }
  return v;
}

bool vask_parse_timestamp(const char *text, size_t len, uint64_t *whence_ms) {
  if (len == 0 || len > 30) return false;
  const char *dot = static_cast<const char *>(std::memchr(text, '.', len));
  size_t int_len = dot ? static_cast<size_t>(dot - text) : len;
  uint64_t seconds;
  if (!parse_u64_digits(text, int_len, &seconds)) return false;
  uint64_t ms = 0;
  if (dot) {
    size_t frac_len = len - int_len - 1;
    if (frac_len == 0 || frac_len > 9) return false;
    for (size_t i = 0; i < frac_len; i++) {
      unsigned d = static_cast<unsigned char>(dot[1 + i]) - '0';
      if (d > 9) return false;
      if (i < 3) ms = ms * 10 + d;
    }
    for (size_t i = frac_len; i < 3; i++)
      ms *= 10;
  }
  uint64_t total;
  if (__builtin_mul_overflow(seconds, 1000, &total) || __builtin_add_overflow(total, ms, &total))
    return false;
  *whence_ms = total;
  return true;
}

bool vask_is_timestamp(const char *text, size_t len) {
  uint64_t ignored;
  return vask_parse_timestamp(text, len, &ignored);
}

int vask_metric_canonicalize(const char *in, size_t len, char *out, size_t outlen,
                             bool null_terminate) {
  if (!in || len == 0) return -1;
  canon_scratch_t &s = scratch();
  s.raw.clear();
  name_layout_t layout;
  if (!parse_name(in, len, true, &layout, &s.raw)) return -1;
  if (layout.bare_len == 0) return -1;
  if (!canonicalize_tags(s.raw, &s)) return -1;
  bool keep_empty_stream = layout.blocks[SET_STREAM] > 0;
  size_t n = write_canonical_name(in, layout.bare_len, s, keep_empty_stream, nullptr);
  if (n > static_cast<size_t>(INT32_MAX)) return -2;
  if (!out || n + (null_terminate ? 1 : 0) > outlen) return -2;
  write_canonical_name(in, layout.bare_len, s, keep_empty_stream, out);
  if (null_terminate) out[n] = '\0';
  return static_cast<int>(n);
}

void vask_tag_part_canonical_append(const char *bytes, size_t len, bool is_value,
                                    std::string *out) {
  if (len && all_in(is_value ? kClass.value : kClass.category, bytes, len)) {
    out->append(bytes, len);
    return;
  }
  out->append("b\"");
  vask_base64_encode_append(bytes, len, out);
  out->push_back('"');
}

bool vask_tag_byte_is_plain(unsigned char c, bool is_value) {
  return is_value ? kClass.value[c] : kClass.category[c];
}

bool vask_tag_part_decode_append(const char *part, size_t len, std::string *out) {
  if (len >= 2 && part[0] == 'b' && part[1] == '"') {
    if (len < 3 || part[len - 1] != '"') return false;
    return vask_base64_decode_append(part + 2, len - 3, out);
  }
  out->append(part, len);
  return true;
}
