// The embedded store: one SQLite connection guarded by one mutex, a writer thread for stream
// states, and a few counters.
//
// Tables: definitions(kind, id, json, source, origin, updated_ms) keyed by (kind, id), and
// streams(ecid, signature, sev, rule, ms, value) keyed by (ecid, signature). Ids are unsigned
// 64-bit; SQLite keeps them as their signed bit pattern.
//
// The file is opened in EXCLUSIVE locking mode and WAL journal: the first transaction takes the
// lock for the life of the connection, so a second daemon pointed at the same file finds it busy
// and is told so instead of sharing (and corrupting) it.
#include "store/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <map>
#include <set>
#include <thread>

#include "daemon_stats.h"
#include "stats/stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"

namespace {

thread_local store_source_t current_source = STORE_SOURCE_API;
thread_local std::string current_origin;
thread_local bool loading = false;

struct noted_t {
  store_source_t source;
  std::string origin;
};
std::mutex sources_lock;
std::map<uint64_t, noted_t> sources[2];  // guarded by sources_lock, by kind

// One queued change of the stream states: a state to keep, or (forget) every state of a ruleset.
struct stream_op_t {
  bool forget = false;
  store_stream_state_t state;
};

std::mutex db_lock;  // guards db and the statements
sqlite3 *db = nullptr;
std::atomic<bool> enabled{false};
std::string db_path;

std::mutex queue_lock;
std::condition_variable queue_cv;
std::condition_variable flushed_cv;
std::deque<stream_op_t> queue;  // guarded by queue_lock
size_t queue_limit = 500000;    // guarded by queue_lock
bool stopping = false;          // guarded by queue_lock
uint64_t batches_done = 0;      // guarded by queue_lock
bool writing = false;           // guarded by queue_lock
bool flush_requested = false;   // guarded by queue_lock
std::thread writer;

std::mutex untouched_lock;
std::set<uint64_t> untouched[2];  // guarded by untouched_lock, by kind

std::atomic<uint64_t> n_writes{0}, n_write_failures{0}, n_disk_full{0}, n_states_written{0},
    n_states_dropped{0}, n_queue_depth{0};
std::atomic<int> fail_next{0};

uint64_t now_ms() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

tovi_log_stream_t debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/store");
  return ls;
}

// Runs SQL without results; false (with the message in *error) when it fails.
bool exec(const char *sql, std::string *error, int *code = nullptr) {
  char *msg = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
  if (code) *code = rc;
  if (rc == SQLITE_OK) return true;
  if (error) *error = msg ? msg : sqlite3_errstr(rc);
  sqlite3_free(msg);
  return false;
}

