// api: the client of the management HTTP API.
//
// One call is one blocking GET: the body is spooled to an unlinked temporary file under /var/tmp,
// mapped once and handed to a callback, so a large page never grows in memory twice. Success is
// exactly status 200; anything else (transport error, other status, empty body) fails with a
// readable error text and the callback is not called. Nothing here logs or retries: the fetchers
// decide (src/api_loader.h).
//
// Threads: api_call blocks for up to 60 s, so it runs only on job-queue threads (api_jobq). Calls
// share nothing but the queue handle.
#pragma once

#include "tovi/tovi_log.h"

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "tovi/eventer_jobq.h"
#include "tovi/tovi_log.h"

struct api_info_t;
typedef int (*api_callback_t)(api_info_t *info, const char *body, size_t length);

// One request and its outcome. The caller owns the record (usually on its stack), zeroes it and
// fills apiapp, apitoken, url, headers, callback and closure; api_call fills elapsed_ns and error.
struct api_info_t {
  const char *apiapp = nullptr;    // sent as "X-Orvane-App-Name" (not owned); callers use "quelt"
  const char *apitoken = nullptr;  // sent whole as "X-Orvane-Auth-Token" (not owned)
  const char *url = nullptr;       // the complete request URL (not owned)
  // Extra request headers, name to value, sent in this order before the two above; owned by the
  // record (api_info_clean deletes it). A name equal to "accept" in any case replaces the default
  // "Accept: application/json; charset=utf-8".
  std::map<std::string, std::string> *headers = nullptr;
  uint64_t elapsed_ns = 0;  // wall time of the call
  char *error = nullptr;    // why the call failed (malloc'd, owned by the record)
  api_callback_t callback = nullptr;
  void *closure = nullptr;  // the callback's own data
};

// The closure of api_json_parse_cb: the parsed document, owned by the closure.
struct api_json_closure_t {
  json_object *doc = nullptr;
};

// The job queue "api" every fetch runs on; set once by api_init.
extern eventer_jobq_t *api_jobq;

// The largest answer taken, counted on the decoded body while it arrives
// ("//orvane/api/@max_answer_bytes", 64 MiB; read by api_init). A larger one fails the call with
// "answer larger than %llu bytes refused" and counts in the statistic "api/oversized".
extern uint64_t api_max_answer_bytes;

// Where the body of one call is spooled, and how much of it may be.
struct api_spool_t {
  int fd = -1;
  uint64_t written = 0;
  uint64_t limit = 0;
  bool over = false;  // the answer went past limit; the transfer was aborted
};

// Finds or creates the job queue "api" (memory-safety mode 1). A queue not declared in the
// configuration gets concurrency 4 and 1 to 20 threads. Initialises libcurl once and registers
// the statistics "api" ("calls", "failures", "latency") and those of the bulk loaders. Called
// once in child_main after stats_rest_init; a missing queue is a fatal assertion ("api_jobq").
void api_init(void);

// "error/api/unconfigured": where the loaders say that no API base or token is configured ("No
// API base in config!"). Below "error", so it writes where "error" does unless a configuration
// routes it elsewhere: a standalone daemon (no API on purpose) sends it to a debug outlet.
tovi_log_stream_t api_unconfigured_stream(void);

// Performs the GET. Returns -1 with info->error set on any failure (and then the callback was not
// called), otherwise what the callback returned. A URL, token or app name holding CR or LF is
// refused before anything is sent. Blocks up to the 60 s transfer time-out: job threads only.
int api_call(api_info_t *info);

// The most values (nested ones included) api_json_parse_cb builds a tree of.
constexpr size_t api_json_max_values = 262144;

// The standard callback: parses the body as one JSON document into
// ((api_json_closure_t *)info->closure)->doc. Returns 0 with doc set, or -1 with doc absent and
// info->error set ("JSON parse error: %s"); a body longer than the parser's 32-bit length, or of
// more than api_json_max_values values, fails. Paged loads do not use it (src/api_loader.h).
int api_json_parse_cb(api_info_t *info, const char *body, size_t length);

// The libcurl write function: one write() of size * count bytes to the spool's descriptor;
// returns what write() returned (a short or failed write aborts the transfer). Bytes that would
// take the spool past its limit are not written: it sets `over` and returns 0, which aborts.
size_t simple_write_file(char *data, size_t size, size_t count, void *spoolp);

// The URL as it may be logged: without credentials in its authority.
std::string api_url_for_log(const char *url);
// Logs a failed call: "API: %s\n" with the call's error text and the field "url".
void api_log_failure(tovi_log_stream_t ls, const api_info_t *info);

// Delete the headers table and the error text; release the parsed document. Both take the record
// by value; run both after every call, successful or not.
void api_info_clean(api_info_t info);
void api_json_closure_clean(api_json_closure_t closure);
