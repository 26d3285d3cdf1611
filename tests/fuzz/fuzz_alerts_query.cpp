// The query of GET /alerts: any query string is read or refused with a reason, a usable one keeps
// its limit within bounds, and a cursor read from it comes back whole when written again.
#include <cstdint>
#include <string>
#include <string_view>

#include "rules/alerts_rest_internal.h"
#include "tovi/tovi_http.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  alerts_query_t q;
  const char *reason = nullptr;
  bool ok = alerts_query_parse(tovi_http_parse_query(text), &q, &reason);
  check(ok || (reason && *reason));
  if (!ok) return 0;
  check(q.limit >= 1 && q.limit <= 1000);
  check(q.severities.size() <= 64);
  if (q.has_after) {
    alert_row_t row;
    row.severity = q.after_sev;
    row.since_ms = q.after_since_ms;
    row.event_criteria_id = q.after_ecid;
    row.signature = q.after_signature;
    alerts_query_t again;
    const char *why = nullptr;
    check(alerts_query_parse({{"after", alerts_cursor(row)}}, &again, &why));
    check(again.after_sev == q.after_sev && again.after_since_ms == q.after_since_ms &&
          again.after_ecid == q.after_ecid && again.after_signature == q.after_signature);
  }
  return 0;
}
