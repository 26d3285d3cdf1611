// Ruleset parsing and rule compilation.
//
// A definition is checked completely before anything is filed: one bad field drops that whole
// element with one counted error and one log line, and parsing goes on with the next element, so
// the earlier version of that id stays in force. Definitions come from outside (the management
// API, REST bodies), so every key is read with its JSON type checked: a text where a number
// belongs is an error, never a zero. An element with an empty "rules" array is a deletion request.
//
// A checked definition is filed, and a deletion request carried out, by filing.cpp.
#include <pcre.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "brokers.h"
#include "json_elements.h"
#include "load_report.h"
#include "rules/dependency_internal.h"
#include "general.h"
#include "metrics.h"
#include "outlets/outlets.h"
#include "rules/absence_internal.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "vask/vask_pcre.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_decoder.h"

uint64_t rulesets_max_held = 2000000;
std::atomic<uint64_t> rulesets_over_limit{0};
int32_t absence_cushion_s = 10;
int32_t max_out_of_order_s = 300;

tovi_log_stream_t rules_debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/rules");
  return ls;
}
tovi_log_stream_t rules_error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/rules");
  return ls;
}
tovi_log_stream_t rules_error_verbose_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/rules/verbose");
  return ls;
}

namespace {

// Largest whole seconds whose milliseconds fit in a signed 32-bit field.
constexpr int32_t max_duration_s = INT32_MAX / 1000;

// ---- PCRE JIT stacks ---------------------------------------------------------------------------

struct jit_stack_holder_t {
  pcre_jit_stack *stack = nullptr;
  ~jit_stack_holder_t() {
    if (stack) pcre_jit_stack_free(stack);
  }
};

pcre_jit_stack *thread_jit_stack(void *) {
  return rules_thread_jit_stack();
}

// ---- Name tables -------------------------------------------------------------------------------

struct criterion_word_t {
  const char *word;
  rule_criteria_t numeric, text, histogram;
};

const criterion_word_t criterion_words[] = {
    {"min value", RULEC_NUMERIC_MIN, RULEC_UNKNOWN, RULEC_HISTOGRAM_Q_MIN},
    {"max value", RULEC_NUMERIC_MAX, RULEC_UNKNOWN, RULEC_HISTOGRAM_Q_MAX},
    {"equals", RULEC_NUMERIC_EQ, RULEC_UNKNOWN, RULEC_UNKNOWN},
    {"does not equal", RULEC_NUMERIC_NEQ, RULEC_UNKNOWN, RULEC_UNKNOWN},
    {"on change", RULEC_NUMERIC_CHANGE, RULEC_TEXT_CHANGE, RULEC_UNKNOWN},
    {"match", RULEC_UNKNOWN, RULEC_TEXT_MATCH, RULEC_UNKNOWN},
    {"does not match", RULEC_UNKNOWN, RULEC_TEXT_NOMATCH, RULEC_UNKNOWN},
    {"contains", RULEC_UNKNOWN, RULEC_TEXT_CONTAINS, RULEC_UNKNOWN},
    {"does not contain", RULEC_UNKNOWN, RULEC_TEXT_NOCONTAINS, RULEC_UNKNOWN},
    {"on absence", RULEC_ABSENCE, RULEC_ABSENCE, RULEC_ABSENCE},
};

}  // namespace

std::vector<std::string> rules_criterion_words(rule_metric_type_t type) {
  std::vector<std::string> words;
  for (const criterion_word_t &c : criterion_words) {
    rule_criteria_t meaning = type == RULE_NUMERIC ? c.numeric
                              : type == RULE_TEXT  ? c.text
                                                   : c.histogram;
    if (meaning != RULEC_UNKNOWN) words.emplace_back(c.word);
  }
  return words;
}

