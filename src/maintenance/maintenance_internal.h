// What the maintenance module's files share and nobody else needs.
#pragma once

#include <atomic>
#include <cstdint>

#include "tovi/tovi_log.h"

// "debug/maintenance" and "error/maintenance" (found by maintenance_tables_init).
tovi_log_stream_t maint_debug_stream();
tovi_log_stream_t maint_error_stream();

// Changes held back by a window, and windows ended, since start.
extern std::atomic<uint64_t> maint_held_back_count;
extern std::atomic<uint64_t> maint_ended_count;
