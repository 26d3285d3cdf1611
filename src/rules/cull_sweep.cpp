// Stream culling, sweeps over every stream, and the REST request that clears one stream's alert.
//
// Culling. Streams are created on demand, one per signature a ruleset has seen, and would
// otherwise live as long as their ruleset. A ruleset with a cull delay keeps one relative timer,
// pinned to a loop thread chosen by its id (from the pool "ruleset_cull" when configured). Every
// write of the cull slot except the destructor's happens on that thread: arming from elsewhere
// is posted there, and the pass runs there. So arming never races the pass, and as the timer is
// re-armed only at the end of a pass, a ruleset never has two passes at once. The destructor
// empties the slot by exchange from any thread; a pass whose timer is no longer its ruleset's
// (the ruleset was replaced or removed) frees its closure and does nothing else.
//
// Idleness is the pass time minus the stream's newest message time. An explicit cull_seconds
// removes a stream after that much silence whatever its state; the automatic horizon of a ruleset
// that may see many streams (pattern, any check, tag filter) removes only streams that are not
// raised, so an open alert is never forgotten silently. A newest message time after the pass time
// (a broker's clock ahead of ours, or ours stepped back) counts as not idle: the unsigned
// difference would otherwise read as an enormous silence and cull a stream that is talking. And
// a stream is idle only if the daemon's monotonic clock agrees that nothing arrived for that
// long: a wall clock stepped forward would otherwise make every stream look silent at once, and
// culling a raised stream forgets its open alert.
//
// Sweeps. rulestream_sweeper visits every stream of every ruleset on a job thread, under each
// stream's lock, for broker and maintenance handling. It walks a copy of the registry's pointers,
// not the registry itself: the registry's iteration holds its read side through the callback, and
// a sweep that takes stream locks there would stall every load behind it.
#include <json-c/json.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "daemon_stats.h"
#include "tovi/eventer.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_text.h"

std::atomic<uint64_t> rulestreams_culled{0};
std::atomic<int32_t> rules_republish_rate{2000};
std::atomic<uint64_t> rules_republications_sent{0};

namespace {

// A sweep waiting for the lane or running on it, with every caller that joined it.
struct sweep_run_t {
  rules_sweep_callback_t callback;
  broker_t *broker;
  uint64_t ecid;                                                            // 0: every ruleset
  std::vector<std::pair<rules_sweep_complete_t, rules_sweep_t *>> callers;  // the first one's
                                                                            // sweep is passed on
};

std::mutex sweeps_lock;
std::vector<sweep_run_t *> sweeps_waiting;  // guarded by sweeps_lock: not started yet
std::atomic<uint64_t> sweeps_started{0}, sweeps_joined{0}, sweeps_paced_ms{0};

bool many_streams(const ruleset_t &r) {
  return r.filter_ast != nullptr || r.pattern.metric_name || r.pattern.any_check_uuid;
}

uint64_t timeval_ms(const struct timeval &tv) {
  return uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
}

int cull_owner(const ruleset_t &r) {
  return eventer_pool_choose_owner(eventer_pool("ruleset_cull"), r.event_criteria_id & 0xffffffffu);
}

// Runs on the ruleset's cull thread only.
void arm_cull_here(const ruleset_sp &r) {
  r->clear_cull_event();
  int32_t delay = ruleset_cull_delay_seconds(*r);
  if (delay < 1) return;
  auto *closure = static_cast<rule_cull_t *>(calloc(1, sizeof(rule_cull_t)));
  tovi_assert(closure);
  closure->event_criteria_id = r->event_criteria_id;
  // Added from its owner thread, the timer belongs to this thread and cannot fire before this
  // function returns: taking the slot's reference after adding is safe.
  eventer_t e = eventer_add_in_s_us(ruleset_cull_streams, closure, delay, 0);
  eventer_ref(e);
  // Release: whoever loads the slot sees the complete record.
  r->cull_event.store(e, std::memory_order_release);
}

void remove_stream_counted(const ruleset_sp &r, const rulestream_sp &s) {
  r->remove_ruleset_stream(s);
  rulestreams_culled.fetch_add(1, std::memory_order_relaxed);
}

// Destroying a stream cancels its window reservations, which costs a few microseconds each:
// a pass that removed many hands their last references to a job, so that the loop thread the
// ruleset's timers share is not held up for a third of a second by 100,000 of them.
constexpr size_t release_on_job_above = 1000;

int release_streams_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *streams = static_cast<std::vector<rulestream_sp> *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) streams->clear();
  if (mask == EVENTER_ASYNCH_COMPLETE) delete streams;
  return 0;
}

