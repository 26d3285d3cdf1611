// The whole road of a decoded message inside the daemon, and what a stream costs.
//
// BM_pipeline: decoded messages are submitted to the director, the revise hook "quelt-reduce"
// pins each metric to one of two loop threads, and each thread's own consumer (consume_data)
// hands every message to handle_vask_metric_message: ruleset lookup, then rule application
// (signature, stream, window push, every rule). 10,000 exact and 1,000 pattern numeric rulesets
// are loaded through the parser, as the daemon files them (director interests and searches
// included), spread over 100 accounts: ruleset i is in account i % 100 + 1, so an account holds
// 100 exact and 10 pattern rulesets. Each exact ruleset has a "max value" rule over the last
// value and one over a 5-minute average; the patterns (^pfx<i>\.) match none of the traffic but
// are considered for every message of their account. Every exact metric gets one message a
// batch; a metric's samples are 10 s apart, so each 5-minute window holds 30 samples. The
// severity never changes, so no alert is built (alerts_per_message shows it). Items per second,
// submitted by one producer thread, on 2 cores shared by three threads.
//
// BM_stream_memory: heap bytes per stream of a ruleset with one rule over a 5-minute average,
// fed one sample a minute for ten minutes: the rule stream, its table entry, the metric state
// and the window (glibc's heap in use before and after, allocator overhead included; the
// rulesets themselves are loaded before the first count).
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace {

constexpr int exact_count = 10000;
constexpr int pattern_count = 1000;
constexpr int accounts = 100;
constexpr int memory_streams = 10000;
const char *const check = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::atomic<uint64_t> published{0};

int count_send(const char *, const char *, int, int, const void *, size_t, int) {
  published.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

const char *const two_rules =
    "[{\"criteria\": \"max value\", \"severity\": 1, \"value\": \"1000000\"},"
    "{\"criteria\": \"max value\", \"severity\": 2, \"value\": \"900000\","
    " \"windowing_function\": \"average\", \"windowing_duration\": 300}]";
const char *const one_windowed_rule =
    "[{\"criteria\": \"max value\", \"severity\": 2, \"value\": \"900000\","
    " \"windowing_function\": \"average\", \"windowing_duration\": 300}]";

std::string element(uint64_t ecid, uint64_t account, const std::string &name_member,
                    const char *rules) {
  return "{\"event_criteria_id\": " + std::to_string(ecid) +
         ", \"account_id\": " + std::to_string(account) + ", \"check_uuid\": \"" + check + "\", " +
         name_member + ", \"metric_type\": \"numeric\", \"rules\": " + rules + "}";
}

int load(const std::string &body) {
  json_object *doc = json_tokener_parse(body.c_str());
  int errors = 0;
  int n = parse_ruleset_response(doc, nullptr, &errors);
  json_object_put(doc);
  return n;
}

std::string metric_line(uint64_t account, const std::string &name) {
  return "M\tb1\t1700000000.5\th`m`c_" + std::to_string(account) + "_1`" + check + "\t" + name +
         "\tn\t5";
}

int pipeline_consumer(eventer_t e, int mask, void *, struct timeval *now) {
  return consume_data(e, mask, nullptr, now);
}

void ensure_pipeline() {
  static bool started = [] {
    tovi_conf_load_string(
        "<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>",
        "bench.conf");
    tovi_log_disable("error");
    tovi_log_disable("fire/rules");
    tovi_memory_init();
    eventer_init();
    vask_metric_director_dedupe(false);
    vask_metric_director_init_globals();
    vask_metric_director_init();
    metrics_state_init(50000);
    rules_lookup_init(50000);
    rules_init();
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(count_send));
    metric_director_revise_hook_register("quelt-reduce", metric_select_one_thread, nullptr);
    std::string body = "[";
    for (int i = 0; i < exact_count; i++)
      body += (i ? "," : "") + element(uint64_t(i + 1), uint64_t(i % accounts + 1),
                                       "\"metric_name\": \"metric." + std::to_string(i) + "\"",
                                       two_rules);
    for (int i = 0; i < pattern_count; i++)
      body +=
          "," + element(uint64_t(exact_count + i + 1), uint64_t(i % accounts + 1),
                        "\"metric_pattern\": \"^pfx" + std::to_string(i) + "\\\\.\"", two_rules);
    body += "]";
    if (load(body) != exact_count + pattern_count) std::abort();
    for (int t = 0; t < 2; t++) {
      eventer_t e = eventer_alloc_recurrent(pipeline_consumer, nullptr);
      eventer_set_owner(e, t);
      eventer_add(e);
    }
    std::thread([] { eventer_loop(); }).detach();
    while (!eventer_loop_running())
      std::this_thread::yield();
    return true;
  }();
  (void)started;
}

// One decoded message per exact ruleset's metric, in its account.
struct traffic_t {
  std::vector<vask_metric_message_t *> messages;
  explicit traffic_t(int metrics) {
    for (int i = 0; i < metrics; i++) {
      std::string text = metric_line(uint64_t(i % accounts + 1), "metric." + std::to_string(i));
      vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
      vask_message_decoder_parse_line(m, true);
      messages.push_back(m);
    }
  }
  ~traffic_t() {
    wait_handled();
    for (vask_metric_message_t *m : messages)
      vask_metric_director_message_deref(m);
  }
  // Fresh, increasing times from the shared clock: one metric's samples are 10 s apart.
  void retime(uint64_t *clock_ms) {
    for (size_t i = 0; i < messages.size(); i++)
      messages[i]->value.whence_ms = *clock_ms + i;
    *clock_ms += 10000;
  }
  void submit() {
    for (vask_metric_message_t *m : messages)
      vask_metric_director_submit_message(m);
  }
  // Until every lane has let go of every message (only our own reference is left). Sleeps
  // rather than spins: the two loop threads need both cores.
  void wait_handled() {
    for (vask_metric_message_t *m : messages)
      // Acquire: the consumer's last use of the message happens before we reuse it.
      while (m->refcnt.load(std::memory_order_acquire) > 1)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
};

double process_cpu_ns() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + double(ru.ru_utime.tv_usec) +
          double(ru.ru_stime.tv_usec)) *
         1e3;
}

