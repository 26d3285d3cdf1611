// Influx line protocol.
//
// One pass over the line finds the measurement, the tags, the fields and the time stamp. Tokens
// without a backslash are used where they lie; escaped ones are unescaped into a per-thread arena
// reserved to the line's length, so views into it stay valid for the whole line.
#include <charconv>
#include <cstring>
#include <vector>

#include "vask/vask_formats.h"

namespace {

struct influx_scratch_t {
  std::string arena;
  std::string name;
  std::vector<vask_label_t> labels;
};

influx_scratch_t &scratch() {
  static thread_local influx_scratch_t s;
  return s;
}

// Which bytes a backslash escapes in a token kind, besides the backslash itself.
enum token_kind_t { MEASUREMENT, KEY_OR_TAG };

bool escapable(token_kind_t kind, char c) {
  if (c == '\\' || c == ',' || c == ' ') return true;
  return kind == KEY_OR_TAG && c == '=';
}

// Scans a token from p[at] up to the first unescaped byte of `stops`; returns the unescaped text
// (a view of the line when it has no escape). *at ends on the stop byte (or n).
struct stop_table_t {
  bool stop[2][256];  // by kind: the bytes that end a token (and '\\', looked at separately)
  constexpr stop_table_t() : stop() {
    for (int k = 0; k < 2; k++) {
      stop[k][int(',')] = stop[k][int(' ')] = stop[k][int('\\')] = true;
      if (k == KEY_OR_TAG) stop[k][int('=')] = true;
    }
  }
};
constexpr stop_table_t kStops;

std::string_view token(const char *p, size_t n, size_t *at, token_kind_t kind, std::string *arena) {
  const bool *stop = kStops.stop[kind];
  size_t begin = *at, i = begin;
  bool escaped = false;
  while (i < n) {
    char c = p[i];
    if (!stop[static_cast<unsigned char>(c)]) {
      i++;
      continue;
    }
    if (c != '\\') break;
    if (i + 1 < n && escapable(kind, p[i + 1])) {
      escaped = true;
      i += 2;
      continue;
    }
    i++;  // a backslash before anything else is itself
  }
  *at = i;
  if (!escaped) return std::string_view(p + begin, i - begin);
  size_t start = arena->size();
  for (size_t k = begin; k < i; k++) {
    if (p[k] == '\\' && k + 1 < i && escapable(kind, p[k + 1])) k++;
    arena->push_back(p[k]);
  }
  return std::string_view(arena->data() + start, arena->size() - start);
}

bool is_bool(std::string_view v, bool *out) {
  if (v[0] != 't' && v[0] != 'T' && v[0] != 'f' && v[0] != 'F') return false;
  static const char *const kTrue[] = {"t", "T", "true", "True", "TRUE"};
  static const char *const kFalse[] = {"f", "F", "false", "False", "FALSE"};
  for (const char *t : kTrue)
    if (v == t) return *out = true, true;
  for (const char *f : kFalse)
    if (v == f) return *out = false, true;
  return false;
}

// Parses a field value (the raw text up to the next unescaped ',' or ' ' outside quotes).
vask_sample_reason_t field_value(const char *p, size_t n, size_t *at, vask_raw_sample_t *s,
                                 std::string *arena) {
  size_t i = *at;
  if (i >= n) return VASK_SAMPLE_BAD_SYNTAX;
  if (p[i] == '"') {
    size_t begin = ++i;
    bool escaped = false;
    while (i < n && p[i] != '"') {
      if (p[i] == '\\' && i + 1 < n && (p[i + 1] == '"' || p[i + 1] == '\\')) {
        escaped = true;
        i++;
      }
      i++;
    }
    if (i >= n) return VASK_SAMPLE_BAD_SYNTAX;  // no closing quote
    std::string_view text(p + begin, i - begin);
    if (escaped) {
      size_t start = arena->size();
      for (size_t k = begin; k < i; k++) {
        if (p[k] == '\\' && k + 1 < i && (p[k + 1] == '"' || p[k + 1] == '\\')) k++;
        arena->push_back(p[k]);
      }
      text = std::string_view(arena->data() + start, arena->size() - start);
    }
    *at = i + 1;
    s->type = METRIC_STRING;
    s->text = text;
    return VASK_SAMPLE_OK;
  }
  size_t begin = i;
  while (i < n && p[i] != ',' && p[i] != ' ')
    i++;
  *at = i;
  std::string_view v(p + begin, i - begin);
  if (v.empty()) return VASK_SAMPLE_BAD_SYNTAX;
  bool b;
  if (is_bool(v, &b)) {
    s->type = METRIC_INT32;
    s->value.v_int32 = b ? 1 : 0;
    return VASK_SAMPLE_OK;
  }
  char last = v.back();
  if (last == 'i' || last == 'u') {
    std::string_view digits = v.substr(0, v.size() - 1);
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    if (digits.empty()) return VASK_SAMPLE_BAD_VALUE;
    const char *e = digits.data() + digits.size();
    std::from_chars_result r;
    if (last == 'i') {
      r = std::from_chars(digits.data(), e, s->value.v_int64);
      s->type = METRIC_INT64;
    } else {
      if (digits[0] == '-') return VASK_SAMPLE_BAD_VALUE;
      r = std::from_chars(digits.data(), e, s->value.v_uint64);
      s->type = METRIC_UINT64;
    }
    if (r.ec != std::errc() || r.ptr != e) return VASK_SAMPLE_BAD_VALUE;
    return VASK_SAMPLE_OK;
  }
  // A float: digits with an optional sign, point and exponent; no inf or nan words.
  std::string_view f = v;
  if (f[0] == '+') f.remove_prefix(1);
  if (f.empty()) return VASK_SAMPLE_BAD_VALUE;
  char c0 = f[0] == '-' && f.size() > 1 ? f[1] : f[0];
  if (!((c0 >= '0' && c0 <= '9') || c0 == '.')) return VASK_SAMPLE_BAD_VALUE;
  const char *e = f.data() + f.size();
  auto r = std::from_chars(f.data(), e, s->value.n, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != e) return VASK_SAMPLE_BAD_VALUE;
  s->type = METRIC_DOUBLE;
  return VASK_SAMPLE_OK;
}

// The time stamp in the pass's precision, as milliseconds.
bool influx_time(std::string_view t, int precision, uint64_t *ms) {
  uint64_t v;
  if (t.empty() || t[0] == '-') return false;
  if (t[0] == '+') t.remove_prefix(1);
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  switch (precision) {
    case 9:
      *ms = v / 1000000;
      return true;
    case 6:
      *ms = v / 1000;
      return true;
    case 3:
      *ms = v;
      return true;
    case 0:
      return !__builtin_mul_overflow(v, 1000, ms);
    case 60:
      return !__builtin_mul_overflow(v, 60000, ms);
    case 3600:
      return !__builtin_mul_overflow(v, 3600000, ms);
    default:
      return false;
  }
}

}  // namespace

