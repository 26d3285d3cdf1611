#include "probes.h"

#include <atomic>
#include <string>

#include "maintenance.h"
#include "quelt_version.h"
#include "rules/rules.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_text.h"

namespace {

std::atomic<bool> started{false};

void reply(tovi_http_rest_closure_t *restc, int code, const char *status, const std::string &body) {
  tovi_http_response_standard(restc, code, status, "application/json");
  tovi_http_response_header_set(restc, "Cache-Control", "no-store");
  tovi_http_response_append_str(restc, body);
  tovi_http_response_end(restc);
}

int health_get(tovi_http_rest_closure_t *restc, int, char **) {
  reply(restc, 200, "OK", "{\"alive\": true}\n");
  return TOVI_HTTP_DONE;
}

int ready_get(tovi_http_rest_closure_t *restc, int, char **) {
  std::vector<std::string> reasons = probes_not_ready_reasons();
  if (reasons.empty()) {
    reply(restc, 200, "OK", "{\"ready\": true}\n");
    return TOVI_HTTP_DONE;
  }
  std::string body = "{\"ready\": false, \"reasons\": [";
  for (size_t i = 0; i < reasons.size(); i++) {
    if (i) body += ", ";
    tovi_json_escape_into(&body, reasons[i]);
  }
  body += "]}\n";
  reply(restc, 503, "SERVICE UNAVAILABLE", body);
  return TOVI_HTTP_DONE;
}

int version_get(tovi_http_rest_closure_t *restc, int, char **) {
  char version[256];
  quelt_build_version(version, sizeof version);
  std::string body = "{\"version\": ";
  tovi_json_escape_into(&body, version);
  body += "}\n";
  reply(restc, 200, "OK", body);
  return TOVI_HTTP_DONE;
}

}  // namespace

std::vector<std::string> probes_not_ready_reasons() {
  std::vector<std::string> reasons;
  if (!started.load(std::memory_order_acquire)) reasons.push_back("starting");
  tovi_amqp_stats_t bus = tovi_amqp_get_stats(-1);
  if (!tovi_amqp_running() || bus.connected == 0) reasons.push_back("bus not connected");
  if (rulesets_are_loading.load(std::memory_order_acquire)) reasons.push_back("rulesets loading");
  if (maint_windows_are_loading.load(std::memory_order_acquire))
    reasons.push_back("maintenance windows loading");
  return reasons;
}

void probes_mark_started() {
  started.store(true, std::memory_order_release);
}

void probes_init() {
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^health$", health_get,
                                           tovi_http_rest_probe_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^ready$", ready_get,
                                           tovi_http_rest_probe_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^version$", version_get,
                                           tovi_http_rest_client_cert_auth) == 0);
}
