// Histogram and statistics hot paths: inserting samples, quantiles, (de)serialisation, and the
// counter and histogram recording that the workers do for every message.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "llhist/llhist.h"
#include "stats/stats.h"

namespace {

// Latency-like samples: log-normal around a millisecond, a few hundred distinct bins.
std::vector<double> latencies(size_t n) {
  std::mt19937_64 rng(42);
  std::lognormal_distribution<double> dist(-7, 1.2);
  std::vector<double> v(n);
  for (double &x : v)
    x = dist(rng);
  return v;
}

hist_t *filled(size_t n) {
  hist_t *h = hist_alloc();
  for (double v : latencies(n))
    hist_insert(h, v, 1);
  return h;
}

void BM_hist_insert_repeated_bin(benchmark::State &state) {
  hist_t *h = hist_alloc();
  for (auto _ : state)
    benchmark::DoNotOptimize(hist_insert(h, 0.00123, 1));
  hist_free(h);
}
BENCHMARK(BM_hist_insert_repeated_bin);

void BM_hist_insert_spread(benchmark::State &state) {
  std::vector<double> values = latencies(4096);
  hist_t *h = hist_alloc();
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(hist_insert(h, values[i++ & 4095], 1));
  state.counters["bins"] = hist_bucket_count(h);
  hist_free(h);
}
BENCHMARK(BM_hist_insert_spread);

void BM_hist_quantile(benchmark::State &state) {
  hist_t *h = filled(100000);
  const double q = 0.99;
  double out;
  for (auto _ : state) {
    hist_approx_quantile(h, &q, 1, &out);
    benchmark::DoNotOptimize(out);
  }
  state.counters["bins"] = hist_bucket_count(h);
  hist_free(h);
}
BENCHMARK(BM_hist_quantile);

void BM_hist_accumulate(benchmark::State &state) {
  hist_t *src = filled(100000);
  hist_t *dst = filled(50000);
  const hist_t *sources[] = {src};
  for (auto _ : state)
    benchmark::DoNotOptimize(hist_accumulate(dst, sources, 1));
  hist_free(src);
  hist_free(dst);
}
BENCHMARK(BM_hist_accumulate);

void BM_hist_serialize_b64(benchmark::State &state) {
  hist_t *h = filled(100000);
  for (auto _ : state)
    benchmark::DoNotOptimize(hist_serialize_b64(h));
  state.counters["bytes"] = double(hist_serialize_b64(h).size());
  hist_free(h);
}
BENCHMARK(BM_hist_serialize_b64);

void BM_hist_deserialize_b64(benchmark::State &state) {
  hist_t *h = filled(100000);
  std::string text = hist_serialize_b64(h);
  for (auto _ : state) {
    hist_t *back = nullptr;
    benchmark::DoNotOptimize(hist_deserialize_b64(&back, text.data(), text.size()));
    hist_free(back);
  }
  hist_free(h);
}
BENCHMARK(BM_hist_deserialize_b64);

stats_recorder_t *bench_recorder() {
  static stats_recorder_t *rec = stats_recorder_alloc();
  return rec;
}

void BM_stats_counter_add(benchmark::State &state) {
  static stats_counter_t *c = stats_register_counter(stats_recorder_root(bench_recorder()), "c");
  for (auto _ : state)
    stats_counter_inc(c);
  if (state.thread_index() == 0) state.counters["value"] = double(stats_counter_value(c));
}
BENCHMARK(BM_stats_counter_add)->Threads(1)->Threads(2)->UseRealTime();

// For comparison: one shared atomic, which two threads fight over.
void BM_shared_atomic_add(benchmark::State &state) {
  static std::atomic<uint64_t> shared{0};
  for (auto _ : state)
    shared.fetch_add(1, std::memory_order_relaxed);
}
BENCHMARK(BM_shared_atomic_add)->Threads(1)->Threads(2)->UseRealTime();

void BM_stats_histogram_record(benchmark::State &state) {
  static stats_histogram_t *h =
      stats_register_histogram(stats_recorder_root(bench_recorder()), "h");
  std::vector<double> values = latencies(4096);
  size_t i = 0;
  for (auto _ : state)
    stats_histogram_record(h, values[i++ & 4095]);
}
BENCHMARK(BM_stats_histogram_record)->Threads(1)->Threads(2)->UseRealTime();

// Durations through the per-thread bins (the recorder's stats_histogram_record_ns); before them a
// duration cost what BM_stats_histogram_record does (a slot lock and an insert).
void BM_stats_histogram_record_ns(benchmark::State &state) {
  static stats_histogram_t *h =
      stats_register_histogram(stats_recorder_root(bench_recorder()), "h_ns");
  std::vector<uint64_t> durations;
  for (double v : latencies(4096))
    durations.push_back(uint64_t(v * 1e9));
  size_t i = 0;
  for (auto _ : state)
    stats_histogram_record_ns(h, durations[i++ & 4095]);
}
BENCHMARK(BM_stats_histogram_record_ns)->Threads(1)->Threads(2)->UseRealTime();

// For comparison: what a counter cost before the per-thread shards, a locked add on a cache line
// of the thread's own.
void BM_own_line_atomic_add(benchmark::State &state) {
  struct alignas(64) cell_t {
    std::atomic<uint64_t> v{0};
  };
  static cell_t cells[2];
  std::atomic<uint64_t> &mine = cells[state.thread_index() & 1].v;
  for (auto _ : state)
    mine.fetch_add(1, std::memory_order_relaxed);
}
BENCHMARK(BM_own_line_atomic_add)->Threads(1)->Threads(2)->UseRealTime();

void BM_stats_prometheus(benchmark::State &state) {
  stats_recorder_t *rec = stats_recorder_alloc();
  stats_ns_t *root = stats_recorder_root(rec);
  for (int b = 0; b < 100; b++) {
    std::string name = "b";
    name += std::to_string(b);
    stats_ns_t *ns = stats_register_ns(stats_register_ns(root, "brokers"), name.c_str());
    stats_ns_add_tag(ns, "broker-cn", name.c_str());
    for (const char *name : {"numeric", "text", "histogram"})
      stats_counter_add(stats_register_counter(ns, name), 5);
  }
  stats_histogram_t *h = stats_register_histogram(root, "latency");
  for (double v : latencies(10000))
    stats_histogram_record(h, v);
  for (auto _ : state)
    benchmark::DoNotOptimize(stats_recorder_to_prometheus(rec));
  stats_recorder_free(rec);
}
BENCHMARK(BM_stats_prometheus);

}  // namespace
