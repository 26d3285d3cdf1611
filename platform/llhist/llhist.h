// Log-linear histograms.
//
// A value is counted in the bin of its two significant decimal digits and its decimal exponent:
// 0.0123 falls in the bin [0.012, 0.013), -47 in (-48, -47], 0 in a bin of its own. Positive and
// negative values are kept apart; a bin holds a 64-bit count.
//
// A hist_t belongs to one thread at a time: the functions do no locking. Ownership: every
// hist_t returned by hist_alloc, hist_clone or hist_deserialize* is the caller's to hist_free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct hist_t;

// A bin: val in [-99, 99] (|val| >= 10 unless the bin is zero), exp the power of ten, so that
// the bin's lower magnitude is val * 10^(exp - 1). val 0 is the zero bin.
struct hist_bucket_t {
  int8_t val;
  int8_t exp;
};

hist_t *hist_alloc(void);
void hist_free(hist_t *hist);  // null is fine
hist_t *hist_clone(const hist_t *hist);

hist_bucket_t hist_bucket_of(double value);
double hist_bucket_to_double(hist_bucket_t bucket);    // lower magnitude edge
double hist_bucket_width(hist_bucket_t bucket);        // 0 for the zero bin

// Adds count samples of value. Returns the new count of its bin (saturating), 0 when value is
// NaN or infinite (such values are not counted).
uint64_t hist_insert(hist_t *hist, double value, uint64_t count);
uint64_t hist_insert_bucket(hist_t *hist, hist_bucket_t bucket, uint64_t count);

uint64_t hist_sample_count(const hist_t *hist);
int hist_bucket_count(const hist_t *hist);  // bins with a non-zero count
// The i-th non-empty bin in ascending value order; false when i is out of range.
bool hist_bucket_idx(const hist_t *hist, int i, hist_bucket_t *bucket, uint64_t *count);

// dst += each of sources[0..count). Returns the number of bins changed, or -1 on a null argument.
int hist_accumulate(hist_t *dst, const hist_t *const *sources, int count);
// dst -= each of sources[0..count). When a bin would go negative the subtraction stops, dst is
// left unchanged, and the result is -1. Otherwise returns the number of bins changed.
int hist_subtract(hist_t *dst, const hist_t *const *sources, int count);
void hist_clear(hist_t *hist);
bool hist_equal(const hist_t *a, const hist_t *b);

// Approximate quantiles: for each fraction q_in[i] in [0, 1] (ascending), q_out[i] is the value
// below which that fraction of samples lies, interpolated linearly within its bin. Returns 0 on
// success; -1 for an empty histogram (q_out then holds NaN) or a fraction outside [0, 1] or not
// ascending (q_out untouched).
int hist_approx_quantile(const hist_t *hist, const double *q_in, int count, double *q_out);
double hist_approx_mean(const hist_t *hist);
double hist_approx_sum(const hist_t *hist);

// Serialisation: a compact binary (described in docs/metric-lines.md) and its base64 form.
// serialize returns the bytes written (the exact size is hist_serialize_estimate), -1 when the
// buffer is too small. deserialize returns the bytes consumed (> 0) and sets *out to a new
// histogram, or -1 on malformed input (and *out is left null).
ssize_t hist_serialize_estimate(const hist_t *hist);
ssize_t hist_serialize(const hist_t *hist, void *buf, size_t len);
ssize_t hist_deserialize(hist_t **out, const void *buf, size_t len);
std::string hist_serialize_b64(const hist_t *hist);
ssize_t hist_deserialize_b64(hist_t **out, const char *b64, size_t len);
