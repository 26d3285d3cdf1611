// The ruleset and rule records shared by the rules modules, their name tables and the process-wide
// ruleset counters.
//
// A ruleset is one alerting definition: one metric (or a pattern of metric names) of one account
// and, optionally, one check, with an ordered list of rules, each raising one severity when its
// criterion holds. Rulesets are built only by the ruleset parser, stored in the registry
// (registry_internal.h) and in the target lists, and evaluated through rule streams.
//
// Ownership: a ruleset is always held through a ruleset_sp; rule streams hold a ruleset_wp.
// Once registered a ruleset is never changed in place except for its run-time counters
// (`applications`, `last_time`), its stream table (and `sole_stream` beside it), its two timer
// handles and `director_ast_registration_id`; a changed definition arrives as a new ruleset that
// replaces the old one. The compiled regular expressions, the filter and the owned texts belong
// to the ruleset and are released by its destructor.
//
// Threads: a registered ruleset is read by many worker threads at once without a lock; the fields
// that change after registration are atomic or guarded by the stream table's own phaser.
#pragma once

#if !defined(QUELT_IN_RULES) && !defined(QUELT_WHITE_BOX)
#error "this header is internal to src/rules/: outside it, include rules/rules.h"
#endif

#include <pcre.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "rules/lr_phaser_internal.h"
#include "tovi/eventer.h"
#include "vask/vask_tag_search.h"
#include "windows/metric_type.h"
#include "windows/numeric_stats_window.h"

struct broker_t;
class rulestream_c;
struct outlet_text_t;

struct ruleset_t;
typedef std::shared_ptr<ruleset_t> ruleset_sp;
typedef std::weak_ptr<ruleset_t> ruleset_wp;
typedef std::shared_ptr<rulestream_c> rulestream_sp;
typedef std::weak_ptr<rulestream_c> rulestream_wp;

// The criterion of a rule. The values are stable: they are shown in JSON output and logs by name
// and stored in stream histories.
enum rule_criteria_t : int {
  RULEC_UNKNOWN = 0,
  RULEC_TEXT_MATCH = 1,        // text equals value_str
  RULEC_TEXT_NOMATCH = 2,      // text differs from value_str
  RULEC_TEXT_CONTAINS = 3,     // text matches the regular expression value_str
  RULEC_TEXT_NOCONTAINS = 4,   // text does not match it
  RULEC_TEXT_CHANGE = 5,       // text changed
  RULEC_NUMERIC_MIN = 6,       // value below the threshold
  RULEC_NUMERIC_MAX = 7,       // value above the threshold
  RULEC_NUMERIC_EQ = 8,        // value equals the threshold
  RULEC_NUMERIC_NEQ = 9,       // value differs from the threshold
  RULEC_NUMERIC_CHANGE = 10,   // value changed
  RULEC_HISTOGRAM_Q_MIN = 11,  // histogram quantile below the threshold
  RULEC_HISTOGRAM_Q_MAX = 12,  // histogram quantile above the threshold
  RULEC_ABSENCE = 13,          // no data for absence_window seconds
  // One past the last criterion. A new criterion goes just before it, with its row in
  // rule_criterion_traits_table (the build fails until the row is there).
  RULEC_COUNT
};

// What a stream records as a criterion's observed value: nothing (unknown, absence), a number
// (numeric and histogram criteria) or a text (text criteria).
enum rule_criterion_value_t : uint8_t {
  RULEC_VALUE_NONE = 0,
  RULEC_VALUE_NUMBER = 1,
  RULEC_VALUE_TEXT = 2,
};

// What each criterion is. Every question about a criterion's kind is answered here, never by
// comparing enum values, so that a criterion added at the end classifies as its row says.
struct rule_criterion_traits_t {
  rule_criteria_t criterion;     // the row's own criterion (rows are in enum order)
  const char *name;              // the word of JSON output and logs
  rule_criterion_value_t value;  // what its observed value is
  bool threshold;                // compares the value with the numeric threshold (info.numeric)
  bool expression;               // keeps a compiled expression (info.text)
};

