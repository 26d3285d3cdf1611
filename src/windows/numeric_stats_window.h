// The numeric stats window: the recent numeric samples of one metric over a sliding time window,
// with the mean, the rates of change and their deviations kept incrementally.
//
// A window has five lanes. Lane 0 holds the raw samples; lane 1 the rate of change between
// consecutive samples (per second); lane 2 the same rates when they are not negative (a counter);
// lanes 3 and 4 the rate of change of lane 1's and lane 2's rates. Each lane keeps a time-weighted
// mean and the running moments of its entries, so that a push is O(1) amortised and every reader
// is O(1).
//
// Ownership and threads: a window is owned by the metric window record that reserved it and is
// touched only by the worker thread that owns the metric (pushes and rule reads alike); it has no
// lock. A window owns all of its entries.
//
// Cost: a push allocates nothing once the ring has grown to the window's steady number of
// samples; readers are O(1) and allocate nothing. Every reader stays within rounding of a
// recomputation from the window's entries, whatever came and went before.
//
// Errors: there are none. Samples that cannot be used are ignored; a reader without an answer
// returns NaN and reports `complete` = false.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vask/vask_metric.h"

struct json_object;

// The functions a rule may apply to a window. The numeric values are part of the ruleset format.
enum windowing_function_t : int32_t {
  W_NONE = 0,               // the latest raw sample
  W_AVERAGE = 1,            // lane 0 mean
  W_STDDEV = 2,             // lane 0 deviation
  W_DERIVE = 3,             // lane 1 mean
  W_DERIVE_STDDEV = 4,      // lane 1 deviation
  W_COUNTER = 5,            // lane 2 mean
  W_COUNTER_STDDEV = 6,     // lane 2 deviation
  W_DERIVE_2 = 7,           // lane 3 mean
  W_DERIVE_2_STDDEV = 8,    // lane 3 deviation
  W_COUNTER_2 = 9,          // lane 4 mean
  W_COUNTER_2_STDDEV = 10,  // lane 4 deviation
  W_QUANTILE = 11,          // histogram windows only
  W_MAX = 11,               // the highest valid value
};

// The name a ruleset uses for wf ("none", "average", ... "quantile"); "unknown" for any value
// outside the enumeration. Static text; any thread.
const char *windowing_function_name(windowing_function_t wf);

// Running moments of a series of values. Non-finite values are never counted. A plain running
// sum: fine for short-lived series, but a value removed after a much larger one leaves rounding
// behind, which is why the windows keep nsw_moments_t instead.
struct stddev_accum_t {
  int count = 0;       // values added minus values removed
  double product = 1;  // product of the positive values
  double sum = 0;
  double sumsq = 0;
};

void stddev_accum_add(stddev_accum_t *acc, double x);
void stddev_accum_remove(stddev_accum_t *acc, double x);
// Sample standard deviation; 0 when count <= 0 (a single value gives a non-finite result).
double stddev_accum_deviation(const stddev_accum_t *acc);
double stddev_accum_variance(const stddev_accum_t *acc);
double stddev_accum_mean(const stddev_accum_t *acc);
// Back to the empty state (count 0, product 1, sums 0).
void stddev_accum_reset(stddev_accum_t *acc);

// A metric value as a double: the integer types and doubles give their value (unsigned 64-bit
// exactly as an unsigned quantity); strings, histograms and absent values give NaN. The null
// flag is not consulted.
double nmv_as_double(const vask_metric_value_t *v);
// a - b. Two values of the same integer type are subtracted in that type, larger minus smaller,
// so that unsigned 64-bit differences are exact; everything else goes through nmv_as_double.
double nmv_diff(const vask_metric_value_t *a, const vask_metric_value_t *b);

// One entry of a lane, as the readers and the dump see it.
struct WVal {
  vask_metric_value_t value;  // lane 0: a copy of the sample; lanes 1-4: a double ('n')
  double weight;              // lane 0: 1; lanes 1-4: the interval in ms that produced it
  bool use_for_counter;       // lanes 0 and 2: always; lanes 1, 3, 4: the value is >= 0
};

