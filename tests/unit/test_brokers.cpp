// The broker registry: self-check counting from decoded lines, the health pass at chosen times,
// the pulses it publishes, value conversions, the marker, the registry's cap and the listing.
#include "brokers.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"
#include "vask/vask_decoder.h"

namespace {

const char *const uuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
const uint64_t s = 1000000;  // one second in microseconds

struct pulse_t {
  std::string vask;
  int pulse;
  int64_t age;
  uint64_t counter;
};

std::mutex sent_lock;
std::vector<std::string> sent;

int fake_send(const char *exchange, const char *route, int, int, const void *payload, size_t length,
              int connection_id) {
  EXPECT_STREQ(exchange, "vask.alerts");
  EXPECT_STREQ(route, "vask.alerts.maint");
  EXPECT_EQ(connection_id, -1);
  std::lock_guard<std::mutex> lock(sent_lock);
  sent.emplace_back(static_cast<const char *>(payload), length);
  return 0;
}

class brokers_environment_c : public ::testing::Environment {
 public:
  void SetUp() override {
    tovi_log_disable("fire/rules");
    tovi_function_register("tovi_amqp_send_data_function", reinterpret_cast<void *>(fake_send));
  }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new brokers_environment_c);

// The pulses published since the last call, checked for their shape on the way.
std::vector<pulse_t> take_pulses() {
  std::lock_guard<std::mutex> lock(sent_lock);
  std::vector<pulse_t> out;
  for (const std::string &text : sent) {
    json_object *doc = json_tokener_parse(text.c_str());
    json_object *maint = nullptr;
    EXPECT_TRUE(doc && json_object_object_get_ex(doc, "maint", &maint)) << text;
    if (!maint) continue;
    std::vector<std::string> keys;
    json_object_object_foreach(maint, k, v) {
      (void)v;
      keys.push_back(k);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"vask", "pulse", "age", "counter", "reporter"}));
    auto get = [&](const char *k) { return json_object_object_get(maint, k); };
    out.push_back({json_object_get_string(get("vask")), json_object_get_int(get("pulse")),
                   json_object_get_int64(get("age")), json_object_get_uint64(get("counter"))});
    EXPECT_EQ(strlen(json_object_get_string(get("reporter"))), 36u);
    json_object_put(doc);
  }
  sent.clear();
  return out;
}

// A line of this broker at `at_us`, self-check marked or not, decoded.
struct line_t {
  vask_metric_message_t *m;
  explicit line_t(const std::string &text) {
    m = vask_metric_message_create(text.data(), text.size());
    EXPECT_EQ(vask_message_decoder_parse_line(m, true), 1) << text;
  }
  ~line_t() { vask_metric_director_message_deref(m); }
};

std::string line(const std::string &broker, uint64_t at_us, const std::string &name, char type,
                 const std::string &value, bool marked = true) {
  char when[64];
  snprintf(when, sizeof when, "%lu.%06lu", (unsigned long)(at_us / s), (unsigned long)(at_us % s));
  std::string check =
      std::string(marked ? "b01`selfcheck`selfcheck`c_1_0`" : "b01`http`c_1_0`") + uuid;
  return "M\t" + broker + "\t" + when + "\t" + check + "\t" + name + "\t" + type + "\t" + value;
}

void watch(const std::string &text, uint64_t arrival_us) {
  line_t l(text);
  brokers_watch_at_for_test(l.m, arrival_us);
}

uint64_t now_us() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * s + uint64_t(tv.tv_usec);
}

TEST(brokers, health_pass_counts_self_checks_then_declares_silence) {
  uint64_t t0 = now_us();
  broker_t *b = createbroker("b-health", 8);
  ASSERT_NE(b, nullptr);
  take_pulses();
  // Eighteen reports of a broker up for 61 s (the record began at 1); 60 never counts, nor does
  // an unmarked uptime.
  for (int i = 1; i <= 18; i++)
    watch(line("b-health", t0 + i * s, "uptime", 'L', "61"), t0 + i * s);
  watch(line("b-health", t0 + 19 * s, "uptime", 'L', "60"), t0 + 19 * s);
  watch(line("b-health", t0 + 19 * s, "uptime", 'L', "500", false), t0 + 19 * s);
  EXPECT_EQ(b->seen_count.load(), 19u);

  EXPECT_EQ(broker_maintenance_pass(t0 + 20 * s), 1);
  std::vector<pulse_t> p = take_pulses();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].vask, "b-health");
  EXPECT_EQ(p[0].pulse, 1);
  EXPECT_EQ(p[0].age, 2);
  EXPECT_EQ(p[0].counter, 19u);
  EXPECT_TRUE(b->pulsed.load());
  EXPECT_EQ(broker_maintenance_pass(t0 + 30 * s), 0);  // stable stays quiet

  // The last report was at t0 + 18 s: at 48.5 s it is 30 s old (not more), at 49 s it is 31.
  EXPECT_EQ(broker_maintenance_pass(t0 + 48 * s + s / 2), 0);
  EXPECT_EQ(broker_maintenance_pass(t0 + 49 * s + s / 2), 1);
  p = take_pulses();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].pulse, 0);
  EXPECT_EQ(p[0].age, 31);
  EXPECT_EQ(p[0].counter, 19u);
  EXPECT_FALSE(b->pulsed.load());
  EXPECT_EQ(b->seen_count.load(), 0u);
  EXPECT_EQ(broker_maintenance_pass(t0 + 60 * s), 0);  // silent once, not every pass
}

