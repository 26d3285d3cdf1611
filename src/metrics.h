// metrics: the daemon's metric side. Two concerns, one contract (cluster membership and
// ownership, which metrics this node owns and publishes for, is cluster.h's):
//   - intake and worker dispatch (metrics/intake.cpp): every metric is pinned to one loop
//     thread, whose consumer drains its director lane and applies the matching rulesets;
//   - metric state and windows (metrics/state.cpp, metrics/state_rest.cpp): the shared sliding
//     windows that rules read, reserved by rule streams and fed by the owning worker.
//
// The two are separate libraries: the metric state lies below the rules, which reserve and read
// its windows; the intake lies above them, since it applies the rulesets it looks up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Concurrency Kit's headers declare C functions without saying so.
extern "C" {
#include <ck_hs.h>
}

#include "cluster.h"
#include "windows/histogram_stats_window.h"
#include "windows/metric_type.h"
#include "windows/numeric_stats_window.h"
#include "windows/text_info.h"
#include "stats/stats_shard.h"
#include "tovi/eventer.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_http.h"
#include "vask/vask_metric.h"

struct json_object;
struct broker_t;

// ---- Intake and worker dispatch ----------------------------------------------------------------
//
// One recurrent consumer per loop thread drains that thread's director lane in cycles of at most
// max_messages_per_cycle + 1 messages or max_ms_per_cycle milliseconds (the clock is read every
// 100 messages); a cycle that stops with messages left wakes its thread again so the rest follows
// in the next pass. Statistics go to the process recorder under "datapath" and "rules".

// A cycle stops once it has handled more than this many messages.
constexpr int max_messages_per_cycle = 10000;
// A cycle stops once more than this many milliseconds have passed since it started.
constexpr int max_ms_per_cycle = 100;
// Rulesets looked up per message; a metric with more is refused and logged.
constexpr int max_rulesets_per_metric = 1024;

// Process-wide intake counters, kept in per-thread shards (stats/stats_shard.h): each worker
// adds to its own cell, and load() sums them, exact whenever it is read.
extern stats_sharded_u64_t total_message_cnt;
extern stats_sharded_u64_t total_cycle_cnt;
extern stats_sharded_u64_t timeout_cycle_cnt;
extern stats_sharded_u64_t queuedepth_cycle_cnt;
extern stats_sharded_u64_t total_ruleset_dispatch_cnt;

// The process-wide NaN and infinity, set and checked by metrics_init.
extern double metrics_nan;
extern double metrics_infinity;

// Starts the intake: registers the statistics, checks the NaN and infinity constants, opens the
// "debug/metrics" and "metrics" streams (the latter with the memory outlet "metrics_internal"),
// creates the metric state registry (//orvane/state/metrics/@initial_hash_size, default 50000),
// registers GET /metric/ and the revise hook "quelt-reduce", and adds one consume_data consumer
// per loop thread. Needs eventer_init() and the director's globals. Call once, on the main
// thread, at start-up; every failure is a fatal assertion.
void metrics_init(void);
// The statistics, the log streams and the registry alone (the steps of metrics_init that need no
// event loop, REST or director). Idempotent; the first call's size wins. For tools and tests
// that drive the intake themselves.
void metrics_state_init(int initial_hash_size);

// The most records each numeric or histogram window allocated from now on may hold (0: every
// sample is kept, the default). Set at start-up from //orvane/state/windows/@max_records by
// metrics_init; windows already allocated keep the cap they were made with. Any thread.
void metric_windows_set_max_records(uint32_t max_records);
// Reads //orvane/state/windows/@max_records (0, or 8 to 1000000) and applies it; a value that is
// not such a number ends start-up with exit status 2, naming the key. Called by metrics_init.
void metric_windows_configure(void);

// The director's revise hook: when any flag is set, keeps exactly one, chosen by the standard
// string hash of "<lower-case check UUID>:<name with stream tags>" (measurement tags "|MT{...}"
// never take part) modulo interests_cnt; with no flag set it changes nothing. No heap
// allocation: a key too long for the fixed buffer is hashed whole, as the combined hashes of the
// UUID text and the full name. Returns 0. Any thread.
int metric_select_one_thread(void *closure, vask_metric_message_t *m, uint16_t *interests,
                             int interests_cnt);
// The index metric_select_one_thread picks for the metric among interests_cnt (> 0) workers.
int metric_worker_index(const vask_metric_id_t *id, int interests_cnt);

