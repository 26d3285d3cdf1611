#include <string>
#include <vector>

#include "metrics.h"
#include "rules_test_support.h"
#include "tovi/tovi_cluster.h"
#include "tovi/tovi_log.h"

namespace {

using namespace rules_test;

const auto *environment = ::testing::AddGlobalTestEnvironment(new rules_environment_c);

// A ruleset element with one rule; `members` and `rule` are spliced in as given.
std::string element(uint64_t ecid, const std::string &members, const std::string &rule,
                    const char *type = "numeric") {
  return "{\"event_criteria_id\": " + std::to_string(ecid) +
         ", \"account_id\": 21, \"metric_name\": \"m" + std::to_string(ecid) +
         "\", \"metric_type\": \"" + type + "\"" + members + ", \"rules\": [" + rule + "]}";
}

const std::string good_rule = R"({"criteria": "max value", "severity": 2, "value": "90"})";

TEST(rules_parse, counts_processed_and_errors_per_element) {
  load_t l = load("[" + element(501, "", good_rule) + ", 17, " + element(502, "", good_rule) + "]");
  EXPECT_EQ(l.processed, 2);
  EXPECT_EQ(l.errors, 1);
  l = load("{\"event_criteria_id\": 503}");
  EXPECT_EQ(l.processed, -1);
  EXPECT_EQ(l.errors, 1);
  l = load("[]");
  EXPECT_EQ(l.processed, 0);
  EXPECT_EQ(l.errors, 0);

  // The same body twice keeps the first object; the discarded copy is not counted as live.
  uint64_t current = rulesets_current.load();
  ruleset_sp first = get_ruleset_by_id(501);
  l = load("[" + element(501, "", good_rule) + "]");
  EXPECT_EQ(l.processed, 1);
  EXPECT_EQ(get_ruleset_by_id(501), first);
  EXPECT_EQ(rulesets_current.load(), current);

  json_object *doc = json_tokener_parse(("[" + element(777, "", good_rule) + "]").c_str());
  uint64_t high_water = 600;
  EXPECT_EQ(parse_ruleset_response(doc, &high_water, nullptr), 1);
  EXPECT_EQ(high_water, 777u);
  json_object_put(doc);
}

// Every bad element counts one error and leaves the loaded version of its id in force.
TEST(rules_parse, refuses_bad_elements_and_keeps_the_earlier_version) {
  ASSERT_EQ(load("[" + element(510, "", good_rule) + "]").processed, 1);
  ruleset_sp loaded = get_ruleset_by_id(510);
  ASSERT_TRUE(loaded);
  std::string too_many;
  for (int i = 0; i < 128; i++)
    too_many += (i ? "," : "") + good_rule;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"id as text", R"({"event_criteria_id": "510", "account_id": 21, "metric_name": "x",
          "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1}]})"},
      {"account as text", R"({"event_criteria_id": 510, "account_id": "abc", "metric_name": "x",
          "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1}]})"},
      {"negative account", R"({"event_criteria_id": 510, "account_id": -3, "metric_name": "x",
          "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1}]})"},
      {"no name", R"({"event_criteria_id": 510, "account_id": 21, "metric_type": "numeric",
          "rules": [{"criteria": "max value", "severity": 1}]})"},
      {"rules not an array", R"({"event_criteria_id": 510, "rules": {}})"},
      {"bad check", element(510, ", \"check_uuid\": \"not-a-uuid\"", good_rule)},
      {"bad pattern", R"({"event_criteria_id": 510, "account_id": 21, "metric_pattern": "(",
          "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1}]})"},
      {"bad filter", element(510, ", \"filter\": \"and(\"", good_rule)},
      {"bad group_by", element(510, ", \"group_by\": \"[\"", good_rule)},
      {"null type", element(510, "", good_rule)
                        .replace(element(510, "", good_rule).find("\"numeric\""), 9, "null")},
      {"unknown type", element(510, "", good_rule, "gauge")},
      {"unknown criterion", element(510, "", R"({"criteria": "contains", "severity": 1})")},
      {"severity 0", element(510, "", R"({"criteria": "max value", "severity": 0})")},
      {"severity as text", element(510, "", R"({"criteria": "max value", "severity": "5"})")},
      {"negative cull", element(510, ", \"cull_seconds\": -1", good_rule)},
      {"negative window", element(510, "", R"({"criteria": "max value", "severity": 1,
          "windowing_function": "average", "windowing_duration": -5})")},
      {"window overflowing ms", element(510, "", R"({"criteria": "max value", "severity": 1,
          "windowing_function": "average", "windowing_duration": 3000000})")},
      {"min above window", element(510, "", R"({"criteria": "max value", "severity": 1,
          "windowing_function": "average", "windowing_duration": 60, "windowing_min_duration": 90})")},
      {"window above cull", element(510, ", \"cull_seconds\": 60", R"({"criteria": "max value",
          "severity": 1, "windowing_function": "average", "windowing_duration": 120})")},
      {"absence above cull", element(510, ", \"cull_seconds\": 60", R"({"criteria": "max value",
          "severity": 1, "absence": 1, "absence_window": 55})")},
      {"negative absence", element(510, "", R"({"criteria": "on absence", "severity": 1,
          "absence_window": -20})")},
      {"threshold not a number", element(510, "", R"({"criteria": "max value", "severity": 1,
          "value": "abc"})")},
      {"bad contains regex", element(510, "", R"({"criteria": "does not contain", "severity": 1,
          "value": "(unbalanced"})",
                                     "text")},
      {"quantile above 1", element(510, "", R"({"criteria": "max value", "severity": 1,
          "value": "5", "windowing_function": "quantile", "windowing_duration": 60,
          "criteria_windowing_parameter": 1.5})",
                                   "histogram")},
      {"too many rules", element(510, "", too_many)},
  };
  for (const auto &[what, body] : cases) {
    load_t l = load("[" + body + "]");
    EXPECT_EQ(l.processed, -1) << what;
    EXPECT_EQ(l.errors, 1) << what;
    EXPECT_EQ(get_ruleset_by_id(510), loaded) << what;
  }
}

