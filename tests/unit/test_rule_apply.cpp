// Rule application and alert notifications, driven through the real parser, registry, windows and
// stream table, with the bus send function replaced by one that captures the documents.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rules/dependency_internal.h"
#include "metrics.h"
#include "rules/rules.h"
#include "rules/stream_internal.h"
#include "rules_test_support.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

using namespace rules_test;

namespace {

// ---- The captured bus ----

std::mutex sent_lock;
std::vector<std::string> sent;
std::atomic<bool> refuse_sends{false};

int fake_send(const char *exchange, const char *route, int, int, const void *payload, size_t length,
              int connection_id) {
  if (refuse_sends.load()) return -1;
  EXPECT_STREQ(exchange, "vask.alerts");
  EXPECT_STREQ(route, "vask.alerts.sev");
  EXPECT_EQ(connection_id, -1);
  std::lock_guard<std::mutex> lock(sent_lock);
  sent.emplace_back(static_cast<const char *>(payload), length);
  return 0;
}

class rule_apply_environment_c : public rules_environment_c {
 public:
  void SetUp() override {
    rules_environment_c::SetUp();
    metrics_state_init(64);
    dependency_init();
    rules_init();
    tovi_log_disable("fire/rules");
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(fake_send));
  }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new rule_apply_environment_c);

std::vector<std::string> take_sent() {
  std::lock_guard<std::mutex> lock(sent_lock);
  std::vector<std::string> out;
  out.swap(sent);
  return out;
}

// The "sev" member of a document, as a parsed object the caller releases with json_object_put.
struct doc_t {
  json_object *root = nullptr;
  json_object *sev = nullptr;
  explicit doc_t(const std::string &text) {
    root = json_tokener_parse(text.c_str());
    EXPECT_NE(root, nullptr) << text;
    if (root) json_object_object_get_ex(root, "sev", &sev);
  }
  ~doc_t() { json_object_put(root); }
  json_object *get(const char *key) const {
    json_object *v = nullptr;
    json_object_object_get_ex(sev, key, &v);
    return v;
  }
  int64_t i(const char *key) const { return json_object_get_int64(get(key)); }
  std::string s(const char *key) const {
    json_object *v = get(key);
    return v ? json_object_get_string(v) : "<null>";
  }
  bool is_null(const char *key) const {
    return json_object_object_get_ex(sev, key, nullptr) && get(key) == nullptr;
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> k;
    json_object_object_foreach(sev, key, val) {
      (void)val;
      k.emplace_back(key);
    }
    return k;
  }
};

// A metric line of check UUID B, account 7, check id 9 on host h1, at whence seconds.
std::string line(const std::string &name, double whence, const std::string &value, char type = 'n',
                 const std::string &check_field = "") {
  char when[64];
  snprintf(when, sizeof(when), "%.3f", whence);
  std::string check = check_field.empty() ? std::string("h1`mod`c_7_9`") + kUuidB : check_field;
  return std::string("M\tb1\t") + when + "\t" + check + "\t" + name + "\t" + type + "\t" + value;
}

message_up decode(const std::string &text) {
  message_up m(vask_metric_message_create(text.data(), text.size()));
  EXPECT_EQ(vask_message_decoder_parse_line(m.get(), true), 1) << text;
  return m;
}

// Applies one line to the registered ruleset; returns what the application returned.
int apply_line(uint64_t ecid, const std::string &text) {
  message_up m = decode(text);
  ruleset_sp r = get_ruleset_by_id(ecid);
  EXPECT_TRUE(r) << ecid;
  tovi_memory_scope_c bracket;
  return ruleset_apply_metric_message(r, m.get());
}

rulestream_sp only_stream(uint64_t ecid) {
  ruleset_sp r = get_ruleset_by_id(ecid);
  if (!r) return {};
  std::vector<rulestream_sp> all = r->get_ruleset_streams();
  return all.size() == 1 ? all[0] : rulestream_sp();
}

std::string numeric_ruleset(uint64_t ecid, const std::string &name, const std::string &rules,
                            uint64_t parent = 0) {
  return "{\"event_criteria_id\":" + std::to_string(ecid) + ",\"account_id\":7,\"check_uuid\":\"" +
         kUuidB + "\",\"metric_name\":\"" + name +
         "\",\"metric_type\":\"numeric\",\"parent_event_criteria_id\":" + std::to_string(parent) +
         ",\"rules\":[" + rules + "]}";
}

const char *const max90_then_max80 =
    "{\"criteria\":\"max value\",\"severity\":1,\"value\":\"90\"},"
    "{\"criteria\":\"max value\",\"severity\":2,\"value\":\"80\"}";
