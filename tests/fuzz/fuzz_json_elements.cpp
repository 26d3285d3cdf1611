// The syntax check and element splitter of REST bodies and API pages: any bytes are checked
// without a crash; a text found to be an array is cut into exactly as many elements as the check
// counted, and a whole parse by json-c agrees on the count.
#include <json-c/json.h>

#include <cstdint>
#include <string_view>

#include "json_elements.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  json_document_t doc = json_document_check(text);
  if (doc.ok != (doc.error == nullptr)) __builtin_trap();
  if (!doc.ok || !doc.is_array) return 0;
  size_t objects = 0;
  size_t visited = json_elements_each(text, [&](std::string_view raw, json_object *el) {
    if (raw.empty() || raw.data() < text.data() || raw.data() + raw.size() > text.data() + size)
      __builtin_trap();
    if (el) objects++;
  });
  if (visited != doc.elements) __builtin_trap();
  json_tokener *tok = json_tokener_new();
  json_object *whole = json_tokener_parse_ex(tok, text.data(), int(size));
  if (whole && json_object_is_type(whole, json_type_array) &&
      json_object_array_length(whole) != doc.elements)
    __builtin_trap();
  json_object_put(whole);
  json_tokener_free(tok);
  (void)objects;
  return 0;
}
