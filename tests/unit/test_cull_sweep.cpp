// Stream culling (the idle test, the automatic horizon, passes and their timer) and sweeps over
// every stream, on real streams, a real registry and a running event loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr.h"
#include "rules/stream.h"
#include "ruleset_mgr.h"
#include "test_support.h"

namespace {

using quelt_test::wait_for;
using namespace std::chrono_literals;

const uint8_t uuid[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                          0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
const uint64_t t0 = 1700000000000;  // ms
const uint64_t s = 1000;            // one second in ms

class cull_environment_c : public quelt_test::loop_environment_c {
 public:
  cull_environment_c()
      : loop_environment_c(R"(<?xml version="1.0"?>
<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>)",
                           "cull.conf") {}
  void SetUp() override {
    loop_environment_c::SetUp();
    metrics_state_init(64);
    if (!ruleset_mgr) ruleset_mgr = std::make_unique<ruleset_mgr_c>();
  }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new cull_environment_c);

// A numeric ruleset with one "max value" rule per window length (ms).
ruleset_sp numeric_ruleset(uint64_t ecid, std::initializer_list<int> windows_ms, bool pattern,
                           int32_t cull_seconds) {
  ruleset_sp r = ruleset_safe_alloc(int(windows_ms.size()));
  r->event_criteria_id = ecid;
  r->metric_type = RULE_NUMERIC;
  r->account_id = 7;
  r->metric_name = strdup(pattern ? "^cpu" : "cpu");
  r->pattern.metric_name = pattern;
  r->cull_seconds = cull_seconds;
  memcpy(r->check_uuid, uuid, 16);
  int i = 0;
  for (int ms : windows_ms) {
    rule_t &rule = r->rules[size_t(i++)];
    rule.severity = i;
    rule.rule_type = RULEC_NUMERIC_MAX;
    rule.windowing_function = ms ? W_AVERAGE : W_NONE;
    rule.windowing_duration = ms;
  }
  return r;
}

// The stream `name` of the ruleset, created, with its newest message at last_ms (0: none yet)
// and raised to severity 1 when asked.
rulestream_sp stream(const ruleset_sp &r, const std::string &name, uint64_t last_ms,
                     bool raised = false) {
  vask_metric_id_t id;
  memset(&id, 0, sizeof(id));
  memcpy(id.id, uuid, 16);
  id.name = name.c_str();
  id.name_len = id.name_len_with_tags = name.size();
  id.account_id = 7;
  std::string sig = "11111111-2222-3333-4444-555555555555`" + name + "|ST[]";
  rulestream_sp rs = r->get_rulestream(&id, sig.data(), sig.size(), true);
  if (last_ms) {
    vask_metric_message_t m{};
    m.value.type = METRIC_DOUBLE;
    m.value.whence_ms = last_ms;
    m.value.value.n = 1;
    rs->record_last_value(&m);
  }
  if (raised) rs->mark_triggered(last_ms, 1, 0, uuid);
  return rs;
}

TEST(cull_sweep, should_cull_follows_explicit_limit_then_horizon_for_unraised_streams) {
  ruleset_sp r = numeric_ruleset(1, {0}, false, 0);
  rulestream_sp clear = stream(r, "clear", t0);
  rulestream_sp raised = stream(r, "raised", t0, true);
  rulestream_sp silent = stream(r, "silent", 0);  // created, never a value: undetermined
  struct {
    uint64_t now;
    int32_t cull_seconds, autocull;
    bool clear, raised;
  } cases[] = {
      {t0 + 100000 * s, 0, 0, false, false},    // no limit, however long the silence
      {t0 + 600 * s, 600, 0, false, false},     // exactly the limit is not beyond it
      {t0 + 600 * s + 1, 600, 0, true, true},   // an explicit limit ignores the severity
      {t0 + 310 * s + 1, 0, 310, true, false},  // the horizon spares a raised stream
      {t0 + 310 * s, 0, 310, false, false},
      {t0 + 301 * s, 3600, 300, true, false},  // the horizon acts before a longer limit
      {t0 + 3601 * s, 3600, 300, true, true},
      {t0 - 1, 1, 300, false, false},  // newest message after the pass time: not idle
      {t0, 1, 300, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "now-t0 " << int64_t(c.now - t0) << " cull "
                                    << c.cull_seconds << " auto " << c.autocull);
    EXPECT_EQ(clear->should_cull(c.now, c.cull_seconds, c.autocull), c.clear);
    EXPECT_EQ(raised->should_cull(c.now, c.cull_seconds, c.autocull), c.raised);
  }
  EXPECT_TRUE(silent->should_cull(t0, 0, 300));
  EXPECT_FALSE(silent->should_cull(t0, 0, 0));
}

TEST(cull_sweep, delay_and_horizon_by_kind_of_ruleset) {
  ASSERT_EQ(absence_cushion_s, 10);
  ruleset_sp absent_raise = numeric_ruleset(1, {0}, true, 0);
  absent_raise->rules[0].rule_type = RULEC_ABSENCE;
  absent_raise->rules[0].absence_window = 70;
  ruleset_sp absent_clear = numeric_ruleset(1, {0}, true, 0);
  absent_clear->rules[0].rule_type = RULEC_ABSENCE;
  absent_clear->rules[0].absence_window = 900;
  absent_clear->rules[0].severity = INT_MAX;
  ruleset_sp any_check = numeric_ruleset(1, {60000}, false, 5);
  any_check->pattern.any_check_uuid = 1;
  struct {
    const char *what;
    ruleset_sp r;
    int32_t delay, autocull;
  } cases[] = {
      {"exact, never", numeric_ruleset(1, {300000}, false, 0), 0, 0},
      {"exact, 600 s", numeric_ruleset(1, {300000}, false, 600), 600, 0},
      {"pattern, 5-minute windows", numeric_ruleset(1, {60000, 300000}, true, 0), 300, 310},
      {"pattern, a long window", numeric_ruleset(1, {3600000}, true, 0), 300, 3610},
      {"pattern, 3600 s", numeric_ruleset(1, {0}, true, 3600), 300, 300},
      {"pattern, absence of a severity", absent_raise, 300, 0},
      {"pattern, absence of no severity", absent_clear, 300, 910},
      {"any check, 5 s", any_check, 5, 300},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ruleset_cull_delay_seconds(*c.r), c.delay);
    EXPECT_EQ(ruleset_autocull_seconds(*c.r), c.autocull);
  }
}