// The per-thread consumer, a recurrent event on its loop thread. Its first closure is the
// start-up counter shared by all consumers (see metrics_init): the consumer that brings it to
// 0 logs "queltd ready for data." on "notice" and frees it. Returns EVENTER_RECURRENT.
int consume_data(eventer_t e, int mask, void *closure, struct timeval *now);
// Makes a start-up counter for n consumers (n > 0), the closure of consume_data events.
void *metrics_startup_counter_alloc(int n);

// Handles one message: looks up its rulesets and applies each; drops the measurement tags from
// the id's name_len_with_tags first. Releases one reference to m at the end (the caller hands
// one over). Counts on the calling thread's "received" and "ruleset_dispatch". Any thread;
// normally the worker that owns the metric.
void handle_vask_metric_message(vask_metric_message_t *m);

// ---- Metric state and windows ------------------------------------------------------------------
//
// One process-wide registry (metricstate) of metric states, one per (rule type, check UUID,
// metric name, stream signature), each holding the windows that rule streams reserved, keyed by
// (duration, grouped). States are never removed; windows live while reserved. Text holders are
// always reserved, found and cancelled under duration 0, not grouped.
//
// Threads. Lookups are lock-free (single-writer hash sets) and must run inside a safe-memory
// bracket. Registry inserts take metricstate_wrlock; window inserts and removals take the state's
// windows_wrlock. Every push into a window takes the window's `lock`; a grouped window (fed by
// the workers of every metric its group gathers) must also be read under it
// (metric_window_read_lock). A non-grouped window is fed by one worker only, which reads it
// without a lock. The REST view reads every window under its lock.

// A fetch-and-store spinlock for short critical sections. Built on std::atomic rather than on
// Concurrency Kit's assembly so that the thread sanitizer sees it.
struct ABSL_LOCKABLE metric_spinlock_t {
  std::atomic<bool> held{false};
  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    // Acquire: the holder sees everything the previous holder wrote before its release.
    while (held.exchange(true, std::memory_order_acquire))
      while (held.load(std::memory_order_relaxed))
        __builtin_ia32_pause();
  }
  void unlock() ABSL_UNLOCK_FUNCTION() { held.store(false, std::memory_order_release); }
};

// A reservation of one window of a state. Allocated from safe memory; freed (with its stats) after
// the grace period that follows its removal.
struct metric_window_t {
  // Constant after creation.
  int windowing_duration;  // ms; 0 for text holders
  bool grouped;
  rule_metric_type_t type;
  uint64_t account_id;
  // Reservations. Never incremented from 0: a window at 0 is being unlinked and counts as
  // missing. Bit 31 is never set.
  std::atomic<uint32_t> refcnt;
  // Taken by every push and by readers of grouped windows and of the REST view.
  metric_spinlock_t lock;
  // Guarded by lock (the windows' contents too, where they are shared: see above).
  uint64_t whence_ms ABSL_GUARDED_BY(lock) = 0;  // newest accepted message
  union {
    numeric_stats_window_t *numeric;
    histogram_stats_window_t *histogram;
    text_info_t *text;
    void *any;
  } stats;
};

// Longest record of a state: a key whose name and signature need more is refused.
constexpr int metric_state_max_record = 8304;

// The windows of one metric under one stream signature. One safe-memory allocation; the key
// (type, check_uuid, metric_name with its nul, signature with its nul) is contiguous at its end.
struct metric_state_t {
  tovi_spinlock_c windows_wrlock;  // taken by writers of windows
  ck_hs_t windows;                 // of metric_window_t*
  // The broker that last delivered a message for this state (none until brokers are kept).
  std::atomic<broker_t *> broker;
  bool dead;  // unlinked from the registry; written under windows_wrlock
  // Constant after creation.
  int metric_name_len;
  int signature_len;
  char *signature;  // into metric_name, after the name's nul
  uint64_t account_id;
  rule_metric_type_t type;  // key starts here
  uint8_t check_uuid[16];
  char metric_name[];  // name, nul, signature, nul
};

// Takes one reservation on the window, creating the state and window when missing. A null
// signature means "". A key longer than the registry allows is refused with "metric name too
// long: %d" on "error" (nothing is reserved, null is returned). Returns the reserved window and,
// when `state` is given, stores its state there (null when refused). The window stays valid
// while the reservation is held: only the cancel that drops the last one unlinks it, and it is
// freed after the grace period that follows; so is the state when its last window goes (a state
// nothing reserves is not kept: GET /metric/ then answers null for it). Any thread, inside or
// outside a bracket.
metric_window_t *metric_window_reserve(rule_metric_type_t type, const vask_metric_id_t *id,
                                       const char *signature, int windowing_duration, bool grouped,
                                       metric_state_t **state = nullptr);
