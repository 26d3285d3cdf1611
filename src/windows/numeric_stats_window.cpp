// The numeric stats window.
//
// Representation. Every accepted sample becomes one record in a ring, oldest first, holding the
// sample and the rates it produced: r for lanes 1 and 2, the second rates for lanes 3 and 4, and
// the interval dt that weighs them. The lanes are views of the ring:
// - lanes 0, 1 and 3 hold exactly the sample, r and second rate of the records in the ring
//   (the first sample has no rate, the first two no second rate);
// - lane 2 counts, in its mean and moments, the non-negative r of the records in the ring; its
//   list is only its newest non-negative rate, which supplies the previous counter rate of
//   lane 4, and which goes when its twin in lane 1 leaves (all counted rates have left then);
// - lane 4 holds the second counter rates of the records in the ring, and keeps its newest
//   entry however old it is: when that entry's record leaves the ring it is copied aside.
// The ring only grows (geometrically) while the window fills, so a push in steady state
// allocates nothing, and a sample costs one 48-byte record plus two bytes of type and flags.
//
// Invariants:
// - Record times strictly increase: a sample not newer than the newest is dropped, so every dt
//   between consecutive accepted samples is > 0.
// - Expiry pops records from the head while their time is at or before the cut-off, never the
//   newest: a window always knows its latest sample and latest rates, however old they are.
// - The span that decides whether an answer is complete runs from the first sample the window
//   ever received, not from the oldest entry still held.
//
// Moments. Each lane keeps its weight and its sums of (x - pivot), weighted and squared, where
// the pivot is a value near the lane's mean. Adding and removing is O(1). Subtraction loses
// what a large value leaves behind when it goes, and sums about a distant pivot cancel. When the
// mean has wandered many deviations from the pivot, the pivot moves to the mean by a little
// algebra; when the squares that passed through dwarf those that remain (a large value has
// left, or a great many have come and gone, pivot moves included), the lane is rebuilt from its
// entries in extended precision, about their mean. A rebuild costs one pass over the lane and is
// earned by many pushes or by a value far beyond the others, so a push stays O(1) amortised.
// Values so large that their squares overflow a double leave non-finite sums; readers then
// compute from the entries directly, in extended precision, until those values leave.
//
// Capped windows (max_records > 0) keep records instead of samples: the accepted samples of one
// slot of time (window_merge_span_ms) merge into one record, which keeps per lane the count, the
// weight, the plain and weighted means and the squared deviations of its entries (Welford's
// update), its first and last samples, the last sample's rate and its newest lane-4 entry. The
// lanes' running sums still take every entry as it comes, exactly as above; a record leaves as
// a whole, taking its lanes out of the sums about their means, once its last sample is at or
// before the cut-off. Rebuilds and the direct readers work from the records. Every rate is still
// that of a sample and its predecessor, so every reader is exact over the samples held; what
// differs from an uncapped window is only which samples are held: at most the older part of one
// record more. Records hold disjoint slots and all but the newest end after the cut-off, so a
// window holds at most L / span + 3 records in the middle of a push, which the span keeps
// within the cap.
//
// Threads: none. The window belongs to the worker thread that owns its metric.

#include "windows/numeric_stats_window.h"

#include <json-c/json.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "tovi/tovi_log.h"
#include "tovi/tovi_uuid.h"

struct nsw_sample_t {
  uint64_t whence_ms;
  uint64_t bits;  // the sample's value union, as the message carried it
  double dt;      // ms since the previous accepted sample; 0 for the first
  double rate;    // lanes 1 and 2
  double rate2;   // lane 3
  double crate2;  // lane 4
};
static_assert(sizeof(nsw_sample_t) == 48, "a sample record is six words");

// The entries of one lane merged into a record, about their own mean (so that merging and
// taking out stay accurate whatever the level of the values). Only finite entries count.
struct nsw_group_t {
  int32_t count;
  double weight;   // sum of the weights
  double mean;     // plain mean
  double wmean;    // weighted mean
  double m2;       // sum of (x - mean)^2
  double product;  // of the positive entries
};

// Adjacent samples of one slot of time, merged (capped windows only).
struct nsw_record_t {
  uint64_t first_ms, last_ms;  // times of the first and last samples merged
  uint64_t first_bits, last_bits;
  uint8_t first_type, last_type;
  uint8_t flags;       // REC_* below
  double last_rate;    // the last sample's lane-1 rate (REC_LAST_RATE)
  double last_crate2;  // the record's newest lane-4 entry and its weight (REC_LAST_CRATE2)
  double last_crate2_dt;
  nsw_group_t lanes[NSW_LANE_COUNT];  // lane 2: the non-negative lane-1 rates
};
static_assert(sizeof(nsw_record_t) == 304, "the size of a record is documented");

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rate means within this distance of zero read as zero, so that the rounding of a rate does not
// show up as a tiny non-zero rate.
constexpr double kSnapToZero = 1e-10;
// Rebuild a lane when the squares that went through its sums exceed those that remain by this
// factor: what rounding left behind would no longer be small against what is there.
constexpr double kChurnLimit = 65536.0;

// Per-record flags, kept after the records in the ring's block.
enum : uint8_t {
  HAS_RATE = 1,     // rate is a lane-1 entry
  RATE_COUNTS = 2,  // rate >= 0: it is counted by lane 2 too
  HAS_RATE2 = 4,    // rate2 is a lane-3 entry
  HAS_CRATE2 = 8,   // crate2 is a lane-4 entry
};

const char *const kLaneJsonName[NSW_LANE_COUNT] = {"average", "derive", "counter", "derive2",
                                                   "counter2"};
const char *const kLaneTraceLabel[NSW_LANE_COUNT] = {"avg", "dvdt", "+dvdt", "d2vdt", "+d2vdt"};

tovi_log_stream_t metrics_debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/metrics");
  return ls;
}

// The message's identity as trace fields, built once per push and only when tracing.
struct trace_t {
  const numeric_stats_window_t *nsw;
  tovi_log_stream_t ls;
  const vask_metric_message_t *msg;
  char uuid[37];
  std::string_view name;
};

void trace_init(trace_t *tr, const numeric_stats_window_t *nsw, tovi_log_stream_t ls,
                const vask_metric_message_t *msg) {
  tr->nsw = nsw;
  tr->ls = ls;
  tr->msg = msg;
  tovi_uuid_unparse(msg->id.id, tr->uuid);
  tr->name =
      std::string_view(msg->id.name ? msg->id.name : "", msg->id.name ? msg->id.name_len : 0);
}

// The lane's mean as the readers see it (NaN without weight).
double lane_mean(const numeric_stats_window_t *nsw, int lane);

// One trace line of a lane's change; op is "->" for an insert and "<-" for a removal.
void trace_lane(const trace_t *tr, int lane, const char *op, uint64_t when, double entry_value,
                double entry_weight) {
  if (!tr) return;
  const vask_metric_message_t *msg = tr->msg;
  tovi_log_write(tr->ls,
                 {{"account_id", (unsigned long long)msg->id.account_id},
                  {"check_uuid", tr->uuid},
                  {"metric_name", tr->name},
                  {"whence_ms", (unsigned long long)msg->value.whence_ms},
                  {"metric_type", (int)msg->value.type},
                  {"operation", op[0] == '-' ? "insert" : "remove"},
                  {"stat", kLaneTraceLabel[lane]},
                  {"weight", entry_weight},
                  {"value", entry_value}},
                 "  [%" PRIu64 "] %s %-6s: %f, weight: %f\n", when, op, kLaneTraceLabel[lane],
                 lane_mean(tr->nsw, lane), tr->nsw->lanes[lane].weight);
}

