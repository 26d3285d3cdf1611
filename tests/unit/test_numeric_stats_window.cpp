#include "windows/numeric_stats_window.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint64_t T = 1700000000000ULL;  // a current epoch time in ms
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct window_deleter {
  void operator()(numeric_stats_window_t *w) const { numeric_stats_window_free(w); }
};
using window_up = std::unique_ptr<numeric_stats_window_t, window_deleter>;
window_up make_window(int length_ms) {
  return window_up(numeric_stats_window_alloc(length_ms));
}

void push_value(numeric_stats_window_t *w, uint64_t when, metric_type_t type, double n,
                uint64_t u = 0, bool is_null = false) {
  vask_metric_message_t m{};
  m.id.name = "cpu";
  m.id.name_len = m.id.name_len_with_tags = 3;
  m.value.whence_ms = when;
  m.value.type = type;
  m.value.is_null = is_null;
  if (type == METRIC_UINT64)
    m.value.value.v_uint64 = u;
  else
    m.value.value.n = n;
  numeric_stats_window_push(w, &m);
}
void push(numeric_stats_window_t *w, uint64_t when, double x) {
  push_value(w, when, METRIC_DOUBLE, x);
}

double get(const numeric_stats_window_t *w, windowing_function_t wf, bool *complete = nullptr,
           int min_win = 0) {
  return numeric_stats_window_get(w, wf, min_win, complete);
}

std::vector<WVal> entries(const numeric_stats_window_t *w, int index) {
  std::vector<WVal> out;
  numeric_stats_window_for_each_entry(
      w, index,
      [](const WVal *e, void *arg) { static_cast<std::vector<WVal> *>(arg)->push_back(*e); }, &out);
  return out;
}
std::vector<double> lane(const numeric_stats_window_t *w, int index) {
  std::vector<double> out;
  for (const WVal &e : entries(w, index))
    out.push_back(nmv_as_double(&e.value));
  return out;
}

}  // namespace

TEST(numeric_stats_window, names_every_function_and_unknown_values) {
  const char *expected[] = {"none",           "average",  "stddev",          "derive",
                            "derive_stddev",  "counter",  "counter_stddev",  "derive2",
                            "derive2_stddev", "counter2", "counter2_stddev", "quantile"};
  for (int wf = 0; wf <= W_MAX; wf++)
    EXPECT_STREQ(windowing_function_name((windowing_function_t)wf), expected[wf]);
  EXPECT_STREQ(windowing_function_name((windowing_function_t)12), "unknown");
  EXPECT_STREQ(windowing_function_name((windowing_function_t)-1), "unknown");
}

TEST(numeric_stats_window, answers_only_what_its_samples_support) {
  window_up w = make_window(60000);
  for (int wf = W_NONE; wf <= W_MAX; wf++) {
    bool complete = true;
    EXPECT_TRUE(std::isnan(get(w.get(), (windowing_function_t)wf, &complete))) << wf;
    EXPECT_FALSE(complete) << wf;
  }
  push(w.get(), T + 1000, 7.5);
  bool complete = false;
  EXPECT_EQ(get(w.get(), W_NONE, &complete), 7.5);
  EXPECT_TRUE(complete);
  EXPECT_EQ(get(w.get(), W_AVERAGE), 7.5);
  EXPECT_TRUE(std::isnan(get(w.get(), W_DERIVE, &complete)));  // no rate from one sample
  EXPECT_FALSE(complete);
  EXPECT_TRUE(std::isnan(get(w.get(), W_QUANTILE, &complete)));
  EXPECT_FALSE(complete);
  EXPECT_EQ(make_window(-5)->window_length_ms, 0);
}

TEST(numeric_stats_window, worked_examples_of_every_function) {
  window_up w = make_window(60000);
  push(w.get(), T + 1000, 10);
  push(w.get(), T + 2000, 20);
  EXPECT_EQ(get(w.get(), W_DERIVE), 10);
  EXPECT_EQ(entries(w.get(), NSW_LANE_COUNTER).back().weight, 1000);
  push(w.get(), T + 3000, 40);
  struct {
    windowing_function_t wf;
    double expected;
  } cases[] = {{W_NONE, 40},
               {W_AVERAGE, 70.0 / 3},
               {W_STDDEV, 15.2753},
               {W_DERIVE, 15},
               {W_DERIVE_STDDEV, 7.0711},
               {W_COUNTER, 15},
               {W_COUNTER_STDDEV, 7.0711},
               {W_DERIVE_2, 10},
               {W_COUNTER_2, 10}};
  for (const auto &c : cases) {
    bool complete = false;
    EXPECT_NEAR(get(w.get(), c.wf, &complete), c.expected, 1e-4) << windowing_function_name(c.wf);
    EXPECT_TRUE(complete);
  }
  EXPECT_EQ(lane(w.get(), NSW_LANE_DERIVE), (std::vector<double>{10, 20}));
  EXPECT_EQ(lane(w.get(), NSW_LANE_COUNTER), (std::vector<double>{20}));  // list: newest only
  EXPECT_EQ(w->lanes[NSW_LANE_COUNTER].weight, 2000);                     // mean: both rates
}

