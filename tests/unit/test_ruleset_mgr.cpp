#include "rules/registry_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

namespace {

ruleset_sp make_ruleset(uint64_t id, int32_t severity = 1) {
  ruleset_sp r = ruleset_safe_alloc(1);
  r->event_criteria_id = id;
  r->metric_type = RULE_NUMERIC;
  r->metric_name = strdup("load");
  r->rules[0].severity = severity;
  return r;
}

TEST(ruleset_mgr, unknown_ids_give_empty_pointers_and_change_nothing) {
  ruleset_mgr_c mgr;
  EXPECT_FALSE(mgr.get_by_id(5));
  EXPECT_FALSE(mgr.remove_by_id(5));
  ruleset_sp r = make_ruleset(6);
  mgr.add_by_id(r);
  EXPECT_FALSE(mgr.remove_by_id(5));
  EXPECT_EQ(mgr.size(), 1u);
  EXPECT_EQ(mgr.get_by_id(6), r);
  ruleset_sp none;
  EXPECT_FALSE(mgr.add_by_id(none));
  EXPECT_EQ(mgr.size(), 1u);
}

TEST(ruleset_mgr, replacing_keeps_earlier_pointers_intact) {
  ruleset_mgr_c mgr;
  ruleset_sp first = make_ruleset(9, 1);
  mgr.add_by_id(first);
  ruleset_sp held = mgr.get_by_id(9);
  first.reset();

  ruleset_sp second = make_ruleset(9, 2);
  EXPECT_TRUE(mgr.add_by_id(second));
  EXPECT_EQ(mgr.size(), 1u);
  EXPECT_EQ(mgr.get_by_id(9), second);
  // The earlier pointer still refers to the old, whole ruleset, now held only by us.
  ASSERT_TRUE(held);
  EXPECT_NE(held, second);
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(held->rules[0].severity, 1);
  EXPECT_STREQ(held->metric_name, "load");
}

TEST(ruleset_mgr, remove_hands_back_the_entry) {
  ruleset_mgr_c mgr;
  ruleset_sp r = make_ruleset(3);
  mgr.add_by_id(r);
  ruleset_sp removed = mgr.remove_by_id(3);
  EXPECT_EQ(removed, r);
  EXPECT_FALSE(mgr.get_by_id(3));
  EXPECT_EQ(mgr.size(), 0u);
  // Both copies of the table let go of it: only the two local pointers remain.
  EXPECT_EQ(r.use_count(), 2);
}

TEST(ruleset_mgr, iterate_calls_once_per_entry) {
  ruleset_mgr_c mgr;
  int calls = 0;
  mgr.iterate([&](uint64_t, const ruleset_sp &) { calls++; });
  EXPECT_EQ(calls, 0);

  for (uint64_t id = 1; id <= 50; id++) {
    ruleset_sp r = make_ruleset(id * 1000);
    mgr.add_by_id(r);
  }
  std::map<uint64_t, int> seen;
  mgr.iterate([&](uint64_t id, const ruleset_sp &r) {
    seen[id]++;
    EXPECT_EQ(r->event_criteria_id, id);
  });
  EXPECT_EQ(seen.size(), 50u);
  for (const auto &[id, n] : seen)
    EXPECT_EQ(n, 1) << id;
}

TEST(ruleset_mgr, the_global_registry) {
  ruleset_mgr.reset();
  EXPECT_FALSE(get_ruleset_by_id(1));  // before the rules module starts
  ruleset_mgr = std::make_unique<ruleset_mgr_c>();
  ruleset_sp r = make_ruleset(1);
  ruleset_mgr->add_by_id(r);
  EXPECT_EQ(get_ruleset_by_id(1), r);
  EXPECT_FALSE(get_ruleset_by_id(2));
  ruleset_mgr.reset();
}

// Readers keep looking rulesets up while a writer replaces, removes and re-adds them. Every
// pointer a reader gets must be a whole ruleset of the id it asked for.
TEST(ruleset_mgr, lookups_stay_sound_while_entries_are_replaced) {
  ruleset_mgr_c mgr;
  constexpr uint64_t ids = 32;
  for (uint64_t id = 0; id < ids; id++) {
    ruleset_sp r = make_ruleset(id);
    mgr.add_by_id(r);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<long> found{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; t++) {
    readers.emplace_back([&, t] {
      long n = 0;
      for (uint64_t i = uint64_t(t); !stop.load(std::memory_order_relaxed); i++) {
        ruleset_sp r = mgr.get_by_id(i % ids);
        if (!r) continue;  // between a removal and its re-adding
        if (r->event_criteria_id != i % ids || r->rules.size() != 1 ||
            std::strcmp(r->metric_name, "load") != 0)
          wrong++;
        if (++n % 64 == 0) found += 64;
      }
    });
  }
  // Write while the readers are known to be reading: at least 300 rounds, and on until they have
  // done a good number of lookups since the writes began.
  while (found.load() == 0)
    std::this_thread::yield();
  const long found_before = found.load();
  for (int round = 1; round <= 300 || found.load() < found_before + 10000; round++) {
    const uint64_t id = uint64_t(round) % ids;
    if (round % 3 == 0) {
      ruleset_sp old = mgr.remove_by_id(id);
      ASSERT_TRUE(old);
      EXPECT_EQ(old->event_criteria_id, id);
    }
    ruleset_sp r = make_ruleset(id, round);
    mgr.add_by_id(r);
  }
  stop = true;
  for (auto &t : readers)
    t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(mgr.size(), ids);
}

// A ruleset's destructor drops its streams and cancels its timers, and what that sets off may
// write to the registry. Replacing or removing the last reference must therefore destroy the old
// ruleset only after the write has let go of the writers' mutex, also while another thread keeps
// writing.
TEST(ruleset_mgr, a_displaced_ruleset_dies_outside_the_write) {
  ruleset_mgr_c mgr;
  std::atomic<int> destroyed{0};
  auto writing_on_destruction = [&](uint64_t id) {
    ruleset_t *raw = new ruleset_t();
    raw->event_criteria_id = id;
    return ruleset_sp(raw, [&mgr, &destroyed](ruleset_t *r) {
      ruleset_sp follower = make_ruleset(r->event_criteria_id + 1000);
      mgr.add_by_id(follower);  // deadlocks when run inside the displacing write
      mgr.remove_by_id(r->event_criteria_id + 2000);
      delete r;
      destroyed++;
    });
  };
  std::atomic<bool> stop{false};
  std::thread other_writer([&] {
    for (uint64_t i = 0; !stop.load(); i++) {
      ruleset_sp r = make_ruleset(5000 + i % 7);
      mgr.add_by_id(r);
    }
  });
  std::thread displacer([&] {
    for (uint64_t id = 1; id <= 20; id++) {
      ruleset_sp r = writing_on_destruction(id);
      mgr.add_by_id(r);
      r.reset();
      ruleset_sp replacement = make_ruleset(id);
      mgr.add_by_id(replacement);  // displaces the last reference
      r = writing_on_destruction(id);
      mgr.add_by_id(r);
      r.reset();
      mgr.remove_by_id(id);  // the same through removal
    }
  });
  // A deadlock never comes back: give up after a generous wait instead of hanging the suite.
  for (int waited = 0; destroyed.load() < 40 && waited < 20000; waited++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop = true;
  if (destroyed.load() < 40) {
    ADD_FAILURE() << "a write deadlocked while destroying a displaced ruleset";
    std::_Exit(1);
  }
  displacer.join();
  other_writer.join();
  EXPECT_EQ(destroyed.load(), 40);
  EXPECT_TRUE(mgr.get_by_id(1001));  // written by a destructor
}

}  // namespace
