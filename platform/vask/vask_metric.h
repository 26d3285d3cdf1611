// The metric message model.
//
// A message is one decoded metric line. The line's bytes are owned by the message
// (original_message); the id's name, the tags and a string value point into those bytes or into
// storage the message owns, so they live exactly as long as the message.
//
// Messages are reference counted: whoever keeps a message beyond the call that handed it over
// takes a reference with vask_metric_director_message_ref and drops it with _deref; the last
// deref frees it. The count is atomic, so references may be taken and dropped on any thread;
// the message itself is immutable once decoded except for the fields documented as adjustable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

enum metric_type_t : int {
  METRIC_ABSENT = 0,
  METRIC_GUESS = '0',
  METRIC_INT32 = 'i',
  METRIC_UINT32 = 'I',
  METRIC_INT64 = 'l',
  METRIC_UINT64 = 'L',
  METRIC_DOUBLE = 'n',
  METRIC_STRING = 's',
  METRIC_HISTOGRAM = 'h',
  METRIC_HISTOGRAM_CUMULATIVE = 'H',
};

// One tag: `tag` points at "category:value" (total_size bytes, no terminator); the category is
// its first category_size bytes. Both parts are in canonical form (see docs/metric-lines.md).
struct vask_metric_tag_t {
  uint16_t total_size;
  uint8_t category_size;
  const char *tag;
};

// A set of tags, sorted by category then value, without duplicates. canonical_size is the length
// of the comma-separated canonical text of the set (0 for an empty set).
struct vask_metric_tagset_t {
  vask_metric_tag_t *tags;
  int tag_count;
  size_t canonical_size;
};

struct vask_metric_id_t {
  uint8_t id[16];           // check UUID
  const char *name;         // metric name; name_len bytes without tags,
  size_t name_len;          // name_len_with_tags with "|ST[...]" (and "|MT{...}" as decoded)
  size_t name_len_with_tags;
  uint64_t account_id;
  vask_metric_tagset_t check;        // tags of the check (host, module, check id)
  vask_metric_tagset_t stream;       // "|ST[...]": part of the metric's identity
  vask_metric_tagset_t measurement;  // "|MT{...}": of this sample only
  char *alloc_name;  // when not null, the id owns this copy of name (see vask_metric_id_copy)
};

struct vask_metric_value_t {
  uint64_t whence_ms;
  metric_type_t type;
  bool is_null;
  union {
    int32_t v_int32;
    uint32_t v_uint32;
    int64_t v_int64;
    uint64_t v_uint64;
    double n;
    const char *s;            // METRIC_STRING, METRIC_HISTOGRAM*: text (base64 for histograms)
    metric_type_t absent_type;  // METRIC_ABSENT: the type the value would have had
  } value;
  size_t s_len;  // bytes of value.s
};

// Message types: 'M' metric, 'H' histogram; 'C', 'D', 'S' are kept for status lines that the
// decoder recognises and does not turn into samples.
struct vask_metric_message_t {
  vask_metric_id_t id;
  vask_metric_value_t value;
  char type;
  char *original_message;
  size_t original_message_len;
  std::atomic<uint32_t> refcnt;
  struct {
    const char *name;  // broker name, or null when the line had none
    size_t len;
  } vask;
  void *decoder_storage;  // owned: tag arrays and unescaped texts of this message
};

// A new message holding a copy of the line (len bytes, no terminator needed) and a reference
// count of 1. Not decoded: call vask_message_decoder_parse_line.
vask_metric_message_t *vask_metric_message_create(const char *line, size_t len);
void vask_metric_director_message_ref(vask_metric_message_t *m);
// Drops one reference; the last one frees the message. Null is fine.
void vask_metric_director_message_deref(vask_metric_message_t *m);

// Copies an id so that it owns its name (alloc_name) and tag storage; release with
// vask_metric_id_free_copy. Used by state that outlives a message.
void vask_metric_id_copy(vask_metric_id_t *dst, const vask_metric_id_t *src);
void vask_metric_id_free_copy(vask_metric_id_t *id);
