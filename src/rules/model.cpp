// The ruleset model: allocation, equality, name tables, destruction and the ruleset counters.
#include <cstdlib>
#include <cstring>
#include <new>

#include "rules/model_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

std::atomic<uint64_t> rulesets_current{0};
std::atomic<uint64_t> rulesets_loaded{0};
std::atomic<uint64_t> rulesets_suppressed{0};
std::atomic<uint64_t> rulesets_rejected{0};

namespace {

tovi_log_stream_t rules_error() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/rules");
  return ls;
}

// Missing texts equal missing or empty ones.
bool optional_text_equal(const char *a, const char *b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  return std::strcmp(a, b) == 0;
}

}  // namespace

bool rule_holds_expression(rule_criteria_t criteria) {
  return rule_criterion_traits(criteria).expression;
}

const char *rule_criteria_name(rule_criteria_t criteria) {
  if (unsigned(criteria) >= unsigned(RULEC_COUNT)) return "invalid";
  return rule_criterion_traits(criteria).name;
}

rule_t::rule_t(rule_t &&other) noexcept
    : severity(other.severity),
      rule_type(other.rule_type),
      windowing_function(other.windowing_function),
      windowing_duration(other.windowing_duration),
      windowing_min_duration(other.windowing_min_duration),
      criteria_windowing_parameter(other.criteria_windowing_parameter),
      wait(other.wait),
      absence_window(other.absence_window),
      criteria(std::move(other.criteria)),
      value_str(std::move(other.value_str)),
      info(other.info) {
  other.info = info_u{};
}

rule_t &rule_t::operator=(rule_t &&other) noexcept {
  if (this == &other) return *this;
  severity = other.severity;
  rule_type = other.rule_type;
  windowing_function = other.windowing_function;
  windowing_duration = other.windowing_duration;
  windowing_min_duration = other.windowing_min_duration;
  criteria_windowing_parameter = other.criteria_windowing_parameter;
  wait = other.wait;
  absence_window = other.absence_window;
  criteria = std::move(other.criteria);
  value_str = std::move(other.value_str);
  info = other.info;
  other.info = info_u{};
  return *this;
}

bool rule_t::operator==(const rule_t &other) const {
  return severity == other.severity && rule_type == other.rule_type &&
         windowing_function == other.windowing_function &&
         windowing_duration == other.windowing_duration &&
         windowing_min_duration == other.windowing_min_duration &&
         criteria_windowing_parameter == other.criteria_windowing_parameter && wait == other.wait &&
         absence_window == other.absence_window && criteria == other.criteria &&
         value_str == other.value_str;
}

void ruleset_time_t::store(const struct timeval &tv) {
  const uint64_t us = uint64_t(tv.tv_sec) * 1000000u + uint64_t(tv.tv_usec);
  microseconds.store(us, std::memory_order_relaxed);
}

void ruleset_time_t::store_ms(uint64_t ms) {
  microseconds.store(ms * 1000u, std::memory_order_relaxed);
}

struct timeval ruleset_time_t::load() const {
  const uint64_t us = microseconds.load(std::memory_order_relaxed);
  struct timeval tv;
  tv.tv_sec = time_t(us / 1000000u);
  tv.tv_usec = suseconds_t(us % 1000000u);
  return tv;
}

uint64_t ruleset_time_t::load_ms() const {
  return microseconds.load(std::memory_order_relaxed) / 1000u;
}

bool ruleset_t::operator==(const ruleset_t &other) const {
  return event_criteria_id == other.event_criteria_id &&
         parent_event_criteria_id == other.parent_event_criteria_id &&
         metric_type == other.metric_type && account_id == other.account_id &&
         nrules == other.nrules && pattern.any_check_uuid == other.pattern.any_check_uuid &&
         pattern.metric_name == other.pattern.metric_name && cull_seconds == other.cull_seconds &&
         std::memcmp(check_uuid, other.check_uuid, sizeof(check_uuid)) == 0 &&
         optional_text_equal(metric_name, other.metric_name) &&
         optional_text_equal(group_by, other.group_by) &&
         optional_text_equal(filter, other.filter) && rules == other.rules;
}

