// Many regular expressions screened in one pass: a prefilter in front of PCRE.
//
// A caller that runs a list of PCRE patterns against the same text (a metric name against every
// pattern ruleset of an account) builds one matcher over the list and asks it, per text, which
// patterns may match. Every other pattern certainly does not: its PCRE would say "no match". The
// answer is a superset, never the final word: the caller confirms each candidate with the
// pattern's own PCRE, so what matches is exactly what PCRE alone would match.
//
// The matcher is a Hyperscan database (Debian's libhyperscan; not libvectorscan 5.4.9, which
// misses matches: /yb|abc./ on 18 to 32 byte texts ending in "yb"), every pattern compiled in
// prefilter mode (constructs it cannot represent exactly are widened to a superset). A pattern
// is left out of the database and reported as a candidate for every text (so it always goes to
// PCRE) when the matcher could disagree with PCRE about it: compile options other than caseless,
// multi-line, dot-all and extended; options the pattern sets for itself at its start (UTF-8,
// newline conventions: leading "(*...)" items); a pattern that can match the empty string; a
// pattern with back-references (prefilter mode widens them, but the library gets some wrong); and
// any pattern the library refuses, even in prefilter mode (look-arounds, atomic groups and large
// repeats are widened; \C, branch resets and the like are refused).
//
// Threads: a matcher is immutable once built; any number of threads may ask it at once. Each
// thread scans with scratch space of its own, grown on its first scan of a matcher that needs more
// and kept for the thread's life. Building compiles every pattern (milliseconds for hundreds):
// never on a thread that carries traffic.
#pragma once

#include <pcre.h>

#include <cstddef>
#include <cstdint>

struct vask_multimatch_t;

struct vask_multimatch_pattern_t {
  const char *text;  // the pattern exactly as it was given to pcre_compile
  int pcre_options;  // the options it was compiled with
  // That compilation, read for the options the pattern set for itself. Null: the pattern is never
  // screened (always a candidate).
  const pcre *re;
};

// Builds a matcher over patterns[0..n); a pattern's id is its index. The texts and compilations
// are read during the call only. Never null: a pattern the matcher cannot take (or a database
// that failed to build) becomes a candidate for every text. Any thread; slow.
// The caller owns the result: vask_multimatch_free when no thread can be asking it, or
// vask_multimatch_retire when readers may (they must ask inside a safe-memory bracket).
vask_multimatch_t *vask_multimatch_build(const vask_multimatch_pattern_t *patterns, size_t n);
void vask_multimatch_free(vask_multimatch_t *m);
// Frees once every thread has left the safe-memory bracket it is in now.
void vask_multimatch_retire(vask_multimatch_t *m);

// Number of patterns, and of those the database screens (the others are always candidates).
size_t vask_multimatch_count(const vask_multimatch_t *m);
size_t vask_multimatch_screened(const vask_multimatch_t *m);
bool vask_multimatch_is_screened(const vask_multimatch_t *m, uint32_t id);

// 64-bit words of the candidate set: (count + 63) / 64.
size_t vask_multimatch_words(const vask_multimatch_t *m);

// Fills bits[0..words) with the ids that may match text[0..len): bit id % 64 of word id / 64 is set
// for each. A clear bit means the pattern does not match. Returns the number of candidates.
// A scan the library fails (it should not) makes every pattern a candidate. Any thread; no
// allocation once the thread's scratch is large enough for the matcher.
size_t vask_multimatch_candidates(const vask_multimatch_t *m, const char *text, size_t len,
                                  uint64_t *bits);
