// The metric director.
//
// Lanes. Each lane is a bounded ring of cells (a Vyukov-style queue: a producer claims a position
// with a CAS on `tail` and publishes the cell by storing its sequence number; the single consumer
// owns `head`) plus a small mutex-guarded "side" list. The side list holds what must not, or
// cannot, wait for room in the ring: flush markers, and messages that a blocking producer could
// not wait for (overflow). While the side list holds anything, producers append to it rather
// than to the ring (up to the lane's capacity in total, unless forced), and the consumer always
// empties the ring before it takes from the side list. Together this keeps every producer's
// messages in order, and a marker after everything that was appended before it.
//
// Items are tagged words: a message pointer, or a flush record pointer with the low bit set.
//
// Wake-ups. A consumer that finds its lane empty raises `wake_needed` and looks once more; a
// producer that appended looks at the flag after a full fence and wakes the lane's loop thread
// only when it was raised. One of the two always sees the other (store-buffer pattern with
// sequentially consistent barriers), so a thread never sleeps on a non-empty lane, and a busy
// consumer costs its producers no wake-up at all.
//
// Flush. A flush record counts the lanes (plus one guard held while markers are being placed);
// each lane's consumer counts it down when lane_next meets its marker, which happens only when
// the consumer asks for the message after the last one before the marker, i.e. after it handled
// that one. The last count-down posts the continuation to its loop thread.
//
// Interest and searches live in copy-on-write hash tables: a table is an array of atomic bucket
// pointers, each bucket an immutable vector of entry pointers. Writers (under `write_lock`) build
// a new bucket, publish it with a release store and hand the old one to the deferred safe free,
// so readers inside a safe-memory bracket never lock and never see a bucket change under them.
// Interest counts are atomics inside the entries; a search entry holds an atomic pointer to an
// immutable list of searches, replaced the same way.
#include "vask/vask_director.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "stats/stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"

namespace {

constexpr int max_hooks = 32;
constexpr size_t dedupe_slots = 65536;
constexpr uintptr_t marker_bit = 1;
constexpr int64_t default_lane_capacity = 65536;
constexpr int32_t default_max_wait_ms = 1000;
constexpr std::string_view untagged_suffix = "|ST[]";

tovi_log_stream_t error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/vask");
  return ls;
}

// ---- Copy-on-write hash table ------------------------------------------------------------------

// E has `uint64_t hash` and `std::string key`, constant after insertion.
template <typename E>
class rcu_table_c {
 public:
  explicit rcu_table_c(size_t initial) {
    size_t n = 16;
    while (n < initial)
      n <<= 1;
    current_.store(make_table(n), std::memory_order_release);
  }

  // Readers: inside a safe-memory bracket; the entry stays valid until the bracket ends.
  E *find(uint64_t hash, std::string_view key) const {
    // Acquire: the table and its buckets were filled before they were published.
    const table_t *t = current_.load(std::memory_order_acquire);
    const bucket_t *b = t->buckets[hash & t->mask].load(std::memory_order_acquire);
    if (!b) return nullptr;
    for (E *e : *b)
      if (e->hash == hash && e->key == key) return e;
    return nullptr;
  }
  bool empty() const { return count_.load(std::memory_order_relaxed) == 0; }

  // Writers: under the owner's write lock.
  void insert(E *e) {
    table_t *t = current_.load(std::memory_order_relaxed);
    if (count_.load(std::memory_order_relaxed) >= t->mask + 1) t = grow(t);
    std::atomic<const bucket_t *> &slot = t->buckets[e->hash & t->mask];
    const bucket_t *old = slot.load(std::memory_order_relaxed);
    auto *b = old ? new bucket_t(*old) : new bucket_t;
    b->push_back(e);
    slot.store(b, std::memory_order_release);
    if (old) defer_delete(old);
    count_.fetch_add(1, std::memory_order_relaxed);
  }
  void remove(E *e) {
    table_t *t = current_.load(std::memory_order_relaxed);
    std::atomic<const bucket_t *> &slot = t->buckets[e->hash & t->mask];
    const bucket_t *old = slot.load(std::memory_order_relaxed);
    if (!old) return;
    auto *b = new bucket_t;
    for (E *x : *old)
      if (x != e) b->push_back(x);
    if (b->size() == old->size()) {
      delete b;
      return;
    }
    if (b->empty()) {
      delete b;
      b = nullptr;
    }
    slot.store(b, std::memory_order_release);
    defer_delete(old);
    count_.fetch_sub(1, std::memory_order_relaxed);
  }

 private:
  typedef std::vector<E *> bucket_t;
  struct table_t {
    size_t mask;
    std::unique_ptr<std::atomic<const bucket_t *>[]> buckets;
  };

  static table_t *make_table(size_t n) {
    auto *t = new table_t;
    t->mask = n - 1;
    t->buckets.reset(new std::atomic<const bucket_t *>[n]);
    for (size_t i = 0; i < n; i++)
      t->buckets[i].store(nullptr, std::memory_order_relaxed);
    return t;
  }
  static void defer_delete(const bucket_t *b) {
    tovi_memory_defer([](void *p) { delete static_cast<bucket_t *>(p); },
                      const_cast<bucket_t *>(b));
  }
  static void free_table(void *p) {
    auto *t = static_cast<table_t *>(p);
    for (size_t i = 0; i <= t->mask; i++)
      delete t->buckets[i].load(std::memory_order_relaxed);
    delete t;
  }
  table_t *grow(table_t *old) {
    size_t n = (old->mask + 1) * 2;
    table_t *t = make_table(n);
    std::vector<bucket_t *> fresh(n, nullptr);
    for (size_t i = 0; i <= old->mask; i++) {
      const bucket_t *b = old->buckets[i].load(std::memory_order_relaxed);
      if (!b) continue;
      for (E *e : *b) {
        bucket_t *&f = fresh[e->hash & t->mask];
        if (!f) f = new bucket_t;
        f->push_back(e);
      }
    }
    for (size_t i = 0; i < n; i++)
      t->buckets[i].store(fresh[i], std::memory_order_relaxed);
    // Release: readers that see the new table see its buckets.
    current_.store(t, std::memory_order_release);
    tovi_memory_defer(free_table, old);
    return t;
  }

  std::atomic<table_t *> current_{nullptr};
  std::atomic<size_t> count_{0};  // written under the write lock; read anywhere
};

