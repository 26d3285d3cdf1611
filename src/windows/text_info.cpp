// The text info window. One holder per metric state with a text reservation; it keeps only the
// latest text, so a push is a comparison and at most one copy.

#include "windows/text_info.h"

#include <json-c/json.h>

#include <cstring>
#include <new>

#include "windows/numeric_stats_window.h"
#include "vask/vask_pcre.h"

namespace {

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

}  // namespace

text_info_t *text_info_alloc(void) {
  text_info_t *ti = new (std::nothrow) text_info_t{};
  if (!ti) return nullptr;
  ti->creation_time = window_now_ms();
  return ti;
}

void text_info_free(text_info_t *ti) {
  if (!ti) return;
  delete[] ti->value;
  delete ti;
}

void text_info_push(text_info_t *ti, const vask_metric_message_t *mess) {
  if (!ti || !mess) return;
  const vask_metric_value_t *v = &mess->value;
  if (v->type != METRIC_STRING) return;
  if (ti->last_time >= v->whence_ms) return;  // a sample must be strictly newer

  const char *text = v->is_null ? nullptr : v->value.s;
  size_t len = text ? v->s_len : 0;
  bool same = (!text && !ti->value) ||
              (text && ti->value && len == ti->value_len && memcmp(text, ti->value, len) == 0);
  if (same) {
    ti->just_changed = false;
  } else {
    char *copy = nullptr;
    if (text) {
      copy = new (std::nothrow) char[len + 1];
      if (!copy) return;  // out of memory: the sample is not accepted
      memcpy(copy, text, len);
      copy[len] = '\0';
    }
    delete[] ti->value;
    ti->value = copy;
    ti->value_len = len;
    ti->just_changed = ti->last_time != 0;
  }
  ti->last_time = v->whence_ms;
}

bool text_info_just_changed(const text_info_t *ti) {
  return ti && ti->just_changed;
}

bool text_info_exact_match(const text_info_t *ti, const char *v) {
  if (!ti) return false;
  if (!v || !ti->value) return !v && !ti->value;
  size_t len = strlen(v);
  if (len != ti->value_len) return false;
  for (size_t i = 0; i < len; i++)
    if (ascii_lower(v[i]) != ascii_lower(ti->value[i])) return false;
  return true;
}

int text_info_contains_result(const text_info_t *ti, const pcre *r, const pcre_extra *re) {
  if (!ti || !r || !ti->value) return 0;
  int ovector[30];
  return vask_pcre_result(pcre_exec(r, re, ti->value, (int)ti->value_len, 0, 0, ovector, 30),
                          "rule contains");
}

bool text_info_contains(const text_info_t *ti, const pcre *r, const pcre_extra *re) {
  return text_info_contains_result(ti, r, re) == 1;
}

const char *text_info_value(const text_info_t *ti) {
  return ti ? ti->value : nullptr;
}

json_object *text_info_to_json(const text_info_t *ti) {
  if (!ti) return nullptr;
  json_object *o = json_object_new_object();
  json_object_object_add(o, "creation_time_ms", json_object_new_uint64(ti->creation_time));
  json_object_object_add(o, "last_time_ms", json_object_new_uint64(ti->last_time));
  json_object_object_add(o, "just_changed", json_object_new_boolean(ti->just_changed));
  json_object_object_add(
      o, "value", ti->value ? json_object_new_string_len(ti->value, (int)ti->value_len) : nullptr);
  return o;
}
