// What the ruleset loader's files (parse, lookup, rest, rules_mgr) share and nobody else needs.
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "rules/rules_mgr.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

// "debug/rules", "error/rules", "error/rules/verbose".
tovi_log_stream_t rules_debug_stream();
tovi_log_stream_t rules_error_stream();
tovi_log_stream_t rules_error_verbose_stream();

// Warns about keys of a definition and its rules that nothing reads and about windowing function
// names that mean nothing for its metric type: counted in `rulesets_unrecognised` and, when the
// load keeps a report (load_report.h), given as warnings with the closest known name. Changes
// nothing in the definition. Any thread.
void ruleset_lint(json_object *el);
extern std::atomic<uint64_t> rulesets_unrecognised;
// "; did you mean \"word\"?" with the closest of names, or "" when none is close.
std::string rules_word_hint(const std::string &word, const std::vector<std::string> &names);
// "numeric", "text", "histogram".
const std::vector<std::string> &rules_metric_type_words();
// The criterion words that mean something for the metric type.
std::vector<std::string> rules_criterion_words(rule_metric_type_t type);

// The calling thread's PCRE JIT stack (32 KiB growing to 512 KiB), made on first use and kept for
// the thread's life.
pcre_jit_stack *rules_thread_jit_stack();

// Serialises the steps that file a parsed ruleset (target list, registry) and deletions, so that
// two loads of one id cannot leave the registry and the lists disagreeing.
extern std::mutex rules_loader_mutex;

// The target list a ruleset belongs in (made when `create`); null without create when absent.
ruleset_tgt_list_t *ruleset_list_for(const ruleset_t &r, bool create);
// Whether two rulesets are filed under the same list key (pattern flag, account, check, name).
bool ruleset_same_list(const ruleset_t &a, const ruleset_t &b);

// Seams for pieces that come with later work. Each answers as its module does when it holds
// nothing, so that parsing follows its full path today.
//   A newly filed ruleset's timers: the zero-time absence trigger (rules/absence.h) and its
//   cull passes (ruleset_schedule_cull).
void rules_start_ruleset_timers(const ruleset_sp &r);
