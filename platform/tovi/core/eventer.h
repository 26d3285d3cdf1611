// The event loop: N loop threads, each running its own Boost.Asio io_context, with timers,
// one-shot callbacks, recurrent events and the completion phases of jobs.
//
// Threads. eventer_init() builds the loop threads (configuration //eventer/config/concurrency,
// default the number of cores); eventer_loop() runs them until eventer_loop_stop(). Loop thread
// i is named "e:default/<i>". Every event belongs to one loop thread, its owner, and its
// callback always runs there. A loop thread works in passes: it runs the handlers that are
// ready (posted callbacks, socket completions), then the timers that are due, then its recurrent
// events, then the safe-memory maintenance, and then sleeps until the next timer, a posted
// handler or a wake-up. An idle loop thread sleeps; one that owns recurrent events still wakes at
// least every //eventer/config/recurrent_idle_ms milliseconds (default 1000) so that a recurrent
// event whose producer did not wake its thread is never stranded.
//
// Events. An event record (eventer_t) carries a callback, a closure and a kind: a timer, a
// recurrent event or an asynchronous job (see eventer_jobq.h). Callbacks have the C shape
//     int callback(eventer_t e, int mask, void *closure, struct timeval *now);
// `mask` says why the callback runs (EVENTER_TIMER, EVENTER_RECURRENT, or a job phase) and `now`
// is the wall-clock time of the pass.
//
// Clocks. A timer set for a moment (eventer_alloc_timer with a time, eventer_add_at,
// eventer_update) follows the wall clock: when the clock is stepped, it fires at the new reading
// of its moment (a sleeping thread notices within a second). A timer set for a delay
// (eventer_alloc_timer_in, eventer_add_in*, eventer_update_in) counts on the monotonic clock: a
// step of the wall clock neither fires it early nor holds it back.
//
// Ownership of event records. Records are reference counted. eventer_alloc_* returns a record
// holding one reference, which belongs to the caller. eventer_add*() hands that reference to the
// loop. When the loop is done with an event — a timer fired and its callback returned 0, a job's
// completion phase returned — it drops its reference, so an event nobody else holds is freed
// then. The closure is never touched by the framework: the callback, or whoever cancels, frees
// it. Anyone who keeps a pointer to an added event (a "slot") takes a reference of its own with
// eventer_ref() and drops it with eventer_deref() (eventer_free() is the same call).
// eventer_remove() takes a pending timer or a recurrent event out of the loop; when it returns
// true the event will not run and the loop's reference passes to the caller, who must free the
// closure as needed and drop that reference. When it returns false the event is running or has
// run (or was never added) and its callback keeps the duty of freeing the closure.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <functional>

#define EVENTER_READ 1
#define EVENTER_WRITE 2
#define EVENTER_EXCEPTION 4
#define EVENTER_TIMER 8
#define EVENTER_ASYNCH_WORK 16
#define EVENTER_ASYNCH_CLEANUP 32
// The completion phase of a job: work done, clean up. Job callbacks compare the mask with ==,
// since this value includes the EVENTER_ASYNCH_WORK bit.
#define EVENTER_ASYNCH_COMPLETE (EVENTER_ASYNCH_WORK | EVENTER_ASYNCH_CLEANUP)
#define EVENTER_ASYNCH EVENTER_ASYNCH_COMPLETE
#define EVENTER_RECURRENT 64

typedef struct eventer_s *eventer_t;
typedef int (*eventer_func_t)(eventer_t e, int mask, void *closure, struct timeval *now);

// ---- Set-up and running --------------------------------------------------------------------

// Reads the configuration and creates the loop threads' contexts and the pools; also creates
// the job queues declared in the configuration (eventer_jobq.h). Returns 0, or -1 with a line
// on the "error" stream when a setting cannot be used. A second call does nothing and returns 0.
// Call once, on the main thread, after the configuration is loaded and before any other eventer
// call except eventer_name_callback.
int eventer_init(void);
bool eventer_is_initialized(void);
// Runs the loop threads: the calling thread becomes loop thread 0 and the others are started.
// Blocks until eventer_loop_stop() and returns once every loop thread has finished its pass.
// May be called again after it returned; pending timers and recurrent events are kept.
void eventer_loop(void);
// Makes eventer_loop() return. Thread-safe and non-blocking; callable from a loop thread or a
// signal-handling thread. A stop requested before eventer_loop() starts makes it return at once.
void eventer_loop_stop(void);
// Whether eventer_loop() is running.
bool eventer_loop_running(void);
// Number of loop threads (after eventer_init; 0 before).
int eventer_loop_concurrency(void);

// ---- Threads and pools -----------------------------------------------------------------------

// The loop thread for n: n mod the number of loop threads.
int eventer_choose_owner(uint64_t n);
// The calling thread's loop thread index, or -1 when it is not a loop thread.
int eventer_current_thread_id(void);
bool eventer_is_loop_thread(void);

// A named pool: a subset of the loop threads, configured as
//   <eventer><pools><pool name="ruleset_cull" concurrency="2"/></pools></eventer>
// A pool of concurrency k holds loop threads 0 .. k-1 (k is capped at the loop concurrency).
// eventer_pool() returns null when no pool has that name; the pool functions treat a null pool
// as the default pool of all loop threads.
typedef struct eventer_pool_s eventer_pool_t;
eventer_pool_t *eventer_pool(const char *name);
int eventer_pool_concurrency(const eventer_pool_t *pool);
// The loop thread of the pool for n (n mod the pool's size).
int eventer_pool_choose_owner(const eventer_pool_t *pool, uint64_t n);

