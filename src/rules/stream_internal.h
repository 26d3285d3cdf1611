// The rule stream: the alert state of one ruleset for one stream signature.
//
// A ruleset that watches one exact metric has one stream; a ruleset that matches a pattern of
// names, any check, or a tag filter has one stream per distinct check and metric (and per
// grouped stream-tag set) it has seen. The stream owns what changes while rules are applied:
// per-rule observed values and absence timers, the last value seen, a ring of the last five
// severity transitions, and what was last notified.
//
// Signature: "<lower-case check uuid>`<metric name>|ST[<grouped stream tags>]". A stream looked
// up without a signature uses "00000000-0000-0000-0000-000000000000`*|ST[]".
//
// Severity 2147483647 (INT_MAX) is clear. A rule index of 0 or more names the rule that holds;
// -1 is clear; -2 is undetermined (a new or reset stream, or every window still booting).
//
// Windows. Construction reserves one metric window per rule and keeps the metric state and each
// rule's window it got; destruction cancels exactly those reservations, whether or not its
// ruleset still exists. The stream's own reservations keep those windows alive (a window is
// unlinked only by the cancel of its last reservation, the state never), so rule application
// reads them through the kept pointers instead of finding them again per message.
//
// Threads. Workers, timers, REST handlers and sweep jobs reach the same stream. Everything that
// changes is guarded by the recursive `_data_mutex` (locked operations call each other), except
// the counters and the published newest severity, which are atomic so that other streams can
// read them without taking this stream's lock (a thread holding one stream's lock never waits
// for another's). Observed texts are swapped atomically and freed through safe memory.
#pragma once

#if !defined(QUELT_IN_RULES) && !defined(QUELT_WHITE_BOX)
#error "this header is internal to src/rules/: outside it, include rules/rules.h"
#endif

#include <sys/time.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "brokers.h"
#include "rules/model_internal.h"
#include "rules/rules.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_sync.h"
#include "vask/vask_metric.h"

struct json_object;
struct timeval;
typedef struct tovi_http_rest_closure_s tovi_http_rest_closure_t;
struct metric_state_t;
struct metric_window_t;

// Severity of a clear stream, and the rule indexes of a clear and an undetermined one.
constexpr int32_t RULE_SEV_CLEAR = INT_MAX;
constexpr int8_t RULE_INDEX_CLEAR = -1;
constexpr int8_t RULE_INDEX_UNDETERMINED = -2;

// The signature used when a stream is looked up without one.
extern const char *const rulestream_fixed_signature;

// One entry of a stream's transition ring. Ordered by size: five of these sit in every stream.
struct trigger_history_t {
  uint64_t trigger_time_ms = 0;  // when the transition happened
  // The rule's observed value; which member holds it follows rule_type (holds_text).
  union {
    double numeric_value = 0;  // numeric and histogram criteria
    char *text_value;  // text criteria: safe-memory copy of the observed text, or null for none
  };
  uint8_t uuid[16] = {};
  int32_t sev = RULE_SEV_CLEAR;  // severity entered
  int8_t rule = RULE_INDEX_UNDETERMINED;
  bool notified = false;  // a notification was built for it
  // RULEC_UNKNOWN for -1 and -2. One byte: every criterion fits (asserted below the record).
  rule_criteria_t rule_type : 8 = RULEC_UNKNOWN;

  bool holds_text() const { return rule_criterion_traits(rule_type).value == RULEC_VALUE_TEXT; }
};
static_assert(RULEC_COUNT <= 127, "trigger_history_t keeps a criterion in a signed byte");

// Per-rule state of a stream.
struct ruleimpl_t {
  struct {
    double last_observed_value;  // NaN until known (numeric and histogram rulesets)
  } numeric{0};
  struct {
    std::atomic<char *> last_observed_value{nullptr};  // safe-memory text, swapped atomically
  } text;
  std::atomic<eventer_t> absence_event{nullptr};  // the stream-level absence timer, or none
  // The window this rule reserved at construction (null when the key was refused); valid for
  // the stream's life. Constant after construction.
  metric_window_t *window = nullptr;
  bool setup = false;  // the absence timer has been armed at least once

  ruleimpl_t() = default;
  ruleimpl_t(const ruleimpl_t &) = delete;
  ruleimpl_t &operator=(const ruleimpl_t &) = delete;
  // Clears the absence timer and releases the observed text.
  ~ruleimpl_t();