const char *const max_one = "{\"criteria\":\"max value\",\"severity\":1,\"value\":\"1\"}";

class rule_apply : public ::testing::Test {
 protected:
  void SetUp() override {
    refuse_sends = false;
    take_sent();
  }
};

}  // namespace

TEST(rule_apply_signature, keeps_grouped_tags_only_and_fits_its_buffer) {
  ASSERT_EQ(load("[{\"event_criteria_id\":900,\"account_id\":7,\"metric_name\":\"m\","
                 "\"metric_type\":\"numeric\",\"group_by\":\"^a:\","
                 "\"rules\":[" +
                 std::string(max_one) +
                 "]},"
                 "{\"event_criteria_id\":901,\"account_id\":7,\"metric_name\":\"m\","
                 "\"metric_type\":\"numeric\",\"group_by\":\"^zz:\","
                 "\"rules\":[" +
                 std::string(max_one) + "]}]")
                .processed,
            2);
  message_up both = decode(line("m|ST[a:1,b:2]", 1700000000, "1"));
  char buf[rules_signature_buffer_len];
  ASSERT_EQ(ruleset_stream_signature(*get_ruleset_by_id(900), both.get(), buf, sizeof(buf)), 0);
  EXPECT_EQ(std::string(buf), std::string(kUuidB) + "`m|ST[a:1]");
  ASSERT_EQ(ruleset_stream_signature(*get_ruleset_by_id(901), both.get(), buf, sizeof(buf)), 0);
  EXPECT_EQ(std::string(buf), std::string(kUuidB) + "`m|ST[]");

  // "<uuid>`m|ST[a:1]" and its terminator take exactly 47 bytes; one fewer must be refused rather
  // than written past.
  message_up one = decode(line("m|ST[a:1]", 1700000000, "1"));
  char tight[48];
  memset(tight, 'X', sizeof(tight));
  EXPECT_EQ(ruleset_stream_signature(*get_ruleset_by_id(900), one.get(), tight, 46), -1);
  EXPECT_EQ(tight[46], 'X');
  EXPECT_EQ(ruleset_stream_signature(*get_ruleset_by_id(900), one.get(), tight, 47), 0);
  EXPECT_EQ(std::string(tight), std::string(kUuidB) + "`m|ST[a:1]");
  EXPECT_EQ(tight[47], 'X');
  // Not even room for the name and an empty tag list.
  EXPECT_EQ(ruleset_stream_signature(*get_ruleset_by_id(900), one.get(), tight, 43), -1);
}

TEST_F(rule_apply, first_rule_that_holds_decides_and_each_change_is_announced_once) {
  ASSERT_EQ(load("[" + numeric_ruleset(100, "cpu", max90_then_max80) + "]").processed, 1);
  // A text value never reaches a numeric ruleset.
  EXPECT_EQ(apply_line(100, line("cpu", 1700000000, "high", 's')), -1);
  EXPECT_EQ(get_ruleset_by_id(100)->get_ruleset_streams_size(), 0u);

  struct step_t {
    const char *value;
    int32_t sev;
    int8_t rule;
    bool announced;
  } steps[] = {
      {"95", 1, 0, true},  // both hold: the first one wins
      {"96", 1, 0, false},
      {"85", 2, 1, true},
      {"50", RULE_SEV_CLEAR, RULE_INDEX_CLEAR, true},
      {"40", RULE_SEV_CLEAR, RULE_INDEX_CLEAR, false},
  };
  double t = 1700000001;
  for (const step_t &s : steps) {
    EXPECT_EQ(apply_line(100, line("cpu", t++, s.value)), s.sev) << s.value;
    rulestream_sp rs = only_stream(100);
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->get_last_rule(), s.rule) << s.value;
    EXPECT_EQ(take_sent().size(), s.announced ? 1u : 0u) << s.value;
  }

  // The raise to severity 1 as the bus sees it.
  rulestream_sp rs = only_stream(100);
  rs->check_and_trigger(1, 0, 1700000100000, get_ruleset_by_id(100));
  std::vector<std::string> docs = take_sent();
  ASSERT_EQ(docs.size(), 1u);
  doc_t d(docs[0]);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"rule", "self_event_criteria_id", "name",
                                                "ordering", "self_priority", "self_priority_prev",
                                                "ancestor_event_criteria_id", "ancestor_priority",
                                                "uuid", "signature", "reporter", "self_account_id",
                                                "leaving_maintenance", "vask", "value"}));
  EXPECT_STREQ(json_object_to_json_string_ext(d.get("rule"), JSON_C_TO_STRING_PLAIN),
               "{\"criteria\":90.0,\"rule\":\"numeric_max\",\"windowing_function\":\"none\","
               "\"windowing_duration\":0}");
  EXPECT_EQ(d.i("self_event_criteria_id"), 100);
  EXPECT_EQ(d.s("name"), "cpu");
  EXPECT_EQ(d.i("ordering"), 1);
  EXPECT_EQ(d.i("self_priority"), 1);
  EXPECT_EQ(d.i("self_priority_prev"), RULE_SEV_CLEAR);
  EXPECT_TRUE(d.is_null("ancestor_event_criteria_id"));
  EXPECT_TRUE(d.is_null("ancestor_priority"));
  EXPECT_EQ(d.s("uuid"), kUuidB);
  EXPECT_EQ(d.s("signature"), std::string(kUuidB) + "`cpu|ST[]");
  EXPECT_EQ(d.i("self_account_id"), 7);
  EXPECT_TRUE(d.is_null("vask"));
  // The rule's observed value is the newest one it computed.
  EXPECT_DOUBLE_EQ(json_object_get_double(d.get("value")), 40.0);
  // Explicitly clearing the same state twice records it once.
  EXPECT_TRUE(rs->check_and_trigger(RULE_SEV_CLEAR, RULE_INDEX_CLEAR, 1700000101000,
                                    get_ruleset_by_id(100)));
  EXPECT_FALSE(rs->check_and_trigger(RULE_SEV_CLEAR, RULE_INDEX_CLEAR, 1700000102000,
                                     get_ruleset_by_id(100)));
  EXPECT_EQ(take_sent().size(), 1u);
}