std::vector<rulestream_sp> ruleset_t::get_ruleset_streams() const {
  return signature_to_stream.read_op([](const signature_to_stream_map_t &table) {
    std::vector<rulestream_sp> streams;
    streams.reserve(table.size());
    for (const auto &entry : table)
      streams.push_back(entry.second);
    return streams;
  });
}

size_t ruleset_t::get_ruleset_streams_size() const {
  return signature_to_stream.read_op(
      [](const signature_to_stream_map_t &table) { return table.size(); });
}

ruleset_t::~ruleset_t() {
  // The compiled expressions of the text rules belong to the ruleset. Which member of `info` a
  // rule uses follows from the rule's own criterion, never from the ruleset's metric type: in a
  // numeric rule the same bytes hold the threshold, which is no pointer to free.
  for (rule_t &rule : rules) {
    if (!rule_holds_expression(rule.rule_type)) continue;
    if (rule.info.text.expr_extra) pcre_free_study(rule.info.text.expr_extra);
    if (rule.info.text.expr) pcre_free(rule.info.text.expr);
    rule.info.text.expr_extra = nullptr;
    rule.info.text.expr = nullptr;
  }
  if (metric_pcre_extra) pcre_free_study(metric_pcre_extra);
  if (metric_pcre) pcre_free(metric_pcre);
  std::free(group_by);
  if (group_by_pcre_extra) pcre_free_study(group_by_pcre_extra);
  if (group_by_pcre) pcre_free(group_by_pcre);
  std::free(filter);
  vask_metric_tag_search_free(filter_ast);
  // No route can still name these streams: the ruleset left its target list (and the routes'
  // generation moved on) a grace period before its last reference could go.
  signature_to_stream.write_op([&](signature_to_stream_map_t &table) {
    sole_stream.store(nullptr, std::memory_order_relaxed);
    table.clear();
  });
  std::free(metric_name);
  clear_cull_event();
  clear_absence_event();
  if (counted) rulesets_current.fetch_sub(1, std::memory_order_relaxed);
}

void rule_trigger_free(rule_trigger_t *closure) {
  if (closure == nullptr) return;
  std::free(closure->signature);
  std::free(closure);
}

namespace {

// Takes e, just emptied from a slot, out of the loop. When it had not run, the loop's reference
// and the duty to free the closure pass to us. Then drops the slot's reference.
void cancel_slot_event(eventer_t e, void (*free_closure)(void *)) {
  if (eventer_remove(e)) {
    free_closure(eventer_get_closure(e));
    eventer_deref(e);
  }
  eventer_deref(e);
}

void free_rule_cull(void *closure) {
  std::free(closure);
}
void free_rule_trigger(void *closure) {
  rule_trigger_free(static_cast<rule_trigger_t *>(closure));
}
void deref_slot_event(void *e) {
  eventer_deref(static_cast<eventer_t>(e));
}

}  // namespace

void ruleset_t::reset_ruleset_streams() {
  std::vector<rulestream_sp> held;
  signature_to_stream.write_op([&](signature_to_stream_map_t &table) {
    // Runs once per copy of the table: both hold the same streams.
    held.clear();
    held.reserve(table.size());
    for (const auto &entry : table)
      held.push_back(entry.second);
    sole_stream.store(nullptr, std::memory_order_relaxed);
    table.clear();
  });
  rules_routes_retire_streams(std::move(held));
}

// ---- The routes' generation -------------------------------------------------------------------

std::atomic<uint64_t> rules_route_generation{1};

void rules_routes_invalidate() {
  rules_route_generation.fetch_add(1, std::memory_order_seq_cst);
}