// The lanes of a window, in order.
enum nsw_lane_index_t : int {
  NSW_LANE_AVERAGE = 0,
  NSW_LANE_DERIVE = 1,
  NSW_LANE_COUNTER = 2,
  NSW_LANE_DERIVE_2 = 3,
  NSW_LANE_COUNTER_2 = 4,
  NSW_LANE_COUNT = 5,
};

// The running moments of one lane, kept relative to a pivot (a value near the lane's mean) so
// that neither a large level nor a spike that has left the window leaves a residue: when the
// sums lose too much to cancellation, or the mean has wandered far from the pivot, they are
// rebuilt from the lane's entries. Only finite entries count.
struct nsw_moments_t {
  double pivot;
  double weight;  // sum of the weights
  double wsum;    // sum of weight * (x - pivot)
  double sum;     // sum of (x - pivot)
  double sumsq;   // sum of (x - pivot)^2
  float churn;    // sum of (x - pivot)^2 of every value added since the last rebuild
  int32_t count;  // entries counted
};

// One accepted sample and the rates it produced (internal to the module).
struct nsw_sample_t;
// Adjacent samples merged into one record, in a capped window (internal to the module).
struct nsw_record_t;

// A sample kept for lane 4 after the samples around it left the window (internal).
struct nsw_kept_rate_t {
  uint64_t whence_ms;
  double value;
  double weight;
};

// The window keeps one ring of accepted samples, oldest first, each with the rates it produced
// for lanes 1-4; lanes 0, 1 and 3 hold exactly the rates of the samples in the ring. Lane 2's
// mean counts the non-negative lane-1 rates of the ring; its list is only the newest such rate.
// Lane 4 keeps its newest entry however old it is, outside the ring once the ring has moved on.
// Fields are the worker thread's; see the module for the invariants.
struct numeric_stats_window_t {
  int window_length_ms;    // never negative
  uint32_t ring_capacity;  // samples the ring has room for
  uint32_t ring_start;     // index of the oldest sample
  uint32_t ring_count;     // samples held; at least 1 once a sample was accepted
  uint64_t creation_time;  // ms since the epoch, at allocation
  uint64_t first_time;     // time of the first sample ever pushed; never moves afterwards
  uint64_t last_time;      // the greatest sample time pushed
  union {
    nsw_sample_t *ring;     // owned; a window without a record cap
    nsw_record_t *records;  // owned; a capped window (max_records > 0)
  };
  nsw_kept_rate_t counter_newest;  // lane 2's list: the newest non-negative rate
  nsw_kept_rate_t lane4_kept;      // lane 4's newest entry once it outlived the ring
  uint64_t lane4_newest_time;      // time of lane 4's newest entry
  bool has_counter_newest;
  bool has_lane4_kept;
  bool has_lane4;        // lane 4 has ever had an entry
  bool counter_emptied;  // lane 2 has lost every rate it counted
  uint32_t max_records;  // 0: every sample is kept; else the most records the window holds
  nsw_moments_t lanes[NSW_LANE_COUNT];
};

// A new, empty window; a negative length is stored as 0. Caller frees with
// numeric_stats_window_free. Returns null only when memory is exhausted.
numeric_stats_window_t *numeric_stats_window_alloc(int window_length_ms);
// A window that holds at most max_records records whatever the rate of its samples (0: no cap,
// as numeric_stats_window_alloc; 1 to 3 count as 4). The samples that fall in one slot of time
// of window_merge_span_ms are merged into one record that keeps, per lane, the count, the weight,
// the plain and weighted means and the squared deviations of its entries, and the record's first
// and last samples. Every reader is exact over the samples held; a record leaves the window as a
// whole, when its last sample is at or before the cut-off, so the window holds what an uncapped
// one holds plus at most the older part of one record (less than one slot). The newest record
// is never expired. Same ownership, threads and errors as numeric_stats_window_alloc.
numeric_stats_window_t *numeric_stats_window_alloc_capped(int window_length_ms,
                                                          uint32_t max_records);
// The width in ms of the slots of time whose samples a capped window merges, chosen so that a
// window of this length never holds more than max_records records, even in the middle of a
// push: ceil(length / (max_records - 3)), at least 1. 0 when max_records is 0. Shared with the
// histogram window.
uint64_t window_merge_span_ms(int window_length_ms, uint32_t max_records);

