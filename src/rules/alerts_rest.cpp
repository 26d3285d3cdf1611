// GET /alerts: the raised rule streams, filtered, ordered and paged (see alerts_rest.h).
#include "rules/alerts_rest_internal.h"

#include <json-c/json.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <queue>
#include <string_view>
#include <tuple>

#include "brokers.h"
#include "metrics.h"
#include "rest_load.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "tovi/eventer.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_sync.h"
#include "tovi/tovi_text.h"
#include "tovi/tovi_uuid.h"

namespace {

constexpr size_t max_limit = 1000;

// The order of the rows: severity, age, ruleset, signature.
struct row_key_t {
  int32_t sev;
  uint64_t since_ms;
  uint64_t ecid;
  std::string_view signature;
  auto tie() const { return std::tie(sev, since_ms, ecid, signature); }
  bool operator<(const row_key_t &o) const { return tie() < o.tie(); }
};

row_key_t key_of(const alert_row_t &r) {
  return {r.severity, r.since_ms, r.event_criteria_id, r.signature};
}

struct row_less_t {
  bool operator()(const alert_row_t &a, const alert_row_t &b) const {
    return key_of(a) < key_of(b);
  }
};

inline unsigned char lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

// ASCII case-insensitive substring test; `needle` is already lower case. Most positions fail on
// the first byte, so the rest is compared only where it matches.
bool contains_nocase(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > hay.size()) return false;
  const unsigned char first = static_cast<unsigned char>(needle[0]);
  const size_t last = hay.size() - needle.size();
  for (size_t i = 0; i <= last; i++) {
    if (lower(static_cast<unsigned char>(hay[i])) != first) continue;
    size_t j = 1;
    while (j < needle.size() &&
           lower(static_cast<unsigned char>(hay[i + j])) == static_cast<unsigned char>(needle[j]))
      j++;
    if (j == needle.size()) return true;
  }
  return false;
}

bool parse_i32(std::string_view text, int32_t *out) {
  bool neg = !text.empty() && text[0] == '-';
  uint64_t v = 0;
  if (!tovi_decimal_u64(neg ? text.substr(1) : text, &v) || v > uint64_t(INT32_MAX)) return false;
  *out = neg ? -int32_t(v) : int32_t(v);
  return true;
}

// Copies the value announced with the stream's last notification: the announced rule's observed
// value, or the stream's last value when no rule was announced. Under the stream's lock.
void copy_value(rulestream_c &s, const ruleset_t &r, alert_row_t *row) {
  int8_t rule = row->rule;
  if (rule >= 0 && rule < r.nrules && rule < s.nrules_impl()) {
    row->criterion = r.rules[size_t(rule)].rule_type;
    if (row->criterion >= RULEC_NUMERIC_MIN && row->criterion <= RULEC_HISTOGRAM_Q_MAX) {
      double v = s.rule_impl(rule).numeric.last_observed_value;
      if (std::isfinite(v)) row->value = v;
    } else if (row->criterion >= RULEC_TEXT_MATCH && row->criterion <= RULEC_TEXT_CHANGE) {
      if (const char *t = s.rule_impl(rule).text.last_observed_value.load()) row->value = t;
    }
    return;
  }
  json_object *o = json_object_new_object();
  s.append_last_value_to_json(o);
  json_object *v = nullptr;
  if (json_object_object_get_ex(o, "value", &v) && v) {
    if (json_object_is_type(v, json_type_string))
      row->value = std::string(json_object_get_string(v));
    else if (json_object_is_type(v, json_type_double) || json_object_is_type(v, json_type_int))
      row->value = json_object_get_double(v);
  }
  json_object_put(o);
}

class selection_c {
 public:
  explicit selection_c(const alerts_query_t &q) : _q(q) {}

