// A left-right phaser: a table that many threads read without ever blocking or taking a lock,
// and that one thread at a time changes.
//
// The phaser keeps two copies of the table. Readers use the copy that `_left_right` names; a
// writer changes the other copy, points new readers at it, waits until no reader is left on the
// old copy and then applies the same change to the old copy, so that both copies agree again.
// A reader therefore sees either the whole old table or the whole new one, never a table in the
// middle of a change, and a writer waits only for readers that were already inside.
//
// Readers announce themselves in one of two counters, chosen by `_version_index`. A writer flips
// the version between its two waits, so that readers arriving all the time cannot keep a counter
// from ever draining: the writer first waits for the counter that the next version will use
// (only stragglers from an earlier version can be in it), switches the version, and then waits
// for the readers of the old version, whose number can only shrink.
//
// Threads: read_op and write_op may be called from any thread. A function given to read_op must
// not call write_op on the same phaser (the writer would wait for that reader forever), and a
// function given to write_op must not call read_op or write_op on the same phaser. write_op
// runs its function twice, once on each copy: the function must be deterministic and leave both
// copies identical, and whatever it reports through its captures is written twice. Should it
// throw, the exception reaches the caller with the mutex released and, for a copyable table,
// both copies equal (the change applied to both, or to neither when the first run threw).
//
// Cost: a read is two atomic read-modify-writes and two loads; the table is held twice in
// memory. The counters and flags each sit on a cache line of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include "tovi/tovi_sync.h"

template <typename T>
class lr_phaser_c {
 public:
  enum state_e : uint32_t { left = 0, right = 1 };

  lr_phaser_c() = default;
  lr_phaser_c(const lr_phaser_c &) = delete;
  lr_phaser_c &operator=(const lr_phaser_c &) = delete;

  // Runs fn(const T&) on the copy that readers currently use and returns a copy of what fn
  // returns (never a reference into the table, which the next writer may change).
  // Never blocks. Safe against fn throwing: the reader leaves its counter either way.
  template <typename F>
  auto read_op(F &&fn) const {
    // Which counter we announce ourselves in does not matter for safety: a writer waits for
    // both in turn. Acquire is more than enough; a stale value only sends us to the other one.
    const uint64_t version = _version_index.load(std::memory_order_acquire);
    // Sequentially consistent: this increment and the load of _left_right below form one side
    // of a store-then-load handshake with the writer (it stores _left_right, then loads this
    // counter). With both sides in the single total order, either the writer sees us here and
    // waits for us, or we see its new _left_right.
    _n_readers[version].fetch_add(1, std::memory_order_seq_cst);
    reader_departure_t departure{&_n_readers[version]};
    // Sequentially consistent for the handshake above; an acquire load alone could be satisfied
    // before our increment is visible on weakly ordered machines. It also acquires the writer's
    // changes to the copy it names. On x86 this is a plain load.
    const state_e side = _left_right.load(std::memory_order_seq_cst);
    return fn(static_cast<const T &>(_instances[side]));
  }

  // Runs fn(T&) on both copies, one after the other, while holding the writers' mutex.
  // Blocks while another writer works and until readers of the old copy have left.
  template <typename F>
  void write_op(F &&fn) {
    tovi_lock_guard_c<tovi_mutex_c> guard(_writers_mutex);
    // Only writers change these two, and we hold the writers' mutex: relaxed would do; acquire
    // keeps the reasoning local.
    const uint64_t version = _version_index.load(std::memory_order_acquire);
    const state_e side = _left_right.load(std::memory_order_acquire);
    const state_e other = side == left ? right : left;

    // No reader can be entering the other copy: the previous writer waited every reader of it
    // out before it returned.
    apply_or_restore(fn, _instances[other], _instances[side]);
    // Sequentially consistent: publishes the changed copy (release) and is the store half of
    // the handshake with read_op's increment and load.
    _left_right.store(other, std::memory_order_seq_cst);
    // Readers still counted in the next version's counter come from an earlier version; wait
    // for them so that the counter is empty before new readers are sent to it.
    wait_for_index(1 - version);
    // Sequentially consistent: orders the switch after our store to _left_right and before the
    // loads of the wait below, in the same total order as the readers' increments.
    _version_index.exchange(1 - version, std::memory_order_seq_cst);
    // Every reader that might still be on the old copy announced itself in this counter.
    wait_for_index(version);
    apply_or_restore(fn, _instances[side], _instances[other]);
  }

  // Spins, yielding the thread between looks, until reader counter i is zero.
  void wait_for_index(uint64_t i) const {
    // Sequentially consistent: the load half of the handshake with read_op (see there), and it
    // synchronises with the readers' release decrements, so their reads of the copy happen
    // before whatever we do to it next.
    while (_n_readers[i & 1].load(std::memory_order_seq_cst) != 0)
      std::this_thread::yield();
  }

 private:
  // Runs fn on a copy that no reader is on. Should fn throw half-way, the copy is made equal to
  // the intact one again before the exception goes on, so that the two copies never drift apart.
  template <typename F>
  static void apply_or_restore(F &fn, T &target, const T &intact) {
    if constexpr (std::is_copy_assignable_v<T>) {
      try {
        fn(target);
      } catch (...) {
        target = intact;
        throw;
      }
    } else {
      fn(target);
    }
  }

  struct reader_departure_t {
    std::atomic<uint64_t> *counter;
    // Release: every read of the copy is finished before a writer can see the counter drop.
    ~reader_departure_t() { counter->fetch_sub(1, std::memory_order_release); }
  };

  T _instances[2];
  alignas(64) std::atomic<state_e> _left_right{left};
  alignas(64) std::atomic<uint64_t> _version_index{0};
  alignas(64) mutable std::atomic<uint64_t> _n_readers[2] = {0, 0};
  alignas(64) tovi_mutex_c _writers_mutex;
};