TEST(rules_parse, reads_optional_members_windows_and_absence) {
  ruleset_sp r;
  auto load_one = [&r](const std::string &body) {
    load_t l = load("[" + body + "]");
    EXPECT_EQ(l.processed, 1) << body;
    EXPECT_EQ(l.errors, 0) << body;
    json_object *doc = json_tokener_parse(body.c_str());
    r = get_ruleset_by_id(json_object_get_uint64(json_object_object_get(doc, "event_criteria_id")));
    json_object_put(doc);
    ASSERT_TRUE(r);
  };
  // Nulls read as absent; a numeric value is accepted as its text.
  load_one(element(520,
                   ", \"check_uuid\": null, \"filter\": null, \"group_by\": null, \"vask\": null",
                   R"({"criteria": "min value", "severity": 3, "value": 1.5, "wait": 2})"));
  EXPECT_TRUE(r->pattern.any_check_uuid);
  EXPECT_EQ(r->filter, nullptr);
  EXPECT_EQ(r->group_by, nullptr);
  EXPECT_EQ(r->rules[0].rule_type, RULEC_NUMERIC_MIN);
  EXPECT_DOUBLE_EQ(r->rules[0].info.numeric.value, 1.5);

  load_one(element(521, "", R"({"criteria": "max value", "severity": 1, "absence": 1,
      "absence_window": 30}, {"criteria": "max value", "severity": 2, "value": "1",
      "windowing_function": "quantile", "windowing_duration": 60},
      {"criteria": "max value", "severity": 2, "value": "1", "windowing_function": "derivative",
      "windowing_duration": 60, "windowing_min_duration": 30})"));
  EXPECT_EQ(r->rules[0].rule_type, RULEC_ABSENCE);
  EXPECT_DOUBLE_EQ(r->rules[0].absence_window, 30 + absence_cushion_s);
  EXPECT_EQ(r->rules[1].windowing_function, W_NONE);
  EXPECT_EQ(r->rules[1].windowing_duration, 0);
  EXPECT_EQ(r->rules[2].windowing_function, W_DERIVE);
  EXPECT_EQ(r->rules[2].windowing_duration, 60000);
  EXPECT_EQ(r->rules[2].windowing_min_duration, 30000);

  load_one(element(522, ", \"check_uuid\": \"" + std::string(kUuidA) + "\"",
                   R"({"criteria": "max value", "severity": 1, "value": "250",
      "windowing_function": "quantile", "windowing_duration": 300,
      "criteria_windowing_parameter": 0.99})",
                   "histogram"));
  EXPECT_EQ(r->rules[0].rule_type, RULEC_HISTOGRAM_Q_MAX);
  EXPECT_EQ(r->rules[0].windowing_function, W_QUANTILE);
  EXPECT_EQ(r->rules[0].windowing_duration, 300000);
  EXPECT_FALSE(r->pattern.any_check_uuid);

  load_one(element(523, ", \"group_by\": \"host:a\"",
                   R"({"criteria": "does not contain", "severity": 1, "value": "err(or)?"})",
                   "text"));
  ASSERT_NE(r->rules[0].info.text.expr, nullptr);
  EXPECT_TRUE(ruleset_group_by_includes(*r, "x|ST[host:a]", 12));
  EXPECT_FALSE(ruleset_group_by_includes(*r, "x|ST[host:b]", 12));

  // Both name keys: only metric_name counts.
  load_one(R"({"event_criteria_id": 524, "account_id": 21, "metric_name": "both",
      "metric_pattern": "^x", "metric_type": "text", "rules": [{"criteria": "on change",
      "severity": 1}]})");
  EXPECT_FALSE(r->pattern.metric_name);
  EXPECT_STREQ(r->metric_name, "both");
  EXPECT_EQ(lookup("both", kUuidB, 21), (std::vector<uint64_t>{524}));
}

