// The process main of a framework daemon.
//
// tovi_main loads the configuration (to learn its lock file and user), then:
//   foreground 0: daemonises (double fork, new session, standard streams to /dev/null) and runs a
//                 watchdog parent over the child;
//   foreground 1: stays in the foreground with a watchdog parent that restarts a child which
//                 crashed (killed by a signal, or exited with a status other than 0 or 2), with
//                 back-off from 1 s doubling to 60 s, reset after a minute of good running;
//   foreground 2+: no watchdog, child_main runs in this process.
// The process holding the lock file (lock_mode 1: //lockfile, when configured) keeps it for its
// life; a second daemon with the same lock file exits with status 2. Privileges are dropped to
// drop_user/drop_group, or to //runas/@user and //runas/@group when the arguments are null.
//
// In the process that runs child_main, SIGTERM, SIGINT and SIGHUP are handled by a thread of
// their own: SIGHUP reopens the log files, SIGTERM and SIGINT stop the event loop so that
// child_main returns and the process exits with its status. A watchdog parent passes SIGTERM and
// SIGINT (and SIGHUP, for log rotation) on to its child and exits with the child's status, or
// 128 + the signal when the child died by a signal while stopping.
//
// Returns the status the process should exit with (the watchdog's or child_main's).
#pragma once

typedef int (*tovi_child_main_t)(void);

int tovi_main(const char *app_name, const char *config_file, int debug, int foreground,
              int lock_mode, const char *glider, const char *drop_user, const char *drop_group,
              tovi_child_main_t child_main);

// Start-up succeeded: a launching process waiting in daemon mode (foreground 0) exits with 0.
// Called by eventer_loop once its threads run; later calls do nothing. Until it is called, a
// daemon that exits makes the launcher exit with that status (2 when it was killed), and a lock
// file held by another process makes it exit with 2.
void tovi_main_started(void);

// The application name and version handed to the framework (version: at most 127 characters).
void tovi_set_app_version(const char *version);
const char *tovi_app_version(void);
const char *tovi_app_name(void);

// A file to write the pid of the process to signal (the watchdog, or the daemon itself with
// -D -D) into once start-up is under way; removed when that process stops cleanly. Without a
// call, /queltd/pidfile of the configuration names it, if set. Call before tovi_main.
void tovi_main_set_pidfile(const char *path);