uint64_t hash_key(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

// ---- Interest and searches
// -----------------------------------------------------------------------

struct interest_entry_t {
  uint64_t hash;
  std::string key;                                 // 16-byte check UUID, then the metric name
  std::unique_ptr<std::atomic<int32_t>[]> counts;  // one per lane
  int64_t total = 0;                               // guarded by write_lock
  std::atomic<void *> slot{nullptr};               // the owner's per-metric data, never read here
};

std::atomic<vask_director_slot_destructor_t> slot_destructor{nullptr};

struct search_t {
  uint32_t id;
  int lane;
  uint64_t account;
  uint8_t check_uuid[16];
  std::string name;
  vask_metric_tag_search_ast_t *ast;  // one reference, owned
};
typedef std::vector<search_t *> search_list_t;

struct search_entry_t {
  uint64_t hash;
  std::string key;                          // account (8 bytes, host order), then check UUID
  std::atomic<const search_list_t *> list;  // never empty while the entry is in the table
};

void free_search(void *p) {
  auto *s = static_cast<search_t *>(p);
  vask_metric_tag_search_free(s->ast);
  delete s;
}
void free_search_list(void *p) {
  delete static_cast<search_list_t *>(p);
}
void free_search_entry(void *p) {
  auto *e = static_cast<search_entry_t *>(p);
  delete e->list.load(std::memory_order_relaxed);
  delete e;
}
void free_interest_entry(void *p) {
  auto *e = static_cast<interest_entry_t *>(p);
  if (void *slot = e->slot.load(std::memory_order_acquire))
    if (vask_director_slot_destructor_t fn = slot_destructor.load(std::memory_order_acquire))
      fn(slot);
  delete e;
}

// ---- Hooks
// ------------------------------------------------------------------------------------------

template <typename F>
struct hook_t {
  std::string name;
  F fn;
  void *closure;
};

template <typename F>
struct hook_list_t {
  hook_t<F> hooks[max_hooks];
  std::atomic<int> count{0};
};

// ---- Flush records
// ---------------------------------------------------------------------------------

struct flush_t {
  std::atomic<int> remaining;
  int thread;
  std::function<void()> fn;
};

void flush_arrive(flush_t *f) {
  // Acq_rel: the last arrival sees everything the other lanes' consumers did before theirs.
  if (f->remaining.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  eventer_post(f->thread, std::move(f->fn));
  delete f;
}

// ---- Statistics
// ------------------------------------------------------------------------------------

struct counters_t {
  stats_counter_t *received, *parsed, *rejected, *no_memory, *duplicates, *unwanted, *uninteresting,
      *delivered, *abandoned, *lane_appends, *lane_full_waits, *lane_overflows, *lane_abandoned,
      *flushes;
  stats_counter_t *rejected_by_reason[VASK_DECODE_REASON_COUNT];
};

}  // namespace

// ---- The lane
// ----------------------------------------------------------------------------------------

struct vask_metric_director_lane_t {
  struct cell_t {
    std::atomic<uint64_t> seq;
    uintptr_t item;  // written before seq is published, read after it is seen
  };

  // Constant after creation.
  int thread = 0;
  uint64_t capacity = 0;
  uint64_t mask = 0;
  std::unique_ptr<cell_t[]> cells;

  alignas(64) std::atomic<uint64_t> tail{0};  // producers
  alignas(64) std::atomic<uint64_t> head{0};  // written by the consumer only
  alignas(64) std::atomic<bool> wake_needed{true};
  std::atomic<uint32_t> barrier{0};   // see lane_barrier
  std::atomic<size_t> side_count{0};  // side.size(), stored under side_lock
  tovi_mutex_c side_lock;
  std::deque<uintptr_t> side ABSL_GUARDED_BY(side_lock);
};

namespace {

typedef vask_metric_director_lane_t lane_t;

struct globals_t {
  counters_t c{};
  std::atomic<bool> dedupe{true};
  std::unique_ptr<std::atomic<uint64_t>[]> recent;

  // Lanes: published once by vask_metric_director_init.
  tovi_mutex_c init_lock;
  lane_t **lanes = nullptr;
  std::atomic<int> nlanes{0};
  int32_t max_wait_ms = default_max_wait_ms;

  tovi_mutex_c write_lock;  // interest and search writers
  rcu_table_c<interest_entry_t> interests{1024};
  rcu_table_c<search_entry_t> searches{256};
  // Whether an interest (or search) was ever registered under the all-zero check UUID, and an
  // interest under a name ending in the empty tag list. Routing skips the look-ups that only
  // such registrations could answer: most daemons have none, and every message would pay for
  // them. Set before the entry is published and never cleared, so a router that reads false
  // misses only a registration racing with it, as it would without the flag.
  std::atomic<bool> zero_uuid_interests{false};
  std::atomic<bool> suffixed_interests{false};
  std::atomic<bool> zero_uuid_searches{false};
  std::unordered_map<uint32_t, search_t *> search_by_id ABSL_GUARDED_BY(write_lock);
  uint32_t next_search_id ABSL_GUARDED_BY(write_lock) = 1;

  tovi_mutex_c hook_lock;
  hook_list_t<metric_director_want_hook_t> want;
  hook_list_t<metric_director_revise_hook_t> revise;
};

void register_statistics(globals_t *g) {
  stats_ns_t *root = stats_recorder_root(stats_process_recorder());
  stats_ns_t *ns = stats_register_ns(stats_register_ns(root, "vask"), "director");
  tovi_assert(ns);
  auto counter = [ns](const char *name, const char *units) {
    stats_opts_t opts;
    opts.units = units;
    stats_counter_t *c = stats_register_counter(ns, name, opts);
    tovi_assert(c);
    return c;
  };
  counters_t &c = g->c;
  c.received = counter("received", "messages");
  c.parsed = counter("parsed", "messages");
  c.rejected = counter("rejected", "messages");
  c.no_memory = counter("no_memory", "messages");
  c.duplicates = counter("duplicates", "messages");
  c.unwanted = counter("unwanted", "messages");
  c.uninteresting = counter("uninteresting", "messages");
  c.delivered = counter("delivered", "messages");
  c.abandoned = counter("abandoned", "messages");
  c.lane_appends = counter("lane_appends", "messages");
  c.lane_full_waits = counter("lane_full_waits", "waits");
  c.lane_overflows = counter("lane_overflows", "messages");
  c.lane_abandoned = counter("lane_abandoned", "messages");
  c.flushes = counter("flushes", "flushes");
  for (int r = 1; r < VASK_DECODE_REASON_COUNT; r++) {
    const char *reason = vask_decode_reason_name(static_cast<vask_decode_reason_t>(r));
    std::string name = std::string("rejected_") + reason;
    stats_opts_t opts;
    opts.units = "messages";
    opts.tagged_name = "rejected_by_reason";
    opts.tags = {{"reason", reason}};
    c.rejected_by_reason[r] = stats_register_counter(ns, name.c_str(), opts);
    tovi_assert(c.rejected_by_reason[r]);
  }
  stats_opts_t opts;
  opts.units = "messages";
  stats_register_u64_fn(
      ns, "queued", STATS_GAUGE,
      [g]() {
        uint64_t total = 0;
        int n = g->nlanes.load(std::memory_order_acquire);
        for (int i = 0; i < n; i++)
          total += vask_metric_director_lane_depth(g->lanes[i]);
        return total;
      },
      opts);
}

globals_t &G() {
  static globals_t *g = [] {
    auto *n = new globals_t;  // never freed: loop threads may use it until the process ends
    n->recent.reset(new std::atomic<uint64_t>[dedupe_slots]);
    for (size_t i = 0; i < dedupe_slots; i++)
      n->recent[i].store(0, std::memory_order_relaxed);
    register_statistics(n);
    return n;
  }();
  return *g;
}

// ---- Lane operations
// -------------------------------------------------------------------------------

bool ring_push(lane_t *l, uintptr_t item) {
  uint64_t pos = l->tail.load(std::memory_order_relaxed);
  for (;;) {
    lane_t::cell_t &cell = l->cells[pos & l->mask];
    // Acquire: a free cell's previous item has been read by the consumer before it was freed.
    uint64_t seq = cell.seq.load(std::memory_order_acquire);
    int64_t dif = int64_t(seq) - int64_t(pos);
    if (dif == 0) {
      if (l->tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        cell.item = item;
        // Release: the consumer that sees the sequence sees the item.
        cell.seq.store(pos + 1, std::memory_order_release);
        return true;
      }
    } else if (dif < 0) {
      return false;  // the cell one lap back is not consumed yet: full
    } else {
      pos = l->tail.load(std::memory_order_relaxed);
    }
  }
}

uintptr_t ring_pop(lane_t *l) {
  uint64_t pos = l->head.load(std::memory_order_relaxed);
  lane_t::cell_t &cell = l->cells[pos & l->mask];
  if (cell.seq.load(std::memory_order_acquire) != pos + 1) return 0;
  uintptr_t item = cell.item;
  // Release: the producer that reuses the cell sees that the item was taken.
  cell.seq.store(pos + l->capacity, std::memory_order_release);
  // Release: a producer that reads this head sees the cells before it freed (ring_push_run).
  l->head.store(pos + 1, std::memory_order_release);
  return item;
}

// Appends up to n items with one claim: returns how many went in (0 when the ring is full).
// The consumer frees cells in order, so when the last cell of a run is free for this lap, so is
// every cell before it; the claim on `tail` makes the run ours.
size_t ring_push_run(lane_t *l, const uintptr_t *items, size_t n) {
  uint64_t pos = l->tail.load(std::memory_order_relaxed);
  for (;;) {
    // Acquire: pairs with the release store of head in ring_pop (see there).
    uint64_t head = l->head.load(std::memory_order_acquire);
    if (pos < head || pos - head > l->capacity) {  // pos is stale: another producer claimed
      pos = l->tail.load(std::memory_order_relaxed);
      continue;
    }
    uint64_t room = l->capacity - (pos - head);
    if (room == 0) {
      uint64_t now = l->tail.load(std::memory_order_relaxed);
      if (now == pos) return 0;
      pos = now;
      continue;
    }
    size_t k = size_t(std::min<uint64_t>(room, n));
    uint64_t last = pos + k - 1;
    // Acquire: the consumer has read the item this cell held one lap ago.
    if (l->cells[last & l->mask].seq.load(std::memory_order_acquire) != last) {
      pos = l->tail.load(std::memory_order_relaxed);
      continue;
    }
    if (!l->tail.compare_exchange_weak(pos, pos + k, std::memory_order_relaxed)) continue;
    for (size_t i = 0; i < k; i++) {
      lane_t::cell_t &cell = l->cells[(pos + i) & l->mask];
      cell.item = items[i];
      // Release: the consumer that sees the sequence sees the item. Cells are published in
      // order, and the consumer stops at the first one not yet published.
      cell.seq.store(pos + i + 1, std::memory_order_release);
    }
    return k;
  }
}

uintptr_t side_pop(lane_t *l) {
  tovi_lock_guard_c<tovi_mutex_c> g(l->side_lock);
  if (l->side.empty()) return 0;
  uintptr_t item = l->side.front();
  l->side.pop_front();
  l->side_count.store(l->side.size(), std::memory_order_release);
  return item;
}

enum offer_t { OFFER_FULL, OFFER_RING, OFFER_SIDE, OFFER_OVERFLOW };

// Appends an item. Without `force` it fails when the lane is full; with it, it always succeeds,
// past the lane's bound if need be.
offer_t lane_offer(lane_t *l, uintptr_t item, bool force) {
  if (l->side_count.load(std::memory_order_acquire) == 0 && ring_push(l, item)) return OFFER_RING;
  tovi_lock_guard_c<tovi_mutex_c> g(l->side_lock);
  // The side list drained meanwhile: the ring is the place again.
  if (l->side.empty() && ring_push(l, item)) return OFFER_RING;
  uint64_t in_ring =
      l->tail.load(std::memory_order_relaxed) - l->head.load(std::memory_order_relaxed);
  offer_t result = OFFER_SIDE;
  if (in_ring + l->side.size() >= l->capacity) {
    if (!force) return OFFER_FULL;
    result = OFFER_OVERFLOW;
  }
  l->side.push_back(item);
  l->side_count.store(l->side.size(), std::memory_order_release);
  return result;
}

// A full barrier between a store and a load (producer: item, then flag; consumer: flag, then
// item). ThreadSanitizer does not model fences, so its builds use a sequentially consistent
// read-modify-write of one word of the lane instead: the two sides' operations on it are totally
// ordered and the later one acquires what the earlier one released, which orders the same way.
inline void lane_barrier(lane_t *l) {
#if defined(__SANITIZE_THREAD__)
  l->barrier.fetch_add(1, std::memory_order_seq_cst);
#else
  (void)l;
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

void lane_wake(lane_t *l) {
  // Pairs with the barrier in lane_next: either we see the raised flag, or the consumer sees the
  // item we just appended.
  lane_barrier(l);
  if (l->wake_needed.load(std::memory_order_relaxed) &&
      l->wake_needed.exchange(false, std::memory_order_relaxed))
    eventer_wakeup(l->thread);
}

uintptr_t lane_take(lane_t *l) {
  uintptr_t item = ring_pop(l);
  if (item || l->side_count.load(std::memory_order_acquire) == 0) return item;
  // A producer may have claimed the head cell and not yet published it: the ring is not empty
  // then, and whatever waits in the side list came after that cell's item. Taking from the side
  // list now would let a flush marker or an overflowed message overtake it. The producer wakes
  // the lane once it publishes. Whoever put an item in the side list saw every cell claimed
  // before it (the side lock orders them), so the tail read here covers those cells.
  if (l->tail.load(std::memory_order_acquire) != l->head.load(std::memory_order_relaxed)) return 0;
  return side_pop(l);
}

// Appends a run of items in order, as many as there is room for: the ring first, then the side
// list within the lane's bound. Returns how many went in.
size_t lane_offer_run(lane_t *l, const uintptr_t *items, size_t n) {
  size_t done = 0;
  if (l->side_count.load(std::memory_order_acquire) == 0) done = ring_push_run(l, items, n);
  if (done == n) return n;
  tovi_lock_guard_c<tovi_mutex_c> g(l->side_lock);
  if (l->side.empty()) done += ring_push_run(l, items + done, n - done);
  if (done == n) return n;
  uint64_t in_ring =
      l->tail.load(std::memory_order_relaxed) - l->head.load(std::memory_order_relaxed);
  while (done < n && in_ring + l->side.size() < l->capacity)
    l->side.push_back(items[done++]);
  l->side_count.store(l->side.size(), std::memory_order_release);
  return done;
}

// ---- Routing
// -----------------------------------------------------------------------------------------

bool is_duplicate(globals_t &g, const vask_metric_message_t *m) {
  uint64_t h = hash_key(std::string_view(m->original_message, m->original_message_len)) | 1;
  return g.recent[(h >> 1) & (dedupe_slots - 1)].exchange(h, std::memory_order_relaxed) == h;
}

void add_interest_flags(globals_t &g, std::string &key, uint16_t *flags, int n) {
  interest_entry_t *e = g.interests.find(hash_key(key), key);
  if (!e) return;
  for (int i = 0; i < n; i++)
    if (e->counts[i].load(std::memory_order_relaxed) > 0) flags[i] = 1;
}

void add_search_flags(globals_t &g, const vask_metric_id_t &id, const uint8_t *uuid,
                      std::string &key, uint16_t *flags) {
  key.assign(reinterpret_cast<const char *>(&id.account_id), sizeof id.account_id);
  key.append(reinterpret_cast<const char *>(uuid), 16);
  search_entry_t *e = g.searches.find(hash_key(key), key);
  if (!e) return;
  // Acquire: the list and its searches were complete before they were published.
  const search_list_t *list = e->list.load(std::memory_order_acquire);
  for (const search_t *s : *list) {
    if (flags[s->lane]) continue;
    if (vask_metric_tag_search_evaluate_against_metric_id(s->ast, &id)) flags[s->lane] = 1;
  }
}

void compute_interest(globals_t &g, const vask_metric_message_t *m, uint16_t *flags, int n) {
  static const uint8_t zero_uuid[16] = {};
  const vask_metric_id_t &id = m->id;
  const uint8_t *uuids[2] = {id.id, zero_uuid};
  int nuuids = std::memcmp(id.id, zero_uuid, 16) == 0 ? 1 : 2;
  thread_local std::string key;
  if (g.interests.empty() && g.searches.empty()) return;  // nothing to look up, nothing to guard
  tovi_memory_scope_c bracket;

  if (!g.interests.empty()) {
    size_t with_tags = vask_metric_id_stream_name_len(&id);
    // An untagged metric is also known as "<name>|ST[]", unless that form would be longer than
    // any name can be (the decoder rejects such names, so nobody registers them).
    bool tagged_form =
        with_tags != id.name_len || id.name_len + untagged_suffix.size() > VASK_METRIC_NAME_MAX;
    // Acquire: pairs with the release store made before such an entry was published.
    bool suffixed = g.suffixed_interests.load(std::memory_order_acquire);
    int interest_uuids = g.zero_uuid_interests.load(std::memory_order_acquire) ? nuuids : 1;
    for (int u = 0; u < interest_uuids; u++) {
      key.assign(reinterpret_cast<const char *>(uuids[u]), 16);
      key.append(id.name, id.name_len);
      add_interest_flags(g, key, flags, n);
      if (tagged_form) {
        key.resize(16);
        key.append(id.name, with_tags);
      } else {
        if (!suffixed) continue;
        key.append(untagged_suffix);
      }
      add_interest_flags(g, key, flags, n);
    }
  }
  if (!g.searches.empty()) {
    int search_uuids = g.zero_uuid_searches.load(std::memory_order_acquire) ? nuuids : 1;
    for (int u = 0; u < search_uuids; u++)
      add_search_flags(g, id, uuids[u], key, flags);
  }
}

enum route_mode_t { ROUTE_BLOCK, ROUTE_TRY };

// Appends to a full lane from a blocking producer: waits in short slices on a non-loop thread,
// else (or once the wait is over) queues past the lane's bound.
void offer_blocking(globals_t &g, lane_t *l, uintptr_t item) {
  if (!eventer_is_loop_thread()) {
    stats_counter_inc(g.c.lane_full_waits);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g.max_wait_ms);
    for (int round = 0;; round++) {
      // The consumer may have ended its cycle with work left: make sure it runs again.
      eventer_wakeup(l->thread);
      if (round < 16)
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(round < 64 ? 20 : 200));
      if (lane_offer(l, item, false) != OFFER_FULL) return;
      if (std::chrono::steady_clock::now() >= deadline) break;
    }
  }
  lane_offer(l, item, true);
  uint64_t before = stats_counter_value(g.c.lane_overflows);
  stats_counter_inc(g.c.lane_overflows);
  // Logged at powers of two so that a stalled consumer does not flood the log.
  if ((before & (before + 1)) == 0)
    tovi_log(error_stream(), "director: lane %d is full, queued past its bound (%llu so far)\n",
             l->thread, static_cast<unsigned long long>(before + 1));
}

vask_director_result_t deliver(globals_t &g, vask_metric_message_t *m, const uint16_t *flags, int n,
                               route_mode_t mode, vask_director_pending_t *pending) {
  int blocked = 0;
  for (int i = 0; i < n; i++) {
    if (!flags[i]) continue;
    lane_t *l = g.lanes[i];
    vask_metric_director_message_ref(m);
    uintptr_t item = reinterpret_cast<uintptr_t>(m);
    if (lane_offer(l, item, false) == OFFER_FULL) {
      if (mode == ROUTE_TRY) {
        vask_metric_director_message_deref(m);
        if (!blocked++) pending->lanes.assign(n, 0);
        pending->lanes[i] = 1;
        eventer_wakeup(l->thread);
        continue;
      }
      offer_blocking(g, l, item);
    }
    stats_counter_inc(g.c.lane_appends);
    lane_wake(l);
  }
  if (blocked) {
    vask_metric_director_message_ref(m);
    pending->m = m;
    return VASK_DIRECTOR_WOULD_BLOCK;
  }
  stats_counter_inc(g.c.delivered);
  return VASK_DIRECTOR_DELIVERED;
}

// Runs the duplicate filter, the want hooks, the interest and the revise hooks. Returns
// DELIVERED when `flags` (n of them) name at least one lane; the other results are counted here,
// except UNINTERESTING, which the caller counts.
vask_director_result_t choose_lanes(globals_t &g, vask_metric_message_t *m,
                                    std::vector<uint16_t> &flags, int n) {
  if (g.dedupe.load(std::memory_order_relaxed) && is_duplicate(g, m)) {
    stats_counter_inc(g.c.duplicates);
    return VASK_DIRECTOR_DUPLICATE;
  }
  bool wanted = true;
  int nwant = g.want.count.load(std::memory_order_acquire);
  for (int i = 0; i < nwant; i++) {
    const auto &h = g.want.hooks[i];
    if (!h.fn(h.closure, m)) wanted = false;
  }
  if (!wanted) {
    stats_counter_inc(g.c.unwanted);
    return VASK_DIRECTOR_UNWANTED;
  }

  flags.assign(n, 0);
  if (n > 0) {
    compute_interest(g, m, flags.data(), n);
    int nrevise = g.revise.count.load(std::memory_order_acquire);
    for (int i = 0; i < nrevise; i++) {
      const auto &h = g.revise.hooks[i];
      h.fn(h.closure, m, flags.data(), n);
    }
  }
  for (int i = 0; i < n; i++)
    if (flags[i]) return VASK_DIRECTOR_DELIVERED;
  return VASK_DIRECTOR_UNINTERESTING;
}

vask_director_result_t route(globals_t &g, vask_metric_message_t *m, route_mode_t mode,
                             vask_director_pending_t *pending) {
  int n = g.nlanes.load(std::memory_order_acquire);
  thread_local std::vector<uint16_t> flags;
  vask_director_result_t r = choose_lanes(g, m, flags, n);
  if (r == VASK_DIRECTOR_UNINTERESTING) stats_counter_inc(g.c.uninteresting);
  if (r != VASK_DIRECTOR_DELIVERED) return r;
  return deliver(g, m, flags.data(), n, mode, pending);
}

// Decodes a new message from a line. Null, with *result set, when it was lost (allocation,
// counted in no_memory) or rejected (counted by reason).
vask_metric_message_t *decode_line(globals_t &g, const char *line, size_t len,
                                   vask_director_result_t *result) {
  vask_metric_message_t *m = vask_metric_message_create(line, len);
  if (!m) {
    stats_counter_inc(g.c.no_memory);
    *result = VASK_DIRECTOR_NO_MEMORY;
    return nullptr;
  }
  vask_decode_reason_t reason = vask_message_decoder_parse_line_reason(m, true);
  if (reason != VASK_DECODE_OK) {
    stats_counter_inc(g.c.rejected);
    if (reason > 0 && reason < VASK_DECODE_REASON_COUNT)
      stats_counter_inc(g.c.rejected_by_reason[reason]);
    vask_metric_director_message_deref(m);
    *result = VASK_DIRECTOR_REJECTED;
    return nullptr;
  }
  return m;
}

vask_director_result_t submit_line(const char *line, size_t len, route_mode_t mode,
                                   vask_director_pending_t *pending) {
  globals_t &g = G();
  stats_counter_inc(g.c.received);
  vask_director_result_t lost;
  vask_metric_message_t *m = decode_line(g, line, len, &lost);
  if (!m) return lost;
  stats_counter_inc(g.c.parsed);
  vask_director_result_t r = route(g, m, mode, pending);
  vask_metric_director_message_deref(m);
  return r;
}

template <typename F>
void hook_register(tovi_mutex_c &lock, hook_list_t<F> &list, const char *name, F fn,
                   void *closure) {
  tovi_assert(fn);
  tovi_lock_guard_c<tovi_mutex_c> guard(lock);
  int n = list.count.load(std::memory_order_relaxed);
  tovi_assert(n < max_hooks);
  list.hooks[n] = hook_t<F>{name ? name : "", fn, closure};
  // Release: a producer that sees the count sees the hook.
  list.count.store(n + 1, std::memory_order_release);
}

int lane_of(globals_t &g, uint32_t thread) {
  int n = g.nlanes.load(std::memory_order_acquire);
  return n > 0 ? int(thread % uint32_t(n)) : -1;
}

}  // namespace

