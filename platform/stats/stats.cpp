// The statistics recorder.
//
// The tree of namespaces and statistics changes rarely (registration) and is read rarely (an
// output); both take the recorder's mutex. Recording never takes it: the hot paths are a
// counter bump, done by every worker for every message, and a latency sample.
//
// Counters are per-thread shards (stats_shard.h): a thread adds to a cell that it alone writes,
// without a locked instruction; reading sums the cells. Durations (stats_histogram_record_ns)
// go into per-thread bins the same way and are merged when read, so every output is exact at
// once. Other histogram records are sharded by slot: SLOTS hist_t each behind a spinlock that
// only threads sharing the slot (threads get slots round-robin on first use) and an output
// contend for.
//
// Nodes are never freed before the recorder, so handles are plain pointers.
#include "stats/stats.h"

#include <json-c/json.h>

#include <cinttypes>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "llhist/llhist.h"
#include "stats/stats_shard.h"
#include "tovi/tovi_text.h"

namespace {

constexpr unsigned SLOTS = 16;
constexpr double SUMMARY_QUANTILES[] = {0.5, 0.9, 0.99, 0.999};
constexpr const char *SUMMARY_QUANTILE_NAMES[] = {"0.5", "0.9", "0.99", "0.999"};
constexpr int NQUANTILES = 4;

unsigned thread_slot() {
  static std::atomic<unsigned> next{0};
  // Constant-initialised, so reading it needs no guard; SLOTS marks "not yet given".
  thread_local unsigned slot = SLOTS;
  if (__builtin_expect(slot == SLOTS, 0))
    // Relaxed: the slot only spreads threads over cells; any value is correct.
    slot = next.fetch_add(1, std::memory_order_relaxed) % SLOTS;
  return slot;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

std::atomic<stats_log_sink_t> log_sink{nullptr};

// An error line to the registered sink, or to standard error before one is registered.
__attribute__((format(printf, 1, 2))) void log_error(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (stats_log_sink_t sink = log_sink.load(std::memory_order_acquire))
    sink(line);
  else
    std::fprintf(stderr, "%s\n", line);
}

enum stat_type_t { T_COUNTER, T_GAUGE, T_TEXT, T_HISTOGRAM };

enum source_t {
  SRC_OWN_COUNTER,
  SRC_ATOMIC_U64,
  SRC_PLAIN_U64,
  SRC_ATOMIC_I64,
  SRC_PLAIN_I64,
  SRC_FN_U64,
  SRC_FN_I64,
  SRC_FN_DOUBLE,
  SRC_TEXT_PTR,
  SRC_TEXT_FN,
  SRC_OWN_HISTOGRAM,
};

const char *type_name(stat_type_t t) {
  switch (t) {
    case T_COUNTER:
      return "counter";
    case T_GAUGE:
      return "gauge";
    case T_TEXT:
      return "text";
    case T_HISTOGRAM:
      return "histogram";
  }
  return "unknown";
}

}  // namespace

void stats_set_log_sink(stats_log_sink_t sink) { log_sink.store(sink, std::memory_order_release); }

struct stats_counter_t {
  stats_sharded_u64_t value;
  stats_handle_t *handle = nullptr;
};

struct stats_histogram_t {
  struct alignas(64) slot_t {
    std::atomic<bool> busy{false};
    hist_t *hist = nullptr;  // guarded by busy
  };
  slot_t slots[SLOTS];
  stats_handle_t *handle = nullptr;
  int shard_id = stats_shard_hist_acquire();  // per-thread bins of durations; -1 when none

