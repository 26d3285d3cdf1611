// What every placed sample of a wire-format decoder must satisfy: its record is consistent (tags
// inside the name text, canonical sizes right) and its rendering decodes as a metric line to the
// same identity.
#pragma once

#include <cstdint>
#include <cstring>

#include "vask/vask_decoder.h"
#include "vask/vask_formats.h"

namespace fuzz_formats {

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

inline void check_message(void *, vask_metric_message_t *m) {
  const vask_metric_id_t &id = m->id;
  check(id.name && id.name_len > 0 && id.name_len <= id.name_len_with_tags);
  check(id.name_len_with_tags <= VASK_METRIC_NAME_MAX);
  size_t canonical = id.stream.tag_count ? id.stream.tag_count - 1 : 0;
  for (int i = 0; i < id.stream.tag_count; i++) {
    const vask_metric_tag_t &t = id.stream.tags[i];
    check(t.tag >= id.name && t.tag + t.total_size <= id.name + id.name_len_with_tags);
    canonical += t.total_size;
  }
  check(canonical == id.stream.canonical_size);
  vask_metric_message_t *d =
      vask_metric_message_create(m->original_message, m->original_message_len);
  check(vask_message_decoder_parse_line(d, true) == 1);
  check(d->id.name_len_with_tags == id.name_len_with_tags &&
        std::memcmp(d->id.name, id.name, id.name_len_with_tags) == 0);
  check(std::memcmp(d->id.id, id.id, 16) == 0 && d->id.account_id == id.account_id);
  check(d->value.type == m->value.type && d->value.whence_ms == m->value.whence_ms);
  check(d->check_id == m->check_id && !d->selfcheck && !m->selfcheck);
  check(d->host_len == m->host_len &&
        (!m->host || std::memcmp(d->host, m->host, m->host_len) == 0));
  vask_metric_director_message_deref(d);
  vask_metric_director_message_deref(m);
}

inline vask_ingest_t ingest(vask_format_t f, const vask_mapping_t *map) {
  vask_ingest_t in;
  in.format = f;
  in.mapping = map;
  in.now_ms = 1700000000000;
  in.emit = check_message;
  return in;
}

}  // namespace fuzz_formats