inline constexpr rule_criterion_traits_t rule_criterion_traits_table[] = {
    {RULEC_UNKNOWN, "unknown", RULEC_VALUE_NONE, false, false},
    {RULEC_TEXT_MATCH, "exact_match", RULEC_VALUE_TEXT, false, false},
    {RULEC_TEXT_NOMATCH, "not_exact_match", RULEC_VALUE_TEXT, false, false},
    {RULEC_TEXT_CONTAINS, "match", RULEC_VALUE_TEXT, false, true},
    {RULEC_TEXT_NOCONTAINS, "not_match", RULEC_VALUE_TEXT, false, true},
    {RULEC_TEXT_CHANGE, "onchange", RULEC_VALUE_TEXT, false, false},
    {RULEC_NUMERIC_MIN, "numeric_min", RULEC_VALUE_NUMBER, true, false},
    {RULEC_NUMERIC_MAX, "numeric_max", RULEC_VALUE_NUMBER, true, false},
    {RULEC_NUMERIC_EQ, "numeric_eq", RULEC_VALUE_NUMBER, true, false},
    {RULEC_NUMERIC_NEQ, "numeric_neq", RULEC_VALUE_NUMBER, true, false},
    {RULEC_NUMERIC_CHANGE, "numeric_change", RULEC_VALUE_NUMBER, false, false},
    {RULEC_HISTOGRAM_Q_MIN, "histogram_q_min", RULEC_VALUE_NUMBER, true, false},
    {RULEC_HISTOGRAM_Q_MAX, "histogram_q_max", RULEC_VALUE_NUMBER, true, false},
    {RULEC_ABSENCE, "absence", RULEC_VALUE_NONE, false, false},
};

// One row per criterion, each at its criterion's index.
constexpr bool rule_criterion_traits_table_complete() {
  if (sizeof(rule_criterion_traits_table) / sizeof(rule_criterion_traits_table[0]) != RULEC_COUNT)
    return false;
  for (int i = 0; i < RULEC_COUNT; i++)
    if (rule_criterion_traits_table[i].criterion != i) return false;
  return true;
}
static_assert(rule_criterion_traits_table_complete(),
              "every rule_criteria_t value needs its row in rule_criterion_traits_table, in order");

// The traits of a criterion; for a value outside the enum, those of RULEC_UNKNOWN.
constexpr const rule_criterion_traits_t &rule_criterion_traits(rule_criteria_t c) {
  return unsigned(c) < unsigned(RULEC_COUNT) ? rule_criterion_traits_table[c]
                                             : rule_criterion_traits_table[RULEC_UNKNOWN];
}

// Whether a rule of this criterion keeps a compiled expression in `info.text` (the text
// "contains" and "does not contain" rules); every other rule keeps `info.numeric` or nothing.
bool rule_holds_expression(rule_criteria_t criteria);

// "unknown", "exact_match", ... "absence" (the word of JSON output and logs); "invalid" for any
// other value. Static text.
const char *rule_criteria_name(rule_criteria_t criteria);

// One rule of a ruleset. Constant once the ruleset is registered.
//
// The compiled expression in `info.text` is owned by the ruleset that holds the rule, which frees
// it when it is destroyed; a rule never frees it itself. For that reason a rule can be moved but
// not copied: a copy would leave two owners of one compiled expression.
struct rule_t {
  int32_t severity = 0;  // raised when the rule holds; greater than 0 in a loaded ruleset
  rule_criteria_t rule_type = RULEC_UNKNOWN;
  windowing_function_t windowing_function = W_NONE;  // W_NONE: the last value
  int32_t windowing_duration = 0;                    // ms; 0 without a windowing function
  int32_t windowing_min_duration = 0;                // ms of data before the value counts
  double criteria_windowing_parameter = 0;           // the quantile for W_QUANTILE
  double wait = 0;            // kept and compared; rule application does not read it
  double absence_window = 0;  // seconds without data before an absence rule holds
  std::string criteria;       // the criterion word as the definition gives it
  std::string value_str;      // the threshold or text operand as given
  union info_u {
    struct {
      double value;  // value_str converted, numeric and histogram rules
    } numeric;
    struct {
      pcre *expr;  // value_str compiled, text "contains" and "does not contain" rules
      pcre_extra *expr_extra;
    } text;
  } info{};