TEST_F(rule_apply, booting_windows_stay_undetermined_until_complete_then_clear_once) {
  ASSERT_EQ(load("[" +
                 numeric_ruleset(110, "load",
                                 "{\"criteria\":\"max value\",\"severity\":1,\"value\":\"90\","
                                 "\"windowing_function\":\"average\",\"windowing_duration\":60,"
                                 "\"windowing_min_duration\":30}") +
                 "]")
                .processed,
            1);
  EXPECT_EQ(apply_line(110, line("load", 1700000000, "10")), RULE_SEV_CLEAR);
  EXPECT_EQ(only_stream(110)->get_last_rule(), RULE_INDEX_UNDETERMINED);
  EXPECT_EQ(apply_line(110, line("load", 1700000010, "10")), RULE_SEV_CLEAR);
  EXPECT_EQ(only_stream(110)->get_last_rule(), RULE_INDEX_UNDETERMINED);
  EXPECT_TRUE(take_sent().empty());
  // 40 s of data: complete, nothing holds.
  apply_line(110, line("load", 1700000040, "10"));
  EXPECT_EQ(only_stream(110)->get_last_rule(), RULE_INDEX_CLEAR);
  std::vector<std::string> docs = take_sent();
  ASSERT_EQ(docs.size(), 1u);
  doc_t d(docs[0]);
  EXPECT_STREQ(json_object_to_json_string_ext(d.get("rule"), JSON_C_TO_STRING_PLAIN),
               "{\"rule\":\"clear\",\"criteria\":null}");
  EXPECT_EQ(d.i("ordering"), RULE_SEV_CLEAR);
  EXPECT_DOUBLE_EQ(json_object_get_double(d.get("value")), 10.0);
  apply_line(110, line("load", 1700000050, "10"));
  EXPECT_TRUE(take_sent().empty());
}

