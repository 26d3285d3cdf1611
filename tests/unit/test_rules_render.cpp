// The JSON form of a ruleset for the states the REST tests cannot bring about: values JSON has no
// text for, and a full transition ring.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cmath>
#include <cstring>
#include <string>

#include "metrics.h"
#include "rules/rules_mgr.h"
#include "rules/stream.h"

namespace {

const uint8_t uuid[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                          0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};

class rules_render : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { metrics_state_init(64); }
};

ruleset_sp ruleset_of(rule_metric_type_t type, rule_criteria_t criteria) {
  ruleset_sp r = ruleset_safe_alloc(1);
  r->event_criteria_id = 42;
  r->metric_type = type;
  r->account_id = 7;
  r->metric_name = strdup("cpu");
  memcpy(r->check_uuid, uuid, 16);
  r->rules[0].severity = 2;
  r->rules[0].rule_type = criteria;
  return r;
}

rulestream_sp stream_of(const ruleset_sp &r) {
  vask_metric_id_t id;
  memset(&id, 0, sizeof(id));
  memcpy(id.id, uuid, 16);
  id.name = "cpu";
  id.name_len = id.name_len_with_tags = 3;
  id.account_id = 7;
  std::string sig = "11111111-2222-3333-4444-555555555555`cpu|ST[]";
  return r->get_rulestream(&id, sig.data(), sig.size(), true);
}

// The JSON text of the ruleset, and the one stream's object inside the parsed copy.
struct rendered_t {
  std::string text;
  json_object *doc = nullptr;
  json_object *stream = nullptr;
  ~rendered_t() { json_object_put(doc); }
};

void render(const ruleset_sp &r, rendered_t *out) {
  json_object *o = ruleset_to_json(r);
  ASSERT_NE(o, nullptr);
  out->text = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
  json_object_put(o);
  out->doc = json_tokener_parse(out->text.c_str());
  ASSERT_NE(out->doc, nullptr) << out->text;
  json_object *streams = json_object_object_get(out->doc, "streams");
  ASSERT_EQ(json_object_object_length(streams), 1) << out->text;
  json_object_object_foreach(streams, key, value) {
    (void)key;
    out->stream = value;
  }
}

json_object *rule0(const rendered_t &r) {
  return json_object_array_get_idx(json_object_object_get(r.stream, "rules"), 0);
}

TEST_F(rules_render, values_json_cannot_carry_are_null) {
  struct case_t {
    rule_metric_type_t type;
    rule_criteria_t criteria;
  } cases[] = {{RULE_NUMERIC, RULEC_NUMERIC_MAX}, {RULE_HISTOGRAM, RULEC_HISTOGRAM_Q_MAX}};
  for (const case_t &c : cases) {
    SCOPED_TRACE(rule_metric_type_name(c.type));
    ruleset_sp r = ruleset_of(c.type, c.criteria);
    r->rules[0].info.numeric.value = NAN;
    r->rules[0].criteria_windowing_parameter = -INFINITY;
    rulestream_sp s = stream_of(r);
    ASSERT_TRUE(s);
    // A transition recorded while the rule's value was infinite, then no value known at all.
    s->rule_impl(0).numeric.last_observed_value = INFINITY;
    s->mark_triggered(1700000000000, 2, 0, uuid);
    s->rule_impl(0).numeric.last_observed_value = NAN;

    rendered_t out;
    render(r, &out);
    EXPECT_EQ(out.text.find("nan"), std::string::npos) << out.text;
    EXPECT_EQ(out.text.find("inf"), std::string::npos) << out.text;
    json_object *rule = rule0(out);
    EXPECT_TRUE(json_object_object_get_ex(rule, "predicate_value", nullptr));
    EXPECT_EQ(json_object_object_get(rule, "predicate_value"), nullptr);
    EXPECT_EQ(json_object_object_get(rule, "last_observed_value"), nullptr);
    EXPECT_TRUE(json_object_get_boolean(json_object_object_get(rule, "triggered")));
    json_object *entry =
        json_object_array_get_idx(json_object_object_get(out.stream, "trigger_history"), 0);
    EXPECT_TRUE(json_object_object_get_ex(entry, "value", nullptr));
    EXPECT_EQ(json_object_object_get(entry, "value"), nullptr);
    if (c.type == RULE_HISTOGRAM) {
      EXPECT_EQ(json_object_object_get(rule, "criteria_windowing_parameter"), nullptr);
    }
  }
}

TEST_F(rules_render, history_lists_the_last_five_transitions_newest_first) {
  ruleset_sp r = ruleset_of(RULE_NUMERIC, RULEC_NUMERIC_MAX);
  rulestream_sp s = stream_of(r);
  ASSERT_TRUE(s);
  rendered_t fresh;
  render(r, &fresh);
  EXPECT_EQ(json_object_array_length(json_object_object_get(fresh.stream, "trigger_history")), 0u);
  EXPECT_EQ(json_object_get_int(json_object_object_get(fresh.stream, "last_rule")), -2);

  // Seven transitions alternating between the rule (value 100 + i) and clear.
  for (int i = 0; i < 7; i++) {
    s->rule_impl(0).numeric.last_observed_value = 100 + i;
    bool raised = i % 2 == 0;
    s->mark_triggered(1000 + uint64_t(i), raised ? 2 : RULE_SEV_CLEAR,
                      raised ? 0 : RULE_INDEX_CLEAR, uuid);
  }
  rendered_t out;
  render(r, &out);
  json_object *history = json_object_object_get(out.stream, "trigger_history");
  ASSERT_EQ(json_object_array_length(history), 5u) << out.text;
  for (int k = 0; k < 5; k++) {
    json_object *entry = json_object_array_get_idx(history, size_t(k));
    int i = 6 - k;
    EXPECT_EQ(json_object_get_int64(json_object_object_get(entry, "whence_ms")), 1000 + i);
    bool raised = i % 2 == 0;
    // A clear records no rule value: no "value" at all.
    EXPECT_EQ(json_object_object_get_ex(entry, "value", nullptr), raised) << k;
    if (raised) {
      EXPECT_EQ(json_object_get_double(json_object_object_get(entry, "value")), 100 + i);
    }
  }
  EXPECT_EQ(json_object_get_int(json_object_object_get(out.stream, "last_severity")), 2);
  EXPECT_TRUE(json_object_get_boolean(json_object_object_get(rule0(out), "triggered")));
}

}  // namespace
