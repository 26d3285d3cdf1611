// Remote-write bodies: any bytes, compressed or not, are read or refused, never past their end.
#include <string>

#include "fuzz_formats_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const vask_mapping_t map = vask_mapping_default(VASK_FORMAT_REMOTE_WRITE);
  static std::string scratch;
  vask_ingest_t in = fuzz_formats::ingest(VASK_FORMAT_REMOTE_WRITE, &map);
  const char *p = reinterpret_cast<const char *>(data);
  vask_remote_write_decode_protobuf(&in, p, size);
  vask_remote_write_decode(&in, p, size, &scratch);
  return 0;
}
