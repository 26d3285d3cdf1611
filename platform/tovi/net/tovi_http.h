// The REST server: HTTP/1.1 over plain TCP or TLS, routes matched by a base path and a regular
// expression, client-certificate authentication, uploads and deferred replies.
//
// Listeners are configured as
//   <listeners max_body="16777216">
//     <listener type="http" address="127.0.0.1" port="8443"
//               certificate_file="certs/server.crt" key_file="certs/server.key"
//               ca_file="certs/ca.crt" allowed_cns="queltd-operator"
//               document_root="www" idle_timeout="60" header_timeout="30"/>
//     <listener type="http" address="127.0.0.1" port="8080" insecure="loopback"/>
//   </listeners>
// A listener with a certificate_file speaks TLS; ca_file names the CA that client certificates
// must chain to, allowed_cns (comma-separated) restricts their common names. read_cns
// (comma-separated) names common names that may only read: they pass the check of every route
// that asks for a certificate, but any method other than GET and HEAD is answered 403 with
// {"error": "the client certificate '<cn>' may only read: <method> is refused"}. A CN in both
// lists may only read. open_probes="true" lets routes registered with tovi_http_rest_probe_auth
// (the health and readiness probes) answer without a client certificate on that listener. A plain
// listener serves routes that ask for a client certificate only with insecure="loopback", and then
// only to loopback peers. Every request above max_body bytes is answered 413.
//
// Routes. A request matches a route when its method is the route's, its (percent-decoded) path
// starts with the route's base, and the route's PCRE matches the rest of the path. Routes with a
// longer base are tried first, then in the order of registration. The captures of the PCRE are
// handed to the handler. No match: 404 "NOT FOUND"; a path that only other methods serve: 405.
// A route that asks for authentication and whose check refuses the request: 403 "FORBIDDEN".
//
// Threads. Connections are spread over the loop threads; everything about one connection (its
// handler calls, its closure) happens on that connection's loop thread, except
// tovi_http_rest_resume, which any thread may call. Routes may be registered from any thread;
// they are never removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct json_object;

typedef struct tovi_http_rest_closure_s tovi_http_rest_closure_t;
typedef struct tovi_http_deferred_s tovi_http_deferred_t;

// What a handler returns.
enum {
  // The handler has answered (or will be answered as it stands: a response never ended is ended
  // by the framework; one with no status becomes 500).
  TOVI_HTTP_DONE = 0,
  // The handler floated the connection (tovi_http_rest_float) and set a completion handler; the
  // reply is written once someone calls tovi_http_rest_resume.
  TOVI_HTTP_DEFER = 1,
};

// A request handler or a completion handler. npats/pats are the captures of the route's
// expression (pats[i] is "" for a group that did not take part); they stay valid until the reply
// is written. Runs on the connection's loop thread.
typedef int (*tovi_http_rest_handler_t)(tovi_http_rest_closure_t *restc, int npats, char **pats);
// An authentication check of a route; true lets the request through.
typedef bool (*tovi_http_rest_auth_t)(tovi_http_rest_closure_t *restc, int npats, char **pats);

// ---- Set-up ----------------------------------------------------------------------------------

// Reads //listeners/@max_body and every //listeners/listener[@type="http"], loads their
// certificates and checks their settings. Returns the number of listeners configured, or -1
// (with a line on the "error" stream naming the setting) when one cannot be used. Call once,
// after eventer_init(), before tovi_http_listener_init().
int tovi_http_rest_init(void);
// Binds and starts accepting on the configured listeners. Returns the number started, or -1 when
// one cannot bind (logged). Call once, after tovi_http_rest_init().
int tovi_http_listener_init(const char *app_name);
// The local port of the i-th HTTP listener (-1 when there is none), for listeners on port 0.
int tovi_http_listener_port(int index);

// Registers a route. auth null: anyone may call it; tovi_http_rest_client_cert_auth: the client
// certificate rules above. Returns 0, or non-zero (logged) when the method, base or expression
// is unusable (empty method, a base not starting with "/", a PCRE that does not compile).
int tovi_http_rest_register_auth(const char *method, const char *base, const char *expression,
                                 tovi_http_rest_handler_t handler, tovi_http_rest_auth_t auth);
