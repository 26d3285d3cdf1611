// The text info window: the latest text value of one metric, when it arrived, and whether the
// latest accepted sample changed it. Text rules (match, contains, change) read it.
//
// Ownership and threads: a holder is owned by the metric state that reserved it and is fed and
// read only by the worker thread that owns the metric; it has no lock, so its dump too runs on
// that thread or on a snapshot. The holder owns its value.
//
// Errors: none. Non-text samples and samples that are not newer than the last accepted one are
// ignored.
#pragma once

#include <pcre.h>

#include <cstddef>
#include <cstdint>

#include "vask/vask_metric.h"

struct json_object;

struct text_info_t {
  uint64_t creation_time;  // ms since the epoch, at allocation
  char *value;             // owned, nul-terminated; null before the first sample or for a null text
  size_t value_len;        // bytes of value (it may hold a nul of its own)
  uint64_t last_time;      // time of the last accepted sample; 0 before the first
  bool just_changed;       // the last accepted sample replaced the value with a different one
};

// A new, empty holder. Caller frees with text_info_free. Null only when memory is exhausted.
text_info_t *text_info_alloc(void);
// Frees the value and the holder. Null is fine. When another thread may still be reading the
// holder, defer this call past the safe-memory grace period (tovi_memory_defer).
void text_info_free(text_info_t *ti);

// Feeds a sample: only string values strictly newer than the last accepted sample count. A
// different text (compared byte for byte, case-sensitive) replaces the value and sets
// just_changed, except on the very first sample, which only sets the value.
void text_info_push(text_info_t *ti, const vask_metric_message_t *mess);

bool text_info_just_changed(const text_info_t *ti);
// True when v and the value are both null, or both present and equal ignoring ASCII letter case.
bool text_info_exact_match(const text_info_t *ti, const char *v);
// True when the pattern and the value are both present and r matches somewhere in the value.
bool text_info_contains(const text_info_t *ti, const pcre *r, const pcre_extra *re);
// The same as 1 (match), 0 (no match) or -1: the match was stopped by its limit or failed, so
// neither "contains" nor "does not contain" may be said to hold.
int text_info_contains_result(const text_info_t *ti, const pcre *r, const pcre_extra *re);
// The current value, or null. Borrowed: valid until the next push.
const char *text_info_value(const text_info_t *ti);

// {"creation_time_ms", "last_time_ms", "just_changed", "value"}; null for a null holder. Caller
// owns the object. Runs on the thread that owns the holder, or on a snapshot of it: a push frees
// the value being dumped.
json_object *text_info_to_json(const text_info_t *ti);
