#include "api_pending.h"

#include "tovi/tovi_log.h"

std::atomic<bool> rulesets_are_loading{false};
std::atomic<bool> maint_windows_are_loading{false};

void ruleset_reload(uint64_t) {
  tovi_log(tovi_error, "reload failed: No API base in config!\n");
}

void maint_window_reload(uint64_t) {
  tovi_log(tovi_error, "reload failed: No API base in config!\n");
}
