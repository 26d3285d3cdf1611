#include "rules/registry_internal.h"

std::unique_ptr<ruleset_mgr_c> ruleset_mgr;

bool ruleset_mgr_c::add_by_id(ruleset_sp &r) {
  if (!r) return false;
  const uint64_t id = r->event_criteria_id;
  // The entry being replaced may hold the last reference to the old ruleset, whose destructor
  // drops streams and cancels timers, and may write to this registry. Each run of the write
  // parks the displaced pointer here, so that the old ruleset dies after the writers' mutex is
  // released. One slot per copy of the table.
  ruleset_sp displaced[2];
  int run = 0;
  _id_to_ruleset.write_op([&](id_to_ruleset_map_t &table) {
    auto [it, inserted] = table.try_emplace(id, r);
    if (!inserted) {
      displaced[run] = std::move(it->second);
      it->second = r;
    }
    run++;
  });
  return true;
}

ruleset_sp ruleset_mgr_c::get_by_id(uint64_t id) const {
  return _id_to_ruleset.read_op([id](const id_to_ruleset_map_t &table) -> ruleset_sp {
    auto it = table.find(id);
    return it == table.end() ? ruleset_sp() : it->second;
  });
}

ruleset_sp ruleset_mgr_c::remove_by_id(uint64_t id) {
  ruleset_sp removed;
  // Runs once per copy; both copies hold the same pointer, so both runs leave the same result,
  // and the first run's reference, dropped by the second, is never the last: `removed` holds
  // one until the caller lets go, after the writers' mutex is released.
  _id_to_ruleset.write_op([&](id_to_ruleset_map_t &table) {
    auto it = table.find(id);
    if (it == table.end()) return;
    removed = std::move(it->second);
    table.erase(it);
  });
  return removed;
}

void ruleset_mgr_c::iterate(const std::function<void(uint64_t, const ruleset_sp &)> &fn) const {
  _id_to_ruleset.read_op([&](const id_to_ruleset_map_t &table) {
    for (const auto &[id, r] : table)
      fn(id, r);
  });
}

size_t ruleset_mgr_c::size() const {
  return _id_to_ruleset.read_op([](const id_to_ruleset_map_t &table) { return table.size(); });
}

ruleset_sp get_ruleset_by_id(uint64_t id) {
  // Timers and REST handlers may ask before the rules module has started.
  if (!ruleset_mgr) return ruleset_sp();
  return ruleset_mgr->get_by_id(id);
}
