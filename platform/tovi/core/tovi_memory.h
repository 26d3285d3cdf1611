// Safe memory: epoch-based reclamation for data that readers use without locks.
//
// Readers bracket their use of shared structures with tovi_memory_begin() / tovi_memory_end().
// Writers that unlink an object from a shared structure release it with tovi_memory_safe_free()
// (or the variant with a clean-up hook) instead of free(): the memory stays valid until every
// thread that was inside a bracket when the free was requested has left that bracket. Only then
// does the clean-up hook run and the memory go back to the allocator.
//
// Threads register themselves on first use; a thread that exits unregisters and hands the frees
// it had deferred to a process-wide list that the other threads' maintenance drains. Deferred
// frees are carried out by tovi_memory_maintenance(), which event-loop threads and job-queue
// threads call after every pass or job; a thread that defers many frees without ever calling
// maintenance also polls by itself every so often, so memory never piles up without bound.
//
// Usable from C and C++. Every function may be called from any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Initialises the subsystem. Idempotent; the other calls initialise it on demand, but the
// process should call this once at start-up before it starts threads.
void tovi_memory_init(void);

// Enters / leaves a read bracket. Nestable per thread: only the outermost pair matters for
// reclamation. An end without a matching begin is a fatal assertion.
void tovi_memory_begin(void);
void tovi_memory_end(void);
// Depth of the calling thread's brackets (0 outside).
int tovi_memory_depth(void);

// Allocations that may later be released with the safe frees. They carry a small hidden header,
// so they must never be given to free() or realloc(); likewise a pointer from malloc() must never
// be given to a safe free. Return null on failure (calloc also on overflow).
void *tovi_memory_safe_malloc(size_t size);
void *tovi_memory_safe_calloc(size_t count, size_t size);
// Copy of a C string in safe memory; null for null or on failure.
char *tovi_memory_safe_strdup(const char *text);

// Releases a safe allocation after every thread has left the bracket it was in at the time of
// this call. Null is ignored. Freeing the same allocation twice is a fatal assertion (detected
// in most cases).
void tovi_memory_safe_free(void *ptr);
// Same, and runs cleanup(ptr) just before the memory is released, on whichever thread carries
// out the reclamation (a loop or job thread's maintenance, or an exiting thread's hand-over).
// The hook must not block and must not enter a bracket that waits on reclamation.
typedef void (*tovi_memory_cleanup_t)(void *ptr);
void tovi_memory_safe_free_with_cleanup(void *ptr, tovi_memory_cleanup_t cleanup);
// Releases memory that did not come from the safe allocator: calls fn(arg) once every thread
// has left the bracket it is in now. Costs one small allocation; on allocation failure it waits
// for the grace period itself (so it must then not be called inside a bracket).
void tovi_memory_defer(void (*fn)(void *arg), void *arg);

// Carries out the calling thread's deferred frees whose grace period has passed, and helps with
// the frees handed over by exited threads. Never blocks. Returns the number of frees still
// pending on this thread.
unsigned tovi_memory_maintenance(void);
// Waits until every free deferred so far, by this thread, has been carried out. Blocks until all
// other threads have left their brackets: never call it inside a bracket.
void tovi_memory_synchronize(void);

// Counters for diagnostics and tests: frees requested and carried out since start.
uint64_t tovi_memory_frees_requested(void);
uint64_t tovi_memory_frees_done(void);

// An allocator for Concurrency Kit hash sets read lock-free by other threads: its free with the
// defer flag set is a safe free. Declared here without the Concurrency Kit headers.
struct ck_malloc;
extern struct ck_malloc tovi_memory_ck_malloc;

#ifdef __cplusplus
}

// Scoped bracket for C++ callers.
class tovi_memory_scope_c {
 public:
  tovi_memory_scope_c() { tovi_memory_begin(); }
  ~tovi_memory_scope_c() { tovi_memory_end(); }
  tovi_memory_scope_c(const tovi_memory_scope_c &) = delete;
  tovi_memory_scope_c &operator=(const tovi_memory_scope_c &) = delete;
};
#endif
