// Event loop costs: scheduling and firing timers, cancelling them, and handing work from one
// thread to a loop thread. The loop runs one thread; the benchmark's own thread is the producer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"

namespace {

std::atomic<uint64_t> fired{0};

void ensure_loop() {
  static bool started = [] {
    tovi_conf_load_string(
        "<queltd><eventer><config><concurrency>1</concurrency></config></eventer></queltd>",
        "bench.conf");
    eventer_init();
    std::thread([] { eventer_loop(); }).detach();
    while (!eventer_loop_running())
      std::this_thread::yield();
    return true;
  }();
  (void)started;
}

int count_fire(eventer_t, int, void *, struct timeval *) {
  fired.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void wait_fired(uint64_t target) {
  while (fired.load(std::memory_order_relaxed) < target)
    std::this_thread::yield();
}

// Timers allocated, scheduled from another thread and fired on the loop thread, in batches.
void BM_timer_schedule_and_fire(benchmark::State &state) {
  ensure_loop();
  const int batch = int(state.range(0));
  struct timeval past {
    1, 0
  };
  for (auto _ : state) {
    uint64_t target = fired.load() + uint64_t(batch);
    for (int i = 0; i < batch; i++) {
      past.tv_usec = i % 1000000;  // all due, in a varied order for the heap
      eventer_t e = eventer_alloc_timer(count_fire, nullptr, &past);
      eventer_set_owner(e, 0);
      eventer_add(e);
    }
    wait_fired(target);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_timer_schedule_and_fire)->Arg(1)->Arg(1000)->UseRealTime();

// Scheduling a timer into a heap of 10000 and cancelling it again.
void BM_timer_add_remove(benchmark::State &state) {
  ensure_loop();
  struct timeval now, far{3600, 0}, later;
  gettimeofday(&now, nullptr);
  eventer_add_timeval(&now, &far, &later);
  std::vector<eventer_t> background;
  for (int i = 0; i < 10000; i++) {
    struct timeval at = later;
    at.tv_usec = i % 1000000;
    eventer_t e = eventer_alloc_timer(count_fire, nullptr, &at);
    eventer_set_owner(e, 0);
    eventer_add(e);
    background.push_back(e);
  }
  eventer_t e = eventer_alloc_timer(count_fire, nullptr, &later);
  eventer_set_owner(e, 0);
  for (auto _ : state) {
    eventer_add(e);
    benchmark::DoNotOptimize(eventer_remove(e));
  }
  eventer_free(e);
  for (eventer_t b : background)
    if (eventer_remove(b)) eventer_free(b);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_timer_add_remove);

// One-shot closures posted from the benchmark thread to the loop thread (two threads).
void BM_cross_thread_post(benchmark::State &state) {
  ensure_loop();
  const int batch = int(state.range(0));
  for (auto _ : state) {
    uint64_t target = fired.load() + uint64_t(batch);
    for (int i = 0; i < batch; i++)
      eventer_post(0, [] { fired.fetch_add(1, std::memory_order_relaxed); });
    wait_fired(target);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_cross_thread_post)->Arg(1)->Arg(1000)->UseRealTime();

// A producer waking a loop thread that owns a recurrent event, as the metric director does.
std::atomic<uint64_t> recurrent_runs{0};
int count_recurrent(eventer_t, int, void *, struct timeval *) {
  recurrent_runs.fetch_add(1, std::memory_order_relaxed);
  return EVENTER_RECURRENT;
}

void BM_wakeup_round_trip(benchmark::State &state) {
  ensure_loop();
  static eventer_t e = [] {
    eventer_t r = eventer_alloc_recurrent(count_recurrent, nullptr);
    eventer_set_owner(r, 0);
    eventer_add(r);
    return r;
  }();
  (void)e;
  for (auto _ : state) {
    uint64_t seen = recurrent_runs.load();
    eventer_wakeup(0);
    while (recurrent_runs.load(std::memory_order_relaxed) == seen)
      std::this_thread::yield();
  }
}
BENCHMARK(BM_wakeup_round_trip)->UseRealTime();

}  // namespace