// In a cluster a node loads only the rulesets of the metrics it owns, judged by the name the
// ruleset keeps (canonical tags), which is also the name its alerts ask responsibility for.
TEST(rules_parse, a_cluster_node_loads_only_what_it_owns_by_the_canonical_name) {
  tovi_cluster_config_t cfg;
  cfg.name = "queltd";
  cfg.key = "a rules parse test cluster key";
  for (int i = 0; i < 3; i++)
    cfg.nodes.push_back({"7a000000-0000-4000-8000-00000000000" + std::to_string(i),
                         "n" + std::to_string(i), "127.0.0.1", uint16_t(7000 + i)});
  cfg.self_id = cfg.nodes[0].id;
  std::string error;
  tovi_cluster_t *cluster = tovi_cluster_alloc(cfg, &error);
  ASSERT_NE(cluster, nullptr) << error;
  ASSERT_TRUE(tovi_cluster_register(cluster));

  std::string body = "[";
  const int count = 40;
  for (int i = 0; i < count; i++)
    body += std::string(i ? "," : "") + "{\"event_criteria_id\": " + std::to_string(9000 + i) +
            ", \"account_id\": 21, \"check_uuid\": \"" + kUuidA + "\", \"metric_name\": \"own" +
            std::to_string(i) + "|ST[b:2,a:1]\", \"metric_type\": \"numeric\", \"rules\": [" +
            good_rule + "]}";
  uint64_t suppressed = rulesets_suppressed.load();
  load_t l = load(body + "]");
  EXPECT_EQ(l.errors, 0);

  int loaded = 0, raw_differs = 0;
  for (int i = 0; i < count; i++) {
    std::string raw = "own" + std::to_string(i) + "|ST[b:2,a:1]";
    std::string canonical = "own" + std::to_string(i) + "|ST[a:1,b:2]";
    bool owned = metrics_do_i_own(21, kUuidABytes, canonical.c_str(), -1, nullptr);
    raw_differs += owned != metrics_do_i_own(21, kUuidABytes, raw.c_str(), -1, nullptr);
    ruleset_sp r = get_ruleset_by_id(uint64_t(9000 + i));
    EXPECT_EQ(r != nullptr, owned) << raw;
    if (r) {
      EXPECT_STREQ(r->metric_name, canonical.c_str());
      // Its REST form agrees; no peer was heard from, so this node also operates it.
      json_object *o = ruleset_to_json(r), *v = nullptr;
      EXPECT_TRUE(json_object_object_get_ex(o, "owned", &v) && json_object_get_boolean(v));
      EXPECT_TRUE(json_object_object_get_ex(o, "operated", &v) && json_object_get_boolean(v));
      json_object_put(o);
    }
    loaded += owned;
  }
  // Some names hash to other owners before canonicalisation: the case that matters was met.
  EXPECT_GT(raw_differs, 0);
  EXPECT_EQ(l.processed, loaded);
  EXPECT_EQ(rulesets_suppressed.load() - suppressed, uint64_t(count - loaded));

  // A ruleset redefined for a metric of other nodes leaves this one: its old version would
  // otherwise go on alerting here for a metric it no longer watches.
  std::string mine, theirs;
  for (int i = 0; mine.empty() || theirs.empty(); i++) {
    std::string name = "moved" + std::to_string(i);
    (metrics_do_i_own(21, kUuidABytes, name.c_str(), -1, nullptr) ? mine : theirs) = name;
  }
  auto redefine = [&](const std::string &name) {
    return load("[{\"event_criteria_id\": 9500, \"account_id\": 21, \"check_uuid\": \"" +
                std::string(kUuidA) + "\", \"metric_name\": \"" + name +
                "\", \"metric_type\": \"numeric\", \"rules\": [" + good_rule + "]}]");
  };
  EXPECT_EQ(redefine(mine).processed, 1);
  EXPECT_EQ(lookup(mine, kUuidA, 21), std::vector<uint64_t>{9500});
  EXPECT_EQ(redefine(theirs).errors, 0);
  EXPECT_EQ(get_ruleset_by_id(9500), nullptr);
  EXPECT_TRUE(lookup(mine, kUuidA, 21).empty());

  tovi_cluster_unregister(cluster);
  tovi_memory_synchronize();
  tovi_cluster_free(cluster);
}

