// An announced state of a rule stream as the outlets see it. Most of what people read comes from
// the bus document itself (metric name, check, broker, value), so that the outlets say exactly
// what the bus said; the host and the stream tags come from the stream.
#include "outlets/announce.h"

#include <json-c/json.h>

#include <cstdio>

#include "outlets/outlets.h"
#include "rules/stream.h"
#include "tovi/tovi_memory.h"

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
  std::lock_guard<std::recursive_mutex> g(rs->data_mutex());
  return rs->_last_notified_sev == sev && rs->_last_notified_rule == rule;
}

}  // namespace

void outlets_announce(rulestream_c &rs, const ruleset_sp &r, json_object *doc, const char *doc_str,
                      size_t doc_len, uint64_t ms, int32_t sev, int8_t rule) {
  json_object *s = nullptr;
  if (!doc || !json_object_object_get_ex(doc, "sev", &s) || !s) return;
  outlet_source_t src;
  src.ecid = r->event_criteria_id;
  src.account_id = r->account_id;
  src.severity = sev;
  src.rule = rule;
  src.ms = ms;
  src.check = member_text(s, "uuid");
  src.host = rs._host;
  src.metric = member_text(s, "name");
  src.broker = member_text(s, "vask");
  if (src.broker == "null") src.broker.clear();
  src.value = member_text(s, "value");
  if (src.value == "null") src.value.clear();
  std::string_view signature = rs.get_signature();
  src.signature.assign(signature);
  if (rs.st_tags() && rs.st_tags_len() > 0)
    src.st_tags.assign(rs.st_tags(), size_t(rs.st_tags_len()));
  src.text = r->outlet_text.load();

  auto alert = std::make_shared<outlet_alert_t>();
  alert->ecid = src.ecid;
  alert->stream = src.signature;
  alert->resolved = sev == RULE_SEV_CLEAR;
  alert->severity = sev;
  alert->ms = ms;
  alert->bus_document.assign(doc_str, doc_len);
  alert->value = src.value;
  outlet_build_labels(src, alert.get());
  alert->still_announced = [weak = ruleset_wp(r), sig = src.signature, sev, rule] {
    return stream_still_announces(weak, sig, sev, rule);
  };
  outlets_publish(alert);
}

void outlet_text_keep(ruleset_t &in_force, const ruleset_t &reloaded) {
  outlet_text_sp text = reloaded.outlet_text.load();
  if (!outlet_text_equal(in_force.outlet_text.load(), text)) in_force.outlet_text.store(text);
}
