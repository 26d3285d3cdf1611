// The daemon's statistics: the process-wide recorder, GET /stats.json, and GET /metrics in the
// Prometheus text format (families prefixed "queltd_", the process_* families scrapers expect,
// and HELP texts from the table below).
#include "daemon_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "quelt_version.h"
#include "tovi/tovi_assert.h"

namespace {

stats_recorder_t *global_stats = nullptr;

// What each family means, by its name without the prefix. A family missing here keeps the
// statistic's path and units as its help; add a line when adding a statistic.
const std::unordered_map<std::string, const char *> &family_help() {
  static const std::unordered_map<std::string, const char *> table = {
      // process and build
      {"branch_info", "Source-control path the daemon was built from, in the value label."},
      {"version_info", "Commit and build time (Unix seconds) of the daemon, in the value label."},
      // the bus module
      {"tovi_amqp_queue_depth", "Messages accepted for the bus but not yet confirmed by it."},
      {"tovi_amqp_in_flight", "Messages published and awaiting the broker's confirm."},
      {"tovi_amqp_published_total", "Messages published to the bus, republications included."},
      {"tovi_amqp_confirmed_total", "Messages the broker confirmed (delivered for good)."},
      {"tovi_amqp_returned_total", "Mandatory messages the broker returned: no queue took them."},
      {"tovi_amqp_nacked_total", "Publications the broker refused (each is published again)."},
      {"tovi_amqp_republished_total", "Messages published again after a refusal or reconnect."},
      {"tovi_amqp_reconnects_total", "Connections to the broker made again after a loss."},
      {"tovi_amqp_send_errors_total", "Sends the bus module refused (its queue full, no link)."},
      {"tovi_amqp_dropped_total", "Messages given up after too many refusals by the broker."},
      {"tovi_amqp_consumed_total", "Deliveries received from the bus."},
      {"tovi_amqp_acked_total", "Deliveries acknowledged after they were handled."},
      {"tovi_amqp_requeued_total", "Deliveries handed back to the broker to be delivered again."},
      {"tovi_amqp_unhandled_total", "Deliveries no hook took, rejected without requeue."},
      {"tovi_amqp_consumers_cancelled_total", "Consumers the broker cancelled (queue deleted)."},
      {"tovi_amqp_blocked_count_total", "Times the broker blocked a connection (resource alarm)."},
      {"tovi_amqp_connected", "1 while the connection to the broker is up, else 0."},
      {"tovi_amqp_blocked", "1 while the broker blocks the connection (resource alarm)."},
      // REST
      {"tovi_http_requests_total", "REST requests answered, by status class."},
      {"tovi_http_request_latency_seconds", "Time from a REST request's arrival to its answer."},
      {"tovi_http_connections_accepted_total", "REST connections accepted."},
      {"tovi_http_connections_refused_total", "REST connections closed at once: too many open."},
      {"tovi_http_connections_refused_per_peer_total",
       "REST connections closed at once: too many from that peer address."},
      {"tovi_http_tls_handshake_failures_total", "TLS handshakes that failed or timed out."},
      // metric intake
      {"vask_director_received_total", "Metric lines offered to the metric director."},
      {"vask_director_parsed_total", "Metric lines parsed into messages."},
      {"vask_director_rejected_total", "Metric lines that did not parse (see the reason label)."},
      {"vask_director_rejected_by_reason_total", "Metric lines that did not parse, by reason."},
      {"vask_director_no_memory_total", "Messages lost for want of memory."},
      {"vask_director_duplicates_total", "Messages dropped as duplicates."},
      {"vask_director_unwanted_total", "Messages a want hook declined."},
      {"vask_director_uninteresting_total", "Messages no ruleset is interested in."},
      {"vask_director_delivered_total", "Messages handed to a worker thread."},
      {"vask_director_abandoned_total", "Messages no worker took after all."},
      {"vask_director_lane_appends_total", "Messages put in a worker's queue."},
      {"vask_director_lane_full_waits_total", "Times a producer waited for room in a full queue."},
      {"vask_director_lane_overflows_total", "Messages queued beyond a full worker queue's bound."},
      {"vask_director_lane_abandoned_total", "Messages left in a queue when a worker stopped."},
      {"vask_director_flushes_total", "Flushes: waits until earlier messages were handled."},
      {"vask_director_queued", "Messages waiting in the workers' queues now."},
      {"vask_intake_connections_total", "Broker connections accepted on the metric listeners."},
      {"vask_intake_connections_open", "Broker connections open now."},
      {"vask_intake_refused_connections_total", "Broker connections refused: too many open."},
      {"vask_intake_idle_closes_total", "Broker connections closed after sending nothing."},
      {"vask_intake_accept_errors_total", "Failures to accept a connection (out of descriptors)."},
      {"vask_intake_lines_total", "Metric lines received from brokers."},
      {"vask_intake_bytes_total", "Bytes received from brokers."},
      {"vask_intake_overlong_lines_total", "Lines skipped for being longer than max_line_bytes."},
      {"vask_intake_partial_lines_total", "Bytes after a broker's last newline, dropped at close."},
      {"vask_intake_pauses_total", "Times a connection stopped reading for a full worker queue."},
      {"vask_intake_read_errors_total", "Broker connections that ended with a read error."},
      {"vask_intake_log_lines_total", "Metric lines taken from the metrics log stream."},
      {"vask_intake_reentrant_lines_total", "Metric lines written while a line was handled."},
      // management API
      {"api_calls_total", "Requests made to the management API."},
      {"api_failures_total", "Requests to the management API that failed."},
      {"api_latency_seconds", "Duration of requests to the management API."},
      {"api_rulesets_loads_total", "Bulk loads of rulesets from the management API started."},
      {"api_rulesets_pages_total", "Pages of rulesets received from the management API."},
      {"api_rulesets_items_total", "Ruleset definitions received from the management API."},
      {"api_rulesets_errors_total", "Ruleset pages or definitions that could not be used."},
      {"api_maintenance_loads_total", "Bulk loads of maintenance windows started."},
      {"api_maintenance_pages_total", "Pages of maintenance windows received."},
      {"api_maintenance_items_total", "Maintenance windows received from the management API."},
      {"api_maintenance_errors_total", "Maintenance pages or windows that could not be used."},
      // brokers and the data path
      {"dependency_self_parent_refused_total", "Rulesets naming themselves as their parent."},
      {"broker_registry_records", "Brokers with a record."},
      {"broker_registry_untracked_total", "Lines of brokers beyond the record limit."},
      {"datapath_aggregate_received_total", "Metric messages the workers took, all threads."},
      {"datapath_aggregate_cycles_total", "Drain cycles of the workers' queues."},
      {"datapath_aggregate_aborted_cycles_total",
       "Drain cycles cut short, by reason (timeout: 100 ms; count: 10000 messages)."},
      {"datapath_aggregate_ruleset_dispatch_total", "Rulesets applied to messages, all threads."},
      {"datapath_received_total", "Metric messages a worker thread took."},
      {"datapath_ruleset_dispatch_total", "Rulesets a worker thread applied to messages."},
      {"datapath_messages_per_cycle", "Messages handled per drain cycle of a worker."},
      {"datapath_metric_processing_seconds", "Time to handle one metric message in a worker."},
      {"rules_rule_execute_seconds", "Time to apply one ruleset to one message."},
      {"datapath_line_to_publish_seconds",
       "Time from a metric line's arrival to its alert being handed to the bus."},
      {"tovi_amqp_publish_wait_seconds",
       "Time from an alert being handed to the bus to its publication on the broker's socket."},
      {"tovi_amqp_publish_to_confirm_seconds",
       "Time from an alert being handed to the bus to the broker's confirm."},
      {"rules_rules_find_hit_seconds", "Time to find the rulesets of a metric that has some."},
      {"rules_rules_find_miss_seconds", "Time to find that a metric has no ruleset."},
      // rulesets and alerts
      {"notifications_sent_total", "Alerts handed to the bus."},
      {"notifications_suppressed_total", "Alerts not sent: another node answers for the metric."},
      {"notifications_failed_total", "Alerts the bus module refused (sent again later)."},
      {"rulestreams_live", "Rule streams (ruleset and stream signature) in existence."},
      {"rulestreams_culled_total", "Rule streams removed as idle or by a clear-alert request."},
      {"rulestreams_absence_triggers_total", "Absence timers that fired."},
      {"rulestreams_absence_trigger_errors_total", "Absence timers that could not be applied."},
      {"ruleset_current", "Rulesets held now."},
      {"ruleset_loaded_total", "Ruleset definitions taken (new or replacing an earlier one)."},
      {"ruleset_suppressed_total", "Ruleset definitions skipped: another node owns the metric."},
      {"ruleset_rejected_total", "Ruleset definitions refused (see POST /rulesets?details=1)."},
      {"ruleset_unrecognised_total",
       "Unknown keys and windowing function names in ruleset definitions (ignored)."},
      {"ruleset_bus_handled_total", "Ruleset messages from the bus that were applied."},
      {"ruleset_bus_unhandled_total", "Ruleset messages from the bus of no known kind."},
      {"ruleset_bus_malformed_total", "Ruleset messages from the bus that did not parse."},
      {"ruleset_bus_ignored_total", "Bus messages that were not about rulesets."},
      {"ruleset_bus_truncated_total", "Ruleset messages from the bus that were cut short."},
      {"ruleset_bus_cleared_total", "Rule streams cleared by messages from the bus."},
      {"ruleset_refresh_requests_total", "Requests to reload one ruleset from the API."},
      {"ruleset_refresh_ganged_total", "Reload requests folded into one already pending."},
      {"ruleset_refresh_deferred_total", "Reload requests held back behind a bulk load."},
      {"ruleset_refresh_reloads_total", "Reloads of one ruleset started."},
      {"ruleset_refresh_pending", "Reloads of one ruleset waiting now."},
      // maintenance
      {"maintenance_windows", "Maintenance windows live now."},
      {"maintenance_held_back_total", "Changes of severity held back by a maintenance window."},
      {"maintenance_ended_total", "Maintenance windows that ended."},
      {"maintenance_unrecognised_total", "Unknown keys in maintenance windows (ignored)."},
      {"maintenance_bus_applied_total", "Maintenance messages from the bus that were applied."},
      {"maintenance_bus_ended_total", "Maintenance messages from the bus that ended a window."},
      {"maintenance_bus_refused_total", "Maintenance messages the registry refused."},
      {"maintenance_bus_malformed_total", "Maintenance messages that did not parse."},
      {"maintenance_bus_ignored_total", "Bus messages that were not about maintenance."},
      {"maintenance_copies_queued_total", "Maintenance messages kept for replay after a load."},
      {"maintenance_copies_replayed_total", "Kept maintenance messages replayed after a load."},
      {"maintenance_copies_dropped_total", "Maintenance messages not kept: the bound was full."},
      {"maintenance_copies_waiting", "Maintenance messages kept for replay now."},
  };
  return table;
}

// ---- process_* families, read from /proc -------------------------------------------------------

// Fields 14 (utime), 15 (stime) and 22 (starttime) of /proc/self/stat, in clock ticks.
bool read_stat(unsigned long long *utime, unsigned long long *stime,
               unsigned long long *starttime) {
  FILE *f = fopen("/proc/self/stat", "r");
  if (!f) return false;
  char buf[2048];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  // The command name (field 2) may hold spaces and parentheses: fields resume after the last ')'.
  const char *p = strrchr(buf, ')');
  if (!p) return false;
  return sscanf(p + 2,
                "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d %*d %*d "
                "%llu",
                utime, stime, starttime) == 3;
}

long long boot_time() {
  FILE *f = fopen("/proc/stat", "r");
  if (!f) return 0;
  char line[256];
  long long btime = 0;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "btime %lld", &btime) == 1) break;
  fclose(f);
  return btime;
}

