// brokers: the broker registry, its health pass and pulses, the broker list, REST and console.
//
// The registry is a Concurrency Kit hash set in single-writer, many-reader mode over the safe
// allocator: lookups and walks need no lock, only a safe-memory bracket (a growing table frees
// its old slots through the deferred free). Writers are serialised by brokers_lock. A record is
// published only once it is complete, and records are never removed, so a reader that found one
// may keep the pointer for ever.
//
// Times are kept as microseconds since the epoch in one atomic word and only ever raised by
// compare-and-swap: a reader sees an instant that some message carried, never a mix of two. A
// broker's clock is not ours: a time ahead of the message's arrival counts as the arrival, so a
// broker whose clock runs fast cannot look alive after it fell silent, and ages never go
// negative because of it.
//
// The health pass runs on one loop thread every 10 s; it alone writes `pulsed`, and it resets
// `seen_count` with a store that may lose an increment racing with it (one self-check of a
// broker that was just declared silent).
#include "brokers.h"

#include <json-c/json.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

#include "absl/hash/hash.h"
#include "api.h"
#include "general.h"
#include "cluster.h"
#include "daemon_stats.h"
#include "stats/stats.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_uuid.h"
#include "tovi/tovi_text.h"
#include "vask/vask_director.h"

// Concurrency Kit's headers declare C functions without C linkage markers.
extern "C" {
#include <ck_hs.h>
}

