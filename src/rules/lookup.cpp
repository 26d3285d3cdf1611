// Metric-to-ruleset lookup: the target lists, their hash sets and the director registrations.
//
// Every worker thread asks, for every metric message, which rulesets apply; it must not take a
// lock or allocate. Rulesets are filed in target lists: exact names under (account, check UUID,
// metric name) in `rulesets_by_metric`, patterns under (account, check UUID) in a per-account set
// reached through `rulesets_by_pattern`. Both outer sets are Concurrency Kit hash sets with one
// writer at a time (their spinlock) and lock-free readers; memory they drop goes through the
// safe free, so a reader inside its safe-memory bracket never sees it vanish.
//
// A list is a chain of nodes that is only ever appended to while the list lives: an emptied node
// stays in place and is reused by the next addition, so a reader walking the chain never loses
// its footing. A node's ruleset changes while readers copy it, and a shared pointer cannot be
// swapped atomically without a lock here, so a node holds an atomic pointer to a small
// safe-memory slot that owns one ruleset_sp. A writer publishes a new slot with a release store
// and hands the old one to the safe free, whose clean-up drops its pointer once no reader can
// still be copying it. Readers copy the pointer held by the slot they loaded: a reference count
// increment, no allocation.
//
// Director registrations are counted by the director, so this module remembers what it
// registered for each ruleset (interest or search, thread, search id) and withdraws exactly that:
// a kept ruleset is not registered twice, a ruleset whose search could not be built withdraws
// nothing.
// Concurrency Kit's headers declare C functions without C linkage markers.
extern "C" {
#include <ck_hs.h>
}

#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "rules/pattern_index_internal.h"
#include "rules/rules_mgr_internal.h"
#include "rules/registry_internal.h"
#include "tovi/tovi_sync.h"
#include "vask/vask_pcre.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_cluster.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_base64.h"
#include "vask/vask_decoder.h"
#include "vask/vask_director.h"

namespace {

const uint8_t zero_uuid[16] = {};

// Owns one ruleset pointer; lives in safe memory so readers may copy it until the grace period
// after it was replaced has passed.
struct ruleset_slot_t {
  ruleset_sp ruleset;
  // For a pattern that starts with "^" and literal text: that text (or its start). A bare name
  // that does not begin with it cannot match, which saves running the expression for most
  // pattern rulesets of the account on every message. Empty when the pattern allows no such
  // conclusion.
  uint16_t prefix_len = 0;
  char prefix[46];
};

// The literal text an anchored pattern's every match must start with. Conservative: only a
// pattern without alternation, and only characters that are literal whatever follows, up to the
// first one a quantifier applies to or anything else.
size_t literal_prefix(const char *pattern, char *out, size_t cap) {
  if (pattern[0] != '^' || std::strchr(pattern, '|')) return 0;
  const char *p = pattern + 1;
  size_t n = 0;
  while (*p && n < cap) {
    char c = *p;
    const char *next = p + 1;
    if (c == '\\') {
      if (p[1] != '.') break;
      c = '.';
      next = p + 2;
    } else if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("_-/:=@,", c)) {
      break;
    }
    if (*next == '?' || *next == '*' || *next == '+' || *next == '{') break;
    out[n++] = c;
    p = next;
  }
  return n;
}

void destroy_slot(void *p) {
  static_cast<ruleset_slot_t *>(p)->~ruleset_slot_t();
}

ruleset_slot_t *new_slot(const ruleset_sp &r) {
  void *mem = tovi_memory_safe_malloc(sizeof(ruleset_slot_t));
  tovi_assert(mem != nullptr);
  auto *slot = new (mem) ruleset_slot_t{r, 0, {}};
  if (r->pattern.metric_name && r->metric_name)
    slot->prefix_len = uint16_t(literal_prefix(r->metric_name, slot->prefix, sizeof slot->prefix));
  return slot;
}

// Slots that a reader may hold go through the safe free; the clean-up drops the pointer.
void retire_slot(ruleset_slot_t *s) {
  if (s) tovi_memory_safe_free_with_cleanup(s, destroy_slot);
}

bool is_zero_uuid(const uint8_t *u) {
  return std::memcmp(u, zero_uuid, 16) == 0;
}

}  // namespace

struct ruleset_tgt_t {
  std::atomic<ruleset_slot_t *> slot{nullptr};  // null: a vacated node
  std::atomic<ruleset_tgt_t *> next{nullptr};
};

