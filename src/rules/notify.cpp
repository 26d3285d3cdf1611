// Alert notifications: deciding whether a stream's newest state must be announced, building the
// alert document and publishing it on the bus; the ancestor search and the dependency cascade.
//
// Locks. Every stream has its own recursive mutex, and a thread never waits for one stream's
// mutex while it holds another's:
//   - the ancestor search reads the parents' streams' newest severity from their atomic copy
//     (published_sev) instead of locking them;
//   - the cascade to child rulesets is only recorded while a stream is locked
//     (rules_cascade_enqueue) and runs when the thread releases its last stream lock
//     (stream_lock_c counts them per thread).
// The cascade follows the parent-to-child relation, which operators define and which may hold a
// cycle: a cascade skips rulesets already on its path and stops six levels down.
//
// A document the bus module refuses is not an announced state: it is counted as failed and the
// last notified state stays as it was, so that the next re-evaluation sends it again. A stream is
// re-evaluated only when its state changes, and a stream that stays raised (or gets no more data)
// would keep its refused alert for good; so every refused stream is also remembered and
// re-evaluated once a second, on a loop thread, until the bus takes its alert.
//
// Clusters. Both owners of a metric hold its rulesets and both publish its alerts while they are
// among its live owners; consumers tell the copies apart by "reporter". One publisher per metric
// would lose alerts: a node that is not responsible still records each state as announced, so
// the transitions a dead publisher raised before its death was noticed would never be sent by
// the other owner. When an owner dies its place among the live owners goes to the next node,
// which holds no ruleset for the metric: until the owner returns, one node publishes.
#include <json-c/json.h>
#include <pcre.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "brokers.h"
#include "store/store.h"
#include "rules/dependency_internal.h"
#include "general.h"
#include "metrics.h"
#include "rules/announce_internal.h"
#include "outlets/outlets.h"
#include "rules/absence_internal.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "daemon_stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_text.h"
#include "tovi/tovi_uuid.h"

std::atomic<uint64_t> alert_notifications_sent{0};
std::atomic<uint64_t> alert_notifications_suppressed{0};
std::atomic<uint64_t> alert_notifications_failed{0};

// The check-tag hook: calls fn(closure, tag) for every tag of the check with this UUID text.
typedef void (*pelder_check_tags_each_fn_t)(const char *uuid, void (*fn)(void *, const char *),
                                            void *closure);

