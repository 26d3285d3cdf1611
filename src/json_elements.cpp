// json_elements: syntax check and element-by-element parsing of a JSON array (see the header).
//
// The scanner is recursive descent over containers, bounded by json_elements_max_depth, so its
// stack is small and fixed. It runs twice over a body: once to check the whole document (and
// count elements), once to cut out each element, whose end it must find respecting strings and
// nesting. Scanning is a few ms per MiB; json-c's parse of the elements dominates.
#include "json_elements.h"

#include <malloc.h>

#include <cstring>

// jemalloc's control interface, when jemalloc is the process's allocator (queltd links it; the
// unit tests do not).
extern "C" int mallctl(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen)
    __attribute__((weak));

namespace {

struct scanner_t {
  std::string_view text;
  size_t pos = 0;
  const char *error = nullptr;
  bool out_of_range = false;  // an integer literal beyond the 64-bit ranges was seen
  size_t values = 0;

  bool at_end() const { return pos >= text.size(); }
  char peek() const { return text[pos]; }

  bool fail(const char *why) {
    if (!error) error = why;
    return false;
  }
  // The end of the text while a value is still open.
  bool fail_end() { return fail("unexpected end of data"); }

  void skip_ws() {
    while (pos < text.size()) {
      char c = text[pos];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      pos++;
    }
  }

  bool literal(const char *word, const char *expected) {
    size_t n = strlen(word);
    for (size_t i = 0; i < n; i++) {
      if (pos + i >= text.size()) return fail_end();
      if (text[pos + i] != word[i]) return fail(expected);
    }
    pos += n;
    return true;
  }

  static bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  bool string() {
    pos++;  // the opening quote
    while (true) {
      if (at_end()) return fail("quoted string not terminated");
      char c = text[pos++];
      if (c == '"') return true;
      if (c == '\0') return fail("invalid string sequence");
      if (c != '\\') continue;
      if (at_end()) return fail("quoted string not terminated");
      char e = text[pos++];
      if (e == 'u') {
        for (int i = 0; i < 4; i++) {
          if (at_end()) return fail("quoted string not terminated");
          if (!is_hex(text[pos++])) return fail("invalid string sequence");
        }
      } else if (!strchr("\"\\/bfnrt", e) || e == '\0') {
        return fail("invalid string sequence");
      }
    }
  }

  // Whether the digits (no sign, no leading zeros) exceed the limit's digits.
  static bool digits_exceed(std::string_view digits, std::string_view limit) {
    if (digits.size() != limit.size()) return digits.size() > limit.size();
    return digits > limit;
  }

  bool number() {
    size_t start = pos;
    bool negative = peek() == '-';
    if (negative) pos++;
    if (at_end()) return fail_end();
    size_t int_start = pos;
    if (peek() == '0') {
      pos++;
    } else if (peek() >= '1' && peek() <= '9') {
      while (!at_end() && peek() >= '0' && peek() <= '9')
        pos++;
    } else {
      return fail("number expected");
    }
    std::string_view int_digits = text.substr(int_start, pos - int_start);
    bool integer = true;
    if (!at_end() && peek() == '.') {
      integer = false;
      pos++;
      size_t d = pos;
      while (!at_end() && peek() >= '0' && peek() <= '9')
        pos++;
      if (pos == d) return at_end() ? fail_end() : fail("number expected");
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integer = false;
      pos++;
      if (!at_end() && (peek() == '+' || peek() == '-')) pos++;
      size_t d = pos;
      while (!at_end() && peek() >= '0' && peek() <= '9')
        pos++;
      if (pos == d) return at_end() ? fail_end() : fail("number expected");
    }
    if (integer &&
        digits_exceed(int_digits, negative ? "9223372036854775808" : "18446744073709551615"))
      out_of_range = true;
    (void)start;
    return true;
  }

  bool value(int depth) {
    skip_ws();
    if (at_end()) return fail_end();
    values++;
    switch (peek()) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1, nullptr);
      case '"':
        return string();
      case 't':
        return literal("true", "boolean expected");
      case 'f':
        return literal("false", "boolean expected");
      case 'n':
        return literal("null", "null expected");
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number();
        return fail("unexpected character");
    }
  }

  bool object(int depth) {
    if (depth > json_elements_max_depth) return fail("nesting too deep");
    pos++;
    skip_ws();
    if (at_end()) return fail_end();
    if (peek() == '}') {
      pos++;
      return true;
    }
    while (true) {
      skip_ws();
      if (at_end()) return fail_end();
      if (peek() != '"') return fail("object property name expected");
      if (!string()) return false;
      skip_ws();
      if (at_end()) return fail_end();
      if (peek() != ':') return fail("object property name separator ':' expected");
      pos++;
      if (!value(depth)) return false;
      skip_ws();
      if (at_end()) return fail_end();
      if (peek() == '}') {
        pos++;
        return true;
      }
      if (peek() != ',') return fail("object value separator ',' expected");
      pos++;
    }
  }

  // count (if given) receives the number of elements.
  bool array(int depth, size_t *count) {
    if (depth > json_elements_max_depth) return fail("nesting too deep");
    pos++;
    skip_ws();
    if (at_end()) return fail_end();
    if (peek() == ']') {
      pos++;
      return true;
    }
    size_t n = 0;
    while (true) {
      if (!value(depth)) return false;
      n++;
      skip_ws();
      if (at_end()) return fail_end();
      if (peek() == ']') {
        pos++;
        if (count) *count = n;
        return true;
      }
      if (peek() != ',') return fail("array value separator ',' expected");
      pos++;
    }
  }
};

