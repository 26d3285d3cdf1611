// rules_mgr (internal to src/rules/): the rulesets this daemon holds, from their JSON definitions
// to the lists the intake looks metrics up in.
//
// A ruleset definition is parsed and compiled (parse_ruleset_response), kept only when this node
// owns its metric and handles its account, stored in the registry (registry_internal.h) and filed
// in a target list: exact-name rulesets under (account, check UUID, metric name), pattern rulesets
// under (account, check UUID). Its interest is registered with the metric director on the loop
// thread chosen by its id.
//
// Threads: lookups (rulesets_for_metric) run on every worker thread at once without locks, inside
// a safe-memory bracket; loads, replacements and deletions may come from any thread (they are
// serialised by one loader mutex inside this module).
//
// What the ruleset loader's files (parse, lookup, filing, rest, fetch, rules_mgr) share and nobody
// else needs; what other modules may call is in rules.h.
#pragma once

#if !defined(QUELT_IN_RULES) && !defined(QUELT_WHITE_BOX)
#error "this header is internal to src/rules/: outside it, include rules/rules.h"
#endif

#include <json-c/json.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api_loader.h"
#include "rules/model_internal.h"
#include "rules/rules.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "vask/vask_metric.h"
#include "vask/vask_tag_search.h"

// ---- Settings ----------------------------------------------------------------------------------

// Seconds added to the absence window of absence rules; 10 unless configured.
extern int32_t absence_cushion_s;
// Seconds of tolerated out-of-order data; 300 unless configured.
extern int32_t max_out_of_order_s;

// ---- Target lists ------------------------------------------------------------------------------

// One slot of a target list. The slot's ruleset pointer is refilled by writers while readers copy
// it, so it is not a plain ruleset_sp: use ruleset_tgt_get to read it.
struct ruleset_tgt_t;
// A list of rulesets filed under one key: (account, check UUID, metric name) for exact names,
// (account, check UUID) with an empty name for patterns. Lives for the whole process once inserted
// into its set; its nodes are never unlinked (emptied nodes are reused).
struct ruleset_tgt_list_t;

// A copy of the ruleset held by a node (empty for a vacated slot). Inside a safe-memory bracket.
ruleset_sp ruleset_tgt_get(const ruleset_tgt_t *node);
// The first node of a list and the one after a node (null at the end). Inside a bracket.
const ruleset_tgt_t *ruleset_tgt_list_head(const ruleset_tgt_list_t *list);
const ruleset_tgt_t *ruleset_tgt_next(const ruleset_tgt_t *node);

// The metric list of (account, check UUID, name[0, len)). Without `create`, a missing list gives
// null. With it, a missing list is made; when another thread inserted one first, that one is
// returned. Any thread, inside a safe-memory bracket (the list stays valid for the process).
ruleset_tgt_list_t *get_rulesets_by_metric(uint64_t account_id, const uint8_t check_uuid[16],
                                           const char *name, size_t len, bool create);
// The pattern list of (account, check UUID); the same contract, through the account's table,
// which is itself made on demand.
ruleset_tgt_list_t *get_rulesets_by_pattern(uint64_t account_id, const uint8_t check_uuid[16],
                                            bool create);

// Files `ruleset` in the list and returns the ruleset now in force under its id there: an equal
// ruleset already filed is kept (and `ruleset` is not filed); otherwise `ruleset` replaces every
// other ruleset of its id in the list. Withdraws the director registrations of the replaced ones
// and registers the one in force (a kept one that is registered already is not registered again).
// Any thread; callers serialise loads of one id (the parser holds the loader mutex).
ruleset_sp add_ruleset_tgt(ruleset_tgt_list_t *list, const ruleset_sp &ruleset);
// Empties every node of the list holding this very ruleset and withdraws what it registered with
// the director. Returns the number of nodes emptied.
int remove_ruleset_tgt(ruleset_tgt_list_t *list, const ruleset_sp &ruleset);

// Whether a pattern or exact ruleset applies to the metric (account, name or pattern, filter).
bool ruleset_match(const ruleset_t &r, const vask_metric_id_t *id);
// Whether the metric is of the ruleset's account and satisfies its filter (if any).
bool ruleset_where_satisfied(const ruleset_t &r, const vask_metric_id_t *id);
// Whether the ruleset keeps streams for this signature: always without a group_by, else whether
// the group_by expression matches it.
bool ruleset_group_by_includes(const ruleset_t &r, const char *signature, size_t len);
// The thread argument of every director registration for the ruleset: the low 32 bits of its id.
uint32_t ruleset_get_thread_id(const ruleset_t &r);

