// The dependency registry keeps one record (child, parent) per child with a parent, in two
// orders: the primary order by parent then child, so that the children of one parent are adjacent
// and ascending, and an index by child, to find and replace a child's record. Both change
// together under `deplock`.
#include "rules/dependency_internal.h"
#include "rules/model_internal.h"

#include <cinttypes>
#include <climits>
#include <mutex>
#include <set>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "daemon_stats.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_sync.h"

std::atomic<uint64_t> dependency_self_parent_refused{0};

namespace {

// (parent, child): std::pair's order is exactly "by parent, then by child", unsigned.
typedef std::pair<uint64_t, uint64_t> parent_child_t;

tovi_mutex_c deplock;
std::set<parent_child_t> deplist ABSL_GUARDED_BY(deplock);
// child -> parent
absl::flat_hash_map<uint64_t, uint64_t> child_index ABSL_GUARDED_BY(deplock);

// Removes the record of `ecid`, if any. Requires deplock.
void remove_child_locked(uint64_t ecid) ABSL_EXCLUSIVE_LOCKS_REQUIRED(deplock) {
  auto it = child_index.find(ecid);
  if (it == child_index.end()) return;
  deplist.erase(parent_child_t{it->second, ecid});
  child_index.erase(it);
}

}  // namespace

void dependency_init() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "dependency");
    stats_register_u64(ns, "self_parent_refused", STATS_COUNTER, &dependency_self_parent_refused);
  });
  tovi_lock_guard_c<tovi_mutex_c> guard(deplock);
  deplist.clear();
  child_index.clear();
}

void dependency_record(uint64_t ecid, uint64_t parent) {
  if (parent != 0 && parent == ecid) {
    // A ruleset that is its own parent would re-evaluate itself on every change of its own
    // state. Its definition names no usable parent, so it keeps none.
    dependency_self_parent_refused.fetch_add(1, std::memory_order_relaxed);
    static tovi_log_stream_t ls = tovi_log_stream_find("error/rules");
    tovi_log(ls, "dependency: ruleset %" PRIu64 " names itself as its parent; ignored\n", ecid);
    parent = 0;
  }
  bool changed;
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(deplock);
    auto it = child_index.find(ecid);
    changed = (it == child_index.end() ? 0 : it->second) != parent;
    remove_child_locked(ecid);
    if (parent != 0) {
      deplist.insert(parent_child_t{parent, ecid});
      child_index[ecid] = parent;
    }
  }
  // A route resolved before a change of parents is built again.
  if (changed) rules_routes_invalidate();
}

int dependency_find_children(uint64_t parent, int capacity, uint64_t *out) {
  if (out == nullptr || capacity < 0) capacity = 0;
  if (parent == 0) return 0;
  tovi_lock_guard_c<tovi_mutex_c> guard(deplock);
  int count = 0;
  for (auto it = deplist.lower_bound(parent_child_t{parent, 0});
       it != deplist.end() && it->first == parent; ++it) {
    if (count < capacity) out[count] = it->second;
    // A parent with more children than an int counts stops at INT_MAX rather than wrapping.
    if (count == INT_MAX) break;
    count++;
  }
  return count;
}
