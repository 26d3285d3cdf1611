// Rule application: one metric message and one applicable ruleset become a severity.
//
// The message's stream signature names the ruleset's stream for it (found or created); the
// message feeds the metric's windows, is admitted by the stream (late messages are dropped, the
// broker, host and check id are tracked), and then every rule is evaluated in ruleset order. The
// first rule that holds gives the severity; a change of severity or rule is recorded in the
// stream's ring and handed to the notification decision.
//
// This is the daemon's hot path: nothing here formats a log line unless its stream is enabled,
// and nothing allocates per message (the signature is built on the stack; the host is copied only
// when it changes).
#include <json-c/json.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "brokers.h"
#include "metrics.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_decoder.h"

namespace {

bool value_is_null(const vask_metric_message_t *m) {
  return m->value.is_null || m->value.type == METRIC_ABSENT;
}

// The value's type, or, for an absent value, the type it would have had.
metric_type_t effective_value_type(const vask_metric_message_t *m) {
  if (m->value.type == METRIC_ABSENT) return m->value.value.absent_type;
  return m->value.type;
}

double value_as_double(const vask_metric_value_t &v) {
  switch (v.type) {
    case METRIC_INT32:
      return double(v.value.v_int32);
    case METRIC_UINT32:
      return double(v.value.v_uint32);
    case METRIC_INT64:
      return double(v.value.v_int64);
    case METRIC_UINT64:
      return double(v.value.v_uint64);
    case METRIC_DOUBLE:
      return v.value.n;
    default:
      return 0;
  }
}

struct timeval ms_to_timeval(uint64_t ms) {
  struct timeval tv;
  tv.tv_sec = time_t(ms / 1000);
  tv.tv_usec = suseconds_t((ms % 1000) * 1000);
  return tv;
}

uint64_t wall_clock_ms() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

bool ruleset_applies(const ruleset_t &r, const vask_metric_message_t *m) {
  metric_type_t vt = effective_value_type(m);
  if (m->type == 'H') return r.metric_type == RULE_HISTOGRAM;
  if (m->type != 'M') return false;
  if (r.metric_type == RULE_TEXT) return vt == METRIC_STRING;
  if (r.metric_type == RULE_NUMERIC) return vt != METRIC_STRING;
  return false;
}

void log_process_error(const char *fmt, const ruleset_sp &r, const vask_metric_message_t *m) {
  tovi_log_stream_t ls = rules_processerrors_stream();
  if (!tovi_log_stream_enabled(ls)) return;
  tovi_log_write(ls,
                 {{"account_id", (unsigned long long)m->id.account_id},
                  {"metric_name", std::string_view(m->id.name, m->id.name_len)},
                  {"whence_ms", (unsigned long long)m->value.whence_ms},
                  {"metric_type", int(m->type)}},
                 fmt, (void *)r.get(), int(m->type), rule_metric_type_name(r->metric_type),
                 int(effective_value_type(m)), int(m->original_message_len),
                 m->original_message ? m->original_message : "");
}

}  // namespace

// ---- Applicability and signatures ---------------------------------------------------------------

int ruleset_stream_signature(const ruleset_t &ruleset, const vask_metric_message_t *m, char *buf,
                             size_t len) {
  const vask_metric_id_t &id = m->id;
  size_t name_len = id.name_len;
  // 36 (uuid) + 1 (back-quote) + name + 5 ("|ST[]") + 1 (terminator).
  if (len < name_len + 43) return -1;
  tovi_uuid_unparse(id.id, buf);
  buf[36] = '`';
  memcpy(buf + 37, id.name, name_len);
  char *tags = buf + 37 + name_len;
  memcpy(tags, "|ST[]", 6);
  if (id.stream.tag_count <= 0) return 0;

  size_t needed = 0;
  for (int i = 0; i < id.stream.tag_count; i++)
    needed += size_t(id.stream.tags[i].total_size) + 1;
  // Room after "|ST[": every tag with its separator (the last one becomes "]") and the
  // terminator.
  if (needed > len - name_len - 42) return -1;

  char *p = tags + 4;
  bool any = false;
  for (int i = 0; i < id.stream.tag_count; i++) {
    const vask_metric_tag_t &t = id.stream.tags[i];
    if (!ruleset_group_by_includes(ruleset, t.tag, t.total_size)) continue;
    memcpy(p, t.tag, t.total_size);
    p += t.total_size;
    *p++ = ',';
    any = true;
  }
  if (any) {
    p[-1] = ']';
    *p = '\0';
  }
  return 0;
}

