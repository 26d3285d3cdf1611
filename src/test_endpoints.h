// test_endpoints: two REST endpoints that let an operator or a test harness drive the daemon
// without a broker.
//
//   POST /test/input   the body's lines are injected into the metric intake exactly as if a
//                      broker had sent them; the reply waits until every lane of the metric
//                      director has handled them: {"lines": n, "trash": bytes after the last
//                      newline, which are not injected}
//   POST /test/log     the body is written, with a newline, to the error log under the stream
//                      "<<<BUSTED>>>", to mark a place in the log: {"chars_accepted": n}
//
// Both ask for a client certificate. Handlers run on the connection's loop thread.
#pragma once

#include "tovi/tovi_http.h"

// Registers both routes and sets up their log streams. A failed registration is a fatal
// assertion. Call once at start-up, after stats_rest_init and before the loop runs.
void test_input_init(void);

int test_input_rest_post(tovi_http_rest_closure_t *restc, int npats, char **pats);
int test_input_rest_post_complete(tovi_http_rest_closure_t *restc, int npats, char **pats);
int test_log_rest_post(tovi_http_rest_closure_t *restc, int npats, char **pats);
