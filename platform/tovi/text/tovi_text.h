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

// Bytes that are not UTF-8. The daemon writes whatever bytes its input held (metric names, tags,
// texts, hosts), and a single invalid byte would make a whole alert or REST reply unreadable for
// a strict consumer. Every JSON text it writes therefore goes through these helpers: each byte
// that does not belong to a well-formed UTF-8 sequence (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF, no cut sequence) is written as the JSON escape of a lone
// low surrogate, \udc80 to \udcff for the bytes 0x80 to 0xff (the "surrogateescape"
// convention). Valid UTF-8 never yields such an escape, so text that was valid stays byte for
// byte as it was, the output is plain ASCII where it changed, and a consumer gets the original
// bytes back by mapping U+DC80..U+DCFF to 0x80..0xff (Python: .encode("utf-8",
// "surrogateescape")). Any thread.

// Length of the well-formed UTF-8 sequence at the start of p (n bytes available), 0 when the
// first byte does not start one.
inline size_t tovi_utf8_sequence(const unsigned char *p, size_t n) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  auto cont = [&](size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
  if (c < 0xC2) return 0;
  if (c < 0xE0) return cont(1) ? 2 : 0;
  if (c < 0xF0) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (c == 0xED && p[1] >= 0xA0) return 0;  // a surrogate
    return 3;
  }
  if (c < 0xF5) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (c == 0xF4 && p[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

// Offset of the first byte that is not part of well-formed UTF-8; text.size() when there is none.
inline size_t tovi_utf8_invalid_at(std::string_view text) {
  auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t i = 0, n = text.size();
  while (i < n) {
    if (p[i] < 0x80) {
      i++;
      continue;
    }
    size_t len = tovi_utf8_sequence(p + i, n - i);
    if (len == 0) return i;
    i += len;
  }
  return n;
}

inline void tovi_json_byte_escape_into(std::string *out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  out->append("\\udc");
  out->push_back(hex[c >> 4]);
  out->push_back(hex[c & 15]);
}

// A JSON text (as json-c or anyone else wrote it) with every byte that is not UTF-8 escaped as
// above. Such bytes only occur inside strings (the structure is ASCII), where the escape is
// valid. Returns false, leaving *out alone, when the text is valid UTF-8 already.
inline bool tovi_json_utf8_repair(std::string_view json, std::string *out) {
  size_t bad = tovi_utf8_invalid_at(json);
  if (bad == json.size()) return false;
  out->clear();
  out->reserve(json.size() + 16);
  out->append(json.substr(0, bad));
  auto *p = reinterpret_cast<const unsigned char *>(json.data());
  size_t i = bad, n = json.size();
  while (i < n) {
    size_t len = p[i] < 0x80 ? 1 : tovi_utf8_sequence(p + i, n - i);
    if (len == 0) {
      tovi_json_byte_escape_into(out, p[i]);
      i++;
    } else {
      out->append(json.substr(i, len));
      i += len;
    }
  }
  return true;
}

// The same, as a new string (the text itself when nothing needed escaping).
inline std::string tovi_json_utf8_safe(std::string_view json) {
  std::string fixed;
  if (tovi_json_utf8_repair(json, &fixed)) return fixed;
  return std::string(json);
}

// Reverses the escape for a text a consumer sends back (a stream signature to clear): both the
// six characters \udcXX as they stand in the JSON text and the lone surrogate U+DC80..U+DCFF
// encoded as UTF-8 by a consumer that decoded the JSON (ED B2 80 .. ED B3 BF) become the byte
// 0xXX. Returns false, leaving *out alone, when the text holds neither.
inline bool tovi_json_byte_unescape(std::string_view text, std::string *out) {
  auto hexval = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string result;
  bool changed = false;
  size_t i = 0, n = text.size();
  while (i < n) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' && i + 5 < n && text[i + 1] == 'u' &&
        (text[i + 2] == 'd' || text[i + 2] == 'D') && (text[i + 3] == 'c' || text[i + 3] == 'C')) {
      int hi = hexval(text[i + 4]), lo = hexval(text[i + 5]);
      if (hi >= 8 && lo >= 0) {
        result.push_back(static_cast<char>(hi * 16 + lo));
        i += 6;
        changed = true;
        continue;
      }
    }
    if (c == 0xED && i + 2 < n) {
      auto b1 = static_cast<unsigned char>(text[i + 1]),
           b2 = static_cast<unsigned char>(text[i + 2]);
      if ((b1 == 0xB2 || b1 == 0xB3) && (b2 & 0xC0) == 0x80) {
        // U+DC80 + k is ED (B2 | k >> 6) (80 | k & 63) for k < 128.
        result.push_back(static_cast<char>(0x80 + ((b1 & 1) << 6) + (b2 & 0x3F)));
        i += 3;
        changed = true;
        continue;
      }
    }
    result.push_back(static_cast<char>(c));
    i++;
  }
  if (!changed) return false;
  *out = std::move(result);
  return true;
}

// Appends the text as a JSON string, quotes included: quote, backslash and control bytes
// escaped, bytes that are not UTF-8 escaped as above, every other byte as it is. Any thread.
inline void tovi_json_escape_into(std::string *out, std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  out->push_back('"');
  auto *p = reinterpret_cast<const unsigned char *>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n; i++) {
    unsigned char c = p[i];
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
        } else if (c < 0x80) {
          out->push_back(static_cast<char>(c));
        } else if (size_t len = tovi_utf8_sequence(p + i, n - i)) {
          out->append(text.substr(i, len));
          i += len - 1;
        } else {
          tovi_json_byte_escape_into(out, c);
        }
    }
  }
  out->push_back('"');
}
