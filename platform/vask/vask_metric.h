// The metric message model.
//
// A message is one decoded metric line. The line's bytes are owned by the message
// (original_message) unless it was made with vask_metric_message_wrap; the id's name, the tags, the
// host, the broker name and a string value point into those bytes or into storage the message owns
// (decoder_storage), so they live exactly as long as the message.
//
// Messages are reference counted: whoever keeps a message beyond the call that handed it over
// takes a reference with vask_metric_director_message_ref and drops it with _deref; the last
// deref frees it. The count is atomic, so references may be taken and dropped on any thread;
// the message itself is immutable once decoded except for the fields documented as adjustable
// (a consumer may shorten id.name_len_with_tags to drop the measurement tags, and may turn a null
// value into an absent one).
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
// its first category_size bytes. A tag without a value is its category alone (total_size ==
// category_size). Both parts are in canonical form (see docs/metric-lines.md): plain text when
// every byte is in [A-Za-z0-9._/-] (and ':' for values), else b"<base64>".
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
  uint8_t id[16];    // check UUID
  const char *name;  // metric name in canonical form: name_len bytes without tags,
  size_t name_len;   // name_len_with_tags with "|ST[...]" (and "|MT{...}" as decoded)
  size_t name_len_with_tags;
  uint64_t account_id;
  // Tags of the check. The line format carries none, so the decoder leaves this set empty; it is
  // here for producers that know a check's tags.
  vask_metric_tagset_t check;
  vask_metric_tagset_t stream;       // "|ST[...]": part of the metric's identity
  vask_metric_tagset_t measurement;  // "|MT{...}": of this sample only
  char *alloc_name;  // when not null, the id owns this block (see vask_metric_id_copy)
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
    const char *s;              // METRIC_STRING, METRIC_HISTOGRAM*: text (base64 for histograms)
    metric_type_t absent_type;  // METRIC_ABSENT: the type the value would have had
  } value;
  size_t s_len;  // bytes of value.s
};

// Tags that fit here need no allocation when a line is decoded.
constexpr int VASK_METRIC_INLINE_TAGS = 8;

// The record of one sample, as every intake source fills it. The metric line decoder
// (vask_decoder.h) is one such source; a source for another wire format fills the same fields
// with the same meaning, so that nothing downstream reads the source's raw bytes.
//
// Lifetime: every pointer below points into original_message or into decoder_storage, so it is
// valid exactly as long as the message (until its last deref, or until the message is decoded
// again). Whoever keeps a text beyond that copies it (vask_metric_id_copy for the id).
//
// Fields a decoded sample carries:
//   account            id.account_id: the account that owns the check; 0 when the source names
//                      none.
//   check UUID         id.id: the check's 16 bytes.
//   check id           check_id: the check's number within its account ("c_<account>_<id>" in a
//                      metric line, read by vask_check_id_parse); 0 when the source names none.
//   host               host, host_len: the target host the check watches; null when the source
//                      names none, and possibly empty (length 0, not null) when it names an
//                      empty one.
//   metric name        id.name, id.name_len: the bare canonical name; with its tag blocks
//                      id.name_len_with_tags.
//   stream tags        id.stream: part of the metric's identity.
//   measurement tags   id.measurement: of this sample only.
//   self-check marker  selfcheck: the sample is one of a broker's reports about itself (in a
//                      metric line: "`selfcheck`selfcheck`" before the name field).
//   value              value: type, null flag and the value itself.
//   time               value.whence_ms: milliseconds since the epoch; 0 for none.
//   broker             vask.name, vask.len: the broker that sent the sample, or null.
//
// Message types: 'M' metric, 'H' histogram; 'C', 'D', 'S' are kept for status lines that the
// decoder recognises and does not turn into samples.
struct vask_metric_message_t {
  vask_metric_id_t id;
  vask_metric_value_t value;
  char type;
  bool selfcheck;
  uint64_t check_id;
  const char *host;
  size_t host_len;
  char *original_message;
  size_t original_message_len;
  std::atomic<uint32_t> refcnt;
  struct {
    const char *name;  // broker name, or null when the line had none
    size_t len;
  } vask;
  // When the line arrived (steady clock, nanoseconds), read once per received batch of lines by
  // the intake that staged it; 0 when unknown. For latency statistics only.
  uint64_t received_ns;

  // Decoder-owned; not for consumers.
  void *decoder_storage;  // owned heap block: canonical name text and tag arrays, or null
  vask_metric_tag_t inline_tags[VASK_METRIC_INLINE_TAGS];
};

// A new message holding a copy of the line (len bytes, no terminator needed; the copy is
// terminated) and a reference count of 1. Not decoded: call vask_message_decoder_parse_line.
// Null only when memory is exhausted. Any thread.
vask_metric_message_t *vask_metric_message_create(const char *line, size_t len);
// Like vask_metric_message_create, but the message points at the caller's line without copying
// it: the line must outlive every reference to the message.
vask_metric_message_t *vask_metric_message_wrap(const char *line, size_t len);
// A new message with room for a line of len bytes (and a terminator) that the caller writes into
// original_message before decoding or filling it; reference count 1. Null when memory is
// exhausted. Any thread.
vask_metric_message_t *vask_metric_message_create_for(size_t len);
// Takes one more reference. Any thread.
void vask_metric_director_message_ref(vask_metric_message_t *m);
// Drops one reference; the last one frees the message and everything it owns. Null is fine.
// Dropping a reference that was never taken is a fatal assertion.
void vask_metric_director_message_deref(vask_metric_message_t *m);

// The length of the id's name with its stream tags and without its measurement tags: the name
// under which the metric's stream is known. Any thread.
size_t vask_metric_id_stream_name_len(const vask_metric_id_t *id);

// Copies an id so that it owns its name and tags: one block, held in dst->alloc_name, holds the
// name text (name_len_with_tags bytes and a terminator), every tag text and the tag arrays.
// Returns false (dst zeroed) when memory is exhausted. Release with vask_metric_id_free_copy.
// Used by state that outlives a message.
bool vask_metric_id_copy(vask_metric_id_t *dst, const vask_metric_id_t *src);
// Frees what vask_metric_id_copy allocated and zeroes the id. An id that owns nothing is left as
// it is.
void vask_metric_id_free_copy(vask_metric_id_t *id);
