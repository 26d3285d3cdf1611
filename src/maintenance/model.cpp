// The maintenance registry: live windows by id, the four key tables, matching, and the end of a
// window.
//
// Tables. `maintenance_windows` holds every live window by id; each window also sits in the key
// table of its type, in the list of windows that share its key. All are Concurrency Kit hash sets
// in single-writer, many-reader mode on the safe allocator: readers probe them without a lock,
// writers hold maintenance_add_remove_lock. A key list's slots are vacated, never unlinked, so a
// reader walking a list never follows a freed node; a list and its nodes go together, through
// safe memory, when its last window leaves.
//
// The end of a window. One timer per window fires at the end of its last covered second, on the
// loop thread chosen from the window's id. The timer's closure names the window by id and
// address, and the callback ends the window only if that very window (holding that very timer)
// is still registered: a window deleted and re-added under the same id while the timer was
// firing is left alone. Ending takes the window out of the tables under the lock, then, outside
// it, re-evaluates the rulesets it held back and releases it.
//
// Held-back rulesets. Matching records a ruleset's ecid in the covering window's target set.
// Draining takes the set's contents out under tgt_ecids_wrlock before re-evaluating, so an ecid
// recorded meanwhile by a reader that still sees the window stays for the next drain; the last
// drain happens when the window's memory is reclaimed, once no reader can see it any more.
// Concurrency Kit's headers declare C functions without C linkage markers.
extern "C" {
#include <ck_hs.h>
}
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

#include "maintenance.h"
#include "maintenance/maintenance_internal.h"
#include "load_report.h"
#include "store/store.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_cluster.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"

tovi_mutex_c maintenance_add_remove_lock;

std::atomic<uint64_t> maint_held_back_count{0};
std::atomic<uint64_t> maint_ended_count{0};

namespace {

// The longest wait an event-loop timer can hold without overflowing its clock: the end timer of
// a window that lasts longer (2^64-1 is "forever") is set here; the window keeps its stop_on.
constexpr uint64_t max_timer_seconds = (uint64_t(1) << 33) - 1;

// The list of windows that share one key, as stored in a key table. The numeric key comes first
// so that a probe can be a bare key.
struct maint_key_list_t {
  uint64_t key = 0;
  const char *host = nullptr;  // host tables: the key text (owned, safe memory), else null
  size_t host_len = 0;
  std::atomic<maint_window_list_t *> head{nullptr};
};
static_assert(std::is_standard_layout_v<maint_key_list_t>);
static_assert(std::is_standard_layout_v<maint_window_t>);

// The closure of a window's end timer.
struct maint_stop_closure_t {
  uint64_t maintenance_id;
  maint_window_t *w;  // compared, never followed, until found registered
};

ck_hs_t maintenance_windows;
ck_hs_t maintenance_by_account;
ck_hs_t maintenance_by_host;
ck_hs_t maintenance_by_check;
ck_hs_t maintenance_by_metric;
std::once_flag tables_once;
// Raised once the tables exist: before that the registry holds nothing, and readers say so.
std::atomic<bool> tables_ready{false};

tovi_log_stream_t debug_ls;
tovi_log_stream_t error_ls;

std::atomic<maint_reevaluate_fn_t> reevaluate_fn{nullptr};

constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;

unsigned long u64_hash(const void *object, unsigned long seed) {
  return seed ^ (*static_cast<const uint64_t *>(object) * golden);
}

bool u64_compare(const void *a, const void *b) {
  return *static_cast<const uint64_t *>(a) == *static_cast<const uint64_t *>(b);
}

unsigned long host_hash(const void *object, unsigned long seed) {
  auto *l = static_cast<const maint_key_list_t *>(object);
  return tovi_cluster_hash64(l->host, l->host_len, uint32_t(seed)) ^ seed;
}

bool host_compare(const void *a, const void *b) {
  auto *x = static_cast<const maint_key_list_t *>(a);
  auto *y = static_cast<const maint_key_list_t *>(b);
  return x->host_len == y->host_len && std::memcmp(x->host, y->host, x->host_len) == 0;
}

// Target sets hold the ecids themselves as their entries.
unsigned long ecid_hash(const void *object, unsigned long seed) {
  return seed ^ (uint64_t(reinterpret_cast<uintptr_t>(object)) * golden);
}

unsigned long random_seed() {
  uint64_t x;
  arc4random_buf(&x, sizeof x);
  return x;
}

ck_hs_t *key_table(maint_item_type_t type) {
  switch (type) {
    case MAINT_ON_ACCOUNT:
      return &maintenance_by_account;
    case MAINT_ON_HOST:
      return &maintenance_by_host;
    case MAINT_ON_CHECK:
      return &maintenance_by_check;
    case MAINT_ON_METRIC:
      return &maintenance_by_metric;
  }
  return nullptr;
}

// The hash of a key list (or a probe) in its table.
unsigned long table_hash(ck_hs_t *table, const maint_key_list_t *l) {
  return table == &maintenance_by_host ? CK_HS_HASH(table, host_hash, l)
                                       : CK_HS_HASH(table, u64_hash, l);
}

// The window's key as a probe of its key table.
void probe_for(const maint_window_t *w, maint_key_list_t &probe) {
  if (w->def.maintenance_type == MAINT_ON_HOST) {
    probe.host = w->def.maintenance.host ? w->def.maintenance.host : "";
    probe.host_len = strlen(probe.host);
  } else {
    probe.key = w->def.maintenance.generic_uint64;
  }
}

maint_key_list_t *find_list(ck_hs_t *table, const maint_key_list_t &probe) {
  return static_cast<maint_key_list_t *>(ck_hs_get(table, table_hash(table, &probe), &probe));
}

maint_window_t *find_window(uint64_t id) {
  unsigned long h = CK_HS_HASH(&maintenance_windows, u64_hash, &id);
  return static_cast<maint_window_t *>(ck_hs_get(&maintenance_windows, h, &id));
}

uint64_t now_seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec);
}

