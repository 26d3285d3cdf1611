// Metric intake and worker dispatch.
//
// The director offers a message to every loop thread interested in it; the revise hook
// "quelt-reduce" narrows that to one thread chosen by a hash of the metric's identity, so every
// message of one metric is handled by the same worker and the metric's non-grouped windows and
// rule streams need no lock. Each loop thread runs one recurrent consumer that drains its lane in
// bounded cycles, so timers and I/O on that thread are never starved; a cycle cut short wakes its
// thread again so that what is left in the lane is not stranded until the loop's idle wake-up.
//
// Counters: the process-wide ones are per-thread shards summed when read; the per-thread ones
// are recorder counters (sharded the same way) in a namespace named after the thread, made on
// the thread's first message. Nothing a worker writes per message is a cache line that another
// worker writes too.
//
// Time: the consumer reads the clock once per message boundary: the reading that closes one
// message (after its last ruleset, or after its lookup) opens the next, and also serves the
// cycle's time limit. The durations go into the workers' own histogram bins, merged when read.
#include <pthread.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>
#include <vector>

#include "metrics/metrics_internal.h"
#include "rules/rules.h"
#include "daemon_stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_director.h"

stats_sharded_u64_t total_message_cnt;
stats_sharded_u64_t total_cycle_cnt;
stats_sharded_u64_t timeout_cycle_cnt;
stats_sharded_u64_t queuedepth_cycle_cnt;
stats_sharded_u64_t total_ruleset_dispatch_cnt;

namespace {
// Without director lanes (tests and benchmarks) the absence timers' synthetic lines are handed
// straight to this intake. Installed at static initialisation, so that every program that links
// the intake has it, whatever it starts; the rules module keeps the pointer in a constant-
// initialised atomic, so the order of static initialisers does not matter.
const bool absence_intake_installed = [] {
  absence_set_lane_less_intake(handle_vask_metric_message);
  return true;
}();
}  // namespace

double metrics_nan;
double metrics_infinity;

namespace {

// The selection key "<uuid>:<name>" is built here; longer keys are hashed without it.
constexpr size_t select_key_buffer = 4134;
constexpr size_t uuid_text_len = 36;
// The cycle's time limit is tested once per this many messages.
constexpr int cycle_clock_stride = 100;

stats_histogram_t *messages_per_cycle;
stats_histogram_t *metric_processing;
stats_histogram_t *rule_execute;
stats_histogram_t *rules_find_hit;
stats_histogram_t *rules_find_miss;
stats_ns_t *datapath_ns;

std::once_flag state_once;

uint64_t hr_now_ns() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// Divides at run time so that the compiler cannot fold away what the check is there to verify.
double divide(double a, double b) {
  volatile double divisor = b;
  return a / divisor;
}

void register_statistics() {
  stats_ns_t *root = stats_recorder_root(stats_recorder());
  datapath_ns = stats_register_ns(root, "datapath");
  stats_ns_t *aggregate = stats_register_ns(datapath_ns, "_aggregate");
  stats_ns_t *rules = stats_register_ns(root, "rules");
  tovi_assert(datapath_ns && aggregate && rules);

  stats_register_u64(aggregate, "received", STATS_COUNTER, &total_message_cnt,
                     {.units = "messages"});
  stats_register_u64(aggregate, "cycles", STATS_COUNTER, &total_cycle_cnt);
  stats_register_u64(aggregate, "timeout_cycles", STATS_COUNTER, &timeout_cycle_cnt,
                     {.tagged_name = "aborted_cycles", .tags = {{"reason", "timeout"}}});
  stats_register_u64(aggregate, "queuedepth_cycles", STATS_COUNTER, &queuedepth_cycle_cnt,
                     {.tagged_name = "aborted_cycles", .tags = {{"reason", "count"}}});
  stats_register_u64(aggregate, "ruleset_dispatch", STATS_COUNTER, &total_ruleset_dispatch_cnt,
                     {.units = "rulesets"});

  messages_per_cycle =
      stats_register_histogram(datapath_ns, "messages_per_cycle", {.units = "messages"});
  metric_processing =
      stats_register_histogram(datapath_ns, "metric_processing", {.units = "seconds"});
  rule_execute = stats_register_histogram(rules, "rule_execute", {.units = "seconds"});
  rules_find_hit = stats_register_histogram(rules, "rules_find_hit", {.units = "seconds"});
  rules_find_miss = stats_register_histogram(rules, "rules_find_miss", {.units = "seconds"});
  tovi_assert(messages_per_cycle && metric_processing && rule_execute && rules_find_hit &&
              rules_find_miss);
}

// ---- Per-thread counters ----

struct thread_counters_t {
  stats_counter_t *received = nullptr;
  stats_counter_t *ruleset_dispatch = nullptr;
};

// Tags a thread's namespace: "e:<pool>/<id>" names a framework loop or pool thread, anything
// else is the thread's own name.
void tag_thread_namespace(stats_ns_t *ns, const char *name) {
  const char *slash = strchr(name, '/');
  if (strlen(name) > 4 && strncmp(name, "e:", 2) == 0 && slash && slash > name + 2) {
    std::string pool(name + 2, size_t(slash - name - 2));
    if (pool.size() > 63) pool.resize(63);
    stats_ns_add_tag(ns, "tovi-pool", pool.c_str());
    stats_ns_add_tag(ns, "tovi-thread", slash + 1);
  } else {
    stats_ns_add_tag(ns, "quelt-thread", name);
  }
}

thread_counters_t &thread_counters() {
  thread_local thread_counters_t counters;
  if (counters.received) return counters;
  metrics_state_init(0);
  char name[64] = "";
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || !name[0])
    snprintf(name, sizeof name, "thread-%lu", static_cast<unsigned long>(pthread_self()));
  stats_ns_t *ns = stats_register_ns(datapath_ns, name);
  tovi_assert(ns != nullptr);
  tag_thread_namespace(ns, name);
  counters.ruleset_dispatch = stats_register_counter(ns, "ruleset_dispatch", {.units = "rulesets"});
  counters.received = stats_register_counter(ns, "received", {.units = "messages"});
  tovi_assert(counters.received && counters.ruleset_dispatch);
  return counters;
}

