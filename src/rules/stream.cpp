// Rule streams: construction and destruction with their window reservations, the transition
// ring, the observed values, the JSON snapshot, reset, and the ruleset's table of streams.
#include "rules/stream_internal.h"

#include <json-c/json.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_uuid.h"

const char *const rulestream_fixed_signature = "00000000-0000-0000-0000-000000000000`*|ST[]";

// Relaxed: a statistic; nothing is published through it.
std::atomic<uint64_t> rulestreams_live{0};

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

bool is_numeric_criterion(rule_criteria_t c) {
  return rule_criterion_traits(c).value == RULEC_VALUE_NUMBER;
}

// Inside a write of the table, before `stream` leaves it: empties the sole stream's slot when it
// holds that stream. Relaxed: the phaser's writer mutex orders every change of the slot, and a
// reader that still finds the stream there holds a reference of its own, as one that found it
// in the table does.
void drop_sole_stream(std::atomic<rulestream_sp> &sole, const rulestream_c *stream) {
  if (sole.load(std::memory_order_relaxed).get() == stream)
    sole.store(nullptr, std::memory_order_relaxed);
}

}  // namespace

// ---- ruleimpl_t ------------------------------------------------------------------------------

ruleimpl_t::~ruleimpl_t() {
  tovi_memory_scope_c bracket;
  clear_absence_event();
  tovi_memory_safe_free(text.last_observed_value.exchange(nullptr, std::memory_order_acq_rel));
}

void ruleimpl_t::set_text(const char *value, size_t len) {
  char *copy = nullptr;
  if (value) {
    copy = static_cast<char *>(tovi_memory_safe_malloc(len + 1));
    tovi_assert(copy);
    memcpy(copy, value, len);
    copy[len] = '\0';
  }
  // Release: a reader that loads the new pointer sees the copied bytes.
  char *old = text.last_observed_value.exchange(copy, std::memory_order_acq_rel);
  tovi_memory_safe_free(old);
}

void ruleimpl_t::clear_absence_event() {
  absence_slot_clear(absence_event);
}

bool ruleimpl_t::replace_absence_event_or_kill(eventer_t e) {
  return absence_slot_replace_or_kill(absence_event, e);
}

rulestream_uuid_text_t::rulestream_uuid_text_t(const uint8_t uuid[16]) {
  tovi_uuid_unparse(uuid, text);
}

// ---- rulestream_c ----------------------------------------------------------------------------

rulestream_c::rulestream_c(const ruleset_sp &ruleset, const vask_metric_id_t *id,
                           const char *signature, size_t len, broker_t *broker)
    : _broker(broker), _ruleset(ruleset) {
  if (!signature) len = 0;
  _signature = static_cast<char *>(malloc(len + 1));
  tovi_assert(_signature);
  if (len) memcpy(_signature, signature, len);
  _signature[len] = '\0';
  _signature_len = uint32_t(len);
  memcpy(_check_uuid, id->id, 16);

  const char *st = strstr(_signature, "|ST[");
  if (st) {
    _st_tags = st + 4;
    size_t rest = strlen(_st_tags);
    _st_tags_len = rest > 0 ? int32_t(rest - 1) : 0;
  }

  _nrules_impl = ruleset->nrules;
  _rules_impl = std::vector<ruleimpl_t>(size_t(ruleset->rules.size()));
  if (ruleset->metric_type == RULE_NUMERIC || ruleset->metric_type == RULE_HISTOGRAM)
    for (ruleimpl_t &impl : _rules_impl)
      impl.numeric.last_observed_value = not_a_number;

  _reserved_type = ruleset->metric_type;
  bool grouped = ruleset->group_by != nullptr;
  vask_metric_id_t reserve_id = *id;
  for (size_t i = 0; i < ruleset->rules.size(); i++) {
    const rule_t &rule = ruleset->rules[i];
    if (rule.windowing_duration > _max_out_of_order_ms)
      _max_out_of_order_ms = rule.windowing_duration;
    ruleimpl_t &impl = _rules_impl[i];
    metric_state_t *state = nullptr;
    impl.window = metric_window_reserve(_reserved_type, &reserve_id, _signature,
                                        rule.windowing_duration, grouped, &state);
    // Every reservation of one stream has the same key, so they all land in one state.
    if (state) _state = state;
  }
  int64_t cap = int64_t(max_out_of_order_s) * 1000;
  if (_max_out_of_order_ms > cap) _max_out_of_order_ms = int32_t(cap);
  rulestreams_live.fetch_add(1, std::memory_order_relaxed);
}

