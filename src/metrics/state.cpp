// Metric state and window registry.
//
// Rule streams that watch the same metric over the same length share one window. The registry
// `metricstate` holds one metric_state_t per (rule type, check UUID, metric name, signature);
// each state holds its windows keyed by (duration, grouped). Windows are unlinked when their last
// reservation goes, and a state when its last window goes: a daemon that sees new metric names
// all the time (one per container, say) keeps only the states something reserves. Both are
// freed after the grace period, so a pointer found inside a safe-memory bracket stays good for
// the bracket.
//
// An unlinked state is marked dead under its windows_wrlock (with metricstate_wrlock held as
// well), and no window is linked into a dead state: a reserver that found the state just before
// it died sees the mark when it tries to link its window, and looks the registry up again, where
// the state is gone.
//
// Reference counts. Reserve never increments a count from 0: a window at 0 is being unlinked by
// the cancel that took it there, and reviving it would leave a reservation on a window that is
// about to disappear. Reserve treats such a window as missing and retries until the cancel has
// unlinked it, then inserts a fresh one. Likewise cancel never decrements below 0.
//
// Locks. Registry inserts serialise on metricstate_wrlock, window inserts and removals on the
// state's windows_wrlock; lookups and the update's iteration are lock-free. Every push into a
// window takes the window's own spinlock. A non-grouped window is only ever fed by the one
// worker that owns its metric, so that lock is uncontended; a grouped window gathers metrics
// that other workers own, so its pushes and its rule reads really contend on it. The REST view
// reads windows under the same lock, so it never sees a push half done.
#include <json-c/json.h>
#include <sched.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <random>

#include "brokers.h"
#include "metrics/metrics_internal.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_uuid.h"

tovi_log_stream_t metrics_debug;
tovi_log_stream_t metrics_log;

