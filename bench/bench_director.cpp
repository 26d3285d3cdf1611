// Metric director throughput: messages routed into two lanes and taken out by the lanes' loop
// threads. Each iteration submits a batch and waits until the consumers have taken all of it, so
// the figure is submit-to-consumer throughput (items per second), back-pressure included.
// 1000 metrics have an interest, half of them on each lane.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace {

constexpr int kMetrics = 1000;
constexpr int kBatch = 10000;
const uint8_t kUuid[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                           0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};

std::atomic<uint64_t> consumed{0};

int consume(eventer_t, int, void *, struct timeval *) {
  vask_metric_director_lane_t *lane = vask_metric_director_my_lane();
  uint64_t n = 0;
  while (vask_metric_message_t *m = vask_metric_director_lane_next(lane)) {
    vask_metric_director_message_deref(m);
    n++;
  }
  if (n) consumed.fetch_add(n, std::memory_order_relaxed);
  return 0;
}

std::string metric_name(int i) {
  return "bench.metric." + std::to_string(i) + "|ST[env:prod,host:h" + std::to_string(i % 7) + "]";
}

std::string metric_line(int i) {
  return "M\tb1\t1700000000.5\thost`mod`c_42_9`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t" +
         metric_name(i) + "\tn\t" + std::to_string(i);
}

void ensure_director() {
  static bool started = [] {
    tovi_conf_load_string(
        "<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>",
        "bench.conf");
    eventer_init();
    vask_metric_director_dedupe(false);
    vask_metric_director_init_globals();
    vask_metric_director_init();
    for (int i = 0; i < kMetrics; i++) {
      std::string name = metric_name(i);
      vask_metric_director_adjust_metric_interest_on_thread(uint32_t(i), kUuid, name.data(),
                                                            name.size(), +1);
    }
    for (int t = 0; t < 2; t++) {
      eventer_t e = eventer_alloc_recurrent(consume, nullptr);
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

void wait_consumed(uint64_t target) {
  while (consumed.load(std::memory_order_relaxed) < target)
    std::this_thread::yield();
}

// Decoded messages: routing (four interest look-ups) and the lane append.
void BM_director_submit_message(benchmark::State &state) {
  ensure_director();
  std::vector<vask_metric_message_t *> messages;
  for (int i = 0; i < kMetrics; i++) {
    std::string text = metric_line(i);
    vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
    vask_message_decoder_parse_line(m, true);
    messages.push_back(m);
  }
  for (auto _ : state) {
    uint64_t target = consumed.load() + kBatch;
    for (int i = 0; i < kBatch; i++)
      vask_metric_director_submit_message(messages[i % kMetrics]);
    wait_consumed(target);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  for (auto *m : messages)
    vask_metric_director_message_deref(m);
}
BENCHMARK(BM_director_submit_message)->UseRealTime();

// Lines: one allocation and a decode per message, then the same routing.
void BM_director_submit_line(benchmark::State &state) {
  ensure_director();
  std::vector<std::string> lines;
  for (int i = 0; i < kMetrics; i++)
    lines.push_back(metric_line(i));
  for (auto _ : state) {
    uint64_t target = consumed.load() + kBatch;
    for (int i = 0; i < kBatch; i++) {
      const std::string &l = lines[i % kMetrics];
      vask_metric_director_submit_line(l.data(), l.size());
    }
    wait_consumed(target);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_director_submit_line)->UseRealTime();

// Lines through a batch, as the TCP intake sends them: runs of up to 1024 lines committed at once.
void BM_director_batch_lines(benchmark::State &state) {
  ensure_director();
  std::vector<std::string> lines;
  for (int i = 0; i < kMetrics; i++)
    lines.push_back(metric_line(i));
  vask_director_batch_t batch;
  for (auto _ : state) {
    uint64_t target = consumed.load() + kBatch;
    for (int i = 0; i < kBatch; i++) {
      const std::string &l = lines[i % kMetrics];
      vask_metric_director_batch_add_line(&batch, l.data(), l.size());
      if (i % 1024 == 1023 || i + 1 == kBatch)
        while (vask_metric_director_batch_commit(&batch) == VASK_DIRECTOR_WOULD_BLOCK)
          std::this_thread::yield();
    }
    wait_consumed(target);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_director_batch_lines)->UseRealTime();

// Messages that no lane wants: the cost of the look-ups alone.
void BM_director_uninteresting(benchmark::State &state) {
  ensure_director();
  std::string text = metric_line(0);
  text.replace(text.find("bench.metric"), 5, "other");
  vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
  vask_message_decoder_parse_line(m, true);
  for (auto _ : state)
    benchmark::DoNotOptimize(vask_metric_director_submit_message(m));
  state.SetItemsProcessed(state.iterations());
  vask_metric_director_message_deref(m);
}
BENCHMARK(BM_director_uninteresting);

}  // namespace