namespace {

rule_criteria_t criterion_for(rule_metric_type_t type, const std::string &word) {
  for (const criterion_word_t &c : criterion_words) {
    if (word != c.word) continue;
    switch (type) {
      case RULE_NUMERIC:
        return c.numeric;
      case RULE_TEXT:
        return c.text;
      case RULE_HISTOGRAM:
        return c.histogram;
      default:
        return RULEC_UNKNOWN;
    }
  }
  return RULEC_UNKNOWN;
}

// An unknown or unsuitable name leaves W_NONE; text rulesets ignore the key.
windowing_function_t windowing_function_for(rule_metric_type_t type, const std::string &name) {
  if (type == RULE_HISTOGRAM) return name == "quantile" ? W_QUANTILE : W_NONE;
  if (type != RULE_NUMERIC) return W_NONE;
  if (name == "derivative") return W_DERIVE;
  if (name == "derivative_stddev") return W_DERIVE_STDDEV;
  for (int wf = W_NONE; wf <= W_COUNTER_2_STDDEV; wf++)
    if (name == windowing_function_name(windowing_function_t(wf))) return windowing_function_t(wf);
  return W_NONE;
}

rule_metric_type_t metric_type_for(const std::string &word) {
  if (word == "numeric") return RULE_NUMERIC;
  if (word == "text") return RULE_TEXT;
  if (word == "histogram") return RULE_HISTOGRAM;
  return RULE_UNKNOWN;
}

bool uses_threshold(rule_criteria_t c) {
  return rule_criterion_traits(c).threshold;
}

// A whole-string number: "12", " 1.5e3 ", but not "", "abc", "12abc", "nan" or "inf".
bool parse_threshold(const std::string &text, double *out) {
  const char *s = text.c_str();
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (end == s || errno == ERANGE || !std::isfinite(v)) return false;
  while (*end == ' ' || *end == '\t')
    end++;
  if (*end) return false;
  *out = v;
  return true;
}

// ---- Key access
// ----------------------------------------------------------------------------------

void key_failed(const char *key, int *errors) {
  tovi_log(rules_debug_stream(), "key %s failed\n", key);
  if (errors) (*errors)++;
}

// Whether the key is present and not null.
bool has_value(json_object *o, const char *key, json_object **v) {
  return json_object_object_get_ex(o, key, v) && *v && !json_object_is_type(*v, json_type_null);
}

enum element_result_t { ELEMENT_PROCESSED, ELEMENT_SKIPPED, ELEMENT_ERROR };

// The lines of one element: written for the first refused elements of a request, then muted
// (the batch's end writes one summary line with the count), so one bad body of millions of
// elements writes a handful of lines, not one each.
constexpr int element_lines_budget = 10;
thread_local bool element_lines_muted = false;
#define element_log(ls, fields, ...)                                    \
  do {                                                                  \
    if (!element_lines_muted) tovi_log_fields(ls, fields, __VA_ARGS__); \
  } while (0)
// A refused element: its reason goes to the load's report (load_report.h), kept for every element
// whatever the log's budget, and its line to the log like the other lines of the element.
#define rules_refuse_fields(ls, fields, ...) \
  do {                                       \
    load_report_error(__VA_ARGS__);          \
    element_log(ls, fields, __VA_ARGS__);    \
  } while (0)

// Longest tag filter taken: a filter runs on every line of its account.
constexpr size_t max_filter_bytes = 4096;

enum class text_t { absent, not_text, has_nul, ok };

// The text of a JSON value; a NUL inside would cut it short wherever it is used as a C string.
text_t text_of(json_object *v, std::string *out) {
  if (!v || json_object_is_type(v, json_type_null)) return text_t::absent;
  if (!json_object_is_type(v, json_type_string)) return text_t::not_text;
  size_t len = size_t(json_object_get_string_len(v));
  const char *s = json_object_get_string(v);
  if (std::memchr(s, '\0', len)) return text_t::has_nul;
  out->assign(s, len);
  return text_t::ok;
}

struct element_ctx_t {
  uint64_t ecid = 0;
  uint64_t account_id = 0;
  const char *check_uuid_text = "";
  const char *metric_name = "";
};

// A deletion request. One for an id not loaded is an error whose line is muted with the other
// lines of its element (a body of a million such requests writes a handful of lines).
element_result_t delete_requested(uint64_t ecid) {
  ruleset_filing_flush();  // a definition of this id may wait for the store
  if (!ruleset_mgr->get_by_id(ecid)) {
    dependency_record(ecid, 0);
    rules_refuse_fields(tovi_notice, ({"ecid", ecid}),
                        "rule [%zu] not found after deletion request.\n", size_t(ecid));
    return ELEMENT_ERROR;
  }
  return ruleset_delete(ecid) ? ELEMENT_PROCESSED : ELEMENT_ERROR;
}

// A definition this node does not keep (its metric is another node's, or its account is not
// served here) replaces whatever this node loaded under the same id before: that older version,
// for another metric or account, must not go on alerting here.
element_result_t skip_and_drop_earlier(uint64_t ecid) {
  ruleset_filing_flush();
  if (ruleset_mgr->get_by_id(ecid)) {
    element_log(tovi_notice, ({"ecid", ecid}),
                "rule [%zu] is no longer for this node: its loaded version goes.\n", size_t(ecid));
    ruleset_delete(ecid);
  }
  return ELEMENT_SKIPPED;
}

// ---- One rule
// ------------------------------------------------------------------------------------

bool parse_rule(json_object *ro, int i, ruleset_t &r, element_ctx_t &ctx) {
  unsigned long ecid = (unsigned long)ctx.ecid;
  rule_t &rule = r.rules[size_t(i)];
  int errs = 0;
  auto broken = [&](const char *what) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "ruleset broken rule[%d] %s [%lu]\n", i, what, ecid);
    return false;
  };
  if (!json_object_is_type(ro, json_type_object)) return broken("is not an object");

  json_object *v;
  if (has_value(ro, "criteria", &v) && text_of(v, &rule.criteria) == text_t::has_nul)
    return broken("has a criteria holding a NUL character");
  if (!rule.criteria.empty()) rule.rule_type = criterion_for(r.metric_type, rule.criteria);
  if (rule.rule_type == RULEC_UNKNOWN) {
    std::vector<std::string> words = rules_criterion_words(r.metric_type);
    load_report_error("rules[%d]: unknown criteria \"%s\" for a %s ruleset%s", i,
                      rule.criteria.c_str(), rule_metric_type_name(r.metric_type),
                      rules_word_hint(rule.criteria, words).c_str());
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "ruleset broken rule[%d] unknown type from %s/%s [%lu]\n", i,
                        rule_metric_type_name(r.metric_type), rule.criteria.c_str(), ecid);
    return false;
  }
  int32_t absence = 0;
  if (json_object_object_get_ex(ro, "absence", &v) && !jgetint(ro, "absence", &absence, &errs) &&
      errs)
    return broken("has a bad absence flag");
  if (absence == 1) rule.rule_type = RULEC_ABSENCE;

  int32_t severity = 0;
  jgetint(ro, "severity", &severity, &errs);
  if (severity <= 0) {
    load_report_error("rules[%d]: severity must be an integer of 1 or more (1 is the most severe)",
                      i);
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "ruleset bad severity %d unknown [%lu]\n", severity, ecid);
    return false;
  }
  rule.severity = severity;

  if (json_object_object_get_ex(ro, "value", &v)) {
    bool is_null = false;
    if (json_object_is_type(v, json_type_int) || json_object_is_type(v, json_type_double))
      rule.value_str = json_object_get_string(v);
    else if (!jgetstr(ro, "value", &rule.value_str, &is_null, &errs))
      return broken("has a value that is not text");
  }

  // Optional numbers: absent or null read as 0; a wrong type is an error.
  auto optional_double = [&](const char *key, double *out) {
    if (!json_object_object_get_ex(ro, key, &v)) return true;
    int e = 0;
    return jgetdouble(ro, key, out, &e) || e == 0;
  };
  auto optional_int = [&](const char *key, int32_t *out) {
    if (!json_object_object_get_ex(ro, key, &v)) return true;
    int e = 0;
    return jgetint(ro, key, out, &e) || e == 0;
  };
  double absence_window = 0, parameter = 0, wait = 0;
  int32_t duration = 0, min_duration = 0;
  if (!optional_double("absence_window", &absence_window) || absence_window < 0 ||
      absence_window > max_duration_s - absence_cushion_s)
    return broken("has an absence_window out of range");
  if (!optional_double("criteria_windowing_parameter", &parameter))
    return broken("has a bad criteria_windowing_parameter");
  if (!optional_int("windowing_duration", &duration) || duration < 0 || duration > max_duration_s)
    return broken("has a windowing_duration out of range");
  if (!optional_int("windowing_min_duration", &min_duration) || min_duration < 0 ||
      min_duration > max_duration_s)
    return broken("has a windowing_min_duration out of range");
  if (!optional_double("wait", &wait)) return broken("has a bad wait");

  if (rule.rule_type == RULEC_ABSENCE) absence_window += absence_cushion_s;
  rule.absence_window = absence_window;
  rule.criteria_windowing_parameter = parameter;
  if (r.cull_seconds != 0 && rule.absence_window > r.cull_seconds) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "rule[%d] has longer absence window than cull: [%lu] on (%s)\n", i, ecid,
                        r.metric_name);
    return false;
  }
  if (r.cull_seconds != 0 && r.cull_seconds < duration) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "rule[%d] has longer absence window than window: [%lu] on (%s)\n", i, ecid,
                        r.metric_name);
    return false;
  }
  rule.windowing_duration = duration * 1000;
  rule.windowing_min_duration = min_duration * 1000;
  if (rule.windowing_duration < rule.windowing_min_duration) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "rule[%d] has longer min_window than window: [%lu] on (%s)\n", i, ecid,
                        r.metric_name);
    return false;
  }
  rule.wait = wait;
  std::string wf_name;
  bool wf_null = false;
  if (json_object_object_get_ex(ro, "windowing_function", &v) &&
      !jgetstr(ro, "windowing_function", &wf_name, &wf_null, &errs))
    return broken("has a windowing_function that is not text");
  rule.windowing_function = windowing_function_for(r.metric_type, wf_name);
  if (rule.windowing_function == W_NONE) {
    rule.windowing_duration = 0;
    rule.windowing_min_duration = 0;
  }
  // The quantile of a histogram rule: anything outside [0, 1] has no meaning.
  if (r.metric_type == RULE_HISTOGRAM && rule.rule_type != RULEC_ABSENCE &&
      !(parameter >= 0 && parameter <= 1)) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}, {"rule", i}),
                        "rule[%d] quantile %g outside [0,1]: [%lu] on (%s)\n", i, parameter, ecid,
                        r.metric_name);
    return false;
  }
  return true;
}

