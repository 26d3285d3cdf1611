// The service manager's notifications (sd_notify): readiness, stopping, and watchdog pings.
//
// Every call is a no-op when the process was not started by systemd with a notification socket
// (NOTIFY_SOCKET unset) or when the build has no libsystemd. Type=notify units learn that the
// daemon is ready once start-up succeeded and the event loop runs (tovi_main_started calls
// tovi_systemd_ready); with WatchdogSec= set, pings are sent from the event loop only while
// every loop thread runs its timers, so a stuck thread gets the daemon restarted.
#pragma once

// "READY=1" with a status line naming the version. Any thread; repeated calls send again.
void tovi_systemd_ready(void);
// "STOPPING=1". Any thread.
void tovi_systemd_stopping(void);
// When the unit asks for a watchdog, adds one timer to every loop thread: each stamps the time
// it ran, and the one on thread 0 sends "WATCHDOG=1" while every stamp is recent. Call once,
// after eventer_init and before (or while) the loop runs. Returns the ping interval in
// microseconds, 0 when no watchdog was asked for.
long long tovi_systemd_watchdog_start(void);
