// Maintenance windows: between two instants, severity changes of chosen severities are not
// announced for one account, one host, one check or one ruleset.
//
// The registry keeps every live window by id and, for matching, in one of four key tables. The
// notification decision asks maintenance_not_active() whether a change is covered; a window
// remembers the rulesets it held back and re-evaluates exactly those when it ends, so that what
// it held is announced afterwards. There is no timer at a window's start (coverage is decided
// when a stream wants to notify); there is one timer at its end.
//
// Times: start_on and stop_on are whole seconds since the Unix epoch, both ends inclusive: a
// window with start_on = stop_on = T covers the second T, and its end timer fires at T + 1.
//
// Threads. Readers (matching, lookups, JSON) take no lock and must run inside a safe-memory
// bracket; every change of the registry holds maintenance_add_remove_lock. Windows, list nodes
// and key lists are released through safe memory, so a reader keeps what it found until it
// leaves its bracket. A window's end timer runs on the loop thread chosen from its id.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "tovi/eventer.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_sync.h"

struct json_object;
struct ck_hs;
struct tovi_amqp_connection_t;
struct tovi_amqp_envelope_t;

// What a window covers.
enum maint_item_type_t : int32_t {
  MAINT_ON_ACCOUNT = 0,  // key: account id
  MAINT_ON_HOST = 1,     // key: host name (text owned by the window)
  MAINT_ON_CHECK = 2,    // key: check id
  MAINT_ON_METRIC = 3,   // key: a ruleset's event criteria id
};

// "account", "host", "check", "metric"; "unknown" for any other value.
const char *maint_item_type_name(maint_item_type_t type);

// The description of a window.
struct maint_def_t {
  uint64_t maintenance_id = 0;  // identity; unique in the registry
  maint_item_type_t maintenance_type = MAINT_ON_ACCOUNT;
  union {
    char *host;  // MAINT_ON_HOST: malloc'd, owned by the window
    char *generic_string;
    uint64_t account_id;
    uint64_t check_id;
    uint64_t event_criteria_id;
    uint64_t generic_uint64;
  } maintenance = {};
  // The fields below may change in place while the window is live (under the registry lock);
  // readers load them atomically (maint_window_* accessors) and see the old or the new value.
  uint8_t severity_mask = 0;  // bit n: severity n is covered
  uint64_t start_on = 0;      // first covered second
  uint64_t stop_on = 0;       // last covered second
  uint64_t account_id = 0;    // owning account, for logging only
};

// Every change of the registry holds this lock.
extern tovi_mutex_c maintenance_add_remove_lock;

// One window.
struct maint_window_t {
  maint_def_t def;  // first, so that a pointer to the id probes the id table
  // The end timer (a reference held by the window), or null once it has fired or was removed.
  eventer_t stop_trigger ABSL_GUARDED_BY(maintenance_add_remove_lock) = nullptr;
  // The rulesets this window has held back at least once: lock-free membership tests;
  // insertions and taking the set out are serialised by tgt_ecids_wrlock. An ecid of 0 or
  // 2^64-1 is never recorded (neither names a ruleset).
  ck_hs *tgt_ecids = nullptr;
  tovi_mutex_c tgt_ecids_wrlock;
  bool added_by_key ABSL_GUARDED_BY(maintenance_add_remove_lock) = false;  // sits in a key table
};

// A node of the list of windows that share one key. A slot is vacated (null) when its window
// leaves; nodes are released only with their whole list.
struct maint_window_list_t {
  std::atomic<maint_window_t *> maint_window{nullptr};
  std::atomic<maint_window_list_t *> next{nullptr};
};

// ---- Windows -----------------------------------------------------------------------------------

// A zeroed window with an empty target set, in safe memory. Allocation failure is fatal.
maint_window_t *maint_window_safe_alloc();
// Adds w, or applies it as an update to the live window of the same id, and takes ownership of w
// (inserted or discarded). A new window whose start_on is after its stop_on is refused. An update
// may not change the type or key; once the live window has started it may not change start_on or
// the severities either; a refused update changes nothing. Returns 1 (added), 0 (updated) or -1
// (refused). Any thread; requires maintenance_init (or maintenance_tables_init).
int maint_window_update(maint_window_t *w);
// Ends a window already taken out of the id table (or never in it): cancels its end timer,
// removes it from its key table, re-evaluates the rulesets it held back, releases it. Any thread
// that does not hold maintenance_add_remove_lock.
void maint_window_safe_free(maint_window_t *w);
// Re-evaluates what w held back and releases it; for windows that were never registered.
void maint_window_safe_free_no_remove(maint_window_t *w);
// The live window of that id, or null. Lock-free; call inside a safe-memory bracket and use the
// result only inside it.
maint_window_t *get_maint_window_by_id(uint64_t id);
// Makes the window's end timer due now, so that it ends on its loop thread. Nothing happens when
// there is no such window or its timer has already fired. Any thread.
void maint_window_stop_now(uint64_t id);
// Takes the live window of that id out of the registry and ends it at once (its held-back
// rulesets are re-evaluated now). Returns whether there was one. Any thread.
bool maint_window_delete(uint64_t id);

