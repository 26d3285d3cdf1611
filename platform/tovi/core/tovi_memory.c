/*
 * Safe memory on Concurrency Kit's epoch reclamation (ck_epoch).
 *
 * Every thread that touches safe memory owns one ck_epoch record, registered on first use and
 * kept in thread-local storage. A bracket is a ck_epoch section on that record; nesting is
 * counted here so that only the outermost begin/end touch the record.
 *
 * A safe allocation carries a 32-byte header in front of the caller's memory: the epoch entry
 * that links it into its thread's deferred list, the optional clean-up hook and a magic word
 * that catches double frees. A safe free is therefore allocation-free: it pushes the header onto
 * the calling thread's pending list for the current epoch. ck_epoch_poll() runs an entry once
 * the global epoch has moved far enough that no thread can still be in a section that began
 * before the entry was deferred.
 *
 * A record's pending lists can only be pushed by its owner (ck_epoch_call is single-producer),
 * so an exiting thread cannot leave its pending frees in its record: ck_epoch_unregister would
 * drop them. Instead it moves them onto the "orphan" record, a record that never enters a
 * section and is only ever pushed with the multi-producer ck_epoch_call_strict. Whoever calls
 * maintenance polls the orphan record under a try-lock, so handed-over frees complete without
 * anyone waiting. Re-deferring an entry under the current epoch is conservative: it can only
 * make the entry wait longer than it had to.
 *
 * This file is C because ck_epoch.h is not valid C++.
 */
#include "tovi/tovi_memory.h"

#include <ck_epoch.h>
#include <ck_malloc.h>
#include <ck_pr.h>
#include <ck_stack.h>

#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The system's fatal assertion format; tovi_assert itself is C++ only. */
#define MEMORY_ASSERT(expression)                                                        \
  do {                                                                                   \
    if (__builtin_expect(!(expression), 0)) {                                            \
      fprintf(stderr, "[FATAL] assertion (%s) at %s:%d failed\n", #expression, __FILE__, \
              __LINE__);                                                                 \
      abort();                                                                           \
    }                                                                                    \
  } while (0)

/* Thread sanitizer cannot see the ordering that ck_epoch builds from inline-assembly atomics
 * and fences; tell it that leaving a bracket happens before any reclamation that follows. */
#if defined(__SANITIZE_THREAD__)
#define MEMORY_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MEMORY_TSAN 1
#endif
#endif
#ifdef MEMORY_TSAN
void __tsan_acquire(void *addr);
void __tsan_release(void *addr);
static char tsan_grace;
#define TSAN_RELEASE() __tsan_release(&tsan_grace)
#define TSAN_ACQUIRE() __tsan_acquire(&tsan_grace)
/* A record handed from an exiting thread to a new one (ck_epoch_recycle). */
#define TSAN_RELEASE_ON(p) __tsan_release(p)
#define TSAN_ACQUIRE_ON(p) __tsan_acquire(p)
#else
#define TSAN_RELEASE() ((void)0)
#define TSAN_ACQUIRE() ((void)0)
#define TSAN_RELEASE_ON(p) ((void)0)
#define TSAN_ACQUIRE_ON(p) ((void)0)
#endif

enum {
  SAFE_MAGIC_LIVE = 0x5afe11feu,
  SAFE_MAGIC_DEFERRED = 0xdefe44edu,
  /* A thread polls by itself once this many of its frees are pending, whatever its caller does
   * about maintenance. */
  SELF_POLL_PENDING = 1024,
};

typedef struct safe_header {
  ck_epoch_entry_t entry; /* must stay first: the entry's address is the header's */
  tovi_memory_cleanup_t cleanup;
  uint32_t magic;
  uint32_t reserved;
} safe_header_t;
_Static_assert(sizeof(safe_header_t) % 16 == 0, "safe allocations keep 16-byte alignment");

typedef struct deferred_call {
  ck_epoch_entry_t entry;
  void (*fn)(void *);
  void *arg;
} deferred_call_t;

static ck_epoch_t global_epoch;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static pthread_key_t exit_key;
static ck_epoch_record_t *orphan_record;
static pthread_mutex_t orphan_lock = PTHREAD_MUTEX_INITIALIZER;

static uint64_t frees_requested;
static uint64_t frees_done;

static __thread ck_epoch_record_t *thread_record_ptr;
static __thread int thread_depth;