// ---- One element
// ---------------------------------------------------------------------------------

element_result_t parse_element(json_object *el, ruleset_batch_t *batch) {
  if (!json_object_is_type(el, json_type_object)) {
    rules_refuse_fields(rules_error_stream(), (), "ruleset has wrong object type\n");
    return ELEMENT_ERROR;
  }
  element_ctx_t ctx;
  int errs = 0;
  if (!jgetuint64(el, "event_criteria_id", &ctx.ecid, &errs)) {
    rules_refuse_fields(rules_error_stream(), (), "ruleset has no event_criteria_id\n");
    return ELEMENT_ERROR;
  }
  unsigned long ecid = (unsigned long)ctx.ecid;
  load_report_id(ctx.ecid);
  ruleset_lint(el);
  json_object *rules;
  if (!json_object_object_get_ex(el, "rules", &rules) ||
      !json_object_is_type(rules, json_type_array)) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}), "ruleset has no rules\n");
    return ELEMENT_ERROR;
  }
  size_t nrules = json_object_array_length(rules);
  if (nrules == 0) return delete_requested(ctx.ecid);
  if (nrules > size_t(INT8_MAX)) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}),
                        "ruleset[%lu] has %zu rules, at most %d are allowed\n", ecid, nrules,
                        int(INT8_MAX));
    return ELEMENT_ERROR;
  }

  // The name: "metric_name" (null reads as absent), else "metric_pattern".
  json_object *v;
  bool is_pattern = false;
  std::string name;
  text_t name_text = text_t::absent;
  if (has_value(el, "metric_name", &v)) {
    name_text = text_of(v, &name);
  } else if (has_value(el, "metric_pattern", &v)) {
    is_pattern = true;
    name_text = text_of(v, &name);
  }
  if (name_text == text_t::has_nul) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "rule[%lu] metric name or pattern holds a NUL character\n", ecid);
    return ELEMENT_ERROR;
  }
  if (name.empty()) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "rule[%lu] missing metric_name or metric_pattern\n", ecid);
    return ELEMENT_ERROR;
  }
  ctx.metric_name = name.c_str();
  if (!jgetuint64(el, "account_id", &ctx.account_id, &errs)) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}, {"metric_name", name}),
                        "rule[%lu] missing account_id\n", ecid);
    return ELEMENT_ERROR;
  }
  if (!should_handle_account(ctx.account_id)) {
    element_log(rules_error_verbose_stream(),
                ({"ecid", ctx.ecid}, {"account_id", ctx.account_id}, {"metric_name", name}),
                "rule[%lu] account_id %lu is excluded\n", ecid, (unsigned long)ctx.account_id);
    return skip_and_drop_earlier(ctx.ecid);
  }
  uint8_t check_uuid[16] = {};
  if (has_value(el, "check_uuid", &v)) {
    const char *text = json_object_is_type(v, json_type_string) ? json_object_get_string(v) : "";
    size_t text_len =
        json_object_is_type(v, json_type_string) ? size_t(json_object_get_string_len(v)) : 0;
    ctx.check_uuid_text = text;
    if (!tovi_uuid_parse(text, text_len, check_uuid)) {
      rules_refuse_fields(
          rules_error_verbose_stream(),
          ({"ecid", ctx.ecid}, {"account_id", ctx.account_id}, {"metric_name", name}),
          "rule[%lu] check_uuid unparseable\n", ecid);
      return ELEMENT_ERROR;
    }
  }
  // The canonical name comes before the ownership question: alerts ask whether this node is
  // responsible for the name the ruleset keeps, and both questions must hash the same key, or the
  // nodes that load a ruleset and the nodes that may publish its alerts would differ.
  bool match_canonical = false;
  if (!is_pattern &&
      (name.find("|ST[") != std::string::npos || name.find("|MT{") != std::string::npos)) {
    match_canonical = true;
    char canonical[4096];
    int len = vask_metric_canonicalize(name.data(), name.size(), canonical, sizeof canonical, true);
    if (len > 0) {
      std::string_view c(canonical, size_t(len));
      // Measurement tags describe one sample, never a metric: a name that keeps them would
      // match nothing.
      size_t mt = c.find("|MT{");
      if (mt != std::string_view::npos) c = c.substr(0, mt);
      name.assign(c);
      if (name.find("|ST[") == std::string::npos) match_canonical = false;
      element_log(rules_error_verbose_stream(), (),
                  "canonicalizing a seemingly canonical metric_name\n");
    } else {
      element_log(rules_error_stream(), ({"ecid", ctx.ecid}, {"metric_name", name}),
                  "ruleset[%lu] canonicalizing a seemingly canonical metric_name failed\n", ecid);
    }
  }
  ctx.metric_name = name.c_str();
  if (!metrics_do_i_own(ctx.account_id, check_uuid, name.c_str(), -1, nullptr)) {
    element_log(rules_error_verbose_stream(),
                ({"ecid", ctx.ecid}, {"check_uuid", ctx.check_uuid_text},
                 {"account_id", ctx.account_id}, {"metric_name", name}),
                "rule[%lu] I don't own\n", ecid);
    rulesets_suppressed.fetch_add(1, std::memory_order_relaxed);
    return skip_and_drop_earlier(ctx.ecid);
  }

  // The registry is bounded: a new id beyond the limit is refused, apart from the errors, so a
  // load that keeps bringing new ids ends instead of growing without bound.
  if (ruleset_mgr->size() >= batch->max_held && !ruleset_mgr->get_by_id(ctx.ecid)) {
    batch->over_limit++;
    load_report_error("not loaded: the registry holds the most rulesets allowed (%lu)",
                      (unsigned long)batch->max_held);
    rulesets_over_limit.fetch_add(1, std::memory_order_relaxed);
    return ELEMENT_SKIPPED;
  }
  ruleset_sp r = ruleset_safe_alloc(int(nrules));
  if (!r) return ELEMENT_ERROR;
  r->event_criteria_id = ctx.ecid;
  r->outlet_text.store(outlet_text_parse(el, ctx.ecid));
  if (json_object_object_get_ex(el, "parent_event_criteria_id", &v) &&
      !jgetuint64(el, "parent_event_criteria_id", &r->parent_event_criteria_id, nullptr) &&
      !json_object_is_type(v, json_type_null)) {
    rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}),
                        "rule[%lu] parent_event_criteria_id is not an id\n", ecid);
    return ELEMENT_ERROR;
  }
  element_log(rules_debug_stream(),
              ({"ecid", ctx.ecid}, {"parent_ecid", r->parent_event_criteria_id},
               {"account_id", ctx.account_id}, {"metric_name", name}),
              "parse, new ruleset[%lu] w/ %d rules\n", ecid, int(nrules));
  if (batch->high_water && ctx.ecid > *batch->high_water) *batch->high_water = ctx.ecid;
  std::memcpy(r->check_uuid, check_uuid, 16);

  r->pattern.match_canonical = match_canonical ? 1 : 0;
  r->metric_name = strdup(name.c_str());
  if (!r->metric_name) return ELEMENT_ERROR;
  r->pattern.metric_name = is_pattern ? 1 : 0;
  r->pattern.any_check_uuid = std::memcmp(check_uuid, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16) == 0;
  r->account_id = ctx.account_id;

  const char *pcre_error = nullptr;
  int pcre_offset = 0;
  if (is_pattern) {
    r->metric_pcre = pcre_compile(r->metric_name, 0, &pcre_error, &pcre_offset, nullptr);
    if (!r->metric_pcre) {
      rules_refuse_fields(
          rules_error_stream(), ({"ecid", ctx.ecid}, {"account_id", ctx.account_id}),
          "pcre compile failed[%lu] on (%s): %s\n", ecid, r->metric_name, pcre_error);
      return ELEMENT_ERROR;
    }
    r->metric_pcre_extra = rules_pcre_study(r->metric_pcre);
  }
  if (json_object_object_get_ex(el, "cull_seconds", &v) &&
      !json_object_is_type(v, json_type_null) &&
      !jgetint(el, "cull_seconds", &r->cull_seconds, nullptr)) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "cull_seconds is not a number [%lu] on (%s)\n", ecid, r->metric_name);
    return ELEMENT_ERROR;
  }
  if (r->cull_seconds < 0) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "cull_seconds < 0 [%lu] on (%s)\n", ecid, r->metric_name);
    return ELEMENT_ERROR;
  }
  // The record cap of the ruleset's windows: 0 keeps every sample, whatever is configured.
  if (json_object_object_get_ex(el, "window_max_records", &v) &&
      !json_object_is_type(v, json_type_null) &&
      (!jgetint(el, "window_max_records", &r->window_max_records, nullptr) ||
       (r->window_max_records != 0 &&
        (r->window_max_records < 8 || r->window_max_records > 1000000)))) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "window_max_records is not 0 or a number from 8 to 1000000 [%lu] on (%s)\n",
                        ecid, r->metric_name);
    return ELEMENT_ERROR;
  }
  if (has_value(el, "filter", &v)) {
    std::string filter_text;
    text_t kind = text_of(v, &filter_text);
    if (kind == text_t::has_nul || filter_text.size() > max_filter_bytes) {
      rules_refuse_fields(
          rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
          "tag filter of %zu bytes refused: it holds a NUL character or is longer than "
          "%zu bytes\n",
          size_t(json_object_get_string_len(v)), max_filter_bytes);
      return ELEMENT_ERROR;
    }
    const char *text = kind == text_t::ok ? filter_text.c_str() : nullptr;
    int offset = 0;
    r->filter_ast = text ? vask_metric_tag_search_parse(text, &offset) : nullptr;
    if (!r->filter_ast) {
      rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                          "tag filter '%s' failed at offset %d\n", text ? text : "", offset);
      return ELEMENT_ERROR;
    }
    r->filter = strdup(text);
  }
  if (has_value(el, "group_by", &v)) {
    std::string group_text;
    text_t kind = text_of(v, &group_text);
    const char *text = kind == text_t::ok ? group_text.c_str() : nullptr;
    if (kind == text_t::has_nul) pcre_error = "holds a NUL character";
    r->group_by_pcre = text ? pcre_compile(text, 0, &pcre_error, &pcre_offset, nullptr) : nullptr;
    if (!r->group_by_pcre) {
      rules_refuse_fields(rules_error_stream(), ({"ecid", ctx.ecid}),
                          "pcre compile failed[%lu] on (%s): %s\n", ecid, text ? text : "",
                          text || kind == text_t::has_nul ? pcre_error : "not text");
      return ELEMENT_ERROR;
    }
    r->group_by_pcre_extra = rules_pcre_study(r->group_by_pcre);
    r->group_by = strdup(text);
  }
  std::string type_word;
  if (!has_value(el, "metric_type", &v)) {
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "ruleset missing metric_type [%lu]\n", ecid);
    return ELEMENT_ERROR;
  }
  text_of(v, &type_word);  // a word holding a NUL stays empty: unknown
  r->metric_type = metric_type_for(type_word);
  if (r->metric_type == RULE_UNKNOWN) {
    load_report_error("unknown metric_type \"%s\"%s", type_word.c_str(),
                      rules_word_hint(type_word, rules_metric_type_words()).c_str());
    rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                        "ruleset metric_type unknown [%lu] %s\n", ecid, type_word.c_str());
    return ELEMENT_ERROR;
  }

  for (size_t i = 0; i < nrules; i++)
    if (!parse_rule(json_object_array_get_idx(rules, i), int(i), *r, ctx)) return ELEMENT_ERROR;
  auto [status, ast] = build_query_for_ruleset(*r);
  vask_metric_tag_search_free(ast);
  if (status != 0) return ELEMENT_ERROR;
  for (rule_t &rule : r->rules)
    if (!rule_compile(*r, rule)) return ELEMENT_ERROR;

  std::string broker_name;
  if (has_value(el, "vask", &v)) {
    if (text_of(v, &broker_name) == text_t::has_nul) {
      rules_refuse_fields(rules_error_verbose_stream(), ({"ecid", ctx.ecid}),
                          "ruleset broker name holds a NUL character [%lu]\n", ecid);
      return ELEMENT_ERROR;
    }
    if (!broker_name.empty() || json_object_is_type(v, json_type_string))
      r->default_broker = createbroker(broker_name.c_str(), broker_name.size());
  }

  ruleset_count_accepted(*r);
  dependency_record(r->event_criteria_id, r->parent_event_criteria_id);
  return ruleset_file(r, el) ? ELEMENT_PROCESSED : ELEMENT_ERROR;
}

}  // namespace

