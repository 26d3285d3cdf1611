// brokers: one record per broker that sends us metrics, its traffic and its health.
//
// A broker is known by its name (the line's broker field, "cn" in the API's broker list). Its
// record counts the messages it sent, keeps the newest time of its data, and follows its own
// self-check metrics: "uptime" reports of a broker up for more than a minute make it "stable"
// (announced with a pulse 1 on the maintenance route), and their absence for more than 30 s makes
// it "silent" (pulse 0). The module also serves the list over REST and the console, loads the
// broker list once from the API, and offers the broker-wide stream sweeps that bus messages and
// a REST request ask for.
//
// Records are never removed, so a broker_t pointer stays valid for the life of the process;
// streams and metric states keep them without references. The registry is capped
// (//orvane/state/brokers/@max, default 10000): beyond it a broker gets no record and its
// messages flow on, counted as untracked.
//
// Threads: lookups are lock-free (inside a safe-memory bracket they take themselves); creation
// is serialised by brokers_lock. brokers_watch runs on the metric director's producer threads;
// the health pass on the event loop; the fetch on api_jobq; sweeps as jobs.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "stats/stats_shard.h"
#include "tovi/eventer.h"
#include "tovi/tovi_http.h"
#include "vask/vask_metric.h"

struct json_object;
struct stats_handle_t;

// The name as the registry hashes and compares it. First member of broker_t, so that a bare
// key can probe the registry.
struct broker_key_t {
  const char *name;  // not terminated for a probe; terminated in a record
  size_t name_len;
};

struct broker_t {
  // Constant after creation.
  broker_key_t key;  // the name: owned, terminated
  // Written once by the creating call, after the record is published; nobody reads them back.
  stats_handle_t *numeric_h, *text_h, *histogram_h, *collected_h;

  // Any thread: per-thread shards, so two connections of one broker never write the same line;
  // load() sums them.
  stats_sharded_u64_t numeric;      // metric messages with a value that is not a text
  stats_sharded_u64_t text;         // metric messages with a text value
  stats_sharded_u64_t histograms;   // histogram messages
  std::atomic<uint64_t> collected;  // the last self-check "metrics_collected"
  // Microseconds since the epoch, raised only (compare-and-swap), so a reader sees one real
  // instant. A message time ahead of its arrival counts as the arrival time.
  std::atomic<uint64_t> last_seen_data_us;  // newest data
  std::atomic<uint64_t> last_seen_us;       // newest qualifying self-check; creation at first
  std::atomic<uint64_t> seen_count;         // qualifying self-checks since the last pulse 0
  // Health pass only (one loop thread); atomic because REST and the console read it.
  std::atomic<bool> pulsed;  // pulse 1 sent and not yet followed by a pulse 0: "stable"
};

// The broker name of the messages the daemon makes itself (absence checks). They come from no
// broker: the registry keeps no record of it and its messages are not counted.
constexpr char internal_broker_name[] = "quelt-internal";

// Fixed health limits.
constexpr int64_t max_broker_age = 30;          // seconds without a self-check: silent
constexpr uint64_t min_broker_seen_count = 18;  // self-checks to exceed to be stable
constexpr int64_t broker_maintenance_period_s = 10;

// The record of this broker, or null. Lock-free; any thread.
broker_t *getbroker(const char *name, size_t name_len);
// The record of this broker, created (seen_count 1, last self-check now) when new. Null for an
// empty name or when the registry is full. The creator registers the record's statistics
// "brokers"/<name> (tag "broker-cn"). Any thread.
broker_t *createbroker(const char *name, size_t name_len);
// 0 with the broker's name (not terminated: use *name_len), or -1 for a null broker.
int broker_name(const broker_t *broker, const char **name, size_t *name_len);

