// The test endpoints. POST /test/input writes each complete line of its body to the "metrics"
// log stream, whose intake outlet hands every line to the metric director as if a broker had
// sent it; the connection is then floated and handed to a director flush, so the reply is
// written only once every lane has handled what was injected before it. The reply's text does
// not depend on that processing, so it is composed before the flush and only sent after it.
#include "test_endpoints.h"

#include <climits>
#include <cstdio>
#include <string_view>

#include "rest_load.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"

namespace {

tovi_log_stream_t vask_shim_log = nullptr;  // "metrics"
tovi_log_stream_t test_log = nullptr;       // "<<<BUSTED>>>", written where errors go

void reply_json(tovi_http_rest_closure_t *restc, std::string_view text) {
  tovi_http_response_ok(restc, "application/json");
  tovi_http_response_append_str(restc, text);
}

}  // namespace

int test_input_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;

  std::string_view body = tovi_http_request_body(restc);
  int lines = 0;
  long trash = 0;
  size_t begin = 0;
  while (begin < body.size()) {
    size_t newline = body.find('\n', begin);
    if (newline == std::string_view::npos) {
      trash = long(body.size() - begin);
      break;
    }
    size_t end = newline + 1;
    lines++;
    // Written whether or not the line will parse: a malformed line is the decoder's to count.
    tovi_log(vask_shim_log, "%.*s", int(end - begin), body.data() + begin);
    begin = end;
  }

  char text[96];
  snprintf(text, sizeof(text), "{\n  \"lines\": %d,\n  \"trash\": %ld\n}\n", lines, trash);
  reply_json(restc, text);
  tovi_http_rest_set_completion(restc, test_input_rest_post_complete);
  tovi_http_deferred_t *deferred = tovi_http_rest_float(restc);
  rest_load_resume_after_flush(deferred);
  return TOVI_HTTP_DEFER;
}

int test_input_rest_post_complete(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int test_log_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;

  std::string_view body = tovi_http_request_body(restc);
  int accepted = 0;
  if (!body.empty() && body.size() <= size_t(INT_MAX)) {
    tovi_log(test_log, "%.*s\n", int(body.size()), body.data());
    accepted = int(body.size());
  }
  char text[48];
  snprintf(text, sizeof(text), "{ \"chars_accepted\": %d }", accepted);
  reply_json(restc, text);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

void test_input_init(void) {
  vask_shim_log = tovi_log_stream_find("metrics");
  // Injected lines must reach the intake even when an operator turned the stream off.
  tovi_log_enable("metrics");
  test_log = tovi_log_stream_find("<<<BUSTED>>>");
  tovi_log_stream_add_outlets_of("<<<BUSTED>>>", "error");

  tovi_assert(tovi_http_rest_register_auth("POST", "/test/", "^input$", test_input_rest_post,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/test/", "^log$", test_log_rest_post,
                                           tovi_http_rest_client_cert_auth) == 0);
}
