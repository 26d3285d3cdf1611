#include "stats/stats_shard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "llhist/llhist.h"
#include "stats/stats.h"

namespace {

struct recorder_deleter {
  void operator()(stats_recorder_t *r) const { stats_recorder_free(r); }
};
using recorder_ptr = std::unique_ptr<stats_recorder_t, recorder_deleter>;

struct hist_deleter {
  void operator()(hist_t *h) const { hist_free(h); }
};
using hist_ptr = std::unique_ptr<hist_t, hist_deleter>;

}  // namespace

// Threads come and go (their shards are taken over by later threads), a reader sums while they
// add, and a counter made after another was destroyed reuses its id without its counts.
TEST(stats_shard, counters_stay_exact_across_threads_that_end_and_reused_ids) {
  auto reused = std::make_unique<stats_sharded_u64_t>();
  stats_sharded_u64_t counter;
  std::atomic<bool> done{false};
  uint64_t last_seen = 0;
  bool went_back = false;
  std::thread reader([&] {
    while (!done.load()) {
      uint64_t now = counter.load();
      went_back |= now < last_seen;
      last_seen = now;
    }
  });
  for (int wave = 0; wave < 3; wave++) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; t++)
      writers.emplace_back([&, t] {
        for (int i = 0; i < 20000; i++) {
          counter.add(uint64_t(t + 1));
          reused->inc();
        }
      });
    for (auto &w : writers)
      w.join();
    // Every add of the ended threads is there, read from any thread.
    EXPECT_EQ(counter.load(), uint64_t(wave + 1) * 20000u * 21u);
  }
  done = true;
  reader.join();
  EXPECT_FALSE(went_back);
  EXPECT_EQ(reused->load(), 3u * 6u * 20000u);
  uint32_t old_id = reused->id;
  reused.reset();
  stats_sharded_u64_t fresh;
  EXPECT_EQ(fresh.id, old_id);
  EXPECT_EQ(fresh.load(), 0u);
  fresh.add(5);
  EXPECT_EQ(fresh.load(), 5u);
}

// Durations recorded on live threads are in every snapshot at once (merged when read, no flush),
// in the very bins the histogram gives the same duration in seconds; durations beyond the
// per-thread range still count; a histogram of a later recorder starts empty.
TEST(stats_shard, durations_merge_on_read_into_the_bins_of_their_seconds) {
  std::vector<uint64_t> durations = {0,
                                     1,
                                     9,
                                     10,
                                     99,
                                     100,
                                     101,
                                     300,
                                     999,
                                     1000,
                                     4294967295ull,
                                     4294967296ull,
                                     9999999999999ull,
                                     10000000000000ull,
                                     123456789012345ull};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3000; i++)
    durations.push_back(rng() >> (rng() % 64));
  hist_ptr expected(hist_alloc());
  for (int t = 0; t < 2; t++)
    for (uint64_t ns : durations)
      hist_insert(expected.get(), double(ns) / 1e9, 1);

  for (int round = 0; round < 2; round++) {
    recorder_ptr rec(stats_recorder_alloc());
    stats_histogram_t *h = stats_register_histogram(stats_recorder_root(rec.get()), "took");
    ASSERT_NE(h, nullptr);
    hist_ptr empty(stats_histogram_snapshot(h));
    EXPECT_EQ(hist_sample_count(empty.get()), 0u) << "round " << round;

    std::atomic<int> recorded{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++)
      threads.emplace_back([&] {
        for (uint64_t ns : durations)
          stats_histogram_record_ns(h, ns);
        recorded++;
        while (!release.load())
          std::this_thread::yield();
      });
    while (recorded.load() < 2)
      std::this_thread::yield();
    hist_ptr snap(stats_histogram_snapshot(h));
    EXPECT_TRUE(hist_equal(snap.get(), expected.get())) << "round " << round;
    release = true;
    for (auto &t : threads)
      t.join();
  }
}