int ruleset_apply_metric_message(const ruleset_sp &ruleset, vask_metric_message_t *m) {
  return ruleset_apply_recording(ruleset, m, nullptr);
}

int ruleset_apply_to_stream(const ruleset_sp &ruleset, rulestream_c *stream,
                            vask_metric_message_t *m) {
  if (!stream) return ruleset_apply_recording(ruleset, m, nullptr);
  if (!ruleset || !m) return -1;
  if (!ruleset_applies(*ruleset, m)) {
    log_process_error("unable to apply ruleset(%p) [%d,%s,%d]: %.*s\n", ruleset, m);
    return -1;
  }
  if (m->value.whence_ms == 0 && ruleset->group_by) {
    rules_setup_absence(ruleset, nullptr);
    return -1;
  }
  return stream->apply_metric_message(ruleset, m);
}

int ruleset_apply_recording(const ruleset_sp &ruleset, vask_metric_message_t *m,
                            rulestream_c **stream) {
  if (stream) *stream = nullptr;
  if (!ruleset || !m) return -1;
  if (!ruleset_applies(*ruleset, m)) {
    log_process_error("unable to apply ruleset(%p) [%d,%s,%d]: %.*s\n", ruleset, m);
    return -1;
  }
  char signature[rules_signature_buffer_len];
  if (ruleset_stream_signature(*ruleset, m, signature, sizeof(signature)) != 0) {
    log_process_error("unable to signature metric(%p) [%d,%s,%d]: %.*s\n", ruleset, m);
    return -1;
  }
  if (m->value.whence_ms == 0 && ruleset->group_by) {
    rules_setup_absence(ruleset, nullptr);
    return -1;
  }
  const size_t len = strlen(signature);
  rulestream_sp rs = ruleset->find_sole_stream(signature, len);
  if (!rs) rs = ruleset->get_rulestream(&m->id, signature, len, true);
  if (!rs) return -1;
  if (stream) {
    // Marked while this reference holds the stream, and before the route's generation is read
    // again: a removal that missed the mark has moved the generation on by then, and the route
    // that would name the stream is not published.
    rs->mark_routed();
    *stream = rs.get();
  }
  return rs->apply_metric_message(ruleset, m);
}

// ---- Stream application
// ---------------------------------------------------------------------------

