// Per-element outcomes of a load of definitions (rulesets, maintenance windows).
//
// Parsing fills the report of its own thread when someone asked for one (POST /rulesets?details=1,
// POST /maintenance?details=1, the --check-rulesets and --check-maintenance commands): for every
// element of the array its index, its id once known, the reason it was refused, and warnings
// about keys and words the daemon does not know. Without a report on the thread every call below
// is one thread-local load and a branch, so loads from the API and the bus pay nothing for it.
//
// A report belongs to the thread that set it with load_report_scope_c, for that scope only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct load_outcome_t {
  size_t index = 0;
  bool has_id = false;
  uint64_t id = 0;
  std::string error;                  // why the element was refused; empty: taken or skipped
  std::vector<std::string> warnings;  // unknown keys and words, in the order found
};

struct load_report_t {
  std::vector<load_outcome_t> elements;
  // 0: every element is kept (the check commands print each). Otherwise only elements with an
  // error or a warning are kept, at most max_kept of them; the others with one are counted in
  // not_kept, so a report over a body of millions of elements stays small.
  size_t max_kept = 0;
  size_t not_kept = 0;
};

// Makes `report` the current thread's report for the scope (null: none).
class load_report_scope_c {
 public:
  explicit load_report_scope_c(load_report_t *report);
  ~load_report_scope_c();
  load_report_scope_c(const load_report_scope_c &) = delete;
  load_report_scope_c &operator=(const load_report_scope_c &) = delete;

 private:
  load_report_t *previous_;
};

// Whether this thread fills a report now.
bool load_report_active(void);
// Starts the outcome of the element at index; the calls below apply to it.
void load_report_begin(size_t index);
void load_report_id(uint64_t id);
// The reason the element was refused; the first reason given for an element is kept.
void load_report_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void load_report_warning(std::string text);

// The "details" member of a reply: the elements with an error or a warning, in order, at most
// max_entries of them (a last entry {"truncated": n} says how many more there were). Each entry is
// {"index": i, "id": id (when known), "error": "..." (when refused), "warnings": [...] (when any)}.
std::string load_report_details_json(const load_report_t &report, size_t max_entries);

// Whether a REST request asks for the details of its load (?details=1, or true/yes).
typedef struct tovi_http_rest_closure_s tovi_http_rest_closure_t;
bool load_report_asked(tovi_http_rest_closure_t *restc);
// Entries a reply's "details" holds at most.
constexpr size_t load_report_max_details = 100;

// One line per element for the check commands: "element 3 (id 2101): ok" or the reasons; with
// strict, warnings are reasons too. Returns the number of elements that are not ok.
size_t load_report_print(const load_report_t &report, bool strict, std::string *out);