// ---- Start-up
// ------------------------------------------------------------------------------------------

void vask_metric_director_dedupe(bool on) {
  G().dedupe.store(on, std::memory_order_relaxed);
}

void vask_metric_director_init_globals(void) {
  G();
}

int vask_metric_director_init(void) {
  globals_t &g = G();
  tovi_lock_guard_c<tovi_mutex_c> guard(g.init_lock);
  if (g.nlanes.load(std::memory_order_relaxed) > 0) return 0;
  if (!eventer_is_initialized()) {
    tovi_log(tovi_error, "director: the event loop must be initialised first\n");
    return -1;
  }
  int64_t capacity = default_lane_capacity;
  tovi_conf_get_int64(nullptr, "//vask/director/@lane_capacity", &capacity);
  if (capacity < 1 || capacity > (int64_t(1) << 30)) {
    tovi_log(tovi_error, "//vask/director/@lane_capacity must be between 1 and 1073741824\n");
    return -1;
  }
  int32_t max_wait_ms = default_max_wait_ms;
  tovi_conf_get_int32(nullptr, "//vask/director/@max_wait_ms", &max_wait_ms);
  if (max_wait_ms < 0) {
    tovi_log(tovi_error, "//vask/director/@max_wait_ms must not be negative\n");
    return -1;
  }
  g.max_wait_ms = max_wait_ms;
  uint64_t cap = 2;
  while (cap < uint64_t(capacity))
    cap <<= 1;

  int n = eventer_loop_concurrency();
  if (n <= 0) {
    tovi_log(tovi_error, "director: no loop threads\n");
    return -1;
  }
  g.lanes = new lane_t *[n];
  for (int i = 0; i < n; i++) {
    auto *l = new lane_t;
    l->thread = i;
    l->capacity = cap;
    l->mask = cap - 1;
    l->cells.reset(new lane_t::cell_t[cap]);
    for (uint64_t c = 0; c < cap; c++) {
      l->cells[c].seq.store(c, std::memory_order_relaxed);
      l->cells[c].item = 0;
    }
    g.lanes[i] = l;
  }
  // Release: whoever sees the count sees the lanes.
  g.nlanes.store(n, std::memory_order_release);
  tovi_log(tovi_debug, "director: %d lanes of %llu messages\n", n,
           static_cast<unsigned long long>(cap));
  return 0;
}

