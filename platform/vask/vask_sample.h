// Samples of other wire formats, placed as metric messages.
//
// The decoders of Prometheus remote-write (vask_remote_write.h), Influx line protocol
// (vask_influx.h) and Graphite plaintext (vask_graphite.h) turn their input into raw samples: a
// metric name, labels (name and value, unescaped bytes), a value and a time. The mapping below
// places a raw sample: it decides its account, check UUID, check id, host, metric name and stream
// tags, and builds the message record that every other stage reads, exactly as the metric line
// decoder fills it. A sample that the mapping cannot place is refused with a counted reason; the
// mapping never invents an identity.
//
// Placement of one raw sample (docs/intake.md has the operator's view):
//   account     the value of account_label when that label is configured and present (decimal,
//               64-bit), else the configured default account;
//   check UUID  the value of check_uuid_label when configured and present (36-character UUID),
//               else the name-based (version 5, SHA-1) UUID in the namespace
//               VASK_SAMPLE_UUID_NAMESPACE of the text "<label>=<value>" of every identity label
//               present, joined by ","; when none is present, of "peer=<address>" of the
//               sender, when the source knows it; else the sample is refused (no_identity);
//   check id    the value of check_id_label when configured and present, else 0;
//   host        the value of host_label when present, else the sender's address, else none
//               (null; the rendered line then shows an empty host);
//   name        the format's metric name (__name__; measurement + separator + field; the path);
//   stream tags every other label with a non-empty value; the labels read for the account, the
//               check UUID and the check id are not tags.
//
// Samples of these formats are never self-checks (selfcheck false).
//
// The built message is a complete metric message (type 'M', reference count 1): its
// original_message is a metric line (docs/metric-lines.md) that renders the sample faithfully,
// and decoding that line gives the same record, so debug lines and the test input show samples of
// every source in one form. The name and the tags point into that line.
//
// Threads: the mapping is read-only once configured; every function may be called from any
// thread at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vask/vask_metric.h"

// Why a sample (or a whole request) was not turned into messages. Stable names (the statistic's
// tag): see vask_sample_reason_name.
enum vask_sample_reason_t : int {
  VASK_SAMPLE_OK = 0,
  VASK_SAMPLE_BAD_COMPRESSION,   // remote-write: the body is not a snappy block, or too large
  VASK_SAMPLE_BAD_PROTOBUF,      // remote-write: the body is not a WriteRequest
  VASK_SAMPLE_BAD_SYNTAX,        // a line that does not parse (Influx, Graphite)
  VASK_SAMPLE_BAD_VALUE,         // a value that does not parse, or a text that cannot be rendered
  VASK_SAMPLE_BAD_TIMESTAMP,     // a time that does not parse or is out of range
  VASK_SAMPLE_MISSING_NAME,      // no metric name (__name__ absent or empty)
  VASK_SAMPLE_BAD_NAME,          // a name with a tab, line end, NUL, "|ST[" or "|MT{"
  VASK_SAMPLE_NO_IDENTITY,       // nothing names the source: no identity label and no sender
  VASK_SAMPLE_BAD_ACCOUNT,       // the account label is not a 64-bit decimal
  VASK_SAMPLE_BAD_CHECK,         // the check UUID or check id label does not parse
  VASK_SAMPLE_BAD_HOST,          // a host with a back-quote, tab, line end or NUL
  VASK_SAMPLE_BAD_TAGS,          // a label that cannot be a tag (category over 255 bytes, ...)
  VASK_SAMPLE_NAME_TOO_LONG,     // the name with its stream tags exceeds VASK_METRIC_NAME_MAX
  VASK_SAMPLE_NATIVE_HISTOGRAM,  // remote-write: native histograms are not taken
  VASK_SAMPLE_STALE_MARKER,      // remote-write: a staleness marker, not a sample (not an error)
  VASK_SAMPLE_NO_MEMORY,
  VASK_SAMPLE_REASON_COUNT
};

const char *vask_sample_reason_name(vask_sample_reason_t reason);

// The wire formats.
enum vask_format_t : int {
  VASK_FORMAT_REMOTE_WRITE = 0,
  VASK_FORMAT_INFLUX,
  VASK_FORMAT_GRAPHITE,
  VASK_FORMAT_COUNT
};
// "remote_write", "influx", "graphite".
const char *vask_format_name(vask_format_t format);