struct ruleset_tgt_list_t {
  tovi_spinlock_c lock;  // writers only
  std::atomic<ruleset_tgt_t *> head{nullptr};
  uint32_t keylen = 0;
  const uint8_t *key = nullptr;  // account (host order), check UUID, name; in the same block
};

namespace {

// ---- Sets ---------------------------------------------------------------------------------------

ck_hs_t rulesets_by_metric;
tovi_spinlock_c rulesets_by_metric_wrlock;
ck_hs_t rulesets_by_pattern;
tovi_spinlock_c rulesets_by_pattern_wrlock;
std::once_flag sets_once;

// One account's pattern lists. The account id comes first so that a bare u64 can be a probe.
struct pattern_account_t {
  uint64_t account_id;
  tovi_spinlock_c lock;  // zeroed by calloc: unlocked
  ck_hs_t lists;
  pattern_index_state_t prefilter;  // zeroed by calloc: no index yet
};

unsigned long list_hash(const void *object, unsigned long seed) {
  auto *l = static_cast<const ruleset_tgt_list_t *>(object);
  return tovi_cluster_hash64(l->key, l->keylen, uint32_t(seed)) ^ seed;
}

bool list_compare(const void *a, const void *b) {
  auto *x = static_cast<const ruleset_tgt_list_t *>(a);
  auto *y = static_cast<const ruleset_tgt_list_t *>(b);
  return x->keylen == y->keylen && std::memcmp(x->key, y->key, x->keylen) == 0;
}

unsigned long account_hash(const void *object, unsigned long seed) {
  return seed ^ (*static_cast<const uint64_t *>(object) * 0x9E3779B97F4A7C15ull);
}

bool account_compare(const void *a, const void *b) {
  return *static_cast<const uint64_t *>(a) == *static_cast<const uint64_t *>(b);
}

unsigned long random_seed() {
  uint64_t x;
  arc4random_buf(&x, sizeof x);
  return x;
}

void init_list_set(ck_hs_t *set, unsigned long size) {
  tovi_assert(ck_hs_init(set, CK_HS_MODE_SPMC | CK_HS_MODE_OBJECT, list_hash, list_compare,
                         &tovi_memory_ck_malloc, size, random_seed()));
}

// A list reclaimed (a racing duplicate): nobody can reach it any more, so its nodes and slots go
// at once.
void destroy_list(void *p) {
  auto *l = static_cast<ruleset_tgt_list_t *>(p);
  ruleset_tgt_t *n = l->head.load(std::memory_order_relaxed);
  while (n) {
    ruleset_tgt_t *next = n->next.load(std::memory_order_relaxed);
    if (ruleset_slot_t *s = n->slot.load(std::memory_order_relaxed)) {
      s->~ruleset_slot_t();
      tovi_memory_safe_free(s);
    }
    delete n;
    n = next;
  }
  l->~ruleset_tgt_list_t();
}

ruleset_tgt_list_t *new_list(const uint8_t *key, uint32_t keylen) {
  void *mem = tovi_memory_safe_malloc(sizeof(ruleset_tgt_list_t) + keylen);
  tovi_assert(mem != nullptr);
  auto *l = new (mem) ruleset_tgt_list_t;
  auto *k = static_cast<uint8_t *>(mem) + sizeof(ruleset_tgt_list_t);
  std::memcpy(k, key, keylen);
  l->key = k;
  l->keylen = keylen;
  return l;
}

// The key of a list in the calling thread's buffer (grown once, then reused).
std::string &key_buffer() {
  thread_local std::string buf;
  return buf;
}

const std::string &make_key(uint64_t account, const uint8_t *uuid, const char *name, size_t len,
                            const char *suffix = nullptr, size_t suffix_len = 0) {
  std::string &k = key_buffer();
  k.assign(reinterpret_cast<const char *>(&account), sizeof account);
  k.append(reinterpret_cast<const char *>(uuid), 16);
  if (len) k.append(name, len);
  if (suffix_len) k.append(suffix, suffix_len);
  return k;
}

ruleset_tgt_list_t *find_list(ck_hs_t *set, const std::string &key) {
  ruleset_tgt_list_t probe;
  probe.key = reinterpret_cast<const uint8_t *>(key.data());
  probe.keylen = uint32_t(key.size());
  unsigned long h = CK_HS_HASH(set, list_hash, &probe);
  return static_cast<ruleset_tgt_list_t *>(ck_hs_get(set, h, &probe));
}

// Whether a list was ever filed under the all-zero check UUID (rulesets of any check), and one
// under a name ending in the empty tag list. Lookups skip the probes that only such lists could
// answer: most daemons have none, and every message would pay for them. Set before the list is
// published and never cleared (lists are never removed), so a lookup that reads false misses
// only a list racing with it, as it would without the flag.
std::atomic<bool> zero_uuid_lists{false};
std::atomic<bool> suffixed_lists{false};

// Inserts a list for the key unless one exists; returns the one in the set.
ruleset_tgt_list_t *insert_list(ck_hs_t *set, tovi_spinlock_c *wrlock, const std::string &key) {
  constexpr std::string_view empty_tags = "|ST[]";
  // Release: a lookup that sees the flag also sees the list published after it.
  if (key.size() >= 24 && is_zero_uuid(reinterpret_cast<const uint8_t *>(key.data()) + 8))
    zero_uuid_lists.store(true, std::memory_order_release);
  if (key.size() >= 24 + empty_tags.size() &&
      std::string_view(key).substr(key.size() - empty_tags.size()) == empty_tags)
    suffixed_lists.store(true, std::memory_order_release);
  ruleset_tgt_list_t *fresh =
      new_list(reinterpret_cast<const uint8_t *>(key.data()), uint32_t(key.size()));
  unsigned long h = CK_HS_HASH(set, list_hash, fresh);
  wrlock->lock();
  auto *existing = static_cast<ruleset_tgt_list_t *>(ck_hs_get(set, h, fresh));
  if (!existing) tovi_assert(ck_hs_put(set, h, fresh));
  wrlock->unlock();
  if (existing) {
    tovi_memory_safe_free_with_cleanup(fresh, destroy_list);
    return existing;
  }
  return fresh;
}

const char *uuid_text(const uint8_t *uuid, char buf[37]) {
  tovi_uuid_unparse(uuid, buf);
  return buf;
}

pattern_account_t *find_account(uint64_t account) {
  unsigned long h = CK_HS_HASH(&rulesets_by_pattern, account_hash, &account);
  return static_cast<pattern_account_t *>(ck_hs_get(&rulesets_by_pattern, h, &account));
}

// A racing duplicate of an account's table: never published, so its set goes at once.
void destroy_account(void *p) {
  auto *a = static_cast<pattern_account_t *>(p);
  ck_hs_destroy(&a->lists);
}

pattern_account_t *get_account(uint64_t account, bool create) {
  pattern_account_t *a = find_account(account);
  if (a || !create) return a;
  auto *fresh =
      static_cast<pattern_account_t *>(tovi_memory_safe_calloc(1, sizeof(pattern_account_t)));
  tovi_assert(fresh != nullptr);
  fresh->account_id = account;
  init_list_set(&fresh->lists, 10);
  unsigned long h = CK_HS_HASH(&rulesets_by_pattern, account_hash, &account);
  rulesets_by_pattern_wrlock.lock();
  a = static_cast<pattern_account_t *>(ck_hs_get(&rulesets_by_pattern, h, &account));
  if (!a) tovi_assert(ck_hs_put(&rulesets_by_pattern, h, fresh));
  rulesets_by_pattern_wrlock.unlock();
  if (a) {
    destroy_account(fresh);
    tovi_memory_safe_free(fresh);
    return a;
  }
  return fresh;
}

// ---- Director registrations --------------------------------------------------------------------

struct director_reg_t {
  ruleset_wp ruleset;  // tells a live registration from one left by a freed object at that address
  uint32_t thread;
  bool search;
  uint32_t search_id;
  uint8_t check_uuid[16];  // what an interest was registered under
  std::string name;
};
tovi_mutex_c director_regs_lock;
std::unordered_map<const ruleset_t *, director_reg_t> director_regs
    ABSL_GUARDED_BY(director_regs_lock);

void withdraw(const director_reg_t &reg) {
  if (reg.search)
    vask_metric_director_deregister_search_on_thread(reg.thread, reg.search_id);
  else
    vask_metric_director_adjust_metric_interest_on_thread(reg.thread, reg.check_uuid,
                                                          reg.name.data(), reg.name.size(), -1);
}

bool pcre_matches(const pcre *re, const pcre_extra *extra, const char *text, size_t len) {
  int ovector[30];
  // The JIT entry skips pcre_exec's per-call checks: this runs for every pattern ruleset of an
  // account on every message.
  int rc;
  if (extra && (extra->flags & PCRE_EXTRA_EXECUTABLE_JIT))
    rc = pcre_jit_exec(re, extra, text, int(len), 0, 0, ovector, 30, rules_thread_jit_stack());
  else
    rc = pcre_exec(re, extra, text, int(len), 0, 0, ovector, 30);
  // A match stopped by its limit is no match: the ruleset is not applied (counted and logged).
  return rc >= 0 || (rc != PCRE_ERROR_NOMATCH && vask_pcre_result(rc, "ruleset pattern") == 1);
}

// A change to a list of pattern rulesets makes its account's prefilter stale.
void note_list_changed(const ruleset_tgt_list_t *list) {
  uint64_t account;
  if (list->keylen != 24) return;
  std::memcpy(&account, list->key, sizeof account);
  tovi_memory_scope_c bracket;
  pattern_account_t *a = find_account(account);
  if (a && find_list(&a->lists, make_key(account, list->key + 8, nullptr, 0)) == list)
    pattern_index_changed(&a->prefilter, account);
}

}  // namespace

