#include "general.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "absl/container/flat_hash_set.h"
#include "daemon_stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

std::string alerts_exchange = "vask.alerts";
std::string alerts_route = "vask.alerts.sev";
std::string maint_route = "vask.alerts.maint";
int32_t alerts_mandatory = 0;
int32_t alerts_immediate = 0;

namespace {

tovi_amqp_send_data_fn_t resolved_send_function(void) {
  static const char *const name = "tovi_amqp_send_data_function";
  static tovi_amqp_send_data_fn_t fn = [] {
    auto found = reinterpret_cast<tovi_amqp_send_data_fn_t>(tovi_function_find(name));
    if (!found)
      fprintf(stderr, "runtime resolution of '%s %s%s' failed.\n", "tovi_amqp_send_data_fn_t", name,
              "()");
    tovi_assert(found);
    return found;
  }();
  return fn;
}

// Every alert goes through here: the time its line took to reach the bus is recorded first.
int timed_send(const char *exchange, const char *route, int mandatory, int immediate,
               const void *payload, size_t length, int connection_id) {
  daemon_stats_publish_call();
  return resolved_send_function()(exchange, route, mandatory, immediate, payload, length,
                                  connection_id);
}

}  // namespace

tovi_amqp_send_data_fn_t alerts_send_function(void) {
  resolved_send_function();  // resolved (or fatal) on the first call, as before
  return timed_send;
}

namespace {

// Absent: every account is handled. Written by general_init only.
std::unique_ptr<absl::flat_hash_set<uint64_t>> account_set;
bool exclude_accounts = false;

void read_account_filter() {
  account_set.reset();
  exclude_accounts = false;
  tovi_conf_section_read_hold();
  tovi_conf_section_t accts = tovi_conf_get_section(nullptr, "//accounts");
  if (!accts) {
    tovi_conf_section_read_release();
    return;
  }
  account_set.reset(new (std::nothrow) absl::flat_hash_set<uint64_t>());
  tovi_assert(account_set);
  tovi_conf_get_boolean(accts, "self::node()/@exclude", &exclude_accounts);
  for (tovi_conf_section_t account : tovi_conf_get_sections(accts, "self::node()/account")) {
    int64_t id = 0;
    if (!tovi_conf_get_int64(account, "self::node()/@id", &id) || id <= 0) {
      tovi_log(tovi_error, "Bad account id for inclusion/exclusion.\n");
      exit(2);
    }
    uint64_t aptr = static_cast<uint64_t>(id);
    account_set->insert(aptr);
    tovi_log_fields(tovi_notice, ({"account_id", aptr}), "%s account %lu\n",
                    exclude_accounts ? "excluding" : "including", static_cast<unsigned long>(aptr));
  }
  tovi_conf_section_read_release();
}

void read_publishing_settings() {
  alerts_exchange = "vask.alerts";
  alerts_route = "vask.alerts.sev";
  maint_route = "vask.alerts.maint";
  alerts_mandatory = 0;
  alerts_immediate = 0;
  tovi_conf_get_string(nullptr, "//network//alerts/exchange", &alerts_exchange);
  tovi_conf_get_string(nullptr, "//network//alerts/route", &alerts_route);
  tovi_conf_get_string(nullptr, "//network//alerts/maintenance", &maint_route);
  tovi_conf_get_int32(nullptr, "//network//alerts/mandatory", &alerts_mandatory);
  tovi_conf_get_int32(nullptr, "//network//alerts/immediate", &alerts_immediate);
}

}  // namespace

bool should_handle_account(uint64_t account_id) {
  if (!account_set) return true;
  bool listed = account_set->contains(account_id);
  return listed ? !exclude_accounts : exclude_accounts;
}

void general_init(void) {
  read_account_filter();
  read_publishing_settings();
}