// Argument: how many of the exact rulesets' metrics the traffic covers (a batch holds each of
// them once, so the batch is that long). 10,000 touches every stream once a batch, as a daemon
// with many more streams than cache does; 1,000 keeps the working set small.
void BM_pipeline(benchmark::State &state) {
  ensure_pipeline();
  // Two copies of the batch: one is submitted while the lanes still work on the other, so the
  // lanes never run dry between batches. Each metric's messages keep their order because a
  // metric always goes to the same lane.
  static uint64_t clock_ms = 1700000000000;
  traffic_t sets[2] = {traffic_t(int(state.range(0))), traffic_t(int(state.range(0)))};
  // The first batch makes the streams (and sends their first clears), the second fills them.
  for (traffic_t &t : sets) {
    t.retime(&clock_ms);
    t.submit();
    t.wait_handled();
  }
  uint64_t alerts_before = published.load();
  double cpu_start = process_cpu_ns();
  size_t i = 0;
  for (auto _ : state) {
    traffic_t &t = sets[i++ & 1];
    t.wait_handled();
    t.retime(&clock_ms);
    t.submit();
  }
  // The last batch still in flight is not in the time (one of a few hundred).
  for (traffic_t &t : sets)
    t.wait_handled();
  int64_t n = state.iterations() * int64_t(sets[0].messages.size());
  state.SetItemsProcessed(n);
  state.counters["process_cpu_ns_per_message"] = (process_cpu_ns() - cpu_start) / double(n);
  state.counters["alerts_per_message"] = double(published.load() - alerts_before) / double(n);
}
BENCHMARK(BM_pipeline)->Arg(exact_count)->Arg(1000)->UseRealTime()->MinTime(3.0);

