// The histogram stats window.
//
// The window is a list of (time, histogram) entries ordered by time, oldest first, and the sum of
// all of them (hist_accum), so that a quantile over the window is one library call. A sample is
// linked in time order (usually at the tail, so the common push is O(1) plus the histogram
// arithmetic) and added to the sum; expiry pops from the head and subtracts.
//
// Cumulative samples: each metric identity has a baseline, the last cumulative histogram seen.
// A newer cumulative sample replaces the baseline and contributes its difference to the old one;
// when that difference would be negative (the counter was reset) it contributes nothing but still
// becomes the baseline. A plain sample of an identity drops its baseline, so that a metric that
// goes back to cumulative later starts from a fresh one.
//
// Times: last_time is the greatest time added, so an out-of-order sample never moves it back
// (nor, with it, the window's cut-off); first_time is the time of the oldest entry held, 0 when
// the window is empty. A window of length L keeps the entries newer than last_time - L; the
// cut-off never goes below zero, so a window whose samples are younger than its length keeps
// them all.
//
// Capped windows: the samples of one slot of time (window_merge_span_ms) are added into one entry
// that remembers its first and last times; entries hold disjoint slots in time order, so a
// window of length L holds at most L / span + 3 of them, which the span keeps within the cap.
// The sum, and so every quantile, is that of the samples held.
//
// Threads: the worker thread that owns the metric does everything. The table of baselines is
// created by the first cumulative sample, on that thread; until then a push takes no lock. The
// mutex guards the table's contents.

#include "windows/histogram_stats_window.h"

#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>
#include <json-c/json.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

// Baselines keyed by identity: the 16 bytes of the check UUID followed by the full metric name
// (with its stream tags). Two identities are equal exactly when UUIDs, name lengths and names
// are equal, which is byte equality of these keys.
struct hist_cumulative_set_t {
  absl::flat_hash_map<std::string, hist_cumulative_reference_t *> by_identity;
  std::string scratch;  // the key being looked up; used under the window's lock
};

// An entry of a capped window: samples of one slot of time added together.
struct hist_merged_t {
  hist_list_t entry;  // first: the list links entries; whence_ms is the first sample's time
  uint64_t last_ms;   // the last sample's time
  uint32_t count;     // samples added
};
static_assert(std::is_standard_layout_v<hist_merged_t>, "an entry converts to its record");