  stats_histogram_t() {
    for (slot_t &s : slots)
      s.hist = hist_alloc();
  }
  ~stats_histogram_t() {
    stats_shard_hist_release(shard_id);
    for (slot_t &s : slots)
      hist_free(s.hist);
  }
};

namespace {

void slot_lock(stats_histogram_t::slot_t &s) {
  // Acquire: the holder before us released its changes to the hist with the store below.
  while (s.busy.exchange(true, std::memory_order_acquire))
    while (s.busy.load(std::memory_order_relaxed))
      cpu_relax();
}

void slot_unlock(stats_histogram_t::slot_t &s) {
  s.busy.store(false, std::memory_order_release);
}

}  // namespace

struct stats_handle_t {
  stats_ns_t *ns = nullptr;
  std::string name;
  std::string tagged_name;
  std::string units;  // empty when none
  std::string help;   // empty for the default
  stats_tags_t tags;
  stat_type_t type = T_GAUGE;
  source_t source = SRC_FN_U64;
  const void *ptr = nullptr;  // SRC_ATOMIC_*, SRC_PLAIN_*, SRC_TEXT_PTR
  std::function<uint64_t()> read_u64;
  std::function<int64_t()> read_i64;
  std::function<double()> read_double;
  std::function<std::string()> read_text;
  std::unique_ptr<stats_counter_t> counter;
  std::unique_ptr<stats_histogram_t> histogram;
};

struct stats_ns_t {
  stats_recorder_t *rec = nullptr;
  stats_ns_t *parent = nullptr;
  std::string name;
  bool tagged_name_set = false;
  std::string tagged_name;
  stats_tags_t tags;
  // Children in registration order (the order of every output), and an index by name.
  struct child_t {
    std::unique_ptr<stats_ns_t> ns;
    std::unique_ptr<stats_handle_t> stat;
  };
  std::vector<child_t> children;
  std::unordered_map<std::string, size_t> index;
};

struct stats_recorder_t {
  std::mutex lock;  // guards the whole tree: children, index, tags, tagged names
  stats_ns_t root;
};

namespace {

void set_tag(stats_tags_t &tags, const std::string &category, const std::string &value) {
  for (auto &t : tags) {
    if (t.first == category) {
      t.second = value;
      return;
    }
  }
  tags.emplace_back(category, value);
}

bool valid_name(const char *name) {
  return name && *name;
}

std::string ns_path(const stats_ns_t *ns) {
  std::string path;
  for (; ns && ns->parent; ns = ns->parent)
    path = ns->name + (path.empty() ? "" : "/") + path;
  return path;
}

// "a/b/name", or "name" at the root.
std::string full_name(const stats_ns_t *ns, const std::string &name) {
  std::string path = ns_path(ns);
  return path.empty() ? name : path + "/" + name;
}

// Registers a statistic under ns->rec->lock. When the name exists: the existing handle if
// reuse allows it and the kind matches, else null.
stats_handle_t *add_stat(stats_ns_t *ns, const char *name, stat_type_t type, source_t source,
                         const stats_opts_t &opts, bool reuse,
                         const std::function<void(stats_handle_t *)> &fill) {
  if (!ns || !valid_name(name)) {
    log_error("stats: cannot register a statistic without a name or namespace");
    return nullptr;
  }
  std::lock_guard<std::mutex> g(ns->rec->lock);
  auto it = ns->index.find(name);
  if (it != ns->index.end()) {
    stats_handle_t *old = ns->children[it->second].stat.get();
    if (reuse && old && old->source == source) return old;
    log_error("stats: %s is registered already", full_name(ns, name).c_str());
    return nullptr;
  }
  auto h = std::make_unique<stats_handle_t>();
  h->ns = ns;
  h->name = name;
  h->tagged_name = opts.tagged_name && *opts.tagged_name ? opts.tagged_name : name;
  if (opts.units) h->units = opts.units;
  if (opts.help) h->help = opts.help;
  for (const auto &t : opts.tags)
    set_tag(h->tags, t.first, t.second);
  h->type = type;
  h->source = source;
  fill(h.get());
  stats_handle_t *raw = h.get();
  ns->index.emplace(name, ns->children.size());
  ns->children.push_back({nullptr, std::move(h)});
  return raw;
}

// ---- Reading values ----

struct hist_deleter {
  void operator()(hist_t *h) const { hist_free(h); }
};
using hist_ptr = std::unique_ptr<hist_t, hist_deleter>;

struct value_t {
  enum repr_t { U64, I64, DOUBLE, TEXT, HIST } repr = U64;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
  std::string text;
  hist_ptr hist;
};

value_t read_value(const stats_handle_t *h) {
  value_t v;
  switch (h->source) {
    case SRC_OWN_COUNTER:
      v.u = stats_counter_value(h->counter.get());
      break;
    case SRC_ATOMIC_U64:
      v.u = static_cast<const std::atomic<uint64_t> *>(h->ptr)->load(std::memory_order_relaxed);
      break;
    case SRC_PLAIN_U64:
      v.u = __atomic_load_n(static_cast<const uint64_t *>(h->ptr), __ATOMIC_RELAXED);
      break;
    case SRC_ATOMIC_I64:
      v.repr = value_t::I64;
      v.i = static_cast<const std::atomic<int64_t> *>(h->ptr)->load(std::memory_order_relaxed);
      break;
    case SRC_PLAIN_I64:
      v.repr = value_t::I64;
      v.i = __atomic_load_n(static_cast<const int64_t *>(h->ptr), __ATOMIC_RELAXED);
      break;
    case SRC_FN_U64:
      v.u = h->read_u64();
      break;
    case SRC_FN_I64:
      v.repr = value_t::I64;
      v.i = h->read_i64();
      break;
    case SRC_FN_DOUBLE:
      v.repr = value_t::DOUBLE;
      v.d = h->read_double();
      break;
    case SRC_TEXT_PTR: {
      v.repr = value_t::TEXT;
      const char *text = *static_cast<const char *const *>(h->ptr);
      v.text = text ? text : "";
      break;
    }
    case SRC_TEXT_FN:
      v.repr = value_t::TEXT;
      v.text = h->read_text();
      break;
    case SRC_OWN_HISTOGRAM:
      v.repr = value_t::HIST;
      v.hist.reset(stats_histogram_snapshot(h->histogram.get()));
      break;
  }
  return v;
}

// The shortest of %.15g, %.16g, %.17g that reads back as d.
std::string format_double(double d) {
  char buf[40];
  for (int precision = 15; precision <= 17; precision++) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

// ---- JSON ----

json_object *json_double(double d) {
  if (!std::isfinite(d)) return nullptr;  // JSON null
  return json_object_new_double_s(d, format_double(d).c_str());
}

json_object *histogram_json(const hist_t *h, bool with_bins) {
  json_object *o = json_object_new_object();
  uint64_t n = hist_sample_count(h);
  double q[NQUANTILES], edges[2];
  const double ends[2] = {0, 1};
  if (hist_approx_quantile(h, SUMMARY_QUANTILES, NQUANTILES, q) != 0)
    for (double &x : q)
      x = NAN;
  if (hist_approx_quantile(h, ends, 2, edges) != 0) edges[0] = edges[1] = NAN;
  json_object_object_add(o, "count", json_object_new_uint64(n));
  json_object_object_add(o, "sum", json_double(hist_approx_sum(h)));
  json_object_object_add(o, "mean", json_double(hist_approx_mean(h)));
  json_object_object_add(o, "min", json_double(edges[0]));
  json_object_object_add(o, "max", json_double(edges[1]));
  json_object *qo = json_object_new_object();
  for (int i = 0; i < NQUANTILES; i++)
    json_object_object_add(qo, SUMMARY_QUANTILE_NAMES[i], json_double(q[i]));
  json_object_object_add(o, "quantiles", qo);
  if (with_bins) {
    json_object *bins = json_object_new_object();
    for (int i = 0; i < hist_bucket_count(h); i++) {
      hist_bucket_t b;
      uint64_t count;
      hist_bucket_idx(h, i, &b, &count);
      char key[32];
      std::snprintf(key, sizeof key, "%.2g", hist_bucket_to_double(b));
      json_object_object_add(bins, key, json_object_new_uint64(count));
    }
    json_object_object_add(o, "bins", bins);
  }
  return o;
}

json_object *value_json(const value_t &v, bool with_bins) {
  switch (v.repr) {
    case value_t::U64:
      return json_object_new_uint64(v.u);
    case value_t::I64:
      return json_object_new_int64(v.i);
    case value_t::DOUBLE:
      return json_double(v.d);
    case value_t::TEXT:
      return json_object_new_string_len(v.text.data(), int(v.text.size()));
    case value_t::HIST:
      return histogram_json(v.hist.get(), with_bins);
  }
  return nullptr;
}

json_object *plain_json(const stats_ns_t *ns, bool full) {
  json_object *o = json_object_new_object();
  for (const auto &child : ns->children) {
    if (child.ns) {
      json_object_object_add(o, child.ns->name.c_str(), plain_json(child.ns.get(), full));
      continue;
    }
    const stats_handle_t *h = child.stat.get();
    value_t v = read_value(h);
    if (!full) {
      json_object_object_add(o, h->name.c_str(), value_json(v, false));
      continue;
    }
    json_object *s = json_object_new_object();
    json_object_object_add(s, "_type", json_object_new_string(type_name(h->type)));
    json_object_object_add(s, "_value", value_json(v, true));
    if (!h->units.empty())
      json_object_object_add(s, "_units", json_object_new_string(h->units.c_str()));
    json_object_object_add(o, h->name.c_str(), s);
  }
  return o;
}

// The name segment a namespace adds in tagged outputs; false when it adds none.
bool tagged_segment(const stats_ns_t *ns, std::string *segment) {
  if (!ns->parent) return false;
  if (ns->tagged_name_set) {
    *segment = ns->tagged_name;
    return !segment->empty();
  }
  if (!ns->tags.empty()) return false;
  *segment = ns->name;
  return true;
}

// Calls visit(handle, name segments, merged tags) for every statistic, depth first in order.
template <typename Visit>
void walk_tagged(const stats_ns_t *ns, std::vector<std::string> &segments, stats_tags_t tags,
                 Visit &&visit) {
  for (const auto &t : ns->tags)
    set_tag(tags, t.first, t.second);
  std::string segment;
  bool pushed = tagged_segment(ns, &segment);
  if (pushed) segments.push_back(segment);
  for (const auto &child : ns->children) {
    if (child.ns) {
      walk_tagged(child.ns.get(), segments, tags, visit);
      continue;
    }
    const stats_handle_t *h = child.stat.get();
    stats_tags_t all = tags;
    for (const auto &t : h->tags)
      set_tag(all, t.first, t.second);
    segments.push_back(h->tagged_name);
    visit(h, segments, all);
    segments.pop_back();
  }
  if (pushed) segments.pop_back();
}

std::string join(const std::vector<std::string> &parts, const char *sep) {
  std::string out;
  for (const auto &p : parts) {
    if (!out.empty()) out += sep;
    out += p;
  }
  return out;
}

json_object *tagged_json(const stats_ns_t *root) {
  json_object *list = json_object_new_array();
  std::vector<std::string> segments;
  walk_tagged(root, segments, {},
              [&](const stats_handle_t *h, const std::vector<std::string> &names,
                  const stats_tags_t &tags) {
                json_object *s = json_object_new_object();
                json_object_object_add(s, "name", json_object_new_string(join(names, "/").c_str()));
                json_object *to = json_object_new_object();
                for (const auto &t : tags)
                  json_object_object_add(to, t.first.c_str(),
                                         json_object_new_string(t.second.c_str()));
                json_object_object_add(s, "tags", to);
                json_object_object_add(s, "type", json_object_new_string(type_name(h->type)));
                json_object_object_add(s, "value", value_json(read_value(h), false));
                if (!h->units.empty())
                  json_object_object_add(s, "units", json_object_new_string(h->units.c_str()));
                json_object_array_add(list, s);
              });
  return list;
}

// ---- Prometheus ----

std::string metric_name(const std::vector<std::string> &segments) {
  std::string out;
  for (const auto &seg : segments) {
    if (!out.empty()) out += '_';
    for (char c : seg) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '_' || c == ':';
      out += ok ? c : '_';
    }
  }
  // Runs of underscores (from "/_aggregate" and replaced characters) read better as one.
  std::string squeezed;
  for (char c : out)
    if (!(c == '_' && !squeezed.empty() && squeezed.back() == '_')) squeezed += c;
  if (!squeezed.empty() && !(squeezed[0] >= '0' && squeezed[0] <= '9')) return squeezed;
  std::string prefixed(1, '_');
  prefixed += squeezed;
  return prefixed;
}

std::string label_name(const std::string &category) {
  std::string out;
  if (category.empty() || (category[0] >= '0' && category[0] <= '9')) out += '_';
  for (char c : category) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    out += ok ? c : '_';
  }
  // Label names starting with "__" are reserved for the scraper's own use.
  size_t skip = 0;
  while (out.size() - skip > 1 && out[skip] == '_' && out[skip + 1] == '_')
    skip++;
  return out.substr(skip);
}

std::string escape_label_value(const std::string &value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string escape_help(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string prom_double(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "+Inf" : "-Inf";
  return format_double(d);
}

std::string prom_value(const value_t &v) {
  char buf[32];
  switch (v.repr) {
    case value_t::U64:
      std::snprintf(buf, sizeof buf, "%" PRIu64, v.u);
      return buf;
    case value_t::I64:
      std::snprintf(buf, sizeof buf, "%" PRId64, v.i);
      return buf;
    case value_t::DOUBLE:
      return prom_double(v.d);
    default:
      return "NaN";
  }
}

// Labels in the order of the tags, sanitised; the innermost of two tags that sanitise to the
// same label name wins.
typedef std::vector<std::pair<std::string, std::string>> labels_t;

labels_t prom_labels(const stats_tags_t &tags) {
  labels_t labels;
  for (const auto &t : tags) {
    std::string name = label_name(t.first);
    bool replaced = false;
    for (auto &l : labels) {
      if (l.first == name) {
        l.second = t.second;
        replaced = true;
      }
    }
    if (!replaced) labels.emplace_back(name, t.second);
  }
  return labels;
}

std::string render_labels(const labels_t &labels, const char *extra_name = nullptr,
                          const std::string &extra_value = {}) {
  if (labels.empty() && !extra_name) return "";
  std::string out = "{";
  bool first = true;
  for (const auto &l : labels) {
    if (extra_name && l.first == extra_name) continue;
    if (!first) out += ',';
    first = false;
    out += l.first + "=\"" + escape_label_value(l.second) + "\"";
  }
  if (extra_name) {
    if (!first) out += ',';
    out += std::string(extra_name) + "=\"" + escape_label_value(extra_value) + "\"";
  }
  return out + "}";
}

struct family_t {
  std::string name, type, help;
  std::string samples;
  std::unordered_set<std::string> label_sets;
};

// Bucket bounds of histograms: fixed, so that the buckets of several daemons add up. Durations
// span ten microseconds to a minute; other quantities (messages per cycle) one to a million. Every
// bound has at most two significant digits, so it falls on an edge of the log-linear bins and a
// bucket's count is exact.
const double seconds_bounds[] = {1e-5,   2.5e-5, 5e-5, 1e-4,   2.5e-4, 5e-4, 1e-3,
                                 2.5e-3, 5e-3,   1e-2, 2.5e-2, 5e-2,   0.1,  0.25,
                                 0.5,    1,      2.5,  5,      10,     30,   60};
const double count_bounds[] = {1,    2,    5,    10,    20,    50,    100,    200,    500,
                               1000, 2000, 5000, 10000, 20000, 50000, 100000, 1000000};

std::string histogram_samples(const std::string &family, const labels_t &labels, const hist_t *h,
                              bool seconds) {
  const double *bounds = seconds ? seconds_bounds : count_bounds;
  size_t nbounds = seconds ? std::size(seconds_bounds) : std::size(count_bounds);
  std::vector<uint64_t> at_most(nbounds, 0);
  uint64_t total = 0;
  hist_bucket_t bucket;
  uint64_t count;
  for (int i = 0; hist_bucket_idx(h, i, &bucket, &count); i++) {
    total += count;
    double low = hist_bucket_to_double(bucket), width = hist_bucket_width(bucket);
    // A negative bin's values are below every bound; a positive bin counts under a bound once
    // its upper edge is not above it.
    double high = low < 0 ? low : low + width;
    for (size_t b = 0; b < nbounds; b++)
      if (high <= bounds[b] * (1 + 1e-9)) at_most[b] += count;
  }
  std::string out;
  char value[32];
  for (size_t b = 0; b < nbounds; b++) {
    std::snprintf(value, sizeof value, "%" PRIu64, at_most[b]);
    out += family + "_bucket" + render_labels(labels, "le", format_double(bounds[b])) + " " +
           value + "\n";
  }
  std::snprintf(value, sizeof value, "%" PRIu64, total);
  out += family + "_bucket" + render_labels(labels, "le", "+Inf") + " " + value + "\n";
  out += family + "_sum" + render_labels(labels) + " " + prom_double(hist_approx_sum(h)) + "\n";
  out += family + "_count" + render_labels(labels) + " " + value + "\n";
  return out;
}

bool ends_with(const std::string &s, const char *suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string prometheus(const stats_ns_t *root, const stats_prometheus_opts_t &opts) {
  std::vector<family_t> families;
  std::unordered_map<std::string, size_t> by_name;
  std::vector<std::string> segments;
  walk_tagged(root, segments, {},
              [&](const stats_handle_t *h, const std::vector<std::string> &names,
                  const stats_tags_t &tags) {
                std::string base = metric_name(names);
                // Durations are named in their unit, as scrapers expect.
                if (h->units == "seconds" && !ends_with(base, "_seconds")) base += "_seconds";
                std::string family_name = opts.prefix + base, type;
                switch (h->type) {
                  case T_COUNTER:
                    type = "counter";
                    if (family_name.size() < 6 ||
                        family_name.compare(family_name.size() - 6, 6, "_total") != 0)
                      family_name += "_total";
                    break;
                  case T_GAUGE:
                    type = "gauge";
                    break;
                  case T_TEXT:
                    type = "gauge";
                    family_name += "_info";
                    break;
                  case T_HISTOGRAM:
                    type = "histogram";
                    break;
                }
                auto found = by_name.find(family_name);
                if (found == by_name.end()) {
                  std::string help = h->help;
                  if (opts.help) {
                    const char *explained = opts.help(family_name.substr(opts.prefix.size()));
                    if (explained && *explained) help = explained;
                  }
                  if (help.empty()) {
                    help = full_name(h->ns, h->name);
                    if (!h->units.empty()) help += " (" + h->units + ")";
                  }
                  found = by_name.emplace(family_name, families.size()).first;
                  families.push_back({family_name, type, help, {}, {}});
                }
                family_t &f = families[found->second];
                labels_t labels = prom_labels(tags);
                std::string label_key = render_labels(labels);
                // One type per family, and no label set twice: the scraper rejects either.
                if (f.type != type || !f.label_sets.insert(label_key).second) return;
                value_t v = read_value(h);
                switch (h->type) {
                  case T_COUNTER:
                  case T_GAUGE:
                    f.samples += family_name + label_key + " " + prom_value(v) + "\n";
                    break;
                  case T_TEXT:
                    f.samples += family_name + render_labels(labels, "value", v.text) + " 1\n";
                    break;
                  case T_HISTOGRAM:
                    f.samples +=
                        histogram_samples(family_name, labels, v.hist.get(), h->units == "seconds");
                    break;
                }
              });
  std::string out;
  for (const family_t &f : families) {
    out += "# HELP " + f.name + " " + escape_help(f.help) + "\n";
    out += "# TYPE " + f.name + " " + f.type + "\n";
    out += f.samples;
  }
  return out;
}

}  // namespace

// ---- The recorder ----

stats_recorder_t *stats_recorder_alloc(void) {
  stats_recorder_t *rec = new stats_recorder_t();
  rec->root.rec = rec;
  return rec;
}

void stats_recorder_free(stats_recorder_t *rec) {
  delete rec;
}

stats_recorder_t *stats_process_recorder(void) {
  static stats_recorder_t *rec = stats_recorder_alloc();
  return rec;
}

stats_ns_t *stats_recorder_root(stats_recorder_t *rec) {
  return rec ? &rec->root : nullptr;
}

void stats_recorder_set_label(stats_recorder_t *rec, const char *category, const char *value) {
  if (rec) stats_ns_add_tag(&rec->root, category, value);
}

// ---- Namespaces ----

stats_ns_t *stats_register_ns(stats_ns_t *parent, const char *name) {
  if (!parent || !valid_name(name)) {
    log_error("stats: cannot register a namespace without a name or parent");
    return nullptr;
  }
  std::lock_guard<std::mutex> g(parent->rec->lock);
  auto it = parent->index.find(name);
  if (it != parent->index.end()) {
    stats_ns_t *old = parent->children[it->second].ns.get();
    if (!old)
      log_error("stats: %s is a statistic already", full_name(parent, name).c_str());
    return old;
  }
  auto ns = std::make_unique<stats_ns_t>();
  ns->rec = parent->rec;
  ns->parent = parent;
  ns->name = name;
  stats_ns_t *raw = ns.get();
  parent->index.emplace(name, parent->children.size());
  parent->children.push_back({std::move(ns), nullptr});
  return raw;
}

bool stats_ns_add_tag(stats_ns_t *ns, const char *category, const char *value) {
  if (!ns || !valid_name(category) || !value) return false;
  std::lock_guard<std::mutex> g(ns->rec->lock);
  set_tag(ns->tags, category, value);
  return true;
}

void stats_ns_set_tagged_name(stats_ns_t *ns, const char *tagged_name) {
  if (!ns) return;
  std::lock_guard<std::mutex> g(ns->rec->lock);
  ns->tagged_name_set = tagged_name != nullptr;
  ns->tagged_name = tagged_name ? tagged_name : "";
}

// ---- Counters ----

stats_counter_t *stats_register_counter(stats_ns_t *ns, const char *name,
                                        const stats_opts_t &opts) {
  stats_handle_t *h =
      add_stat(ns, name, T_COUNTER, SRC_OWN_COUNTER, opts, true, [](stats_handle_t *h) {
        h->counter = std::make_unique<stats_counter_t>();
        h->counter->handle = h;
      });
  return h ? h->counter.get() : nullptr;
}

void stats_counter_add(stats_counter_t *counter, uint64_t n) {
  counter->value.add(n);
}

uint64_t stats_counter_value(const stats_counter_t *counter) {
  return counter ? counter->value.load() : 0;
}

stats_handle_t *stats_counter_handle(stats_counter_t *counter) {
  return counter ? counter->handle : nullptr;
}

// ---- Observed values ----

namespace {

stat_type_t kind_type(stats_kind_t kind) {
  return kind == STATS_COUNTER ? T_COUNTER : T_GAUGE;
}

stats_handle_t *add_pointer(stats_ns_t *ns, const char *name, stat_type_t type, source_t source,
                            const void *ptr, const stats_opts_t &opts) {
  if (!ptr) {
    log_error("stats: %s has no value to observe", name ? name : "(null)");
    return nullptr;
  }
  return add_stat(ns, name, type, source, opts, false, [ptr](stats_handle_t *h) { h->ptr = ptr; });
}

}  // namespace

stats_handle_t *stats_register_u64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const std::atomic<uint64_t> *value, const stats_opts_t &opts) {
  return add_pointer(ns, name, kind_type(kind), SRC_ATOMIC_U64, value, opts);
}

stats_handle_t *stats_register_u64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const uint64_t *value, const stats_opts_t &opts) {
  return add_pointer(ns, name, kind_type(kind), SRC_PLAIN_U64, value, opts);
}

stats_handle_t *stats_register_i64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const std::atomic<int64_t> *value, const stats_opts_t &opts) {
  return add_pointer(ns, name, kind_type(kind), SRC_ATOMIC_I64, value, opts);
}

