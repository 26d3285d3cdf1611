// Per-metric routes: what every later message of a metric needs, resolved by its first.
//
// A route names, for one metric (account, check UUID, name with stream tags), the rulesets that
// apply to it in the lookup's order and each one's stream for the metric. It holds bare pointers
// and no references: it is used only while the routes' generation (model_internal.h) is the one
// its lookup started under, and everything that could free a ruleset or a stream moves the
// generation on before asking for that free, which then waits for every reader that may still
// use the old route (safe memory).
//
// A route lives in a route set, the value of the metric director's slot of one interest entry:
// the metrics that share the entry (the tag variants of one bare name) share the set. A set is
// one block and never changes once published; a message that builds a route publishes a new set
// (its route, then copies of the other metrics' routes that are still current, at most
// max_routes_per_set) with one compare-and-swap, and hands the old set to the safe free. When
// the set is full of current routes, a new metric is looked up afresh on every message instead.
// The director calls route_set_destroy once its entry is gone and no reader can see it.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "rules/rules.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "daemon_stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_cluster.h"
#include "tovi/tovi_memory.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

struct metric_route_t {
  uint64_t generation;
  uint64_t account_id;
  uint8_t check_uuid[16];
  uint32_t name_len;  // with stream tags
  int32_t count;
  // count entries, then name_len bytes of name, in the same block.
  struct entry_t {
    ruleset_t *ruleset;
    rulestream_c *stream;  // null: found per message
  } entries[];

  const char *name() const { return reinterpret_cast<const char *>(entries + count); }
};

