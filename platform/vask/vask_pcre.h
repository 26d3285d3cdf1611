// Bounded regular expressions: the limits every regular expression run on metric data gets, and
// the reading of a match result that counts and logs a limit hit.
//
// Regular expressions from rulesets and tag searches run on the threads that carry metric
// traffic (a broker connection's loop thread, a worker). A pattern with nested quantifiers
// (/^(a+)+$/) can take exponential time on a short subject, so each pcre_exec is given a small
// match limit and recursion limit. Within them every ordinary pattern on a metric name or tag
// runs as it would without; a runaway pattern is stopped after a bounded amount of work (tens of
// microseconds for each start position it tries: /^(a+)+$/ on 31 bytes stops in about 60 us).
// A stopped match is not a "no match": callers treat it as a failure of the whole expression
// they were evaluating (the tag search fails closed: neither the term nor its negation holds).
//
// Use:
//   pcre_extra *extra = vask_pcre_limit(pcre_study(re, PCRE_STUDY_JIT_COMPILE, &err));
//   ...
//   int rc = pcre_exec(re, extra, subject, len, 0, 0, ovector, 30);
//   switch (vask_pcre_result(rc, "rule contains")) { 1: match, 0: no match, -1: fail closed }
//   ...
//   pcre_free_study(extra);
//
// Statistics ("vask"/"pcre"): limit_hits, errors. Limit hits are logged on "error/vask" at most
// once a second, with the number of hits since the last line. Every function: any thread.
#pragma once

#include <pcre.h>

#include <cstdint>

// Calls of PCRE's internal match function allowed per start position of one pcre_exec.
constexpr unsigned long VASK_PCRE_MATCH_LIMIT = 10000;
// Depth of PCRE's backtracking (without JIT; the JIT's stack is bounded by its own size).
constexpr unsigned long VASK_PCRE_RECURSION_LIMIT = 1000;

// Sets the match and recursion limits on `extra` and returns it; when extra is null (the pattern
// was not studied or studying found nothing), returns a new pcre_extra carrying only the limits,
// to be freed with pcre_free_study like a studied one. Null only when memory is exhausted.
pcre_extra *vask_pcre_limit(pcre_extra *extra);

// Reads the result of pcre_exec: 1 for a match, 0 for no match, -1 when the match was stopped
// by a limit (counted in limit_hits and logged, throttled, naming `what`) or failed otherwise
// (counted in errors). `what` says whose expression it was ("tag search", "rule contains").
int vask_pcre_result(int rc, const char *what);

// Limit hits since the process started.
uint64_t vask_pcre_limit_hits(void);
