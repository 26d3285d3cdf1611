// Locks that clang's thread-safety analysis can check.
//
// libstdc++'s std::mutex carries no capability annotation, so a field marked
// ABSL_GUARDED_BY(some_std_mutex) is checked against nothing. These wrappers are the same locks
// with the annotations: declare the lock as one of them, mark what it guards with
// ABSL_GUARDED_BY / ABSL_PT_GUARDED_BY, mark functions that expect it held with
// ABSL_EXCLUSIVE_LOCKS_REQUIRED and functions that take it with ABSL_LOCKS_EXCLUDED, and take it
// through the scoped lockers below. A clang build with -Wthread-safety (scripts/test's build-tsa)
// then refuses an access without the lock.
//
// They cost what the lock they wrap costs: every member is an inline forwarding call.
#pragma once

#include <absl/base/thread_annotations.h>

#include <atomic>
#include <mutex>

// A std::mutex. Also a BasicLockable, so std::condition_variable_any can wait on it.
class ABSL_LOCKABLE tovi_mutex_c {
 public:
  tovi_mutex_c() = default;
  tovi_mutex_c(const tovi_mutex_c &) = delete;
  tovi_mutex_c &operator=(const tovi_mutex_c &) = delete;

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { _m.lock(); }
  void unlock() ABSL_UNLOCK_FUNCTION() { _m.unlock(); }
  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) { return _m.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see it (a callback that
  // its caller runs under the lock). Checks nothing at run time.
  void assert_held() const ABSL_ASSERT_EXCLUSIVE_LOCK() {}

 private:
  std::mutex _m;
};

// A std::recursive_mutex: the same thread may take it again (locked operations that call each
// other). The analysis treats it as a plain lock, so an inner function states its need with
// ABSL_EXCLUSIVE_LOCKS_REQUIRED rather than taking the lock again.
class ABSL_LOCKABLE tovi_recursive_mutex_c {
 public:
  tovi_recursive_mutex_c() = default;
  tovi_recursive_mutex_c(const tovi_recursive_mutex_c &) = delete;
  tovi_recursive_mutex_c &operator=(const tovi_recursive_mutex_c &) = delete;

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { _m.lock(); }
  void unlock() ABSL_UNLOCK_FUNCTION() { _m.unlock(); }
  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) { return _m.try_lock(); }
  void assert_held() const ABSL_ASSERT_EXCLUSIVE_LOCK() {}

 private:
  std::recursive_mutex _m;
};

// A fetch-and-store spinlock for critical sections of a few instructions, where a sleeping lock
// would cost more than the wait. Zero-initialised it is unlocked, so it may live in records made
// with calloc or value-initialised.
class ABSL_LOCKABLE tovi_spinlock_c {
 public:
  tovi_spinlock_c() = default;
  tovi_spinlock_c(const tovi_spinlock_c &) = delete;
  tovi_spinlock_c &operator=(const tovi_spinlock_c &) = delete;

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    // Acquire: what the previous holder wrote before its release is visible once we own it.
    while (_held.exchange(true, std::memory_order_acquire)) {
      // Wait on a plain load, so that waiters do not bounce the line between cores.
      while (_held.load(std::memory_order_relaxed))
        __builtin_ia32_pause();
    }
  }
  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) {
    return !_held.exchange(true, std::memory_order_acquire);
  }
  // Release: our writes inside the section happen before the next holder's acquire.
  void unlock() ABSL_UNLOCK_FUNCTION() { _held.store(false, std::memory_order_release); }
  void assert_held() const ABSL_ASSERT_EXCLUSIVE_LOCK() {}

 private:
  std::atomic<bool> _held{false};
};

// Holds a lock for its scope. Works with the three locks above (and with any annotated lock).
template <typename lock_t>
class ABSL_SCOPED_LOCKABLE tovi_lock_guard_c {
 public:
  explicit tovi_lock_guard_c(lock_t &l) ABSL_EXCLUSIVE_LOCK_FUNCTION(l) : _l(l) { _l.lock(); }
  ~tovi_lock_guard_c() ABSL_UNLOCK_FUNCTION() { _l.unlock(); }
  tovi_lock_guard_c(const tovi_lock_guard_c &) = delete;
  tovi_lock_guard_c &operator=(const tovi_lock_guard_c &) = delete;

 private:
  lock_t &_l;
};

// Holds a lock for its scope, and may let it go early and take it again (unlock, lock); the
// destructor releases it only when held.
template <typename lock_t>
class ABSL_SCOPED_LOCKABLE tovi_unique_lock_c {
 public:
  explicit tovi_unique_lock_c(lock_t &l) ABSL_EXCLUSIVE_LOCK_FUNCTION(l) : _l(l) { _l.lock(); }
  ~tovi_unique_lock_c() ABSL_UNLOCK_FUNCTION() {
    if (_held) _l.unlock();
  }
  tovi_unique_lock_c(const tovi_unique_lock_c &) = delete;
  tovi_unique_lock_c &operator=(const tovi_unique_lock_c &) = delete;

  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    _l.lock();
    _held = true;
  }
  void unlock() ABSL_UNLOCK_FUNCTION() {
    _held = false;
    _l.unlock();
  }

 private:
  lock_t &_l;
  bool _held = true;
};