// Records held: the samples of an uncapped window, the merged records of a capped one.
uint32_t numeric_stats_window_records(const numeric_stats_window_t *nsw);
// Time of the oldest sample held (of the oldest record's first sample); 0 when empty.
uint64_t numeric_stats_window_oldest_time(const numeric_stats_window_t *nsw);

// Frees the window and all its entries. Null is fine. When another thread may still be reading
// the window, defer this call past the safe-memory grace period (tovi_memory_defer).
void numeric_stats_window_free(numeric_stats_window_t *nsw);

// Feeds the message's value: null and non-numeric values are ignored; samples not strictly newer
// than the newest accepted sample are dropped; non-finite values move the times and run expiry
// but add nothing. Entries older than the window length are expired, except each lane's newest.
void numeric_stats_window_push(numeric_stats_window_t *nsw, const vask_metric_message_t *msg);

// The value of windowing function wf over the window. min_win is the minimum span, in ms, from
// the first sample ever pushed to the newest, that a complete answer needs (negative: none).
// complete may be null; when given it receives whether the result is a complete answer.
// W_NONE gives the latest raw sample regardless of min_win. W_QUANTILE and unknown functions
// give NaN, incomplete.
double numeric_stats_window_get(const numeric_stats_window_t *nsw, windowing_function_t wf,
                                int min_win, bool *complete);

// The per-function readers that numeric_stats_window_get dispatches to.
double numeric_stats_window_average(const numeric_stats_window_t *nsw, int min_win, bool *complete);
double numeric_stats_window_stddev(const numeric_stats_window_t *nsw, int min_win, bool *complete);
double numeric_stats_window_derivative(const numeric_stats_window_t *nsw, int min_win,
                                       bool *complete);
double numeric_stats_window_derivative_stddev(const numeric_stats_window_t *nsw, int min_win,
                                              bool *complete);
double numeric_stats_window_counter_derivative(const numeric_stats_window_t *nsw, int min_win,
                                               bool *complete);
double numeric_stats_window_counter_derivative_stddev(const numeric_stats_window_t *nsw,
                                                      int min_win, bool *complete);
double numeric_stats_window_derivative2(const numeric_stats_window_t *nsw, int min_win,
                                        bool *complete);
double numeric_stats_window_derivative2_stddev(const numeric_stats_window_t *nsw, int min_win,
                                               bool *complete);
double numeric_stats_window_counter_derivative2(const numeric_stats_window_t *nsw, int min_win,
                                                bool *complete);
double numeric_stats_window_counter_derivative2_stddev(const numeric_stats_window_t *nsw,
                                                       int min_win, bool *complete);

// Calls fn(entry, arg) for every entry of lane `lane` (an nsw_lane_index_t), oldest first. For
// lane 2 these are the entries of its list (its newest non-negative rate); its mean and moments
// count the non-negative rates of lane 1. In a capped window each record gives one entry: its
// lane's weighted mean at the time of its last sample, weighted by the record's total weight
// (lane 0: its count). Same thread rules as the readers.
void numeric_stats_window_for_each_entry(const numeric_stats_window_t *nsw, int lane,
                                         void (*fn)(const WVal *entry, void *arg), void *arg);

// Bytes the window holds: the record and its ring of samples, not counting the allocator's own
// overhead.
size_t numeric_stats_window_footprint(const numeric_stats_window_t *nsw);

// A JSON dump of the window: lengths and times, and per lane its mean, weight and
// moments (only when the span reaches min_window) and its entries. A capped window adds
// "max_records" and "merge_span_ms", and lists per lane its merged records ({"from_ms", "to_ms",
// "count", "weight", "mean", "weighted_mean", "m2"}, lane 0's with its "first" and "last"
// samples) instead of its entries. Null window: null. The caller
// owns the object (json_object_put). Must run on the thread that owns the window, or on a
// snapshot of it: the window has no lock.
json_object *numeric_stats_window_to_json(const numeric_stats_window_t *nsw, int min_window);

// A metric value as JSON: {"whence_ms", "value", "type"}. Caller owns the object. Shared with
// the other windows' dumps.
json_object *nmv_to_json(const vask_metric_value_t *v);

// The current time in ms since the Unix epoch (system clock). Used for creation times.
uint64_t window_now_ms(void);