// The metric director's want hook "brokers_watch": counts the message for its broker, raises
// the broker's data time and follows its self-checks (messages whose self-check marker is set).
// Never declines a message.
bool brokers_watch(void *closure, vask_metric_message_t *m);
// brokers_watch with the arrival time given (tests, benchmarks).
void brokers_watch_at_for_test(vask_metric_message_t *m, uint64_t now_us);

// What a self-check value reads as: integers as they are, doubles truncated toward zero. NaN,
// infinities, negative values, values beyond 64 bits, nulls and texts read as 0.
uint64_t broker_selfcheck_value(const vask_metric_value_t &value);

// Publishes {"maint": {"vask", "pulse", "age", "counter", "reporter"}} on alerts_exchange with
// maint_route and logs it on "fire/rules". Returns what the bus send returned (0: queued).
int broker_pulse(broker_t *broker, int pulse, int64_t age, uint64_t counter);
// One health pass at `now_us`: for every broker, pulse 0 when its last self-check is more than
// 30 s old and it was counting or stable; pulse 1 when it has more than 18 self-checks, the
// last under 30 s old, and is not stable. Returns the pulses sent. Event loop (tests: any
// thread, one at a time).
int broker_maintenance_pass(uint64_t now_us);
// The health pass timer's callback ("broker_maintenance"): a pass, then again 10 s later.
int broker_maintenance(eventer_t e, int mask, void *closure, struct timeval *now);

// Makes a record for every element of the API's broker list (an array of {"cn": name}), logging
// what is wrong with it. Returns the array's length, or -1 when the document is not an array.
// Inside a safe-memory bracket; any thread.
int brokers_apply_list(json_object *doc);

// Re-announces every stream whose data last came through this broker ("maintenance renotify").
// Logs "remove maintenance on '%s' - not found" on "error/maintenance" when there is no record.
void broker_do_vask_maintenance_remove(const char *name);
// Resets every stream of every broker ("system-wide maintenance recovery") so that the next data
// is announced again.
void broker_do_maintenance_full_recover(void);

// ---- Stream sweeps, carried out by the rules module ---------------------------------------------

// What a sweep does to each rule stream it visits.
enum broker_sweep_action_t { BROKER_SWEEP_RENOTIFY, BROKER_SWEEP_RESET };
// Called once when a sweep is over, on a loop thread: the sweep's label, the number of streams
// visited and the closure given to the sweeper.
typedef void (*broker_sweep_done_t)(const char *name, int64_t streams, void *closure);
// Visits every rule stream whose data last came through `broker` (every stream for a null
// broker), applying `action` to each, then calls done(name, streams, closure) once. Returns at
// once. `name` is copied.
typedef void (*broker_stream_sweeper_t)(broker_t *broker, broker_sweep_action_t action,
                                        const char *name, broker_sweep_done_t done, void *closure);
// Installs the sweeper (the rules module does, when it starts). Without one, a sweep visits
// nothing and completes at once with 0 streams. Start-up, before any sweep is asked for.
void brokers_set_stream_sweeper(broker_stream_sweeper_t sweeper);

// Records in the registry, and messages of brokers that found it full.
size_t brokers_count(void);
uint64_t brokers_untracked(void);
// The registry's cap (tests may lower it).
void brokers_set_max(size_t max);

// REST: GET "/" "^brokers(?:\.json)?$" and POST "/brokers/" "^clear$".
int brokers_rest_get(tovi_http_rest_closure_t *restc, int npats, char **pats);
int brokers_rest_clear(tovi_http_rest_closure_t *restc, int npats, char **pats);
// The JSON text of GET /brokers (one broker with `name`, else all keyed by name, sorted), and
// whether the named broker exists. `now_us` gives the ages.
bool brokers_render(const char *name, uint64_t now_us, std::string *out);

// Registers the statistics, the registry, the want hook, the REST routes and the console
// command, starts the broker list fetch and schedules the first health pass in 10 s. Once, in
// child_main after dependency_init and before metrics_init. A failed registration is fatal.
void brokers_init(void);