pattern_index_state_t *rules_pattern_index_state(uint64_t account_id) {
  pattern_account_t *a = find_account(account_id);
  return a ? &a->prefilter : nullptr;
}

std::vector<pattern_group_t> rules_pattern_groups(uint64_t account_id) {
  std::vector<pattern_group_t> groups;
  tovi_memory_scope_c bracket;
  pattern_account_t *a = find_account(account_id);
  if (!a) return groups;
  std::vector<const ruleset_tgt_list_t *> lists;
  a->lock.lock();  // no list is added to the set while it is walked
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *l;
  while (ck_hs_next(&a->lists, &it, &l))
    lists.push_back(static_cast<const ruleset_tgt_list_t *>(l));
  a->lock.unlock();
  for (const ruleset_tgt_list_t *list : lists) {
    pattern_group_t g;
    std::memcpy(g.check_uuid, list->key + 8, 16);
    for (const ruleset_tgt_t *n = ruleset_tgt_list_head(list); n; n = ruleset_tgt_next(n))
      if (ruleset_sp r = ruleset_tgt_get(n)) g.rulesets.push_back(std::move(r));
    groups.push_back(std::move(g));
  }
  return groups;
}

// ---- Module interface
// ----------------------------------------------------------------------------

void rules_lookup_init(unsigned long initial_size) {
  std::call_once(sets_once, [initial_size] {
    if (!ruleset_mgr) ruleset_mgr = std::make_unique<ruleset_mgr_c>();
    unsigned long size = initial_size ? initial_size : 1;
    tovi_assert(ck_hs_init(&rulesets_by_pattern, CK_HS_MODE_SPMC | CK_HS_MODE_OBJECT, account_hash,
                           account_compare, &tovi_memory_ck_malloc, size, random_seed()));
    init_list_set(&rulesets_by_metric, size);
    rules_routes_init();
  });
}

