// Absence detection: the synthetic lines byte for byte, and the timers of real rulesets on a
// running event loop. Without director lanes the synthetic lines are applied on the timer's
// thread, so every step can be watched from here.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "rules/dependency_internal.h"
#include "metrics.h"
#include "rules/absence_internal.h"
#include "rules/rules.h"
#include "rules/stream_internal.h"
#include "rules_test_support.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

using namespace rules_test;
using quelt_test::wait_for;
using namespace std::chrono_literals;

namespace {

// Alerts on the bus are the end-to-end test's business; here they are only taken.
int fake_send(const char *, const char *, int, int, const void *, size_t, int) {
  return 0;
}

class absence_environment_c : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(tovi_conf_load_string(R"(<?xml version="1.0"?>
<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>)",
                                      "absence.conf"));
    ASSERT_EQ(eventer_init(), 0);
    vask_metric_director_init_globals();  // no lanes: synthetic lines are applied in place
    rules_lookup_init(64);
    metrics_state_init(64);
    dependency_init();
    rules_init();
    tovi_log_disable("fire/rules");
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(fake_send));
    absence_cushion_s = 0;
    quelt_test::start_event_loop();
  }
  void TearDown() override { quelt_test::stop_event_loop(); }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new absence_environment_c);

std::string ruleset_json(uint64_t ecid, const std::string &name, const std::string &extra,
                         const std::string &rules, const char *name_key = "metric_name") {
  return "{\"event_criteria_id\":" + std::to_string(ecid) + ",\"account_id\":7,\"check_uuid\":\"" +
         kUuidB + "\",\"" + name_key + "\":\"" + name + "\",\"metric_type\":\"numeric\"" + extra +
         ",\"rules\":[" + rules + "]}";
}

const char *const max90_then_absent_1s =
    "{\"criteria\":\"max value\",\"severity\":2,\"value\":\"90\"},"
    "{\"criteria\":\"on absence\",\"severity\":1,\"absence_window\":1}";

// Hands a line to the intake as a received message.
void feed(const std::string &text) {
  vask_metric_message_t *m = vask_metric_message_create(text.data(), text.size());
  ASSERT_EQ(vask_message_decoder_parse_line(m, true), 1) << text;
  handle_vask_metric_message(m);
}

std::string data_line(const std::string &name, uint64_t ms, const char *value) {
  char when[64];
  snprintf(when, sizeof when, "%lu.%03lu", (unsigned long)(ms / 1000), (unsigned long)(ms % 1000));
  return std::string("M\tb1\t") + when + "\th1`mod`c_7_9`" + kUuidB + "\t" + name + "\tn\t" + value;
}

// The stream's newest rule index, read under its lock as the timers write it from loop threads.
int last_rule(const rulestream_sp &rs) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(rs->data_mutex());
  return rs->get_last_rule();
}

uint64_t now_ms() {
  struct timeval tv = eventer_wall_now();
  return uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
}

ruleset_sp make_ruleset(rule_metric_type_t type, const char *name) {
  ruleset_sp r = ruleset_safe_alloc(0);
  r->metric_type = type;
  r->account_id = 42;
  memcpy(r->check_uuid, kUuidABytes, 16);
  r->metric_name = strdup(name);
  return r;
}

}  // namespace