// ---- Interface

pcre_jit_stack *rules_thread_jit_stack() {
  thread_local jit_stack_holder_t holder;
  if (!holder.stack) holder.stack = pcre_jit_stack_alloc(32 * 1024, 512 * 1024);
  return holder.stack;
}
// -------------------------------------------------------------------------------------

pcre_extra *rules_pcre_study(pcre *re) {
  const char *error = nullptr;
  // Every expression of a ruleset runs on metric data on a worker: bounded, like tag searches.
  pcre_extra *extra = vask_pcre_limit(pcre_study(re, PCRE_STUDY_JIT_COMPILE, &error));
  if (extra && (extra->flags & PCRE_EXTRA_EXECUTABLE_JIT))
    pcre_assign_jit_stack(extra, thread_jit_stack, nullptr);
  return extra;
}

bool jgetstr(json_object *o, const char *key, char **out, int *errors) {
  std::string text;
  bool is_null = false;
  if (!jgetstr(o, key, &text, &is_null, errors)) return false;
  std::free(*out);
  *out = is_null ? nullptr : strdup(text.c_str());
  return true;
}

namespace {

enum class json_key_t { missing, null, present };

// Looks the key up: a missing key is counted in *errors and logged; JSON null is reported apart.
json_key_t json_key(json_object *o, const char *key, json_object **v, int *errors) {
  if (!json_object_object_get_ex(o, key, v)) {
    key_failed(key, errors);
    return json_key_t::missing;
  }
  if (!*v || json_object_is_type(*v, json_type_null)) return json_key_t::null;
  return json_key_t::present;
}

}  // namespace

