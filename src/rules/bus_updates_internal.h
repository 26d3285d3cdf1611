// Ruleset updates from the message bus: reloads of changed rulesets (coalesced per id), clearing
// one stream's alert, re-sending a ruleset's state, and the two broker maintenance commands.
//
// Bodies are bytes of any length and content; nothing here reads past `length` or expects a
// terminator. Every body is finished with (the hook returns TOVI_AMQP_DONE whatever it held), so a
// body we cannot use is never redelivered for ever.
//
// Threads: the hook and the handlers run on the bus module's thread (tests call them from any
// thread); refresh timers run on a loop thread; reloads and sweeps run as jobs.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tovi/eventer.h"
#include "tovi/tovi_amqp.h"

// What became of a bus body, for the statistics "ruleset" -> "bus".
enum rules_bus_outcome_t {
  RULES_BUS_IGNORED = 0,    // neither prefix: not a ruleset message
  RULES_BUS_HANDLED = 1,    // a known event or a clear-alert that was carried out
  RULES_BUS_UNHANDLED = 2,  // an event or clear-alert we could not act on (unknown, bad id)
  RULES_BUS_MALFORMED = 3,  // a known prefix but fields that do not split as they must
};

// The message hook "rules-handler": hands the body to handle_rules_update and finishes with it.
int handle_amqp_message_rules(void *closure, tovi_amqp_connection_t *connection, int id,
                              const tovi_amqp_envelope_t *envelope, const void *payload,
                              size_t length);

// Dispatches one body by its prefix: "net.orvane.quelt.clearalert\t" to handle_rules_clearalert,
// "net.orvane.ombra.OmbraEvent\t<event>\t<type>\t<data>" to rules_handle_message. Event and type
// are at most 99 bytes; data beyond 2047 bytes is cut (logged). Counts and returns the outcome.
rules_bus_outcome_t handle_rules_update(const void *payload, size_t length);

// "<decimal ruleset id>\t<stream signature>[\n]": clears that stream's alert (announcing the clear
// as a change of severity would), then removes the stream so that it starts afresh with the next
// metric. Returns the number of streams cleared (0 or 1: 0 when the ruleset or stream is unknown,
// or was clear already), or -1 for a body without a tab or with an id that is not a decimal
// number that fits 64 bits.
int handle_rules_clearalert(const void *payload, size_t length);

// Acts on one event (the table in docs/api.md, "Bus messages"). `data` is terminated and
// `data_len` long (it may hold NUL bytes, which no id or name contains). Returns 0 when handled,
// -1 otherwise (unknown event, an id that is not decimal, an unknown ruleset for a lookup).
int rules_handle_message(const char *event, const char *type, const char *data, size_t data_len);

// Schedules a reload of the ruleset in 0.5 s; another request for the same id before then moves
// the reload to 0.5 s after that request, so a burst causes one reload. A reload that falls due
// while a bulk load runs waits in steps of 1 s for it to end. Returns 0, or -1 for id 0.
int rules_refresh_ecid(uint64_t ecid);
// The refresh timer's callback.
int rule_trigger_refresh(eventer_t e, int mask, void *closure, struct timeval *now);
// Refreshes pending now (tests, diagnostics).
size_t rules_refresh_pending(void);

// The bus side of the ruleset module's start: registers "rules-handler" with the bus module,
// makes the refresh table and names the timer callback. Returns false when the bus module offers
// no message hooks. Called by rules_mgr_init.
bool rules_bus_init(void);

// Console "reload ruleset <id>": starts a reload of one ruleset from the API now.
void rules_bus_console_init(void);

// Counters ("ruleset" -> "bus" and "refresh"). Any thread.
struct rules_bus_stats_t {
  std::atomic<uint64_t> ignored{0}, handled{0}, unhandled{0}, malformed{0}, truncated{0};
  std::atomic<uint64_t> cleared{0};
  std::atomic<uint64_t> refresh_requests{0}, refresh_ganged{0}, refresh_deferred{0},
      refresh_reloads{0};
};
extern rules_bus_stats_t rules_bus_stats;