rulestream_c::~rulestream_c() {
  tovi_memory_scope_c bracket;
  release_history_texts();
  // Cancelled from what was reserved, not from the ruleset: the ruleset may be gone (this runs
  // from its destructor), and its name may be a pattern that was never reserved under.
  for (ruleimpl_t &impl : _rules_impl) {
    metric_window_release(_state, impl.window);
    impl.window = nullptr;
  }
  free(_signature);
  rulestreams_live.fetch_sub(1, std::memory_order_relaxed);
}

void rulestream_c::release_history_texts() {
  for (trigger_history_t &h : _history) {
    if (h.holds_text()) tovi_memory_safe_free(h.text_value);
    h.numeric_value = 0;
    h.rule_type = RULEC_UNKNOWN;
  }
}

void rulestream_c::publish_newest() {
  // Release: pairs with the acquire load of published_sev in another stream's ancestor search.
  _published_sev.store(_history[_hidx].sev, std::memory_order_release);
}

void rulestream_c::set_last_notified(bool flag) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  _history[_hidx].notified = flag;
}

bool rulestream_c::should_trigger(int32_t sev, int8_t rule) const {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  return sev != _history[_hidx].sev || rule != _history[_hidx].rule;
}

void rulestream_c::mark_triggered(uint64_t ms, int32_t sev, int8_t rule, const uint8_t uuid[16]) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  int8_t next = int8_t((_hidx + 1) % 5);
  trigger_history_t &h = _history[next];
  if (h.holds_text()) tovi_memory_safe_free(h.text_value);
  h.trigger_time_ms = ms;
  h.sev = sev;
  h.rule = rule;
  h.rule_type = RULEC_UNKNOWN;
  h.numeric_value = 0;
  ruleset_sp r = _ruleset.lock();
  if (rule >= 0 && r && rule < int(r->rules.size()) && rule < _nrules_impl) {
    h.rule_type = r->rules[size_t(rule)].rule_type;
    ruleimpl_t &impl = _rules_impl[size_t(rule)];
    if (is_numeric_criterion(h.rule_type)) {
      h.numeric_value = impl.numeric.last_observed_value;
    } else if (h.holds_text()) {
      tovi_memory_scope_c bracket;
      const char *text = impl.text.last_observed_value.load(std::memory_order_acquire);
      h.text_value = text ? tovi_memory_safe_strdup(text) : nullptr;
    }
  }
  h.notified = false;
  if (uuid)
    memcpy(h.uuid, uuid, 16);
  else
    memset(h.uuid, 0, 16);
  _hidx = next;
  publish_newest();
}

void rulestream_c::record_last_value(const vask_metric_message_t *m) {
  if (!m) return;
  const vask_metric_value_t &v = m->value;
  if (v.type == METRIC_ABSENT || v.type == METRIC_GUESS) return;
  uint32_t arrival_s = rules_monotonic_s();
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  _last_time_ms = v.whence_ms;
  _last_arrival_s = arrival_s;
  switch (v.type) {
    case METRIC_STRING:
      _last_value = std::string(v.value.s ? v.value.s : "", v.value.s ? v.s_len : 0);
      break;
    case METRIC_INT32:
      _last_value = double(v.value.v_int32);
      break;
    case METRIC_UINT32:
      _last_value = double(v.value.v_uint32);
      break;
    case METRIC_INT64:
      _last_value = double(v.value.v_int64);
      break;
    case METRIC_UINT64:
      _last_value = double(v.value.v_uint64);
      break;
    case METRIC_DOUBLE:
      _last_value = v.value.n;
      break;
    default:
      // A histogram's last value is not a single number; it stays as it was.
      break;
  }
}

