#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "metrics.h"
#include "rules/rules_mgr_internal.h"
#include "test_support.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace {

using quelt_test::process_stat;
using quelt_test::wait_for;

// Two loop threads whose idle wake-up is far away: a consumer that stops with messages left and
// does not wake its thread leaves them waiting well past the tests' patience.
const char *const config = R"(<?xml version="1.0"?>
<queltd>
  <eventer>
    <config><concurrency>2</concurrency><recurrent_idle_ms>60000</recurrent_idle_ms></config>
  </eventer>
</queltd>
)";

const char *const kUuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::string metric_line(const std::string &name, int i = 0) {
  return "M\tb1\t" + std::to_string(1700000000 + i) + ".000000\thost`mod`c_42_9`" + kUuid + "\t" +
         name + "\tn\t" + std::to_string(i);
}

struct message_c {
  vask_metric_message_t *m;
  explicit message_c(const std::string &line) {
    m = vask_metric_message_create(line.data(), line.size());
    EXPECT_EQ(vask_message_decoder_parse_line(m, true), 1) << line;
  }
  ~message_c() { vask_metric_director_message_deref(m); }
};

class intake_environment_c : public quelt_test::loop_environment_c {
 public:
  intake_environment_c() : loop_environment_c(config, "intake test") {}
  void SetUp() override {
    tovi_memory_init();
    vask_metric_director_init_globals();
    loop_environment_c::SetUp();
    ASSERT_EQ(vask_metric_director_init(), 0);
    metrics_init();
    rules_lookup_init(1024);
  }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new intake_environment_c);

int pick(const std::string &name, int workers, std::vector<uint16_t> flags = {}) {
  message_c m(metric_line(name));
  if (flags.empty()) flags.assign(size_t(workers), 1);
  metric_select_one_thread(nullptr, m.m, flags.data(), workers);
  int chosen = -1, set = 0;
  for (int i = 0; i < workers; i++)
    if (flags[size_t(i)]) {
      chosen = i;
      set++;
    }
  EXPECT_EQ(set, 1) << name;
  return chosen;
}

TEST(metrics_intake, one_worker_per_metric_whatever_its_measurement_tags) {
  for (int workers : {1, 4, 7}) {
    for (const char *name : {"cpu", "cpu|ST[a:1,b:2]", "disk|ST[dev:sda]"}) {
      int chosen = pick(name, workers);
      EXPECT_EQ(pick(std::string(name) + "|MT{run:1}", workers), chosen) << name;
      EXPECT_EQ(pick(std::string(name) + "|MT{run:2,x:y}", workers), chosen) << name;
      // Whichever workers were offered it, the metric lands on the same one.
      std::vector<uint16_t> one(size_t(workers), 0);
      one[size_t(workers - 1)] = 1;
      EXPECT_EQ(pick(name, workers, one), chosen) << name;
    }
  }
  // Different metrics spread over the workers.
  std::vector<int> seen(4, 0);
  for (int i = 0; i < 64; i++)
    seen[size_t(pick("spread." + std::to_string(i), 4))]++;
  for (int count : seen)
    EXPECT_GT(count, 0);

  // Nobody interested: nothing changes.
  message_c m(metric_line("cpu"));
  uint16_t none[3] = {0, 0, 0};
  metric_select_one_thread(nullptr, m.m, none, 3);
  EXPECT_EQ(none[0] | none[1] | none[2], 0);
}

// The decoder refuses names this long, but ids built by other producers are not bound by it.
TEST(metrics_intake, names_longer_than_the_key_buffer_are_hashed_whole) {
  auto index_of = [](const std::string &name, size_t bare_len) {
    vask_metric_id_t id{};
    id.name = name.data();
    id.name_len = bare_len;
    id.name_len_with_tags = name.size();
    return metric_worker_index(&id, 1 << 12);
  };
  std::string a(6000, 'a'), b = a;
  b.back() = 'b';  // differ only past the buffer
  EXPECT_NE(index_of(a, a.size()), index_of(b, b.size()));
  EXPECT_EQ(index_of(a + "|MT{x:1}", a.size()), index_of(a, a.size()));
}

TEST(metrics_intake, handling_drops_measurement_tags_and_counts_a_lookup_miss) {
  uint64_t misses = process_stat({"rules", "rules_find_miss", "count"});
  uint64_t hits = process_stat({"rules", "rules_find_hit", "count"});
  uint64_t received = total_message_cnt.load();
  message_c m(metric_line("mt.a|ST[a:1]|MT{z:9}"));
  vask_metric_director_message_ref(m.m);
  handle_vask_metric_message(m.m);
  EXPECT_EQ(std::string(m.m->id.name, m.m->id.name_len_with_tags), "mt.a|ST[a:1]");
  EXPECT_EQ(total_message_cnt.load(), received + 1);
  EXPECT_EQ(process_stat({"rules", "rules_find_miss", "count"}), misses + 1);
  EXPECT_EQ(process_stat({"rules", "rules_find_hit", "count"}), hits + 1);
  // The calling thread got its own counters.
  EXPECT_GE(process_stat({"datapath", "main", "received"}) +
                process_stat({"datapath", "test_metrics_in", "received"}),
            1u);
}

TEST(metrics_intake, a_deep_lane_drains_over_several_bounded_cycles) {
  const std::string name = "deep.lane";
  const int total = 25000;
  message_c probe(metric_line(name));
  int worker = metric_worker_index(&probe.m->id, eventer_loop_concurrency());
  uint8_t uuid[16];
  std::memcpy(uuid, probe.m->id.id, 16);
  ASSERT_GE(vask_metric_director_adjust_metric_interest_on_thread(uint32_t(worker), uuid,
                                                                  name.data(), name.size(), 1),
            1);
  std::string thread_ns = "e:default/" + std::to_string(worker);
  uint64_t received = process_stat({"datapath", thread_ns.c_str(), "received"});
  uint64_t cycles = total_cycle_cnt.load();
  uint64_t aborted = queuedepth_cycle_cnt.load() + timeout_cycle_cnt.load();

  // Filled from the worker's own thread, so its consumer finds the whole lane at its next pass.
  std::atomic<int> submitted{0};
  eventer_post(worker, [&] {
    for (int i = 0; i < total; i++) {
      std::string text = metric_line(name, i);
      if (vask_metric_director_submit_line(text.data(), text.size()) == VASK_DIRECTOR_DELIVERED)
        submitted++;
    }
  });
  ASSERT_TRUE(wait_for([&] { return submitted.load() == total; }, std::chrono::seconds(30)));
  EXPECT_TRUE(wait_for(
      [&] {
        return process_stat({"datapath", thread_ns.c_str(), "received"}) >= received + total;
      },
      std::chrono::seconds(20)));
  EXPECT_GE(total_cycle_cnt.load(), cycles + 3);
  EXPECT_GE(queuedepth_cycle_cnt.load() + timeout_cycle_cnt.load(), aborted + 2);
  EXPECT_GE(process_stat({"datapath", "_aggregate", "queuedepth_cycles"}) +
                process_stat({"datapath", "_aggregate", "timeout_cycles"}),
            aborted + 2);
  vask_metric_director_adjust_metric_interest_on_thread(uint32_t(worker), uuid, name.data(),
                                                        name.size(), -1);
}

}  // namespace
