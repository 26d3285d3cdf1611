// Probes for load balancers and orchestrators, and the version.
//
//   GET /health   200 {"alive": true} while the event loop answers.
//   GET /ready    200 {"ready": true} once start-up has finished (every listener up), the bus is
//                 connected and the bulk loads of rulesets and maintenance windows have finished;
//                 otherwise 503 {"ready": false, "reasons": [...]}, the reasons among "starting",
//                 "bus not connected", "rulesets loading", "maintenance windows loading".
//   GET /version  200 {"version": "<ref>.<commit>.<seconds>"}.
// The two probes answer without a client certificate on a listener with open_probes="true" and
// reveal nothing beyond the above; elsewhere, and always for /version, a client certificate is
// required as for every route.
#pragma once

#include <string>
#include <vector>

// What keeps the daemon from being ready now (empty: ready). Any thread.
std::vector<std::string> probes_not_ready_reasons();
// Registers the three routes. Start-up, once.
void probes_init();
// Called by child_main once every module and listener has started.
void probes_mark_started();
