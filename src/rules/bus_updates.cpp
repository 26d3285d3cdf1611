// Ruleset messages from the bus.
//
// A refresh message only names a ruleset; the definition itself is fetched from the API. A
// change upstream is often announced several times in a row, so requests for one id are
// coalesced: the first arms a timer 0.5 s ahead, each further one moves it to 0.5 s after
// itself, and only the timer's firing starts the reload. While a bulk load runs, the reload
// would only race it, so the timer waits in 1 s steps.
//
// The pending table maps an id to its timer record. The hook (bus thread) and the timer (loop
// thread) both touch it under `refresh_lock`; the record is freed only by the timer callback,
// after it took the record out of the table under that lock, so a hook that finds a record
// finds a timer that has not yet returned from its last firing.
#include "rules/bus_updates_internal.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "brokers.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "daemon_stats.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_text.h"

rules_bus_stats_t rules_bus_stats;

namespace {

constexpr std::string_view clearalert_prefix = "net.orvane.quelt.clearalert\t";
constexpr std::string_view event_prefix = "net.orvane.ombra.OmbraEvent\t";
constexpr size_t max_word = 99;
constexpr size_t data_buffer = 2048;
constexpr long gang_us = 500000;
constexpr long loading_retry_s = 1;

struct ecid_refresh {
  eventer_t trigger;
  uint64_t ecid;
};

tovi_mutex_c refresh_lock;
absl::flat_hash_map<uint64_t, ecid_refresh *> *ecid_refresh_triggers ABSL_GUARDED_BY(refresh_lock) =
    nullptr;

struct timeval from_now(long seconds, long micros) {
  struct timeval now, delta = {seconds, micros}, at;
  gettimeofday(&now, nullptr);
  eventer_add_timeval(&now, &delta, &at);
  return at;
}

rules_bus_outcome_t count(rules_bus_outcome_t outcome) {
  switch (outcome) {
    case RULES_BUS_IGNORED:
      rules_bus_stats.ignored++;
      break;
    case RULES_BUS_HANDLED:
      rules_bus_stats.handled++;
      break;
    case RULES_BUS_UNHANDLED:
      rules_bus_stats.unhandled++;
      break;
    case RULES_BUS_MALFORMED:
      rules_bus_stats.malformed++;
      break;
  }
  return outcome;
}

// ---- Console ---------------------------------------------------------------------------------

int console_reload_ruleset(tovi_console_t *console, int argc, const char *const *argv, void *) {
  uint64_t id = 0;
  if (argc != 1 || !tovi_decimal_u64(argv[0], &id) || id == 0) {
    tovi_console_printf(console, "usage: reload ruleset <id>\n");
    return -1;
  }
  ruleset_reload(id);
  tovi_console_printf(console, "reloading ruleset %llu\n", (unsigned long long)id);
  return 0;
}

}  // namespace

// ---- Hook and dispatch
// ---------------------------------------------------------------------------

int handle_amqp_message_rules(void *, tovi_amqp_connection_t *, int, const tovi_amqp_envelope_t *,
                              const void *payload, size_t length) {
  handle_rules_update(payload, length);
  return TOVI_AMQP_DONE;
}

rules_bus_outcome_t handle_rules_update(const void *payload, size_t length) {
  std::string_view body(payload ? static_cast<const char *>(payload) : "", payload ? length : 0);

  if (body.size() >= clearalert_prefix.size() + 2 && body.starts_with(clearalert_prefix)) {
    std::string_view rest = body.substr(clearalert_prefix.size());
    int cleared = handle_rules_clearalert(rest.data(), rest.size());
    return count(cleared < 0 ? RULES_BUS_UNHANDLED : RULES_BUS_HANDLED);
  }
  if (body.size() < event_prefix.size() + 1 || !body.starts_with(event_prefix))
    return count(RULES_BUS_IGNORED);
  tovi_log(rules_debug_stream(), "Handling update...\n");

  std::string_view rest = body.substr(event_prefix.size());
  size_t tab = rest.find('\t');
  if (tab == std::string_view::npos || tab > max_word) return count(RULES_BUS_MALFORMED);
  std::string event(rest.substr(0, tab));
  rest.remove_prefix(tab + 1);
  tab = rest.find('\t');
  if (tab == std::string_view::npos || tab > max_word) return count(RULES_BUS_MALFORMED);
  std::string type(rest.substr(0, tab));
  rest.remove_prefix(tab + 1);

  char data[data_buffer];
  size_t kept = rest.size();
  if (kept > data_buffer - 1) {
    kept = data_buffer - 1;
    rules_bus_stats.truncated++;
    tovi_log(rules_error_stream(), "truncated rules message: %d > %d\n", int(rest.size()),
             int(kept));
  }
  memcpy(data, rest.data(), kept);
  data[kept] = '\0';

  tovi_log_fields(rules_debug_stream(), ({"mq-type", type.c_str()}), "MQ-rules [%s] [%s] [%s]\n",
                  event.c_str(), type.c_str(), data);
  if (rules_handle_message(event.c_str(), type.c_str(), data, kept) < 0) {
    tovi_log(rules_error_stream(), "could not handle event [%s] [%s] [%s]\n", event.c_str(),
             type.c_str(), data);
    return count(RULES_BUS_UNHANDLED);
  }
  return count(RULES_BUS_HANDLED);
}