// Streams keep the windows they reserved. Two rulesets over the same metric and length share one
// window: each reads it through its own reservation, and the one that stays keeps reading the
// shared samples after the other's stream is gone.
TEST_F(rule_apply, streams_sharing_a_window_read_it_until_the_last_one_goes) {
  const std::string avg60 = "\"windowing_function\":\"average\",\"windowing_duration\":60}";
  ASSERT_EQ(
      load("[" +
           numeric_ruleset(120, "io",
                           "{\"criteria\":\"max value\",\"severity\":1,\"value\":\"50\"," + avg60) +
           "," +
           numeric_ruleset(121, "io",
                           "{\"criteria\":\"max value\",\"severity\":2,\"value\":\"10\"," + avg60) +
           "]")
          .processed,
      2);
  std::string sig = std::string(kUuidB) + "`io|ST[]";
  message_up probe = decode(line("io", 1700000000, "0"));
  auto window = [&]() {
    tovi_memory_scope_c bracket;
    return metric_window_find(RULE_NUMERIC, &probe->id, sig.c_str(), 60000, false);
  };
  auto refs = [&]() {
    tovi_memory_scope_c bracket;
    metric_window_t *mw = window();
    return mw ? mw->refcnt.load() : 0u;
  };

  for (uint64_t ecid : {120, 121}) {
    apply_line(ecid, line("io", 1700000001, "100"));
    apply_line(ecid, line("io", 1700000002, "0"));
  }
  EXPECT_EQ(refs(), 2u);
  EXPECT_EQ(only_stream(120)->get_last_sev(), RULE_SEV_CLEAR);  // the average, 50, is not above
  EXPECT_EQ(only_stream(121)->get_last_sev(), 2);
  EXPECT_DOUBLE_EQ(only_stream(121)->rule_impl(0).numeric.last_observed_value, 50.0);

  get_ruleset_by_id(121)->remove_ruleset_stream(only_stream(121));
  EXPECT_EQ(refs(), 1u);
  EXPECT_EQ(apply_line(120, line("io", 1700000003, "200")), 1);
  EXPECT_DOUBLE_EQ(only_stream(120)->rule_impl(0).numeric.last_observed_value, 100.0);

  get_ruleset_by_id(120)->remove_ruleset_stream(only_stream(120));
  EXPECT_EQ(window(), nullptr);
  take_sent();
}

// A ruleset of one check and one exact name finds its stream without the table: a stream that
// left the table (culled, its alert cleared, every stream dropped) must never be fed again, the
// next message builds a new stream that raises and announces again, and a message of another
// signature gets a stream of its own.
TEST_F(rule_apply, a_stream_that_left_its_table_is_built_again_and_raises_again) {
  ASSERT_EQ(load("[" + numeric_ruleset(170, "disk", max_one) + "]").processed, 1);
  ruleset_sp r = get_ruleset_by_id(170);
  const std::function<void(const rulestream_sp &)> leave[] = {
      [&](const rulestream_sp &s) { EXPECT_EQ(r->remove_ruleset_streams({s}), 1u); },
      [&](const rulestream_sp &s) { r->remove_ruleset_stream(s); },
      [&](const rulestream_sp &) { r->reset_ruleset_streams(); },
  };
  double t = 1700000001;
  rulestream_sp gone;
  for (const auto &take_out : leave) {
    EXPECT_EQ(apply_line(170, line("disk", t++, "5")), 1);
    EXPECT_EQ(apply_line(170, line("disk", t++, "6")), 1);
    EXPECT_EQ(take_sent().size(), 1u);
    rulestream_sp now = only_stream(170);
    ASSERT_TRUE(now);
    EXPECT_NE(now, gone);
    EXPECT_EQ(now->applications(), 2u);
    if (gone) {
      EXPECT_EQ(gone->applications(), 2u);
    }
    take_out(now);
    EXPECT_EQ(r->get_ruleset_streams_size(), 0u);
    gone = now;
  }

  EXPECT_EQ(apply_line(170, line("disk|ST[dev:a]", t++, "5")), 1);
  EXPECT_EQ(apply_line(170, line("disk|ST[dev:b]", t++, "0")), RULE_SEV_CLEAR);
  EXPECT_EQ(apply_line(170, line("disk|ST[dev:a]", t++, "7")), 1);
  std::vector<rulestream_sp> both = r->get_ruleset_streams();
  ASSERT_EQ(both.size(), 2u);
  for (const rulestream_sp &s : both)
    EXPECT_EQ(s->applications(),
              s->get_signature().find("dev:a") != std::string_view::npos ? 2u : 1u);
  r->reset_ruleset_streams();
  take_sent();
}

TEST_F(rule_apply, late_messages_are_dropped_within_the_out_of_order_allowance) {
  ASSERT_EQ(load("[" + numeric_ruleset(120, "a", max_one) + "," +
                 numeric_ruleset(121, "b",
                                 "{\"criteria\":\"max value\",\"severity\":1,\"value\":\"1\","
                                 "\"windowing_function\":\"average\",\"windowing_duration\":60}") +
                 "]")
                .processed,
            2);
  // Without windows nothing may come out of order: the same time stamp is dropped.
  apply_line(120, line("a", 1700000100, "0"));
  apply_line(120, line("a", 1700000100, "5"));
  EXPECT_EQ(only_stream(120)->applications(), 1u);
  EXPECT_EQ(only_stream(120)->get_last_sev(), RULE_SEV_CLEAR);
  // A 60 s window tolerates 60 s of lateness, and not one millisecond more.
  apply_line(121, line("b", 1700000100, "0"));
  apply_line(121, line("b", 1700000100, "0"));
  EXPECT_EQ(only_stream(121)->applications(), 2u);
  apply_line(121, line("b", 1700000040, "0"));
  EXPECT_EQ(only_stream(121)->applications(), 2u);
  apply_line(121, line("b", 1700000040.001, "0"));
  EXPECT_EQ(only_stream(121)->applications(), 3u);
  EXPECT_EQ(only_stream(121)->max_out_of_order_ms(), 60000);
}