// Readers of the fields that may change while a window is live.
uint64_t maint_window_start_on(const maint_window_t *w);
uint64_t maint_window_stop_on(const maint_window_t *w);
uint8_t maint_window_severity_mask(const maint_window_t *w);
// Whether the window has recorded ecid as held back. Lock-free.
bool maint_window_holds_ecid(maint_window_t *w, uint64_t ecid);
// The number of live windows.
uint64_t maint_windows_live();
// Calls fn for every live window, in table order, holding maintenance_add_remove_lock (fn must
// not change the registry). Any thread, inside a safe-memory bracket.
void maint_windows_each(const std::function<void(maint_window_t *)> &fn);
// The rulesets the window holds back now (recorded and not yet re-evaluated), ascending. Any
// thread, inside a safe-memory bracket.
std::vector<uint64_t> maint_window_held_ecids(maint_window_t *w);

// ---- Matching
// ------------------------------------------------------------------------------------

// 1 when no active window covers a change from sev_from to sev_to of a stream of ruleset ecid
// (account, check id, host; 0 or null keys are not probed), 0 when one does. The wanted
// severities are those of sev_from and sev_to that lie in 0..5; a window covers the change when
// it is active at now (start_on <= now's seconds <= stop_on) and its mask holds every wanted
// severity. The ruleset, check, account and host tables are probed in that order. A covering
// window records ecid as held back. Before the tables exist nothing is held back (1). Any thread,
// inside a safe-memory bracket.
int maintenance_not_active(uint64_t ecid, uint64_t account_id, uint64_t check_id, const char *host,
                           int sev_from, int sev_to, const struct timeval &now);

// Re-evaluates every stream of the ruleset now, announcing what maintenance held back.
void end_maintenance_on_ecid(uint64_t ecid);

// The re-evaluation that ends a window's hold on a ruleset: `fn(ecid, now)`. The rules module
// installs ruleset_reevaluate_id when it starts (rules_init); tests install their own; null (the
// default) re-evaluates nothing.
typedef void (*maint_reevaluate_fn_t)(uint64_t ecid, const struct timeval &now);
void maintenance_set_reevaluate(maint_reevaluate_fn_t fn);

// What POST /maintenance/leave does to every rule stream: puts each back to undetermined and
// returns how many there were. The rules module installs it when it starts (rules_init); null
// (the default) resets nothing and counts 0. Called on a job thread.
typedef uint64_t (*maint_reset_streams_fn_t)(void);
void maintenance_set_reset_streams(maint_reset_streams_fn_t fn);

// ---- Module
// ------------------------------------------------------------------------------------------

// Creates the registry's tables and finds the log streams; what maintenance_init does before its
// statistics and routes. Idempotent. Single-threaded start-up (and tests).
void maintenance_tables_init();
// Log streams, tables, statistics ("maintenance": "windows", "held_back", "ended") and the REST
// routes. Called once in child_main after the rules module; a failed registration is fatal.
void maintenance_init();

// ---- Loading from the management API ----------------------------------------------------------

// Raised while a bulk load of windows from the API is under way. Lowered when it ends.
extern std::atomic<bool> maint_windows_are_loading;
// Starts (or restarts from the first page) the bulk load of windows from the API. Without
// "//orvane/api/base" or "//orvane/api/token" nothing starts and the flag stays down. Only queues
// a job on api_jobq. Any thread.
void start_maint_windows_fetch();
// Fetches one window again from the API; an empty answer ends the live window, an answer that
// does not parse leaves it alone. A request while a reload of the same id runs makes it run once
// more afterwards. Only queues a job on api_jobq. Any thread.
void maint_window_reload(uint64_t id);

// ---- JSON and REST
// -------------------------------------------------------------------------------

// Reads object[key] as an unsigned 64-bit number: a non-negative integer; a finite float in
// [0, 2^64), truncated; a text starting with base-10 digits that fit. Anything else (negative,
// NaN, infinite, too large, "-1", a missing key) is false.
bool get_kv_as_uint64(json_object *object, const char *key, uint64_t *value);
// Hands every usable window of the array `document` to maint_window_update, in order; *hwm takes
// the id of the last one handed over. An unusable element (or a refused update) adds one to
// *errors and is skipped; a severity outside 1..5 adds one error but the window is still taken.
// Returns the number of windows handed over, or -1 (one error) when document is not an array.
int parse_maint_windows_response(json_object *document, uint64_t *hwm, int *errors);
// The same for a JSON text, taken element by element (src/json_elements.h): memory follows the
// windows kept, not the text. A text that is not JSON adds one error, returns -1 and sets
// *syntax_error (when given); otherwise *syntax_error is null. Any thread.
int parse_maint_windows_text(std::string_view text, uint64_t *hwm, int *errors,
                             const char **syntax_error);

