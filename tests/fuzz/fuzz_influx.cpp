// Influx line protocol bodies: every line is placed or refused whole.
#include <string>

#include "fuzz_formats_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static vask_mapping_t map = [] {
    vask_mapping_t m = vask_mapping_default(VASK_FORMAT_INFLUX);
    m.account_label = "account";
    m.check_id_label = "check_id";
    return m;
  }();
  vask_ingest_t in = fuzz_formats::ingest(VASK_FORMAT_INFLUX, &map);
  in.precision = size % 2 ? 9 : 0;
  vask_influx_decode_lines(&in, reinterpret_cast<const char *>(data), size);
  return 0;
}
