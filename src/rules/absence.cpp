// Absence detection: arming and pushing back the absence timers, their callbacks, and the
// synthetic lines they feed. The design is described in absence.h.
//
// Pushing back. Every message with a value pushes back the timers of each absence rule. A pending
// timer is moved (eventer_update_in) rather than replaced, so the common case allocates nothing.
// Only a timer that is not pending any more (it fired, or fires right now) is cleared and
// replaced by a new one. A firing stream-level timer feeds its line only when it is still the
// timer in its slot: had a message replaced it meanwhile, data arrived and nothing is absent.
//
// References. A slot holds a reference of its own to its timer. The ruleset-level slot is read
// by every worker that applies a message of the ruleset, without a common lock, so whoever empties
// a slot drops the slot's reference through safe memory: a worker that loaded the slot inside a
// bracket may still call eventer_update_in on what it found. A stream-level slot changes only
// under its stream's lock.
#include "rules/absence_internal.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "brokers.h"
#include "metrics.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "stats/stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

std::atomic<uint64_t> absence_triggers{0};
std::atomic<uint64_t> absence_trigger_errors{0};

namespace {

// The fields every synthetic line shares, in the order the formats take them.
struct line_fields_t {
  unsigned long seconds = 0;
  unsigned long micros = 0;
  const char *host = "internal";
  unsigned long account_id = 0;
};

line_fields_t line_fields(uint64_t account_id, const struct timeval *time, const char *host) {
  line_fields_t f;
  if (time) {
    f.seconds = (unsigned long)time->tv_sec;
    f.micros = (unsigned long)time->tv_usec;
  }
  if (host && *host) f.host = host;
  f.account_id = (unsigned long)account_id;
  return f;
}

// printf into a string; false when formatting fails.
__attribute__((format(printf, 2, 3))) bool format_into(std::string *out, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(again);
    return false;
  }
  std::string s(size_t(n), '\0');
  vsnprintf(s.data(), size_t(n) + 1, fmt, again);
  va_end(again);
  *out = std::move(s);
  return true;
}

void count_error() {
  absence_trigger_errors.fetch_add(1, std::memory_order_relaxed);
}

void deref_event(void *e) {
  eventer_deref(static_cast<eventer_t>(e));
}

// Drops a slot's reference to e once no reader inside a bracket can still hold it.
void release_slot_reference(eventer_t e) {
  tovi_memory_defer(deref_event, e);
}

rule_trigger_t *new_trigger(uint64_t ecid, const char *signature, size_t len) {
  auto *t = static_cast<rule_trigger_t *>(calloc(1, sizeof(rule_trigger_t)));
  if (!t) return nullptr;
  t->event_criteria_id = ecid;
  if (signature) {
    t->signature = strndup(signature, len);
    if (!t->signature) {
      free(t);
      return nullptr;
    }
  }
  return t;
}

int pinned_owner(uint64_t ecid) {
  return eventer_choose_owner(ecid & 0xffffffffu);
}

// A new ruleset-level timer, installed unless the slot already holds one.
void arm_ruleset_timer(ruleset_t &r, const struct timeval &delay) {
  rule_trigger_t *t = new_trigger(r.event_criteria_id, nullptr, 0);
  if (!t) return;
  eventer_t e = eventer_alloc_timer_in(trigger_ruleset_callback, t, delay);
  r.replace_absence_event_or_kill(e);
}

// A new stream-level timer for one rule, installed unless the slot already holds one. `pin`
// puts it on the ruleset's loop thread; otherwise it goes to the adding thread.
void arm_stream_timer(const ruleset_t &r, rulestream_c &rs, ruleimpl_t &impl,
                      const struct timeval &delay, bool pin) {
  std::string_view sig = rs.get_signature();
  rule_trigger_t *t = new_trigger(r.event_criteria_id, sig.data(), sig.size());
  if (!t) return;
  eventer_t e = eventer_alloc_timer_in(rulestream_c::trigger_callback, t, delay);
  if (pin) eventer_set_owner(e, pinned_owner(r.event_criteria_id));
  impl.replace_absence_event_or_kill(e);
}

