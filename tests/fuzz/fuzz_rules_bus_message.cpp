// Ruleset messages from the bus: any bytes are dispatched without reading past their length,
// each body is counted under exactly one outcome, and only bodies with neither prefix are
// ignored. One ruleset with one stream is registered so that clear-alert and lookup reach it.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "rules/bus_updates_internal.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

namespace {

uint64_t total() {
  const rules_bus_stats_t &s = rules_bus_stats;
  return s.ignored + s.handled + s.unhandled + s.malformed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    tovi_log_disable("error");
    if (!tovi_conf_load_string("<queltd/>", "fuzz") || eventer_init() != 0) __builtin_trap();
    rules_lookup_init(64);
    return true;
  }();
  (void)ready;
  tovi_memory_scope_c bracket;
  std::string_view body(reinterpret_cast<const char *>(data), size);
  uint64_t before = total(), ignored = rules_bus_stats.ignored;
  rules_bus_outcome_t outcome = handle_rules_update(data, size);
  if (total() != before + 1) __builtin_trap();
  bool known = (body.size() >= 30 && body.starts_with("net.orvane.quelt.clearalert\t")) ||
               (body.size() >= 29 && body.starts_with("net.orvane.ombra.OmbraEvent\t"));
  if ((outcome == RULES_BUS_IGNORED) == known) __builtin_trap();
  if ((rules_bus_stats.ignored != ignored) != (outcome == RULES_BUS_IGNORED)) __builtin_trap();
  return 0;
}