void trace_push(const trace_t *tr, double x) {
  if (!tr) return;
  const vask_metric_message_t *msg = tr->msg;
  tovi_log_write(tr->ls,
                 {{"account_id", (unsigned long long)msg->id.account_id},
                  {"check_uuid", tr->uuid},
                  {"metric_name", tr->name},
                  {"whence_ms", (unsigned long long)msg->value.whence_ms},
                  {"metric_type", (int)msg->value.type}},
                 "push(%p, %" PRIu64 ", %f)\n", (const void *)tr->nsw, msg->value.whence_ms, x);
}

bool is_numeric_type(metric_type_t type) {
  switch (type) {
    case METRIC_INT32:
    case METRIC_UINT32:
    case METRIC_INT64:
    case METRIC_UINT64:
    case METRIC_DOUBLE:
      return true;
    default:
      return false;
  }
}

// ---- the ring ----

uint8_t *ring_types(const numeric_stats_window_t *nsw) {
  return reinterpret_cast<uint8_t *>(nsw->ring + nsw->ring_capacity);
}
uint8_t *ring_flags(const numeric_stats_window_t *nsw) {
  return ring_types(nsw) + nsw->ring_capacity;
}
size_t ring_bytes(uint32_t capacity) {
  return (size_t)capacity * (sizeof(nsw_sample_t) + 2);
}
// The array index of the i-th oldest record.
uint32_t ring_index(const numeric_stats_window_t *nsw, uint32_t i) {
  uint32_t k = nsw->ring_start + i;
  return k >= nsw->ring_capacity ? k - nsw->ring_capacity : k;
}

vask_metric_value_t sample_value(const numeric_stats_window_t *nsw, uint32_t k) {
  vask_metric_value_t v{};
  v.whence_ms = nsw->ring[k].whence_ms;
  v.type = (metric_type_t)ring_types(nsw)[k];
  std::memcpy(&v.value, &nsw->ring[k].bits, sizeof nsw->ring[k].bits);
  return v;
}

double sample_as_double(const numeric_stats_window_t *nsw, uint32_t k) {
  vask_metric_value_t v = sample_value(nsw, k);
  return nmv_as_double(&v);
}

// Makes room for one more record; false when memory runs out. The ring grows by half (at least
// to 4), so that a window's ring settles at its steady number of samples after a few pushes.
bool ring_reserve(numeric_stats_window_t *nsw) {
  if (nsw->ring_count < nsw->ring_capacity) return true;
  uint32_t capacity = nsw->ring_capacity < 4 ? 4 : nsw->ring_capacity + nsw->ring_capacity / 2;
  auto *ring = static_cast<nsw_sample_t *>(::operator new(ring_bytes(capacity), std::nothrow));
  if (!ring) return false;
  uint8_t *types = reinterpret_cast<uint8_t *>(ring + capacity);
  uint8_t *flags = types + capacity;
  for (uint32_t i = 0; i < nsw->ring_count; i++) {
    uint32_t k = ring_index(nsw, i);
    ring[i] = nsw->ring[k];
    types[i] = ring_types(nsw)[k];
    flags[i] = ring_flags(nsw)[k];
  }
  ::operator delete(nsw->ring);
  nsw->ring = ring;
  nsw->ring_capacity = capacity;
  nsw->ring_start = 0;
  return true;
}

// ---- the records of a capped window ----

enum : uint8_t {
  REC_LAST_RATE = 1,    // the last sample merged has a lane-1 rate
  REC_LAST_CRATE2 = 2,  // the record holds a lane-4 entry
};

bool capped(const numeric_stats_window_t *nsw) {
  return nsw->max_records != 0;
}

vask_metric_value_t record_value(const nsw_record_t &r, bool last) {
  vask_metric_value_t v{};
  v.whence_ms = last ? r.last_ms : r.first_ms;
  v.type = (metric_type_t)(last ? r.last_type : r.first_type);
  uint64_t bits = last ? r.last_bits : r.first_bits;
  std::memcpy(&v.value, &bits, sizeof bits);
  return v;
}

// Room for one more record, growing by half up to the cap; false when memory runs out.
bool records_reserve(numeric_stats_window_t *nsw) {
  if (nsw->ring_count < nsw->ring_capacity) return true;
  uint32_t capacity = nsw->ring_capacity < 4 ? 4 : nsw->ring_capacity + nsw->ring_capacity / 2;
  if (capacity > nsw->max_records) capacity = nsw->max_records;
  if (capacity <= nsw->ring_count) return false;  // never happens: the span keeps the count below
  auto *records = new (std::nothrow) nsw_record_t[capacity];
  if (!records) return false;
  for (uint32_t i = 0; i < nsw->ring_count; i++)
    records[i] = nsw->records[ring_index(nsw, i)];
  delete[] nsw->records;
  nsw->records = records;
  nsw->ring_capacity = capacity;
  nsw->ring_start = 0;
  return true;
}

// Welford's update of a record's lane with one entry.
void group_add(nsw_group_t *g, double x, double w) {
  if (!std::isfinite(x)) return;
  g->count += 1;
  g->weight += w;
  double delta = x - g->mean;
  g->mean += delta / g->count;
  g->m2 += delta * (x - g->mean);
  g->wmean += (w / g->weight) * (x - g->wmean);
  if (g->count == 1) g->product = 1;
  if (x > 0) g->product *= x;
}

// Calls fn(group) for every record's lane of a capped window, oldest first, lane 4's entry kept
// aside first (as a group of one).
template <typename F>
void lane_walk_groups(const numeric_stats_window_t *nsw, int lane, F &&fn) {
  if (lane == NSW_LANE_COUNTER_2 && nsw->has_lane4_kept) {
    const nsw_kept_rate_t &k = nsw->lane4_kept;
    nsw_group_t g{};
    group_add(&g, k.value, k.weight);
    fn(g);
  }
  for (uint32_t i = 0; i < nsw->ring_count; i++) {
    const nsw_group_t &g = nsw->records[ring_index(nsw, i)].lanes[lane];
    if (g.count > 0) fn(g);
  }
}

// ---- entries of a lane ----

// Calls fn(whence_ms, value, weight, use_for_counter) for every entry of the lane, oldest first.
// For NSW_LANE_COUNTER these are the rates its moments count (the non-negative lane-1 rates),
// not its list.
template <typename F>
void lane_walk(const numeric_stats_window_t *nsw, int lane, F &&fn) {
  if (lane == NSW_LANE_COUNTER_2 && nsw->has_lane4_kept)
    fn(nsw->lane4_kept.whence_ms, nsw->lane4_kept.value, nsw->lane4_kept.weight,
       nsw->lane4_kept.value >= 0);
  const uint8_t *flags = ring_flags(nsw);
  for (uint32_t i = 0; i < nsw->ring_count; i++) {
    uint32_t k = ring_index(nsw, i);
    const nsw_sample_t &s = nsw->ring[k];
    switch (lane) {
      case NSW_LANE_AVERAGE:
        fn(s.whence_ms, sample_as_double(nsw, k), 1.0, true);
        break;
      case NSW_LANE_DERIVE:
        if (flags[k] & HAS_RATE) fn(s.whence_ms, s.rate, s.dt, (flags[k] & RATE_COUNTS) != 0);
        break;
      case NSW_LANE_COUNTER:
        if (flags[k] & RATE_COUNTS) fn(s.whence_ms, s.rate, s.dt, true);
        break;
      case NSW_LANE_DERIVE_2:
        if (flags[k] & HAS_RATE2) fn(s.whence_ms, s.rate2, s.dt, s.rate2 >= 0);
        break;
      case NSW_LANE_COUNTER_2:
        if (flags[k] & HAS_CRATE2) fn(s.whence_ms, s.crate2, s.dt, s.crate2 >= 0);
        break;
    }
  }
}

