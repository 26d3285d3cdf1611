#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "rules/pattern_index_internal.h"
#include "rules_test_support.h"
#include "vask/vask_tag_search.h"

namespace {

using namespace rules_test;

const auto *environment = ::testing::AddGlobalTestEnvironment(new rules_environment_c);

// One numeric ruleset: id, the name member ("metric_name": "x" or "metric_pattern": "^x"),
// account and extra members.
std::string ruleset(uint64_t ecid, const std::string &name_member, uint64_t account = 7,
                    const std::string &extra = "", const std::string &threshold = "90") {
  return "{\"event_criteria_id\": " + std::to_string(ecid) + ", " + name_member +
         ", \"account_id\": " + std::to_string(account) + extra +
         ", \"metric_type\": \"numeric\", \"rules\": [{\"criteria\": \"max value\", "
         "\"severity\": 1, \"value\": \"" +
         threshold + "\"}]}";
}

std::string with_check(const char *uuid) {
  return std::string(", \"check_uuid\": \"") + uuid + "\"";
}

TEST(rules_lookup, finds_exact_any_check_canonical_tagged_and_pattern_rulesets) {
  std::string body = "[" + ruleset(101, "\"metric_name\": \"cpu\"", 7, with_check(kUuidA)) + "," +
                     ruleset(102, "\"metric_name\": \"cpu\"") + "," +
                     ruleset(103, "\"metric_name\": \"cpu|ST[]\"", 7, with_check(kUuidA)) + "," +
                     ruleset(104, "\"metric_name\": \"cpu|ST[b:2,a:1]\"", 7, with_check(kUuidA)) +
                     "," + ruleset(105, "\"metric_pattern\": \"^cp\"", 7, with_check(kUuidA)) +
                     "," + ruleset(106, "\"metric_pattern\": \"^cp\"", 7, ", \"filter\": \"a:1\"") +
                     "," + ruleset(107, "\"metric_name\": \"cpu\"", 8, with_check(kUuidA)) + "," +
                     ruleset(108, "\"metric_name\": \"cpu|ST[a:1]|MT{m:1}\"", 7) + "]";
  load_t l = load(body);
  EXPECT_EQ(l.processed, 8);
  EXPECT_EQ(l.errors, 0);

  EXPECT_EQ(lookup("cpu"), (std::vector<uint64_t>{101, 103, 102, 105}));
  EXPECT_EQ(sorted(lookup("cpu|ST[a:1,b:2]")), (std::vector<uint64_t>{101, 102, 104, 105, 106}));
  // Measurement tags never decide which rulesets apply, and a name that carried them matches.
  EXPECT_EQ(sorted(lookup("cpu|ST[a:1]|MT{m:3}")),
            (std::vector<uint64_t>{101, 102, 105, 106, 108}));
  EXPECT_EQ(lookup("cpu", kUuidB), (std::vector<uint64_t>{102}));
  EXPECT_EQ(lookup("cpu|ST[a:1]", kUuidB), (std::vector<uint64_t>{102, 108, 106}));
  EXPECT_EQ(lookup("cpu", kUuidA, 8), (std::vector<uint64_t>{107}));
  EXPECT_TRUE(lookup("memory").empty());
  EXPECT_TRUE(lookup("cpu", kUuidA, 9).empty());
}

TEST(rules_lookup, applies_each_ruleset_once_for_the_zero_check_and_long_names) {
  std::string long_name(4095, 'n');
  load_t l = load("[" + ruleset(121, "\"metric_name\": \"zero\"", 12) + "," +
                  ruleset(122, "\"metric_name\": \"" + long_name + "\"", 12) + "]");
  ASSERT_EQ(l.processed, 2);
  EXPECT_EQ(lookup("zero", kZeroUuid, 12), (std::vector<uint64_t>{121}));
  EXPECT_EQ(lookup(long_name, kUuidA, 12), (std::vector<uint64_t>{122}));
}

TEST(rules_lookup, counts_every_match_and_negates_past_the_capacity) {
  std::string body = "[";
  for (int i = 0; i < 1030; i++)
    body += (i ? "," : "") + ruleset(10000 + i, "\"metric_pattern\": \"^many\"", 13);
  body += "]";
  ASSERT_EQ(load(body).processed, 1030);
  message_up m = message("many.things", kUuidA, 13);
  std::vector<ruleset_sp> found(1024);
  tovi_memory_scope_c bracket;
  EXPECT_EQ(rulesets_for_metric(&m->id, found.data(), 1024), -1030);
  for (const ruleset_sp &r : found)
    ASSERT_TRUE(r);
  EXPECT_EQ(found.front()->event_criteria_id, 10000u);
}

TEST(rules_lookup, keeps_replaces_moves_and_removes_with_matching_registrations) {
  const uint32_t thread = 201;
  std::string body = "[" + ruleset(201, "\"metric_name\": \"disk\"", 14, with_check(kUuidA)) + "]";
  ASSERT_EQ(load(body).processed, 1);
  ruleset_sp first = get_ruleset_by_id(201);
  ASSERT_TRUE(first);
  EXPECT_EQ(interest(thread, kUuidABytes, "disk"), 1);

  // The same definition again keeps the object and registers nothing more.
  ASSERT_EQ(load(body).processed, 1);
  EXPECT_EQ(get_ruleset_by_id(201), first);
  EXPECT_EQ(interest(thread, kUuidABytes, "disk"), 1);

  // A changed threshold replaces it, in the same node of the list.
  ASSERT_EQ(
      load("[" + ruleset(201, "\"metric_name\": \"disk\"", 14, with_check(kUuidA), "95") + "]")
          .processed,
      1);
  ruleset_sp second = get_ruleset_by_id(201);
  EXPECT_NE(second, first);
  EXPECT_EQ(lookup("disk", kUuidA, 14), (std::vector<uint64_t>{201}));
  EXPECT_EQ(interest(thread, kUuidABytes, "disk"), 1);
  {
    tovi_memory_scope_c bracket;
    ruleset_tgt_list_t *list = get_rulesets_by_metric(14, kUuidABytes, "disk", 4, false);
    ASSERT_NE(list, nullptr);
    int nodes = 0;
    for (auto *n = ruleset_tgt_list_head(list); n; n = ruleset_tgt_next(n))
      nodes++;
    EXPECT_EQ(nodes, 1);
  }

  // A new name moves it: the old list no longer holds it, the old interest is withdrawn.
  ASSERT_EQ(load("[" + ruleset(201, "\"metric_name\": \"disk2\"", 14, with_check(kUuidA)) + "]")
                .processed,
            1);
  EXPECT_TRUE(lookup("disk", kUuidA, 14).empty());
  EXPECT_EQ(lookup("disk2", kUuidA, 14), (std::vector<uint64_t>{201}));
  EXPECT_EQ(interest(thread, kUuidABytes, "disk"), 0);
  EXPECT_EQ(interest(thread, kUuidABytes, "disk2"), 1);

  // Filtered, it is routed by a search instead; kept, the search is registered once.
  size_t searches = vask_metric_director_search_count();
  std::string filtered =
      "[" +
      ruleset(201, "\"metric_name\": \"disk2\"", 14, with_check(kUuidA) + ", \"filter\": \"a:1\"") +
      "]";
  ASSERT_EQ(load(filtered).processed, 1);
  ASSERT_EQ(load(filtered).processed, 1);
  EXPECT_EQ(vask_metric_director_search_count(), searches + 1);
  EXPECT_EQ(interest(thread, kUuidABytes, "disk2"), 0);

  // Deleted: gone from registry, lists and director.
  load_t d = load("[{\"event_criteria_id\": 201, \"rules\": []}]");
  EXPECT_EQ(d.processed, 1);
  EXPECT_EQ(d.errors, 0);
  EXPECT_FALSE(get_ruleset_by_id(201));
  EXPECT_TRUE(lookup("disk2|ST[a:1]", kUuidA, 14).empty());
  EXPECT_EQ(vask_metric_director_search_count(), searches);
  d = load("[{\"event_criteria_id\": 201, \"rules\": []}]");
  EXPECT_EQ(d.processed, -1);
  EXPECT_EQ(d.errors, 1);
}

ruleset_sp parsed(const std::string &element) {
  load_t l = load("[" + element + "]");
  EXPECT_EQ(l.processed, 1);
  json_object *doc = json_tokener_parse(element.c_str());
  uint64_t id = json_object_get_uint64(json_object_object_get(doc, "event_criteria_id"));
  json_object_put(doc);
  return get_ruleset_by_id(id);
}

TEST(rules_lookup, builds_queries_that_route_patterns_filters_and_tagged_names) {
  ruleset_sp exact = parsed(ruleset(301, "\"metric_name\": \"cpu.user\"", 15,
                                    with_check(kUuidA) + ", \"filter\": \"env:prod\""));
  ASSERT_TRUE(exact);
  int index = -1;
  EXPECT_EQ(build_query_text_for_ruleset(*exact, &index),
            std::string("and(__check_uuid:") + kUuidA + ",__name:b!Y3B1LnVzZXI=!,__:0)");
  EXPECT_EQ(index, 2);

  ruleset_sp pattern = parsed(ruleset(302, "\"metric_pattern\": \"^cpu\"", 15));
  EXPECT_EQ(build_query_text_for_ruleset(*pattern, &index), "and(__name:b/XmNwdQ==/)");
  EXPECT_EQ(index, -1);
  ruleset_sp plain = parsed(ruleset(303, "\"metric_name\": \"cpu\"", 15));
  EXPECT_EQ(build_query_text_for_ruleset(*plain, nullptr), "");
  EXPECT_EQ(build_query_for_ruleset(*plain).second, nullptr);

  // A pattern whose base64 holds '/' is written as an escaped expression instead.
  ruleset_sp slashy = parsed(ruleset(306, "\"metric_pattern\": \"^cpux?/\"", 15));
  EXPECT_EQ(build_query_text_for_ruleset(*slashy, nullptr), "and(__name:/^cpux?\\//)");
  auto [slash_status, slash_ast] = build_query_for_ruleset(*slashy);
  ASSERT_NE(slash_ast, nullptr);
  message_up slash_hit = message("cpu/", kUuidA, 15);
  EXPECT_TRUE(vask_metric_tag_search_evaluate_against_metric_id(slash_ast, &slash_hit->id));
  vask_metric_tag_search_free(slash_ast);

  // A filtered pattern evaluates its filter first.
  ruleset_sp fp = parsed(ruleset(304, "\"metric_pattern\": \"^cpu\"", 15, ", \"filter\": \"a:1\""));
  auto [status, ast] = build_query_for_ruleset(*fp);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(vask_metric_tag_search_get_arg(ast, 0), fp->filter_ast);
  vask_metric_tag_search_free(ast);

  // The search's name is the bare name: a filtered tagged ruleset must still reach its metric.
  ruleset_sp tagged =
      parsed(ruleset(305, "\"metric_name\": \"cpu|ST[a:1,b:2]\"", 15, ", \"filter\": \"b:2\""));
  std::tie(status, ast) = build_query_for_ruleset(*tagged);
  ASSERT_EQ(status, 0);
  ASSERT_NE(ast, nullptr);
  message_up hit = message("cpu|ST[a:1,b:2]", kUuidA, 15);
  message_up other_tags = message("cpu|ST[a:2,b:2]", kUuidA, 15);
  EXPECT_TRUE(vask_metric_tag_search_evaluate_against_metric_id(ast, &hit->id));
  EXPECT_FALSE(vask_metric_tag_search_evaluate_against_metric_id(ast, &other_tags->id));
  vask_metric_tag_search_free(ast);
  EXPECT_EQ(sorted(lookup("cpu|ST[a:1,b:2]", kUuidA, 15)),
            (std::vector<uint64_t>{302, 303, 304, 305}));
}

// Patterns are screened by their literal start before the expression runs: the screen must never
// drop a metric that the expression matches.
TEST(rules_lookup, pattern_screening_agrees_with_the_expressions) {
  const std::vector<std::string> patterns = {
      "^cpu\\.", "^cpu",      "^cpu\\.user$", "^cp|^me",   "^cpux?",
      "^cpu*",   "^c{1}pu",   "^(?i)CPU",     "^cpu.user", "^[c]pu",
      "^cpu\\w", "^cpu-x/y:", "cpu",          "^",         "^cpu-x\\/y"};
  const std::vector<std::string> names = {"cpu",   "cpu.user",  "cpux",   "cp",   "memory",
                                          "CPU.a", "cpu-x/y:1", "cpuser", "xcpu", "cpu.users"};
  std::string body = "[";
  for (size_t i = 0; i < patterns.size(); i++) {
    json_object *text = json_object_new_string(patterns[i].c_str());
    body += (i ? "," : "") +
            ruleset(600 + i, std::string("\"metric_pattern\": ") + json_object_to_json_string(text),
                    18);
    json_object_put(text);
  }
  ASSERT_EQ(load(body + "]").processed, int(patterns.size()));
  for (const std::string &name : names) {
    std::vector<uint64_t> expected;
    for (size_t i = 0; i < patterns.size(); i++) {
      const char *error;
      int offset, ovector[30];
      pcre *re = pcre_compile(patterns[i].c_str(), 0, &error, &offset, nullptr);
      if (pcre_exec(re, nullptr, name.data(), int(name.size()), 0, 0, ovector, 30) >= 0)
        expected.push_back(600 + i);
      pcre_free(re);
    }
    EXPECT_EQ(sorted(lookup(name, kUuidA, 18)), expected) << name;
  }
}

// Readers copy rulesets out of a list while a writer keeps replacing them: every copy must be
// a whole, live ruleset of the right id (run under the thread sanitizer too).
TEST(rules_lookup, readers_copy_slots_safely_while_a_writer_replaces_them) {
  auto make = [](int version) {
    ruleset_sp r = ruleset_safe_alloc(1);
    r->event_criteria_id = 401;
    r->account_id = 16;
    r->metric_name = strdup("busy");
    r->rules[0].severity = version;  // differs every time: always a replacement
    return r;
  };
  ruleset_tgt_list_t *list;
  {
    tovi_memory_scope_c bracket;
    list = get_rulesets_by_metric(16, kUuidABytes, "busy", 4, true);
  }
  add_ruleset_tgt(list, make(1));
  std::atomic<bool> stop{false};
  std::atomic<long> seen{0}, bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; t++)
    readers.emplace_back([&] {
      message_up m = message("busy", kUuidA, 16);
      ruleset_sp out[4];
      while (!stop.load()) {
        {
          tovi_memory_scope_c bracket;
          int n = rulesets_for_metric(&m->id, out, 4);
          if (n != 1 || out[0]->event_criteria_id != 401 || out[0]->rules[0].severity <= 0) bad++;
          seen++;
        }
        out[0].reset();
        tovi_memory_maintenance();
      }
    });
  for (int v = 2; v < 3000; v++) {
    add_ruleset_tgt(list, make(v));
    tovi_memory_maintenance();
  }
  quelt_test::wait_for([&] { return seen.load() > 1000; });
  stop = true;
  for (auto &t : readers)
    t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(seen.load(), 0);
  tovi_memory_scope_c bracket;
  int nodes = 0;
  for (auto *n = ruleset_tgt_list_head(list); n; n = ruleset_tgt_next(n))
    nodes++;
  EXPECT_EQ(nodes, 1);
}

}  // namespace