ruleset_sp ruleset_tgt_get(const ruleset_tgt_t *node) {
  // Acquire: the slot's pointer was complete before the slot was published.
  ruleset_slot_t *s = node->slot.load(std::memory_order_acquire);
  return s ? s->ruleset : ruleset_sp();
}

const ruleset_tgt_t *ruleset_tgt_list_head(const ruleset_tgt_list_t *list) {
  // Acquire: a node is fully built before it is linked.
  return list->head.load(std::memory_order_acquire);
}

const ruleset_tgt_t *ruleset_tgt_next(const ruleset_tgt_t *node) {
  return node->next.load(std::memory_order_acquire);
}

ruleset_tgt_list_t *get_rulesets_by_metric(uint64_t account_id, const uint8_t check_uuid[16],
                                           const char *name, size_t len, bool create) {
  const std::string &key = make_key(account_id, check_uuid, name, len);
  ruleset_tgt_list_t *l = find_list(&rulesets_by_metric, key);
  char u[37];
  if (l) {
    tovi_log(rules_debug_stream(), "get_rule(%zu,%s,%.*s) -> %p\n", size_t(account_id),
             uuid_text(check_uuid, u), int(len), name, static_cast<void *>(l));
    return l;
  }
  if (!create) {
    tovi_log(rules_debug_stream(), "get_rule(%zu,%s,%.*s) -> NULL\n", size_t(account_id),
             uuid_text(check_uuid, u), int(len), name);
    return nullptr;
  }
  l = insert_list(&rulesets_by_metric, &rulesets_by_metric_wrlock, key);
  tovi_log(rules_debug_stream(), "make_rule(%zu,%s,%.*s) -> %p\n", size_t(account_id),
           uuid_text(check_uuid, u), int(len), name, static_cast<void *>(l));
  return l;
}