// The instant a window ending with second stop_on is over.
struct timeval stop_time_for(uint64_t stop_on) {
  struct timeval tv = {};
  tv.tv_sec = time_t(stop_on >= max_timer_seconds ? max_timer_seconds : stop_on + 1);
  return tv;
}

// ---- Key tables (under maintenance_add_remove_lock) ---------------------------------------------

void add_by_key(maint_window_t *w) ABSL_EXCLUSIVE_LOCKS_REQUIRED(maintenance_add_remove_lock) {
  ck_hs_t *t = key_table(w->def.maintenance_type);
  tovi_assert(t != nullptr);
  maint_key_list_t probe;
  probe_for(w, probe);
  maint_key_list_t *existing = find_list(t, probe);
  if (!existing) {
    void *list = tovi_memory_safe_calloc(1, sizeof(maint_key_list_t));
    tovi_assert(list);
    void *node_mem = tovi_memory_safe_calloc(1, sizeof(maint_window_list_t));
    tovi_assert(node_mem != nullptr);
    auto *fresh = new (list) maint_key_list_t;
    fresh->key = probe.key;
    if (probe.host) {
      char *copy = static_cast<char *>(tovi_memory_safe_malloc(probe.host_len + 1));
      tovi_assert(copy != nullptr);
      std::memcpy(copy, probe.host, probe.host_len + 1);
      fresh->host = copy;
      fresh->host_len = probe.host_len;
    }
    auto *node = new (node_mem) maint_window_list_t;
    node->maint_window.store(w, std::memory_order_relaxed);
    // Release: a reader that finds the list sees its node and the window filled in.
    fresh->head.store(node, std::memory_order_release);
    unsigned long hash = table_hash(t, fresh);
    tovi_assert(ck_hs_put(t, hash, list));
  } else {
    bool placed = false;
    for (maint_window_list_t *n = existing->head.load(std::memory_order_acquire); n && !placed;
         n = n->next.load(std::memory_order_acquire)) {
      if (n->maint_window.load(std::memory_order_relaxed) == nullptr) {
        // Release: a reader that loads the slot sees the window's fields.
        n->maint_window.store(w, std::memory_order_release);
        placed = true;
      }
    }
    if (!placed) {
      void *node_mem = tovi_memory_safe_calloc(1, sizeof(maint_window_list_t));
      tovi_assert(node_mem != nullptr);
      auto *node = new (node_mem) maint_window_list_t;
      node->maint_window.store(w, std::memory_order_relaxed);
      node->next.store(existing->head.load(std::memory_order_relaxed), std::memory_order_relaxed);
      // Release: the node is complete before a reader can reach it from the head.
      existing->head.store(node, std::memory_order_release);
    }
  }
  w->added_by_key = true;
}

