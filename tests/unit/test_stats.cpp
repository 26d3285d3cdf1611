#include "stats/stats.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "llhist/llhist.h"

namespace {

struct recorder_deleter {
  void operator()(stats_recorder_t *r) const { stats_recorder_free(r); }
};
using recorder_ptr = std::unique_ptr<stats_recorder_t, recorder_deleter>;

struct json_deleter {
  void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_deleter>;

json_ptr parse(const std::string &text) {
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  json_tokener *tok = json_tokener_new();
  json_object *o = json_tokener_parse_ex(tok, text.data(), int(text.size()));
  EXPECT_EQ(json_tokener_get_error(tok), json_tokener_success) << text;
  json_tokener_free(tok);
  return json_ptr(o);
}

// Follows a path of object keys; null when one is missing.
json_object *at(json_object *o, std::initializer_list<const char *> path) {
  for (const char *key : path) {
    json_object *next = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &next)) return nullptr;
    o = next;
  }
  return o;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

bool has_line(const std::vector<std::string> &lines, const std::string &line) {
  for (const auto &l : lines)
    if (l == line) return true;
  return false;
}

// The shape of the daemon's own statistics: labels, texts, aggregate counters told apart by
// tags, per-thread namespaces, per-broker observed values and latency histograms.
struct daemon_like_t {
  recorder_ptr rec{stats_recorder_alloc()};
  const char *branch = "branches/master";
  std::atomic<uint64_t> received{0};
  uint64_t collected = 0;
  std::atomic<int64_t> depth{0};
  stats_counter_t *timeout = nullptr, *count = nullptr, *t0_received = nullptr,
                  *t1_received = nullptr;
  stats_histogram_t *latency = nullptr;

  daemon_like_t() {
    stats_ns_t *root = stats_recorder_root(rec.get());
    stats_recorder_set_label(rec.get(), "app", "queltd");
    EXPECT_NE(stats_register_text(root, "branch", &branch), nullptr);
    EXPECT_NE(stats_register_text_fn(root, "version", [] { return std::string("abc.123"); }),
              nullptr);

    stats_ns_t *datapath = stats_register_ns(root, "datapath");
    stats_ns_t *aggregate = stats_register_ns(datapath, "_aggregate");
    EXPECT_NE(
        stats_register_u64(aggregate, "received", STATS_COUNTER, &received, {.units = "messages"}),
        nullptr);
    timeout =
        stats_register_counter(aggregate, "timeout_cycles",
                               {.tagged_name = "aborted_cycles", .tags = {{"reason", "timeout"}}});
    count =
        stats_register_counter(aggregate, "queuedepth_cycles",
                               {.tagged_name = "aborted_cycles", .tags = {{"reason", "count"}}});
    for (const char *thread : {"e:default/0", "e:default/1"}) {
      stats_ns_t *t = stats_register_ns(datapath, thread);
      stats_ns_add_tag(t, "tovi-pool", "default");
      stats_ns_add_tag(t, "tovi-thread", thread + 10);
      (thread[10] == '0' ? t0_received : t1_received) =
          stats_register_counter(t, "received", {.units = "messages"});
    }
    stats_ns_t *rules = stats_register_ns(root, "rules");
    latency = stats_register_histogram(rules, "rule_execute", {.units = "seconds"});
    stats_ns_t *brokers = stats_register_ns(root, "brokers");
    stats_ns_t *b1 = stats_register_ns(brokers, "b1");
    stats_ns_add_tag(b1, "broker-cn", "b1");
    EXPECT_NE(
        stats_register_u64(b1, "collected", STATS_GAUGE, &collected, {.units = "measurements"}),
        nullptr);
    EXPECT_NE(stats_register_i64(root, "depth", STATS_GAUGE, &depth), nullptr);
    EXPECT_NE(stats_register_double_fn(root, "ratio", [] { return NAN; }), nullptr);

    received = 12;
    collected = 77;
    depth = -3;
    stats_counter_add(timeout, 2);
    stats_counter_inc(count);
    stats_counter_add(t0_received, 5);
    stats_counter_add(t1_received, 7);
    for (double v : {0.001, 0.002, 0.002, 0.004})
      stats_histogram_record(latency, v);
  }
};

}  // namespace

