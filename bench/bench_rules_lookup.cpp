// Metric-to-ruleset lookup: ns per rulesets_for_metric hit and miss with 10,000 exact and 1,000
// pattern rulesets, spread over 100 accounts or all in one; and rulesets parsed per second.
// The director is not started, so registrations cost nothing here. Spread: ruleset i is in
// account i % 100 + 1 (100 exact and 10 pattern rulesets an account).
#include <benchmark/benchmark.h>
#include <json-c/json.h>

#include <string>
#include <vector>

#include "rules/pattern_index_internal.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"

namespace {

constexpr int exact_count = 10000;
constexpr int pattern_count = 1000;
constexpr int spread_accounts = 100;
constexpr uint64_t single_account = 1000000;
const char *const check = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::string element(uint64_t ecid, uint64_t account, const std::string &name_member,
                    int threshold = 90) {
  return "{\"event_criteria_id\": " + std::to_string(ecid) +
         ", \"account_id\": " + std::to_string(account) + ", \"check_uuid\": \"" + check + "\", " +
         name_member +
         ", \"metric_type\": \"numeric\", \"rules\": [{\"criteria\": \"max value\", "
         "\"severity\": 1, \"value\": \"" +
         std::to_string(threshold) + "\"}]}";
}

int load(const std::string &body) {
  json_object *doc = json_tokener_parse(body.c_str());
  int errors = 0;
  int n = parse_ruleset_response(doc, nullptr, &errors);
  json_object_put(doc);
  return n;
}

// Files the rulesets once: ids 1.. spread over accounts 1..100, ids 100001.. in one account.
void setup() {
  static bool done = [] {
    tovi_log_disable("error");
    rules_lookup_init(50000);
    for (int single = 0; single < 2; single++) {
      std::string body = "[";
      uint64_t base = single ? 100000 : 0;
      for (int i = 0; i < exact_count; i++) {
        uint64_t account = single ? single_account : uint64_t(i % spread_accounts + 1);
        body += (i ? "," : "") + element(base + i + 1, account,
                                         "\"metric_name\": \"metric." + std::to_string(i) + "\"");
      }
      for (int i = 0; i < pattern_count; i++) {
        uint64_t account = single ? single_account : uint64_t(i % spread_accounts + 1);
        body += "," + element(base + exact_count + i + 1, account,
                              "\"metric_pattern\": \"^pfx" + std::to_string(i) + "\\\\.\"");
      }
      body += "]";
      if (load(body) != exact_count + pattern_count) std::abort();
    }
    // The same exact names once more, in accounts 201..300 that have no pattern rulesets.
    std::string body = "[";
    for (int i = 0; i < exact_count; i++)
      body += (i ? "," : "") + element(200000 + i + 1, uint64_t(i % spread_accounts + 201),
                                       "\"metric_name\": \"metric." + std::to_string(i) + "\"");
    body += "]";
    if (load(body) != exact_count) std::abort();
    // The prefilters built now rather than by the rebuild thread during the first runs.
    pattern_index_settle();
    return true;
  }();
  (void)done;
}

struct message_set_t {
  std::vector<vask_metric_message_t *> messages;
};

message_set_t messages(bool hit, bool single, uint64_t account_base = 1) {
  message_set_t set;
  for (int i = 0; i < 1024; i++) {
    int k = (i * 7919) % exact_count;
    uint64_t account = single ? single_account : uint64_t(k % spread_accounts) + account_base;
    std::string name = hit ? "metric." + std::to_string(k) : "other." + std::to_string(k);
    std::string line = "M\tb1\t1700000000.5\th`m`c_" + std::to_string(account) + "_1`" + check +
                       "\t" + name + "\tn\t1";
    vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
    vask_message_decoder_parse_line(m, true);
    set.messages.push_back(m);
  }
  return set;
}

void run_lookup(benchmark::State &state, bool hit, bool single, uint64_t account_base = 1) {
  setup();
  message_set_t set = messages(hit, single, account_base);
  ruleset_sp out[1024];
  size_t i = 0;
  long found = 0;
  for (auto _ : state) {
    tovi_memory_begin();
    int n = rulesets_for_metric(&set.messages[i++ & 1023]->id, out, 1024);
    tovi_memory_end();
    found += n;
    benchmark::DoNotOptimize(n);
  }
  state.counters["found_per_lookup"] = double(found) / double(state.iterations());
  for (vask_metric_message_t *m : set.messages)
    vask_metric_director_message_deref(m);
}

void BM_lookup_hit_spread(benchmark::State &state) {
  run_lookup(state, true, false);
}
void BM_lookup_miss_spread(benchmark::State &state) {
  run_lookup(state, false, false);
}
void BM_lookup_hit_one_account(benchmark::State &state) {
  run_lookup(state, true, true);
}
void BM_lookup_miss_one_account(benchmark::State &state) {
  run_lookup(state, false, true);
}
// Accounts without pattern rulesets: the cost of the exact-name look-ups alone.
void BM_lookup_hit_exact_only(benchmark::State &state) {
  run_lookup(state, true, false, 201);
}
void BM_lookup_miss_exact_only(benchmark::State &state) {
  run_lookup(state, false, false, 201);
}
BENCHMARK(BM_lookup_hit_spread);
BENCHMARK(BM_lookup_hit_exact_only);
BENCHMARK(BM_lookup_miss_exact_only);
BENCHMARK(BM_lookup_miss_spread);
BENCHMARK(BM_lookup_hit_one_account);
BENCHMARK(BM_lookup_miss_one_account);

// 1,000 definitions a batch; every other batch changes the thresholds, so half the batches
// replace every ruleset and half keep them.
void BM_parse_rulesets(benchmark::State &state) {
  setup();
  std::string bodies[2];
  for (int v = 0; v < 2; v++) {
    bodies[v] = "[";
    for (int i = 0; i < 1000; i++)
      bodies[v] +=
          (i ? "," : "") +
          element(500000 + i, 77, "\"metric_name\": \"parsed." + std::to_string(i) + "\"", 90 + v);
    bodies[v] += "]";
  }
  std::vector<json_object *> docs;
  for (auto &b : bodies)
    docs.push_back(json_tokener_parse(b.c_str()));
  int v = 0;
  for (auto _ : state) {
    int errors = 0;
    benchmark::DoNotOptimize(parse_ruleset_response(docs[v ^= 1], nullptr, &errors));
    tovi_memory_maintenance();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
  for (json_object *d : docs)
    json_object_put(d);
}
BENCHMARK(BM_parse_rulesets)->Unit(benchmark::kMillisecond);

}  // namespace
