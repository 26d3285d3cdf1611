// Maintenance windows from the message bus.
//
// An update message is applied the moment it arrives, on the bus thread, so a window is live
// within the message's own latency. A bulk load from the API that is running at that moment may
// still overwrite it with what the API said a little earlier; so every maintenance body is also
// copied into a hand-over queue, and a recurrent event on loop thread 0 applies the copies again
// once no bulk load is running. Applying a body twice changes nothing the first time did not.
//
// Only maintenance bodies are copied (metric lines or ruleset messages on the same queue have
// nothing to replay), and the queue holds at most "//orvane/state/maintenance/@max_queued"
// copies: when no bulk load ever ends (the API is gone for good) the copies beyond that are
// dropped and counted instead of growing memory without end.
//
// Threads: the hook appends under the producer lock; the drain swaps the whole queue out under
// the same lock and then applies it under the consumer lock, which only one drain holds.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>

#include "maintenance.h"
#include "maintenance/maintenance_internal.h"
#include "daemon_stats.h"
#include "store/store.h"
#include "tovi/eventer.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_module.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_text.h"

maint_bus_stats_t maint_bus_stats;

namespace {

constexpr std::string_view maint_prefix = "net.orvane.ombra.QueltMaintenanceEventHandler.update";
constexpr size_t max_severity_field = 29;
constexpr int nfields = 10;

struct queued_payload {
  size_t payload_len;
  char payload[];  // payload_len bytes, in the same allocation
};

struct amqp_queue_t {
  tovi_mutex_c producer_lock;
  tovi_mutex_c consumer_lock;
  std::deque<queued_payload *> entries ABSL_GUARDED_BY(producer_lock);
};

amqp_queue_t *amqp_queue = nullptr;
uint64_t max_queued = 100000;

bool is_maintenance_body(std::string_view body) {
  return body.size() > maint_prefix.size() && body.starts_with(maint_prefix);
}

void enqueue_copy(std::string_view body) {
  auto *qp = static_cast<queued_payload *>(malloc(sizeof(queued_payload) + body.size()));
  tovi_assert(qp);
  qp->payload_len = body.size();
  memcpy(qp->payload, body.data(), body.size());
  {
    tovi_lock_guard_c<tovi_mutex_c> guard(amqp_queue->producer_lock);
    if (amqp_queue->entries.size() < max_queued) {
      amqp_queue->entries.push_back(qp);
      qp = nullptr;
    }
  }
  if (qp) {
    free(qp);
    maint_bus_stats.copies_dropped++;
    return;
  }
  maint_bus_stats.copies_queued++;
  if (eventer_is_initialized()) eventer_wakeup(0);
}

int console_reload_maintenance(tovi_console_t *console, int argc, const char *const *argv, void *) {
  uint64_t id = 0;
  if (argc != 1 || !tovi_decimal_u64(argv[0], &id) || id == 0) {
    tovi_console_printf(console, "usage: reload maintenance <id>\n");
    return -1;
  }
  maint_window_reload(id);
  tovi_console_printf(console, "reloading maintenance window %llu\n", (unsigned long long)id);
  return 0;
}

}  // namespace

