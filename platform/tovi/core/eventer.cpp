// The event loop.
//
// Each loop thread owns an io_context that only it runs, a binary heap of timers, and a list of
// recurrent events. Timers are kept in our own heap rather than in Asio timer objects because
// eventer_remove() and eventer_update() are called from any thread and must say synchronously
// whether the timer was still pending: the heap is guarded by its thread's timer_lock, and a
// firing timer is popped under that lock before its callback runs, so "removed" and "fired"
// exclude each other. The io_context provides the sleeping (run_one_until the next deadline),
// the cross-thread hand-off (post) and socket I/O for the console and REST server.
//
// Sleeping and waking. A thread that goes to sleep first publishes `sleeping`, then looks at
// `wake_pending` once more; a producer sets `wake_pending` and then looks at `sleeping`, posting
// an empty handler only when the thread may be asleep. With sequentially consistent accesses on
// both sides one of the two always sees the other, so no wake-up is lost and an awake thread
// costs its producers one atomic exchange.
//
// Events and reference counts are described in eventer.h. An event's state (idle, pending,
// firing) changes under its owner's timer_lock (timers) or recurrent_lock (recurrent events).
#include "tovi/eventer.h"
#include "tovi/tovi_main.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tovi/eventer_jobq.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

namespace {

enum event_state_t { STATE_IDLE = 0, STATE_PENDING = 1, STATE_FIRING = 2 };

// Handlers run per pass before the thread looks at its timers again, so that a handler that
// keeps posting itself cannot starve timers and recurrent events.
constexpr int max_handlers_per_pass = 4096;
constexpr int max_timers_per_pass = 10000;
constexpr int max_loop_threads = 1024;

int64_t timeval_to_us(const struct timeval &tv) {
  return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

struct timeval us_to_timeval(int64_t us) {
  struct timeval tv;
  tv.tv_sec = us / 1000000;
  tv.tv_usec = us % 1000000;
  if (tv.tv_usec < 0) {
    tv.tv_usec += 1000000;
    tv.tv_sec -= 1;
  }
  return tv;
}

// Added to every reading of the wall clock; moved only by tests (eventer_shift_wall_clock).
std::atomic<int64_t> wall_clock_shift_us{0};

int64_t wall_now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000 +
         wall_clock_shift_us.load(std::memory_order_relaxed);
}

int64_t mono_now_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A thread whose next timer is an absolute one sleeps at most this long at a time, so that a
// step of the wall clock delays that timer by no more than this.
constexpr int64_t max_wall_sleep_us = 1000000;

}  // namespace

struct eventer_s {
  // Constant after allocation.
  int kind;
  std::atomic<int> refcnt{1};

  // Set by the owner of the reference that adds the event; read by the loop thread.
  eventer_func_t callback;
  void *closure;
  std::atomic<int> owner{-1};

  // Guarded by the owner's timer_lock (timers) or recurrent_lock (recurrent events); atomics so
  // that the diagnostics accessors may read them from anywhere.
  std::atomic<int> state{STATE_IDLE};
  // Microseconds on the wall clock, or on the monotonic clock for a relative timer.
  std::atomic<int64_t> whence_us{0};
  // Set while the event is idle, or under the owner's timer_lock.
  std::atomic<bool> monotonic{false};
  int64_t heap_index = -1;
  uint64_t seq = 0;
};

struct eventer_pool_s {
  std::string name;
  int concurrency;
};

namespace {

typedef std::vector<eventer_t> timer_heap_t;

struct loop_thread_t {
  int id = 0;
  std::unique_ptr<boost::asio::io_context> ctx;

  std::mutex timer_lock;
  timer_heap_t heap;       // absolute timers, wall clock; guarded by timer_lock
  timer_heap_t mono_heap;  // relative timers, monotonic clock; guarded by timer_lock
  uint64_t next_seq = 0;   // guarded by timer_lock

  std::mutex recurrent_lock;
  std::vector<eventer_t> recurrent;  // guarded by recurrent_lock
  std::atomic<int> recurrent_count{0};

  std::atomic<bool> wake_pending{false};
  std::atomic<bool> sleeping{false};
  std::atomic<uint64_t> passes{0};

