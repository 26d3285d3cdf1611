#include "tovi/tovi_uuid.h"

#include <array>

namespace {

// -1 for a character that is not a hex digit.
constexpr std::array<int8_t, 256> hex_table = [] {
  std::array<int8_t, 256> t{};
  for (auto &v : t)
    v = -1;
  for (int c = '0'; c <= '9'; c++)
    t[c] = static_cast<int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; c++)
    t[c] = static_cast<int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; c++)
    t[c] = static_cast<int8_t>(c - 'A' + 10);
  return t;
}();

}  // namespace

bool tovi_uuid_parse(const char *text, size_t len, uint8_t out[16]) {
  if (!text || len != 36) return false;
  int o = 0;
  for (int i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      i++;
      continue;
    }
    int hi = hex_table[static_cast<unsigned char>(text[i])];
    int lo = hex_table[static_cast<unsigned char>(text[i + 1])];
    if (hi < 0 || lo < 0) return false;
    out[o++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return true;
}

void tovi_uuid_unparse(const uint8_t id[16], char out[37]) {
  static const char hex[] = "0123456789abcdef";
  int o = 0;
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = hex[id[i] >> 4];
    out[o++] = hex[id[i] & 15];
  }
  out[o] = '\0';
}