namespace {

constexpr uint64_t selfcheck_min_uptime = 60;  // seconds; a report must exceed it to count
constexpr unsigned long registry_initial_size = 128;
constexpr size_t default_max_brokers = 10000;

ck_hs_t brokers;
std::once_flag brokers_once;
tovi_mutex_c brokers_lock;
std::atomic<size_t> broker_records{0};
std::atomic<size_t> max_brokers{default_max_brokers};
stats_sharded_u64_t untracked_messages;
std::atomic<int64_t> untracked_logged_s{0};
stats_ns_t *brokers_ns = nullptr;

// The list fetch's own copy of where the API is; owned by the fetch job.
struct fetching_cursor_t {
  std::string apibase;
  std::string apitoken;
};

unsigned long key_hash(const void *object, unsigned long seed) {
  auto *k = static_cast<const broker_key_t *>(object);
  // Names come from the lines: the hash is seeded per process, so nobody can pick names that
  // collide.
  return absl::HashOf(std::string_view(k->name, k->name_len), seed);
}

bool key_compare(const void *a, const void *b) {
  auto *x = static_cast<const broker_key_t *>(a);
  auto *y = static_cast<const broker_key_t *>(b);
  return x->name_len == y->name_len && std::memcmp(x->name, y->name, x->name_len) == 0;
}

void registry_init() {
  std::call_once(brokers_once, [] {
    unsigned long seed = 0;
    arc4random_buf(&seed, sizeof seed);
    tovi_assert(ck_hs_init(&brokers, CK_HS_MODE_SPMC | CK_HS_MODE_OBJECT, key_hash, key_compare,
                           &tovi_memory_ck_malloc, registry_initial_size, seed));
  });
}

// Set once the first record is in; until then there is nothing to look up.
std::atomic<bool> registry_made{false};

// Every record, in no order, read inside the caller's bracket.
template <typename F>
void each_broker(F fn) {
  if (!registry_made.load(std::memory_order_acquire)) return;
  ck_hs_iterator_t it = CK_HS_ITERATOR_INITIALIZER;
  void *entry;
  while (ck_hs_next_spmc(&brokers, &it, &entry))
    fn(static_cast<broker_t *>(entry));
}

uint64_t wall_now_us() {
  struct timespec ts;
  // Coarse: a few milliseconds of resolution is plenty for ages in seconds, at a fraction of the
  // price, and this runs for every message.
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

uint64_t timeval_us(const struct timeval *tv) {
  return uint64_t(tv->tv_sec) * 1000000u + uint64_t(tv->tv_usec);
}

// Raises *slot to t; the larger whole instant wins. Relaxed: the value stands for itself.
void raise_time(std::atomic<uint64_t> &slot, uint64_t t) {
  uint64_t seen = slot.load(std::memory_order_relaxed);
  while (t > seen && !slot.compare_exchange_weak(seen, t, std::memory_order_relaxed)) {
  }
}

void register_broker_stats(broker_t *b) {
  stats_ns_t *parent = brokers_ns;
  if (!parent) parent = stats_register_ns(stats_recorder_root(stats_recorder()), "brokers");
  stats_ns_t *ns = stats_register_ns(parent, b->key.name);
  if (!ns) return;  // a name the recorder cannot hold: the record works without statistics
  stats_ns_add_tag(ns, "broker-cn", b->key.name);
  stats_opts_t messages;
  messages.units = "messages";
  stats_opts_t measurements;
  measurements.units = "measurements";
  b->numeric_h = stats_register_u64(ns, "numeric", STATS_COUNTER, &b->numeric, messages);
  b->text_h = stats_register_u64(ns, "text", STATS_COUNTER, &b->text, messages);
  b->histogram_h = stats_register_u64(ns, "histogram", STATS_COUNTER, &b->histograms, messages);
  b->collected_h = stats_register_u64(ns, "collected", STATS_GAUGE, &b->collected, measurements);
}

broker_t *new_broker(const char *name, size_t len, uint64_t now_us) {
  auto *b = new broker_t{};
  char *copy = new char[len + 1];
  std::memcpy(copy, name, len);
  copy[len] = '\0';
  b->key = broker_key_t{copy, len};
  b->seen_count.store(1, std::memory_order_relaxed);
  b->last_seen_us.store(now_us, std::memory_order_relaxed);
  return b;
}

void delete_broker(broker_t *b) {
  delete[] b->key.name;
  delete b;
}

void note_untracked(const char *name, size_t len) {
  untracked_messages.inc();
  int64_t now_s = int64_t(wall_now_us() / 1000000u);
  int64_t last = untracked_logged_s.load(std::memory_order_relaxed);
  // One line a second at most, whoever wins the exchange writes it.
  if (now_s != last &&
      untracked_logged_s.compare_exchange_strong(last, now_s, std::memory_order_relaxed))
    tovi_log_fields(tovi_error, ({"broker", std::string_view(name, len)}),
                    "broker registry full (%zu records): '%.*s' not tracked (%lu untracked "
                    "messages)\n",
                    broker_records.load(std::memory_order_relaxed), int(len), name,
                    (unsigned long)untracked_messages.load(std::memory_order_relaxed));
}

// ---- Sweeps
// --------------------------------------------------------------------------------------

std::atomic<broker_stream_sweeper_t> stream_sweeper{nullptr};

// The log streams of what brokers do for maintenance and of broker pulses: the maintenance
// module's "debug/maintenance" and "error/maintenance" and the rules' "fire/rules".
tovi_log_stream_t maint_debug_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/maintenance");
  return ls;
}
tovi_log_stream_t maint_error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/maintenance");
  return ls;
}
tovi_log_stream_t fire_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("fire/rules");
  return ls;
}

void sweep(broker_t *broker, broker_sweep_action_t action, const char *name,
           broker_sweep_done_t done, void *closure) {
  if (broker_stream_sweeper_t fn = stream_sweeper.load(std::memory_order_acquire))
    fn(broker, action, name, done, closure);
  else
    done(name, 0, closure);
}

void log_sweep_done(const char *name, int64_t streams, void *) {
  tovi_log_fields(maint_debug_stream(), ({"reason", name}, {"rule_count", streams}),
                  "%s notified %ld rules.\n", name, long(streams));
}

// ---- REST
// ----------------------------------------------------------------------------------------

