// What the rule application and notification files share: their log streams (broker pulses
// also go to "fire/rules"), the stream lock that defers the dependency cascade, the call into
// maintenance, and the absence timers.
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

// ---- Maintenance (seams.cpp) -------------------------------------------------------------------

// Maintenance: non-zero when no maintenance window holds back the move from sev_from to sev_to
// of this ruleset, check and host at `time` (maintenance_not_active). Any thread.
int rules_maintenance_not_active(uint64_t ecid, uint64_t account_id, uint64_t check_id,
                                 const char *host, int32_t sev_from, int32_t sev_to,
                                 const struct timeval &time);
// ---- Absence timers (absence.cpp) -------------------------------------------------------------

// For each absence rule of the ruleset: arms the stream's timer when it was never armed (with a
// stream; under its lock) and the ruleset-level timer when none is pending. A stream timer that
// fired stays empty until data arrives, so the rule keeps holding. Any thread.
void rules_setup_absence(const ruleset_sp &ruleset, rulestream_c *stream);
// After a message with a value: pushes back the ruleset-level timer and the stream's timer of
// absence rule `rule` by the rule's delay, moving pending timers (no allocation) and arming new
// ones in place of fired ones. Any thread.
void rules_rearm_absence(const ruleset_sp &ruleset, rulestream_c *stream, int rule);
