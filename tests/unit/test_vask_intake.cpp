#include "test_support.h"
#include "vask/vask_intake.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "vask/vask_director.h"

namespace {

using quelt_test::wait_for;

using namespace std::chrono_literals;

constexpr int kLanes = 2;
constexpr int kMaxLine = 256;

const char *const config = R"(<?xml version="1.0"?>
<queltd>
  <eventer>
    <config><concurrency>2</concurrency><recurrent_idle_ms>20</recurrent_idle_ms></config>
  </eventer>
  <vask><director lane_capacity="8"/></vask>
  <listeners><metrics address="127.0.0.1" port="0" max_line_bytes="256"/></listeners>
</queltd>
)";

const char *kUuid = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
const uint8_t kUuidBytes[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                                0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};

std::string line(const std::string &name, long value) {
  return "M\tb1\t1700000000.5\thost`mod`c_42_9`" + std::string(kUuid) + "\t" + name + "\tn\t" +
         std::to_string(value);
}

struct consumed_t {
  int lane;
  std::string name;
  long value;
};

struct consumer_state_t {
  std::mutex lock;
  std::vector<consumed_t> taken;
  std::atomic<bool> paused[kLanes] = {};
} consumers;

int consume(eventer_t, int, void *, struct timeval *) {
  int tid = eventer_current_thread_id();
  if (consumers.paused[tid].load()) return 0;
  vask_metric_director_lane_t *lane = vask_metric_director_my_lane();
  while (vask_metric_message_t *m = vask_metric_director_lane_next(lane)) {
    consumed_t c{tid, std::string(m->id.name, m->id.name_len_with_tags),
                 static_cast<long>(m->value.value.n)};
    {
      std::lock_guard<std::mutex> g(consumers.lock);
      consumers.taken.push_back(std::move(c));
    }
    vask_metric_director_message_deref(m);
    if (consumers.paused[tid].load()) break;
  }
  return 0;
}

std::vector<long> values_of(const std::string &name) {
  std::lock_guard<std::mutex> g(consumers.lock);
  std::vector<long> out;
  for (const auto &c : consumers.taken)
    if (c.name == name) out.push_back(c.value);
  return out;
}

uint64_t intake_stat(const char *name) {
  return quelt_test::process_stat({"vask", "intake", name});
}

uint16_t port = 0;

class intake_environment_c : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(tovi_conf_load_string(config, "intake.conf"));
    ASSERT_EQ(eventer_init(), 0);
    vask_metric_director_dedupe(false);
    vask_metric_director_init_globals();
    ASSERT_EQ(vask_metric_director_init(), 0);
    ASSERT_EQ(vask_intake_init(), 0);
    std::vector<uint16_t> ports = vask_intake_listener_ports();
    ASSERT_EQ(ports.size(), 1u);
    port = ports[0];
    ASSERT_NE(port, 0);
    for (int i = 0; i < kLanes; i++) {
      eventer_t e = eventer_alloc_recurrent(consume, nullptr);
      eventer_set_owner(e, i);
      eventer_add(e);
    }
    quelt_test::start_event_loop();
  }
  void TearDown() override { quelt_test::stop_event_loop(); }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new intake_environment_c);

void interest(uint32_t thread, const std::string &name, int adjustment) {
  ASSERT_GE(vask_metric_director_adjust_metric_interest_on_thread(thread, kUuidBytes, name.data(),
                                                                  name.size(), adjustment),
            0);
}

