#include "vask/vask_base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct decode_table_t {
  int8_t v[256];
  constexpr decode_table_t() : v() {
    for (int i = 0; i < 256; i++)
      v[i] = -1;
    for (int i = 0; i < 64; i++)
      v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
};
constexpr decode_table_t kDecode;

}  // namespace

bool vask_base64_is_alphabet(unsigned char c) {
  return kDecode.v[c] >= 0;
}

size_t vask_base64_encode(const void *in, size_t n, char *out) {
  const uint8_t *p = static_cast<const uint8_t *>(in);
  char *o = out;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t w = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
    *o++ = kAlphabet[(w >> 18) & 63];
    *o++ = kAlphabet[(w >> 12) & 63];
    *o++ = kAlphabet[(w >> 6) & 63];
    *o++ = kAlphabet[w & 63];
  }
  if (n - i == 1) {
    uint32_t w = uint32_t(p[i]) << 16;
    *o++ = kAlphabet[(w >> 18) & 63];
    *o++ = kAlphabet[(w >> 12) & 63];
    *o++ = '=';
    *o++ = '=';
  } else if (n - i == 2) {
    uint32_t w = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
    *o++ = kAlphabet[(w >> 18) & 63];
    *o++ = kAlphabet[(w >> 12) & 63];
    *o++ = kAlphabet[(w >> 6) & 63];
    *o++ = '=';
  }
  return static_cast<size_t>(o - out);
}

void vask_base64_encode_append(const void *in, size_t n, std::string *out) {
  size_t at = out->size();
  out->resize(at + vask_base64_encoded_len(n));
  vask_base64_encode(in, n, out->data() + at);
}

long vask_base64_decode(const char *in, size_t n, uint8_t *out) {
  // Padding may only close the text: strip it (at most two) and decode the rest unpadded.
  size_t pad = 0;
  while (pad < 2 && n > 0 && in[n - 1] == '=') {
    n--;
    pad++;
  }
  if (pad && (n + pad) % 4 != 0) return -1;
  if (n % 4 == 1) return -1;
  uint8_t *o = out;
  uint32_t w = 0;
  int bits = 0;
  for (size_t i = 0; i < n; i++) {
    int v = kDecode.v[static_cast<unsigned char>(in[i])];
    if (v < 0) return -1;
    w = (w << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *o++ = static_cast<uint8_t>(w >> bits);
    }
  }
  return static_cast<long>(o - out);
}

bool vask_base64_decode_append(const char *in, size_t n, std::string *out) {
  size_t at = out->size();
  out->resize(at + vask_base64_decoded_max(n));
  long got = vask_base64_decode(in, n, reinterpret_cast<uint8_t *>(out->data() + at));
  if (got < 0) {
    out->resize(at);
    return false;
  }
  out->resize(at + static_cast<size_t>(got));
  return true;
}
