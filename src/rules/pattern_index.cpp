// The pattern rulesets of one account screened together (contract in pattern_index_internal.h).
//
// Exactness: the index holds the same rulesets as the lists at the version it was built from, in
// the same order, and a lookup takes from it only a ruleset that ruleset_match accepts, the very
// test the walk makes. The matcher only decides which entries are worth that test; an entry it
// cannot screen is always tested. So a current index gives what the walk gives, and a stale one
// is not used.
//
// Threads: lookups read the published index (acquire) and the account's version; the rebuild
// thread is the only writer of the index pointer. Writers of the lists bump the version after
// their change (sequentially consistent, so a rebuild that reads the new version sees the change)
// and before they retire the slots they emptied, and queue the account. The index names rulesets
// by bare pointer, so that a removed ruleset is not kept alive by it. The rebuild reads the version
// before it collects the lists: a change it missed bumps the version past the one it records, and
// is rebuilt again.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "rules/pattern_index_internal.h"
#include "daemon_stats.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "vask/vask_multimatch.h"

struct pattern_index_t {
  struct group_t {
    uint8_t check_uuid[16];
    uint32_t first, count;  // entries[first .. first + count)
  };
  uint64_t version = 0;
  std::vector<group_t> groups;  // sorted by check UUID
  // Bare pointers: the index must not keep a removed ruleset alive. Valid while the index is
  // current (see pattern_index_matches).
  std::vector<ruleset_t *> entries;
  vask_multimatch_t *matcher = nullptr;  // ids are entry positions
};

namespace {

void free_index(void *p) {
  auto *ix = static_cast<pattern_index_t *>(p);
  vask_multimatch_free(ix->matcher);
  delete ix;
}

const pattern_index_t::group_t *find_group(const pattern_index_t *ix, const uint8_t *uuid) {
  auto it = std::lower_bound(ix->groups.begin(), ix->groups.end(), uuid,
                             [](const pattern_index_t::group_t &g, const uint8_t *u) {
                               return std::memcmp(g.check_uuid, u, 16) < 0;
                             });
  if (it == ix->groups.end() || std::memcmp(it->check_uuid, uuid, 16) != 0) return nullptr;
  return &*it;
}

pattern_index_t *build_index(uint64_t version, std::vector<pattern_group_t> groups) {
  std::sort(groups.begin(), groups.end(), [](const pattern_group_t &a, const pattern_group_t &b) {
    return std::memcmp(a.check_uuid, b.check_uuid, 16) < 0;
  });
  auto *ix = new pattern_index_t;
  ix->version = version;
  std::vector<vask_multimatch_pattern_t> patterns;
  for (pattern_group_t &g : groups) {
    pattern_index_t::group_t ig;
    std::memcpy(ig.check_uuid, g.check_uuid, 16);
    ig.first = uint32_t(ix->entries.size());
    ig.count = uint32_t(g.rulesets.size());
    ix->groups.push_back(ig);
    for (ruleset_sp &r : g.rulesets) {
      // The lookup compiles a pattern ruleset's name with no options; anything else in these
      // lists is not a pattern and is always tested.
      bool pattern = r->pattern.metric_name && r->metric_pcre;
      patterns.push_back(
          {pattern ? r->metric_name : nullptr, 0, pattern ? r->metric_pcre : nullptr});
      ix->entries.push_back(r.get());
    }
  }
  ix->matcher = vask_multimatch_build(patterns.data(), patterns.size());
  return ix;
}

// ---- The rebuild thread ---------------------------------------------------------------------

// Quiet time after the last change before a rebuild, and the longest a change waits for one.
constexpr auto settle_quiet = std::chrono::milliseconds(50);
constexpr auto settle_longest = std::chrono::milliseconds(1000);

struct rebuilds_t {
  tovi_mutex_c lock;
  std::condition_variable_any wake;
  std::set<uint64_t> stale ABSL_GUARDED_BY(lock);  // accounts to rebuild
  std::chrono::steady_clock::time_point first_change ABSL_GUARDED_BY(lock);
  std::chrono::steady_clock::time_point last_change ABSL_GUARDED_BY(lock);
  bool thread_started ABSL_GUARDED_BY(lock) = false;
};

// Never destroyed: the detached thread may be waiting on it while the process exits.
rebuilds_t &rebuilds() {
  static rebuilds_t *r = new rebuilds_t;
  return *r;
}

// Statistics ("ruleset"/"patterns"): rebuilds, and the patterns of the current indexes that the
// matcher screens and that it leaves to PCRE on every lookup.
std::atomic<uint64_t> stat_rebuilds{0}, stat_screened{0}, stat_unscreened{0};

void register_stats() {
  static std::once_flag once;
  std::call_once(once, [] {
    stats_ns_t *ruleset = stats_register_ns(stats_recorder_root(stats_recorder()), "ruleset");
    stats_ns_t *ns = ruleset ? stats_register_ns(ruleset, "patterns") : nullptr;
    if (!ns) return;
    stats_opts_t opts;
    opts.units = "rebuilds";
    stats_register_u64(ns, "rebuilds", STATS_COUNTER, &stat_rebuilds, opts);
    opts.units = "patterns";
    stats_register_u64(ns, "screened", STATS_GAUGE, &stat_screened, opts);
    stats_register_u64(ns, "unscreened", STATS_GAUGE, &stat_unscreened, opts);
  });
}

// Held across taking the stale accounts and rebuilding them: one rebuild at a time, so that an
// older index is never published over a newer one, and a settle waits for a rebuild in flight.
tovi_mutex_c rebuild_lock;

int rebuild(uint64_t account) {
  pattern_index_state_t *state = rules_pattern_index_state(account);
  if (!state) return 0;
  // Read before the lists: a change made while they are collected leaves this index stale.
  uint64_t version = state->version.load(std::memory_order_seq_cst);
  pattern_index_t *ix = build_index(version, rules_pattern_groups(account));
  // Acquire-release: lookups that load the new index see it complete; the old one is ours.
  pattern_index_t *old = state->index.exchange(ix, std::memory_order_acq_rel);
  // Relaxed: statistics; the rebuilds are serialised by rebuild_lock.
  size_t screened = vask_multimatch_screened(ix->matcher);
  stat_screened.fetch_add(screened, std::memory_order_relaxed);
  stat_unscreened.fetch_add(vask_multimatch_count(ix->matcher) - screened,
                            std::memory_order_relaxed);
  stat_rebuilds.fetch_add(1, std::memory_order_relaxed);
  if (old) {
    size_t was = vask_multimatch_screened(old->matcher);
    stat_screened.fetch_sub(was, std::memory_order_relaxed);
    stat_unscreened.fetch_sub(vask_multimatch_count(old->matcher) - was, std::memory_order_relaxed);
    tovi_memory_defer(free_index, old);
  }
  tovi_log(rules_debug_stream(),
           "pattern index of account %lu: %zu rulesets, %zu screened by the matcher\n",
           static_cast<unsigned long>(account), vask_multimatch_count(ix->matcher),
           vask_multimatch_screened(ix->matcher));
  return 1;
}

int rebuild_stale() {
  tovi_lock_guard_c<tovi_mutex_c> one_at_a_time(rebuild_lock);
  std::set<uint64_t> stale;
  {
    rebuilds_t &r = rebuilds();
    tovi_lock_guard_c<tovi_mutex_c> g(r.lock);
    stale = std::exchange(r.stale, {});
  }
  int n = 0;
  for (uint64_t account : stale)
    n += rebuild(account);
  return n;
}

void rebuild_thread() {
  pthread_setname_np(pthread_self(), "pattern-index");
  rebuilds_t &r = rebuilds();
  for (;;) {
    {
      tovi_unique_lock_c<tovi_mutex_c> g(r.lock);
      while (r.stale.empty())
        r.wake.wait(g);
      // Let a burst of changes (a bulk load) finish, but not forever.
      for (;;) {
        auto now = std::chrono::steady_clock::now();
        auto until = std::min(r.last_change + settle_quiet, r.first_change + settle_longest);
        if (now >= until) break;
        r.wake.wait_until(g, until);
      }
    }
    rebuild_stale();
    tovi_memory_maintenance();
  }
}

}  // namespace

