// What the bus handlers and the console need from the management-API loaders, which are not in
// this tree yet. Until they are, each answers as the daemon does without an API base configured:
// no bulk load is ever running, and a reload is refused with its log line. The loaders replace
// this file when they arrive.
#pragma once

#include <atomic>
#include <cstdint>

// Raised while a bulk load of rulesets (of maintenance windows) runs.
extern std::atomic<bool> rulesets_are_loading;
extern std::atomic<bool> maint_windows_are_loading;

// Start a reload of one ruleset (one maintenance window) from the API. Any thread.
void ruleset_reload(uint64_t ecid);
void maint_window_reload(uint64_t id);
