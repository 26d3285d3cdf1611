// Graphite plaintext lines, plain and tagged.
#include <cstring>

#include "fuzz_formats_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static vask_mapping_t map = [] {
    vask_mapping_t m = vask_mapping_default(VASK_FORMAT_GRAPHITE);
    m.host_node = 1;
    return m;
  }();
  vask_ingest_t in = fuzz_formats::ingest(VASK_FORMAT_GRAPHITE, &map);
  in.peer = size % 2 ? "127.0.0.1" : "";
  const char *p = reinterpret_cast<const char *>(data);
  size_t at = 0;
  while (at <= size) {
    const void *nl = at < size ? std::memchr(p + at, '\n', size - at) : nullptr;
    size_t end = nl ? size_t(static_cast<const char *>(nl) - p) : size;
    vask_graphite_decode_line(&in, p + at, end - at);
    at = end + 1;
  }
  return 0;
}
