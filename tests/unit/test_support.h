// Helpers shared by the unit tests that run the event loop.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"

namespace quelt_test {

using namespace std::chrono_literals;

// Polls `done` every millisecond until it holds or `limit` passes; returns whether it held.
template <typename F>
bool wait_for(F done, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Runs eventer_loop() on a thread of its own and returns once the loop threads run.
// Requires eventer_init().
inline std::thread &event_loop_thread() {
  static std::thread loop;
  return loop;
}

inline void start_event_loop() {
  event_loop_thread() = std::thread([] { eventer_loop(); });
  while (!eventer_loop_running())
    std::this_thread::sleep_for(1ms);
}

inline void stop_event_loop() {
  eventer_loop_stop();
  event_loop_thread().join();
}

// A test environment that loads the configuration, initialises the event loop and runs it for
// the whole test program.
class loop_environment_c : public ::testing::Environment {
 public:
  loop_environment_c(const char *config, const char *name) : config_(config), name_(name) {}
  void SetUp() override {
    ASSERT_TRUE(tovi_conf_load_string(config_, name_));
    ASSERT_EQ(eventer_init(), 0);
    start_event_loop();
  }
  void TearDown() override { stop_event_loop(); }

 private:
  const char *config_;
  const char *name_;
};

// A blocking TCP connection to 127.0.0.1:port; -1 when it cannot connect. The caller closes it.
inline int connect_loopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A number of the process statistics, found by its path in the simple JSON output
// ({"vask", "intake", "lines"}); 0 when there is no such statistic.
inline uint64_t process_stat(std::initializer_list<const char *> path) {
  std::string text = stats_recorder_to_json(stats_process_recorder(), STATS_JSON_SIMPLE);
  json_object *root = json_tokener_parse(text.c_str());
  json_object *at = root;
  for (const char *key : path)
    if (!at || !json_object_object_get_ex(at, key, &at)) at = nullptr;
  uint64_t out = at ? json_object_get_uint64(at) : 0;
  json_object_put(root);
  return out;
}

}  // namespace quelt_test
