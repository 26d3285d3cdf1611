// The metric director: routes every decoded metric message to the loop threads that want it.
//
// Pipeline of one message (any producer thread):
//   decode (lines only) -> dedupe (when on) -> want hooks -> interest flags -> revise hooks
//   -> one reference appended to the lane of every flagged loop thread, whose thread is woken.
//
// Lanes. There is one lane per loop thread: a bounded multi-producer, single-consumer queue
// (capacity //vask/director/@lane_capacity, default 65536, rounded up to a power of two). Only
// the lane's own loop thread consumes it, with vask_metric_director_lane_next; each message it
// returns carries one reference that the consumer now owns. A lane is FIFO for any one producer.
//
// Back-pressure. A full lane never loses a message:
//   - the try_submit functions never block: they answer VASK_DIRECTOR_WOULD_BLOCK and keep the
//     message, and the lanes still to fill, in a vask_director_pending_t that the caller retries
//     with vask_metric_director_resume once it has let the consumers run (the TCP intake pauses
//     reading meanwhile);
//   - the blocking submit functions, on a thread that is not a loop thread, wait in short slices
//     for room (counted in lane_full_waits) for at most //vask/director/@max_wait_ms (default
//     1000) per lane, and then queue the message past the lane's bound (lane_overflows);
//   - on a loop thread the blocking submit functions never wait (the consumer may be that very
//     thread, or two loop threads could wait on each other): a message for a full lane is queued
//     past the lane's bound at once (lane_overflows). Loop-thread producers with unbounded input
//     should use the try_submit functions.
//
// Interest. A message is offered to loop thread t when
//   - an interest count for (check UUID, metric name) on t is positive, where the metric is
//     looked up under its own check UUID and under the all-zero UUID (any check), by its bare
//     name and by its name with stream tags (an untagged metric also under "<name>|ST[]");
//     measurement tags ("|MT{...}") never take part; or
//   - a tag search registered on t for the message's account and check UUID (or for any check
//     of the account) holds for the metric id.
// The `thread` of every registration is mapped to loop thread (thread mod the number of lanes),
// so a ruleset's id may be passed as it is. Registrations are counted: registering the same
// interest twice needs two withdrawals, and each search registration gets its own id. The submit
// path reads these tables without locks (inside a safe-memory bracket); writers take a lock.
//
// Flush. vask_metric_director_flush* runs a continuation on a chosen loop thread once every lane
// has handed out, and its consumer has finished with, everything submitted before the flush:
// a marker goes into each lane and counts down when the consumer asks for the message after it.
// A lane whose consumer never runs never completes a flush.
//
// Order. The consumer takes from the overflow side list only when the ring is empty, so a flush
// marker or an overflowed message never overtakes a ring item submitted before it, even one whose
// producer has claimed its cell and not yet published it.
//
// Batches. A producer with many lines at hand (the TCP intake) stages them in a
// vask_director_batch_t and commits the batch: each lane then takes its run of messages with one
// claim on its ring and one wake-up, and a message that goes to a single lane moves there with
// the reference it was created with (no reference count is touched on the way).
//
// Statistics ("vask"/"director" in the process recorder): received, parsed, rejected (and
// rejected_by_reason with tag reason), no_memory, duplicates, unwanted, uninteresting, delivered,
// abandoned (messages that missed at least one chosen lane because their producer gave up),
// lane_appends, lane_full_waits, lane_overflows, lane_abandoned (lane deliveries given up),
// flushes, and the gauge queued.
//
// Threads: every function may be called from any thread after the initialisation it needs,
// except vask_metric_director_lane_next (the lane's loop thread only).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "tovi/eventer.h"
#include "vask/vask_metric.h"
#include "vask/vask_tag_search.h"

struct vask_metric_director_lane_t;

// ---- Start-up ---------------------------------------------------------------------------------

// Turns the duplicate filter on or off (on by default). When on, a message whose line is
// byte-for-byte equal to one of the lines seen recently (a hashed table of 65536 recent lines)
// is dropped and counted in "duplicates": it guards against a feed that repeats its messages.
// Any time, any thread.
void vask_metric_director_dedupe(bool on);
// Registers the statistics and creates the interest and search tables. Idempotent. Call once on
// the main thread before any other director call.
void vask_metric_director_init_globals(void);
// Creates one lane per loop thread; reads //vask/director/@lane_capacity and @max_wait_ms.
// Needs eventer_init() (returns -1 with a line on "error" otherwise, or on an unusable setting).
// Returns 0; a second call does nothing and returns 0. Until it has run, no message has a lane
// to go to and every message counts as uninteresting.
int vask_metric_director_init(void);
// Number of lanes (0 before vask_metric_director_init).
int vask_metric_director_lane_count(void);

// ---- Lanes (consumers) ------------------------------------------------------------------------

