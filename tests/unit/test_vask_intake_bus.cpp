// Metric lines from the bus when the lanes are full. Needs a broker: runs when
// QUELT_RABBITMQ_PORT names the port of a private RabbitMQ node (tests/e2e/test_amqp_module.py
// starts one and runs this binary), and is skipped otherwise.
#include "vask/vask_intake_bus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "test_support.h"
#include "tovi/eventer.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_conf.h"
#include "vask/vask_director.h"
#include "vask/vask_metric.h"

namespace {

using namespace std::chrono_literals;
using quelt_test::wait_for;

const char *const uuid_text = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
const uint8_t uuid_bytes[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};

// The one lane's consumer, which the test pauses to keep the lane full.
std::atomic<bool> paused{false};
std::mutex taken_lock;
std::vector<long long> taken;  // values, in the order consumed

int consume(eventer_t, int, void *, struct timeval *) {
  if (paused.load()) return 0;
  vask_metric_director_lane_t *lane = vask_metric_director_my_lane();
  while (vask_metric_message_t *m = vask_metric_director_lane_next(lane)) {
    {
      std::lock_guard<std::mutex> g(taken_lock);
      taken.push_back(static_cast<long long>(m->value.value.n));
    }
    vask_metric_director_message_deref(m);
  }
  return 0;
}

size_t taken_count() {
  std::lock_guard<std::mutex> g(taken_lock);
  return taken.size();
}

std::string lines(int first, int count) {
  std::string out;
  for (int i = first; i < first + count; i++)
    out += std::string("M\tb1\t1700000000.5\thost`mod`c_42_9`") + uuid_text + "\tm\tn\t" +
           std::to_string(i) + "\n";
  return out;
}

}  // namespace

// A delivery that does not fit the full lanes costs the connection's thread one short deadline,
// not one per line: it is held, later deliveries queue behind it without waiting, neither is
// acknowledged before its lines are in, and every line arrives once, in order.
TEST(vask_intake_bus, deliveries_that_do_not_fit_are_held_not_waited_for_line_by_line) {
  const char *port = getenv("QUELT_RABBITMQ_PORT");
  if (!port) GTEST_SKIP() << "QUELT_RABBITMQ_PORT is not set";
  const std::string exchange = "intake_bus." + std::to_string(getpid());
  const std::string queue = "q." + exchange;
  std::string xml =
      "<queltd><eventer><config><concurrency>1</concurrency><recurrent_idle_ms>5</"
      "recurrent_idle_ms></config></eventer>"
      "<vask><director lane_capacity='16' max_wait_ms='60000'/></vask>"
      "<listeners><metrics_bus exchange='" +
      exchange +
      "'/></listeners><modules><module name='amqp' backoff_max_ms='1000'/></modules>"
      "<network><mq><host>127.0.0.1</host><port>" +
      port + "</port><heartbeat>2</heartbeat><exchange name='" + exchange +
      "' type='topic'/><queue name='" + queue +
      "' durable='false' auto_delete='true'><binding exchange='" + exchange +
      "' routing_key='#'/></queue></mq></network></queltd>";
  ASSERT_TRUE(tovi_conf_load_string(xml.c_str(), "intake_bus.conf"));
  ASSERT_EQ(eventer_init(), 0);
  vask_metric_director_dedupe(false);
  vask_metric_director_init_globals();
  ASSERT_EQ(vask_metric_director_init(), 0);
  ASSERT_GE(vask_metric_director_adjust_metric_interest_on_thread(0, uuid_bytes, "m", 1, 1), 0);
  eventer_t e = eventer_alloc_recurrent(consume, nullptr);
  eventer_set_owner(e, 0);
  eventer_add(e);
  quelt_test::start_event_loop();
  ASSERT_EQ(tovi_amqp_configure(tovi_conf_get_section(nullptr, "//modules/module[@name='amqp']")),
            0);
  ASSERT_EQ(vask_intake_bus_init(), 1);
  ASSERT_EQ(tovi_amqp_start(), 0);
  ASSERT_TRUE(wait_for([] { return tovi_amqp_get_stats(0).connected == 1; }, 20s));

  paused = true;
  uint64_t acked = tovi_amqp_get_stats(0).acked;
  std::string first = lines(0, 40), second = lines(100, 5);
  ASSERT_EQ(tovi_amqp_send_data(exchange.c_str(), "lines", 0, 0, first.data(), first.size(), -1),
            0);
  ASSERT_EQ(tovi_amqp_send_data(exchange.c_str(), "lines", 0, 0, second.data(), second.size(), -1),
            0);
  std::string held_path = exchange;
  for (char &c : held_path)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  auto held = [&] {
    return quelt_test::process_stat({"vask", "intake_bus", held_path.c_str(), "held"});
  };
  // Waiting for room on the connection's thread would hold it (and the second delivery) for as
  // long as the consumer stays paused, far past the heartbeat.
  EXPECT_TRUE(wait_for([&] { return held() == 2; }, 5s)) << "held " << held();
  EXPECT_EQ(tovi_amqp_get_stats(0).acked, acked) << "acknowledged before its lines were in";
  EXPECT_EQ(tovi_amqp_get_stats(0).connected, 1);

  paused = false;
  EXPECT_TRUE(wait_for([] { return taken_count() == 45; }, 10s)) << taken_count();
  EXPECT_TRUE(wait_for([&] { return tovi_amqp_get_stats(0).acked == acked + 2; }, 10s));
  std::vector<long long> expected;
  for (int i = 0; i < 40; i++)
    expected.push_back(i);
  for (int i = 100; i < 105; i++)
    expected.push_back(i);
  std::lock_guard<std::mutex> g(taken_lock);
  EXPECT_EQ(taken, expected);
  tovi_amqp_stop();
  quelt_test::stop_event_loop();
}
