// Metric intake throughput and the memory of metric state.
//
// BM_intake_director_to_window: decoded messages are submitted to the director, the revise hook
// "quelt-reduce" pins each metric to one of two loop threads, and the loop threads' consumers
// feed every message into its metric's 5-minute numeric window (metric_state_update) and hand it
// to handle_vask_metric_message (ruleset lookup, applications, statistics). No rulesets are
// loaded, so the lookup finds none and nothing applies; the consumer calls metric_state_update
// itself, which rule application would otherwise do. Items per second, batch submitted by one
// producer thread and waited for, on 2 cores shared by three threads.
//
// BM_intake_consume_data: the same traffic through the daemon's own consumer (consume_data, with
// its bounded cycles); reports messages per cycle.
//
// BM_state_memory: bytes per metric state with one 5-minute numeric window fed one sample a
// minute for ten minutes (heap in use before and after, allocator overhead included).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace {

constexpr int kMetrics = 1000;
constexpr int kBatch = 10000;
constexpr int kWindowMs = 300000;
const uint8_t kUuid[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                           0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};

std::atomic<bool> feed_windows{true};

std::string metric_name(int i) {
  return "bench.metric." + std::to_string(i) + "|ST[env:prod,host:h" + std::to_string(i % 7) + "]";
}

std::string metric_line(int i) {
  return "M\tb1\t1700000000.5\thost`mod`c_42_9`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t" +
         metric_name(i) + "\tn\t" + std::to_string(i);
}

// The signature a non-grouped stream would use: the metric's name with its stream tags.
const char *signature_of(const vask_metric_message_t *m) {
  thread_local std::string sig;
  sig.assign(m->id.name, m->id.name_len_with_tags);
  return sig.c_str();
}

int bench_consumer(eventer_t e, int mask, void *, struct timeval *now) {
  if (!feed_windows.load(std::memory_order_relaxed)) return consume_data(e, mask, nullptr, now);
  vask_metric_director_lane_t *lane = vask_metric_director_my_lane();
  while (vask_metric_message_t *m = vask_metric_director_lane_next(lane)) {
    metric_state_update(RULE_NUMERIC, m, signature_of(m));
    handle_vask_metric_message(m);
  }
  return 0;
}

