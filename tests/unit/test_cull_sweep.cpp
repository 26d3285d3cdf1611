// Stream culling (the idle test, the automatic horizon, the timer) and sweeps over every stream,
// on real streams, a real registry and a running event loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "test_support.h"

namespace {

const uint8_t uuid[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                          0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
const uint64_t t0 = 1700000000000, s = 1000;  // ms

class cull_environment_c : public quelt_test::loop_environment_c {
 public:
  cull_environment_c()
      : loop_environment_c(
            "<queltd><eventer><config><concurrency>2</concurrency></config>"
            "</eventer></queltd>",
            "cull.conf") {}
  void SetUp() override {
    loop_environment_c::SetUp();
    metrics_state_init(64);
    ruleset_mgr = std::make_unique<ruleset_mgr_c>();
  }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new cull_environment_c);

// A numeric ruleset with one "max value" rule of this window (ms) and severity.
ruleset_sp numeric_ruleset(uint64_t ecid, bool pattern, int32_t cull_seconds, int window_ms = 0,
                           int32_t severity = 1) {
  ruleset_sp r = ruleset_safe_alloc(1);
  r->event_criteria_id = ecid;
  r->metric_type = RULE_NUMERIC;
  r->metric_name = strdup(pattern ? "^cpu" : "cpu");
  r->pattern.metric_name = pattern;
  r->cull_seconds = cull_seconds;
  r->rules[0].severity = severity;
  r->rules[0].rule_type = RULEC_NUMERIC_MAX;
  r->rules[0].windowing_function = window_ms ? W_AVERAGE : W_NONE;
  r->rules[0].windowing_duration = window_ms;
  return r;
}

// The ruleset's stream `name`, with its newest message at last_ms (0: none), raised if asked.
rulestream_sp stream(const ruleset_sp &r, const std::string &name, uint64_t last_ms,
                     bool raised = false) {
  vask_metric_id_t id{};
  memcpy(id.id, uuid, 16);
  id.name = name.c_str();
  id.name_len = id.name_len_with_tags = name.size();
  std::string sig = "11111111-2222-3333-4444-555555555555`" + name + "|ST[]";
  rulestream_sp rs = r->get_rulestream(&id, sig.data(), sig.size(), true);
  vask_metric_message_t m{};
  m.value.type = last_ms ? METRIC_DOUBLE : METRIC_ABSENT;
  m.value.whence_ms = last_ms;
  rs->record_last_value(&m);
  if (raised) rs->mark_triggered(last_ms, 1, 0, uuid);
  return rs;
}

TEST(cull_sweep, should_cull_by_explicit_limit_whatever_the_severity_by_horizon_if_not_raised) {
  ruleset_sp r = numeric_ruleset(1, false, 0);
  rulestream_sp clear = stream(r, "clear", t0), raised = stream(r, "raised", t0, true);
  struct {
    uint64_t now;
    int32_t cull_seconds, autocull;
    bool clear, raised;
  } cases[] = {
      {t0 + 100000 * s, 0, 0, false, false},   // no limit at all
      {t0 + 600 * s, 600, 0, false, false},    // the limit itself is not beyond it
      {t0 + 600 * s + 1, 600, 0, true, true},  // an explicit limit ignores the severity
      {t0 + 310 * s + 1, 0, 310, true, false},
      {t0 + 301 * s, 3600, 300, true, false},  // the horizon acts before a longer limit
      {t0 + 3601 * s, 3600, 300, true, true},
      {t0 - 1, 1, 300, false, false},  // newest message after the pass time: not idle
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(int64_t(c.now - t0));
    EXPECT_EQ(clear->should_cull(c.now, c.cull_seconds, c.autocull), c.clear);
    EXPECT_EQ(raised->should_cull(c.now, c.cull_seconds, c.autocull), c.raised);
  }
  // Never a value, undetermined: silent since ever, not raised.
  EXPECT_TRUE(stream(r, "silent", 0)->should_cull(t0, 0, 300));

  // The wall clock stepped an hour forward just after the streams' last messages: by our steady
  // clock they talked a moment ago, so nothing is idle; once the steady clock agrees, they are.
  uint32_t mono = rules_monotonic_s();
  EXPECT_FALSE(raised->should_cull(t0 + 3600 * s, 600, 300, mono + 1));
  EXPECT_FALSE(clear->should_cull(t0 + 3600 * s, 600, 300, mono + 1));
  EXPECT_TRUE(raised->should_cull(t0 + 3600 * s, 600, 300, mono + 602));
  EXPECT_TRUE(clear->should_cull(t0 + 3600 * s, 0, 300, mono + 302));
  EXPECT_FALSE(raised->should_cull(t0 + 3600 * s, 0, 300, mono + 302));
}

TEST(cull_sweep, pass_interval_and_horizon_by_kind_of_ruleset) {
  ASSERT_EQ(absence_cushion_s, 10);
  ruleset_sp absence = numeric_ruleset(1, true, 0);
  absence->rules[0].rule_type = RULEC_ABSENCE;
  absence->rules[0].absence_window = 70;
  ruleset_sp any_check = numeric_ruleset(1, false, 5, 60000);
  any_check->pattern.any_check_uuid = 1;
  struct {
    const char *what;
    ruleset_sp r;
    int32_t delay, autocull;
  } cases[] = {
      {"exact, never", numeric_ruleset(1, false, 0, 300000), 0, 0},
      {"exact, 600 s", numeric_ruleset(1, false, 600, 300000), 600, 0},
      {"pattern, 5-minute window", numeric_ruleset(1, true, 0, 300000), 300, 310},
      {"pattern, 1-hour window, 3600 s", numeric_ruleset(1, true, 3600, 3600000), 300, 3610},
      {"pattern, absence rule", absence, 300, 0},
      {"any check, 5 s", any_check, 5, 300},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ruleset_cull_delay_seconds(*c.r), c.delay);
    EXPECT_EQ(ruleset_autocull_seconds(*c.r), c.autocull);
  }
}

TEST(cull_sweep, the_timer_culls_and_a_large_pass_releases_its_streams_off_the_loop) {
  uint64_t live = rulestreams_live.load();
  ruleset_sp r = numeric_ruleset(3, false, 1);
  ruleset_mgr->add_by_id(r);
  for (int i = 0; i < 1500; i++)
    stream(r, "cpu" + std::to_string(i), t0);
  ruleset_schedule_cull(r);
  EXPECT_TRUE(quelt_test::wait_for([&] { return rulestreams_live.load() == live; }));
  EXPECT_EQ(r->get_ruleset_streams_size(), 0u);
  ruleset_mgr->remove_by_id(3);
}

struct sweep_record_t {
  rules_sweep_t sweep{};
  std::map<std::string, int> visits;  // job thread, then read after completion
  std::atomic<int> completions{0};
  bool lock_held = true;
};

void count_visit(rulestream_c *rs, rules_sweep_t *sweep) {
  auto *rec = static_cast<sweep_record_t *>(sweep->closure);
  if (sweep->rule_cnt++ == 0)
    std::thread([&] {
      if (rs->data_mutex().try_lock()) {
        rec->lock_held = false;
        rs->data_mutex().unlock();
      }
    }).join();
  rec->visits[std::string(rs->get_signature())]++;
}

void count_completion(rules_sweep_t *sweep) {
  static_cast<sweep_record_t *>(sweep->closure)->completions++;
}

TEST(cull_sweep, a_sweep_visits_each_stream_of_the_broker_once_then_completes_once) {
  auto *broker_a = reinterpret_cast<broker_t *>(uintptr_t(0x1000));
  size_t on_a = 0;
  for (uint64_t ecid = 100; ecid < 140; ecid++) {
    ruleset_sp r = numeric_ruleset(ecid, true, 0);
    ruleset_mgr->add_by_id(r);
    for (int i = 0; i < 50; i++) {
      rulestream_sp rs = stream(r, "cpu" + std::to_string(ecid * 100 + i), t0);
      if ((ecid + i) % 4 != 0) continue;
      rs->_broker = broker_a;
      on_a++;
    }
  }
  struct {
    broker_t *broker;
    size_t visited;
  } cases[] = {{RULES_SWEEP_ALL_BROKERS, 2000},
               {broker_a, on_a},
               {reinterpret_cast<broker_t *>(uintptr_t(0x3000)), 0}};
  for (const auto &c : cases) {
    sweep_record_t rec;
    rec.sweep.closure = &rec;
    rulestream_sweeper(c.broker, count_visit, count_completion, &rec.sweep);
    ASSERT_TRUE(quelt_test::wait_for([&] { return rec.completions.load() > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rec.completions.load(), 1);
    EXPECT_EQ(rec.visits.size(), c.visited);
    EXPECT_EQ(rec.sweep.rule_cnt, int64_t(c.visited));  // no stream twice
    EXPECT_TRUE(rec.lock_held);
  }
  for (uint64_t ecid = 100; ecid < 140; ecid++)
    ruleset_mgr->remove_by_id(ecid);
}

// A burst of equal sweeps while the lane is busy joins one waiting sweep: the streams are visited
// once more, not once per request, and every caller still completes with the count.
std::atomic<bool> gate_open{false};
std::atomic<int> gated_visits{0};
void gated_visit(rulestream_c *, rules_sweep_t *sweep) {
  while (!gate_open.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  gated_visits++;
  sweep->rule_cnt++;
}
void plain_visit(rulestream_c *, rules_sweep_t *sweep) {
  gated_visits++;
  sweep->rule_cnt++;
}
std::mutex done_lock;
std::vector<int64_t> done_counts;
void record_done(rules_sweep_t *sweep) {
  std::lock_guard<std::mutex> g(done_lock);
  done_counts.push_back(sweep->rule_cnt);
  delete sweep;
}

TEST(cull_sweep, a_burst_of_equal_sweeps_joins_the_waiting_one) {
  ruleset_sp r = numeric_ruleset(200, true, 0);
  ruleset_mgr->add_by_id(r);
  for (int i = 0; i < 100; i++)
    stream(r, "cpu" + std::to_string(i), t0);
  uint64_t started0, joined0, waiting;
  rules_sweep_stats(&started0, &joined0, &waiting);

  gate_open = false;
  rulestream_sweeper(RULES_SWEEP_ALL_BROKERS, gated_visit, record_done, new rules_sweep_t{});
  // The first is running (held at its first stream) once it left the waiting list.
  ASSERT_TRUE(quelt_test::wait_for([] {
    uint64_t a, b, w;
    rules_sweep_stats(&a, &b, &w);
    return w == 0;
  }));
  for (int i = 0; i < 50; i++)
    rulestream_sweeper(RULES_SWEEP_ALL_BROKERS, plain_visit, record_done, new rules_sweep_t{});
  // Another kind (a single ruleset) does not join them.
  rulestream_sweeper_ruleset(200, RULES_SWEEP_ALL_BROKERS, plain_visit, record_done,
                             new rules_sweep_t{});
  gate_open = true;
  ASSERT_TRUE(quelt_test::wait_for([] {
    std::lock_guard<std::mutex> g(done_lock);
    return done_counts.size() == 52;
  }));
  uint64_t started, joined;
  rules_sweep_stats(&started, &joined, &waiting);
  EXPECT_EQ(started - started0, 3u);
  EXPECT_EQ(joined - joined0, 49u);
  EXPECT_EQ(waiting, 0u);
  EXPECT_EQ(gated_visits.load(), 300);  // three passes over 100 streams
  for (int64_t c : done_counts)
    EXPECT_EQ(c, 100);
  ruleset_mgr->remove_by_id(200);
}

}  // namespace