void release_list(maint_key_list_t *list) {
  maint_window_list_t *n = list->head.load(std::memory_order_relaxed);
  while (n) {
    maint_window_list_t *tofree = n;
    n = n->next.load(std::memory_order_relaxed);
    tovi_assert(tofree->maint_window == nullptr);
    tovi_memory_safe_free(tofree);
  }
  tovi_memory_safe_free(const_cast<char *>(list->host));
  tovi_memory_safe_free(list);
}

void remove_by_key(maint_window_t *w) ABSL_EXCLUSIVE_LOCKS_REQUIRED(maintenance_add_remove_lock) {
  if (!w->added_by_key) return;
  w->added_by_key = false;
  ck_hs_t *t = key_table(w->def.maintenance_type);
  if (!t) return;
  maint_key_list_t probe;
  probe_for(w, probe);
  maint_key_list_t *list = find_list(t, probe);
  if (!list) return;
  bool vacated = false, empty = true;
  for (maint_window_list_t *n = list->head.load(std::memory_order_relaxed); n;
       n = n->next.load(std::memory_order_relaxed)) {
    maint_window_t *held = n->maint_window.load(std::memory_order_relaxed);
    if (held == w && !vacated) {
      n->maint_window.store(nullptr, std::memory_order_relaxed);
      vacated = true;
    } else if (held) {
      empty = false;
    }
  }
  if (!vacated)
    tovi_log_fields(error_ls,
                    ({"account_id", (unsigned long long)w->def.account_id},
                     {"maintenance_id", (unsigned long long)w->def.maintenance_id}),
                    "failed removing maintenance [%lu] by key\n", w->def.maintenance_id);
  if (empty) {
    unsigned long hash = table_hash(t, list);
    ck_hs_remove(t, hash, list);
    release_list(list);
  }
}

// ---- Targets ------------------------------------------------------------------------------------

ck_hs_t *new_target_set() {
  auto *set = new (std::nothrow) ck_hs_t;
  tovi_assert(set != nullptr);
  tovi_assert(ck_hs_init(set, CK_HS_MODE_SPMC | CK_HS_MODE_DIRECT, ecid_hash, nullptr,
                         &tovi_memory_ck_malloc, 8, random_seed()));
  return set;
}

// The held-back ecids, taken out of the set in one step under its lock.
std::vector<uint64_t> take_targets(maint_window_t *w) {
  std::vector<uint64_t> ecids;
  tovi_lock_guard_c<tovi_mutex_c> guard(w->tgt_ecids_wrlock);
  if (ck_hs_count(w->tgt_ecids) == 0) return ecids;
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *value;
  while (ck_hs_next(w->tgt_ecids, &it, &value))
    ecids.push_back(uint64_t(uintptr_t(value)));
  // Readers still probing the old map keep it until they leave their brackets.
  ck_hs_reset(w->tgt_ecids);
  return ecids;
}

void drain_targets(maint_window_t *w) {
  for (uint64_t ecid : take_targets(w))
    end_maintenance_on_ecid(ecid);
}

