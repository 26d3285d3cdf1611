#include "config_handlers.h"

#include <cstdio>
#include <string>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_main.h"

namespace {

const char *config_app_name = "queltd";

}  // namespace

int quelt_rest_show_config(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  // "/config/orvane/api" captures "/orvane/api", the section path "orvane/api"; plain "/config"
  // captures nothing and shows the application's root section. Only section paths are looked
  // up, never an expression from the client.
  const char *path = npats > 0 && pats[0][0] == '/' ? pats[0] + 1 : config_app_name;

  tovi_conf_section_read_hold();
  tovi_conf_section_t section = tovi_conf_get_section_by_path(path);
  std::string xml = section ? tovi_conf_section_to_xml(section) : std::string();
  tovi_conf_section_read_release();

  if (xml.empty()) {
    tovi_http_response_standard(restc, 404, "NOT FOUND", "text/xml");
  } else {
    tovi_http_response_ok(restc, "text/xml");
    tovi_http_response_append_str(restc, xml);
  }
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

void quelt_rest_register_handlers(const char *app_name) {
  if (app_name) config_app_name = app_name;
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^config(/.*)?$", quelt_rest_show_config,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^(.*)$", tovi_http_rest_simple_file_handler,
                                           tovi_http_rest_client_cert_auth) == 0);
}
