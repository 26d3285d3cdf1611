// What the consumers were last told about streams that are gone.
//
// Culling may remove a stream whose raised state was announced (a ruleset with cull_seconds
// removes raised streams too). When its metric comes back, the new stream starts undetermined,
// and a pattern stream of a ruleset with an absence rule would never announce its first clear:
// the consumer would keep the raised severity for good. So the cull pass remembers, per ruleset
// id and stream signature, the severity it last announced for each raised stream it removes,
// and the stream that comes back under that signature takes the entry and announces its clear.
//
// The memory is bounded: at most raised_memory_limit() entries; beyond it the oldest entry goes
// (counted as forgotten). Entries are plain values, so a store can keep them across restarts:
// iterate them to save, remember each one to load. All functions take one mutex; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct raised_memory_entry_t {
  uint64_t ecid = 0;       // the ruleset's id
  std::string signature;   // the stream's signature
  int32_t sev = 0;         // the severity last announced for it (never clear)
  int8_t rule = 0;         // the rule index announced with it
  uint64_t culled_ms = 0;  // when the stream was removed (wall clock, ms)
};

// Remembers (or replaces) the entry of (ecid, signature); the oldest entry goes when the memory
// is full.
void raised_memory_remember(const raised_memory_entry_t &entry);
// Forgets the entry of (ecid, signature); false when there was none.
bool raised_memory_forget(uint64_t ecid, std::string_view signature);
// Copies the entry of (ecid, signature) to *out; false when there is none.
bool raised_memory_lookup(uint64_t ecid, std::string_view signature, raised_memory_entry_t *out);
// Looks up and forgets in one step (a returning stream takes its entry): false when none.
bool raised_memory_take(uint64_t ecid, std::string_view signature, raised_memory_entry_t *out);
// Calls fn for a copy of every entry, oldest first; fn may call the functions above.
void raised_memory_each(const std::function<void(const raised_memory_entry_t &)> &fn);
// Forgets every entry of one ruleset (a ruleset that went away); returns how many.
size_t raised_memory_forget_ruleset(uint64_t ecid);

// Entries held now; entries forgotten because the memory was full; entries taken by returning
// streams. Gauge and counters of the "rulestreams" statistics.
size_t raised_memory_size(void);
uint64_t raised_memory_evicted(void);
uint64_t raised_memory_recalled(void);

// The bound (default 100,000 entries); lowering it forgets the oldest entries at once. 0 keeps
// nothing.
size_t raised_memory_limit(void);
void raised_memory_set_limit(size_t limit);
// Forgets everything (tests).
void raised_memory_clear(void);