TEST(numeric_stats_window, expires_all_but_the_newest_entry_of_each_lane) {
  window_up w = make_window(1500);
  push(w.get(), T + 1000, 10);
  push(w.get(), T + 2000, 20);
  push(w.get(), T + 3000, 40);
  EXPECT_EQ(lane(w.get(), NSW_LANE_AVERAGE), (std::vector<double>{20, 40}));
  EXPECT_DOUBLE_EQ(get(w.get(), W_AVERAGE), 30);
  EXPECT_EQ(lane(w.get(), NSW_LANE_DERIVE), (std::vector<double>{10, 20}));

  window_up zero = make_window(0);
  for (int i = 1; i <= 5; i++)
    push(zero.get(), T + i * 1000, i * i);
  for (int l = 0; l < NSW_LANE_COUNT; l++)
    EXPECT_EQ(lane(zero.get(), l).size(), 1u) << l;
  EXPECT_DOUBLE_EQ(get(zero.get(), W_DERIVE), 9);
  EXPECT_DOUBLE_EQ(get(zero.get(), W_DERIVE_2), 2);  // from 7/s to 9/s in one second
}

TEST(numeric_stats_window, sample_times_below_the_window_length_expire_nothing) {
  // t - length would wrap around in unsigned arithmetic and expire everything but the newest.
  window_up w = make_window(60000);
  push(w.get(), 1000, 10);
  push(w.get(), 2000, 20);
  push(w.get(), 3000, 30);
  EXPECT_EQ(lane(w.get(), NSW_LANE_AVERAGE), (std::vector<double>{10, 20, 30}));
  EXPECT_DOUBLE_EQ(get(w.get(), W_AVERAGE), 20);
  push(w.get(), 61500, 40);
  EXPECT_EQ(lane(w.get(), NSW_LANE_AVERAGE), (std::vector<double>{20, 30, 40}));
}

TEST(numeric_stats_window, counter_lanes_follow_only_non_negative_rates) {
  window_up w = make_window(2500);
  push(w.get(), T + 1000, 0);
  push(w.get(), T + 2000, 100);  // +100/s
  push(w.get(), T + 3000, 50);   // -50/s: not a counter rate
  EXPECT_DOUBLE_EQ(get(w.get(), W_DERIVE), 25);
  EXPECT_DOUBLE_EQ(get(w.get(), W_COUNTER), 100);
  EXPECT_TRUE(lane(w.get(), NSW_LANE_COUNTER_2).empty());
  push(w.get(), T + 4000, 80);  // +30/s
  push(w.get(), T + 5000, 90);  // +10/s; the rates of T+2000 expire, from lane 2's mean too
  EXPECT_EQ(lane(w.get(), NSW_LANE_DERIVE), (std::vector<double>{-50, 30, 10}));
  EXPECT_DOUBLE_EQ(get(w.get(), W_COUNTER), 20);
  EXPECT_NEAR(get(w.get(), W_COUNTER_STDDEV), std::sqrt(200.0), 1e-9);
}

TEST(numeric_stats_window, ignores_stale_null_non_numeric_and_non_finite_samples) {
  window_up w = make_window(1000);
  push(w.get(), T + 2000, 10);
  push(w.get(), T + 2000, 99);                               // same time
  push(w.get(), T + 1000, 99);                               // older
  push_value(w.get(), T + 3000, METRIC_DOUBLE, 5, 0, true);  // null
  push_value(w.get(), T + 3000, METRIC_STRING, 0);
  EXPECT_EQ(lane(w.get(), NSW_LANE_AVERAGE), (std::vector<double>{10}));
  EXPECT_EQ(w->last_time, T + 2000);
  // Non-finite values move the times and run expiry, but add nothing.
  push(w.get(), T + 5000, kNaN);
  push(w.get(), T + 6000, std::numeric_limits<double>::infinity());
  EXPECT_EQ(w->last_time, T + 6000);
  EXPECT_EQ(lane(w.get(), NSW_LANE_AVERAGE), (std::vector<double>{10}));
  push(w.get(), T + 7000, 60);
  EXPECT_DOUBLE_EQ(get(w.get(), W_DERIVE), 10);  // measured from the last accepted sample
  EXPECT_EQ(w->first_time, T + 2000);
}