int rulestream_c::apply_metric_message(const ruleset_sp &ruleset, vask_metric_message_t *m) {
  stream_lock_c lock(*this);
  const uint64_t whence = m->value.whence_ms;
  const struct timeval message_time = ms_to_timeval(whence);
  tovi_log_stream_t debug = rules_debug_stream();
  const bool dbg = tovi_log_stream_enabled(debug);
  const ruleset_t *r = ruleset.get();

  bool changed = extract_orvane_extended_info(m);
  // The state this stream reserved in: the signature names the check and the metric, so every
  // message of the stream feeds the same state.
  metric_state_feed(_state, m);
  if (changed) {
    if (dbg)
      tovi_log_write(debug, {mlkv_rs(this, r)}, "stream changed ecid:[%lu]\n",
                     (unsigned long)r->event_criteria_id);
    reevaluate(message_time);
  }

  const bool null_value = value_is_null(m);
  if (dbg) {
    if (r->metric_type == RULE_TEXT) {
      const char *s = (!null_value && m->value.type == METRIC_STRING && m->value.value.s)
                          ? m->value.value.s
                          : "";
      int slen = (!null_value && m->value.type == METRIC_STRING && m->value.value.s)
                     ? int(m->value.s_len)
                     : 0;
      tovi_log_write(debug, {mlkv_rs(this, r)}, "rule_apply(ecid:[%lu]) => starting %s %s'%.*s'\n",
                     (unsigned long)r->event_criteria_id, rule_metric_type_name(r->metric_type),
                     null_value ? "[[null]] " : "", slen, s);
    } else {
      tovi_log_write(debug, {mlkv_rs(this, r)}, "rule_apply(ecid:[%lu]) => starting %s %s(%0.3g)\n",
                     (unsigned long)r->event_criteria_id, rule_metric_type_name(r->metric_type),
                     null_value ? "[[null]] " : "", null_value ? 0.0 : value_as_double(m->value));
    }
  }

  if (!generic_push(m, ruleset)) return get_last_sev();
  // A message without a time evaluates no rule, so it can say nothing about the state: a raised
  // stream must not be recorded as clear because of it.
  if (whence == 0) return get_last_sev();

  int32_t sev = RULE_SEV_CLEAR;
  int8_t prev_rule = RULE_INDEX_CLEAR;
  uint64_t trigger_time = whence;
  bool satisfied = false;
  const bool undetermined = get_last_rule() == RULE_INDEX_UNDETERMINED;
  if (null_value && undetermined) prev_rule = RULE_INDEX_UNDETERMINED;

  const int nrules = std::min<int>(int(r->rules.size()), _nrules_impl);
  for (int i = 0; i < nrules; i++) {
    const rule_t &rule = r->rules[size_t(i)];
    bool booted = true;
    bool match = apply_metric_message_to_rule(ruleset, i, m, &booted);
    bool selected = match && !satisfied;
    if (dbg)
      tovi_log_write(
          debug, {mlkv_rs(this, r), {"rule", i}}, "rule_apply(ecid:[%lu], #%d, %s) => %s%s%s\n",
          (unsigned long)r->event_criteria_id, i, rule_criteria_name(rule.rule_type),
          match ? "hit" : "miss", selected ? " <= (selected)" : "", booted ? "" : " still booting");
    if (prev_rule == RULE_INDEX_CLEAR && !booted) prev_rule = RULE_INDEX_UNDETERMINED;
    if (selected) {
      sev = rule.severity;
      prev_rule = int8_t(i);
      satisfied = true;
      if (rule.rule_type == RULEC_ABSENCE) trigger_time = wall_clock_ms();
    }
    // A pattern stream seen for the first time is not declared clear while its ruleset watches
    // for absence: the metric may have gone quiet already. Unless the consumers hold a raised
    // state for its signature (a predecessor culled while raised): that needs its clear.
    if (sev == RULE_SEV_CLEAR && prev_rule == RULE_INDEX_CLEAR && undetermined &&
        rule.rule_type == RULEC_ABSENCE && r->pattern.metric_name && _remembered_sev == 0)
      prev_rule = RULE_INDEX_UNDETERMINED;
  }

  if (should_trigger(sev, prev_rule)) {
    if (dbg)
      tovi_log_write(debug, {mlkv_rs(this, r)}, "ecid[%lu] %d/%d -> %d/%d\n",
                     (unsigned long)r->event_criteria_id, int(get_last_rule()), get_last_sev(),
                     int(prev_rule), sev);
    mark_triggered(trigger_time, sev, prev_rule, m->id.id);
    reevaluate(ms_to_timeval(trigger_time));
  }
  return get_last_sev();
}

bool rulestream_c::generic_push(vask_metric_message_t *m) {
  return generic_push(m, _ruleset.lock());
}