void append_broker_json(std::string *out, const broker_t *b, uint64_t now_us) {
  uint64_t data_us = b->last_seen_data_us.load(std::memory_order_relaxed);
  uint64_t check_us = b->last_seen_us.load(std::memory_order_relaxed);
  char buf[512];
  out->append("{\"name\":");
  tovi_json_escape_into(out, std::string_view(b->key.name, b->key.name_len));
  snprintf(buf, sizeof buf,
           ",\"histograms\":%lu,\"text\":%lu,\"numeric\":%lu,\"collected\":%lu,"
           "\"last_seen_ms\":%lu,\"age_ms\":%ld,\"last_seen_selfcheck_ms\":%lu,"
           "\"selfcheck_age_ms\":%ld,\"stable\":%s}",
           (unsigned long)b->histograms.load(std::memory_order_relaxed),
           (unsigned long)b->text.load(std::memory_order_relaxed),
           (unsigned long)b->numeric.load(std::memory_order_relaxed),
           (unsigned long)b->collected.load(std::memory_order_relaxed),
           (unsigned long)(data_us / 1000), long((int64_t(now_us) - int64_t(data_us)) / 1000),
           (unsigned long)(check_us / 1000), long((int64_t(now_us) - int64_t(check_us)) / 1000),
           b->pulsed.load(std::memory_order_relaxed) ? "true" : "false");
  out->append(buf);
}

struct clear_request_t {
  tovi_http_deferred_t *deferred;
  tovi_http_rest_closure_t *restc;
  int thread;  // the connection's loop thread: the only one that may write to it
};

int brokers_rest_clear_complete(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

void clear_sweep_done(const char *, int64_t count, void *closure) {
  auto *req = static_cast<clear_request_t *>(closure);
  eventer_post(req->thread, [req, count] {
    char body[64];
    snprintf(body, sizeof body, "{ \"rules\": \"%ld\" }\n", long(count));
    tovi_http_response_standard(req->restc, 200, "OK", "application/json");
    tovi_http_response_append_str(req->restc, body);
    tovi_http_rest_resume(req->deferred);
    delete req;
  });
}

// ---- Console ---------------------------------------------------------------------------------

// A broker name as the console shows it: names come from metric lines, so control bytes (a
// terminal's escape sequences among them) are shown as \xHH, never sent to the operator's terminal.
std::string console_safe(std::string_view name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out.push_back(char(c));
    }
  }
  return out;
}

void console_block(tovi_console_t *console, std::string_view name, uint64_t check_us,
                   uint64_t data_us, uint64_t numeric, uint64_t text, uint64_t hist,
                   uint64_t now_us) {
  tovi_console_printf(console, " == %s ==\n", console_safe(name).c_str());
  if (check_us)
    tovi_console_printf(console, "    last selfcheck: %lu.%03d (%0.2fs ago)\n",
                        (unsigned long)(check_us / 1000000), int(check_us / 1000 % 1000),
                        double(int64_t(now_us) - int64_t(check_us)) / 1e6);
  if (data_us)
    tovi_console_printf(console, "    last record: %lu.%03d (%0.2fs ago)\n",
                        (unsigned long)(data_us / 1000000), int(data_us / 1000 % 1000),
                        double(int64_t(now_us) - int64_t(data_us)) / 1e6);
  tovi_console_printf(console, "    records: (%lu numeric + %lu text + %lu hist) = %lu\n",
                      (unsigned long)numeric, (unsigned long)text, (unsigned long)hist,
                      (unsigned long)(numeric + text + hist));
}

void console_broker(tovi_console_t *console, const broker_t *b, uint64_t now_us) {
  console_block(console, std::string_view(b->key.name, b->key.name_len),
                b->last_seen_us.load(std::memory_order_relaxed),
                b->last_seen_data_us.load(std::memory_order_relaxed),
                b->numeric.load(std::memory_order_relaxed), b->text.load(std::memory_order_relaxed),
                b->histograms.load(std::memory_order_relaxed), now_us);
}

std::vector<broker_t *> sorted_brokers() {
  std::vector<broker_t *> all;
  all.reserve(broker_records.load(std::memory_order_relaxed));
  each_broker([&](broker_t *b) { all.push_back(b); });
  std::sort(all.begin(), all.end(), [](const broker_t *a, const broker_t *b) {
    return std::string_view(a->key.name, a->key.name_len) <
           std::string_view(b->key.name, b->key.name_len);
  });
  return all;
}