int vask_metric_director_lane_count(void) {
  return G().nlanes.load(std::memory_order_acquire);
}

// ---- Lanes
// -------------------------------------------------------------------------------------------

vask_metric_director_lane_t *vask_metric_director_my_lane(void) {
  globals_t &g = G();
  int t = eventer_current_thread_id();
  if (t < 0 || t >= g.nlanes.load(std::memory_order_acquire)) return nullptr;
  return g.lanes[t];
}

vask_metric_message_t *vask_metric_director_lane_next(vask_metric_director_lane_t *l) {
  if (!l) return nullptr;
  for (;;) {
    uintptr_t item = lane_take(l);
    if (!item) {
      l->wake_needed.store(true, std::memory_order_relaxed);
      // Pairs with the barrier in lane_wake: a producer appending now will see the flag.
      lane_barrier(l);
      item = lane_take(l);
      if (!item) return nullptr;
    }
    if (item & marker_bit) {
      flush_arrive(reinterpret_cast<flush_t *>(item & ~marker_bit));
      continue;
    }
    return reinterpret_cast<vask_metric_message_t *>(item);
  }
}

size_t vask_metric_director_lane_depth(const vask_metric_director_lane_t *l) {
  if (!l) return 0;
  uint64_t tail = l->tail.load(std::memory_order_relaxed);
  uint64_t head = l->head.load(std::memory_order_relaxed);
  return size_t(tail > head ? tail - head : 0) + l->side_count.load(std::memory_order_relaxed);
}