  rule_t() = default;
  rule_t(const rule_t &) = delete;
  rule_t &operator=(const rule_t &) = delete;
  // Copies the numbers and the compiled form and moves the two texts. The source is left
  // without a compiled form, so that only one rule ever refers to it.
  rule_t(rule_t &&other) noexcept;
  rule_t &operator=(rule_t &&other) noexcept;
  ~rule_t() = default;

  // Compares the definition: every field but the compiled `info`.
  bool operator==(const rule_t &other) const;
};

// A time value that worker threads store while other threads read it, held as one 64-bit count
// of microseconds since the epoch so that a reader never sees the seconds of one store with the
// microseconds of another. Lock-free; relaxed, because nothing else is published through it.
struct ruleset_time_t {
  std::atomic<uint64_t> microseconds{0};

  void store(const struct timeval &tv);
  void store_ms(uint64_t ms);
  struct timeval load() const;
  uint64_t load_ms() const;
};

// The closure of an absence timer: the ruleset's id and, for a stream-level timer, the stream's
// signature (owned, malloc). Allocated per timer; freed with rule_trigger_free by the callback
// once the timer has run, or by whoever cancels the timer.
struct rule_trigger_t {
  uint64_t event_criteria_id;
  char *signature;
};
// Frees the signature and the record; null is fine.
void rule_trigger_free(rule_trigger_t *closure);

// An absence timer slot (a ruleset's, or one rule's within a stream). A slot holds a reference
// of its own to its timer, whose closure is a rule_trigger_t. Clearing cancels the timer and
// frees its closure when it had not run; when several threads clear at once, the one whose
// compare-and-swap empties the slot does the work. Replacing installs e and adds it to the loop
// unless the slot already holds a timer: then e is discarded with its closure before it ever
// runs; the caller's reference to e passes to the call either way. Any thread.
void absence_slot_clear(std::atomic<eventer_t> &slot);
bool absence_slot_replace_or_kill(std::atomic<eventer_t> &slot, eventer_t e);

// The closure of a cull timer (allocated zeroed with calloc, freed with free by the callback or
// by whoever cancels the timer).
struct rule_cull_t {
  uint64_t event_criteria_id;
};

// The table of a ruleset's rule streams: stream signature (a view of the stream's own copy of
// the signature, valid while the stream is in the table) to the stream.
typedef absl::flat_hash_map<std::string_view, rulestream_sp> signature_to_stream_map_t;

struct ruleset_t : public std::enable_shared_from_this<ruleset_t> {
  // Constant once registered.
  uint64_t event_criteria_id = 0;         // unique key in the registry ("ecid")
  uint64_t parent_event_criteria_id = 0;  // 0 when the ruleset has no parent
  rule_metric_type_t metric_type = RULE_UNKNOWN;
  struct {
    unsigned any_check_uuid : 1;   // check_uuid is all zero: every check of the account
    unsigned metric_name : 1;      // metric_name is a regular expression
    unsigned match_canonical : 1;  // metric_name is canonical, with stream tags
  } pattern{};
  broker_t *default_broker = nullptr;  // not owned; brokers live for the whole process
  int32_t cull_seconds = 0;            // idle time before streams are culled; 0 never
  uint8_t check_uuid[16] = {};
  char *metric_name = nullptr;  // owned (malloc); the name, or the pattern's text
  pcre *metric_pcre = nullptr;  // owned; metric_name compiled when it is a pattern
  pcre_extra *metric_pcre_extra = nullptr;
  char *group_by = nullptr;  // owned (malloc) or none
  pcre *group_by_pcre = nullptr;
  pcre_extra *group_by_pcre_extra = nullptr;
  char *filter = nullptr;  // owned (malloc) or none; a tag-search expression
  vask_metric_tag_search_ast_t *filter_ast = nullptr;  // owned reference; filter parsed
  uint64_t account_id = 0;

