#include "general.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "absl/container/flat_hash_set.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"
#include "maintenance.h"
#include "rules/rules.h"

std::string alerts_exchange = "vask.alerts";
std::string alerts_route = "vask.alerts.sev";
std::string maint_route = "vask.alerts.maint";
int32_t alerts_mandatory = 0;
int32_t alerts_immediate = 0;

tovi_amqp_send_data_fn_t alerts_send_function(void) {
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

// Where a (re)connection starts the bulk loads: first the maintenance windows, then the
// rulesets, so that rulesets are evaluated against current maintenance. Both only queue jobs on
// the api job queue; a load already running starts over from its first page instead of a second
// one starting beside it.
void start_bulk_loads_after_connect() {
  start_maint_windows_fetch();
  start_ruleset_fetch();
}

}  // namespace

bool should_handle_account(uint64_t account_id) {
  if (!account_set) return true;
  bool listed = account_set->contains(account_id);
  return listed ? !exclude_accounts : exclude_accounts;
}

int handle_amqp_connection(void *, tovi_amqp_connection_t *, int, int connected) {
  tovi_log(tovi_notice, "AMQP connection: %s\n", connected ? "connected" : "diconnected");
  if (connected) start_bulk_loads_after_connect();
  return 0;
}

void general_init(void) {
  read_account_filter();
  auto register_hook = reinterpret_cast<tovi_amqp_register_connection_hook_fn_t>(
      tovi_function_find("tovi_amqp_register_connection_hook"));
  if (!register_hook) {
    tovi_log(tovi_error, "AMQP module not loaded, but required. Misconfiguration!\n");
    exit(2);
  }
  register_hook("maintenance-handler", handle_amqp_connection, nullptr);
  read_publishing_settings();
}
