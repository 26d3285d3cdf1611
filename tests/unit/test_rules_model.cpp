#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "rules/model_internal.h"
#include "tovi/eventer.h"

namespace {

pcre *compile(const char *expression, pcre_extra **extra) {
  const char *error = nullptr;
  int offset = 0;
  pcre *re = pcre_compile(expression, 0, &error, &offset, nullptr);
  EXPECT_NE(re, nullptr) << error;
  *extra = pcre_study(re, PCRE_STUDY_JIT_COMPILE, &error);
  return re;
}

// What the parser would build from one definition: a numeric ruleset with two rules, or a text
// ruleset whose "contains" rule carries a compiled expression.
ruleset_sp make_ruleset(rule_metric_type_t type = RULE_NUMERIC) {
  ruleset_sp r = ruleset_safe_alloc(2);
  EXPECT_TRUE(r);
  r->event_criteria_id = 1001;
  r->parent_event_criteria_id = 77;
  r->metric_type = type;
  r->account_id = 42;
  r->cull_seconds = 600;
  for (int i = 0; i < 16; i++)
    r->check_uuid[i] = uint8_t(i + 1);
  r->metric_name = strdup("cpu`idle");
  r->group_by = strdup("host:.*");
  r->group_by_pcre = compile(r->group_by, &r->group_by_pcre_extra);
  r->filter = strdup("and(env:prod)");
  for (int i = 0; i < 2; i++) {
    rule_t &rule = r->rules[size_t(i)];
    rule.severity = i + 1;
    rule.windowing_function = i == 0 ? W_AVERAGE : W_NONE;
    rule.windowing_duration = i == 0 ? 60000 : 0;
    rule.windowing_min_duration = i == 0 ? 30000 : 0;
    rule.wait = 5;
    rule.absence_window = 0;
    if (type == RULE_TEXT) {
      rule.rule_type = RULEC_TEXT_CONTAINS;
      rule.criteria = "contains";
      rule.value_str = i == 0 ? "err(or)?" : "fail";
      rule.info.text.expr = compile(rule.value_str.c_str(), &rule.info.text.expr_extra);
    } else {
      rule.rule_type = RULEC_NUMERIC_MAX;
      rule.criteria = "max value";
      rule.value_str = i == 0 ? "90" : "75.5";
      rule.info.numeric.value = std::strtod(rule.value_str.c_str(), nullptr);
    }
  }
  return r;
}

void replace_text(char **field, const char *text) {
  std::free(*field);
  *field = text ? strdup(text) : nullptr;
}

TEST(rules_model, name_tables) {
  const std::vector<std::pair<int, const char *>> types = {{0, "unknown"}, {1, "numeric"},
                                                           {2, "text"},    {3, "histogram"},
                                                           {4, "invalid"}, {-1, "invalid"}};
  for (auto [value, name] : types)
    EXPECT_STREQ(rule_metric_type_name(rule_metric_type_t(value)), name) << value;

  const std::vector<std::pair<int, const char *>> criteria = {
      {0, "unknown"},          {1, "exact_match"}, {2, "not_exact_match"}, {3, "match"},
      {4, "not_match"},        {5, "onchange"},    {6, "numeric_min"},     {7, "numeric_max"},
      {8, "numeric_eq"},       {9, "numeric_neq"}, {10, "numeric_change"}, {11, "histogram_q_min"},
      {12, "histogram_q_max"}, {13, "absence"},    {14, "invalid"},        {-1, "invalid"}};
  for (auto [value, name] : criteria)
    EXPECT_STREQ(rule_criteria_name(rule_criteria_t(value)), name) << value;
}

// Every question about a criterion's kind goes through the traits table; a row missing, out of
// order or contradicting itself would misclassify a criterion in output, history or parsing.
TEST(rules_model, criterion_traits_cover_every_criterion) {
  static_assert(rule_criterion_traits_table_complete());
  std::set<std::string> names;
  for (int c = 0; c < RULEC_COUNT; c++) {
    const rule_criterion_traits_t &t = rule_criterion_traits(rule_criteria_t(c));
    EXPECT_EQ(t.criterion, c);
    EXPECT_STREQ(rule_criteria_name(rule_criteria_t(c)), t.name);
    EXPECT_TRUE(names.insert(t.name).second) << "two criteria named " << t.name;
    if (t.threshold) {
      EXPECT_EQ(t.value, RULEC_VALUE_NUMBER) << t.name;
    }
    if (t.expression) {
      EXPECT_EQ(t.value, RULEC_VALUE_TEXT) << t.name;
    }
    EXPECT_EQ(rule_holds_expression(rule_criteria_t(c)), t.expression) << t.name;
  }
  // The kinds the rest of the rules module relies on.
  EXPECT_EQ(rule_criterion_traits(RULEC_ABSENCE).value, RULEC_VALUE_NONE);
  EXPECT_EQ(rule_criterion_traits(RULEC_HISTOGRAM_Q_MAX).value, RULEC_VALUE_NUMBER);
  EXPECT_TRUE(rule_criterion_traits(RULEC_HISTOGRAM_Q_MIN).threshold);
  EXPECT_FALSE(rule_criterion_traits(RULEC_NUMERIC_CHANGE).threshold);
  EXPECT_EQ(rule_criterion_traits(RULEC_TEXT_CHANGE).value, RULEC_VALUE_TEXT);
  // A value outside the enum is treated as unknown, never as a neighbouring kind.
  for (int c : {-2, -1, int(RULEC_COUNT), 127}) {
    const rule_criterion_traits_t &t = rule_criterion_traits(rule_criteria_t(c));
    EXPECT_EQ(t.criterion, RULEC_UNKNOWN) << c;
    EXPECT_EQ(t.value, RULEC_VALUE_NONE) << c;
    EXPECT_FALSE(t.threshold || t.expression) << c;
  }
}

TEST(rules_model, safe_alloc_gives_an_empty_ruleset_with_fresh_rules) {
  ruleset_sp r = ruleset_safe_alloc(3);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->nrules, 3);
  ASSERT_EQ(r->rules.size(), 3u);
  for (const rule_t &rule : r->rules) {
    EXPECT_EQ(rule.severity, 0);
    EXPECT_EQ(rule.rule_type, RULEC_UNKNOWN);
    EXPECT_EQ(rule.windowing_function, W_NONE);
    EXPECT_EQ(rule.windowing_duration, 0);
    EXPECT_EQ(rule.absence_window, 0);
    EXPECT_TRUE(rule.criteria.empty());
    EXPECT_TRUE(rule.value_str.empty());
    EXPECT_EQ(rule.info.text.expr, nullptr);
  }
  EXPECT_EQ(r->event_criteria_id, 0u);
  EXPECT_EQ(r->metric_name, nullptr);
  EXPECT_EQ(r->metric_type, RULE_UNKNOWN);
  EXPECT_EQ(r->pattern.any_check_uuid, 0u);
  EXPECT_EQ(r->pattern.metric_name, 0u);
  EXPECT_EQ(r->cull_event.load(), nullptr);
  EXPECT_EQ(r->applications.load(), 0u);
  EXPECT_EQ(r->get_ruleset_streams_size(), 0u);
  // Methods can hand out shared pointers to the ruleset itself.
  EXPECT_EQ(r->shared_from_this(), r);

