// What the rule benchmarks share: the rules module started once with exact numeric rulesets of
// one check, messages for their metrics, and one message's lookup and application.
//
// Ruleset i (from 0) has event_criteria_id i + 1, account 7, the check `rules_bench_check` and
// the metric "m.<i>"; the benchmark writes the rest of it. Alerts go to a bus function that only
// counts them (rules_bench_published). One thread.
#pragma once

#include <json-c/json.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "vask/vask_decoder.h"

inline const char *const rules_bench_check = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
inline uint64_t rules_bench_published = 0;

// Starts the rules module and loads `count` rulesets; `rest` is the JSON after each one's
// metric name, from the first key on (`"metric_type": ..., "rules": [...]`). Aborts when any
// ruleset is refused. Once per process.
inline void rules_bench_start(int count, const std::string &rest) {
  tovi_log_disable("error");
  tovi_log_disable("fire/rules");
  rules_lookup_init(50000);
  metrics_state_init(50000);
  rules_init();
  auto count_send = [](const char *, const char *, int, int, const void *, size_t, int) {
    rules_bench_published++;
    return 0;
  };
  int (*send)(const char *, const char *, int, int, const void *, size_t, int) = count_send;
  tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(send));
  std::string body = "[";
  for (int i = 0; i < count; i++)
    body += std::string(i ? "," : "") + "{\"event_criteria_id\": " + std::to_string(i + 1) +
            ", \"account_id\": 7, \"check_uuid\": \"" + rules_bench_check +
            "\", \"metric_name\": \"m." + std::to_string(i) + "\", " + rest + "}";
  body += "]";
  json_object *doc = json_tokener_parse(body.c_str());
  int errors = 0;
  if (parse_ruleset_response(doc, nullptr, &errors) != count) std::abort();
  json_object_put(doc);
}

// 1024 decoded messages of `host`, value 5, spread over the metrics of `count` rulesets; the
// caller sets their times and releases them with rules_bench_release.
inline std::vector<vask_metric_message_t *> rules_bench_messages(int count, const char *host) {
  std::vector<vask_metric_message_t *> out;
  for (int i = 0; i < 1024; i++) {
    std::string line = "M\tb1\t1700000000.5\t" + std::string(host) + "`m`c_7_1`" +
                       rules_bench_check + "\tm." + std::to_string((i * 7919) % count) + "\tn\t5";
    vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
    vask_message_decoder_parse_line(m, true);
    out.push_back(m);
  }
  return out;
}

inline void rules_bench_release(const std::vector<vask_metric_message_t *> &messages) {
  for (vask_metric_message_t *m : messages)
    vask_metric_director_message_deref(m);
}

// Looks the message's rulesets up and applies each, inside a safe-memory bracket, as the intake
// does.
inline void rules_bench_apply(vask_metric_message_t *m) {
  static ruleset_sp out[1024];  // made once: not part of what is measured
  tovi_memory_begin();
  int n = rulesets_for_metric(&m->id, out, 1024);
  for (int k = 0; k < n; k++) {
    ruleset_apply_metric_message(out[k], m);
    out[k].reset();
  }
  tovi_memory_end();
}