stats_handle_t *stats_register_i64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const int64_t *value, const stats_opts_t &opts) {
  return add_pointer(ns, name, kind_type(kind), SRC_PLAIN_I64, value, opts);
}

stats_handle_t *stats_register_u64(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                   const stats_sharded_u64_t *value, const stats_opts_t &opts) {
  if (!value) return nullptr;
  return stats_register_u64_fn(
      ns, name, kind, [value] { return value->load(); }, opts);
}

stats_handle_t *stats_register_u64_fn(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                      std::function<uint64_t()> read, const stats_opts_t &opts) {
  if (!read) return nullptr;
  return add_stat(ns, name, kind_type(kind), SRC_FN_U64, opts, false,
                  [&read](stats_handle_t *h) { h->read_u64 = std::move(read); });
}

stats_handle_t *stats_register_i64_fn(stats_ns_t *ns, const char *name, stats_kind_t kind,
                                      std::function<int64_t()> read, const stats_opts_t &opts) {
  if (!read) return nullptr;
  return add_stat(ns, name, kind_type(kind), SRC_FN_I64, opts, false,
                  [&read](stats_handle_t *h) { h->read_i64 = std::move(read); });
}

stats_handle_t *stats_register_double_fn(stats_ns_t *ns, const char *name,
                                         std::function<double()> read, const stats_opts_t &opts) {
  if (!read) return nullptr;
  return add_stat(ns, name, T_GAUGE, SRC_FN_DOUBLE, opts, false,
                  [&read](stats_handle_t *h) { h->read_double = std::move(read); });
}

