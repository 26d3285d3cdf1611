// Metric lines from a broker: any bytes must decode or be rejected, never read outside the line,
// and a decoded id must be consistent (tags inside the name text, canonical name stable), as must
// the host and the self-check marker.
#include <cstdint>
#include <cstring>
#include <string>

#include "vask/vask_decoder.h"
#include "vask/vask_metric.h"
#include "vask/vask_tag_search.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void check_id(const vask_metric_id_t &id) {
  check(id.name != nullptr && id.name_len > 0 && id.name_len <= id.name_len_with_tags);
  for (const vask_metric_tagset_t *set : {&id.stream, &id.measurement}) {
    size_t canonical = set->tag_count ? set->tag_count - 1 : 0;
    for (int i = 0; i < set->tag_count; i++) {
      const vask_metric_tag_t &t = set->tags[i];
      check(t.tag >= id.name && t.tag + t.total_size <= id.name + id.name_len_with_tags);
      check(t.category_size > 0 && t.category_size <= t.total_size);
      canonical += t.total_size;
    }
    check(canonical == set->canonical_size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static vask_metric_tag_search_ast_t *query =
      vask_metric_tag_search_parse("or(and(env:prod,host:web-*),__name:/^cpu/,not(role))", nullptr);
  for (bool parse_tags : {true, false}) {
    vask_metric_message_t *m = vask_metric_message_wrap(reinterpret_cast<const char *>(data), size);
    if (!m) return 0;
    if (vask_message_decoder_parse_line(m, parse_tags) == 1) {
      check_id(m->id);
      if (parse_tags) {
        // The decoded name is canonical: canonicalising it again changes nothing.
        char out[8192];
        int n =
            vask_metric_canonicalize(m->id.name, m->id.name_len_with_tags, out, sizeof out, false);
        check(n == -2 || (n >= 0 && static_cast<size_t>(n) == m->id.name_len_with_tags &&
                          std::memcmp(out, m->id.name, n) == 0));
        vask_metric_tag_search_evaluate_against_metric_id(query, &m->id);
        vask_metric_id_t copy;
        if (vask_metric_id_copy(&copy, &m->id)) {
          check(copy.name_len_with_tags == m->id.name_len_with_tags);
          check(std::memcmp(copy.name, m->id.name, copy.name_len_with_tags) == 0);
          check(copy.stream.tag_count == m->id.stream.tag_count);
          vask_metric_id_free_copy(&copy);
        }
      }
      // What the check field says of the source lies in the line, before the name field, and
      // the marker is a text that stands in the line before the name field.
      const char *line = m->original_message;
      if (m->host) {
        check(m->host >= line && m->host + m->host_len <= line + size);
        check(std::memchr(m->host, '`', m->host_len) == nullptr && m->host[m->host_len] == '`');
      } else {
        check(m->host_len == 0 && m->check_id == 0);
      }
      if (m->selfcheck) {
        static const char kMarker[] = "`selfcheck`selfcheck`";
        check(memmem(line, size, kMarker, sizeof kMarker - 1) != nullptr);
      }
      if (m->value.type == METRIC_STRING || m->value.type == METRIC_HISTOGRAM ||
          m->value.type == METRIC_HISTOGRAM_CUMULATIVE) {
        check(m->value.is_null ||
              (m->value.value.s >= line && m->value.value.s + m->value.s_len <= line + size));
      }
    }
    vask_metric_director_message_deref(m);
  }
  return 0;
}