TEST_F(rule_apply, change_needs_a_determined_stream_and_time_zero_changes_nothing) {
  ASSERT_EQ(
      load("[" + numeric_ruleset(130, "c", "{\"criteria\":\"on change\",\"severity\":3}") + "]")
          .processed,
      1);
  apply_line(130, line("c", 1700000000, "1"));
  EXPECT_EQ(only_stream(130)->get_last_rule(), RULE_INDEX_CLEAR);
  apply_line(130, line("c", 1700000001, "1"));
  EXPECT_EQ(only_stream(130)->get_last_rule(), RULE_INDEX_CLEAR);
  EXPECT_EQ(apply_line(130, line("c", 1700000002, "2")), 3);
  take_sent();
  // A message without a time evaluates no rule: the raised state stays and nothing is sent.
  EXPECT_EQ(apply_line(130, line("c", 0, "7")), 3);
  EXPECT_EQ(only_stream(130)->get_last_rule(), 0);
  EXPECT_TRUE(take_sent().empty());
}

TEST_F(rule_apply, check_field_gives_host_and_check_id) {
  ASSERT_EQ(load("[" + numeric_ruleset(140, "d", max_one) + "]").processed, 1);
  auto check = [](const char *host, const char *id) {
    return std::string(host) + "`mod`c_12_" + id + "`" + kUuidB;
  };
  apply_line(140, line("d", 1700000000, "0", 'n', check("web1", "345")));
  rulestream_sp rs = only_stream(140);
  struct case_t {
    std::string text;
    bool changed;
    const char *host;
    uint64_t check_id;
  } cases[] = {
      {line("d", 1, "0", 'n', check("web1", "345")), false, "web1", 345},
      {line("d", 1, "0", 'n', check("web1", "346")), true, "web1", 346},
      {line("d", 1, "0", 'n', check("web2", "346")), true, "web2", 346},
      {line("d", 1, "0", 'n', check("web2", "0x10")), true, "web2", 16},
      // Lines without the shape change nothing.
      {line("d", 1, "0", 'n', std::string("web3`mod`x_12_99`") + kUuidB), false, "web2", 16},
      {"M\t1.000\tweb4`mod`c_1_5`" + std::string(kUuidB) + "\td\tn\t0", true, "web4", 5},
      {line("d", 1, "0", 'n', check("web2", "010")), true, "web2", 8},
      {line("d", 1, "0", 'n', check("web2", "0")), false, "web2", 8},
      {line("d", 1, "0", 'n', check("", "8")), true, "", 8},
      // An empty host is as good as none: the next one is taken without a change.
      {line("d", 1, "0", 'n', check("web2", "8")), false, "web2", 8},
      // A bare UUID names no host or check id.
      {line("d", 1, "0", 'n', kUuidB), false, "web2", 8},
  };
  EXPECT_EQ(rs->_host, "web1");
  EXPECT_EQ(rs->_check_id, 345u);
  for (const case_t &c : cases) {
    // The decoded message carries host and check id; a line that does not decode carries none.
    message_up m(vask_metric_message_create(c.text.data(), c.text.size()));
    vask_message_decoder_parse_line(m.get(), true);
    EXPECT_EQ(rs->extract_orvane_extended_info(m.get()), c.changed) << c.text;
    EXPECT_EQ(rs->_host, c.host) << c.text;
    EXPECT_EQ(rs->_check_id, c.check_id) << c.text;
  }
}

TEST_F(rule_apply, refused_send_is_counted_failed_and_sent_again_later) {
  ASSERT_EQ(load("[" + numeric_ruleset(150, "e", max_one) + "]").processed, 1);
  apply_line(150, line("e", 1700000000, "0"));
  ASSERT_EQ(take_sent().size(), 1u);
  uint64_t failed = alert_notifications_failed.load();
  uint64_t sent_before = alert_notifications_sent.load();
  refuse_sends = true;
  EXPECT_EQ(apply_line(150, line("e", 1700000001, "5")), 1);
  rulestream_sp rs = only_stream(150);
  EXPECT_EQ(alert_notifications_failed.load(), failed + 1);
  EXPECT_EQ(alert_notifications_sent.load(), sent_before);
  EXPECT_EQ(rs->_last_notified_sev, RULE_SEV_CLEAR);
  EXPECT_FALSE(rs->get_last_history().notified);
  refuse_sends = false;
  rs->reevaluate(timeval{1700000002, 0});
  std::vector<std::string> docs = take_sent();
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(doc_t(docs[0]).i("self_priority"), 1);
  EXPECT_EQ(rs->_last_notified_sev, 1);
  EXPECT_TRUE(rs->get_last_history().notified);
}