// Drops one reservation; the last one unlinks the window and frees it after the grace period.
// Logs "Attempt to cancel metric reservation that doesn't exist [%s]." on "error" when there is
// no such reservation. Any thread.
void metric_window_cancel(rule_metric_type_t type, const vask_metric_id_t *id,
                          const char *signature, int windowing_duration, bool grouped);

// Drops one reservation taken by metric_window_reserve on `mw` of `ms`, as metric_window_cancel
// does, without finding them again. Both must be what that reserve returned. Any thread.
void metric_window_release(metric_state_t *ms, metric_window_t *mw);

// Feeds one message to every reserved window of the state (found once, kept by the caller).
// Returns the number of windows fed; 0 when the value is absent or ms is null. Called on the
// worker thread that owns the metric.
int metric_state_feed(metric_state_t *ms, vask_metric_message_t *m);

// Feeds one message to every reserved window of the metric's state. Returns the number of windows
// fed; 0 when the value is absent or no state exists. Called on the worker thread that owns the
// metric, inside a safe-memory bracket.
int metric_state_update(rule_metric_type_t type, vask_metric_message_t *m, const char *signature);
// Feeds one message to one window under its lock: accepted when newer than the window's newest,
// or, for a grouped window, newer than its newest minus its duration. Returns whether the window
// took it (accepted and of the window's kind).
bool metric_window_update(metric_window_t *mw, const vask_metric_message_t *m);

// The state, or null (also when the key is too long). A null signature means "". Inside a
// bracket; the state stays valid for the bracket (states are never freed).
metric_state_t *metric_state_find(rule_metric_type_t type, const uint8_t check_uuid[16],
                                  const char *metric_name, int metric_name_len,
                                  const char *signature);
// The reserved window, or null. Inside a bracket.
metric_window_t *metric_window_find(rule_metric_type_t type, const vask_metric_id_t *id,
                                    const char *signature, int windowing_duration, bool grouped);
// The windows' contents, or null when there is no such reserved window. Valid while the caller
// holds a reservation and stays inside its bracket; a grouped window's contents only under
// metric_window_read_lock. metric_window_text finds the holder under duration 0, not grouped.
numeric_stats_window_t *metric_window_numeric(const vask_metric_id_t *id, const char *signature,
                                              int windowing_duration, bool grouped);
histogram_stats_window_t *metric_window_histogram(const vask_metric_id_t *id, const char *signature,
                                                  int windowing_duration, bool grouped);
text_info_t *metric_window_text(const vask_metric_id_t *id, const char *signature);
// Read guard of a window: locks a grouped window, does nothing for another. Null is fine.
void metric_window_read_lock(metric_window_t *mw);
void metric_window_read_unlock(metric_window_t *mw);
// The lock of a window that is taken on one path only (`take`: the window is grouped), which the
// thread-safety analysis cannot follow. Any thread.
inline void metric_window_lock_if(metric_window_t *mw, bool take) ABSL_NO_THREAD_SAFETY_ANALYSIS {
  if (take) mw->lock.lock();
}
inline void metric_window_unlock_if(metric_window_t *mw, bool take) ABSL_NO_THREAD_SAFETY_ANALYSIS {
  if (take) mw->lock.unlock();
}

// {"type", "uuid", "name", "windows": [...]} of the windows whose duration is `window` (-1: all);
// null for a null state. Reads each window under its lock. Caller owns the object.
json_object *metric_state_to_json(metric_state_t *ms, int window, int min_window);
// {"windowing_duration", "refcnt", and "numeric" | "text" | "histogram"}. The caller holds the
// window's lock or owns the window. Caller owns the object.
json_object *metric_window_to_json(const metric_window_t *mw, int min_window);

// GET /metric/<numeric|text|histogram>/<check UUID>/<name>[?signature=&windowing_duration=
// &windowing_min_duration=]: 200 with the state's JSON or "null"; 500 {"error": ...}. Runs on the
// connection's loop thread.
int metric_state_get(tovi_http_rest_closure_t *restc, int npats, char **pats);
// The route's expression under "/metric/".
extern const char *const metric_state_rest_pattern;

// Diagnostics and tests: states in the registry, and states freed since the start because their
// last window went.
unsigned long metric_state_count(void);
uint64_t metric_states_freed(void);
