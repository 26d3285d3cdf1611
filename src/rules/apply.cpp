#include "rules/rules.h"

// Rule streams are not built yet: no ruleset applies a message.
int ruleset_apply_metric_message(const ruleset_sp &, vask_metric_message_t *) {
  return -1;
}