int show_brokers(tovi_console_t *console, int argc, const char *const *argv, void *) {
  uint64_t now_us = wall_now_us();
  tovi_memory_scope_c bracket;
  if (argc >= 1) {
    broker_t *b = getbroker(argv[0], strlen(argv[0]));
    if (!b) {
      tovi_console_printf(console, "no broker '%s'\n", argv[0]);
      return -1;
    }
    console_broker(console, b, now_us);
    return 0;
  }
  uint64_t numeric = 0, text = 0, hist = 0;
  for (broker_t *b : sorted_brokers()) {
    console_broker(console, b, now_us);
    numeric += b->numeric.load(std::memory_order_relaxed);
    text += b->text.load(std::memory_order_relaxed);
    hist += b->histograms.load(std::memory_order_relaxed);
  }
  console_block(console, "cummulative", 0, 0, numeric, text, hist, now_us);
  return 0;
}

void complete_broker_names(int argc, const char *const *, const char *partial,
                           tovi_console_candidates_t *out, void *) {
  if (argc > 0) return;  // one name only
  size_t plen = strlen(partial);
  tovi_memory_scope_c bracket;
  each_broker([&](broker_t *b) {
    std::string_view name(b->key.name, b->key.name_len);
    if (name.size() >= plen && std::memcmp(name.data(), partial, plen) == 0 &&
        console_safe(name) == name)
      tovi_console_candidate_add(out, b->key.name);
  });
}

// ---- The list fetch
// ------------------------------------------------------------------------------

int fetch_some_brokers(eventer_t, int mask, void *closure, struct timeval *) {
  auto *cursor = static_cast<fetching_cursor_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    tovi_log(tovi_notice, "starting brokers fetch\n");
    char url[1024];
    snprintf(url, sizeof url, "%s/v2/super_broker?account_id=1", cursor->apibase.c_str());
    api_info_t info;
    api_json_closure_t parsed;
    info.apiapp = "quelt";
    info.apitoken = cursor->apitoken.c_str();
    info.url = url;
    info.callback = api_json_parse_cb;
    info.closure = &parsed;
    if (api_call(&info) != 0) {
      api_log_failure(tovi_log_stream_find("error/rules"), &info);
    } else {
      tovi_memory_scope_c bracket;
      brokers_apply_list(parsed.doc);
    }
    api_info_clean(info);
    api_json_closure_clean(parsed);
    return 0;
  }
  if (mask == EVENTER_ASYNCH_COMPLETE) delete cursor;
  return 0;
}

void start_brokers_fetch() {
  auto *cursor = new fetching_cursor_t;
  if (!tovi_conf_get_string(nullptr, "//orvane/api/base", &cursor->apibase)) {
    tovi_log(api_unconfigured_stream(), "No API base in config!\n");
    delete cursor;
    return;
  }
  if (!tovi_conf_get_string(nullptr, "//orvane/api/token", &cursor->apitoken)) {
    tovi_log(api_unconfigured_stream(), "No API token in config!\n");
    delete cursor;
    return;
  }
  tovi_assert(api_jobq);
  eventer_add_asynch(api_jobq, eventer_alloc_asynch(fetch_some_brokers, cursor));
}

}  // namespace

// ---- Registry ----------------------------------------------------------------------------------

broker_t *getbroker(const char *name, size_t name_len) {
  if (!name || !name_len || !registry_made.load(std::memory_order_acquire)) return nullptr;
  broker_key_t probe{name, name_len};
  tovi_memory_scope_c bracket;  // the slots may be replaced by a growing table meanwhile
  unsigned long h = CK_HS_HASH(&brokers, key_hash, &probe);
  return static_cast<broker_t *>(ck_hs_get(&brokers, h, &probe));
}

broker_t *createbroker(const char *name, size_t name_len) {
  if (!name || !name_len) return nullptr;
  if (broker_t *found = getbroker(name, name_len)) return found;
  // A full registry turns new names away before anyone takes the lock: a flood of made-up
  // names must not serialise the director's threads.
  if (broker_records.load(std::memory_order_relaxed) >= max_brokers.load(std::memory_order_relaxed))
    return nullptr;
  registry_init();
  broker_t *fresh = new_broker(name, name_len, wall_now_us());
  broker_t *existing = nullptr;
  bool stored = false;
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(brokers_lock);
    unsigned long h = CK_HS_HASH(&brokers, key_hash, &fresh->key);
    existing = static_cast<broker_t *>(ck_hs_get(&brokers, h, &fresh->key));
    if (!existing && broker_records.load(std::memory_order_relaxed) <
                         max_brokers.load(std::memory_order_relaxed)) {
      tovi_assert(ck_hs_put(&brokers, h, fresh));
      broker_records.fetch_add(1, std::memory_order_relaxed);
      stored = true;
      // Release: a reader that sees the flag sees an initialised table.
      registry_made.store(true, std::memory_order_release);
    }
  }
  if (!stored) {
    delete_broker(fresh);  // never published: nobody else can hold it
    return existing;
  }
  register_broker_stats(fresh);
  return fresh;
}