void release_streams(std::vector<rulestream_sp> streams) {
  if (streams.size() <= release_on_job_above) return;
  eventer_add(eventer_alloc_asynch(release_streams_job,
                                   new std::vector<rulestream_sp>(std::move(streams))));
}

}  // namespace

// ---- Statistics --------------------------------------------------------------------------------

void rules_cull_stats_init(void) {
  static bool registered = false;
  if (registered) return;
  registered = true;
  stats_ns_t *ns = rules_stats_ns();
  tovi_assert(ns);
  stats_opts_t opts;
  opts.units = "streams";
  tovi_assert(stats_register_u64(ns, "live", STATS_GAUGE, &rulestreams_live, opts));
  tovi_assert(stats_register_u64(ns, "culled", STATS_COUNTER, &rulestreams_culled, opts));
  stats_ns_t *sweeps = stats_register_ns(ns, "sweeps");
  tovi_assert(sweeps);
  stats_opts_t sweep_opts;
  sweep_opts.units = "sweeps";
  stats_register_u64(sweeps, "started", STATS_COUNTER, &sweeps_started, sweep_opts);
  stats_register_u64(sweeps, "joined", STATS_COUNTER, &sweeps_joined, sweep_opts);
  stats_register_u64_fn(
      sweeps, "waiting", STATS_GAUGE,
      [] {
        std::lock_guard<std::mutex> g(sweeps_lock);
        return uint64_t(sweeps_waiting.size());
      },
      sweep_opts);
  stats_opts_t ms_opts;
  ms_opts.units = "milliseconds";
  stats_register_u64(sweeps, "paced", STATS_COUNTER, &sweeps_paced_ms, ms_opts);
  // Raised streams removed by culling whose clear is still owed (rules.h).
  stats_register_u64_fn(
      ns, "raised_remembered", STATS_GAUGE, [] { return uint64_t(raised_memory_size()); }, opts);
  stats_register_u64_fn(
      ns, "raised_recalled", STATS_COUNTER, [] { return raised_memory_recalled(); }, opts);
  stats_register_u64_fn(
      ns, "raised_forgotten", STATS_COUNTER, [] { return raised_memory_evicted(); }, opts);
}

// ---- Culling -----------------------------------------------------------------------------------

int32_t ruleset_cull_delay_seconds(const ruleset_t &r) {
  int32_t delay = r.cull_seconds;
  if (many_streams(r) && (delay == 0 || delay > rules_autocull_horizon_s))
    delay = rules_autocull_horizon_s;
  return delay;
}

uint32_t rules_monotonic_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return uint32_t(ts.tv_sec) + 1;  // 0 means "never" to the streams
}

int32_t ruleset_autocull_seconds(const ruleset_t &r) {
  if (!many_streams(r)) return 0;
  int64_t autocull = rules_autocull_horizon_s;
  for (const rule_t &rule : r.rules) {
    if (rule.absence_window != 0 && rule.severity != INT_MAX) return 0;
    autocull = std::max<int64_t>(autocull, rule.windowing_duration / 1000 + absence_cushion_s);
    autocull = std::max<int64_t>(autocull, int64_t(absence_cushion_s + rule.absence_window));
  }
  return int32_t(std::min<int64_t>(autocull, INT32_MAX));
}