int open_descriptors() {
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') n++;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

void family(std::string *out, const char *name, const char *type, const char *help,
            const std::string &value) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
          name + " " + value + "\n";
}

std::string process_families() {
  std::string out;
  long ticks = sysconf(_SC_CLK_TCK);
  long page = sysconf(_SC_PAGESIZE);
  unsigned long long utime, stime, starttime;
  char v[64];
  if (ticks > 0 && read_stat(&utime, &stime, &starttime)) {
    snprintf(v, sizeof v, "%.2f", double(utime + stime) / double(ticks));
    family(&out, "process_cpu_seconds_total", "counter", "User and system CPU time spent.", v);
    snprintf(v, sizeof v, "%.2f", double(boot_time()) + double(starttime) / double(ticks));
    family(&out, "process_start_time_seconds", "gauge",
           "Start time of the process since the Unix epoch.", v);
  }
  if (FILE *f = fopen("/proc/self/statm", "r")) {
    unsigned long long size = 0, resident = 0;
    if (fscanf(f, "%llu %llu", &size, &resident) == 2) {
      family(&out, "process_virtual_memory_bytes", "gauge", "Virtual memory size.",
             std::to_string(size * (unsigned long long)page));
      family(&out, "process_resident_memory_bytes", "gauge", "Resident memory size.",
             std::to_string(resident * (unsigned long long)page));
    }
    fclose(f);
  }
  int fds = open_descriptors();
  if (fds >= 0)
    family(&out, "process_open_fds", "gauge", "Open file descriptors.", std::to_string(fds));
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    family(&out, "process_max_fds", "gauge", "Limit of open file descriptors.",
           std::to_string((unsigned long long)rl.rlim_cur));
  return out;
}

}  // namespace