namespace {

bool capped(const histogram_stats_window_t *hw) {
  return hw->max_records != 0;
}

// The last sample time of an entry: its own time unless it merged several.
uint64_t entry_last_ms(const histogram_stats_window_t *hw, const hist_list_t *e) {
  return capped(hw) ? reinterpret_cast<const hist_merged_t *>(e)->last_ms : e->whence_ms;
}

void entry_free(const histogram_stats_window_t *hw, hist_list_t *e) {
  hist_free(e->hist);
  if (capped(hw))
    delete reinterpret_cast<hist_merged_t *>(e);
  else
    delete e;
}

absl::string_view identity_key(hist_cumulative_set_t *set, const vask_metric_id_t *id) {
  set->scratch.assign(reinterpret_cast<const char *>(id->id), sizeof id->id);
  if (id->name) set->scratch.append(id->name, id->name_len_with_tags);
  return absl::string_view(set->scratch.data(), set->scratch.size());
}

hist_cumulative_reference_t *reference_new(const vask_metric_id_t *id, uint64_t when,
                                           hist_t *base) {
  hist_cumulative_reference_t *ref = new (std::nothrow) hist_cumulative_reference_t{};
  if (!ref) return nullptr;
  if (!vask_metric_id_copy(&ref->metric_id, id)) {
    delete ref;
    return nullptr;
  }
  ref->whence_ms = when;
  ref->base = base;
  return ref;
}

void reference_free(hist_cumulative_reference_t *ref) {
  if (!ref) return;
  vask_metric_id_free_copy(&ref->metric_id);
  hist_free(ref->base);
  delete ref;
}

// The cut-off at or below which entries have left the window, given the newest time: never below
// zero, and a negative length counts as zero.
uint64_t window_cutoff(uint64_t last_time, int window_length_ms) {
  uint64_t length = window_length_ms < 0 ? 0 : (uint64_t)window_length_ms;
  return last_time - std::min(length, last_time);
}

bool holds_time(const histogram_stats_window_t *hw, uint64_t t) {
  if (!hw->head || t < hw->head->whence_ms || t > entry_last_ms(hw, hw->tail)) return false;
  for (const hist_list_t *e = hw->head; e && e->whence_ms <= t; e = e->next)
    if (e->whence_ms == t || entry_last_ms(hw, e) == t) return true;
  return false;
}

// The entry of a capped window whose slot of time holds t, or null. Entries hold disjoint slots
// in time order; the newest is the usual one.
hist_merged_t *slot_entry(histogram_stats_window_t *hw, uint64_t t) {
  uint64_t span = window_merge_span_ms(hw->window_length_ms, hw->max_records);
  uint64_t slot = t / span;
  if (hw->tail && hw->tail->whence_ms / span == slot)
    return reinterpret_cast<hist_merged_t *>(hw->tail);
  for (hist_list_t *e = hw->head; e && e->whence_ms / span <= slot; e = e->next)
    if (e->whence_ms / span == slot) return reinterpret_cast<hist_merged_t *>(e);
  return nullptr;
}

void link_in_order(histogram_stats_window_t *hw, hist_list_t *entry) {
  uint64_t t = entry->whence_ms;
  if (!hw->head || t <= hw->head->whence_ms) {
    entry->next = hw->head;
    hw->head = entry;
    if (!hw->tail) hw->tail = entry;
  } else if (t >= hw->tail->whence_ms) {
    entry->next = nullptr;
    hw->tail->next = entry;
    hw->tail = entry;
  } else {
    // head < t < tail: insert before the first entry newer than t.
    hist_list_t *before = hw->head;
    while (before->next->whence_ms <= t)
      before = before->next;
    entry->next = before->next;
    before->next = entry;
  }
}

void expire(histogram_stats_window_t *hw) {
  uint64_t cutoff = window_cutoff(hw->last_time, hw->window_length_ms);
  // A length of 0 has a cut-off equal to last_time, so even the newest entry leaves.
  // A merged entry leaves once its last sample is out.
  while (hw->head && entry_last_ms(hw, hw->head) <= cutoff) {
    hist_list_t *e = hw->head;
    const hist_t *sources[1] = {e->hist};
    hist_subtract(hw->hist_accum, sources, 1);
    hw->head = e->next;
    if (hw->tail == e) hw->tail = nullptr;
    hw->first_time = hw->head ? hw->head->whence_ms : 0;
    entry_free(hw, e);
  }
}

}  // namespace

histogram_stats_window_t *histogram_stats_window_alloc(int window_length_ms) {
  histogram_stats_window_t *hw = new (std::nothrow) histogram_stats_window_t{};
  if (!hw) return nullptr;
  hw->hist_accum = hist_alloc();
  if (!hw->hist_accum) {
    histogram_stats_window_free(hw);
    return nullptr;
  }
  hw->creation_time = window_now_ms();
  hw->window_length_ms = window_length_ms;
  return hw;
}

histogram_stats_window_t *histogram_stats_window_alloc_capped(int window_length_ms,
                                                              uint32_t max_records) {
  histogram_stats_window_t *hw = histogram_stats_window_alloc(window_length_ms);
  if (hw && max_records) hw->max_records = max_records < 4 ? 4 : max_records;
  return hw;
}