// The window's memory is reclaimed: nobody can see it any more. Ecids recorded after the last
// drain are re-evaluated on a loop thread (a reclamation hook must not block).
void reclaim_window(void *p) {
  auto *w = static_cast<maint_window_t *>(p);
  std::vector<uint64_t> late;
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *value;
  while (ck_hs_next(w->tgt_ecids, &it, &value))
    late.push_back(uint64_t(uintptr_t(value)));
  if (!late.empty()) {
    if (eventer_is_initialized()) {
      eventer_post(eventer_choose_owner(0), [late] {
        for (uint64_t ecid : late)
          end_maintenance_on_ecid(ecid);
      });
    } else {
      for (uint64_t ecid : late)
        end_maintenance_on_ecid(ecid);
    }
  }
  if (w->def.maintenance_type == MAINT_ON_HOST) free(w->def.maintenance.host);
  ck_hs_destroy(w->tgt_ecids);
  delete w->tgt_ecids;
  w->~maint_window_t();
}

// ---- The end timer
// ----------------------------------------------------------------------------------

int maint_stop_trigger(eventer_t e, int, void *closure, struct timeval *) {
  auto *c = static_cast<maint_stop_closure_t *>(closure);
  tovi_memory_scope_c bracket;
  maint_window_t *victim = nullptr;
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
    maint_window_t *live = find_window(c->maintenance_id);
    // Only this very window, still holding this very timer: a window of the same id added after
    // ours was deleted has a timer of its own.
    if (live == c->w && live->stop_trigger == e) {
      tovi_log_fields(debug_ls,
                      ({"account_id", (unsigned long long)live->def.account_id},
                       {"maintenance_id", (unsigned long long)live->def.maintenance_id}),
                      "maintenance [%lu] stop triggered\n", live->def.maintenance_id);
      live->stop_trigger = nullptr;
      eventer_deref(e);  // the window's reference; the loop still holds its own
      unsigned long h = CK_HS_HASH(&maintenance_windows, u64_hash, &c->maintenance_id);
      ck_hs_remove(&maintenance_windows, h, &c->maintenance_id);
      victim = live;
    }
  }
  delete c;
  if (victim) {
    uint64_t id = victim->def.maintenance_id;
    maint_window_safe_free(victim);
    maint_store_resync(id);
  }
  return 0;
}

// Creates and schedules the window's end timer. Under maintenance_add_remove_lock.
void arm_stop_trigger(maint_window_t *w)
    ABSL_EXCLUSIVE_LOCKS_REQUIRED(maintenance_add_remove_lock) {
  auto *c = new maint_stop_closure_t{w->def.maintenance_id, w};
  struct timeval when = stop_time_for(w->def.stop_on);
  eventer_t e = eventer_alloc_timer(maint_stop_trigger, c, &when);
  eventer_set_owner(e, eventer_choose_owner(w->def.maintenance_id & 0xffffffffu));
  eventer_ref(e);  // the window's reference, dropped when the timer leaves the window
  w->stop_trigger = e;
  eventer_add(e);
}

// Takes the end timer away from the window and cancels it if it is still pending.
void disarm_stop_trigger(maint_window_t *w) ABSL_LOCKS_EXCLUDED(maintenance_add_remove_lock) {
  eventer_t e;
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
    e = w->stop_trigger;
    w->stop_trigger = nullptr;
  }
  if (!e) return;
  if (eventer_remove(e)) {
    delete static_cast<maint_stop_closure_t *>(eventer_get_closure(e));
    eventer_deref(e);  // the loop's reference, handed to us
  }
  eventer_deref(e);  // the window's own
}

void log_refusal(const maint_window_t *w, const char *fmt) {
  if (!tovi_log_stream_enabled(error_ls)) return;
  tovi_log_write(error_ls,
                 {{"account_id", (unsigned long long)w->def.account_id},
                  {"maintenance_id", (unsigned long long)w->def.maintenance_id}},
                 fmt, w->def.maintenance_id);
}

// ---- Matching
// -----------------------------------------------------------------------------------------

void mask_digits(uint8_t mask, char out[5][2]) {
  for (int sev = 1; sev <= 5; sev++) {
    out[sev - 1][0] = (mask & (1u << sev)) ? char('0' + sev) : '-';
    out[sev - 1][1] = 0;
  }
}