void rulestream_c::append_last_value_to_json(json_object *object) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  json_object *value = nullptr;
  if (const double *d = std::get_if<double>(&_last_value)) {
    // JSON has no NaN or infinity: such a value is shown as null.
    value = std::isfinite(*d) ? json_object_new_double(*d) : nullptr;
  } else {
    const std::string &s = std::get<std::string>(_last_value);
    value = s.empty() ? nullptr : json_object_new_string_len(s.data(), int(s.size()));
  }
  json_object_object_add(object, "value", value);
}

uint64_t rulestream_c::last_time_ms() const {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  return _last_time_ms;
}

json_bundle_t rulestream_c::get_json_data_bundle() {
  json_bundle_t b;
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  b.signature.assign(_signature, _signature_len);
  b.applications = _applications.load(std::memory_order_relaxed);
  b.last_time_ms = _last_time_ms;
  b.hidx = _hidx;
  for (int i = 0; i < 5; i++) {
    const trigger_history_t &h = _history[i];
    json_bundle_t::history_t &out = b.history[i];
    out.trigger_time_ms = h.trigger_time_ms;
    out.sev = h.sev;
    out.rule = h.rule;
    out.notified = h.notified;
    out.rule_type = h.rule_type;
    if (h.holds_text()) {
      out.has_text = h.text_value != nullptr;
      if (h.text_value) out.text_value = h.text_value;
    } else {
      out.numeric_value = h.numeric_value;
    }
  }
  tovi_memory_scope_c bracket;
  b.last_observed_values.resize(_rules_impl.size());
  for (size_t i = 0; i < _rules_impl.size(); i++) {
    b.last_observed_values[i].numeric = _rules_impl[i].numeric.last_observed_value;
    const char *text = _rules_impl[i].text.last_observed_value.load(std::memory_order_acquire);
    if (text) b.last_observed_values[i].text = text;
  }
  return b;
}

void rulestream_c::reset() {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  ruleset_sp r = _ruleset.lock();
  if (_reserved_type == RULE_NUMERIC || _reserved_type == RULE_HISTOGRAM)
    for (ruleimpl_t &impl : _rules_impl)
      impl.numeric.last_observed_value = not_a_number;
  _last_time_ms = 0;
  _last_arrival_s = 0;
  _hidx = 0;
  _last_notified_time_ms = 0;
  _last_notified_sev = 0;
  _last_notified_progeny = 0;
  _last_notified_rule = 0;
  release_history_texts();
  for (trigger_history_t &h : _history)
    h = trigger_history_t();
  publish_newest();
  // A timer that has fired would otherwise stay empty until data returns, and a quiet stream,
  // now undetermined, would never be evaluated again: watch it afresh for a whole window.
  for (ruleimpl_t &impl : _rules_impl)
    if (impl.absence_event.load(std::memory_order_acquire) == nullptr) impl.setup = false;
  if (r) rules_setup_absence(r, this);
}

// ---- The ruleset's table of streams ------------------------------------------------------------