// ---- moments ----

void moments_clear(nsw_moments_t *m) {
  *m = nsw_moments_t{};
}

void moments_add(nsw_moments_t *m, double x, double w) {
  if (!std::isfinite(x)) return;  // held as an entry, never counted
  if (m->count == 0) {
    moments_clear(m);
    m->pivot = x;  // a fresh start is exact
  }
  double d = x - m->pivot;
  m->count += 1;
  m->weight += w;
  m->wsum += w * d;
  m->sum += d;
  m->sumsq += d * d;
  m->churn += (float)(d * d);
}

void moments_remove(nsw_moments_t *m, double x, double w) {
  if (!std::isfinite(x)) return;
  if (m->count <= 1) {  // the last one: nothing remains, exactly
    moments_clear(m);
    return;
  }
  double d = x - m->pivot;
  m->count -= 1;
  m->weight -= w;
  m->wsum -= w * d;
  m->sum -= d;
  m->sumsq -= d * d;
}

// A lane's running sums with a whole record's lane taken out (about the lane's pivot).
void moments_remove_group(nsw_moments_t *m, const nsw_group_t &g) {
  if (g.count == 0) return;
  if (m->count <= g.count) {  // nothing remains, exactly
    moments_clear(m);
    return;
  }
  double d = g.mean - m->pivot;
  m->count -= g.count;
  m->weight -= g.weight;
  m->wsum -= g.weight * (g.wmean - m->pivot);
  m->sum -= g.count * d;
  m->sumsq -= g.m2 + g.count * d * d;
  if (m->sumsq < 0) m->sumsq = 0;
}

enum moments_state_t { MOMENTS_SOUND, MOMENTS_DRIFTED, MOMENTS_WORN };

// Whether the sums can still be trusted to the last few digits (see the module comment).
moments_state_t moments_state(const nsw_moments_t *m) {
  if (m->count == 0) return MOMENTS_SOUND;
  if (!std::isfinite(m->sumsq) || !std::isfinite(m->wsum) || !std::isfinite(m->weight))
    return MOMENTS_WORN;
  if ((double)m->churn > m->sumsq * kChurnLimit) return MOMENTS_WORN;
  // How much of the squares is the mean's distance from the pivot rather than the spread: past a
  // quarter the pivot moves (losing at most two bits); past fifteen sixteenths moving it would
  // lose too much, and the lane is rebuilt.
  double offset = m->sum * m->sum, squares = m->sumsq * m->count;
  if (offset * 16 > squares * 15) return MOMENTS_WORN;
  if (offset * 4 > squares) return MOMENTS_DRIFTED;
  return MOMENTS_SOUND;
}

// Moves the pivot to the mean without a pass over the entries. The squares about the new pivot
// come from a difference that loses at most four bits (see moments_state), so each move is
// charged to the churn: after a few hundred moves the lane is rebuilt from its entries, and
// rounding never piles up.
void moments_repivot(nsw_moments_t *m) {
  // Far from zero the new pivot rounds; the sums follow the move it really makes.
  double pivot = m->pivot + m->sum / m->count;
  double shift = pivot - m->pivot;
  m->pivot = pivot;
  m->wsum -= m->weight * shift;
  m->sumsq += shift * (shift * m->count - 2 * m->sum);
  if (m->sumsq < 0) m->sumsq = 0;
  m->sum -= shift * m->count;
  m->churn += (float)(m->sumsq * (kChurnLimit / 256));
}

// Recomputes the lane's moments from its entries in extended precision, about their mean.
void moments_rebuild(numeric_stats_window_t *nsw, int lane) {
  nsw_moments_t *m = &nsw->lanes[lane];
  if (capped(nsw)) {
    long double total = 0;
    int32_t count = 0;
    lane_walk_groups(nsw, lane, [&](const nsw_group_t &g) {
      total += (long double)g.count * g.mean;
      count += g.count;
    });
    moments_clear(m);
    if (count == 0) return;
    m->pivot = (double)(total / count);
    long double weight = 0, wsum = 0, sum = 0, sumsq = 0;
    lane_walk_groups(nsw, lane, [&](const nsw_group_t &g) {
      long double d = (long double)g.mean - m->pivot;
      weight += g.weight;
      wsum += g.weight * ((long double)g.wmean - m->pivot);
      sum += g.count * d;
      sumsq += g.m2 + g.count * d * d;
    });
    m->count = count;
    m->weight = (double)weight;
    m->wsum = (double)wsum;
    m->sum = (double)sum;
    m->sumsq = (double)sumsq;
    m->churn = (float)m->sumsq;
    return;
  }
  long double total = 0;
  int32_t count = 0;
  lane_walk(nsw, lane, [&](uint64_t, double x, double, bool) {
    if (!std::isfinite(x)) return;
    total += x;
    count++;
  });
  moments_clear(m);
  if (count == 0) return;
  m->pivot = (double)(total / count);
  long double weight = 0, wsum = 0, sum = 0, sumsq = 0;
  lane_walk(nsw, lane, [&](uint64_t, double x, double w, bool) {
    if (!std::isfinite(x)) return;
    long double d = (long double)x - m->pivot;
    weight += w;
    wsum += w * d;
    sum += d;
    sumsq += d * d;
  });
  m->count = count;
  m->weight = (double)weight;
  m->wsum = (double)wsum;
  m->sum = (double)sum;
  m->sumsq = (double)sumsq;
  m->churn = (float)m->sumsq;
}

// The lane's weighted mean and sample deviation, straight from the entries in extended
// precision. For lanes whose sums overflowed.
void lane_direct(const numeric_stats_window_t *nsw, int lane, double *mean, double *deviation) {
  long double weight = 0, weighted = 0, total = 0;
  int32_t count = 0;
  if (capped(nsw)) {
    lane_walk_groups(nsw, lane, [&](const nsw_group_t &g) {
      weight += g.weight;
      weighted += g.weight * (long double)g.wmean;
      total += g.count * (long double)g.mean;
      count += g.count;
    });
    long double centre = count ? total / count : 0, squares = 0;
    lane_walk_groups(nsw, lane, [&](const nsw_group_t &g) {
      long double d = g.mean - centre;
      squares += g.m2 + g.count * d * d;
    });
    *mean = weight != 0 ? (double)(weighted / weight) : kNaN;
    *deviation = count <= 0 ? 0 : (double)std::sqrt(squares / (count - 1));
    return;
  }
  lane_walk(nsw, lane, [&](uint64_t, double x, double w, bool) {
    if (!std::isfinite(x)) return;
    weight += w;
    weighted += w * (long double)x;
    total += x;
    count++;
  });
  long double centre = count ? total / count : 0;
  long double squares = 0;
  lane_walk(nsw, lane, [&](uint64_t, double x, double, bool) {
    if (!std::isfinite(x)) return;
    squares += (x - centre) * (x - centre);
  });
  *mean = weight != 0 ? (double)(weighted / weight) : kNaN;
  *deviation = count <= 0 ? 0 : (double)std::sqrt(squares / (count - 1));
}

