// Bounded regular expressions: limits on pcre_extra, and the counting and throttled logging of
// matches that a limit stopped.
#include "vask/vask_pcre.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include "stats/stats.h"
#include "tovi/tovi_log.h"

namespace {

struct pcre_counters_t {
  stats_counter_t *limit_hits, *errors;
  // The second of the last log line, and hits not yet logged.
  std::atomic<int64_t> logged_second{0};
  std::atomic<uint64_t> unlogged{0};
};

pcre_counters_t &counters() {
  static pcre_counters_t *c = [] {
    auto *n = new pcre_counters_t;  // never freed: any thread may count until the end
    stats_ns_t *root = stats_recorder_root(stats_process_recorder());
    stats_ns_t *ns = stats_register_ns(stats_register_ns(root, "vask"), "pcre");
    stats_opts_t opts;
    opts.units = "matches";
    n->limit_hits = stats_register_counter(ns, "limit_hits", opts);
    n->errors = stats_register_counter(ns, "errors", opts);
    return n;
  }();
  return *c;
}

tovi_log_stream_t error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/vask");
  return ls;
}

void note_limit_hit(int rc, const char *what) {
  pcre_counters_t &c = counters();
  stats_counter_inc(c.limit_hits);
  // Relaxed: the throttle is approximate by design; nothing else depends on it.
  uint64_t pending = c.unlogged.fetch_add(1, std::memory_order_relaxed) + 1;
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  int64_t second = ts.tv_sec;
  int64_t last = c.logged_second.load(std::memory_order_relaxed);
  if (last == second ||
      !c.logged_second.compare_exchange_strong(last, second, std::memory_order_relaxed))
    return;
  pending = c.unlogged.exchange(0, std::memory_order_relaxed);
  tovi_log(error_stream(),
           "vask: a %s regular expression reached the %s limit and failed (%llu such since the "
           "last report)\n",
           what ? what : "", rc == PCRE_ERROR_RECURSIONLIMIT ? "recursion" : "match",
           static_cast<unsigned long long>(pending));
}

}  // namespace

pcre_extra *vask_pcre_limit(pcre_extra *extra) {
  if (!extra) {
    extra = static_cast<pcre_extra *>((*pcre_malloc)(sizeof(pcre_extra)));
    if (!extra) return nullptr;
    std::memset(extra, 0, sizeof *extra);
  }
  extra->flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra->match_limit = VASK_PCRE_MATCH_LIMIT;
  extra->match_limit_recursion = VASK_PCRE_RECURSION_LIMIT;
  return extra;
}

int vask_pcre_result(int rc, const char *what) {
  if (rc >= 0) return 1;
  if (rc == PCRE_ERROR_NOMATCH) return 0;
  if (rc == PCRE_ERROR_MATCHLIMIT || rc == PCRE_ERROR_RECURSIONLIMIT) {
    note_limit_hit(rc, what);
    return -1;
  }
  stats_counter_inc(counters().errors);
  return -1;
}

uint64_t vask_pcre_limit_hits(void) {
  return stats_counter_value(counters().limit_hits);
}
