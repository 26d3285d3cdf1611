// The numeric stats window.
//
// Each of the five lanes is a singly linked list of entries, oldest first, plus a running
// time-weighted mean and the running moments of its entries. A push appends at the tails and
// expiry pops from the heads, so the cost of a push is O(1) amortised and no reader ever walks a
// list.
//
// Invariants:
// - Lane 0's newest entry is the newest accepted sample; a sample whose time is not strictly
//   greater is dropped, so every interval dt between consecutive accepted samples is > 0.
// - A lane's weight is the sum of the weights of the entries counted in its mean. Lane 2's mean
//   counts exactly the lane-1 entries whose rate was not negative (use_for_counter): when such a
//   lane-1 entry expires, its rate leaves lane 2's mean too. Lane 2's own list is only kept to
//   supply the previous non-negative rate for lane 4, so it is trimmed to its newest entry.
// - Expiry never removes a lane's newest entry: a window always knows its latest sample and
//   latest rates, however old they are.
// - The span that decides whether an answer is complete runs from the first sample the window
//   ever received, not from the oldest entry still held.
//
// Threads: none. The window belongs to the worker thread that owns its metric.

#include "numeric_stats_window.h"

#include <json-c/json.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <limits>
#include <new>

#include "tovi/tovi_log.h"

namespace {

// Means within this distance of zero are snapped to zero, so that the rounding left behind by
// removals does not show up as a tiny non-zero rate.
constexpr double kSnapToZero = 1e-10;

const char *const kLaneJsonName[NSW_LANE_COUNT] = {"average", "derive", "counter", "derive2",
                                                   "counter2"};
const char *const kLaneTraceLabel[NSW_LANE_COUNT] = {"avg", "dvdt", "+dvdt", "d2vdt", "+d2vdt"};

tovi_log_stream_t metrics_debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/metrics");
  return ls;
}

void uuid_text(const uint8_t id[16], char out[37]) {
  static const char hex[] = "0123456789abcdef";
  int o = 0;
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = hex[id[i] >> 4];
    out[o++] = hex[id[i] & 0xf];
  }
  out[o] = '\0';
}

// One trace line of a lane's change; op is "->" for an insert and "<-" for a removal.
void trace_lane(const vask_metric_message_t *msg, const nsw_lane_t *lane, int lane_index,
                const char *op, uint64_t when, double entry_value, double entry_weight) {
  tovi_log_stream_t ls = metrics_debug_stream();
  if (!tovi_log_stream_enabled(ls)) return;
  char uuid[37];
  uuid_text(msg->id.id, uuid);
  std::string_view name(msg->id.name ? msg->id.name : "", msg->id.name ? msg->id.name_len : 0);
  tovi_log_write(ls,
                 {{"account_id", (unsigned long long)msg->id.account_id},
                  {"check_uuid", uuid},
                  {"metric_name", name},
                  {"whence_ms", (unsigned long long)msg->value.whence_ms},
                  {"metric_type", (int)msg->value.type},
                  {"operation", op[0] == '-' ? "insert" : "remove"},
                  {"stat", kLaneTraceLabel[lane_index]},
                  {"weight", entry_weight},
                  {"value", entry_value}},
                 "  [%" PRIu64 "] %s %-6s: %f, weight: %f\n", when, op, kLaneTraceLabel[lane_index],
                 lane->value, lane->weight);
}

