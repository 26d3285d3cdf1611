// Decoders of the wire formats that agents already speak. Each decodes its input once into raw
// samples and places them through the ingest pass (vask_sample.h), which builds the messages and
// counts what it refuses. None of them reads outside its input, needs a terminator, or keeps a
// pointer into the input after it returns. Thread-safe: one pass per thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vask/vask_sample.h"

// ---- Prometheus remote-write 1.0 --------------------------------------------------------------
//
// The body of POST /api/v1/write: a snappy block (raw format, not framed) holding a protobuf
// WriteRequest. Only the messages and fields below are read; every other field is skipped by its
// wire type:
//   WriteRequest { repeated TimeSeries timeseries = 1; }
//   TimeSeries   { repeated Label labels = 1; repeated Sample samples = 2;
//                  repeated Exemplar exemplars = 3 (skipped); repeated Histogram histograms = 4; }
//   Label        { string name = 1; string value = 2; }
//   Sample       { double value = 1; int64 timestamp = 2; }   // milliseconds
// Each sample of a series is placed with the series' labels (__name__ is the metric name).
// A staleness marker (the NaN 0x7ff0000000000002) is counted as stale_marker and is not a
// sample; each native histogram is counted as native_histogram and refused; a negative time is
// bad_timestamp.

// Bodies larger than this once decompressed are refused (bad_compression).
constexpr size_t VASK_REMOTE_WRITE_MAX_DECOMPRESSED = 64u << 20;

// Decompresses and decodes a body. Returns VASK_SAMPLE_OK when the request as a whole was read
// (its samples may still have been refused, one by one, as counted in `in`), else the reason it
// could not be read: bad_compression or bad_protobuf (also counted in `in`). Samples placed before
// a protobuf error have been emitted. `scratch` holds the decompressed bytes between calls.
vask_sample_reason_t vask_remote_write_decode(vask_ingest_t *in, const char *body, size_t len,
                                              std::string *scratch);
// The same for a body that is not compressed.
vask_sample_reason_t vask_remote_write_decode_protobuf(vask_ingest_t *in, const char *data,
                                                       size_t len);

// ---- Influx line protocol ---------------------------------------------------------------------
//
//   measurement[,tag=value...] field=value[,field=value...] [timestamp]
// Escapes: a backslash before a comma or a space (measurement), before a comma, '=' or a space
// (tag keys, tag values, field keys), before '"' (string values), and before a backslash
// (everywhere) stands for that byte; a backslash before anything else is itself. Field values:
// float (1, -1.5, 2e3), integer (12i: l), unsigned (12u: L), string ("text": s), boolean (t, T,
// true, True, TRUE, f, F, false, False, FALSE: i, 1 or 0). The time stamp is an integer in the
// pass's precision (in->precision: 9 ns, 6 us, 3 ms, 0 s; also 60 for minutes and 3600 for
// hours, as /write allows); without one a sample takes in->now_ms. Each field is one sample named
// measurement + separator + field key, with the tags as labels. Blank lines and lines starting
// with '#' carry nothing and are not counted.

// Decodes one line (without its line end).
void vask_influx_decode_line(vask_ingest_t *in, const char *line, size_t len);
// Decodes a body of lines separated by LF (a CR before the LF is dropped).
void vask_influx_decode_lines(vask_ingest_t *in, const char *body, size_t len);
// Reads a precision parameter ("ns", "n", "us", "u", "ms", "s", "m", "h"); false when unknown.
bool vask_influx_precision(const char *text, int *precision);

// ---- Graphite plaintext -----------------------------------------------------------------------
//
//   path value [timestamp]            fields separated by spaces or tabs
//   path;tag=value;tag=value value [timestamp]
// The value is a decimal or exponent number (a double); the time stamp is seconds since the epoch,
// optionally with a fraction; a missing time stamp or -1 means in->now_ms. The metric name is
// the path; tags are labels. With mapping.host_node >= 0, node number host_node of the path
// (counted from 0, split at '.') is also the label named mapping.host_label, unless a tag already
// gives it. Blank lines carry nothing and are not counted.

void vask_graphite_decode_line(vask_ingest_t *in, const char *line, size_t len);
