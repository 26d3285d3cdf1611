#include "llhist/llhist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct hist_deleter {
  void operator()(hist_t *h) const { hist_free(h); }
};
using hist_ptr = std::unique_ptr<hist_t, hist_deleter>;

hist_ptr make_hist(std::initializer_list<std::pair<double, uint64_t>> samples) {
  hist_ptr h(hist_alloc());
  for (auto [v, n] : samples)
    hist_insert(h.get(), v, n);
  return h;
}

double quantile(const hist_t *h, double q) {
  double out = 0;
  EXPECT_EQ(hist_approx_quantile(h, &q, 1, &out), 0);
  return out;
}

std::vector<uint8_t> serialize(const hist_t *h) {
  std::vector<uint8_t> buf(hist_serialize_estimate(h));
  EXPECT_EQ(hist_serialize(h, buf.data(), buf.size()), ssize_t(buf.size()));
  return buf;
}

}  // namespace

TEST(llhist, bins_have_two_significant_digits_and_keep_the_sign) {
  struct {
    double value;
    int val, exp;
  } cases[] = {
      {0.0123, 12, -2}, {-47, -47, 1},    {0, 0, 0},     {1, 10, 0},       {9.99, 99, 0},
      {10, 10, 1},      {1000, 10, 3},    {0.3, 30, -1}, {0.29, 29, -1},   {123456, 12, 5},
      {1e-130, 0, 0},   {-1e-5, -10, -5}, {99.5, 99, 1}, {1e127, 10, 127},
  };
  for (const auto &c : cases) {
    hist_bucket_t b = hist_bucket_of(c.value);
    EXPECT_EQ(b.val, c.val) << c.value;
    EXPECT_EQ(b.exp, c.exp) << c.value;
  }
  EXPECT_DOUBLE_EQ(hist_bucket_to_double({12, -2}), 0.012);
  EXPECT_DOUBLE_EQ(hist_bucket_width({12, -2}), 0.001);
  EXPECT_DOUBLE_EQ(hist_bucket_to_double({-47, 1}), -47);
  EXPECT_DOUBLE_EQ(hist_bucket_width({-47, 1}), 1);
}

TEST(llhist, every_bin_edge_falls_in_the_bin_that_starts_there) {
  for (int exp = -127; exp <= 127; exp++) {
    for (int val = 10; val <= 99; val++) {
      for (int sign : {1, -1}) {
        hist_bucket_t b{int8_t(sign * val), int8_t(exp)};
        hist_bucket_t back = hist_bucket_of(hist_bucket_to_double(b));
        ASSERT_EQ(back.val, b.val) << val << "e" << exp;
        ASSERT_EQ(back.exp, b.exp) << val << "e" << exp;
        // The double just below the edge's magnitude belongs to the bin before.
        double edge = hist_bucket_to_double(b);
        hist_bucket_t prev = hist_bucket_of(std::nextafter(edge, 0.0));
        ASSERT_FALSE(prev.val == b.val && prev.exp == b.exp) << val << "e" << exp;
      }
    }
  }
}

TEST(llhist, repeated_inserts_near_edges_land_where_the_bin_computation_says) {
  // Inserting remembers the last bin's range; values just inside and outside it must still
  // land in their own bins.
  std::vector<double> values;
  for (double edge : {0.3, 1.0, 99.0, 100.0, -47.0, -48.0, 1e-128, 9.9e127})
    for (double v : {edge, std::nextafter(edge, 0.0), std::nextafter(edge, 2 * edge), edge})
      values.push_back(v);
  values.push_back(0.0);
  values.push_back(-0.0);
  hist_ptr inserted(hist_alloc()), computed(hist_alloc());
  for (double v : values) {
    hist_insert(inserted.get(), v, 1);
    hist_insert_bucket(computed.get(), hist_bucket_of(v), 1);
  }
  EXPECT_TRUE(hist_equal(inserted.get(), computed.get()));
}