namespace {

// How deep a cascade or an ancestor search goes.
constexpr int max_dependency_levels = 6;
// Children asked for in one call before a larger buffer is needed.
constexpr int children_batch = 100;

// Compiled by rules_init; read-only afterwards.
pcre *cte_re = nullptr;
pcre_extra *cte_re_extra = nullptr;

pelder_check_tags_each_fn_t check_tags_hook() {
  return reinterpret_cast<pelder_check_tags_each_fn_t>(
      tovi_function_find("pelder_check_tags_each_dyn"));
}

uint64_t wall_clock_ms() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

// JSON has no NaN or infinity.
json_object *json_double_or_null(double v) {
  return std::isfinite(v) ? json_object_new_double(v) : nullptr;
}

bool uuid_is_zero(const uint8_t uuid[16]) {
  for (int i = 0; i < 16; i++)
    if (uuid[i]) return false;
  return true;
}

bool is_numeric_criterion(rule_criteria_t c) {
  return rule_criterion_traits(c).value == RULEC_VALUE_NUMBER;
}
bool is_text_criterion(rule_criteria_t c) {
  return rule_criterion_traits(c).value == RULEC_VALUE_TEXT;
}

// ---- The per-thread cascade state ----

struct cascade_t {
  uint64_t ecid;
  struct timeval time;
  int depth;  // rulesets on the path, ecid the last of them
  uint64_t path[max_dependency_levels + 1];
};

struct cascade_state_t {
  int held = 0;                        // stream locks this thread holds
  bool draining = false;               // the cascades are being run further up this thread's stack
  const cascade_t *current = nullptr;  // the path of the re-evaluation in progress, if any
  std::deque<cascade_t> pending;
};

thread_local cascade_state_t cascade_state;

bool on_path(const cascade_t &c, uint64_t ecid) {
  for (int i = 0; i < c.depth; i++)
    if (c.path[i] == ecid) return true;
  return false;
}

void run_cascade(const cascade_t &c) {
  uint64_t batch[children_batch];
  std::vector<uint64_t> large;
  uint64_t *children = batch;
  int capacity = children_batch;
  int n = dependency_find_children(c.ecid, capacity, children);
  while (n > capacity) {
    large.resize(size_t(n));
    children = large.data();
    capacity = n;
    n = dependency_find_children(c.ecid, capacity, children);
  }
  for (int i = 0; i < n; i++) {
    uint64_t child = children[i];
    if (on_path(c, child)) continue;
    cascade_t step = c;
    step.ecid = child;
    step.path[step.depth++] = child;
    const cascade_t *saved = cascade_state.current;
    cascade_state.current = &step;
    ruleset_reevaluate_id(child, c.time);
    cascade_state.current = saved;
  }
}

void drain_cascades() {
  cascade_state_t &st = cascade_state;
  if (st.draining || st.pending.empty()) return;
  st.draining = true;
  while (!st.pending.empty()) {
    cascade_t c = st.pending.front();
    st.pending.pop_front();
    run_cascade(c);
  }
  st.draining = false;
}

// ---- Streams whose alert the bus refused

// A refused stream, found again through its ruleset and signature (a stream does not know its
// own shared pointer). Gone when the ruleset or the stream went.
struct refused_t {
  ruleset_wp ruleset;
  std::string signature;
  bool republish = false;  // a re-publication: sent again as the state is then
};

tovi_mutex_c refused_lock;
// Keyed by the stream's address: one entry a stream however often it was refused meanwhile.
std::unordered_map<const rulestream_c *, refused_t> refused_streams ABSL_GUARDED_BY(refused_lock);
bool refused_timer_armed ABSL_GUARDED_BY(refused_lock) = false;

constexpr long refused_retry_s = 1;
// Streams retried per pass: a bus that was away for long leaves many, and the pass runs on a
// loop thread. The rest wait for the next pass.
constexpr size_t refused_retry_budget = 2000;

int retry_refused(eventer_t, int, void *, struct timeval *);

void arm_refused_retry_locked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(refused_lock) {
  if (refused_timer_armed || !eventer_loop_running()) return;
  refused_timer_armed = true;
  eventer_add_in_s_us(retry_refused, nullptr, refused_retry_s, 0);
}

int retry_refused(eventer_t, int, void *, struct timeval *) {
  std::vector<refused_t> due;
  {
    tovi_lock_guard_c<tovi_mutex_c> g(refused_lock);
    refused_timer_armed = false;
    due.reserve(std::min(refused_streams.size(), refused_retry_budget));
    for (auto it = refused_streams.begin();
         it != refused_streams.end() && due.size() < refused_retry_budget;) {
      due.push_back(std::move(it->second));
      it = refused_streams.erase(it);
    }
    if (!refused_streams.empty()) arm_refused_retry_locked();
  }
  struct timeval now;
  gettimeofday(&now, nullptr);
  tovi_memory_scope_c bracket;
  for (refused_t &entry : due) {
    ruleset_sp r = entry.ruleset.lock();
    if (!r) continue;
    rulestream_sp rs;
    r->signature_to_stream.read_op([&](const signature_to_stream_map_t &table) {
      auto it = table.find(std::string_view(entry.signature));
      if (it != table.end()) rs = it->second;
    });
    if (!rs) continue;
    // A re-publication is built again from the state as it is now; an alert is sent if its
    // state is still unannounced. A refusal puts the stream back in the set.
    if (entry.republish)
      rs->renotify();
    else
      rs->reevaluate(now);
  }
  return 0;
}

void remember_refused(const rulestream_c *rs, const ruleset_sp &r, std::string_view signature,
                      bool republish) {
  tovi_lock_guard_c<tovi_mutex_c> g(refused_lock);
  auto emplaced = refused_streams.try_emplace(rs);
  bool fresh = emplaced.second;
  refused_t &entry = emplaced.first->second;
  entry.ruleset = r;
  entry.signature.assign(signature);
  // An owed re-publication stays owed when a real alert of the stream is refused too.
  entry.republish = republish || (!fresh && entry.republish);
  // Without a running loop (a tool or a test driving the rules directly) nothing retries; the
  // next change of the stream's state still sends.
  arm_refused_retry_locked();
}

void log_send_failure(const ruleset_t &r, const rulestream_c &rs) {
  // At most one line a second: a bus that refuses everything must not flood the log.
  static std::atomic<int64_t> last_logged_s{0};
  int64_t now_s = int64_t(wall_clock_ms() / 1000);
  int64_t last = last_logged_s.load(std::memory_order_relaxed);
  if (now_s == last ||
      !last_logged_s.compare_exchange_strong(last, now_s, std::memory_order_relaxed))
    return;
  tovi_log_fields(rules_error_stream(), (mlkv_rs(&rs, &r)),
                  "alert for ecid %lu refused by the bus (%lu refused so far)\n",
                  (unsigned long)r.event_criteria_id,
                  (unsigned long)alert_notifications_failed.load(std::memory_order_relaxed));
}

}  // namespace

