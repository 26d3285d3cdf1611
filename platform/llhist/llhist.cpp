// Log-linear histograms.
//
// A histogram is a sorted, compact array of (bin key, count) pairs holding only non-empty bins.
// The key orders bins by value: the most negative bin has key 0, the zero bin ZERO_KEY, the
// largest positive bin MAX_KEY. Sorting by key keeps inserts to a binary search (or a hit on the
// bin used last, which is how latencies arrive: runs of the same bin) and makes accumulating and
// subtracting a merge of two sorted arrays.
//
// Bin edges are the doubles nearest to their decimal values. Finding a value's bin starts from
// log10 and then corrects against those edges, so that a value exactly on an edge (0.3, 1000)
// lands in the bin that starts there whatever log10 rounded to.
//
// Invariants: keys strictly ascending, every count > 0, last_hit < bins.size() or 0.
#include "llhist/llhist.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr int MIN_EXP = -128;
constexpr int MAX_EXP = 127;
constexpr int DIGITS_PER_DECADE = 90;  // 10 .. 99
constexpr int POS_BINS = DIGITS_PER_DECADE * (MAX_EXP - MIN_EXP + 1);
constexpr uint16_t ZERO_KEY = POS_BINS;
constexpr uint16_t MAX_KEY = 2 * POS_BINS;
static_assert(MAX_KEY + 1 == HIST_MAX_BINS);

constexpr uint8_t FORMAT_VERSION = 1;
constexpr size_t MAX_VARINT_BYTES = 10;
constexpr size_t MIN_BIN_BYTES = 3;  // val, exp, a one-byte count

struct bin_t {
  uint64_t count;
  uint16_t key;
};

uint64_t add_saturating(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<uint64_t>::max();
  return r;
}

// 10^k for k in [0, 130] as the nearest doubles (strtod rounds correctly).
const double *powers_of_ten() {
  static const std::array<double, 131> table = [] {
    std::array<double, 131> t{};
    char text[16];
    for (int k = 0; k <= 130; k++) {
      std::snprintf(text, sizeof text, "1e%d", k);
      t[k] = std::strtod(text, nullptr);
    }
    return t;
  }();
  return table.data();
}

// The double nearest to digits * 10^(exp - 1), digits in [10, 99]: one correctly rounded
// multiplication or division of exact operands while the power of ten is exact (|k| <= 22).
double edge(int digits, int exp) {
  const double *p10 = powers_of_ten();
  int k = exp - 1;
  return k >= 0 ? digits * p10[k] : digits / p10[-k];
}

uint16_t key_of(int digits, int exp, bool negative) {
  int pos = (exp - MIN_EXP) * DIGITS_PER_DECADE + (digits - 10);
  return negative ? uint16_t(ZERO_KEY - 1 - pos) : uint16_t(ZERO_KEY + 1 + pos);
}

hist_bucket_t bucket_of_key(uint16_t key) {
  if (key == ZERO_KEY) return {0, 0};
  bool negative = key < ZERO_KEY;
  int pos = negative ? ZERO_KEY - 1 - key : key - ZERO_KEY - 1;
  int digits = 10 + pos % DIGITS_PER_DECADE;
  int exp = MIN_EXP + pos / DIGITS_PER_DECADE;
  return {int8_t(negative ? -digits : digits), int8_t(exp)};
}

uint16_t key_of_bucket(hist_bucket_t b) {
  if (b.val == 0) return ZERO_KEY;
  return b.val < 0 ? key_of(-b.val, b.exp, true) : key_of(b.val, b.exp, false);
}

// The key of value's bin; false when the value is not counted.
bool key_of_value(double value, uint16_t *key) {
  if (!std::isfinite(value)) return false;
  double a = std::fabs(value);
  if (a < edge(10, MIN_EXP)) {
    *key = ZERO_KEY;
    return true;
  }
  if (a >= edge(10, MAX_EXP + 1)) return false;
  // a lies in [2^(e2-1), 2^e2), so floor(log10(a)) is this estimate or one more.
  int e2;
  std::frexp(a, &e2);
  int exp = std::clamp(int(std::floor((e2 - 1) * 0.30102999566398120)), MIN_EXP, MAX_EXP);
  while (exp > MIN_EXP && a < edge(10, exp))
    exp--;
  while (exp < MAX_EXP && a >= edge(10, exp + 1))
    exp++;
  const double *p10 = powers_of_ten();
  int k = exp - 1;
  double scaled = k >= 0 ? a / p10[k] : a * p10[-k];
  int digits = std::clamp(int(scaled), 10, 99);
  while (digits < 99 && a >= edge(digits + 1, exp))
    digits++;
  while (digits > 10 && a < edge(digits, exp))
    digits--;
  *key = key_of(digits, exp, value < 0);
  return true;
}

