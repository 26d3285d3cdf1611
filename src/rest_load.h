// rest_load: a POST whose body is a JSON array of definitions, loaded off the event loop, and
// replies that wait for the metric director.
//
// rest_load_post floats the connection and hands its body to a job on "rest_loads" (one thread:
// one body at a time, so two large ones never add their memory). The job loads the body with the
// kind's function, then frees it (and gives memory back after a large one). Back on the
// connection's loop thread the reply is written: a body refused whole answers at once with the
// kind's error status; otherwise
//   {"<count_key>": n, "errors": e}            (plus "details": [...] when ?details=1 asked)
// goes out once the metric director has handled every message received before it, so the caller
// sees the new definitions in effect for whatever it sends next.
//
// Threads: rest_load_post, rest_load_run_job and rest_load_answer_from_job on the connection's loop
// thread (in a REST handler); rest_load_resume_after_flush on any loop thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "tovi/eventer.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_http.h"

struct rest_load_kind_t {
  const char *count_key;      // the reply's key for the number taken: "rulesets", "maintenance"
  int syntax_code;            // the reply to a body that is not JSON: its status code ...
  const char *syntax_reason;  // ... and reason phrase
  // Loads the body on the job's thread: returns the number taken, adds refusals to *errors, and
  // sets *syntax_error (a static text) when the body is refused whole.
  int (*load)(std::string_view body, int *errors, const char **syntax_error);
};

// Called by a kind's load function (on the job's thread) when what it took could not be kept:
// the reply is then 503 "Service Unavailable" with {"error": reason} (a static text) instead of
// the counts.
void rest_load_unavailable(const char *reason);

// The whole handler once the body is there: returns TOVI_HTTP_DONE while the body is still being
// read (or could not be), TOVI_HTTP_DEFER once the load is on its way. `kind` must outlive the
// request (a static).
int rest_load_post(tovi_http_rest_closure_t *restc, const rest_load_kind_t *kind);

// Floats the connection, its reply to be ended by `completion`, and queues fn(closure) as a job on
// `jobq` (null: the default queue) owned by the calling loop thread, so that the job's completion
// phase may write to the connection. *deferred is set before the job is queued; the job hands it
// to tovi_http_rest_resume. Returns TOVI_HTTP_DEFER, for the handler to return.
int rest_load_run_job(tovi_http_rest_closure_t *restc, tovi_http_rest_handler_t completion,
                      tovi_http_deferred_t **deferred, eventer_jobq_t *jobq, eventer_func_t fn,
                      void *closure);

// Answers with the text `build` makes on a job of `jobq` (null: the default queue): the handler
// has written the status line and headers; the text is appended and the reply ended on the
// connection's loop thread. Returns TOVI_HTTP_DEFER, for the handler to return.
int rest_load_answer_from_job(tovi_http_rest_closure_t *restc, eventer_jobq_t *jobq,
                              std::function<std::string()> build);

// Resumes a floated connection once every lane of the metric director has handled what was
// submitted before this call; the resume runs on the calling loop thread (loop thread 0 from
// elsewhere).
void rest_load_resume_after_flush(tovi_http_deferred_t *deferred);
