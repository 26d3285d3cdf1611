// store: the daemon's embedded store, one SQLite file that keeps what an operator defined across
// restarts: the definitions of rulesets and maintenance windows (their JSON text, by id, with
// where each came from) and the last announced state of every rule stream.
//
// The store knows ids, texts and stream states only; the rules and maintenance decide what to
// write and parse what is read back. It is off until store_open succeeds; while off every write
// succeeds without doing anything and every read finds nothing, so the callers behave as they do
// without a store.
//
// Definitions are written through: store_write returns once its transaction is committed to the
// file (WAL, synchronous), so a caller that answers after it has its definitions on disk. A write
// that fails (disk full, I/O error) changes nothing in the file and is counted and logged; the
// caller then refuses what it was about to apply. Stream states are queued and written by a
// thread of the store in batches, about once a second and at store_close; the queue is bounded
// and a state that does not fit is dropped and counted.
//
// Faults: a file that is not a database, is damaged, or is held by another process is reported on
// "error" and the store stays off for this run; the file is never written then. A damage found
// while reading at start also turns the store off.
//
// Threads: every function may be called from any thread. Definitions' writes and reads take one
// mutex around the connection; the writer thread takes it once per batch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// What a definition is.
enum store_kind_t : int { STORE_RULESET = 0, STORE_MAINTENANCE = 1 };

// Where a definition came from.
enum store_source_t : int {
  STORE_SOURCE_API = 0,  // the management API (the default where no scope says otherwise)
  STORE_SOURCE_REST = 1,
  STORE_SOURCE_BUS = 2,
  STORE_SOURCE_FILE = 3,
};
// "api", "rest", "bus", "file".
const char *store_source_name(store_source_t source);

// A stored definition.
struct store_definition_t {
  uint64_t id = 0;
  std::string json;
  store_source_t source = STORE_SOURCE_API;
  std::string origin;
};

// The source of the loads on this thread while the scope lives (scopes nest; the innermost wins).
// Without a scope the source is STORE_SOURCE_API. `origin` names a rule file (copied).
class store_source_scope_c {
 public:
  explicit store_source_scope_c(store_source_t source, std::string_view origin = {});
  ~store_source_scope_c();
  store_source_scope_c(const store_source_scope_c &) = delete;
  store_source_scope_c &operator=(const store_source_scope_c &) = delete;

 private:
  store_source_t _saved_source;
  std::string _saved_origin;
};
store_source_t store_current_source(void);
const std::string &store_current_origin(void);

// While it lives, the loads of this thread come from the store itself (the start's load):
// store_write writes nothing for them.
class store_loading_scope_c {
 public:
  store_loading_scope_c();
  ~store_loading_scope_c();
  store_loading_scope_c(const store_loading_scope_c &) = delete;
  store_loading_scope_c &operator=(const store_loading_scope_c &) = delete;

 private:
  bool _saved;
};
bool store_loading(void);

// ---- Where each definition came from (in memory, with or without a store file) --------------

// Notes the source of a definition now in force; an API definition without origin is the
// default and takes no memory. Forget when the definition goes. Any thread.
void store_note_source(store_kind_t kind, uint64_t id, store_source_t source,
                       std::string_view origin);
void store_forget_source(store_kind_t kind, uint64_t id);
// The noted source of a definition (false: none noted, which means the API or nothing held).
bool store_source_of(store_kind_t kind, uint64_t id, store_definition_t *out);
// Whether a change of the id from the thread's current source must be refused: the id belongs
// to a rule file, and the change does not come from a file. Sets *file to the file's name.
bool store_refused_by_file(store_kind_t kind, uint64_t id, std::string *file);

// ---- Opening and closing -----------------------------------------------------------------------

// Opens (creating when missing) the store file at `path`, in WAL mode, locked for this process
// alone, and starts the writer thread. False, with the reason in *error and on "error", when the
// file cannot be used; the store stays off then. Registers the statistics "store" the first time.
// Single-threaded start-up.
bool store_open(const std::string &path, std::string *error);
// Whether the store is open (and not turned off by a fault found since).
bool store_enabled(void);
// Writes what is queued, stops the writer thread and closes the file. Idempotent.
void store_close(void);
// Writes what is queued now and returns once it is on disk (tests, clean stop).
void store_flush(void);

// ---- Definitions -------------------------------------------------------------------------------

// One change of a definition: `json` empty means the id is deleted.
struct store_write_t {
  store_kind_t kind = STORE_RULESET;
  uint64_t id = 0;
  std::string json;
  store_source_t source = STORE_SOURCE_API;
  std::string origin;  // a rule file's name, or empty
};

// Writes every change in one transaction, in order. True when committed (or when the store is
// off, or inside a store_loading_scope_c); false when nothing could be written (counted as a
// failure, logged, and "disk_full" counted for a full disk). Any thread.
bool store_write(const std::vector<store_write_t> &writes);

// Calls fn for every stored definition of the kind, in id order. Returns false when reading
// failed (the store is then turned off and the failure logged). Start-up.
bool store_each_definition(store_kind_t kind,
                           const std::function<void(const store_definition_t &)> &fn);
// The stored source of one definition; false when the id is not stored (or the store is off).
bool store_definition_source(store_kind_t kind, uint64_t id, store_definition_t *out);
// The stored ids of the kind with the given source (with their origins).
std::vector<store_definition_t> store_definitions_from(store_kind_t kind, store_source_t source);

// The ids read at start by store_each_definition whose source is STORE_SOURCE_API and that no
// write has touched since; each call returns them once and forgets them. With a management API,
// what its first complete bulk load did not return.
std::vector<uint64_t> store_take_untouched_api_ids(store_kind_t kind);

// ---- Stream states -----------------------------------------------------------------------------

// The last state announced for a stream.
struct store_stream_state_t {
  uint64_t ecid = 0;
  std::string signature;
  int32_t sev = 0;
  int8_t rule = 0;
  uint64_t ms = 0;    // when it was announced
  std::string value;  // the announced value as JSON text ("null" when none)
};
// Queues the state for the writer thread; never blocks on the file. A full queue drops it
// (counted). Nothing happens while the store is off.
void store_stream_state_put(store_stream_state_t state);
// Queues the removal of every stream state of the ruleset (a ruleset that went away).
void store_stream_states_forget(uint64_t ecid);
// Calls fn for every stored stream state. False when reading failed. Start-up.
bool store_each_stream_state(const std::function<void(const store_stream_state_t &)> &fn);
// Calls fn for the `newest` most recently announced states that are raised (severity neither 0
// nor clear), oldest first. False when reading failed. Start-up.
bool store_each_raised_stream_state(size_t newest,
                                    const std::function<void(const store_stream_state_t &)> &fn);

// ---- Statistics --------------------------------------------------------------------------------

struct store_stats_t {
  uint64_t writes = 0;          // definitions' transactions committed
  uint64_t write_failures = 0;  // definitions' transactions that failed
  uint64_t disk_full = 0;       // failures of either kind because the disk was full
  uint64_t states_written = 0;  // stream states written
  uint64_t states_dropped = 0;  // stream states dropped: queue full or batch failed
  uint64_t queue_depth = 0;     // stream changes waiting for the writer
};
store_stats_t store_stats(void);
// The most stream changes that may wait for the writer (default 500,000).
void store_set_queue_limit(size_t limit);

// Test seam: makes the next `count` definitions' writes fail as a full disk would.
void store_fail_next_writes(int count);