  std::vector<eventer_t> recurrent_snapshot;  // loop thread only
  std::thread thread;
};

struct eventer_globals_t {
  std::atomic<bool> initialized{false};
  std::vector<std::unique_ptr<loop_thread_t>> threads;
  std::map<std::string, std::unique_ptr<eventer_pool_s>> pools;
  int64_t recurrent_idle_us = 1000000;
  std::atomic<uint64_t> round_robin{0};

  std::mutex run_lock;
  std::condition_variable run_cv;
  bool running = false;  // guarded by run_lock
  std::atomic<bool> stop_requested{false};
};

eventer_globals_t &globals() {
  static eventer_globals_t *g = new eventer_globals_t;  // never destroyed: threads may outlive main
  return *g;
}

thread_local int current_loop_thread = -1;

struct callback_names_t {
  std::shared_mutex lock;
  std::unordered_map<void *, const char *> names;
};

callback_names_t &callback_names() {
  static callback_names_t *n = new callback_names_t;
  return *n;
}

tovi_log_stream_t eventer_debug() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/eventer");
  return ls;
}

loop_thread_t &thread_at(int id) {
  auto &g = globals();
  tovi_assert(id >= 0 && id < int(g.threads.size()));
  return *g.threads[size_t(id)];
}

// ---- Timer heaps, all under timer_lock ----

bool heap_less(eventer_t a, eventer_t b) {
  int64_t wa = a->whence_us.load(std::memory_order_relaxed);
  int64_t wb = b->whence_us.load(std::memory_order_relaxed);
  return wa < wb || (wa == wb && a->seq < b->seq);
}

void heap_set(timer_heap_t &h, size_t i, eventer_t e) {
  h[i] = e;
  e->heap_index = int64_t(i);
}

void heap_sift_up(timer_heap_t &h, size_t i) {
  eventer_t e = h[i];
  while (i > 0) {
    size_t parent = (i - 1) / 2;
    if (!heap_less(e, h[parent])) break;
    heap_set(h, i, h[parent]);
    i = parent;
  }
  heap_set(h, i, e);
}

void heap_sift_down(timer_heap_t &h, size_t i) {
  eventer_t e = h[i];
  size_t n = h.size();
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && heap_less(h[child + 1], h[child])) child++;
    if (!heap_less(h[child], e)) break;
    heap_set(h, i, h[child]);
    i = child;
  }
  heap_set(h, i, e);
}

// The heap a timer belongs in: relative timers count on the monotonic clock.
timer_heap_t &heap_of(loop_thread_t &t, eventer_t e) {
  return e->monotonic.load(std::memory_order_relaxed) ? t.mono_heap : t.heap;
}

void heap_push(loop_thread_t &t, eventer_t e) {
  timer_heap_t &h = heap_of(t, e);
  e->seq = t.next_seq++;
  h.push_back(e);
  heap_sift_up(h, h.size() - 1);
}

void heap_erase(loop_thread_t &t, eventer_t e) {
  timer_heap_t &h = heap_of(t, e);
  size_t i = size_t(e->heap_index);
  eventer_t last = h.back();
  h.pop_back();
  e->heap_index = -1;
  if (last == e) return;
  heap_set(h, i, last);
  heap_sift_up(h, i);
  heap_sift_down(h, size_t(last->heap_index));
}

void heap_fix(loop_thread_t &t, eventer_t e) {
  timer_heap_t &h = heap_of(t, e);
  size_t i = size_t(e->heap_index);
  heap_sift_up(h, i);
  heap_sift_down(h, size_t(e->heap_index));
}

// Whether e is the timer its thread will look at first in its heap.
bool heap_first(loop_thread_t &t, eventer_t e) {
  timer_heap_t &h = heap_of(t, e);
  return !h.empty() && h[0] == e;
}

int choose_default_owner() {
  if (current_loop_thread >= 0) return current_loop_thread;
  auto &g = globals();
  return int(g.round_robin.fetch_add(1, std::memory_order_relaxed) % g.threads.size());
}

int resolve_owner(eventer_t e) {
  int owner = e->owner.load(std::memory_order_acquire);
  if (owner < 0) {
    owner = choose_default_owner();
    e->owner.store(owner, std::memory_order_release);
  }
  return owner;
}