// Whether a window of the list covers the wanted severities now; records ecid in the first that
// does.
bool probe_list(maint_key_list_t *list, uint64_t ecid, uint8_t wanted, uint64_t now) {
  for (maint_window_list_t *n = list->head.load(std::memory_order_acquire); n;
       n = n->next.load(std::memory_order_acquire)) {
    // Acquire: pairs with the release that published the window into the slot.
    maint_window_t *w = n->maint_window.load(std::memory_order_acquire);
    if (!w) continue;
    if (maint_window_start_on(w) > now || now > maint_window_stop_on(w)) continue;
    uint8_t mask = maint_window_severity_mask(w);
    if (tovi_log_stream_enabled(debug_ls)) {
      char ev[5][2], win[5][2];
      mask_digits(wanted, ev);
      mask_digits(mask, win);
      tovi_log_write(debug_ls,
                     {{"ecid", (unsigned long long)ecid},
                      {"account_id", (unsigned long long)w->def.account_id},
                      {"maintenance_id", (unsigned long long)w->def.maintenance_id}},
                     "checking ecid: %lu event[%s%s%s%s%s] vs win[%s%s%s%s%s]\n", ecid, ev[0],
                     ev[1], ev[2], ev[3], ev[4], win[0], win[1], win[2], win[3], win[4]);
    }
    if ((mask & wanted) != wanted) continue;
    if (ecid != 0 && ecid != UINT64_MAX && !maint_window_holds_ecid(w, ecid)) {
      tovi_log_fields(debug_ls,
                      ({"ecid", (unsigned long long)ecid},
                       {"account_id", (unsigned long long)w->def.account_id},
                       {"maintenance_id", (unsigned long long)w->def.maintenance_id}),
                      "maintenance triggered on ecid %lu\n", ecid);
      tovi_lock_guard_c<tovi_mutex_c> guard(w->tgt_ecids_wrlock);
      void *value = reinterpret_cast<void *>(uintptr_t(ecid));
      unsigned long h = CK_HS_HASH(w->tgt_ecids, ecid_hash, value);
      if (!ck_hs_get(w->tgt_ecids, h, value)) tovi_assert(ck_hs_put(w->tgt_ecids, h, value));
    }
    return true;
  }
  return false;
}

bool probe_numeric(ck_hs_t *table, uint64_t key, uint64_t ecid, uint8_t wanted, uint64_t now) {
  if (key == 0) return false;
  maint_key_list_t probe;
  probe.key = key;
  maint_key_list_t *list = find_list(table, probe);
  return list && probe_list(list, ecid, wanted, now);
}

}  // namespace

// ---- Module-internal ----------------------------------------------------------------------------

tovi_log_stream_t maint_debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/maintenance");
  return ls;
}

tovi_log_stream_t maint_error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/maintenance");
  return ls;
}

// ---- Public
// --------------------------------------------------------------------------------------------

const char *maint_item_type_name(maint_item_type_t type) {
  switch (type) {
    case MAINT_ON_ACCOUNT:
      return "account";
    case MAINT_ON_HOST:
      return "host";
    case MAINT_ON_CHECK:
      return "check";
    case MAINT_ON_METRIC:
      return "metric";
  }
  return "unknown";
}

void maintenance_tables_init() {
  std::call_once(tables_once, [] {
    debug_ls = tovi_log_stream_find("debug/maintenance");
    eventer_name_callback("maint_stop_trigger", maint_stop_trigger);
    error_ls = tovi_log_stream_find("error/maintenance");
    const unsigned mode = CK_HS_MODE_SPMC | CK_HS_MODE_OBJECT;
    tovi_assert(ck_hs_init(&maintenance_windows, mode, u64_hash, u64_compare,
                           &tovi_memory_ck_malloc, 100000, random_seed()));
    tovi_assert(ck_hs_init(&maintenance_by_account, mode, u64_hash, u64_compare,
                           &tovi_memory_ck_malloc, 1000, random_seed()));
    tovi_assert(ck_hs_init(&maintenance_by_host, mode, host_hash, host_compare,
                           &tovi_memory_ck_malloc, 100000, random_seed()));
    tovi_assert(ck_hs_init(&maintenance_by_check, mode, u64_hash, u64_compare,
                           &tovi_memory_ck_malloc, 100000, random_seed()));
    tovi_assert(ck_hs_init(&maintenance_by_metric, mode, u64_hash, u64_compare,
                           &tovi_memory_ck_malloc, 100000, random_seed()));
    // Release: a reader that sees the flag sees the tables built.
    tables_ready.store(true, std::memory_order_release);
  });
}

