// The metric intake on its own, for load tests: the broker line listener, the director and two
// lanes whose consumers do no work (or, with --work-ns, spin that long per message on lane 0).
// Every decoded message is sent to one lane chosen by a hash of its name, as the daemon's
// dispatch does. blast_lines starts it, reads "port <n>" from its output, and asks for its
// counters by writing a line to its input; it answers
// "consumed <n> delivered <n> rejected <n> overflows <n>".
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "vask/vask_director.h"
#include "vask/vask_intake.h"

namespace {

std::atomic<uint64_t> consumed{0};
long work_ns = 0;

void spin_ns(long ns) {
  auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns);
  while (std::chrono::steady_clock::now() < until) {
  }
}

int consume(eventer_t, int, void *, struct timeval *) {
  vask_metric_director_lane_t *lane = vask_metric_director_my_lane();
  bool slow = work_ns > 0 && eventer_current_thread_id() == 0;
  uint64_t n = 0;
  while (vask_metric_message_t *m = vask_metric_director_lane_next(lane)) {
    if (slow) spin_ns(work_ns);
    vask_metric_director_message_deref(m);
    // Bounded cycles, as the daemon's consumers run them, so other events get their turn.
    if (++n == 10000) break;
  }
  if (n) consumed.fetch_add(n, std::memory_order_relaxed);
  return 0;
}

int reduce(void *, vask_metric_message_t *m, uint16_t *flags, int n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < m->id.name_len; i++)
    h = (h ^ uint8_t(m->id.name[i])) * 1099511628211ull;
  for (int i = 0; i < n; i++)
    flags[i] = 0;
  flags[h % uint64_t(n)] = 1;
  return 0;
}

uint64_t director_counter(const char *name) {
  stats_ns_t *root = stats_recorder_root(stats_process_recorder());
  stats_ns_t *ns = stats_register_ns(stats_register_ns(root, "vask"), "director");
  stats_opts_t opts;
  opts.units = "messages";
  return stats_counter_value(stats_register_counter(ns, name, opts));
}

}  // namespace

int main(int argc, char **argv) {
  long capacity = 4096;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view a = argv[i];
    if (a == "--work-ns")
      work_ns = std::atol(argv[i + 1]);
    else if (a == "--lane-capacity")
      capacity = std::atol(argv[i + 1]);
  }
  std::string conf =
      "<queltd><eventer><config><concurrency>2</concurrency></config></eventer>"
      "<vask><director lane_capacity=\"" +
      std::to_string(capacity) +
      "\"/></vask>"
      "<listeners><metrics address=\"127.0.0.1\" port=\"0\"/></listeners></queltd>";
  if (!tovi_conf_load_string(conf.c_str(), "intake_sink.conf") || eventer_init() != 0) return 2;
  vask_metric_director_dedupe(false);
  vask_metric_director_init_globals();
  if (vask_metric_director_init() != 0) return 2;
  metric_director_revise_hook_register("sink-reduce", reduce, nullptr);
  for (int t = 0; t < 2; t++) {
    eventer_t e = eventer_alloc_recurrent(consume, nullptr);
    eventer_set_owner(e, t);
    eventer_add(e);
  }
  if (vask_intake_init() != 0) return 2;
  std::thread([] { eventer_loop(); }).detach();
  std::printf("port %u\n", unsigned(vask_intake_listener_ports().at(0)));
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::printf("consumed %llu delivered %llu rejected %llu overflows %llu\n",
                (unsigned long long)consumed.load(std::memory_order_relaxed),
                (unsigned long long)director_counter("delivered"),
                (unsigned long long)director_counter("rejected"),
                (unsigned long long)director_counter("lane_overflows"));
    std::fflush(stdout);
  }
  std::_Exit(0);
}