bool vask_influx_precision(const char *text, int *precision) {
  static const struct {
    const char *name;
    int digits;
  } kNames[] = {{"ns", 9}, {"n", 9}, {"us", 6}, {"u", 6},
                {"ms", 3}, {"s", 0}, {"m", 60}, {"h", 3600}};
  for (auto &k : kNames)
    if (std::strcmp(text, k.name) == 0) return *precision = k.digits, true;
  return false;
}

void vask_influx_decode_line(vask_ingest_t *in, const char *p, size_t n) {
  size_t at = 0;
  while (at < n && (p[at] == ' ' || p[at] == '\t'))
    at++;
  if (at == n || p[at] == '#') return;
  std::string_view line(p, n);
  influx_scratch_t &s = scratch();
  s.arena.clear();
  s.arena.reserve(n);  // unescaped text is never longer than the line: views stay valid
  s.labels.clear();

  std::string_view measurement = token(p, n, &at, MEASUREMENT, &s.arena);
  if (measurement.empty() || at >= n) return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);
  while (p[at] == ',') {
    at++;
    vask_label_t l;
    l.name = token(p, n, &at, KEY_OR_TAG, &s.arena);
    if (l.name.empty() || at >= n || p[at] != '=')
      return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);
    at++;
    l.value = token(p, n, &at, KEY_OR_TAG, &s.arena);
    if (l.value.empty() || at >= n || p[at] == '=')
      return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);
    s.labels.push_back(l);
  }
  if (p[at] != ' ') return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);
  while (at < n && p[at] == ' ')
    at++;

  // Fields: parsed all before any is placed, so that a bad line places nothing.
  struct field_t {
    std::string_view key;
    vask_raw_sample_t value;
  };
  static thread_local std::vector<field_t> fields;
  fields.clear();
  for (;;) {
    field_t f;
    f.key = token(p, n, &at, KEY_OR_TAG, &s.arena);
    if (f.key.empty() || at >= n || p[at] != '=')
      return vask_ingest_refuse(in, VASK_SAMPLE_BAD_SYNTAX, line);
    at++;
    vask_sample_reason_t r = field_value(p, n, &at, &f.value, &s.arena);
    if (r != VASK_SAMPLE_OK) return vask_ingest_refuse(in, r, line);
    fields.push_back(f);
    if (at < n && p[at] == ',') {
      at++;
      continue;
    }
    break;
  }
  while (at < n && p[at] == ' ')
    at++;
  uint64_t whence_ms;
  size_t tend = n;
  while (tend > at && (p[tend - 1] == ' ' || p[tend - 1] == '\t'))
    tend--;
  if (at < tend) {
    if (!influx_time(std::string_view(p + at, tend - at), in->precision, &whence_ms))
      return vask_ingest_refuse(in, VASK_SAMPLE_BAD_TIMESTAMP, line);
  } else {
    whence_ms = vask_ingest_now_ms(in);
  }

  const std::string &sep = in->mapping->name_separator;
  for (field_t &f : fields) {
    s.name.assign(measurement);
    s.name.append(sep);
    s.name.append(f.key);
    f.value.name = s.name;
    f.value.labels = s.labels.data();
    f.value.nlabels = s.labels.size();
    f.value.whence_ms = whence_ms;
    vask_ingest_sample(in, f.value);
  }
}

void vask_influx_decode_lines(vask_ingest_t *in, const char *body, size_t len) {
  size_t at = 0;
  while (at < len) {
    const char *nl = static_cast<const char *>(std::memchr(body + at, '\n', len - at));
    size_t end = nl ? size_t(nl - body) : len;
    size_t l = end - at;
    if (l && body[at + l - 1] == '\r') l--;
    if (l) vask_influx_decode_line(in, body + at, l);
    at = end + 1;
  }
}