// One request's windows taken element by element: begin, each element in order (null for one
// that did not parse: an error), end, which adds the batch's errors to *errors and returns the
// number of windows handed over. A new window while maint_windows_max_held are live is refused,
// counted in over_limit and maint_windows_over_limit, never in errors. One thread per batch.
struct maint_batch_t {
  uint64_t max_held = 0;  // set by begin
  uint64_t hwm = 0;       // the id of the last window handed over
  int handed = 0;
  int errors = 0;
  uint64_t over_limit = 0;
  size_t index = 0;  // the element being read, for the load's report (load_report.h)
};
void maint_batch_begin(maint_batch_t *batch, size_t count);
void maint_batch_element(maint_batch_t *batch, json_object *element);
int maint_batch_end(maint_batch_t *batch, int *errors);

// Most live windows ("//orvane/state/maintenance/@max_held", 1,000,000), and the windows refused
// for it.
extern uint64_t maint_windows_max_held;
extern std::atomic<uint64_t> maint_windows_over_limit;
// The window as JSON ("maintenance_id", "severities", "start_on", "stop_on", "account_id",
// "maintenance_type", "maintenance_item"), owned by the caller; null for a null window.
json_object *maint_window_to_json(maint_window_t *w);

// GET /maintenance/<id>, POST /maintenance, POST /maintenance/leave.
int maint_windows_rest_get(tovi_http_rest_closure_t *restc, int npats, char **pats);
int maint_windows_rest_post(tovi_http_rest_closure_t *restc, int npats, char **pats);
int maint_leave_rest_post(tovi_http_rest_closure_t *restc, int npats, char **pats);
// GET /maintenance[?active=1|future=1|account_id=]: every live window (maint_window_to_json and
// "active", "holding": the rulesets it holds back now), ordered by start; 400 for a bad query.
// DELETE /maintenance/<id>: ends the window through its end timer, as if stop_on had come: what
// it held back is announced. 404 when there is no such window. Registered by maintenance_init.
int maint_windows_rest_list(tovi_http_rest_closure_t *restc, int npats, char **pats);
int maint_windows_rest_delete(tovi_http_rest_closure_t *restc, int npats, char **pats);
void maint_list_rest_init();

// ---- Updates from the message bus
// --------------------------------------------------------------

// The action word of an update message. It must be one of the three, but the active flag alone
// decides between adding (or updating) and ending a window.
enum maint_alter_action_t : int32_t {
  MAINT_ALTER_ADD = 0,     // "add"
  MAINT_ALTER_DELETE = 1,  // "remove"
  MAINT_ALTER_UPDATE = 2,  // "modify"
};

// What became of one bus body.
enum maint_bus_outcome_t {
  MAINT_BUS_IGNORED = 0,    // not a maintenance update
  MAINT_BUS_APPLIED = 1,    // active: the window was added or updated
  MAINT_BUS_ENDED = 2,      // inactive: the live window of that id (if any) was ended
  MAINT_BUS_REFUSED = 3,    // parsed, but the registry refused it (see maint_window_update)
  MAINT_BUS_MALFORMED = 4,  // logged with its reason on "error/maintenance"
};

// Reads an update body (any bytes, `length` of them; never read beyond) into the zeroed window
// w: "net.orvane.ombra.QueltMaintenanceEventHandler.update" then ten tab-led fields: (unused),
// action, item, type, severities, start_on, stop_on, account_id, maintenance_id, active flag
// (docs/api.md, "Bus messages"). Returns 1, or 0 with *reason set ("invalid prefix",
// "insufficient fields", "invalid action", "invalid type", "invalid number" for a numeric field
// that is empty, not decimal digits or beyond 64 bits, "invalid item" for an empty host,
// "severity list too long", "severity out of bounds"). On failure w may hold a copied host:
// discard it with maint_window_safe_free_no_remove. Any thread.
int parse_mq_message(const void *payload, size_t length, maint_window_t *w,
                     maint_alter_action_t *action, bool *active, const char **reason);
// Applies one body: an active window goes to maint_window_update, an inactive one ends the
// live window of its id. Bodies without the prefix are ignored without a log line. Any thread,
// inside a safe-memory bracket.
maint_bus_outcome_t handle_maintenance_update(const void *payload, size_t length);
// The message hook "maintenance-handler": applies a maintenance body at once and queues a copy
// for the drain (bounded; see the statistics "maintenance" -> "copies"). Every body is finished
// with (TOVI_AMQP_DONE). Runs on the bus thread.
int handle_amqp_message_maint(void *closure, tovi_amqp_connection_t *connection, int id,
                              const tovi_amqp_envelope_t *envelope, const void *payload,
                              size_t length);
// The recurrent drain: while no bulk load of windows runs, applies every queued copy in order
// of arrival. Returns 1 when it applied any, else 0. Loop thread 0.
int maint_handle_amqp_queue(eventer_t e, int mask, void *closure, struct timeval *now);
// Copies waiting for the drain.
size_t maint_bus_queued();

// Counters of the bus side (statistics "maintenance" -> "bus" and "copies"). Any thread.
struct maint_bus_stats_t {
  std::atomic<uint64_t> applied{0}, ended{0}, refused{0}, malformed{0}, ignored{0};
  std::atomic<uint64_t> copies_queued{0}, copies_replayed{0}, copies_dropped{0};
};
extern maint_bus_stats_t maint_bus_stats;