// The value interval of a bin, ascending: [lo, hi) for positive bins, (lo, hi] for negative.
void bin_range(uint16_t key, double *lo, double *hi) {
  hist_bucket_t b = bucket_of_key(key);
  if (b.val == 0) {
    *lo = *hi = 0;
    return;
  }
  int digits = b.val < 0 ? -b.val : b.val;
  double low_mag = edge(digits, b.exp);
  double high_mag = digits == 99 ? edge(10, b.exp + 1) : edge(digits + 1, b.exp);
  if (b.val < 0) {
    *lo = -high_mag;
    *hi = -low_mag;
  } else {
    *lo = low_mag;
    *hi = high_mag;
  }
}

size_t varint_size(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    n++;
  }
  return n;
}

uint8_t *varint_put(uint8_t *p, uint64_t v) {
  while (v >= 0x80) {
    *p++ = uint8_t(v) | 0x80;
    v >>= 7;
  }
  *p++ = uint8_t(v);
  return p;
}

// Reads a minimally encoded LEB128 value of at most 64 bits; false on truncation, overflow or
// a redundant trailing zero group.
bool varint_get(const uint8_t *&p, const uint8_t *end, uint64_t *out) {
  uint64_t v = 0;
  for (size_t i = 0; i < MAX_VARINT_BYTES; i++) {
    if (p == end) return false;
    uint8_t byte = *p++;
    if (i == MAX_VARINT_BYTES - 1 && byte > 1) return false;  // beyond 64 bits
    v |= uint64_t(byte & 0x7f) << (7 * i);
    if (!(byte & 0x80)) {
      if (byte == 0 && i > 0) return false;  // not minimal
      *out = v;
      return true;
    }
  }
  return false;
}

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64: the alphabet only, padding optional but exact when present, unused bits of
// the last character zero. False on anything else.
bool b64_decode(const char *text, size_t len, std::vector<uint8_t> *out) {
  size_t pad = 0;
  while (pad < 2 && len > 0 && text[len - 1] == '=') {
    len--;
    pad++;
  }
  size_t tail = len % 4;
  if (tail == 1) return false;
  if (pad != 0 && (tail + pad) % 4 != 0) return false;
  out->clear();
  out->reserve(len / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < len; i++) {
    int v = b64_value(text[i]);
    if (v < 0) return false;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(uint8_t(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  return acc == 0;  // leftover bits of the last character must be zero
}

std::string b64_encode(const uint8_t *data, size_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
    out += B64_ALPHABET[v >> 18];
    out += B64_ALPHABET[(v >> 12) & 63];
    out += B64_ALPHABET[(v >> 6) & 63];
    out += B64_ALPHABET[v & 63];
  }
  if (len - i == 1) {
    uint32_t v = uint32_t(data[i]) << 16;
    out += B64_ALPHABET[v >> 18];
    out += B64_ALPHABET[(v >> 12) & 63];
    out += "==";
  } else if (len - i == 2) {
    uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8;
    out += B64_ALPHABET[v >> 18];
    out += B64_ALPHABET[(v >> 12) & 63];
    out += B64_ALPHABET[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

}  // namespace

struct hist_t {
  std::vector<bin_t> bins;
  size_t last_hit = 0;  // index of the bin an insert found last
  // The value range of the bin inserted into last: a value inside it needs no bin computed.
  // Positive bins are [lo, hi), negative ones (lo, hi]; lo > hi means no range yet.
  double last_lo = 1, last_hi = 0;
  bool last_negative = false;
  uint16_t last_key = 0;
};

namespace {

// Adds count to the bin of key, creating it in order. Returns the bin's new count.
uint64_t insert_key(hist_t *h, uint16_t key, uint64_t count) {
  auto &bins = h->bins;
  if (h->last_hit < bins.size() && bins[h->last_hit].key == key) {
    bin_t &b = bins[h->last_hit];
    b.count = add_saturating(b.count, count);
    return b.count;
  }
  auto it = std::lower_bound(bins.begin(), bins.end(), key,
                             [](const bin_t &b, uint16_t k) { return b.key < k; });
  if (it == bins.end() || it->key != key) it = bins.insert(it, bin_t{0, key});
  h->last_hit = size_t(it - bins.begin());
  it->count = add_saturating(it->count, count);
  return it->count;
}

// dst += src as a merge done from the back, so that dst grows once and nothing is copied twice.
int accumulate_one(hist_t *dst, const std::vector<bin_t> &src) {
  auto &d = dst->bins;
  size_t n = d.size(), m = src.size();
  size_t i = 0, j = 0, added = 0;
  while (i < n && j < m) {
    if (d[i].key < src[j].key) {
      i++;
    } else if (d[i].key > src[j].key) {
      added++;
      j++;
    } else {
      i++;
      j++;
    }
  }
  added += m - j;
  int changed = 0;
  d.resize(n + added);
  size_t out = n + added;
  i = n;
  j = m;
  while (j > 0) {
    const bin_t &s = src[j - 1];
    if (i > 0 && d[i - 1].key > s.key) {
      d[--out] = d[--i];
    } else if (i > 0 && d[i - 1].key == s.key) {
      uint64_t before = d[i - 1].count;
      d[--out] = bin_t{add_saturating(before, s.count), s.key};
      if (d[out].count != before) changed++;
      i--;
      j--;
    } else {
      d[--out] = s;
      changed++;
      j--;
    }
  }
  // Bins of dst below the smallest source key are already in place (out == i here).
  dst->last_hit = 0;
  return changed;
}

// Whether every bin of src is present in bins with at least its count.
bool covers(const std::vector<bin_t> &bins, const std::vector<bin_t> &src) {
  size_t i = 0;
  for (const bin_t &s : src) {
    while (i < bins.size() && bins[i].key < s.key)
      i++;
    if (i == bins.size() || bins[i].key != s.key || bins[i].count < s.count) return false;
  }
  return true;
}

// bins -= src, where covers(bins, src) holds; drops bins that reach zero.
int subtract_covered(std::vector<bin_t> &bins, const std::vector<bin_t> &src) {
  int changed = 0;
  size_t i = 0;
  for (const bin_t &s : src) {
    while (bins[i].key < s.key)
      i++;
    bins[i].count -= s.count;
    if (s.count) changed++;
  }
  bins.erase(std::remove_if(bins.begin(), bins.end(), [](const bin_t &b) { return b.count == 0; }),
             bins.end());
  return changed;
}

double quantile_in_bin(uint16_t key, uint64_t count, double target, double below) {
  double lo, hi;
  bin_range(key, &lo, &hi);
  double frac = (target - below) / double(count);
  frac = std::clamp(frac, 0.0, 1.0);
  return lo + (hi - lo) * frac;
}

}  // namespace

hist_t *hist_alloc(void) {
  return new hist_t();
}

void hist_free(hist_t *hist) {
  delete hist;
}

hist_t *hist_clone(const hist_t *hist) {
  if (!hist) return nullptr;
  hist_t *c = new hist_t();
  c->bins = hist->bins;
  return c;
}

bool hist_bucket_valid(hist_bucket_t b) {
  if (b.val == 0) return b.exp == 0;
  int digits = b.val < 0 ? -b.val : b.val;
  return digits >= 10 && digits <= 99;  // every int8 exponent is in range
}

hist_bucket_t hist_bucket_of(double value) {
  uint16_t key;
  if (!key_of_value(value, &key)) return {0, 0};
  return bucket_of_key(key);
}

double hist_bucket_to_double(hist_bucket_t b) {
  if (!hist_bucket_valid(b) || b.val == 0) return 0;
  return b.val < 0 ? -edge(-b.val, b.exp) : edge(b.val, b.exp);
}

double hist_bucket_width(hist_bucket_t b) {
  if (!hist_bucket_valid(b) || b.val == 0) return 0;
  double lo, hi;
  bin_range(key_of_bucket(b), &lo, &hi);
  return hi - lo;
}

double hist_bucket_midpoint(hist_bucket_t b) {
  if (!hist_bucket_valid(b) || b.val == 0) return 0;
  double lo, hi;
  bin_range(key_of_bucket(b), &lo, &hi);
  return lo + (hi - lo) / 2;
}

uint64_t hist_insert(hist_t *hist, double value, uint64_t count) {
  if (!hist || count == 0) return 0;
  bool in_last = hist->last_negative ? value > hist->last_lo && value <= hist->last_hi
                                     : value >= hist->last_lo && value < hist->last_hi;
  if (in_last) return insert_key(hist, hist->last_key, count);
  uint16_t key;
  if (!key_of_value(value, &key)) return 0;
  if (key != ZERO_KEY) {
    bin_range(key, &hist->last_lo, &hist->last_hi);
    hist->last_negative = key < ZERO_KEY;
    hist->last_key = key;
  }
  return insert_key(hist, key, count);
}

uint64_t hist_insert_bucket(hist_t *hist, hist_bucket_t bucket, uint64_t count) {
  if (!hist || count == 0 || !hist_bucket_valid(bucket)) return 0;
  return insert_key(hist, key_of_bucket(bucket), count);
}

uint64_t hist_sample_count(const hist_t *hist) {
  if (!hist) return 0;
  uint64_t n = 0;
  for (const bin_t &b : hist->bins)
    n = add_saturating(n, b.count);
  return n;
}

int hist_bucket_count(const hist_t *hist) {
  return hist ? int(hist->bins.size()) : 0;
}

bool hist_bucket_idx(const hist_t *hist, int i, hist_bucket_t *bucket, uint64_t *count) {
  if (!hist || i < 0 || size_t(i) >= hist->bins.size()) return false;
  if (bucket) *bucket = bucket_of_key(hist->bins[i].key);
  if (count) *count = hist->bins[i].count;
  return true;
}

int hist_accumulate(hist_t *dst, const hist_t *const *sources, int count) {
  if (!dst || count < 0 || (count > 0 && !sources)) return -1;
  for (int s = 0; s < count; s++)
    if (!sources[s]) return -1;
  int changed = 0;
  for (int s = 0; s < count; s++) {
    if (sources[s] == dst) {
      std::vector<bin_t> copy = dst->bins;  // merging a histogram into itself
      changed += accumulate_one(dst, copy);
    } else {
      changed += accumulate_one(dst, sources[s]->bins);
    }
  }
  return changed;
}

int hist_subtract(hist_t *dst, const hist_t *const *sources, int count) {
  if (!dst || count < 0 || (count > 0 && !sources)) return -1;
  for (int s = 0; s < count; s++)
    if (!sources[s]) return -1;
  if (count == 1) {
    // The common case checks first and then subtracts in place: nothing is copied.
    std::vector<bin_t> self;
    const std::vector<bin_t> *src = &sources[0]->bins;
    if (sources[0] == dst) src = &(self = dst->bins);
    if (!covers(dst->bins, *src)) return -1;
    dst->last_hit = 0;
    return subtract_covered(dst->bins, *src);
  }
  // Several sources may each fit while their sum does not: work on a copy.
  std::vector<bin_t> work = dst->bins;
  int changed = 0;
  for (int s = 0; s < count; s++) {
    const std::vector<bin_t> &src = sources[s] == dst ? dst->bins : sources[s]->bins;
    if (!covers(work, src)) return -1;
    changed += subtract_covered(work, src);
  }
  dst->bins.swap(work);
  dst->last_hit = 0;
  return changed;
}

void hist_clear(hist_t *hist) {
  if (!hist) return;
  hist->bins.clear();
  hist->last_hit = 0;
}

bool hist_equal(const hist_t *a, const hist_t *b) {
  if (!a || !b) return a == b;
  if (a->bins.size() != b->bins.size()) return false;
  for (size_t i = 0; i < a->bins.size(); i++)
    if (a->bins[i].key != b->bins[i].key || a->bins[i].count != b->bins[i].count) return false;
  return true;
}

int hist_approx_quantile(const hist_t *hist, const double *q_in, int count, double *q_out) {
  if (!hist || count < 0 || (count > 0 && (!q_in || !q_out))) return -1;
  for (int i = 0; i < count; i++)
    if (!(q_in[i] >= 0.0 && q_in[i] <= 1.0)) return -1;  // NaN fails too
  uint64_t total = hist_sample_count(hist);
  if (total == 0) {
    for (int i = 0; i < count; i++)
      q_out[i] = std::numeric_limits<double>::quiet_NaN();
    return -1;
  }
  const auto &bins = hist->bins;
  // A walk that continues from the previous fraction while they ascend, else starts over.
  size_t idx = 0;
  double below = 0;  // samples in bins before idx
  double prev_target = -1;
  for (int i = 0; i < count; i++) {
    double target = q_in[i] * double(total);
    if (target < prev_target) {
      idx = 0;
      below = 0;
    }
    prev_target = target;
    while (idx + 1 < bins.size() && below + double(bins[idx].count) < target) {
      below += double(bins[idx].count);
      idx++;
    }
    q_out[i] = quantile_in_bin(bins[idx].key, bins[idx].count, target, below);
  }
  return 0;
}

double hist_approx_sum(const hist_t *hist) {
  if (!hist) return 0;
  double sum = 0;
  for (const bin_t &b : hist->bins)
    sum += hist_bucket_midpoint(bucket_of_key(b.key)) * double(b.count);
  return sum;
}

double hist_approx_mean(const hist_t *hist) {
  uint64_t n = hist_sample_count(hist);
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  return hist_approx_sum(hist) / double(n);
}

ssize_t hist_serialize_estimate(const hist_t *hist) {
  if (!hist) return -1;
  size_t size = 1 + varint_size(hist->bins.size());
  for (const bin_t &b : hist->bins)
    size += 2 + varint_size(b.count);
  return ssize_t(size);
}

ssize_t hist_serialize(const hist_t *hist, void *buf, size_t len) {
  ssize_t need = hist_serialize_estimate(hist);
  if (need < 0 || !buf || len < size_t(need)) return -1;
  uint8_t *p = static_cast<uint8_t *>(buf);
  *p++ = FORMAT_VERSION;
  p = varint_put(p, hist->bins.size());
  for (const bin_t &b : hist->bins) {
    hist_bucket_t bucket = bucket_of_key(b.key);
    *p++ = uint8_t(bucket.val);
    *p++ = uint8_t(bucket.exp);
    p = varint_put(p, b.count);
  }
  return p - static_cast<uint8_t *>(buf);
}

ssize_t hist_deserialize(hist_t **out, const void *buf, size_t len) {
  if (!out) return -1;
  *out = nullptr;
  if (!buf || len < 2) return -1;
  const uint8_t *start = static_cast<const uint8_t *>(buf);
  const uint8_t *p = start, *end = start + len;
  if (*p++ != FORMAT_VERSION) return -1;
  uint64_t nbins;
  if (!varint_get(p, end, &nbins)) return -1;
  // Checked before allocating: each bin takes at least MIN_BIN_BYTES of the input.
  if (nbins > uint64_t(HIST_MAX_BINS) || nbins > size_t(end - p) / MIN_BIN_BYTES) return -1;
  hist_t *h = new hist_t();
  h->bins.reserve(nbins);
  for (uint64_t i = 0; i < nbins; i++) {
    if (end - p < 2) break;
    hist_bucket_t bucket{int8_t(p[0]), int8_t(p[1])};
    p += 2;
    uint64_t count;
    if (!hist_bucket_valid(bucket) || !varint_get(p, end, &count) || count == 0) break;
    uint16_t key = key_of_bucket(bucket);
    if (!h->bins.empty() && h->bins.back().key >= key) break;  // strictly ascending
    h->bins.push_back(bin_t{count, key});
  }
  if (h->bins.size() != nbins) {
    delete h;
    return -1;
  }
  *out = h;
  return p - start;
}

std::string hist_serialize_b64(const hist_t *hist) {
  ssize_t need = hist_serialize_estimate(hist);
  if (need < 0) return std::string();
  std::vector<uint8_t> raw(need);
  ssize_t n = hist_serialize(hist, raw.data(), raw.size());
  return b64_encode(raw.data(), size_t(n));
}

ssize_t hist_deserialize_b64(hist_t **out, const char *b64, size_t len) {
  if (!out) return -1;
  *out = nullptr;
  if (!b64) return -1;
  std::vector<uint8_t> raw;
  if (!b64_decode(b64, len, &raw)) return -1;
  hist_t *h = nullptr;
  ssize_t used = hist_deserialize(&h, raw.data(), raw.size());
  if (used < 0) return -1;
  if (size_t(used) != raw.size()) {  // trailing bytes: not one histogram
    hist_free(h);
    return -1;
  }
  *out = h;
  return used;
}
