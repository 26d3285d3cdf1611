// The numeric window against a plain model of its rules: random sequences with spikes up to
// 1e300, counter resets, equal and out-of-order times, non-finite and absent values, and
// unsigned values near 2^64, compared after every push with every reader recomputed from the
// model's entries in extended precision. Also the cases that once left a residue for good, and
// the window's allocations and size in steady state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "windows/numeric_stats_window.h"

// Allocations counted while `counting` is set on the calling thread.
namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
}  // namespace

void *operator new(size_t n) {
  if (counting) allocations++;
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  if (counting) allocations++;
  return std::malloc(n ? n : 1);
}
void *operator new[](size_t n) {
  return operator new(n);
}
void *operator new[](size_t n, const std::nothrow_t &t) noexcept {
  return operator new(n, t);
}
void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, size_t) noexcept {
  std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete[](void *p) noexcept {
  std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
  std::free(p);
}

namespace {

constexpr uint64_t T = 1700000000000ULL;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct entry_t {
  uint64_t t;
  vask_metric_value_t v;  // the sample (lane 0) or the rate as a double
  double w;
  bool use_for_counter;
  double x() const { return nmv_as_double(&v); }
};

vask_metric_value_t rate(uint64_t t, double x) {
  vask_metric_value_t v{};
  v.whence_ms = t;
  v.type = METRIC_DOUBLE;
  v.value.n = x;
  return v;
}

// The window's rules, written as plainly as possible: one list per lane, lane 2's counted rates
// beside its list, and nothing incremental.
struct model_t {
  int length = 0;
  uint64_t first_time = 0, last_time = 0;
  std::deque<entry_t> lanes[NSW_LANE_COUNT];
  std::deque<entry_t> counted;  // what lane 2's mean counts

  void push(const vask_metric_value_t &v) {
    if (v.is_null || v.type == METRIC_STRING) return;
    double x = nmv_as_double(&v);
    uint64_t t = v.whence_ms;
    if (t > last_time) last_time = t;
    if (first_time == 0) first_time = t;
    if (std::isfinite(x)) {
      std::deque<entry_t> &avg = lanes[0];
      if (!avg.empty() && t <= avg.back().t) return;
      const entry_t *prev = avg.empty() ? nullptr : &avg.back();
      entry_t prev_copy = prev ? *prev : entry_t{};
      bool has_r_prev = !lanes[1].empty(), has_c_prev = !lanes[2].empty();
      double r_prev = has_r_prev ? lanes[1].back().x() : 0;
      double c_prev = has_c_prev ? lanes[2].back().x() : 0;
      avg.push_back({t, v, 1, true});
      if (prev) {
        double dt = (double)(t - prev_copy.t);
        double r = nmv_diff(&v, &prev_copy.v) * 1000 / dt;
        lanes[1].push_back({t, rate(t, r), dt, r >= 0});
        if (r >= 0) {
          lanes[2].push_back({t, rate(t, r), dt, true});
          counted.push_back({t, rate(t, r), dt, true});
        }
        if (has_r_prev) {
          double s = 1000 * (r - r_prev) / dt;
          lanes[3].push_back({t, rate(t, s), dt, s >= 0});
        }
        if (has_c_prev && r >= 0) {
          double s = 1000 * (r - c_prev) / dt;
          lanes[4].push_back({t, rate(t, s), dt, s >= 0});
        }
      }
    }
    if (t < (uint64_t)length) {
      while (lanes[2].size() > 1)
        lanes[2].pop_front();
      return;
    }
    uint64_t c = t - (uint64_t)length;
    for (int l : {0, 1, 3, 4}) {
      while (lanes[l].size() > 1 && lanes[l].front().t <= c) {
        if (l == 1 && lanes[l].front().use_for_counter) {
          counted.pop_front();
          if (counted.empty()) lanes[2].clear();  // every counted rate has gone
        }
        lanes[l].pop_front();
      }
      if (l == 1)
        while (lanes[2].size() > 1)
          lanes[2].pop_front();
    }
  }

  const std::deque<entry_t> &moments_of(int lane) const {
    return lane == 2 ? counted : lanes[lane];
  }

  // Mean, deviation and weight of a lane, from its finite entries, in extended precision and
  // about the first of them, so that a large common level costs no digits.
  void read(int lane, double *mean, double *deviation, double *weight, double *scale) const {
    long double shift = 0, w = 0, wx = 0, total = 0;
    int n = 0;
    for (const entry_t &e : moments_of(lane)) {
      if (!std::isfinite(e.x())) continue;
      if (n == 0) shift = e.x();
      long double d = (long double)e.x() - shift;
      w += e.w;
      wx += e.w * d;
      total += d;
      n++;
    }
    long double centre = n ? total / n : 0, squares = 0, spread = 0;
    for (const entry_t &e : moments_of(lane)) {
      if (!std::isfinite(e.x())) continue;
      long double d = ((long double)e.x() - shift) - centre;
      squares += d * d;
      spread = std::max(spread, std::fabs(d));
    }
    *weight = (double)w;
    *mean = w != 0 ? (double)(shift + wx / w) : kNaN;
    if (lane != 0 && std::fabs(*mean) <= 1e-10) *mean = 0;
    *deviation = n <= 0 ? 0 : (double)std::sqrt(squares / (n - 1));
    *scale = (double)spread;
  }
};

// Within 1e-9 relative or 1e-12 absolute of the recomputation, widened by what rounding the
// entries' own spread allows (a mean of +1e6 and -1e6 is only known to about 1e-10).
bool close(double got, double want, double scale) {
  if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
  if (std::isinf(want) || std::isinf(got)) return got == want;
  return std::fabs(got - want) <= 1e-9 * std::fabs(want) + 1e-12 + 1e-12 * scale;
}

std::vector<WVal> entries(const numeric_stats_window_t *w, int lane) {
  std::vector<WVal> out;
  numeric_stats_window_for_each_entry(
      w, lane,
      [](const WVal *e, void *arg) { static_cast<std::vector<WVal> *>(arg)->push_back(*e); }, &out);
  return out;
}

// Compares every reader and every lane's entries; returns a description of the first difference.
std::string compare(const numeric_stats_window_t *w, const model_t &m) {
  for (int lane = 0; lane < NSW_LANE_COUNT; lane++) {
    std::vector<WVal> got = entries(w, lane);
    const std::deque<entry_t> &want = m.lanes[lane];
    if (got.size() != want.size())
      return "lane " + std::to_string(lane) + " holds " + std::to_string(got.size()) +
             " entries, not " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); i++) {
      double a = nmv_as_double(&got[i].value), b = want[i].x();
      if (got[i].value.whence_ms != want[i].t || got[i].value.type != want[i].v.type ||
          !(a == b || (std::isnan(a) && std::isnan(b))) || got[i].weight != want[i].w ||
          got[i].use_for_counter != want[i].use_for_counter)
        return "lane " + std::to_string(lane) + " entry " + std::to_string(i) + " differs";
    }
  }
  if (w->first_time != m.first_time || w->last_time != m.last_time) return "times differ";
  for (int wf = W_NONE; wf <= W_COUNTER_2_STDDEV; wf++) {
    bool complete = false;
    double got = numeric_stats_window_get(w, (windowing_function_t)wf, 0, &complete);
    double want, scale = 0;
    bool want_complete;
    if (wf == W_NONE) {
      want_complete = !m.lanes[0].empty();
      want = want_complete ? m.lanes[0].back().x() : kNaN;
    } else {
      int lane = (wf - 1) / 2;
      double mean, deviation, weight;
      m.read(lane, &mean, &deviation, &weight, &scale);
      want_complete = weight != 0;
      want = !want_complete ? kNaN : wf % 2 ? mean : deviation;
    }
    if (complete != want_complete || !close(got, want, scale))
      return std::string(windowing_function_name((windowing_function_t)wf)) + " is " +
             std::to_string(got) + ", recomputed " + std::to_string(want) +
             (complete != want_complete ? " (completeness differs)" : "");
  }
  return "";
}

