// Maintenance matching on the notification path: ns per maintenance_not_active with 10,000
// active windows on distinct ruleset keys (a covered ruleset, and a stream no window covers,
// which probes all four tables), and with 1,000 windows on one host (the whole list walked when
// none covers the change). The loop is not run: end timers are created but never fire.
// Also: a maintenance update from the bus, from the hook's call to the window being live, with
// its copy queued for replay (drained outside the timing every 1,000 messages).
#include <benchmark/benchmark.h>
#include <sys/time.h>

#include <cstdint>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "maintenance.h"
#include "maintenance/maintenance_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

namespace {

constexpr int distinct_windows = 10000;
constexpr int host_windows = 1000;

struct timeval now_tv() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv;
}

void add(uint64_t id, maint_item_type_t type, uint64_t key, const char *host, uint8_t mask) {
  uint64_t now = uint64_t(now_tv().tv_sec);
  maint_window_t *w = maint_window_safe_alloc();
  w->def.maintenance_id = id;
  w->def.maintenance_type = type;
  if (host)
    w->def.maintenance.host = strdup(host);
  else
    w->def.maintenance.generic_uint64 = key;
  w->def.severity_mask = mask;
  w->def.start_on = now - 3600;
  w->def.stop_on = now + 86400;
  w->def.account_id = 1;
  maint_window_update(w);
}

void setup() {
  static bool done = [] {
    tovi_log_disable("error");
    if (!tovi_conf_load_string("<queltd/>", "bench") || eventer_init() != 0) abort();
    maintenance_tables_init();
    maintenance_set_reevaluate(nullptr);
    for (int i = 0; i < distinct_windows; i++)
      add(uint64_t(i) + 1, MAINT_ON_METRIC, uint64_t(i) + 1, nullptr, 0x3e);
    // Every host window covers severity 5 only; the benchmark asks about severity 2.
    for (int i = 0; i < host_windows; i++)
      add(uint64_t(i) + 100001, MAINT_ON_HOST, 0, "db01.example.net", 1u << 5);
    return true;
  }();
  (void)done;
}

void BM_covered_ruleset(benchmark::State &state) {
  setup();
  struct timeval now = now_tv();
  uint64_t i = 0;
  tovi_memory_scope_c bracket;
  for (auto _ : state) {
    uint64_t ecid = i++ % distinct_windows + 1;
    benchmark::DoNotOptimize(maintenance_not_active(ecid, 77, 88, "web01", INT32_MAX, 2, now));
  }
}
BENCHMARK(BM_covered_ruleset);

void BM_uncovered_stream(benchmark::State &state) {
  setup();
  struct timeval now = now_tv();
  uint64_t i = 0;
  tovi_memory_scope_c bracket;
  for (auto _ : state) {
    uint64_t ecid = i++ % distinct_windows + 200001;
    benchmark::DoNotOptimize(maintenance_not_active(ecid, 77, 88, "web01", INT32_MAX, 2, now));
  }
}
BENCHMARK(BM_uncovered_stream);

void BM_one_host_1000_windows_none_covering(benchmark::State &state) {
  setup();
  struct timeval now = now_tv();
  tovi_memory_scope_c bracket;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        maintenance_not_active(300001, 77, 88, "db01.example.net", INT32_MAX, 2, now));
}
BENCHMARK(BM_one_host_1000_windows_none_covering);

void BM_bus_message_to_window_live(benchmark::State &state) {
  setup();
  static bool queue = [] {
    maint_bus_queue_init();
    return true;
  }();
  (void)queue;
  uint64_t now = uint64_t(now_tv().tv_sec);
  static uint64_t next_id = 1000000;
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  for (auto _ : state) {
    state.PauseTiming();
    uint64_t id = next_id++;
    std::string body = "net.orvane.ombra.QueltMaintenanceEventHandler.update\t0\tadd\tdb" +
                       std::to_string(id) + ".example.net\thost\t1,2,3\t" +
                       std::to_string(now - 60) + "\t" + std::to_string(now + 3600) + "\t7\t" +
                       std::to_string(id) + "\tt";
    if (id % 1000 == 0) maint_handle_amqp_queue(nullptr, EVENTER_RECURRENT, nullptr, nullptr);
    state.ResumeTiming();
    auto t0 = std::chrono::steady_clock::now();
    handle_amqp_message_maint(nullptr, nullptr, 0, nullptr, body.data(), body.size());
    bool live;
    {
      tovi_memory_scope_c bracket;
      live = get_maint_window_by_id(id) != nullptr;
    }
    auto t1 = std::chrono::steady_clock::now();
    if (!live) state.SkipWithError("window not live");
    latencies.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["p50_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["max_us"] = latencies.back();
  }
}
BENCHMARK(BM_bus_message_to_window_live)->Iterations(100000);

}  // namespace