// ---- Log streams and start-up
// ---------------------------------------------------------------------

tovi_log_stream_t rules_processerrors_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/rules/processerrors");
  return ls;
}

tovi_log_stream_t rules_fire_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("fire/rules");
  return ls;
}

void rules_notify_init(void) {
  std::string expr;
  if (!cte_re && tovi_conf_get_string(nullptr, "//notifications/@check_tags_exclude", &expr)) {
    const char *error = nullptr;
    int offset = 0;
    cte_re = pcre_compile(expr.c_str(), 0, &error, &offset, nullptr);
    if (!cte_re)
      tovi_log(tovi_error, "Failed to compile check_tags_exclude expression '%s' @ %d (%s)\n",
               expr.c_str(), offset, error ? error : "");
    else
      cte_re_extra = rules_pcre_study(cte_re);
  }

  static bool registered = false;
  if (registered) return;
  registered = true;
  stats_ns_t *notifications =
      stats_register_ns(stats_recorder_root(stats_recorder()), "notifications");
  tovi_assert(notifications);
  stats_ns_t *alerts = stats_register_ns(notifications, "alerts");
  tovi_assert(alerts);
  tovi_assert(stats_ns_add_tag(alerts, "notification-type", "alerts"));
  stats_opts_t opts;
  opts.units = "notifications";
  tovi_assert(stats_register_u64(alerts, "sent", STATS_COUNTER, &alert_notifications_sent, opts));
  tovi_assert(stats_register_u64(alerts, "suppressed", STATS_COUNTER,
                                 &alert_notifications_suppressed, opts));
  tovi_assert(
      stats_register_u64(alerts, "failed", STATS_COUNTER, &alert_notifications_failed, opts));
}

void accrue_tags(void *closure, const char *tag) {
  if (!closure || !tag) return;
  int len = int(strlen(tag));
  if (cte_re) {
    int ovector[3];
    if (pcre_exec(cte_re, cte_re_extra, tag, len, 0, 0, ovector, 3) >= 0) return;
  }
  json_object_array_add(static_cast<json_object *>(closure), json_object_new_string_len(tag, len));
}

// ---- The stream lock and the cascade
// --------------------------------------------------------------

stream_lock_c::stream_lock_c(rulestream_c &rs) : _rs(rs) {
  rs.data_mutex().lock();
  cascade_state.held++;
}

stream_lock_c::~stream_lock_c() {
  _rs.data_mutex().unlock();
  if (--cascade_state.held == 0) drain_cascades();
}

void rules_cascade_enqueue(uint64_t ecid, const struct timeval &time) {
  cascade_state_t &st = cascade_state;
  cascade_t c;
  c.ecid = ecid;
  c.time = time;
  if (st.current) {
    // Re-evaluated by a cascade: the path so far already ends with this ruleset.
    c.depth = st.current->depth;
    memcpy(c.path, st.current->path, sizeof(c.path));
    if (c.depth > max_dependency_levels) return;
  } else {
    c.depth = 1;
    c.path[0] = ecid;
  }
  st.pending.push_back(c);
  // A caller that holds no stream lock (a test, a timer) gets its cascade at once.
  if (st.held == 0) drain_cascades();
}

// ---- Decision
// ---------------------------------------------------------------------------------------