void ensure_intake() {
  static bool started = [] {
    tovi_conf_load_string(
        "<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>",
        "bench.conf");
    tovi_memory_init();
    eventer_init();
    vask_metric_director_dedupe(false);
    vask_metric_director_init_globals();
    vask_metric_director_init();
    metrics_state_init(50000);
    rules_lookup_init(50000);
    metric_director_revise_hook_register("quelt-reduce", metric_select_one_thread, nullptr);
    for (int i = 0; i < kMetrics; i++) {
      std::string name = metric_name(i);
      vask_metric_director_adjust_metric_interest_on_thread(uint32_t(i), kUuid, name.data(),
                                                            name.size(), +1);
    }
    for (int t = 0; t < 2; t++) {
      eventer_t e = eventer_alloc_recurrent(bench_consumer, nullptr);
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

// kBatch decoded messages, kBatch / kMetrics per metric, with their windows reserved.
struct traffic_t {
  std::vector<vask_metric_message_t *> messages;
  uint64_t next_ms = 1700000000000;
  traffic_t() {
    for (int i = 0; i < kBatch; i++) {
      std::string text = metric_line(i % kMetrics);
      vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
      vask_message_decoder_parse_line(m, true);
      messages.push_back(m);
      if (i < kMetrics)
        metric_window_reserve(RULE_NUMERIC, &m->id, signature_of(m), kWindowMs, false);
    }
  }
  // Gives the batch fresh, increasing times: one metric's samples are a second apart.
  void retime() {
    for (int i = 0; i < kBatch; i++)
      messages[size_t(i)]->value.whence_ms = next_ms + uint64_t(i);
    next_ms += kBatch;
  }
};

traffic_t &traffic() {
  static traffic_t t;
  return t;
}

double process_cpu_ns() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + double(ru.ru_utime.tv_usec) +
          double(ru.ru_stime.tv_usec)) *
         1e3;
}

// Also reports the CPU time of the whole process per message (producer, director and both
// consumers, spinning waits included): on a busy machine a steadier figure than the wall clock.
void run_batches(benchmark::State &state) {
  traffic_t &t = traffic();
  double cpu_start = process_cpu_ns();
  for (auto _ : state) {
    state.PauseTiming();
    t.retime();
    uint64_t target = total_message_cnt.load() + kBatch;
    state.ResumeTiming();
    for (vask_metric_message_t *m : t.messages)
      vask_metric_director_submit_message(m);
    while (total_message_cnt.load(std::memory_order_relaxed) < target)
      std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["process_cpu_ns_per_message"] =
      (process_cpu_ns() - cpu_start) / double(state.iterations() * kBatch);
}

void BM_intake_director_to_window(benchmark::State &state) {
  ensure_intake();
  feed_windows = true;
  run_batches(state);
}
BENCHMARK(BM_intake_director_to_window)->UseRealTime();

void BM_intake_consume_data(benchmark::State &state) {
  ensure_intake();
  feed_windows = false;
  uint64_t messages = total_message_cnt.load(), cycles = total_cycle_cnt.load();
  run_batches(state);
  double ran = double(total_cycle_cnt.load() - cycles);
  state.counters["messages_per_cycle"] =
      ran > 0 ? double(total_message_cnt.load() - messages) / ran : 0;
  feed_windows = true;
}
BENCHMARK(BM_intake_consume_data)->UseRealTime();

// One thread feeding the windows of 1000 metrics: the state path alone (find, lock, push).
void BM_state_update(benchmark::State &state) {
  ensure_intake();
  traffic_t &t = traffic();
  std::vector<std::string> signatures;
  for (vask_metric_message_t *m : t.messages)
    signatures.emplace_back(signature_of(m));
  size_t i = 0;
  uint64_t whence = 1800000000000;
  for (auto _ : state) {
    vask_metric_message_t *m = t.messages[i % kMetrics];
    // Each metric's samples a second apart, newer every round.
    m->value.whence_ms = whence + i;
    benchmark::DoNotOptimize(
        metric_state_update(RULE_NUMERIC, m, signatures[i % kMetrics].c_str()));
    i++;
    if (i % kMetrics == 0) whence += 1000;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_state_update);

void BM_state_memory(benchmark::State &state) {
  const int streams = 10000;
  // Fresh metric names every run: states are never removed, so a second run would only count
  // the windows.
  static int run = 0;
  run++;
  for (auto _ : state) {
    state.PauseTiming();
    tovi_memory_init();
    metrics_state_init(50000);
    std::vector<vask_metric_message_t *> messages;
    for (int i = 0; i < streams; i++) {
      std::string text =
          "M\tb1\t1700000000.5\thost`mod`c_42_9`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
          "\tmemory.metric." +
          std::to_string(run) + "." + std::to_string(i) + "|ST[env:prod]\tn\t1";
      vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
      vask_message_decoder_parse_line(m, true);
      messages.push_back(m);
    }
    tovi_memory_synchronize();
    size_t before = mallinfo2().uordblks;
    state.ResumeTiming();
    for (vask_metric_message_t *m : messages)
      metric_window_reserve(RULE_NUMERIC, &m->id, signature_of(m), kWindowMs, false);
    state.PauseTiming();
    tovi_memory_synchronize();
    state.counters["bytes_reserved_per_stream"] = double(mallinfo2().uordblks - before) / streams;
    state.ResumeTiming();
    for (int minute = 0; minute < 10; minute++)
      for (vask_metric_message_t *m : messages) {
        m->value.whence_ms = 1700000000000 + uint64_t(minute) * 60000;
        metric_state_update(RULE_NUMERIC, m, signature_of(m));
      }
    state.PauseTiming();
    tovi_memory_synchronize();
    size_t after = mallinfo2().uordblks;
    state.counters["bytes_per_stream"] = double(after - before) / streams;
    for (vask_metric_message_t *m : messages) {
      metric_window_cancel(RULE_NUMERIC, &m->id, signature_of(m), kWindowMs, false);
      vask_metric_director_message_deref(m);
    }
    tovi_memory_synchronize();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_state_memory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