bool rulestream_c::should_cull(uint64_t now_ms, int32_t cull_seconds, int32_t autocull,
                               uint32_t mono_now_s) {
  bool cull = false;
  {
    tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
    if (_last_time_ms <= now_ms) {
      uint64_t idle = now_ms - _last_time_ms;
      // The shorter of the two silences: by the messages' time stamps and by our steady clock.
      if (mono_now_s && _last_arrival_s && _last_arrival_s <= mono_now_s)
        idle = std::min<uint64_t>(idle, uint64_t(mono_now_s - _last_arrival_s) * 1000);
      if (cull_seconds > 0 && idle > uint64_t(cull_seconds) * 1000)
        cull = true;
      else if (autocull > 0 && idle > uint64_t(autocull) * 1000 && get_last_sev() == RULE_SEV_CLEAR)
        cull = true;
    }
  }
  tovi_log(rules_debug_stream(), "Should cull [%s]: %s\n", _signature, cull ? "yes" : "no");
  return cull;
}

size_t ruleset_cull_pass(const ruleset_sp &r, uint64_t now_ms, std::vector<rulestream_sp> *removed,
                         uint32_t mono_now_s) {
  if (!r) return 0;
  int32_t autocull = ruleset_autocull_seconds(*r);
  // Nothing can be idle enough: skip locking every stream.
  if (r->cull_seconds <= 0 && autocull <= 0) return 0;
  std::vector<rulestream_sp> idle;
  for (const rulestream_sp &s : r->get_ruleset_streams())
    if (s->should_cull(now_ms, r->cull_seconds, autocull, mono_now_s)) idle.push_back(s);
  // The consumers keep the raised state of a stream removed now: remember it, so that the
  // stream that comes back under this signature announces its clear.
  for (const rulestream_sp &s : idle) {
    raised_memory_entry_t entry;
    if (!s->announced_raised(&entry.sev, &entry.rule)) continue;
    entry.ecid = r->event_criteria_id;
    entry.signature.assign(s->get_signature());
    entry.culled_ms = now_ms;
    raised_memory_remember(entry);
  }
  // One write for the whole pass: each write of the table waits out its readers twice.
  size_t culled = r->remove_ruleset_streams(idle);
  rulestreams_culled.fetch_add(culled, std::memory_order_relaxed);
  if (removed) *removed = std::move(idle);
  return culled;
}

int ruleset_cull_streams(eventer_t e, int, void *closure, struct timeval *now) {
  auto *cull = static_cast<rule_cull_t *>(closure);
  ruleset_sp r = get_ruleset_by_id(cull->event_criteria_id);
  if (r && r->cull_event.load(std::memory_order_acquire) == e) {
    size_t culled;
    std::vector<rulestream_sp> removed;
    {
      tovi_memory_scope_c bracket;
      culled = ruleset_cull_pass(r, timeval_ms(*now), &removed, rules_monotonic_s());
    }
    release_streams(std::move(removed));
    if (culled)
      tovi_log(rules_debug_stream(), "culled %zu streams of [%lu]\n", culled,
               (unsigned long)r->event_criteria_id);
    eventer_t expected = e;
    // Only while the slot still holds this timer does its reference belong to us.
    if (r->cull_event.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel))
      eventer_deref(e);
    ruleset_schedule_cull(r);
  }
  free(cull);
  return 0;
}

void ruleset_schedule_cull(const ruleset_sp &r) {
  if (!r || !eventer_is_initialized()) return;
  int owner = cull_owner(*r);
  if (eventer_current_thread_id() == owner) {
    arm_cull_here(r);
    return;
  }
  // Weak: a ruleset replaced before its thread gets to this needs no timer.
  ruleset_wp weak = r;
  eventer_post(owner, [weak] {
    if (ruleset_sp live = weak.lock()) arm_cull_here(live);
  });
}

// ---- Sweeps ------------------------------------------------------------------------------------