class client_c {
 public:
  client_c() {
    fd_ = quelt_test::connect_loopback(port);
    connected_ = fd_ >= 0;
  }
  ~client_c() { close(); }
  bool connected() const { return connected_; }
  bool send(const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += size_t(n);
    }
    return true;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(vask_intake, lines_logged_to_the_metrics_stream_reach_the_lanes_before_a_flush_ends) {
  interest(0, "logged", +1);
  tovi_log_stream_t metrics = tovi_log_stream_find("metrics");
  tovi_log(metrics, "%s\n%s\n", line("logged", 1).c_str(), line("logged", 2).c_str());
  tovi_log(metrics, "%s\n", line("logged", 3).c_str());
  std::atomic<bool> flushed{false};
  std::atomic<size_t> seen{0};
  vask_metric_director_flush_callback(1, [&] {
    seen = values_of("logged").size();
    flushed = true;
  });
  ASSERT_TRUE(wait_for([&] { return flushed.load(); }));
  EXPECT_EQ(seen.load(), 3u);
  EXPECT_EQ(values_of("logged"), (std::vector<long>{1, 2, 3}));
  interest(0, "logged", -1);
}

TEST(vask_intake, reassembles_lines_split_across_writes) {
  interest(1, "split", +1);
  client_c c;
  ASSERT_TRUE(c.connected());
  std::string first = line("split", 1) + "\n", second = line("split", 2) + "\n";
  std::string third = line("split", 3) + "\n";
  for (char ch : first) {  // one byte at a time
    ASSERT_TRUE(c.send(std::string(1, ch)));
    std::this_thread::sleep_for(100us);
  }
  std::string rest = second + "\n" + third;  // an empty line in between is ignored
  ASSERT_TRUE(c.send(rest.substr(0, 10)));
  std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(c.send(rest.substr(10)));
  ASSERT_TRUE(wait_for([] { return values_of("split").size() >= 3; }));
  EXPECT_EQ(values_of("split"), (std::vector<long>{1, 2, 3}));
  interest(1, "split", -1);
}

TEST(vask_intake, skips_overlong_lines_and_garbage_and_keeps_the_connection) {
  interest(0, "survivor", +1);
  uint64_t overlong_before = intake_stat("overlong_lines");
  client_c c;
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(line("survivor", 1) + "\n"));
  // Longer than max_line_bytes inside one read, and far longer than any read buffer.
  ASSERT_TRUE(c.send(std::string(kMaxLine + 1, 'x') + "\n"));
  std::string huge(300000, 'y');
  for (size_t off = 0; off < huge.size(); off += 50000)
    ASSERT_TRUE(c.send(huge.substr(off, 50000)));
  ASSERT_TRUE(c.send("\n" + line("survivor", 2) + "\n"));
  // Binary garbage, a NUL byte and a line of the right shape with a bad value.
  std::string garbage("\x01\x02\xff\xfe\tM\t\t\t\n", 10);
  garbage += std::string("M\0\tzz\n", 6);
  garbage += line("survivor", 0).substr(0, line("survivor", 0).size() - 1) + "notanumber\n";
  ASSERT_TRUE(c.send(garbage));
  ASSERT_TRUE(c.send(line("survivor", 3) + "\n"));
  ASSERT_TRUE(wait_for([] { return values_of("survivor").size() >= 3; }));
  EXPECT_EQ(values_of("survivor"), (std::vector<long>{1, 2, 3}));
  EXPECT_EQ(intake_stat("overlong_lines") - overlong_before, 2u);
  interest(0, "survivor", -1);
}

TEST(vask_intake, a_client_leaving_mid_line_loses_only_that_line) {
  interest(1, "leaver", +1);
  uint64_t partial_before = intake_stat("partial_lines");
  {
    client_c c;
    ASSERT_TRUE(c.connected());
    std::string unfinished = line("leaver", 2);
    ASSERT_TRUE(c.send(line("leaver", 1) + "\n" + unfinished.substr(0, 30)));
    std::this_thread::sleep_for(20ms);
  }  // closed mid-line
  ASSERT_TRUE(wait_for([&] { return intake_stat("partial_lines") > partial_before; }));
  client_c again;
  ASSERT_TRUE(again.connected());
  ASSERT_TRUE(again.send(line("leaver", 3) + "\n"));
  ASSERT_TRUE(wait_for([] { return values_of("leaver").size() >= 2; }));
  EXPECT_EQ(values_of("leaver"), (std::vector<long>{1, 3}));
  interest(1, "leaver", -1);
}

TEST(vask_intake, pauses_reading_while_a_lane_is_full_and_loses_nothing) {
  interest(0, "flood", +1);
  uint64_t pauses_before = intake_stat("pauses");
  consumers.paused[0] = true;
  constexpr int kLines = 500;  // the lane holds 8
  std::string burst;
  for (int i = 0; i < kLines; i++)
    burst += line("flood", i) + "\n";
  client_c c;
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(burst));
  ASSERT_TRUE(wait_for([&] { return intake_stat("pauses") > pauses_before; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_TRUE(values_of("flood").empty());
  consumers.paused[0] = false;
  ASSERT_TRUE(wait_for([] { return values_of("flood").size() >= size_t(kLines); }));
  std::vector<long> want;
  for (int i = 0; i < kLines; i++)
    want.push_back(i);
  EXPECT_EQ(values_of("flood"), want);
  interest(0, "flood", -1);
}

}  // namespace
