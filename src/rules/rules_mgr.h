// rules_mgr: the rulesets this daemon holds, from their JSON definitions to the lists the intake
// looks metrics up in.
//
// A ruleset definition is parsed and compiled (parse_ruleset_response), kept only when this node
// owns its metric and handles its account, stored in the registry (ruleset_mgr.h) and filed in a
// target list: exact-name rulesets under (account, check UUID, metric name), pattern rulesets
// under (account, check UUID). Its interest is registered with the metric director on the loop
// thread chosen by its id.
//
// Threads: lookups (rulesets_for_metric) run on every worker thread at once without locks, inside
// a safe-memory bracket; loads, replacements and deletions may come from any thread.
#pragma once

#include <cstdint>

#include "rules_private.h"
#include "vask/vask_metric.h"

// The rulesets that apply to the metric: those filed under its own check UUID and under the
// all-zero UUID (any check of the account), by bare name, by name with stream tags (an untagged
// metric also under "<name>|ST[]") and by pattern, whose account, filter and pattern hold for
// the metric. The first `capacity` are copied into `out` in the order found; returns how many
// applied, negated when that was more than `capacity`. No allocation. Any thread, inside a
// safe-memory bracket.
int rulesets_for_metric(const vask_metric_id_t *id, ruleset_sp *out, int capacity);