ruleset_tgt_list_t *get_rulesets_by_pattern(uint64_t account_id, const uint8_t check_uuid[16],
                                            bool create) {
  pattern_account_t *a = get_account(account_id, create);
  char u[37];
  if (!a) {
    tovi_log(rules_debug_stream(), "get_rule(%zu,%s,%.*s) -> NULL\n", size_t(account_id),
             uuid_text(check_uuid, u), 0, "");
    return nullptr;
  }
  const std::string &key = make_key(account_id, check_uuid, nullptr, 0);
  ruleset_tgt_list_t *l = find_list(&a->lists, key);
  if (l) {
    tovi_log(rules_debug_stream(), "get_rule(%zu,%s,%.*s) -> %p\n", size_t(account_id),
             uuid_text(check_uuid, u), 0, "", static_cast<void *>(l));
    return l;
  }
  if (!create) {
    tovi_log(rules_debug_stream(), "get_rule(%zu,%s,%.*s) -> NULL\n", size_t(account_id),
             uuid_text(check_uuid, u), 0, "");
    return nullptr;
  }
  l = insert_list(&a->lists, &a->lock, key);
  tovi_log(rules_debug_stream(), "make_rule(%zu,%s,%.*s) -> %p\n", size_t(account_id),
           uuid_text(check_uuid, u), 0, "", static_cast<void *>(l));
  return l;
}

ruleset_sp add_ruleset_tgt(ruleset_tgt_list_t *list, const ruleset_sp &ruleset) {
  ruleset_sp result = ruleset;
  std::vector<ruleset_sp> collected;
  std::vector<ruleset_slot_t *> retired;
  // Allocated before the lock; freed unused when an equal ruleset is kept or this one is filed.
  ruleset_slot_t *fresh = new_slot(ruleset);
  auto *spare = new ruleset_tgt_t;
  bool fresh_used = false, spare_used = false;
  {
    tovi_memory_scope_c bracket;
    list->lock.lock();
    struct held_t {
      ruleset_tgt_t *node;
      ruleset_slot_t *slot;
    };
    std::vector<held_t> same_id;  // other objects of this id, in list order
    ruleset_tgt_t *first_empty = nullptr, *last = nullptr;
    bool present = false;
    for (ruleset_tgt_t *n = list->head.load(std::memory_order_relaxed); n;
         n = n->next.load(std::memory_order_relaxed)) {
      last = n;
      ruleset_slot_t *s = n->slot.load(std::memory_order_relaxed);
      if (!s) {
        if (!first_empty) first_empty = n;
      } else if (s->ruleset == ruleset) {
        present = true;
      } else if (s->ruleset->event_criteria_id == ruleset->event_criteria_id) {
        same_id.push_back({n, s});
        collected.push_back(s->ruleset);
      }
    }
    // An equal ruleset already filed stays, in its node; it is not touched at all.
    ruleset_tgt_t *kept = nullptr;
    if (!present)
      for (const held_t &h : same_id)
        if (*h.slot->ruleset == *ruleset) {
          result = h.slot->ruleset;
          kept = h.node;
          break;
        }
    // The new ruleset takes the node of the version it replaces, in one store, so that a reader
    // sees the old version or the new one, never neither.
    ruleset_tgt_t *target = nullptr;
    if (!present && !kept) {
      target = !same_id.empty() ? same_id.front().node : first_empty;
      fresh_used = true;
      if (!target) {
        spare->slot.store(fresh, std::memory_order_relaxed);
        spare_used = true;
        // Release: the node and its slot are complete before they are linked.
        if (last)
          last->next.store(spare, std::memory_order_release);
        else
          list->head.store(spare, std::memory_order_release);
      }
    }
    for (const held_t &h : same_id) {
      if (h.node == kept) continue;
      // Release: a new slot is complete before readers can load it.
      h.node->slot.store(h.node == target ? fresh : nullptr, std::memory_order_release);
      retired.push_back(h.slot);
    }
    if (target && (same_id.empty() || target != same_id.front().node))
      target->slot.store(fresh, std::memory_order_release);
    list->lock.unlock();
  }
  // Before the retired slots go to the safe free: the prefilter and every route that still name
  // their rulesets are then stale for every reader that could outlive them.
  if (fresh_used || !retired.empty()) {
    note_list_changed(list);
    rules_routes_invalidate();
  }
  for (ruleset_slot_t *s : retired)
    retire_slot(s);
  if (!fresh_used) {
    fresh->~ruleset_slot_t();
    tovi_memory_safe_free(fresh);
  }
  if (!spare_used) delete spare;
  for (const ruleset_sp &c : collected)
    if (c != result) deregister_ruleset_with_director(*c);
  register_ruleset_with_director(result);
  return result;
}

