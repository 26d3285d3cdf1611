// Cost of feeding and reading the windows: ns per numeric push, per numeric read, and per
// histogram push (plain and cumulative), with windows that hold a steady number of entries.
// The numeric cases also report allocations per push and the bytes a window holds (as the
// allocator hands them out), counted by this binary's own operator new and delete.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "windows/histogram_stats_window.h"
#include "windows/numeric_stats_window.h"
#include "windows/text_info.h"

// These replace the global operator new and delete with malloc and free, which GCC cannot tell
// from a mismatched pair once it has inlined them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
bool counting = false;  // the benchmarks run on one thread
long allocations = 0;
long live_bytes = 0;
}  // namespace

void *operator new(size_t n) {
  void *p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  if (counting) allocations++, live_bytes += (long)malloc_usable_size(p);
  return p;
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  void *p = std::malloc(n ? n : 1);
  if (p && counting) allocations++, live_bytes += (long)malloc_usable_size(p);
  return p;
}
void operator delete(void *p) noexcept {
  if (p && counting) live_bytes -= (long)malloc_usable_size(p);
  std::free(p);
}
void operator delete(void *p, size_t) noexcept {
  operator delete(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
  operator delete(p);
}

namespace {

constexpr uint64_t T = 1700000000000ULL;

vask_metric_message_t *numeric_message() {
  auto *m = new vask_metric_message_t{};
  static const char name[] = "requests|ST[host:a]";
  m->id.name = name;
  m->id.name_len = 8;
  m->id.name_len_with_tags = sizeof name - 1;
  m->type = 'M';
  m->value.type = METRIC_DOUBLE;
  return m;
}

// Pushes one sample every range(1) seconds into a window of range(0) seconds, after filling it:
// every push also expires one entry from each lane. Reports the allocations per push and the
// bytes the window holds, allocator rounding included.
void BM_numeric_push(benchmark::State &state) {
  const uint64_t every = (uint64_t)state.range(1) * 1000;
  vask_metric_message_t *m = numeric_message();
  counting = true;
  live_bytes = 0;
  numeric_stats_window_t *w = numeric_stats_window_alloc((int)state.range(0) * 1000);
  uint64_t t = T;
  double x = 0;
  auto push = [&] {
    t += every;
    x += (t & 4096) ? 3 : -1;  // rises and falls, so both rate lanes work
    m->value.whence_ms = t;
    m->value.value.n = x;
    numeric_stats_window_push(w, m);
  };
  for (int i = 0; i < 2 * state.range(0) / state.range(1) + 10; i++)
    push();
  allocations = 0;
  for (auto _ : state)
    push();
  counting = false;
  state.counters["allocs_per_push"] = (double)allocations / (double)state.iterations();
  state.counters["window_bytes"] = (double)live_bytes;
  benchmark::DoNotOptimize(numeric_stats_window_get(w, W_AVERAGE, 0, nullptr));
  state.SetItemsProcessed(state.iterations());
  delete m;
  numeric_stats_window_free(w);
}
// 5 minutes at one a minute (the stream budget's case), 1 minute and 1 hour at one a second.
BENCHMARK(BM_numeric_push)->Args({300, 60})->Args({60, 1})->Args({3600, 1});

// BM_numeric_push_capped/<window s>/<every ms>/<max_records>: the same with a sample every so
// many milliseconds, into a window whose records are capped (0: every sample kept).
void BM_numeric_push_capped(benchmark::State &state) {
  const uint64_t every = (uint64_t)state.range(1);
  vask_metric_message_t *m = numeric_message();
  numeric_stats_window_t *w =
      numeric_stats_window_alloc_capped((int)state.range(0) * 1000, (uint32_t)state.range(2));
  uint64_t t = T;
  double x = 0;
  auto push = [&] {
    t += every;
    x += (t & 4096) ? 3 : -1;
    m->value.whence_ms = t;
    m->value.value.n = x;
    numeric_stats_window_push(w, m);
  };
  for (int64_t i = 0; i < 2 * state.range(0) * 1000 / state.range(1) + 10; i++)
    push();
  for (auto _ : state)
    push();
  state.counters["window_bytes"] = (double)numeric_stats_window_footprint(w);
  state.counters["records"] = numeric_stats_window_records(w);
  state.SetItemsProcessed(state.iterations());
  delete m;
  numeric_stats_window_free(w);
}
BENCHMARK(BM_numeric_push_capped)->ArgsProduct({{300}, {1000, 100, 10}, {0, 32, 128}});

void BM_numeric_get(benchmark::State &state) {
  numeric_stats_window_t *w = numeric_stats_window_alloc(300000);
  vask_metric_message_t *m = numeric_message();
  for (int i = 0; i < 600; i++) {
    m->value.whence_ms = T + i * 1000;
    m->value.value.n = i * (i % 7);
    numeric_stats_window_push(w, m);
  }
  int wf = 0;
  for (auto _ : state) {
    bool complete;
    benchmark::DoNotOptimize(
        numeric_stats_window_get(w, (windowing_function_t)(wf++ % 11), 60000, &complete));
  }
  state.SetItemsProcessed(state.iterations());
  delete m;
  numeric_stats_window_free(w);
}
BENCHMARK(BM_numeric_get);

// Serialised histograms of range(0) distinct bins, cumulative when asked (each one a superset
// of the previous, so differences are never negative).
std::vector<std::string> histograms(int bins, bool cumulative, int count) {
  std::vector<std::string> out;
  hist_t *h = hist_alloc();
  for (int i = 0; i < count; i++) {
    if (!cumulative) hist_clear(h);
    for (int b = 0; b < bins; b++)
      hist_insert(h, 1.0 + b * 0.37 + (i % 5) * 0.01, 1 + (i + b) % 4);
    out.push_back(hist_serialize_b64(h));
  }
  hist_free(h);
  return out;
}

void histogram_push(benchmark::State &state, bool cumulative) {
  histogram_stats_window_t *w = histogram_stats_window_alloc(60000);
  std::vector<std::string> samples = histograms((int)state.range(0), cumulative, 64);
  vask_metric_message_t *m = numeric_message();
  m->value.type = cumulative ? METRIC_HISTOGRAM_CUMULATIVE : METRIC_HISTOGRAM;
  uint64_t t = T;
  size_t i = 0;
  for (auto _ : state) {
    const std::string &s = samples[i++ % samples.size()];
    t += 1000;
    m->value.whence_ms = t;
    m->value.value.s = s.c_str();
    m->value.s_len = s.size();
    histogram_stats_window_push(w, m);
  }
  state.SetItemsProcessed(state.iterations());
  delete m;
  histogram_stats_window_free(w);
}

void BM_histogram_push(benchmark::State &state) {
  histogram_push(state, false);
}
BENCHMARK(BM_histogram_push)->Arg(8)->Arg(64);
void BM_histogram_push_cumulative(benchmark::State &state) {
  histogram_push(state, true);
}
BENCHMARK(BM_histogram_push_cumulative)->Arg(8)->Arg(64);

void BM_histogram_quantile(benchmark::State &state) {
  histogram_stats_window_t *w = histogram_stats_window_alloc(60000);
  std::vector<std::string> samples = histograms(64, false, 60);
  vask_metric_message_t *m = numeric_message();
  m->value.type = METRIC_HISTOGRAM;
  for (size_t i = 0; i < samples.size(); i++) {
    m->value.whence_ms = T + i * 1000;
    m->value.value.s = samples[i].c_str();
    m->value.s_len = samples[i].size();
    histogram_stats_window_push(w, m);
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(histogram_stats_window_get(w, W_QUANTILE, 0.99));
  delete m;
  histogram_stats_window_free(w);
}
BENCHMARK(BM_histogram_quantile);

void BM_text_push(benchmark::State &state) {
  text_info_t *ti = text_info_alloc();
  vask_metric_message_t *m = numeric_message();
  m->value.type = METRIC_STRING;
  const char *texts[] = {"up", "up", "up", "degraded"};
  uint64_t t = T;
  int i = 0;
  for (auto _ : state) {
    m->value.whence_ms = ++t;
    m->value.value.s = texts[i++ & 3];
    m->value.s_len = __builtin_strlen(m->value.value.s);
    text_info_push(ti, m);
  }
  benchmark::DoNotOptimize(ti->just_changed);
  delete m;
  text_info_free(ti);
}
BENCHMARK(BM_text_push);

}  // namespace