  void scan_ruleset(const ruleset_sp &r) {
    if (_q.has_account && r->account_id != _q.account_id) return;
    if (_q.has_ruleset && r->event_criteria_id != _q.ruleset) return;
    r->signature_to_stream.read_op([&](const signature_to_stream_map_t &table) {
      // Streams lie scattered in memory and most are passed by after a look at two fields: the
      // walk asks for a batch of them at once, then looks, so that the fetches overlap.
      constexpr size_t batch = 16;
      rulestream_c *pending[batch];
      size_t n = 0;
      for (const auto &entry : table) {
        rulestream_c *s = entry.second.get();
        s->prefetch_for_listing();
        __builtin_prefetch(&s->_last_notified_time_ms);
        pending[n++] = s;
        if (n == batch) {
          for (size_t i = 0; i < n; i++)
            consider(*r, *pending[i]);
          n = 0;
        }
      }
      for (size_t i = 0; i < n; i++)
        consider(*r, *pending[i]);
      return 0;
    });
  }

  alerts_page_t finish() {
    alerts_page_t page;
    page.matched = _matched;
    page.streams = _streams;
    page.rows.resize(_heap.size());
    for (size_t i = _heap.size(); i > 0; i--) {
      page.rows[i - 1] = std::move(const_cast<alert_row_t &>(_heap.top()));
      _heap.pop();
    }
    // Ownership is the ruleset's, asked once per row of the page only.
    for (alert_row_t &row : page.rows) {
      ruleset_sp r = get_ruleset_by_id(row.event_criteria_id);
      if (!r) continue;
      const char *name = r->metric_name ? r->metric_name : "";
      row.owned = metrics_do_i_own(r->account_id, r->check_uuid, name, -1, nullptr);
      row.operated = metrics_am_i_responsible(r->account_id, r->check_uuid, name, -1);
    }
    return page;
  }

 private:
  void consider(const ruleset_t &r, rulestream_c &s) {
    _streams++;
    // A stream whose newest severity is clear has announced a clear (clears are never held
    // back) or nothing at all: no lock needed to pass it by.
    if (s.published_sev() == RULE_SEV_CLEAR) return;
    std::string_view sig = s.get_signature();
    if (_q.has_check && memcmp(s.check_uuid(), _q.check_uuid, 16) != 0) return;
    if (!_q.q.empty() && !contains_nocase(sig, _q.q)) return;

    tovi_lock_guard_c<tovi_recursive_mutex_c> hold(s.data_mutex());
    if (s._last_notified_time_ms == 0 || s._last_notified_sev == RULE_SEV_CLEAR) return;
    row_key_t key{s._last_notified_sev, s._last_notified_time_ms, r.event_criteria_id, sig};
    if (!_q.severities.empty()) {
      bool wanted = false;
      for (int32_t v : _q.severities)
        wanted = wanted || v == key.sev;
      if (!wanted) return;
    }
    if (_q.has_after &&
        !(row_key_t{_q.after_sev, _q.after_since_ms, _q.after_ecid, _q.after_signature} < key))
      return;
    _matched++;
    if (_heap.size() >= _q.limit && !(key < key_of(_heap.top()))) return;

    alert_row_t row;
    row.severity = key.sev;
    row.since_ms = key.since_ms;
    row.event_criteria_id = r.event_criteria_id;
    row.signature.assign(sig);
    row.account_id = r.account_id;
    memcpy(row.check_uuid, s.check_uuid(), 16);
    row.host = s._host;
    row.broker = s._broker;
    row.rule = s._last_notified_rule;
    row.ancestor = s._last_notified_progeny;
    row.held = s._was_in_maintenance;
    row.newest_sev = s.get_last_sev();
    copy_value(s, r, &row);
    if (_heap.size() >= _q.limit) _heap.pop();
    _heap.push(std::move(row));
  }

  const alerts_query_t &_q;
  std::priority_queue<alert_row_t, std::vector<alert_row_t>, row_less_t> _heap;
  uint64_t _matched = 0;
  uint64_t _streams = 0;
};