// The lane of the calling loop thread; null on any other thread or before init.
vask_metric_director_lane_t *vask_metric_director_my_lane(void);
// The next message of the lane, or null when it is empty. The caller owns one reference to the
// message and must release it (vask_metric_director_message_deref). Calling it also tells the
// director that the message returned by the previous call has been handled (flushes rely on
// this). Only the lane's own loop thread may call it.
vask_metric_message_t *vask_metric_director_lane_next(vask_metric_director_lane_t *lane);
// Messages waiting in the lane (approximate while producers run). Any thread.
size_t vask_metric_director_lane_depth(const vask_metric_director_lane_t *lane);

// ---- Submission (producers) -------------------------------------------------------------------

enum vask_director_result_t : int {
  VASK_DIRECTOR_DELIVERED = 0,      // appended to every chosen lane
  VASK_DIRECTOR_UNINTERESTING = 1,  // no lane wanted it
  VASK_DIRECTOR_UNWANTED = 2,       // a want hook declined it
  VASK_DIRECTOR_DUPLICATE = 3,      // dropped by the duplicate filter
  VASK_DIRECTOR_REJECTED = 4,       // the line did not decode (counted by reason by the decoder)
  VASK_DIRECTOR_NO_MEMORY = 5,      // the message could not be allocated
  VASK_DIRECTOR_WOULD_BLOCK = 6,    // try_submit only: see vask_director_pending_t
};

// A delivery that a full lane held up. It owns one reference to the message and the flags of
// the lanes still to fill. Retry with vask_metric_director_resume until it answers DELIVERED;
// vask_metric_director_pending_release abandons it (the message then misses those lanes).
// Not thread-safe: one producer owns it.
struct vask_director_pending_t {
  vask_metric_message_t *m = nullptr;
  std::vector<uint16_t> lanes;  // non-zero: still to fill
  // Lanes still to fill (the "would block" count).
  int remaining() const;
};

// Decodes a line (vask_message_decoder_parse_line with tags) and routes it, blocking as the
// introduction describes. The line is copied; the caller keeps it.
vask_director_result_t vask_metric_director_submit_line(const char *line, size_t len);
// Routes a decoded message. Every chosen lane takes its own reference; the caller keeps its own.
vask_director_result_t vask_metric_director_submit_message(vask_metric_message_t *m);
// Non-blocking forms. On VASK_DIRECTOR_WOULD_BLOCK the message has reached the lanes that had
// room and `pending` (which must be empty) holds the rest; any other result leaves it empty.
vask_director_result_t vask_metric_director_try_submit_line(const char *line, size_t len,
                                                            vask_director_pending_t *pending);
vask_director_result_t vask_metric_director_try_submit_message(vask_metric_message_t *m,
                                                               vask_director_pending_t *pending);
// Retries a held-up delivery: DELIVERED (pending is empty again) or WOULD_BLOCK.
vask_director_result_t vask_metric_director_resume(vask_director_pending_t *pending);
// Abandons a held-up delivery: the lanes still to fill are counted in lane_abandoned and the
// message in abandoned.
void vask_metric_director_pending_release(vask_director_pending_t *pending);

// A producer's batch of decoded messages waiting for their lanes, kept in submission order per
// lane. Each staged item holds one reference to its message. Not thread-safe: one producer owns
// it; it may be moved between threads with its owner.
struct vask_director_batch_t {
  std::vector<std::vector<uintptr_t>> staged;  // by lane
  std::vector<size_t> committed;               // by lane: staged items already in the lane
  size_t messages = 0;                         // staged messages not yet wholly delivered
  uint64_t received = 0, parsed = 0, uninteresting = 0;  // counted at the next commit
  // Stamped on each message staged without an arrival time of its own (steady clock ns; the
  // producer sets it once per read, 0 for none).
  uint64_t received_ns = 0;
  // Whether anything is staged.
  bool empty() const { return messages == 0; }
  ~vask_director_batch_t();
};

// Decodes a line and stages it for the lanes that want it; nothing reaches a lane before
// vask_metric_director_batch_commit. Never blocks. Returns DELIVERED when the message was staged
// (it counts as delivered once committed), or why it was not (REJECTED, DUPLICATE, UNWANTED,
// UNINTERESTING, NO_MEMORY). The line is copied. The producer's thread, any thread.
vask_director_result_t vask_metric_director_batch_add_line(vask_director_batch_t *batch,
                                                           const char *line, size_t len);
// Stages a message that the caller decoded itself (a source of another wire format), as
// vask_metric_director_batch_add_line does a line. The caller's reference passes to the batch
// whatever the result.
vask_director_result_t vask_metric_director_batch_add_message(vask_director_batch_t *batch,
                                                              vask_metric_message_t *m);
