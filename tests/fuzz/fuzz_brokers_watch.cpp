// Lines from brokers reach the broker watch hook once decoded: any line must be counted or
// ignored without reading outside it, and a record's times never run ahead of the arrival.
#include <cstdint>
#include <cstring>

#include "brokers.h"
#include "tovi/tovi_log.h"
#include "vask/vask_decoder.h"

namespace {

const uint64_t arrival_us = 1700000000000000ull;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = [] {
    tovi_log_disable("error");
    brokers_set_max(256);  // a bounded registry, so that long runs stay small
    return true;
  }();
  (void)once;
  vask_metric_message_t *m = vask_metric_message_create(reinterpret_cast<const char *>(data), size);
  if (!m) return 0;
  if (vask_message_decoder_parse_line(m, true) == 1) {
    brokers_watch_at_for_test(m, arrival_us);
    if (m->vask.name && m->vask.len) {
      if (broker_t *b = getbroker(m->vask.name, m->vask.len)) {
        check(b->key.name_len == m->vask.len &&
              memcmp(b->key.name, m->vask.name, m->vask.len) == 0);
        check(b->last_seen_data_us.load() <= arrival_us);
      }
    }
  }
  vask_metric_director_message_deref(m);
  return 0;
}