int remove_ruleset_tgt(ruleset_tgt_list_t *list, const ruleset_sp &ruleset) {
  std::vector<ruleset_slot_t *> retired;
  {
    tovi_memory_scope_c bracket;
    list->lock.lock();
    for (ruleset_tgt_t *n = list->head.load(std::memory_order_relaxed); n;
         n = n->next.load(std::memory_order_relaxed)) {
      ruleset_slot_t *s = n->slot.load(std::memory_order_relaxed);
      if (s && s->ruleset == ruleset) {
        n->slot.store(nullptr, std::memory_order_release);
        retired.push_back(s);
      }
    }
    list->lock.unlock();
  }
  if (!retired.empty()) {  // before the slots go, as above
    note_list_changed(list);
    rules_routes_invalidate();
  }
  for (ruleset_slot_t *s : retired)
    retire_slot(s);
  deregister_ruleset_with_director(*ruleset);
  return int(retired.size());
}

namespace {

// Walks one list, counting every ruleset that `holds` accepts and copying the first ones.
template <typename P>
void take_matches(const ruleset_tgt_list_t *list, const vask_metric_id_t *id, P holds,
                  ruleset_sp *out, int capacity, int *count) {
  if (!list) return;
  for (const ruleset_tgt_t *n = ruleset_tgt_list_head(list); n; n = ruleset_tgt_next(n)) {
    ruleset_slot_t *s = n->slot.load(std::memory_order_acquire);
    if (!s || !holds(*s, id)) continue;
    if (*count < capacity) out[*count] = s->ruleset;
    (*count)++;
  }
}

ruleset_tgt_list_t *find_metric_list(uint64_t account, const uint8_t *uuid, const char *name,
                                     size_t len, const char *suffix = nullptr,
                                     size_t suffix_len = 0) {
  return find_list(&rulesets_by_metric, make_key(account, uuid, name, len, suffix, suffix_len));
}

}  // namespace

int rulesets_for_metric(const vask_metric_id_t *id, ruleset_sp *out, int capacity) {
  const uint8_t *uuids[2] = {id->id, zero_uuid};
  // A metric of the all-zero check would otherwise look the same lists up twice, and every
  // ruleset found there would be applied twice.
  int nuuids = is_zero_uuid(id->id) ? 1 : 2;
  size_t with_tags = vask_metric_id_stream_name_len(id);
  bool tagged_key = with_tags != id->name_len || id->name_len > 4090;
  // An untagged long name has the same tagged key as its bare key: look it up once.
  bool second_key = !tagged_key || with_tags != id->name_len;
  // Acquire: pairs with the release store made before such a list was published.
  if (!zero_uuid_lists.load(std::memory_order_acquire)) nuuids = 1;
  if (!tagged_key && !suffixed_lists.load(std::memory_order_acquire)) second_key = false;
  int count = 0;
  auto where = [](const ruleset_slot_t &s, const vask_metric_id_t *m) {
    return ruleset_where_satisfied(*s.ruleset, m);
  };
  for (int u = 0; u < nuuids; u++) {
    take_matches(find_metric_list(id->account_id, uuids[u], id->name, id->name_len), id, where, out,
                 capacity, &count);
    if (!second_key) continue;
    ruleset_tgt_list_t *l =
        tagged_key ? find_metric_list(id->account_id, uuids[u], id->name, with_tags)
                   : find_metric_list(id->account_id, uuids[u], id->name, id->name_len, "|ST[]", 5);
    take_matches(l, id, where, out, capacity, &count);
  }
  pattern_account_t *a = find_account(id->account_id);
  // The account's patterns screened together when its prefilter is current; else the walk.
  if (a && pattern_index_matches(&a->prefilter, id, uuids, nuuids, out, capacity, &count))
    a = nullptr;
  for (int u = 0; a && u < nuuids; u++) {
    take_matches(
        find_list(&a->lists, make_key(id->account_id, uuids[u], nullptr, 0)), id,
        [](const ruleset_slot_t &s, const vask_metric_id_t *m) {
          if (m->name_len < s.prefix_len || std::memcmp(m->name, s.prefix, s.prefix_len) != 0)
            return false;
          return ruleset_match(*s.ruleset, m);
        },
        out, capacity, &count);
  }
  return count > capacity ? -count : count;
}

