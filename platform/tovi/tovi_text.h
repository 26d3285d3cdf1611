// Small text helpers shared by the daemon's parsers of outside input.
#pragma once

#include <cstdint>
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