TEST(llhist, values_that_cannot_be_binned_are_not_counted) {
  hist_ptr h(hist_alloc());
  EXPECT_EQ(hist_insert(h.get(), NAN, 1), 0u);
  EXPECT_EQ(hist_insert(h.get(), INFINITY, 1), 0u);
  EXPECT_EQ(hist_insert(h.get(), -INFINITY, 1), 0u);
  EXPECT_EQ(hist_insert(h.get(), 1e200, 1), 0u);
  EXPECT_EQ(hist_insert(h.get(), 5, 0), 0u);
  EXPECT_EQ(hist_insert_bucket(h.get(), {5, 0}, 1), 0u);
  EXPECT_EQ(hist_insert_bucket(h.get(), {0, 3}, 1), 0u);
  EXPECT_EQ(hist_insert_bucket(h.get(), {-100, 0}, 1), 0u);
  EXPECT_EQ(hist_sample_count(h.get()), 0u);
  EXPECT_EQ(hist_bucket_count(h.get()), 0);
}

TEST(llhist, insert_keeps_bins_sorted_and_counts_saturate) {
  hist_ptr h(hist_alloc());
  for (double v : {5.0, -3.0, 0.0, 120.0, 5.05, -300.0, 0.0})
    hist_insert(h.get(), v, 1);
  EXPECT_EQ(hist_insert(h.get(), 5.0, 2), 4u);  // 5, 5.05 and these two share [5.0, 5.1)
  ASSERT_EQ(hist_bucket_count(h.get()), 5);
  double prev = -INFINITY;
  for (int i = 0; i < hist_bucket_count(h.get()); i++) {
    hist_bucket_t b;
    uint64_t n;
    ASSERT_TRUE(hist_bucket_idx(h.get(), i, &b, &n));
    double lo =
        b.val < 0 ? hist_bucket_to_double(b) - hist_bucket_width(b) : hist_bucket_to_double(b);
    EXPECT_GT(lo, prev);
    prev = lo;
  }
  EXPECT_FALSE(hist_bucket_idx(h.get(), 5, nullptr, nullptr));
  EXPECT_EQ(hist_sample_count(h.get()), 9u);

  EXPECT_EQ(hist_insert(h.get(), 7, UINT64_MAX - 1), UINT64_MAX - 1);
  EXPECT_EQ(hist_insert(h.get(), 7, 5), UINT64_MAX);
  EXPECT_EQ(hist_sample_count(h.get()), UINT64_MAX);
}

TEST(llhist, accumulate_merges_bins_of_every_source) {
  hist_ptr dst = make_hist({{1, 1}, {10, 2}});
  hist_ptr a = make_hist({{10, 3}, {-5, 1}});
  hist_ptr b = make_hist({{1000, 4}, {1, 1}});
  const hist_t *sources[] = {a.get(), b.get()};
  EXPECT_EQ(hist_accumulate(dst.get(), sources, 2), 4);
  hist_ptr expect = make_hist({{1, 2}, {10, 5}, {-5, 1}, {1000, 4}});
  EXPECT_TRUE(hist_equal(dst.get(), expect.get()));

  // Into an empty histogram, and a histogram into itself.
  hist_ptr empty(hist_alloc());
  const hist_t *one[] = {expect.get()};
  EXPECT_EQ(hist_accumulate(empty.get(), one, 1), 4);
  EXPECT_TRUE(hist_equal(empty.get(), expect.get()));
  const hist_t *self[] = {empty.get()};
  hist_accumulate(empty.get(), self, 1);
  EXPECT_EQ(hist_sample_count(empty.get()), 2 * hist_sample_count(expect.get()));

  EXPECT_EQ(hist_accumulate(nullptr, one, 1), -1);
  const hist_t *with_null[] = {a.get(), nullptr};
  EXPECT_EQ(hist_accumulate(dst.get(), with_null, 2), -1);
  EXPECT_TRUE(hist_equal(dst.get(), make_hist({{1, 2}, {10, 5}, {-5, 1}, {1000, 4}}).get()));
}

