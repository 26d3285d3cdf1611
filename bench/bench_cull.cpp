// Culling and sweeping at scale, with 100,000 streams (one 5-minute numeric window each):
//   - a cull pass that removes every stream: with the streams' destruction (window
//     cancellations included), and without it, as the cull timer runs it on its loop thread
//     (which leaves the destruction to a job thread); and a pass that removes none (a busy
//     ruleset);
//   - a sweep job over 100 rulesets of 1,000 streams each, from queueing to its completion;
//   - the bytes allocated (jemalloc's "stats.allocated") before the streams are made, with them,
//     and after they are culled and the deferred frees are done.
// Linked with jemalloc, like the daemon.
#include <benchmark/benchmark.h>
#include <jemalloc/jemalloc.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

namespace {

constexpr int stream_count = 100000;
const uint8_t uuid[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                          0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
constexpr uint64_t t0 = 1700000000000;

void setup() {
  static bool done = [] {
    tovi_log_disable("error");
    if (!tovi_conf_load_string(R"(<?xml version="1.0"?>
<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>)",
                               "bench") ||
        eventer_init() != 0)
      abort();
    metrics_state_init(200000);
    ruleset_mgr = std::make_unique<ruleset_mgr_c>();
    std::thread([] { eventer_loop(); }).detach();
    while (!eventer_loop_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }();
  (void)done;
}

ruleset_sp pattern_ruleset(uint64_t ecid) {
  ruleset_sp r = ruleset_safe_alloc(1);
  r->event_criteria_id = ecid;
  r->metric_type = RULE_NUMERIC;
  r->account_id = 7;
  r->metric_name = strdup("^cpu");
  r->pattern.metric_name = 1;
  memcpy(r->check_uuid, uuid, 16);
  r->rules[0].severity = 1;
  r->rules[0].rule_type = RULEC_NUMERIC_MAX;
  r->rules[0].windowing_function = W_AVERAGE;
  r->rules[0].windowing_duration = 300000;
  return r;
}

void fill(const ruleset_sp &r, int first, int n, uint64_t last_ms) {
  vask_metric_message_t m{};
  m.value.type = METRIC_DOUBLE;
  m.value.whence_ms = last_ms;
  for (int i = first; i < first + n; i++) {
    std::string name = "cpu" + std::to_string(i);
    std::string sig = "11111111-2222-3333-4444-555555555555`" + name + "|ST[]";
    vask_metric_id_t id;
    memset(&id, 0, sizeof(id));
    memcpy(id.id, uuid, 16);
    id.name = name.c_str();
    id.name_len = id.name_len_with_tags = name.size();
    id.account_id = 7;
    r->get_rulestream(&id, sig.data(), sig.size(), true)->record_last_value(&m);
  }
}

uint64_t allocated_bytes() {
  uint64_t epoch = 1;
  size_t len = sizeof(epoch);
  mallctl("epoch", &epoch, &len, &epoch, len);
  size_t allocated = 0;
  len = sizeof(allocated);
  mallctl("stats.allocated", &allocated, &len, nullptr, 0);
  return allocated;
}

void BM_cull_pass_removing_all(benchmark::State &state) {
  setup();
  for (auto _ : state) {
    state.PauseTiming();
    ruleset_sp r = pattern_ruleset(1);
    fill(r, 0, stream_count, t0);
    state.ResumeTiming();
    tovi_memory_begin();
    size_t removed = ruleset_cull_pass(r, t0 + 311000);
    tovi_memory_end();
    state.PauseTiming();
    if (removed != size_t(stream_count)) state.SkipWithError("not every stream was culled");
    r.reset();
    tovi_memory_synchronize();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_cull_pass_removing_all)->Unit(benchmark::kMillisecond)->Iterations(5);

// The pass as the cull timer runs it: the removed streams are handed back and destroyed on a job
// thread, so the loop thread pays for the pass and the table's write alone.
void BM_cull_pass_removing_all_on_loop_thread(benchmark::State &state) {
  setup();
  for (auto _ : state) {
    state.PauseTiming();
    ruleset_sp r = pattern_ruleset(1);
    fill(r, 0, stream_count, t0);
    std::vector<rulestream_sp> removed;
    state.ResumeTiming();
    tovi_memory_begin();
    size_t n = ruleset_cull_pass(r, t0 + 311000, &removed);
    tovi_memory_end();
    state.PauseTiming();
    if (n != size_t(stream_count)) state.SkipWithError("not every stream was culled");
    removed.clear();
    r.reset();
    tovi_memory_synchronize();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_cull_pass_removing_all_on_loop_thread)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_cull_pass_removing_none(benchmark::State &state) {
  setup();
  ruleset_sp r = pattern_ruleset(2);
  fill(r, 0, stream_count, t0);
  for (auto _ : state) {
    tovi_memory_begin();
    size_t removed = ruleset_cull_pass(r, t0 + 1000);
    tovi_memory_end();
    if (removed != 0) state.SkipWithError("a busy stream was culled");
  }
}
BENCHMARK(BM_cull_pass_removing_none)->Unit(benchmark::kMillisecond);

std::atomic<int> swept_done{0};
void noop_visit(rulestream_c *, rules_sweep_t *sweep) {
  sweep->rule_cnt++;
}
void sweep_complete(rules_sweep_t *) {
  swept_done.fetch_add(1);
}

void BM_sweep_all_brokers(benchmark::State &state) {
  setup();
  std::vector<ruleset_sp> rulesets;
  for (int i = 0; i < 100; i++) {
    ruleset_sp r = pattern_ruleset(uint64_t(1000 + i));
    fill(r, i * 1000, 1000, t0);
    ruleset_mgr->add_by_id(r);
    rulesets.push_back(r);
  }
  for (auto _ : state) {
    rules_sweep_t sweep{};
    int before = swept_done.load();
    rulestream_sweeper(RULES_SWEEP_ALL_BROKERS, noop_visit, sweep_complete, &sweep);
    while (swept_done.load() == before)
      std::this_thread::yield();
    if (sweep.rule_cnt != stream_count) state.SkipWithError("the sweep missed streams");
  }
  for (const ruleset_sp &r : rulesets)
    ruleset_mgr->remove_by_id(r->event_criteria_id);
}
BENCHMARK(BM_sweep_all_brokers)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_memory_after_culling(benchmark::State &state) {
  setup();
  for (auto _ : state) {
    // A first round warms the allocator's caches and the metric-state table, so that the
    // baseline is the daemon's steady state rather than a cold process.
    for (int round = 0; round < 2; round++) {
      ruleset_sp r = pattern_ruleset(3);
      tovi_memory_synchronize();
      uint64_t baseline = allocated_bytes();
      fill(r, 0, stream_count, t0);
      uint64_t with_streams = allocated_bytes();
      tovi_memory_begin();
      ruleset_cull_pass(r, t0 + 311000);
      tovi_memory_end();
      tovi_memory_synchronize();
      uint64_t after = allocated_bytes();
      state.counters["baseline_MiB"] = double(baseline) / (1 << 20);
      state.counters["streams_MiB"] = double(with_streams) / (1 << 20);
      state.counters["after_cull_MiB"] = double(after) / (1 << 20);
      state.counters["bytes_per_stream"] = double(with_streams - baseline) / stream_count;
      state.counters["after_vs_baseline_pct"] =
          100.0 * (double(after) - double(baseline)) / double(baseline);
    }
  }
}
BENCHMARK(BM_memory_after_culling)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