// The namespace of the name-based check UUIDs.
constexpr const char *VASK_SAMPLE_UUID_NAMESPACE = "5b0f3b9c-2a53-4c5e-9d0e-6c1d2f7a8e41";

struct vask_mapping_t {
  uint64_t account = 0;               // the default account
  std::string account_label;          // "" none
  std::string check_uuid_label;       // "" none
  std::string check_id_label;         // "" none
  std::string host_label;             // "" none
  std::vector<std::string> identity;  // labels naming the source, in this order
  std::string module;                 // the module segment of the rendered check field
  std::string broker;                 // broker name of the messages ("" none)
  std::string name_separator = ".";   // Influx: between measurement and field
  int host_node = -1;                 // Graphite: the path node that names the host (-1 none)
};

// The defaults of a format: remote-write identity job,instance and host instance; Influx and
// Graphite identity host and host host; module the format's name.
vask_mapping_t vask_mapping_default(vask_format_t format);

struct vask_label_t {
  std::string_view name, value;
};

// A decoded sample before placement. Labels exclude the metric name.
struct vask_raw_sample_t {
  std::string_view name;
  const vask_label_t *labels = nullptr;
  size_t nlabels = 0;
  metric_type_t type = METRIC_DOUBLE;  // i, I, l, L, n or s
  union {
    int32_t v_int32;
    uint32_t v_uint32;
    int64_t v_int64;
    uint64_t v_uint64;
    double n;
  } value{};
  std::string_view text;  // METRIC_STRING
  uint64_t whence_ms = 0;
};

// Places a raw sample. On VASK_SAMPLE_OK *out is a new message holding one reference. `peer` is
// the sender's address ("" when unknown).
vask_sample_reason_t vask_sample_build(const vask_mapping_t &mapping, const vask_raw_sample_t &s,
                                       std::string_view peer, vask_metric_message_t **out);

// The name-based check UUID of an identity text (see above).
void vask_sample_identity_uuid(std::string_view identity, uint8_t out[16]);

// One decoding pass over a request or a run of lines: what the decoders need to place samples
// and where the messages go. Counts are local and published with vask_ingest_publish.
struct vask_ingest_t {
  vask_format_t format = VASK_FORMAT_INFLUX;
  const vask_mapping_t *mapping = nullptr;
  std::string peer;     // the sender's address, "" when unknown
  uint64_t now_ms = 0;  // the time of samples that carry none (0: read the clock once)
  int precision = 9;    // Influx: digits of a second in time stamps (9 ns, 6 us, 3 ms, 0 s)
  // Receives each placed message and its reference; may be null (the message is dropped).
  void (*emit)(void *closure, vask_metric_message_t *m) = nullptr;
  void *closure = nullptr;
  uint64_t accepted = 0;
  uint64_t rejected[VASK_SAMPLE_REASON_COUNT] = {};
  // The first refusal's reason and a short excerpt of its input, for replies and logs.
  vask_sample_reason_t first_reason = VASK_SAMPLE_OK;
  std::string first_excerpt;
};

// The time of samples that carry none: in->now_ms, read from the clock on first use.
uint64_t vask_ingest_now_ms(vask_ingest_t *in);
// Places the sample and hands the message on; counts either way.
void vask_ingest_sample(vask_ingest_t *in, const vask_raw_sample_t &s);
// Counts a refusal found by a decoder; `input` is the part of the input it concerns.
void vask_ingest_refuse(vask_ingest_t *in, vask_sample_reason_t reason, std::string_view input);
// Total refusals (every reason but the stale marker).
uint64_t vask_ingest_refused(const vask_ingest_t *in);
// Adds the local counts to the format's process-wide counters and statistics, logs the first
// refusal on "error/vask" (at most a few lines a second per format) and zeroes the counts.
void vask_ingest_publish(vask_ingest_t *in);

// Registers the formats' statistics ("vask"/"formats"/<format>) now rather than on first use, so
// that they show before the first sample. Idempotent, any thread.
void vask_format_stats_init(void);
// Process-wide counts of a format. Any thread.
uint64_t vask_format_accepted(vask_format_t format);
uint64_t vask_format_rejected(vask_format_t format, vask_sample_reason_t reason);
