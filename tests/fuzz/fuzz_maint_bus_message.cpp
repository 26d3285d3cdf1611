// Maintenance update bodies from the bus: any bytes are parsed without reading past their
// length; a body that parses writes back (fields joined by tabs) to a body that parses to the
// same window; an applied body leaves a live window of its id.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "maintenance.h"
#include "tovi/tovi_memory.h"

namespace {

const char prefix[] = "net.orvane.ombra.QueltMaintenanceEventHandler.update";

std::string write_back(const maint_def_t &s, bool active) {
  static const char *const types[] = {"account", "host", "check", "metric"};
  std::string out = prefix;
  out += "\t\tmodify\t";
  out += s.maintenance_type == MAINT_ON_HOST ? std::string(s.maintenance.host)
                                             : std::to_string(s.maintenance.generic_uint64);
  out += std::string("\t") + types[s.maintenance_type] + "\t";
  for (int sev = 0; sev <= 5; sev++)
    if (s.severity_mask & (1u << sev)) out += std::to_string(sev) + ",";
  out += "\t" + std::to_string(s.start_on) + "\t" + std::to_string(s.stop_on) + "\t" +
         std::to_string(s.account_id) + "\t" + std::to_string(s.maintenance_id) + "\t" +
         (active ? "t" : "f");
  return out;
}

bool same(const maint_def_t &a, const maint_def_t &b) {
  if (a.maintenance_type != b.maintenance_type) return false;
  bool item = a.maintenance_type == MAINT_ON_HOST
                  ? strcmp(a.maintenance.host, b.maintenance.host) == 0
                  : a.maintenance.generic_uint64 == b.maintenance.generic_uint64;
  return item && a.severity_mask == b.severity_mask && a.start_on == b.start_on &&
         a.stop_on == b.stop_on && a.account_id == b.account_id &&
         a.maintenance_id == b.maintenance_id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_support::start_maintenance();
  tovi_memory_scope_c bracket;
  maint_window_t *w = maint_window_safe_alloc();
  maint_alter_action_t action = MAINT_ALTER_ADD;
  bool active = false;
  const char *reason = nullptr;
  int ok = parse_mq_message(data, size, w, &action, &active, &reason);
  if (ok != 0 && ok != 1) __builtin_trap();
  if (!ok && !reason) __builtin_trap();
  if (ok) {
    if (w->def.severity_mask & 0xc0) __builtin_trap();
    std::string again = write_back(w->def, active);
    maint_window_t *w2 = maint_window_safe_alloc();
    bool active2 = !active;
    if (!parse_mq_message(again.data(), again.size(), w2, &action, &active2, &reason) ||
        !same(w->def, w2->def) || active2 != active)
      __builtin_trap();
    maint_window_safe_free_no_remove(w2);
  }
  uint64_t id = w->def.maintenance_id;
  maint_window_safe_free_no_remove(w);

  maint_bus_outcome_t outcome = handle_maintenance_update(data, size);
  if ((outcome == MAINT_BUS_MALFORMED) !=
      (ok == 0 && size > sizeof prefix - 1 && memcmp(data, prefix, sizeof prefix - 1) == 0))
    __builtin_trap();
  if (outcome == MAINT_BUS_APPLIED && !get_maint_window_by_id(id)) __builtin_trap();
  if (outcome == MAINT_BUS_ENDED && get_maint_window_by_id(id)) __builtin_trap();
  if (ok) maint_window_delete(id);
  return 0;
}
