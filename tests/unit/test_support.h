// Helpers shared by the unit tests that run the event loop.
#pragma once

#include <chrono>
#include <thread>

#include "tovi/eventer.h"

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

}  // namespace quelt_test
