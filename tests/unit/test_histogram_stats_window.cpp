#include "windows/histogram_stats_window.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint64_t T = 1700000000000ULL;  // a current epoch time in ms
constexpr metric_type_t PLAIN = METRIC_HISTOGRAM, CUMULATIVE = METRIC_HISTOGRAM_CUMULATIVE;

struct window_deleter {
  void operator()(histogram_stats_window_t *w) const { histogram_stats_window_free(w); }
};
using window_up = std::unique_ptr<histogram_stats_window_t, window_deleter>;
struct hist_deleter {
  void operator()(hist_t *h) const { hist_free(h); }
};
using hist_up = std::unique_ptr<hist_t, hist_deleter>;

// A histogram from (value, count) pairs.
hist_up hist(std::initializer_list<std::pair<double, uint64_t>> bins) {
  hist_up h(hist_alloc());
  for (const auto &[value, count] : bins)
    hist_insert(h.get(), value, count);
  return h;
}

// Pushes h as a sample of the metric `name` (its stream tags included).
void push(histogram_stats_window_t *w, uint64_t when, metric_type_t type, const hist_t *h,
          const std::string &name = "latency|ST[host:a]", const char *text = nullptr) {
  std::string b64 = hist_serialize_b64(h);
  vask_metric_message_t m{};
  for (int i = 0; i < 16; i++)
    m.id.id[i] = (uint8_t)(0xa0 + i);
  m.id.name = name.c_str();
  m.id.name_len = name.find('|');
  m.id.name_len_with_tags = name.size();
  m.value.whence_ms = when;
  m.value.type = type;
  m.value.value.s = text ? text : b64.c_str();
  m.value.s_len = text ? strlen(text) : b64.size();
  histogram_stats_window_push(w, &m);
}

std::vector<uint64_t> times(const histogram_stats_window_t *w) {
  std::vector<uint64_t> out;
  for (const hist_list_t *e = w->head; e; e = e->next)
    out.push_back(e->whence_ms);
  return out;
}

}  // namespace

TEST(histogram_stats_window, cumulative_samples_add_their_differences) {
  window_up w(histogram_stats_window_alloc(60000));
  hist_up h1 = hist({{10, 5}, {20, 1}});
  hist_up h2 = hist({{10, 8}, {20, 3}, {50, 2}});
  hist_up h3 = hist({{10, 9}, {20, 3}, {50, 7}, {90, 1}});
  push(w.get(), T + 1000, CUMULATIVE, h1.get());
  EXPECT_EQ(w->head, nullptr);  // the first only sets the baseline
  EXPECT_EQ(w->last_time, 0u);
  push(w.get(), T + 2000, CUMULATIVE, h2.get());
  push(w.get(), T + 3000, CUMULATIVE, h3.get());
  ASSERT_EQ(times(w.get()), (std::vector<uint64_t>{T + 2000, T + 3000}));
  EXPECT_TRUE(hist_equal(w->head->hist, hist({{10, 3}, {20, 2}, {50, 2}}).get()));
  EXPECT_TRUE(hist_equal(w->hist_accum, hist({{10, 4}, {20, 2}, {50, 7}, {90, 1}}).get()));
}

TEST(histogram_stats_window, stale_and_reset_cumulative_samples_add_nothing) {
  window_up w(histogram_stats_window_alloc(60000));
  push(w.get(), T + 1000, CUMULATIVE, hist({{10, 5}}).get());
  push(w.get(), T + 2000, CUMULATIVE, hist({{10, 9}}).get());
  push(w.get(), T + 2000, CUMULATIVE, hist({{10, 100}}).get());  // not newer: discarded
  push(w.get(), T + 1500, CUMULATIVE, hist({{10, 100}}).get());
  // A counter reset cannot be subtracted: nothing is added, but it becomes the baseline.
  push(w.get(), T + 3000, CUMULATIVE, hist({{10, 2}}).get());
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{T + 2000}));
  push(w.get(), T + 4000, CUMULATIVE, hist({{10, 6}}).get());
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{T + 2000, T + 4000}));
  EXPECT_TRUE(hist_equal(w->hist_accum, hist({{10, 8}}).get()));  // 4 + 4
}

TEST(histogram_stats_window, baselines_belong_to_one_identity_and_plain_samples_drop_them) {
  window_up w(histogram_stats_window_alloc(60000));
  const std::string a = "latency|ST[host:a]", b = "latency|ST[host:b]";
  push(w.get(), T + 1000, CUMULATIVE, hist({{1, 1}}).get(), a);
  push(w.get(), T + 1000, CUMULATIVE, hist({{2, 10}}).get(), b);
  push(w.get(), T + 2000, CUMULATIVE, hist({{1, 3}}).get(), a);
  push(w.get(), T + 2500, CUMULATIVE, hist({{2, 11}}).get(), b);
  EXPECT_TRUE(hist_equal(w->hist_accum, hist({{1, 2}, {2, 1}}).get()));
  // A plain sample of `a` drops its baseline: its next cumulative sample starts afresh.
  push(w.get(), T + 3000, PLAIN, hist({{30, 1}}).get(), a);
  push(w.get(), T + 4000, CUMULATIVE, hist({{1, 9}}).get(), a);
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{T + 2000, T + 2500, T + 3000}));
}