// Pushes the timer in `slot` back by delay when it is still pending; true when it did.
bool push_back(std::atomic<eventer_t> &slot, const struct timeval &delay) {
  // Acquire: the record was published by the thread that installed it.
  eventer_t e = slot.load(std::memory_order_acquire);
  return e && eventer_update_in(e, delay);
}

// Empties the slot when it still holds e; true for the thread that did.
bool take_from_slot(std::atomic<eventer_t> &slot, eventer_t e) {
  eventer_t expected = e;
  if (!slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel,
                                    std::memory_order_acquire))
    return false;
  release_slot_reference(e);
  return true;
}

const char *type_line_prefix(rule_metric_type_t type) {
  switch (type) {
    case RULE_NUMERIC:
    case RULE_TEXT:
      return "M";
    case RULE_HISTOGRAM:
      return "H1";
    default:
      return nullptr;
  }
}

// The value part after the metric name: type letter and null, or the histogram's null.
const char *type_line_suffix(rule_metric_type_t type) {
  switch (type) {
    case RULE_NUMERIC:
      return "\tn\t[[null]]\n";
    case RULE_TEXT:
      return "\ts\t[[null]]\n";
    default:
      return "\t[[null]]\n";
  }
}

}  // namespace

struct timeval absence_delay(const rule_t &rule) {
  struct timeval tv {};
  double w = rule.absence_window;
  tv.tv_sec = (w >= 1.0) ? time_t(w) : 1;
  return tv;
}

bool ruleset_names_one_metric(const ruleset_t &r) {
  return r.filter_ast == nullptr && (r.filter == nullptr || *r.filter == '\0') &&
         !r.pattern.metric_name && !r.pattern.any_check_uuid;
}

// ---- Lines
// ---------------------------------------------------------------------------------------

bool absence_pattern_line(std::string *out, rule_metric_type_t type, uint64_t account_id,
                          const char *signature, size_t signature_len, const char *st_tags,
                          int st_tags_len, const struct timeval *time, const char *host) {
  const line_fields_t f = line_fields(account_id, time, host);
  if (!st_tags) st_tags_len = 0;
  // "<uuid>`<name>|ST[<tags>]": 36 + 1 + name + 4 + tags + 1.
  if (!signature || st_tags_len < 0 || signature_len < size_t(st_tags_len) + 42) {
    tovi_log(rules_error_stream(), "absence: malformed stream signature '%.*s'\n",
             int(signature_len), signature ? signature : "");
    return false;
  }
  const int name_len = int(signature_len - size_t(st_tags_len) - 42);
  const char *tags = st_tags ? st_tags : "";
  const char *prefix = type_line_prefix(type);
  if (!prefix) {
    tovi_log(rules_processerrors_stream(),
             "Unknown metric type in rule: %s\t%lu.%06lu\t%s`queltd`c_%lu_0`%.36s\t%.*s|ST[%.*s]\t["
             "[null]]\n",
             internal_broker_name, f.seconds, f.micros, f.host, f.account_id, signature, name_len,
             signature + 37, st_tags_len, tags);
    return false;
  }
  return format_into(out, "%s\t%s\t%lu.%06lu\t%s`queltd`c_%lu_0`%.36s\t%.*s|ST[%.*s]%s", prefix,
                     internal_broker_name, f.seconds, f.micros, f.host, f.account_id, signature,
                     name_len, signature + 37, st_tags_len, tags, type_line_suffix(type));
}

bool absence_ruleset_line(std::string *out, const ruleset_t &r, const char *st_tags,
                          int st_tags_len, const struct timeval *time, const char *host) {
  const line_fields_t f = line_fields(r.account_id, time, host);
  char uuid[37];
  tovi_uuid_unparse(r.check_uuid, uuid);
  const char *name = r.metric_name ? r.metric_name : "";
  if (!st_tags || st_tags_len < 0) st_tags_len = 0;
  const char *tags = st_tags ? st_tags : "";
  const char *prefix = type_line_prefix(r.metric_type);
  if (!prefix) {
    tovi_log(
        rules_processerrors_stream(),
        "Unknown metric type in rule: %s\t%lu.%06lu\t%s`queltd`c_%lu_0`%s\t%s|ST[%.*s]\t[[null]"
        "]\n",
        internal_broker_name, f.seconds, f.micros, f.host, f.account_id, uuid, name, st_tags_len,
        tags);
    return false;
  }
  // A canonical name carries its own tag block; a second one would name another metric.
  if (strstr(name, "|ST[") != nullptr)
    return format_into(out, "%s\t%s\t%lu.%06lu\t%s`queltd`c_%lu_0`%s\t%s%s", prefix,
                       internal_broker_name, f.seconds, f.micros, f.host, f.account_id, uuid, name,
                       type_line_suffix(r.metric_type));
  return format_into(out, "%s\t%s\t%lu.%06lu\t%s`queltd`c_%lu_0`%s\t%s|ST[%.*s]%s", prefix,
                     internal_broker_name, f.seconds, f.micros, f.host, f.account_id, uuid, name,
                     st_tags_len, tags, type_line_suffix(r.metric_type));
}