// The element's text with every out-of-range integer literal made a floating-point one.
std::string widen_out_of_range_integers(std::string_view raw) {
  std::string out;
  out.reserve(raw.size() + 16);
  size_t i = 0;
  while (i < raw.size()) {
    char c = raw[i];
    if (c == '"') {
      // Copy the string whole, escapes included.
      size_t j = i + 1;
      while (j < raw.size() && raw[j] != '"')
        j += raw[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, raw.size());
      out.append(raw.substr(i, j - i));
      i = j;
      continue;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      scanner_t s{raw, i};
      if (s.number()) {
        out.append(raw.substr(i, s.pos - i));
        if (s.out_of_range) out.append(".0");
        i = s.pos;
        continue;
      }
    }
    out.push_back(c);
    i++;
  }
  return out;
}

json_object *parse_element(std::string_view raw) {
  json_tokener *tok = json_tokener_new_ex(json_elements_max_depth);
  if (!tok) return nullptr;
  // A bare number only ends at a delimiter: parse a NUL-terminated copy of scalars.
  std::string copy;
  if (raw.empty() || (raw[0] != '{' && raw[0] != '[')) {
    copy.assign(raw);
    raw = std::string_view(copy.c_str(), copy.size() + 1);
  }
  json_object *o = json_tokener_parse_ex(tok, raw.data(), int(raw.size()));
  if (json_tokener_get_error(tok) != json_tokener_success) {
    json_object_put(o);
    o = nullptr;
  }
  json_tokener_free(tok);
  return o;
}

}  // namespace

json_document_t json_document_check(std::string_view text) {
  json_document_t doc;
  scanner_t s{text};
  s.skip_ws();
  bool ok;
  if (!s.at_end() && s.peek() == '[') {
    doc.is_array = true;
    s.values++;
    ok = s.array(1, &doc.elements);
  } else {
    ok = s.value(0);
  }
  if (ok) {
    s.skip_ws();
    if (!s.at_end()) ok = s.fail("trailing data after the document");
  }
  doc.ok = ok;
  doc.values = s.values;
  if (!ok) {
    doc.is_array = false;
    doc.elements = 0;
    doc.error = s.error ? s.error : "unexpected character";
    doc.error_offset = s.pos;
  }
  return doc;
}

size_t json_elements_each(std::string_view text,
                          const std::function<void(std::string_view, json_object *)> &fn) {
  scanner_t s{text};
  s.skip_ws();
  if (s.at_end() || s.peek() != '[') return 0;
  s.pos++;
  size_t visited = 0;
  while (true) {
    s.skip_ws();
    if (s.at_end() || s.peek() == ']') return visited;
    size_t start = s.pos;
    s.out_of_range = false;
    if (!s.value(1)) return visited;
    std::string_view raw = text.substr(start, s.pos - start);
    json_object *element;
    if (raw.size() > json_elements_max_element) {
      element = nullptr;
    } else if (s.out_of_range) {
      std::string widened = widen_out_of_range_integers(raw);
      element = parse_element(widened);
    } else {
      element = parse_element(raw);
    }
    fn(raw, element);
    json_object_put(element);
    visited++;
    s.skip_ws();
    if (s.at_end() || s.peek() != ',') return visited;
    s.pos++;
  }
}

eventer_jobq_t *rest_loads_jobq(void) {
  // One body at a time: two large ones in parallel would only add their memory.
  static eventer_jobq_t *q = eventer_jobq_create_ms("rest_loads", EVENTER_JOBQ_MS_CS);
  return q;
}

void json_elements_give_back_memory(void) {
  if (mallctl) {
    // Every arena at once: MALLCTL_ARENAS_ALL is 4096.
    mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0);
    mallctl("arena.4096.purge", nullptr, nullptr, nullptr, 0);
    return;
  }
  malloc_trim(0);
}
