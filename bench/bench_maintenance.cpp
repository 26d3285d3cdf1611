// Maintenance matching on the notification path: ns per maintenance_not_active with 10,000
// active windows on distinct ruleset keys (a covered ruleset, and a stream no window covers,
// which probes all four tables), and with 1,000 windows on one host (the whole list walked when
// none covers the change). The loop is not run: end timers are created but never fire.
#include <benchmark/benchmark.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>

#include "maintenance.h"
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
  w->spec.maintenance_id = id;
  w->spec.maintenance_type = type;
  if (host)
    w->spec.maintenance.host = strdup(host);
  else
    w->spec.maintenance.generic_uint64 = key;
  w->spec.severity_mask = mask;
  w->spec.start_on = now - 3600;
  w->spec.stop_on = now + 86400;
  w->spec.account_id = 1;
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

}  // namespace