  // Replaces the observed text with a safe-memory copy of text[0, len) (none for null). The old
  // text is freed through safe memory. Worker thread of the stream.
  void set_text(const char *text, size_t len);
  // Cancels the absence timer, if any, freeing its closure when it had not run. Any thread.
  void clear_absence_event();
  // Installs e as the absence timer and adds it to the loop, unless a timer is already set:
  // then e is discarded with its closure before it ever runs. The caller's reference passes to
  // this call either way. Returns whether e was installed. Any thread.
  bool replace_absence_event_or_kill(eventer_t e);
};

// A stream's state copied under its lock, so that JSON can be built without holding it. Texts
// are plain copies owned by the bundle.
struct json_bundle_t {
  struct last_values_t {
    double numeric = 0;
    std::string text;
  };
  struct history_t {
    uint64_t trigger_time_ms = 0;
    int32_t sev = RULE_SEV_CLEAR;
    int8_t rule = RULE_INDEX_UNDETERMINED;
    bool notified = false;
    rule_criteria_t rule_type = RULEC_UNKNOWN;
    double numeric_value = 0;
    bool has_text = false;
    std::string text_value;
  };
  std::string signature;
  uint64_t applications = 0;
  uint64_t last_time_ms = 0;
  int8_t hidx = 0;
  history_t history[5];
  std::vector<last_values_t> last_observed_values;
};

class rulestream_c {
 public:
  // A stream of `ruleset` for the metric `id` under `signature` (len bytes; null: empty),
  // reserving one window per rule. `broker` (may be null) is where its data last came from.
  rulestream_c(const ruleset_sp &ruleset, const vask_metric_id_t *id, const char *signature,
               size_t len, broker_t *broker);
  // Cancels the window reservations, releases the texts and clears the absence timers.
  ~rulestream_c();
  rulestream_c(const rulestream_c &) = delete;
  rulestream_c &operator=(const rulestream_c &) = delete;

  // The lock every state change takes; recursive.
  tovi_recursive_mutex_c &data_mutex() ABSL_LOCK_RETURNED(_data_mutex) { return _data_mutex; }