int rules_handle_message(const char *event_text, const char *type_text, const char *data_text,
                         size_t data_len) {
  std::string_view event(event_text), type(type_text), data(data_text, data_len);
  uint64_t ecid = 0;
  if ((event == "ruleset_removal" || event == "ruleset_refresh") && type == "purge_state") {
    if (!tovi_decimal_u64(data, &ecid)) return -1;
    return rules_refresh_ecid(ecid);
  }
  if (event == "vask_maintenance" && type == "remove") {
    // A broker name holds no NUL byte; one that does names no broker.
    broker_do_vask_maintenance_remove(std::string(data).c_str());
    return 0;
  }
  if (event == "event_last_known_state" && type == "lookup") {
    if (!tovi_decimal_u64(data, &ecid)) return -1;
    if (!get_ruleset_by_id(ecid)) return -1;
    // Not here on the bus's thread: it is the thread that drains the publish queue.
    ruleset_renotify_queued(ecid);
    return 0;
  }
  if (event == "event_last_known_state" && type == "purge") {
    if (data == "all") {
      broker_do_maintenance_full_recover();
      return 0;
    }
    tovi_log(rules_error_stream(), "event_last_known_state purge '%s' unknown\n", data_text);
    return -1;
  }
  return -1;
}

int handle_rules_clearalert(const void *payload, size_t length) {
  struct timeval now_tv;
  gettimeofday(&now_tv, nullptr);
  uint64_t now_ms = uint64_t(now_tv.tv_sec) * 1000 + uint64_t(now_tv.tv_usec) / 1000;
  std::string_view body(payload ? static_cast<const char *>(payload) : "", payload ? length : 0);
  tovi_log(rules_debug_stream(), "Handling clear alert %.*s...\n", int(body.size()), body.data());
  if (body.empty()) return -1;
  if (body.back() == '\n') body.remove_suffix(1);
  size_t tab = body.find('\t');
  if (tab == std::string_view::npos) return -1;
  uint64_t ecid = 0;
  if (!tovi_decimal_u64(body.substr(0, tab), &ecid)) return -1;
  std::string_view signature = body.substr(tab + 1);

  ruleset_sp r = get_ruleset_by_id(ecid);
  if (!r || signature.empty()) return 0;
  rulestream_sp s = rules_find_sent_stream(r, signature);
  if (!s) return 0;
  int cleared = s->check_and_trigger(INT_MAX, -1, now_ms, r) ? 1 : 0;
  r->remove_ruleset_stream(s);
  rules_bus_stats.cleared += uint64_t(cleared);
  return cleared;
}

// ---- Refresh coalescing ------------------------------------------------------------------------