TEST(brokers, record_without_self_checks_pulses_zero_once) {
  uint64_t t0 = now_us();
  broker_t *b = createbroker("b-quiet", 7);
  ASSERT_NE(b, nullptr);
  take_pulses();
  EXPECT_EQ(broker_maintenance_pass(t0 + 29 * s), 0);
  EXPECT_EQ(broker_maintenance_pass(t0 + 40 * s), 1);
  std::vector<pulse_t> p = take_pulses();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].vask, "b-quiet");
  EXPECT_EQ(p[0].pulse, 0);
  EXPECT_EQ(p[0].counter, 1u);
  EXPECT_EQ(broker_maintenance_pass(t0 + 50 * s), 0);
}

TEST(brokers, times_are_whole_instants_and_never_ahead_of_arrival) {
  uint64_t t0 = (now_us() / s) * s;
  broker_t *b = createbroker("b-clock", 7);
  ASSERT_NE(b, nullptr);
  // Two messages whose seconds and microseconds would combine into an instant neither carried.
  watch(line("b-clock", t0 + 100 * s + 900000, "cpu", 'n', "1"), t0 + 200 * s);
  watch(line("b-clock", t0 + 101 * s + 100000, "cpu", 'n', "1"), t0 + 200 * s);
  watch(line("b-clock", t0 + 50 * s, "cpu", 'n', "1"), t0 + 200 * s);  // older: no change
  EXPECT_EQ(b->last_seen_data_us.load(), t0 + 101 * s + 100000);

  // A broker clock an hour ahead: its data and self-checks count as arriving now, so they age
  // from now and the broker falls silent 30 s later.
  take_pulses();
  for (int i = 0; i < 20; i++)
    watch(line("b-clock", t0 + 3600 * s, "uptime", 'l', "100"), t0 + 300 * s);
  EXPECT_EQ(b->last_seen_data_us.load(), t0 + 300 * s);
  EXPECT_EQ(b->last_seen_us.load(), t0 + 300 * s);
  broker_maintenance_pass(t0 + 301 * s);
  broker_maintenance_pass(t0 + 331 * s + s / 2);
  std::vector<pulse_t> p;
  for (const pulse_t &x : take_pulses())
    if (x.vask == "b-clock") p.push_back(x);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].pulse, 1);
  EXPECT_EQ(p[1].pulse, 0);
  EXPECT_EQ(p[1].age, 31);
}

TEST(brokers, self_check_values_of_every_type) {
  struct case_t {
    char type;
    const char *value;
    uint64_t collected;
    bool counts_as_uptime;
  } cases[] = {
      {'i', "61", 61, true},
      {'i', "-5", 0, false},
      {'I', "4000000000", 4000000000u, true},
      {'l', "-9000000000", 0, false},
      {'L', "18446744073709551615", 18446744073709551615u, true},
      {'n', "61.9", 61, true},
      {'n', "60.9", 60, false},
      {'n', "nan", 0, false},
      {'n', "inf", 0, false},
      {'n', "-inf", 0, false},
      {'n', "-3", 0, false},
      {'n', "1e20", 0, false},
      {'n', "1.8e19", 18000000000000000000u, true},
      {'s', "61", 0, false},
      {'L', "[[null]]", 0, false},
  };
  uint64_t t0 = now_us();
  broker_t *b = createbroker("b-values", 8);
  ASSERT_NE(b, nullptr);
  for (const case_t &c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " " + c.value);
    b->collected.store(12345);
    watch(line("b-values", t0, "metrics_collected", c.type, c.value), t0);
    EXPECT_EQ(b->collected.load(), c.collected);
    uint64_t before = b->seen_count.load();
    watch(line("b-values", t0, "uptime", c.type, c.value), t0);
    EXPECT_EQ(b->seen_count.load() - before, c.counts_as_uptime ? 1u : 0u);
  }
  // An unmarked metrics_collected leaves the value alone.
  b->collected.store(7);
  watch(line("b-values", t0, "metrics_collected", 'L', "99", false), t0);
  EXPECT_EQ(b->collected.load(), 7u);
  // Counted by kind: two messages a case, one case a text, and the unmarked one.
  EXPECT_EQ(b->numeric.load(), 29u);
  EXPECT_EQ(b->text.load(), 2u);
}

