#include "test_support.h"
#include "tovi/eventer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "tovi/tovi_conf.h"

namespace {

using quelt_test::wait_for;

using namespace std::chrono_literals;

const char *const config = R"(<?xml version="1.0"?>
<queltd>
  <eventer>
    <config><concurrency>3</concurrency><recurrent_idle_ms>60000</recurrent_idle_ms></config>
    <pools><pool name="ruleset_cull" concurrency="2"/></pools>
  </eventer>
</queltd>
)";

const auto *environment =
    ::testing::AddGlobalTestEnvironment(new quelt_test::loop_environment_c(config, "eventer.conf"));

struct timer_log_t {
  std::mutex lock;
  std::vector<int> fired;
  std::vector<int> threads;
  std::vector<int64_t> late_us;  // now - whence as the callback saw it
};

struct timer_closure_t {
  timer_log_t *log;
  int id;
};

int64_t tv_us(const struct timeval &tv) {
  return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

int record_timer(eventer_t e, int mask, void *closure, struct timeval *now) {
  auto *c = static_cast<timer_closure_t *>(closure);
  EXPECT_EQ(mask, EVENTER_TIMER);
  std::lock_guard<std::mutex> g(c->log->lock);
  c->log->fired.push_back(c->id);
  c->log->threads.push_back(eventer_current_thread_id());
  c->log->late_us.push_back(tv_us(*now) - tv_us(eventer_get_whence(e)));
  delete c;
  return 0;
}

size_t fired_count(timer_log_t &log) {
  std::lock_guard<std::mutex> g(log.lock);
  return log.fired.size();
}

TEST(eventer, timers_fire_in_time_order_on_their_owner_never_early) {
  ASSERT_EQ(eventer_loop_concurrency(), 3);
  timer_log_t log;
  // Relative delays in ms, added out of order, plus one absolute timer and one "asap".
  const int delays[] = {60, 10, 40, 20, 50, 30};
  for (int d : delays) {
    eventer_t e = eventer_alloc_timer(record_timer, new timer_closure_t{&log, d}, nullptr);
    eventer_set_owner(e, 1);
    struct timeval now, delay{0, d * 1000}, at;
    gettimeofday(&now, nullptr);
    eventer_add_timeval(&now, &delay, &at);
    eventer_add_at(e, &at);
  }
  eventer_t asap = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 0}, nullptr);
  eventer_set_owner(asap, 1);
  eventer_add_asap(asap);
  eventer_t relative = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 35}, nullptr);
  eventer_set_owner(relative, 1);
  struct timeval base, delay{0, 35000}, at;
  gettimeofday(&base, nullptr);
  eventer_add_timeval(&base, &delay, &at);
  eventer_add_at(relative, &at);

  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 8; }));
  std::lock_guard<std::mutex> g(log.lock);
  EXPECT_EQ(log.fired, (std::vector<int>{0, 10, 20, 30, 35, 40, 50, 60}));
  for (int t : log.threads)
    EXPECT_EQ(t, 1);
  for (int64_t late : log.late_us)
    EXPECT_GE(late, 0);
}

TEST(eventer, removed_timers_do_not_fire_and_fired_ones_cannot_be_removed) {
  timer_log_t log;
  auto *closure = new timer_closure_t{&log, 1};
  struct timeval now, delay{0, 30000}, at;
  gettimeofday(&now, nullptr);
  eventer_add_timeval(&now, &delay, &at);
  eventer_t e = eventer_alloc_timer(record_timer, closure, &at);
  eventer_ref(e);  // our slot's reference, taken before the loop can run it
  eventer_add(e);
  EXPECT_TRUE(eventer_is_pending(e));
  ASSERT_TRUE(eventer_remove(e));  // now we also hold the loop's reference
  EXPECT_FALSE(eventer_is_pending(e));
  EXPECT_FALSE(eventer_remove(e));
  delete closure;
  eventer_deref(e);
  eventer_deref(e);

  eventer_t fired = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 2}, nullptr);
  eventer_ref(fired);
  eventer_add(fired);
  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 1; }));
  EXPECT_FALSE(eventer_remove(fired));
  eventer_deref(fired);

  std::this_thread::sleep_for(60ms);
  std::lock_guard<std::mutex> g(log.lock);
  EXPECT_EQ(log.fired, std::vector<int>{2});
}

