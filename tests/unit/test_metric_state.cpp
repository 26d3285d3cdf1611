#include <gtest/gtest.h>

#include <json-c/json.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"

namespace {

const char *const kUuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

// A decoded message; the test owns one reference.
struct message_c {
  vask_metric_message_t *m;
  explicit message_c(const std::string &line) {
    m = vask_metric_message_create(line.data(), line.size());
    EXPECT_EQ(vask_message_decoder_parse_line(m, true), 1) << line;
  }
  ~message_c() { vask_metric_director_message_deref(m); }
  const vask_metric_id_t *id() const { return &m->id; }
};

std::string metric_line(const std::string &name, uint64_t ms, const std::string &type = "n",
                        const std::string &value = "1") {
  return "M\tb1\t" + std::to_string(ms / 1000) + "." +
         std::to_string(ms % 1000 * 1000 + 1000000).substr(1) + "\thost`mod`c_42_9`" + kUuid +
         "\t" + name + "\t" + type + "\t" + value;
}

uint32_t refs(const vask_metric_id_t *id, const char *sig, int duration, bool grouped,
              rule_metric_type_t type = RULE_NUMERIC) {
  tovi_memory_scope_c bracket;
  metric_window_t *mw = metric_window_find(type, id, sig, duration, grouped);
  return mw ? mw->refcnt.load() : 0;
}

class metric_state : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { metrics_state_init(64); }
};

TEST_F(metric_state, reservations_share_windows_by_duration_and_grouping) {
  message_c a(metric_line("share.a", 1700000000000));
  metric_window_reserve(RULE_NUMERIC, a.id(), "sig", 60000, false);
  metric_window_reserve(RULE_NUMERIC, a.id(), "sig", 60000, false);
  metric_window_reserve(RULE_NUMERIC, a.id(), "sig", 60000, true);
  EXPECT_EQ(refs(a.id(), "sig", 60000, false), 2u);
  EXPECT_EQ(refs(a.id(), "sig", 60000, true), 1u);
  // Another type or signature is another state.
  EXPECT_EQ(refs(a.id(), "other", 60000, false), 0u);
  EXPECT_EQ(metric_window_text(a.id(), "sig"), nullptr);

  // Both windows are fed; an absent value or a missing state feeds nothing.
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, a.m, "sig"), 2);
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, a.m, "nothing"), 0);
  message_c absent(metric_line("share.a", 1700000001000, "n", "[[null]]"));
  absent.m->value.type = METRIC_ABSENT;
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, absent.m, "sig"), 0);

  metric_window_cancel(RULE_NUMERIC, a.id(), "sig", 60000, false);
  EXPECT_EQ(refs(a.id(), "sig", 60000, false), 1u);
  metric_window_cancel(RULE_NUMERIC, a.id(), "sig", 60000, false);
  EXPECT_EQ(refs(a.id(), "sig", 60000, false), 0u);
  // A surplus cancel is refused (logged), and does not wrap the count of the window left.
  metric_window_cancel(RULE_NUMERIC, a.id(), "sig", 60000, false);
  EXPECT_EQ(refs(a.id(), "sig", 60000, true), 1u);
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, a.m, "sig"), 1);

  // After its last cancel a window comes back fresh.
  metric_window_reserve(RULE_NUMERIC, a.id(), "sig", 60000, false);
  EXPECT_EQ(refs(a.id(), "sig", 60000, false), 1u);
  {
    tovi_memory_scope_c bracket;
    metric_state_t *ms = metric_state_find(RULE_NUMERIC, a.id()->id, "share.a", 7, "sig");
    ASSERT_NE(ms, nullptr);
    json_object *all = metric_state_to_json(ms, -1, 0);
    json_object *one = metric_state_to_json(ms, 60000, 0);
    json_object *none = metric_state_to_json(ms, 5, 0);
    json_object *w;
    ASSERT_TRUE(json_object_object_get_ex(all, "windows", &w));
    EXPECT_EQ(json_object_array_length(w), 2u);
    ASSERT_TRUE(json_object_object_get_ex(none, "windows", &w));
    EXPECT_EQ(json_object_array_length(w), 0u);
    EXPECT_STREQ(json_object_get_string(json_object_object_get(one, "type")), "numeric");
    EXPECT_STREQ(json_object_get_string(json_object_object_get(one, "uuid")), kUuid);
    EXPECT_STREQ(json_object_get_string(json_object_object_get(one, "name")), "share.a");
    json_object_put(all);
    json_object_put(one);
    json_object_put(none);
  }
  metric_window_cancel(RULE_NUMERIC, a.id(), "sig", 60000, false);
  metric_window_cancel(RULE_NUMERIC, a.id(), "sig", 60000, true);
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, a.m, "sig"), 0);
}

