// api_loader: paged bulk loads and single reloads from the management API, shared by the ruleset
// and maintenance-window fetchers.
//
// A load is a chain of jobs on api_jobq, one request per job, each queued by the completion phase
// of the one before, so the passes of one chain never overlap. Paging:
//   - a bulk load asks for ids from cursor + 1; the cursor becomes the largest id read in the page
//     (whether the element loaded, was skipped as another node's or another account's, or was
//     malformed) and is never lowered; the load ends on an empty page, or with an error line when
//     a page brings no id above the cursor (an API that ignores "from" would loop for ever);
//   - a bad element is logged and counted by the parser and never asked for again;
//   - a page whose definitions were refused because the most allowed are held ends the load
//     (an API whose ids keep rising would otherwise be followed for ever);
//   - a page is parsed element by element while the answer is mapped (src/json_elements.h);
//   - only a failed call or a document that is not an array is retried, with a pause of 1, 2, 4 ...
//     microseconds growing to at most one second; while a bulk load is failing so, its loading
//     flag is down (what waits for the load goes ahead), and a page that comes through raises it;
//   - a single reload answered with [] reports the item gone; any other answer is final.
// One chain per kind: a bulk start while one runs restarts it from its first page once the
// current pass completes; a reload of an id whose chain runs makes it run once more afterwards.
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_log.h"

struct api_fetch_state_t;

// What differs between the kinds of load. Defined once per kind (src/rules/fetch.cpp,
// src/maintenance/fetch.cpp); the texts are the kind's own log lines.
struct api_loader_kind_t {
  const char *stats_name;      // namespace under "api": "rulesets", "maintenance"
  const char *log_id_field;    // log value naming the id: "ecid", "maintenance_id"
  const char *batch_size_key;  // e.g. "//orvane/api/rulesets/@batch_size"
  const char *once_at_key;
  const char *bulk_url;           // format: base, first id, page size
  const char *single_url;         // format: base, id
  const char *bulk_start_line;    // format: first id
  const char *single_start_line;  // format: id
  const char *elapsed_line;       // format: "->" or "", cursor or id, seconds, processed, errors
  const char *finished_line;      // "Finished bulk ... fetch.\n"
  tovi_log_stream_t (*error_stream)();
  // The element's id, false when it has none that can be read.
  bool (*element_id)(json_object *element, uint64_t *id);
  // Loads one page element by element, as the kind's parser does (begin with the element
  // count, each element in order, null for one that did not parse; end returns the number
  // processed, sets *errors and *over_limit, the definitions refused because the most allowed
  // are held, and frees the batch).
  void *(*batch_begin)(size_t count);
  void (*batch_element)(void *batch, json_object *element, size_t raw_size);
  int (*batch_end)(void *batch, int *errors, uint64_t *over_limit);
  // A page that is JSON but not an array: logs and counts it as the kind's parser does.
  int (*not_array)(int *errors);
  // A single reload was answered with []: the item no longer exists upstream.
  void (*single_gone)(uint64_t id);
  std::atomic<bool> *loading;  // raised while a bulk load runs
  eventer_func_t job;          // the kind's job function; it calls api_fetch_job
  // Called (on the job's thread, no lock held) after a bulk load went through every page; null
  // for nothing.
  void (*bulk_finished)(void) = nullptr;

  // The running chains; guarded by lock.
  std::mutex lock{};
  api_fetch_state_t *bulk = nullptr;
  bool bulk_restart = false;
  std::map<uint64_t, bool> singles{};  // id -> run once more when done (running or waiting)

  // Statistics (lock-free).
  stats_counter_t *loads = nullptr;       // bulk loads finished
  stats_counter_t *pages = nullptr;       // answers read (bulk and single)
  stats_counter_t *items = nullptr;       // elements processed
  stats_counter_t *errors = nullptr;      // failed calls, bad documents, bad elements
  stats_counter_t *over_limit = nullptr;  // definitions refused: the most allowed are held
};

// Single reloads (of every kind) that run at once; the others wait their turn, so a burst of
// reloads against a slow API never takes every thread of api_jobq from the bulk loads: at most
// the queue's concurrency, and always two threads fewer than its maximum.
int api_loader_single_limit(void);

// Keeps `api_ns` as the namespace the kinds' statistics go under. Called by api_init.
void api_loader_stats_init(stats_ns_t *api_ns);
// Registers "loads", "pages", "items", "errors", "over_limit" of the kind under a namespace named
// after its stats_name, below the one api_loader_stats_init kept. The module that owns the kind
// calls it when it starts (rules_mgr_init, maintenance_init). Does nothing before
// api_loader_stats_init or for a kind registered already. Start-up, main thread.
void api_loader_register_stats(api_loader_kind_t *kind);

// Starts (or restarts) the bulk load of the kind. Reads "//orvane/api/base" and
// "//orvane/api/token" first: without them it logs `no_base`/`no_token` on the error stream and
// starts nothing (the loading flag stays as it was). Any thread.
void api_loader_start_bulk(api_loader_kind_t *kind);
// Starts a single reload of `id`, or asks the running one to run once more. `no_base` and
// `no_token` texts as above, prefixed "reload failed: ". Id 0 is refused (logged). Any thread.
void api_loader_start_single(api_loader_kind_t *kind, uint64_t id);

// The body of every kind's job function (both phases).
int api_fetch_job(api_loader_kind_t *kind, eventer_t e, int mask, void *closure,
                  struct timeval *now);

// Whether any chain of the kind is running (tests).
bool api_loader_busy(api_loader_kind_t *kind);
