// Helpers shared by the ruleset loader's unit tests: a director with lanes, metric messages
// decoded from lines, loads from JSON text and lookups by id.
#pragma once

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "rules/rules_mgr_internal.h"
#include "rules/registry_internal.h"
#include "test_support.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace rules_test {

inline const char *const kUuidA = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
inline const uint8_t kUuidABytes[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                        0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
inline const char *const kUuidB = "11111111-2222-3333-4444-555555555555";
inline const char *const kZeroUuid = "00000000-0000-0000-0000-000000000000";

// Loads the configuration, starts two loop threads and the director, and the lookup tables.
class rules_environment_c : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(tovi_conf_load_string(R"(<?xml version="1.0"?>
<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>)",
                                      "rules.conf"));
    ASSERT_EQ(eventer_init(), 0);
    vask_metric_director_init_globals();
    ASSERT_EQ(vask_metric_director_init(), 0);
    rules_lookup_init(64);
  }
};

struct message_deref_t {
  void operator()(vask_metric_message_t *m) const { vask_metric_director_message_deref(m); }
};
typedef std::unique_ptr<vask_metric_message_t, message_deref_t> message_up;

// A decoded numeric message of the metric (name with tags) of this check and account.
inline message_up message(const std::string &name, const char *uuid = kUuidA,
                          uint64_t account = 7) {
  std::string line = "M\tb1\t1700000000.5\thost`mod`c_" + std::to_string(account) + "_9`" + uuid +
                     "\t" + name + "\tn\t1";
  message_up m(vask_metric_message_create(line.data(), line.size()));
  EXPECT_EQ(vask_message_decoder_parse_line(m.get(), true), 1) << line;
  return m;
}

struct load_t {
  int processed;
  int errors;
};

// Parses the JSON text and loads it.
inline load_t load(const std::string &json) {
  json_object *doc = json_tokener_parse(json.c_str());
  EXPECT_NE(doc, nullptr) << json;
  load_t out{0, 0};
  uint64_t high_water = 0;
  out.processed = parse_ruleset_response(doc, &high_water, &out.errors);
  json_object_put(doc);
  return out;
}

// The ids of the rulesets that apply to the metric, in the order found.
inline std::vector<uint64_t> lookup(const std::string &name, const char *uuid = kUuidA,
                                    uint64_t account = 7) {
  message_up m = message(name, uuid, account);
  std::vector<ruleset_sp> found(16);
  tovi_memory_scope_c bracket;
  int n = rulesets_for_metric(&m->id, found.data(), int(found.size()));
  std::vector<uint64_t> ids;
  for (int i = 0; i < std::min(n, int(found.size())); i++)
    ids.push_back(found[i]->event_criteria_id);
  return ids;
}

inline std::vector<uint64_t> sorted(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// The director's interest count of (check, name) on the ruleset's thread.
inline int interest(uint32_t thread, const uint8_t *uuid, const std::string &name) {
  return vask_metric_director_adjust_metric_interest_on_thread(thread, uuid, name.data(),
                                                               name.size(), 0);
}

}  // namespace rules_test
