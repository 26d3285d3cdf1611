// What the maintenance module's files share; the broker commands also log on its two streams.
#pragma once

#if !defined(QUELT_IN_MAINTENANCE) && !defined(QUELT_WHITE_BOX)
#error "this header is internal to src/maintenance/: outside it, include maintenance.h"
#endif

#include <atomic>
#include <cstdint>

#include "api_loader.h"
#include "maintenance.h"
#include "tovi/tovi_log.h"

// "debug/maintenance" and "error/maintenance", found on first use. Any thread.
// The API loader of maintenance windows (fetch.cpp).
extern api_loader_kind_t maint_windows_loader_kind;

tovi_log_stream_t maint_debug_stream();
// Keys of window definitions that nothing reads (statistic maintenance/unrecognised).
extern std::atomic<uint64_t> maint_unrecognised;
tovi_log_stream_t maint_error_stream();

// Changes held back by a window, and windows ended, since start.
extern std::atomic<uint64_t> maint_held_back_count;
extern std::atomic<uint64_t> maint_ended_count;

// The bus side's start, in maintenance_init's order: the hand-over queue and its bound
// ("//orvane/state/maintenance/@max_queued"; an unusable value ends the process with status 2);
// the recurrent drain on loop thread 0, statistics and the console command; the message hook
// "maintenance-handler" (false when the bus module offers no message hooks).
void maint_bus_queue_init();
void maint_bus_init();
bool maint_bus_register_hook();

// ---- The store (model.cpp) ----------------------------------------------------------------------

// Writes the window's definition to the store (as POST /maintenance takes it) with the source
// of the thread's store_source_scope_c. True when written, or when the store is off or this is
// the start's load from the store; false when the write failed (counted in
// maint_store_failures for this thread). Any thread.
bool maint_store_window(const maint_def_t &def);
// Writes the store's row of the id again from the live window, or removes it when there is no
// live window (a window that ended, was deleted, or whose update the registry refused).
void maint_store_resync(uint64_t id);
// The window definitions this thread could not write to the store so far.
uint64_t maint_store_failures();