// The account's patterns screened together give what the walk over its lists gives: the same
// rulesets in the same order, for patterns the matcher takes, widens or leaves to PCRE, across
// 64-pattern word boundaries, for bound and any-check rulesets, filtered ones, and after a change
// (stale: the walk) and the rebuild that follows it.
TEST(rules_lookup, patterns_screened_together_match_as_each_alone) {
  struct row_t {
    uint64_t ecid;
    std::string pattern;
    const char *uuid;
    bool filtered;
  };
  const char *const special[][2] = {
      {"^cpu\\.", kUuidA},        {"^(?i)CPU", kZeroUuid}, {"(ab)\\1", kUuidA},
      {"a(?=b)", kZeroUuid},      {"^a++b", kUuidA},       {"x*", kZeroUuid},
      {"(?|(d)|(e))isk", kUuidA}, {"^disk", kUuidB},       {"^cpu", kZeroUuid},
      {"mem$", kUuidA},           {"\\bfree", kZeroUuid},  {"^(a)\\1$", kUuidB}};
  std::vector<row_t> rows;
  for (int i = 0; i < 200; i++) {
    size_t s = size_t(i) / 16;
    if (i % 16 == 5 && s < std::size(special))
      rows.push_back({uint64_t(700 + i), special[s][0], special[s][1], s == 8});
    else
      rows.push_back({uint64_t(700 + i), "^filler" + std::to_string(i) + "\\.",
                      i % 2 ? kUuidA : kZeroUuid, false});
  }
  auto load_rows = [&] {
    std::string body = "[";
    for (size_t i = 0; i < rows.size(); i++) {
      json_object *text = json_object_new_string(rows[i].pattern.c_str());
      std::string extra = std::string(rows[i].uuid == kZeroUuid ? "" : with_check(rows[i].uuid)) +
                          (rows[i].filtered ? ", \"filter\": \"a:1\"" : "");
      body += (i ? "," : "") +
              ruleset(rows[i].ecid,
                      std::string("\"metric_pattern\": ") + json_object_to_json_string(text), 19,
                      extra);
      json_object_put(text);
    }
    return load(body + "]").processed;
  };
  auto expected = [&](const std::string &name, const char *uuid) {
    std::string bare = name.substr(0, name.find("|ST["));
    std::vector<uint64_t> ids;
    for (const char *group : {uuid, kZeroUuid}) {
      for (const row_t &r : rows) {
        if (std::string(r.uuid) != group) continue;
        const char *error;
        int offset, ovector[30];
        pcre *re = pcre_compile(r.pattern.c_str(), 0, &error, &offset, nullptr);
        if (pcre_exec(re, nullptr, bare.data(), int(bare.size()), 0, 0, ovector, 30) >= 0 &&
            (!r.filtered || name.find("a:1") != std::string::npos))
          ids.push_back(r.ecid);
        pcre_free(re);
      }
      if (std::string(uuid) == kZeroUuid) break;
    }
    return ids;
  };
  const std::vector<std::string> names = {
      "cpu.user",   "CPU.user",    "abab",       "aab",         "ab",     "disk.io",
      "eisk",       "mem",         "memory",     "free.mem",    "nofree", "filler63.x",
      "filler64.x", "filler199.y", "filler21.z", "cpu|ST[a:1]", "aa"};
  auto check_all = [&](const char *phase) {
    for (const std::string &name : names)
      for (const char *uuid : {kUuidA, kUuidB, kZeroUuid})
        EXPECT_EQ(lookup(name, uuid, 19), expected(name, uuid))
            << phase << ": " << name << " from " << uuid;
  };
  auto index_in_use = [] {
    message_up m = message("cpu.user", kUuidA, 19);
    const uint8_t *uuids[2] = {m->id.id, kUuidABytes};
    ruleset_sp out[16];
    int count = 0;
    tovi_memory_scope_c bracket;
    return pattern_index_matches(rules_pattern_index_state(19), &m->id, uuids, 1, out, 16, &count);
  };

  ASSERT_EQ(load_rows(), 200);
  check_all("as loaded");
  pattern_index_settle();
  ASSERT_TRUE(index_in_use());
  check_all("screened");
  // A changed pattern and a removed ruleset: right at once, and again once rebuilt.
  rows[37].pattern = "^cpu";
  rows[21].pattern = "^(?i)MEM";
  ASSERT_EQ(load_rows(), 200);
  ASSERT_TRUE(ruleset_delete(rows[85].ecid));
  rows.erase(rows.begin() + 85);
  check_all("changed");
  pattern_index_settle();
  ASSERT_TRUE(index_in_use());
  check_all("rebuilt");
}