void push_to(numeric_stats_window_t *w, const vask_metric_value_t &v) {
  vask_metric_message_t m{};
  m.id.name = "bytes";
  m.id.name_len = m.id.name_len_with_tags = 5;
  m.value = v;
  numeric_stats_window_push(w, &m);
}

struct window_deleter {
  void operator()(numeric_stats_window_t *w) const { numeric_stats_window_free(w); }
};
using window_up = std::unique_ptr<numeric_stats_window_t, window_deleter>;

// One random sequence. Levels, steps and spikes are drawn so that every hazard turns up often.
void run_sequence(uint32_t seed, int pushes) {
  std::mt19937_64 rng(seed);
  auto pick = [&](int n) { return (int)(rng() % (uint64_t)n); };
  const int lengths[] = {0, 1000, 5000, 20000, 60000};
  int length = lengths[pick(5)];
  window_up w(numeric_stats_window_alloc(length));
  model_t m;
  m.length = length;
  const bool unsigned_counter = pick(4) == 0;
  const double levels[] = {0, 10, 1e9, 1e12, -5e3, 1e-12};
  double level = levels[pick(6)];
  uint64_t counter = UINT64_MAX - (rng() % 100000000);
  uint64_t t = pick(5) == 0 ? 1 + rng() % 3000 : T;  // sometimes below the window length
  for (int i = 0; i < pushes; i++) {
    int step = pick(20);
    t = step == 0   ? t
        : step == 1 ? t - std::min<uint64_t>(t - 1, 1 + rng() % 3000)
                    : t + 1 + rng() % 2500;
    vask_metric_value_t v{};
    v.whence_ms = t;
    int what = pick(100);
    if (unsigned_counter && what >= 8) {
      v.type = METRIC_UINT64;
      counter += rng() % 5000;
      if (what < 11) counter = rng() % 1000;  // a reset
      if (what == 11) counter = UINT64_MAX - rng() % 10;
      v.value.v_uint64 = counter;
    } else {
      v.type = METRIC_DOUBLE;
      double x = level + (double)(int)(rng() % 2001 - 1000) * (level == 0 ? 1 : level * 1e-6);
      if (what < 2)
        x = kNaN;
      else if (what < 3)
        x = pick(2) ? std::numeric_limits<double>::infinity() : -1e308 * 10;
      else if (what < 5)
        x = (pick(2) ? 1 : -1) * std::pow(10.0, 18 + 47 * pick(7));  // to 1e300
      else if (what < 7)
        x = 0;  // a counter reset
      else if (what < 8) {
        v.type = METRIC_INT64;
        v.value.v_int64 = (int64_t)(rng() >> pick(64));
        x = kNaN;
      }
      if (v.type == METRIC_DOUBLE) v.value.n = x;
      if (what == 99) v.is_null = true;
    }
    push_to(w.get(), v);
    m.push(v);
    std::string difference = compare(w.get(), m);
    ASSERT_EQ(difference, "") << "seed " << seed << ", push " << i << ", window " << length;
  }
}

