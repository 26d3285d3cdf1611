// The rule streams' calls into modules that are not wired yet. Each answers as the module does
// while it holds nothing: nothing is under maintenance, no ruleset has absence timers, and there
// are no broker records.
#include "rules/stream_internal.h"

int rules_maintenance_not_active(uint64_t, uint64_t, uint64_t, const char *, int32_t, int32_t,
                                 const struct timeval &) {
  return 1;
}

void rules_setup_absence(const ruleset_sp &, rulestream_c *) {}

void rules_rearm_absence(const ruleset_sp &, rulestream_c *, int) {}

broker_t *rules_getbroker(const char *, size_t) {
  return nullptr;
}

int rules_broker_name(broker_t *, const char **, size_t *) {
  return -1;
}
