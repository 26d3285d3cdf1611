// Base64 (the standard alphabet, RFC 4648 section 4) for tag texts and tag-search literals.
//
// Encoding always pads with '='. Decoding accepts padded and unpadded text and rejects anything
// else: a byte outside the alphabet, padding in the middle, or a length that leaves a single
// character in the last group. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes that vask_base64_encode writes for n input bytes.
constexpr size_t vask_base64_encoded_len(size_t n) {
  return (n + 2) / 3 * 4;
}
// An upper bound of the bytes that vask_base64_decode writes for n input characters.
constexpr size_t vask_base64_decoded_max(size_t n) {
  return n / 4 * 3 + 3;
}

// Writes the encoding of in[0, n) to out (vask_base64_encoded_len(n) bytes, no terminator) and
// returns the number of bytes written.
size_t vask_base64_encode(const void *in, size_t n, char *out);
void vask_base64_encode_append(const void *in, size_t n, std::string *out);

// Decodes in[0, n) into out, which must hold vask_base64_decoded_max(n) bytes. Returns the
// number of bytes decoded, or -1 when the text is not base64.
long vask_base64_decode(const char *in, size_t n, uint8_t *out);
// Appends the decoded bytes to out; false (out unchanged) when the text is not base64.
bool vask_base64_decode_append(const char *in, size_t n, std::string *out);
// Whether c belongs to the alphabet (padding excluded).
bool vask_base64_is_alphabet(unsigned char c);
