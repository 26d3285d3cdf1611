// The statistics recorder.
//
// A recorder holds a tree of namespaces; each namespace holds statistics and further
// namespaces, and may carry tags (category = value pairs). A statistic is one of
//   counter    an unsigned 64-bit count that only grows: owned by the recorder and bumped with
//              stats_counter_add, or observed from the caller's atomic or a callback;
//   gauge      an integer (signed or unsigned) or a double observed from a pointer or a callback;
//   text       a text observed from a pointer to a C string or a callback;
//   histogram  a log-linear histogram (hist_*) of recorded values, owned by the recorder.
// Observed statistics are read only when an output is produced.
//
// Outputs (each a complete document in a string):
//   plain JSON, full    nested objects by namespace; each statistic an object with "_type"
//                       ("counter", "gauge", "text", "histogram"), "_value" and, when set,
//                       "_units";
//   plain JSON, simple  nested objects by namespace; each statistic name -> its value;
//   tagged JSON         an array of {"name", "tags", "type", "value"[, "units"]}, one per
//                       statistic, its tags those of the statistic and of every enclosing
//                       namespace (the innermost wins);
//   Prometheus text     exposition format 0.0.4, one family per tagged name.
// A histogram's value is an object: "count", "sum", "mean", "min", "max", "quantiles"
// ({"0.5": .., "0.9": .., "0.99": .., "0.999": ..}) and, in the full form, "bins" (each
// non-empty bin's edge nearest zero, "%.2g" -> its count: "0.0012": 7, "-47": 1, "0": 2). Values
// that are not numbers (the quantiles of an empty histogram) are written as JSON null.
//
// Names in tagged outputs: a statistic's tagged name (its name unless registered with another)
// is prefixed by the tagged names of its namespaces, joined by "/" in tagged JSON and by "_" in
// Prometheus. A namespace that carries tags is a dimension, not a name: by default it adds its
// tags but no name segment, so per-broker namespaces "brokers"/"b1" and "brokers"/"b2" tagged
// broker-cn give one family brokers_numeric{broker_cn="b1"|"b2"}. A namespace may set its
// tagged name explicitly ("" for none).
//
// Threads and lifetime: every function may be called from any thread. Namespaces and
// statistics are never removed; their handles stay valid until the recorder is freed (the
// process-wide recorder never is). Registration and output take the recorder's lock; recording
// does not: stats_counter_add and stats_histogram_record_ns write a per-thread cell with a plain
// store (stats_shard.h), stats_histogram_record takes an uncontended per-thread-slot spinlock.
// Callbacks of observed statistics run on the thread producing an output, under the recorder's
// lock: they must be thread-safe, quick, and must not register anything.
//
// Failures: registration returns null (and logs an error line) for a null or empty name or a name
// already taken in that namespace by something else. Registering a namespace, counter or
// histogram whose name exists with the same kind returns the existing one, so that code run
// twice (a thread's first cycle) shares it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct stats_recorder_t;
struct stats_ns_t;
struct stats_handle_t;     // any registered statistic
struct stats_counter_t;    // a counter owned by the recorder
struct stats_histogram_t;  // a histogram owned by the recorder
struct stats_sharded_u64_t;

typedef std::pair<std::string, std::string> stats_tag_t;  // category, value

// Where the recorder's error lines go (one line of text, no newline). The recorder sits below the
// daemon's log and never calls it: the daemon registers a sink that writes to its "error" stream
// when it starts. Before that, or with null, the lines go to standard error. Any thread; the sink
// may be called from any thread and must not register statistics.
typedef void (*stats_log_sink_t)(const char *line);
void stats_set_log_sink(stats_log_sink_t sink);
typedef std::vector<stats_tag_t> stats_tags_t;

enum stats_kind_t { STATS_COUNTER, STATS_GAUGE };

enum stats_json_format_t { STATS_JSON_FULL, STATS_JSON_SIMPLE, STATS_JSON_TAGGED };

// Options of a statistic, all optional:
//   units        what is counted ("messages", "seconds"); shown in JSON and in Prometheus HELP;
//   tagged_name  the name in tagged outputs, so that several statistics form one family told
//                apart by tags ("timeout_cycles" as "aborted_cycles" with reason=timeout);
//   tags         the statistic's own tags;
//   help         Prometheus HELP text (default: the plain path and the units).
struct stats_opts_t {
  const char *units = nullptr;
  const char *tagged_name = nullptr;
  stats_tags_t tags = {};
  const char *help = nullptr;
};

// ---- The recorder ----

// A new, empty recorder. The caller frees it with stats_recorder_free once no thread uses it
// or any handle from it. Tests use their own; the daemon uses stats_process_recorder.
stats_recorder_t *stats_recorder_alloc(void);
void stats_recorder_free(stats_recorder_t *rec);  // null is fine
// The process-wide recorder, created on first use (thread-safe), never freed.
stats_recorder_t *stats_process_recorder(void);

// The root namespace: it has no name and its tags apply to every statistic.
stats_ns_t *stats_recorder_root(stats_recorder_t *rec);
// Sets a process-wide label ("app" = "queltd", "branch", "version"): a tag of the root
// namespace, replacing a label of the same category.
void stats_recorder_set_label(stats_recorder_t *rec, const char *category, const char *value);

// ---- Namespaces ----