TEST(absence_lines, are_byte_exact_and_decode_as_null_samples_of_the_metric) {
  const std::string sig = std::string(kUuidA) + "`disk.free|ST[a:1]";
  const char *tags = sig.c_str() + sig.find("|ST[") + 4;
  const struct timeval at { 1000, 500000 };
  struct case_t {
    rule_metric_type_t type;
    bool pattern;
    const char *name;  // ruleset form
    const char *expected;
  } cases[] = {
      {RULE_NUMERIC, true, nullptr,
       "M\tquelt-internal\t1000.500000\tweb1`queltd`c_42_0`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
       "disk.free|ST[a:1]\tn\t[[null]]\n"},
      {RULE_TEXT, true, nullptr,
       "M\tquelt-internal\t1000.500000\tweb1`queltd`c_42_0`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
       "disk.free|ST[a:1]\ts\t[[null]]\n"},
      {RULE_HISTOGRAM, true, nullptr,
       "H1\tquelt-internal\t1000.500000\tweb1`queltd`c_42_0`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
       "disk.free|ST[a:1]\t[[null]]\n"},
      {RULE_NUMERIC, false, "load",
       "M\tquelt-internal\t1000.500000\tweb1`queltd`c_42_0`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
       "load|ST[a:1]\tn\t[[null]]\n"},
      // A canonical name keeps its own tags and gets no second block.
      {RULE_TEXT, false, "load|ST[b:2]",
       "M\tquelt-internal\t1000.500000\tweb1`queltd`c_42_0`0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\t"
       "load|ST[b:2]\ts\t[[null]]\n"},
  };
  for (const case_t &c : cases) {
    std::string out;
    if (c.pattern) {
      ASSERT_TRUE(
          absence_pattern_line(&out, c.type, 42, sig.data(), sig.size(), tags, 3, &at, "web1"));
    } else {
      ruleset_sp r = make_ruleset(c.type, c.name);
      ASSERT_TRUE(absence_ruleset_line(&out, *r, tags, 3, &at, "web1"));
    }
    EXPECT_EQ(out, c.expected);

    // What the timers feed must decode: a null sample of that very metric.
    vask_metric_message_t *m = vask_metric_message_create(out.data(), out.size());
    ASSERT_EQ(vask_message_decoder_parse_line(m, true), 1) << out;
    EXPECT_TRUE(m->value.is_null) << out;
    EXPECT_EQ(m->value.whence_ms, 1000500u);
    EXPECT_EQ(m->id.account_id, 42u);
    EXPECT_EQ(memcmp(m->id.id, kUuidABytes, 16), 0);
    EXPECT_EQ(std::string(m->vask.name, m->vask.len), "quelt-internal");
    vask_metric_director_message_deref(m);
  }

  // The loader's form: no time, no host, no tags.
  ruleset_sp r = make_ruleset(RULE_NUMERIC, "load");
  std::string out;
  ASSERT_TRUE(absence_ruleset_line(&out, *r, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(out,
            "M\tquelt-internal\t0.000000\tinternal`queltd`c_42_0`"
            "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\tload|ST[]\tn\t[[null]]\n");

  // Unknown types and malformed signatures build nothing.
  out = "untouched";
  ruleset_sp unknown = make_ruleset(RULE_UNKNOWN, "load");
  EXPECT_FALSE(absence_ruleset_line(&out, *unknown, nullptr, 0, &at, "web1"));
  EXPECT_FALSE(absence_pattern_line(&out, RULE_NUMERIC, 42, sig.data(), 40, nullptr, 0, &at, ""));
  EXPECT_EQ(out, "untouched");
}

TEST(absence_lines, delays_drop_the_fraction_and_never_go_under_a_second) {
  const std::pair<double, time_t> cases[] = {{70, 70}, {70.9, 70}, {1, 1}, {0.4, 1}, {0, 1}};
  for (const auto &[window, seconds] : cases) {
    rule_t rule;
    rule.absence_window = window;
    struct timeval d = absence_delay(rule);
    EXPECT_EQ(d.tv_sec, seconds) << window;
    EXPECT_EQ(d.tv_usec, 0);
  }
}

// The whole cycle on one exact ruleset: the loader creates the stream, data pushes the same
// timers back, quiet raises absence, a reset watches afresh, data clears it.
TEST(absence_timers, quiet_metric_raises_absence_until_data_returns) {
  ASSERT_EQ(load("[" + ruleset_json(500, "quiet", "", max90_then_absent_1s) + "]").processed, 1);
  ruleset_sp r = get_ruleset_by_id(500);
  ASSERT_TRUE(r);
  // The loader's line made the stream and armed both timers without applying a rule.
  ASSERT_EQ(r->get_ruleset_streams_size(), 1u);
  rulestream_sp rs = r->get_ruleset_streams()[0];
  eventer_t stream_timer = rs->rule_impl(1).absence_event.load();
  eventer_t ruleset_timer = r->absence_event.load();
  ASSERT_NE(stream_timer, nullptr);
  ASSERT_NE(ruleset_timer, nullptr);
  EXPECT_EQ(last_rule(rs), RULE_INDEX_UNDETERMINED);

  // Data pushes the pending timers back in place.
  uint64_t t = now_ms();
  for (int i = 0; i < 3; i++)
    feed(data_line("quiet", t + uint64_t(i), "5"));
  EXPECT_EQ(rs->rule_impl(1).absence_event.load(), stream_timer);
  EXPECT_EQ(r->absence_event.load(), ruleset_timer);
  EXPECT_EQ(last_rule(rs), RULE_INDEX_CLEAR);

  // Quiet for a window: absence holds and is announced.
  const uint64_t triggers = absence_triggers.load();
  ASSERT_TRUE(wait_for([&] { return last_rule(rs) == 1; }, 4000ms));
  EXPECT_EQ(rs->published_sev(), 1);
  EXPECT_TRUE(wait_for([&] { return absence_triggers.load() > triggers; }));
  EXPECT_EQ(rs->rule_impl(1).absence_event.load(), nullptr);

  // A reset (maintenance recovery) forgets the state and watches the quiet stream afresh: the
  // absence is found, and announced, again one window later.
  rs->reset();
  EXPECT_EQ(last_rule(rs), RULE_INDEX_UNDETERMINED);
  EXPECT_NE(rs->rule_impl(1).absence_event.load(), nullptr);
  ASSERT_TRUE(wait_for([&] { return last_rule(rs) == 1; }, 4000ms));
  feed(data_line("quiet", now_ms() + 1, "7"));
  EXPECT_NE(rs->rule_impl(1).absence_event.load(), nullptr);
  EXPECT_EQ(last_rule(rs), RULE_INDEX_CLEAR);
}

// A ruleset-level timer that fires with no stream speaks only for a ruleset that names one
// metric: a pattern ruleset's expression is no metric to feed.
TEST(absence_timers, ruleset_timer_feeds_only_rulesets_that_name_one_metric) {
  const char *absent_1s = "{\"criteria\":\"on absence\",\"severity\":1,\"absence_window\":1}";
  ASSERT_EQ(load("[" + ruleset_json(600, "pat", "", absent_1s, "metric_pattern") + "," +
                 ruleset_json(601, "never", ",\"group_by\":\"host\"", absent_1s) + "]")
                .processed,
            2);
  ruleset_sp pattern = get_ruleset_by_id(600), exact = get_ruleset_by_id(601);
  ASSERT_TRUE(pattern && exact);
  ASSERT_TRUE(pattern->pattern.metric_name);
  const uint64_t errors = absence_trigger_errors.load();
  rules_setup_absence(pattern, nullptr);
  rules_setup_absence(exact, nullptr);
  ASSERT_NE(pattern->absence_event.load(), nullptr);

  // The exact ruleset's line creates its stream; the pattern ruleset's timer just ends.
  ASSERT_TRUE(wait_for([&] { return exact->get_ruleset_streams_size() == 1; }, 4000ms));
  ASSERT_TRUE(wait_for([&] { return pattern->absence_event.load() == nullptr; }, 4000ms));
  EXPECT_EQ(pattern->get_ruleset_streams_size(), 0u);
  EXPECT_EQ(absence_trigger_errors.load(), errors);
}
