// The JSON form of a ruleset as the REST interface shows it: its definition, whether this node
// owns and operates its metric, and the live state of every stream with its rules.
//
// Streams are read through their JSON data bundle, a copy of the stream's state taken under the
// stream's own lock, so that no stream lock is held while JSON is built. Numbers that JSON cannot
// carry (NaN for "no value yet", infinities from a threshold of "inf") are written as null.
#include <json-c/json.h>

#include <cmath>
#include <cstring>

#include "metrics.h"
#include "outlets/outlets.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "tovi/tovi_uuid.h"

namespace {

// A JSON number, or none (JSON null) for a value JSON has no text for.
json_object *json_number(double value) {
  return std::isfinite(value) ? json_object_new_double(value) : nullptr;
}

// Window lengths are kept in milliseconds and shown in seconds: whole seconds as an integer
// (what definitions give), anything else as a fraction.
json_object *json_seconds(int32_t ms) {
  if (ms % 1000 == 0) return json_object_new_int64(ms / 1000);
  return json_object_new_double(ms / 1000.0);
}

bool criteria_is_numeric(rule_criteria_t c) {
  return rule_criterion_traits(c).value == RULEC_VALUE_NUMBER;
}
bool criteria_is_text(rule_criteria_t c) {
  return rule_criterion_traits(c).value == RULEC_VALUE_TEXT;
}

json_object *history_to_json(const json_bundle_t &b) {
  json_object *history = json_object_new_array();
  for (int k = 0; k < 5; k++) {
    const json_bundle_t::history_t &h = b.history[(b.hidx - k + 5) % 5];
    if (h.trigger_time_ms == 0) continue;
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "whence_ms", json_object_new_uint64(h.trigger_time_ms));
    json_object_object_add(entry, "severity", json_object_new_int(h.sev));
    json_object_object_add(entry, "rule", json_object_new_int(h.rule));
    json_object_object_add(entry, "notified", json_object_new_boolean(h.notified));
    if (criteria_is_numeric(h.rule_type)) {
      json_object_object_add(entry, "value", json_number(h.numeric_value));
    } else if (criteria_is_text(h.rule_type)) {
      json_object_object_add(
          entry, "value",
          h.has_text ? json_object_new_string_len(h.text_value.data(), int(h.text_value.size()))
                     : nullptr);
    }
    json_object_array_add(history, entry);
  }
  return history;
}

json_object *rule_to_json(const ruleset_t &r, int i, const json_bundle_t &b, int8_t newest_rule) {
  const rule_t &rule = r.rules[size_t(i)];
  json_bundle_t::last_values_t none{NAN, {}};
  const json_bundle_t::last_values_t &seen =
      size_t(i) < b.last_observed_values.size() ? b.last_observed_values[size_t(i)] : none;

  json_object *o = json_object_new_object();
  json_object_object_add(o, "criteria", json_object_new_string(rule_criteria_name(rule.rule_type)));
  json_object_object_add(o, "severity", json_object_new_int(rule.severity));
  json_object_object_add(o, "triggered", json_object_new_boolean(newest_rule == i));
  if (rule.rule_type == RULEC_ABSENCE) {
    // The configured window: the loaded one carries the cushion added at parse time.
    double ms = 1000.0 * (rule.absence_window - absence_cushion_s);
    json_object_object_add(o, "absence_ms", json_object_new_int64(int64_t(ms)));
    return o;
  }
  switch (r.metric_type) {
    case RULE_NUMERIC:
      json_object_object_add(o, "predicate_value", json_number(rule.info.numeric.value));
      json_object_object_add(o, "last_observed_value", json_number(seen.numeric));
      json_object_object_add(
          o, "windowing_function",
          json_object_new_string(windowing_function_name(rule.windowing_function)));
      json_object_object_add(o, "windowing_duration", json_seconds(rule.windowing_duration));
      if (rule.windowing_min_duration != rule.windowing_duration)
        json_object_object_add(o, "windowing_min_duration",
                               json_seconds(rule.windowing_min_duration));
      break;
    case RULE_HISTOGRAM:
      json_object_object_add(o, "predicate_value", json_number(rule.info.numeric.value));
      json_object_object_add(o, "last_observed_value", json_number(seen.numeric));
      json_object_object_add(
          o, "windowing_function",
          json_object_new_string(windowing_function_name(rule.windowing_function)));
      json_object_object_add(o, "windowing_duration", json_seconds(rule.windowing_duration));
      json_object_object_add(o, "criteria_windowing_parameter",
                             json_number(rule.criteria_windowing_parameter));
      break;
    case RULE_TEXT:
      json_object_object_add(
          o, "last_observed_value",
          seen.text.empty() ? nullptr
                            : json_object_new_string_len(seen.text.data(), int(seen.text.size())));
      json_object_object_add(o, "predicate_value", json_object_new_string(rule.value_str.c_str()));
      break;
    default:
      break;
  }
  return o;
}