TEST(cull_sweep, a_pass_removes_exactly_the_idle_streams_and_releases_them) {
  uint64_t live = rulestreams_live.load();
  uint64_t culled = rulestreams_culled.load();
  {
    ruleset_sp r = numeric_ruleset(2, {300000}, true, 0);  // horizon 310 s
    std::vector<std::string> kept;
    for (int i = 0; i < 3000; i++) {
      std::string name = "cpu" + std::to_string(i);
      bool idle = i % 3 != 0;
      bool raised = i % 5 == 0;
      stream(r, name, idle ? t0 : t0 + 400 * s, raised);
      if (!idle || raised) kept.push_back(name);
    }
    EXPECT_EQ(rulestreams_live.load(), live + 3000);
    size_t removed = ruleset_cull_pass(r, t0 + 311 * s);
    EXPECT_EQ(removed, 3000 - kept.size());
    EXPECT_EQ(rulestreams_culled.load(), culled + removed);
    // Removed streams are gone, not merely unlisted: nobody else held them.
    EXPECT_EQ(rulestreams_live.load(), live + kept.size());
    std::vector<std::string> left;
    for (const rulestream_sp &rs : r->get_ruleset_streams()) {
      std::string_view sig = rs->get_signature();
      left.emplace_back(sig.substr(37, sig.size() - 37 - 5));
    }
    std::sort(left.begin(), left.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
    EXPECT_EQ(ruleset_cull_pass(r, t0 + 311 * s), 0u);
  }
  EXPECT_EQ(rulestreams_live.load(), live);
}

TEST(cull_sweep, the_timer_culls_and_rearms_until_its_ruleset_is_replaced) {
  uint64_t live = rulestreams_live.load();
  ruleset_sp r = numeric_ruleset(3, {0}, false, 1);
  ruleset_mgr->add_by_id(r);
  // Enough that the pass leaves their destruction to a job.
  for (int i = 0; i < 1500; i++)
    stream(r, "first" + std::to_string(i), t0);
  ruleset_schedule_cull(r);
  ASSERT_TRUE(wait_for([&] { return r->get_ruleset_streams_size() == 0; }, 5000ms));
  EXPECT_TRUE(wait_for([&] { return rulestreams_live.load() == live; }));
  // The pass armed the next one.
  stream(r, "second", t0);
  ASSERT_TRUE(wait_for([&] { return r->get_ruleset_streams_size() == 0; }, 5000ms));

  // Replaced by a ruleset without a delay: the old one's pending timer culls nothing more.
  ruleset_sp successor = numeric_ruleset(3, {0}, false, 0);
  ruleset_mgr->add_by_id(successor);
  stream(r, "third", t0);
  stream(successor, "fourth", t0);
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(r->get_ruleset_streams_size(), 1u);
  EXPECT_EQ(successor->get_ruleset_streams_size(), 1u);
  ruleset_mgr->remove_by_id(3);
}

// ---- Sweeps ----

struct sweep_record_t {
  rules_sweep_t sweep{};
  std::mutex lock;
  std::map<std::string, int> visits;
  std::atomic<int> completions{0};
};

void count_visit(rulestream_c *rs, rules_sweep_t *sweep) {
  auto *rec = reinterpret_cast<sweep_record_t *>(sweep->closure);
  std::lock_guard<std::mutex> g(rec->lock);
  if (sweep->rule_cnt == 0) {
    // The sweep holds the stream's lock while calling back: another thread cannot take it.
    bool taken = true;
    std::thread([&] {
      taken = rs->data_mutex().try_lock();
      if (taken) rs->data_mutex().unlock();
    }).join();
    EXPECT_FALSE(taken);
  }
  rec->visits[std::string(rs->get_signature())]++;
  sweep->rule_cnt++;
}

void count_completion(rules_sweep_t *sweep) {
  reinterpret_cast<sweep_record_t *>(sweep->closure)->completions++;
}

TEST(cull_sweep, a_sweep_visits_every_stream_of_the_broker_once_then_completes_once) {
  auto *broker_a = reinterpret_cast<broker_t *>(uintptr_t(0x1000));
  auto *broker_b = reinterpret_cast<broker_t *>(uintptr_t(0x2000));
  std::vector<ruleset_sp> rulesets;
  int on_a = 0;
  for (uint64_t ecid = 100; ecid < 140; ecid++) {
    ruleset_sp r = numeric_ruleset(ecid, {0}, true, 0);
    ruleset_mgr->add_by_id(r);
    for (int i = 0; i < 50; i++) {
      rulestream_sp rs = stream(r, "cpu" + std::to_string(ecid) + "_" + std::to_string(i), t0);
      bool a = (ecid + i) % 4 == 0;
      rs->_broker = a ? broker_a : broker_b;
      on_a += a;
    }
    rulesets.push_back(r);
  }
  struct {
    broker_t *broker;
    size_t visited;
  } cases[] = {{RULES_SWEEP_ALL_BROKERS, 2000},
               {broker_a, size_t(on_a)},
               {reinterpret_cast<broker_t *>(uintptr_t(0x3000)), 0}};
  for (const auto &c : cases) {
    sweep_record_t rec;
    rec.sweep.closure = &rec;
    rulestream_sweeper(c.broker, count_visit, count_completion, &rec.sweep);
    ASSERT_TRUE(wait_for([&] { return rec.completions.load() > 0; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rec.completions.load(), 1);
    EXPECT_EQ(rec.visits.size(), c.visited);
    EXPECT_EQ(rec.sweep.rule_cnt, int64_t(c.visited));
    for (const auto &[sig, n] : rec.visits)
      EXPECT_EQ(n, 1) << sig;
  }
  for (const ruleset_sp &r : rulesets)
    ruleset_mgr->remove_by_id(r->event_criteria_id);
}

}  // namespace