bool moments_overflowed(const nsw_moments_t *m) {
  return !std::isfinite(m->wsum) || !std::isfinite(m->sumsq) || !std::isfinite(m->sum);
}

double lane_mean(const numeric_stats_window_t *nsw, int lane) {
  const nsw_moments_t *m = &nsw->lanes[lane];
  if (m->weight == 0) return kNaN;
  double mean;
  if (moments_overflowed(m)) {
    double unused;
    lane_direct(nsw, lane, &mean, &unused);
  } else {
    mean = m->pivot + m->wsum / m->weight;
  }
  if (lane != NSW_LANE_AVERAGE && std::fabs(mean) <= kSnapToZero) mean = 0;
  return mean;
}

// Sample standard deviation of the lane's counted entries: 0 without entries, not finite for
// a single one.
double lane_deviation(const numeric_stats_window_t *nsw, int lane) {
  const nsw_moments_t *m = &nsw->lanes[lane];
  if (m->count <= 0) return 0;
  if (moments_overflowed(m)) {
    double unused, deviation;
    lane_direct(nsw, lane, &unused, &deviation);
    return deviation;
  }
  double squares = m->sumsq - m->sum * m->sum / m->count;
  if (squares < 0) squares = 0;  // rounding, for a constant series
  return std::sqrt(squares / (m->count - 1));
}

// ---- push and expiry ----

// Pops the records at or before the cut-off from the head, never the newest, taking their
// entries out of every lane. Lane 4's newest entry stays counted: it moves aside.
void expire(numeric_stats_window_t *nsw, uint64_t cutoff, const trace_t *tr) {
  if (nsw->has_lane4_kept && nsw->lane4_kept.whence_ms <= cutoff &&
      nsw->lane4_kept.whence_ms != nsw->lane4_newest_time) {
    moments_remove(&nsw->lanes[NSW_LANE_COUNTER_2], nsw->lane4_kept.value, nsw->lane4_kept.weight);
    nsw->has_lane4_kept = false;
    trace_lane(tr, NSW_LANE_COUNTER_2, "<-", nsw->lane4_kept.whence_ms, nsw->lane4_kept.value,
               nsw->lane4_kept.weight);
  }
  while (nsw->ring_count > 1) {
    uint32_t k = nsw->ring_start;
    const nsw_sample_t &s = nsw->ring[k];
    if (s.whence_ms > cutoff) break;
    uint8_t flags = ring_flags(nsw)[k];
    double x = sample_as_double(nsw, k);
    moments_remove(&nsw->lanes[NSW_LANE_AVERAGE], x, 1);
    trace_lane(tr, NSW_LANE_AVERAGE, "<-", s.whence_ms, x, 1);
    if (flags & HAS_RATE) {
      moments_remove(&nsw->lanes[NSW_LANE_DERIVE], s.rate, s.dt);
      trace_lane(tr, NSW_LANE_DERIVE, "<-", s.whence_ms, s.rate, s.dt);
      if (flags & RATE_COUNTS) {
        moments_remove(&nsw->lanes[NSW_LANE_COUNTER], s.rate, s.dt);
        trace_lane(tr, NSW_LANE_COUNTER, "<-", s.whence_ms, s.rate, s.dt);
        // The newest counted rate leaving means every counted rate has left: lane 2 starts
        // over, and has no previous counter rate for lane 4 until the next one.
        if (nsw->has_counter_newest && nsw->counter_newest.whence_ms == s.whence_ms) {
          nsw->has_counter_newest = false;
          nsw->counter_emptied = true;
          moments_clear(&nsw->lanes[NSW_LANE_COUNTER]);
        }
      }
    }
    if (flags & HAS_RATE2) {
      moments_remove(&nsw->lanes[NSW_LANE_DERIVE_2], s.rate2, s.dt);
      trace_lane(tr, NSW_LANE_DERIVE_2, "<-", s.whence_ms, s.rate2, s.dt);
    }
    if (flags & HAS_CRATE2) {
      if (s.whence_ms == nsw->lane4_newest_time) {
        nsw->lane4_kept = nsw_kept_rate_t{s.whence_ms, s.crate2, s.dt};
        nsw->has_lane4_kept = true;
      } else {
        moments_remove(&nsw->lanes[NSW_LANE_COUNTER_2], s.crate2, s.dt);
        trace_lane(tr, NSW_LANE_COUNTER_2, "<-", s.whence_ms, s.crate2, s.dt);
      }
    }
    nsw->ring_start = ring_index(nsw, 1);
    nsw->ring_count--;
  }
}

void add_rate(numeric_stats_window_t *nsw, int lane, uint64_t t, double value, double dt,
              const trace_t *tr) {
  moments_add(&nsw->lanes[lane], value, dt);
  trace_lane(tr, lane, "->", t, value, dt);
}

// Expiry of a capped window: a record leaves as a whole once its last sample is at or before the
// cut-off, never the newest record. Lane 4's newest entry stays counted, moved aside.
void expire_capped(numeric_stats_window_t *nsw, uint64_t cutoff, const trace_t *tr) {
  if (nsw->has_lane4_kept && nsw->lane4_kept.whence_ms <= cutoff &&
      nsw->lane4_kept.whence_ms != nsw->lane4_newest_time) {
    moments_remove(&nsw->lanes[NSW_LANE_COUNTER_2], nsw->lane4_kept.value, nsw->lane4_kept.weight);
    nsw->has_lane4_kept = false;
    trace_lane(tr, NSW_LANE_COUNTER_2, "<-", nsw->lane4_kept.whence_ms, nsw->lane4_kept.value,
               nsw->lane4_kept.weight);
  }
  while (nsw->ring_count > 1) {
    const nsw_record_t &r = nsw->records[nsw->ring_start];
    if (r.last_ms > cutoff) break;
    auto holds = [&r](uint64_t t) { return r.first_ms <= t && t <= r.last_ms; };
    for (int lane = 0; lane < NSW_LANE_COUNT; lane++) {
      const nsw_group_t &g = r.lanes[lane];
      if (g.count == 0) continue;
      moments_remove_group(&nsw->lanes[lane], g);
      trace_lane(tr, lane, "<-", r.last_ms, g.wmean, g.weight);
    }
    // The newest counted rate leaving means every counted rate has left.
    if (r.lanes[NSW_LANE_COUNTER].count > 0 && nsw->has_counter_newest &&
        holds(nsw->counter_newest.whence_ms)) {
      nsw->has_counter_newest = false;
      nsw->counter_emptied = true;
      moments_clear(&nsw->lanes[NSW_LANE_COUNTER]);
    }
    if ((r.flags & REC_LAST_CRATE2) && holds(nsw->lane4_newest_time)) {
      nsw->lane4_kept = nsw_kept_rate_t{nsw->lane4_newest_time, r.last_crate2, r.last_crate2_dt};
      nsw->has_lane4_kept = true;
      moments_add(&nsw->lanes[NSW_LANE_COUNTER_2], r.last_crate2, r.last_crate2_dt);
    }
    nsw->ring_start = ring_index(nsw, 1);
    nsw->ring_count--;
  }
}

