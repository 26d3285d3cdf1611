// Absence detection: one-shot timers that every message with a value pushes back, and the
// synthetic metric lines that a fired timer feeds through the ordinary intake.
//
// Two kinds of timer watch a ruleset with absence rules:
//   - a stream-level timer per stream and absence rule (slot ruleimpl_t::absence_event). When it
//     fires, a null line for that stream is fed; rule application then finds the rule's slot
//     empty and the absence rule holds until data arms the timer again;
//   - one ruleset-level timer (slot ruleset_t::absence_event). When it fires and the ruleset has
//     no stream at all, a null line for the ruleset's own metric creates the stream, so that a
//     metric that never reported is still declared absent one window later.
// Timer delays are relative: they count on the monotonic clock, so a step of the wall clock
// neither raises every absence at once nor holds them back.
//
// Threads. Timers run on the event-loop threads. Slots change only by compare-and-swap; the
// slot's reference to a timer is dropped through safe memory, so a thread that loaded the slot
// inside a bracket may still move the timer it found there. Synthetic lines go through the
// metric director to the worker that owns the metric, as received lines do.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "rules/model_internal.h"
#include "tovi/eventer.h"

// Statistics "rulestreams": synthetic lines fed, and lines that could not be built or fed.
extern std::atomic<uint64_t> absence_triggers;
extern std::atomic<uint64_t> absence_trigger_errors;

// Registers "absence_triggers" and "absence_trigger_errors" under rules_stats_ns() and names the
// two absence timer callbacks ("rulestream_absence_timer", "ruleset_absence_timer"). Part of
// rules_init; only the first call does anything. Main thread, start-up.
void absence_init(void);

// The broker name of synthetic lines.
extern const char absence_broker_name[];

// The delay of an absence rule's timer: its window in whole seconds (fraction dropped), never
// less than one second, so that a window without cushion cannot fire after every message.
struct timeval absence_delay(const rule_t &rule);

// The synthetic null line of a stream of a ruleset matched by pattern, any check or filter:
// the check UUID and metric name come from the stream signature, the tags from st_tags
// (st_tags_len bytes). `time` null means 0.000000; `host` null or empty means "internal".
// Returns false (out untouched) when the signature is malformed or the metric type unknown;
// the unknown type is logged on "debug/rules/processerrors".
bool absence_pattern_line(std::string *out, rule_metric_type_t type, uint64_t account_id,
                          const char *signature, size_t signature_len, const char *st_tags,
                          int st_tags_len, const struct timeval *time, const char *host);
// The synthetic null line for the ruleset's own check and metric, with the given stream tags.
// A metric name that already carries its stream tags ("|ST[") is written as it stands, without
// a second tag block. Otherwise as absence_pattern_line.
bool absence_ruleset_line(std::string *out, const ruleset_t &ruleset, const char *st_tags,
                          int st_tags_len, const struct timeval *time, const char *host);

// Feeds a line: decodes it and, when it is a null sample, turns its value into an absent one
// (remembering its type) and routes it like a received message (through the metric director to
// the owning worker; straight to handle_vask_metric_message when the director has no lanes).
// Anything else is logged on "error/rules" with the line and counted in
// absence_trigger_errors. The line is copied; the caller keeps it. Returns whether it was fed.
// Any thread, outside stream locks.
bool directly_trigger_log(const std::string &line);

// Builds and feeds the ruleset-form line (see absence_ruleset_line).
bool trigger_ruleset_via_log(const ruleset_t &ruleset, const char *st_tags, int st_tags_len,
                             const struct timeval *time, const char *host);

// Whether the ruleset names exactly one metric of one check: no filter, no name pattern, no
// "any check". Only such a ruleset can speak for a metric that never reported.
bool ruleset_names_one_metric(const ruleset_t &ruleset);

// The loader's start for a newly filed ruleset: when its last rule is an absence rule and it
// names one metric, feeds a line with no time for that metric, which creates its stream and
// arms the stream's timers without applying any rule. Any thread.
void absence_trigger_loaded_ruleset(const ruleset_sp &ruleset);

// The ruleset-level timer's callback ("ruleset_absence_timer"). Returns 0.
int trigger_ruleset_callback(eventer_t e, int mask, void *closure, struct timeval *now);
