// Feeds bytes to the REST server's request path as a connection would receive them: parsing,
// target decoding, query parsing, routing with captures, the auth check and the reply.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tovi/tovi_http.h"

namespace {

int echo(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  // Every route ends in '$', which holds at the true end only: no capture ends in a line break.
  for (int i = 0; i < npats; i++) {
    size_t len = strlen(pats[i]);
    if (len > 0 && pats[i][len - 1] == '\n') __builtin_trap();
  }
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;
  tovi_http_response_ok(restc, "text/plain");
  for (int i = 0; i < npats; i++)
    tovi_http_response_append_str(restc, pats[i]);
  const char *q = tovi_http_request_querystring(restc, "format");
  if (q) tovi_http_response_append_str(restc, q);
  tovi_http_response_append_str(restc, tovi_http_request_body(restc));
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

bool setup() {
  tovi_http_rest_register("GET", "/", "^config(/.*)?$", echo);
  tovi_http_rest_register("POST", "/rulesets/", "^(\\d+)/([^/]+)$", echo);
  tovi_http_rest_register("GET", "/any/", "^(.*)$", echo);
  tovi_http_rest_register_auth("GET", "/", "^stats\\.json$", echo, tovi_http_rest_client_cert_auth);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setup();
  (void)ready;
  tovi_http_conn_facts_t conn;
  conn.max_body = 4096;
  conn.insecure_loopback = size % 2 == 0;
  std::string out = tovi_http_rest_process_bytes(
      std::string_view(reinterpret_cast<const char *>(data), size), conn);
  // Whatever came in, anything answered is a well-formed status line, and every reply is framed
  // by its length, never chunked.
  if (!out.empty() && out.compare(0, 5, "HTTP/") != 0) __builtin_trap();
  std::string_view head = std::string_view(out).substr(0, out.find("\r\n\r\n"));
  if (head.find("Transfer-Encoding") != std::string_view::npos) __builtin_trap();
  if (!out.empty() && head.find("Content-Length: ") == std::string_view::npos) __builtin_trap();
  // A request with a transfer coding other than plain chunked is refused.
  std::string_view in(reinterpret_cast<const char *>(data), size);
  if (in.find("\r\nTransfer-Encoding: gzip") != std::string_view::npos &&
      out.compare(0, 12, "HTTP/1.1 200") == 0 &&
      in.find("\r\n\r\n") > in.find("\r\nTransfer-Encoding: gzip"))
    __builtin_trap();
  return 0;
}