// The child namespace of this name, created when new. Null on a bad name or when a statistic
// holds the name.
stats_ns_t *stats_register_ns(stats_ns_t *parent, const char *name);
// Adds a tag to a namespace, replacing a tag of the same category. False for a null argument.
bool stats_ns_add_tag(stats_ns_t *ns, const char *category, const char *value);
// Sets the namespace's tagged name; "" adds no segment, null restores the default (see above).
void stats_ns_set_tagged_name(stats_ns_t *ns, const char *tagged_name);

// ---- Counters owned by the recorder ----

stats_counter_t *stats_register_counter(stats_ns_t *ns, const char *name,
                                        const stats_opts_t &opts = {});
// Adds n; lock-free, any thread; counter must be a handle from stats_register_counter (not
// null). The counter wraps at 2^64.
void stats_counter_add(stats_counter_t *counter, uint64_t n);
inline void stats_counter_inc(stats_counter_t *counter) {
  stats_counter_add(counter, 1);
}
// The sum of every add that happened before the call (later or concurrent adds may show).
uint64_t stats_counter_value(const stats_counter_t *counter);
stats_handle_t *stats_counter_handle(stats_counter_t *counter);

// ---- Observed integers, doubles and texts ----
// The pointer or callback must stay valid for the life of the recorder. kind tells whether the
// value only grows (STATS_COUNTER) or may go both ways (STATS_GAUGE). Plain integers are read
// with a relaxed atomic load, so a writer's plain stores are seen whole.

stats_handle_t *stats_register_u64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const std::atomic<uint64_t> *value,
                                   const stats_opts_t &opts = {});
stats_handle_t *stats_register_u64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const uint64_t *value, const stats_opts_t &opts = {});
stats_handle_t *stats_register_i64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const std::atomic<int64_t> *value,
                                   const stats_opts_t &opts = {});
stats_handle_t *stats_register_i64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const int64_t *value, const stats_opts_t &opts = {});
// A counter kept in per-thread shards (stats_shard.h), summed when read.
stats_handle_t *stats_register_u64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const stats_sharded_u64_t *value, const stats_opts_t &opts = {});
stats_handle_t *stats_register_u64_fn(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                      std::function<uint64_t()> read,
                                      const stats_opts_t &opts = {});
stats_handle_t *stats_register_i64_fn(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                      std::function<int64_t()> read, const stats_opts_t &opts = {});
// A double gauge (NaN and infinities are written as null in JSON, as NaN/+Inf/-Inf for
// Prometheus).
stats_handle_t *stats_register_double_fn(stats_ns_t *ns, const char *name,
                                         std::function<double()> read,
                                         const stats_opts_t &opts = {});
// A text: *value is read at output time (a null *value reads as "").
stats_handle_t *stats_register_text(stats_ns_t *ns, const char *name, const char *const *value,
                                    const stats_opts_t &opts = {});
stats_handle_t *stats_register_text_fn(stats_ns_t *ns, const char *name,
                                       std::function<std::string()> read,
                                       const stats_opts_t &opts = {});

// ---- Histograms ----

stats_histogram_t *stats_register_histogram(stats_ns_t *ns, const char *name,
                                            const stats_opts_t &opts = {});
// Records count samples of value (NaN and infinities are not counted). Any thread.
void stats_histogram_record(stats_histogram_t *histogram, double value, uint64_t count = 1);
// Records a duration given in nanoseconds as seconds. Durations below 10^13 ns go into the
// calling thread's own bins (no lock, no shared line; stats_shard.h) and are merged into every
// read, so a snapshot or output made after the call counts it.
void stats_histogram_record_ns(stats_histogram_t *histogram, uint64_t ns);
// A copy of everything recorded so far; the caller hist_frees it.
struct hist_t;
hist_t *stats_histogram_snapshot(stats_histogram_t *histogram);
stats_handle_t *stats_histogram_handle(stats_histogram_t *histogram);

// ---- Outputs ----

// "tagged" -> STATS_JSON_TAGGED, "simple" -> STATS_JSON_SIMPLE, anything else (null included)
// -> STATS_JSON_FULL: the mapping of the format query parameter of GET /stats.json.
stats_json_format_t stats_json_format_parse(const char *format);
// The recorder as JSON in the given form, one line ending in a newline.
std::string stats_recorder_to_json(stats_recorder_t *rec, stats_json_format_t format);
// Options of the Prometheus output:
//   prefix  put before every family name ("queltd_");
//   help    explains a family, given its name without the prefix; null, or a null or empty
//           answer, keeps the statistic's own help.
struct stats_prometheus_opts_t {
  std::string prefix;
  std::function<const char *(const std::string &family)> help;
};
// The recorder in the Prometheus text exposition format (content type
// "text/plain; version=0.0.4"): metric and label names sanitised to [a-zA-Z_:][a-zA-Z0-9_:]*,
// counters named with a "_total" suffix, statistics in seconds with a "_seconds" suffix,
// histograms as histograms with fixed buckets (durations: 10 us to 60 s; other quantities: 1 to
// 1000000) and _sum and _count, texts as gauges <name>_info{value="<text>"} 1, every family
// with its HELP and TYPE lines. Where two statistics would give the same family with
// different types, or the same family and labels twice, the first registered is kept.
std::string stats_recorder_to_prometheus(stats_recorder_t *rec,
                                         const stats_prometheus_opts_t &opts = {});
