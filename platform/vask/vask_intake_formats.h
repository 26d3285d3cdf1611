// The intake sources of other wire formats: how they are configured, and the HTTP routes.
//
// TCP listeners (vask_intake.h runs them with the line listener's connection limits, idle
// timeout, line length bound and back-pressure):
//   <listeners>
//     <influx   address="127.0.0.1" port="8094" precision="ns" .../>   Influx line protocol
//     <graphite address="127.0.0.1" port="2003" host_node="1" .../>    Graphite plaintext
//   </listeners>
// HTTP routes on the REST listeners (tovi_http.h: client certificates, or insecure="loopback"):
//   <listeners>
//     <remote_write .../>   POST /api/v1/write: Prometheus remote-write 1.0
//     <influx_http .../>    POST /api/v2/write and POST /write: Influx line protocol; the
//                           "precision" query parameter (ns, us, ms, s; /write also n, u, m, h);
//                           bodies plain or gzip (Content-Encoding), at most 64 MiB inflated
//   </listeners>
// Every element takes the mapping attributes (vask_sample.h, docs/intake.md): account,
// account_label, check_uuid_label, check_id_label, host_label, identity (labels, comma-separated),
// module, broker; influx elements name_separator; graphite host_node.
//
// HTTP replies: 204 when the body was read (samples the mapping could not place are counted, and
// logged, not answered), 400 with {"error": ...} when the body could not be read or no sample of
// it could be placed, 415 for a remote-write body in another encoding or protocol version, 503
// when the lanes stayed full for 10 s (the rest of that body is dropped and counted as
// abandoned; the sender retries). While a lane is full the request waits, its connection floated,
// and is retried with the same back-off as a TCP connection.
//
// Statistics: "vask"/"formats"/<format> (accepted, rejected_by_reason) for every source of a
// format, and "vask"/"intake_http"/<route> (requests, bad_requests, busy, pauses, bytes) per route.
#pragma once

#include <string>

#include "tovi/tovi_conf.h"
#include "vask/vask_sample.h"

// Reads the mapping attributes of a source element over the format's defaults. False, after a
// line on "error" naming `key` and the attribute, when one cannot be used.
bool vask_mapping_from_conf(tovi_conf_section_t s, vask_format_t format, const std::string &key,
                            vask_mapping_t *out);

// Registers the configured HTTP routes. Call after tovi_http_rest_init and
// vask_metric_director_init_globals. Returns the number of routes registered, or -1 (logged) when
// an element cannot be used. A second call does nothing and returns 0.
int vask_intake_http_init(void);