bool rulestream_c::generic_push(vask_metric_message_t *m, const ruleset_sp &ruleset) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  const uint64_t whence = m->value.whence_ms;
  tovi_log_stream_t debug = rules_debug_stream();
  const bool dbg = tovi_log_stream_enabled(debug);
  if (dbg && ruleset)
    tovi_log_write(debug, {mlkv_rs(this, ruleset)}, "ecid[%lu] -> @%d.%03d\n",
                   (unsigned long)ruleset->event_criteria_id, int(whence / 1000),
                   int(whence % 1000));
  if (!ruleset) return true;
  const bool null_value = value_is_null(m);

  if (whence != 0 && !null_value)
    for (size_t i = 0; i < ruleset->rules.size(); i++)
      if (ruleset->rules[i].rule_type == RULEC_ABSENCE) rules_rearm_absence(ruleset, this, int(i));

  if (whence != 0) {
    const uint64_t last = _last_time_ms;
    if (_max_out_of_order_ms != 0) {
      uint64_t allowance = std::min<uint64_t>(uint64_t(_max_out_of_order_ms), last);
      if (whence <= last - allowance) {
        if (dbg)
          tovi_log_write(
              debug, {mlkv_rs(this, ruleset)}, "ecid[%lu] -> @%d.%03d (too old w/ window)\n",
              (unsigned long)ruleset->event_criteria_id, int(whence / 1000), int(whence % 1000));
        return false;
      }
    } else if (whence <= last) {
      if (dbg)
        tovi_log_write(debug, {mlkv_rs(this, ruleset)}, "ecid[%lu] -> @%d.%03d (too old)\n",
                       (unsigned long)ruleset->event_criteria_id, int(whence / 1000),
                       int(whence % 1000));
      return false;
    }
  }

  const char *bname = m->vask.name;
  size_t blen = m->vask.name ? m->vask.len : 0;
  if (!_broker) {
    _broker = getbroker(bname, blen);
  } else if (!(blen == sizeof(internal_broker_name) - 1 &&
               memcmp(bname, internal_broker_name, blen) == 0)) {
    const char *current = nullptr;
    size_t current_len = 0;
    if (broker_name(_broker, &current, &current_len) != 0 || current_len != blen ||
        (blen && memcmp(current, bname, blen) != 0))
      _broker = getbroker(bname, blen);
  }

  if (!null_value && whence != 0) {
    ruleset->last_time.store_ms(whence);
    record_last_value(m);
  }
  rules_setup_absence(ruleset, this);
  count_application();
  ruleset->applications.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// ---- Rule evaluation
// ------------------------------------------------------------------------------

