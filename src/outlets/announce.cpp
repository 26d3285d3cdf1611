// An announced state of a rule stream as the outlets see it. Most of what people read comes from
// the bus document itself (metric name, check, broker, value), so that the outlets say exactly
// what the bus said; the host and the stream tags come from the stream.
#include "outlets/announce.h"

#include <json-c/json.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "outlets/outlets.h"
#include "rules/stream_internal.h"
#include "daemon_stats.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"

namespace {

std::string member_text(json_object *sev, const char *key) {
  json_object *v = nullptr;
  if (!json_object_object_get_ex(sev, key, &v) || !v) return {};
  if (json_object_is_type(v, json_type_string))
    return std::string(json_object_get_string(v), size_t(json_object_get_string_len(v)));
  if (json_object_is_type(v, json_type_double)) {
    // People read 95, not 95.0.
    char buf[32];
    snprintf(buf, sizeof(buf), "%.15g", json_object_get_double(v));
    return buf;
  }
  return json_object_to_json_string_ext(v, JSON_C_TO_STRING_PLAIN);
}

// Whether the stream of `signature` in the ruleset still has (sev, rule) as its last announced
// state. Takes the stream's lock; the caller holds no stream lock.
bool stream_still_announces(const ruleset_wp &weak, const std::string &signature, int32_t sev,
                            int8_t rule) {
  ruleset_sp r = weak.lock();
  if (!r) return false;
  rulestream_sp rs;
  {
    tovi_memory_scope_c bracket;
    rs = r->find_sole_stream(signature.data(), signature.size());
    if (!rs)
      r->signature_to_stream.read_op([&](const signature_to_stream_map_t &table) {
        auto it = table.find(std::string_view(signature));
        if (it != table.end()) rs = it->second;
      });
  }
  if (!rs) return false;
  tovi_lock_guard_c<tovi_recursive_mutex_c> g(rs->data_mutex());
  return rs->_last_notified_sev == sev && rs->_last_notified_rule == rule;
}

// What the publishing thread copies out of an announced state; everything else (labels, text,
// the alert record) is built on the dispatch thread, so that a configured outlet adds little to
// the alert path of rule application.
struct announced_t {
  ruleset_sp ruleset;
  std::string doc;
  std::string signature;
  std::string host;
  std::string st_tags;
  uint64_t ms;
  int32_t sev;
  int8_t rule;
};

// Announced states wait here, in order, for the dispatch thread. Bounded: beyond the limit the
// newest is dropped and counted (notify/dispatch_dropped), like a full outlet queue.
constexpr size_t dispatch_limit = 100000;
// Never destroyed: the dispatch thread waits on it until the process ends, and destroying a
// condition variable with a waiter blocks the exiting thread.
struct dispatch_t {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<announced_t> queue;  // guarded by lock
  bool waiting = false;           // guarded by lock
};
dispatch_t &dispatch = *new dispatch_t;
std::atomic<uint64_t> dispatch_dropped{0};

void build_and_publish(announced_t &a) {
  json_object *doc = json_tokener_parse(a.doc.c_str());
  json_object *s = nullptr;
  if (!doc || !json_object_object_get_ex(doc, "sev", &s) || !s) {
    json_object_put(doc);
    return;
  }
  const ruleset_sp &r = a.ruleset;
  outlet_source_t src;
  src.ecid = r->event_criteria_id;
  src.account_id = r->account_id;
  src.severity = a.sev;
  src.rule = a.rule;
  src.ms = a.ms;
  src.check = member_text(s, "uuid");
  src.host = std::move(a.host);
  src.metric = member_text(s, "name");
  src.broker = member_text(s, "vask");
  if (src.broker == "null") src.broker.clear();
  src.value = member_text(s, "value");
  if (src.value == "null") src.value.clear();
  src.signature = std::move(a.signature);
  src.st_tags = std::move(a.st_tags);
  src.text = r->outlet_text.load();
  json_object_put(doc);

  auto alert = std::make_shared<outlet_alert_t>();
  alert->ecid = src.ecid;
  alert->stream = src.signature;
  alert->resolved = a.sev == RULE_SEV_CLEAR;
  alert->severity = a.sev;
  alert->ms = a.ms;
  alert->bus_document = std::move(a.doc);
  alert->value = src.value;
  outlet_build_labels(src, alert.get());
  alert->still_announced = [weak = ruleset_wp(r), sig = src.signature, sev = a.sev, rule = a.rule] {
    return stream_still_announces(weak, sig, sev, rule);
  };
  outlets_publish(alert);
}

void dispatch_loop() {
  std::deque<announced_t> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> g(dispatch.lock);
      dispatch.waiting = true;
      dispatch.wake.wait(g, [] { return !dispatch.queue.empty(); });
      dispatch.waiting = false;
      batch.swap(dispatch.queue);
    }
    for (announced_t &a : batch)
      build_and_publish(a);
    batch.clear();
  }
}

}  // namespace

void outlets_announce(rulestream_c &rs, const ruleset_sp &r, const char *doc_str, size_t doc_len,
                      uint64_t ms, int32_t sev, int8_t rule) {
  static std::once_flag started;
  std::call_once(started, [] {
    stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "notify");
    stats_opts_t opts;
    opts.units = "alerts";
    if (ns) stats_register_u64(ns, "dispatch_dropped", STATS_COUNTER, &dispatch_dropped, opts);
    std::thread(dispatch_loop).detach();
  });
  announced_t a{
      r,   std::string(doc_str, doc_len), std::string(rs.get_signature()), rs._host, {}, ms, sev,
      rule};
  if (rs.st_tags() && rs.st_tags_len() > 0)
    a.st_tags.assign(rs.st_tags(), size_t(rs.st_tags_len()));
  bool wake;
  {
    std::lock_guard<std::mutex> g(dispatch.lock);
    if (dispatch.queue.size() >= dispatch_limit) {
      dispatch_dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    dispatch.queue.push_back(std::move(a));
    wake = dispatch.waiting;
  }
  if (wake) dispatch.wake.notify_one();
}

void outlet_text_keep(ruleset_t &in_force, const ruleset_t &reloaded) {
  outlet_text_sp text = reloaded.outlet_text.load();
  if (!outlet_text_equal(in_force.outlet_text.load(), text)) in_force.outlet_text.store(text);
}