// Adds an accepted finite sample x (value v at time t) to a capped window: into the newest
// record when it falls in the same slot of time, else into a new record.
void push_capped(numeric_stats_window_t *nsw, const vask_metric_value_t *v, double x, uint64_t t,
                 const trace_t *tr) {
  bool has_prev = nsw->ring_count > 0;
  uint32_t k = has_prev ? ring_index(nsw, nsw->ring_count - 1) : 0;
  if (has_prev && t <= nsw->records[k].last_ms) return;  // not newer than the newest
  uint64_t span = window_merge_span_ms(nsw->window_length_ms, nsw->max_records);
  bool merge = has_prev && t / span == nsw->records[k].first_ms / span;

  // What the rates need from the previous sample, before the records change.
  vask_metric_value_t prev_value{};
  bool has_r_prev = false;
  double r_prev = 0;
  if (has_prev) {
    const nsw_record_t &last = nsw->records[k];
    prev_value = record_value(last, true);
    has_r_prev = last.flags & REC_LAST_RATE;
    r_prev = last.last_rate;
  }
  const bool has_c_prev = nsw->has_counter_newest;
  const double c_prev = nsw->counter_newest.value;

  if (!merge) {
    if (!records_reserve(nsw)) return;  // out of memory: the sample is not accepted
    k = ring_index(nsw, nsw->ring_count);
    nsw->records[k] = nsw_record_t{};
    nsw->records[k].first_ms = t;
    std::memcpy(&nsw->records[k].first_bits, &v->value, sizeof(uint64_t));
    nsw->records[k].first_type = (uint8_t)v->type;
    nsw->ring_count++;
  }
  nsw_record_t &r = nsw->records[k];
  r.last_ms = t;
  std::memcpy(&r.last_bits, &v->value, sizeof r.last_bits);
  r.last_type = (uint8_t)v->type;
  group_add(&r.lanes[NSW_LANE_AVERAGE], x, 1);
  moments_add(&nsw->lanes[NSW_LANE_AVERAGE], x, 1);
  trace_lane(tr, NSW_LANE_AVERAGE, "->", t, x, 1);
  if (!has_prev) return;

  double dt = (double)(t - prev_value.whence_ms);
  double rate = nmv_diff(v, &prev_value) * 1000 / dt;
  bool counts = rate >= 0;
  r.last_rate = rate;
  r.flags |= REC_LAST_RATE;
  group_add(&r.lanes[NSW_LANE_DERIVE], rate, dt);
  add_rate(nsw, NSW_LANE_DERIVE, t, rate, dt, tr);
  if (counts) {
    group_add(&r.lanes[NSW_LANE_COUNTER], rate, dt);
    add_rate(nsw, NSW_LANE_COUNTER, t, rate, dt, tr);
    nsw->counter_newest = nsw_kept_rate_t{t, rate, dt};
    nsw->has_counter_newest = true;
  }
  if (has_r_prev) {
    double rate2 = 1000 * (rate - r_prev) / dt;
    group_add(&r.lanes[NSW_LANE_DERIVE_2], rate2, dt);
    add_rate(nsw, NSW_LANE_DERIVE_2, t, rate2, dt, tr);
  }
  if (has_c_prev && counts) {
    double crate2 = 1000 * (rate - c_prev) / dt;
    group_add(&r.lanes[NSW_LANE_COUNTER_2], crate2, dt);
    r.last_crate2 = crate2;
    r.last_crate2_dt = dt;
    r.flags |= REC_LAST_CRATE2;
    nsw->lane4_newest_time = t;
    nsw->has_lane4 = true;
    add_rate(nsw, NSW_LANE_COUNTER_2, t, crate2, dt, tr);
  }
}

bool span_reaches(const numeric_stats_window_t *nsw, int min_win) {
  if (min_win < 0) return true;
  uint64_t span = nsw->last_time - nsw->first_time;
  return span >= (uint64_t)min_win;
}

double lane_read(const numeric_stats_window_t *nsw, int lane, bool deviation, int min_win,
                 bool *complete) {
  if (!nsw) {
    if (complete) *complete = false;
    return kNaN;
  }
  bool long_enough = span_reaches(nsw, min_win);
  bool has_weight = nsw->lanes[lane].weight != 0;
  if (complete) *complete = long_enough && has_weight;
  if (!has_weight || !long_enough) return kNaN;
  return deviation ? lane_deviation(nsw, lane) : lane_mean(nsw, lane);
}

// JSON has no NaN or infinities: such doubles are written as null so that the dump stays valid.
json_object *json_double(double d) {
  if (!std::isfinite(d)) return json_object_new_null();
  return json_object_new_double(d);
}

const char *metric_type_json_name(metric_type_t type) {
  switch (type) {
    case METRIC_INT32:
      return "int32";
    case METRIC_UINT32:
      return "uint32";
    case METRIC_INT64:
      return "int64";
    case METRIC_UINT64:
      return "uint64";
    case METRIC_DOUBLE:
      return "double";
    case METRIC_STRING:
      return "string";
    default:
      return "unsupported";
  }
}

}  // namespace