void append_u64(std::string *out, uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "%llu", (unsigned long long)v);
  *out += buf;
}

void append_i64(std::string *out, int64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "%lld", (long long)v);
  *out += buf;
}

void append_row(std::string *out, const alert_row_t &row) {
  std::string_view sig = row.signature;
  // "<uuid>`<name>|ST[<tags>]": the name starts at 37 and ends at the stream-tag part.
  std::string_view name = sig.size() > 37 ? sig.substr(37) : std::string_view();
  std::string_view tags;
  size_t st = name.rfind("|ST[");
  if (st != std::string_view::npos) {
    tags = name.substr(st + 4);
    if (!tags.empty() && tags.back() == ']') tags.remove_suffix(1);
    name = name.substr(0, st);
  }
  char uuid[37];
  tovi_uuid_unparse(row.check_uuid, uuid);

  *out += "{\"event_criteria_id\": ";
  append_u64(out, row.event_criteria_id);
  *out += ", \"account_id\": ";
  append_u64(out, row.account_id);
  *out += ", \"check_uuid\": ";
  tovi_json_escape_into(out, uuid);
  *out += ", \"name\": ";
  tovi_json_escape_into(out, name);
  *out += ", \"stream_tags\": ";
  tovi_json_escape_into(out, tags);
  *out += ", \"signature\": ";
  tovi_json_escape_into(out, sig);
  *out += ", \"host\": ";
  if (row.host.empty())
    *out += "null";
  else
    tovi_json_escape_into(out, row.host);
  *out += ", \"broker\": ";
  const char *bname = nullptr;
  size_t blen = 0;
  if (row.broker && broker_name(row.broker, &bname, &blen) == 0 && bname)
    tovi_json_escape_into(out, std::string_view(bname, blen));
  else
    *out += "null";
  *out += ", \"severity\": ";
  append_i64(out, row.severity);
  *out += ", \"since_ms\": ";
  append_u64(out, row.since_ms);
  *out += ", \"rule\": ";
  append_i64(out, row.rule);
  *out += ", \"criteria\": ";
  if (row.criterion == RULEC_UNKNOWN)
    *out += "null";
  else
    tovi_json_escape_into(out, rule_criteria_name(row.criterion));
  *out += ", \"value\": ";
  if (const double *d = std::get_if<double>(&row.value)) {
    json_object *n = json_object_new_double(*d);
    *out += json_object_to_json_string_ext(n, JSON_C_TO_STRING_PLAIN);
    json_object_put(n);
  } else if (const std::string *t = std::get_if<std::string>(&row.value)) {
    tovi_json_escape_into(out, *t);
  } else {
    *out += "null";
  }
  *out += ", \"ancestor_event_criteria_id\": ";
  if (row.ancestor)
    append_u64(out, row.ancestor);
  else
    *out += "null";
  *out += ", \"held_by_maintenance\": ";
  *out += row.held ? "true" : "false";
  *out += ", \"newest_severity\": ";
  if (row.newest_sev == RULE_SEV_CLEAR)
    *out += "null";
  else
    append_i64(out, row.newest_sev);
  *out += ", \"owned\": ";
  *out += row.owned ? "true" : "false";
  *out += ", \"operated\": ";
  *out += row.operated ? "true" : "false";
  *out += "}";
}

}  // namespace

