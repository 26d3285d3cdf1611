// What the rule application and notification files share and nobody else needs: their log
// streams, the stream lock that defers the dependency cascade, and the seams to modules that
// come later (maintenance, absence timers, brokers).
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "rules/stream.h"
#include "tovi/tovi_log.h"

// "debug/rules/processerrors" and "fire/rules". ("debug/rules" and "error/rules" are the
// loader's, rules_mgr_internal.h.)
tovi_log_stream_t rules_processerrors_stream();
tovi_log_stream_t rules_fire_stream();

// Holds a stream's lock and counts, per thread, how many stream locks the thread holds. When the
// count returns to 0 the cascades that re-evaluations recorded meanwhile run, so that a thread
// never waits for a stream's lock while it holds another's.
class stream_lock_c {
 public:
  explicit stream_lock_c(rulestream_c &rs);
  ~stream_lock_c();
  stream_lock_c(const stream_lock_c &) = delete;
  stream_lock_c &operator=(const stream_lock_c &) = delete;

 private:
  rulestream_c &_rs;
};

// Records that the children of `ecid` are due for re-evaluation at `time` (a move into or out
// of severity 1). Runs when the calling thread releases its last stream lock. Children already on
// the path that led here are skipped, and the cascade stops six levels below where it started.
void rules_cascade_enqueue(uint64_t ecid, const struct timeval &time);

// ---- Seams ------------------------------------------------------------------------------------
// Each answers as its module does while that module holds nothing; a later change makes each call
// the module itself.

// Maintenance: non-zero when no maintenance window holds back the move from sev_from to sev_to
// of this ruleset, check and host at `time` (maintenance_not_active). Any thread.
int rules_maintenance_not_active(uint64_t ecid, uint64_t account_id, uint64_t check_id,
                                 const char *host, int32_t sev_from, int32_t sev_to,
                                 const struct timeval &time);
// Absence timers: arms the ruleset-level timer (stream null) or the stream's timers of the
// ruleset's absence rules when not yet armed. A ruleset without timers arms nothing.
void rules_setup_absence(const ruleset_sp &ruleset, rulestream_c *stream);
// Absence timers: re-arms the ruleset-level timer and the stream-level timer of absence rule
// `rule` after a message with a value. A ruleset without timers has nothing to re-arm.
void rules_rearm_absence(const ruleset_sp &ruleset, rulestream_c *stream, int rule);
// Brokers: the broker record of this name, or null. Without broker records there is none.
broker_t *rules_getbroker(const char *name, size_t len);
// Brokers: the broker's name into *name and *len; 0 on success, -1 when it has none.
int rules_broker_name(broker_t *broker, const char **name, size_t *len);
