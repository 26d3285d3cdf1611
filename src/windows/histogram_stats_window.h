// The histogram stats window: the histogram samples of one metric that fall within a sliding time
// window, and their running sum, so that rules can ask for a quantile of everything seen in it.
//
// Samples are plain histograms (type 'h': the counts of one interval) or cumulative ones (type
// 'H': counts since some start). For cumulative samples the window keeps, per metric identity
// (check UUID and full metric name), the previous cumulative histogram and adds only the
// difference; the first cumulative sample of an identity only sets that baseline.
//
// Ownership and threads: a window is owned by the metric window record that reserved it. Pushes
// and reads come from the worker thread that owns the metric; the window's mutex guards only the
// contents of the table of cumulative baselines, which the first cumulative sample creates (a
// window fed only plain histograms has none and never locks). The window owns every histogram
// it holds. A JSON dump must run on the owning thread, or on a snapshot of the window: nothing
// else in it is locked.
//
// Errors: none are returned. Undecodable histograms, zero times, samples older than the window,
// stale cumulative samples and repeated plain-sample times are dropped silently.
#pragma once

#include <cstdint>
#include <mutex>

#include "llhist/llhist.h"
#include "tovi/tovi_sync.h"
#include "windows/numeric_stats_window.h"
#include "vask/vask_metric.h"

struct json_object;

// One sample held by the window.
struct hist_list_t {
  uint64_t whence_ms;
  hist_t *hist;  // owned
  hist_list_t *next;
};

// The last cumulative sample of one metric identity.
struct hist_cumulative_reference_t {
  vask_metric_id_t metric_id;  // an owning copy (vask_metric_id_copy) of the message's id
  uint64_t whence_ms;
  hist_t *base;  // owned; null when there is no baseline
};

// The cumulative baselines of a window, by metric identity (defined by the module).
struct hist_cumulative_set_t;

struct histogram_stats_window_t {
  tovi_mutex_c cumulative_reference_lock;
  // Null until the first cumulative sample; created, like every push, on the worker thread, so
  // that thread reads the pointer without the lock. Contents guarded by the lock.
  hist_cumulative_set_t *cumulative_reference ABSL_PT_GUARDED_BY(cumulative_reference_lock);

  // Worker thread only.
  uint64_t creation_time;  // ms since the epoch, at allocation
  int window_length_ms;
  uint64_t first_time;  // time of the oldest entry held; 0 when the window is empty
  uint64_t last_time;   // the greatest sample time added; never moves back
  hist_list_t *head;    // oldest first, ordered by whence_ms
  hist_list_t *tail;
  hist_t *hist_accum;    // the sum of every histogram in the list
  uint32_t max_records;  // 0: one entry per sample; else the most (merged) entries held
};

// A new, empty window. Caller frees with histogram_stats_window_free. Null only when memory is
// exhausted. A negative length behaves as 0 (a window that keeps nothing).
histogram_stats_window_t *histogram_stats_window_alloc(int window_length_ms);
// A window that holds at most max_records entries whatever the rate of its samples (0: no cap,
// as histogram_stats_window_alloc; 1 to 3 count as 4). Samples that fall in one slot of time of
// window_merge_span_ms are added into one entry, which remembers its first and last sample
// times and its count; an entry leaves as a whole once its last sample is at or before the
// cut-off. Quantiles are those of the histograms held, as uncapped; the window holds at most one
// slot's worth of samples more than an uncapped one. A plain sample repeating the first or last
// time of an entry is dropped; a repeat of another time inside a merged entry is added.
histogram_stats_window_t *histogram_stats_window_alloc_capped(int window_length_ms,
                                                              uint32_t max_records);
// Frees the window, its samples, its sum and its cumulative baselines. Null is fine. When
// another thread may still be reading the window, defer this call past the safe-memory grace
// period (tovi_memory_defer).
void histogram_stats_window_free(histogram_stats_window_t *hw);

// Feeds a histogram message (type 'h' or 'H', the value's text being the base64 serialised
// histogram); other types are ignored. Expires the samples that fell out of the window.
void histogram_stats_window_push(histogram_stats_window_t *hw, const vask_metric_message_t *m);

// For W_QUANTILE: the approximate quantile `parameter` (a fraction, e.g. 0.99) of all samples in
// the window; NaN for an empty window and for a fraction outside [0, 1] or NaN. Any other
// function: 0. `complete` (may be null) receives whether the answer is a quantile of at least
// one sample: false for an empty window, a bad fraction or another function.
double histogram_stats_window_get(const histogram_stats_window_t *hw, windowing_function_t wf,
                                  double parameter, bool *complete);
// The same without the completeness flag.
double histogram_stats_window_get(const histogram_stats_window_t *hw, windowing_function_t wf,
                                  double parameter);
// Whether a quantile rule's parameter is a fraction in [0, 1]; the ruleset parser refuses
// others. Any thread.
bool histogram_quantile_parameter_valid(double parameter);

// {"window_length_ms", "first_time_ms", "last_time_ms", "creation_time_ms"}; a capped window
// adds "max_records", "merge_span_ms" and "records" ([{"from_ms", "to_ms", "count"}], oldest
// first). Null for a null window. min_window is not used. Caller owns the object. Runs on the
// thread that owns the window, or on a snapshot of it.
json_object *histogram_stats_window_to_json(const histogram_stats_window_t *hw, int min_window);

// The number of entries held (walks the list): samples, or merged entries when capped. For
// diagnostics and tests.
int histogram_stats_window_entry_count(const histogram_stats_window_t *hw);
