// Canonical metric names: any input is canonicalised or refused, and a canonical name is a fixed
// point of canonicalisation.
#include <cstdint>
#include <cstring>

#include "vask/vask_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static char once[4096], twice[4096];
  const char *in = reinterpret_cast<const char *>(data);
  int n = vask_metric_canonicalize(in, size, once, sizeof once, true);
  if (n <= 0) return 0;
  if (once[n] != '\0') __builtin_trap();
  int again = vask_metric_canonicalize(once, static_cast<size_t>(n), twice, sizeof twice, false);
  if (again != n || std::memcmp(once, twice, static_cast<size_t>(n)) != 0) __builtin_trap();
  return 0;
}