  EXPECT_TRUE(ruleset_safe_alloc(0));
  EXPECT_EQ(ruleset_safe_alloc(127)->rules.size(), 127u);
  // The rule count is an 8-bit signed number.
  EXPECT_FALSE(ruleset_safe_alloc(128));
  EXPECT_FALSE(ruleset_safe_alloc(-1));
}

TEST(rules_model, rulesets_from_one_definition_are_equal) {
  EXPECT_TRUE(*make_ruleset() == *make_ruleset());
  EXPECT_TRUE(*make_ruleset(RULE_TEXT) == *make_ruleset(RULE_TEXT));
}

TEST(rules_model, each_definition_field_makes_rulesets_differ) {
  const std::vector<std::pair<const char *, std::function<void(ruleset_t &)>>> changes = {
      {"event_criteria_id", [](ruleset_t &r) { r.event_criteria_id++; }},
      {"parent", [](ruleset_t &r) { r.parent_event_criteria_id = 0; }},
      {"metric_type", [](ruleset_t &r) { r.metric_type = RULE_HISTOGRAM; }},
      {"account_id", [](ruleset_t &r) { r.account_id = 43; }},
      {"any_check_uuid", [](ruleset_t &r) { r.pattern.any_check_uuid = 1; }},
      // The same text as a name and as a pattern selects different metrics.
      {"metric_name as a pattern", [](ruleset_t &r) { r.pattern.metric_name = 1; }},
      {"cull_seconds", [](ruleset_t &r) { r.cull_seconds = 0; }},
      {"check_uuid", [](ruleset_t &r) { r.check_uuid[15] ^= 1; }},
      {"metric_name", [](ruleset_t &r) { replace_text(&r.metric_name, "cpu`user"); }},
      {"metric_name gone", [](ruleset_t &r) { replace_text(&r.metric_name, nullptr); }},
      {"group_by", [](ruleset_t &r) { replace_text(&r.group_by, "dc:.*"); }},
      {"filter", [](ruleset_t &r) { replace_text(&r.filter, "and(env:test)"); }},
      {"filter gone", [](ruleset_t &r) { replace_text(&r.filter, nullptr); }},
      {"rule count", [](ruleset_t &r) { r.nrules = 1; }},
      {"rules vector", [](ruleset_t &r) { r.rules.emplace_back(); }},
      {"severity", [](ruleset_t &r) { r.rules[1].severity = 5; }},
      {"rule_type", [](ruleset_t &r) { r.rules[0].rule_type = RULEC_NUMERIC_MIN; }},
      {"windowing_function", [](ruleset_t &r) { r.rules[0].windowing_function = W_STDDEV; }},
      {"windowing_duration", [](ruleset_t &r) { r.rules[0].windowing_duration = 120000; }},
      {"windowing_min_duration", [](ruleset_t &r) { r.rules[0].windowing_min_duration = 1; }},
      {"windowing parameter", [](ruleset_t &r) { r.rules[0].criteria_windowing_parameter = .5; }},
      {"wait", [](ruleset_t &r) { r.rules[1].wait = 6; }},
      {"absence_window", [](ruleset_t &r) { r.rules[1].absence_window = 10; }},
      {"criteria", [](ruleset_t &r) { r.rules[1].criteria = "min value"; }},
      {"value_str", [](ruleset_t &r) { r.rules[1].value_str = "75.6"; }},
  };
  for (const auto &[what, change] : changes) {
    ruleset_sp changed = make_ruleset();
    change(*changed);
    EXPECT_FALSE(*make_ruleset() == *changed) << what;
    EXPECT_FALSE(*changed == *make_ruleset()) << what;
  }
}