int broker_name(const broker_t *broker, const char **name, size_t *name_len) {
  if (!broker) return -1;
  *name = broker->key.name;
  *name_len = broker->key.name_len;
  return 0;
}

size_t brokers_count(void) {
  return broker_records.load(std::memory_order_relaxed);
}

uint64_t brokers_untracked(void) {
  return untracked_messages.load(std::memory_order_relaxed);
}

void brokers_set_max(size_t max) {
  max_brokers.store(max, std::memory_order_relaxed);
}

// ---- Watching messages -----------------------------------------------------------------------

uint64_t broker_selfcheck_value(const vask_metric_value_t &v) {
  if (v.is_null) return 0;
  switch (v.type) {
    case METRIC_INT32:
      return v.value.v_int32 < 0 ? 0 : uint64_t(v.value.v_int32);
    case METRIC_UINT32:
      return v.value.v_uint32;
    case METRIC_INT64:
      return v.value.v_int64 < 0 ? 0 : uint64_t(v.value.v_int64);
    case METRIC_UINT64:
      return v.value.v_uint64;
    case METRIC_DOUBLE:
      // 2^64 itself does not fit; the comparison is exact in double.
      if (!(v.value.n >= 0) || !(v.value.n < 18446744073709551616.0)) return 0;
      return uint64_t(v.value.n);
    default:
      return 0;
  }
}

void brokers_watch_at_for_test(vask_metric_message_t *m, uint64_t now_us) {
  if (!m->vask.name || !m->vask.len) return;
  if (std::string_view(m->vask.name, m->vask.len) == internal_broker_name) return;
  // A connection's lines mostly come from one broker: each thread remembers the record it used
  // last (records are never removed) and skips the registry while the name stays the same.
  thread_local broker_t *recent = nullptr;
  broker_t *b = recent;
  if (!b || b->key.name_len != m->vask.len || memcmp(b->key.name, m->vask.name, m->vask.len) != 0) {
    b = createbroker(m->vask.name, m->vask.len);
    if (!b) {
      note_untracked(m->vask.name, m->vask.len);
      return;
    }
    recent = b;
  }
  if (m->type == 'H')
    b->histograms.inc();
  else if (m->type == 'M')
    (m->value.type == METRIC_STRING ? b->text : b->numeric).inc();

  uint64_t when_us = std::min(m->value.whence_ms, now_us / 1000) * 1000;
  raise_time(b->last_seen_data_us, when_us);

  std::string_view name(m->id.name ? m->id.name : "", m->id.name ? m->id.name_len : 0);
  if (name == "uptime") {
    if (m->selfcheck && broker_selfcheck_value(m->value) > selfcheck_min_uptime) {
      raise_time(b->last_seen_us, when_us);
      b->seen_count.fetch_add(1, std::memory_order_relaxed);
    }
  } else if (name == "metrics_collected") {
    if (m->selfcheck)
      b->collected.store(broker_selfcheck_value(m->value), std::memory_order_relaxed);
  }
}

bool brokers_watch(void *, vask_metric_message_t *m) {
  brokers_watch_at_for_test(m, wall_now_us());
  return true;
}

// ---- Health ------------------------------------------------------------------------------------

