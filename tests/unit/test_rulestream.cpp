#include "rules/stream_internal.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "metrics.h"
#include "tovi/tovi_memory.h"

namespace {

const char *const uuid_text = "11111111-2222-3333-4444-555555555555";
const uint8_t uuid[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                          0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};

class rulestream : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { metrics_state_init(64); }
};

// A numeric ruleset with one "max value" rule per window length (0: the last value).
ruleset_sp numeric_ruleset(uint64_t ecid, const char *name, std::initializer_list<int> windows_ms,
                           bool pattern = false) {
  ruleset_sp r = ruleset_safe_alloc(int(windows_ms.size()));
  r->event_criteria_id = ecid;
  r->metric_type = RULE_NUMERIC;
  r->account_id = 7;
  r->metric_name = strdup(name);
  r->pattern.metric_name = pattern;
  memcpy(r->check_uuid, uuid, 16);
  size_t i = 0;
  for (int ms : windows_ms) {
    rule_t &rule = r->rules[i++];
    rule.severity = int32_t(i);
    rule.rule_type = RULEC_NUMERIC_MAX;
    rule.windowing_function = ms ? W_AVERAGE : W_NONE;
    rule.windowing_duration = ms;
  }
  return r;
}

vask_metric_id_t metric_id(const char *name) {
  vask_metric_id_t id;
  memset(&id, 0, sizeof(id));
  memcpy(id.id, uuid, 16);
  id.name = name;
  id.name_len = id.name_len_with_tags = strlen(name);
  id.account_id = 7;
  return id;
}

std::string signature(const char *name_and_tags) {
  return std::string(uuid_text) + "`" + name_and_tags;
}

uint32_t window_refs(const char *name, const std::string &sig, int ms) {
  vask_metric_id_t id = metric_id(name);
  tovi_memory_scope_c bracket;
  metric_window_t *w = metric_window_find(RULE_NUMERIC, &id, sig.c_str(), ms, false);
  return w ? w->refcnt.load() : 0;
}

}  // namespace

TEST_F(rulestream, starts_undetermined_and_keeps_the_last_five_transitions) {
  ruleset_sp r = numeric_ruleset(101, "cpu", {0});
  vask_metric_id_t id = metric_id("cpu");
  std::string sig = signature("cpu|ST[]");
  rulestream_sp s = r->get_rulestream(&id, sig.data(), sig.size(), true);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->get_last_sev(), RULE_SEV_CLEAR);
  EXPECT_EQ(s->get_last_rule(), RULE_INDEX_UNDETERMINED);
  EXPECT_EQ(s->get_next_to_last_sev(), RULE_SEV_CLEAR);
  EXPECT_TRUE(s->should_trigger(RULE_SEV_CLEAR, RULE_INDEX_CLEAR));
  EXPECT_FALSE(s->should_trigger(RULE_SEV_CLEAR, RULE_INDEX_UNDETERMINED));
  EXPECT_TRUE(std::isnan(s->rule_impl(0).numeric.last_observed_value));
  json_object *o = json_object_new_object();
  s->append_last_value_to_json(o);
  EXPECT_STREQ(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN), "{\"value\":0.0}");
  json_object_put(o);

  for (int i = 1; i <= 6; i++) {
    s->rule_impl(0).numeric.last_observed_value = 10.0 * i;
    s->mark_triggered(1000 * i, i, 0, uuid);
    if (i == 1) {
      EXPECT_EQ(s->get_next_to_last_sev(), RULE_SEV_CLEAR);
    }
    EXPECT_EQ(s->published_sev(), i);
  }
  EXPECT_EQ(s->get_last_sev(), 6);
  EXPECT_EQ(s->get_next_to_last_sev(), 5);
  json_bundle_t b = s->get_json_data_bundle();
  // Newest first: 6, 5, 4, 3, 2 with the rule's value at each transition; the first is gone.
  for (int k = 0; k < 5; k++) {
    const json_bundle_t::history_t &h = b.history[(b.hidx - k + 5) % 5];
    EXPECT_EQ(h.sev, 6 - k);
    EXPECT_EQ(h.trigger_time_ms, uint64_t(1000 * (6 - k)));
    EXPECT_EQ(h.rule_type, RULEC_NUMERIC_MAX);
    EXPECT_EQ(h.numeric_value, 10.0 * (6 - k));
  }

  s->reset();
  EXPECT_EQ(s->get_last_sev(), RULE_SEV_CLEAR);
  EXPECT_EQ(s->get_last_rule(), RULE_INDEX_UNDETERMINED);
  EXPECT_EQ(s->published_sev(), RULE_SEV_CLEAR);
  EXPECT_TRUE(std::isnan(s->rule_impl(0).numeric.last_observed_value));
}