TEST(rules_model, run_time_state_and_compiled_forms_do_not_count) {
  int broker_stand_in = 0;
  const std::vector<std::pair<const char *, std::function<void(ruleset_t &)>>> changes = {
      {"broker",
       [&](ruleset_t &r) { r.default_broker = reinterpret_cast<broker_t *>(&broker_stand_in); }},
      {"canonical flag", [](ruleset_t &r) { r.pattern.match_canonical = 1; }},
      {"compiled group_by",
       [](ruleset_t &r) {
         pcre_free_study(r.group_by_pcre_extra);
         pcre_free(r.group_by_pcre);
         r.group_by_pcre = nullptr;
         r.group_by_pcre_extra = nullptr;
       }},
      {"compiled threshold", [](ruleset_t &r) { r.rules[0].info.numeric.value = -1; }},
      {"counters",
       [](ruleset_t &r) {
         r.applications = 99;
         r.last_time.store_ms(1234567);
         r.director_ast_registration_id = 3;
       }},
      {"counted", [](ruleset_t &r) { r.counted = true; }},
  };
  for (const auto &[what, change] : changes) {
    ruleset_sp changed = make_ruleset();
    change(*changed);
    EXPECT_TRUE(*make_ruleset() == *changed) << what;
    changed->counted = false;  // this test does not touch the counters
  }
}