bool is_damage(int rc) {
  rc &= 0xff;
  return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

// A fault that makes the file unusable for the rest of the run: the store goes off and the file is
// left as it is. Under db_lock.
void turn_off_locked(const char *what, int rc) {
  if (!enabled.exchange(false)) return;
  tovi_log(tovi_error,
           "store '%s': %s (%s); the store is off for this run and the file is left as it is\n",
           db_path.c_str(), what, sqlite3_errstr(rc));
}

void count_failure_locked(const char *what, int rc) {
  if ((rc & 0xff) == SQLITE_FULL) n_disk_full.fetch_add(1, std::memory_order_relaxed);
  tovi_log(tovi_error, "store '%s': %s failed: %s\n", db_path.c_str(), what, sqlite3_errstr(rc));
  if (is_damage(rc)) turn_off_locked("the file is damaged", rc);
}

struct stmt_c {
  sqlite3_stmt *s = nullptr;
  int rc = SQLITE_OK;
  explicit stmt_c(const char *sql) { rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
  ~stmt_c() { sqlite3_finalize(s); }
  bool ok() const { return rc == SQLITE_OK && s; }
};

void bind_text(sqlite3_stmt *s, int i, std::string_view text) {
  sqlite3_bind_text(s, i, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

std::string column_text(sqlite3_stmt *s, int i) {
  const unsigned char *t = sqlite3_column_text(s, i);
  return t ? std::string(reinterpret_cast<const char *>(t), size_t(sqlite3_column_bytes(s, i)))
           : std::string();
}

// Writes one batch of stream changes in one transaction. Under db_lock.
bool write_stream_batch_locked(const std::vector<stream_op_t> &ops) {
  if (!db || !enabled.load()) return false;
  int rc = SQLITE_OK;
  std::string error;
  if (!exec("BEGIN IMMEDIATE", &error, &rc)) {
    count_failure_locked("writing stream states", rc);
    return false;
  }
  stmt_c put(
      "INSERT OR REPLACE INTO streams(ecid, signature, sev, rule, ms, value) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  stmt_c forget("DELETE FROM streams WHERE ecid = ?1");
  rc = put.ok() && forget.ok() ? SQLITE_OK : (put.ok() ? forget.rc : put.rc);
  for (size_t i = 0; rc == SQLITE_OK && i < ops.size(); i++) {
    const stream_op_t &op = ops[i];
    sqlite3_stmt *s = op.forget ? forget.s : put.s;
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, int64_t(op.state.ecid));
    if (!op.forget) {
      sqlite3_bind_blob(s, 2, op.state.signature.data(), int(op.state.signature.size()),
                        SQLITE_TRANSIENT);
      sqlite3_bind_int(s, 3, op.state.sev);
      sqlite3_bind_int(s, 4, op.state.rule);
      sqlite3_bind_int64(s, 5, int64_t(op.state.ms));
      bind_text(s, 6, op.state.value);
    }
    rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK && !exec("COMMIT", &error, &rc)) {
  }
  if (rc != SQLITE_OK) {
    exec("ROLLBACK", nullptr);
    count_failure_locked("writing stream states", rc);
    return false;
  }
  return true;
}

void writer_main() {
  std::unique_lock<std::mutex> guard(queue_lock);
  for (;;) {
    queue_cv.wait_for(guard, std::chrono::seconds(1), [] { return stopping || flush_requested; });
    flush_requested = false;
    if (queue.empty()) {
      batches_done++;
      flushed_cv.notify_all();
      if (stopping) return;
      continue;
    }
    std::vector<stream_op_t> ops(std::make_move_iterator(queue.begin()),
                                 std::make_move_iterator(queue.end()));
    queue.clear();
    writing = true;
    guard.unlock();
    size_t states = 0;
    for (const stream_op_t &op : ops)
      if (!op.forget) states++;
    bool ok;
    {
      std::lock_guard<std::mutex> g(db_lock);
      ok = write_stream_batch_locked(ops);
    }
    if (ok)
      n_states_written.fetch_add(states, std::memory_order_relaxed);
    else
      n_states_dropped.fetch_add(states, std::memory_order_relaxed);
    guard.lock();
    writing = false;
    n_queue_depth.store(queue.size(), std::memory_order_relaxed);
    batches_done++;
    flushed_cv.notify_all();
    if (stopping && queue.empty()) return;
  }
}

void register_stats() {
  static bool done = false;
  if (done) return;
  done = true;
  stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "store");
  tovi_assert(ns != nullptr);
  auto reg = [ns](const char *name, stats_kind_t kind, std::atomic<uint64_t> *v) {
    tovi_assert(stats_register_u64_fn(ns, name, kind, [v] { return v->load(); }));
  };
  reg("writes", STATS_COUNTER, &n_writes);
  reg("write_failures", STATS_COUNTER, &n_write_failures);
  reg("disk_full", STATS_COUNTER, &n_disk_full);
  reg("states_written", STATS_COUNTER, &n_states_written);
  reg("states_dropped", STATS_COUNTER, &n_states_dropped);
  reg("queue_depth", STATS_GAUGE, &n_queue_depth);
  tovi_assert(stats_register_u64_fn(ns, "enabled", STATS_GAUGE,
                                    [] { return uint64_t(enabled.load() ? 1 : 0); }));
}

}  // namespace

const char *store_source_name(store_source_t source) {
  switch (source) {
    case STORE_SOURCE_API:
      return "api";
    case STORE_SOURCE_REST:
      return "rest";
    case STORE_SOURCE_BUS:
      return "bus";
    case STORE_SOURCE_FILE:
      return "file";
  }
  return "api";
}

store_source_scope_c::store_source_scope_c(store_source_t source, std::string_view origin)
    : _saved_source(current_source), _saved_origin(current_origin) {
  current_source = source;
  current_origin.assign(origin);
}

store_source_scope_c::~store_source_scope_c() {
  current_source = _saved_source;
  current_origin = std::move(_saved_origin);
}

store_loading_scope_c::store_loading_scope_c() : _saved(loading) {
  loading = true;
}

store_loading_scope_c::~store_loading_scope_c() {
  loading = _saved;
}

bool store_loading(void) {
  return loading;
}

void store_note_source(store_kind_t kind, uint64_t id, store_source_t source,
                       std::string_view origin) {
  std::lock_guard<std::mutex> g(sources_lock);
  if (source == STORE_SOURCE_API && origin.empty())
    sources[kind & 1].erase(id);
  else
    sources[kind & 1][id] = noted_t{source, std::string(origin)};
}

void store_forget_source(store_kind_t kind, uint64_t id) {
  std::lock_guard<std::mutex> g(sources_lock);
  sources[kind & 1].erase(id);
}

bool store_source_of(store_kind_t kind, uint64_t id, store_definition_t *out) {
  std::lock_guard<std::mutex> g(sources_lock);
  auto it = sources[kind & 1].find(id);
  if (it == sources[kind & 1].end()) return false;
  out->id = id;
  out->source = it->second.source;
  out->origin = it->second.origin;
  return true;
}

bool store_refused_by_file(store_kind_t kind, uint64_t id, std::string *file) {
  if (current_source == STORE_SOURCE_FILE) return false;
  std::lock_guard<std::mutex> g(sources_lock);
  auto it = sources[kind & 1].find(id);
  if (it == sources[kind & 1].end() || it->second.source != STORE_SOURCE_FILE) return false;
  if (file) *file = it->second.origin;
  return true;
}

store_source_t store_current_source(void) {
  return current_source;
}

const std::string &store_current_origin(void) {
  return current_origin;
}

bool store_open(const std::string &path, std::string *error) {
  register_stats();
  std::lock_guard<std::mutex> g(db_lock);
  tovi_assert(!db);
  db_path = path;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::string why;
  auto fail = [&](const char *what) {
    *error = std::string(what) + (why.empty() ? "" : ": " + why);
    tovi_log(tovi_error, "store '%s': %s; the daemon starts without it\n", path.c_str(),
             error->c_str());
    sqlite3_close(db);
    db = nullptr;
    return false;
  };
  if (rc != SQLITE_OK) {
    why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return fail("cannot open the file");
  }
  sqlite3_busy_timeout(db, 0);
  // Reading the schema first tells a file that is not a database (or a damaged header) apart
  // before anything could be written to it.
  if (!exec("PRAGMA locking_mode=EXCLUSIVE", &why, &rc) ||
      !exec("SELECT count(*) FROM sqlite_master", &why, &rc)) {
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
      return fail("the file is locked by another process");
    return fail(is_damage(rc) ? "the file is damaged or not a store" : "cannot read the file");
  }
  if (!exec("PRAGMA journal_mode=WAL", &why, &rc)) {
    if ((rc & 0xff) == SQLITE_BUSY) return fail("the file is locked by another process");
    return fail(is_damage(rc) ? "the file is damaged or not a store" : "cannot use WAL mode");
  }
  exec("PRAGMA synchronous=FULL", nullptr);
  // The first write takes the exclusive lock for the life of the connection.
  if (!exec("BEGIN IMMEDIATE", &why, &rc)) {
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
      return fail("the file is locked by another process");
    return fail(is_damage(rc) ? "the file is damaged or not a store" : "cannot write the file");
  }
  if (!exec("CREATE TABLE IF NOT EXISTS definitions(kind INTEGER NOT NULL, id INTEGER NOT NULL, "
            "json TEXT NOT NULL, source INTEGER NOT NULL, origin TEXT NOT NULL DEFAULT '', "
            "updated_ms INTEGER NOT NULL, PRIMARY KEY(kind, id)) WITHOUT ROWID;"
            "CREATE TABLE IF NOT EXISTS streams(ecid INTEGER NOT NULL, signature BLOB NOT NULL, "
            "sev INTEGER NOT NULL, rule INTEGER NOT NULL, ms INTEGER NOT NULL, value TEXT, "
            "PRIMARY KEY(ecid, signature)) WITHOUT ROWID;"
            "COMMIT",
            &why, &rc)) {
    exec("ROLLBACK", nullptr);
    return fail(is_damage(rc) ? "the file is damaged or not a store" : "cannot create the tables");
  }
  enabled = true;
  {
    std::lock_guard<std::mutex> q(queue_lock);
    stopping = false;
  }
  writer = std::thread(writer_main);
  tovi_log(tovi_notice, "store '%s' open\n", path.c_str());
  return true;
}

bool store_enabled(void) {
  return enabled.load(std::memory_order_relaxed);
}

void store_flush(void) {
  std::unique_lock<std::mutex> guard(queue_lock);
  if (!writer.joinable()) return;
  uint64_t start = batches_done;
  while (!(batches_done > start && queue.empty() && !writing)) {
    flush_requested = true;
    queue_cv.notify_all();
    flushed_cv.wait_for(guard, std::chrono::milliseconds(50));
  }
}

void store_close(void) {
  {
    std::lock_guard<std::mutex> q(queue_lock);
    stopping = true;
  }
  queue_cv.notify_all();
  if (writer.joinable()) writer.join();
  std::lock_guard<std::mutex> g(db_lock);
  if (db) {
    sqlite3_close_v2(db);
    db = nullptr;
  }
  enabled = false;
  std::lock_guard<std::mutex> q(queue_lock);
  queue.clear();
  n_queue_depth = 0;
}

bool store_write(const std::vector<store_write_t> &writes) {
  if (!enabled.load(std::memory_order_acquire) || loading || writes.empty()) return true;
  std::lock_guard<std::mutex> g(db_lock);
  if (!db || !enabled.load()) return true;
  int rc = SQLITE_OK;
  if (fail_next.load() > 0) {
    fail_next.fetch_sub(1);
    n_write_failures.fetch_add(1, std::memory_order_relaxed);
    count_failure_locked("writing definitions", SQLITE_FULL);
    return false;
  }
  if (!exec("BEGIN IMMEDIATE", nullptr, &rc)) {
    n_write_failures.fetch_add(1, std::memory_order_relaxed);
    count_failure_locked("writing definitions", rc);
    return false;
  }
  stmt_c put(
      "INSERT OR REPLACE INTO definitions(kind, id, json, source, origin, updated_ms) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  stmt_c del("DELETE FROM definitions WHERE kind = ?1 AND id = ?2");
  stmt_c del_streams("DELETE FROM streams WHERE ecid = ?1");
  rc = !put.ok() ? put.rc : !del.ok() ? del.rc : del_streams.rc;
  uint64_t ms = now_ms();
  for (size_t i = 0; rc == SQLITE_OK && i < writes.size(); i++) {
    const store_write_t &w = writes[i];
    sqlite3_stmt *s = w.json.empty() ? del.s : put.s;
    sqlite3_reset(s);
    sqlite3_bind_int(s, 1, w.kind);
    sqlite3_bind_int64(s, 2, int64_t(w.id));
    if (!w.json.empty()) {
      bind_text(s, 3, w.json);
      sqlite3_bind_int(s, 4, w.source);
      bind_text(s, 5, w.origin);
      sqlite3_bind_int64(s, 6, int64_t(ms));
    }
    rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
    // A deleted ruleset's streams leave with it.
    if (rc == SQLITE_OK && w.json.empty() && w.kind == STORE_RULESET) {
      sqlite3_reset(del_streams.s);
      sqlite3_bind_int64(del_streams.s, 1, int64_t(w.id));
      rc = sqlite3_step(del_streams.s);
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
  }
  if (rc == SQLITE_OK) exec("COMMIT", nullptr, &rc);
  if (rc != SQLITE_OK) {
    exec("ROLLBACK", nullptr);
    n_write_failures.fetch_add(1, std::memory_order_relaxed);
    count_failure_locked("writing definitions", rc);
    return false;
  }
  n_writes.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> u(untouched_lock);
    for (const store_write_t &w : writes)
      untouched[w.kind & 1].erase(w.id);
  }
  return true;
}

bool store_each_definition(store_kind_t kind,
                           const std::function<void(const store_definition_t &)> &fn) {
  std::vector<store_definition_t> rows;
  {
    std::lock_guard<std::mutex> g(db_lock);
    if (!db || !enabled.load()) return true;
    stmt_c q("SELECT id, json, source, origin FROM definitions WHERE kind = ?1 ORDER BY id");
    if (!q.ok()) {
      count_failure_locked("reading definitions", q.rc);
      return false;
    }
    sqlite3_bind_int(q.s, 1, kind);
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
      store_definition_t d;
      d.id = uint64_t(sqlite3_column_int64(q.s, 0));
      d.json = column_text(q.s, 1);
      int source = sqlite3_column_int(q.s, 2);
      d.source = source >= STORE_SOURCE_API && source <= STORE_SOURCE_FILE ? store_source_t(source)
                                                                           : STORE_SOURCE_API;
      d.origin = column_text(q.s, 3);
      rows.push_back(std::move(d));
    }
    if (rc != SQLITE_DONE) {
      count_failure_locked("reading definitions", rc);
      turn_off_locked("reading definitions failed", rc);
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> u(untouched_lock);
    for (const store_definition_t &d : rows)
      if (d.source == STORE_SOURCE_API) untouched[kind & 1].insert(d.id);
  }
  tovi_log(debug_stream(), "store: %zu %s definitions read\n", rows.size(),
           kind == STORE_RULESET ? "ruleset" : "maintenance");
  for (const store_definition_t &d : rows)
    fn(d);
  return true;
}

bool store_definition_source(store_kind_t kind, uint64_t id, store_definition_t *out) {
  std::lock_guard<std::mutex> g(db_lock);
  if (!db || !enabled.load()) return false;
  stmt_c q("SELECT source, origin FROM definitions WHERE kind = ?1 AND id = ?2");
  if (!q.ok()) return false;
  sqlite3_bind_int(q.s, 1, kind);
  sqlite3_bind_int64(q.s, 2, int64_t(id));
  if (sqlite3_step(q.s) != SQLITE_ROW) return false;
  out->id = id;
  out->source = store_source_t(sqlite3_column_int(q.s, 0));
  out->origin = column_text(q.s, 1);
  return true;
}

std::vector<store_definition_t> store_definitions_from(store_kind_t kind, store_source_t source) {
  std::vector<store_definition_t> out;
  std::lock_guard<std::mutex> g(db_lock);
  if (!db || !enabled.load()) return out;
  stmt_c q("SELECT id, origin FROM definitions WHERE kind = ?1 AND source = ?2 ORDER BY id");
  if (!q.ok()) return out;
  sqlite3_bind_int(q.s, 1, kind);
  sqlite3_bind_int(q.s, 2, source);
  while (sqlite3_step(q.s) == SQLITE_ROW) {
    store_definition_t d;
    d.id = uint64_t(sqlite3_column_int64(q.s, 0));
    d.source = source;
    d.origin = column_text(q.s, 1);
    out.push_back(std::move(d));
  }
  return out;
}

std::vector<uint64_t> store_take_untouched_api_ids(store_kind_t kind) {
  std::lock_guard<std::mutex> u(untouched_lock);
  std::vector<uint64_t> ids(untouched[kind & 1].begin(), untouched[kind & 1].end());
  untouched[kind & 1].clear();
  return ids;
}

void store_stream_state_put(store_stream_state_t state) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> q(queue_lock);
  if (queue.size() >= queue_limit) {
    n_states_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  queue.push_back(stream_op_t{false, std::move(state)});
  n_queue_depth.store(queue.size(), std::memory_order_relaxed);
}

void store_stream_states_forget(uint64_t ecid) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> q(queue_lock);
  // A removal is never dropped: a state left behind would outlive its ruleset.
  stream_op_t op;
  op.forget = true;
  op.state.ecid = ecid;
  queue.push_back(std::move(op));
  n_queue_depth.store(queue.size(), std::memory_order_relaxed);
}

namespace {

bool each_stream_state_locked(const char *sql, int64_t limit,
                              const std::function<void(const store_stream_state_t &)> &fn) {
  if (!db || !enabled.load()) return true;
  stmt_c q(sql);
  if (!q.ok()) {
    count_failure_locked("reading stream states", q.rc);
    return false;
  }
  if (limit >= 0) sqlite3_bind_int64(q.s, 1, limit);
  int rc;
  store_stream_state_t st;
  while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
    st.ecid = uint64_t(sqlite3_column_int64(q.s, 0));
    const void *sig = sqlite3_column_blob(q.s, 1);
    st.signature.assign(sig ? static_cast<const char *>(sig) : "",
                        size_t(sqlite3_column_bytes(q.s, 1)));
    st.sev = sqlite3_column_int(q.s, 2);
    st.rule = int8_t(sqlite3_column_int(q.s, 3));
    st.ms = uint64_t(sqlite3_column_int64(q.s, 4));
    st.value = column_text(q.s, 5);
    fn(st);
  }
  if (rc != SQLITE_DONE) {
    count_failure_locked("reading stream states", rc);
    turn_off_locked("reading stream states failed", rc);
    return false;
  }
  return true;
}

}  // namespace

bool store_each_stream_state(const std::function<void(const store_stream_state_t &)> &fn) {
  std::lock_guard<std::mutex> g(db_lock);
  return each_stream_state_locked("SELECT ecid, signature, sev, rule, ms, value FROM streams", -1,
                                  fn);
}

bool store_each_raised_stream_state(size_t newest,
                                    const std::function<void(const store_stream_state_t &)> &fn) {
  std::vector<store_stream_state_t> states;
  {
    std::lock_guard<std::mutex> g(db_lock);
    bool ok = each_stream_state_locked(
        "SELECT ecid, signature, sev, rule, ms, value FROM streams WHERE sev <> 0 AND "
        "sev <> 2147483647 ORDER BY ms DESC LIMIT ?1",
        int64_t(std::min<size_t>(newest, size_t(INT64_MAX))),
        [&states](const store_stream_state_t &s) { states.push_back(s); });
    if (!ok) return false;
  }
  for (auto it = states.rbegin(); it != states.rend(); ++it)
    fn(*it);
  return true;
}

store_stats_t store_stats(void) {
  store_stats_t s;
  s.writes = n_writes.load();
  s.write_failures = n_write_failures.load();
  s.disk_full = n_disk_full.load();
  s.states_written = n_states_written.load();
  s.states_dropped = n_states_dropped.load();
  s.queue_depth = n_queue_depth.load();
  return s;
}

void store_set_queue_limit(size_t limit) {
  std::lock_guard<std::mutex> q(queue_lock);
  queue_limit = limit;
}

void store_fail_next_writes(int count) {
  fail_next.store(count);
}
