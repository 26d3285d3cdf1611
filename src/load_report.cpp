// Per-element outcomes of a load of definitions; see load_report.h.
#include "load_report.h"

#include <cstdarg>
#include <cstdio>

#include "tovi/tovi_http.h"
#include "tovi/tovi_text.h"

namespace {

thread_local load_report_t *current = nullptr;

load_outcome_t *element() {
  if (!current || current->elements.empty()) return nullptr;
  return &current->elements.back();
}

}  // namespace

load_report_scope_c::load_report_scope_c(load_report_t *report) : previous_(current) {
  current = report;
}

load_report_scope_c::~load_report_scope_c() {
  current = previous_;
}

bool load_report_active(void) {
  return current != nullptr;
}

void load_report_begin(size_t index) {
  if (!current) return;
  if (current->max_kept && !current->elements.empty()) {
    load_outcome_t &last = current->elements.back();
    bool clean = last.error.empty() && last.warnings.empty();
    // The last slot is reused for a clean element, and for one with a problem beyond max_kept.
    if (clean || current->elements.size() > current->max_kept) {
      if (!clean) current->not_kept++;
      last = load_outcome_t{};
      last.index = index;
      return;
    }
  }
  current->elements.emplace_back();
  current->elements.back().index = index;
}

void load_report_id(uint64_t id) {
  if (load_outcome_t *e = element()) {
    e->has_id = true;
    e->id = id;
  }
}

void load_report_error(const char *fmt, ...) {
  load_outcome_t *e = element();
  if (!e || !e->error.empty()) return;
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  e->error = text;
  while (!e->error.empty() && e->error.back() == '\n')
    e->error.pop_back();
}

void load_report_warning(std::string text) {
  // An element with many unknown keys says so a bounded number of times.
  if (load_outcome_t *e = element(); e && e->warnings.size() < 16)
    e->warnings.push_back(std::move(text));
}

std::string load_report_details_json(const load_report_t &report, size_t max_entries) {
  std::string out = "[";
  size_t written = 0, more = 0;
  for (const load_outcome_t &e : report.elements) {
    if (e.error.empty() && e.warnings.empty()) continue;
    if (written == max_entries) {
      more++;
      continue;
    }
    out += written++ ? ",\n    " : "\n    ";
    out += "{\"index\": " + std::to_string(e.index);
    if (e.has_id) out += ", \"id\": " + std::to_string(e.id);
    if (!e.error.empty()) {
      out += ", \"error\": ";
      tovi_json_escape_into(&out, e.error);
    }
    if (!e.warnings.empty()) {
      out += ", \"warnings\": [";
      for (size_t i = 0; i < e.warnings.size(); i++) {
        if (i) out += ", ";
        tovi_json_escape_into(&out, e.warnings[i]);
      }
      out += "]";
    }
    out += "}";
  }
  more += report.not_kept;
  if (more) out += ",\n    {\"truncated\": " + std::to_string(more) + "}";
  out += written ? "\n  ]" : "]";
  return out;
}

size_t load_report_print(const load_report_t &report, bool strict, std::string *out) {
  size_t bad = 0;
  for (const load_outcome_t &e : report.elements) {
    std::string head = "element " + std::to_string(e.index);
    if (e.has_id) head += " (id " + std::to_string(e.id) + ")";
    bool ok = e.error.empty() && (!strict || e.warnings.empty());
    if (ok && e.warnings.empty()) {
      *out += head + ": ok\n";
      continue;
    }
    if (!ok) bad++;
    if (!e.error.empty()) *out += head + ": error: " + e.error + "\n";
    for (const std::string &w : e.warnings)
      *out += head + (strict ? ": error: " : ": warning: ") + w + "\n";
  }
  return bad;
}

bool load_report_asked(tovi_http_rest_closure_t *restc) {
  const char *v = tovi_http_request_querystring(restc, "details");
  if (!v) return false;
  std::string_view t(v);
  return t == "1" || t == "true" || t == "yes";
}
