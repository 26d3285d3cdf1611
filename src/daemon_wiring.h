// daemon_wiring: what ties the daemon's modules together and belongs to none of them.
//
// The bus connection starts the bulk loads of two modules, maintenance windows first and then
// rulesets, so that rulesets are evaluated against current maintenance. Neither module may call
// the other for it, and the settings module (general) knows neither, so the hook lives here,
// above them all, next to the process entry.
#pragma once

#include "tovi/tovi_amqp.h"

// Registers handle_amqp_connection as the AMQP connection hook "maintenance-handler". Ends the
// process with status 2 ("AMQP module not loaded, but required. Misconfiguration!") when the
// AMQP module is not loaded. Once, on the main thread at start-up, after general_init.
void daemon_wiring_init(void);

// The AMQP connection hook: logs the change ("AMQP connection: connected" / "diconnected" on
// "notice") and, on every connect, starts the bulk loads: the maintenance windows, then the
// rulesets. Both only queue jobs on the API job queue; a load already running starts over from
// its first page instead of a second one starting beside it. Runs on the AMQP module's thread.
// Returns 0.
int handle_amqp_connection(void *closure, tovi_amqp_connection_t *connection, int connection_id,
                           int connected);