bool jgetstr(json_object *o, const char *key, std::string *out, bool *is_null, int *errors) {
  json_object *v;
  json_key_t k = json_key(o, key, &v, errors);
  if (k == json_key_t::missing) return false;
  if (k == json_key_t::null) {
    out->clear();
    if (is_null) *is_null = true;
    return true;
  }
  if (!json_object_is_type(v, json_type_string)) {
    key_failed(key, errors);
    return false;
  }
  size_t len = size_t(json_object_get_string_len(v));
  // A NUL would cut the text wherever it is used as a C string: not a text of ours.
  if (std::memchr(json_object_get_string(v), '\0', len)) {
    key_failed(key, errors);
    return false;
  }
  if (is_null) *is_null = false;
  out->assign(json_object_get_string(v), len);
  return true;
}

bool jgetdouble(json_object *o, const char *key, double *out, int *errors) {
  json_object *v;
  json_key_t k = json_key(o, key, &v, errors);
  if (k != json_key_t::present) {
    if (k == json_key_t::null) *out = 0;
    return false;
  }
  if (!json_object_is_type(v, json_type_double) && !json_object_is_type(v, json_type_int)) {
    key_failed(key, errors);
    return false;
  }
  double d = json_object_get_double(v);
  if (!std::isfinite(d)) {
    key_failed(key, errors);
    return false;
  }
  *out = d;
  return true;
}