// Each rule's `info` is released by the rule's own criterion: a numeric threshold in a text
// ruleset is no pointer, and an expression in a ruleset of another type is still freed (the
// address sanitizer build reports the leak otherwise).
TEST(rules_model, destruction_frees_by_each_rules_own_criterion) {
  for (rule_metric_type_t type : {RULE_TEXT, RULE_NUMERIC, RULE_HISTOGRAM}) {
    ruleset_sp r = make_ruleset(type == RULE_TEXT ? RULE_NUMERIC : RULE_TEXT);
    r->metric_type = type;  // the rules no longer agree with the ruleset's type
    r.reset();              // must neither crash nor leak
  }
}

TEST(rules_model, missing_and_empty_texts_are_equal) {
  ruleset_sp a = make_ruleset(), b = make_ruleset();
  replace_text(&a->group_by, nullptr);
  replace_text(&b->group_by, "");
  replace_text(&a->filter, "");
  replace_text(&b->filter, nullptr);
  replace_text(&a->metric_name, nullptr);
  replace_text(&b->metric_name, nullptr);
  EXPECT_TRUE(*a == *b);
  replace_text(&b->group_by, " ");
  EXPECT_FALSE(*a == *b);
}

TEST(rules_model, a_rule_moves_its_texts_and_hands_over_its_expression) {
  ruleset_sp r = make_ruleset(RULE_TEXT);
  pcre *expression = r->rules[0].info.text.expr;
  ASSERT_NE(expression, nullptr);
  rule_t moved(std::move(r->rules[0]));
  EXPECT_EQ(moved.value_str, "err(or)?");
  EXPECT_EQ(moved.criteria, "contains");
  EXPECT_EQ(moved.severity, 1);
  EXPECT_EQ(moved.windowing_duration, 60000);
  EXPECT_EQ(moved.info.text.expr, expression);
  // Only one rule refers to the compiled expression afterwards.
  EXPECT_EQ(r->rules[0].info.text.expr, nullptr);
  EXPECT_EQ(r->rules[0].info.text.expr_extra, nullptr);
  // Moving it back lets the ruleset free it as usual.
  r->rules[0] = std::move(moved);
  EXPECT_EQ(r->rules[0].info.text.expr, expression);
  EXPECT_EQ(moved.info.text.expr, nullptr);
}

TEST(rules_model, counted_rulesets_give_back_their_count_once) {
  const uint64_t current = rulesets_current, loaded = rulesets_loaded;
  {
    ruleset_sp accepted = make_ruleset(RULE_TEXT);
    EXPECT_TRUE(ruleset_count_accepted(*accepted));
    EXPECT_FALSE(ruleset_count_accepted(*accepted));
    EXPECT_EQ(rulesets_current, current + 1);
    EXPECT_EQ(rulesets_loaded, loaded + 1);
    ruleset_sp holder = accepted;  // a second holder does not count twice
    accepted.reset();
    EXPECT_EQ(rulesets_current, current + 1);
  }
  EXPECT_EQ(rulesets_current, current);
  EXPECT_EQ(rulesets_loaded, loaded + 1);
  // A ruleset dropped during parsing was never counted and leaves the counters alone.
  make_ruleset().reset();
  EXPECT_EQ(rulesets_current, current);
  EXPECT_EQ(rulesets_loaded, loaded + 1);
}

TEST(rules_model, destruction_drops_every_stream) {
  // Stand-ins for streams: the table holds them like streams, and `owner` tells whether the
  // table still holds a reference.
  auto owner = std::make_shared<int>(0);
  rulestream_sp stream_a(owner, static_cast<rulestream_c *>(nullptr));
  rulestream_sp stream_b(owner, static_cast<rulestream_c *>(nullptr));
  static const char sig_a[] = "00000000-0000-0000-0000-000000000000`a|ST[]";
  static const char sig_b[] = "00000000-0000-0000-0000-000000000000`b|ST[]";
  {
    ruleset_sp r = make_ruleset();
    r->signature_to_stream.write_op([&](signature_to_stream_map_t &table) {
      table.emplace(std::string_view(sig_a), stream_a);
      table.emplace(std::string_view(sig_b), stream_b);
    });
    EXPECT_EQ(r->get_ruleset_streams_size(), 2u);
    std::vector<rulestream_sp> copies = r->get_ruleset_streams();
    EXPECT_EQ(copies.size(), 2u);
    EXPECT_EQ(owner.use_count(), 1 + 2 + 2 * 2 + 2);  // ours, the two copies of the table, copies
    copies.clear();
    stream_a.reset();
    stream_b.reset();
  }
  EXPECT_EQ(owner.use_count(), 1);
}