void timer_insert(eventer_t e) {
  tovi_assert(eventer_is_initialized());
  int owner = resolve_owner(e);
  loop_thread_t &t = thread_at(owner);
  bool new_first;
  {
    std::lock_guard<std::mutex> g(t.timer_lock);
    tovi_assert(e->state.load(std::memory_order_relaxed) == STATE_IDLE);
    e->state.store(STATE_PENDING, std::memory_order_relaxed);
    heap_push(t, e);
    new_first = heap_first(t, e);
  }
  // The owner computes its sleep from the earliest timer; only a new earliest timer added from
  // elsewhere can make that sleep too long.
  if (new_first && owner != current_loop_thread) eventer_wakeup(owner);
}

// The first due timer of either heap, or null.
eventer_t first_due(loop_thread_t &t, int64_t wall_us, int64_t mono_us) {
  if (!t.heap.empty() && t.heap[0]->whence_us.load(std::memory_order_relaxed) <= wall_us)
    return t.heap[0];
  if (!t.mono_heap.empty() && t.mono_heap[0]->whence_us.load(std::memory_order_relaxed) <= mono_us)
    return t.mono_heap[0];
  return nullptr;
}

// Fires the due timers of the pass. Returns true when it stopped early with timers still due.
bool fire_timers(loop_thread_t &t, int64_t now_us, int64_t mono_us, struct timeval *now) {
  for (int fired = 0; fired < max_timers_per_pass; fired++) {
    eventer_t e;
    {
      std::lock_guard<std::mutex> g(t.timer_lock);
      e = first_due(t, now_us, mono_us);
      if (!e) return false;
      heap_erase(t, e);
      e->state.store(STATE_FIRING, std::memory_order_relaxed);
    }
    int rv = e->callback(e, EVENTER_TIMER, e->closure, now);
    if (rv & EVENTER_TIMER) {
      std::lock_guard<std::mutex> g(t.timer_lock);
      heap_push(t, e);
      e->state.store(STATE_PENDING, std::memory_order_relaxed);
    } else {
      {
        std::lock_guard<std::mutex> g(t.timer_lock);
        e->state.store(STATE_IDLE, std::memory_order_relaxed);
      }
      eventer_deref(e);
    }
  }
  return true;
}

void run_recurrent(loop_thread_t &t, struct timeval *now) {
  if (t.recurrent_count.load(std::memory_order_relaxed) == 0) return;
  t.recurrent_snapshot.clear();
  {
    std::lock_guard<std::mutex> g(t.recurrent_lock);
    for (eventer_t e : t.recurrent) {
      eventer_ref(e);  // a concurrent eventer_remove + deref must not free it under us
      t.recurrent_snapshot.push_back(e);
    }
  }
  for (eventer_t e : t.recurrent_snapshot) {
    if (e->state.load(std::memory_order_acquire) == STATE_PENDING)
      e->callback(e, EVENTER_RECURRENT, e->closure, now);
    eventer_deref(e);
  }
  t.recurrent_snapshot.clear();
}

// Runs at most max_handlers_per_pass ready handlers; true when more may be ready.
bool run_ready_handlers(loop_thread_t &t) {
  for (int n = 0; n < max_handlers_per_pass; n++) {
    try {
      if (t.ctx->poll_one() == 0) return false;
    } catch (const std::exception &ex) {
      tovi_log(tovi_error, "eventer: a handler on loop thread %d threw: %s\n", t.id, ex.what());
    }
  }
  return true;
}