namespace {

// The integer of a JSON int, told apart from json-c's clamping: a value above INT64_MAX is only
// readable unsigned, anything else signed.
bool json_integer(json_object *v, bool *is_unsigned, int64_t *s, uint64_t *u) {
  if (!json_object_is_type(v, json_type_int)) return false;
  errno = 0;
  *s = json_object_get_int64(v);
  *u = json_object_get_uint64(v);
  *is_unsigned = *s == INT64_MAX && *u > uint64_t(INT64_MAX);
  return true;
}

}  // namespace

bool jgetint(json_object *o, const char *key, int32_t *out, int *errors) {
  json_object *v;
  json_key_t k = json_key(o, key, &v, errors);
  if (k != json_key_t::present) {
    if (k == json_key_t::null) *out = 0;
    return false;
  }
  bool is_unsigned;
  int64_t s;
  uint64_t u;
  if (!json_integer(v, &is_unsigned, &s, &u) || is_unsigned || s < INT32_MIN || s > INT32_MAX) {
    key_failed(key, errors);
    return false;
  }
  *out = int32_t(s);
  return true;
}

bool jgetuint64(json_object *o, const char *key, uint64_t *out, int *errors) {
  json_object *v;
  json_key_t k = json_key(o, key, &v, errors);
  if (k != json_key_t::present) {
    if (k == json_key_t::null) *out = 0;
    return false;
  }
  bool is_unsigned;
  int64_t s;
  uint64_t u;
  // A negative id is not an id: refused rather than wrapped.
  if (!json_integer(v, &is_unsigned, &s, &u) || (!is_unsigned && s < 0)) {
    key_failed(key, errors);
    return false;
  }
  *out = is_unsigned ? u : uint64_t(s);
  return true;
}

