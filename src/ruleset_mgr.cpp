#include "ruleset_mgr.h"

std::unique_ptr<ruleset_mgr_c> ruleset_mgr;

bool ruleset_mgr_c::add_by_id(ruleset_sp &r) {
  if (!r) return false;
  const uint64_t id = r->event_criteria_id;
  _id_to_ruleset.write_op([&](id_to_ruleset_map_t &table) { table.insert_or_assign(id, r); });
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
  // Runs once per copy; both copies hold the same pointer, so both runs leave the same result.
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
