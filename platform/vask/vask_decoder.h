// Metric line decoder, canonical metric names and the canonical form of tags.
//
// The line format, the check field, tag syntax and the canonical form are defined in
// docs/metric-lines.md. In short:
//   M  [broker]  <seconds.fraction>  <check field>  <name>[|ST[tags]][|MT{tags}]  <type>  <value>
//   H1 [broker]  <seconds.fraction>  <check field>  <name and tags>  <base64 histogram>
//   H2 ...as H1, a cumulative histogram...
//
// The decoder never reads outside the line's bytes, needs no terminator, and allocates nothing for
// a line whose tags are already canonical and fit the message's inline tag area. Every function
// here is thread-safe; a message is decoded by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vask/vask_metric.h"

// The longest canonical metric name with its stream tags (measurement tags not included), in
// bytes: such a name fits, with its terminator, the 4096-byte buffers in which metrics are keyed.
constexpr size_t VASK_METRIC_NAME_MAX = 4095;

// Why a line was not turned into a sample. Each has a counter and a name (the statistic's tag).
enum vask_decode_reason_t : int {
  VASK_DECODE_OK = 0,
  VASK_DECODE_EMPTY_LINE,      // nothing but an optional line end
  VASK_DECODE_NUL_BYTE,        // a NUL byte anywhere in the line
  VASK_DECODE_NOT_A_SAMPLE,    // a status line ('C', 'D', 'S'): recognised, carries no sample
  VASK_DECODE_UNKNOWN_RECORD,  // the first field is not M, H1 or H2
  VASK_DECODE_MISSING_FIELD,   // the line ends before its last field
  VASK_DECODE_BAD_BROKER,      // an empty broker field
  VASK_DECODE_BAD_TIMESTAMP,   // the time field is not seconds[.fraction]
  VASK_DECODE_BAD_CHECK,       // the check field is not host`module`c_<account>_<id>`<uuid>
  VASK_DECODE_BAD_UUID,        // the check UUID is not 36 characters of 8-4-4-4-12 hex
  VASK_DECODE_BAD_ACCOUNT,     // the account is not a 64-bit unsigned number
  VASK_DECODE_EMPTY_NAME,      // no metric name before the tags
  VASK_DECODE_BAD_TAGS,        // a tag block or a tag that does not parse
  VASK_DECODE_BAD_TYPE,        // an unknown type letter
  VASK_DECODE_BAD_VALUE,       // a value that does not parse as its type, or out of range
  VASK_DECODE_BAD_HISTOGRAM,   // an empty histogram or one with bytes outside base64
  VASK_DECODE_NO_MEMORY,       // tag storage could not be allocated
  VASK_DECODE_NAME_TOO_LONG,   // the canonical name with its stream tags exceeds
                               // VASK_METRIC_NAME_MAX
  VASK_DECODE_REASON_COUNT
};

// "ok", "empty_line", "nul_byte", ... (lower-case, stable: used as a statistic tag). Never null.
const char *vask_decode_reason_name(vask_decode_reason_t reason);
// Lines rejected for this reason since the start of the process. Any thread.
uint64_t vask_decoder_rejections(vask_decode_reason_t reason);

// Decodes m->original_message into m->type, m->id, m->value, m->vask and what the check field
// says of the source (m->host, m->check_id; both unset for a check field that is a bare UUID),
// and sets m->selfcheck when "`selfcheck`selfcheck`" occurs in the line before the name field.
// `parse_tags` asks for the full decoding of the tags: the tag sets, and a canonical
// name_len_with_tags (tags sorted, duplicates dropped, several blocks merged, an empty block
// dropped). Without it the tag sets stay empty and the name with tags is the line's text as it
// stands.
// Returns 1 on success. Otherwise returns 0, counts the reason, logs it on "error/vask"
// (rate-limited; status lines are counted and not logged) and leaves the message undecoded
// (id and value zeroed). A message may be decoded again; earlier storage is released first.
int vask_message_decoder_parse_line(vask_metric_message_t *m, bool parse_tags);
// The same, returning the reason (VASK_DECODE_OK on success).
vask_decode_reason_t vask_message_decoder_parse_line_reason(vask_metric_message_t *m,
                                                            bool parse_tags);
// Releases the decoder's storage of a message and zeroes its id and value. The last deref does
// this; call it only for a message record that the caller manages itself.
void vask_message_decoder_reset(vask_metric_message_t *m);

// The check id of a check field's "c_<account>_<check id>" segment, text[0, len) being what
// follows the account's "_" up to the UUID's back-quote. It is read as C's strtoull reads it with
// base 0: "0x" or "0X" and a hex digit start a hex number, another leading "0" an octal one,
// anything else a decimal one ("0x1F" is 31, "010" is 8, "345" is 345); reading stops at the
// first byte that is not a digit of that base ("12_x" is 12, "08" is 0), and a number past 64
// bits is UINT64_MAX. Only the first 31 bytes are looked at. 0 when the text does not start with
// a decimal digit.
uint64_t vask_check_id_parse(const char *text, size_t len);

// Whether text[0, len) is a time stamp of a metric line: decimal seconds, optionally followed by
// '.' and 1 to 9 decimal digits, fitting in 64-bit milliseconds.
bool vask_is_timestamp(const char *text, size_t len);
// The time stamp as milliseconds since the epoch (the fraction truncated); false when it is not
// one.
bool vask_parse_timestamp(const char *text, size_t len, uint64_t *whence_ms);

// Writes the canonical form of the metric name in[0, len) ("name", "name|ST[tags]",
// "name|ST[tags]|MT{tags}") to out. An explicit stream tag block is kept even when empty
// ("cpu|ST[]" stays as it is); an empty measurement block is dropped; several blocks of a kind are
// merged. With null_terminate a NUL follows the text (and must fit in outlen).
// Returns the canonical length; -1 when the name does not parse, -2 when out is too small.
int vask_metric_canonicalize(const char *in, size_t len, char *out, size_t outlen,
                             bool null_terminate);

// The canonical text of one tag part from its raw bytes: the bytes themselves when they are all
// in [A-Za-z0-9._/-] (and ':' when is_value), else b"<base64>". Appends to out.
void vask_tag_part_canonical_append(const char *bytes, size_t len, bool is_value, std::string *out);
// Whether a byte may stand as it is in a canonical tag part: [A-Za-z0-9._/-], and ':' in values.
bool vask_tag_byte_is_plain(unsigned char c, bool is_value);
// The raw bytes of a canonical tag part (decodes b"<base64>"). Appends to out; false when the part
// is a malformed b"..." form.
bool vask_tag_part_decode_append(const char *part, size_t len, std::string *out);
// Whether a canonical part is written as b"<base64>".
inline bool vask_tag_part_is_encoded(const char *part, size_t len) {
  return len >= 3 && part[0] == 'b' && part[1] == '"' && part[len - 1] == '"';
}