// Nothing else holds the window any more: its baselines are read without the lock.
void histogram_stats_window_free(histogram_stats_window_t *hw) ABSL_NO_THREAD_SAFETY_ANALYSIS {
  if (!hw) return;
  hist_list_t *e = hw->head;
  while (e) {
    hist_list_t *next = e->next;
    entry_free(hw, e);
    e = next;
  }
  hist_free(hw->hist_accum);
  if (hw->cumulative_reference) {
    for (auto &[key, ref] : hw->cumulative_reference->by_identity)
      reference_free(ref);
    delete hw->cumulative_reference;
  }
  delete hw;
}

void histogram_stats_window_push(histogram_stats_window_t *hw, const vask_metric_message_t *m) {
  if (!hw || !m) return;
  const vask_metric_value_t *v = &m->value;
  if (v->type != METRIC_HISTOGRAM && v->type != METRIC_HISTOGRAM_CUMULATIVE) return;
  if (v->is_null || !v->value.s) return;
  uint64_t t = v->whence_ms;
  if (t == 0) return;
  if (t <= window_cutoff(hw->last_time, hw->window_length_ms)) return;  // older than the window

  hist_t *h = nullptr;
  if (hist_deserialize_b64(&h, v->value.s, v->s_len) <= 0) {
    hist_free(h);
    return;
  }

  hist_t *to_add = nullptr;
  if (v->type == METRIC_HISTOGRAM_CUMULATIVE) {
    hist_t *old_base = nullptr;
    bool newer = false;
    if (!hw->cumulative_reference) {
      // Only this thread creates the table, so it may look at the pointer without the lock.
      hist_cumulative_set_t *set = new (std::nothrow) hist_cumulative_set_t{};
      if (!set) {
        hist_free(h);
        return;
      }
      tovi_lock_guard_c<tovi_mutex_c> guard(hw->cumulative_reference_lock);
      hw->cumulative_reference = set;
    }
    {
      tovi_lock_guard_c<tovi_mutex_c> guard(hw->cumulative_reference_lock);
      hist_cumulative_set_t *set = hw->cumulative_reference;
      absl::string_view key = identity_key(set, &m->id);
      auto it = set->by_identity.find(key);
      if (it == set->by_identity.end()) {
        // The first cumulative sample of an identity only sets its baseline.
        hist_cumulative_reference_t *ref = reference_new(&m->id, t, h);
        if (ref)
          set->by_identity.emplace(set->scratch, ref);
        else
          hist_free(h);
        return;
      }
      hist_cumulative_reference_t *ref = it->second;
      if (ref->whence_ms < t) {
        old_base = ref->base;
        ref->whence_ms = t;
        ref->base = h;  // h now belongs to the baseline
        newer = true;
      }
    }
    if (!newer) {  // stale or repeated cumulative sample
      hist_free(h);
      return;
    }
    if (old_base) {
      hist_t *diff = hist_clone(h);
      const hist_t *sources[1] = {old_base};
      if (diff && hist_subtract(diff, sources, 1) != -1) {
        to_add = diff;
      } else {
        hist_free(diff);  // a counter reset: nothing to add, but h is the new baseline
      }
      hist_free(old_base);
    }
  } else {
    // A metric that switches to plain histograms loses its cumulative baseline. A window that
    // never saw a cumulative sample has no table and takes no lock.
    if (hw->cumulative_reference) {
      tovi_lock_guard_c<tovi_mutex_c> guard(hw->cumulative_reference_lock);
      hist_cumulative_set_t *set = hw->cumulative_reference;
      auto it = set->by_identity.find(identity_key(set, &m->id));
      if (it != set->by_identity.end()) {
        reference_free(it->second);
        set->by_identity.erase(it);
      }
    }
    if (holds_time(hw, t)) {
      hist_free(h);
      return;
    }
    to_add = h;
  }
  if (!to_add) return;
  const hist_t *sources[1] = {to_add};
  if (capped(hw)) {
    if (hist_merged_t *merged = slot_entry(hw, t)) {
      hist_accumulate(merged->entry.hist, sources, 1);
      hist_accumulate(hw->hist_accum, sources, 1);
      hist_free(to_add);
      merged->entry.whence_ms = std::min(merged->entry.whence_ms, t);
      merged->last_ms = std::max(merged->last_ms, t);
      merged->count++;
      if (t > hw->last_time) hw->last_time = t;
      expire(hw);
      hw->first_time = hw->head ? hw->head->whence_ms : 0;
      return;
    }
  }
  hist_list_t *entry;
  if (capped(hw)) {
    hist_merged_t *merged = new (std::nothrow) hist_merged_t{{t, to_add, nullptr}, t, 1};
    entry = merged ? &merged->entry : nullptr;
  } else {
    entry = new (std::nothrow) hist_list_t{t, to_add, nullptr};
  }
  if (!entry) {
    hist_free(to_add);
    return;
  }
  if (t > hw->last_time) hw->last_time = t;
  link_in_order(hw, entry);
  hist_accumulate(hw->hist_accum, sources, 1);
  expire(hw);
  hw->first_time = hw->head ? hw->head->whence_ms : 0;
}