int tovi_http_rest_register(const char *method, const char *base, const char *expression,
                            tovi_http_rest_handler_t handler);
// The client-certificate check (see tovi_http_auth_allows).
bool tovi_http_rest_client_cert_auth(tovi_http_rest_closure_t *restc, int npats, char **pats);
// The probes' check: anyone on a listener with open_probes="true", else the client-certificate
// check.
bool tovi_http_rest_probe_auth(tovi_http_rest_closure_t *restc, int npats, char **pats);
// Whether the request's verified client certificate is one of the listener's read_cns.
bool tovi_http_request_read_only(tovi_http_rest_closure_t *restc);
// Registers GET base+expression answering the registered routes as JSON:
//   [{"method": "GET", "base": "/", "pattern": "^stats\\.json$", "auth": true}, ...]
// The listing itself asks for a client certificate. Returns as tovi_http_rest_register_auth.
int tovi_http_rest_disclose_endpoints(const char *base, const char *expression);

// ---- The request -------------------------------------------------------------------------------

const char *tovi_http_request_method(tovi_http_rest_closure_t *restc);
// The path, percent-decoded, without the query.
const std::string &tovi_http_request_path(tovi_http_rest_closure_t *restc);
// The target as the client sent it.
const std::string &tovi_http_request_target(tovi_http_rest_closure_t *restc);
// The first query parameter of that name (decoded; "+" is a space), or null.
const char *tovi_http_request_querystring(tovi_http_rest_closure_t *restc, const char *name);
const std::vector<std::pair<std::string, std::string>> &tovi_http_request_query(
    tovi_http_rest_closure_t *restc);
// A request header by name (case-insensitive), or null.
const char *tovi_http_request_header(tovi_http_rest_closure_t *restc, const char *name);
// The peer's address as text ("127.0.0.1", "::1").
const std::string &tovi_http_request_peer(tovi_http_rest_closure_t *restc);
// Whether the connection is TLS, and the common name of a verified client certificate ("" when
// there is none or it did not verify).
bool tovi_http_request_is_tls(tovi_http_rest_closure_t *restc);
const std::string &tovi_http_request_client_cn(tovi_http_rest_closure_t *restc);
// The document root of the listener that took the connection ("" when none is configured).
const std::string &tovi_http_request_document_root(tovi_http_rest_closure_t *restc);

// The body. When the whole body is there, sets *complete to 1 and returns true. Otherwise sets
// *complete to 0: the handler should return at once, the framework reads the body and calls the
// handler again (with the same captures) once it is complete. Returns false (and *complete 0)
// when the body could not be had; the framework answers that request itself.
bool tovi_rest_complete_upload(tovi_http_rest_closure_t *restc, int *complete);
// The body read so far (complete once tovi_rest_complete_upload said so).
std::string_view tovi_http_request_body(tovi_http_rest_closure_t *restc);
// Frees the body now rather than when the reply is written (views of it end). A handler that
// floated the connection may call it from the thread that works on the body.
void tovi_http_request_release_body(tovi_http_rest_closure_t *restc);

// ---- The response ------------------------------------------------------------------------------

void tovi_http_response_status_set(tovi_http_rest_closure_t *restc, int code, const char *reason);
// Sets (replaces) a response header.
void tovi_http_response_header_set(tovi_http_rest_closure_t *restc, const char *name,
                                   const char *value);
// Shorthands: status and "Content-Type" in one call.
void tovi_http_response_ok(tovi_http_rest_closure_t *restc, const char *content_type);
void tovi_http_response_standard(tovi_http_rest_closure_t *restc, int code, const char *reason,
                                 const char *content_type);
void tovi_http_response_append(tovi_http_rest_closure_t *restc, const void *data, size_t len);
void tovi_http_response_append_str(tovi_http_rest_closure_t *restc, std::string_view text);
// Appends the object's JSON text (json-c, plain form). The object stays the caller's.
void tovi_http_response_append_json(tovi_http_rest_closure_t *restc, json_object *object);
// Ends the response: the framework writes it once the handler returns, with a Content-Length.
void tovi_http_response_end(tovi_http_rest_closure_t *restc);
// Replaces whatever the response holds by the status and the JSON body
// "{ \"error\": <reason> }\n" (the reason as a JSON string), and ends it.
void tovi_http_response_json_error(tovi_http_rest_closure_t *restc, int code, const char *status,
                                   const char *reason);