  // ---- History (call with the lock held, or take it) --------------------------------------
  int32_t get_last_sev() const ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex) {
    return _history[_hidx].sev;
  }
  int8_t get_last_rule() const ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex) {
    return _history[_hidx].rule;
  }
  const uint8_t *get_last_uuid() const ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex) {
    return _history[_hidx].uuid;
  }
  int32_t get_next_to_last_sev() const ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex) {
    return _history[(_hidx + 4) % 5].sev;
  }
  const trigger_history_t &get_last_history() const ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex) {
    return _history[_hidx];
  }
  void set_last_notified(bool flag);
  // Whether (sev, rule) differs from the newest entry.
  bool should_trigger(int32_t sev, int8_t rule) const;
  // Appends a transition to the ring, recording the rule's observed value. Takes the lock.
  void mark_triggered(uint64_t ms, int32_t sev, int8_t rule, const uint8_t uuid[16]);
  // The newest severity, readable without the lock (another stream's ancestor search).
  int32_t published_sev() const { return _published_sev.load(std::memory_order_acquire); }
  // Asks the processor for what a listing of many streams reads first (the newest severity and
  // the signature), so that a walk over a table can overlap the fetches of several streams.
  void prefetch_for_listing() const {
    __builtin_prefetch(&_published_sev);
    __builtin_prefetch(_signature);
  }

  // ---- Values ---------------------------------------------------------------------------------
  // Records the message's time and value as the stream's last; ignores a missing message and
  // absent or unknown values. Takes the lock.
  void record_last_value(const vask_metric_message_t *m);
  // Adds "value": the last value (a number, the text, or null for an empty text).
  void append_last_value_to_json(json_object *object);
  ruleimpl_t &rule_impl(int i) { return _rules_impl[size_t(i)]; }
  int nrules_impl() const { return _nrules_impl; }

  // ---- Identity and counters ----------------------------------------------------------------
  std::string_view get_signature() const { return {_signature, _signature_len}; }
  // The stream-tag text (after "|ST[", the closing bracket included) and its length without it.
  const char *st_tags() const { return _st_tags; }
  int32_t st_tags_len() const { return _st_tags_len; }
  const uint8_t *check_uuid() const { return _check_uuid; }
  ruleset_sp ruleset() const { return _ruleset.lock(); }
  int32_t max_out_of_order_ms() const { return _max_out_of_order_ms; }
  uint64_t applications() const { return _applications.load(std::memory_order_relaxed); }
  void count_application() { _applications.fetch_add(1, std::memory_order_relaxed); }
  uint64_t last_time_ms() const;

  // ---- Snapshot and reset ---------------------------------------------------------------------
  // The stream's state for JSON output, copied under the lock.
  json_bundle_t get_json_data_bundle();
  // Back to undetermined: observed values and history forgotten, absence timers set up again.
  // The notified UUID, the maintenance flag, host, check id, broker and counters stay.
  void reset();

  // ---- Rule application (worker thread of the metric; timers and REST for check_and_trigger) --
  // None of these may be called while the calling thread holds another stream's lock: a change
  // that concerns child rulesets re-evaluates them once this thread holds no stream lock at all.

  // Applies one message: feeds the metric's windows, admits the message (generic_push),
  // evaluates every rule in order and records a transition when the severity or rule changes.
  // `ruleset` is the stream's own ruleset (the one whose table holds it; the caller's pointer
  // may be one that owns nothing, see ruleset_apply_to_stream). Returns the newest severity
  // afterwards. Inside a safe-memory bracket.
  int apply_metric_message(const ruleset_sp &ruleset, vask_metric_message_t *m);
  // Admits a message into the stream: re-arms absence timers, drops a message older than the
  // out-of-order allowance, tracks the broker, records the last value and counts the
  // application. Returns whether the message was accepted. Takes the lock.
  bool generic_push(vask_metric_message_t *m);
  // Marks the stream as named by a metric's route (route.cpp), before the route is published.
  // A routed stream taken out of its table is kept for one grace period
  // (rules_routes_retire_streams); any other goes at once, as it always did. Any thread.
  void mark_routed() { _routed.store(true, std::memory_order_seq_cst); }
  bool routed() const { return _routed.load(std::memory_order_seq_cst); }
  // The same with the stream's ruleset at hand (null: a ruleset that is gone, which admits
  // without doing anything), so that no reference count is touched per message.
  bool generic_push(vask_metric_message_t *m, const ruleset_sp &ruleset);
  // Evaluates rule i of `ruleset` against the stream's windows and updates the rule's observed
  // value. *booted is set false when the rule's numeric window is not yet complete. Returns
  // whether the rule holds. A criterion foreign to the ruleset's metric type is a fatal
  // assertion. Called with the lock held, inside a safe-memory bracket.
  bool apply_metric_message_to_rule(const ruleset_sp &ruleset, int i, vask_metric_message_t *m,
                                    bool *booted) ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex);
  // Takes the host and the check id the message carries (a message without a host changes
  // nothing; a check id of 0 is none). Returns whether a known host or check id changed. Takes
  // the lock.
  bool extract_orvane_extended_info(const vask_metric_message_t *m);
  // Records (sev, rule) as a transition at trigger_time_ms when it differs from the newest one,
  // with the ruleset's check UUID, and re-evaluates the notification. Returns whether a
  // transition was recorded. Any thread holding no other stream's lock.
  bool check_and_trigger(int32_t sev, int8_t rule, uint64_t trigger_time_ms,
                         const ruleset_sp &ruleset);

  // ---- Absence (absence.cpp) --------------------------------------------------------------

  // The stream-level absence timer's callback ("rulestream_absence_timer"): when the timer is
  // still in one of the stream's slots, empties that slot and feeds the stream's null line.
  // Frees its closure (a rule_trigger_t); returns 0. Loop threads.
  static int trigger_callback(eventer_t e, int mask, void *closure, struct timeval *now);
  // Feeds the stream's null line at `time` (null: no time): the pattern form for a ruleset that
  // matches by pattern, any check or filter, else the ruleset form with the stream's tags.
  // Outside the stream's lock.
  void trigger_via_log(const struct timeval *time);
  void trigger_pattern_match_via_log(const ruleset_t &ruleset, const char *st_tags, int st_tags_len,
                                     const struct timeval *time, const char *host);

  // ---- Notifications ----------------------------------------------------------------------------

  // The notification decision: announces the newest state unless it is undetermined, held back
  // by maintenance, or already announced; a move into or out of severity 1 re-evaluates the
  // child rulesets once this thread holds no stream lock. Any thread holding no other
  // stream's lock.
  void reevaluate(const struct timeval &time);
  // The alert document {"sev": {...}} of the stream's newest state. `progeny` is the ancestor
  // ruleset id to report (0: none); without one, the last notified ancestor is used. Returns a
  // new object the caller releases (json_object_put), or null when the ruleset is gone. Takes
  // the lock.
  json_object *construct_json_notification(std::optional<uint64_t> progeny = std::nullopt);
  // Builds and publishes the document for (sev, rule) at ms and records it as the last
  // notified state. Publishes only when this node is responsible for the metric (counted as
  // suppressed otherwise). A send the bus module refuses is counted as failed and leaves the
  // last notified state unchanged, so the next re-evaluation tries again. Returns whether the
  // document was handed to the bus. Takes the lock. A refused re-publication (`republish`) is
  // retried by re-publishing again later, as the state then is.
  bool notify(uint64_t ms, int32_t sev, int8_t rule, const uint8_t uuid[16], uint64_t progeny,
              bool republish = false);
  // Announces the last notified state again, with the current history, built now. Returns false
  // when the bus refused it (it is retried later). Takes the lock.
  bool renotify();
  // The nearest ancestor ruleset (at most six levels up, never one already seen on the way) that
  // has a stream at severity 1; empty when none. Reads other streams' severities without taking
  // their locks.
  ruleset_sp get_ancestral_sev1();

  // ---- Culling, sweeps and clear-alert (cull_sweep.cpp) -----------------------------------------

  // Whether a cull pass at now_ms removes the stream: when cull_seconds is not 0 and the stream
  // has been silent longer than that, raised or not; or, failing that, when autocull is not 0,
  // it has been silent longer than autocull seconds and it is not raised. A stream whose newest
  // message time lies after now_ms is not idle. With mono_now_s (monotonic seconds, 0: unknown)
  // the stream must also have received nothing for that long by the daemon's own steady clock,
  // so a wall clock stepped forward makes no stream look idle. Takes the lock.
  bool should_cull(uint64_t now_ms, int32_t cull_seconds, int32_t autocull,
                   uint32_t mono_now_s = 0);
  // POST /rulestream/clear/alert/<ecid>/<signature>[?cull=1]: clears the stream's alert (and
  // announces the clear), answers with the ruleset's JSON, and with cull=1 removes the stream
  // afterwards. Loop thread of the connection.
  static int rest_clear_alert(tovi_http_rest_closure_t *restc, int npats, char **pats);

  // Fields the rule application and notification code work on, under the lock. Ordered by
  // size so that one stream per metric wastes no padding.
  uint64_t _check_id = 0;  // the check's number from the metric line, 0 until known
  broker_t *_broker = nullptr;
  std::string _host;  // the target host from the metric line
  uint64_t _last_notified_time_ms ABSL_GUARDED_BY(_data_mutex) = 0;
  uint64_t _last_notified_progeny ABSL_GUARDED_BY(_data_mutex) = 0;
  uint8_t _last_notified_uuid[16] ABSL_GUARDED_BY(_data_mutex) = {};
  int32_t _last_notified_sev ABSL_GUARDED_BY(_data_mutex) = 0;
  // A raised severity announced for an earlier stream of this signature that culling removed
  // (rules.h, "Culled raised streams"); 0 when none. Until this stream announces something itself,
  // the consumer still holds that severity, so the stream's first clear is announced whatever its
  // ruleset.
  int32_t _remembered_sev ABSL_GUARDED_BY(_data_mutex) = 0;
  int8_t _remembered_rule ABSL_GUARDED_BY(_data_mutex) = 0;
  int8_t _last_notified_rule ABSL_GUARDED_BY(_data_mutex) = 0;
  bool _was_in_maintenance ABSL_GUARDED_BY(_data_mutex) = false;

  // The raised severity (and rule) the consumers hold for this stream: the last one announced,
  // or else the one remembered from a culled predecessor. False when they hold none (nothing
  // announced, or a clear). Takes the lock.
  bool announced_raised(int32_t *sev, int8_t *rule);
  // Takes the raised state remembered for a culled predecessor of this signature. Takes the lock.
  void take_remembered(int32_t sev, int8_t rule);

 private:
  void release_history_texts();
  void publish_newest() ABSL_EXCLUSIVE_LOCKS_REQUIRED(_data_mutex);

  // Constant after construction (ordered by size, as above).
  char *_signature = nullptr;  // owned, _signature_len bytes and a terminator
  ruleset_wp _ruleset;
  const char *_st_tags = nullptr;  // into _signature
  uint8_t _check_uuid[16] = {};
  uint32_t _signature_len = 0;
  int32_t _st_tags_len = 0;
  int32_t _max_out_of_order_ms = 0;
  // Guarded by _data_mutex: when _last_time_ms was last set, in monotonic seconds (0: never).
  // Here it fills what would be padding.
  uint32_t _last_arrival_s ABSL_GUARDED_BY(_data_mutex) = 0;
  // What construction reserved, so that destruction cancels exactly that: the state here, each
  // rule's window in its ruleimpl_t, the type with the small fields at the end.
  metric_state_t *_state = nullptr;  // null when every reservation was refused

  // Atomic: read without the lock.
  std::atomic<uint64_t> _applications{0};

  // Guarded by _data_mutex.
  // The newest accepted non-null message; 0 before any.
  uint64_t _last_time_ms ABSL_GUARDED_BY(_data_mutex) = 0;
  std::variant<double, std::string> _last_value ABSL_GUARDED_BY(_data_mutex){0.0};
  trigger_history_t _history[5] ABSL_GUARDED_BY(_data_mutex);
  std::vector<ruleimpl_t> _rules_impl;
  std::atomic<int32_t> _published_sev{RULE_SEV_CLEAR};  // atomic: read without the lock
  int8_t _hidx ABSL_GUARDED_BY(_data_mutex) = 0;
  int8_t _nrules_impl = 0;                               // constant after construction
  rule_metric_type_t _reserved_type : 8 = RULE_UNKNOWN;  // constant after construction
  std::atomic<bool> _routed{false};                      // see mark_routed

  mutable tovi_recursive_mutex_c _data_mutex;
};