// ---- Submission
// -----------------------------------------------------------------------------------

int vask_director_pending_t::remaining() const {
  if (!m) return 0;
  return int(std::count_if(lanes.begin(), lanes.end(), [](uint16_t f) { return f != 0; }));
}

vask_director_result_t vask_metric_director_submit_line(const char *line, size_t len) {
  return submit_line(line, len, ROUTE_BLOCK, nullptr);
}

vask_director_result_t vask_metric_director_submit_message(vask_metric_message_t *m) {
  globals_t &g = G();
  stats_counter_inc(g.c.received);
  return route(g, m, ROUTE_BLOCK, nullptr);
}

vask_director_result_t vask_metric_director_try_submit_line(const char *line, size_t len,
                                                            vask_director_pending_t *pending) {
  tovi_assert(pending && !pending->m);
  return submit_line(line, len, ROUTE_TRY, pending);
}

vask_director_result_t vask_metric_director_try_submit_message(vask_metric_message_t *m,
                                                               vask_director_pending_t *pending) {
  tovi_assert(pending && !pending->m);
  globals_t &g = G();
  stats_counter_inc(g.c.received);
  return route(g, m, ROUTE_TRY, pending);
}

vask_director_result_t vask_metric_director_resume(vask_director_pending_t *pending) {
  globals_t &g = G();
  if (!pending->m) return VASK_DIRECTOR_DELIVERED;
  vask_metric_message_t *m = pending->m;
  int n = std::min<int>(int(pending->lanes.size()), g.nlanes.load(std::memory_order_acquire));
  bool left = false;
  for (int i = 0; i < n; i++) {
    if (!pending->lanes[i]) continue;
    lane_t *l = g.lanes[i];
    vask_metric_director_message_ref(m);
    if (lane_offer(l, reinterpret_cast<uintptr_t>(m), false) == OFFER_FULL) {
      vask_metric_director_message_deref(m);
      eventer_wakeup(l->thread);
      left = true;
      continue;
    }
    pending->lanes[i] = 0;
    stats_counter_inc(g.c.lane_appends);
    lane_wake(l);
  }
  if (left) return VASK_DIRECTOR_WOULD_BLOCK;
  vask_metric_director_pending_release(pending);
  stats_counter_inc(g.c.delivered);
  return VASK_DIRECTOR_DELIVERED;
}