int rules_refresh_ecid(uint64_t ecid) {
  if (ecid == 0) return -1;
  rules_bus_stats.refresh_requests++;
  tovi_lock_guard_c<tovi_mutex_c> guard(refresh_lock);
  if (!ecid_refresh_triggers)
    ecid_refresh_triggers = new absl::flat_hash_map<uint64_t, ecid_refresh *>();
  auto it = ecid_refresh_triggers->find(ecid);
  if (it != ecid_refresh_triggers->end()) {
    // A timer that is firing right now is not moved; its reload starts after this message
    // arrived, which is all the gang is for.
    struct timeval at = from_now(0, gang_us);
    eventer_update(it->second->trigger, &at);
    rules_bus_stats.refresh_ganged++;
    tovi_log(rules_debug_stream(), "ganging refresh trigger: %lu\n", (unsigned long)ecid);
    return 0;
  }
  auto *refresh = new ecid_refresh{nullptr, ecid};
  struct timeval at = from_now(0, gang_us);
  refresh->trigger = eventer_alloc_timer(rule_trigger_refresh, refresh, &at);
  eventer_set_owner(refresh->trigger, eventer_choose_owner(ecid & 0xffffffffu));
  ecid_refresh_triggers->emplace(ecid, refresh);
  tovi_log(rules_debug_stream(), "initial refresh trigger: %lu\n", (unsigned long)ecid);
  eventer_add(refresh->trigger);
  return 0;
}

int rule_trigger_refresh(eventer_t e, int, void *closure, struct timeval *) {
  auto *refresh = static_cast<ecid_refresh *>(closure);
  // Acquire: a bulk load that has finished has filed its rulesets before the flag went down.
  if (rulesets_are_loading.load(std::memory_order_acquire)) {
    struct timeval at = from_now(loading_retry_s, 0);
    eventer_update(e, &at);
    rules_bus_stats.refresh_deferred++;
    return EVENTER_TIMER;
  }
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(refresh_lock);
    ecid_refresh_triggers->erase(refresh->ecid);
  }
  uint64_t ecid = refresh->ecid;
  delete refresh;
  rules_bus_stats.refresh_reloads++;
  ruleset_reload(ecid);
  return 0;
}

size_t rules_refresh_pending(void) {
  tovi_lock_guard_c<tovi_mutex_c> guard(refresh_lock);
  return ecid_refresh_triggers ? ecid_refresh_triggers->size() : 0;
}

// ---- Start --------------------------------------------------------------------------------------

bool rules_bus_init(void) {
  auto register_hook = reinterpret_cast<tovi_amqp_register_message_hook_fn_t>(
      tovi_function_find("tovi_amqp_register_message_hook"));
  if (!register_hook) return false;
  register_hook("rules-handler", handle_amqp_message_rules, nullptr);
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(refresh_lock);
    if (!ecid_refresh_triggers)
      ecid_refresh_triggers = new absl::flat_hash_map<uint64_t, ecid_refresh *>();
  }
  eventer_name_callback("rule_trigger_refresh", rule_trigger_refresh);

  stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "ruleset");
  stats_ns_t *bus = stats_register_ns(ns, "bus");
  stats_opts_t msgs;
  msgs.units = "messages";
  stats_register_u64(bus, "handled", STATS_COUNTER, &rules_bus_stats.handled, msgs);
  stats_register_u64(bus, "unhandled", STATS_COUNTER, &rules_bus_stats.unhandled, msgs);
  stats_register_u64(bus, "malformed", STATS_COUNTER, &rules_bus_stats.malformed, msgs);
  stats_register_u64(bus, "ignored", STATS_COUNTER, &rules_bus_stats.ignored, msgs);
  stats_register_u64(bus, "truncated", STATS_COUNTER, &rules_bus_stats.truncated, msgs);
  stats_opts_t streams;
  streams.units = "streams";
  stats_register_u64(bus, "cleared", STATS_COUNTER, &rules_bus_stats.cleared, streams);
  stats_ns_t *refresh = stats_register_ns(ns, "refresh");
  stats_opts_t reqs;
  reqs.units = "requests";
  stats_register_u64(refresh, "requests", STATS_COUNTER, &rules_bus_stats.refresh_requests, reqs);
  stats_register_u64(refresh, "ganged", STATS_COUNTER, &rules_bus_stats.refresh_ganged, reqs);
  stats_register_u64(refresh, "deferred", STATS_COUNTER, &rules_bus_stats.refresh_deferred, reqs);
  stats_register_u64(refresh, "reloads", STATS_COUNTER, &rules_bus_stats.refresh_reloads, reqs);
  stats_register_u64_fn(
      refresh, "pending", STATS_GAUGE, [] { return rules_refresh_pending(); }, reqs);
  return true;
}

void rules_bus_console_init(void) {
  tovi_console_command_register("reload ruleset", console_reload_ruleset, nullptr,
                                "reload ruleset <id>: fetch one ruleset from the API now", nullptr);
}
