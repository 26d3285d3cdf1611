// Job queues: named pools of threads that run blocking work off the event loop.
//
// A job is an event from eventer_alloc_asynch(). Its callback runs twice:
//   1. mask == EVENTER_ASYNCH_WORK (16) on one of the queue's threads — the blocking work. In a
//      queue of memory-safety mode EVENTER_JOBQ_MS_CS this call is inside a safe-memory bracket;
//   2. mask == EVENTER_ASYNCH_COMPLETE (48) on a loop thread — the event's owner, chosen as
//      eventer_add does when none was set — after the work phase has returned.
// Then the loop drops the reference the adder handed over (eventer.h), so the callback frees its
// closure in the completion phase. The completion phase of one job always follows its work
// phase; jobs of one queue may run in any order when the queue has several threads.
//
// Threads. A queue starts `concurrency` threads (within its bounds). When a job arrives and
// every thread is busy, the queue starts another thread, up to `max`; a thread that has been
// idle for the queue's idle time-out (10 s unless set) exits while more than `min` remain. Job
// threads are named "q:<queue name>" and poll safe-memory maintenance after every job.
//
// Configuration: queues may be declared ahead of the code that uses them,
//   <eventer><jobqs><jobq name="api" concurrency="4" min="1" max="20"/></jobqs></eventer>
// and are created by eventer_init(); eventer_jobq_create_ms() then finds them by name.
//
// Every function may be called from any thread. Queues live for the life of the process.
#pragma once

#include <cstdint>
#include <functional>

#include "tovi/eventer.h"

typedef struct eventer_jobq_s eventer_jobq_t;

// Memory-safety modes.
#define EVENTER_JOBQ_MS_NONE 0  // the work phase runs outside any safe-memory bracket
#define EVENTER_JOBQ_MS_CS 1    // the work phase runs inside a safe-memory bracket

// Creates the configured queues; called by eventer_init(). Returns 0, or -1 after logging a
// setting that cannot be used.
int eventer_jobq_init(void);

// Finds the queue of that name, or creates it (concurrency 1, min 1, max 1, idle time-out 10 s)
// in the given memory-safety mode. A queue that exists keeps its own mode. Null only for a null
// or empty name.
eventer_jobq_t *eventer_jobq_create_ms(const char *name, int memory_safety);
// The queue of that name, or null. Never creates one.
eventer_jobq_t *eventer_jobq_retrieve(const char *name);
// The queue that eventer_add() and eventer_add_asynch(nullptr, e) use ("default_queue": min 1,
// max 16 threads, memory-safety mode EVENTER_JOBQ_MS_CS).
eventer_jobq_t *eventer_jobq_default(void);
const char *eventer_jobq_name(const eventer_jobq_t *q);

// Sets the number of threads the queue runs when it is not growing under backlog; starts the
// missing threads now (n is kept within min..max, raising max when n is above it).
void eventer_jobq_set_concurrency(eventer_jobq_t *q, int n);
// Sets the thread bounds (1 <= min <= max; other values are corrected and logged).
void eventer_jobq_set_min_max(eventer_jobq_t *q, int min, int max);
// How long a thread above the minimum waits for work before it exits.
void eventer_jobq_set_idle_timeout_ms(eventer_jobq_t *q, int ms);

// Queues a job (an EVENTER_ASYNCH event); the caller's reference passes to the queue. Null q
// means the default queue. Requires eventer_init().
void eventer_add_asynch(eventer_jobq_t *q, eventer_t e);

// Statistics, as plain numbers.
struct eventer_jobq_stats_t {
  uint64_t backlog;     // jobs waiting for a thread
  uint64_t in_flight;   // jobs in their work phase now
  uint64_t total_jobs;  // jobs whose work phase has finished since start
  int threads;          // threads alive
  int idle_threads;     // threads waiting for work
  int concurrency, min_threads, max_threads;
};
eventer_jobq_stats_t eventer_jobq_stats(eventer_jobq_t *q);
uint64_t eventer_jobq_backlog(eventer_jobq_t *q);
uint64_t eventer_jobq_in_flight(eventer_jobq_t *q);
uint64_t eventer_jobq_total_jobs(eventer_jobq_t *q);

// Calls fn for every queue, in order of name.
void eventer_jobq_foreach(const std::function<void(eventer_jobq_t *q)> &fn);