// The check UUID as lower-case text, formatted where a log line needs it.
struct rulestream_uuid_text_t {
  char text[37];
  explicit rulestream_uuid_text_t(const uint8_t uuid[16]);
};

// The key-value fields of a stream's log lines: "ecid", "parent_ecid", "rule_type",
// "account_id", "rule_applications", "signature", "check_uuid". Use inside tovi_log_fields:
//   tovi_log_fields(ls, (mlkv_rs(rs, r), {"rule", i}), "...", ...);
#define mlkv_rs(rs, r)                                                         \
  {"ecid", (unsigned long long)(r)->event_criteria_id},                        \
      {"parent_ecid", (unsigned long long)(r)->parent_event_criteria_id},      \
      {"rule_type", rule_metric_type_name((r)->metric_type)},                  \
      {"account_id", (unsigned long long)(r)->account_id},                     \
      {"rule_applications",                                                    \
       (unsigned long long)(r)->applications.load(std::memory_order_relaxed)}, \
      {"signature", (rs)->get_signature()}, {                                  \
    "check_uuid", rulestream_uuid_text_t((rs)->check_uuid()).text              \
  }

// ---- Shared by the rule application and notification files ------------------------------------
// What the rule application and notification files share: their log streams (broker pulses
// also go to "fire/rules"), the stream lock that defers the dependency cascade, the call into
// maintenance, and the absence timers.

