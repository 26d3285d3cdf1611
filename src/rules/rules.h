// rules: the rulesets this daemon holds and the alerts their streams raise. This is what the
// other modules of the daemon may call; everything else in src/rules/ is the module's own
// (the *_internal.h headers) and is never included from outside it.
//
// A ruleset definition is parsed and compiled, kept only when this node owns its metric and
// handles its account, stored in the registry and filed in the target lists the intake looks
// metrics up in. Metric messages are applied to rulesets through their rule streams; the streams'
// changes of severity are announced as alert notifications on the message bus.
//
// Threads: messages are applied on the worker thread that owns the metric; timers, REST handlers
// and bus handlers reach the same streams from other threads. Every function here may be called
// from any thread that holds no stream's lock, unless it says otherwise.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vask/vask_metric.h"

struct json_object;
struct broker_t;
class rulestream_c;
struct ruleset_t;
typedef std::shared_ptr<ruleset_t> ruleset_sp;

// ---- Module start ------------------------------------------------------------------------------

// Creates the (empty) registry of parent-to-child relations of rulesets and, the first time,
// registers its statistics. Called once at start-up before any ruleset is loaded; calling it again
// empties the registry.
void dependency_init();

// Installs what the modules below call back into the rules: the brokers' stream sweeper
// (rules_sweep_for_broker) and maintenance's re-evaluation (ruleset_reevaluate_id) and stream reset
// (rules_reset_every_stream). Opens the rule log streams, compiles the check-tag exclusion
// ("//notifications/@check_tags_exclude") and registers the statistics "notifications" -> "alerts":
// "sent", "suppressed" and "failed", and "rulestreams": "absence_triggers" and
// "absence_trigger_errors"; names the absence timer callbacks. Called once on the main thread at
// start-up, before rules_mgr_init. A failed registration is a fatal assertion; an expression that
// does not compile is logged on "error" and ignored. The bus send function
// ("tovi_amqp_send_data_function") is resolved once, when the first alert is published; without it
// the daemon cannot run, and that is a fatal assertion then.
void rules_init(void);

// Registers the statistics "ruleset" "current", "loaded", "suppressed"; creates the registry;
// reads "//orvane/state/rulesets/@initial_hash_size" (50000), "@max_out_of_order" (300 s) and
// "@absence_cushion" (10 s); makes the job queue "rulesets_fetch" (concurrency 1, 1 to 4 threads)
// and the two lookup sets, registers the REST routes below, each with client-certificate
// authentication, the bus message hook "rules-handler" (bus_updates_internal.h) and the console
// command "reload ruleset". Called once on the main thread at start-up, after
// dependency_init(). A failed registration is a fatal assertion; an unusable setting (a negative
// size or time), or a bus module without message hooks, ends the process with status 2.
void rules_mgr_init(void);

// Creates the lookup sets (idempotent) with the given initial size, and the registry when it does
// not exist yet. rules_mgr_init calls it; tests and benchmarks that do not start the module call
// it themselves. Single-threaded start-up only.
void rules_lookup_init(unsigned long initial_size);

// ---- Intake -------------------------------------------------------------------------------------

// The rulesets that apply to the metric: those filed under its own check UUID and under the
// all-zero UUID (any check of the account; looked up once when the metric's own UUID is all
// zero), by bare name, by name with stream tags (an untagged metric also under "<name>|ST[]";
// measurement tags never count) and by pattern, whose account, filter and pattern hold for the
// metric. The first `capacity` are copied into `out` in the order found; returns how many
// applied, negated when that was more than `capacity`. No allocation. Any thread, inside a
// safe-memory bracket.
int rulesets_for_metric(const vask_metric_id_t *id, ruleset_sp *out, int capacity);

// Applies one message to one ruleset: builds the stream signature, finds or creates the ruleset's
// stream for it and applies the message there. Returns the stream's newest severity afterwards,
// or -1 when the ruleset does not apply to the message's type, no signature could be built, or no
// stream was used. Called on the worker thread that owns the metric, inside a safe-memory
// bracket; the caller keeps its reference to the message.
int ruleset_apply_metric_message(const ruleset_sp &ruleset, vask_metric_message_t *m);

