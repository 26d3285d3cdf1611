// general: settings every module reads: the accounts this daemon serves and where alerts and
// broker pulses are published.
//
// general_init runs once on the main thread during start-up, after the AMQP module was
// configured and before any worker starts; every value here is read-only afterwards and may be
// read from any thread without a lock.
#pragma once

#include <cstdint>
#include <string>

#include "tovi/tovi_amqp.h"

// Publishing settings (//network//alerts/...). They hold their defaults until general_init.
// Alert notifications go to alerts_exchange with alerts_route; broker pulses ("maint"
// documents) to alerts_exchange with maint_route; both with the two flags and connection id -1.
extern std::string alerts_exchange;  // "vask.alerts"
extern std::string alerts_route;     // "vask.alerts.sev"
extern std::string maint_route;      // "vask.alerts.maint"
extern int32_t alerts_mandatory;     // 0
extern int32_t alerts_immediate;     // 0

// The bus module's publishing function ("tovi_amqp_send_data_function"), resolved on first use
// and kept; without the bus module it prints the failed resolution and fails a fatal assertion.
// Alerts and broker pulses publish through it; the function returned first records the
// line -> publish call time of the calling thread's line (daemon_stats.h). Any thread.
tovi_amqp_send_data_fn_t alerts_send_function(void);

// Reads the account filter (//accounts) and the publishing settings. Ends the process with
// status 2 when an account id is missing or not above 0 ("Bad account id for
// inclusion/exclusion.").
void general_init(void);

// Whether metrics and rulesets of this account are handled here: always when no //accounts
// section was configured; otherwise an account in the list is handled unless the list excludes,
// and an account not in the list is handled only when it does. Any thread.
bool should_handle_account(uint64_t account_id);
