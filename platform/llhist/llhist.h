// Log-linear histograms.
//
// A value is counted in the bin of its two significant decimal digits and its decimal exponent:
// 0.0123 falls in the bin [0.012, 0.013), -47 in (-48, -47], 0 in a bin of its own. Positive and
// negative values are kept apart; a bin holds a 64-bit count (adds saturate at 2^64 - 1).
//
// A bin edge is the double nearest to its decimal value, so 0.3 (the double) lands in the bin
// [0.30, 0.31) although the double is a hair below 3/10. Magnitudes below 1e-128 count in the
// zero bin; magnitudes of 1e128 and above, NaN and infinities are not counted.
//
// A hist_t belongs to one thread at a time: the functions do no locking. Ownership: every
// hist_t returned by hist_alloc, hist_clone or hist_deserialize* is the caller's to hist_free.
// Functions given a null histogram do nothing and return 0, false, NaN or -1 as stated.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct hist_t;

// A bin: val in [-99, 99] (|val| >= 10 unless the bin is zero), exp the power of ten, so that
// the bin's lower magnitude is val * 10^(exp - 1). val 0 (with exp 0) is the zero bin.
struct hist_bucket_t {
  int8_t val;
  int8_t exp;
};

// The number of distinct bins: 90 per decade for each sign over 256 decades, and zero.
constexpr int HIST_MAX_BINS = 2 * 90 * 256 + 1;

hist_t *hist_alloc(void);
void hist_free(hist_t *hist);            // null is fine
hist_t *hist_clone(const hist_t *hist);  // null for a null hist

hist_bucket_t hist_bucket_of(double value);  // the zero bin for values that are not counted
bool hist_bucket_valid(hist_bucket_t bucket);
double hist_bucket_to_double(hist_bucket_t bucket);  // lower magnitude edge (-47 for (-48, -47])
double hist_bucket_width(hist_bucket_t bucket);      // 0 for the zero bin
double hist_bucket_midpoint(hist_bucket_t bucket);   // the value a bin stands for in sums

// Adds count samples of value. Returns the new count of its bin (saturating), 0 when value is
// NaN, infinite or too large (such values are not counted) or count is 0.
uint64_t hist_insert(hist_t *hist, double value, uint64_t count);
// The same for a bin given directly; 0 for an invalid bucket.
uint64_t hist_insert_bucket(hist_t *hist, hist_bucket_t bucket, uint64_t count);

uint64_t hist_sample_count(const hist_t *hist);  // saturating sum of the bins
int hist_bucket_count(const hist_t *hist);       // bins with a non-zero count
// The i-th non-empty bin in ascending value order; false when i is out of range.
bool hist_bucket_idx(const hist_t *hist, int i, hist_bucket_t *bucket, uint64_t *count);

// dst += each of sources[0..count). Returns the number of dst bins whose count changed, or -1
// on a null argument (dst then unchanged). A source may be dst itself (it doubles).
int hist_accumulate(hist_t *dst, const hist_t *const *sources, int count);
// dst -= each of sources[0..count). When a bin would go negative (or a source holds a bin that
// dst lacks) nothing is subtracted, dst is left unchanged, and the result is -1; also -1 on a
// null argument. Otherwise returns the number of dst bins whose count changed; bins that reach
// zero are removed.
int hist_subtract(hist_t *dst, const hist_t *const *sources, int count);
void hist_clear(hist_t *hist);
bool hist_equal(const hist_t *a, const hist_t *b);  // same bins with the same counts

// Approximate quantiles: for each fraction q_in[i] in [0, 1] (any order), q_out[i] is the value
// below which that fraction of samples lies, interpolated linearly within its bin (the zero bin
// is the point 0). Quantile 0 is the lowest bin's lower value edge, 1 the highest bin's upper
// edge. Returns 0 on success; -1 for an empty histogram (every q_out then holds NaN), and -1
// with q_out untouched for a null argument or a fraction outside [0, 1] or NaN.
int hist_approx_quantile(const hist_t *hist, const double *q_in, int count, double *q_out);
// Sum and mean of the samples, each bin counted at its midpoint; NaN for an empty histogram's
// mean, 0 for its sum.
double hist_approx_mean(const hist_t *hist);
double hist_approx_sum(const hist_t *hist);

// Serialisation: a compact binary (described in docs/histogram-format.md) and its base64 form
// (standard alphabet, padded).
// hist_serialize_estimate gives the exact size of hist_serialize's output (-1 for null).
// hist_serialize returns the bytes written, -1 when the buffer is too small or hist is null.
// hist_deserialize reads one histogram from the start of buf: it returns the bytes consumed
// (> 0; bytes after them are not looked at) and sets *out to a new histogram, or returns -1 on
// malformed or truncated input and sets *out to null. It never reads past buf + len and
// allocates no more than a small multiple of len.
// hist_deserialize_b64 decodes base64 text (padding optional, nothing but the alphabet
// allowed) that must hold exactly one serialised histogram; it returns the decoded byte count
// (> 0) on success and -1 (with *out null) otherwise.
ssize_t hist_serialize_estimate(const hist_t *hist);
ssize_t hist_serialize(const hist_t *hist, void *buf, size_t len);
ssize_t hist_deserialize(hist_t **out, const void *buf, size_t len);
std::string hist_serialize_b64(const hist_t *hist);  // empty for a null hist
ssize_t hist_deserialize_b64(hist_t **out, const char *b64, size_t len);
