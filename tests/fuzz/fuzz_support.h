// What several fuzz targets share: reading the input as JSON, and the maintenance tables.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>

#include "maintenance.h"
#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"

namespace fuzz_support {

// The input as json-c reads a document (null when it does not); the caller puts it.
inline json_object *parse_json(const uint8_t *data, size_t size) {
  json_tokener *tok = json_tokener_new();
  json_object *doc = json_tokener_parse_ex(tok, reinterpret_cast<const char *>(data), int(size));
  json_tokener_free(tok);
  return doc;
}

// The maintenance tables on an empty configuration, with error lines off and nothing asked to
// re-evaluate. End timers are created but the loop never runs: no window ends by itself here.
// Once per process.
inline void start_maintenance() {
  static bool ready = [] {
    tovi_log_disable("error");
    if (!tovi_conf_load_string("<queltd/>", "fuzz") || eventer_init() != 0) __builtin_trap();
    maintenance_tables_init();
    maintenance_set_reevaluate(nullptr);
    return true;
  }();
  (void)ready;
}

}  // namespace fuzz_support