void trace_push(const numeric_stats_window_t *nsw, const vask_metric_message_t *msg, double x) {
  tovi_log_stream_t ls = metrics_debug_stream();
  if (!tovi_log_stream_enabled(ls)) return;
  char uuid[37];
  uuid_text(msg->id.id, uuid);
  std::string_view name(msg->id.name ? msg->id.name : "", msg->id.name ? msg->id.name_len : 0);
  tovi_log_write(ls,
                 {{"account_id", (unsigned long long)msg->id.account_id},
                  {"check_uuid", uuid},
                  {"metric_name", name},
                  {"whence_ms", (unsigned long long)msg->value.whence_ms},
                  {"metric_type", (int)msg->value.type}},
                 "push(%p, %" PRIu64 ", %f)\n", (const void *)nsw, msg->value.whence_ms, x);
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

WVal *wval_new(uint64_t when, double value, double weight, bool use_for_counter) {
  WVal *e = new (std::nothrow) WVal{};
  if (!e) return nullptr;
  e->value.whence_ms = when;
  e->value.type = METRIC_DOUBLE;
  e->value.value.n = value;
  e->weight = weight;
  e->use_for_counter = use_for_counter ? 1 : 0;
  return e;
}

void lane_append(nsw_lane_t *lane, WVal *e) {
  e->next = nullptr;
  if (lane->window_tail)
    lane->window_tail->next = e;
  else
    lane->window_head = e;
  lane->window_tail = e;
}

void lane_free_list(nsw_lane_t *lane) {
  WVal *e = lane->window_head;
  while (e) {
    WVal *next = e->next;
    delete e;
    e = next;
  }
  lane->window_head = lane->window_tail = nullptr;
}

void lane_reset(nsw_lane_t *lane) {
  lane->value = std::numeric_limits<double>::quiet_NaN();
  lane->weight = 0;
  stddev_accum_reset(&lane->stddev);
  lane_free_list(lane);
}

// Folds a rate r that covered dt ms into a rate lane's time-weighted mean.
void lane_mean_add(nsw_lane_t *lane, double r, double dt) {
  if (!std::isfinite(lane->value))
    lane->value = r;
  else
    lane->value = (r * dt + lane->value * lane->weight) / (lane->weight + dt);
  if (std::fabs(lane->value) <= kSnapToZero) lane->value = 0;
  lane->weight += dt;
}

// Appends a computed rate to a rate lane and counts it in the lane's mean and moments.
void lane_insert_rate(numeric_stats_window_t *nsw, int lane_index, const vask_metric_message_t *msg,
                      uint64_t when, double r, double dt, bool use_for_counter) {
  nsw_lane_t *lane = &nsw->types[lane_index];
  WVal *e = wval_new(when, r, dt, use_for_counter);
  if (!e) return;  // out of memory: the rate is left out of the lane as a whole
  lane_append(lane, e);
  stddev_accum_add(&lane->stddev, r);
  lane_mean_add(lane, r, dt);
  trace_lane(msg, lane, lane_index, "->", when, r, dt);
}

// Takes entry e (already unlinked, or belonging to lane 1 when removed from lane 2) out of the
// lane's mean and moments. A lane whose weight would reach zero starts over empty.
void nsw_remove_from_window(nsw_lane_t *lane, const WVal *e) {
  if (lane->weight - e->weight <= 0) {
    lane_reset(lane);
    return;
  }
  double x = nmv_as_double(&e->value);
  stddev_accum_remove(&lane->stddev, x);
  lane->value = (lane->value * lane->weight - e->weight * x) / (lane->weight - e->weight);
  if (std::fabs(lane->value) <= kSnapToZero) lane->value = 0;
  lane->weight -= e->weight;
}

// Expires the entries of one lane at or before the cut-off, never its newest entry.
void lane_expire(numeric_stats_window_t *nsw, int lane_index, uint64_t cutoff,
                 const vask_metric_message_t *msg) {
  nsw_lane_t *lane = &nsw->types[lane_index];
  while (lane->window_head && lane->window_head != lane->window_tail &&
         lane->window_head->value.whence_ms <= cutoff) {
    WVal *e = lane->window_head;
    lane->window_head = e->next;
    e->next = nullptr;
    nsw_remove_from_window(lane, e);
    trace_lane(msg, lane, lane_index, "<-", e->value.whence_ms, nmv_as_double(&e->value),
               e->weight);
    if (lane_index == NSW_LANE_DERIVE && e->use_for_counter) {
      nsw_lane_t *counter = &nsw->types[NSW_LANE_COUNTER];
      nsw_remove_from_window(counter, e);
      trace_lane(msg, counter, NSW_LANE_COUNTER, "<-", e->value.whence_ms, nmv_as_double(&e->value),
                 e->weight);
    }
    delete e;
  }
}

// Lane 2's list only supplies the newest non-negative rate; its older entries are dropped without
// touching the lane's mean (their rates leave the mean when their lane-1 twins expire).
void counter_lane_trim(nsw_lane_t *lane) {
  while (lane->window_head && lane->window_head != lane->window_tail) {
    WVal *e = lane->window_head;
    lane->window_head = e->next;
    delete e;
  }
}

bool span_reaches(const numeric_stats_window_t *nsw, int min_win) {
  if (min_win < 0) return true;
  uint64_t span = nsw->last_time - nsw->first_time;
  return span >= (uint64_t)min_win;
}

double lane_read(const numeric_stats_window_t *nsw, int lane_index, bool deviation, int min_win,
                 bool *complete) {
  if (!nsw) {
    if (complete) *complete = false;
    return std::numeric_limits<double>::quiet_NaN();
  }
  const nsw_lane_t *lane = &nsw->types[lane_index];
  bool long_enough = span_reaches(nsw, min_win);
  bool has_weight = lane->weight != 0;  // a NaN weight counts as weighted
  if (complete) *complete = long_enough && has_weight;
  if (!has_weight || !long_enough) return std::numeric_limits<double>::quiet_NaN();
  return deviation ? stddev_accum_deviation(&lane->stddev) : lane->value;
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

void numeric_stats_window_free(numeric_stats_window_t *nsw) {
  if (!nsw) return;
  for (nsw_lane_t &lane : nsw->types)
    lane_free_list(&lane);
  delete nsw;
}

void numeric_stats_window_push(numeric_stats_window_t *nsw, const vask_metric_message_t *msg) {
  if (!nsw || !msg) return;
  const vask_metric_value_t *v = &msg->value;
  if (v->is_null || !is_numeric_type(v->type)) return;

  double x = nmv_as_double(v);
  uint64_t t = v->whence_ms;
  if (t > nsw->last_time) nsw->last_time = t;
  if (nsw->first_time == 0) nsw->first_time = t;
  trace_push(nsw, msg, x);

  if (std::isfinite(x)) {
    nsw_lane_t *avg = &nsw->types[NSW_LANE_AVERAGE];
    const WVal *prev = avg->window_tail;
    if (prev && t <= prev->value.whence_ms) return;  // not newer than the newest: dropped

    WVal *e = new (std::nothrow) WVal{};
    if (!e) return;
    e->value = *v;
    e->weight = 1;
    e->use_for_counter = 1;
    if (!std::isfinite(avg->value))
      avg->value = x;
    else
      avg->value = (avg->weight * avg->value + x) / (1 + avg->weight);
    avg->weight += 1;
    // prev stays valid: appending never frees, and expiry runs after the rates are computed.
    lane_append(avg, e);
    stddev_accum_add(&avg->stddev, x);
    trace_lane(msg, avg, NSW_LANE_AVERAGE, "->", t, x, 1);

    const WVal *r_prev = nsw->types[NSW_LANE_DERIVE].window_tail;
    const WVal *c_prev = nsw->types[NSW_LANE_COUNTER].window_tail;
    double r_prev_value = r_prev ? nmv_as_double(&r_prev->value) : 0;
    double c_prev_value = c_prev ? nmv_as_double(&c_prev->value) : 0;

    if (prev) {
      double dt = (double)(t - prev->value.whence_ms);
      double r = nmv_diff(v, &prev->value) * 1000 / dt;
      bool counts = r >= 0;
      lane_insert_rate(nsw, NSW_LANE_DERIVE, msg, t, r, dt, counts);
      if (counts) lane_insert_rate(nsw, NSW_LANE_COUNTER, msg, t, r, dt, true);
      if (r_prev) {
        double s = 1000 * (r - r_prev_value) / dt;
        lane_insert_rate(nsw, NSW_LANE_DERIVE_2, msg, t, s, dt, s >= 0);
      }
      if (c_prev && counts) {
        double s = 1000 * (r - c_prev_value) / dt;
        lane_insert_rate(nsw, NSW_LANE_COUNTER_2, msg, t, s, dt, s >= 0);
      }
    }
  }

  // Expiry. A sample time smaller than the window length has nothing older than the window
  // behind it: the cut-off does not wrap around to "everything".
  uint64_t length = (uint64_t)nsw->window_length_ms;
  if (t >= length) {
    uint64_t cutoff = t - length;
    lane_expire(nsw, NSW_LANE_AVERAGE, cutoff, msg);
    lane_expire(nsw, NSW_LANE_DERIVE, cutoff, msg);
    counter_lane_trim(&nsw->types[NSW_LANE_COUNTER]);
    lane_expire(nsw, NSW_LANE_DERIVE_2, cutoff, msg);
    lane_expire(nsw, NSW_LANE_COUNTER_2, cutoff, msg);
  } else {
    counter_lane_trim(&nsw->types[NSW_LANE_COUNTER]);
  }
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
      const WVal *newest = nsw ? nsw->types[NSW_LANE_AVERAGE].window_tail : nullptr;
      if (complete) *complete = newest != nullptr;
      return newest ? nmv_as_double(&newest->value) : std::numeric_limits<double>::quiet_NaN();
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
  return std::numeric_limits<double>::quiet_NaN();
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

json_object *numeric_stats_window_to_json(const numeric_stats_window_t *nsw, int min_window) {
  if (!nsw) return nullptr;
  json_object *o = json_object_new_object();
  json_object_object_add(o, "window_length_ms",
                         json_object_new_uint64((uint64_t)nsw->window_length_ms));
  json_object_object_add(o, "first_time_ms", json_object_new_uint64(nsw->first_time));
  json_object_object_add(o, "last_time_ms", json_object_new_uint64(nsw->last_time));
  json_object_object_add(o, "creation_time_ms", json_object_new_uint64(nsw->creation_time));

  bool long_enough = span_reaches(nsw, min_window);
  json_object *types = json_object_new_object();
  for (int i = 0; i < NSW_LANE_COUNT; i++) {
    const nsw_lane_t *lane = &nsw->types[i];
    json_object *lo = json_object_new_object();
    if (long_enough) {
      json_object_object_add(lo, "value", json_double(lane->value));
      json_object_object_add(lo, "weight", json_double(lane->weight));
      const stddev_accum_t *acc = &lane->stddev;
      json_object *ao = json_object_new_object();
      json_object_object_add(ao, "count", json_object_new_int(acc->count));
      json_object_object_add(ao, "product", json_double(acc->product));
      json_object_object_add(ao, "sum", json_double(acc->sum));
      json_object_object_add(ao, "sumsq", json_double(acc->sumsq));
      json_object_object_add(ao, "_deviation", json_double(stddev_accum_deviation(acc)));
      json_object_object_add(ao, "_variance", json_double(stddev_accum_variance(acc)));
      json_object_object_add(ao, "_mean", json_double(stddev_accum_mean(acc)));
      json_object_object_add(lo, "stddev_accum", ao);
    }
    json_object *entries = json_object_new_array();
    for (const WVal *e = lane->window_head; e; e = e->next) {
      json_object *eo = json_object_new_object();
      json_object_object_add(eo, "weight", json_double(e->weight));
      json_object_object_add(eo, "use_for_counter", json_object_new_boolean(e->use_for_counter));
      json_object_object_add(eo, "value", nmv_to_json(&e->value));
      json_object_array_add(entries, eo);
    }
    json_object_object_add(lo, "window", entries);
    json_object_object_add(types, kLaneJsonName[i], lo);
  }
  json_object_object_add(o, "types", types);
  return o;
}