// ---- Routes: one look-up per message ------------------------------------------------------------
//
// The first message of a metric resolves everything its later messages need (the rulesets that
// apply and each one's stream for the metric, which keeps the metric's windows) into one route,
// kept in the metric director's per-metric slot of the metric's interest entry (its own check
// UUID with its bare name, else with its name with stream tags). A later message finds it with
// that one probe and touches only the route and its streams; it copies no reference. A route is
// good while the routes' generation is the one it was built under: filing or removing a
// ruleset, a change of parents or of cluster ownership, and every stream taken out of a table
// (culled, cleared, reset, swept) move the generation on, and the next message builds the route
// again. Readers never see a half-built route: a route is complete before it is published into
// the slot (release), and routes and the sets that hold them are freed through the safe free.
// Metrics without such an interest entry (only pattern or filtered rulesets, or rulesets of any
// check), metrics whose id carries check tags, and metrics matched by more than 1024 rulesets
// are looked up afresh on every message, as before.
//
// One message's dispatch, on the caller's stack, inside one safe-memory bracket from
// rules_dispatch_begin to rules_dispatch_end:
//   int n = rules_dispatch_begin(&d, &m->id, array, capacity);
//   for (int i = 0; i < n; i++) rules_dispatch_apply(&d, i, m);   // when n >= 0
//   rules_dispatch_end(&d);
struct metric_route_t;
struct rules_dispatch_t {
  const metric_route_t *route = nullptr;  // the metric's current route, or null
  const vask_metric_id_t *id = nullptr;   // the message's metric
  ruleset_sp *rulesets = nullptr;         // without one: the lookup's array
  std::atomic<void *> *slot = nullptr;    // where this message's route is published
  uint64_t generation = 0;                // the generation the lookup started under
  int count = 0;
  // What the first message applied, when it builds the route: ruleset and stream (or null).
  std::vector<std::pair<const ruleset_t *, rulestream_c *>> recorded;
};
// The rulesets that apply to the metric, as rulesets_for_metric counts them (the array is filled
// only when there is no current route). Any thread, inside a safe-memory bracket.
int rules_dispatch_begin(rules_dispatch_t *d, const vask_metric_id_t *id, ruleset_sp *out,
                         int capacity);
// Applies the message to the i-th ruleset (0 <= i < the count begin returned) as
// ruleset_apply_metric_message does, through the route's stream when there is one. On the
// worker thread that owns the metric.
int rules_dispatch_apply(rules_dispatch_t *d, int i, vask_metric_message_t *m);
// Publishes the route the message resolved, when it built one and nothing changed meanwhile.
void rules_dispatch_end(rules_dispatch_t *d);
// Routes published since the start (a route is built by a metric's first message and again
// after each change of the generation). Any thread.
uint64_t rules_routes_built(void);
// Installs the director's slot destructor for routes. rules_lookup_init calls it.
void rules_routes_init(void);

// Where the absence timers' synthetic lines go when the metric director has no lanes (tests and
// benchmarks, which apply messages in place): the intake's handle_vask_metric_message, which
// installs itself when it is linked in. The function takes over one reference to the message.
typedef void (*absence_intake_fn_t)(vask_metric_message_t *m);
void absence_set_lane_less_intake(absence_intake_fn_t fn);

// ---- Maintenance --------------------------------------------------------------------------------

// Re-evaluates the notification of every stream of the ruleset with that id, if it is
// registered (the end of a maintenance window, a parent's change of severity 1).
void ruleset_reevaluate_id(uint64_t ecid, const struct timeval &time);

// ---- Parsing -----------------------------------------------------------------------------------

// Turns a JSON array of ruleset definitions into registered rulesets (see docs/rulesets.md).
// Returns the number of elements processed (loaded, kept or deleted), or -1 when there were errors
// and nothing was processed; *errors (when given) receives the error count. *high_water (when
// given) is raised to the largest id that reached allocation. The caller keeps `array`. Any
// thread; loads are serialised inside.
int parse_ruleset_response(json_object *array, uint64_t *high_water, int *errors);