// Appends the staged messages to their lanes, in order, each lane's run with one claim and one
// wake-up. DELIVERED when everything went (the batch is empty again); WOULD_BLOCK when a full
// lane kept some back: they stay staged, in order, for the next commit (let the consumers run
// first). Never blocks.
vask_director_result_t vask_metric_director_batch_commit(vask_director_batch_t *batch);
// Drops whatever is still staged (counted in abandoned and lane_abandoned); the batch is empty
// afterwards. The destructor does this too.
void vask_metric_director_batch_release(vask_director_batch_t *batch);
// Gives back the staging memory that a burst left in an empty batch (a few KiB per lane), so that
// a producer that went quiet holds next to nothing. Does nothing to a batch holding messages.
void vask_metric_director_batch_trim(vask_director_batch_t *batch);

// ---- Interest and searches --------------------------------------------------------------------

// Adds `adjustment` (+1 or -1) to the interest count of (check UUID, metric name[0, len)) on
// loop thread (thread mod lanes). A count never goes below 0 (a surplus withdrawal is logged on
// "error/vask" and ignored). Returns the new count, or -1 before vask_metric_director_init.
int vask_metric_director_adjust_metric_interest_on_thread(uint32_t thread,
                                                          const uint8_t check_uuid[16],
                                                          const char *name, size_t len,
                                                          int adjustment);
// Registers a tag search for the metrics of `account` and of one check (check_uuid) or of any
// check (check_uuid null or all zero). `name` (may be null) is kept for diagnostics only: the
// AST decides. The director takes its own reference to `ast`. Returns a non-zero id, or 0 when
// ast is null or before vask_metric_director_init.
uint32_t vask_metric_director_register_search_on_thread(uint32_t thread, uint64_t account,
                                                        const uint8_t *check_uuid, const char *name,
                                                        vask_metric_tag_search_ast_t *ast);
// Withdraws a search. False when no search has this id on that thread.
bool vask_metric_director_deregister_search_on_thread(uint32_t thread, uint32_t id);
// Registered searches (diagnostics).
size_t vask_metric_director_search_count(void);

// ---- Per-metric slots ---------------------------------------------------------------------------
//
// Each interest entry (one check UUID and metric name with a registered interest) carries one
// opaque pointer that a module above the director owns, for data it keeps per metric (a route
// cache, say) without the director knowing what it is. The director never reads the pointer: when
// the entry goes (its last interest withdrawn) it calls the registered destructor once on a
// non-null slot, after the safe-memory grace period, on whichever thread frees deferred memory.

typedef void (*vask_director_slot_destructor_t)(void *slot);
// Installs the destructor of slots (once, at start-up; a slot set without one is never freed).
void vask_metric_director_set_slot_destructor(vask_director_slot_destructor_t fn);
// The slot of the interest entry of (check UUID, name[0, len)), or null when no interest is
// registered for it. Store into it with compare-exchange: several threads may fill it at once.
// The slot stays valid inside the caller's safe-memory bracket; any thread.
std::atomic<void *> *vask_metric_director_interest_slot(const uint8_t check_uuid[16],
                                                        const char *name, size_t len);

// ---- Hooks ------------------------------------------------------------------------------------

// A want hook sees every message that reaches routing (decoded, not a duplicate) on the
// producer's thread. Returning false declines it; every want hook still sees the message, and it
// is dropped (counted in "unwanted") when any declined.
typedef bool (*metric_director_want_hook_t)(void *closure, vask_metric_message_t *m);
// A revise hook gets the message and one 16-bit interest flag per loop thread (non-zero:
// offered) and may rewrite the flags. Runs after the interest is computed, whether or not any
// flag is set. Returns 0 (other values are reserved and ignored).
typedef int (*metric_director_revise_hook_t)(void *closure, vask_metric_message_t *m,
                                             uint16_t *interests, int interests_cnt);
// Hooks run in registration order. Register them at start-up, before messages flow; at most 32
// of each kind (more is a fatal assertion). Hooks are never removed.
void metric_director_want_hook_register(const char *name, metric_director_want_hook_t fn,
                                        void *closure);
void metric_director_revise_hook_register(const char *name, metric_director_revise_hook_t fn,
                                          void *closure);

// ---- Flush ------------------------------------------------------------------------------------

// Runs fn on loop thread `thread` (mod the loop concurrency) once every lane has handled what was
// submitted before this call. With no lanes, fn is posted at once. Needs eventer_init().
void vask_metric_director_flush_callback(int thread, std::function<void()> fn);
// Resumes a floated event: once the lanes have caught up, e is added as an immediate timer on
// its owner (its callback runs with EVENTER_TIMER there; an event without an owner goes to the
// calling loop thread, or loop thread 0). The caller's reference to e passes to the loop.
void vask_metric_director_flush(eventer_t e);