uint64_t window_now_ms(void) {
  return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

const char *windowing_function_name(windowing_function_t wf) {
  switch (wf) {
    case W_NONE:
      return "none";
    case W_AVERAGE:
      return "average";
    case W_STDDEV:
      return "stddev";
    case W_DERIVE:
      return "derive";
    case W_DERIVE_STDDEV:
      return "derive_stddev";
    case W_COUNTER:
      return "counter";
    case W_COUNTER_STDDEV:
      return "counter_stddev";
    case W_DERIVE_2:
      return "derive2";
    case W_DERIVE_2_STDDEV:
      return "derive2_stddev";
    case W_COUNTER_2:
      return "counter2";
    case W_COUNTER_2_STDDEV:
      return "counter2_stddev";
    case W_QUANTILE:
      return "quantile";
  }
  return "unknown";
}

// ---- accumulator ----

void stddev_accum_add(stddev_accum_t *acc, double x) {
  if (!std::isfinite(x)) return;
  acc->count += 1;
  if (x > 0) acc->product *= x;
  acc->sum += x;
  acc->sumsq += x * x;
}

void stddev_accum_remove(stddev_accum_t *acc, double x) {
  if (!std::isfinite(x)) return;
  acc->count -= 1;
  if (x > 0) acc->product /= x;
  acc->sum -= x;
  acc->sumsq -= x * x;
}

double stddev_accum_deviation(const stddev_accum_t *acc) {
  if (acc->count <= 0) return 0;
  // Rounding can leave the sum of squared deviations a hair below zero for a constant series;
  // that is a deviation of zero, not a NaN.
  double squares = acc->sumsq - acc->sum * acc->sum / acc->count;
  if (squares < 0) squares = 0;
  return std::sqrt(squares / (acc->count - 1));
}

double stddev_accum_variance(const stddev_accum_t *acc) {
  double d = stddev_accum_deviation(acc);
  return d * d;
}

double stddev_accum_mean(const stddev_accum_t *acc) {
  return acc->sum / acc->count;
}

void stddev_accum_reset(stddev_accum_t *acc) {
  acc->count = 0;
  acc->product = 1;
  acc->sum = 0;
  acc->sumsq = 0;
}

// ---- values ----

double nmv_as_double(const vask_metric_value_t *v) {
  switch (v->type) {
    case METRIC_INT32:
      return (double)v->value.v_int32;
    case METRIC_UINT32:
      return (double)v->value.v_uint32;
    case METRIC_INT64:
      return (double)v->value.v_int64;
    case METRIC_UINT64:
      return (double)v->value.v_uint64;
    case METRIC_DOUBLE:
      return v->value.n;
    default:
      return std::numeric_limits<double>::quiet_NaN();
  }
}

namespace {

// larger - smaller of two same-typed integers, exact: the true difference of two 64-bit values is
// below 2^64, so it is computed in unsigned 64-bit arithmetic (two's complement makes this right
// for the signed types too, where the signed subtraction could overflow).
template <typename T>
double exact_int_diff(T a, T b) {
  if (b < a) return (double)((uint64_t)a - (uint64_t)b);
  return -(double)((uint64_t)b - (uint64_t)a);
}

}  // namespace

double nmv_diff(const vask_metric_value_t *a, const vask_metric_value_t *b) {
  if (a->type == b->type) {
    switch (a->type) {
      case METRIC_INT32:
        return exact_int_diff<int64_t>(a->value.v_int32, b->value.v_int32);
      case METRIC_UINT32:
        return exact_int_diff<uint64_t>(a->value.v_uint32, b->value.v_uint32);
      case METRIC_INT64:
        return exact_int_diff<int64_t>(a->value.v_int64, b->value.v_int64);
      case METRIC_UINT64:
        return exact_int_diff<uint64_t>(a->value.v_uint64, b->value.v_uint64);
      default:
        break;
    }
  }
  return nmv_as_double(a) - nmv_as_double(b);
}

// ---- window ----

numeric_stats_window_t *numeric_stats_window_alloc(int window_length_ms) {
  numeric_stats_window_t *nsw = new (std::nothrow) numeric_stats_window_t{};
  if (!nsw) return nullptr;
  nsw->window_length_ms = window_length_ms < 0 ? 0 : window_length_ms;
  nsw->creation_time = window_now_ms();
  return nsw;
}

numeric_stats_window_t *numeric_stats_window_alloc_capped(int window_length_ms,
                                                          uint32_t max_records) {
  numeric_stats_window_t *nsw = numeric_stats_window_alloc(window_length_ms);
  if (nsw && max_records) nsw->max_records = max_records < 4 ? 4 : max_records;
  return nsw;
}

uint64_t window_merge_span_ms(int window_length_ms, uint32_t max_records) {
  if (max_records == 0) return 0;
  uint64_t length = window_length_ms < 0 ? 0 : (uint64_t)window_length_ms;
  uint64_t slots = max_records <= 4 ? 1 : max_records - 3;
  uint64_t span = (length + slots - 1) / slots;
  return span ? span : 1;
}

void numeric_stats_window_free(numeric_stats_window_t *nsw) {
  if (!nsw) return;
  if (capped(nsw))
    delete[] nsw->records;
  else
    ::operator delete(nsw->ring);
  delete nsw;
}

size_t numeric_stats_window_footprint(const numeric_stats_window_t *nsw) {
  if (!nsw) return 0;
  if (capped(nsw)) return sizeof *nsw + (size_t)nsw->ring_capacity * sizeof(nsw_record_t);
  return sizeof *nsw + (nsw->ring ? ring_bytes(nsw->ring_capacity) : 0);
}

uint32_t numeric_stats_window_records(const numeric_stats_window_t *nsw) {
  return nsw ? nsw->ring_count : 0;
}

uint64_t numeric_stats_window_oldest_time(const numeric_stats_window_t *nsw) {
  if (!nsw || nsw->ring_count == 0) return 0;
  return capped(nsw) ? nsw->records[nsw->ring_start].first_ms
                     : nsw->ring[nsw->ring_start].whence_ms;
}

void numeric_stats_window_push(numeric_stats_window_t *nsw, const vask_metric_message_t *msg) {
  if (!nsw || !msg) return;
  const vask_metric_value_t *v = &msg->value;
  if (v->is_null || !is_numeric_type(v->type)) return;

  double x = nmv_as_double(v);
  uint64_t t = v->whence_ms;
  if (t > nsw->last_time) nsw->last_time = t;
  if (nsw->first_time == 0) nsw->first_time = t;

  // One look at the debug stream per push; the trace fields are built only when it is on.
  trace_t trace;
  const trace_t *tr = nullptr;
  if (tovi_log_stream_t ls = metrics_debug_stream(); tovi_log_stream_enabled(ls)) {
    trace_init(&trace, nsw, ls, msg);
    tr = &trace;
  }
  trace_push(tr, x);

  if (std::isfinite(x) && capped(nsw)) {
    push_capped(nsw, v, x, t, tr);
  } else if (std::isfinite(x)) {
    bool has_prev = nsw->ring_count > 0;
    uint32_t prev_k = has_prev ? ring_index(nsw, nsw->ring_count - 1) : 0;
    if (has_prev && t <= nsw->ring[prev_k].whence_ms) return;  // not newer than the newest
    if (!ring_reserve(nsw)) return;  // out of memory: the sample is not accepted
    if (has_prev) prev_k = ring_index(nsw, nsw->ring_count - 1);  // the ring may have moved

    uint32_t k = ring_index(nsw, nsw->ring_count);
    nsw_sample_t &s = nsw->ring[k];
    s = nsw_sample_t{};
    s.whence_ms = t;
    std::memcpy(&s.bits, &v->value, sizeof s.bits);
    ring_types(nsw)[k] = (uint8_t)v->type;
    uint8_t flags = 0;
    moments_add(&nsw->lanes[NSW_LANE_AVERAGE], x, 1);
    nsw->ring_count++;
    trace_lane(tr, NSW_LANE_AVERAGE, "->", t, x, 1);

    if (has_prev) {
      const nsw_sample_t &prev = nsw->ring[prev_k];
      const uint8_t prev_flags = ring_flags(nsw)[prev_k];
      // Lane 1's newest entry is the previous sample's rate; lane 2's is kept aside.
      const bool has_r_prev = prev_flags & HAS_RATE;
      const double r_prev = prev.rate;
      const bool has_c_prev = nsw->has_counter_newest;
      const double c_prev = nsw->counter_newest.value;

      vask_metric_value_t prev_value = sample_value(nsw, prev_k);
      double dt = (double)(t - prev.whence_ms);
      double r = nmv_diff(v, &prev_value) * 1000 / dt;
      bool counts = r >= 0;
      s.dt = dt;
      s.rate = r;
      flags |= HAS_RATE;
      add_rate(nsw, NSW_LANE_DERIVE, t, r, dt, tr);
      if (counts) {
        flags |= RATE_COUNTS;
        add_rate(nsw, NSW_LANE_COUNTER, t, r, dt, tr);
        nsw->counter_newest = nsw_kept_rate_t{t, r, dt};
        nsw->has_counter_newest = true;
      }
      if (has_r_prev) {
        s.rate2 = 1000 * (r - r_prev) / dt;
        flags |= HAS_RATE2;
        add_rate(nsw, NSW_LANE_DERIVE_2, t, s.rate2, dt, tr);
      }
      if (has_c_prev && counts) {
        s.crate2 = 1000 * (r - c_prev) / dt;
        flags |= HAS_CRATE2;
        nsw->lane4_newest_time = t;
        nsw->has_lane4 = true;
        add_rate(nsw, NSW_LANE_COUNTER_2, t, s.crate2, dt, tr);
      }
    }
    ring_flags(nsw)[k] = flags;
  }

  // A sample time smaller than the window length has nothing older than the window behind it:
  // the cut-off does not wrap around to "everything".
  uint64_t length = (uint64_t)nsw->window_length_ms;
  if (t >= length) {
    if (capped(nsw))
      expire_capped(nsw, t - length, tr);
    else
      expire(nsw, t - length, tr);
  }

  for (int lane = 0; lane < NSW_LANE_COUNT; lane++)
    switch (moments_state(&nsw->lanes[lane])) {
      case MOMENTS_SOUND:
        break;
      case MOMENTS_DRIFTED:
        moments_repivot(&nsw->lanes[lane]);
        break;
      case MOMENTS_WORN:
        moments_rebuild(nsw, lane);
        break;
    }
}

void numeric_stats_window_for_each_entry(const numeric_stats_window_t *nsw, int lane,
                                         void (*fn)(const WVal *entry, void *arg), void *arg) {
  if (!nsw || !fn || lane < 0 || lane >= NSW_LANE_COUNT) return;
  WVal e{};
  if (capped(nsw) && lane != NSW_LANE_COUNTER) {
    if (lane == NSW_LANE_COUNTER_2 && nsw->has_lane4_kept) {
      e.value.whence_ms = nsw->lane4_kept.whence_ms;
      e.value.type = METRIC_DOUBLE;
      e.value.value.n = nsw->lane4_kept.value;
      e.weight = nsw->lane4_kept.weight;
      e.use_for_counter = nsw->lane4_kept.value >= 0;
      fn(&e, arg);
    }
    for (uint32_t i = 0; i < nsw->ring_count; i++) {
      const nsw_record_t &r = nsw->records[ring_index(nsw, i)];
      const nsw_group_t &g = r.lanes[lane];
      if (g.count == 0) continue;
      e.value = vask_metric_value_t{};
      e.value.whence_ms = r.last_ms;
      e.value.type = METRIC_DOUBLE;
      e.value.value.n = g.wmean;
      e.weight = g.weight;
      e.use_for_counter = lane == NSW_LANE_AVERAGE || g.wmean >= 0;
      fn(&e, arg);
    }
    return;
  }
  if (lane == NSW_LANE_COUNTER) {
    if (!nsw->has_counter_newest) return;
    e.value.whence_ms = nsw->counter_newest.whence_ms;
    e.value.type = METRIC_DOUBLE;
    e.value.value.n = nsw->counter_newest.value;
    e.weight = nsw->counter_newest.weight;
    e.use_for_counter = true;
    fn(&e, arg);
    return;
  }
  if (lane == NSW_LANE_AVERAGE) {
    for (uint32_t i = 0; i < nsw->ring_count; i++) {
      e.value = sample_value(nsw, ring_index(nsw, i));
      e.weight = 1;
      e.use_for_counter = true;
      fn(&e, arg);
    }
    return;
  }
  lane_walk(nsw, lane, [&](uint64_t t, double x, double w, bool use_for_counter) {
    e.value = vask_metric_value_t{};
    e.value.whence_ms = t;
    e.value.type = METRIC_DOUBLE;
    e.value.value.n = x;
    e.weight = w;
    e.use_for_counter = use_for_counter;
    fn(&e, arg);
  });
}

// ---- readers ----

double numeric_stats_window_average(const numeric_stats_window_t *nsw, int min_win,
                                    bool *complete) {
  return lane_read(nsw, NSW_LANE_AVERAGE, false, min_win, complete);
}
double numeric_stats_window_stddev(const numeric_stats_window_t *nsw, int min_win, bool *complete) {
  return lane_read(nsw, NSW_LANE_AVERAGE, true, min_win, complete);
}
double numeric_stats_window_derivative(const numeric_stats_window_t *nsw, int min_win,
                                       bool *complete) {
  return lane_read(nsw, NSW_LANE_DERIVE, false, min_win, complete);
}
double numeric_stats_window_derivative_stddev(const numeric_stats_window_t *nsw, int min_win,
                                              bool *complete) {
  return lane_read(nsw, NSW_LANE_DERIVE, true, min_win, complete);
}
double numeric_stats_window_counter_derivative(const numeric_stats_window_t *nsw, int min_win,
                                               bool *complete) {
  return lane_read(nsw, NSW_LANE_COUNTER, false, min_win, complete);
}
double numeric_stats_window_counter_derivative_stddev(const numeric_stats_window_t *nsw,
                                                      int min_win, bool *complete) {
  return lane_read(nsw, NSW_LANE_COUNTER, true, min_win, complete);
}
double numeric_stats_window_derivative2(const numeric_stats_window_t *nsw, int min_win,
                                        bool *complete) {
  return lane_read(nsw, NSW_LANE_DERIVE_2, false, min_win, complete);
}
double numeric_stats_window_derivative2_stddev(const numeric_stats_window_t *nsw, int min_win,
                                               bool *complete) {
  return lane_read(nsw, NSW_LANE_DERIVE_2, true, min_win, complete);
}
double numeric_stats_window_counter_derivative2(const numeric_stats_window_t *nsw, int min_win,
                                                bool *complete) {
  return lane_read(nsw, NSW_LANE_COUNTER_2, false, min_win, complete);
}
double numeric_stats_window_counter_derivative2_stddev(const numeric_stats_window_t *nsw,
                                                       int min_win, bool *complete) {
  return lane_read(nsw, NSW_LANE_COUNTER_2, true, min_win, complete);
}

double numeric_stats_window_get(const numeric_stats_window_t *nsw, windowing_function_t wf,
                                int min_win, bool *complete) {
  switch (wf) {
    case W_NONE: {
      bool has = nsw && nsw->ring_count > 0;
      if (complete) *complete = has;
      if (!has) return kNaN;
      uint32_t k = ring_index(nsw, nsw->ring_count - 1);
      if (capped(nsw)) {
        vask_metric_value_t v = record_value(nsw->records[k], true);
        return nmv_as_double(&v);
      }
      return sample_as_double(nsw, k);
    }
    case W_AVERAGE:
      return numeric_stats_window_average(nsw, min_win, complete);
    case W_STDDEV:
      return numeric_stats_window_stddev(nsw, min_win, complete);
    case W_DERIVE:
      return numeric_stats_window_derivative(nsw, min_win, complete);
    case W_DERIVE_STDDEV:
      return numeric_stats_window_derivative_stddev(nsw, min_win, complete);
    case W_COUNTER:
      return numeric_stats_window_counter_derivative(nsw, min_win, complete);
    case W_COUNTER_STDDEV:
      return numeric_stats_window_counter_derivative_stddev(nsw, min_win, complete);
    case W_DERIVE_2:
      return numeric_stats_window_derivative2(nsw, min_win, complete);
    case W_DERIVE_2_STDDEV:
      return numeric_stats_window_derivative2_stddev(nsw, min_win, complete);
    case W_COUNTER_2:
      return numeric_stats_window_counter_derivative2(nsw, min_win, complete);
    case W_COUNTER_2_STDDEV:
      return numeric_stats_window_counter_derivative2_stddev(nsw, min_win, complete);
    default:
      break;
  }
  if (complete) *complete = false;
  return kNaN;
}

// ---- JSON ----

json_object *nmv_to_json(const vask_metric_value_t *v) {
  json_object *o = json_object_new_object();
  json_object_object_add(o, "whence_ms", json_object_new_uint64(v->whence_ms));
  metric_type_t type = v->type;
  if (type == METRIC_ABSENT) {
    type = v->value.absent_type;
  } else if (v->is_null) {
    json_object_object_add(o, "value", nullptr);  // json-c writes a null member
  } else {
    switch (type) {
      case METRIC_INT32:
        json_object_object_add(o, "value", json_object_new_int(v->value.v_int32));
        break;
      case METRIC_UINT32:
        json_object_object_add(o, "value", json_object_new_int64(v->value.v_uint32));
        break;
      case METRIC_INT64:
        json_object_object_add(o, "value", json_object_new_int64(v->value.v_int64));
        break;
      case METRIC_UINT64:
        json_object_object_add(o, "value", json_object_new_uint64(v->value.v_uint64));
        break;
      case METRIC_DOUBLE:
        json_object_object_add(o, "value", json_double(v->value.n));
        break;
      case METRIC_STRING:
        json_object_object_add(
            o, "value",
            v->value.s ? json_object_new_string_len(v->value.s, (int)v->s_len) : nullptr);
        break;
      default:
        break;  // histograms and guesses have no plain value to show
    }
  }
  json_object_object_add(o, "type", json_object_new_string(metric_type_json_name(type)));
  return o;
}

namespace {

json_object *group_to_json(uint64_t from, uint64_t to, const nsw_group_t &g) {
  json_object *o = json_object_new_object();
  json_object_object_add(o, "from_ms", json_object_new_uint64(from));
  json_object_object_add(o, "to_ms", json_object_new_uint64(to));
  json_object_object_add(o, "count", json_object_new_int(g.count));
  json_object_object_add(o, "weight", json_double(g.weight));
  json_object_object_add(o, "mean", json_double(g.mean));
  json_object_object_add(o, "weighted_mean", json_double(g.wmean));
  json_object_object_add(o, "m2", json_double(g.m2));
  return o;
}

// A capped window's records of one lane, oldest first; lane 4's entry kept aside first.
void records_to_json(const numeric_stats_window_t *nsw, int lane, json_object *array) {
  if (lane == NSW_LANE_COUNTER_2 && nsw->has_lane4_kept) {
    nsw_group_t g{};
    group_add(&g, nsw->lane4_kept.value, nsw->lane4_kept.weight);
    json_object_array_add(array,
                          group_to_json(nsw->lane4_kept.whence_ms, nsw->lane4_kept.whence_ms, g));
  }
  for (uint32_t i = 0; i < nsw->ring_count; i++) {
    const nsw_record_t &r = nsw->records[ring_index(nsw, i)];
    if (r.lanes[lane].count == 0) continue;
    json_object *o = group_to_json(r.first_ms, r.last_ms, r.lanes[lane]);
    if (lane == NSW_LANE_AVERAGE) {
      vask_metric_value_t first = record_value(r, false), last = record_value(r, true);
      json_object_object_add(o, "first", nmv_to_json(&first));
      json_object_object_add(o, "last", nmv_to_json(&last));
    }
    json_object_array_add(array, o);
  }
}

}  // namespace

json_object *numeric_stats_window_to_json(const numeric_stats_window_t *nsw, int min_window) {
  if (!nsw) return nullptr;
  json_object *o = json_object_new_object();
  json_object_object_add(o, "window_length_ms",
                         json_object_new_uint64((uint64_t)nsw->window_length_ms));
  json_object_object_add(o, "first_time_ms", json_object_new_uint64(nsw->first_time));
  json_object_object_add(o, "last_time_ms", json_object_new_uint64(nsw->last_time));
  json_object_object_add(o, "creation_time_ms", json_object_new_uint64(nsw->creation_time));

  if (capped(nsw)) {
    json_object_object_add(o, "max_records", json_object_new_uint64(nsw->max_records));
    json_object_object_add(
        o, "merge_span_ms",
        json_object_new_uint64(window_merge_span_ms(nsw->window_length_ms, nsw->max_records)));
  }

  bool long_enough = span_reaches(nsw, min_window);
  json_object *types = json_object_new_object();
  for (int i = 0; i < NSW_LANE_COUNT; i++) {
    const nsw_moments_t *m = &nsw->lanes[i];
    json_object *lo = json_object_new_object();
    if (long_enough) {
      // A lane that never held an entry reads 0; one that lost all it held (only lane 2 can)
      // has no value.
      double value = lane_mean(nsw, i);
      if (m->weight == 0 && !(i == NSW_LANE_COUNTER && nsw->counter_emptied)) value = 0;
      json_object_object_add(lo, "value", json_double(value));
      json_object_object_add(lo, "weight", json_double(m->weight));
      // The plain sums and the product are computed here, from the entries, rather than kept.
      long double sum = 0, sumsq = 0;
      double product = 1;
      if (capped(nsw)) {
        lane_walk_groups(nsw, i, [&](const nsw_group_t &g) {
          sum += g.count * (long double)g.mean;
          sumsq += g.m2 + g.count * (long double)g.mean * g.mean;
          product *= g.product;
        });
      } else {
        lane_walk(nsw, i, [&](uint64_t, double x, double, bool) {
          if (!std::isfinite(x)) return;
          sum += x;
          sumsq += (long double)x * x;
          if (x > 0) product *= x;
        });
      }
      double deviation = lane_deviation(nsw, i);
      json_object *ao = json_object_new_object();
      json_object_object_add(ao, "count", json_object_new_int(m->count));
      json_object_object_add(ao, "product", json_double(product));
      json_object_object_add(ao, "sum", json_double((double)sum));
      json_object_object_add(ao, "sumsq", json_double((double)sumsq));
      json_object_object_add(ao, "_deviation", json_double(deviation));
      json_object_object_add(ao, "_variance", json_double(deviation * deviation));
      json_object_object_add(ao, "_mean", json_double((double)(sum / m->count)));
      json_object_object_add(lo, "stddev_accum", ao);
    }
    json_object *entries = json_object_new_array();
    if (capped(nsw)) {
      records_to_json(nsw, i, entries);
      json_object_object_add(lo, "window", entries);
      json_object_object_add(types, kLaneJsonName[i], lo);
      continue;
    }
    numeric_stats_window_for_each_entry(
        nsw, i,
        [](const WVal *e, void *arg) {
          json_object *eo = json_object_new_object();
          json_object_object_add(eo, "weight", json_double(e->weight));
          json_object_object_add(eo, "use_for_counter",
                                 json_object_new_boolean(e->use_for_counter));
          json_object_object_add(eo, "value", nmv_to_json(&e->value));
          json_object_array_add(static_cast<json_object *>(arg), eo);
        },
        entries);
    json_object_object_add(lo, "window", entries);
    json_object_object_add(types, kLaneJsonName[i], lo);
  }
  json_object_object_add(o, "types", types);
  return o;
}