// Handles one message whose handling started at start (steady clock ns); returns the reading
// that closed it.
uint64_t handle_message(vask_metric_message_t *m, uint64_t start);

// ---- Thread selection ----

// ---- Start-up counter ----

struct startup_counter_t {
  std::atomic<int> remaining;
};

// ---- Rulesets of one message ----

// The lookup's array, one per thread: 1024 shared pointers are too many to build and tear down
// for every message. Only the entries a lookup filled are reset afterwards.
struct ruleset_slots_t {
  std::vector<ruleset_sp> slots = std::vector<ruleset_sp>(max_rulesets_per_metric);
  bool in_use = false;
};

void log_metric_line(tovi_log_stream_t ls, const vask_metric_message_t *m, const char *fmt) {
  if (!tovi_log_stream_enabled(ls)) return;
  char uuid[37];
  tovi_uuid_unparse(m->id.id, uuid);
  char type[2] = {char(m->value.type), '\0'};
  std::string_view name(m->id.name, m->id.name_len_with_tags);
  tovi_log_write(ls,
                 {{"account_id", static_cast<unsigned long long>(m->id.account_id)},
                  {"check_uuid", uuid},
                  {"metric_name", name},
                  {"whence_ms", static_cast<unsigned long long>(m->value.whence_ms)},
                  {"metric_type", type}},
                 fmt, uuid, int(name.size()), name.data());
}

}  // namespace

void metrics_state_init(int initial_hash_size) {
  std::call_once(state_once, [initial_hash_size] {
    register_statistics();

    metrics_nan = divide(0.0, 0.0);
    metrics_infinity = divide(1.0, 0.0);
    tovi_assert(std::isnan(metrics_nan));
    tovi_assert(std::isinf(metrics_infinity));

    metrics_debug = tovi_log_stream_find("debug/metrics");
    metrics_log = tovi_log_stream_find("metrics");
    if (tovi_log_outlet_create_memory("metrics_internal", "10,100000"))
      tovi_assert(tovi_log_stream_add_outlet("metrics", "metrics_internal"));

    metric_state_registry_init(initial_hash_size);
  });
}