// ---- Feeding
// -------------------------------------------------------------------------------------

bool directly_trigger_log(const std::string &line) {
  vask_metric_message_t *m = vask_metric_message_create(line.data(), line.size());
  if (!m) {
    count_error();
    tovi_log(rules_error_stream(), "Failed to create internal absence trigger\n'%s'\n",
             line.c_str());
    return false;
  }
  bool fed = false;
  if (vask_message_decoder_parse_line(m, true) == 1 && m->value.is_null) {
    // An absent value remembers what it would have been, so that the rulesets of that type
    // still apply to it.
    metric_type_t parsed = m->value.type;
    m->value.type = METRIC_ABSENT;
    m->value.value.absent_type = parsed;
    if (vask_metric_director_lane_count() > 0) {
      // The owning worker applies it, as it does the metric's received lines: the metric's
      // windows are that worker's alone.
      vask_director_result_t rv = vask_metric_director_submit_message(m);
      fed = rv == VASK_DIRECTOR_DELIVERED;
      if (!fed)
        tovi_log(rules_error_stream(), "absence: no worker took the internal trigger (%d)\n'%s'\n",
                 int(rv), line.c_str());
    } else {
      vask_metric_director_message_ref(m);  // handed over to the intake
      handle_vask_metric_message(m);
      fed = true;
    }
  } else {
    tovi_log(rules_error_stream(), "Failed to create internal absence trigger\n'%s'\n",
             line.c_str());
  }
  vask_metric_director_message_deref(m);
  if (fed)
    absence_triggers.fetch_add(1, std::memory_order_relaxed);
  else
    count_error();
  return fed;
}

bool trigger_ruleset_via_log(const ruleset_t &ruleset, const char *st_tags, int st_tags_len,
                             const struct timeval *time, const char *host) {
  std::string line;
  if (!absence_ruleset_line(&line, ruleset, st_tags, st_tags_len, time, host)) {
    count_error();
    return false;
  }
  return directly_trigger_log(line);
}

void rulestream_c::trigger_pattern_match_via_log(const ruleset_t &ruleset, const char *st_tags,
                                                 int st_tags_len, const struct timeval *time,
                                                 const char *host) {
  std::string line;
  if (!absence_pattern_line(&line, ruleset.metric_type, ruleset.account_id, _signature,
                            _signature_len, st_tags, st_tags_len, time, host)) {
    count_error();
    return;
  }
  directly_trigger_log(line);
}

void rulestream_c::trigger_via_log(const struct timeval *time) {
  ruleset_sp r = _ruleset.lock();
  if (!r) return;
  std::string host;
  {
    tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
    host = _host;
  }
  if (r->filter_ast || r->pattern.metric_name || r->pattern.any_check_uuid)
    trigger_pattern_match_via_log(*r, _st_tags, _st_tags_len, time, host.c_str());
  else
    trigger_ruleset_via_log(*r, _st_tags, _st_tags_len, time, host.c_str());
}

void absence_trigger_loaded_ruleset(const ruleset_sp &r) {
  if (!r || r->rules.empty() || r->rules.back().rule_type != RULEC_ABSENCE) return;
  if (!ruleset_names_one_metric(*r)) return;
  trigger_ruleset_via_log(*r, nullptr, 0, nullptr, nullptr);
}

// ---- Timers
// --------------------------------------------------------------------------------------