void pattern_index_changed(pattern_index_state_t *state, uint64_t account_id) {
  // Sequentially consistent: after the writer's change to the list, before the rebuild's read.
  state->version.fetch_add(1, std::memory_order_seq_cst);
  register_stats();
  rebuilds_t &r = rebuilds();
  tovi_lock_guard_c<tovi_mutex_c> g(r.lock);
  auto now = std::chrono::steady_clock::now();
  if (r.stale.empty()) r.first_change = now;
  r.last_change = now;
  r.stale.insert(account_id);
  if (!r.thread_started) {
    r.thread_started = true;
    std::thread(rebuild_thread).detach();
  }
  r.wake.notify_one();
}

int pattern_index_settle() {
  int n = rebuild_stale();
  tovi_memory_synchronize();
  return n;
}

bool pattern_index_matches(const pattern_index_state_t *state, const vask_metric_id_t *id,
                           const uint8_t *const *uuids, int nuuids, ruleset_sp *out, int capacity,
                           int *count) {
  // Acquire: the index is complete. Sequentially consistent version: the writer bumps it before
  // it retires the slots of the rulesets it removed, so a reader that still reads the index's
  // version entered its bracket before those slots were retired, and every ruleset the index
  // names stays alive until the bracket ends.
  const pattern_index_t *ix = state->index.load(std::memory_order_acquire);
  if (!ix || ix->version != state->version.load(std::memory_order_seq_cst)) return false;
  const pattern_index_t::group_t *groups[2] = {};
  bool any = false;
  for (int u = 0; u < nuuids && u < 2; u++) {
    groups[u] = find_group(ix, uuids[u]);
    any |= groups[u] && groups[u]->count;
  }
  if (!any) return true;
  thread_local std::vector<uint64_t> bits;
  size_t words = vask_multimatch_words(ix->matcher);
  if (bits.size() < words) bits.resize(words);
  vask_multimatch_candidates(ix->matcher, id->name, id->name_len, bits.data());
  for (const pattern_index_t::group_t *g : groups) {
    if (!g) continue;
    for (uint32_t i = g->first; i < g->first + g->count; i++) {
      uint64_t word = bits[i / 64] >> (i % 64);
      if (!word) {  // nothing more in this word: jump to the next one
        i |= 63;
        continue;
      }
      i += uint32_t(__builtin_ctzll(word));
      if (i >= g->first + g->count) break;
      ruleset_t *r = ix->entries[i];
      if (!ruleset_match(*r, id)) continue;
      if (*count < capacity) out[*count] = r->shared_from_this();
      (*count)++;
    }
  }
  return true;
}