void BM_stream_memory(benchmark::State &state) {
  ensure_pipeline();
  // Rulesets of their own, in an account without others, loaded before the first count.
  const uint64_t account = 5000, first_ecid = 1000000;
  std::string body = "[";
  for (int i = 0; i < memory_streams; i++)
    body += (i ? "," : "") + element(first_ecid + uint64_t(i), account,
                                     "\"metric_name\": \"memory." + std::to_string(i) + "\"",
                                     one_windowed_rule);
  body += "]";
  if (load(body) != memory_streams) std::abort();
  std::vector<vask_metric_message_t *> messages;
  for (int i = 0; i < memory_streams; i++) {
    std::string text = metric_line(account, "memory." + std::to_string(i));
    vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
    vask_message_decoder_parse_line(m, true);
    messages.push_back(m);
  }
  ruleset_sp out[4];
  for (auto _ : state) {
    tovi_memory_synchronize();
    size_t before = mallinfo2().uordblks;
    for (int minute = 0; minute < 10; minute++) {
      if (minute == 1) {
        tovi_memory_synchronize();
        state.counters["bytes_per_new_stream"] =
            double(mallinfo2().uordblks - before) / double(memory_streams);
      }
      for (vask_metric_message_t *m : messages) {
        m->value.whence_ms = 1700000000000 + uint64_t(minute) * 60000;
        tovi_memory_begin();
        int n = rulesets_for_metric(&m->id, out, 4);
        for (int k = 0; k < n; k++) {
          ruleset_apply_metric_message(out[k], m);
          out[k].reset();
        }
        tovi_memory_end();
      }
    }
    tovi_memory_synchronize();
    state.counters["bytes_per_stream"] =
        double(mallinfo2().uordblks - before) / double(memory_streams);
    state.counters["sizeof_rulestream"] = double(sizeof(rulestream_c));
    state.counters["metric_states"] = double(metric_state_count());
  }
  for (vask_metric_message_t *m : messages)
    vask_metric_director_message_deref(m);
}
BENCHMARK(BM_stream_memory)->Iterations(1)->Unit(benchmark::kMillisecond);

// BM_stream_memory_at_rate/<samples a second>/<max_records>: the same, with 200 streams fed at
// the given rate for six minutes (the 5-minute window full and turning over), windows capped
// at max_records (0: every sample kept). Each run has rulesets and streams of its own.
// glibc's heap in use, blocks it maps for large requests included.
size_t heap_in_use() {
  struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

void BM_stream_memory_at_rate(benchmark::State &state) {
  ensure_pipeline();
  const int rate = int(state.range(0)), streams = 200;
  const uint32_t max_records = uint32_t(state.range(1));
  static uint64_t run = 0;
  const uint64_t account = 6000 + run, first_ecid = 2000000 + run * 1000;
  // Metric states are shared by name across accounts: each run has names of its own.
  const std::string prefix = "rate" + std::to_string(run) + ".";
  run++;
  std::string body = "[";
  for (int i = 0; i < streams; i++)
    body += (i ? "," : "") + element(first_ecid + uint64_t(i), account,
                                     "\"metric_name\": \"" + prefix + std::to_string(i) + "\"",
                                     one_windowed_rule);
  body += "]";
  if (load(body) != streams) std::abort();
  std::vector<vask_metric_message_t *> messages;
  for (int i = 0; i < streams; i++) {
    std::string text = metric_line(account, prefix + std::to_string(i));
    vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
    vask_message_decoder_parse_line(m, true);
    messages.push_back(m);
  }
  metric_windows_set_max_records(max_records);
  ruleset_sp out[4];
  const uint64_t step_ms = 1000 / uint64_t(rate), steps = 360 * uint64_t(rate);
  for (auto _ : state) {
    tovi_memory_synchronize();
    size_t before = heap_in_use();
    for (uint64_t k = 0; k < steps; k++) {
      for (vask_metric_message_t *m : messages) {
        m->value.whence_ms = 1700000000000 + k * step_ms;
        m->value.value.n = double(k % 97);
        tovi_memory_begin();
        int n = rulesets_for_metric(&m->id, out, 4);
        for (int j = 0; j < n; j++) {
          ruleset_apply_metric_message(out[j], m);
          out[j].reset();
        }
        tovi_memory_end();
      }
    }
    tovi_memory_synchronize();
    state.counters["bytes_per_stream"] = double(heap_in_use() - before) / double(streams);
    state.counters["metric_states"] = double(metric_state_count());
  }
  metric_windows_set_max_records(0);
  for (vask_metric_message_t *m : messages)
    vask_metric_director_message_deref(m);
}
BENCHMARK(BM_stream_memory_at_rate)
    ->ArgsProduct({{1, 10, 100}, {0, 32, 128}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