TEST_F(rule_apply, values_that_are_not_numbers_are_shown_as_null) {
  ASSERT_EQ(load("[" + numeric_ruleset(160, "f", max_one) + "]").processed, 1);
  apply_line(160, line("f", 1700000000, "[[null]]"));
  rulestream_sp rs = only_stream(160);
  ASSERT_TRUE(rs);
  take_sent();
  // Raised explicitly before the rule ever saw a value, with a threshold that is no number.
  get_ruleset_by_id(160)->rules[0].info.numeric.value = std::nan("");
  ASSERT_TRUE(rs->check_and_trigger(1, 0, 1700000001000, get_ruleset_by_id(160)));
  std::vector<std::string> docs = take_sent();
  ASSERT_EQ(docs.size(), 1u);
  for (const char *bad : {":nan", ":-nan", ":NaN", ":inf", ":-inf", "Infinity"})
    EXPECT_EQ(docs[0].find(bad), std::string::npos) << docs[0];
  doc_t d(docs[0]);
  EXPECT_TRUE(d.is_null("value"));
  json_object *criteria = nullptr;
  EXPECT_TRUE(json_object_object_get_ex(d.get("rule"), "criteria", &criteria));
  EXPECT_EQ(criteria, nullptr);
}

TEST_F(rule_apply, children_follow_their_parent_and_cycles_and_long_chains_end) {
  // 200 <- 201: the child reports its parent while the parent is at severity 1.
  ASSERT_EQ(load("[" + numeric_ruleset(200, "p", max_one) + "," +
                 numeric_ruleset(201, "k", max_one, 200) + "]")
                .processed,
            2);
  apply_line(201, line("k", 1700000000, "5"));
  apply_line(200, line("p", 1700000000, "0"));
  take_sent();
  apply_line(200, line("p", 1700000001, "5"));  // the parent rises: the child is announced again
  std::vector<std::string> docs = take_sent();
  ASSERT_EQ(docs.size(), 2u);
  doc_t child(docs[1]);
  EXPECT_EQ(child.i("self_event_criteria_id"), 201);
  EXPECT_EQ(child.i("ancestor_event_criteria_id"), 200);
  EXPECT_EQ(child.i("ancestor_priority"), 1);
  apply_line(200, line("p", 1700000002, "0"));  // and clears: announced with no ancestor
  docs = take_sent();
  ASSERT_EQ(docs.size(), 2u);
  doc_t again(docs[1]);
  EXPECT_EQ(again.i("self_event_criteria_id"), 201);
  EXPECT_TRUE(again.is_null("ancestor_event_criteria_id"));
  EXPECT_TRUE(again.is_null("ancestor_priority"));

  // 210 <-> 211, each the other's parent: raising both ends.
  ASSERT_EQ(load("[" + numeric_ruleset(210, "x", max_one, 211) + "," +
                 numeric_ruleset(211, "y", max_one, 210) + "]")
                .processed,
            2);
  apply_line(210, line("x", 1700000000, "0"));
  apply_line(211, line("y", 1700000000, "5"));
  apply_line(210, line("x", 1700000001, "5"));
  EXPECT_EQ(only_stream(210)->get_last_sev(), 1);
  EXPECT_EQ(ruleset_get_ancestral_sev1_id(210)->event_criteria_id, 211u);
  EXPECT_EQ(ruleset_get_ancestral_sev1_id(211)->event_criteria_id, 210u);

  // 300 <- 301 <- ... <- 307: the search looks six parents up, no further.
  std::string chain = "[" + numeric_ruleset(300, "c0", max_one);
  for (int i = 1; i <= 7; i++)
    chain += "," + numeric_ruleset(300 + i, "c" + std::to_string(i), max_one, 299 + i);
  ASSERT_EQ(load(chain + "]").processed, 8);
  for (int i = 7; i >= 1; i--)
    apply_line(300 + i, line("c" + std::to_string(i), 1700000000, "0"));
  take_sent();
  apply_line(300, line("c0", 1700000000, "5"));
  EXPECT_EQ(ruleset_get_ancestral_sev1_id(306)->event_criteria_id, 300u);
  EXPECT_FALSE(ruleset_get_ancestral_sev1_id(307));
  // The cascade re-announces the child, whose ancestor changed; the grandchildren keep theirs
  // until their own next change, since the child's severity did not move.
  std::vector<uint64_t> announced;
  for (const std::string &text : take_sent())
    announced.push_back(uint64_t(doc_t(text).i("self_event_criteria_id")));
  EXPECT_EQ(sorted(announced), (std::vector<uint64_t>{300, 301}));
}

