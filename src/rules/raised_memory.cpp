// The memory of culled raised streams: a map from (ruleset id, signature) to the entry, and a
// queue of keys in the order they were remembered, for evicting the oldest. A key forgotten or
// remembered again leaves a stale queue item behind, recognised by its sequence number and
// skipped; the queue is compacted when stale items outnumber live ones.
#include "rules/rules.h"

#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"

namespace {

struct memory_key_t {
  uint64_t ecid;
  std::string signature;
  bool operator==(const memory_key_t &o) const {
    return ecid == o.ecid && signature == o.signature;
  }
  template <typename H>
  friend H AbslHashValue(H h, const memory_key_t &k) {
    return H::combine(std::move(h), k.ecid, k.signature);
  }
};

struct held_t {
  raised_memory_entry_t entry;
  uint64_t seq;
};

struct queued_t {
  memory_key_t key;
  uint64_t seq;
};

std::mutex lock;
absl::flat_hash_map<memory_key_t, held_t> entries;  // guarded by lock
std::deque<queued_t> order;                         // guarded by lock
uint64_t next_seq = 1;                              // guarded by lock
size_t limit = 100000;                              // guarded by lock
uint64_t evicted = 0;                               // guarded by lock
uint64_t recalled = 0;                              // guarded by lock

void compact_locked() {
  if (order.size() <= 2 * entries.size() + 64) return;
  std::deque<queued_t> live;
  for (queued_t &q : order) {
    auto it = entries.find(q.key);
    if (it != entries.end() && it->second.seq == q.seq) live.push_back(std::move(q));
  }
  order.swap(live);
}

void evict_locked() {
  while (entries.size() > limit && !order.empty()) {
    queued_t q = std::move(order.front());
    order.pop_front();
    auto it = entries.find(q.key);
    if (it != entries.end() && it->second.seq == q.seq) {
      entries.erase(it);
      evicted++;
    }
  }
}

}  // namespace

void raised_memory_remember(const raised_memory_entry_t &entry) {
  std::lock_guard<std::mutex> g(lock);
  if (limit == 0) {
    evicted++;
    return;
  }
  memory_key_t key{entry.ecid, entry.signature};
  uint64_t seq = next_seq++;
  entries.insert_or_assign(key, held_t{entry, seq});
  order.push_back(queued_t{std::move(key), seq});
  evict_locked();
  compact_locked();
}

bool raised_memory_forget(uint64_t ecid, std::string_view signature) {
  std::lock_guard<std::mutex> g(lock);
  bool erased = entries.erase(memory_key_t{ecid, std::string(signature)}) != 0;
  if (erased) compact_locked();
  return erased;
}

bool raised_memory_lookup(uint64_t ecid, std::string_view signature, raised_memory_entry_t *out) {
  std::lock_guard<std::mutex> g(lock);
  auto it = entries.find(memory_key_t{ecid, std::string(signature)});
  if (it == entries.end()) return false;
  if (out) *out = it->second.entry;
  return true;
}

bool raised_memory_take(uint64_t ecid, std::string_view signature, raised_memory_entry_t *out) {
  std::lock_guard<std::mutex> g(lock);
  if (entries.empty()) return false;
  auto it = entries.find(memory_key_t{ecid, std::string(signature)});
  if (it == entries.end()) return false;
  if (out) *out = std::move(it->second.entry);
  entries.erase(it);
  recalled++;
  compact_locked();
  return true;
}

void raised_memory_each(const std::function<void(const raised_memory_entry_t &)> &fn) {
  std::vector<raised_memory_entry_t> copy;
  {
    std::lock_guard<std::mutex> g(lock);
    copy.reserve(entries.size());
    for (const queued_t &q : order) {
      auto it = entries.find(q.key);
      if (it != entries.end() && it->second.seq == q.seq) copy.push_back(it->second.entry);
    }
  }
  for (const raised_memory_entry_t &e : copy)
    fn(e);
}

size_t raised_memory_forget_ruleset(uint64_t ecid) {
  std::lock_guard<std::mutex> g(lock);
  size_t n = 0;
  for (auto it = entries.begin(); it != entries.end();) {
    if (it->first.ecid == ecid) {
      entries.erase(it++);
      n++;
    } else {
      ++it;
    }
  }
  if (n) compact_locked();
  return n;
}

size_t raised_memory_size(void) {
  std::lock_guard<std::mutex> g(lock);
  return entries.size();
}

uint64_t raised_memory_evicted(void) {
  std::lock_guard<std::mutex> g(lock);
  return evicted;
}

uint64_t raised_memory_recalled(void) {
  std::lock_guard<std::mutex> g(lock);
  return recalled;
}

size_t raised_memory_limit(void) {
  std::lock_guard<std::mutex> g(lock);
  return limit;
}

void raised_memory_set_limit(size_t new_limit) {
  std::lock_guard<std::mutex> g(lock);
  limit = new_limit;
  evict_locked();
  compact_locked();
}

void raised_memory_clear(void) {
  std::lock_guard<std::mutex> g(lock);
  entries.clear();
  order.clear();
}