TEST(llhist, accumulate_matches_inserting_the_same_samples) {
  std::mt19937_64 rng(7);
  std::lognormal_distribution<double> dist(0, 3);
  hist_ptr all(hist_alloc()), sum(hist_alloc());
  for (int part = 0; part < 20; part++) {
    hist_ptr h(hist_alloc());
    for (int i = 0; i < 200; i++) {
      double v = dist(rng) * (i % 3 == 0 ? -1 : 1);
      hist_insert(h.get(), v, 1);
      hist_insert(all.get(), v, 1);
    }
    const hist_t *src[] = {h.get()};
    hist_accumulate(sum.get(), src, 1);
  }
  EXPECT_TRUE(hist_equal(all.get(), sum.get()));
  EXPECT_EQ(hist_sample_count(sum.get()), 4000u);
}

TEST(llhist, subtract_removes_counts_and_drops_emptied_bins) {
  hist_ptr dst = make_hist({{1, 3}, {10, 2}, {-5, 1}});
  hist_ptr a = make_hist({{1, 1}, {10, 2}});
  const hist_t *src[] = {a.get()};
  EXPECT_EQ(hist_subtract(dst.get(), src, 1), 2);
  EXPECT_TRUE(hist_equal(dst.get(), make_hist({{1, 2}, {-5, 1}}).get()));
  EXPECT_EQ(hist_bucket_count(dst.get()), 2);

  // (a + b) - a - b is empty, whichever order.
  hist_ptr b = make_hist({{7, 4}, {0, 2}});
  hist_ptr sum(hist_clone(a.get()));
  const hist_t *bsrc[] = {b.get()};
  hist_accumulate(sum.get(), bsrc, 1);
  const hist_t *both[] = {b.get(), a.get()};
  EXPECT_GE(hist_subtract(sum.get(), both, 2), 0);
  EXPECT_EQ(hist_bucket_count(sum.get()), 0);
}

TEST(llhist, subtract_that_would_go_negative_fails_and_leaves_dst_unchanged) {
  hist_ptr dst = make_hist({{1, 3}, {10, 2}});
  hist_ptr before(hist_clone(dst.get()));
  struct {
    const char *why;
    hist_ptr src;
  } cases[] = {
      {"a bin with too few samples", make_hist({{1, 1}, {10, 3}})},
      {"a bin dst does not have", make_hist({{1, 1}, {500, 1}})},
  };
  for (auto &c : cases) {
    const hist_t *src[] = {c.src.get()};
    EXPECT_EQ(hist_subtract(dst.get(), src, 1), -1) << c.why;
    EXPECT_TRUE(hist_equal(dst.get(), before.get())) << c.why;
  }
  // Each source fits on its own, their sum does not: still nothing is subtracted.
  hist_ptr two = make_hist({{1, 2}});
  const hist_t *pair[] = {two.get(), two.get()};
  EXPECT_EQ(hist_subtract(dst.get(), pair, 2), -1);
  EXPECT_TRUE(hist_equal(dst.get(), before.get()));
  const hist_t *null_src[] = {nullptr};
  EXPECT_EQ(hist_subtract(dst.get(), null_src, 1), -1);
  EXPECT_TRUE(hist_equal(dst.get(), before.get()));
}

TEST(llhist, quantiles_of_a_uniform_distribution) {
  hist_ptr h(hist_alloc());
  for (int v = 100; v < 1000; v++)
    hist_insert(h.get(), v, 1);  // bins of width 10, 10 each
  const double q[] = {0, 0.25, 0.5, 0.9, 0.99, 1};
  double out[6];
  ASSERT_EQ(hist_approx_quantile(h.get(), q, 6, out), 0);
  EXPECT_DOUBLE_EQ(out[0], 100);
  EXPECT_NEAR(out[1], 325, 1e-9);
  EXPECT_NEAR(out[2], 550, 1e-9);
  EXPECT_NEAR(out[3], 910, 1e-9);
  EXPECT_NEAR(out[4], 991, 1e-9);
  EXPECT_DOUBLE_EQ(out[5], 1000);
  EXPECT_NEAR(hist_approx_mean(h.get()), 550, 1e-9);  // bin midpoints: 0.5 above the true mean

  // Fractions in any order give the same answers.
  const double rq[] = {0.9, 0.25};
  double rout[2];
  ASSERT_EQ(hist_approx_quantile(h.get(), rq, 2, rout), 0);
  EXPECT_DOUBLE_EQ(rout[0], out[3]);
  EXPECT_DOUBLE_EQ(rout[1], out[1]);
}