TEST(histogram_stats_window, plain_samples_are_kept_in_time_order) {
  window_up w(histogram_stats_window_alloc(60000));
  hist_up h = hist({{5, 1}});
  for (uint64_t dt : {5000, 1000, 9000, 3000, 7000, 1000, 9000, 7000, 500})
    push(w.get(), T + dt, PLAIN, h.get());
  // Repeated times are discarded; out-of-order ones are inserted in order.
  EXPECT_EQ(times(w.get()),
            (std::vector<uint64_t>{T + 500, T + 1000, T + 3000, T + 5000, T + 7000, T + 9000}));
  EXPECT_EQ(hist_sample_count(w->hist_accum), 6u);
  EXPECT_EQ(w->last_time, T + 9000);            // an earlier sample never moves it back
  EXPECT_EQ(w->first_time, T + 500);            // the oldest held
  EXPECT_EQ(w->cumulative_reference, nullptr);  // plain samples only: no baseline table
}

TEST(histogram_stats_window, an_out_of_order_sample_never_moves_the_window_back) {
  window_up w(histogram_stats_window_alloc(60000));
  hist_up h = hist({{5, 1}});
  push(w.get(), 200000, PLAIN, h.get());
  push(w.get(), 150000, PLAIN, h.get());
  push(w.get(), 100000, PLAIN, h.get());  // older than 200 s - 60 s: outside the window
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{150000, 200000}));
  json_object *o = histogram_stats_window_to_json(w.get(), 0);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "first_time_ms")), 150000u);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "last_time_ms")), 200000u);
  json_object_put(o);
}

TEST(histogram_stats_window, expires_samples_older_than_the_window) {
  window_up w(histogram_stats_window_alloc(2000));
  hist_up h = hist({{5, 1}});
  for (uint64_t dt : {1000, 2000, 3000})
    push(w.get(), T + dt, PLAIN, h.get());
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{T + 2000, T + 3000}));
  EXPECT_EQ(w->first_time, T + 2000);
  push(w.get(), T + 1000, PLAIN, h.get());  // older than the window: ignored
  EXPECT_EQ(times(w.get()).size(), 2u);
  push(w.get(), T + 60000, PLAIN, h.get());
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{T + 60000}));
  EXPECT_EQ(hist_sample_count(w->hist_accum), 1u);

  window_up zero(histogram_stats_window_alloc(0));  // keeps nothing, not even the newest
  push(zero.get(), T + 1000, PLAIN, h.get());
  EXPECT_EQ(zero->head, nullptr);
  EXPECT_EQ(zero->first_time, 0u);
  EXPECT_TRUE(std::isnan(histogram_stats_window_get(zero.get(), W_QUANTILE, 0.5)));
}

TEST(histogram_stats_window, sample_times_below_the_window_length_are_kept) {
  // last_time - length would wrap around in unsigned arithmetic and expire every sample.
  window_up w(histogram_stats_window_alloc(60000));
  hist_up h = hist({{5, 1}});
  push(w.get(), 1000, PLAIN, h.get());
  push(w.get(), 2000, PLAIN, h.get());
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{1000, 2000}));
  EXPECT_EQ(hist_sample_count(w->hist_accum), 2u);
  push(w.get(), 61500, PLAIN, h.get());
  EXPECT_EQ(times(w.get()), (std::vector<uint64_t>{2000, 61500}));
}

TEST(histogram_stats_window, ignores_unusable_samples) {
  window_up w(histogram_stats_window_alloc(60000));
  hist_up h = hist({{5, 1}});
  push(w.get(), 0, PLAIN, h.get());                                       // no time
  push(w.get(), T, PLAIN, h.get(), "latency|ST[host:a]", "not base64!");  // undecodable
  push(w.get(), T, METRIC_STRING, h.get());                               // not a histogram
  histogram_stats_window_push(w.get(), nullptr);
  EXPECT_EQ(w->head, nullptr);
  EXPECT_EQ(w->last_time, 0u);
}