bool rule_compile(ruleset_t &r, rule_t &rule) {
  if (r.metric_type == RULE_NUMERIC || r.metric_type == RULE_HISTOGRAM) {
    if (rule.value_str.empty()) return true;
    double value = 0;
    if (!parse_threshold(rule.value_str, &value)) {
      // A threshold that is not a number would compare as 0 and alert on everything.
      if (!uses_threshold(rule.rule_type)) return true;
      rules_refuse_fields(rules_error_stream(), ({"ecid", r.event_criteria_id}),
                          "threshold is not a number on rule [ecid:[%lu] %s\n",
                          (unsigned long)r.event_criteria_id, rule.value_str.c_str());
      return false;
    }
    rule.info.numeric.value = value;
    return true;
  }
  if (r.metric_type != RULE_TEXT) return true;
  if (rule.rule_type != RULEC_TEXT_CONTAINS && rule.rule_type != RULEC_TEXT_NOCONTAINS) return true;
  if (rule.value_str.empty()) return true;
  const char *error = nullptr;
  int offset = 0;
  pcre *re = pcre_compile(rule.value_str.c_str(), 0, &error, &offset, nullptr);
  if (!re) {
    // Without its expression "does not contain" would hold on every sample: refuse the rule.
    rules_refuse_fields(rules_error_stream(), ({"ecid", r.event_criteria_id}),
                        "pcre compile failed on rule [ecid:[%lu] %s\n",
                        (unsigned long)r.event_criteria_id, error);
    return false;
  }
  rule.info.text.expr = re;
  rule.info.text.expr_extra = rules_pcre_study(re);
  return true;
}