void rulestream_c::reevaluate(const struct timeval &time) {
  stream_lock_c lock(*this);
  ruleset_sp r = _ruleset.lock();
  if (!r) return;
  const int8_t last_rule = get_last_rule();
  if (last_rule == RULE_INDEX_UNDETERMINED) return;
  const int32_t last_sev = get_last_sev();
  const int32_t prev_sev = get_next_to_last_sev();

  // Clears are never held back.
  bool allowed = last_sev == RULE_SEV_CLEAR ||
                 rules_maintenance_not_active(r->event_criteria_id, r->account_id, _check_id,
                                              _host.empty() ? nullptr : _host.c_str(), prev_sev,
                                              last_sev, time) != 0;
  if (allowed) {
    ruleset_sp ancestor = get_ancestral_sev1();
    uint64_t progeny = ancestor ? ancestor->event_criteria_id : 0;
    bool already = !_was_in_maintenance && _last_notified_progeny == progeny &&
                   ((_last_notified_sev == last_sev && _last_notified_rule == last_rule) ||
                    (_last_notified_sev == RULE_SEV_CLEAR && last_sev == RULE_SEV_CLEAR));
    if (!already) notify(wall_clock_ms(), last_sev, last_rule, get_last_uuid(), progeny);
  } else {
    _was_in_maintenance = true;
  }

  if (last_sev != prev_sev && (last_sev == 1 || prev_sev == 1))
    rules_cascade_enqueue(r->event_criteria_id, time);
}

void ruleset_reevaluate_id(uint64_t ecid, const struct timeval &time) {
  ruleset_sp r = get_ruleset_by_id(ecid);
  if (!r) return;
  for (const rulestream_sp &rs : r->get_ruleset_streams())
    rs->reevaluate(time);
}

// ---- Ancestors
// ----------------------------------------------------------------------------------------

ruleset_sp rulestream_c::get_ancestral_sev1() {
  ruleset_sp current = _ruleset.lock();
  if (!current) return {};
  uint64_t seen[max_dependency_levels + 1];
  int nseen = 0;
  seen[nseen++] = current->event_criteria_id;
  for (int level = 0; level < max_dependency_levels; level++) {
    uint64_t parent_id = current->parent_event_criteria_id;
    if (parent_id == 0) return {};
    for (int i = 0; i < nseen; i++)
      if (seen[i] == parent_id) return {};  // a cycle: nothing new above
    ruleset_sp parent = get_ruleset_by_id(parent_id);
    if (!parent) return {};
    bool raised = false;
    parent->signature_to_stream.read_op([&](const signature_to_stream_map_t &table) {
      for (const auto &[signature, stream] : table)
        if (stream->published_sev() == 1) {
          raised = true;
          break;
        }
    });
    if (raised) return parent;
    seen[nseen++] = parent_id;
    current = std::move(parent);
  }
  return {};
}

ruleset_sp ruleset_get_ancestral_sev1_id(uint64_t ecid) {
  ruleset_sp r = get_ruleset_by_id(ecid);
  if (!r) return {};
  for (const rulestream_sp &rs : r->get_ruleset_streams())
    if (ruleset_sp a = rs->get_ancestral_sev1()) return a;
  return {};
}

// ---- The document
// -----------------------------------------------------------------------------------