TEST_F(rule_apply, parent_and_child_applied_from_two_threads_do_not_deadlock) {
  ASSERT_EQ(load("[" + numeric_ruleset(400, "tp", max_one) + "," +
                 numeric_ruleset(401, "tc", max_one, 400) + "]")
                .processed,
            2);
  auto toggle = [](uint64_t ecid, const char *name) {
    for (int i = 0; i < 400; i++)
      apply_line(ecid, line(name, 1700000000 + i, i % 2 ? "5" : "0"));
  };
  std::thread parent(toggle, 400, "tp");
  std::thread child(toggle, 401, "tc");
  parent.join();
  child.join();
  EXPECT_EQ(only_stream(400)->applications(), 400u);
  EXPECT_EQ(only_stream(401)->applications(), 400u);
  take_sent();
}

namespace {

// The whole intake for one line, as a loop thread's consumer runs it (the route included).
void intake_line(const std::string &text) {
  message_up m = decode(text);
  handle_vask_metric_message(m.release());
}

std::string route_pattern_ruleset(uint64_t ecid, const std::string &pattern, int value) {
  return "{\"event_criteria_id\":" + std::to_string(ecid) + ",\"account_id\":7,\"check_uuid\":\"" +
         kUuidB + "\",\"metric_pattern\":\"" + pattern +
         "\",\"metric_type\":\"numeric\",\"rules\":[{\"criteria\":\"max value\",\"severity\":2,"
         "\"value\":\"" +
         std::to_string(value) + "\"}]}";
}

std::string max_above(int value) {
  return "{\"criteria\":\"max value\",\"severity\":1,\"value\":\"" + std::to_string(value) + "\"}";
}

uint64_t applications_of(uint64_t ecid, const std::string &signature) {
  ruleset_sp r = get_ruleset_by_id(ecid);
  if (!r) return 0;
  rulestream_sp s = r->get_rulestream(nullptr, signature.data(), signature.size(), false);
  return s ? s->applications() : 0;
}

}  // namespace

// The first message of a metric resolves its route; later ones use it, and every change that
// could make it wrong (a ruleset replaced, filed, deleted, a stream culled) has the next message
// resolve it again, so that what is applied is what the lookup would find.
TEST_F(rule_apply, a_metric_resolves_its_route_once_and_again_after_every_change) {
  ASSERT_EQ(load("[" + numeric_ruleset(3100, "route.m", max_above(50)) + "]").processed, 1);
  const std::string sig = std::string(kUuidB) + "`route.m|ST[]";
  uint64_t built = rules_routes_built();
  double t = 1700001000;
  intake_line(line("route.m", t++, "60"));
  EXPECT_EQ(rules_routes_built(), built + 1);
  for (int i = 0; i < 5; i++)
    intake_line(line("route.m", t++, "60"));
  EXPECT_EQ(rules_routes_built(), built + 1);  // the route served them
  EXPECT_EQ(applications_of(3100, sig), 6u);
  EXPECT_EQ(only_stream(3100)->get_last_sev(), 1);

  // A pattern ruleset of the account is filed: the route must now name it too.
  ASSERT_EQ(load("[" + route_pattern_ruleset(3101, "^route\\\\.", 80) + "]").processed, 1);
  intake_line(line("route.m", t++, "90"));
  EXPECT_EQ(rules_routes_built(), built + 2);
  EXPECT_EQ(applications_of(3101, sig), 1u);
  EXPECT_EQ(only_stream(3101)->get_last_sev(), 2);

  // Replaced with another threshold: the new ruleset gets the message, not the one it replaced.
  ruleset_sp before = get_ruleset_by_id(3100);
  ASSERT_EQ(load("[" + numeric_ruleset(3100, "route.m", max_above(95)) + "]").processed, 1);
  ASSERT_NE(get_ruleset_by_id(3100), before);
  intake_line(line("route.m", t++, "90"));
  EXPECT_EQ(applications_of(3100, sig), 1u);
  EXPECT_EQ(only_stream(3100)->get_last_sev(), RULE_SEV_CLEAR);
  EXPECT_EQ(before->get_ruleset_streams_size(), 1u);
  EXPECT_EQ(before->get_ruleset_streams()[0]->applications(), 7u);
  before.reset();

  // The stream is culled: the next message makes a new one instead of feeding the removed one.
  rulestream_sp culled = only_stream(3100);
  get_ruleset_by_id(3100)->remove_ruleset_stream(culled);
  intake_line(line("route.m", t++, "99"));
  ASSERT_TRUE(only_stream(3100));
  EXPECT_NE(only_stream(3100), culled);
  EXPECT_EQ(culled->applications(), 1u);
  EXPECT_EQ(applications_of(3100, sig), 1u);

  // The pattern ruleset is deleted: nothing reaches it any more.
  ASSERT_EQ(
      load("[{\"event_criteria_id\":3101,\"account_id\":7,\"check_uuid\":\"" + std::string(kUuidB) +
           "\",\"metric_pattern\":\"^route\\\\.\",\"metric_type\":\"numeric\","
           "\"rules\":[]}]")
          .processed,
      1);
  EXPECT_FALSE(get_ruleset_by_id(3101));
  uint64_t built_before_last = rules_routes_built();
  intake_line(line("route.m", t++, "99"));
  intake_line(line("route.m", t++, "99"));
  EXPECT_EQ(rules_routes_built(), built_before_last + 1);
  EXPECT_EQ(applications_of(3100, sig), 3u);
  load(
      "[{\"event_criteria_id\":3100,\"account_id\":7,\"metric_name\":\"route.m\","
      "\"metric_type\":\"numeric\",\"rules\":[]}]");
  take_sent();
}