// The same while the pattern is replaced over and over and prefilters are built and retired
// between the replacements: readers see the one live version, never a ruleset the index named
// after it was removed (run under the thread and address sanitizers too).
TEST(rules_lookup, readers_use_the_prefilter_safely_while_patterns_change) {
  auto make = [](int version) {
    ruleset_sp r = ruleset_safe_alloc(1);
    r->event_criteria_id = 402;
    r->account_id = 20;
    r->metric_name = strdup("^busy\\.");
    r->pattern.metric_name = 1;
    const char *error;
    int offset;
    r->metric_pcre = pcre_compile(r->metric_name, 0, &error, &offset, nullptr);
    r->rules[0].severity = version;
    return r;
  };
  ruleset_tgt_list_t *list;
  {
    tovi_memory_scope_c bracket;
    list = get_rulesets_by_pattern(20, kUuidABytes, true);
  }
  add_ruleset_tgt(list, make(1));
  std::atomic<int> current{1};  // the version in the list, set once it is filed
  std::atomic<bool> stop{false};
  std::atomic<long> seen{0}, bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; t++)
    readers.emplace_back([&] {
      message_up m = message("busy.x", kUuidA, 20);
      ruleset_sp out[4];
      while (!stop.load()) {
        {
          int before = current.load();
          tovi_memory_scope_c bracket;
          int n = rulesets_for_metric(&m->id, out, 4);
          // A version replaced before the lookup began is never found.
          if (n != 1 || out[0]->event_criteria_id != 402 || out[0]->rules[0].severity < before ||
              out[0]->rules[0].severity > current.load() + 1)
            bad++;
          seen++;
        }
        out[0].reset();
        tovi_memory_maintenance();
      }
    });
  for (int v = 2; v < 400; v++) {
    add_ruleset_tgt(list, make(v));
    current = v;
    if (v % 40 == 0) {  // a current prefilter that the readers use before the next change
      pattern_index_settle();
      long s0 = seen.load();
      quelt_test::wait_for([&] { return seen.load() > s0 + 20; });
    }
    tovi_memory_maintenance();
  }
  quelt_test::wait_for([&] { return seen.load() > 1000; });
  stop = true;
  for (auto &t : readers)
    t.join();
  EXPECT_EQ(bad.load(), 0);
}