TEST(stats, counters_add_up_across_threads) {
  recorder_ptr rec(stats_recorder_alloc());
  stats_counter_t *c = stats_register_counter(stats_recorder_root(rec.get()), "hits");
  ASSERT_NE(c, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([c] {
      for (int i = 0; i < 100000; i++)
        stats_counter_inc(c);
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(stats_counter_value(c), 800000u);
}

TEST(stats, histograms_record_from_many_threads) {
  recorder_ptr rec(stats_recorder_alloc());
  stats_histogram_t *h = stats_register_histogram(stats_recorder_root(rec.get()), "latency");
  ASSERT_NE(h, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([h, t] {
      for (int i = 0; i < 20000; i++)
        stats_histogram_record(h, 1 + t, 1);
    });
  hist_t *during = stats_histogram_snapshot(h);  // while they record: a consistent subset
  EXPECT_LE(hist_sample_count(during), 80000u);
  hist_free(during);
  for (auto &t : threads)
    t.join();
  hist_t *snap = stats_histogram_snapshot(h);
  EXPECT_EQ(hist_sample_count(snap), 80000u);
  EXPECT_EQ(hist_bucket_count(snap), 4);
  hist_free(snap);
  stats_histogram_record(h, NAN);
  snap = stats_histogram_snapshot(h);
  EXPECT_EQ(hist_sample_count(snap), 80000u);
  hist_free(snap);
}

std::vector<std::string> sunk_lines;
void sink_line(const char *line) { sunk_lines.push_back(line); }

TEST(stats, registration_reuses_same_kind_and_refuses_conflicts) {
  // Each refusal is a line for the registered log sink; reuse is silent.
  sunk_lines.clear();
  stats_set_log_sink(sink_line);
  recorder_ptr rec(stats_recorder_alloc());
  stats_ns_t *root = stats_recorder_root(rec.get());
  stats_ns_t *ns = stats_register_ns(root, "datapath");
  EXPECT_EQ(stats_register_ns(root, "datapath"), ns);
  stats_counter_t *c = stats_register_counter(ns, "received");
  EXPECT_EQ(stats_register_counter(ns, "received"), c);
  stats_histogram_t *h = stats_register_histogram(ns, "latency");
  EXPECT_EQ(stats_register_histogram(ns, "latency"), h);

  std::atomic<uint64_t> v{0};
  EXPECT_EQ(stats_register_histogram(ns, "received"), nullptr);
  EXPECT_EQ(stats_register_u64(ns, "received", STATS_COUNTER, &v), nullptr);
  EXPECT_NE(stats_register_u64(ns, "observed", STATS_COUNTER, &v), nullptr);
  EXPECT_EQ(stats_register_u64(ns, "observed", STATS_COUNTER, &v), nullptr);
  EXPECT_EQ(stats_register_ns(ns, "received"), nullptr);
  EXPECT_EQ(stats_register_counter(root, "datapath"), nullptr);
  EXPECT_EQ(stats_register_counter(ns, ""), nullptr);
  EXPECT_EQ(stats_register_counter(nullptr, "x"), nullptr);
  EXPECT_EQ(stats_register_u64(ns, "nothing", STATS_GAUGE, (const uint64_t *)nullptr), nullptr);
  EXPECT_EQ(stats_register_u64_fn(ns, "no_fn", STATS_GAUGE, nullptr), nullptr);
  stats_set_log_sink(nullptr);

  ASSERT_EQ(sunk_lines.size(), 8u);
  EXPECT_EQ(sunk_lines[0], "stats: datapath/received is registered already");
  EXPECT_EQ(sunk_lines[3], "stats: datapath/received is a statistic already");
  EXPECT_EQ(sunk_lines[5], "stats: cannot register a statistic without a name or namespace");
  EXPECT_EQ(sunk_lines[7], "stats: nothing has no value to observe");
}

TEST(stats, format_parameter_maps_to_output) {
  EXPECT_EQ(stats_json_format_parse("tagged"), STATS_JSON_TAGGED);
  EXPECT_EQ(stats_json_format_parse("simple"), STATS_JSON_SIMPLE);
  EXPECT_EQ(stats_json_format_parse("full"), STATS_JSON_FULL);
  EXPECT_EQ(stats_json_format_parse("Simple"), STATS_JSON_FULL);
  EXPECT_EQ(stats_json_format_parse(nullptr), STATS_JSON_FULL);
}

TEST(stats, full_json_has_every_statistic_with_type_and_value) {
  daemon_like_t d;
  json_ptr doc = parse(stats_recorder_to_json(d.rec.get(), STATS_JSON_FULL));
  json_object *o = doc.get();

  EXPECT_STREQ(json_object_get_string(at(o, {"branch", "_type"})), "text");
  EXPECT_STREQ(json_object_get_string(at(o, {"branch", "_value"})), "branches/master");
  EXPECT_STREQ(json_object_get_string(at(o, {"version", "_value"})), "abc.123");

  json_object *received = at(o, {"datapath", "_aggregate", "received"});
  EXPECT_STREQ(json_object_get_string(at(received, {"_type"})), "counter");
  EXPECT_EQ(json_object_get_uint64(at(received, {"_value"})), 12u);
  EXPECT_STREQ(json_object_get_string(at(received, {"_units"})), "messages");
  EXPECT_EQ(json_object_get_uint64(at(o, {"datapath", "_aggregate", "timeout_cycles", "_value"})),
            2u);
  EXPECT_EQ(json_object_get_uint64(at(o, {"datapath", "e:default/1", "received", "_value"})), 7u);
  EXPECT_STREQ(json_object_get_string(at(o, {"brokers", "b1", "collected", "_type"})), "gauge");
  EXPECT_EQ(json_object_get_int64(at(o, {"depth", "_value"})), -3);
  EXPECT_TRUE(json_object_is_type(at(o, {"ratio", "_value"}), json_type_null));
  EXPECT_NE(at(o, {"ratio"}), nullptr);

  json_object *hist = at(o, {"rules", "rule_execute", "_value"});
  EXPECT_STREQ(json_object_get_string(at(o, {"rules", "rule_execute", "_type"})), "histogram");
  EXPECT_EQ(json_object_get_uint64(at(hist, {"count"})), 4u);
  EXPECT_NEAR(json_object_get_double(at(hist, {"quantiles", "0.5"})), 0.002, 0.0002);
  EXPECT_DOUBLE_EQ(json_object_get_double(at(hist, {"min"})), 0.001);
  EXPECT_EQ(json_object_get_uint64(at(hist, {"bins", "0.002"})), 2u);
  EXPECT_EQ(json_object_get_uint64(at(hist, {"bins", "0.004"})), 1u);
}

TEST(stats, simple_json_maps_names_to_values) {
  daemon_like_t d;
  json_ptr doc = parse(stats_recorder_to_json(d.rec.get(), STATS_JSON_SIMPLE));
  json_object *o = doc.get();
  EXPECT_STREQ(json_object_get_string(at(o, {"branch"})), "branches/master");
  EXPECT_EQ(json_object_get_uint64(at(o, {"datapath", "_aggregate", "received"})), 12u);
  EXPECT_EQ(json_object_get_uint64(at(o, {"datapath", "e:default/0", "received"})), 5u);
  EXPECT_EQ(json_object_get_uint64(at(o, {"brokers", "b1", "collected"})), 77u);
  EXPECT_EQ(json_object_get_uint64(at(o, {"rules", "rule_execute", "count"})), 4u);
  EXPECT_EQ(at(o, {"rules", "rule_execute", "bins"}), nullptr);
  EXPECT_EQ(at(o, {"branch", "_type"}), nullptr);

  // Values change between outputs: they are read when the output is made.
  d.received = 13;
  json_ptr again = parse(stats_recorder_to_json(d.rec.get(), STATS_JSON_SIMPLE));
  EXPECT_EQ(json_object_get_uint64(at(again.get(), {"datapath", "_aggregate", "received"})), 13u);
}

TEST(stats, tagged_json_carries_names_tags_and_values) {
  daemon_like_t d;
  json_ptr doc = parse(stats_recorder_to_json(d.rec.get(), STATS_JSON_TAGGED));
  ASSERT_TRUE(json_object_is_type(doc.get(), json_type_array));
  struct expect_t {
    const char *name;
    std::vector<std::pair<const char *, const char *>> tags;
    const char *type;
    uint64_t value;
    bool found = false;
  };
  expect_t expected[] = {
      {"datapath/_aggregate/aborted_cycles",
       {{"app", "queltd"}, {"reason", "timeout"}},
       "counter",
       2},
      {"datapath/_aggregate/aborted_cycles",
       {{"app", "queltd"}, {"reason", "count"}},
       "counter",
       1},
      {"datapath/received",
       {{"app", "queltd"}, {"tovi-pool", "default"}, {"tovi-thread", "0"}},
       "counter",
       5},
      {"datapath/received",
       {{"app", "queltd"}, {"tovi-pool", "default"}, {"tovi-thread", "1"}},
       "counter",
       7},
      {"brokers/collected", {{"app", "queltd"}, {"broker-cn", "b1"}}, "gauge", 77},
  };
  size_t n = json_object_array_length(doc.get());
  EXPECT_EQ(n, 11u);
  for (size_t i = 0; i < n; i++) {
    json_object *s = json_object_array_get_idx(doc.get(), i);
    for (expect_t &e : expected) {
      if (std::string(json_object_get_string(at(s, {"name"}))) != e.name) continue;
      json_object *tags = at(s, {"tags"});
      if (json_object_object_length(tags) != int(e.tags.size())) continue;
      bool same = true;
      for (auto [k, v] : e.tags) {
        json_object *t = at(tags, {k});
        same = same && t && std::string(json_object_get_string(t)) == v;
      }
      if (!same) continue;
      e.found = true;
      EXPECT_STREQ(json_object_get_string(at(s, {"type"})), e.type) << e.name;
      EXPECT_EQ(json_object_get_uint64(at(s, {"value"})), e.value) << e.name;
    }
  }
  for (const expect_t &e : expected)
    EXPECT_TRUE(e.found) << e.name;
}

TEST(stats, prometheus_output_has_families_with_help_type_and_labels) {
  daemon_like_t d;
  std::string text = stats_recorder_to_prometheus(d.rec.get());
  std::vector<std::string> lines = lines_of(text);
  const char *expected[] = {
      "# HELP branch_info branch",
      "# TYPE branch_info gauge",
      "branch_info{app=\"queltd\",value=\"branches/master\"} 1",
      "version_info{app=\"queltd\",value=\"abc.123\"} 1",
      "# HELP datapath_aggregate_received_total datapath/_aggregate/received (messages)",
      "# TYPE datapath_aggregate_received_total counter",
      "datapath_aggregate_received_total{app=\"queltd\"} 12",
      "# TYPE datapath_aggregate_aborted_cycles_total counter",
      "datapath_aggregate_aborted_cycles_total{app=\"queltd\",reason=\"timeout\"} 2",
      "datapath_aggregate_aborted_cycles_total{app=\"queltd\",reason=\"count\"} 1",
      "# TYPE datapath_received_total counter",
      "datapath_received_total{app=\"queltd\",tovi_pool=\"default\",tovi_thread=\"0\"} 5",
      "datapath_received_total{app=\"queltd\",tovi_pool=\"default\",tovi_thread=\"1\"} 7",
      // Durations are named in seconds and counted in fixed buckets; a value in the bin that
      // starts at a bound (0.001) counts in the next bucket up.
      "# TYPE rules_rule_execute_seconds histogram",
      "rules_rule_execute_seconds_bucket{app=\"queltd\",le=\"0.001\"} 0",
      "rules_rule_execute_seconds_bucket{app=\"queltd\",le=\"0.0025\"} 3",
      "rules_rule_execute_seconds_bucket{app=\"queltd\",le=\"0.005\"} 4",
      "rules_rule_execute_seconds_bucket{app=\"queltd\",le=\"60\"} 4",
      "rules_rule_execute_seconds_bucket{app=\"queltd\",le=\"+Inf\"} 4",
      "rules_rule_execute_seconds_count{app=\"queltd\"} 4",
      "# TYPE brokers_collected gauge",
      "brokers_collected{app=\"queltd\",broker_cn=\"b1\"} 77",
      "depth{app=\"queltd\"} -3",
      "ratio{app=\"queltd\"} NaN",
  };
  for (const char *line : expected)
    EXPECT_TRUE(has_line(lines, line)) << line << "\n" << text;

  // Each family has one HELP and one TYPE line, before all of its samples, which follow
  // together; every sample line is "name{labels} value".
  std::vector<std::string> seen_families;
  std::string current;
  for (const auto &line : lines) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (line.rfind("# TYPE ", 0) == 0) {
      current = line.substr(7, line.find(' ', 7) - 7);
      for (const auto &f : seen_families)
        EXPECT_NE(f, current) << "family twice: " << current;
      seen_families.push_back(current);
      continue;
    }
    EXPECT_EQ(line.rfind(current, 0), 0u) << line << " outside family " << current;
    EXPECT_NE(line.find(' '), std::string::npos) << line;
  }
  // Bucket counts never fall as the bound grows.
  uint64_t previous = 0;
  int buckets = 0;
  for (const auto &line : lines) {
    if (line.rfind("rules_rule_execute_seconds_bucket{", 0) != 0) continue;
    uint64_t n = std::stoull(line.substr(line.rfind(' ') + 1));
    EXPECT_GE(n, previous) << line;
    previous = n;
    buckets++;
  }
  EXPECT_EQ(buckets, 22);
}

TEST(stats, prometheus_sanitises_names_escapes_values_and_drops_clashes) {
  recorder_ptr rec(stats_recorder_alloc());
  stats_ns_t *root = stats_recorder_root(rec.get());
  stats_ns_t *ns = stats_register_ns(root, "9 lives.x");
  stats_register_u64_fn(ns, "hits-per/sec", STATS_GAUGE, [] { return uint64_t(1); },
                        {.tags = {{"__weird-tag", "a\"b\\c\nd"}}, .help = "line\none"});
  stats_register_u64_fn(ns, "dup", STATS_GAUGE, [] { return uint64_t(2); },
                        {.tagged_name = "same"});
  stats_register_u64_fn(ns, "dup2", STATS_GAUGE, [] { return uint64_t(3); },
                        {.tagged_name = "same"});  // same family, same labels: dropped
  stats_register_u64_fn(ns, "clash", STATS_COUNTER, [] { return uint64_t(4); },
                        {.tagged_name = "same"});  // same family name? no: counters end _total
  stats_register_histogram(ns, "same");            // a histogram "same": the gauge came first
  stats_register_u64_fn(ns, "already_total", STATS_COUNTER, [] { return uint64_t(5); });

  std::vector<std::string> lines = lines_of(stats_recorder_to_prometheus(rec.get()));
  EXPECT_TRUE(has_line(lines, "# HELP _9_lives_x_hits_per_sec line\\none"));
  EXPECT_TRUE(has_line(lines, "_9_lives_x_hits_per_sec{_weird_tag=\"a\\\"b\\\\c\\nd\"} 1"));
  EXPECT_TRUE(has_line(lines, "_9_lives_x_same 2"));
  EXPECT_FALSE(has_line(lines, "_9_lives_x_same 3"));
  EXPECT_TRUE(has_line(lines, "_9_lives_x_same_total 4"));
  EXPECT_TRUE(has_line(lines, "_9_lives_x_already_total 5"));
  for (const auto &line : lines)
    EXPECT_EQ(line.find("quantile"), std::string::npos) << line;
}

TEST(stats, namespace_tagged_name_overrides_the_default) {
  recorder_ptr rec(stats_recorder_alloc());
  stats_ns_t *root = stats_recorder_root(rec.get());
  stats_ns_t *a = stats_register_ns(root, "a");
  stats_ns_add_tag(a, "k", "v");  // tagged: no segment by default
  stats_ns_t *b = stats_register_ns(root, "b");
  stats_ns_set_tagged_name(b, "");  // untagged, but asked for no segment
  stats_ns_t *c = stats_register_ns(root, "c");
  stats_ns_add_tag(c, "k", "w");
  stats_ns_set_tagged_name(c, "renamed");
  static const uint64_t one = 1;
  for (stats_ns_t *ns : {a, b, c})
    stats_register_u64(ns, "x", STATS_GAUGE, &one);
  std::vector<std::string> lines = lines_of(stats_recorder_to_prometheus(rec.get()));
  EXPECT_TRUE(has_line(lines, "x{k=\"v\"} 1"));
  EXPECT_TRUE(has_line(lines, "x 1"));
  EXPECT_TRUE(has_line(lines, "renamed_x{k=\"w\"} 1"));
}

TEST(stats, outputs_of_an_empty_recorder_are_valid) {
  recorder_ptr rec(stats_recorder_alloc());
  stats_register_histogram(stats_recorder_root(rec.get()), "empty");
  json_ptr full = parse(stats_recorder_to_json(rec.get(), STATS_JSON_FULL));
  EXPECT_TRUE(json_object_is_type(at(full.get(), {"empty", "_value", "mean"}), json_type_null));
  EXPECT_EQ(json_object_get_uint64(at(full.get(), {"empty", "_value", "count"})), 0u);
  std::vector<std::string> lines = lines_of(stats_recorder_to_prometheus(rec.get()));
  EXPECT_TRUE(has_line(lines, "empty_bucket{le=\"+Inf\"} 0"));
  EXPECT_TRUE(has_line(lines, "empty_bucket{le=\"1000000\"} 0"));
  EXPECT_TRUE(has_line(lines, "empty_count 0"));
  recorder_ptr none(stats_recorder_alloc());
  json_ptr tagged = parse(stats_recorder_to_json(none.get(), STATS_JSON_TAGGED));
  EXPECT_EQ(json_object_array_length(tagged.get()), 0u);
  EXPECT_EQ(stats_recorder_to_prometheus(none.get()), "");
}
