// Feeds arbitrary bytes to the histogram decoders, binary and base64. Whatever decodes must
// serialise back to exactly the bytes it was read from (the encoding is canonical), and the
// histogram must be usable.
#include "llhist/llhist.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  hist_t *h = nullptr;
  ssize_t used = hist_deserialize(&h, data, size);
  if (used > 0) {
    if (size_t(used) > size) std::abort();
    std::vector<uint8_t> again(hist_serialize_estimate(h));
    if (hist_serialize(h, again.data(), again.size()) != used) std::abort();
    if (std::memcmp(again.data(), data, again.size()) != 0) std::abort();
    const double q[] = {0, 0.5, 0.99, 1};
    double out[4];
    hist_approx_quantile(h, q, 4, out);
    hist_t *copy = hist_clone(h);
    const hist_t *src[] = {h};
    hist_accumulate(copy, src, 1);
    // Doubling saturates bins beyond 2^63, and then the difference cannot come back.
    bool exact = hist_sample_count(h) < (uint64_t(1) << 63);
    if (hist_subtract(copy, src, 1) < 0 || (exact && !hist_equal(copy, h))) std::abort();
    hist_free(copy);
    hist_free(h);
  } else if (h != nullptr) {
    std::abort();
  }

  h = nullptr;
  ssize_t decoded = hist_deserialize_b64(&h, reinterpret_cast<const char *>(data), size);
  if (decoded > 0) {
    if (!h) std::abort();
    hist_free(h);
  } else if (h != nullptr) {
    std::abort();
  }
  return 0;
}