stats_handle_t *stats_register_text(stats_ns_t *ns, const char *name, const char *const *value,
                                    const stats_opts_t &opts) {
  return add_pointer(ns, name, T_TEXT, SRC_TEXT_PTR, value, opts);
}

stats_handle_t *stats_register_text_fn(stats_ns_t *ns, const char *name,
                                       std::function<std::string()> read,
                                       const stats_opts_t &opts) {
  if (!read) return nullptr;
  return add_stat(ns, name, T_TEXT, SRC_TEXT_FN, opts, false,
                  [&read](stats_handle_t *h) { h->read_text = std::move(read); });
}

// ---- Histograms ----

stats_histogram_t *stats_register_histogram(stats_ns_t *ns, const char *name,
                                            const stats_opts_t &opts) {
  stats_handle_t *h =
      add_stat(ns, name, T_HISTOGRAM, SRC_OWN_HISTOGRAM, opts, true, [](stats_handle_t *h) {
        h->histogram = std::make_unique<stats_histogram_t>();
        h->histogram->handle = h;
      });
  return h ? h->histogram.get() : nullptr;
}

void stats_histogram_record(stats_histogram_t *histogram, double value, uint64_t count) {
  auto &slot = histogram->slots[thread_slot()];
  slot_lock(slot);
  hist_insert(slot.hist, value, count);
  slot_unlock(slot);
}

