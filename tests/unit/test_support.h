// Helpers shared by the unit tests: the event loop, loopback connections, statistics and the
// lines of a log stream.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"

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

// Keeps every line written to one log stream from its construction on, through an outlet of its
// own ("capture:<stream>") added to the stream (which then no longer writes to its parent's
// outlets). Outlets are never removed: make it a function-local static, one per stream.
class log_capture_c {
 public:
  explicit log_capture_c(const char *stream) {
    std::string outlet = std::string("capture:") + stream;
    tovi_log_outlet_register_callback(outlet.c_str(),
                                      [this](tovi_log_stream_t, std::string_view t) {
                                        std::lock_guard<std::mutex> g(lock_);
                                        lines_.emplace_back(t);
                                      });
    added_ = tovi_log_stream_add_outlet(stream, outlet.c_str());
  }
  log_capture_c(const log_capture_c &) = delete;
  log_capture_c &operator=(const log_capture_c &) = delete;

  bool added() const { return added_; }  // false: no such stream
  // Whether a kept line contains `text`.
  bool logged(const std::string &text) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const std::string &l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> g(lock_);
    return lines_;
  }
  void clear() {
    std::lock_guard<std::mutex> g(lock_);
    lines_.clear();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
  bool added_ = false;
};

}  // namespace quelt_test