namespace {

constexpr uint64_t golden_ratio_64 = 0x9E3779B97F4A7C15ull;
// Bytes of a record besides the key texts, counted when a key's length is checked.
constexpr int state_record_overhead = 110;
constexpr int window_set_initial_size = 8;

tovi_mutex_c metricstate_wrlock;
ck_hs_t metricstate;
std::atomic<uint64_t> states_freed{0};
std::once_flag registry_once;

// Concurrency Kit publishes entries with its own atomics, which the thread sanitizer cannot see;
// these tell it what they do, and cost nothing in other builds.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
inline void published(const void *p) {
  __tsan_release(const_cast<void *>(p));
}
inline void observed(const void *p) {
  if (p) __tsan_acquire(const_cast<void *>(p));
}
#else
inline void published(const void *) {}
inline void observed(const void *) {}
#endif

static_assert(offsetof(metric_state_t, check_uuid) == offsetof(metric_state_t, type) + 4,
              "the key must be contiguous");
static_assert(offsetof(metric_state_t, metric_name) == offsetof(metric_state_t, type) + 20,
              "the key must be contiguous");

unsigned long random_seed() {
  static std::atomic<uint64_t> next{std::random_device{}()};
  // splitmix64: distinct, well-mixed seeds from one random start.
  uint64_t z = next.fetch_add(golden_ratio_64, std::memory_order_relaxed) + golden_ratio_64;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<unsigned long>(z ^ (z >> 31));
}

// ---- Keys ----

const void *state_key(const metric_state_t *ms) {
  return &ms->type;
}
size_t state_key_len(const metric_state_t *ms) {
  return 20 + size_t(ms->metric_name_len) + 1 + size_t(ms->signature_len) + 1;
}

unsigned long state_hash(const void *object, unsigned long seed) {
  auto *ms = static_cast<const metric_state_t *>(object);
  return static_cast<unsigned long>(
             tovi_cluster_hash64(state_key(ms), state_key_len(ms), uint32_t(seed))) ^
         seed;
}

bool state_compare(const void *a, const void *b) {
  observed(a);
  observed(b);
  auto *x = static_cast<const metric_state_t *>(a);
  auto *y = static_cast<const metric_state_t *>(b);
  return x->metric_name_len == y->metric_name_len && x->signature_len == y->signature_len &&
         memcmp(state_key(x), state_key(y), state_key_len(x)) == 0;
}

unsigned long window_key_hash(int duration, bool grouped, unsigned long seed) {
  return seed ^ static_cast<unsigned long>(uint64_t(int64_t(duration)) * golden_ratio_64) ^
         static_cast<unsigned long>(grouped);
}

unsigned long window_hash(const void *object, unsigned long seed) {
  auto *mw = static_cast<const metric_window_t *>(object);
  return window_key_hash(mw->windowing_duration, mw->grouped, seed);
}

bool window_compare(const void *a, const void *b) {
  observed(a);
  observed(b);
  auto *x = static_cast<const metric_window_t *>(a);
  auto *y = static_cast<const metric_window_t *>(b);
  return x->windowing_duration == y->windowing_duration && x->grouped == y->grouped;
}

bool key_too_long(int name_len, int signature_len) {
  return long(name_len) + signature_len + state_record_overhead > metric_state_max_record;
}

// Fills a state record's key (and only its key) in place.
void fill_state_key(metric_state_t *ms, rule_metric_type_t type, const uint8_t uuid[16],
                    const char *name, int name_len, const char *signature, int signature_len) {
  ms->type = type;
  memcpy(ms->check_uuid, uuid, 16);
  ms->metric_name_len = name_len;
  ms->signature_len = signature_len;
  if (name_len) memcpy(ms->metric_name, name, size_t(name_len));
  ms->metric_name[name_len] = '\0';
  ms->signature = ms->metric_name + name_len + 1;
  if (signature_len) memcpy(ms->signature, signature, size_t(signature_len));
  ms->signature[signature_len] = '\0';
}

// A lookup key on the stack: room for the longest record find accepts.
struct state_key_buf_t {
  alignas(metric_state_t) unsigned char bytes[sizeof(metric_state_t) + metric_state_max_record];
  metric_state_t *state() { return reinterpret_cast<metric_state_t *>(bytes); }
};

// ---- Windows ----

// The record cap of windows allocated from now on; 0 keeps every sample.
std::atomic<uint32_t> window_max_records{0};

void window_cleanup(void *p) {
  auto *mw = static_cast<metric_window_t *>(p);
  switch (mw->type) {
    case RULE_NUMERIC:
      numeric_stats_window_free(mw->stats.numeric);
      break;
    case RULE_HISTOGRAM:
      histogram_stats_window_free(mw->stats.histogram);
      break;
    case RULE_TEXT:
      text_info_free(mw->stats.text);
      break;
    default:
      break;
  }
  mw->~metric_window_t();
}

metric_window_t *window_alloc(rule_metric_type_t type, uint64_t account_id, int duration,
                              bool grouped) {
  void *p = tovi_memory_safe_malloc(sizeof(metric_window_t));
  tovi_assert(p != nullptr);
  auto *mw = new (p) metric_window_t;
  mw->windowing_duration = duration;
  mw->grouped = grouped;
  mw->type = type;
  mw->account_id = account_id;
  mw->refcnt.store(1, std::memory_order_relaxed);
  mw->stats.any = nullptr;
  switch (type) {
    case RULE_NUMERIC:
      mw->stats.numeric = numeric_stats_window_alloc_capped(
          duration, window_max_records.load(std::memory_order_relaxed));
      break;
    case RULE_HISTOGRAM:
      mw->stats.histogram = histogram_stats_window_alloc_capped(
          duration, window_max_records.load(std::memory_order_relaxed));
      break;
    case RULE_TEXT:
      mw->stats.text = text_info_alloc();
      break;
    default:
      break;
  }
  tovi_assert(mw->stats.any != nullptr || type == RULE_UNKNOWN);
  return mw;
}

// A window that no other thread ever saw: released without waiting.
void window_discard(metric_window_t *mw) {
  window_cleanup(mw);
  // The safe free still waits for the grace period; that costs nothing here and keeps one way of
  // releasing safe allocations.
  tovi_memory_safe_free(mw);
}

// Takes a reference unless the count is 0 (the window is being unlinked).
bool window_ref_if_live(metric_window_t *mw) {
  uint32_t refcnt = mw->refcnt.load(std::memory_order_relaxed);
  while (refcnt != 0) {
    tovi_assert((refcnt & (1u << 31)) == 0);
    // Acquire on success pairs with the release of the cancel that may later bring it to 0.
    if (mw->refcnt.compare_exchange_weak(refcnt, refcnt + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
      return true;
  }
  return false;
}

// Drops a reference unless there is none; *last tells whether it was the last one.
bool window_unref(metric_window_t *mw, bool *last) {
  uint32_t refcnt = mw->refcnt.load(std::memory_order_relaxed);
  while (refcnt != 0) {
    // Release so that the thread which unlinks the window sees every use made under this
    // reservation.
    if (mw->refcnt.compare_exchange_weak(refcnt, refcnt - 1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed)) {
      *last = refcnt == 1;
      return true;
    }
  }
  return false;
}

// ---- States ----

metric_state_t *state_alloc(rule_metric_type_t type, const vask_metric_id_t *id,
                            const char *signature, int signature_len) {
  size_t size = sizeof(metric_state_t) + id->name_len + 1 + size_t(signature_len) + 1;
  void *p = tovi_memory_safe_malloc(size);
  tovi_assert(p != nullptr);
  auto *ms = new (p) metric_state_t;
  ms->broker.store(nullptr, std::memory_order_relaxed);
  ms->dead = false;
  ms->account_id = id->account_id;
  fill_state_key(ms, type, id->id, id->name, int(id->name_len), signature, signature_len);
  tovi_assert(ck_hs_init(&ms->windows, CK_HS_MODE_OBJECT | CK_HS_MODE_SPMC, window_hash,
                         window_compare, &tovi_memory_ck_malloc, window_set_initial_size,
                         random_seed()));
  return ms;
}

void state_cleanup(void *p) {
  auto *ms = static_cast<metric_state_t *>(p);
  ms->windows_wrlock.lock();
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *entry;
  while (ck_hs_next(&ms->windows, &it, &entry))
    tovi_memory_safe_free_with_cleanup(entry, window_cleanup);
  ck_hs_destroy(&ms->windows);
  ms->windows_wrlock.unlock();
  ms->~metric_state_t();
}

// Releases a state that was never published.
void state_release(metric_state_t *ms) {
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *entry;
  while (ck_hs_next(&ms->windows, &it, &entry)) {
    if (static_cast<metric_window_t *>(entry)->refcnt.load(std::memory_order_relaxed) != 0) {
      tovi_log(tovi_error, "attempt to free metric_state with window references\n");
      break;
    }
  }
  tovi_memory_safe_free_with_cleanup(ms, state_cleanup);
}

// The broker record of the message's broker; null when it has none (a line without a broker, or
// one that found the registry full), and update then leaves a state's broker as it is.
broker_t *broker_of_message(const vask_metric_message_t *m) {
  return getbroker(m->vask.name, m->vask.len);
}

struct uuid_text_t {
  char text[37];
  explicit uuid_text_t(const uint8_t id[16]) { tovi_uuid_unparse(id, text); }
};

// Links a window into an existing state, or references the equal window already there.
// Returns the window that holds the new reference; null when the state died meanwhile (the
// candidate is then still the caller's).
metric_window_t *attach_window(metric_state_t *ms, metric_window_t *candidate) {
  unsigned long hash = CK_HS_HASH(&ms->windows, window_hash, candidate);
  for (;;) {
    auto *mw = static_cast<metric_window_t *>(ck_hs_get(&ms->windows, hash, candidate));
    observed(mw);
    if (mw && window_ref_if_live(mw)) {
      int duration = candidate->windowing_duration;
      window_discard(candidate);
      if (tovi_log_stream_enabled(metrics_debug)) {
        uuid_text_t uuid(ms->check_uuid);
        tovi_log(metrics_debug, "references existing window [%s][%s][%.*s] %dms\n",
                 rule_metric_type_name(ms->type), uuid.text, ms->metric_name_len, ms->metric_name,
                 duration);
      }
      return mw;
    }
    published(candidate);
    ms->windows_wrlock.lock();
    if (ms->dead) {
      ms->windows_wrlock.unlock();
      return nullptr;
    }
    bool inserted = ck_hs_put(&ms->windows, hash, candidate);
    ms->windows_wrlock.unlock();
    if (inserted) {
      if (tovi_log_stream_enabled(metrics_debug)) {
        uuid_text_t uuid(ms->check_uuid);
        tovi_log(metrics_debug, "registered new window [%s][%s][%.*s:%s] %dms\n",
                 rule_metric_type_name(ms->type), uuid.text, ms->metric_name_len, ms->metric_name,
                 ms->signature, candidate->windowing_duration);
      }
      return candidate;
    }
    // Either another reserver inserted it first (the next lookup finds it) or a cancel took
    // the old window to 0 and is about to unlink it: let it.
    if (!mw || mw->refcnt.load(std::memory_order_relaxed) == 0) sched_yield();
  }
}

// Text holders have one key whatever the rule asks for.
void text_holder_key(rule_metric_type_t type, int *duration, bool *grouped) {
  if (type == RULE_TEXT) {
    *duration = 0;
    *grouped = false;
  }
}

// Unlinks a state that holds no window any more and frees it after the grace period. A window
// linked since (a reserver that found the state first) keeps it. Inside a bracket.
void state_unlink_if_empty(metric_state_t *ms) {
  bool unlinked = false;
  {
    tovi_lock_guard_c<tovi_mutex_c> g(metricstate_wrlock);
    ms->windows_wrlock.lock();
    if (!ms->dead && ck_hs_count(&ms->windows) == 0) {
      ms->dead = true;
      void *removed = ck_hs_remove(&metricstate, CK_HS_HASH(&metricstate, state_hash, ms), ms);
      tovi_assert(removed == ms);
      unlinked = true;
    }
    ms->windows_wrlock.unlock();
  }
  if (!unlinked) return;
  states_freed.fetch_add(1, std::memory_order_relaxed);
  tovi_memory_safe_free_with_cleanup(ms, state_cleanup);
}

// Drops one reference of mw in ms; the last one unlinks it and frees it after the grace
// period. Returns false when the window had no reference left. Inside a bracket.
bool window_drop(metric_state_t *ms, metric_window_t *mw) {
  bool last = false;
  if (!window_unref(mw, &last)) return false;
  if (!last) return true;
  // No reserver revives a window at 0 nor inserts beside it, so the entry under this key is
  // still this window.
  ms->windows_wrlock.lock();
  void *removed = ck_hs_remove(&ms->windows, CK_HS_HASH(&ms->windows, window_hash, mw), mw);
  bool empty = ck_hs_count(&ms->windows) == 0;
  ms->windows_wrlock.unlock();
  tovi_assert(removed == mw);
  tovi_memory_safe_free_with_cleanup(mw, window_cleanup);
  if (empty) state_unlink_if_empty(ms);
  return true;
}

}  // namespace

void metric_windows_set_max_records(uint32_t max_records) {
  window_max_records.store(max_records, std::memory_order_relaxed);
}

void metric_windows_configure(void) {
  const char *key = "//orvane/state/windows/@max_records";
  int64_t value = 0;
  if (!tovi_conf_exists(nullptr, key)) return;
  if (!tovi_conf_get_int64(nullptr, key, &value) ||
      (value != 0 && (value < 8 || value > 1000000))) {
    tovi_log(tovi_error, "%s must be 0 (every sample kept) or from 8 to 1000000\n", key);
    exit(2);
  }
  metric_windows_set_max_records(uint32_t(value));
  if (value) tovi_log(tovi_notice, "windows hold at most %u records each\n", unsigned(value));
}

void metric_state_registry_init(int initial_hash_size) {
  std::call_once(registry_once, [initial_hash_size] {
    unsigned long size =
        initial_hash_size > 0 ? static_cast<unsigned long>(initial_hash_size) : 50000;
    tovi_assert(ck_hs_init(&metricstate, CK_HS_MODE_OBJECT | CK_HS_MODE_SPMC, state_hash,
                           state_compare, &tovi_memory_ck_malloc, size, random_seed()));
  });
}

uint64_t metric_states_freed(void) {
  return states_freed.load(std::memory_order_relaxed);
}

unsigned long metric_state_count(void) {
  tovi_lock_guard_c<tovi_mutex_c> g(metricstate_wrlock);
  return ck_hs_count(&metricstate);
}

metric_state_t *metric_state_find(rule_metric_type_t type, const uint8_t check_uuid[16],
                                  const char *metric_name, int metric_name_len,
                                  const char *signature) {
  if (!signature) signature = "";
  int signature_len = int(strlen(signature));
  if (metric_name_len < 0 || key_too_long(metric_name_len, signature_len)) {
    tovi_log(tovi_error, "metric name too long: %d\n", metric_name_len);
    return nullptr;
  }
  state_key_buf_t buf;
  metric_state_t *key = buf.state();
  fill_state_key(key, type, check_uuid, metric_name, metric_name_len, signature, signature_len);
  auto *ms = static_cast<metric_state_t *>(
      ck_hs_get(&metricstate, CK_HS_HASH(&metricstate, state_hash, key), key));
  observed(ms);
  if (tovi_log_stream_enabled(metrics_debug)) {
    uuid_text_t uuid(check_uuid);
    tovi_log(metrics_debug, "state_find[%s][%s][%.*s:%s] len:%d %s\n", rule_metric_type_name(type),
             uuid.text, metric_name_len, metric_name, signature, int(state_key_len(key)),
             ms ? "found" : "missing");
  }
  return ms;
}

metric_window_t *metric_window_reserve(rule_metric_type_t type, const vask_metric_id_t *id,
                                       const char *signature, int windowing_duration, bool grouped,
                                       metric_state_t **state) {
  text_holder_key(type, &windowing_duration, &grouped);
  if (state) *state = nullptr;
  if (!signature) signature = "";
  int signature_len = int(strlen(signature));
  // A key that find refuses could never be fed, read or cancelled: refuse it here as well.
  if (key_too_long(int(id->name_len), signature_len)) {
    tovi_log(tovi_error, "metric name too long: %d\n", int(id->name_len));
    return nullptr;
  }
  tovi_memory_scope_c bracket;
  metric_state_t *candidate = state_alloc(type, id, signature, signature_len);
  metric_window_t *window = window_alloc(type, id->account_id, windowing_duration, grouped);
  unsigned long window_key = CK_HS_HASH(&candidate->windows, window_hash, window);
  tovi_assert(ck_hs_put(&candidate->windows, window_key, window));
  unsigned long state_key_hash = CK_HS_HASH(&metricstate, state_hash, candidate);
  for (;;) {
    auto *existing =
        static_cast<metric_state_t *>(ck_hs_get(&metricstate, state_key_hash, candidate));
    observed(existing);
    if (existing) {
      ck_hs_remove(&candidate->windows, window_key, window);
      if (metric_window_t *mw = attach_window(existing, window)) {
        state_release(candidate);
        if (state) *state = existing;
        return mw;
      }
      // The state died between the lookup and the link: it is out of the registry now, and
      // the candidate state takes its place.
      tovi_assert(ck_hs_put(&candidate->windows, window_key, window));
      continue;
    }
    bool inserted;
    {
      tovi_lock_guard_c<tovi_mutex_c> g(metricstate_wrlock);
      published(candidate);
      inserted = ck_hs_put(&metricstate, state_key_hash, candidate);
    }
    if (inserted) {
      if (tovi_log_stream_enabled(metrics_debug)) {
        uuid_text_t uuid(candidate->check_uuid);
        tovi_log(metrics_debug, "registered new state+window [%s][%s][%.*s:%s] len: %d\n",
                 rule_metric_type_name(type), uuid.text, candidate->metric_name_len,
                 candidate->metric_name, candidate->signature, int(state_key_len(candidate)));
      }
      if (state) *state = candidate;
      return window;
    }
  }
}

metric_window_t *metric_window_find(rule_metric_type_t type, const vask_metric_id_t *id,
                                    const char *signature, int windowing_duration, bool grouped) {
  text_holder_key(type, &windowing_duration, &grouped);
  metric_state_t *ms = metric_state_find(type, id->id, id->name, int(id->name_len), signature);
  if (!ms) return nullptr;
  metric_window_t key;
  key.windowing_duration = windowing_duration;
  key.grouped = grouped;
  auto *mw = static_cast<metric_window_t *>(
      ck_hs_get(&ms->windows, CK_HS_HASH(&ms->windows, window_hash, &key), &key));
  observed(mw);
  return mw;
}

void metric_window_cancel(rule_metric_type_t type, const vask_metric_id_t *id,
                          const char *signature, int windowing_duration, bool grouped) {
  text_holder_key(type, &windowing_duration, &grouped);
  tovi_memory_scope_c bracket;
  metric_state_t *ms = metric_state_find(type, id->id, id->name, int(id->name_len), signature);
  metric_window_t *mw = nullptr;
  if (ms) {
    metric_window_t key;
    key.windowing_duration = windowing_duration;
    key.grouped = grouped;
    mw = static_cast<metric_window_t *>(
        ck_hs_get(&ms->windows, CK_HS_HASH(&ms->windows, window_hash, &key), &key));
    observed(mw);
  }
  if (!mw || !window_drop(ms, mw)) {
    uuid_text_t uuid(id->id);
    tovi_log_fields(tovi_error,
                    ({"metric_type", rule_metric_type_name(type)}, {"check_uuid", uuid.text}),
                    "Attempt to cancel metric reservation that doesn't exist [%s].\n",
                    signature ? signature : "");
  }
}

void metric_window_release(metric_state_t *ms, metric_window_t *mw) {
  if (!ms || !mw) return;
  tovi_memory_scope_c bracket;
  if (!window_drop(ms, mw)) {
    uuid_text_t uuid(ms->check_uuid);
    tovi_log_fields(
        tovi_error, ({"metric_type", rule_metric_type_name(ms->type)}, {"check_uuid", uuid.text}),
        "Attempt to cancel metric reservation that doesn't exist [%s].\n", ms->signature);
  }
}

bool metric_window_update(metric_window_t *mw, const vask_metric_message_t *m) {
  uint64_t whence = m->value.whence_ms;
  bool accepted, pushed = false;
  mw->lock.lock();
  // A grouped window gathers several metrics whose samples interleave; it takes anything within
  // its duration of the newest. Written without the subtraction so that it cannot wrap.
  accepted = whence > mw->whence_ms ||
             (mw->grouped && whence + uint64_t(int64_t(mw->windowing_duration)) > mw->whence_ms);
  if (accepted) {
    if (whence > mw->whence_ms) mw->whence_ms = whence;
    bool is_string = m->value.type == METRIC_STRING;
    switch (mw->type) {
      case RULE_NUMERIC:
        if (m->type == 'M' && !is_string) {
          numeric_stats_window_push(mw->stats.numeric, m);
          pushed = true;
        }
        break;
      case RULE_TEXT:
        if (m->type == 'M' && is_string) {
          text_info_push(mw->stats.text, m);
          pushed = true;
        }
        break;
      case RULE_HISTOGRAM:
        if (m->type == 'H') {
          histogram_stats_window_push(mw->stats.histogram, m);
          pushed = true;
        }
        break;
      default:
        break;
    }
  }
  mw->lock.unlock();
  if (!accepted)
    tovi_log(metrics_debug, "update (noop): %.*s\n", int(m->original_message_len),
             m->original_message);
  else if (pushed)
    tovi_log(metrics_debug, "update: %.*s\n", int(m->original_message_len), m->original_message);
  return pushed;
}

int metric_state_update(rule_metric_type_t type, vask_metric_message_t *m, const char *signature) {
  if (m->value.type == METRIC_ABSENT) return 0;
  tovi_memory_scope_c bracket;
  return metric_state_feed(
      metric_state_find(type, m->id.id, m->id.name, int(m->id.name_len), signature), m);
}

int metric_state_feed(metric_state_t *ms, vask_metric_message_t *m) {
  if (!ms || m->value.type == METRIC_ABSENT) return 0;
  tovi_memory_scope_c bracket;  // the window set may be resized meanwhile
  if (m->vask.name && m->vask.len) {
    broker_t *broker = broker_of_message(m);
    if (broker) ms->broker.store(broker, std::memory_order_relaxed);
  }
  int fed = 0;
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *entry;
  while (ck_hs_next_spmc(&ms->windows, &it, &entry)) {
    observed(entry);
    auto *mw = static_cast<metric_window_t *>(entry);
    uint32_t refcnt = mw->refcnt.load(std::memory_order_acquire);
    tovi_assert((refcnt & (1u << 31)) == 0);
    if (refcnt == 0) continue;
    metric_window_update(mw, m);
    fed++;
  }
  return fed;
}

numeric_stats_window_t *metric_window_numeric(const vask_metric_id_t *id, const char *signature,
                                              int windowing_duration, bool grouped) {
  metric_window_t *mw =
      metric_window_find(RULE_NUMERIC, id, signature, windowing_duration, grouped);
  return mw ? mw->stats.numeric : nullptr;
}

histogram_stats_window_t *metric_window_histogram(const vask_metric_id_t *id, const char *signature,
                                                  int windowing_duration, bool grouped) {
  metric_window_t *mw =
      metric_window_find(RULE_HISTOGRAM, id, signature, windowing_duration, grouped);
  return mw ? mw->stats.histogram : nullptr;
}

text_info_t *metric_window_text(const vask_metric_id_t *id, const char *signature) {
  metric_window_t *mw = metric_window_find(RULE_TEXT, id, signature, 0, false);
  return mw ? mw->stats.text : nullptr;
}

// Taken for grouped windows only, which the analysis cannot follow.
void metric_window_read_lock(metric_window_t *mw) ABSL_NO_THREAD_SAFETY_ANALYSIS {
  if (mw && mw->grouped) mw->lock.lock();
}

void metric_window_read_unlock(metric_window_t *mw) ABSL_NO_THREAD_SAFETY_ANALYSIS {
  if (mw && mw->grouped) mw->lock.unlock();
}

json_object *metric_window_to_json(const metric_window_t *mw, int min_window) {
  json_object *o = json_object_new_object();
  json_object_object_add(o, "windowing_duration", json_object_new_int(mw->windowing_duration));
  json_object_object_add(o, "refcnt",
                         json_object_new_int64(mw->refcnt.load(std::memory_order_relaxed)));
  switch (mw->type) {
    case RULE_NUMERIC:
      json_object_object_add(o, "numeric",
                             numeric_stats_window_to_json(mw->stats.numeric, min_window));
      break;
    case RULE_TEXT:
      json_object_object_add(o, "text", text_info_to_json(mw->stats.text));
      break;
    case RULE_HISTOGRAM:
      json_object_object_add(o, "histogram",
                             histogram_stats_window_to_json(mw->stats.histogram, min_window));
      break;
    default:
      break;
  }
  return o;
}

json_object *metric_state_to_json(metric_state_t *ms, int window, int min_window) {
  if (!ms) return nullptr;
  tovi_memory_scope_c bracket;
  json_object *o = json_object_new_object();
  uuid_text_t uuid(ms->check_uuid);
  json_object_object_add(o, "type", json_object_new_string(rule_metric_type_name(ms->type)));
  json_object_object_add(o, "uuid", json_object_new_string(uuid.text));
  json_object_object_add(o, "name",
                         json_object_new_string_len(ms->metric_name, ms->metric_name_len));
  json_object *windows = json_object_new_array();
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *entry;
  while (ck_hs_next_spmc(&ms->windows, &it, &entry)) {
    observed(entry);
    auto *mw = static_cast<metric_window_t *>(entry);
    if (window != -1 && mw->windowing_duration != window) continue;
    // Every window, grouped or not, is read under its lock: its worker may be pushing into it.
    mw->lock.lock();
    json_object_array_add(windows, metric_window_to_json(mw, min_window));
    mw->lock.unlock();
  }
  json_object_object_add(o, "windows", windows);
  return o;
}