static ck_epoch_record_t *record_alloc(void) {
  /* Records are cache-line aligned and never given back: ck_epoch keeps them on its list. */
  size_t size = (sizeof(ck_epoch_record_t) + 63) & ~(size_t)63;
  ck_epoch_record_t *r = aligned_alloc(64, size);
  MEMORY_ASSERT(r != NULL);
  memset(r, 0, size);
  return r;
}

static void thread_exit(void *value);

static void init_once_fn(void) {
  ck_epoch_init(&global_epoch);
  MEMORY_ASSERT(pthread_key_create(&exit_key, thread_exit) == 0);
  orphan_record = record_alloc();
  ck_epoch_register(&global_epoch, orphan_record, NULL);
}

void tovi_memory_init(void) {
  pthread_once(&init_once, init_once_fn);
}

static ck_epoch_record_t *thread_record(void) {
  ck_epoch_record_t *r = thread_record_ptr;
  if (__builtin_expect(r != NULL, 1)) return r;
  tovi_memory_init();
  r = ck_epoch_recycle(&global_epoch, NULL);
  if (r != NULL) TSAN_ACQUIRE_ON(r);
  if (r == NULL) {
    r = record_alloc();
    ck_epoch_register(&global_epoch, r, NULL);
  }
  thread_record_ptr = r;
  /* The key's destructor runs at thread exit with this value and hands the pending frees on. */
  pthread_setspecific(exit_key, r);
  return r;
}

static void poll_orphans(void) {
  if (ck_pr_load_uint(&orphan_record->n_pending) == 0) return;
  if (pthread_mutex_trylock(&orphan_lock) != 0) return;
  ck_epoch_poll(orphan_record);
  pthread_mutex_unlock(&orphan_lock);
}

static void thread_exit(void *value) {
  ck_epoch_record_t *r = value;
  /* A thread that ends inside a bracket would stall reclamation for everybody. */
  if (thread_depth != 0) {
    fprintf(stderr, "tovi_memory: thread exited inside %d safe-memory bracket(s)\n", thread_depth);
    thread_depth = 0;
    ck_epoch_end(r, NULL); /* only the outermost begin entered the record */
  }
  TSAN_RELEASE();
  ck_epoch_poll(r);
  for (unsigned i = 0; i < CK_EPOCH_LENGTH; i++) {
    ck_stack_entry_t *cursor = ck_stack_batch_pop_upmc(&r->pending[i]);
    while (cursor != NULL) {
      ck_stack_entry_t *next = cursor->next;
      ck_epoch_entry_t *entry =
          (ck_epoch_entry_t *)((char *)cursor - offsetof(ck_epoch_entry_t, stack_entry));
      ck_epoch_call_strict(orphan_record, entry, entry->function);
      cursor = next;
    }
  }
  thread_record_ptr = NULL;
  TSAN_RELEASE_ON(r);
  ck_epoch_unregister(r);
}

void tovi_memory_begin(void) {
  ck_epoch_record_t *r = thread_record();
  if (thread_depth++ == 0) ck_epoch_begin(r, NULL);
}

void tovi_memory_end(void) {
  ck_epoch_record_t *r = thread_record();
  MEMORY_ASSERT(thread_depth > 0);
  if (--thread_depth == 0) {
    TSAN_RELEASE();
    ck_epoch_end(r, NULL);
    if (ck_pr_load_uint(&r->n_pending) >= SELF_POLL_PENDING) ck_epoch_poll(r);
  }
}

int tovi_memory_depth(void) {
  return thread_depth;
}

static safe_header_t *header_of(void *ptr) {
  return (safe_header_t *)ptr - 1;
}

void *tovi_memory_safe_malloc(size_t size) {
  if (size > SIZE_MAX - sizeof(safe_header_t)) return NULL;
  safe_header_t *h = malloc(sizeof(safe_header_t) + size);
  if (h == NULL) return NULL;
  h->cleanup = NULL;
  h->magic = SAFE_MAGIC_LIVE;
  h->reserved = 0;
  return h + 1;
}

void *tovi_memory_safe_calloc(size_t count, size_t size) {
  if (size != 0 && count > (SIZE_MAX - sizeof(safe_header_t)) / size) return NULL;
  void *p = tovi_memory_safe_malloc(count * size);
  if (p != NULL) memset(p, 0, count * size);
  return p;
}

char *tovi_memory_safe_strdup(const char *text) {
  if (text == NULL) return NULL;
  size_t len = strlen(text);
  char *copy = tovi_memory_safe_malloc(len + 1);
  if (copy != NULL) memcpy(copy, text, len + 1);
  return copy;
}

