// The deferred load of a REST body of definitions and the reply that waits for the director.
#include "rest_load.h"

#include <cstdio>
#include <string>

#include "json_elements.h"
#include "load_report.h"
#include "tovi/eventer.h"
#include "vask/vask_director.h"

namespace {

thread_local const char *unavailable = nullptr;

// One POST between its handler and its reply.
struct rest_load_t {
  const rest_load_kind_t *kind;
  tovi_http_rest_closure_t *restc;  // touched on the connection's loop thread only
  tovi_http_deferred_t *deferred;
  std::string_view body;  // the request's, valid until released
  const char *syntax_error = nullptr;
  int count = 0;
  int errors = 0;
  bool details = false;               // ?details=1: the reply adds the per-element report
  load_report_t report;               // filled by the job when details were asked for
  const char *unavailable = nullptr;  // set through rest_load_unavailable: 503
};

void write_reply(const rest_load_t &load) {
  tovi_http_rest_closure_t *restc = load.restc;
  std::string text = "{\n  \"";
  text += load.kind->count_key;
  text += "\": " + std::to_string(load.count) + ",\n  \"errors\": " + std::to_string(load.errors);
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  if (load.details) {
    text += ",\n  \"details\": ";
    text += load_report_details_json(load.report, load_report_max_details);
  }
  text += "\n}\n";
  tovi_http_response_append_str(restc, text);
}

int rest_load_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *load = static_cast<rest_load_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    size_t size = load->body.size();
    {
      load->report.max_kept = load_report_max_details;
      load_report_scope_c scope(load->details ? &load->report : nullptr);
      unavailable = nullptr;
      load->count = load->kind->load(load->body, &load->errors, &load->syntax_error);
      load->unavailable = unavailable;
      unavailable = nullptr;
    }
    // Nothing touches the floated connection meanwhile, so its body can go now.
    load->body = {};
    tovi_http_request_release_body(load->restc);
    if (size >= json_elements_large_body) json_elements_give_back_memory();
    return 0;
  }
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    // On the connection's loop thread (the job's owner).
    if (load->syntax_error) {
      tovi_http_response_json_error(load->restc, load->kind->syntax_code, load->kind->syntax_reason,
                                    load->syntax_error);
      tovi_http_rest_resume(load->deferred);
    } else if (load->unavailable) {
      tovi_http_response_json_error(load->restc, 503, "Service Unavailable", load->unavailable);
      tovi_http_rest_resume(load->deferred);
    } else {
      // The reply is known now; it is written once the director has caught up.
      write_reply(*load);
      rest_load_resume_after_flush(load->deferred);
    }
    delete load;
  }
  return 0;
}

int rest_load_complete(tovi_http_rest_closure_t *restc, int, char **) {
  if (!tovi_http_response_ended(restc)) tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

}  // namespace

void rest_load_unavailable(const char *reason) {
  unavailable = reason;
}

int rest_load_post(tovi_http_rest_closure_t *restc, const rest_load_kind_t *kind) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;
  // The body is parsed and loaded off the loop: a large one must not stall every other request
  // of this loop thread. The floated connection keeps the body until the job releases it.
  auto *load = new rest_load_t;
  load->kind = kind;
  load->restc = restc;
  // Asked for on the loop thread, where the request is read; the job parses with the report.
  load->details = load_report_asked(restc);
  load->body = tovi_http_request_body(restc);
  return rest_load_run_job(restc, rest_load_complete, &load->deferred, rest_loads_jobq(),
                           rest_load_job, load);
}

int rest_load_run_job(tovi_http_rest_closure_t *restc, tovi_http_rest_handler_t completion,
                      tovi_http_deferred_t **deferred, eventer_jobq_t *jobq, eventer_func_t fn,
                      void *closure) {
  tovi_http_rest_set_completion(restc, completion);
  *deferred = tovi_http_rest_float(restc);
  eventer_t job = eventer_alloc_asynch(fn, closure);
  int thread = eventer_current_thread_id();
  eventer_set_owner(job, thread < 0 ? 0 : thread);
  eventer_add_asynch(jobq, job);
  return TOVI_HTTP_DEFER;
}

namespace {

struct answer_job_t {
  tovi_http_rest_closure_t *restc;  // floated; touched only on its loop thread
  tovi_http_deferred_t *deferred = nullptr;
  std::function<std::string()> build;
  std::string body;  // made by the work phase
};

int answer_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *job = static_cast<answer_job_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    job->body = job->build();
    return 0;
  }
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    // Pinned to the connection's loop thread: the only thread that may write to it.
    tovi_http_response_append_str(job->restc, job->body);
    tovi_http_rest_resume(job->deferred);
    delete job;
  }
  return 0;
}

int answer_complete(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

}  // namespace

int rest_load_answer_from_job(tovi_http_rest_closure_t *restc, eventer_jobq_t *jobq,
                              std::function<std::string()> build) {
  auto *job = new answer_job_t{restc, nullptr, std::move(build), {}};
  return rest_load_run_job(restc, answer_complete, &job->deferred, jobq, answer_job, job);
}

void rest_load_resume_after_flush(tovi_http_deferred_t *deferred) {
  int thread = eventer_current_thread_id();
  vask_metric_director_flush_callback(thread < 0 ? 0 : thread,
                                      [deferred] { tovi_http_rest_resume(deferred); });
}
