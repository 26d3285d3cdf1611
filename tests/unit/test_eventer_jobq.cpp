#include "test_support.h"
#include "tovi/eventer_jobq.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_memory.h"

namespace {

using quelt_test::wait_for;

using namespace std::chrono_literals;

const char *const config = R"(<?xml version="1.0"?>
<queltd>
  <eventer>
    <config><concurrency>2</concurrency></config>
    <jobqs><jobq name="declared" concurrency="2" min="1" max="5"/></jobqs>
  </eventer>
</queltd>
)";

const auto *environment =
    ::testing::AddGlobalTestEnvironment(new quelt_test::loop_environment_c(config, "jobq.conf"));

struct job_trace_t {
  std::mutex lock;
  std::vector<int> masks;
  int work_thread = -2;
  int work_depth = -1;
  int complete_thread = -2;
  std::atomic<bool> completed{false};
};

int traced_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *t = static_cast<job_trace_t *>(closure);
  std::lock_guard<std::mutex> g(t->lock);
  t->masks.push_back(mask);
  if (mask == EVENTER_ASYNCH_WORK) {
    t->work_thread = eventer_current_thread_id();
    t->work_depth = tovi_memory_depth();
  } else if (mask == EVENTER_ASYNCH_COMPLETE) {
    t->complete_thread = eventer_current_thread_id();
    t->completed = true;
  }
  return 0;
}

TEST(eventer_jobq, work_runs_on_a_queue_thread_in_a_bracket_then_completion_on_the_owner) {
  eventer_jobq_t *q = eventer_jobq_create_ms("phases", EVENTER_JOBQ_MS_CS);
  ASSERT_NE(q, nullptr);
  job_trace_t trace;
  eventer_t e = eventer_alloc_asynch(traced_job, &trace);
  eventer_set_owner(e, 1);
  eventer_add_asynch(q, e);
  ASSERT_TRUE(wait_for([&] { return trace.completed.load(); }));
  std::lock_guard<std::mutex> g(trace.lock);
  EXPECT_EQ(trace.masks, (std::vector<int>{16, 48}));
  EXPECT_EQ(trace.work_thread, -1) << "the work phase must not run on a loop thread";
  EXPECT_EQ(trace.work_depth, 1);
  EXPECT_EQ(trace.complete_thread, 1);
  EXPECT_EQ(eventer_jobq_total_jobs(q), 1u);

  // Without memory safety the work runs outside any bracket.
  eventer_jobq_t *plain = eventer_jobq_create_ms("phases_plain", EVENTER_JOBQ_MS_NONE);
  job_trace_t plain_trace;
  eventer_add_asynch(plain, eventer_alloc_asynch(traced_job, &plain_trace));
  ASSERT_TRUE(wait_for([&] { return plain_trace.completed.load(); }));
  std::lock_guard<std::mutex> g2(plain_trace.lock);
  EXPECT_EQ(plain_trace.work_depth, 0);
  EXPECT_GE(plain_trace.complete_thread, 0);
}

struct gate_t {
  std::mutex lock;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> started{0}, completed{0};
};

int gated_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *gate = static_cast<gate_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    gate->started++;
    std::unique_lock<std::mutex> g(gate->lock);
    gate->cv.wait(g, [gate] { return gate->open; });
  } else if (mask == EVENTER_ASYNCH_COMPLETE) {
    gate->completed++;
  }
  return 0;
}

TEST(eventer_jobq, threads_grow_to_max_under_backlog_and_shrink_to_min_when_idle) {
  eventer_jobq_t *q = eventer_jobq_create_ms("growth", EVENTER_JOBQ_MS_CS);
  eventer_jobq_set_min_max(q, 1, 4);
  eventer_jobq_set_idle_timeout_ms(q, 50);
  ASSERT_EQ(eventer_jobq_stats(q).threads, 1);

  gate_t gate;
  for (int i = 0; i < 6; i++)
    eventer_add_asynch(q, eventer_alloc_asynch(gated_job, &gate));
  ASSERT_TRUE(wait_for([&] { return gate.started.load() == 4; }));
  std::this_thread::sleep_for(20ms);
  eventer_jobq_stats_t busy = eventer_jobq_stats(q);
  EXPECT_EQ(busy.threads, 4);
  EXPECT_EQ(busy.in_flight, 4u);
  EXPECT_EQ(busy.backlog, 2u);
  EXPECT_EQ(gate.started.load(), 4) << "never more jobs at once than the maximum";

  {
    std::lock_guard<std::mutex> g(gate.lock);
    gate.open = true;
  }
  gate.cv.notify_all();
  ASSERT_TRUE(wait_for([&] { return gate.completed.load() == 6; }));
  EXPECT_EQ(eventer_jobq_total_jobs(q), 6u);
  EXPECT_EQ(eventer_jobq_backlog(q), 0u);
  EXPECT_EQ(eventer_jobq_in_flight(q), 0u);
  ASSERT_TRUE(wait_for([&] { return eventer_jobq_stats(q).threads == 1; }));
}

TEST(eventer_jobq, queues_are_found_by_name_and_configured_ones_exist_up_front) {
  eventer_jobq_t *declared = eventer_jobq_retrieve("declared");
  ASSERT_NE(declared, nullptr);
  eventer_jobq_stats_t st = eventer_jobq_stats(declared);
  EXPECT_EQ(st.concurrency, 2);
  EXPECT_EQ(st.min_threads, 1);
  EXPECT_EQ(st.max_threads, 5);
  EXPECT_EQ(eventer_jobq_create_ms("declared", EVENTER_JOBQ_MS_CS), declared);

  EXPECT_EQ(eventer_jobq_retrieve("never_made"), nullptr);
  EXPECT_EQ(eventer_jobq_create_ms("", EVENTER_JOBQ_MS_CS), nullptr);
  eventer_jobq_t *a = eventer_jobq_create_ms("lookup", EVENTER_JOBQ_MS_CS);
  EXPECT_EQ(eventer_jobq_create_ms("lookup", EVENTER_JOBQ_MS_NONE), a);
  EXPECT_STREQ(eventer_jobq_name(a), "lookup");

  // Concurrency above the maximum raises it and starts the threads.
  eventer_jobq_set_concurrency(a, 3);
  EXPECT_EQ(eventer_jobq_stats(a).threads, 3);
  EXPECT_EQ(eventer_jobq_stats(a).max_threads, 3);
}

TEST(eventer_jobq, eventer_add_sends_a_job_to_the_default_queue) {
  job_trace_t trace;
  eventer_add(eventer_alloc_asynch(traced_job, &trace));
  ASSERT_TRUE(wait_for([&] { return trace.completed.load(); }));
  EXPECT_GE(eventer_jobq_total_jobs(eventer_jobq_default()), 1u);
  EXPECT_STREQ(eventer_jobq_name(eventer_jobq_default()), "default_queue");
}

}  // namespace