maint_window_t *maint_window_safe_alloc() {
  void *vmw = tovi_memory_safe_calloc(1, sizeof(maint_window_t));
  tovi_assert(vmw);
  auto *w = new (vmw) maint_window_t;
  w->tgt_ecids = new_target_set();
  return w;
}

uint64_t maint_window_start_on(const maint_window_t *w) {
  return std::atomic_ref<const uint64_t>(w->def.start_on).load(std::memory_order_relaxed);
}

uint64_t maint_window_stop_on(const maint_window_t *w) {
  return std::atomic_ref<const uint64_t>(w->def.stop_on).load(std::memory_order_relaxed);
}

uint8_t maint_window_severity_mask(const maint_window_t *w) {
  return std::atomic_ref<const uint8_t>(w->def.severity_mask).load(std::memory_order_relaxed);
}

bool maint_window_holds_ecid(maint_window_t *w, uint64_t ecid) {
  void *value = reinterpret_cast<void *>(uintptr_t(ecid));
  return ck_hs_get(w->tgt_ecids, CK_HS_HASH(w->tgt_ecids, ecid_hash, value), value) != nullptr;
}

uint64_t maint_windows_live() {
  if (!tables_ready.load(std::memory_order_acquire)) return 0;
  return ck_hs_count(&maintenance_windows);
}

int maint_window_update(maint_window_t *w) {
  tovi_assert(w != nullptr);
  tovi_assert(tables_ready.load(std::memory_order_acquire));
  tovi_unique_lock_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
  maint_window_t *old = find_window(w->def.maintenance_id);
  if (!old) {
    if (w->def.start_on > w->def.stop_on || key_table(w->def.maintenance_type) == nullptr) {
      guard.unlock();
      log_refusal(w, "refusing maint[%lu]: it ends before it starts or has no known type\n");
      maint_window_safe_free_no_remove(w);
      return -1;
    }
    unsigned long hash = CK_HS_HASH(&maintenance_windows, u64_hash, &w->def.maintenance_id);
    tovi_assert(ck_hs_put(&maintenance_windows, hash, w));
    add_by_key(w);
    arm_stop_trigger(w);
    return 1;
  }

  bool valid = true;
  if (old->def.maintenance_type != w->def.maintenance_type) {
    valid = false;
  } else if (old->def.maintenance_type == MAINT_ON_HOST) {
    const char *a = old->def.maintenance.host, *b = w->def.maintenance.host;
    valid = strcmp(a ? a : "", b ? b : "") == 0;
  } else {
    valid = old->def.maintenance.generic_uint64 == w->def.maintenance.generic_uint64;
  }
  if (!valid) log_refusal(w, "attempt to change immutable fields of maint[%lu]\n");

  bool started = old->def.start_on <= now_seconds();
  if (valid && started &&
      (w->def.start_on != old->def.start_on || w->def.severity_mask != old->def.severity_mask)) {
    log_refusal(w, "attempt to change fields of maint[%lu] after start_on\n");
    valid = false;
  }
  if (valid) {
    if (!started) {
      std::atomic_ref<uint64_t>(old->def.start_on)
          .store(w->def.start_on, std::memory_order_relaxed);
      std::atomic_ref<uint8_t>(old->def.severity_mask)
          .store(w->def.severity_mask, std::memory_order_relaxed);
    }
    bool inverted = old->def.start_on > w->def.stop_on;
    if (w->def.stop_on != old->def.stop_on || inverted) {
      std::atomic_ref<uint64_t>(old->def.stop_on).store(w->def.stop_on, std::memory_order_relaxed);
      if (old->stop_trigger) {
        // A window that now ends before it starts covers nothing: it ends at once.
        struct timeval when = stop_time_for(w->def.stop_on);
        if (inverted) gettimeofday(&when, nullptr);
        eventer_update(old->stop_trigger, &when);
      }
    }
  }
  guard.unlock();
  maint_window_safe_free_no_remove(w);
  return valid ? 0 : -1;
}