// The same for a JSON text (a REST body, an API page), taken element by element so that memory
// follows what is kept, not the body (src/json_elements.h). A text that is not JSON counts one
// error, returns -1 and sets *syntax_error (when given) to the reason; otherwise *syntax_error
// is null. Any thread; call it off the event loop for large texts.
int parse_ruleset_text(std::string_view text, uint64_t *high_water, int *errors,
                       const char **syntax_error);

// Whether a ruleset of that id is held now. Any thread.
bool ruleset_is_held(uint64_t ecid);

// ---- Loading from the management API -----------------------------------------------------------

// Raised while a bulk load of rulesets from the API is under way; single reloads asked for by bus
// messages wait while it is up. Lowered when the bulk load ends, and while its requests fail (so
// a page the API never delivers cannot hold reloads back for ever).
extern std::atomic<bool> rulesets_are_loading;

// Starts (or restarts from the first page) the bulk load of rulesets from the API. Without
// "//orvane/api/base" or "//orvane/api/token" nothing starts and the loading flag stays down.
// Only queues a job on api_jobq. Any thread.
void start_ruleset_fetch(void);

// Fetches one ruleset again from the API. An empty answer removes the ruleset entirely (as a
// deletion request does); an answer that does not parse keeps the version in force. While a
// reload of the same id is running, another request makes it run once more after it. Only queues
// a job on api_jobq. Any thread.
void ruleset_reload(uint64_t ecid);

// ---- Sweeps over every stream (cull_sweep.cpp) --------------------------------------------------

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

// ---- Culled raised streams (raised_memory.cpp) ------------------------------------------------

// What the consumers were last told about streams that are gone.
//
// Culling may remove a stream whose raised state was announced (a ruleset with cull_seconds
// removes raised streams too). When its metric comes back, the new stream starts undetermined,
// and a pattern stream of a ruleset with an absence rule would never announce its first clear:
// the consumer would keep the raised severity for good. So the cull pass remembers, per ruleset
// id and stream signature, the severity it last announced for each raised stream it removes,
// and the stream that comes back under that signature takes the entry and announces its clear.
//
// The memory is bounded: at most raised_memory_limit() entries; beyond it the oldest entry goes
// (counted as forgotten). Entries are plain values, so a store can keep them across restarts:
// iterate them to save, remember each one to load. All functions take one mutex; any thread.
struct raised_memory_entry_t {
  uint64_t ecid = 0;       // the ruleset's id
  std::string signature;   // the stream's signature
  int32_t sev = 0;         // the severity last announced for it (never clear)
  int8_t rule = 0;         // the rule index announced with it
  uint64_t culled_ms = 0;  // when the stream was removed (wall clock, ms)
};

// Remembers (or replaces) the entry of (ecid, signature); the oldest entry goes when the memory
// is full.
void raised_memory_remember(const raised_memory_entry_t &entry);
// Forgets the entry of (ecid, signature); false when there was none.
bool raised_memory_forget(uint64_t ecid, std::string_view signature);
// Copies the entry of (ecid, signature) to *out; false when there is none.
bool raised_memory_lookup(uint64_t ecid, std::string_view signature, raised_memory_entry_t *out);
// Looks up and forgets in one step (a returning stream takes its entry): false when none.
bool raised_memory_take(uint64_t ecid, std::string_view signature, raised_memory_entry_t *out);
// Calls fn for a copy of every entry, oldest first; fn may call the functions above.
void raised_memory_each(const std::function<void(const raised_memory_entry_t &)> &fn);
// Forgets every entry of one ruleset (a ruleset that went away); returns how many.
size_t raised_memory_forget_ruleset(uint64_t ecid);

// Entries held now; entries forgotten because the memory was full; entries taken by returning
// streams. Gauge and counters of the "rulestreams" statistics.
size_t raised_memory_size(void);
uint64_t raised_memory_evicted(void);
uint64_t raised_memory_recalled(void);

// The bound (default 100,000 entries); lowering it forgets the oldest entries at once. 0 keeps
// nothing.
size_t raised_memory_limit(void);
void raised_memory_set_limit(size_t limit);
// Forgets everything (tests).
void raised_memory_clear(void);