namespace {

// While the bus holds more unconfirmed messages than this, a re-publishing sweep waits: real
// alerts then find room in the queue and wait behind at most this many re-publications.
constexpr int64_t sweep_backlog_limit = 200;
// Streams visited between two looks at the bus backlog.
constexpr int sweep_pace_every = 64;
// The longest a sweep waits for the backlog to drain without it moving at all (a bus that is
// away): then it goes on, and refused re-publications are retried later.
constexpr int sweep_stall_ms = 10000;

eventer_jobq_t *sweep_jobq() {
  static eventer_jobq_t *q = [] {
    bool existed = eventer_jobq_retrieve("rules_sweep") != nullptr;
    eventer_jobq_t *created = eventer_jobq_create_ms("rules_sweep", EVENTER_JOBQ_MS_NONE);
    tovi_assert(created);
    if (!existed) {
      eventer_jobq_set_min_max(created, 1, 1);
      eventer_jobq_set_concurrency(created, 1);
    }
    return created;
  }();
  return q;
}

tovi_amqp_backlog_fn_t backlog_function() {
  static tovi_amqp_backlog_fn_t fn =
      reinterpret_cast<tovi_amqp_backlog_fn_t>(tovi_function_find("tovi_amqp_backlog_function"));
  return fn;
}

// Waits while the bus's backlog is above the limit; gives up after sweep_stall_ms without
// progress.
void pace_by_bus_backlog() {
  tovi_amqp_backlog_fn_t backlog = backlog_function();
  if (!backlog) return;
  int64_t last = backlog();
  int stalled_ms = 0;
  while (last > sweep_backlog_limit && stalled_ms < sweep_stall_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    sweeps_paced_ms.fetch_add(2, std::memory_order_relaxed);
    int64_t now = backlog();
    stalled_ms = now < last ? 0 : stalled_ms + 2;
    last = now;
  }
}

// Waits while this sweep has sent more re-publications than the rate allows since it started.
void pace_by_rate(std::chrono::steady_clock::time_point start, uint64_t sent_at_start) {
  for (;;) {
    int32_t rate = rules_republish_rate.load(std::memory_order_relaxed);
    if (rate <= 0) return;
    uint64_t sent = rules_republications_sent.load(std::memory_order_relaxed) - sent_at_start;
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (double(sent) <= elapsed * rate) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    sweeps_paced_ms.fetch_add(5, std::memory_order_relaxed);
  }
}

int sweep_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *run = static_cast<sweep_run_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    {
      // From now on a new request starts a new sweep: this one may have passed its streams.
      std::lock_guard<std::mutex> g(sweeps_lock);
      sweeps_waiting.erase(std::remove(sweeps_waiting.begin(), sweeps_waiting.end(), run),
                           sweeps_waiting.end());
    }
    sweeps_started.fetch_add(1, std::memory_order_relaxed);
    rules_sweep_t *sweep = run->callers.front().second;
    std::vector<ruleset_sp> rulesets;
    if (run->ecid) {
      if (ruleset_sp r = get_ruleset_by_id(run->ecid)) rulesets.push_back(std::move(r));
    } else if (ruleset_mgr) {
      rulesets.reserve(ruleset_mgr->size());
      ruleset_mgr->iterate([&](uint64_t, const ruleset_sp &r) { rulesets.push_back(r); });
    }
    int visited = 0;
    const auto start = std::chrono::steady_clock::now();
    const uint64_t sent_at_start = rules_republications_sent.load(std::memory_order_relaxed);
    for (const ruleset_sp &r : rulesets) {
      for (const rulestream_sp &s : r->get_ruleset_streams()) {
        if (++visited % sweep_pace_every == 0) {
          pace_by_rate(start, sent_at_start);
          pace_by_bus_backlog();
        }
        // One bracket a stream: a sweep that waits for the bus must not hold back every free.
        tovi_memory_scope_c bracket;
        stream_lock_c lock(*s);
        if (run->broker == RULES_SWEEP_ALL_BROKERS || run->broker == s->_broker)
          run->callback(s.get(), sweep);
      }
    }
    return 0;
  }
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    int64_t count = run->callers.front().second->rule_cnt;
    for (auto &[complete, sweep] : run->callers) {
      sweep->rule_cnt = count;  // joined callers were served by the same visits
      if (complete) complete(sweep);
    }
    delete run;
  }
  return 0;
}

}  // namespace