static void reclaim_safe(ck_epoch_entry_t *entry) {
  safe_header_t *h = (safe_header_t *)entry;
  TSAN_ACQUIRE();
  if (h->cleanup != NULL) h->cleanup(h + 1);
  h->magic = 0;
  free(h);
  __atomic_add_fetch(&frees_done, 1, __ATOMIC_RELAXED);
}

static void reclaim_deferred_call(ck_epoch_entry_t *entry) {
  deferred_call_t *d = (deferred_call_t *)entry;
  TSAN_ACQUIRE();
  d->fn(d->arg);
  free(d);
  __atomic_add_fetch(&frees_done, 1, __ATOMIC_RELAXED);
}

static void defer_entry(ck_epoch_entry_t *entry, ck_epoch_cb_t *fn) {
  ck_epoch_record_t *r = thread_record();
  __atomic_add_fetch(&frees_requested, 1, __ATOMIC_RELAXED);
  TSAN_RELEASE();
  ck_epoch_call(r, entry, fn);
  if (thread_depth == 0 && r->n_pending >= SELF_POLL_PENDING) ck_epoch_poll(r);
}

void tovi_memory_safe_free_with_cleanup(void *ptr, tovi_memory_cleanup_t cleanup) {
  if (ptr == NULL) return;
  safe_header_t *h = header_of(ptr);
  uint32_t expected = SAFE_MAGIC_LIVE;
  /* The swap catches two threads freeing the same allocation at once, not only in turn. */
  MEMORY_ASSERT(__atomic_compare_exchange_n(&h->magic, &expected, SAFE_MAGIC_DEFERRED, false,
                                            __ATOMIC_ACQ_REL, __ATOMIC_RELAXED));
  h->cleanup = cleanup;
  defer_entry(&h->entry, reclaim_safe);
}

void tovi_memory_safe_free(void *ptr) {
  tovi_memory_safe_free_with_cleanup(ptr, NULL);
}

void tovi_memory_defer(void (*fn)(void *arg), void *arg) {
  deferred_call_t *d = malloc(sizeof *d);
  if (d == NULL) {
    MEMORY_ASSERT(thread_depth == 0);
    ck_epoch_synchronize(thread_record());
    fn(arg);
    return;
  }
  d->fn = fn;
  d->arg = arg;
  defer_entry(&d->entry, reclaim_deferred_call);
}

unsigned tovi_memory_maintenance(void) {
  ck_epoch_record_t *r = thread_record();
  if (r->n_pending != 0) ck_epoch_poll(r);
  poll_orphans();
  return r->n_pending;
}

void tovi_memory_synchronize(void) {
  ck_epoch_record_t *r = thread_record();
  MEMORY_ASSERT(thread_depth == 0);
  ck_epoch_barrier(r);
  /* The grace period just observed also covers everything handed over before it. */
  pthread_mutex_lock(&orphan_lock);
  ck_epoch_reclaim(orphan_record);
  pthread_mutex_unlock(&orphan_lock);
}

uint64_t tovi_memory_frees_requested(void) {
  return __atomic_load_n(&frees_requested, __ATOMIC_RELAXED);
}
uint64_t tovi_memory_frees_done(void) {
  return __atomic_load_n(&frees_done, __ATOMIC_RELAXED);
}

/* Concurrency Kit allocator: hash sets grow by allocating a new map and freeing the old one with
 * defer=true while readers may still walk it. */
static void *ck_safe_malloc(size_t size) {
  return tovi_memory_safe_malloc(size);
}

static void ck_safe_free(void *ptr, size_t size, bool defer) {
  (void)size;
  if (ptr == NULL) return;
  if (defer) {
    tovi_memory_safe_free(ptr);
  } else {
    safe_header_t *h = header_of(ptr);
    MEMORY_ASSERT(h->magic == SAFE_MAGIC_LIVE);
    h->magic = 0;
    free(h);
  }
}

static void *ck_safe_realloc(void *ptr, size_t old_size, size_t new_size, bool defer) {
  void *fresh = tovi_memory_safe_malloc(new_size);
  if (fresh == NULL) return NULL;
  if (ptr != NULL) {
    memcpy(fresh, ptr, old_size < new_size ? old_size : new_size);
    ck_safe_free(ptr, old_size, defer);
  }
  return fresh;
}

struct ck_malloc tovi_memory_ck_malloc = {
    .malloc = ck_safe_malloc,
    .realloc = ck_safe_realloc,
    .free = ck_safe_free,
};