void maint_window_safe_free(maint_window_t *w) {
  if (!w) return;
  disarm_stop_trigger(w);
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
    remove_by_key(w);
  }
  maint_ended_count.fetch_add(1, std::memory_order_relaxed);
  maint_window_safe_free_no_remove(w);
}

void maint_window_safe_free_no_remove(maint_window_t *w) {
  if (!w) return;
  drain_targets(w);
  tovi_memory_safe_free_with_cleanup(w, reclaim_window);
}

maint_window_t *get_maint_window_by_id(uint64_t id) {
  if (!tables_ready.load(std::memory_order_acquire)) return nullptr;
  return find_window(id);
}

void maint_window_stop_now(uint64_t id) {
  if (!tables_ready.load(std::memory_order_acquire)) return;
  tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
  maint_window_t *w = find_window(id);
  if (!w || !w->stop_trigger) return;
  struct timeval now;
  gettimeofday(&now, nullptr);
  eventer_update(w->stop_trigger, &now);
}

bool maint_window_delete(uint64_t id) {
  if (!tables_ready.load(std::memory_order_acquire)) return false;
  tovi_memory_scope_c bracket;
  maint_window_t *w;
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
    w = find_window(id);
    if (!w) return false;
    unsigned long h = CK_HS_HASH(&maintenance_windows, u64_hash, &id);
    ck_hs_remove(&maintenance_windows, h, &id);
  }
  maint_window_safe_free(w);
  maint_store_resync(id);
  return true;
}

int maintenance_not_active(uint64_t ecid, uint64_t account_id, uint64_t check_id, const char *host,
                           int sev_from, int sev_to, const struct timeval &now) {
  // Without the module started there are no windows: nothing is held back.
  if (!tables_ready.load(std::memory_order_acquire)) return 1;
  uint8_t wanted = 0;
  if (sev_from >= 0 && sev_from <= 5) wanted |= uint8_t(1u << sev_from);
  if (sev_to >= 0 && sev_to <= 5) wanted |= uint8_t(1u << sev_to);
  uint64_t secs = now.tv_sec < 0 ? 0 : uint64_t(now.tv_sec);

  bool covered = probe_numeric(&maintenance_by_metric, ecid, ecid, wanted, secs) ||
                 probe_numeric(&maintenance_by_check, check_id, ecid, wanted, secs) ||
                 probe_numeric(&maintenance_by_account, account_id, ecid, wanted, secs);
  if (!covered && host && *host) {
    maint_key_list_t probe;
    probe.host = host;
    probe.host_len = strlen(host);
    maint_key_list_t *list = find_list(&maintenance_by_host, probe);
    covered = list && probe_list(list, ecid, wanted, secs);
  }
  if (covered) maint_held_back_count.fetch_add(1, std::memory_order_relaxed);
  tovi_log_fields(
      debug_ls,
      ({"ecid", (unsigned long long)ecid}, {"account_id", (unsigned long long)account_id},
       {"check_id", (unsigned long long)check_id}, {"host", host ? host : ""}),
      "checking for maintenance EACH[%d->%d] %lu, %lu, %lu, %s -> %s\n", sev_from, sev_to, ecid,
      account_id, check_id, host ? host : "(null)", covered ? "yes" : "no");
  return covered ? 0 : 1;
}

void maintenance_set_reevaluate(maint_reevaluate_fn_t fn) {
  reevaluate_fn.store(fn, std::memory_order_release);
}

void end_maintenance_on_ecid(uint64_t ecid) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  tovi_log_fields(debug_ls, ({"ecid", (unsigned long long)ecid}),
                  "leaving maintenance on ecid %lu\n", ecid);
  if (maint_reevaluate_fn_t fn = reevaluate_fn.load(std::memory_order_acquire)) fn(ecid, now);
}

