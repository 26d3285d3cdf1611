// Rule application: ns per message through lookup and ruleset_apply_metric_message, 10,000 exact
// numeric rulesets of one check, each with one "max value" rule over the last value and one over
// a 5-minute average, in the steady state (the stream exists, the severity does not change, no
// alert is built); and the cost of a message that changes the severity and publishes an alert
// (to a send function that only counts). One thread.
#include <benchmark/benchmark.h>

#include "rules_bench.h"

namespace {

constexpr int ruleset_count = 10000;
// Message times only move forward, across every run of every benchmark: an older time would be
// dropped as late and measure the wrong path.
uint64_t when = 1700000000000;

void setup() {
  static bool done = [] {
    rules_bench_start(ruleset_count,
                      "\"metric_type\": \"numeric\", \"rules\": ["
                      "{\"criteria\": \"max value\", \"severity\": 1, \"value\": \"1000\"},"
                      "{\"criteria\": \"max value\", \"severity\": 2, \"value\": \"900\","
                      " \"windowing_function\": \"average\", \"windowing_duration\": 300}]");
    return true;
  }();
  (void)done;
}

// Each message 1 ms after the previous one of any metric.
void BM_lookup_and_apply_steady(benchmark::State &state) {
  setup();
  std::vector<vask_metric_message_t *> set = rules_bench_messages(ruleset_count, "h");
  for (vask_metric_message_t *m : set) {
    m->value.whence_ms = ++when;
    rules_bench_apply(m);
  }  // creates the streams: the first, clear alert of each goes out here
  size_t i = 0;
  for (auto _ : state) {
    vask_metric_message_t *m = set[i++ & 1023];
    m->value.whence_ms = ++when;
    rules_bench_apply(m);
  }
  rules_bench_release(set);
}
BENCHMARK(BM_lookup_and_apply_steady);

// Alternately 5000 and 5: every message raises or clears its stream and publishes an alert.
void BM_apply_with_alert(benchmark::State &state) {
  setup();
  std::vector<vask_metric_message_t *> set = rules_bench_messages(ruleset_count, "h");
  uint64_t before = rules_bench_published;
  size_t i = 0;
  for (auto _ : state) {
    vask_metric_message_t *m = set[i & 1023];
    m->value.whence_ms = ++when;
    m->value.value.n = (i++ >> 10) & 1 ? 5000 : 5;
    rules_bench_apply(m);
  }
  state.counters["alerts_per_message"] =
      double(rules_bench_published - before) / double(state.iterations());
  rules_bench_release(set);
}
BENCHMARK(BM_apply_with_alert);

}  // namespace