TEST(llhist, quantiles_of_a_single_value_stay_in_its_bin) {
  hist_ptr h = make_hist({{42, 10}});
  for (double q : {0.0, 0.01, 0.5, 0.99, 1.0}) {
    double v = quantile(h.get(), q);
    EXPECT_GE(v, 42);
    EXPECT_LE(v, 43);
  }
  EXPECT_DOUBLE_EQ(quantile(h.get(), 0.5), 42.5);
  hist_ptr zero = make_hist({{0, 3}});
  EXPECT_EQ(quantile(zero.get(), 0.5), 0);
}

TEST(llhist, quantiles_of_negative_values_run_from_the_most_negative) {
  hist_ptr h = make_hist({{-47, 1}, {-5, 1}, {0, 1}, {3, 1}});
  EXPECT_DOUBLE_EQ(quantile(h.get(), 0), -48);
  EXPECT_DOUBLE_EQ(quantile(h.get(), 0.25), -47);
  EXPECT_NEAR(quantile(h.get(), 0.375), -5.05, 1e-12);  // halfway through (-5.1, -5.0]
  EXPECT_DOUBLE_EQ(quantile(h.get(), 0.6), 0);
  EXPECT_DOUBLE_EQ(quantile(h.get(), 1), 3.1);
  hist_ptr neg = make_hist({{-0.5, 100}});
  EXPECT_NEAR(quantile(neg.get(), 0.5), -0.505, 1e-12);
  EXPECT_LT(hist_approx_mean(neg.get()), -0.5);
}

TEST(llhist, quantile_rejects_bad_fractions_and_empty_histograms) {
  hist_ptr h = make_hist({{1, 1}});
  double out[2] = {123, 456};
  const double bad[][2] = {{0.5, 1.5}, {-0.1, 0.5}, {NAN, 0.5}};
  for (const auto &q : bad) {
    EXPECT_EQ(hist_approx_quantile(h.get(), q, 2, out), -1);
    EXPECT_EQ(out[0], 123);
    EXPECT_EQ(out[1], 456);
  }
  hist_ptr empty(hist_alloc());
  const double q = 0.5;
  EXPECT_EQ(hist_approx_quantile(empty.get(), &q, 1, out), -1);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_TRUE(std::isnan(hist_approx_mean(empty.get())));
  EXPECT_EQ(hist_approx_sum(empty.get()), 0);
}

TEST(llhist, serialisation_has_the_documented_layout) {
  hist_ptr empty(hist_alloc());
  EXPECT_EQ(serialize(empty.get()), (std::vector<uint8_t>{0x01, 0x00}));
  EXPECT_EQ(hist_serialize_b64(empty.get()), "AQA=");

  hist_ptr h = make_hist({{-47, 1}, {0, 3}, {0.0123, 300}});
  EXPECT_EQ(serialize(h.get()), (std::vector<uint8_t>{0x01, 0x03, 0xD1, 0x01, 0x01, 0x00, 0x00,
                                                      0x03, 0x0C, 0xFE, 0xAC, 0x02}));
  EXPECT_EQ(hist_serialize_b64(h.get()), "AQPRAQEAAAMM/qwC");

  uint8_t small[4];
  EXPECT_EQ(hist_serialize(h.get(), small, sizeof small), -1);
}