void loop_thread_main(loop_thread_t &t) {
  auto &g = globals();
  current_loop_thread = t.id;
  char name[16];
  snprintf(name, sizeof name, "e:default/%d", t.id);
  pthread_setname_np(pthread_self(), name);
  tovi_memory_init();

  auto work = boost::asio::make_work_guard(*t.ctx);
  while (!g.stop_requested.load(std::memory_order_acquire)) {
    t.wake_pending.store(false, std::memory_order_seq_cst);
    bool more = run_ready_handlers(t);
    if (g.stop_requested.load(std::memory_order_acquire)) break;

    int64_t now_us = wall_now_us();
    struct timeval now = us_to_timeval(now_us);
    more |= fire_timers(t, now_us, mono_now_us(), &now);
    run_recurrent(t, &now);
    tovi_memory_maintenance();
    t.passes.fetch_add(1, std::memory_order_relaxed);
    if (more) continue;

    // How long to sleep, in microseconds; INT64_MAX: until woken.
    int64_t sleep_us = INT64_MAX;
    {
      std::lock_guard<std::mutex> lock(t.timer_lock);
      if (!t.heap.empty())
        sleep_us = std::min(t.heap[0]->whence_us.load(std::memory_order_relaxed) - wall_now_us(),
                            max_wall_sleep_us);
      if (!t.mono_heap.empty())
        sleep_us = std::min(
            sleep_us, t.mono_heap[0]->whence_us.load(std::memory_order_relaxed) - mono_now_us());
    }
    if (t.recurrent_count.load(std::memory_order_relaxed) > 0)
      sleep_us = std::min(sleep_us, g.recurrent_idle_us);
    if (sleep_us <= 0) continue;

    t.sleeping.store(true, std::memory_order_seq_cst);
    if (t.wake_pending.load(std::memory_order_seq_cst) ||
        g.stop_requested.load(std::memory_order_seq_cst)) {
      t.sleeping.store(false, std::memory_order_relaxed);
      continue;
    }
    try {
      if (sleep_us == INT64_MAX)
        t.ctx->run_one();
      else
        t.ctx->run_one_for(std::chrono::microseconds(sleep_us));
    } catch (const std::exception &ex) {
      tovi_log(tovi_error, "eventer: a handler on loop thread %d threw: %s\n", t.id, ex.what());
    }
    t.sleeping.store(false, std::memory_order_relaxed);
  }
  current_loop_thread = -1;
}

bool read_pools() {
  auto &g = globals();
  tovi_conf_section_read_hold();
  std::vector<tovi_conf_section_t> sections =
      tovi_conf_get_sections(nullptr, "//eventer/pools/pool");
  bool ok = true;
  for (tovi_conf_section_t s : sections) {
    std::string name;
    int32_t concurrency = 0;
    if (!tovi_conf_get_string(s, "@name", &name) || name.empty()) {
      tovi_log(tovi_error, "eventer: //eventer/pools/pool without a name\n");
      ok = false;
      continue;
    }
    if (!tovi_conf_get_int32(s, "@concurrency", &concurrency) || concurrency < 1) {
      tovi_log(tovi_error, "eventer: //eventer/pools/pool[@name='%s']/@concurrency must be >= 1\n",
               name.c_str());
      ok = false;
      continue;
    }
    auto pool = std::make_unique<eventer_pool_s>();
    pool->name = name;
    pool->concurrency = std::min<int>(concurrency, int(g.threads.size()));
    g.pools[name] = std::move(pool);
  }
  tovi_conf_section_read_release();
  return ok;
}

}  // namespace

// ---- Set-up and running ----

int eventer_init(void) {
  auto &g = globals();
  if (g.initialized.load(std::memory_order_acquire)) return 0;
  tovi_memory_init();

  int32_t concurrency = int32_t(std::max(1u, std::thread::hardware_concurrency()));
  tovi_conf_get_int32(nullptr, "//eventer/config/concurrency", &concurrency);
  if (concurrency < 1 || concurrency > max_loop_threads) {
    tovi_log(tovi_error, "eventer: //eventer/config/concurrency must be 1 to %d, not %d\n",
             max_loop_threads, concurrency);
    return -1;
  }
  int32_t idle_ms = 1000;
  tovi_conf_get_int32(nullptr, "//eventer/config/recurrent_idle_ms", &idle_ms);
  if (idle_ms < 1) {
    tovi_log(tovi_error, "eventer: //eventer/config/recurrent_idle_ms must be >= 1\n");
    return -1;
  }
  g.recurrent_idle_us = int64_t(idle_ms) * 1000;

  for (int i = 0; i < concurrency; i++) {
    auto t = std::make_unique<loop_thread_t>();
    t->id = i;
    t->ctx = std::make_unique<boost::asio::io_context>(1);
    g.threads.push_back(std::move(t));
  }
  if (!read_pools()) return -1;
  g.initialized.store(true, std::memory_order_release);
  if (eventer_jobq_init() != 0) return -1;
  tovi_log(eventer_debug(), "eventer: %d loop threads\n", concurrency);
  return 0;
}

bool eventer_is_initialized(void) {
  return globals().initialized.load(std::memory_order_acquire);
}