namespace {

constexpr uint32_t max_routes_per_set = 32;

// One block: the header, the route pointers, then the routes themselves (8-byte aligned), newest
// first, so that a metric with one route finds it on the set's first cache lines.
struct route_set_t {
  uint32_t count;
  metric_route_t *routes[];
};

std::atomic<uint64_t> routes_built{0};

size_t align8(size_t n) {
  return (n + 7) & ~size_t(7);
}

size_t route_bytes(uint32_t count, size_t name_len) {
  return align8(sizeof(metric_route_t) + count * sizeof(metric_route_t::entry_t) + name_len);
}

bool route_is_for(const metric_route_t *r, const vask_metric_id_t *id, size_t name_len) {
  return r->name_len == name_len && r->account_id == id->account_id &&
         std::memcmp(r->check_uuid, id->id, 16) == 0 &&
         std::memcmp(r->name(), id->name, name_len) == 0;
}

const metric_route_t *set_find(const route_set_t *set, const vask_metric_id_t *id,
                               size_t name_len) {
  for (uint32_t i = 0; set && i < set->count; i++)
    if (route_is_for(set->routes[i], id, name_len)) return set->routes[i];
  return nullptr;
}

// The director's slot destructor: the entry is gone and no reader can reach the set any more.
void route_set_destroy(void *p) {
  tovi_memory_safe_free(p);
}

// The slot of the metric's interest entry: its own check UUID with the bare name, else with the
// name with stream tags (a canonical ruleset's entry). Null when neither is registered.
std::atomic<void *> *find_slot(const vask_metric_id_t *id, size_t with_tags) {
  std::atomic<void *> *slot = vask_metric_director_interest_slot(id->id, id->name, id->name_len);
  if (!slot && with_tags != id->name_len)
    slot = vask_metric_director_interest_slot(id->id, id->name, with_tags);
  return slot;
}

// Writes the route the dispatch recorded at `at`.
metric_route_t *write_route(void *at, const rules_dispatch_t *d, size_t with_tags) {
  auto *r = static_cast<metric_route_t *>(at);
  const size_t n = d->recorded.size();
  r->generation = d->generation;
  r->account_id = d->id->account_id;
  std::memcpy(r->check_uuid, d->id->id, 16);
  r->name_len = uint32_t(with_tags);
  r->count = int32_t(n);
  for (size_t i = 0; i < n; i++)
    r->entries[i] = {const_cast<ruleset_t *>(d->recorded[i].first), d->recorded[i].second};
  std::memcpy(const_cast<char *>(r->name()), d->id->name, with_tags);
  return r;
}

// Publishes a set holding the dispatch's route and the other metrics' routes of the slot that
// are still current. False when those fill the set already.
bool publish(const rules_dispatch_t *d, size_t with_tags) {
  for (;;) {
    // Acquire: the set was complete before it was published.
    void *seen = d->slot->load(std::memory_order_acquire);
    auto *old = static_cast<const route_set_t *>(seen);
    const uint64_t now = rules_route_generation.load(std::memory_order_seq_cst);
    auto kept = [&](const metric_route_t *r) {
      return r->generation == now && !route_is_for(r, d->id, with_tags);
    };
    uint32_t keep = 0;
    const size_t fresh_bytes = route_bytes(uint32_t(d->recorded.size()), with_tags);
    size_t bytes = fresh_bytes;
    for (uint32_t i = 0; old && i < old->count; i++)
      if (kept(old->routes[i])) {
        keep++;
        bytes += route_bytes(uint32_t(old->routes[i]->count), old->routes[i]->name_len);
      }
    if (keep >= max_routes_per_set) return false;
    const size_t header = align8(sizeof(route_set_t) + (keep + 1) * sizeof(metric_route_t *));
    void *mem = tovi_memory_safe_malloc(header + bytes);
    tovi_assert(mem != nullptr);
    auto *next = static_cast<route_set_t *>(mem);
    char *at = static_cast<char *>(mem) + header;
    next->count = 0;
    next->routes[next->count++] = write_route(at, d, with_tags);
    at += fresh_bytes;
    for (uint32_t i = 0; old && i < old->count; i++) {
      const metric_route_t *r = old->routes[i];
      if (!kept(r)) continue;
      const size_t n = route_bytes(uint32_t(r->count), r->name_len);
      std::memcpy(at, r, n);
      next->routes[next->count++] = reinterpret_cast<metric_route_t *>(at);
      at += n;
    }
    // Release: the set and its routes are complete before a reader can load them.
    if (d->slot->compare_exchange_strong(seen, next, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      // Readers may still hold the old set, or a route in it.
      if (old) tovi_memory_safe_free(seen);
      return true;
    }
    tovi_memory_safe_free(next);
  }
}

}  // namespace

void rules_routes_init(void) {
  vask_metric_director_set_slot_destructor(route_set_destroy);
}

namespace {

// Ownership follows the cluster's nodes: a node that comes, goes or restarts moves it.
int routes_on_node_updated(void *, uint32_t, const tovi_cluster_node_t *, tovi_cluster_t *,
                           uint64_t) {
  rules_routes_invalidate();
  return TOVI_HOOK_CONTINUE;
}

}  // namespace

void rules_routes_register(void) {
  tovi_assert(
      tovi_cluster_node_update_hook_register("rules-routes", routes_on_node_updated, nullptr));
  static std::once_flag registered;
  std::call_once(registered, [] {
    stats_opts_t opts;
    opts.units = "routes";
    tovi_assert(
        stats_register_u64(rules_stats_ns(), "routes_built", STATS_COUNTER, &routes_built, opts));
  });
}

uint64_t rules_routes_built(void) {
  return routes_built.load(std::memory_order_relaxed);
}

int rules_dispatch_begin(rules_dispatch_t *d, const vask_metric_id_t *id, ruleset_sp *out,
                         int capacity) {
  d->route = nullptr;
  d->id = id;
  d->rulesets = out;
  d->slot = nullptr;
  d->recorded.clear();
  if (id->check.tag_count == 0) {
    // Read before the slot and the lookup: a change published after this reading leaves the
    // route built from them stale.
    uint64_t generation = rules_route_generation.load(std::memory_order_seq_cst);
    size_t with_tags = vask_metric_id_stream_name_len(id);
    if (std::atomic<void *> *slot = find_slot(id, with_tags)) {
      // Acquire: pairs with the release of publish.
      auto *set = static_cast<const route_set_t *>(slot->load(std::memory_order_acquire));
      const metric_route_t *r = set_find(set, id, with_tags);
      if (r && r->generation == generation) {
        d->route = r;
        d->count = r->count;
        return r->count;
      }
      d->slot = slot;
      d->generation = generation;
    }
  }
  int n = rulesets_for_metric(id, out, capacity);
  d->count = n;
  if (n < 0) d->slot = nullptr;  // too many: logged and applied to none on every message
  if (d->slot) d->recorded.reserve(size_t(n));
  return n;
}

int rules_dispatch_apply(rules_dispatch_t *d, int i, vask_metric_message_t *m) {
  if (const metric_route_t *r = d->route) {
    const metric_route_t::entry_t &e = r->entries[i];
    // Owns nothing: the route's generation keeps the ruleset alive for this bracket, and the
    // calls below only borrow it.
    const ruleset_sp ruleset(ruleset_sp(), e.ruleset);
    return ruleset_apply_to_stream(ruleset, e.stream, m);
  }
  const ruleset_sp &ruleset = d->rulesets[i];
  if (!d->slot) return ruleset_apply_metric_message(ruleset, m);
  rulestream_c *stream = nullptr;
  int sev = ruleset_apply_recording(ruleset, m, &stream);
  if (ruleset) d->recorded.emplace_back(ruleset.get(), stream);
  return sev;
}

void rules_dispatch_end(rules_dispatch_t *d) {
  if (!d->slot || d->route || d->count < 0 || d->recorded.size() != size_t(d->count)) return;
  // A route that a change overtook while it was resolved would be stale at once.
  if (rules_route_generation.load(std::memory_order_seq_cst) != d->generation) return;
  if (publish(d, vask_metric_id_stream_name_len(d->id)))
    routes_built.fetch_add(1, std::memory_order_relaxed);
}