// The tag search that routes the ruleset's metrics to its thread: (0, null) when the ruleset is
// neither a pattern nor filtered; (0, AST) when it needs one (the caller owns one reference);
// (-1, null) on failure (logged). For an exact canonical name the search asks for the bare name
// plus each stream tag, since the search's "__name" is the name without tags.
std::pair<int, vask_metric_tag_search_ast_t *> build_query_for_ruleset(const ruleset_t &r);
// The text parsed by build_query_for_ruleset (for diagnostics and tests); "" when none is needed.
std::string build_query_text_for_ruleset(const ruleset_t &r, int *placeholder_index);

// Registers the ruleset's interest (exact unfiltered) or search (pattern or filtered) with the
// director, once: a ruleset registered already is left alone. Returns whether it is registered
// now. Any thread.
bool register_ruleset_with_director(const ruleset_sp &r);
// Withdraws exactly what register_ruleset_with_director registered for this ruleset, if anything.
void deregister_ruleset_with_director(const ruleset_t &r);

// ---- Parsing (parse.cpp) ------------------------------------------------------------------------

// JSON accessors. A missing key returns false, logs "key %s failed" on "debug/rules" and adds 1
// to *errors when given. A JSON null clears the target (strings) or stores 0 (numbers) and
// returns false for numbers, true for strings, without counting. A value of the wrong type (or
// out of the target's range) returns false, logs and counts like a missing key: text is never
// read as a number.
bool jgetstr(json_object *o, const char *key, char **out, int *errors);
bool jgetstr(json_object *o, const char *key, std::string *out, bool *is_null, int *errors);
bool jgetdouble(json_object *o, const char *key, double *out, int *errors);
bool jgetint(json_object *o, const char *key, int32_t *out, int *errors);
bool jgetuint64(json_object *o, const char *key, uint64_t *out, int *errors);

// Compiles a rule of the ruleset: the threshold of numeric and histogram rules, the regular
// expression of text "contains" and "does not contain" rules. Returns false (logged on
// "error/rules") when the threshold is not a number or the expression does not compile.
bool rule_compile(ruleset_t &r, rule_t &rule);

// Studies a compiled expression with JIT and attaches the calling thread's JIT stack (32 KiB
// growing to 512 KiB, made on first use, kept for the thread's life). Null when study fails
// without an error (the expression then runs without extra data).
pcre_extra *rules_pcre_study(pcre *re);

// The API loader of rulesets (fetch.cpp).
extern api_loader_kind_t rulesets_loader_kind;

// The job of both: one page, or one ruleset, per pass on api_jobq.
int fetch_some_rulesets(eventer_t e, int mask, void *closure, struct timeval *now);

// One request's definitions taken element by element: begin, each element in order (null for an
// element that did not parse: an error), end, which returns what parse_ruleset_response returns.
// Only the first refused elements of a request log their lines; end writes one line with the
// count of the others. Rulesets refused because the registry holds rulesets_max_held are counted
// in over_limit and rulesets_over_limit, never in errors. One thread per batch.
struct ruleset_batch_t {
  uint64_t *high_water = nullptr;  // raised to the largest id that reached allocation
  uint64_t max_held = 0;           // set by begin
  int processed = 0;
  int errors = 0;
  int unlogged = 0;  // refused elements whose lines were muted
  uint64_t over_limit = 0;
  size_t index = 0;  // the element being parsed
  // Called with the index of every refused element; where per-element reasons can be gathered.
  std::function<void(size_t index)> on_refused;
};
void ruleset_batch_begin(ruleset_batch_t *batch, size_t count);
// raw_size: the element's text length when known; an element larger than
// json_elements_max_element (handed over as null) is refused with a line of its own.
void ruleset_batch_element(ruleset_batch_t *batch, json_object *element, size_t raw_size = 0);
int ruleset_batch_end(ruleset_batch_t *batch, int *errors);

// Most rulesets the registry holds ("//orvane/state/rulesets/@max_held", 2,000,000), and the
// definitions refused for it.
extern uint64_t rulesets_max_held;
extern std::atomic<uint64_t> rulesets_over_limit;

// ---- Rendering and REST -------------------------------------------------------------------------

// The ruleset as JSON (see docs/rulesets.md, "Ruleset output"): its definition, "owned" and
// "operated" for this node, and under "streams" the state of every stream with its rules. A new
// object the caller owns (json_object_put); null for an empty pointer. Numbers JSON cannot hold
// (NaN, infinities) are null. Takes each stream's lock only while copying its state. Any thread.
json_object *ruleset_to_json(const ruleset_sp &ruleset);

