// The daemon's statistics: the process-wide recorder every module registers in, and its REST
// endpoints.
#pragma once

#include <string>

#include "stats/stats.h"
#include "tovi/tovi_http.h"

// The process-wide recorder. The first call labels it: tag "app" = "queltd" on the root
// namespace, and the texts "branch" and "version" observing the build's quelt_branch and
// quelt_version. Never null; lives until the process ends. The first call happens during
// single-threaded start-up (stats_rest_init); later calls may come from any thread.
stats_recorder_t *stats_recorder(void);

// Creates the recorder if needed and registers, with client-certificate authentication,
//   GET /stats.json[?format=plain|simple|tagged]   stats_handler
//   GET /metrics                                   the Prometheus text format
// A failed registration is a fatal assertion. Called first among the module initialisations.
void stats_rest_init(void);

// Answers GET /stats.json: 200 "OK", "application/json", the recorder as tagged JSON for
// format=tagged, as simple plain JSON for format=simple, and as full plain JSON otherwise.
// Runs on the connection's loop thread.
int stats_handler(tovi_http_rest_closure_t *restc, int npats, char **pats);
// The Prometheus text of GET /metrics: the process_* families (CPU, memory, descriptors, start
// time, read from /proc), then every statistic as a family named "queltd_" and its tagged name,
// explained by the daemon's table of HELP texts. Any thread.
std::string stats_prometheus_text(void);
// ---- The tail of an alert: line -> publish call ----
// The intake sets, around each message a worker handles, when that message's line arrived
// (steady clock ns; 0 when unknown) and restores the previous value afterwards; it returns the
// value it replaced. Thread-local: any thread.
uint64_t daemon_stats_line_arrival_set(uint64_t ns);
// Called just before an alert is handed to the bus: records the time since the calling thread's
// line arrived in "datapath"/"line_to_publish" (seconds), when that is known. Any thread.
void daemon_stats_publish_call(void);

// Answers GET /metrics with stats_prometheus_text.
int stats_metrics_handler(tovi_http_rest_closure_t *restc, int npats, char **pats);