TEST_F(metric_state, windows_accept_by_time_grouping_and_kind) {
  const uint64_t t = 1700000100000;
  message_c first(metric_line("accept.a", t));
  metric_window_reserve(RULE_NUMERIC, first.id(), "", 60000, false);
  metric_window_reserve(RULE_NUMERIC, first.id(), "", 60000, true);
  tovi_memory_scope_c bracket;
  metric_window_t *plain = metric_window_find(RULE_NUMERIC, first.id(), "", 60000, false);
  metric_window_t *grouped = metric_window_find(RULE_NUMERIC, first.id(), "", 60000, true);
  ASSERT_TRUE(plain && grouped);

  struct {
    uint64_t ms;
    const char *type, *value;
    bool plain_takes, grouped_takes;
  } cases[] = {
      {t, "n", "1", true, true},
      {t, "n", "2", false, true},             // same time: only grouped windows take it
      {t - 30000, "n", "3", false, true},     // 30 s older, within the grouped duration
      {t - 60000, "n", "4", false, false},    // a whole duration older
      {t + 1000, "s", "text", false, false},  // newer but not numeric
      {t + 2000, "n", "5", true, true},
  };
  for (const auto &c : cases) {
    message_c m(metric_line("accept.a", c.ms, c.type, c.value));
    EXPECT_EQ(metric_window_update(plain, m.m), c.plain_takes) << c.ms << " " << c.value;
    EXPECT_EQ(metric_window_update(grouped, m.m), c.grouped_takes) << c.ms << " " << c.value;
  }
  // A rejected string still moved the newest time of the windows it reached.
  EXPECT_EQ(plain->whence_ms, t + 2000);
  EXPECT_EQ(grouped->whence_ms, t + 2000);
  EXPECT_EQ(plain->stats.numeric->last_time, t + 2000);
  metric_window_cancel(RULE_NUMERIC, first.id(), "", 60000, false);
  metric_window_cancel(RULE_NUMERIC, first.id(), "", 60000, true);
}

TEST_F(metric_state, text_holders_use_one_key_whatever_the_rule_asks) {
  message_c m(metric_line("text.a", 1700000200000, "s", "up"));
  metric_window_reserve(RULE_TEXT, m.id(), "s1", 300000, true);
  metric_window_reserve(RULE_TEXT, m.id(), "s1", 60000, false);
  {
    tovi_memory_scope_c bracket;
    EXPECT_EQ(refs(m.id(), "s1", 0, false, RULE_TEXT), 2u);
    EXPECT_EQ(metric_state_update(RULE_TEXT, m.m, "s1"), 1);
    text_info_t *ti = metric_window_text(m.id(), "s1");
    ASSERT_NE(ti, nullptr);
    EXPECT_STREQ(text_info_value(ti), "up");
  }
  metric_window_cancel(RULE_TEXT, m.id(), "s1", 5, true);
  metric_window_cancel(RULE_TEXT, m.id(), "s1", 300000, false);
  tovi_memory_scope_c bracket;
  EXPECT_EQ(metric_window_text(m.id(), "s1"), nullptr);
}

TEST_F(metric_state, keys_too_long_to_find_are_not_reserved) {
  std::string sig(8304 - 110 - 4 + 1, 'x');  // with the 4-byte name: one byte too many
  message_c m(metric_line("long", 1700000300000));
  unsigned long before = metric_state_count();
  metric_window_reserve(RULE_NUMERIC, m.id(), sig.c_str(), 60000, false);
  EXPECT_EQ(metric_state_count(), before);
  sig.pop_back();
  metric_window_reserve(RULE_NUMERIC, m.id(), sig.c_str(), 60000, false);
  EXPECT_EQ(metric_state_count(), before + 1);
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, m.m, sig.c_str()), 1);
  metric_window_cancel(RULE_NUMERIC, m.id(), sig.c_str(), 60000, false);
  EXPECT_EQ(refs(m.id(), sig.c_str(), 60000, false), 0u);
}