bool alerts_query_parse(const std::vector<std::pair<std::string, std::string>> &query,
                        alerts_query_t *out, const char **reason) {
  for (const auto &[name, value] : query) {
    if (name == "account_id") {
      out->has_account = tovi_decimal_u64(value, &out->account_id);
      if (!out->has_account) return *reason = "account_id is not a number", false;
    } else if (name == "ruleset") {
      out->has_ruleset = tovi_decimal_u64(value, &out->ruleset);
      if (!out->has_ruleset) return *reason = "ruleset is not a number", false;
    } else if (name == "check") {
      out->has_check = tovi_uuid_parse(value.c_str(), value.size(), out->check_uuid);
      if (!out->has_check) return *reason = "check is not a UUID", false;
    } else if (name == "severity") {
      std::string_view rest = value;
      while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view piece = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (piece.empty()) continue;
        int32_t sev;
        if (!parse_i32(piece, &sev) || out->severities.size() >= 64)
          return *reason = "severity is not a list of numbers", false;
        out->severities.push_back(sev);
      }
    } else if (name == "q") {
      if (value.size() > 1024) return *reason = "q is too long", false;
      out->q = value;
      for (char &c : out->q)
        c = char(lower(static_cast<unsigned char>(c)));
    } else if (name == "limit") {
      uint64_t n = 0;
      if (!tovi_decimal_u64(value, &n) || n < 1 || n > max_limit)
        return *reason = "limit must be a number from 1 to 1000", false;
      out->limit = size_t(n);
    } else if (name == "after") {
      // "<severity>.<since_ms>.<ecid>.<signature>"
      std::string_view c = value;
      size_t a = c.find('.');
      size_t b = a == std::string_view::npos ? a : c.find('.', a + 1);
      size_t d = b == std::string_view::npos ? b : c.find('.', b + 1);
      if (d == std::string_view::npos || !parse_i32(c.substr(0, a), &out->after_sev) ||
          !tovi_decimal_u64(c.substr(a + 1, b - a - 1), &out->after_since_ms) ||
          !tovi_decimal_u64(c.substr(b + 1, d - b - 1), &out->after_ecid))
        return *reason = "after is not a cursor of this listing", false;
      out->after_signature.assign(c.substr(d + 1));
      out->has_after = true;
    }
  }
  return true;
}

alerts_page_t alerts_select(const alerts_query_t &query) {
  selection_c sel(query);
  tovi_memory_scope_c bracket;
  if (query.has_ruleset) {
    if (ruleset_sp r = get_ruleset_by_id(query.ruleset)) sel.scan_ruleset(r);
  } else if (ruleset_mgr) {
    ruleset_mgr->iterate([&sel](uint64_t, const ruleset_sp &r) { sel.scan_ruleset(r); });
  }
  return sel.finish();
}

std::string alerts_cursor(const alert_row_t &row) {
  std::string c = std::to_string(row.severity);
  c += '.';
  c += std::to_string(row.since_ms);
  c += '.';
  c += std::to_string(row.event_criteria_id);
  c += '.';
  c += row.signature;
  return c;
}

std::string alerts_page_to_json(const alerts_page_t &page) {
  std::string out = "{\"alerts\": [";
  for (size_t i = 0; i < page.rows.size(); i++) {
    if (i) out += ",";
    out += "\n";
    append_row(&out, page.rows[i]);
  }
  out += "],\n\"count\": ";
  append_u64(&out, page.rows.size());
  out += ", \"matched\": ";
  append_u64(&out, page.matched);
  out += ", \"streams\": ";
  append_u64(&out, page.streams);
  out += ", \"next\": ";
  if (page.matched > page.rows.size() && !page.rows.empty())
    tovi_json_escape_into(&out, alerts_cursor(page.rows.back()));
  else
    out += "null";
  out += "}\n";
  return out;
}

int alerts_rest_get(tovi_http_rest_closure_t *restc, int, char **) {
  alerts_query_t query;
  const char *reason = nullptr;
  if (!alerts_query_parse(tovi_http_request_query(restc), &query, &reason)) {
    tovi_http_response_json_error(restc, 400, "Bad Request", reason);
    return TOVI_HTTP_DONE;
  }
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_header_set(restc, "Cache-Control", "no-store");
  return rest_load_answer_from_job(restc, rulesets_fetch_jobq,
                                   [query] { return alerts_page_to_json(alerts_select(query)); });
}

void alerts_rest_init() {
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^alerts$", alerts_rest_get,
                                           tovi_http_rest_client_cert_auth) == 0);
}
