// The check commands; see checks.h.
#include "checks.h"

#include <json-c/json.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "load_report.h"
#include "maintenance.h"
#include "rules/rules.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_conf_keys.h"
#include "tovi/tovi_log.h"

namespace {

bool read_file(const char *file, std::string *out) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return !in.bad();
}

// The document as the REST loads parse it: one JSON value, nothing but space after it.
json_object *parse_document(const char *file, const std::string &body) {
  json_tokener *tok = json_tokener_new();
  json_object *doc = json_tokener_parse_ex(tok, body.data(), int(body.size()));
  json_tokener_error jerr = json_tokener_get_error(tok);
  size_t end = doc ? size_t(json_tokener_get_parse_end(tok)) : 0;
  bool trailing = doc && end < body.size() && body.find_first_not_of(" \t\r\n", end) != body.npos;
  if (!doc || jerr != json_tokener_success || trailing) {
    const char *reason = trailing                        ? "trailing data after the document"
                         : jerr == json_tokener_continue ? "unexpected end of data"
                                                         : json_tokener_error_desc(jerr);
    // The offset helps find the place in a large file.
    printf("%s: not JSON: %s (at byte %zu)\n", file, reason,
           size_t(json_tokener_get_parse_end(tok)));
    json_object_put(doc);
    doc = nullptr;
  } else if (!json_object_is_type(doc, json_type_array)) {
    printf("%s: the document is not a JSON array of definitions\n", file);
    json_object_put(doc);
    doc = nullptr;
  }
  json_tokener_free(tok);
  return doc;
}

// Parsing logs why it refuses an element; here the same reasons are printed per element.
void quiet_logs() {
  tovi_log_disable("error");
  tovi_log_disable("notice");
  tovi_log_disable("debug");
}

int check_definitions(const char *file, const char *what,
                      int (*parse)(json_object *doc, int *errors)) {
  std::string body;
  if (!read_file(file, &body)) {
    printf("%s: cannot be read\n", file);
    return 2;
  }
  json_object *doc = parse_document(file, body);
  if (!doc) return 2;
  quiet_logs();
  if (!tovi_conf_load_string("<queltd/>", "check") || eventer_init() != 0) {
    printf("%s: cannot set up the parser\n", file);
    json_object_put(doc);
    return 2;
  }
  load_report_t report;
  int errors = 0;
  {
    load_report_scope_c scope(&report);
    parse(doc, &errors);
  }
  json_object_put(doc);
  std::string out;
  size_t bad = load_report_print(report, true, &out);
  fputs(out.c_str(), stdout);
  printf("%s: %zu %s, %zu ok, %zu with errors\n", file, report.elements.size(), what,
         report.elements.size() - bad, bad);
  return bad ? 2 : 0;
}

int parse_rulesets(json_object *doc, int *errors) {
  uint64_t high_water = 0;
  return parse_ruleset_response(doc, &high_water, errors);
}

int parse_windows(json_object *doc, int *errors) {
  uint64_t hwm = 0;
  return parse_maint_windows_response(doc, &hwm, errors);
}

}  // namespace

int quelt_check_config(const char *file, bool strict) {
  quiet_logs();
  if (!tovi_conf_load(file)) {
    printf("%s: cannot be loaded: %s\n", file, tovi_conf_last_error().c_str());
    return 2;
  }
  int errors = 0, warnings = 0;
  for (const tovi_conf_finding_t &f : tovi_conf_check()) {
    printf("%s: %s: %s\n", file, f.error ? "error" : "warning", f.text.c_str());
    (f.error ? errors : warnings)++;
  }
  printf("%s: %d error%s, %d warning%s\n", file, errors, errors == 1 ? "" : "s", warnings,
         warnings == 1 ? "" : "s");
  if (errors) return 2;
  return warnings && strict ? 1 : 0;
}

int quelt_check_rulesets(const char *file) {
  rules_lookup_init(64);
  return check_definitions(file, "rulesets", parse_rulesets);
}

int quelt_check_maintenance(const char *file) {
  int status = check_definitions(file, "maintenance windows", [](json_object *doc, int *errors) {
    maintenance_tables_init();
    maintenance_set_reevaluate(nullptr);
    return parse_windows(doc, errors);
  });
  return status;
}

int quelt_log_config_findings(void) {
  int n = 0;
  for (const tovi_conf_finding_t &f : tovi_conf_check()) {
    tovi_log(tovi_error, "configuration '%s': %s", tovi_conf_path().c_str(), f.text.c_str());
    n++;
  }
  return n;
}