TEST(llhist, serialisation_round_trips_binary_and_base64) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> mantissa(-1, 1);
  std::uniform_int_distribution<int> exponent(-130, 130);
  hist_ptr large(hist_alloc());
  for (int i = 0; i < 20000; i++)
    hist_insert(large.get(), mantissa(rng) * std::pow(10.0, exponent(rng)), 1 + (rng() >> 40));
  hist_insert(large.get(), 3, UINT64_MAX);  // a ten-byte count
  ASSERT_GT(hist_bucket_count(large.get()), 15000);

  hist_ptr empty(hist_alloc());
  hist_ptr single = make_hist({{-1e-100, 1}});
  for (const hist_t *h : {empty.get(), single.get(), large.get()}) {
    std::vector<uint8_t> raw = serialize(h);
    hist_t *back = nullptr;
    EXPECT_EQ(hist_deserialize(&back, raw.data(), raw.size()), ssize_t(raw.size()));
    EXPECT_TRUE(hist_equal(h, back));
    hist_free(back);

    std::string text = hist_serialize_b64(h);
    back = nullptr;
    EXPECT_EQ(hist_deserialize_b64(&back, text.data(), text.size()), ssize_t(raw.size()));
    EXPECT_TRUE(hist_equal(h, back));
    hist_free(back);

    // Unpadded base64 decodes the same; a binary with bytes after it reports what it used.
    while (!text.empty() && text.back() == '=')
      text.pop_back();
    EXPECT_EQ(hist_deserialize_b64(&back, text.data(), text.size()), ssize_t(raw.size()));
    hist_free(back);
    raw.push_back(0x55);
    EXPECT_EQ(hist_deserialize(&back, raw.data(), raw.size()), ssize_t(raw.size() - 1));
    hist_free(back);
  }
}

TEST(llhist, malformed_input_is_rejected) {
  struct {
    const char *why;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"version only", {0x01}},
      {"unknown version", {0x02, 0x00}},
      {"bin count beyond the input", {0x01, 0x02, 0x0C, 0xFE, 0x01}},
      {"bin count beyond every bin", {0x01, 0x82, 0xE8, 0x02}},
      {"truncated bin", {0x01, 0x01, 0x0C, 0xFE}},
      {"truncated count", {0x01, 0x01, 0x0C, 0xFE, 0x80}},
      {"one-digit bin", {0x01, 0x01, 0x05, 0x00, 0x01}},
      {"three-digit bin", {0x01, 0x01, 0x9C, 0x00, 0x01}},  // -100
      {"zero bin with an exponent", {0x01, 0x01, 0x00, 0x01, 0x01}},
      {"zero count", {0x01, 0x01, 0x0C, 0xFE, 0x00}},
      {"bins out of order", {0x01, 0x02, 0x0D, 0xFE, 0x01, 0x0C, 0xFE, 0x01}},
      {"the same bin twice", {0x01, 0x02, 0x0C, 0xFE, 0x01, 0x0C, 0xFE, 0x01}},
      {"count beyond 64 bits",
       {0x01, 0x01, 0x0C, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}},
      {"varint too long",
       {0x01, 0x01, 0x0C, 0xFE, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
      {"count not minimal", {0x01, 0x01, 0x0C, 0xFE, 0x81, 0x00}},
      {"bin count not minimal", {0x01, 0x80, 0x00}},
  };
  for (const auto &c : cases) {
    hist_t *out = reinterpret_cast<hist_t *>(1);
    EXPECT_EQ(hist_deserialize(&out, c.bytes.data(), c.bytes.size()), -1) << c.why;
    EXPECT_EQ(out, nullptr) << c.why;
  }

  const char *bad_b64[] = {
      "",       // nothing
      "AQ A=",  // a space
      "AQA==",  // too much padding
      "AQB=",   // non-zero unused bits
      "A",      // a lone character
      "AQAA",   // a trailing byte after the histogram
      "AgA=",   // unknown version
      "AQ-=",   // URL-safe alphabet
  };
  for (const char *text : bad_b64) {
    hist_t *out = nullptr;
    EXPECT_EQ(hist_deserialize_b64(&out, text, std::strlen(text)), -1) << text;
    EXPECT_EQ(out, nullptr) << text;
  }
  hist_t *out = nullptr;
  EXPECT_EQ(hist_deserialize_b64(&out, "AQA", 3), 2);
  EXPECT_EQ(hist_bucket_count(out), 0);
  hist_free(out);
  EXPECT_EQ(hist_deserialize_b64(nullptr, "AQA=", 4), -1);
}