int broker_pulse(broker_t *broker, int pulse, int64_t age, uint64_t counter) {
  char reporter[37];
  tovi_uuid_unparse(metrics_my_cluster_id(), reporter);
  json_object *doc = json_object_new_object();
  json_object *maint = json_object_new_object();
  json_object_object_add(maint, "vask",
                         json_object_new_string_len(broker->key.name, int(broker->key.name_len)));
  json_object_object_add(maint, "pulse", json_object_new_int(pulse));
  json_object_object_add(maint, "age", json_object_new_int64(age));
  json_object_object_add(maint, "counter", json_object_new_uint64(counter));
  json_object_object_add(maint, "reporter", json_object_new_string(reporter));
  json_object_object_add(doc, "maint", maint);
  size_t len = 0;
  const char *raw = json_object_to_json_string_length(doc, JSON_C_TO_STRING_PLAIN, &len);
  tovi_assert(raw);
  std::string fixed;
  const char *doc_str = raw;
  if (tovi_json_utf8_repair(std::string_view(raw, len), &fixed)) {
    doc_str = fixed.c_str();
    len = fixed.size();
  }
  tovi_log_fields(fire_stream(),
                  ({"broker", broker->key.name}, {"pulse", pulse}, {"age", long(age)},
                   {"counter", (unsigned long)counter}, {"reporter", reporter}),
                  "%s\n", doc_str);
  int rc = alerts_send_function()(alerts_exchange.c_str(), maint_route.c_str(), alerts_mandatory,
                                  alerts_immediate, doc_str, len, -1);
  json_object_put(doc);
  return rc;
}

int broker_maintenance_pass(uint64_t now_us) {
  int pulses = 0;
  tovi_memory_scope_c bracket;
  each_broker([&](broker_t *b) {
    int64_t age =
        (int64_t(now_us) - int64_t(b->last_seen_us.load(std::memory_order_relaxed))) / 1000000;
    uint64_t count = b->seen_count.load(std::memory_order_relaxed);
    bool pulsed = b->pulsed.load(std::memory_order_relaxed);
    if (age > max_broker_age && (count != 0 || pulsed)) {
      broker_pulse(b, 0, age, count);
      b->seen_count.store(0, std::memory_order_relaxed);
      b->pulsed.store(false, std::memory_order_relaxed);
      pulses++;
    } else if (count > min_broker_seen_count && age < max_broker_age && !pulsed) {
      broker_pulse(b, 1, age, count);
      b->pulsed.store(true, std::memory_order_relaxed);
      pulses++;
    }
  });
  return pulses;
}

int broker_maintenance(eventer_t e, int, void *, struct timeval *now) {
  broker_maintenance_pass(timeval_us(now));
  struct timeval next = {broker_maintenance_period_s, 0};
  eventer_update_in(e, next);
  return EVENTER_TIMER;
}

// ---- The broker list
// -----------------------------------------------------------------------------

int brokers_apply_list(json_object *doc) {
  if (!json_object_is_type(doc, json_type_array)) {
    tovi_log(tovi_error, "brokers fetch resulted in bad object, expected array\n");
    return -1;
  }
  int n = int(json_object_array_length(doc));
  for (int i = 0; i < n; i++) {
    json_object *el = json_object_array_get_idx(doc, size_t(i));
    if (!el) {
      tovi_log(tovi_error, "Bad broker object structure: null element at %d\n", i);
      continue;
    }
    json_object *cn = nullptr;
    if (json_object_is_type(el, json_type_object) && json_object_object_get_ex(el, "cn", &cn) &&
        json_object_is_type(cn, json_type_string)) {
      createbroker(json_object_get_string(cn), size_t(json_object_get_string_len(cn)));
    } else {
      tovi_log(tovi_error, "Bad broker object: missing cn\n");
    }
  }
  tovi_log(tovi_notice, "brokers fetch -> %d brokers\n", n);
  return n;
}

// ---- Sweeps ------------------------------------------------------------------------------------

void broker_do_vask_maintenance_remove(const char *name) {
  broker_t *broker = getbroker(name, strlen(name));
  if (!broker) {
    tovi_log_fields(maint_error_stream(), ({"broker", name}),
                    "remove maintenance on '%s' - not found\n", name);
    return;
  }
  tovi_log(maint_debug_stream(), "beginning maintenance removal on broker '%s'\n", name);
  sweep(broker, BROKER_SWEEP_RENOTIFY, "maintenance renotify", log_sweep_done, nullptr);
}

void broker_do_maintenance_full_recover(void) {
  tovi_log(maint_debug_stream(), "beginning system-wide maintenance recovery\n");
  sweep(nullptr, BROKER_SWEEP_RESET, "system-wide maintenance recovery", log_sweep_done, nullptr);
}