TEST_F(rulestream, finds_its_stream_tags_and_caps_the_out_of_order_allowance) {
  const struct {
    const char *name_and_tags;
    const char *tags;
    int len;
  } tags[] = {{"cpu|ST[]", "]", 0}, {"cpu|ST[a:b,c:d]", "a:b,c:d]", 7}, {"cpu", nullptr, 0}};
  ruleset_sp r = numeric_ruleset(102, "cpu", {0});
  vask_metric_id_t id = metric_id("cpu");
  for (const auto &t : tags) {
    std::string sig = signature(t.name_and_tags);
    rulestream_sp s = r->get_rulestream(&id, sig.data(), sig.size(), true);
    EXPECT_EQ(s->st_tags_len(), t.len) << t.name_and_tags;
    if (t.tags)
      EXPECT_STREQ(s->st_tags(), t.tags);
    else
      EXPECT_EQ(s->st_tags(), nullptr);
  }

  const struct {
    std::initializer_list<int> windows;
    int expected_ms;
  } allowances[] = {{{600000, 60000}, 300000}, {{0}, 0}, {{0, 120000}, 120000}};
  uint64_t ecid = 200;
  for (const auto &a : allowances) {
    ruleset_sp w = numeric_ruleset(ecid++, "mem", a.windows);
    vask_metric_id_t mem = metric_id("mem");
    std::string sig = signature("mem|ST[]");
    EXPECT_EQ(w->get_rulestream(&mem, sig.data(), sig.size(), true)->max_out_of_order_ms(),
              a.expected_ms);
  }
}

// A stream cancels the windows it reserved under the metric's own name, even when its ruleset
// names a pattern and even when the stream dies with its ruleset.
TEST_F(rulestream, cancels_exactly_what_it_reserved) {
  std::string sig = signature("disk0|ST[]");
  {
    ruleset_sp r = numeric_ruleset(301, "^disk", {60000}, true);
    vask_metric_id_t id = metric_id("disk0");
    ASSERT_TRUE(r->get_rulestream(&id, sig.data(), sig.size(), true));
    EXPECT_EQ(window_refs("disk0", sig, 60000), 1u);
    // Without create nothing is built; a fixed signature stands in for a missing one.
    EXPECT_FALSE(r->get_rulestream(nullptr, nullptr, 0, false));
    EXPECT_EQ(r->get_ruleset_streams_size(), 1u);
  }
  tovi_memory_synchronize();
  EXPECT_EQ(window_refs("disk0", sig, 60000), 0u);
}

TEST_F(rulestream, racing_creators_share_one_stream_and_one_reservation) {
  std::string sig = signature("net|ST[]");
  for (int round = 0; round < 50; round++) {
    ruleset_sp r = numeric_ruleset(400 + round, "net", {30000});
    vask_metric_id_t id = metric_id("net");
    rulestream_sp got[2];
    std::thread a([&] { got[0] = r->get_rulestream(&id, sig.data(), sig.size(), true); });
    std::thread b([&] { got[1] = r->get_rulestream(&id, sig.data(), sig.size(), true); });
    a.join();
    b.join();
    ASSERT_TRUE(got[0]);
    EXPECT_EQ(got[0], got[1]);
    EXPECT_EQ(r->get_ruleset_streams_size(), 1u);
    EXPECT_EQ(window_refs("net", sig, 30000), 1u);
    r->remove_ruleset_stream(got[0]);
    EXPECT_EQ(r->get_ruleset_streams_size(), 0u);
    got[0].reset();
    got[1].reset();
    EXPECT_EQ(window_refs("net", sig, 30000), 0u);
  }
}

// The ring keeps a text or a number per entry, depending on the rule's criterion: entries of a
// text rule and clear entries overwrite each other as the ring wraps, and each must come back
// (and be released) as what it was recorded as.
TEST_F(rulestream, ring_keeps_texts_and_numbers_apart_as_it_wraps) {
  ruleset_sp r = ruleset_safe_alloc(1);
  r->event_criteria_id = 501;
  r->metric_type = RULE_TEXT;
  r->account_id = 7;
  r->metric_name = strdup("state");
  memcpy(r->check_uuid, uuid, 16);
  r->rules[0].severity = 1;
  r->rules[0].rule_type = RULEC_TEXT_MATCH;
  r->rules[0].value_str = "down";
  vask_metric_id_t id = metric_id("state");
  std::string sig = signature("state|ST[]");
  rulestream_sp s = r->get_rulestream(&id, sig.data(), sig.size(), true);
  ASSERT_TRUE(s);

  for (int i = 1; i <= 8; i++) {
    std::string text = "down" + std::to_string(i);
    s->rule_impl(0).set_text(text.data(), text.size());
    if (i % 2 == 0)
      s->mark_triggered(uint64_t(1000 * i), 1, 0, uuid);
    else
      s->mark_triggered(uint64_t(1000 * i), RULE_SEV_CLEAR, RULE_INDEX_CLEAR, uuid);
  }
  json_bundle_t b = s->get_json_data_bundle();
  for (int k = 0; k < 5; k++) {
    int i = 8 - k;
    const json_bundle_t::history_t &h = b.history[(b.hidx - k + 5) % 5];
    ASSERT_EQ(h.trigger_time_ms, uint64_t(1000 * i));
    if (i % 2 == 0) {
      EXPECT_EQ(h.rule_type, RULEC_TEXT_MATCH);
      EXPECT_TRUE(h.has_text);
      EXPECT_EQ(h.text_value, "down" + std::to_string(i));
    } else {
      // A clear entry carries neither.
      EXPECT_EQ(h.rule_type, RULEC_UNKNOWN);
      EXPECT_FALSE(h.has_text);
      EXPECT_EQ(h.numeric_value, 0.0);
    }
  }

  s->reset();
  b = s->get_json_data_bundle();
  for (const json_bundle_t::history_t &h : b.history) {
    EXPECT_FALSE(h.has_text);
    EXPECT_EQ(h.trigger_time_ms, 0u);
  }
}
