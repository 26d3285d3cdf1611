// The JSON text helpers on any bytes: the escape of a text is valid UTF-8 and maps back to the
// text; json-c's text of the same bytes, repaired, says the same; and undoing the escapes of a
// text a consumer sends back (the clear-alert signature) never reads past its end and gives
// back the bytes an escape stood for.
#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "tovi/tovi_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  std::string escaped;
  tovi_json_escape_into(&escaped, in);
  if (tovi_utf8_invalid_at(escaped) != escaped.size()) __builtin_trap();
  // The escaped text without its quotes, sent back as the JSON text holds it: for a text that
  // has no quote, backslash or control byte, that is the text again.
  bool plain = true;
  for (unsigned char c : in)
    if (c < 0x20 || c == '"' || c == '\\') plain = false;
  if (plain) {
    std::string back;
    std::string_view body(escaped.data() + 1, escaped.size() - 2);
    if (tovi_json_byte_unescape(body, &back)) {
      if (back != in) __builtin_trap();
    } else if (body != in) {
      __builtin_trap();
    }
  }
  json_object *o = json_object_new_string_len(in.data(), int(in.size()));
  std::string via = tovi_json_utf8_safe(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN));
  json_object_put(o);
  if (tovi_utf8_invalid_at(via) != via.size()) __builtin_trap();
  // Parsed back by json-c, the repaired text is a string (the escapes are valid JSON).
  json_object *parsed = json_tokener_parse(via.c_str());
  if (!parsed || !json_object_is_type(parsed, json_type_string)) __builtin_trap();
  json_object_put(parsed);
  std::string out;
  tovi_json_byte_unescape(in, &out);
  return 0;
}