void push_double(numeric_stats_window_t *w, uint64_t t, double x) {
  push_to(w, rate(t, x));
}

}  // namespace

TEST(numeric_stats_window, every_reader_matches_a_recomputation_after_every_push) {
  for (uint32_t seed = 1; seed <= 150; seed++) {
    run_sequence(seed, 300);
    if (HasFatalFailure()) return;
  }
}

// Each of these once left a residue that never went away.
TEST(numeric_stats_window, a_value_that_left_leaves_nothing_behind) {
  {  // a byte counter at 1e12 that resets to 0 once: the rates are all equal again
    window_up w(numeric_stats_window_alloc(60000));
    double bytes = 1e12;
    for (int i = 0; i < 1100; i++) {
      if (i == 50) bytes = 0;
      push_double(w.get(), T + i * 1000ull, bytes += 4096);
    }
    EXPECT_NEAR(numeric_stats_window_get(w.get(), W_DERIVE_STDDEV, 0, nullptr), 0, 1e-12);
    EXPECT_DOUBLE_EQ(numeric_stats_window_get(w.get(), W_DERIVE, 0, nullptr), 4096);
  }
  {  // a spike of 1e18, then 1e200, among values around 10
    for (double spike : {1e18, 1e200}) {
      window_up w(numeric_stats_window_alloc(10000));
      for (int i = 0; i < 100; i++)
        push_double(w.get(), T + i * 1000ull, i == 20 ? spike : 10 + i % 2);
      EXPECT_NEAR(numeric_stats_window_get(w.get(), W_AVERAGE, 0, nullptr), 10.5, 1e-9) << spike;
      EXPECT_NEAR(numeric_stats_window_get(w.get(), W_STDDEV, 0, nullptr), std::sqrt(2.5 / 9), 1e-9)
          << spike;
    }
  }
  {  // a large level with a small spread
    window_up w(numeric_stats_window_alloc(60000));
    int i = 0;
    for (double d : {0, 1, 2, 0, 1})
      push_double(w.get(), T + 1000ull * i++, 1e9 + d);
    EXPECT_NEAR(numeric_stats_window_get(w.get(), W_STDDEV, 0, nullptr), std::sqrt(0.7), 1e-9);
  }
}

// A window in steady state allocates nothing per push, and a 5-minute window at one sample a
// minute fits in 768 bytes with its samples.
TEST(numeric_stats_window, steady_pushes_allocate_nothing) {
  struct {
    int length_ms, every_ms;
  } cases[] = {{300000, 60000}, {60000, 1000}, {3600000, 1000}};
  for (const auto &c : cases) {
    window_up w(numeric_stats_window_alloc(c.length_ms));
    uint64_t t = T;
    double x = 0;
    auto feed = [&](int n) {
      for (int i = 0; i < n; i++) {
        t += (uint64_t)c.every_ms;
        x += (i % 3) ? 7 : -5;
        push_double(w.get(), t, x);
      }
    };
    feed(2 * c.length_ms / c.every_ms + 10);  // fill the window
    counting = true;
    allocations = 0;
    feed(5000);
    counting = false;
    EXPECT_EQ(allocations, 0) << c.length_ms;
    if (c.length_ms == 300000) {
      EXPECT_LE(numeric_stats_window_footprint(w.get()), 768u);
    }
  }
}