int parse_mq_message(const void *payload, size_t length, maint_window_t *w,
                     maint_alter_action_t *action, bool *active, const char **reason) {
  std::string_view body(payload ? static_cast<const char *>(payload) : "", payload ? length : 0);
  auto fail = [reason](const char *why) {
    *reason = why;
    return 0;
  };
  if (!body.starts_with(maint_prefix)) return fail("invalid prefix");
  tovi_log(maint_debug_stream(), "MQ-maint[%.*s]\n", int(body.size()), body.data());

  // Ten fields, each after a tab and up to the next tab or the end.
  std::string_view field[nfields];
  std::string_view rest = body.substr(maint_prefix.size());
  for (int i = 0; i < nfields; i++) {
    if (rest.empty() || rest.front() != '\t') return fail("insufficient fields");
    rest.remove_prefix(1);
    size_t tab = rest.find('\t');
    field[i] = rest.substr(0, tab);
    rest.remove_prefix(field[i].size());
  }

  std::string_view act = field[1];
  if (act == "add")
    *action = MAINT_ALTER_ADD;
  else if (act == "remove")
    *action = MAINT_ALTER_DELETE;
  else if (act == "modify")
    *action = MAINT_ALTER_UPDATE;
  else
    return fail("invalid action");

  std::string_view type = field[3];
  maint_item_type_t item_type;
  if (type == "account")
    item_type = MAINT_ON_ACCOUNT;
  else if (type == "host")
    item_type = MAINT_ON_HOST;
  else if (type == "check")
    item_type = MAINT_ON_CHECK;
  else if (type == "metric")
    item_type = MAINT_ON_METRIC;
  else
    return fail("invalid type");

  maint_def_t &def = w->def;
  if (!tovi_decimal_u64(field[5], &def.start_on) || !tovi_decimal_u64(field[6], &def.stop_on) ||
      !tovi_decimal_u64(field[7], &def.account_id) ||
      !tovi_decimal_u64(field[8], &def.maintenance_id))
    return fail("invalid number");
  if (item_type == MAINT_ON_HOST) {
    // A host name is text: empty, or cut short by a NUL byte, it names no host.
    if (field[2].empty() || field[2].find('\0') != std::string_view::npos)
      return fail("invalid item");
    def.maintenance.host = strndup(field[2].data(), field[2].size());
    tovi_assert(def.maintenance.host);
  } else if (!tovi_decimal_u64(field[2], &def.maintenance.generic_uint64)) {
    return fail("invalid number");
  }
  // Set once the item is in place, so that discarding the window frees a copied host.
  def.maintenance_type = item_type;
  tovi_log_fields(maint_debug_stream(),
                  ({"account_id", (unsigned long long)def.account_id},
                   {"maintenance_id", (unsigned long long)def.maintenance_id},
                   {"start_on", (unsigned long long)def.start_on},
                   {"stop_on", (unsigned long long)def.stop_on}),
                  "MQ-maint[%.*s]\n", int(body.size()), body.data());

  std::string_view sevs = field[4];
  if (sevs.size() > max_severity_field) return fail("severity list too long");
  uint8_t mask = 0;
  while (!sevs.empty()) {
    size_t comma = sevs.find(',');
    std::string_view piece = sevs.substr(0, comma);
    sevs.remove_prefix(comma == std::string_view::npos ? sevs.size() : comma + 1);
    if (piece.empty()) continue;
    uint64_t sev = 0;
    if (!tovi_decimal_u64(piece, &sev)) return fail("invalid number");
    if (sev > 5) return fail("severity out of bounds");
    mask |= uint8_t(1u << sev);
  }
  def.severity_mask = mask;
  *active = !field[9].empty() && field[9].front() == 't';
  return 1;
}

maint_bus_outcome_t handle_maintenance_update(const void *payload, size_t length) {
  std::string_view body(payload ? static_cast<const char *>(payload) : "", payload ? length : 0);
  if (!is_maintenance_body(body)) return MAINT_BUS_IGNORED;
  tovi_log(maint_debug_stream(), "Handling update...\n");
  maint_window_t *w = maint_window_safe_alloc();
  maint_alter_action_t action = MAINT_ALTER_ADD;
  bool active = false;
  const char *reason = nullptr;
  if (!parse_mq_message(body.data(), body.size(), w, &action, &active, &reason)) {
    tovi_log(maint_error_stream(), "Malformed MQ maintenance action: %s\n", reason);
    maint_window_safe_free_no_remove(w);
    return MAINT_BUS_MALFORMED;
  }
  // The active flag alone decides: the action word only has to be one of the three.
  store_source_scope_c source(STORE_SOURCE_BUS);
  uint64_t id = w->def.maintenance_id;
  if (active) {
    if (!maint_store_window(w->def)) {
      maint_window_safe_free_no_remove(w);
      return MAINT_BUS_REFUSED;
    }
    if (maint_window_update(w) >= 0) return MAINT_BUS_APPLIED;
    maint_store_resync(id);
    return MAINT_BUS_REFUSED;
  }
  maint_window_safe_free_no_remove(w);
  if (store_refused_by_file(STORE_MAINTENANCE, id, nullptr)) return MAINT_BUS_REFUSED;
  maint_window_delete(id);
  return MAINT_BUS_ENDED;
}