bool rulestream_c::apply_metric_message_to_rule(
    const ruleset_sp &ruleset, int i, vask_metric_message_t * /*m: the windows hold it already*/,
    bool *booted) {
  const ruleset_t *r = ruleset.get();
  const rule_t &rule = r->rules[size_t(i)];
  ruleimpl_t &impl = _rules_impl[size_t(i)];
  const bool grouped = r->group_by != nullptr;
  tovi_log_stream_t debug = rules_debug_stream();
  const bool dbg = tovi_log_stream_enabled(debug);
  *booted = true;

  if (rule.rule_type == RULEC_ABSENCE)
    // The stream-level timer empties its slot when it fires; any message with a value arms it
    // again. An armed-then-empty slot therefore means no data for the whole absence window.
    return impl.setup && impl.absence_event.load(std::memory_order_acquire) == nullptr;

  switch (r->metric_type) {
    case RULE_NUMERIC: {
      metric_window_t *mw = impl.window;
      if (!mw || mw->type != RULE_NUMERIC || !mw->stats.numeric) {
        if (dbg)
          tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}},
                         "no numeric window for %s (race on cancellation)\n", _signature);
        return false;
      }
      double prev = impl.numeric.last_observed_value;
      bool complete = false;
      metric_window_read_lock(mw);
      double v = numeric_stats_window_get(mw->stats.numeric, rule.windowing_function,
                                          rule.windowing_min_duration, &complete);
      metric_window_read_unlock(mw);
      *booted = complete;
      if (std::isnan(v)) {
        if (dbg)
          tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}},
                         "  value[%g => %g] cannot apply%s\n", prev, v,
                         complete ? "" : " (still booting)");
        return false;
      }
      impl.numeric.last_observed_value = v;
      double threshold = rule.info.numeric.value;
      if (dbg)
        tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}}, "  value[%g => %g] vs. %g\n", prev,
                       v, threshold);
      switch (rule.rule_type) {
        case RULEC_NUMERIC_MIN:
          return v < threshold;
        case RULEC_NUMERIC_MAX:
          return v > threshold;
        case RULEC_NUMERIC_EQ:
          return v == threshold;
        case RULEC_NUMERIC_NEQ:
          return v != threshold;
        case RULEC_NUMERIC_CHANGE:
          return (std::isnan(prev) || v != prev) && get_last_rule() != RULE_INDEX_UNDETERMINED;
        default:
          break;
      }
      break;
    }
    case RULE_TEXT: {
      metric_window_t *mw = impl.window;
      if (!mw || mw->type != RULE_TEXT || !mw->stats.text) {
        if (dbg)
          tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}},
                         "no text window for %s (race on cancellation)\n", _signature);
        return false;
      }
      // A grouped stream's holder is fed by the workers of every metric of the group.
      metric_window_lock_if(mw, grouped);
      const text_info_t *ti = mw->stats.text;
      const char *value = text_info_value(ti);
      impl.set_text(value, value ? ti->value_len : 0);
      bool holds = false;
      bool known = true;
      switch (rule.rule_type) {
        case RULEC_TEXT_MATCH:
          holds = text_info_exact_match(ti, rule.value_str.c_str());
          break;
        case RULEC_TEXT_NOMATCH:
          holds = !text_info_exact_match(ti, rule.value_str.c_str());
          break;
        case RULEC_TEXT_CONTAINS:
        case RULEC_TEXT_NOCONTAINS: {
          // A match stopped by its limit says neither "contains" nor "does not contain".
          int res = text_info_contains_result(ti, rule.info.text.expr, rule.info.text.expr_extra);
          holds = rule.rule_type == RULEC_TEXT_CONTAINS ? res == 1 : res == 0;
          break;
        }
        case RULEC_TEXT_CHANGE:
          holds = text_info_just_changed(ti);
          break;
        default:
          known = false;
          break;
      }
      metric_window_unlock_if(mw, grouped);
      if (known) return holds;
      break;
    }
    case RULE_HISTOGRAM: {
      metric_window_t *mw = impl.window;
      if (!mw || mw->type != RULE_HISTOGRAM || !mw->stats.histogram) {
        if (dbg)
          tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}},
                         "no hist window for %s (race on cancellation)\n", _signature);
        return false;
      }
      double prev = impl.numeric.last_observed_value;
      metric_window_read_lock(mw);
      double v = histogram_stats_window_get(mw->stats.histogram, rule.windowing_function,
                                            rule.criteria_windowing_parameter);
      metric_window_read_unlock(mw);
      if (std::isnan(v)) {
        if (dbg)
          tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}}, "  value[%g => %g] cannot apply\n",
                         prev, v);
        return false;
      }
      impl.numeric.last_observed_value = v;
      double threshold = rule.info.numeric.value;
      if (dbg)
        tovi_log_write(debug, {mlkv_rs(this, r), {"rule", i}}, "  value[%g => %g] vs. %g\n", prev,
                       v, threshold);
      if (rule.rule_type == RULEC_HISTOGRAM_Q_MIN) return v < threshold;
      if (rule.rule_type == RULEC_HISTOGRAM_Q_MAX) return v > threshold;
      break;
    }
    default:
      break;
  }
  // The parser refuses rulesets whose rules do not fit their metric type.
  tovi_log(tovi_error, "metric_type: %d/%s, rule_type = %d/%s\n", int(r->metric_type),
           rule_metric_type_name(r->metric_type), int(rule.rule_type),
           rule_criteria_name(rule.rule_type));
  tovi_assert(!"rule criterion foreign to the ruleset's metric type");
  return false;
}

// ---- Host and check id
// ----------------------------------------------------------------------------

bool rulestream_c::extract_orvane_extended_info(const vask_metric_message_t *m) {
  // A source that names no host (a bare-UUID check field) changes nothing.
  if (!m->host) return false;
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  bool changed = false;
  std::string_view host(m->host, m->host_len);
  if (_host.empty()) {
    _host.assign(host);
  } else if (_host != host) {
    _host.assign(host);
    changed = true;
  }
  if (m->check_id != 0 && m->check_id != _check_id) {
    if (_check_id != 0) changed = true;
    _check_id = m->check_id;
  }
  return changed;
}

// ---- Explicit transitions
// -------------------------------------------------------------------------

bool rulestream_c::check_and_trigger(int32_t sev, int8_t rule, uint64_t trigger_time_ms,
                                     const ruleset_sp &ruleset) {
  if (!ruleset) return false;
  stream_lock_c lock(*this);
  if (!should_trigger(sev, rule)) return false;
  tovi_log_fields(rules_debug_stream(), (mlkv_rs(this, ruleset)), "ecid[%lu] %d -> %d\n",
                  (unsigned long)ruleset->event_criteria_id, get_last_sev(), sev);
  mark_triggered(trigger_time_ms, sev, rule, ruleset->check_uuid);
  reevaluate(ms_to_timeval(trigger_time_ms));
  return true;
}
