// Per-thread shards: counters and duration histograms that a thread updates without a locked
// instruction and without writing a cache line that another thread writes, summed when read.
//
// Every thread that updates gets a shard of its own, a block of cells that it alone writes (a
// plain load and store, no read-modify-write). A counter or histogram is an id naming its cells
// in every shard; its value is the sum of those cells over every shard, read with relaxed loads.
// So a read sees every update that happened before it (and perhaps some concurrent ones): the
// figures are exact whenever they are read, and there is no merge step to wait for.
//
// A thread's shard outlives the thread: the next thread that needs one takes it over and adds
// to its cells, so nothing a finished thread counted is lost. At most stats_shard_limit threads
// hold shards at once; further threads, and a thread's updates made while it is exiting, fall
// back to one shared atomic per counter (exact as well, only slower) and to the caller's slow
// path for histograms.
//
// Threads: every function may be called from any thread. Lifetime: an id is given back when its
// counter or histogram is destroyed; nobody may update or read it concurrently with that (its
// cells are zeroed for the next owner).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct hist_t;

constexpr unsigned stats_shard_limit = 1024;

// A counter that only grows, kept in per-thread shards. Usable as a plain member or global (it
// reads like a std::atomic<uint64_t>: add and load). Not copyable.
struct stats_sharded_u64_t {
  stats_sharded_u64_t();
  ~stats_sharded_u64_t();
  stats_sharded_u64_t(const stats_sharded_u64_t &) = delete;
  stats_sharded_u64_t &operator=(const stats_sharded_u64_t &) = delete;

  // Adds n to the calling thread's cell; wraps at 2^64.
  void add(uint64_t n);
  void inc() { add(1); }
  // The sum of every cell: every add that happened before the call.
  uint64_t load(std::memory_order = std::memory_order_relaxed) const;

  uint32_t id;
  std::atomic<uint64_t> spill{0};  // adds that found no shard (see above)
};

// ---- Durations in nanoseconds, binned per thread ----
// A duration histogram's per-thread bins: one cell per log-linear bin (two significant decimal
// digits, the bins of llhist) from 1 ns to 10^13 ns, and zero. stats_recorder's histograms use
// these for stats_histogram_record_ns; other code has no need to call them.

// Takes an id for a new histogram's bins; -1 when every id is taken (then record elsewhere).
int stats_shard_hist_acquire(void);
// Zeroes the id's cells in every shard and gives the id back.
void stats_shard_hist_release(int id);
// Counts one duration of ns in the calling thread's bins of id. False when it could not (no
// shard for this thread, or ns of 10^13 and more): the caller records it another way.
bool stats_shard_hist_record_ns(int id, uint64_t ns);
// Adds the id's bins of every shard to dst, as seconds. False for a bad id or a null dst.
bool stats_shard_hist_accumulate(int id, hist_t *dst);
