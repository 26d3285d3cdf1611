// The JSON form of a ruleset in a state the REST tests cannot bring about: values JSON has no text
// for (a NaN threshold, an infinite observed value).
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cmath>
#include <cstring>
#include <string>

#include "metrics.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"

namespace {

const uint8_t uuid[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                          0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};

TEST(rules_render, values_json_cannot_carry_are_null) {
  metrics_state_init(64);
  for (rule_metric_type_t type : {RULE_NUMERIC, RULE_HISTOGRAM}) {
    SCOPED_TRACE(rule_metric_type_name(type));
    ruleset_sp r = ruleset_safe_alloc(1);
    r->event_criteria_id = 42;
    r->metric_type = type;
    r->metric_name = strdup("cpu");
    memcpy(r->check_uuid, uuid, 16);
    r->rules[0].severity = 2;
    r->rules[0].rule_type = type == RULE_NUMERIC ? RULEC_NUMERIC_MAX : RULEC_HISTOGRAM_Q_MAX;
    r->rules[0].info.numeric.value = NAN;
    r->rules[0].criteria_windowing_parameter = -INFINITY;
    vask_metric_id_t id{};
    memcpy(id.id, uuid, 16);
    id.name = "cpu";
    id.name_len = id.name_len_with_tags = 3;
    std::string sig = "11111111-2222-3333-4444-555555555555`cpu|ST[]";
    rulestream_sp s = r->get_rulestream(&id, sig.data(), sig.size(), true);
    ASSERT_TRUE(s);
    // A transition recorded while the rule's value was infinite, then no value known at all.
    s->rule_impl(0).numeric.last_observed_value = INFINITY;
    s->mark_triggered(1700000000000, 2, 0, uuid);
    s->rule_impl(0).numeric.last_observed_value = NAN;

    json_object *o = ruleset_to_json(r);
    std::string text = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
    json_object_put(o);
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
    EXPECT_EQ(text.find("inf"), std::string::npos) << text;
    json_object *doc = json_tokener_parse(text.c_str());
    ASSERT_NE(doc, nullptr) << text;
    json_object *stream =
        json_object_object_get(json_object_object_get(doc, "streams"), sig.c_str());
    json_object *rule = json_object_array_get_idx(json_object_object_get(stream, "rules"), 0);
    json_object *entry =
        json_object_array_get_idx(json_object_object_get(stream, "trigger_history"), 0);
    // Present, and null.
    for (auto [object, key] :
         {std::pair{rule, "predicate_value"}, {rule, "last_observed_value"}, {entry, "value"}}) {
      json_object *value = reinterpret_cast<json_object *>(1);
      EXPECT_TRUE(json_object_object_get_ex(object, key, &value)) << key;
      EXPECT_EQ(value, nullptr) << key;
    }
    if (type == RULE_HISTOGRAM) {
      EXPECT_EQ(json_object_object_get(rule, "criteria_windowing_parameter"), nullptr);
    }
    json_object_put(doc);
  }
}

}  // namespace
