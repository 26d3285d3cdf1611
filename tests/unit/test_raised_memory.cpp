// The memory of culled raised streams: bounded with the oldest forgotten first, entries taken
// once, and iteration in the order a store would save and load them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rules/rules.h"

namespace {

raised_memory_entry_t entry(uint64_t ecid, const std::string &sig, int32_t sev = 2) {
  raised_memory_entry_t e;
  e.ecid = ecid;
  e.signature = sig;
  e.sev = sev;
  e.rule = 1;
  e.culled_ms = 1700000000000 + ecid;
  return e;
}

std::vector<std::string> saved() {
  std::vector<std::string> out;
  raised_memory_each([&](const raised_memory_entry_t &e) {
    out.push_back(std::to_string(e.ecid) + ":" + e.signature + ":" + std::to_string(e.sev));
  });
  return out;
}

}  // namespace

TEST(raised_memory, bounded_oldest_first_taken_once_and_saved_in_order) {
  raised_memory_clear();
  raised_memory_set_limit(3);
  uint64_t evicted = raised_memory_evicted(), recalled = raised_memory_recalled();
  raised_memory_remember(entry(1, "a"));
  raised_memory_remember(entry(1, "b"));
  raised_memory_remember(entry(2, "a"));
  raised_memory_remember(entry(1, "a", 4));  // again: replaced, and now the newest
  EXPECT_EQ(saved(), (std::vector<std::string>{"1:b:2", "2:a:2", "1:a:4"}));
  raised_memory_remember(entry(3, "c"));  // full: 1:b, the oldest, goes
  EXPECT_EQ(raised_memory_evicted(), evicted + 1);
  EXPECT_EQ(saved(), (std::vector<std::string>{"2:a:2", "1:a:4", "3:c:2"}));

  raised_memory_entry_t got;
  EXPECT_FALSE(raised_memory_lookup(1, "b", &got));
  ASSERT_TRUE(raised_memory_take(1, "a", &got));
  EXPECT_EQ(got.sev, 4);
  EXPECT_FALSE(raised_memory_take(1, "a", &got));
  EXPECT_EQ(raised_memory_recalled(), recalled + 1);
  EXPECT_TRUE(raised_memory_forget(3, "c"));
  EXPECT_FALSE(raised_memory_forget(3, "c"));
  EXPECT_EQ(raised_memory_size(), 1u);

  // Reloading what was saved gives the same memory; forgetting a ruleset drops its entries.
  for (int i = 0; i < 1000; i++)
    raised_memory_remember(entry(9, std::to_string(i)));
  EXPECT_EQ(raised_memory_size(), 3u);
  std::vector<std::string> before = saved();
  std::vector<raised_memory_entry_t> copy;
  raised_memory_each([&](const raised_memory_entry_t &e) { copy.push_back(e); });
  raised_memory_clear();
  for (const auto &e : copy)
    raised_memory_remember(e);
  EXPECT_EQ(saved(), before);
  EXPECT_EQ(raised_memory_forget_ruleset(9), 3u);
  EXPECT_EQ(raised_memory_size(), 0u);
  raised_memory_set_limit(0);
  raised_memory_remember(entry(5, "x"));
  EXPECT_EQ(raised_memory_size(), 0u);
  raised_memory_set_limit(100000);
}