void rulestream_sweeper(broker_t *broker, rules_sweep_callback_t callback,
                        rules_sweep_complete_t complete, rules_sweep_t *sweep) {
  rulestream_sweeper_ruleset(0, broker, callback, complete, sweep);
}

void rulestream_sweeper_ruleset(uint64_t ecid, broker_t *broker, rules_sweep_callback_t callback,
                                rules_sweep_complete_t complete, rules_sweep_t *sweep) {
  {
    std::lock_guard<std::mutex> g(sweeps_lock);
    for (sweep_run_t *run : sweeps_waiting)
      if (run->callback == callback && run->broker == broker && run->ecid == ecid) {
        run->callers.emplace_back(complete, sweep);
        sweeps_joined.fetch_add(1, std::memory_order_relaxed);
        return;
      }
  }
  auto *run = new sweep_run_t{callback, broker, ecid, {{complete, sweep}}};
  {
    std::lock_guard<std::mutex> g(sweeps_lock);
    sweeps_waiting.push_back(run);
  }
  eventer_add_asynch(sweep_jobq(), eventer_alloc_asynch(sweep_job, run));
}

void rules_sweep_stats(uint64_t *started, uint64_t *joined, uint64_t *waiting) {
  *started = sweeps_started.load(std::memory_order_relaxed);
  *joined = sweeps_joined.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> g(sweeps_lock);
  *waiting = sweeps_waiting.size();
}

// ---- Stream clear-alert ------------------------------------------------------------------------

rulestream_sp rules_find_sent_stream(const ruleset_sp &r, std::string_view signature) {
  if (!r || signature.empty()) return nullptr;
  rulestream_sp s = r->get_rulestream(nullptr, signature.data(), signature.size(), false);
  std::string raw;
  if (!s && tovi_json_byte_unescape(signature, &raw))
    s = r->get_rulestream(nullptr, raw.data(), raw.size(), false);
  return s;
}

int rulestream_c::rest_clear_alert(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  uint64_t ecid = 0;
  if (npats != 2 || !tovi_decimal_u64(pats[0], &ecid)) {
    tovi_http_response_json_error(restc, 500, "ERROR", "argument failed");
    return TOVI_HTTP_DONE;
  }
  const char *cull = tovi_http_request_querystring(restc, "cull");
  bool remove = cull && strcmp(cull, "1") == 0;
  struct timeval now;
  gettimeofday(&now, nullptr);

  ruleset_sp r = get_ruleset_by_id(ecid);
  if (!r) {
    tovi_http_response_json_error(restc, 500, "ERROR", "no such ruleset");
    return TOVI_HTTP_DONE;
  }
  rulestream_sp s = rules_find_sent_stream(r, pats[1]);
  if (!s) {
    tovi_http_response_json_error(restc, 500, "ERROR", "no such _signature for ruleset");
    return TOVI_HTTP_DONE;
  }
  {
    stream_lock_c lock(*s);
    if (s->should_trigger(RULE_SEV_CLEAR, RULE_INDEX_CLEAR)) {
      tovi_log_fields(rules_debug_stream(), (mlkv_rs(s, r)), "ecid[%lu] %d -> %d\n",
                      (unsigned long)ecid, s->get_last_sev(), RULE_SEV_CLEAR);
      s->mark_triggered(timeval_ms(now), RULE_SEV_CLEAR, RULE_INDEX_CLEAR, r->check_uuid);
      s->reevaluate(now);
    }
  }
  // Rendered without this stream's lock: rendering takes every stream's lock in turn, and two
  // requests on two streams of one ruleset, each holding its own, would wait for each other.
  json_object *o = ruleset_to_json(r);
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_json(restc, o);
  tovi_http_response_append_str(restc, "\n");
  tovi_http_response_end(restc);
  json_object_put(o);
  if (remove) remove_stream_counted(r, s);
  return TOVI_HTTP_DONE;
}