json_object *rulestream_c::construct_json_notification(std::optional<uint64_t> progeny_arg) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  ruleset_sp r = _ruleset.lock();
  if (!r) return nullptr;
  const uint64_t progeny = progeny_arg.value_or(_last_notified_progeny);
  const int8_t last_rule = get_last_rule();
  const int32_t last_sev = get_last_sev();
  const int32_t prev_sev = get_next_to_last_sev();
  const bool has_rule =
      last_rule >= 0 && last_rule < r->nrules && size_t(last_rule) < r->rules.size();

  json_object *doc = json_object_new_object();
  json_object *sev = json_object_new_object();
  json_object_object_add(doc, "sev", sev);

  json_object *rule_obj = json_object_new_object();
  if (has_rule) {
    const rule_t &rule = r->rules[size_t(last_rule)];
    if (r->metric_type == RULE_TEXT) {
      json_object_object_add(
          rule_obj, "criteria",
          json_object_new_string_len(rule.value_str.data(), int(rule.value_str.size())));
      json_object_object_add(rule_obj, "rule",
                             json_object_new_string(rule_criteria_name(rule.rule_type)));
    } else {
      json_object_object_add(rule_obj, "criteria", json_double_or_null(rule.info.numeric.value));
      json_object_object_add(rule_obj, "rule",
                             json_object_new_string(rule_criteria_name(rule.rule_type)));
      json_object_object_add(
          rule_obj, "windowing_function",
          json_object_new_string(windowing_function_name(rule.windowing_function)));
      json_object_object_add(rule_obj, "windowing_duration",
                             json_object_new_int(rule.windowing_duration / 1000));
    }
  } else {
    json_object_object_add(rule_obj, "rule", json_object_new_string("clear"));
    json_object_object_add(rule_obj, "criteria", nullptr);
  }
  json_object_object_add(sev, "rule", rule_obj);
  json_object_object_add(sev, "self_event_criteria_id",
                         json_object_new_uint64(r->event_criteria_id));

  if (r->pattern.metric_name) {
    json_object_object_add(sev, "pattern",
                           json_object_new_string(r->metric_name ? r->metric_name : ""));
    std::string_view name = get_signature();
    name = name.size() > 37 ? name.substr(37) : std::string_view();
    if (st_tags_len() <= 0) {
      size_t drop = size_t(st_tags_len()) + 5;  // the empty "|ST[]"
      name = name.size() >= drop ? name.substr(0, name.size() - drop) : std::string_view();
    }
    json_object_object_add(sev, "name", json_object_new_string_len(name.data(), int(name.size())));
  } else {
    json_object_object_add(sev, "name",
                           json_object_new_string(r->metric_name ? r->metric_name : ""));
  }

  json_object_object_add(sev, "ordering",
                         json_object_new_int(last_rule >= 0 ? last_rule + 1 : RULE_SEV_CLEAR));
  json_object_object_add(sev, "self_priority",
                         json_object_new_int(last_sev >= 0 ? last_sev : RULE_SEV_CLEAR));
  json_object_object_add(sev, "self_priority_prev",
                         json_object_new_int(prev_sev >= 0 ? prev_sev : RULE_SEV_CLEAR));
  json_object_object_add(sev, "ancestor_event_criteria_id",
                         progeny ? json_object_new_uint64(progeny) : nullptr);
  json_object_object_add(sev, "ancestor_priority", progeny ? json_object_new_int(1) : nullptr);

  char uuid_text[37];
  tovi_uuid_unparse(uuid_is_zero(r->check_uuid) ? _last_notified_uuid : r->check_uuid, uuid_text);
  json_object_object_add(sev, "uuid", json_object_new_string(uuid_text));
  if (pelder_check_tags_each_fn_t hook = check_tags_hook()) {
    json_object *tags = json_object_new_array();
    hook(uuid_text, accrue_tags, tags);
    json_object_object_add(sev, "check_tags", tags);
  }
  json_object_object_add(sev, "signature",
                         json_object_new_string_len(_signature, int(_signature_len)));
  char reporter[37];
  tovi_uuid_unparse(metrics_my_cluster_id(), reporter);
  json_object_object_add(sev, "reporter", json_object_new_string(reporter));
  json_object_object_add(sev, "self_account_id", json_object_new_uint64(r->account_id));
  json_object_object_add(sev, "leaving_maintenance", json_object_new_boolean(_was_in_maintenance));

  const char *broker = nullptr;
  size_t broker_len = 0;
  if (_broker && broker_name(_broker, &broker, &broker_len) == 0 && broker)
    json_object_object_add(sev, "vask", json_object_new_string_len(broker, int(broker_len)));
  else
    json_object_object_add(sev, "vask", nullptr);

  if (!has_rule) {
    append_last_value_to_json(sev);
  } else {
    const rule_t &rule = r->rules[size_t(last_rule)];
    const ruleimpl_t &impl = _rules_impl[size_t(last_rule)];
    if (rule.rule_type == RULEC_ABSENCE) {
      if (last_sev == RULE_SEV_CLEAR && rule.severity != RULE_SEV_CLEAR)
        append_last_value_to_json(sev);
      else
        json_object_object_add(sev, "value", nullptr);
    } else if (is_numeric_criterion(rule.rule_type)) {
      json_object_object_add(sev, "value", json_double_or_null(impl.numeric.last_observed_value));
    } else if (is_text_criterion(rule.rule_type)) {
      tovi_memory_scope_c bracket;
      const char *text = impl.text.last_observed_value.load(std::memory_order_acquire);
      json_object_object_add(sev, "value", text ? json_object_new_string(text) : nullptr);
    } else {
      json_object_object_add(sev, "value", nullptr);
    }
  }
  return doc;
}

// ---- Publishing
// -------------------------------------------------------------------------------------