// ---- Bodies taken as text, element by element --------------------------------------------------

struct text_load_t {
  int processed;
  int errors;
  const char *syntax_error;
};

text_load_t load_text(const std::string &text) {
  text_load_t out{0, 0, nullptr};
  uint64_t high_water = 0;
  out.processed = parse_ruleset_text(text, &high_water, &out.errors, &out.syntax_error);
  return out;
}

std::string with_id(const std::string &id_text, const std::string &name = "\"m\"") {
  return R"({"event_criteria_id": )" + id_text + R"(, "account_id": 21, "metric_name": )" + name +
         R"(, "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2}]})";
}

TEST(rules_parse, ids_beyond_64_bits_nul_characters_and_huge_filters_are_errors) {
  const std::string top = "18446744073709551615";
  const std::string uuid = std::string("\"") + kUuidA;
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"2^64", with_id("18446744073709551616")},
      {"10^40", with_id("1" + std::string(40, '0'))},
      {"NUL in the name", with_id("530", R"("nul\u0000tail")")},
      {"NUL in the pattern",
       R"({"event_criteria_id": 531, "account_id": 21, "metric_pattern": "^a\u0000|", )"
       R"("metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2}]})"},
      {"NUL in the type", element(532, "", good_rule, "numeric\\u0000x")},
      {"NUL in the check", element(533, ", \"check_uuid\": " + uuid + "\\u0000x\"", good_rule)},
      {"NUL in the criterion",
       element(534, "", R"({"criteria": "max value\u0000", "severity": 2})")},
      {"NUL in the value",
       element(535, "", R"({"criteria": "max value", "severity": 2, "value": "9\u00000"})")},
      {"NUL in the group_by", element(536, R"(, "group_by": "a\u0000(")", good_rule)},
      {"filter too long",
       element(537, ", \"filter\": \"and(" + std::string(4100, 'a') + ":b)\"", good_rule)},
      {"larger than an element may be",
       element(540, ", \"pad\": \"" + std::string(300 << 10, 'x') + "\"", good_rule)},
      {"parent beyond 64 bits", element(538, R"(, "parent_event_criteria_id": 1e400)", good_rule)},
  };
  for (const auto &[what, el] : refused) {
    text_load_t l = load_text("[" + el + "]");
    EXPECT_EQ(l.syntax_error, nullptr) << what;
    EXPECT_EQ(l.processed, -1) << what;
    EXPECT_EQ(l.errors, 1) << what;
  }
  for (uint64_t id : {530, 531, 532, 533, 534, 535, 536, 537, 538, 540})
    EXPECT_FALSE(get_ruleset_by_id(id)) << id;
  // The largest id stays an id of its own: nothing beyond it collapses into it.
  text_load_t l = load_text("[" + with_id(top, "\"top\"") + "," +
                            with_id("18446744073709551616", "\"above\"") + "]");
  EXPECT_EQ(l.processed, 1);
  EXPECT_EQ(l.errors, 1);
  ruleset_sp r = get_ruleset_by_id(UINT64_MAX);
  ASSERT_TRUE(r);
  EXPECT_STREQ(r->metric_name, "top");
  // A filter within the limit still loads.
  l = load_text("[" +
                element(539, ", \"filter\": \"and(" + std::string(4000, 'a') + ":b)\"", good_rule) +
                "]");
  EXPECT_EQ(l.processed, 1);
  EXPECT_EQ(l.errors, 0);
}