void stats_histogram_record_ns(stats_histogram_t *histogram, uint64_t ns) {
  if (!stats_shard_hist_record_ns(histogram->shard_id, ns))
    stats_histogram_record(histogram, double(ns) / 1e9, 1);
}

hist_t *stats_histogram_snapshot(stats_histogram_t *histogram) {
  if (!histogram) return nullptr;
  hist_t *sum = hist_alloc();
  stats_shard_hist_accumulate(histogram->shard_id, sum);
  for (auto &slot : histogram->slots) {
    slot_lock(slot);
    const hist_t *src[] = {slot.hist};
    hist_accumulate(sum, src, 1);
    slot_unlock(slot);
  }
  return sum;
}

stats_handle_t *stats_histogram_handle(stats_histogram_t *histogram) {
  return histogram ? histogram->handle : nullptr;
}

// ---- Outputs ----

stats_json_format_t stats_json_format_parse(const char *format) {
  if (format && std::strcmp(format, "tagged") == 0) return STATS_JSON_TAGGED;
  if (format && std::strcmp(format, "simple") == 0) return STATS_JSON_SIMPLE;
  return STATS_JSON_FULL;
}

std::string stats_recorder_to_json(stats_recorder_t *rec, stats_json_format_t format) {
  if (!rec) return "{}\n";
  json_object *doc;
  {
    std::lock_guard<std::mutex> g(rec->lock);
    doc = format == STATS_JSON_TAGGED ? tagged_json(&rec->root)
                                      : plain_json(&rec->root, format == STATS_JSON_FULL);
  }
  std::string out = tovi_json_utf8_safe(
      json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
  json_object_put(doc);
  out += '\n';
  return out;
}

std::string stats_recorder_to_prometheus(stats_recorder_t *rec,
                                         const stats_prometheus_opts_t &opts) {
  if (!rec) return "";
  std::lock_guard<std::mutex> g(rec->lock);
  return prometheus(&rec->root, opts);
}
