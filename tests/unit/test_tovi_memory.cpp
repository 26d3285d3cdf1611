#include "tovi/tovi_memory.h"

#include <ck_malloc.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t live_magic = 0x11feull;
constexpr uint64_t dead_magic = 0xdeadull;

struct shared_record_t {
  std::atomic<uint64_t> magic;
  uint64_t a, b;  // always equal while the record is reachable
};

std::atomic<int> hooks_run{0};

void poison_hook(void *p) {
  // A reader that still sees the record after this ran would find the poison.
  static_cast<shared_record_t *>(p)->magic.store(dead_magic, std::memory_order_relaxed);
  hooks_run.fetch_add(1);
}

void count_hook(void *) {
  hooks_run.fetch_add(1);
}

shared_record_t *make_record(uint64_t v) {
  auto *r = static_cast<shared_record_t *>(tovi_memory_safe_malloc(sizeof(shared_record_t)));
  r->magic.store(live_magic, std::memory_order_relaxed);
  r->a = r->b = v;
  return r;
}

// Calls maintenance until the predicate holds or two seconds pass.
template <typename F>
bool maintain_until(F done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    tovi_memory_maintenance();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(tovi_memory, readers_never_see_a_reclaimed_record_while_a_writer_replaces_it) {
  tovi_memory_init();
  hooks_run = 0;
  std::atomic<shared_record_t *> current{make_record(0)};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bad{0}, reads{0};

  std::vector<std::thread> readers;
  for (int i = 0; i < 3; i++) {
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        tovi_memory_begin();
        // Acquire pairs with the writer's release: the record's fields are initialised.
        shared_record_t *r = current.load(std::memory_order_acquire);
        for (int spin = 0; spin < 50; spin++) {
          if (r->magic.load(std::memory_order_relaxed) != live_magic || r->a != r->b) bad++;
        }
        tovi_memory_end();
        reads++;
        tovi_memory_maintenance();
      }
    });
  }

  // Replace for a while, as a steady writer would, with maintenance between batches.
  int replacements = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) {
    for (int i = 0; i < 64; i++) {
      replacements++;
      shared_record_t *old =
          current.exchange(make_record(uint64_t(replacements)), std::memory_order_acq_rel);
      tovi_memory_safe_free_with_cleanup(old, poison_hook);
    }
    tovi_memory_maintenance();
    std::this_thread::yield();
  }
  stop = true;
  for (auto &t : readers)
    t.join();

  EXPECT_EQ(bad.load(), 0u);
  EXPECT_GT(reads.load(), 0u);
  // The writer's pending frees do not pile up: most were done during the run already.
  EXPECT_GT(hooks_run.load(), replacements / 2);
  tovi_memory_synchronize();
  EXPECT_EQ(hooks_run.load(), replacements);
  tovi_memory_safe_free(current.load());
  tovi_memory_synchronize();
}

TEST(tovi_memory, hook_waits_for_a_reader_that_was_inside_its_bracket) {
  hooks_run = 0;
  std::atomic<int> phase{0};
  std::thread reader([&] {
    tovi_memory_begin();
    tovi_memory_begin();  // nested: only the outermost end lets reclamation through
    phase = 1;
    while (phase.load() != 2)
      std::this_thread::yield();
    tovi_memory_end();
    phase = 3;
    while (phase.load() != 4)
      std::this_thread::yield();
    tovi_memory_end();
    phase = 5;
  });
  while (phase.load() != 1)
    std::this_thread::yield();

  tovi_memory_safe_free_with_cleanup(tovi_memory_safe_malloc(64), count_hook);
  for (int i = 0; i < 50; i++) {
    tovi_memory_maintenance();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  EXPECT_EQ(hooks_run.load(), 0);

  phase = 2;
  while (phase.load() != 3)
    std::this_thread::yield();
  for (int i = 0; i < 50; i++)
    tovi_memory_maintenance();
  EXPECT_EQ(hooks_run.load(), 0) << "an inner end must not end the bracket";

  phase = 4;
  while (phase.load() != 5)
    std::this_thread::yield();
  EXPECT_TRUE(maintain_until([] { return hooks_run.load() == 1; }));
  reader.join();
}

TEST(tovi_memory, an_exiting_thread_hands_its_pending_frees_on) {
  hooks_run = 0;
  tovi_memory_begin();  // keeps the other thread's free from completing before it exits
  std::thread freer([] {
    for (int i = 0; i < 10; i++)
      tovi_memory_safe_free_with_cleanup(tovi_memory_safe_malloc(32), count_hook);
    tovi_memory_maintenance();
  });
  freer.join();
  EXPECT_EQ(hooks_run.load(), 0);
  tovi_memory_end();
  EXPECT_TRUE(maintain_until([] { return hooks_run.load() == 10; }));
}

TEST(tovi_memory, depth_counts_nesting_and_deferred_calls_run) {
  EXPECT_EQ(tovi_memory_depth(), 0);
  {
    tovi_memory_scope_c outer;
    tovi_memory_scope_c inner;
    EXPECT_EQ(tovi_memory_depth(), 2);
  }
  EXPECT_EQ(tovi_memory_depth(), 0);

  static std::atomic<int> deferred_ran{0};
  int *plain = new int(7);
  tovi_memory_defer(
      [](void *p) {
        deferred_ran += *static_cast<int *>(p);
        delete static_cast<int *>(p);
      },
      plain);
  tovi_memory_synchronize();
  EXPECT_EQ(deferred_ran.load(), 7);
}

TEST(tovi_memory, allocation_edges) {
  EXPECT_EQ(tovi_memory_safe_calloc(SIZE_MAX / 2, 4), nullptr);
  EXPECT_EQ(tovi_memory_safe_malloc(SIZE_MAX - 8), nullptr);
  auto *zeroed = static_cast<unsigned char *>(tovi_memory_safe_calloc(100, 3));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 300; i++)
    ASSERT_EQ(zeroed[i], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(zeroed) % 16, 0u);
  tovi_memory_safe_free(zeroed);
  tovi_memory_safe_free(nullptr);
  EXPECT_EQ(tovi_memory_safe_strdup(nullptr), nullptr);
  char *copy = tovi_memory_safe_strdup("queltd");
  EXPECT_STREQ(copy, "queltd");
  tovi_memory_safe_free(copy);

  // The Concurrency Kit allocator keeps the contents when a map grows.
  auto *m = static_cast<char *>(tovi_memory_ck_malloc.malloc(8));
  memcpy(m, "abcdefg", 8);
  m = static_cast<char *>(tovi_memory_ck_malloc.realloc(m, 8, 64, true));
  EXPECT_STREQ(m, "abcdefg");
  tovi_memory_ck_malloc.free(m, 64, false);
  tovi_memory_synchronize();
}

TEST(tovi_memory, double_free_is_fatal) {
  EXPECT_DEATH(
      {
        void *p = tovi_memory_safe_malloc(16);
        tovi_memory_safe_free(p);
        tovi_memory_safe_free(p);
      },
      "\\[FATAL\\] assertion");
}

}  // namespace