TEST(numeric_stats_window, integer_differences_are_exact) {
  const uint64_t top = std::numeric_limits<uint64_t>::max();
  vask_metric_value_t a{}, b{};
  a.type = b.type = METRIC_UINT64;
  a.value.v_uint64 = top;
  b.value.v_uint64 = top - 1000;
  EXPECT_EQ(nmv_as_double(&a), 18446744073709551615.0);
  EXPECT_EQ(nmv_diff(&a, &b), 1000);
  EXPECT_EQ(nmv_diff(&b, &a), -1000);
  a.type = b.type = METRIC_INT64;  // the true difference does not fit a signed 64-bit value
  a.value.v_int64 = INT64_MIN;
  b.value.v_int64 = INT64_MAX;
  EXPECT_EQ(nmv_diff(&a, &b), -18446744073709551615.0);
  a.type = METRIC_INT32;  // mixed types go through doubles
  a.value.v_int32 = 3;
  b.type = METRIC_DOUBLE;
  b.value.n = 0.5;
  EXPECT_EQ(nmv_diff(&a, &b), 2.5);
  b.type = METRIC_STRING;
  EXPECT_TRUE(std::isnan(nmv_as_double(&b)));

  window_up w = make_window(60000);  // a counter near the top of the range
  push_value(w.get(), T + 1000, METRIC_UINT64, 0, top - 2001);
  push_value(w.get(), T + 2000, METRIC_UINT64, 0, top - 1);
  EXPECT_EQ(get(w.get(), W_DERIVE), 2000);
}

TEST(numeric_stats_window, minimum_duration_counts_from_the_first_sample) {
  window_up w = make_window(1000);
  push(w.get(), T + 1000, 1);
  push(w.get(), T + 4000, 4);
  for (int wf = W_AVERAGE; wf <= W_COUNTER_2_STDDEV; wf++) {
    bool complete = true;
    EXPECT_TRUE(std::isnan(get(w.get(), (windowing_function_t)wf, &complete, 3001))) << wf;
    EXPECT_FALSE(complete);
  }
  bool complete = false;
  EXPECT_EQ(get(w.get(), W_NONE, &complete, 3001), 4);
  EXPECT_TRUE(complete);
  EXPECT_EQ(get(w.get(), W_AVERAGE, &complete, 3000), 4);  // only T+4000 is held
  EXPECT_TRUE(complete);
}

TEST(numeric_stats_window, accumulator_skips_non_finite_values) {
  stddev_accum_t acc;
  EXPECT_EQ(stddev_accum_deviation(&acc), 0);
  for (double x : {kNaN, std::numeric_limits<double>::infinity(), 2.0, 4.0, -3.0})
    stddev_accum_add(&acc, x);
  EXPECT_EQ(acc.count, 3);
  EXPECT_EQ(acc.product, 8);  // positive values only
  EXPECT_DOUBLE_EQ(stddev_accum_variance(&acc), (29 - 9 / 3.0) / 2);
  stddev_accum_remove(&acc, 4);
  EXPECT_EQ(acc.product, 2);
  stddev_accum_reset(&acc);
  stddev_accum_add(&acc, 5);
  EXPECT_FALSE(std::isfinite(stddev_accum_deviation(&acc)));  // one value has no deviation
  // A constant series is 0, even when rounding leaves the squares a hair below zero.
  stddev_accum_reset(&acc);
  for (int i = 0; i < 3; i++)
    stddev_accum_add(&acc, 0.1);
  EXPECT_EQ(stddev_accum_deviation(&acc), 0);
}