TEST(rules_model, last_time_keeps_seconds_and_microseconds_together) {
  ruleset_time_t t;
  EXPECT_EQ(t.load_ms(), 0u);
  struct timeval tv = {1700000000, 654321};
  t.store(tv);
  struct timeval back = t.load();
  EXPECT_EQ(back.tv_sec, tv.tv_sec);
  EXPECT_EQ(back.tv_usec, tv.tv_usec);
  EXPECT_EQ(t.load_ms(), 1700000000654u);
  t.store_ms(1700000001002u);
  back = t.load();
  EXPECT_EQ(back.tv_sec, 1700000001);
  EXPECT_EQ(back.tv_usec, 2000);
}

int never_runs(eventer_t, int, void *, struct timeval *) {
  ADD_FAILURE() << "a cancelled timer ran";
  return 0;
}

// A timer an hour from now, as the cull and absence code arm them; the slot's reference is the
// caller's to take.
eventer_t far_timer(void *closure) {
  struct timeval whence;
  gettimeofday(&whence, nullptr);
  whence.tv_sec += 3600;
  eventer_t e = eventer_alloc_timer(never_runs, closure, &whence);
  eventer_set_owner(e, 0);
  return e;
}

// Absence timers are pinned to the loop thread of their ruleset's id: count them on every thread.
int timers_pending() {
  int n = 0;
  for (int i = 0; i < eventer_loop_concurrency(); i++)
    n += eventer_timers_pending(i);
  return n;
}

rule_trigger_t *new_trigger(uint64_t ecid) {
  auto *t = static_cast<rule_trigger_t *>(calloc(1, sizeof(rule_trigger_t)));
  t->event_criteria_id = ecid;
  return t;
}

// Closures are plain heap records: a leak of one shows up in the address-sanitizer build.
TEST(rules_model, destruction_cancels_pending_timers_and_frees_their_closures) {
  ASSERT_EQ(eventer_init(), 0);
  const int before = timers_pending();
  {
    ruleset_sp r = make_ruleset();
    auto *cull = static_cast<rule_cull_t *>(calloc(1, sizeof(rule_cull_t)));
    cull->event_criteria_id = r->event_criteria_id;
    eventer_t e = far_timer(cull);
    eventer_ref(e);  // the slot's reference
    r->cull_event = e;
    eventer_add(e);

    EXPECT_TRUE(r->replace_absence_event_or_kill(far_timer(new_trigger(r->event_criteria_id))));
    EXPECT_EQ(timers_pending(), before + 2);
    // The slot is taken: a second absence timer is discarded, closure and all, unscheduled.
    rule_trigger_t *second = new_trigger(r->event_criteria_id);
    second->signature = strdup("sig");
    EXPECT_FALSE(r->replace_absence_event_or_kill(far_timer(second)));
    EXPECT_EQ(timers_pending(), before + 2);
  }
  EXPECT_EQ(timers_pending(), before);
}

TEST(rules_model, clearing_an_absence_timer_empties_the_slot_for_the_next) {
  ASSERT_EQ(eventer_init(), 0);
  const int before = timers_pending();
  ruleset_sp r = make_ruleset();
  r->clear_absence_event();  // nothing pending: nothing happens
  r->clear_cull_event();
  EXPECT_TRUE(r->replace_absence_event_or_kill(far_timer(new_trigger(1))));
  r->clear_absence_event();
  EXPECT_EQ(r->absence_event.load(), nullptr);
  EXPECT_EQ(timers_pending(), before);
  EXPECT_TRUE(r->replace_absence_event_or_kill(far_timer(new_trigger(1))));
  EXPECT_EQ(timers_pending(), before + 1);
  rule_trigger_free(nullptr);
}

}  // namespace