// Lines flow on two threads (two tag variants of one name share the director's slot) while a
// third replaces the rulesets, culls their streams and moves the generation as an ownership
// change does. Run under the thread sanitizer, this is the route cache's race test; afterwards
// every stream of the rulesets in force has taken exactly the lines sent after the churn.
TEST_F(rule_apply, routes_stay_exact_while_rulesets_and_streams_churn) {
  auto exact = [](int threshold) {
    return "[" + numeric_ruleset(3200, "churn.m", max_above(threshold)) + "," +
           route_pattern_ruleset(3201, "^churn\\\\.", threshold + 10) + "]";
  };
  ASSERT_EQ(load(exact(50)).processed, 2);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> flowed{0};
  auto feed = [&](const std::string &name, double start) {
    double t = start;
    while (!stop.load()) {
      intake_line(line(name, t++, "10"));  // below every threshold: no alert to build
      flowed++;
    }
    return t;
  };
  double end_a = 0, end_b = 0;
  std::thread a([&] { end_a = feed("churn.m|ST[h:1]", 1700002000); });
  std::thread b([&] { end_b = feed("churn.m|ST[h:2]", 1700002000); });
  for (int round = 0; round < 60; round++) {
    ASSERT_EQ(load(exact(40 + round % 7)).processed, 2);
    for (uint64_t ecid : {3200, 3201})
      if (ruleset_sp r = get_ruleset_by_id(ecid))
        r->remove_ruleset_streams(r->get_ruleset_streams());
    rules_routes_invalidate();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Lines keep flowing for a while after the last change.
  uint64_t seen = flowed.load();
  while (flowed.load() < seen + 200)
    std::this_thread::yield();
  stop = true;
  a.join();
  b.join();
  EXPECT_GT(flowed.load(), 200u);

  // Settled: exactly one stream per variant and ruleset, and every further line reaches it.
  for (const char *tags : {"h:1", "h:2"}) {
    std::string sig = std::string(kUuidB) + "`churn.m|ST[" + tags + "]";
    uint64_t a3200 = applications_of(3200, sig), a3201 = applications_of(3201, sig);
    double t = std::max(end_a, end_b) + 10;
    for (int i = 0; i < 3; i++)
      intake_line(line(std::string("churn.m|ST[") + tags + "]", t++, "99"));
    EXPECT_EQ(applications_of(3200, sig), a3200 + 3) << tags;
    EXPECT_EQ(applications_of(3201, sig), a3201 + 3) << tags;
  }
  EXPECT_EQ(get_ruleset_by_id(3200)->get_ruleset_streams_size(), 2u);
  EXPECT_EQ(get_ruleset_by_id(3201)->get_ruleset_streams_size(), 2u);
  load(
      "[{\"event_criteria_id\":3200,\"account_id\":7,\"metric_name\":\"churn.m\","
      "\"metric_type\":\"numeric\",\"rules\":[]}]");
  take_sent();
}