bool histogram_quantile_parameter_valid(double parameter) {
  return parameter >= 0 && parameter <= 1;  // false for NaN
}

double histogram_stats_window_get(const histogram_stats_window_t *hw, windowing_function_t wf,
                                  double parameter, bool *complete) {
  if (complete) *complete = false;
  if (!hw || wf != W_QUANTILE) return 0;
  // A fraction outside [0, 1] (a rule that wrote 99 for 0.99) has no quantile; an answer of 0
  // would hold a "below" rule true for ever.
  if (!histogram_quantile_parameter_valid(parameter))
    return std::numeric_limits<double>::quiet_NaN();
  double out = 0;
  hist_approx_quantile(hw->hist_accum, &parameter, 1, &out);
  if (complete) *complete = hw->head != nullptr && !std::isnan(out);
  return out;
}

double histogram_stats_window_get(const histogram_stats_window_t *hw, windowing_function_t wf,
                                  double parameter) {
  return histogram_stats_window_get(hw, wf, parameter, nullptr);
}

json_object *histogram_stats_window_to_json(const histogram_stats_window_t *hw, int min_window) {
  (void)min_window;
  if (!hw) return nullptr;
  json_object *o = json_object_new_object();
  json_object_object_add(o, "window_length_ms",
                         json_object_new_uint64((uint64_t)std::max(hw->window_length_ms, 0)));
  json_object_object_add(o, "first_time_ms", json_object_new_uint64(hw->first_time));
  json_object_object_add(o, "last_time_ms", json_object_new_uint64(hw->last_time));
  json_object_object_add(o, "creation_time_ms", json_object_new_uint64(hw->creation_time));
  if (capped(hw)) {
    json_object_object_add(o, "max_records", json_object_new_uint64(hw->max_records));
    json_object_object_add(
        o, "merge_span_ms",
        json_object_new_uint64(window_merge_span_ms(hw->window_length_ms, hw->max_records)));
    json_object *records = json_object_new_array();
    for (const hist_list_t *e = hw->head; e; e = e->next) {
      const auto *m = reinterpret_cast<const hist_merged_t *>(e);
      json_object *r = json_object_new_object();
      json_object_object_add(r, "from_ms", json_object_new_uint64(e->whence_ms));
      json_object_object_add(r, "to_ms", json_object_new_uint64(m->last_ms));
      json_object_object_add(r, "count", json_object_new_int64(m->count));
      json_object_array_add(records, r);
    }
    json_object_object_add(o, "records", records);
  }
  return o;
}

int histogram_stats_window_entry_count(const histogram_stats_window_t *hw) {
  int n = 0;
  for (const hist_list_t *e = hw ? hw->head : nullptr; e; e = e->next)
    n++;
  return n;
}