void rules_setup_absence(const ruleset_sp &ruleset, rulestream_c *stream) {
  if (!ruleset) return;
  ruleset_t &r = *ruleset;
  std::unique_lock<tovi_recursive_mutex_c> lock;
  if (stream) lock = std::unique_lock<tovi_recursive_mutex_c>(stream->data_mutex());
  for (size_t i = 0; i < r.rules.size(); i++) {
    const rule_t &rule = r.rules[i];
    if (rule.rule_type != RULEC_ABSENCE) continue;
    const struct timeval delay = absence_delay(rule);
    if (stream && int(i) < stream->nrules_impl()) {
      ruleimpl_t &impl = stream->rule_impl(int(i));
      // Once armed, only data arms the stream's timer again: a fired rule keeps holding.
      if (!impl.setup && impl.absence_event.load(std::memory_order_acquire) == nullptr) {
        impl.setup = true;
        arm_stream_timer(r, *stream, impl, delay, true);
      }
    }
    if (r.absence_event.load(std::memory_order_acquire) == nullptr) arm_ruleset_timer(r, delay);
  }
}

void rules_rearm_absence(const ruleset_sp &ruleset, rulestream_c *stream, int rule) {
  if (!ruleset || rule < 0 || size_t(rule) >= ruleset->rules.size()) return;
  ruleset_t &r = *ruleset;
  const struct timeval delay = absence_delay(r.rules[size_t(rule)]);
  tovi_memory_scope_c bracket;
  if (!push_back(r.absence_event, delay)) {
    r.clear_absence_event();
    arm_ruleset_timer(r, delay);
  }
  if (!stream || rule >= stream->nrules_impl()) return;
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(stream->data_mutex());
  ruleimpl_t &impl = stream->rule_impl(rule);
  impl.setup = true;
  if (!push_back(impl.absence_event, delay)) {
    impl.clear_absence_event();
    arm_stream_timer(r, *stream, impl, delay, false);
  }
}

int rulestream_c::trigger_callback(eventer_t e, int, void *closure, struct timeval *now) {
  auto *t = static_cast<rule_trigger_t *>(closure);
  {
    tovi_memory_scope_c bracket;
    ruleset_sp r = t ? get_ruleset_by_id(t->event_criteria_id) : ruleset_sp();
    rulestream_sp rs;
    if (r && t->signature)
      rs = r->get_rulestream(nullptr, t->signature, strlen(t->signature), false);
    if (rs) {
      bool ours = false;
      {
        tovi_lock_guard_c<tovi_recursive_mutex_c> lock(rs->_data_mutex);
        for (ruleimpl_t &impl : rs->_rules_impl)
          ours |= take_from_slot(impl.absence_event, e);
      }
      // A timer that is no longer in its slot was replaced by data that arrived meanwhile.
      if (ours) rs->trigger_via_log(now);
    }
  }
  rule_trigger_free(t);
  return 0;
}

int trigger_ruleset_callback(eventer_t e, int, void *closure, struct timeval *now) {
  auto *t = static_cast<rule_trigger_t *>(closure);
  {
    tovi_memory_scope_c bracket;
    ruleset_sp r = t ? get_ruleset_by_id(t->event_criteria_id) : ruleset_sp();
    // Only a ruleset that names one metric can speak for a metric it has never seen: a pattern,
    // any-check or filtered ruleset would feed its expression or the zero UUID as a metric.
    if (r && take_from_slot(r->absence_event, e) && r->get_ruleset_streams_size() == 0 &&
        ruleset_names_one_metric(*r))
      trigger_ruleset_via_log(*r, nullptr, 0, now, nullptr);
  }
  rule_trigger_free(t);
  return 0;
}

void absence_init(void) {
  static bool registered = false;
  if (registered) return;
  registered = true;
  stats_opts_t lines;
  lines.units = "lines";
  tovi_assert(stats_register_u64(rules_stats_ns(), "absence_triggers", STATS_COUNTER,
                                 &absence_triggers, lines));
  tovi_assert(stats_register_u64(rules_stats_ns(), "absence_trigger_errors", STATS_COUNTER,
                                 &absence_trigger_errors, lines));
  eventer_name_callback("rulestream_absence_timer", rulestream_c::trigger_callback);
  eventer_name_callback("ruleset_absence_timer", trigger_ruleset_callback);
}
