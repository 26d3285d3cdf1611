// The alert router outlet: announced states as alerts of the router's v2 API
// (POST <url> with a JSON array of {"labels", "annotations", "startsAt", "endsAt",
// "generatorURL"}).
//
// The router knows an alert by its labels. A raised state is a firing alert without "endsAt";
// the router resolves it by itself once no re-send came for its resolve timeout, so every firing
// alert is re-sent each interval while its stream stays at that state. A clear resolves the
// firing alert of its stream: the same labels with "endsAt". A move between two raised
// severities changes the "severity" label, so it resolves the old alert and fires the new one.
//
// The firing set is kept here, per outlet; every target (one per router of a router cluster)
// re-sends all of it. A stream that left without a clear (culled, reset, its ruleset deleted)
// is found when its alert is next due and resolved then.
#include <json-c/json.h>

#include <map>
#include <tuple>

#include "outlets/outlets_internal.h"

namespace {

typedef std::pair<uint64_t, std::string> alert_key_t;  // ecid, stream signature

// The same alert marked resolved at ms.
outlet_alert_sp resolved_copy(const outlet_alert_t &firing, uint64_t starts_ms, uint64_t ms) {
  auto copy = std::make_shared<outlet_alert_t>();
  copy->starts_ms = starts_ms;
  copy->ecid = firing.ecid;
  copy->stream = firing.stream;
  copy->resolved = true;
  copy->severity = firing.severity;
  copy->ms = ms;
  copy->labels = firing.labels;
  copy->annotations = firing.annotations;
  copy->value = firing.value;
  return copy;
}

json_object *string_map(const outlet_labels_t &labels) {
  json_object *o = json_object_new_object();
  for (const auto &[k, v] : labels)
    json_object_object_add(o, k.c_str(), json_object_new_string_len(v.data(), int(v.size())));
  return o;
}

class alertmanager_c final : public outlet_c {
 public:
  explicit alertmanager_c(outlet_settings_t s) : outlet_c(std::move(s)) {}

  bool resends() const override { return true; }

  std::vector<outlet_alert_sp> admit(const outlet_alert_sp &alert) override {
    std::vector<outlet_alert_sp> out;
    alert_key_t key{alert->ecid, alert->stream};
    std::lock_guard<std::mutex> g(_firing_lock);
    auto it = _firing.find(key);
    if (alert->resolved) {
      if (it == _firing.end()) return out;  // nothing of this stream is firing here
      out.push_back(resolved_copy(*it->second.alert, it->second.starts_ms, alert->ms));
      _firing.erase(it);
      return out;
    }
    if (it != _firing.end()) {
      if (it->second.alert->labels != alert->labels)
        out.push_back(resolved_copy(*it->second.alert, it->second.starts_ms, alert->ms));
      else
        it->second.starts_ms = std::min(it->second.starts_ms, alert->ms);
    }
    firing_t &f = _firing[key];
    if (it == _firing.end() || it->second.alert->labels != alert->labels) f.starts_ms = alert->ms;
    f.alert = alert;
    out.push_back(alert);
    return out;
  }

  std::vector<outlet_alert_sp> resend_set() override {
    std::vector<std::tuple<alert_key_t, outlet_alert_sp, uint64_t>> snapshot;
    {
      std::lock_guard<std::mutex> g(_firing_lock);
      snapshot.reserve(_firing.size());
      for (const auto &[key, f] : _firing)
        snapshot.emplace_back(key, f.alert, f.starts_ms);
    }
    // Asked outside the lock: the question takes the stream's lock, and a stream that is
    // announcing holds its lock while it hands its alert to admit.
    std::vector<outlet_alert_sp> out;
    std::vector<outlet_alert_sp> stale;
    for (auto &[key, alert, starts_ms] : snapshot) {
      if (!alert->still_announced || alert->still_announced()) {
        out.push_back(alert);
        continue;
      }
      std::lock_guard<std::mutex> g(_firing_lock);
      auto it = _firing.find(key);
      if (it != _firing.end() && it->second.alert == alert) {
        _firing.erase(it);
        stale.push_back(resolved_copy(*alert, starts_ms, outlet_now_ms()));
      }
    }
    if (!stale.empty()) {
      counters().resolved_stale.fetch_add(stale.size(), std::memory_order_relaxed);
      enqueue(stale);
    }
    return out;
  }

  std::string encode(const std::vector<outlet_alert_sp> &batch, uint64_t) override {
    json_object *array = json_object_new_array();
    for (const outlet_alert_sp &a : batch) {
      json_object *o = json_object_new_object();
      json_object_object_add(o, "labels", string_map(a->labels));
      json_object_object_add(o, "annotations", string_map(a->annotations));
      uint64_t starts = a->starts_ms ? a->starts_ms : a->ms;
      if (!a->starts_ms) {
        std::lock_guard<std::mutex> g(_firing_lock);
        auto it = _firing.find({a->ecid, a->stream});
        if (it != _firing.end() && it->second.alert->labels == a->labels)
          starts = it->second.starts_ms;
      }
      json_object_object_add(o, "startsAt", json_object_new_string(outlet_rfc3339(starts).c_str()));
      if (a->resolved)
        json_object_object_add(
            o, "endsAt", json_object_new_string(outlet_rfc3339(std::max(a->ms, starts)).c_str()));
      if (!settings().generator_url.empty())
        json_object_object_add(
            o, "generatorURL",
            json_object_new_string((settings().generator_url + std::to_string(a->ecid)).c_str()));
      json_object_array_add(array, o);
    }
    std::string body = json_object_to_json_string_ext(array, JSON_C_TO_STRING_PLAIN);
    json_object_put(array);
    return body;
  }

 private:
  struct firing_t {
    outlet_alert_sp alert;   // the newest announcement of the state
    uint64_t starts_ms = 0;  // when the state was first announced
  };
  std::mutex _firing_lock;
  std::map<alert_key_t, firing_t> _firing;  // guarded by _firing_lock
};

}  // namespace

std::unique_ptr<outlet_c> alertmanager_outlet_new(outlet_settings_t settings) {
  return std::make_unique<alertmanager_c>(std::move(settings));
}