void metrics_init(void) {
  int32_t initial_hash_size = 50000;
  tovi_conf_get_int32(nullptr, "//orvane/state/metrics/@initial_hash_size", &initial_hash_size);
  metrics_state_init(initial_hash_size);
  metric_windows_configure();

  tovi_assert(tovi_http_rest_register_auth("GET", "/metric/", metric_state_rest_pattern,
                                           metric_state_get, tovi_http_rest_client_cert_auth) == 0);
  metric_director_revise_hook_register("quelt-reduce", metric_select_one_thread, nullptr);

  // States are freed when nothing reserves them any more: the two figures show churn.
  stats_ns_t *states = stats_register_ns(stats_recorder_root(stats_recorder()), "metric_states");
  tovi_assert(states);
  stats_opts_t opts;
  opts.units = "states";
  stats_register_u64_fn(
      states, "live", STATS_GAUGE, [] { return uint64_t(metric_state_count()); }, opts);
  stats_register_u64_fn(
      states, "freed", STATS_COUNTER, [] { return metric_states_freed(); }, opts);

  int nthreads = eventer_loop_concurrency();
  tovi_assert(nthreads > 0);
  void *blocked = metrics_startup_counter_alloc(nthreads);
  tovi_assert(blocked);
  eventer_name_callback("consume_data", consume_data);
  for (int i = 0; i < nthreads; i++) {
    eventer_t e = eventer_alloc_recurrent(consume_data, blocked);
    eventer_set_owner(e, eventer_choose_owner(uint64_t(i)));
    eventer_add(e);
  }
}

void *metrics_startup_counter_alloc(int n) {
  if (n <= 0) return nullptr;
  auto *counter = new (std::nothrow) startup_counter_t;
  if (counter) counter->remaining.store(n, std::memory_order_relaxed);
  return counter;
}

int metric_worker_index(const vask_metric_id_t *id, int interests_cnt) {
  size_t name_len = vask_metric_id_stream_name_len(id);
  char key[select_key_buffer];
  size_t hash;
  if (uuid_text_len + 1 + name_len <= sizeof key) {
    tovi_uuid_unparse(id->id, key);
    key[uuid_text_len] = ':';
    if (name_len) memcpy(key + uuid_text_len + 1, id->name, name_len);
    hash = std::hash<std::string_view>{}(std::string_view(key, uuid_text_len + 1 + name_len));
  } else {
    // Too long for the buffer: the whole name still decides, hashed on its own and combined
    // with the UUID text's hash.
    tovi_uuid_unparse(id->id, key);
    size_t uuid_hash = std::hash<std::string_view>{}(std::string_view(key, uuid_text_len));
    size_t name_hash = std::hash<std::string_view>{}(std::string_view(id->name, name_len));
    hash = name_hash ^ (uuid_hash + 0x9E3779B97F4A7C15ull + (name_hash << 6) + (name_hash >> 2));
  }
  return int(hash % size_t(interests_cnt));
}

int metric_select_one_thread(void *, vask_metric_message_t *m, uint16_t *interests,
                             int interests_cnt) {
  bool any = false;
  for (int i = 0; i < interests_cnt && !any; i++)
    any = interests[i] != 0;
  if (!any) return 0;
  int chosen = metric_worker_index(&m->id, interests_cnt);
  memset(interests, 0, sizeof(*interests) * size_t(interests_cnt));
  interests[chosen] = 1;
  return 0;
}