void vask_metric_director_pending_release(vask_director_pending_t *pending) {
  if (int left = pending->remaining()) {
    globals_t &g = G();
    stats_counter_add(g.c.lane_abandoned, uint64_t(left));
    stats_counter_inc(g.c.abandoned);
  }
  vask_metric_director_message_deref(pending->m);
  pending->m = nullptr;
  pending->lanes.clear();
}

// ---- Batches
// -------------------------------------------------------------------------------------

vask_director_batch_t::~vask_director_batch_t() {
  vask_metric_director_batch_release(this);
}

namespace {
vask_director_result_t batch_stage(globals_t &g, vask_director_batch_t *b,
                                   vask_metric_message_t *m);
}  // namespace

vask_director_result_t vask_metric_director_batch_add_line(vask_director_batch_t *b,
                                                           const char *line, size_t len) {
  globals_t &g = G();
  b->received++;
  vask_director_result_t r;
  vask_metric_message_t *m = decode_line(g, line, len, &r);
  if (!m) return r;
  b->parsed++;
  return batch_stage(g, b, m);
}

vask_director_result_t vask_metric_director_batch_add_message(vask_director_batch_t *b,
                                                              vask_metric_message_t *m) {
  globals_t &g = G();
  b->received++;
  b->parsed++;
  return batch_stage(g, b, m);
}

