// Job queues.
//
// A queue is a deque of job events under one mutex, and a set of detached threads that wait on
// a condition variable. All counters that decide growth and shrinking (threads, idle, the
// deque) change under the queue's mutex, so "every thread is busy" is judged on one consistent
// picture: a job that arrives while the backlog exceeds the idle threads starts a new thread
// (up to max). Threads above min leave after the idle time-out. Threads never leave while
// holding a job; a thread that leaves unregisters from safe memory as it exits, handing its
// pending frees on.
//
// The completion phase is posted to the job's owner loop thread with eventer_post, which keeps
// the two phases ordered: the post happens after the work phase has returned.
#include "tovi/eventer_jobq.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

struct eventer_jobq_s {
  // Constant after creation.
  std::string name;
  int memory_safety = EVENTER_JOBQ_MS_CS;

  std::mutex lock;
  std::condition_variable work_cv;
  std::deque<eventer_t> queue;                    // guarded by lock
  int concurrency = 1;                            // guarded by lock
  int min_threads = 1;                            // guarded by lock
  int max_threads = 1;                            // guarded by lock
  int threads = 0;                                // guarded by lock
  int idle = 0;                                   // guarded by lock
  std::chrono::milliseconds idle_timeout{10000};  // guarded by lock

  std::atomic<uint64_t> in_flight{0};
  std::atomic<uint64_t> total_jobs{0};
};

namespace {

struct registry_t {
  std::mutex lock;
  std::map<std::string, std::unique_ptr<eventer_jobq_s>> queues;  // guarded by lock
};

registry_t &registry() {
  static registry_t *r = new registry_t;  // never destroyed: job threads may outlive main
  return *r;
}

constexpr const char *default_queue_name = "default_queue";

void job_thread_main(eventer_jobq_s *q);

// Starts one thread. Called with q->lock held.
void start_thread_locked(eventer_jobq_s *q) {
  q->threads++;
  try {
    std::thread(job_thread_main, q).detach();
  } catch (const std::system_error &ex) {
    q->threads--;
    tovi_log(tovi_error, "jobq %s: cannot start a thread: %s\n", q->name.c_str(), ex.what());
  }
}

void fill_to_concurrency_locked(eventer_jobq_s *q) {
  int want = std::clamp(q->concurrency, q->min_threads, q->max_threads);
  while (q->threads < want) {
    int before = q->threads;
    start_thread_locked(q);
    if (q->threads == before) break;
  }
}

void run_completion(eventer_t e) {
  int owner = eventer_get_owner(e);
  if (owner < 0) {
    owner = eventer_choose_owner(uint64_t(reinterpret_cast<uintptr_t>(e) >> 6));
    eventer_set_owner(e, owner);
  }
  eventer_post(owner, [e] {
    struct timeval now;
    gettimeofday(&now, nullptr);
    eventer_get_callback(e)(e, EVENTER_ASYNCH_COMPLETE, eventer_get_closure(e), &now);
    eventer_deref(e);
  });
}

void job_thread_main(eventer_jobq_s *q) {
  char name[16];
  snprintf(name, sizeof name, "q:%s", q->name.c_str());
  pthread_setname_np(pthread_self(), name);

  std::unique_lock<std::mutex> lock(q->lock);
  for (;;) {
    if (q->queue.empty()) {
      // Carry out deferred frees before sleeping, and keep waking while some are left so that
      // an idle queue thread does not hold memory back indefinitely.
      lock.unlock();
      unsigned pending = tovi_memory_maintenance();
      lock.lock();
      if (!q->queue.empty()) continue;
      auto wait =
          pending ? std::min(q->idle_timeout, std::chrono::milliseconds(1000)) : q->idle_timeout;
      auto deadline = std::chrono::steady_clock::now() + wait;
      q->idle++;
      std::cv_status status = q->work_cv.wait_until(lock, deadline);
      q->idle--;
      if (!q->queue.empty()) continue;
      if (status == std::cv_status::timeout &&
          (q->threads > q->max_threads || (pending == 0 && q->threads > q->min_threads))) {
        q->threads--;
        return;
      }
      continue;  // settings changed, or a spurious wake-up: wait again with fresh values
    }
    eventer_t e = q->queue.front();
    q->queue.pop_front();
    q->in_flight.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();

    struct timeval now;
    gettimeofday(&now, nullptr);
    if (q->memory_safety != EVENTER_JOBQ_MS_NONE) tovi_memory_begin();
    eventer_get_callback(e)(e, EVENTER_ASYNCH_WORK, eventer_get_closure(e), &now);
    if (q->memory_safety != EVENTER_JOBQ_MS_NONE) tovi_memory_end();
    q->total_jobs.fetch_add(1, std::memory_order_relaxed);
    q->in_flight.fetch_sub(1, std::memory_order_relaxed);
    run_completion(e);
    tovi_memory_maintenance();

    lock.lock();
  }
}

eventer_jobq_s *create_locked(registry_t &r, const std::string &name, int memory_safety,
                              bool *created) {
  auto it = r.queues.find(name);
  if (it != r.queues.end()) {
    if (created) *created = false;
    return it->second.get();
  }
  auto q = std::make_unique<eventer_jobq_s>();
  q->name = name;
  q->memory_safety = memory_safety;
  eventer_jobq_s *raw = q.get();
  r.queues[name] = std::move(q);
  if (created) *created = true;
  return raw;
}

}  // namespace

