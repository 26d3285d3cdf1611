// What the metrics files share and nobody else needs.
#pragma once

#if !defined(QUELT_IN_METRICS) && !defined(QUELT_WHITE_BOX)
#error "this header is internal to src/metrics/: outside it, include metrics.h"
#endif

#include "metrics.h"
#include "tovi/tovi_log.h"

// "debug/metrics" and "metrics"; found by metrics_state_init.
extern tovi_log_stream_t metrics_debug;
extern tovi_log_stream_t metrics_log;

// Creates the metric state registry with room for initial_hash_size states. Idempotent.
void metric_state_registry_init(int initial_hash_size);
