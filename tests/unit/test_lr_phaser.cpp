#include "rules/lr_phaser_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

typedef std::map<int, int> table_t;

TEST(lr_phaser, every_write_reaches_both_copies) {
  lr_phaser_c<table_t> phaser;
  EXPECT_TRUE(phaser.read_op([](const table_t &t) { return t.empty(); }));
  // Each write flips the copy that readers use; a change made to one copy only would be
  // missing every other time.
  for (int i = 1; i <= 10; i++) {
    int calls = 0;
    phaser.write_op([&](table_t &t) {
      calls++;
      t[i] = i * i;
    });
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(phaser.read_op([](const table_t &t) { return t.size(); }), size_t(i));
  }
  phaser.write_op([](table_t &t) { t.erase(4); });
  for (int round = 0; round < 2; round++) {
    phaser.write_op([](table_t &) {});  // flip to the other copy and back
    phaser.read_op([](const table_t &t) {
      EXPECT_EQ(t.size(), 9u);
      EXPECT_EQ(t.count(4), 0u);
      EXPECT_EQ(t.at(10), 100);
    });
  }
}

TEST(lr_phaser, a_write_that_throws_leaves_the_copies_equal) {
  lr_phaser_c<table_t> phaser;
  phaser.write_op([](table_t &t) { t[1] = 1; });

  // Throwing on the first copy: the change is applied to neither.
  EXPECT_THROW(phaser.write_op([](table_t &t) {
    t[2] = 2;
    throw std::runtime_error("first");
  }),
               std::runtime_error);
  // Throwing on the second copy, after readers moved to the first: applied to both.
  int calls = 0;
  EXPECT_THROW(phaser.write_op([&](table_t &t) {
    t[3] = 3;
    if (++calls == 2) throw std::runtime_error("second");
  }),
               std::runtime_error);

  // The mutex was released (this would hang otherwise) and both copies agree.
  for (int round = 0; round < 2; round++) {
    phaser.write_op([](table_t &) {});
    EXPECT_EQ(phaser.read_op([](const table_t &t) { return t; }), (table_t{{1, 1}, {3, 3}}));
  }
}

TEST(lr_phaser, writer_waits_for_a_reader_inside_while_new_readers_proceed) {
  lr_phaser_c<table_t> phaser;
  phaser.write_op([](table_t &t) { t[0] = 1; });

  std::atomic<bool> reader_inside{false}, release_reader{false}, writer_done{false};
  int seen_by_slow_reader = -1;
  std::thread slow_reader([&] {
    phaser.read_op([&](const table_t &t) {
      reader_inside = true;
      while (!release_reader)
        std::this_thread::yield();
      seen_by_slow_reader = t.at(0);
    });
  });
  while (!reader_inside)
    std::this_thread::yield();

  std::thread writer([&] {
    phaser.write_op([](table_t &t) { t[0] = 2; });
    writer_done = true;
  });

  // New readers are never held up by the waiting writer and soon see the new table.
  int seen = 1;
  while (seen != 2)
    seen = phaser.read_op([](const table_t &t) { return t.at(0); });
  // The writer has published the new copy but cannot finish while the slow reader is inside.
  EXPECT_FALSE(writer_done);

  release_reader = true;
  slow_reader.join();
  writer.join();
  EXPECT_TRUE(writer_done);
  EXPECT_EQ(seen_by_slow_reader, 1) << "the slow reader's copy changed under it";
  phaser.read_op([](const table_t &t) { EXPECT_EQ(t.at(0), 2); });
}

// Readers keep reading while a writer replaces every entry, one write per generation. A reader
// must always see one whole generation (every value equal), never one older than it saw before.
TEST(lr_phaser, readers_see_whole_tables_while_a_writer_replaces_entries) {
  constexpr int entries = 64;
  constexpr int generations = 500;
  constexpr int readers = 2;
  lr_phaser_c<table_t> phaser;
  phaser.write_op([](table_t &t) {
    for (int k = 0; k < entries; k++)
      t[k] = 0;
  });

  std::atomic<bool> stop{false};
  std::atomic<int> torn{0}, went_back{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; r++) {
    threads.emplace_back([&] {
      int last = 0;
      long n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        int generation = phaser.read_op([&](const table_t &t) {
          int first = t.begin()->second;
          for (const auto &[key, value] : t)
            if (value != first || int(t.size()) != entries) torn++;
          return first;
        });
        if (generation < last) went_back++;
        last = generation;
        if (++n % 16 == 0) reads += 16;
      }
    });
  }

  // Write while the readers are known to be reading: every generation, and more until they have
  // done a good number of reads since the writes began.
  while (reads.load() == 0)
    std::this_thread::yield();
  const long reads_before = reads.load();
  int g = 1;
  for (; g <= generations || reads.load() < reads_before + 2000; g++) {
    phaser.write_op([g](table_t &t) {
      // Replace entries: erase and insert anew, so that the table's nodes really change.
      for (int k = 0; k < entries; k++) {
        t.erase(k);
        t.emplace(k, g);
      }
    });
  }
  stop = true;
  for (auto &t : threads)
    t.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(went_back.load(), 0);
  phaser.read_op([&](const table_t &t) {
    for (const auto &[key, value] : t)
      EXPECT_EQ(value, g - 1);
  });
}

}  // namespace