int eventer_jobq_init(void) {
  bool ok = true;
  tovi_conf_section_read_hold();
  for (tovi_conf_section_t s : tovi_conf_get_sections(nullptr, "//eventer/jobqs/jobq")) {
    std::string name;
    if (!tovi_conf_get_string(s, "@name", &name) || name.empty()) {
      tovi_log(tovi_error, "eventer: //eventer/jobqs/jobq without a name\n");
      ok = false;
      continue;
    }
    int32_t concurrency = 1, min = 1, max = 1, ms = EVENTER_JOBQ_MS_CS;
    tovi_conf_get_int32(s, "@concurrency", &concurrency);
    tovi_conf_get_int32(s, "@min", &min);
    tovi_conf_get_int32(s, "@max", &max);
    tovi_conf_get_int32(s, "@memory_safety", &ms);
    if (min < 1 || max < min || concurrency < 1) {
      tovi_log(tovi_error,
               "eventer: //eventer/jobqs/jobq[@name='%s'] needs 1 <= min <= max and concurrency "
               ">= 1\n",
               name.c_str());
      ok = false;
      continue;
    }
    eventer_jobq_t *q = eventer_jobq_create_ms(name.c_str(), ms ? EVENTER_JOBQ_MS_CS : 0);
    eventer_jobq_set_min_max(q, min, max);
    eventer_jobq_set_concurrency(q, concurrency);
  }
  tovi_conf_section_read_release();
  return ok ? 0 : -1;
}

eventer_jobq_t *eventer_jobq_create_ms(const char *name, int memory_safety) {
  if (!name || !*name) return nullptr;
  auto &r = registry();
  bool created = false;
  eventer_jobq_s *q;
  {
    std::lock_guard<std::mutex> g(r.lock);
    q = create_locked(r, name, memory_safety, &created);
  }
  if (created) {
    std::lock_guard<std::mutex> g(q->lock);
    fill_to_concurrency_locked(q);
  }
  return q;
}

eventer_jobq_t *eventer_jobq_retrieve(const char *name) {
  if (!name) return nullptr;
  auto &r = registry();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = r.queues.find(name);
  return it == r.queues.end() ? nullptr : it->second.get();
}

eventer_jobq_t *eventer_jobq_default(void) {
  static eventer_jobq_t *q = [] {
    bool created = false;
    eventer_jobq_s *dq;
    {
      auto &r = registry();
      std::lock_guard<std::mutex> g(r.lock);
      dq = create_locked(r, default_queue_name, EVENTER_JOBQ_MS_CS, &created);
    }
    if (created) eventer_jobq_set_min_max(dq, 1, 16);
    std::lock_guard<std::mutex> g(dq->lock);
    fill_to_concurrency_locked(dq);
    return dq;
  }();
  return q;
}

const char *eventer_jobq_name(const eventer_jobq_t *q) {
  return q->name.c_str();
}

void eventer_jobq_set_concurrency(eventer_jobq_t *q, int n) {
  std::lock_guard<std::mutex> g(q->lock);
  if (n < 1) {
    tovi_log(tovi_error, "jobq %s: concurrency %d raised to 1\n", q->name.c_str(), n);
    n = 1;
  }
  q->concurrency = n;
  if (q->max_threads < n) q->max_threads = n;
  fill_to_concurrency_locked(q);
}

void eventer_jobq_set_min_max(eventer_jobq_t *q, int min, int max) {
  if (min < 1 || max < min) {
    tovi_log(tovi_error, "jobq %s: thread bounds %d..%d corrected\n", q->name.c_str(), min, max);
    if (min < 1) min = 1;
    if (max < min) max = min;
  }
  std::lock_guard<std::mutex> g(q->lock);
  q->min_threads = min;
  q->max_threads = max;
  fill_to_concurrency_locked(q);
  // Threads above a lowered maximum leave after their next idle time-out.
  q->work_cv.notify_all();
}

void eventer_jobq_set_idle_timeout_ms(eventer_jobq_t *q, int ms) {
  std::lock_guard<std::mutex> g(q->lock);
  q->idle_timeout = std::chrono::milliseconds(std::max(1, ms));
  q->work_cv.notify_all();  // idle threads re-arm with the new time-out
}

void eventer_add_asynch(eventer_jobq_t *q, eventer_t e) {
  tovi_assert(eventer_is_initialized());
  tovi_assert(eventer_get_mask(e) == EVENTER_ASYNCH);
  if (!q) q = eventer_jobq_default();
  std::lock_guard<std::mutex> g(q->lock);
  q->queue.push_back(e);
  if (q->queue.size() > size_t(q->idle) && q->threads < q->max_threads) start_thread_locked(q);
  q->work_cv.notify_one();
}

eventer_jobq_stats_t eventer_jobq_stats(eventer_jobq_t *q) {
  eventer_jobq_stats_t s{};
  std::lock_guard<std::mutex> g(q->lock);
  s.backlog = q->queue.size();
  s.in_flight = q->in_flight.load(std::memory_order_relaxed);
  s.total_jobs = q->total_jobs.load(std::memory_order_relaxed);
  s.threads = q->threads;
  s.idle_threads = q->idle;
  s.concurrency = q->concurrency;
  s.min_threads = q->min_threads;
  s.max_threads = q->max_threads;
  return s;
}

uint64_t eventer_jobq_backlog(eventer_jobq_t *q) {
  std::lock_guard<std::mutex> g(q->lock);
  return q->queue.size();
}

uint64_t eventer_jobq_in_flight(eventer_jobq_t *q) {
  return q->in_flight.load(std::memory_order_relaxed);
}

uint64_t eventer_jobq_total_jobs(eventer_jobq_t *q) {
  return q->total_jobs.load(std::memory_order_relaxed);
}

void eventer_jobq_foreach(const std::function<void(eventer_jobq_t *q)> &fn) {
  std::vector<eventer_jobq_t *> all;
  {
    auto &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (auto &kv : r.queues)
      all.push_back(kv.second.get());
  }
  for (eventer_jobq_t *q : all)
    fn(q);
}
