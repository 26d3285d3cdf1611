// The broker registry at scale:
//   - brokers_watch per message, round-robin over 1,000 brokers (their records made by their
//     first message), with the bytes this thread allocated per message (jemalloc's
//     "thread.allocated"; 0 is the goal once a broker has its record);
//   - one health pass over 10,000 brokers that are all counting (no pulse goes out);
//   - the text of GET /brokers with 10,000 brokers.
// Linked with jemalloc, like the daemon.
#include <benchmark/benchmark.h>
#include <jemalloc/jemalloc.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "brokers.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"
#include "vask/vask_decoder.h"

namespace {

constexpr int watched = 1000;
constexpr int registry = 10000;
const char *const uuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

int no_send(const char *, const char *, int, int, const void *, size_t, int) {
  return 0;
}

uint64_t now_us() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
}

uint64_t thread_allocated() {
  uint64_t *p = nullptr;
  size_t len = sizeof p;
  mallctl("thread.allocatedp", &p, &len, nullptr, 0);
  return p ? *p : 0;
}

// One decoded message per watched broker: every tenth an uptime self-check, the rest samples.
std::vector<vask_metric_message_t *> &messages() {
  static std::vector<vask_metric_message_t *> all = [] {
    tovi_log_disable("error");
    tovi_log_disable("fire/rules");
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(no_send));
    brokers_set_max(registry * 2);
    std::vector<vask_metric_message_t *> out;
    long t = long(now_us() / 1000000);
    for (int i = 0; i < registry; i++) {
      char name[32];
      snprintf(name, sizeof name, "broker-%05d", i);
      if (i >= watched) {
        createbroker(name, strlen(name));
        continue;
      }
      bool check = i % 10 == 0;
      std::string line = std::string("M\t") + name + "\t" + std::to_string(t) + ".000\t" + name +
                         (check ? "`selfcheck`selfcheck`c_1_0`" : "`http`c_1_0`") + uuid + "\t" +
                         (check ? "uptime" : "cpu") + "\tL\t100";
      vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
      if (vask_message_decoder_parse_line(m, true) != 1) abort();
      brokers_watch_at_for_test(m, now_us());  // the broker's first message makes its record
      out.push_back(m);
    }
    return out;
  }();
  return all;
}

void BM_brokers_watch(benchmark::State &state) {
  std::vector<vask_metric_message_t *> &all = messages();
  size_t i = 0;
  uint64_t before = thread_allocated(), n = 0;
  for (auto _ : state) {
    brokers_watch(nullptr, all[i]);
    if (++i == all.size()) i = 0;
    n++;
  }
  state.counters["bytes_per_msg"] = double(thread_allocated() - before) / double(n);
}
BENCHMARK(BM_brokers_watch);

// One connection's lines, all from one broker: the thread's remembered record answers.
void BM_brokers_watch_one_broker(benchmark::State &state) {
  vask_metric_message_t *m = messages()[1];
  uint64_t before = thread_allocated(), n = 0;
  for (auto _ : state) {
    brokers_watch(nullptr, m);
    n++;
  }
  state.counters["bytes_per_msg"] = double(thread_allocated() - before) / double(n);
}
BENCHMARK(BM_brokers_watch_one_broker);

void BM_health_pass(benchmark::State &state) {
  messages();
  uint64_t now = now_us();
  broker_maintenance_pass(now);  // the self-checking brokers turn stable once, before timing
  int pulses = 0;
  for (auto _ : state)
    pulses += broker_maintenance_pass(now);
  state.counters["brokers"] = double(brokers_count());
  state.counters["pulses"] = pulses;
}
BENCHMARK(BM_health_pass)->Unit(benchmark::kMicrosecond);

void BM_render_all(benchmark::State &state) {
  messages();
  uint64_t now = now_us();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string out;
    brokers_render(nullptr, now, &out);
    bytes = out.size();
  }
  state.counters["brokers"] = double(brokers_count());
  state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_render_all)->Unit(benchmark::kMillisecond);

}  // namespace
