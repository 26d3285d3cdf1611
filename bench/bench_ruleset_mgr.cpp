// Registry reads: the cost of get_by_id alone, from two threads at once, and while a writer keeps
// replacing entries.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "rules/registry_internal.h"

namespace {

constexpr uint64_t registry_size = 10000;

ruleset_mgr_c &registry() {
  static ruleset_mgr_c *mgr = [] {
    auto *m = new ruleset_mgr_c();
    for (uint64_t id = 1; id <= registry_size; id++) {
      ruleset_sp r = ruleset_safe_alloc(1);
      r->event_criteria_id = id;
      r->metric_name = strdup("cpu");
      m->add_by_id(r);
    }
    return m;
  }();
  return *mgr;
}

void read_loop(benchmark::State &state) {
  ruleset_mgr_c &mgr = registry();
  uint64_t id = 1 + uint64_t(state.thread_index()) * 7919;
  for (auto _ : state) {
    ruleset_sp r = mgr.get_by_id(id);
    benchmark::DoNotOptimize(r.get());
    id = id % registry_size + 1;
  }
}

void BM_get_by_id(benchmark::State &state) {
  read_loop(state);
}
BENCHMARK(BM_get_by_id);
BENCHMARK(BM_get_by_id)->Threads(2)->UseRealTime();

// A writer replaces one entry after another (a fresh ruleset each time) for as long as the
// readers run; state.range(0) is the writer's pause between writes in microseconds (0: none).
void BM_get_by_id_with_writer(benchmark::State &state) {
  static std::atomic<bool> stop;
  static std::thread writer;
  static std::atomic<long> writes;
  if (state.thread_index() == 0) {
    registry();
    stop = false;
    writes = 0;
    const long pause_us = long(state.range(0));
    writer = std::thread([pause_us] {
      uint64_t id = 1;
      while (!stop.load(std::memory_order_relaxed)) {
        ruleset_sp r = ruleset_safe_alloc(1);
        r->event_criteria_id = id;
        r->metric_name = strdup("cpu");
        registry().add_by_id(r);
        writes.fetch_add(1, std::memory_order_relaxed);
        id = id % registry_size + 1;
        if (pause_us) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
      }
    });
  }
  read_loop(state);
  if (state.thread_index() == 0) {
    stop = true;
    writer.join();
    state.counters["writes"] = benchmark::Counter(double(writes.load()));
  }
}
BENCHMARK(BM_get_by_id_with_writer)->Arg(0)->Arg(100)->UseRealTime();

}  // namespace