// "debug/rules/processerrors" and "fire/rules". ("debug/rules" and "error/rules" are the
// loader's, rules_mgr_internal.h.)
tovi_log_stream_t rules_processerrors_stream();
tovi_log_stream_t rules_fire_stream();

// Holds a stream's lock and counts, per thread, how many stream locks the thread holds. When the
// count returns to 0 the cascades that re-evaluations recorded meanwhile run, so that a thread
// never waits for a stream's lock while it holds another's.
class ABSL_SCOPED_LOCKABLE stream_lock_c {
 public:
  explicit stream_lock_c(rulestream_c &rs) ABSL_EXCLUSIVE_LOCK_FUNCTION(rs.data_mutex());
  ~stream_lock_c() ABSL_UNLOCK_FUNCTION();
  stream_lock_c(const stream_lock_c &) = delete;
  stream_lock_c &operator=(const stream_lock_c &) = delete;

 private:
  rulestream_c &_rs;
};

// Records that the children of `ecid` are due for re-evaluation at `time` (a move into or out
// of severity 1). Runs when the calling thread releases its last stream lock. Children already on
// the path that led here are skipped, and the cascade stops six levels below where it started.
void rules_cascade_enqueue(uint64_t ecid, const struct timeval &time);

// ---- Maintenance (seams.cpp) -------------------------------------------------------------------