void eventer_loop(void) {
  auto &g = globals();
  tovi_assert(eventer_is_initialized());
  {
    std::lock_guard<std::mutex> lock(g.run_lock);
    tovi_assert(!g.running);
    g.running = true;
  }
  for (auto &t : g.threads)
    t->ctx->restart();
  for (auto &t : g.threads) {
    loop_thread_t *tp = t.get();
    t->thread = std::thread([tp] { loop_thread_main(*tp); });
  }
  tovi_main_started();  // a daemon's launcher may exit now
  for (auto &t : g.threads)
    t->thread.join();
  std::lock_guard<std::mutex> lock(g.run_lock);
  g.running = false;
  g.stop_requested.store(false, std::memory_order_release);
  g.run_cv.notify_all();
}

void eventer_loop_stop(void) {
  auto &g = globals();
  g.stop_requested.store(true, std::memory_order_seq_cst);
  if (!eventer_is_initialized()) return;
  for (auto &t : g.threads)
    t->ctx->stop();  // wakes a sleeping run_one; sticky until restart
}

bool eventer_loop_running(void) {
  auto &g = globals();
  std::lock_guard<std::mutex> lock(g.run_lock);
  return g.running;
}

int eventer_loop_concurrency(void) {
  return eventer_is_initialized() ? int(globals().threads.size()) : 0;
}

boost::asio::io_context &eventer_io_context(int thread) {
  return *thread_at(thread).ctx;
}

// ---- Threads and pools ----

int eventer_choose_owner(uint64_t n) {
  tovi_assert(eventer_is_initialized());
  return int(n % globals().threads.size());
}

int eventer_current_thread_id(void) {
  return current_loop_thread;
}
bool eventer_is_loop_thread(void) {
  return current_loop_thread >= 0;
}

eventer_pool_t *eventer_pool(const char *name) {
  auto &g = globals();
  if (!name || !eventer_is_initialized()) return nullptr;
  auto it = g.pools.find(name);
  return it == g.pools.end() ? nullptr : it->second.get();
}

int eventer_pool_concurrency(const eventer_pool_t *pool) {
  return pool ? pool->concurrency : eventer_loop_concurrency();
}

int eventer_pool_choose_owner(const eventer_pool_t *pool, uint64_t n) {
  if (!pool) return eventer_choose_owner(n);
  return int(n % uint64_t(pool->concurrency));
}

// ---- Event records ----

namespace {
eventer_t alloc_event(int kind, eventer_func_t callback, void *closure) {
  eventer_t e = new eventer_s;
  e->kind = kind;
  e->callback = callback;
  e->closure = closure;
  return e;
}
}  // namespace

eventer_t eventer_alloc_timer(eventer_func_t callback, void *closure,
                              const struct timeval *whence) {
  eventer_t e = alloc_event(EVENTER_TIMER, callback, closure);
  e->whence_us.store(whence ? timeval_to_us(*whence) : wall_now_us(), std::memory_order_relaxed);
  return e;
}

eventer_t eventer_alloc_timer_in(eventer_func_t callback, void *closure, struct timeval delay) {
  eventer_t e = alloc_event(EVENTER_TIMER, callback, closure);
  e->monotonic = true;
  e->whence_us.store(mono_now_us() + timeval_to_us(delay), std::memory_order_relaxed);
  return e;
}

eventer_t eventer_alloc_recurrent(eventer_func_t callback, void *closure) {
  return alloc_event(EVENTER_RECURRENT, callback, closure);
}

eventer_t eventer_alloc_asynch(eventer_func_t callback, void *closure) {
  return alloc_event(EVENTER_ASYNCH, callback, closure);
}

void eventer_ref(eventer_t e) {
  // Relaxed: a new reference is always taken from an existing one that keeps the event alive.
  int before = e->refcnt.fetch_add(1, std::memory_order_relaxed);
  tovi_assert(before > 0);
}

void eventer_deref(eventer_t e) {
  if (!e) return;
  // Release on every drop and acquire on the last, so the deleting thread sees every write
  // made while others held references.
  int before = e->refcnt.fetch_sub(1, std::memory_order_acq_rel);
  tovi_assert(before > 0);
  if (before == 1) {
    tovi_assert(e->state.load(std::memory_order_relaxed) != STATE_PENDING);
    delete e;
  }
}

void eventer_free(eventer_t e) {
  eventer_deref(e);
}

