// The pattern rulesets of one account screened together (src/rules/pattern_index.cpp).
//
// The lookup keeps, beside each account's pattern lists, an index built from them: every ruleset
// of those lists in list order, grouped by check UUID, with one multi-pattern matcher over their
// patterns (vask_multimatch). A lookup scans the metric's name once and runs PCRE only on the
// patterns the matcher names, instead of on every pattern of the account.
//
// The index answers only while it is current: every change to the account's pattern lists bumps
// the account's version, and an index built at an older version is ignored (the lookup walks the
// lists as it always could) until the rebuild thread has made a new one. Rebuilds wait for the
// changes to pause (a bulk load files thousands of rulesets in a row), run on a thread of their
// own, publish the new index with one store and retire the old one through the safe free.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "rules/model_internal.h"
#include "vask/vask_metric.h"

struct pattern_index_t;

// Lives in the account's table, zero-filled on creation (which is the empty state).
struct pattern_index_state_t {
  std::atomic<uint64_t> version;         // bumped by every change to the account's pattern lists
  std::atomic<pattern_index_t *> index;  // the newest index built; current when versions agree
};

// Called by the writer after it changed one of the account's pattern lists (any thread): the
// index is stale from now on, and a rebuild is queued.
void pattern_index_changed(pattern_index_state_t *state, uint64_t account_id);

// For a lookup, inside a safe-memory bracket: when the account's index is current, adds the
// rulesets of the lists of uuids[0..nuuids) that match the metric, in list order, as the walk of
// those lists would (counting past capacity), and returns true. False: the index is missing or
// stale, nothing was added, and the caller walks the lists.
bool pattern_index_matches(const pattern_index_state_t *state, const vask_metric_id_t *id,
                           const uint8_t *const *uuids, int nuuids, ruleset_sp *out, int capacity,
                           int *count);

// Rebuilds now, on the calling thread, every index a change has made stale (tests and benchmarks;
// never inside a safe-memory bracket). Returns the number rebuilt.
int pattern_index_settle();

// Provided by the lookup (lookup.cpp) for the rebuild.
struct pattern_group_t {
  uint8_t check_uuid[16];
  std::vector<ruleset_sp> rulesets;  // the non-empty nodes of the list, in order
};
// The account's index state; null when the account has no pattern table.
pattern_index_state_t *rules_pattern_index_state(uint64_t account_id);
// The account's pattern lists as they are now. Any thread, outside a bracket (it takes its own).
std::vector<pattern_group_t> rules_pattern_groups(uint64_t account_id);
