// Rule application: ns per message through lookup and ruleset_apply_metric_message, 10,000 exact
// numeric rulesets of one check, each with one "max value" rule over the last value and one over
// a 5-minute average, in the steady state (the stream exists, the severity does not change, no
// alert is built); and the cost of a message that changes the severity and publishes an alert
// (to a send function that only counts). One thread.
#include <benchmark/benchmark.h>
#include <json-c/json.h>

#include <string>
#include <vector>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "vask/vask_decoder.h"

namespace {

constexpr int ruleset_count = 10000;
const char *const check = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
uint64_t published = 0;
// Message times only move forward, across every run of every benchmark: an older time would be
// dropped as late and measure the wrong path.
uint64_t when = 1700000000000;

int count_send(const char *, const char *, int, int, const void *, size_t, int) {
  published++;
  return 0;
}

void setup() {
  static bool done = [] {
    tovi_log_disable("error");
    tovi_log_disable("fire/rules");
    rules_lookup_init(50000);
    metrics_state_init(50000);
    rules_init();
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(count_send));
    std::string body = "[";
    for (int i = 0; i < ruleset_count; i++)
      body += std::string(i ? "," : "") + "{\"event_criteria_id\": " + std::to_string(i + 1) +
              ", \"account_id\": 7, \"check_uuid\": \"" + check + "\", \"metric_name\": \"m." +
              std::to_string(i) +
              "\", \"metric_type\": \"numeric\", \"rules\": ["
              "{\"criteria\": \"max value\", \"severity\": 1, \"value\": \"1000\"},"
              "{\"criteria\": \"max value\", \"severity\": 2, \"value\": \"900\","
              " \"windowing_function\": \"average\", \"windowing_duration\": 300}]}";
    body += "]";
    json_object *doc = json_tokener_parse(body.c_str());
    int errors = 0;
    if (parse_ruleset_response(doc, nullptr, &errors) != ruleset_count) std::abort();
    json_object_put(doc);
    return true;
  }();
  (void)done;
}

std::vector<vask_metric_message_t *> messages() {
  std::vector<vask_metric_message_t *> out;
  for (int i = 0; i < 1024; i++) {
    std::string line = "M\tb1\t1700000000.5\th`m`c_7_1`" + std::string(check) + "\tm." +
                       std::to_string((i * 7919) % ruleset_count) + "\tn\t5";
    vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
    vask_message_decoder_parse_line(m, true);
    out.push_back(m);
  }
  return out;
}

void apply_all(vask_metric_message_t *m, ruleset_sp *out) {
  tovi_memory_begin();
  int n = rulesets_for_metric(&m->id, out, 1024);
  for (int k = 0; k < n; k++) {
    ruleset_apply_metric_message(out[k], m);
    out[k].reset();
  }
  tovi_memory_end();
}

// Each message 1 ms after the previous one of any metric.
void BM_lookup_and_apply_steady(benchmark::State &state) {
  setup();
  std::vector<vask_metric_message_t *> set = messages();
  ruleset_sp out[1024];
  for (vask_metric_message_t *m : set) {
    m->value.whence_ms = ++when;
    apply_all(m, out);
  }  // creates the streams: the first, clear alert of each goes out here
  size_t i = 0;
  for (auto _ : state) {
    vask_metric_message_t *m = set[i++ & 1023];
    m->value.whence_ms = ++when;
    apply_all(m, out);
  }
  for (vask_metric_message_t *m : set)
    vask_metric_director_message_deref(m);
}
BENCHMARK(BM_lookup_and_apply_steady);

// Alternately 5000 and 5: every message raises or clears its stream and publishes an alert.
void BM_apply_with_alert(benchmark::State &state) {
  setup();
  std::vector<vask_metric_message_t *> set = messages();
  ruleset_sp out[1024];
  uint64_t before = published;
  size_t i = 0;
  for (auto _ : state) {
    vask_metric_message_t *m = set[i & 1023];
    m->value.whence_ms = ++when;
    m->value.value.n = (i++ >> 10) & 1 ? 5000 : 5;
    apply_all(m, out);
  }
  state.counters["alerts_per_message"] = double(published - before) / double(state.iterations());
  for (vask_metric_message_t *m : set)
    vask_metric_director_message_deref(m);
}
BENCHMARK(BM_apply_with_alert);

}  // namespace
