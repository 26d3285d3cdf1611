// The parent-to-child relation of rulesets.
//
// A ruleset may name a parent ruleset; when a parent's stream moves into or out of severity 1,
// every child ruleset is re-evaluated. This module keeps which event criteria id (ecid) has which
// parent and lists the children of a ruleset. It knows nothing else about rulesets.
//
// Each child has at most one parent; a parent may have any number of children. Ids are compared
// as unsigned values; children are listed in ascending id order.
//
// Threads: every function may be called from any thread; each holds one mutex for its whole
// duration and hands out only copied ids. Errors: none; every input is acceptable.
#pragma once

#include <atomic>
#include <cstdint>

// Definitions refused because they named their own ruleset as parent; the statistic
// "dependency" "self_parent_refused" (registered by dependency_init). Any thread reads it.
extern std::atomic<uint64_t> dependency_self_parent_refused;

// Creates the (empty) registry and, the first time, registers its statistics. Called once at
// start-up before any ruleset is loaded; calling it again empties the registry.
void dependency_init();

// Records that `ecid` has the parent `parent`, replacing any earlier parent of `ecid`; with
// `parent` 0 it removes the record of `ecid` (no parent). A ruleset cannot be its own parent:
// `parent` equal to `ecid` is refused with a line on "error/rules", counted in
// dependency_self_parent_refused, and leaves `ecid` without a parent. Longer cycles are not
// looked for here.
void dependency_record(uint64_t ecid, uint64_t parent);

// Writes the ids of up to `capacity` children of `parent` into `out`, in ascending order, and
// returns the total number of children, which may exceed `capacity`: a caller whose buffer was
// too small retries with one of the returned size. A negative capacity or a null `out` writes
// nothing. The children of 0 are never listed (0 means "no parent"), so that call returns 0.
int dependency_find_children(uint64_t parent, int capacity, uint64_t *out);