// Maintenance: non-zero when no maintenance window holds back the move from sev_from to sev_to
// of this ruleset, check and host at `time` (maintenance_not_active). Any thread.
int rules_maintenance_not_active(uint64_t ecid, uint64_t account_id, uint64_t check_id,
                                 const char *host, int32_t sev_from, int32_t sev_to,
                                 const struct timeval &time);
// ---- Absence timers (absence.cpp) -------------------------------------------------------------

// For each absence rule of the ruleset: arms the stream's timer when it was never armed (with a
// stream; under its lock) and the ruleset-level timer when none is pending. A stream timer that
// fired stays empty until data arrives, so the rule keeps holding. Any thread.
void rules_setup_absence(const ruleset_sp &ruleset, rulestream_c *stream);
// After a message with a value: pushes back the ruleset-level timer and the stream's timer of
// absence rule `rule` by the rule's delay, moving pending timers (no allocation) and arming new
// ones in place of fired ones. Any thread.
void rules_rearm_absence(const ruleset_sp &ruleset, rulestream_c *stream, int rule);

// ---- Applying messages and notifying (apply.cpp, notify.cpp)
// -------------------------------------

// Registers the cluster's node-update hook "rules-routes", which moves the routes' generation
// on (ownership changes), and the statistic "rulestreams" -> "routes_built". rules_init calls it.
void rules_routes_register(void);
// ruleset_apply_metric_message, and also the stream it applied the message to through
// *stream (null when none was used), marked as routed. For the first message of a metric's
// route (route.cpp).
int ruleset_apply_recording(const ruleset_sp &ruleset, vask_metric_message_t *m,
                            rulestream_c **stream);
// ruleset_apply_metric_message for a ruleset whose stream for the message's metric is known
// (an earlier message's, kept by the metric's route while the routes' generation holds): the
// same checks, without building the signature or finding the stream. `ruleset` may own
// nothing (the route keeps bare pointers); a null stream takes the whole way.
int ruleset_apply_to_stream(const ruleset_sp &ruleset, rulestream_c *stream,
                            vask_metric_message_t *m);

// The buffer a stream signature is built into; a signature that needs more is not built.
constexpr size_t rules_signature_buffer_len = 4134;

// The statistics namespace "rulestreams", registered on first use (the absence and cull
// counters live there). Any thread; a failed registration is a fatal assertion.
struct stats_ns_t;
stats_ns_t *rules_stats_ns(void);

// Writes the stream signature of the message for the ruleset into buf (len bytes, terminated):
// "<lower-case check uuid>`<metric name>|ST[<the stream tags the ruleset groups by>]". Returns 0,
// or -1 (buf holds no usable signature) when it does not fit. Any thread.
int ruleset_stream_signature(const ruleset_t &ruleset, const vask_metric_message_t *m, char *buf,
                             size_t len);

// Announces the last notified state of every stream of the ruleset again.
void ruleset_renotify(const ruleset_sp &ruleset);
// The same as a sweep on the sweep lane (rulestream_sweeper_ruleset): paced by the bus's
// backlog, so that real alerts keep their room, and never on the bus's own thread, which is the
// one that drains the publish queue. Each document is built when it is sent; a refused one is
// sent again later. Any thread after the event loop is set up.
void ruleset_renotify_queued(uint64_t ecid);
// For the ruleset with that id: the first ancestor at severity 1 found from one of its streams;
// empty when the ruleset is unknown or none is.
ruleset_sp ruleset_get_ancestral_sev1_id(uint64_t ecid);

// Compiles the check-tag exclusion ("//notifications/@check_tags_exclude"; an expression that does
// not compile is logged on "error" and ignored) and, the first time, registers the statistics
// "notifications" -> "alerts": "sent", "suppressed" and "failed". Part of rules_init.
void rules_notify_init(void);

// The check-tag hook's callback: appends tag to the JSON array `closure` unless the check-tag
// exclusion matches it.
void accrue_tags(void *closure, const char *tag);

// Notification counters (statistics "notifications" -> "alerts"): documents handed to the bus,
// documents not published because another node is responsible for the metric, and documents the
// bus module refused. Atomic; any thread.
extern std::atomic<uint64_t> alert_notifications_sent;
extern std::atomic<uint64_t> alert_notifications_suppressed;
extern std::atomic<uint64_t> alert_notifications_failed;