stats_recorder_t *stats_recorder(void) {
  // Unguarded on purpose: the first call is made by start-up before any other thread exists.
  if (!global_stats) {
    stats_recorder_t *rec = stats_process_recorder();
    stats_recorder_set_label(rec, "app", "queltd");
    stats_ns_t *root = stats_recorder_root(rec);
    stats_register_text(root, "branch", &quelt_branch);
    stats_register_text(root, "version", &quelt_version);
    global_stats = rec;
  }
  return global_stats;
}

int stats_handler(tovi_http_rest_closure_t *restc, int, char **) {
  stats_json_format_t format =
      stats_json_format_parse(tovi_http_request_querystring(restc, "format"));
  tovi_http_response_ok(restc, "application/json");
  tovi_http_response_append_str(restc, stats_recorder_to_json(stats_recorder(), format));
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

std::string stats_prometheus_text(void) {
  stats_prometheus_opts_t opts;
  opts.prefix = "queltd_";
  opts.help = [](const std::string &family) -> const char * {
    auto it = family_help().find(family);
    return it == family_help().end() ? nullptr : it->second;
  };
  return process_families() + stats_recorder_to_prometheus(stats_recorder(), opts);
}

int stats_metrics_handler(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_ok(restc, "text/plain; version=0.0.4");
  tovi_http_response_append_str(restc, stats_prometheus_text());
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

void stats_rest_init(void) {
  stats_recorder();
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^stats\\.json$", stats_handler,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^metrics$", stats_metrics_handler,
                                           tovi_http_rest_client_cert_auth) == 0);
}

namespace {

thread_local uint64_t line_arrival_ns = 0;

stats_histogram_t *line_to_publish() {
  static stats_histogram_t *h = [] {
    stats_ns_t *datapath = stats_register_ns(stats_recorder_root(stats_recorder()), "datapath");
    tovi_assert(datapath);
    stats_histogram_t *made =
        stats_register_histogram(datapath, "line_to_publish", {.units = "seconds"});
    tovi_assert(made);
    return made;
  }();
  return h;
}

}  // namespace

uint64_t daemon_stats_line_arrival_set(uint64_t ns) {
  uint64_t before = line_arrival_ns;
  line_arrival_ns = ns;
  return before;
}

void daemon_stats_publish_call(void) {
  uint64_t arrived = line_arrival_ns;
  if (!arrived) return;
  uint64_t now = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
  stats_histogram_record_ns(line_to_publish(), now > arrived ? now - arrived : 0);
}
