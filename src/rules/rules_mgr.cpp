// The rules module's start: log streams, statistics, registry, settings, lookup sets and REST
// routes.
#include <cstdlib>

#include "api.h"
#include "brokers.h"
#include "maintenance.h"
#include "rules/absence_internal.h"
#include "rules/alerts_rest_internal.h"
#include "rules/bus_updates_internal.h"
#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "daemon_stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"

namespace {

// Reads a non-negative setting; an unusable one ends start-up, naming the key.
int32_t read_setting(const char *key, int32_t fallback) {
  int32_t value = fallback;
  if (tovi_conf_exists(nullptr, key) && !tovi_conf_get_int32(nullptr, key, &value)) {
    tovi_log(tovi_error, "%s is not a number\n", key);
    exit(2);
  }
  if (value < 0) {
    tovi_log(tovi_error, "%s must not be negative (%d)\n", key, value);
    exit(2);
  }
  return value;
}

}  // namespace

void rules_init(void) {
  rules_debug_stream();
  rules_error_stream();
  rules_error_verbose_stream();
  rules_processerrors_stream();
  rules_fire_stream();
  tovi_log_stream_find("debug/rules_miss");
  rules_notify_init();
  absence_init();
  // What the modules below ask of the rules.
  brokers_set_stream_sweeper(rules_sweep_for_broker);
  maintenance_set_reevaluate(ruleset_reevaluate_id);
  maintenance_set_reset_streams(rules_reset_every_stream);
  rules_routes_register();
}

stats_ns_t *rules_stats_ns(void) {
  static stats_ns_t *ns = [] {
    stats_ns_t *created = stats_register_ns(stats_recorder_root(stats_recorder()), "rulestreams");
    tovi_assert(created);
    return created;
  }();
  return ns;
}

void rules_mgr_init(void) {
  api_loader_register_stats(&rulesets_loader_kind);
  stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "ruleset");
  tovi_assert(ns != nullptr);
  stats_opts_t opts;
  opts.units = "rulesets";
  tovi_assert(stats_register_u64(ns, "current", STATS_GAUGE, &rulesets_current, opts));
  tovi_assert(stats_register_u64(ns, "loaded", STATS_COUNTER, &rulesets_loaded, opts));
  tovi_assert(stats_register_u64(ns, "suppressed", STATS_COUNTER, &rulesets_suppressed, opts));
  tovi_assert(stats_register_u64(ns, "rejected", STATS_COUNTER, &rulesets_rejected, opts));
  tovi_assert(stats_register_u64(ns, "unrecognised", STATS_COUNTER, &rulesets_unrecognised, opts));
  tovi_assert(stats_register_u64(ns, "over_limit", STATS_COUNTER, &rulesets_over_limit, opts));
  rules_cull_stats_init();

  if (!ruleset_mgr) ruleset_mgr = std::make_unique<ruleset_mgr_c>();

  int32_t initial_size = read_setting("//orvane/state/rulesets/@initial_hash_size", 50000);
  max_out_of_order_s = read_setting("//orvane/state/rulesets/@max_out_of_order", 300);
  absence_cushion_s = read_setting("//orvane/state/rulesets/@absence_cushion", 10);
  rulesets_max_held = uint64_t(read_setting("//orvane/state/rulesets/@max_held", 2000000));
  rules_republish_rate = read_setting("//orvane/state/rulesets/@republish_rate", 2000);
  tovi_log(rules_debug_stream(), "Absence Cushion set to %d seconds.\n", absence_cushion_s);

  // Reloads asked for on the bus run on the API's job queue.
  tovi_assert(api_jobq);

  // Listings run one at a time: each may render every ruleset, and several at once would only
  // compete with the workers for the same cores.
  bool existed = eventer_jobq_retrieve("rulesets_fetch") != nullptr;
  rulesets_fetch_jobq = eventer_jobq_create_ms("rulesets_fetch", EVENTER_JOBQ_MS_CS);
  tovi_assert(rulesets_fetch_jobq);
  if (!existed) {
    eventer_jobq_set_min_max(rulesets_fetch_jobq, 1, 4);
    eventer_jobq_set_concurrency(rulesets_fetch_jobq, 1);
  }

  auto cert = tovi_http_rest_client_cert_auth;
  tovi_assert(tovi_http_rest_register_auth("GET", "/ruleset/", "^(\\d+)$", rulesets_rest_get_one,
                                           cert) == 0);
  tovi_assert(
      tovi_http_rest_register_auth("GET", "/ruleset/",
                                   "^([0-9a-fA-F]{4}(?:[0-9a-fA-F]{4}-){4}[0-9a-fA-F]{12})/(.*)$",
                                   rulesets_rest_get_one, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/ruleset/state/", "^(\\d+)$",
                                           rulesets_rest_get_one_state, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/ruleset/clear/alert/", "^(\\d+)$",
                                           rulesets_rest_clear_alert, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/rulestream/clear/alert/", "^(\\d+)/(.+)$",
                                           rulestream_c::rest_clear_alert, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^rulesets$", rulesets_rest_get, cert) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/", "^rulesets$", rulesets_rest_post, cert) ==
              0);
  alerts_rest_init();

  // Updates from the bus: without message hooks the daemon would never hear of a changed
  // ruleset, so it does not run at all.
  if (!rules_bus_init()) {
    tovi_log(tovi_error, "AMQP module not loaded, but required. Misconfiguration!\n");
    exit(2);
  }
  rules_lookup_init(static_cast<unsigned long>(initial_size));
  eventer_name_callback("fetch_some_rulesets", fetch_some_rulesets);
  rules_bus_console_init();
}
