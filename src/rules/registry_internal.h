// The ruleset registry: every loaded ruleset by its event criteria id.
//
// The registry is read on hot paths by many threads (workers evaluating metrics, timers, REST
// handlers) and written rarely (loads, replacements, deletions). It sits behind a left-right
// phaser: readers never block and never take a lock, writers are serialised and wait only for
// readers already inside.
//
// Ownership: the registry holds one shared pointer per entry. A pointer copied out by get_by_id
// keeps its ruleset alive after the entry is removed or replaced; removal does not wait for it.
// When an entry removed or replaced held the last reference, the ruleset is destroyed after the
// write has released the writers' mutex, never inside it: its destructor drops streams and
// cancels timers, and whatever that sets off may write to the registry again.
//
// Threads: every method may be called from any thread. A write may be entered while holding
// nothing else of the rules subsystem (no target-list spinlock, no stream lock). The function
// given to iterate runs while the read is held: it may be slow (writers wait for it) but must
// not write to the registry.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "absl/container/flat_hash_map.h"
#include "rules/lr_phaser_internal.h"
#include "rules/model_internal.h"

class ruleset_mgr_c {
 public:
  ruleset_mgr_c() = default;
  ruleset_mgr_c(const ruleset_mgr_c &) = delete;
  ruleset_mgr_c &operator=(const ruleset_mgr_c &) = delete;

  // Inserts r under its own event_criteria_id, replacing any entry of that id. An empty
  // pointer is refused (returns false) and changes nothing.
  bool add_by_id(ruleset_sp &r);
  // A copy of the pointer stored under id; empty when absent. Never blocks.
  ruleset_sp get_by_id(uint64_t id) const;
  // Erases id and returns the pointer it held; empty, and nothing changes, when absent.
  ruleset_sp remove_by_id(uint64_t id);
  // Calls fn(id, ruleset) for every entry, in table order, inside one read.
  void iterate(const std::function<void(uint64_t, const ruleset_sp &)> &fn) const;
  // The number of entries. Never blocks.
  size_t size() const;

 private:
  typedef absl::flat_hash_map<uint64_t, ruleset_sp> id_to_ruleset_map_t;
  lr_phaser_c<id_to_ruleset_map_t> _id_to_ruleset;
};

// The process's registry, created when the rules module starts and kept until exit.
extern std::unique_ptr<ruleset_mgr_c> ruleset_mgr;

// The global registry's get_by_id(id); empty as well while the registry does not exist yet.
ruleset_sp get_ruleset_by_id(uint64_t id);