namespace {

vask_director_result_t batch_stage(globals_t &g, vask_director_batch_t *b,
                                   vask_metric_message_t *m) {
  vask_director_result_t r;
  if (!m->received_ns) m->received_ns = b->received_ns;
  int n = g.nlanes.load(std::memory_order_acquire);
  thread_local std::vector<uint16_t> flags;
  r = choose_lanes(g, m, flags, n);
  if (r != VASK_DIRECTOR_DELIVERED) {
    if (r == VASK_DIRECTOR_UNINTERESTING) b->uninteresting++;
    vask_metric_director_message_deref(m);
    return r;
  }
  if (b->staged.size() < size_t(n)) {
    b->staged.resize(n);
    b->committed.resize(n, 0);
  }
  // The reference the message was created with goes to its first lane; every further lane
  // takes one of its own.
  bool first = true;
  for (int i = 0; i < n; i++) {
    if (!flags[i]) continue;
    if (!first) vask_metric_director_message_ref(m);
    first = false;
    b->staged[i].push_back(reinterpret_cast<uintptr_t>(m));
  }
  b->messages++;
  return VASK_DIRECTOR_DELIVERED;
}

}  // namespace

namespace {

// The batch counts its lines locally and adds them to the statistics once per commit.
void add_batch_counts(globals_t &g, vask_director_batch_t *b) {
  if (!b->received) return;
  stats_counter_add(g.c.received, b->received);
  stats_counter_add(g.c.parsed, b->parsed);
  if (b->uninteresting) stats_counter_add(g.c.uninteresting, b->uninteresting);
  b->received = b->parsed = b->uninteresting = 0;
}

}  // namespace

vask_director_result_t vask_metric_director_batch_commit(vask_director_batch_t *b) {
  globals_t &g = G();
  add_batch_counts(g, b);
  if (b->messages == 0) return VASK_DIRECTOR_DELIVERED;
  bool left = false;
  uint64_t appended = 0;
  for (size_t i = 0; i < b->staged.size(); i++) {
    std::vector<uintptr_t> &items = b->staged[i];
    size_t &done = b->committed[i];
    if (done == items.size()) continue;
    lane_t *l = g.lanes[i];
    size_t k = lane_offer_run(l, items.data() + done, items.size() - done);
    done += k;
    appended += k;
    if (k) lane_wake(l);
    if (done < items.size()) {
      // The consumer may have ended its cycle with work left: make sure it runs again.
      eventer_wakeup(l->thread);
      left = true;
    }
  }
  if (appended) stats_counter_add(g.c.lane_appends, appended);
  if (left) return VASK_DIRECTOR_WOULD_BLOCK;
  stats_counter_add(g.c.delivered, b->messages);
  b->messages = 0;
  for (size_t i = 0; i < b->staged.size(); i++) {
    b->staged[i].clear();
    b->committed[i] = 0;
  }
  return VASK_DIRECTOR_DELIVERED;
}

void vask_metric_director_batch_trim(vask_director_batch_t *b) {
  if (b->messages) return;
  for (std::vector<uintptr_t> &items : b->staged)
    std::vector<uintptr_t>().swap(items);
}

void vask_metric_director_batch_release(vask_director_batch_t *b) {
  if (b->messages == 0 && b->received == 0) return;
  globals_t &g = G();
  add_batch_counts(g, b);
  std::vector<uintptr_t> missed;
  for (size_t i = 0; i < b->staged.size(); i++) {
    std::vector<uintptr_t> &items = b->staged[i];
    for (size_t j = b->committed[i]; j < items.size(); j++) {
      missed.push_back(items[j]);
      vask_metric_director_message_deref(reinterpret_cast<vask_metric_message_t *>(items[j]));
    }
    items.clear();
    b->committed[i] = 0;
  }
  // A message counts once however many lanes it missed; the rest of the batch was delivered.
  // Pointers are only compared here, never followed: their messages may be gone.
  std::sort(missed.begin(), missed.end());
  size_t abandoned = size_t(std::unique(missed.begin(), missed.end()) - missed.begin());
  if (!missed.empty()) {
    stats_counter_add(g.c.lane_abandoned, missed.size());
    stats_counter_add(g.c.abandoned, abandoned);
  }
  if (b->messages > abandoned) stats_counter_add(g.c.delivered, b->messages - abandoned);
  b->messages = 0;
}

// ---- Interest and searches
// -----------------------------------------------------------------------

int vask_metric_director_adjust_metric_interest_on_thread(uint32_t thread,
                                                          const uint8_t check_uuid[16],
                                                          const char *name, size_t len,
                                                          int adjustment) {
  globals_t &g = G();
  int lane = lane_of(g, thread);
  if (lane < 0 || !check_uuid || (!name && len)) return -1;
  int n = g.nlanes.load(std::memory_order_acquire);
  std::string key(reinterpret_cast<const char *>(check_uuid), 16);
  key.append(name, len);
  uint64_t hash = hash_key(key);

  tovi_lock_guard_c<tovi_mutex_c> guard(g.write_lock);
  interest_entry_t *e;
  {
    tovi_memory_scope_c bracket;
    e = g.interests.find(hash, key);
  }
  if (!e) {
    if (adjustment <= 0) {
      if (adjustment < 0)
        tovi_log(error_stream(), "director: interest in '%.*s' withdrawn but never registered\n",
                 int(len), name);
      return 0;
    }
    static const uint8_t zero_uuid[16] = {};
    // Release: a router that sees the flag also sees every entry published after it.
    if (std::memcmp(check_uuid, zero_uuid, 16) == 0)
      g.zero_uuid_interests.store(true, std::memory_order_release);
    if (len >= untagged_suffix.size() &&
        std::string_view(name + len - untagged_suffix.size(), untagged_suffix.size()) ==
            untagged_suffix)
      g.suffixed_interests.store(true, std::memory_order_release);
    e = new interest_entry_t;
    e->hash = hash;
    e->key = std::move(key);
    e->counts.reset(new std::atomic<int32_t>[n]);
    for (int i = 0; i < n; i++)
      e->counts[i].store(0, std::memory_order_relaxed);
    g.interests.insert(e);
  }
  int32_t now = e->counts[lane].load(std::memory_order_relaxed);
  int32_t next = now + adjustment;
  if (next < 0) {
    tovi_log(error_stream(), "director: interest in '%.*s' withdrawn more often than registered\n",
             int(len), name);
    next = 0;
  }
  e->counts[lane].store(next, std::memory_order_relaxed);
  e->total += next - now;
  if (e->total == 0) {
    g.interests.remove(e);
    tovi_memory_defer(free_interest_entry, e);
  }
  return next;
}

