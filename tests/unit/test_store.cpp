// The embedded store under the ruleset loader: definitions reach memory only once written, a
// write that fails applies nothing, what was written reads back after a reopen with its source,
// stream states are batched and leave with their ruleset, and a damaged file is left alone.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "rules_test_support.h"
#include "store/store.h"

namespace {

using namespace rules_test;

const auto *environment = ::testing::AddGlobalTestEnvironment(new rules_environment_c);

std::string element(uint64_t ecid, const char *threshold = "90") {
  return "{\"event_criteria_id\": " + std::to_string(ecid) +
         ", \"account_id\": 21, \"metric_name\": \"m" + std::to_string(ecid) +
         "\", \"metric_type\": \"numeric\", \"rules\": [{\"criteria\": \"max value\", "
         "\"severity\": 2, \"value\": \"" +
         threshold + "\"}]}";
}

std::string deletion(uint64_t ecid) {
  return "{\"event_criteria_id\": " + std::to_string(ecid) + ", \"rules\": []}";
}

int load_text(const std::string &text) {
  int errors = 0;
  store_source_scope_c source(STORE_SOURCE_REST);
  return parse_ruleset_text(text, nullptr, &errors, nullptr);
}

std::map<uint64_t, std::string> stored(store_source_t *source_of_first = nullptr) {
  std::map<uint64_t, std::string> out;
  store_each_definition(STORE_RULESET, [&](const store_definition_t &d) {
    if (source_of_first && out.empty()) *source_of_first = d.source;
    out[d.id] = d.json;
  });
  return out;
}

std::string temp_path(const char *name) {
  return ::testing::TempDir() + "/" + name + std::to_string(getpid()) + ".db";
}

std::string file_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(store, writes_before_filing_and_a_failed_write_applies_nothing) {
  std::string path = temp_path("store_a");
  std::remove(path.c_str());
  std::string error;
  ASSERT_TRUE(store_open(path, &error)) << error;

  // One body: the later definition of an id wins, on disk and in memory.
  EXPECT_EQ(load_text("[" + element(801) + "," + element(802) + "," + element(801, "70") + "]"), 3);
  ASSERT_TRUE(get_ruleset_by_id(801) && get_ruleset_by_id(802));
  EXPECT_EQ(get_ruleset_by_id(801)->rules[0].value_str, "70");
  store_source_t source = STORE_SOURCE_API;
  auto rows = stored(&source);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[801].find("\"70\""), std::string::npos);
  EXPECT_EQ(source, STORE_SOURCE_REST);

  // A full disk: the new definitions and the replacement are not filed, the deletion (its own
  // transaction, after the waiting ones) neither; the versions in force stay.
  uint64_t failures = ruleset_filing_failures();
  store_stats_t before = store_stats();
  store_fail_next_writes(2);
  load_text("[" + element(803) + "," + element(802, "50") + "," + deletion(801) + "]");
  EXPECT_FALSE(get_ruleset_by_id(803));
  EXPECT_EQ(get_ruleset_by_id(802)->rules[0].value_str, "90");
  EXPECT_TRUE(get_ruleset_by_id(801));
  EXPECT_EQ(ruleset_filing_failures(), failures + 3);
  EXPECT_EQ(store_stats().disk_full, before.disk_full + 2);
  EXPECT_EQ(stored().size(), 2u);

  // The disk has room again: a deletion goes to disk with its ruleset's stream states.
  store_stream_state_put({802, "sig`a", 2, 0, 1700000000000, "95"});
  store_stream_state_put({801, "sig`b", 2, 0, 1700000000000, "96"});
  store_flush();
  EXPECT_EQ(load_text("[" + deletion(801) + "]"), 1);
  EXPECT_FALSE(get_ruleset_by_id(801));
  store_flush();
  store_close();

  // Reopened: exactly what was acknowledged.
  ASSERT_TRUE(store_open(path, &error)) << error;
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(stored().count(802), 1u);
  std::set<std::string> states;
  store_each_stream_state([&](const store_stream_state_t &s) {
    states.insert(std::to_string(s.ecid) + "/" + s.signature + "/" + std::to_string(s.sev) + "/" +
                  s.value);
  });
  EXPECT_EQ(states, (std::set<std::string>{"802/sig`a/2/95"}));
  // Loading from the store writes nothing back.
  store_stats_t reopened = store_stats();
  {
    store_loading_scope_c loading;
    int errors = 0;
    EXPECT_EQ(parse_ruleset_text("[" + element(802) + "]", nullptr, &errors, nullptr), 1);
  }
  EXPECT_EQ(store_stats().writes, reopened.writes);
  store_close();
  std::remove(path.c_str());
}

TEST(store, a_damaged_file_is_refused_and_left_as_it_is) {
  std::string path = temp_path("store_b");
  std::string garbage(8192, 'x');
  std::ofstream(path, std::ios::binary) << garbage;
  std::string error;
  EXPECT_FALSE(store_open(path, &error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_FALSE(store_enabled());
  // With the store off, loads go on as without one.
  EXPECT_EQ(load_text("[" + element(811) + "]"), 1);
  EXPECT_TRUE(get_ruleset_by_id(811));
  EXPECT_EQ(file_bytes(path), garbage);
  std::remove(path.c_str());
}

TEST(store, stream_states_are_bounded_batched_and_the_newest_raised_come_back_oldest_first) {
  std::string path = temp_path("store_c");
  std::remove(path.c_str());
  std::string error;
  ASSERT_TRUE(store_open(path, &error)) << error;
  store_stats_t before = store_stats();
  store_set_queue_limit(4);
  // Raised (2), clear, raised again for the same signature (the newest state wins), older raised.
  store_stream_state_put({901, "a", 2, 0, 1000, "1"});
  store_stream_state_put({901, "b", INT32_MAX, -1, 2000, "2"});
  store_stream_state_put({901, "a", 3, 1, 3000, "3"});
  store_stream_state_put({902, "c", 1, 0, 500, "4"});
  store_stream_state_put({903, "d", 1, 0, 4000, "5"});  // the queue is full: dropped
  store_flush();
  store_set_queue_limit(500000);
  EXPECT_EQ(store_stats().states_dropped, before.states_dropped + 1);
  EXPECT_EQ(store_stats().states_written, before.states_written + 4);
  EXPECT_EQ(store_stats().queue_depth, 0u);
  std::vector<std::string> raised;
  auto collect = [&raised](const store_stream_state_t &s) {
    raised.push_back(std::to_string(s.ecid) + s.signature + std::to_string(s.sev));
  };
  EXPECT_TRUE(store_each_raised_stream_state(10, collect));
  EXPECT_EQ(raised, (std::vector<std::string>{"902c1", "901a3"}));
  raised.clear();
  EXPECT_TRUE(store_each_raised_stream_state(1, collect));
  EXPECT_EQ(raised, (std::vector<std::string>{"901a3"}));
  store_close();
  std::remove(path.c_str());
}