void *eventer_get_closure(eventer_t e) {
  return e->closure;
}
void eventer_set_closure(eventer_t e, void *closure) {
  e->closure = closure;
}
eventer_func_t eventer_get_callback(eventer_t e) {
  return e->callback;
}
void eventer_set_callback(eventer_t e, eventer_func_t callback) {
  e->callback = callback;
}
int eventer_get_mask(eventer_t e) {
  return e->kind;
}
struct timeval eventer_get_whence(eventer_t e) {
  int64_t us = e->whence_us.load(std::memory_order_relaxed);
  if (e->monotonic.load(std::memory_order_relaxed)) us += wall_now_us() - mono_now_us();
  return us_to_timeval(us);
}
int eventer_get_owner(eventer_t e) {
  return e->owner.load(std::memory_order_acquire);
}
void eventer_set_owner(eventer_t e, int thread) {
  tovi_assert(e->state.load(std::memory_order_relaxed) == STATE_IDLE);
  tovi_assert(thread >= 0 && thread < eventer_loop_concurrency());
  e->owner.store(thread, std::memory_order_release);
}

// ---- Adding, removing, moving ----

void eventer_add(eventer_t e) {
  switch (e->kind) {
    case EVENTER_TIMER:
      timer_insert(e);
      break;
    case EVENTER_RECURRENT:
      eventer_add_recurrent(e);
      break;
    case EVENTER_ASYNCH:
      eventer_add_asynch(nullptr, e);
      break;
    default:
      tovi_assert(!"unknown event kind");
  }
}

void eventer_add_at(eventer_t e, const struct timeval *whence) {
  tovi_assert(e->kind == EVENTER_TIMER);
  e->monotonic = false;
  e->whence_us.store(timeval_to_us(*whence), std::memory_order_relaxed);
  timer_insert(e);
}

eventer_t eventer_add_in(eventer_func_t callback, void *closure, struct timeval delay) {
  eventer_t e = eventer_alloc_timer_in(callback, closure, delay);
  timer_insert(e);
  return e;
}

eventer_t eventer_add_in_s_us(eventer_func_t callback, void *closure, long seconds, long micros) {
  struct timeval delay;
  delay.tv_sec = seconds;
  delay.tv_usec = micros;
  return eventer_add_in(callback, closure, delay);
}

void eventer_add_asap(eventer_t e) {
  tovi_assert(e->kind == EVENTER_TIMER);
  e->monotonic = false;
  e->whence_us.store(0, std::memory_order_relaxed);
  timer_insert(e);
}

void eventer_add_recurrent(eventer_t e) {
  tovi_assert(eventer_is_initialized());
  tovi_assert(e->kind == EVENTER_RECURRENT);
  int owner = resolve_owner(e);
  loop_thread_t &t = thread_at(owner);
  {
    std::lock_guard<std::mutex> g(t.recurrent_lock);
    tovi_assert(e->state.load(std::memory_order_relaxed) == STATE_IDLE);
    e->state.store(STATE_PENDING, std::memory_order_release);
    t.recurrent.push_back(e);
    t.recurrent_count.store(int(t.recurrent.size()), std::memory_order_relaxed);
  }
  // The owner's sleep may have no deadline yet; make it look at its new recurrent event.
  if (owner != current_loop_thread) eventer_wakeup(owner);
}

bool eventer_remove(eventer_t e) {
  int owner = e->owner.load(std::memory_order_acquire);
  if (owner < 0 || !eventer_is_initialized()) return false;
  loop_thread_t &t = thread_at(owner);
  if (e->kind == EVENTER_TIMER) {
    std::lock_guard<std::mutex> g(t.timer_lock);
    if (e->state.load(std::memory_order_relaxed) != STATE_PENDING) return false;
    heap_erase(t, e);
    e->state.store(STATE_IDLE, std::memory_order_relaxed);
    return true;
  }
  if (e->kind == EVENTER_RECURRENT) {
    std::lock_guard<std::mutex> g(t.recurrent_lock);
    auto it = std::find(t.recurrent.begin(), t.recurrent.end(), e);
    if (it == t.recurrent.end()) return false;
    t.recurrent.erase(it);
    t.recurrent_count.store(int(t.recurrent.size()), std::memory_order_relaxed);
    e->state.store(STATE_IDLE, std::memory_order_release);
    return true;
  }
  return false;
}