bool rulestream_c::notify(uint64_t ms, int32_t sev, int8_t rule, const uint8_t uuid[16],
                          uint64_t progeny, bool republish) {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  ruleset_sp r = _ruleset.lock();
  if (!r) return false;
  uint8_t previous_uuid[16];
  memcpy(previous_uuid, _last_notified_uuid, 16);
  memmove(_last_notified_uuid, uuid, 16);

  json_object *doc = construct_json_notification(progeny);
  tovi_log_fields(rules_debug_stream(), (mlkv_rs(this, r)),
                  "notify[%lu] -> { \"ms\": %lu, \"sev\": %d, \"rule\": %d }\n",
                  (unsigned long)r->event_criteria_id, (unsigned long)ms, sev, int(rule));
  size_t doc_len = 0;
  const char *doc_str =
      doc ? json_object_to_json_string_length(doc, JSON_C_TO_STRING_PLAIN, &doc_len) : nullptr;
  tovi_assert(doc_str);
  // Names, tags and texts come from metric lines: bytes that are not UTF-8 are escaped.
  std::string fixed;
  if (tovi_json_utf8_repair(std::string_view(doc_str, doc_len), &fixed)) {
    doc_str = fixed.c_str();
    doc_len = fixed.size();
  }

  if (metrics_am_i_responsible(r->account_id, r->check_uuid, r->metric_name,
                               r->metric_name ? int(strlen(r->metric_name)) : 0)) {
    tovi_log_fields(rules_fire_stream(), (mlkv_rs(this, r)), "%s\n", doc_str);
    int rc = alerts_send_function()(alerts_exchange.c_str(), alerts_route.c_str(), alerts_mandatory,
                                    alerts_immediate, doc_str, doc_len, -1);
    if (rc != 0) {
      json_object_put(doc);
      memcpy(_last_notified_uuid, previous_uuid, 16);
      alert_notifications_failed.fetch_add(1, std::memory_order_relaxed);
      log_send_failure(*r, *this);
      remember_refused(this, r, std::string_view(_signature, _signature_len), republish);
      return false;
    }
    alert_notifications_sent.fetch_add(1, std::memory_order_relaxed);
    if (republish) rules_republications_sent.fetch_add(1, std::memory_order_relaxed);
    if (outlets_active()) outlets_announce(*this, r, doc_str, doc_len, ms, sev, rule);
    if (store_enabled()) {
      // What was announced, kept so that a restart still knows which streams were raised.
      json_object *value = nullptr;
      if (!json_object_object_get_ex(doc, "value", &value)) {
        json_object_object_foreach(doc, key, member) {
          (void)key;
          if (!value && member && json_object_is_type(member, json_type_object))
            json_object_object_get_ex(member, "value", &value);
        }
      }
      store_stream_state_put(store_stream_state_t{
          r->event_criteria_id, std::string(_signature, _signature_len), sev, rule, ms,
          value ? json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN) : "null"});
    }
  } else {
    alert_notifications_suppressed.fetch_add(1, std::memory_order_relaxed);
  }
  set_last_notified(true);
  json_object_put(doc);
  _last_notified_time_ms = ms;
  _last_notified_sev = sev;
  _last_notified_rule = rule;
  _last_notified_progeny = progeny;
  _was_in_maintenance = false;
  _remembered_sev = 0;
  return true;
}

bool rulestream_c::renotify() {
  tovi_lock_guard_c<tovi_recursive_mutex_c> lock(_data_mutex);
  // A stream that never announced anything has no state to announce again.
  if (_last_notified_sev == 0) return true;
  uint8_t uuid[16];
  memcpy(uuid, _last_notified_uuid, 16);
  return notify(_last_notified_time_ms, _last_notified_sev, _last_notified_rule, uuid,
                _last_notified_progeny, true);
}

void ruleset_renotify(const ruleset_sp &ruleset) {
  if (!ruleset) return;
  for (const rulestream_sp &rs : ruleset->get_ruleset_streams())
    rs->renotify();
}

namespace {

void renotify_visit(rulestream_c *stream, rules_sweep_t *sweep) {
  stream->renotify();
  sweep->rule_cnt++;
}

void renotify_done(rules_sweep_t *sweep) {
  tovi_log_fields(rules_debug_stream(), ({"reason", sweep->name}, {"rule_count", sweep->rule_cnt}),
                  "%s notified %ld rules.\n", sweep->name, long(sweep->rule_cnt));
  delete sweep;
}

}  // namespace

void ruleset_renotify_queued(uint64_t ecid) {
  auto *sweep = new rules_sweep_t{};
  snprintf(sweep->name, sizeof sweep->name, "last known state lookup");
  rulestream_sweeper_ruleset(ecid, RULES_SWEEP_ALL_BROKERS, renotify_visit, renotify_done, sweep);
}
