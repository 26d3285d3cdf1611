// rules: applying metric messages to rulesets through their rule streams.
#pragma once

#include "rules_private.h"
#include "vask/vask_metric.h"

// Applies one message to one ruleset: finds or creates the ruleset's stream for the message's
// signature, feeds the metric's windows and evaluates the rules. Returns the number of rules
// evaluated, or -1 when the message was not applied. Called on the worker thread that owns the
// metric, inside a safe-memory bracket; the caller keeps its reference to the message.
int ruleset_apply_metric_message(const ruleset_sp &ruleset, vask_metric_message_t *m);
