// Small text helpers shared by the daemon's parsers of outside input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Whether the whole text is a decimal number that fits 64 bits: digits only (no sign, no space,
// not empty), no overflow. Stores it in *out when it is. Any thread.
inline bool tovi_decimal_u64(std::string_view text, uint64_t *out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t d = uint64_t(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

// Appends the text as a JSON string, quotes included: quote, backslash and control bytes
// escaped, every other byte as it is (the text is taken to be UTF-8). Any thread.
inline void tovi_json_escape_into(std::string *out, std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  out->push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20) {
          out->append("\\u00");
          out->push_back(hex[c >> 4]);
          out->push_back(hex[c & 15]);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}