TEST(histogram_stats_window, quantiles_and_dump) {
  window_up w(histogram_stats_window_alloc(60000));
  push(w.get(), T + 1000, PLAIN, hist({{10, 50}}).get());
  push(w.get(), T + 2000, PLAIN, hist({{90, 50}}).get());
  double q25 = histogram_stats_window_get(w.get(), W_QUANTILE, 0.25);
  double q99 = histogram_stats_window_get(w.get(), W_QUANTILE, 0.99);
  EXPECT_TRUE(q25 >= 10 && q25 < 11) << q25;
  EXPECT_TRUE(q99 >= 90 && q99 <= 91) << q99;
  bool complete = false;
  EXPECT_EQ(histogram_stats_window_get(w.get(), W_QUANTILE, 0.99, &complete), q99);
  EXPECT_TRUE(complete);
  // A fraction outside [0, 1] (99 written for 0.99) has no answer, rather than 0.
  for (double bad : {99.0, 1.5, -0.01, std::nan("")}) {
    complete = true;
    EXPECT_TRUE(std::isnan(histogram_stats_window_get(w.get(), W_QUANTILE, bad, &complete)));
    EXPECT_FALSE(complete) << bad;
    EXPECT_FALSE(histogram_quantile_parameter_valid(bad)) << bad;
  }
  EXPECT_TRUE(histogram_quantile_parameter_valid(0) && histogram_quantile_parameter_valid(1));
  for (int wf : {0, 1, 3, 10, 42})
    EXPECT_EQ(histogram_stats_window_get(w.get(), (windowing_function_t)wf, 0.5), 0) << wf;
  window_up empty(histogram_stats_window_alloc(60000));
  complete = true;
  EXPECT_TRUE(std::isnan(histogram_stats_window_get(empty.get(), W_QUANTILE, 0.5, &complete)));
  EXPECT_FALSE(complete);

  json_object *o = histogram_stats_window_to_json(w.get(), 0);
  EXPECT_EQ(json_object_object_length(o), 4);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "window_length_ms")), 60000u);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "first_time_ms")), T + 1000);
  EXPECT_EQ(json_object_get_uint64(json_object_object_get(o, "last_time_ms")), T + 2000);
  json_object_put(o);
}

// At any rate a capped window holds at most its cap; its quantiles are those of every sample
// from its oldest entry's first one on (an uncapped window cut there gives the same), out of
// order samples included, and an entry leaves only once its last sample is out of the window.
TEST(histogram_stats_window, capped_window_holds_its_samples_in_few_entries) {
  const uint32_t cap = 16;
  const int n = 2000;
  for (int gap : {1000, 100, 10, 1}) {
    SCOPED_TRACE("a sample every " + std::to_string(gap) + " ms");
    const int length = std::min(60000, n * gap / 4);
    const uint64_t span = window_merge_span_ms(length, cap);
    std::mt19937_64 rng(gap);
    // Unique times, shuffled within runs of four: a little out of order.
    std::vector<uint64_t> when(n);
    for (int i = 0; i < n; i++)
      when[i] = T + (uint64_t)i * gap;
    for (int i = 0; i + 4 <= n; i += 4)
      std::shuffle(when.begin() + i, when.begin() + i + 4, rng);
    std::vector<std::pair<uint64_t, hist_up>> series;
    window_up w(histogram_stats_window_alloc_capped(length, cap)),
        full(histogram_stats_window_alloc(length));
    for (int i = 0; i < n; i++) {
      series.emplace_back(when[i], hist({{double(1 + rng() % 1000), 1 + rng() % 5}}));
      push(w.get(), when[i], PLAIN, series.back().second.get());
      push(full.get(), when[i], PLAIN, series.back().second.get());
      ASSERT_LE(histogram_stats_window_entry_count(w.get()), (int)cap);
      ASSERT_LE(w->first_time, full->first_time) << "a sample left before its time";
      ASSERT_GT(w->first_time + length + span, w->last_time) << "an entry outlived its slot";
      if (i % 400 != 399) continue;
      window_up ref(histogram_stats_window_alloc((int)(w->last_time - w->first_time + 1)));
      for (const auto &[t, h] : series)
        push(ref.get(), t, PLAIN, h.get());
      ASSERT_EQ(ref->first_time, w->first_time);
      for (double q : {0.0, 0.25, 0.5, 0.9, 0.99, 1.0})
        EXPECT_EQ(histogram_stats_window_get(w.get(), W_QUANTILE, q),
                  histogram_stats_window_get(ref.get(), W_QUANTILE, q))
            << q << " at push " << i;
    }
    // A repeated time is still refused where the window knows it: an entry's first or last.
    int before = 0;
    json_object *o = histogram_stats_window_to_json(w.get(), 0);
    json_object *records = json_object_object_get(o, "records");
    ASSERT_EQ((int)json_object_array_length(records), histogram_stats_window_entry_count(w.get()));
    for (size_t i = 0; i < json_object_array_length(records); i++)
      before += json_object_get_int(
          json_object_object_get(json_object_array_get_idx(records, i), "count"));
    uint64_t last_from = json_object_get_uint64(json_object_object_get(
        json_object_array_get_idx(records, json_object_array_length(records) - 1), "from_ms"));
    json_object_put(o);
    push(w.get(), last_from, PLAIN, hist({{5, 1}}).get());
    o = histogram_stats_window_to_json(w.get(), 0);
    records = json_object_object_get(o, "records");
    int after = 0;
    for (size_t i = 0; i < json_object_array_length(records); i++)
      after += json_object_get_int(
          json_object_object_get(json_object_array_get_idx(records, i), "count"));
    EXPECT_EQ(after, before);
    EXPECT_EQ(json_object_get_int(json_object_object_get(o, "max_records")), (int)cap);
    json_object_put(o);
  }
}