// ---- Event records ---------------------------------------------------------------------------

// A timer firing at `whence` (wall clock); null whence means now.
eventer_t eventer_alloc_timer(eventer_func_t callback, void *closure, const struct timeval *whence);
// A timer firing `delay` from now (monotonic clock), to be added with eventer_add.
eventer_t eventer_alloc_timer_in(eventer_func_t callback, void *closure, struct timeval delay);
// A recurrent event, run once per pass of its owner's loop.
eventer_t eventer_alloc_recurrent(eventer_func_t callback, void *closure);
// A job for a job queue (see eventer_jobq.h).
eventer_t eventer_alloc_asynch(eventer_func_t callback, void *closure);

void eventer_ref(eventer_t e);
// Drops one reference; the last one frees the record (never the closure).
void eventer_deref(eventer_t e);
void eventer_free(eventer_t e);

// Accessors. Any thread; set the closure or callback only while the event is not in the loop,
// or from its own callback.
void *eventer_get_closure(eventer_t e);
void eventer_set_closure(eventer_t e, void *closure);
eventer_func_t eventer_get_callback(eventer_t e);
void eventer_set_callback(eventer_t e, eventer_func_t callback);
// EVENTER_TIMER, EVENTER_RECURRENT or EVENTER_ASYNCH.
int eventer_get_mask(eventer_t e);
// When the timer fires, as a wall-clock time (for a relative timer: now plus what remains).
struct timeval eventer_get_whence(eventer_t e);
// Owner loop thread, or -1 when not yet chosen. Set it before the event is added; an event
// added without an owner goes to the adding loop thread, or round-robin from other threads.
int eventer_get_owner(eventer_t e);
void eventer_set_owner(eventer_t e, int thread);

// ---- Adding, removing, moving ------------------------------------------------------------------

// Adds an event according to its kind (a job goes to the default job queue). The caller's
// reference passes to the loop. Any thread. Adding an event that is already in the loop is a
// fatal assertion.
void eventer_add(eventer_t e);
// Timers. eventer_add_at / eventer_add_in set the time and add; eventer_add_in_s_us is a
// convenience for a delay in seconds and microseconds. The event they return is already the
// loop's: it may fire and be freed at any moment, so to keep a handle allocate the timer, take a
// reference with eventer_ref(), and then add it. A timer's callback returns 0 when done,
// or EVENTER_TIMER to run again at its whence (which it moves first with eventer_update).
void eventer_add_at(eventer_t e, const struct timeval *whence);
eventer_t eventer_add_in(eventer_func_t callback, void *closure, struct timeval delay);
eventer_t eventer_add_in_s_us(eventer_func_t callback, void *closure, long seconds, long micros);
// Runs the event's callback with EVENTER_TIMER on its owner as soon as possible.
void eventer_add_asap(eventer_t e);
// Recurrent events: the callback's return value is ignored; the event stays until removed. A
// recurrent callback that stopped with work left should call eventer_wakeup() on its own thread
// so that the next pass follows without waiting.
void eventer_add_recurrent(eventer_t e);
// Takes a pending timer or a recurrent event out of the loop. True: it will not run (again) and
// the caller now holds the loop's reference. False: it is running, has run, or was not added.
// Any thread; a recurrent event may remove itself from its own callback.
bool eventer_remove(eventer_t e);
// Moves a timer to a new time. A pending timer is re-scheduled (true); for a timer that is not
// pending only the stored time changes (false). Any thread.
bool eventer_update(eventer_t e, const struct timeval *whence);
// The same for a delay from now, on the monotonic clock. Moving a pending timer allocates
// nothing; this is how a watchdog timer is pushed back on every sign of life.
bool eventer_update_in(eventer_t e, struct timeval delay);
// Whether the timer is waiting in the loop.
bool eventer_is_pending(eventer_t e);

// ---- Cross-thread work -------------------------------------------------------------------------

// Runs fn once on loop thread `thread`, in its next pass. Any thread; cheap (no event record).
void eventer_post(int thread, std::function<void()> fn);
// Makes loop thread `thread` run a pass soon: its recurrent events run even if no handler or
// timer is ready. Cheap when the thread is already awake. Any thread.
void eventer_wakeup(int thread);

// ---- Diagnostics -------------------------------------------------------------------------------

// Names a callback for log lines and the console. Any thread, any time; the last name wins.
void eventer_name_callback(const char *name, eventer_func_t callback);
// The name given to the callback, or null.
const char *eventer_callback_name(eventer_func_t callback);
// Timers pending on a loop thread, and recurrent events it runs.
int eventer_timers_pending(int thread);
int eventer_recurrent_count(int thread);
// Completed passes of a loop thread since start (tests and diagnostics).
uint64_t eventer_loop_passes(int thread);

// ---- Times -------------------------------------------------------------------------------------

// The wall-clock time as the loop reads it.
struct timeval eventer_wall_now(void);
// Tests only: moves the loop's reading of the wall clock by `microseconds` (negative: back), as
// a step of the system clock would. Any thread.
void eventer_shift_wall_clock(int64_t microseconds);

void eventer_add_timeval(const struct timeval *a, const struct timeval *b, struct timeval *out);
void eventer_sub_timeval(const struct timeval *a, const struct timeval *b, struct timeval *out);