TEST(numeric_stats_window, json_dump_is_valid_and_hides_moments_of_short_windows) {
  window_up w = make_window(60000);
  push(w.get(), T + 1000, 10);
  push(w.get(), T + 2000, 20);
  json_object *o = numeric_stats_window_to_json(w.get(), 0);
  // Undefined moments (derive2 has no entries) must not produce NaN tokens.
  json_object *back = json_tokener_parse(json_object_to_json_string(o));
  ASSERT_NE(back, nullptr) << json_object_to_json_string(o);
  json_object_put(back);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "first_time_ms")), T + 1000);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "last_time_ms")), T + 2000);
  json_object *types = json_object_object_get(o, "types");
  for (const char *name : {"average", "derive", "counter", "derive2", "counter2"})
    EXPECT_TRUE(json_object_object_get_ex(types, name, nullptr)) << name;
  json_object *avg = json_object_object_get(types, "average");
  EXPECT_EQ(json_object_get_double(json_object_object_get(avg, "value")), 15);
  json_object *entry = json_object_array_get_idx(json_object_object_get(avg, "window"), 1);
  EXPECT_STREQ(json_object_to_json_string_ext(json_object_object_get(entry, "value"),
                                              JSON_C_TO_STRING_PLAIN),
               "{\"whence_ms\":1700000002000,\"value\":20.0,\"type\":\"double\"}");
  json_object_put(o);

  o = numeric_stats_window_to_json(w.get(), 5000);
  avg = json_object_object_get(json_object_object_get(o, "types"), "average");
  EXPECT_FALSE(json_object_object_get_ex(avg, "value", nullptr));
  EXPECT_FALSE(json_object_object_get_ex(avg, "stddev_accum", nullptr));
  EXPECT_EQ(json_object_array_length(json_object_object_get(avg, "window")), 2u);
  json_object_put(o);
}

TEST(numeric_stats_window, json_values_keep_their_type) {
  vask_metric_value_t big{}, null_value{}, absent{};
  big.type = METRIC_UINT64;
  big.value.v_uint64 = 18446744073709551615ull;
  null_value.type = METRIC_INT64;
  null_value.is_null = true;
  absent.type = METRIC_ABSENT;
  absent.value.absent_type = METRIC_INT32;
  const struct {
    const vask_metric_value_t *v;
    const char *text;
  } cases[] = {
      {&big, "{\"whence_ms\":0,\"value\":18446744073709551615,\"type\":\"uint64\"}"},
      {&null_value, "{\"whence_ms\":0,\"value\":null,\"type\":\"int64\"}"},
      {&absent, "{\"whence_ms\":0,\"type\":\"int32\"}"},
  };
  for (const auto &c : cases) {
    json_object *o = nmv_to_json(c.v);
    EXPECT_STREQ(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN), c.text);
    json_object_put(o);
  }
}

// ---- capped windows ----

namespace {

window_up make_capped(int length_ms, uint32_t max_records) {
  return window_up(numeric_stats_window_alloc_capped(length_ms, max_records));
}

// Equal to within rounding of the lane's own spread (a mean near zero among large rates carries
// the rounding of the rates).
bool same_answer(double a, double b, double spread) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (std::isinf(a) || std::isinf(b)) return a == b;
  double scale = std::max({1.0, std::fabs(a), std::fabs(b), std::isfinite(spread) ? spread : 0});
  return std::fabs(a - b) <= 1e-9 * scale;
}

}  // namespace