  // Set again each time the ruleset is registered with the metric director.
  std::atomic<uint32_t> director_ast_registration_id{0};

  // Run-time counters, written by the worker threads that apply messages.
  std::atomic<uint64_t> applications{0};
  ruleset_time_t last_time;

  // A ruleset of one check and one exact name, without grouping, nearly always has one stream:
  // the first stream of its table is also kept here, beside the counters every message writes,
  // so that a message finds it without a probe of the table. Set and cleared only inside a write
  // of the table (under the phaser's writer mutex): a stream is here only while the table holds
  // it, and leaving the table it leaves here too. Empty for every other kind of ruleset.
  std::atomic<rulestream_sp> sole_stream;

  // The ruleset's rule streams; lock-free readers, one writer at a time.
  lr_phaser_c<signature_to_stream_map_t> signature_to_stream;

  // Pending timers, empty when none. A slot holds a reference of its own to its event. The
  // cull timer's closure is a rule_cull_t, the absence timer's a rule_trigger_t. The absence slot
  // changes only by compare-and-swap; the cull slot only by cull scheduling and the cull pass.
  // Both are cancelled when the ruleset is destroyed.
  std::atomic<eventer_t> cull_event{nullptr};
  std::atomic<eventer_t> absence_event{nullptr};

  // Constant once registered.
  int8_t nrules = 0;
  std::vector<rule_t> rules;

  // Whether rulesets_current counts this object (see ruleset_count_accepted).
  bool counted = false;

  // The optional text for people ("title", "summary", "labels", "annotations"; outlets.h), or
  // none. Not part of the definition's equality: a reload that changes only this text swaps it
  // on the ruleset in force, which keeps its streams.
  std::atomic<std::shared_ptr<const outlet_text_t>> outlet_text;

  ruleset_t() = default;
  ruleset_t(const ruleset_t &) = delete;
  ruleset_t &operator=(const ruleset_t &) = delete;
  // Releases, in this order: the compiled expressions of the rules whose criterion keeps one
  // (rule_holds_expression), whatever the ruleset's metric type; the metric pattern; group_by
  // and its compiled form; the filter and its parsed form; every stream; metric_name; the two
  // timers; the count in rulesets_current when the ruleset was counted.
  ~ruleset_t();

  // Compares the definition: ids, metric type, account, the rule count, the any-check flag,
  // whether metric_name is a pattern, cull_seconds, check_uuid, metric_name, group_by, filter
  // and every rule. A missing text equals a missing or empty one. The broker, the canonical-match
  // flag, the compiled forms, the counters, the streams and the timers do not count. The pattern
  // flag does: the same text as a name and as a pattern selects different metrics, and a reload
  // that moves it from one to the other must not be taken for an unchanged ruleset.
  bool operator==(const ruleset_t &other) const;