int handle_amqp_message_maint(void *, tovi_amqp_connection_t *, int, const tovi_amqp_envelope_t *,
                              const void *payload, size_t length) {
  std::string_view body(payload ? static_cast<const char *>(payload) : "", payload ? length : 0);
  if (!is_maintenance_body(body)) {
    maint_bus_stats.ignored++;
    return TOVI_AMQP_DONE;
  }
  maint_bus_outcome_t outcome;
  {
    tovi_memory_scope_c bracket;
    outcome = handle_maintenance_update(body.data(), body.size());
  }
  // Counted here, once per message; the drain's second application is counted as a replay.
  switch (outcome) {
    case MAINT_BUS_APPLIED:
      maint_bus_stats.applied++;
      break;
    case MAINT_BUS_ENDED:
      maint_bus_stats.ended++;
      break;
    case MAINT_BUS_REFUSED:
      maint_bus_stats.refused++;
      break;
    case MAINT_BUS_MALFORMED:
      maint_bus_stats.malformed++;
      break;
    case MAINT_BUS_IGNORED:
      break;
  }
  if (amqp_queue) enqueue_copy(body);
  return TOVI_AMQP_DONE;
}

int maint_handle_amqp_queue(eventer_t, int, void *, struct timeval *) {
  if (!amqp_queue || maint_windows_are_loading.load(std::memory_order_acquire)) return 0;
  tovi_lock_guard_c<tovi_mutex_c> consumer(amqp_queue->consumer_lock);
  std::deque<queued_payload *> batch;
  {
    tovi_lock_guard_c<tovi_mutex_c> producer(amqp_queue->producer_lock);
    batch.swap(amqp_queue->entries);
  }
  if (batch.empty()) return 0;
  tovi_memory_scope_c bracket;
  for (queued_payload *qp : batch) {
    handle_maintenance_update(qp->payload, qp->payload_len);
    free(qp);
    maint_bus_stats.copies_replayed++;
  }
  return 1;
}

size_t maint_bus_queued() {
  if (!amqp_queue) return 0;
  tovi_lock_guard_c<tovi_mutex_c> guard(amqp_queue->producer_lock);
  return amqp_queue->entries.size();
}

void maint_bus_queue_init() {
  if (!amqp_queue) amqp_queue = new amqp_queue_t;
  tovi_assert(amqp_queue);
  int64_t limit = 100000;
  if (tovi_conf_exists(nullptr, "//orvane/state/maintenance/@max_queued") &&
      (!tovi_conf_get_int64(nullptr, "//orvane/state/maintenance/@max_queued", &limit) ||
       limit < 0)) {
    tovi_log(tovi_error, "//orvane/state/maintenance/@max_queued must be a number, 0 or more\n");
    exit(2);
  }
  max_queued = uint64_t(limit);
}

void maint_bus_init() {
  eventer_name_callback("maint_handle_amqp_queue", maint_handle_amqp_queue);
  eventer_t drain = eventer_alloc_recurrent(maint_handle_amqp_queue, nullptr);
  eventer_set_owner(drain, 0);
  eventer_add_recurrent(drain);

  static std::once_flag registered;
  std::call_once(registered, [] {
    stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "maintenance");
    stats_ns_t *bus = stats_register_ns(ns, "bus");
    stats_opts_t msgs;
    msgs.units = "messages";
    stats_register_u64(bus, "applied", STATS_COUNTER, &maint_bus_stats.applied, msgs);
    stats_register_u64(bus, "ended", STATS_COUNTER, &maint_bus_stats.ended, msgs);
    stats_register_u64(bus, "refused", STATS_COUNTER, &maint_bus_stats.refused, msgs);
    stats_register_u64(bus, "malformed", STATS_COUNTER, &maint_bus_stats.malformed, msgs);
    stats_register_u64(bus, "ignored", STATS_COUNTER, &maint_bus_stats.ignored, msgs);
    stats_ns_t *copies = stats_register_ns(ns, "copies");
    stats_register_u64(copies, "queued", STATS_COUNTER, &maint_bus_stats.copies_queued, msgs);
    stats_register_u64(copies, "replayed", STATS_COUNTER, &maint_bus_stats.copies_replayed, msgs);
    stats_register_u64(copies, "dropped", STATS_COUNTER, &maint_bus_stats.copies_dropped, msgs);
    stats_register_u64_fn(
        copies, "waiting", STATS_GAUGE, [] { return uint64_t(maint_bus_queued()); }, msgs);
  });

  tovi_console_command_register(
      "reload maintenance", console_reload_maintenance, nullptr,
      "reload maintenance <id>: fetch one maintenance window from the API now", nullptr);
}

bool maint_bus_register_hook() {
  auto register_hook = reinterpret_cast<tovi_amqp_register_message_hook_fn_t>(
      tovi_function_find("tovi_amqp_register_message_hook"));
  if (!register_hook) return false;
  register_hook("maintenance-handler", handle_amqp_message_maint, nullptr);
  return true;
}