// ---- Stream culling, sweeps and stream clear-alert (cull_sweep.cpp) ----------------------------

// The brokers' stream sweeper (brokers_set_stream_sweeper): rulestream_sweeper over the streams
// of `broker` (every stream for null), renotifying or resetting each, then done(name, count,
// closure) on a loop thread. Installed by rules_init.
void rules_sweep_for_broker(broker_t *broker, broker_sweep_action_t action, const char *name,
                            broker_sweep_done_t done, void *closure);
// Maintenance's "leave" (maintenance_set_reset_streams): resets every stream of every ruleset and
// returns how many there were. Installed by rules_init. A job thread; holds no stream's lock.
uint64_t rules_reset_every_stream(void);

// Streams in existence (constructed and not yet destroyed), and streams removed as idle or by a
// clear-alert request with removal ("rulestreams" -> "live" and "culled"). Atomic; any thread.
extern std::atomic<uint64_t> rulestreams_live;
extern std::atomic<uint64_t> rulestreams_culled;

// Registers "live" and "culled" under rules_stats_ns(). Once, at start-up, on the main thread;
// a failed registration is a fatal assertion.
void rules_cull_stats_init(void);

// The shortest automatic idle horizon, and the longest interval between passes, of a ruleset
// that may see many streams (a pattern, any check, or a tag filter).
constexpr int32_t rules_autocull_horizon_s = 300;

// Seconds between cull passes of the ruleset: its cull_seconds; for a pattern, any-check or
// filtered ruleset at most 300 and 300 instead of 0. Below 1 the ruleset is never culled.
int32_t ruleset_cull_delay_seconds(const ruleset_t &ruleset);
// The automatic idle horizon (seconds) after which a pass removes a stream that is not raised;
// 0 for none. Only pattern, any-check and filtered rulesets have one, at least 300 seconds and
// long enough for every rule's window and absence window (plus the absence cushion). A ruleset
// with an absence rule of a real severity has none, so that its absences stay detectable.
int32_t ruleset_autocull_seconds(const ruleset_t &ruleset);

// (Re)arms the ruleset's cull timer: cancels a pending one, then, when the cull delay is at
// least 1 s, arms a relative timer of that delay pinned to a loop thread of the pool
// "ruleset_cull" (all loop threads when that pool is not configured) chosen by the id's low 32
// bits. The arming itself runs on that thread (posted there from any other), so the pass and
// the arming never race. Does nothing before the event loop is set up. Any thread.
void ruleset_schedule_cull(const ruleset_sp &ruleset);
// The cull timer's callback (closure: a rule_cull_t, freed here). Runs a pass when the ruleset
// with the closure's id exists and this timer is still its cull timer, then re-arms. Returns 0.
int ruleset_cull_streams(eventer_t e, int mask, void *closure, struct timeval *now);
// One cull pass at now_ms: removes every stream that should_cull finds idle. Returns the number
// removed. With `removed`, the removed streams are moved there, so that the caller chooses the
// thread where the last references go (and the streams are destroyed); otherwise they go before
// this returns. mono_now_s: the monotonic clock's seconds (rules_monotonic_s), or 0 to judge by
// the messages' time stamps alone. Inside a safe-memory bracket, holding no stream's lock.
size_t ruleset_cull_pass(const ruleset_sp &ruleset, uint64_t now_ms,
                         std::vector<rulestream_sp> *removed = nullptr, uint32_t mono_now_s = 0);
// Seconds on the coarse monotonic clock, never 0. Any thread.
uint32_t rules_monotonic_s(void);

// The ruleset's stream with this signature, as a consumer sends it back to clear it: the
// signature as it stands, or else with the escapes of bytes that are not UTF-8 undone
// (tovi_json_byte_unescape), so that the signature an alert carried always finds its stream.
// Null when neither names a stream (nothing is created). Any thread.
rulestream_sp rules_find_sent_stream(const ruleset_sp &ruleset, std::string_view signature);

// The sweep job's record, owned by the sweeper.
struct sweep_rules_for_broker_t {
  rules_sweep_callback_t callback;
  rules_sweep_complete_t complete;  // or null
  rules_sweep_t *closure;
  broker_t *broker;  // the broker whose streams are visited, or RULES_SWEEP_ALL_BROKERS
};