// Names that come and go (one per container) leave nothing behind: a state whose last window
// went is unlinked and freed; one that still has a window is kept, and a reservation after the
// state went builds a fresh one.
TEST_F(metric_state, a_state_nothing_reserves_is_freed) {
  unsigned long before = metric_state_count();
  uint64_t freed = metric_states_freed();
  std::vector<std::unique_ptr<message_c>> names;
  for (int i = 0; i < 1000; i++) {
    names.push_back(
        std::make_unique<message_c>(metric_line("churn." + std::to_string(i), 1700000600000)));
    metric_window_reserve(RULE_NUMERIC, names.back()->id(), "", 60000, false);
    metric_window_reserve(RULE_NUMERIC, names.back()->id(), "", 300000, false);
  }
  EXPECT_EQ(metric_state_count(), before + 1000);
  for (auto &m : names)
    metric_window_cancel(RULE_NUMERIC, m->id(), "", 60000, false);
  EXPECT_EQ(metric_state_count(), before + 1000);  // each still has its 300 s window
  for (auto &m : names)
    metric_window_cancel(RULE_NUMERIC, m->id(), "", 300000, false);
  EXPECT_EQ(metric_state_count(), before);
  EXPECT_EQ(metric_states_freed(), freed + 1000);
  {
    tovi_memory_scope_c bracket;
    EXPECT_EQ(metric_state_find(RULE_NUMERIC, names[0]->id()->id, "churn.0", 7, ""), nullptr);
    EXPECT_EQ(metric_state_update(RULE_NUMERIC, names[0]->m, ""), 0);
  }
  metric_window_reserve(RULE_NUMERIC, names[0]->id(), "", 60000, false);
  EXPECT_EQ(metric_state_update(RULE_NUMERIC, names[0]->m, ""), 1);
  metric_window_cancel(RULE_NUMERIC, names[0]->id(), "", 60000, false);
  EXPECT_EQ(metric_state_count(), before);
  tovi_memory_synchronize();
}

// Two windows of one state reserved and cancelled from two threads: the state dies and is born
// again all the time, and no reservation may land in a state that is being unlinked.
TEST_F(metric_state, reserve_never_lands_in_a_dying_state) {
  message_c m(metric_line("race.state", 1700000700000));
  std::atomic<bool> stop{false};
  std::atomic<int> lost{0};
  auto churn = [&](int duration) {
    while (!stop.load()) {
      metric_window_reserve(RULE_NUMERIC, m.id(), "d", duration, false);
      if (refs(m.id(), "d", duration, false) == 0) lost++;
      metric_window_cancel(RULE_NUMERIC, m.id(), "d", duration, false);
      tovi_memory_maintenance();
    }
    tovi_memory_synchronize();
  };
  std::thread a(churn, 1000), b(churn, 2000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(lost.load(), 0);
  tovi_memory_scope_c bracket;
  EXPECT_EQ(metric_state_find(RULE_NUMERIC, m.id()->id, "race.state", 10, "d"), nullptr);
}

// A reservation taken while another thread cancels the same window to 0 must land on a window
// that stays linked: never on the one being unlinked.
TEST_F(metric_state, reserve_never_revives_a_window_being_unlinked) {
  message_c m(metric_line("race.a", 1700000400000));
  std::atomic<bool> stop{false};
  std::atomic<int> lost{0};
  auto churn = [&](bool check) {
    while (!stop.load()) {
      metric_window_reserve(RULE_NUMERIC, m.id(), "r", 1000, false);
      if (check && refs(m.id(), "r", 1000, false) == 0) lost++;
      metric_window_cancel(RULE_NUMERIC, m.id(), "r", 1000, false);
      tovi_memory_maintenance();
    }
    // Carry out this thread's frees before it exits instead of handing them over.
    tovi_memory_synchronize();
  };
  std::thread a(churn, false), b(churn, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_EQ(refs(m.id(), "r", 1000, false), 0u);
}

// Metrics that differ only in tags a group-by drops share one grouped window, and their workers
// feed it at once while the REST view reads it. Meant for the thread sanitizer build.
TEST_F(metric_state, grouped_windows_take_pushes_from_several_workers) {
  message_c proto(metric_line("grouped.a", 1700000500000));
  metric_window_reserve(RULE_NUMERIC, proto.id(), "g", 600000, true);
  const uint64_t base = 1700000500000;
  const int per_thread = 2000;
  auto feed = [&](int offset) {
    for (int i = 0; i < per_thread; i++) {
      message_c m(metric_line("grouped.a|ST[host:" + std::to_string(offset) + "]",
                              base + uint64_t(i) * 10 + uint64_t(offset)));
      EXPECT_EQ(metric_state_update(RULE_NUMERIC, m.m, "g"), 1);
    }
  };
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      tovi_memory_scope_c bracket;
      json_object *o = metric_state_to_json(
          metric_state_find(RULE_NUMERIC, proto.id()->id, "grouped.a", 9, "g"), -1, 0);
      EXPECT_NE(o, nullptr);
      json_object_put(o);
    }
  });
  std::thread w1(feed, 1), w2(feed, 2);
  w1.join();
  w2.join();
  stop = true;
  reader.join();
  tovi_memory_scope_c bracket;
  metric_window_t *mw = metric_window_find(RULE_NUMERIC, proto.id(), "g", 600000, true);
  ASSERT_NE(mw, nullptr);
  EXPECT_EQ(mw->whence_ms, base + uint64_t(per_thread - 1) * 10 + 2);
  metric_window_cancel(RULE_NUMERIC, proto.id(), "g", 600000, true);
}

}  // namespace