// At any rate, a capped window holds at most its cap, keeps exactly the samples from its oldest
// record's first one on (an uncapped window cut there answers every function the same), and
// lets a record go only once its last sample is out of the window.
TEST(numeric_stats_window, capped_window_is_exact_over_what_it_holds_at_any_rate) {
  const uint32_t cap = 32;
  // Gaps between samples: one a second, ten, a hundred, and bursts at up to 2,000 a second.
  const std::vector<std::pair<int, int>> gaps = {{1000, 1000}, {100, 100}, {10, 10}, {0, 1}};
  for (auto [lo, hi] : gaps) {
    SCOPED_TRACE("gaps " + std::to_string(lo) + "-" + std::to_string(hi) + " ms");
    const int n = lo >= 100 ? 1500 : 20000;
    // Each series spans four windows; from its middle it only falls for a window and a half, so
    // that the counter lanes empty and lane 4 keeps its newest entry after its record has gone.
    // (Whether a counter rate has a previous one depends on when lane 2 emptied, which a capped
    // window sees up to a slot later: the fall is long enough for both windows to see it.)
    const int length = std::min(60000, n * (lo + hi) / 8);
    const uint64_t span = window_merge_span_ms(length, cap);
    std::mt19937_64 rng(lo * 7 + hi);
    std::uniform_int_distribution<int> gap(lo, hi), step(-20, 100), fall(-100, -1);
    std::vector<std::pair<uint64_t, double>> series;
    window_up w = make_capped(length, cap), full = make_window(length);
    uint64_t t = T;
    double x = 1000;
    for (int i = 0; i < n; i++) {
      t += gap(rng);
      if (i >= n / 2 && i < n / 2 + 3 * n / 8)
        x += fall(rng);
      else
        x = rng() % 50 == 0 ? 0 : x + step(rng);  // a counter that now and then starts over
      series.emplace_back(t, x);
      push(w.get(), t, x);
      push(full.get(), t, x);
      ASSERT_LE(numeric_stats_window_records(w.get()), cap);
      ASSERT_LE(numeric_stats_window_oldest_time(w.get()),
                numeric_stats_window_oldest_time(full.get()))
          << "a sample left before its time";
      if (i % 499 != 498 && i != n - 1) continue;

      uint64_t oldest = numeric_stats_window_oldest_time(w.get());
      uint64_t newest = series.back().first;
      ASSERT_GT(oldest + length + span, newest) << "a record outlived the window by a slot";
      window_up ref = make_window((int)(newest - oldest + 1));
      for (auto [rt, rx] : series)
        push(ref.get(), rt, rx);
      ASSERT_EQ(numeric_stats_window_oldest_time(ref.get()), oldest);
      for (int f = W_NONE; f <= W_COUNTER_2_STDDEV; f++) {
        for (int min_win : {0, length}) {
          bool c1 = false, c2 = false;
          double a = get(w.get(), (windowing_function_t)f, &c1, min_win);
          double b = get(ref.get(), (windowing_function_t)f, &c2, min_win);
          // The deviation of the same lane (the stddev functions follow their means).
          double spread = f == W_NONE ? 0 : get(ref.get(), (windowing_function_t)(f + f % 2));
          EXPECT_TRUE(same_answer(a, b, spread))
              << windowing_function_name((windowing_function_t)f) << " at push " << i << ": " << a
              << " capped, " << b << " uncapped";
          EXPECT_EQ(c1, c2) << windowing_function_name((windowing_function_t)f);
        }
      }
    }
    // The memory stays that of the cap, however many samples went through.
    EXPECT_LE(numeric_stats_window_footprint(w.get()), sizeof(numeric_stats_window_t) + cap * 400u);
  }
}

// Records leave whole, once their last sample is at or before the cut-off; the dump lists them
// with their counts and first and last samples, and an uncapped window's dump has no cap.
TEST(numeric_stats_window, capped_records_expire_whole_and_show_in_the_dump) {
  window_up w = make_capped(1000, 8);  // slots of 200 ms; T is a multiple of 200
  ASSERT_EQ(window_merge_span_ms(1000, 8), 200u);
  for (uint64_t dt : {0, 50, 100, 150})
    push(w.get(), T + dt, 10);
  push(w.get(), T + 250, 20);
  push(w.get(), T + 1149, 30);  // cut-off T + 149: the first record's last sample is still in
  EXPECT_EQ(numeric_stats_window_records(w.get()), 3u);
  EXPECT_NEAR(get(w.get(), W_AVERAGE), (4 * 10 + 20 + 30) / 6.0, 1e-12);

  json_object *dump = numeric_stats_window_to_json(w.get(), 0);
  json_object *types = json_object_object_get(dump, "types");
  json_object *avg = json_object_object_get(types, "average");
  json_object *records = json_object_object_get(avg, "window");
  ASSERT_EQ(json_object_array_length(records), 3u);
  json_object *first = json_object_array_get_idx(records, 0);
  EXPECT_EQ(json_object_get_int(json_object_object_get(first, "count")), 4);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(first, "from_ms")), T);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(first, "to_ms")), T + 150);
  json_object *last_sample = json_object_object_get(first, "last");
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(last_sample, "whence_ms")), T + 150);
  EXPECT_EQ(json_object_get_int(
                json_object_object_get(json_object_object_get(avg, "stddev_accum"), "count")),
            6);
  EXPECT_EQ(json_object_get_int(json_object_object_get(dump, "max_records")), 8);
  json_object_put(dump);

  push(w.get(), T + 1150, 40);  // now it has left, all four samples at once
  EXPECT_EQ(numeric_stats_window_oldest_time(w.get()), T + 250);
  EXPECT_NEAR(get(w.get(), W_AVERAGE), 30.0, 1e-12);
  EXPECT_NEAR(get(w.get(), W_DERIVE), (40.0 - 10) * 1000 / 1000, 1e-9);  // telescoped rates

  window_up plain = make_window(1000);
  push(plain.get(), T, 1);
  json_object *plain_dump = numeric_stats_window_to_json(plain.get(), 0);
  EXPECT_FALSE(json_object_object_get_ex(plain_dump, "max_records", nullptr));
  json_object_put(plain_dump);
}
