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
// Announces the last notified state of every stream of the ruleset again.
void ruleset_renotify(const ruleset_sp &ruleset);
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