namespace {

// Moves a timer to `us` on the wall clock or, when monotonic, on the monotonic clock.
bool timer_move(eventer_t e, int64_t us, bool monotonic) {
  tovi_assert(e->kind == EVENTER_TIMER);
  int owner = e->owner.load(std::memory_order_acquire);
  if (owner < 0 || !eventer_is_initialized()) {
    e->monotonic = monotonic;
    e->whence_us.store(us, std::memory_order_relaxed);
    return false;
  }
  loop_thread_t &t = thread_at(owner);
  bool new_first;
  {
    std::lock_guard<std::mutex> g(t.timer_lock);
    const bool pending = e->state.load(std::memory_order_relaxed) == STATE_PENDING;
    if (pending && e->monotonic.load(std::memory_order_relaxed) != monotonic) {
      // Another clock: the timer changes heaps.
      heap_erase(t, e);
      e->monotonic = monotonic;
      e->whence_us.store(us, std::memory_order_relaxed);
      heap_push(t, e);
    } else {
      e->monotonic = monotonic;
      e->whence_us.store(us, std::memory_order_relaxed);
      if (!pending) return false;
      heap_fix(t, e);
    }
    new_first = heap_first(t, e);
  }
  if (new_first && owner != current_loop_thread) eventer_wakeup(owner);
  return true;
}

}  // namespace

bool eventer_update(eventer_t e, const struct timeval *whence) {
  return timer_move(e, timeval_to_us(*whence), false);
}

bool eventer_update_in(eventer_t e, struct timeval delay) {
  return timer_move(e, mono_now_us() + timeval_to_us(delay), true);
}

bool eventer_is_pending(eventer_t e) {
  return e->state.load(std::memory_order_acquire) == STATE_PENDING;
}

// ---- Cross-thread work ----

void eventer_post(int thread, std::function<void()> fn) {
  boost::asio::post(*thread_at(thread).ctx, std::move(fn));
}

void eventer_wakeup(int thread) {
  loop_thread_t &t = thread_at(thread);
  // If the flag was already up, whoever raised it has made sure the thread will see it.
  if (!t.wake_pending.exchange(true, std::memory_order_seq_cst) &&
      t.sleeping.load(std::memory_order_seq_cst))
    boost::asio::post(*t.ctx, [] {});
}

// ---- Diagnostics ----

void eventer_name_callback(const char *name, eventer_func_t callback) {
  auto &n = callback_names();
  // Names are never freed: a pointer handed out by eventer_callback_name stays valid.
  const char *copy = strdup(name);
  std::unique_lock<std::shared_mutex> g(n.lock);
  n.names[reinterpret_cast<void *>(callback)] = copy;
}

const char *eventer_callback_name(eventer_func_t callback) {
  auto &n = callback_names();
  std::shared_lock<std::shared_mutex> g(n.lock);
  auto it = n.names.find(reinterpret_cast<void *>(callback));
  return it == n.names.end() ? nullptr : it->second;
}

int eventer_timers_pending(int thread) {
  loop_thread_t &t = thread_at(thread);
  std::lock_guard<std::mutex> g(t.timer_lock);
  return int(t.heap.size() + t.mono_heap.size());
}

int eventer_recurrent_count(int thread) {
  return thread_at(thread).recurrent_count.load(std::memory_order_relaxed);
}

uint64_t eventer_loop_passes(int thread) {
  return thread_at(thread).passes.load(std::memory_order_relaxed);
}

// ---- Times ----

void eventer_shift_wall_clock(int64_t microseconds) {
  wall_clock_shift_us.fetch_add(microseconds, std::memory_order_relaxed);
  // A sleeping thread would see the step only at its next deadline: wake every one, as a real
  // step is seen within the longest wall-clock sleep.
  auto &g = globals();
  for (size_t i = 0; i < g.threads.size(); i++) eventer_wakeup(int(i));
}

struct timeval eventer_wall_now(void) {
  return us_to_timeval(wall_now_us());
}

void eventer_add_timeval(const struct timeval *a, const struct timeval *b, struct timeval *out) {
  *out = us_to_timeval(timeval_to_us(*a) + timeval_to_us(*b));
}

void eventer_sub_timeval(const struct timeval *a, const struct timeval *b, struct timeval *out) {
  *out = us_to_timeval(timeval_to_us(*a) - timeval_to_us(*b));
}