TEST(eventer, update_moves_a_pending_timer_earlier_and_later) {
  timer_log_t log;
  struct timeval now, later, soon, far{30, 0}, near{0, 20000};
  gettimeofday(&now, nullptr);
  eventer_add_timeval(&now, &far, &later);
  eventer_add_timeval(&now, &near, &soon);

  // Added from this (non-loop) thread, far away: the owner must not sleep through the move.
  eventer_t early = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 1}, &later);
  eventer_set_owner(early, 2);
  eventer_add(early);
  eventer_t pushed_back = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 2}, &soon);
  eventer_set_owner(pushed_back, 2);
  eventer_add(pushed_back);
  eventer_ref(pushed_back);

  EXPECT_TRUE(eventer_update(early, &soon));
  EXPECT_TRUE(eventer_update(pushed_back, &later));
  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 1; }, 2000ms));
  std::this_thread::sleep_for(50ms);
  {
    std::lock_guard<std::mutex> g(log.lock);
    EXPECT_EQ(log.fired, std::vector<int>{1});
  }
  ASSERT_TRUE(eventer_remove(pushed_back));
  delete static_cast<timer_closure_t *>(eventer_get_closure(pushed_back));
  eventer_deref(pushed_back);
  eventer_deref(pushed_back);
}

// A step of the wall clock moves absolute timers with it and leaves relative ones alone: a
// forward step fires the timer set for a moment it skipped, and neither fires the relative
// timer early nor holds it back once the clock is stepped back again.
TEST(eventer, relative_timers_ignore_wall_clock_steps_absolute_ones_follow_them) {
  timer_log_t log;
  struct timeval now = eventer_wall_now(), in_an_hour{3600, 0}, at;
  eventer_add_timeval(&now, &in_an_hour, &at);
  eventer_t absolute = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 1}, &at);
  eventer_set_owner(absolute, 0);
  eventer_add(absolute);
  eventer_t relative =
      eventer_alloc_timer_in(record_timer, new timer_closure_t{&log, 2}, {1, 0});
  eventer_set_owner(relative, 0);
  eventer_ref(relative);
  eventer_add(relative);
  // Reported on the wall clock while pending.
  EXPECT_LE(std::abs(tv_us(eventer_get_whence(relative)) - tv_us(now) - 1000000), 50000);

  const auto stepped = std::chrono::steady_clock::now();
  eventer_shift_wall_clock(int64_t(2) * 3600 * 1000000);
  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 1; }, 3000ms));
  {
    std::lock_guard<std::mutex> g(log.lock);
    EXPECT_EQ(log.fired, std::vector<int>{1});
  }
  EXPECT_TRUE(eventer_is_pending(relative));

  eventer_shift_wall_clock(int64_t(-2) * 3600 * 1000000);
  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 2; }, 3000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - stepped, 950ms);

  // Moving a relative timer that has fired only changes its time.
  EXPECT_FALSE(eventer_update_in(relative, {0, 1000}));
  eventer_deref(relative);

  // Pushed back on the monotonic clock while pending, it fires at the new delay, once.
  eventer_t watchdog =
      eventer_alloc_timer_in(record_timer, new timer_closure_t{&log, 3}, {0, 50000});
  eventer_ref(watchdog);
  eventer_add(watchdog);
  const auto moved = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; i++) {
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(eventer_update_in(watchdog, {0, 100000}));
  }
  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 3; }, 3000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - moved, 190ms);
  eventer_deref(watchdog);
}

int repeat_three_times(eventer_t e, int, void *closure, struct timeval *now) {
  auto *count = static_cast<std::atomic<int> *>(closure);
  if (++*count == 3) return 0;
  struct timeval step {
    0, 2000
  }, next;
  eventer_add_timeval(now, &step, &next);
  EXPECT_FALSE(eventer_update(e, &next));  // not pending while it runs: only the time changes
  return EVENTER_TIMER;
}