int consume_data(eventer_t e, int, void *closure, struct timeval *) {
  vask_metric_director_lane_t *lane = vask_metric_director_my_lane();
  thread_counters();

  if (closure) {
    eventer_set_closure(e, nullptr);
    auto *counter = static_cast<startup_counter_t *>(closure);
    // acq_rel: the thread that takes it to 0 frees it, after every other consumer is done with it.
    if (counter->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      tovi_log(tovi_notice, "queltd ready for data.\n");
      delete counter;
    }
  }

  total_cycle_cnt.inc();
  if (!lane) return EVENTER_RECURRENT;
  vask_metric_message_t *m = vask_metric_director_lane_next(lane);
  if (!m) {
    stats_histogram_record(messages_per_cycle, 0.0);
    return EVENTER_RECURRENT;
  }
  uint64_t start_ns = hr_now_ns();
  uint64_t mark = start_ns;
  int count = 0;
  bool cut_short = false;
  for (; m; m = vask_metric_director_lane_next(lane)) {
    mark = handle_message(m, mark);
    count++;
    if (count > max_messages_per_cycle) {
      queuedepth_cycle_cnt.inc();
      cut_short = true;
      break;
    }
    if (count % cycle_clock_stride == 0 &&
        mark - start_ns > uint64_t(max_ms_per_cycle) * 1000000u) {
      timeout_cycle_cnt.inc();
      cut_short = true;
      break;
    }
  }
  stats_histogram_record(messages_per_cycle, double(count));
  // The loop would otherwise sleep until its idle wake-up with messages waiting.
  if (cut_short) eventer_wakeup(eventer_current_thread_id());
  return EVENTER_RECURRENT;
}

void handle_vask_metric_message(vask_metric_message_t *m) {
  handle_message(m, hr_now_ns());
}

namespace {

uint64_t handle_message(vask_metric_message_t *m, uint64_t start) {
  thread_counters_t &counters = thread_counters();
  stats_counter_inc(counters.received);
  total_message_cnt.inc();
  // An alert this message raises measures its line's way to the publish call from here.
  uint64_t outer_arrival = daemon_stats_line_arrival_set(m->received_ns);

  if (m->id.measurement.tag_count > 0)
    m->id.name_len_with_tags = vask_metric_id_stream_name_len(&m->id);

  thread_local ruleset_slots_t own_slots;
  // Rule application could hand a message back to this thread's intake: a nested call gets an
  // array of its own (an empty vector costs nothing until then).
  std::vector<ruleset_sp> nested_slots;
  ruleset_sp *rulesets;
  bool owns_slots = !own_slots.in_use;
  if (owns_slots) {
    own_slots.in_use = true;
    rulesets = own_slots.slots.data();
  } else {
    nested_slots.resize(max_rulesets_per_metric);
    rulesets = nested_slots.data();
  }

  // One bracket from the look-up to the last application: the metric's route, and what it
  // names, stay valid until it ends.
  tovi_memory_scope_c bracket;
  rules_dispatch_t dispatch;
  int n = rules_dispatch_begin(&dispatch, &m->id, rulesets, max_rulesets_per_metric);
  uint64_t mark = hr_now_ns();
  if (n == 0) {
    stats_histogram_record_ns(rules_find_miss, mark - start);
    log_metric_line(metrics_debug, m, "metric %s %.*s has no rules!\n");
  }
  if (n < 0) {
    log_metric_line(tovi_error, m, "metric %s %.*s with more than 1024 rulesets!\n");
  } else {
    // The hit histogram takes every lookup, an empty one included, timed by the same mark.
    stats_histogram_record_ns(rules_find_hit, mark - start);
    uint64_t applied = 0;
    for (int i = 0; i < n; i++) {
      applied++;
      rules_dispatch_apply(&dispatch, i, m);
      uint64_t now = hr_now_ns();
      stats_histogram_record_ns(rule_execute, now - mark);
      mark = now;
    }
    if (applied) {
      stats_counter_add(counters.ruleset_dispatch, applied);
      total_ruleset_dispatch_cnt.add(applied);
    }
    rules_dispatch_end(&dispatch);
  }
  daemon_stats_line_arrival_set(outer_arrival);

  // The clock was read after the last ruleset: that reading closes the message's time too (the
  // release below is not worth a clock read of its own on every message).
  stats_histogram_record_ns(metric_processing, mark - start);
  vask_metric_director_message_deref(m);
  // A route's message filled none of the array.
  int filled = dispatch.route ? 0 : n < 0 ? max_rulesets_per_metric : n;
  for (int i = 0; i < filled; i++)
    rulesets[i].reset();
  if (owns_slots) own_slots.in_use = false;
  return mark;
}

}  // namespace