uint32_t vask_metric_director_register_search_on_thread(uint32_t thread, uint64_t account,
                                                        const uint8_t *check_uuid, const char *name,
                                                        vask_metric_tag_search_ast_t *ast) {
  globals_t &g = G();
  int lane = lane_of(g, thread);
  if (lane < 0 || !ast) return 0;
  auto *s = new search_t;
  s->lane = lane;
  s->account = account;
  if (check_uuid)
    std::memcpy(s->check_uuid, check_uuid, 16);
  else
    std::memset(s->check_uuid, 0, 16);
  s->name = name ? name : "";
  s->ast = vask_metric_tag_search_ref(ast);

  std::string key(reinterpret_cast<const char *>(&account), sizeof account);
  key.append(reinterpret_cast<const char *>(s->check_uuid), 16);
  uint64_t hash = hash_key(key);
  static const uint8_t zero_uuid[16] = {};
  // Release: a router that sees the flag also sees the search published after it.
  if (std::memcmp(s->check_uuid, zero_uuid, 16) == 0)
    g.zero_uuid_searches.store(true, std::memory_order_release);

  tovi_lock_guard_c<tovi_mutex_c> guard(g.write_lock);
  do {
    s->id = g.next_search_id++;
  } while (s->id == 0 || g.search_by_id.count(s->id));
  g.search_by_id[s->id] = s;
  search_entry_t *e;
  {
    tovi_memory_scope_c bracket;
    e = g.searches.find(hash, key);
  }
  if (!e) {
    e = new search_entry_t;
    e->hash = hash;
    e->key = std::move(key);
    e->list.store(new search_list_t{s}, std::memory_order_relaxed);
    g.searches.insert(e);
  } else {
    const search_list_t *old = e->list.load(std::memory_order_relaxed);
    auto *list = new search_list_t(*old);
    list->push_back(s);
    e->list.store(list, std::memory_order_release);
    tovi_memory_defer(free_search_list, const_cast<search_list_t *>(old));
  }
  return s->id;
}

bool vask_metric_director_deregister_search_on_thread(uint32_t thread, uint32_t id) {
  globals_t &g = G();
  int lane = lane_of(g, thread);
  if (lane < 0) return false;
  tovi_lock_guard_c<tovi_mutex_c> guard(g.write_lock);
  auto it = g.search_by_id.find(id);
  if (it == g.search_by_id.end() || it->second->lane != lane) return false;
  search_t *s = it->second;
  g.search_by_id.erase(it);

  std::string key(reinterpret_cast<const char *>(&s->account), sizeof s->account);
  key.append(reinterpret_cast<const char *>(s->check_uuid), 16);
  search_entry_t *e;
  {
    tovi_memory_scope_c bracket;
    e = g.searches.find(hash_key(key), key);
  }
  tovi_assert(e);
  const search_list_t *old = e->list.load(std::memory_order_relaxed);
  if (old->size() == 1) {
    g.searches.remove(e);
    tovi_memory_defer(free_search_entry, e);
  } else {
    auto *list = new search_list_t;
    for (search_t *x : *old)
      if (x != s) list->push_back(x);
    e->list.store(list, std::memory_order_release);
    tovi_memory_defer(free_search_list, const_cast<search_list_t *>(old));
  }
  tovi_memory_defer(free_search, s);
  return true;
}

size_t vask_metric_director_search_count(void) {
  globals_t &g = G();
  tovi_lock_guard_c<tovi_mutex_c> guard(g.write_lock);
  return g.search_by_id.size();
}

// ---- Hooks
// ------------------------------------------------------------------------------------------

void metric_director_want_hook_register(const char *name, metric_director_want_hook_t fn,
                                        void *closure) {
  globals_t &g = G();
  hook_register(g.hook_lock, g.want, name, fn, closure);
}

void metric_director_revise_hook_register(const char *name, metric_director_revise_hook_t fn,
                                          void *closure) {
  globals_t &g = G();
  hook_register(g.hook_lock, g.revise, name, fn, closure);
}

// ---- Flush
// ------------------------------------------------------------------------------------------

void vask_metric_director_flush_callback(int thread, std::function<void()> fn) {
  globals_t &g = G();
  tovi_assert(eventer_is_initialized());
  stats_counter_inc(g.c.flushes);
  int loops = eventer_loop_concurrency();
  int n = g.nlanes.load(std::memory_order_acquire);
  auto *f = new flush_t;
  f->thread = ((thread % loops) + loops) % loops;
  f->fn = std::move(fn);
  // One count per lane and one held while the markers are placed, so that a fast consumer
  // cannot complete the flush before every lane has its marker.
  f->remaining.store(n + 1, std::memory_order_relaxed);
  uintptr_t marker = reinterpret_cast<uintptr_t>(f) | marker_bit;
  for (int i = 0; i < n; i++) {
    lane_offer(g.lanes[i], marker, true);
    lane_wake(g.lanes[i]);
  }
  flush_arrive(f);
}

void vask_metric_director_flush(eventer_t e) {
  tovi_assert(e);
  if (eventer_get_owner(e) < 0) {
    int t = eventer_current_thread_id();
    eventer_set_owner(e, t < 0 ? 0 : t);
  }
  vask_metric_director_flush_callback(eventer_get_owner(e), [e] { eventer_add_asap(e); });
}

// ---- Per-metric slots
// ----------------------------------------------------------------------------

void vask_metric_director_set_slot_destructor(vask_director_slot_destructor_t fn) {
  slot_destructor.store(fn, std::memory_order_release);
}

std::atomic<void *> *vask_metric_director_interest_slot(const uint8_t check_uuid[16],
                                                        const char *name, size_t len) {
  globals_t &g = G();
  if (g.nlanes.load(std::memory_order_acquire) <= 0 || !check_uuid || (!name && len))
    return nullptr;
  // Asked for on every message by the slot's owner: the key is built in the thread's buffer.
  thread_local std::string key;
  key.assign(reinterpret_cast<const char *>(check_uuid), 16);
  key.append(name, len);
  interest_entry_t *e = g.interests.find(hash_key(key), key);
  return e ? &e->slot : nullptr;
}
