// Per-thread shards.
//
// A shard is a table of chunk pointers for counters (counter id -> chunk id / cell) and a table
// of bin-array pointers for duration histograms. Only the shard's thread writes its cells and
// makes its chunks (a chunk is published with a release store, readers load it with acquire);
// readers walk every shard ever made, up to the high-water mark. Shards are never freed: a
// thread that ends gives its shard back, and the next thread that needs one takes it over with
// its counts. Handing a shard over goes through `registry_lock`, which orders the old owner's
// last plain stores before the new owner's first ones.
#include "stats/stats_shard.h"

#include <memory>
#include <mutex>
#include <vector>

#include "llhist/llhist.h"

namespace {

constexpr uint32_t counter_chunk = 512;            // cells per chunk: 4 KiB
constexpr uint32_t counter_chunks = 1024;          // so 524,288 counter ids
constexpr uint32_t hist_ids = 1024;                // duration histograms at once
constexpr uint32_t decades = 13;                   // 1 ns up to 10^13 ns
constexpr uint32_t hist_cells = 1 + decades * 90;  // the zero bin, then 90 bins a decade
constexpr uint32_t no_id = UINT32_MAX;

typedef std::atomic<uint64_t> cell_t;

struct shard_t {
  std::atomic<cell_t *> chunks[counter_chunks] = {};
  std::atomic<cell_t *> hists[hist_ids] = {};
};

std::atomic<shard_t *> shards[stats_shard_limit] = {};
std::atomic<unsigned> shards_made{0};  // the high-water mark readers walk to

struct registry_t {
  std::mutex lock;
  std::vector<bool> shard_taken = std::vector<bool>(stats_shard_limit, false);
  std::vector<uint32_t> free_counter_ids;
  uint32_t next_counter_id = 0;
  std::vector<uint32_t> free_hist_ids;
  uint32_t next_hist_id = 0;
};

registry_t &registry() {
  static registry_t *r = new registry_t;  // never destroyed: threads may exit after main
  return *r;
}

// The calling thread's shard: null until its first update, and again once it is exiting.
thread_local shard_t *my_shard = nullptr;
thread_local bool shard_gone = false;

struct shard_keeper_t {
  unsigned index = stats_shard_limit;
  ~shard_keeper_t() {
    if (index == stats_shard_limit) return;
    my_shard = nullptr;
    shard_gone = true;
    registry_t &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.shard_taken[index] = false;
  }
};

shard_t *take_shard() {
  if (shard_gone) return nullptr;
  thread_local shard_keeper_t keeper;
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  for (unsigned i = 0; i < stats_shard_limit; i++) {
    if (r.shard_taken[i]) continue;
    shard_t *s = shards[i].load(std::memory_order_relaxed);
    if (!s) {
      s = new shard_t;
      shards[i].store(s, std::memory_order_release);
      if (shards_made.load(std::memory_order_relaxed) <= i)
        shards_made.store(i + 1, std::memory_order_release);
    }
    r.shard_taken[i] = true;
    keeper.index = i;
    my_shard = s;
    return s;
  }
  return nullptr;
}

inline shard_t *shard() {
  shard_t *s = my_shard;
  if (__builtin_expect(s != nullptr, 1)) return s;
  return take_shard();
}

cell_t *make_cells(std::atomic<cell_t *> &slot, size_t n) {
  cell_t *cells = new cell_t[n];
  for (size_t i = 0; i < n; i++)
    cells[i].store(0, std::memory_order_relaxed);
  slot.store(cells, std::memory_order_release);
  return cells;
}

// The owner's add: nobody else writes the cell, so no read-modify-write is needed.
inline void bump(cell_t &c, uint64_t n) {
  c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

template <typename F>
void each_shard(F fn) {
  unsigned made = shards_made.load(std::memory_order_acquire);
  for (unsigned i = 0; i < made; i++)
    if (shard_t *s = shards[i].load(std::memory_order_acquire)) fn(s);
}

constexpr uint64_t pow10_table[20] = {1ull,
                                      10ull,
                                      100ull,
                                      1000ull,
                                      10000ull,
                                      100000ull,
                                      1000000ull,
                                      10000000ull,
                                      100000000ull,
                                      1000000000ull,
                                      10000000000ull,
                                      100000000000ull,
                                      1000000000000ull,
                                      10000000000000ull,
                                      100000000000000ull,
                                      1000000000000000ull,
                                      10000000000000000ull,
                                      100000000000000000ull,
                                      1000000000000000000ull,
                                      10000000000000000000ull};

// The cell of a duration: 0 for zero, else 1 + (digits - 1) * 90 + (two leading digits - 10).
// hist_cells when it is out of range.
inline uint32_t cell_of_ns(uint64_t ns) {
  if (ns == 0) return 0;
  if (ns >= pow10_table[decades]) return hist_cells;
  // Decimal digits from the binary length: a guess that is at most one short.
  uint32_t digits = ((64 - uint32_t(__builtin_clzll(ns))) * 1233) >> 12;
  digits += ns >= pow10_table[digits];
  uint32_t lead = digits == 1
                      ? uint32_t(ns) * 10
                      : (ns < (1ull << 32) ? uint32_t(ns) / uint32_t(pow10_table[digits - 2])
                                           : uint32_t(ns / pow10_table[digits - 2]));
  return 1 + (digits - 1) * 90 + (lead - 10);
}

// The llhist bin of a cell, its lower edge in seconds: lead * 10^(digits - 2) ns.
hist_bucket_t bucket_of_cell(uint32_t cell) {
  if (cell == 0) return {0, 0};
  uint32_t digits = (cell - 1) / 90 + 1;
  int lead = int((cell - 1) % 90) + 10;
  // lead * 10^(digits - 11) s, and a bucket's lower edge is val * 10^(exp - 1).
  return {int8_t(lead), int8_t(int(digits) - 10)};
}

}  // namespace

stats_sharded_u64_t::stats_sharded_u64_t() {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (!r.free_counter_ids.empty()) {
    id = r.free_counter_ids.back();
    r.free_counter_ids.pop_back();
  } else if (r.next_counter_id < counter_chunk * counter_chunks) {
    id = r.next_counter_id++;
  } else {
    id = no_id;  // every add spills
  }
}

stats_sharded_u64_t::~stats_sharded_u64_t() {
  if (id == no_id) return;
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  each_shard([&](shard_t *s) {
    if (cell_t *chunk = s->chunks[id / counter_chunk].load(std::memory_order_acquire))
      chunk[id % counter_chunk].store(0, std::memory_order_relaxed);
  });
  r.free_counter_ids.push_back(id);
}

void stats_sharded_u64_t::add(uint64_t n) {
  shard_t *s = shard();
  if (__builtin_expect(!s || id == no_id, 0)) {
    spill.fetch_add(n, std::memory_order_relaxed);
    return;
  }
  std::atomic<cell_t *> &slot = s->chunks[id / counter_chunk];
  cell_t *chunk = slot.load(std::memory_order_relaxed);
  if (__builtin_expect(!chunk, 0)) chunk = make_cells(slot, counter_chunk);
  bump(chunk[id % counter_chunk], n);
}

uint64_t stats_sharded_u64_t::load(std::memory_order) const {
  uint64_t sum = spill.load(std::memory_order_relaxed);
  if (id == no_id) return sum;
  each_shard([&](shard_t *s) {
    if (const cell_t *chunk = s->chunks[id / counter_chunk].load(std::memory_order_acquire))
      sum += chunk[id % counter_chunk].load(std::memory_order_relaxed);
  });
  return sum;
}

int stats_shard_hist_acquire(void) {
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  if (!r.free_hist_ids.empty()) {
    uint32_t id = r.free_hist_ids.back();
    r.free_hist_ids.pop_back();
    return int(id);
  }
  if (r.next_hist_id < hist_ids) return int(r.next_hist_id++);
  return -1;
}

void stats_shard_hist_release(int id) {
  if (id < 0 || uint32_t(id) >= hist_ids) return;
  registry_t &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  each_shard([&](shard_t *s) {
    if (cell_t *bins = s->hists[id].load(std::memory_order_acquire))
      for (uint32_t i = 0; i < hist_cells; i++)
        bins[i].store(0, std::memory_order_relaxed);
  });
  r.free_hist_ids.push_back(uint32_t(id));
}

bool stats_shard_hist_record_ns(int id, uint64_t ns) {
  uint32_t cell = cell_of_ns(ns);
  if (cell >= hist_cells || id < 0 || uint32_t(id) >= hist_ids) return false;
  shard_t *s = shard();
  if (__builtin_expect(!s, 0)) return false;
  std::atomic<cell_t *> &slot = s->hists[id];
  cell_t *bins = slot.load(std::memory_order_relaxed);
  if (__builtin_expect(!bins, 0)) bins = make_cells(slot, hist_cells);
  bump(bins[cell], 1);
  return true;
}

bool stats_shard_hist_accumulate(int id, hist_t *dst) {
  if (!dst || id < 0 || uint32_t(id) >= hist_ids) return false;
  each_shard([&](shard_t *s) {
    const cell_t *bins = s->hists[id].load(std::memory_order_acquire);
    if (!bins) return;
    for (uint32_t i = 0; i < hist_cells; i++)
      if (uint64_t n = bins[i].load(std::memory_order_relaxed))
        hist_insert_bucket(dst, bucket_of_cell(i), n);
  });
  return true;
}
