// The API's broker list: any body must be read as a list of brokers or refused, logging what is
// wrong, and every text "cn" of an array element must then name a record.
#include <json-c/json.h>

#include <cstdint>
#include <cstring>

#include "brokers.h"
#include "fuzz_support.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    tovi_log_disable("error");
    tovi_log_disable("notice");
    brokers_set_max(100000);
    return true;
  }();
  (void)once;
  json_object *doc = fuzz_support::parse_json(data, size);
  tovi_memory_scope_c bracket;
  int n = brokers_apply_list(doc);
  check(n == (json_object_is_type(doc, json_type_array) ? int(json_object_array_length(doc)) : -1));
  for (int i = 0; i < n; i++) {
    json_object *cn = nullptr;
    json_object *el = json_object_array_get_idx(doc, size_t(i));
    if (el && json_object_is_type(el, json_type_object) &&
        json_object_object_get_ex(el, "cn", &cn) && json_object_is_type(cn, json_type_string) &&
        json_object_get_string_len(cn) > 0)
      check(getbroker(json_object_get_string(cn), size_t(json_object_get_string_len(cn))) !=
            nullptr);
  }
  json_object_put(doc);
  return 0;
}