json_object *stream_to_json(const ruleset_t &r, const json_bundle_t &b) {
  const json_bundle_t::history_t &newest = b.history[b.hidx % 5];
  json_object *o = json_object_new_object();
  json_object_object_add(o, "applications", json_object_new_uint64(b.applications));
  json_object_object_add(o, "last_time_ms", json_object_new_uint64(b.last_time_ms));
  json_object_object_add(o, "last_severity", json_object_new_int(newest.sev));
  json_object_object_add(o, "last_rule", json_object_new_int(newest.rule));
  json_object_object_add(o, "trigger_history", history_to_json(b));
  json_object *rules = json_object_new_array();
  for (int i = 0; i < int(r.rules.size()); i++)
    json_object_array_add(rules, rule_to_json(r, i, b, newest.rule));
  json_object_object_add(o, "rules", rules);
  return o;
}

}  // namespace

json_object *ruleset_to_json(const ruleset_sp &ruleset) {
  if (!ruleset) return nullptr;
  const ruleset_t &r = *ruleset;
  const char *name = r.metric_name ? r.metric_name : "";

  json_object *o = json_object_new_object();
  json_object_object_add(o, "event_criteria_id", json_object_new_uint64(r.event_criteria_id));
  json_object_object_add(
      o, "parent_event_criteria_id",
      r.parent_event_criteria_id ? json_object_new_uint64(r.parent_event_criteria_id) : nullptr);
  json_object_object_add(o, "type", json_object_new_string(rule_metric_type_name(r.metric_type)));
  if (!r.pattern.any_check_uuid) {
    char uuid[37];
    tovi_uuid_unparse(r.check_uuid, uuid);
    json_object_object_add(o, "uuid", json_object_new_string(uuid));
  }
  json_object_object_add(o, r.pattern.metric_name ? "pattern" : "name",
                         json_object_new_string(name));
  json_object_object_add(o, "account_id", json_object_new_uint64(r.account_id));
  json_object_object_add(
      o, "owned",
      json_object_new_boolean(metrics_do_i_own(r.account_id, r.check_uuid, name, -1, nullptr)));
  json_object_object_add(o, "operated",
                         json_object_new_boolean(metrics_am_i_responsible(
                             r.account_id, r.check_uuid, name, int(std::strlen(name)))));
  json_object_object_add(o, "applications",
                         json_object_new_uint64(r.applications.load(std::memory_order_relaxed)));
  json_object_object_add(o, "last_time_ms", json_object_new_uint64(r.last_time.load_ms()));
  if (r.filter) json_object_object_add(o, "tag_filter", json_object_new_string(r.filter));
  if (r.window_max_records >= 0)
    json_object_object_add(o, "window_max_records", json_object_new_int(r.window_max_records));

  json_object *streams = json_object_new_object();
  for (const rulestream_sp &stream : r.get_ruleset_streams()) {
    json_bundle_t b = stream->get_json_data_bundle();
    // Member names are the signatures; json-c copies the key.
    json_object_object_add(streams, b.signature.c_str(), stream_to_json(r, b));
  }
  json_object_object_add(o, "streams", streams);
  // After every key of the definition's own form, so that its readers find those as before.
  outlet_text_to_json(r.outlet_text.load(), o);
  return o;
}