// ---- REST
// ----------------------------------------------------------------------------------------

bool brokers_render(const char *name, uint64_t now_us, std::string *out) {
  tovi_memory_scope_c bracket;
  if (name) {
    broker_t *b = getbroker(name, strlen(name));
    if (!b) return false;
    append_broker_json(out, b, now_us);
    return true;
  }
  std::vector<broker_t *> all = sorted_brokers();
  out->reserve(out->size() + all.size() * 280 + 2);
  out->push_back('{');
  bool first = true;
  for (broker_t *b : all) {
    if (!first) out->push_back(',');
    first = false;
    tovi_json_escape_into(out, std::string_view(b->key.name, b->key.name_len));
    out->push_back(':');
    append_broker_json(out, b, now_us);
  }
  out->push_back('}');
  return true;
}

int brokers_rest_get(tovi_http_rest_closure_t *restc, int, char **) {
  const char *name = tovi_http_request_querystring(restc, "name");
  std::string body;
  if (!brokers_render(name, wall_now_us(), &body)) {
    tovi_http_response_standard(restc, 404, "NOT FOUND", "application/json");
    tovi_http_response_end(restc);
    return TOVI_HTTP_DONE;
  }
  body.push_back('\n');
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_str(restc, body);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int brokers_rest_clear(tovi_http_rest_closure_t *restc, int, char **) {
  const char *name = tovi_http_request_querystring(restc, "broker");
  broker_t *broker = nullptr;  // every broker
  if (name) {
    broker = getbroker(name, strlen(name));
    if (!broker) {
      tovi_http_response_standard(restc, 404, "NOT FOUND", "application/json");
      tovi_http_response_append_str(restc, "{}\n");
      tovi_http_response_end(restc);
      return TOVI_HTTP_DONE;
    }
  }
  int thread = eventer_current_thread_id();
  auto *req = new clear_request_t{nullptr, restc, thread < 0 ? 0 : thread};
  tovi_http_rest_set_completion(restc, brokers_rest_clear_complete);
  req->deferred = tovi_http_rest_float(restc);
  sweep(broker, BROKER_SWEEP_RENOTIFY, "maintenance renotify", clear_sweep_done, req);
  return TOVI_HTTP_DEFER;
}

void brokers_set_stream_sweeper(broker_stream_sweeper_t sweeper) {
  stream_sweeper.store(sweeper, std::memory_order_release);
}

// ---- Start -------------------------------------------------------------------------------------

void brokers_init(void) {
  brokers_ns = stats_register_ns(stats_recorder_root(stats_recorder()), "brokers");
  tovi_assert(brokers_ns);
  stats_ns_t *registry =
      stats_register_ns(stats_recorder_root(stats_recorder()), "broker_registry");
  stats_opts_t messages;
  messages.units = "messages";
  stats_register_u64(registry, "untracked", STATS_COUNTER, &untracked_messages, messages);
  stats_opts_t records;
  records.units = "brokers";
  stats_register_u64_fn(
      registry, "records", STATS_GAUGE, [] { return uint64_t(brokers_count()); }, records);

  int64_t max = int64_t(default_max_brokers);
  if (tovi_conf_get_int64(nullptr, "//orvane/state/brokers/@max", &max) && max < 0) max = 0;
  brokers_set_max(size_t(max));

  eventer_name_callback("broker_maintenance", broker_maintenance);
  eventer_name_callback("fetch_some_brokers", fetch_some_brokers);
  registry_init();
  metric_director_want_hook_register("brokers_watch", brokers_watch, nullptr);
  start_brokers_fetch();
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^brokers(?:\\.json)?$", brokers_rest_get,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/brokers/", "^clear$", brokers_rest_clear,
                                           tovi_http_rest_client_cert_auth) == 0);
  bool registered = tovi_console_command_register(
      "show brokers", show_brokers, complete_broker_names,
      "show brokers [name]: message counts and self-check times by broker", nullptr);
  tovi_assert(registered);
  struct timeval first = {broker_maintenance_period_s, 0};
  eventer_t pass = eventer_alloc_timer_in(broker_maintenance, nullptr, first);
  eventer_add(pass);
}