// The job queue of the REST listings ("rulesets_fetch"), made by rules_mgr_init.
extern eventer_jobq_t *rulesets_fetch_jobq;

// REST handlers. Each runs on the connection's loop thread.

// POST /rulesets: loads the array in the body. 400 with {"error": ...} for a body that is not
// JSON; otherwise, once the director has handled every message received before the request,
// 200 with {"rulesets": n, "errors": e}. Runs on the connection's loop thread.
int rulesets_rest_post(tovi_http_rest_closure_t *restc, int npats, char **pats);

// GET /rulesets[?account_id=&uuid=&name=&type=ecid_only]: the rulesets held, filtered by the query,
// one per line inside brackets, as full JSON or (type=ecid_only) as their ids. With both a UUID
// and a name, the rulesets that apply to that untagged metric of the account (0 when absent).
// The list is built by a job on "rulesets_fetch" off the event loop and written back on the
// connection's loop thread. 400 for an account_id that is not a number.
int rulesets_rest_get(tovi_http_rest_closure_t *restc, int npats, char **pats);
// GET /ruleset/<id>: the ruleset's JSON, or 500 {"error": "no such ruleset"}.
// GET /ruleset/<check uuid>/<metric name>[?account_id=]: the rulesets that apply to that untagged
// metric of the account (0 when absent), as a JSON array, one per line.
int rulesets_rest_get_one(tovi_http_rest_closure_t *restc, int npats, char **pats);
// GET /ruleset/state/<id>: {"states": [...]}, the alert document of every stream's newest state;
// an unknown id: 500 {"error": "pattern match failure, should not be possible"}.
int rulesets_rest_get_one_state(tovi_http_rest_closure_t *restc, int npats, char **pats);
// POST /ruleset/clear/alert/<id>: clears every stream of the ruleset (notifying as a change of
// severity would) and answers the ruleset's JSON afterwards; the JSON null for an unknown id.
int rulesets_rest_clear_alert(tovi_http_rest_closure_t *restc, int npats, char **pats);

// ---- Shared by the loader's files --------------------------------------------------------------

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
extern tovi_mutex_c rules_loader_mutex;

// The target list a ruleset belongs in (made when `create`); null without create when absent.
ruleset_tgt_list_t *ruleset_list_for(const ruleset_t &r, bool create);
// Whether two rulesets are filed under the same list key (pattern flag, account, check, name).
bool ruleset_same_list(const ruleset_t &a, const ruleset_t &b);

// Seams for pieces that come with later work. Each answers as its module does when it holds
// nothing, so that parsing follows its full path today.
//   A newly filed ruleset's timers: the zero-time absence trigger (absence_internal.h) and its
//   cull passes (ruleset_schedule_cull).
void rules_start_ruleset_timers(const ruleset_sp &r);

// ---- Filing and deletion (filing.cpp) -----------------------------------------------------------

// Files a checked ruleset: takes an earlier version of its id out of its old list when the list
// key changed, files it in its list (add_ruleset_tgt) and, when it is the one in force there,
// stores it in the registry, logs "rule[<id>] loaded, triggering" on "debug/rules" and starts its
// timers. Takes rules_loader_mutex; any thread.
//
// With the store on, the definition's text (`definition`) is written to the store first, with
// the source of the thread's store_source_scope_c: inside a filing batch the checked rulesets
// wait (at most 1,000) and are written in one transaction, then filed; a write that fails files
// none of them (counted in ruleset_filing_failures). Outside a batch each is written alone.
// An id that belongs to a rule file is refused (false, with the reason) unless the thread's
// source is a rule file.
bool ruleset_file(const ruleset_sp &r, json_object *definition = nullptr);
// Removes the ruleset of that id entirely: its parent record, its registry entry, its list node
// and its director registrations, with a notice line. Returns false (after a notice "not found")
// when no ruleset of that id was loaded. Takes rules_loader_mutex; any thread. With the store on
// the deletion (and the rulesets waiting to be filed before it) is written first; when that
// fails nothing is removed and false is returned. An id of a rule file is removed only by a
// rule file's load.
bool ruleset_delete(uint64_t ecid);

// A filing batch on this thread (ruleset_batch_begin and _end hold one): rulesets checked
// inside it are written to the store together. Batches nest; the outermost end writes and files
// what waits. The thread's definitions that could not be written so far (a REST load answers
// 503 when it grew during the load).
void ruleset_filing_begin(void);
void ruleset_filing_end(void);
// Writes and files what waits now (before a deletion request is checked). False when the write
// failed.
bool ruleset_filing_flush(void);
uint64_t ruleset_filing_failures(void);
