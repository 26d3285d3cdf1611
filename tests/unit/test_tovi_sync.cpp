// The annotated locks: each excludes the others' holders (a plain counter raised under it by
// several threads ends exact, and the thread sanitizer sees the hand-over), the recursive one may
// be taken again by its holder, and a unique lock let go early is not released twice.
#include "tovi/tovi_sync.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

template <typename lock_t>
void raise_under_lock(lock_t &lock, long &counter, int threads, int rounds) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++)
    workers.emplace_back([&] {
      for (int i = 0; i < rounds; i++) {
        tovi_lock_guard_c<lock_t> guard(lock);
        counter++;
      }
    });
  for (std::thread &w : workers)
    w.join();
}

TEST(tovi_sync, every_lock_excludes_the_other_threads) {
  constexpr int threads = 4, rounds = 20000;
  {
    tovi_mutex_c lock;
    long counter = 0;
    raise_under_lock(lock, counter, threads, rounds);
    EXPECT_EQ(counter, long(threads) * rounds);
  }
  {
    tovi_recursive_mutex_c lock;
    long counter = 0;
    raise_under_lock(lock, counter, threads, rounds);
    EXPECT_EQ(counter, long(threads) * rounds);
  }
  {
    tovi_spinlock_c lock;
    long counter = 0;
    raise_under_lock(lock, counter, threads, rounds);
    EXPECT_EQ(counter, long(threads) * rounds);
  }
}

TEST(tovi_sync, recursive_lock_is_taken_again_by_its_holder_and_try_lock_tells_who_holds) {
  tovi_recursive_mutex_c recursive;
  tovi_lock_guard_c<tovi_recursive_mutex_c> outer(recursive);
  {
    tovi_lock_guard_c<tovi_recursive_mutex_c> inner(recursive);  // would deadlock if not recursive
  }
  bool other_got_it = true;
  std::thread([&] {
    other_got_it = recursive.try_lock();
    if (other_got_it) recursive.unlock();
  }).join();
  EXPECT_FALSE(other_got_it);

  tovi_spinlock_c spin;
  ASSERT_TRUE(spin.try_lock());
  EXPECT_FALSE(spin.try_lock());
  spin.unlock();
  EXPECT_TRUE(spin.try_lock());
  spin.unlock();
}

TEST(tovi_sync, unique_lock_let_go_early_is_released_once) {
  tovi_mutex_c lock;
  {
    tovi_unique_lock_c<tovi_mutex_c> guard(lock);
    guard.unlock();
    // Free for others while let go.
    bool other_got_it = false;
    std::thread([&] {
      other_got_it = lock.try_lock();
      if (other_got_it) lock.unlock();
    }).join();
    EXPECT_TRUE(other_got_it);
    guard.lock();
  }
  // Released exactly once by the destructor: free again, and not released a second time (which
  // would make the next try_lock fail or the mutex misbehave).
  ASSERT_TRUE(lock.try_lock());
  lock.unlock();
  {
    tovi_unique_lock_c<tovi_mutex_c> guard(lock);
    guard.unlock();
  }  // the destructor must not unlock a lock it no longer holds
  ASSERT_TRUE(lock.try_lock());
  lock.unlock();
}

}  // namespace