namespace {

// Destroying a stream cancels its window reservations, a few microseconds each: a large batch is
// dropped on a job thread, so that the loop thread whose maintenance ran this is not held up.
constexpr size_t retire_on_job_above = 1000;

int drop_streams_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *streams = static_cast<std::vector<rulestream_sp> *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) streams->clear();
  if (mask == EVENTER_ASYNCH_COMPLETE) delete streams;
  return 0;
}

void drop_retired_streams(void *p) {
  auto *streams = static_cast<std::vector<rulestream_sp> *>(p);
  if (streams->size() > retire_on_job_above) {
    eventer_add(eventer_alloc_asynch(drop_streams_job, streams));
    return;
  }
  delete streams;
}

}  // namespace

void rules_routes_retire_streams(std::vector<rulestream_sp> streams) {
  rules_routes_invalidate();
  if (streams.empty()) return;
  tovi_memory_defer(drop_retired_streams, new std::vector<rulestream_sp>(std::move(streams)));
}

void ruleset_t::clear_cull_event() {
  // Acquire: the timer record was published by whoever stored it into the slot.
  eventer_t e = cull_event.exchange(nullptr, std::memory_order_acq_rel);
  if (e == nullptr) return;
  tovi_memory_scope_c bracket;
  cancel_slot_event(e, free_rule_cull);
}

void absence_slot_clear(std::atomic<eventer_t> &slot) {
  eventer_t e = slot.load(std::memory_order_acquire);
  // Only the thread whose compare-and-swap empties the slot owns the slot's reference.
  while (e && !slot.compare_exchange_weak(e, nullptr, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
  }
  if (e == nullptr) return;
  tovi_memory_scope_c bracket;
  if (eventer_remove(e)) {
    free_rule_trigger(eventer_get_closure(e));
    eventer_deref(e);
  }
  // Workers that loaded the slot inside a bracket may still move this timer: the slot's
  // reference goes once they have left.
  tovi_memory_defer(deref_slot_event, e);
}

bool absence_slot_replace_or_kill(std::atomic<eventer_t> &slot, eventer_t e) {
  eventer_ref(e);  // the slot's reference
  eventer_t expected = nullptr;
  // Release: a thread that later loads the slot sees the fully set-up record.
  if (slot.compare_exchange_strong(expected, e, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    eventer_add(e);  // the caller's reference goes to the loop
    return true;
  }
  free_rule_trigger(eventer_get_closure(e));
  eventer_deref(e);
  eventer_deref(e);
  return false;
}

void ruleset_t::clear_absence_event() {
  absence_slot_clear(absence_event);
}

bool ruleset_t::replace_absence_event_or_kill(eventer_t e) {
  eventer_set_owner(e, eventer_choose_owner(event_criteria_id & 0xffffffffu));
  return absence_slot_replace_or_kill(absence_event, e);
}

ruleset_sp ruleset_safe_alloc(int nrules) {
  if (nrules < 0 || nrules > INT8_MAX) {
    tovi_log(rules_error(), "ruleset_safe_alloc: cannot hold %d rules\n", nrules);
    return ruleset_sp();
  }
  try {
    ruleset_sp r = std::make_shared<ruleset_t>();
    // Should sizing fail, r releases the half-built ruleset as the exception leaves this block.
    r->rules.resize(size_t(nrules));
    r->nrules = int8_t(nrules);
    return r;
  } catch (const std::bad_alloc &) {
    tovi_log(rules_error(), "ruleset_safe_alloc: out of memory for %d rules\n", nrules);
    return ruleset_sp();
  }
}

bool ruleset_count_accepted(ruleset_t &r) {
  if (r.counted) return false;
  r.counted = true;
  // Relaxed: these are statistics; nothing is published through them.
  rulesets_loaded.fetch_add(1, std::memory_order_relaxed);
  rulesets_current.fetch_add(1, std::memory_order_relaxed);
  return true;
}
