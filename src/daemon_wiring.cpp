#include "daemon_wiring.h"

#include <cstdlib>

#include "maintenance.h"
#include "rules/rules.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

int handle_amqp_connection(void *, tovi_amqp_connection_t *, int, int connected) {
  tovi_log(tovi_notice, "AMQP connection: %s\n", connected ? "connected" : "diconnected");
  if (connected) {
    start_maint_windows_fetch();
    start_ruleset_fetch();
  }
  return 0;
}

void daemon_wiring_init(void) {
  auto register_hook = reinterpret_cast<tovi_amqp_register_connection_hook_fn_t>(
      tovi_function_find("tovi_amqp_register_connection_hook"));
  if (!register_hook) {
    tovi_log(tovi_error, "AMQP module not loaded, but required. Misconfiguration!\n");
    exit(2);
  }
  register_hook("maintenance-handler", handle_amqp_connection, nullptr);
}