rulestream_sp ruleset_t::get_rulestream(const vask_metric_id_t *id, const char *signature,
                                        size_t len, bool create) {
  if (!signature) {
    signature = rulestream_fixed_signature;
    len = strlen(rulestream_fixed_signature);
  }
  std::string_view key(signature, len);
  rulestream_sp found;
  signature_to_stream.read_op([&](const signature_to_stream_map_t &table) {
    auto it = table.find(key);
    if (it != table.end()) found = it->second;
  });
  if (found || !create || !id) return found;

  // Built outside the table's write: construction reserves windows, which takes other locks.
  auto fresh =
      std::make_shared<rulestream_c>(shared_from_this(), id, signature, len, default_broker);
  rulestream_sp result;
  const bool keep_sole = keeps_sole_stream();
  signature_to_stream.write_op([&](signature_to_stream_map_t &table) {
    // Runs once per copy of the table: both copies must end up holding the same stream.
    auto [it, inserted] = table.try_emplace(fresh->get_signature(), fresh);
    result = it->second;
    // Release: a reader that loads the stream sees it whole.
    if (inserted && keep_sole && !sole_stream.load(std::memory_order_relaxed))
      sole_stream.store(fresh, std::memory_order_release);
  });
  // A lost race leaves `fresh` unused: it is dropped here and cancels what it reserved.
  // A signature that culling removed while raised: the consumers still hold that severity.
  raised_memory_entry_t remembered;
  if (raised_memory_size() != 0 && raised_memory_take(event_criteria_id, key, &remembered))
    result->take_remembered(remembered.sev, remembered.rule);
  return result;
}

void rulestream_c::take_remembered(int32_t sev, int8_t rule) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  if (_last_notified_sev != 0) return;  // announced something already: that is what counts
  _remembered_sev = sev;
  _remembered_rule = rule;
}

bool rulestream_c::announced_raised(int32_t *sev, int8_t *rule) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  int32_t s = _last_notified_sev;
  int8_t r = _last_notified_rule;
  if (s == 0) {
    s = _remembered_sev;
    r = _remembered_rule;
  }
  if (s == 0 || s == RULE_SEV_CLEAR) return false;
  *sev = s;
  *rule = r;
  return true;
}

bool ruleset_t::keeps_sole_stream() const {
  return !pattern.any_check_uuid && !pattern.metric_name && !group_by;
}

rulestream_sp ruleset_t::find_sole_stream(const char *signature, size_t len) const {
  // Acquire: pairs with the release store that published the stream.
  rulestream_sp stream = sole_stream.load(std::memory_order_acquire);
  if (stream && stream->get_signature() == std::string_view(signature, len)) return stream;
  return nullptr;
}

void ruleset_t::remove_ruleset_stream(const rulestream_sp &stream) {
  if (!stream) return;
  std::string_view key = stream->get_signature();
  bool removed = false;
  signature_to_stream.write_op([&](signature_to_stream_map_t &table) {
    auto it = table.find(key);
    // Only this very stream: a newer one under the same signature stays.
    if (it != table.end() && it->second == stream) {
      drop_sole_stream(sole_stream, stream.get());
      table.erase(it);
      removed = true;
    }
  });
  if (!removed) return;
  std::vector<rulestream_sp> held;
  if (stream->routed()) held.push_back(stream);
  rules_routes_retire_streams(std::move(held));
}

size_t ruleset_t::remove_ruleset_streams(const std::vector<rulestream_sp> &streams) {
  if (streams.empty()) return 0;
  size_t removed = 0;
  std::vector<rulestream_sp> held;
  signature_to_stream.write_op([&](signature_to_stream_map_t &table) {
    // Runs once per copy: counts from zero each time, and shrinks both copies alike.
    removed = 0;
    held.clear();
    for (const rulestream_sp &stream : streams) {
      auto it = table.find(stream->get_signature());
      if (it != table.end() && it->second == stream) {
        drop_sole_stream(sole_stream, stream.get());
        table.erase(it);
        if (stream->routed()) held.push_back(stream);
        removed++;
      }
    }
    // Erasing keeps the capacity a burst of streams grew the table to; once it is mostly empty
    // it is given back, so that culling returns the memory those streams took.
    if (table.bucket_count() > 64 && table.size() * 4 < table.bucket_count()) table.rehash(0);
  });
  if (removed) rules_routes_retire_streams(std::move(held));
  return removed;
}
