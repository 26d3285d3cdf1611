// What fires now: GET /alerts, one row per rule stream whose last announced severity is raised.
//
// Only streams held now are listed (a culled stream's remembered state is not). The rows are
// ordered by severity (1 first), then by age (the oldest announcement first), then by ruleset
// id and signature, so that a cursor names one place in the order and the next page starts
// just after it whatever changed meanwhile.
//
// The selection walks every ruleset and every stream but keeps only the best `limit` rows that
// pass the filters (a bounded heap): its memory is one page whatever the number of streams. A
// stream whose newest severity is clear is skipped without taking its lock.
//
// Threads. alerts_select runs on any thread that holds no stream's lock (the REST handler runs
// it as a job on "rulesets_fetch", off the event loop); it takes each candidate stream's lock
// only while copying its state.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "rules/model_internal.h"
#include "tovi/tovi_http.h"

struct alerts_query_t {
  bool has_account = false;
  uint64_t account_id = 0;
  std::vector<int32_t> severities;  // empty: every raised severity
  bool has_ruleset = false;
  uint64_t ruleset = 0;
  bool has_check = false;
  uint8_t check_uuid[16] = {};
  std::string
      q;  // substring of the signature (which holds the name), ASCII case ignored; lower case
  size_t limit = 100;
  // The cursor: rows strictly after this one in the order.
  bool has_after = false;
  int32_t after_sev = 0;
  uint64_t after_since_ms = 0;
  uint64_t after_ecid = 0;
  std::string after_signature;
};

struct alert_row_t {
  int32_t severity = 0;   // the last announced severity
  uint64_t since_ms = 0;  // when it was announced
  uint64_t event_criteria_id = 0;
  std::string signature;
  uint64_t account_id = 0;
  uint8_t check_uuid[16] = {};
  std::string host;
  broker_t *broker = nullptr;
  int8_t rule = -1;  // the rule announced
  rule_criteria_t criterion = RULEC_UNKNOWN;
  std::variant<std::monostate, double, std::string> value;
  uint64_t ancestor = 0;   // ancestor ruleset announced with it, 0 none
  bool held = false;       // maintenance holds back a newer state
  int32_t newest_sev = 0;  // the stream's newest severity (differs from severity while held)
  bool owned = false, operated = false;
};

struct alerts_page_t {
  std::vector<alert_row_t> rows;  // in order
  uint64_t matched = 0;           // rows after the cursor that pass the filters
  uint64_t streams = 0;           // streams looked at
};

// Reads the query of GET /alerts: account_id, severity (comma-separated), ruleset, check (a
// UUID), q, limit (1..1000, default 100), after (a cursor from "next"). False with *reason set
// for a value that cannot be used.
bool alerts_query_parse(const std::vector<std::pair<std::string, std::string>> &query,
                        alerts_query_t *out, const char **reason);
// The page of alerts for the query. Any thread holding no stream's lock.
alerts_page_t alerts_select(const alerts_query_t &query);
// {"alerts": [...], "count": n, "matched": m, "next": cursor or null, "streams": s}
std::string alerts_page_to_json(const alerts_page_t &page);
// The cursor text of a row ("<severity>.<since_ms>.<ecid>.<signature>").
std::string alerts_cursor(const alert_row_t &row);

// GET /alerts. Runs the selection as a job on "rulesets_fetch"; 400 for an unusable query.
int alerts_rest_get(tovi_http_rest_closure_t *restc, int npats, char **pats);
// Registers GET /alerts. Called by rules_mgr_init.
void alerts_rest_init();
