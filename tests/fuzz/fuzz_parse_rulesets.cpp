// Ruleset definitions from the management API and REST bodies: any JSON document loads, is
// refused element by element, or is refused whole, and the counts stay consistent.
#include <json-c/json.h>

#include <cstdint>

#include "fuzz_support.h"
#include "rules/rules_mgr_internal.h"
#include "tovi/tovi_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    tovi_log_disable("error");
    rules_lookup_init(64);
    return true;
  }();
  (void)ready;
  json_object *doc = fuzz_support::parse_json(data, size);
  if (!doc) return 0;
  uint64_t high_water = 0;
  int errors = -1;
  int processed = parse_ruleset_response(doc, &high_water, &errors);
  size_t n = json_object_is_type(doc, json_type_array) ? json_object_array_length(doc) : 0;
  if (errors < 0 || processed < -1 || size_t(processed > 0 ? processed : 0) > n) __builtin_trap();
  if (processed == -1 && errors == 0) __builtin_trap();
  json_object_put(doc);
  return 0;
}