bool ruleset_where_satisfied(const ruleset_t &r, const vask_metric_id_t *id) {
  if (r.account_id != id->account_id) return false;
  if (!r.filter_ast) return true;
  return vask_metric_tag_search_evaluate_against_metric_id(r.filter_ast, id);
}

bool ruleset_match(const ruleset_t &r, const vask_metric_id_t *id) {
  if (r.account_id != id->account_id) return false;
  if (r.pattern.metric_name) {
    if (!r.metric_pcre || !pcre_matches(r.metric_pcre, r.metric_pcre_extra, id->name, id->name_len))
      return false;
  } else if (r.pattern.match_canonical) {
    size_t n = std::strlen(r.metric_name);
    size_t with_tags = vask_metric_id_stream_name_len(id);
    if (with_tags == id->name_len) {
      if (n <= 4) return false;
      n -= 5;
    }
    if (with_tags != n || std::memcmp(id->name, r.metric_name, n) != 0) return false;
  } else {
    if (std::strlen(r.metric_name) != id->name_len ||
        std::memcmp(id->name, r.metric_name, id->name_len) != 0)
      return false;
  }
  return ruleset_where_satisfied(r, id);
}

bool ruleset_group_by_includes(const ruleset_t &r, const char *signature, size_t len) {
  if (!r.group_by) return true;
  if (!r.group_by_pcre) return false;
  return pcre_matches(r.group_by_pcre, r.group_by_pcre_extra, signature, len);
}

uint32_t ruleset_get_thread_id(const ruleset_t &r) {
  return uint32_t(r.event_criteria_id & 0xffffffffu);
}

std::string build_query_text_for_ruleset(const ruleset_t &r, int *placeholder_index) {
  if (placeholder_index) *placeholder_index = -1;
  if (!r.pattern.metric_name && !r.filter) return "";
  std::string text = "and(";
  int args = 0;
  if (!is_zero_uuid(r.check_uuid)) {
    char u[37];
    text += "__check_uuid:";
    text += uuid_text(r.check_uuid, u);
    text += ",";
    args++;
  }
  std::string_view name(r.metric_name ? r.metric_name : "");
  std::string_view tags;
  // The search's "__name" is the bare name: a canonical name asks for its stream tags as terms.
  if (!r.pattern.metric_name && r.pattern.match_canonical) {
    size_t at = name.find("|ST[");
    if (at != std::string_view::npos && name.back() == ']') {
      tags = name.substr(at + 4, name.size() - at - 5);
      name = name.substr(0, at);
    }
  }
  std::string encoded;
  vask_base64_encode_append(name.data(), name.size(), &encoded);
  if (r.pattern.metric_name && encoded.find('/') != std::string::npos) {
    // Base64 may hold '/', which would end a b/.../ form early: write the expression itself as
    // /.../, escaping its unescaped slashes (PCRE reads "\/" as '/').
    text += "__name:/";
    for (size_t i = 0; i < name.size(); i++) {
      if (name[i] == '\\' && i + 1 < name.size()) {
        text += name[i];
        text += name[++i];
      } else {
        if (name[i] == '/') text += '\\';
        text += name[i];
      }
    }
    text += "/";
  } else {
    const char delimiter = r.pattern.metric_name ? '/' : '!';
    text += "__name:b";
    text += delimiter;
    text += encoded;
    text += delimiter;
  }
  args++;
  while (!tags.empty()) {
    size_t comma = tags.find(',');
    std::string_view tag = tags.substr(0, comma);
    tags = comma == std::string_view::npos ? std::string_view() : tags.substr(comma + 1);
    // Each part is re-encoded as exact bytes: a plain canonical part may start with '/', which
    // the search would read as a regular expression.
    size_t colon = tag.find(':');
    std::string category, value;
    std::string_view cat_part = tag.substr(0, colon);
    if (!vask_tag_part_decode_append(cat_part.data(), cat_part.size(), &category)) category.clear();
    text += ",b!";
    vask_base64_encode_append(category.data(), category.size(), &text);
    text += "!";
    if (colon != std::string_view::npos) {
      std::string_view val_part = tag.substr(colon + 1);
      if (!vask_tag_part_decode_append(val_part.data(), val_part.size(), &value)) value.clear();
      text += ":b!";
      vask_base64_encode_append(value.data(), value.size(), &text);
      text += "!";
    }
    args++;
  }
  if (r.filter) {
    text += ",__:0";
    if (placeholder_index) *placeholder_index = args;
    args++;
  }
  text += ")";
  return text;
}

