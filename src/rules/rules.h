// rules: applying metric messages to rulesets through their rule streams, and announcing the
// streams' changes of severity as alert notifications on the message bus.
//
// Threads: messages are applied on the worker thread that owns the metric; timers, REST handlers
// and bus handlers reach the same streams from other threads. Every function here may be called
// from any thread that holds no stream's lock.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "rules_private.h"
#include "vask/vask_metric.h"

struct json_object;

// The buffer a stream signature is built into; a signature that needs more is not built.
constexpr size_t rules_signature_buffer_len = 4134;

// Opens the rule log streams, compiles the check-tag exclusion
// ("//notifications/@check_tags_exclude") and registers the statistics "notifications" -> "alerts":
// "sent", "suppressed" and "failed", and "rulestreams": "absence_triggers" and
// "absence_trigger_errors"; names the absence timer callbacks. Called once on the main thread at
// start-up, before rules_mgr_init. A failed registration is a fatal assertion; an expression that
// does not compile is logged on "error" and ignored. The bus send function
// ("tovi_amqp_send_data_function") is resolved once, when the first alert is published; without it
// the daemon cannot run, and that is a fatal assertion then.
void rules_init(void);

// The statistics namespace "rulestreams", registered on first use (the absence and cull
// counters live there). Any thread; a failed registration is a fatal assertion.
struct stats_ns_t;
stats_ns_t *rules_stats_ns(void);

// Applies one message to one ruleset: builds the stream signature, finds or creates the ruleset's
// stream for it and applies the message there. Returns the stream's newest severity afterwards,
// or -1 when the ruleset does not apply to the message's type, no signature could be built, or no
// stream was used. Called on the worker thread that owns the metric, inside a safe-memory
// bracket; the caller keeps its reference to the message.
int ruleset_apply_metric_message(const ruleset_sp &ruleset, vask_metric_message_t *m);

// Writes the stream signature of the message for the ruleset into buf (len bytes, terminated):
// "<lower-case check uuid>`<metric name>|ST[<the stream tags the ruleset groups by>]". Returns 0,
// or -1 (buf holds no usable signature) when it does not fit. Any thread.
int ruleset_stream_signature(const ruleset_t &ruleset, const vask_metric_message_t *m, char *buf,
                             size_t len);

// Re-evaluates the notification of every stream of the ruleset with that id, if it is
// registered (the end of a maintenance window, a parent's change of severity 1).
void ruleset_reevaluate_id(uint64_t ecid, const struct timeval &time);
// Announces the last notified state of every stream of the ruleset again, at once on this
// thread (tools and tests; the bus message goes through ruleset_renotify_queued).
void ruleset_renotify(const ruleset_sp &ruleset);
// The same as a sweep on the sweep lane (rulestream_sweeper_ruleset): paced by the bus's
// backlog, so that real alerts keep their room, and never on the bus's own thread, which is the
// one that drains the publish queue. Each document is built when it is sent; a refused one is
// sent again later. Any thread after the event loop is set up.
void ruleset_renotify_queued(uint64_t ecid);
// For the ruleset with that id: the first ancestor at severity 1 found from one of its streams;
// empty when the ruleset is unknown or none is.
ruleset_sp ruleset_get_ancestral_sev1_id(uint64_t ecid);

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

// A sweep over every stream, owned by its caller and passed through to the callbacks.
struct rules_sweep_t {
  int64_t rule_cnt;  // the callers' callbacks count the streams they handled
  char name[64];     // the caller's label for log lines, terminated
  void *closure;     // caller data, for example a REST connection to answer
};
// Called once per stream on a job thread, with the stream's lock held.
typedef void (*rules_sweep_callback_t)(rulestream_c *stream, rules_sweep_t *sweep);
// Called once after the sweep, on a loop thread; it must free the rules_sweep_t.
typedef void (*rules_sweep_complete_t)(rules_sweep_t *sweep);

// A broker pointer no broker has: every stream, whatever its broker.
#define RULES_SWEEP_ALL_BROKERS (reinterpret_cast<broker_t *>(uintptr_t(0x91231)))

// Queues a sweep that calls callback(stream, sweep) for every stream of every ruleset whose
// broker is `broker` (every stream for RULES_SWEEP_ALL_BROKERS), then complete(sweep) once.
// Returns at once. Rulesets and streams are visited from copies of the registry and of each
// stream table, so loads and culls proceed meanwhile. Any thread after the event loop is set up.
//
// Sweeps run one at a time on a lane of their own (the job queue "rules_sweep", one thread), so
// a burst of them never takes every job thread. While a sweep with the same callback, broker
// (and ruleset) waits for the lane, a new request joins it instead of queueing another: the
// callback runs once per stream with the first caller's sweep, and each joined caller's
// complete() gets a sweep whose rule_cnt is the first one's count. A sweep that is already
// running is not joined (it may have passed streams that changed since). Sweeps yield to real
// alerts: every few streams the sweep waits while it is ahead of rules_republish_rate, and while
// the bus holds more than 200 unconfirmed messages (at most 10 s without progress), so
// re-publications neither fill the publish queue nor a consumer's queue.
void rulestream_sweeper(broker_t *broker, rules_sweep_callback_t callback,
                        rules_sweep_complete_t complete, rules_sweep_t *sweep);
// The same over the streams of one ruleset (ecid; 0 means every ruleset).
void rulestream_sweeper_ruleset(uint64_t ecid, broker_t *broker, rules_sweep_callback_t callback,
                                rules_sweep_complete_t complete, rules_sweep_t *sweep);
// Re-publications a second that sweeps may send (0: no limit); 2,000 unless configured by
// "//orvane/state/rulesets/@republish_rate". A consumer reads re-publications and real alerts
// from one queue, in order: the rate keeps that queue short.
extern std::atomic<int32_t> rules_republish_rate;
// Re-publications handed to the bus (renotify), counted for the sweeps' pacing. Any thread.
extern std::atomic<uint64_t> rules_republications_sent;
// Sweeps started and joined since the start, and sweeps waiting for the lane now.
void rules_sweep_stats(uint64_t *started, uint64_t *joined, uint64_t *waiting);