  // The stream of `signature` (len bytes; null: the fixed signature), found in one read of the
  // table. When there is none and `create` is set, a new stream for the metric `id` is built and
  // inserted; a thread that loses the race for the same signature gets the winner's stream (its
  // own is dropped, cancelling what it reserved). Empty when absent and not created. Any thread
  // that holds no stream's lock.
  rulestream_sp get_rulestream(const vask_metric_id_t *id, const char *signature, size_t len,
                               bool create);
  // The stream kept beside the table (sole_stream) when its signature is `signature` (len
  // bytes), else empty. Any thread.
  rulestream_sp find_sole_stream(const char *signature, size_t len) const;
  // Whether the ruleset keeps its first stream beside the table: one check, an exact name, no
  // grouping. Constant once registered.
  bool keeps_sole_stream() const;
  // Takes the stream out of the table; it lives on while others hold it. Any thread that holds
  // no stream's lock.
  void remove_ruleset_stream(const rulestream_sp &stream);
  // Takes each of these streams out of the table, in one write, skipping any no longer in it.
  // A table left mostly empty gives its spare capacity back. Returns the number removed. Any
  // thread that holds no stream's lock.
  size_t remove_ruleset_streams(const std::vector<rulestream_sp> &streams);
  // Every stream of the ruleset, copied out in one read of the table; the caller iterates the
  // copy without holding anything. Any thread.
  std::vector<rulestream_sp> get_ruleset_streams() const;
  // The number of streams. Any thread.
  size_t get_ruleset_streams_size() const;
  // Drops every stream from the table (a write of the table); streams live on while others hold
  // them. Any thread that holds no stream's lock.
  void reset_ruleset_streams();

  // Cancels the pending cull timer, if any: takes it out of the loop, frees its closure when it
  // had not run yet, drops the slot's reference and empties the slot. Any thread.
  void clear_cull_event();
  // The same for the ruleset-level absence timer; when several threads clear at once, the one
  // that empties the slot does the work. Any thread.
  void clear_absence_event();
  // Installs a new ruleset-level absence timer (closure: a rule_trigger_t), pinned to the loop
  // thread of the ruleset's id, and adds it to the loop, unless the slot already holds a timer:
  // then the new one is discarded with its closure before it ever runs. The caller's reference
  // to e passes to this call either way. Returns whether e was installed. Any thread.
  bool replace_absence_event_or_kill(eventer_t e);
};

// ---- The routes' generation -------------------------------------------------------------------
//
// A metric's route (rules.h, "Routes") remembers which rulesets apply to the metric and each
// one's stream for it, without holding a reference to either: it is good only while this number
// is the one it was built under. Whoever takes a ruleset out of the target lists, or a stream out
// of a ruleset's table, calls rules_routes_invalidate() after that change is published and
// before the object can be freed (a ruleset's list slot goes through the safe free afterwards, a
// stream through rules_routes_retire_streams): a reader that read the old number inside its
// safe-memory bracket was in that bracket when the free was asked for, so the object outlives
// its use. Changes of parents and of cluster ownership count too.
extern std::atomic<uint64_t> rules_route_generation;
// Moves the generation on. Any thread.
void rules_routes_invalidate();
// Streams just taken out of a table: moves the generation on and keeps the streams for one
// safe-memory grace period, then drops these references (on a job thread for a large batch).
// Any thread.
void rules_routes_retire_streams(std::vector<rulestream_sp> streams);

// A new ruleset with every field zero or empty, `nrules` set and `rules` holding nrules newly
// constructed rules. Returns an empty pointer, with a line on "error/rules", when nrules is
// negative or memory runs out (nothing is left behind). Any thread.
ruleset_sp ruleset_safe_alloc(int nrules);

// Counts a ruleset that passed every check of the parser: increments rulesets_loaded and
// rulesets_current, and makes the ruleset give back its count in rulesets_current when it is
// destroyed. A ruleset is counted at most once; later calls do nothing and return false.
bool ruleset_count_accepted(ruleset_t &r);

// Live accepted rulesets (including a discarded duplicate until it is freed).
extern std::atomic<uint64_t> rulesets_current;
// Rulesets accepted since start; never decremented.
extern std::atomic<uint64_t> rulesets_loaded;
// Definitions skipped because another node owns the metric.
extern std::atomic<uint64_t> rulesets_suppressed;
// Definitions refused: elements with an error, documents that are not an array or not JSON.
extern std::atomic<uint64_t> rulesets_rejected;