bool tovi_http_response_ended(tovi_http_rest_closure_t *restc);
int tovi_http_response_status(tovi_http_rest_closure_t *restc);

// ---- Deferred replies --------------------------------------------------------------------------

// Sets the handler that runs, on the connection's loop thread, when the deferred reply resumes.
void tovi_http_rest_set_completion(tovi_http_rest_closure_t *restc,
                                   tovi_http_rest_handler_t completion);
// Floats the connection off the loop: the connection stops timing out and waits. Returns the
// handle that resumes it; the request's handler then returns TOVI_HTTP_DEFER. The handle must be
// given to tovi_http_rest_resume exactly once.
tovi_http_deferred_t *tovi_http_rest_float(tovi_http_rest_closure_t *restc);
// Any thread: runs the completion handler on the connection's loop thread, which writes the
// reply. Consumes the handle. A connection whose client went away meanwhile is simply closed.
void tovi_http_rest_resume(tovi_http_deferred_t *deferred);

// ---- The framework's file handler -------------------------------------------------------------

// Answers a GET with the file named by the first capture (or the whole path) below the
// listener's document root: 404 for anything absent, outside the root, not a regular file, or
// a directory without index.html.
int tovi_http_rest_simple_file_handler(tovi_http_rest_closure_t *restc, int npats, char **pats);
// The same for a file `rel` below `root` (an absolute, real directory path); 404 for an empty
// root.
int tovi_http_rest_serve_file(tovi_http_rest_closure_t *restc, const std::string &root,
                              const std::string &rel);
// Resolves a request path below a document root. Refuses (false) a path with a ".." segment or a
// NUL byte, and a result that, symbolic links resolved, is not inside the root. On success *out
// is the real path of an existing regular file (a directory gives its index.html).
bool tovi_http_resolve_file(const std::string &root, const std::string &path, std::string *out);
// "text/html; charset=utf-8" for "a/b.html", ... "application/octet-stream" when unknown.
const char *tovi_http_content_type_for(const std::string &path);

// ---- Pieces, exposed for tests and tools -------------------------------------------------------

// Percent-decodes text; plus_is_space for query strings. False on a bad escape or a decoded NUL.
bool tovi_http_url_decode(std::string_view text, bool plus_is_space, std::string *out);
// Splits a query string on "&" and "=", decoding names and values; pairs whose name does not
// decode are dropped.
std::vector<std::pair<std::string, std::string>> tovi_http_parse_query(std::string_view query);

// What the client-certificate check decides on.
struct tovi_http_auth_facts_t {
  bool tls = false;
  bool cert_verified = false;  // TLS: a client certificate verified against the CA
  std::string_view client_cn;  // its common name
  const std::vector<std::string> *allowed_cns = nullptr;  // empty or null: any verified one
  const std::vector<std::string> *read_cns = nullptr;     // also let through (to read only)
  bool insecure_loopback = false;                         // plain listener with insecure="loopback"
  bool peer_loopback = false;
};
bool tovi_http_auth_allows(const tovi_http_auth_facts_t &facts);
// Whether an address text is a loopback address (127.0.0.0/8, ::1, ::ffff:127.x.y.z).
bool tovi_http_address_is_loopback(std::string_view address);

// The connection as the request handling sees it, for tovi_http_rest_process_bytes.
struct tovi_http_conn_facts_t {
  std::string peer = "127.0.0.1";
  bool tls = false;
  bool cert_verified = false;
  std::string client_cn;
  std::vector<std::string> allowed_cns;
  std::vector<std::string> read_cns;
  bool insecure_loopback = false;
  bool open_probes = false;
  std::string document_root;
  size_t max_body = 16u << 20;
};
// Runs the whole request path without a socket: parses the requests in `bytes` (several on a
// kept-alive connection), routes, authenticates, calls the handlers and returns the serialized
// responses, stopping at the first response that closes the connection. A deferred reply is
// included only when it was resumed before its handler returned. For tests and fuzzing.
std::string tovi_http_rest_process_bytes(std::string_view bytes,
                                         const tovi_http_conn_facts_t &conn);