TEST(eventer, a_timer_that_returns_timer_runs_again) {
  static std::atomic<int> count{0};
  eventer_add_in_s_us(repeat_three_times, &count, 0, 1000);
  ASSERT_TRUE(wait_for([] { return count.load() == 3; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(count.load(), 3);
}

struct recurrent_state_t {
  std::atomic<int> runs{0};
  std::atomic<int> wrong_thread{0};
  int expected_thread = 0;
};

int count_recurrent(eventer_t, int mask, void *closure, struct timeval *) {
  auto *s = static_cast<recurrent_state_t *>(closure);
  if (mask != EVENTER_RECURRENT || eventer_current_thread_id() != s->expected_thread)
    s->wrong_thread++;
  s->runs++;
  return EVENTER_RECURRENT;
}

TEST(eventer, recurrent_events_run_per_pass_sleep_when_idle_and_wake_on_request) {
  recurrent_state_t state;
  state.expected_thread = 2;
  eventer_t e = eventer_alloc_recurrent(count_recurrent, &state);
  eventer_set_owner(e, 2);
  eventer_add(e);
  ASSERT_TRUE(wait_for([&] { return state.runs.load() >= 1; }));
  EXPECT_EQ(eventer_recurrent_count(2), 1);

  // Idle: with nothing to do the thread sleeps instead of spinning through passes.
  std::this_thread::sleep_for(20ms);
  int before = state.runs.load();
  std::this_thread::sleep_for(200ms);
  EXPECT_LE(state.runs.load() - before, 2);

  // A producer's wake-up makes the sleeping thread run its recurrent events promptly.
  for (int i = 1; i <= 5; i++) {
    int seen = state.runs.load();
    eventer_wakeup(2);
    ASSERT_TRUE(wait_for([&] { return state.runs.load() > seen; }, 1000ms)) << "wake-up " << i;
  }

  // Work posted to the thread also gives a pass.
  int seen = state.runs.load();
  eventer_post(2, [] {});
  ASSERT_TRUE(wait_for([&] { return state.runs.load() > seen; }, 1000ms));

  ASSERT_TRUE(eventer_remove(e));
  EXPECT_FALSE(eventer_remove(e));
  eventer_deref(e);
  EXPECT_EQ(eventer_recurrent_count(2), 0);
  int after_removal = state.runs.load();
  eventer_wakeup(2);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(state.runs.load(), after_removal);
  EXPECT_EQ(state.wrong_thread.load(), 0);
}

int remove_self(eventer_t e, int, void *closure, struct timeval *) {
  auto *runs = static_cast<std::atomic<int> *>(closure);
  if (++*runs == 2) {
    EXPECT_TRUE(eventer_remove(e));
    eventer_deref(e);  // the loop's reference, now ours
  }
  return EVENTER_RECURRENT;
}

TEST(eventer, a_recurrent_event_may_remove_itself) {
  static std::atomic<int> runs{0};
  eventer_t e = eventer_alloc_recurrent(remove_self, &runs);
  eventer_set_owner(e, 0);
  eventer_add(e);
  for (int i = 0; i < 4; i++) {
    eventer_wakeup(0);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(runs.load(), 2);
}

TEST(eventer, posts_from_many_threads_all_run_on_the_chosen_thread) {
  std::atomic<int> ran{0}, wrong{0};
  constexpr int per_thread = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; p++) {
    producers.emplace_back([&] {
      for (int i = 0; i < per_thread; i++) {
        eventer_post(1, [&] {
          if (eventer_current_thread_id() != 1 || !eventer_is_loop_thread()) wrong++;
          ran++;
        });
      }
    });
  }
  for (auto &t : producers)
    t.join();
  ASSERT_TRUE(wait_for([&] { return ran.load() == 3 * per_thread; }));
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_FALSE(eventer_is_loop_thread());
  EXPECT_EQ(eventer_current_thread_id(), -1);
}

TEST(eventer, owners_pools_and_callback_names) {
  EXPECT_EQ(eventer_choose_owner(0), 0);
  EXPECT_EQ(eventer_choose_owner(4), 1);
  EXPECT_EQ(eventer_choose_owner(0xffffffffull), int(0xffffffffull % 3));

  eventer_pool_t *cull = eventer_pool("ruleset_cull");
  ASSERT_NE(cull, nullptr);
  EXPECT_EQ(eventer_pool_concurrency(cull), 2);
  for (uint64_t n = 0; n < 10; n++)
    EXPECT_LT(eventer_pool_choose_owner(cull, n), 2);
  EXPECT_EQ(eventer_pool("nonexistent"), nullptr);
  EXPECT_EQ(eventer_pool_concurrency(nullptr), 3);
  EXPECT_EQ(eventer_pool_choose_owner(nullptr, 5), 2);

  EXPECT_EQ(eventer_callback_name(record_timer), nullptr);
  eventer_name_callback("record_timer", record_timer);
  EXPECT_STREQ(eventer_callback_name(record_timer), "record_timer");
}

TEST(eventer, timeval_arithmetic_carries) {
  struct timeval a {
    5, 900000
  }, b{1, 200000}, out;
  eventer_add_timeval(&a, &b, &out);
  EXPECT_EQ(out.tv_sec, 7);
  EXPECT_EQ(out.tv_usec, 100000);
  eventer_sub_timeval(&b, &a, &out);
  EXPECT_EQ(out.tv_sec, -5);
  EXPECT_EQ(out.tv_usec, 300000);
}

TEST(eventer, stop_ends_the_loop_and_it_can_run_again_with_its_timers) {
  timer_log_t log;
  eventer_t e = eventer_alloc_timer(record_timer, new timer_closure_t{&log, 9}, nullptr);
  struct timeval now, delay{0, 150000}, at;
  gettimeofday(&now, nullptr);
  eventer_add_timeval(&now, &delay, &at);
  eventer_set_owner(e, 0);
  eventer_add_at(e, &at);

  // Stop from a thread that is not a loop thread, as a signal-handling thread would.
  std::thread([] { eventer_loop_stop(); }).join();
  quelt_test::event_loop_thread().join();
  EXPECT_FALSE(eventer_loop_running());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(fired_count(log), 0u);
  EXPECT_EQ(eventer_timers_pending(0), 1);

  quelt_test::start_event_loop();
  ASSERT_TRUE(wait_for([&] { return fired_count(log) == 1; }));
}

}  // namespace