std::pair<int, vask_metric_tag_search_ast_t *> build_query_for_ruleset(const ruleset_t &r) {
  int index = -1;
  std::string text = build_query_text_for_ruleset(r, &index);
  if (text.empty()) return {0, nullptr};
  int error_offset = 0;
  vask_metric_tag_search_ast_t *ast =
      vask_metric_tag_search_parse_len(text.data(), text.size(), &error_offset);
  if (!ast) {
    tovi_log(tovi_error, "%s: could not parse ruleset %s\n", "build_query_for_ruleset",
             text.c_str());
    return {-1, nullptr};
  }
  if (!r.filter) return {0, ast};
  if (vask_metric_tag_search_get_op(ast) != VASK_TAG_SEARCH_OP_AND) {
    tovi_log(tovi_error, "%s: incorrect op: ruleset %s\n", "build_query_for_ruleset", text.c_str());
    vask_metric_tag_search_free(ast);
    return {-1, nullptr};
  }
  if (vask_metric_tag_search_get_nargs(ast) != index + 1 || !r.filter_ast) {
    tovi_log(tovi_error, "%s: wrong number of args: ruleset %s\n", "build_query_for_ruleset",
             text.c_str());
    vask_metric_tag_search_free(ast);
    return {-1, nullptr};
  }
  vask_metric_tag_search_ast_t *filter = vask_metric_tag_search_ref(r.filter_ast);
  if (!vask_metric_tag_search_set_arg(ast, index, filter)) {
    vask_metric_tag_search_free(filter);
    vask_metric_tag_search_free(ast);
    return {-1, nullptr};
  }
  if (r.pattern.metric_name && index > 0) {
    // The filter is cheaper than the name's regular expression: evaluate it first.
    auto *before = vask_metric_tag_search_ref(vask_metric_tag_search_get_arg(ast, index - 1));
    auto *at = vask_metric_tag_search_ref(vask_metric_tag_search_get_arg(ast, index));
    tovi_assert(vask_metric_tag_search_set_arg(ast, index - 1, at));
    tovi_assert(vask_metric_tag_search_set_arg(ast, index, before));
  }
  return {0, ast};
}

bool register_ruleset_with_director(const ruleset_sp &r) {
  if (!r) return false;
  tovi_lock_guard_c<tovi_mutex_c> guard(director_regs_lock);
  auto it = director_regs.find(r.get());
  if (it != director_regs.end()) {
    if (it->second.ruleset.lock() == r) return true;  // kept: registered once already
    // Left by a ruleset that was freed while registered: its registration goes too.
    withdraw(it->second);
    director_regs.erase(it);
  }
  director_reg_t reg{r, ruleset_get_thread_id(*r), false, 0, {}, r->metric_name};
  std::memcpy(reg.check_uuid, r->check_uuid, 16);
  if (!r->pattern.metric_name && !r->filter) {
    if (vask_metric_director_adjust_metric_interest_on_thread(
            reg.thread, reg.check_uuid, reg.name.data(), reg.name.size(), 1) < 0)
      return false;
  } else {
    auto [status, ast] = build_query_for_ruleset(*r);
    if (status != 0 || !ast) return false;
    reg.search = true;
    reg.search_id = vask_metric_director_register_search_on_thread(
        reg.thread, r->account_id, r->check_uuid, r->pattern.metric_name ? nullptr : r->metric_name,
        ast);
    vask_metric_tag_search_free(ast);
    if (reg.search_id == 0) return false;
    r->director_ast_registration_id.store(reg.search_id, std::memory_order_relaxed);
  }
  director_regs.emplace(r.get(), std::move(reg));
  return true;
}

void deregister_ruleset_with_director(const ruleset_t &r) {
  tovi_lock_guard_c<tovi_mutex_c> guard(director_regs_lock);
  auto it = director_regs.find(&r);
  if (it == director_regs.end()) return;
  withdraw(it->second);
  director_regs.erase(it);
}

ruleset_tgt_list_t *ruleset_list_for(const ruleset_t &r, bool create) {
  if (r.pattern.metric_name) return get_rulesets_by_pattern(r.account_id, r.check_uuid, create);
  return get_rulesets_by_metric(r.account_id, r.check_uuid, r.metric_name,
                                std::strlen(r.metric_name), create);
}

bool ruleset_same_list(const ruleset_t &a, const ruleset_t &b) {
  if (a.pattern.metric_name != b.pattern.metric_name || a.account_id != b.account_id ||
      std::memcmp(a.check_uuid, b.check_uuid, 16) != 0)
    return false;
  return a.pattern.metric_name || std::strcmp(a.metric_name, b.metric_name) == 0;
}