TEST(rules_parse, a_body_of_bad_elements_logs_a_handful_of_lines_and_counts_exactly) {
  static quelt_test::log_capture_c errors_logged("error/rules");
  ASSERT_TRUE(errors_logged.added());
  errors_logged.clear();
  std::string body = "[";
  for (int i = 0; i < 5000; i++)
    body += i ? ",{}" : "{}";
  uint64_t rejected = rulesets_rejected.load();
  text_load_t l = load_text(body + "]");
  EXPECT_EQ(l.processed, -1);
  EXPECT_EQ(l.errors, 5000);
  EXPECT_EQ(rulesets_rejected.load() - rejected, 5000u);
  {
    std::vector<std::string> lines = errors_logged.lines();
    EXPECT_LE(lines.size(), 12u);
    size_t specified = 0, summary = 0;
    for (const std::string &line : lines) {
      specified += line.find("ruleset has no event_criteria_id") != std::string::npos;
      summary += line.find("4990 more refused rulesets in this request") != std::string::npos;
    }
    EXPECT_EQ(specified, 10u);
    EXPECT_EQ(summary, 1u);
  }

  // The registry is bounded: new ids past the limit are refused apart from the errors, while
  // ids already held are still replaced.
  uint64_t saved = rulesets_max_held;
  rulesets_max_held = ruleset_mgr->size() + 1;
  uint64_t over = rulesets_over_limit.load();
  l = load_text("[" + element(551, "", good_rule) + "," + element(552, "", good_rule) + "," +
                element(553, "", good_rule) + "]");
  EXPECT_EQ(l.processed, 1);
  EXPECT_EQ(l.errors, 0);
  EXPECT_EQ(rulesets_over_limit.load() - over, 2u);
  l = load_text("[" + element(551, "", R"({"criteria": "max value", "severity": 3})") + "]");
  EXPECT_EQ(l.processed, 1);
  EXPECT_EQ(get_ruleset_by_id(551)->rules[0].severity, 3);
  rulesets_max_held = saved;

  // A body that is not JSON is refused whole before anything takes effect.
  l = load_text("[" + element(554, "", good_rule) + ",{");
  EXPECT_STREQ(l.syntax_error, "unexpected end of data");
  EXPECT_FALSE(get_ruleset_by_id(554));
}

}  // namespace