// The watch reads the decoded message's marker: where the marker stands decides, and a name that
// the decoder rebuilt (unsorted stream tags, so no longer inside the line) still counts.
TEST(brokers, self_check_marker_decides_and_rebuilt_names_count) {
  uint64_t t0 = now_us();
  broker_t *b = createbroker("b-marker", 8);
  ASSERT_NE(b, nullptr);
  auto at = [&](const std::string &check, const std::string &name, const std::string &rest) {
    return "M\tb-marker\t" + std::to_string(t0 / s) + ".5\t" + check + uuid + "\t" + name + "\t" +
           rest;
  };
  struct case_t {
    std::string text;
    bool counts;
  } cases[] = {
      {at("h`selfcheck`selfcheck`c_1_0`", "uptime", "L\t61"), true},
      {at("h`selfcheck`selfcheck`c_1_0`", "uptime|ST[b:z,a:y]", "L\t61"), true},
      {at("h`selfcheck`c_1_0`", "uptime", "L\t61"), false},
      // After the name, in a text value: not a self-check (and a text reads as 0 anyway).
      {at("h`x`c_1_0`", "uptime", "s\t`selfcheck`selfcheck`"), false},
      {at("h`x`c_1_0`", "uptime|ST[a:`selfcheck`selfcheck`]", "L\t61"), false},
  };
  for (const case_t &c : cases) {
    uint64_t before = b->seen_count.load();
    watch(c.text, t0);
    EXPECT_EQ(b->seen_count.load() - before, c.counts ? 1u : 0u) << c.text;
  }
  b->collected.store(0);
  watch(at("h`selfcheck`selfcheck`c_1_0`", "metrics_collected|ST[z:1,a:2]", "L\t77"), t0);
  EXPECT_EQ(b->collected.load(), 77u);
}

TEST(brokers, full_registry_leaves_new_brokers_untracked) {
  uint64_t t0 = now_us();
  size_t base = brokers_count();
  brokers_set_max(base + 2);
  EXPECT_NE(createbroker("cap-1", 5), nullptr);
  EXPECT_NE(createbroker("cap-2", 5), nullptr);
  EXPECT_EQ(createbroker("cap-3", 5), nullptr);
  EXPECT_EQ(createbroker("", 0), nullptr);
  EXPECT_NE(createbroker("cap-1", 5), nullptr);  // known names are still found

  uint64_t untracked = brokers_untracked();
  watch(line("cap-4", t0, "cpu", 'n', "1"), t0);
  watch(line("cap-4", t0, "cpu", 'n', "1"), t0);
  watch(line("cap-1", t0, "cpu", 'n', "1"), t0);
  EXPECT_EQ(brokers_untracked() - untracked, 2u);
  EXPECT_EQ(getbroker("cap-4", 5), nullptr);
  EXPECT_EQ(getbroker("cap-1", 5)->numeric.load(), 1u);
  EXPECT_EQ(brokers_count(), base + 2);
  brokers_set_max(10000);

  // The daemon's own messages (absence checks) come from no broker and never fill the registry.
  watch(line("quelt-internal", t0, "cpu", 'n', "1"), t0);
  EXPECT_EQ(getbroker("quelt-internal", 14), nullptr);
  EXPECT_EQ(brokers_untracked() - untracked, 2u);
}

TEST(brokers, listing_in_field_order_with_names_escaped) {
  broker_t *b = createbroker("q\"uote\\d", strlen("q\"uote\\d"));
  ASSERT_NE(b, nullptr);
  b->last_seen_data_us.store(5000 * s + 250000);
  b->last_seen_us.store(4000 * s);
  std::string one, all;
  ASSERT_TRUE(brokers_render("q\"uote\\d", 5010 * s, &one));
  EXPECT_FALSE(brokers_render("nobody", 5010 * s, &one));
  json_object *doc = json_tokener_parse(one.c_str());
  ASSERT_NE(doc, nullptr) << one;
  std::vector<std::string> keys;
  json_object_object_foreach(doc, k, v) {
    (void)v;
    keys.push_back(k);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "histograms", "text", "numeric", "collected",
                                            "last_seen_ms", "age_ms", "last_seen_selfcheck_ms",
                                            "selfcheck_age_ms", "stable"}));
  EXPECT_STREQ(json_object_get_string(json_object_object_get(doc, "name")), "q\"uote\\d");
  EXPECT_EQ(json_object_get_int64(json_object_object_get(doc, "last_seen_ms")), 5000250);
  EXPECT_EQ(json_object_get_int64(json_object_object_get(doc, "age_ms")), 9750);
  EXPECT_EQ(json_object_get_int64(json_object_object_get(doc, "selfcheck_age_ms")), 1010000);
  json_object_put(doc);

  ASSERT_TRUE(brokers_render(nullptr, 5010 * s, &all));
  doc = json_tokener_parse(all.c_str());
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(size_t(json_object_object_length(doc)), brokers_count());
  std::string previous;
  json_object_object_foreach(doc, name, v2) {
    EXPECT_STREQ(json_object_get_string(json_object_object_get(v2, "name")), name);
    EXPECT_LT(previous, name);  // by name
    previous = name;
  }
  json_object_put(doc);
}

}  // namespace