void maint_windows_each(const std::function<void(maint_window_t *)> &fn) {
  if (!tables_ready.load(std::memory_order_acquire)) return;
  tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *value;
  while (ck_hs_next(&maintenance_windows, &it, &value))
    fn(static_cast<maint_window_t *>(value));
}

std::vector<uint64_t> maint_window_held_ecids(maint_window_t *w) {
  std::vector<uint64_t> ecids;
  tovi_lock_guard_c<tovi_mutex_c> guard(w->tgt_ecids_wrlock);
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *value;
  while (ck_hs_next(w->tgt_ecids, &it, &value))
    ecids.push_back(uint64_t(uintptr_t(value)));
  std::sort(ecids.begin(), ecids.end());
  return ecids;
}

// ---- The store
// -------------------------------------------------------------------------------------

namespace {

thread_local uint64_t store_failures = 0;

std::string window_json(const maint_def_t &def) {
  json_object *o = json_object_new_object();
  json_object_object_add(o, "maintenance_id", json_object_new_uint64(def.maintenance_id));
  json_object_object_add(o, "maintenance_type",
                         json_object_new_string(maint_item_type_name(def.maintenance_type)));
  if (def.maintenance_type == MAINT_ON_HOST)
    json_object_object_add(
        o, "maintenance_item",
        json_object_new_string(def.maintenance.host ? def.maintenance.host : ""));
  else
    json_object_object_add(o, "maintenance_item",
                           json_object_new_uint64(def.maintenance.generic_uint64));
  json_object_object_add(o, "start_on", json_object_new_uint64(def.start_on));
  json_object_object_add(o, "stop_on", json_object_new_uint64(def.stop_on));
  json_object_object_add(o, "account_id", json_object_new_uint64(def.account_id));
  json_object *sevs = json_object_new_array();
  for (int sev = 1; sev <= 5; sev++)
    if (def.severity_mask & (1u << sev)) json_object_array_add(sevs, json_object_new_int(sev));
  json_object_object_add(o, "severities", sevs);
  std::string text = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
  json_object_put(o);
  return text;
}

}  // namespace

bool maint_store_window(const maint_def_t &def) {
  std::string file;
  if (store_refused_by_file(STORE_MAINTENANCE, def.maintenance_id, &file)) {
    load_report_error("maintenance window %lu belongs to the rule file \"%s\"",
                      (unsigned long)def.maintenance_id, file.c_str());
    tovi_log_fields(error_ls, ({"maintenance_id", (unsigned long long)def.maintenance_id}),
                    "maintenance [%lu] refused: it belongs to the rule file '%s'\n",
                    (unsigned long)def.maintenance_id, file.c_str());
    return false;
  }
  store_note_source(STORE_MAINTENANCE, def.maintenance_id, store_current_source(),
                    store_current_origin());
  if (!store_enabled() || store_loading()) return true;
  store_write_t w;
  w.kind = STORE_MAINTENANCE;
  w.id = def.maintenance_id;
  w.json = window_json(def);
  w.source = store_current_source();
  w.origin = store_current_origin();
  if (store_write({w})) return true;
  store_failures++;
  tovi_log_fields(error_ls, ({"maintenance_id", (unsigned long long)def.maintenance_id}),
                  "maintenance [%lu] not applied: the store could not write it\n",
                  (unsigned long)def.maintenance_id);
  return false;
}

void maint_store_resync(uint64_t id) {
  std::string json;
  {
    tovi_memory_scope_c bracket;
    tovi_lock_guard_c<tovi_mutex_c> guard(maintenance_add_remove_lock);
    if (maint_window_t *w = get_maint_window_by_id(id)) json = window_json(w->def);
  }
  if (json.empty()) store_forget_source(STORE_MAINTENANCE, id);
  if (!store_enabled() || store_loading()) return;
  store_write_t w;
  w.kind = STORE_MAINTENANCE;
  w.id = id;
  w.json = std::move(json);
  w.source = store_current_source();
  w.origin = store_current_origin();
  store_write({w});
}

uint64_t maint_store_failures() {
  return store_failures;
}
