// Keys and words of a ruleset definition that the daemon does not know.
//
// Loads accept what they always accepted: an unknown key is ignored and an unknown windowing
// function means "none". Either is most often a typo that silently changes what a rule does
// ("windowing_fuction", "avg"), so every one is counted (statistic ruleset/unrecognised) and,
// when the load keeps a report, given as a warning with the closest known name; the check
// command treats warnings as errors.
#include <json-c/json.h>

#include <atomic>
#include <string>
#include <vector>

#include "load_report.h"
#include "windows/numeric_stats_window.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_conf_keys.h"

std::atomic<uint64_t> rulesets_unrecognised{0};

namespace {

const std::vector<std::string> ruleset_keys = {
    "event_criteria_id", "rules",      "metric_name", "metric_pattern",
    "account_id",        "check_uuid", "metric_type", "parent_event_criteria_id",
    "cull_seconds",      "filter",     "group_by",    "vask",
    "window_max_records"};

const std::vector<std::string> rule_keys = {"criteria",
                                            "severity",
                                            "value",
                                            "absence",
                                            "absence_window",
                                            "windowing_function",
                                            "windowing_duration",
                                            "windowing_min_duration",
                                            "criteria_windowing_parameter",
                                            "wait"};

const std::vector<std::string> &numeric_functions() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (int wf = W_NONE; wf <= W_COUNTER_2_STDDEV; wf++)
      out.emplace_back(windowing_function_name(windowing_function_t(wf)));
    out.emplace_back("derivative");
    out.emplace_back("derivative_stddev");
    return out;
  }();
  return names;
}

bool known(const std::vector<std::string> &names, const char *word) {
  for (const std::string &n : names)
    if (n == word) return true;
  return false;
}

void warn(std::string text) {
  rulesets_unrecognised.fetch_add(1, std::memory_order_relaxed);
  if (load_report_active()) load_report_warning(std::move(text));
}

void unknown_keys(json_object *o, const std::vector<std::string> &names, const std::string &where) {
  json_object_object_foreach(o, key, value) {
    (void)value;
    if (known(names, key)) continue;
    if (!load_report_active()) {
      warn("");
      continue;
    }
    std::string text = "unknown key \"" + std::string(key) + "\"" + where;
    warn(text + rules_word_hint(key, names));
  }
}

}  // namespace

std::string rules_word_hint(const std::string &word, const std::vector<std::string> &names) {
  std::string near = tovi_closest_name(word, names);
  return near.empty() ? "" : "; did you mean \"" + near + "\"?";
}

const std::vector<std::string> &rules_metric_type_words() {
  static const std::vector<std::string> words = {"numeric", "text", "histogram"};
  return words;
}

void ruleset_lint(json_object *el) {
  if (!json_object_is_type(el, json_type_object)) return;
  unknown_keys(el, ruleset_keys, "");
  json_object *rules = nullptr, *type = nullptr;
  if (!json_object_object_get_ex(el, "rules", &rules) ||
      !json_object_is_type(rules, json_type_array))
    return;
  std::string type_word;
  if (json_object_object_get_ex(el, "metric_type", &type) &&
      json_object_is_type(type, json_type_string))
    type_word = json_object_get_string(type);
  for (size_t i = 0, n = json_object_array_length(rules); i < n; i++) {
    json_object *rule = json_object_array_get_idx(rules, i);
    if (!json_object_is_type(rule, json_type_object)) continue;
    std::string where = " in rules[" + std::to_string(i) + "]";
    unknown_keys(rule, rule_keys, where);
    json_object *wf = nullptr;
    if (!json_object_object_get_ex(rule, "windowing_function", &wf) ||
        !json_object_is_type(wf, json_type_string))
      continue;
    const char *name = json_object_get_string(wf);
    // Text rulesets ignore the key; elsewhere an unknown name silently means "none".
    if (type_word == "numeric" && !known(numeric_functions(), name)) {
      warn("unknown windowing_function \"" + std::string(name) + "\"" + where +
           " (taken as \"none\")" + rules_word_hint(name, numeric_functions()));
    } else if (type_word == "histogram" && std::string(name) != "quantile" &&
               std::string(name) != "none") {
      warn("windowing_function \"" + std::string(name) + "\"" + where +
           " is not one of a histogram ruleset (\"quantile\"); taken as \"none\"");
    }
  }
}
