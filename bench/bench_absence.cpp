// Absence timers: the cost of pushing a stream's timers back, which every message with a value of
// a ruleset with an absence rule pays (the ruleset-level and the stream-level timer are moved in
// place), and the time to fire 100,000 stream timers that are all due at once, each feeding its
// null line through lookup and rule application and publishing its alert (to a send function
// that only counts). Two loop threads; synthetic lines are applied on the timer's thread.
#include <benchmark/benchmark.h>
#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "metrics.h"
#include "rules/absence_internal.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace {

const char *const check = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
std::atomic<uint64_t> published{0};

int count_send(const char *, const char *, int, int, const void *, size_t, int) {
  published.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void setup() {
  static bool done = [] {
    if (!tovi_conf_load_string(R"(<?xml version="1.0"?>
<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>)",
                               "bench.conf") ||
        eventer_init() != 0)
      std::abort();
    tovi_log_disable("error");
    tovi_log_disable("fire/rules");
    vask_metric_director_init_globals();
    rules_lookup_init(50000);
    metrics_state_init(200000);
    rules_init();
    absence_cushion_s = 0;
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(count_send));
    return true;
  }();
  (void)done;
}

void load(const std::string &body) {
  json_object *doc = json_tokener_parse(body.c_str());
  int errors = 0;
  if (parse_ruleset_response(doc, nullptr, &errors) != 1 || errors) std::abort();
  json_object_put(doc);
}

void feed(const std::string &line) {
  vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
  if (vask_message_decoder_parse_line(m, true) != 1) std::abort();
  handle_vask_metric_message(m);
}

void BM_absence_push_back_per_message(benchmark::State &state) {
  setup();
  load(std::string("[{\"event_criteria_id\": 1, \"account_id\": 7, \"check_uuid\": \"") + check +
       "\", \"metric_name\": \"beat\", \"metric_type\": \"numeric\", \"rules\": ["
       "{\"criteria\": \"on absence\", \"severity\": 1, \"absence_window\": 600}]}]");
  ruleset_sp r = get_ruleset_by_id(1);
  if (!r || r->get_ruleset_streams_size() != 1) std::abort();
  rulestream_sp rs = r->get_ruleset_streams()[0];
  const eventer_t before = rs->rule_impl(0).absence_event.load();
  for (auto _ : state)
    rules_rearm_absence(r, rs.get(), 0);
  // Moved in place: still the same timer record.
  state.counters["same_timer"] = rs->rule_impl(0).absence_event.load() == before ? 1 : 0;
}
BENCHMARK(BM_absence_push_back_per_message);

void BM_absence_fire_100k_stream_timers(benchmark::State &state) {
  setup();
  constexpr int streams = 100000;
  load(std::string("[{\"event_criteria_id\": 2, \"account_id\": 7, \"check_uuid\": \"") + check +
       "\", \"metric_pattern\": \"^f\\\\.\", \"metric_type\": \"numeric\", \"rules\": ["
       "{\"criteria\": \"on absence\", \"severity\": 1, \"absence_window\": 1}]}]");
  for (auto _ : state) {
    // The loop is not running yet: every stream's timer is armed and then left to fall due.
    for (int i = 0; i < streams; i++)
      feed(std::string("M\tb1\t1700000000.5\th`m`c_7_1`") + check + "\tf." + std::to_string(i) +
           "\tn\t5");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const uint64_t fed = absence_triggers.load() + streams;
    const uint64_t sent = published.load() + streams;
    const auto start = std::chrono::steady_clock::now();
    std::thread loop([] { eventer_loop(); });
    while (absence_triggers.load() < fed || published.load() < sent)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    eventer_loop_stop();
    loop.join();
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
  }
  state.counters["timers"] = streams;
}
BENCHMARK(BM_absence_fire_100k_stream_timers)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
