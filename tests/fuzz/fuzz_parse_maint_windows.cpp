// Maintenance window lists from REST bodies and the management API: any JSON document is taken,
// refused element by element, or refused whole; the counts stay consistent, and every window
// that is live afterwards writes JSON that reads back as an update changing nothing.
#include <json-c/json.h>

#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "maintenance.h"
#include "tovi/tovi_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_support::start_maintenance();
  json_object *doc = fuzz_support::parse_json(data, size);
  if (!doc) return 0;
  uint64_t hwm = 0;
  int errors = 0;
  int processed = parse_maint_windows_response(doc, &hwm, &errors);
  bool array = json_object_is_type(doc, json_type_array);
  size_t n = array ? json_object_array_length(doc) : 0;
  if (errors < 0 || processed < -1 || size_t(processed > 0 ? processed : 0) > n) __builtin_trap();
  if (processed == -1 && (array || errors != 1)) __builtin_trap();

  std::vector<uint64_t> ids;
  for (size_t i = 0; i < n; i++) {
    uint64_t id;
    if (get_kv_as_uint64(json_object_array_get_idx(doc, i), "maintenance_id", &id))
      ids.push_back(id);
  }
  json_object_put(doc);
  for (uint64_t id : ids) {
    json_object *again = json_object_new_array();
    {
      tovi_memory_scope_c bracket;
      if (json_object *w = maint_window_to_json(get_maint_window_by_id(id)))
        json_object_array_add(again, w);
    }
    if (json_object_array_length(again) == 1) {
      int again_errors = 0;
      if (parse_maint_windows_response(again, &hwm, &again_errors) != 1 || again_errors != 0)
        __builtin_trap();
    }
    json_object_put(again);
    maint_window_delete(id);
  }
  return 0;
}