void ruleset_batch_begin(ruleset_batch_t *batch, size_t count) {
  ruleset_filing_begin();
  batch->max_held = rulesets_max_held;
  tovi_log(rules_debug_stream(), "parse, new %d rulesets\n", int(count));
}

void ruleset_batch_element(ruleset_batch_t *batch, json_object *element, size_t raw_size) {
  element_lines_muted = batch->errors >= element_lines_budget;
  load_report_begin(batch->index);
  element_result_t result;
  if (!element && raw_size > json_elements_max_element) {
    rules_refuse_fields(rules_error_stream(), (), "ruleset of %zu bytes refused: at most %zu\n",
                        raw_size, json_elements_max_element);
    result = ELEMENT_ERROR;
  } else {
    result = parse_element(element, batch);
  }
  element_lines_muted = false;
  switch (result) {
    case ELEMENT_PROCESSED:
      batch->processed++;
      break;
    case ELEMENT_ERROR:
      load_report_error("refused");  // kept only when no reason was given
      if (batch->errors >= element_lines_budget) batch->unlogged++;
      batch->errors++;
      if (batch->on_refused) batch->on_refused(batch->index);
      break;
    case ELEMENT_SKIPPED:
      break;
  }
  batch->index++;
}

int ruleset_batch_end(ruleset_batch_t *batch, int *errors) {
  ruleset_filing_end();
  if (batch->unlogged)
    tovi_log_fields(rules_error_stream(), ({"errors", batch->errors}),
                    "%d more refused rulesets in this request, not logged one by one\n",
                    batch->unlogged);
  if (batch->over_limit)
    tovi_log_fields(rules_error_stream(), ({"refused", batch->over_limit}),
                    "%lu rulesets refused: the registry holds the most allowed (%lu)\n",
                    (unsigned long)batch->over_limit, (unsigned long)batch->max_held);
  if (batch->errors)
    rulesets_rejected.fetch_add(uint64_t(batch->errors), std::memory_order_relaxed);
  if (errors) *errors = batch->errors;
  return (batch->errors == 0 || batch->processed > 0) ? batch->processed : -1;
}

int parse_ruleset_text(std::string_view text, uint64_t *high_water, int *errors,
                       const char **syntax_error) {
  json_document_t doc = json_document_check(text);
  if (!doc.ok) {
    if (syntax_error) *syntax_error = doc.error;
    rulesets_rejected.fetch_add(1, std::memory_order_relaxed);
    if (errors) *errors = 1;
    return -1;
  }
  if (syntax_error) *syntax_error = nullptr;
  if (!doc.is_array) return parse_ruleset_response(nullptr, high_water, errors);
  ruleset_batch_t batch;
  batch.high_water = high_water;
  ruleset_batch_begin(&batch, doc.elements);
  json_elements_each(text, [&batch](std::string_view raw, json_object *element) {
    ruleset_batch_element(&batch, element, raw.size());
  });
  return ruleset_batch_end(&batch, errors);
}

int parse_ruleset_response(json_object *array, uint64_t *high_water, int *errors) {
  if (!array || !json_object_is_type(array, json_type_array)) {
    tovi_log(rules_error_verbose_stream(),
             "Bad toplevel rulesets object type (should be json array)\n");
    rulesets_rejected.fetch_add(1, std::memory_order_relaxed);
    if (errors) *errors = 1;
    return -1;
  }
  size_t n = json_object_array_length(array);
  ruleset_batch_t batch;
  batch.high_water = high_water;
  ruleset_batch_begin(&batch, n);
  for (size_t i = 0; i < n; i++)
    ruleset_batch_element(&batch, json_object_array_get_idx(array, i));
  return ruleset_batch_end(&batch, errors);
}
