// The REST server's request handling: routes, the request and response of a closure, the
// client-certificate decision and deferred replies (URL decoding and the files of a document root
// are in tovi_http_paths.cpp). The sockets and TLS live in tovi_http_server.cpp; this file never
// touches a socket, so that the same path serves real connections and tovi_http_rest_process_bytes
// (tests and fuzzing).
//
// A request goes through at most three calls into the daemon: the route's handler; the handler
// again once the body is complete, when it asked for the body before it was there; and the
// completion handler, when it floated the connection. Between them the closure belongs to the
// connection's loop thread alone; only the deferred handle crosses threads.
#include "tovi/tovi_http.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <limits.h>
#include <pcre.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>

#include "stats/stats.h"
#include "tovi/tovi_http_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_text.h"

namespace tovi_http_detail {

struct route_t {
  std::string method;
  std::string base;
  std::string expression;
  pcre *re = nullptr;
  pcre_extra *extra = nullptr;
  int capture_count = 0;
  tovi_http_rest_handler_t handler = nullptr;
  tovi_http_rest_auth_t auth = nullptr;
  uint64_t seq = 0;
};

}  // namespace tovi_http_detail

struct tovi_http_deferred_s {
  std::shared_ptr<tovi_http_detail::connection_c> conn;
  tovi_http_rest_closure_t *restc;
};

namespace tovi_http_detail {
namespace {

namespace http = boost::beast::http;

struct route_table_t {
  std::shared_mutex lock;
  std::vector<std::unique_ptr<route_t>> routes;  // guarded by lock; registration order
  std::vector<const route_t *> ordered;          // guarded by lock; longest base first
};

route_table_t &route_table() {
  static route_table_t *table = new route_table_t;
  return *table;
}

struct http_stats_t {
  stats_counter_t *by_class[5] = {};
  stats_histogram_t *latency = nullptr;
  stats_counter_t *accepted = nullptr;
  stats_counter_t *refused = nullptr;
  stats_counter_t *tls_failures = nullptr;
  stats_counter_t *peer_capped = nullptr;
};

http_stats_t &http_stats() {
  static http_stats_t *s = [] {
    auto *st = new http_stats_t;
    stats_ns_t *ns = stats_register_ns(
        stats_register_ns(stats_recorder_root(stats_process_recorder()), "tovi"), "http");
    static const char *const names[5] = {"requests_1xx", "requests_2xx", "requests_3xx",
                                         "requests_4xx", "requests_5xx"};
    for (int i = 0; i < 5; i++) {
      stats_opts_t opts;
      opts.units = "requests";
      opts.tagged_name = "requests";
      opts.tags = {{"status_class", std::to_string(i + 1) + "xx"}};
      st->by_class[i] = stats_register_counter(ns, names[i], opts);
    }
    stats_opts_t seconds;
    seconds.units = "seconds";
    st->latency = stats_register_histogram(ns, "request_latency", seconds);
    stats_opts_t conns;
    conns.units = "connections";
    st->accepted = stats_register_counter(ns, "connections_accepted", conns);
    st->refused = stats_register_counter(ns, "connections_refused", conns);
    st->tls_failures = stats_register_counter(ns, "tls_handshake_failures", conns);
    st->peer_capped = stats_register_counter(ns, "connections_refused_per_peer", conns);
    return st;
  }();
  return *s;
}

void counter_inc(stats_counter_t *c) {
  if (c) stats_counter_inc(c);
}

uint64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The route for the closure's method and path; fills the captures. When no route of this
// method matches but routes of others do, *allowed lists their methods.
const route_t *find_route(tovi_http_rest_closure_t *restc, std::string *allowed) {
  auto &table = route_table();
  std::shared_lock<std::shared_mutex> hold(table.lock);
  for (const route_t *r : table.ordered) {
    if (restc->path.compare(0, r->base.size(), r->base) != 0) continue;
    std::string_view rest = std::string_view(restc->path).substr(r->base.size());
    std::vector<int> ovector(3 * (r->capture_count + 1));
    int rc = pcre_exec(r->re, r->extra, rest.data(), static_cast<int>(rest.size()), 0, 0,
                       ovector.data(), static_cast<int>(ovector.size()));
    if (rc < 0) continue;
    if (r->method != restc->method) {
      if (allowed->find(r->method) == std::string::npos) {
        if (!allowed->empty()) allowed->append(", ");
        allowed->append(r->method);
      }
      continue;
    }
    if (rc == 0) rc = r->capture_count + 1;  // ovector too small cannot happen; be safe
    restc->captures.clear();
    for (int i = 1; i < rc; i++) {
      int so = ovector[2 * i], eo = ovector[2 * i + 1];
      restc->captures.emplace_back(so < 0 ? std::string() : std::string(rest.substr(so, eo - so)));
    }
    restc->capture_ptrs.clear();
    for (auto &c : restc->captures)
      restc->capture_ptrs.push_back(c.data());
    return r;
  }
  return nullptr;
}

int npats_of(tovi_http_rest_closure_t *restc) {
  return static_cast<int>(restc->capture_ptrs.size());
}
char **pats_of(tovi_http_rest_closure_t *restc) {
  return restc->capture_ptrs.empty() ? nullptr : restc->capture_ptrs.data();
}

// Calls a handler and decides what follows from what it did.
action_t run_handler(tovi_http_rest_closure_t *restc, tovi_http_rest_handler_t fn) {
  restc->upload_wanted = false;
  int rv = TOVI_HTTP_DONE;
  try {
    rv = fn(restc, npats_of(restc), pats_of(restc));
  } catch (const std::exception &e) {
    tovi_log(tovi_error, "REST handler for %s %s threw: %s\n", restc->method.c_str(),
             restc->path.c_str(), e.what());
    if (!restc->floated) http_error_response(restc, 500, "ERROR", "internal error");
    rv = TOVI_HTTP_DONE;
  }
  if (restc->floated) return ACTION_DEFERRED;  // its handle is out there and will resume it
  if (restc->upload_wanted && !restc->body_complete && !restc->body_failed) return ACTION_NEED_BODY;
  if (rv == TOVI_HTTP_DEFER) {
    tovi_log(tovi_error, "REST handler for %s %s deferred without floating the connection\n",
             restc->method.c_str(), restc->path.c_str());
    http_error_response(restc, 500, "ERROR", "internal error");
  }
  if (!restc->ended) {
    if (restc->status == 0) http_error_response(restc, 500, "ERROR", "no response");
    restc->ended = true;
  }
  return ACTION_RESPOND;
}

}  // namespace

size_t g_max_body = 16u << 20;
size_t http_max_body(void) {
  return g_max_body;
}

void http_stats_connection_accepted(void) {
  counter_inc(http_stats().accepted);
}
void http_stats_connection_refused(void) {
  counter_inc(http_stats().refused);
}
void http_stats_tls_failure(void) {
  counter_inc(http_stats().tls_failures);
}
void http_stats_connection_dropped_by_peer_cap(void) {
  counter_inc(http_stats().peer_capped);
}

int http_take_file(tovi_http_rest_closure_t *restc) {
  int fd = restc->file_fd;
  restc->file_fd = -1;
  return fd;
}

void http_drop_file(tovi_http_rest_closure_t *restc) {
  if (restc->file_fd >= 0) close(restc->file_fd);
  restc->file_fd = -1;
  restc->file_size = 0;
}

void http_error_response(tovi_http_rest_closure_t *restc, int code, const char *reason,
                         const char *message) {
  restc->status = code;
  restc->reason = reason;
  restc->response_headers.clear();
  restc->out.clear();
  http_drop_file(restc);
  if (message) {
    restc->response_headers.emplace_back("Content-Type", "application/json");
    restc->out = "{ \"error\": ";
    tovi_json_escape_into(&restc->out, message);
    restc->out += " }\n";
  }
  restc->ended = true;
}

void http_parse_error_response(tovi_http_rest_closure_t *restc,
                               const boost::system::error_code &ec) {
  restc->start_ns = now_ns();
  restc->version = 11;
  restc->keep_alive = false;
  if (ec == http::error::body_limit)
    http_error_response(restc, 413, "PAYLOAD TOO LARGE", "the body is too large");
  else if (ec == http::error::header_limit)
    http_error_response(restc, 431, "REQUEST HEADER FIELDS TOO LARGE", "the header is too large");
  else
    http_error_response(restc, 400, "BAD REQUEST", "malformed request");
}

void http_closure_end(tovi_http_rest_closure_t *restc) {
  // clear() would keep the capacity; swapping with empty values gives it back.
  std::string().swap(restc->method);
  std::string().swap(restc->target);
  std::string().swap(restc->path);
  decltype(restc->query)().swap(restc->query);
  decltype(restc->headers)().swap(restc->headers);
  std::string().swap(restc->body);
  decltype(restc->captures)().swap(restc->captures);
  decltype(restc->capture_ptrs)().swap(restc->capture_ptrs);
  std::string().swap(restc->reason);
  decltype(restc->response_headers)().swap(restc->response_headers);
  std::string().swap(restc->out);
  restc->route = nullptr;
  restc->completion = nullptr;
}

bool http_closure_begin(tovi_http_rest_closure_t *restc, const http_request_header_t &header) {
  restc->method = std::string(header.method_string());
  restc->target = std::string(header.target());
  restc->version = header.version();
  restc->keep_alive = header.keep_alive();
  restc->headers.clear();
  for (const auto &field : header)
    restc->headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  restc->path.clear();
  restc->query.clear();
  restc->body.clear();
  restc->body_complete = false;
  restc->body_failed = false;
  restc->upload_wanted = false;
  restc->route = nullptr;
  restc->captures.clear();
  restc->capture_ptrs.clear();
  restc->start_ns = now_ns();
  restc->status = 0;
  restc->reason.clear();
  restc->response_headers.clear();
  restc->out.clear();
  http_drop_file(restc);
  restc->ended = false;
  restc->floated = false;
  restc->resume_posted = false;
  restc->completion = nullptr;

  // Only plain chunked framing is understood; anything else (another coding, a list, a second
  // header) leaves the body's end unknown, so the request is refused and the connection closed.
  int encodings = 0;
  bool plain_chunked = true;
  for (const auto &h : restc->headers) {
    if (!iequals(h.first, "Transfer-Encoding")) continue;
    encodings++;
    std::string_view v = h.second;
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
      v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
      v.remove_suffix(1);
    if (!iequals(v, "chunked")) plain_chunked = false;
  }
  if (encodings > 1 || !plain_chunked) {
    restc->keep_alive = false;
    http_error_response(restc, 400, "BAD REQUEST", "unsupported transfer encoding");
    return false;
  }

  std::string_view target = restc->target;
  if (target.empty() || target[0] != '/') {
    http_error_response(restc, 400, "BAD REQUEST", "the request target must be a path");
    return false;
  }
  size_t hash = target.find('#');
  if (hash != std::string_view::npos) target = target.substr(0, hash);
  size_t q = target.find('?');
  std::string_view raw_path = target.substr(0, q);
  if (!tovi_http_url_decode(raw_path, false, &restc->path)) {
    http_error_response(restc, 400, "BAD REQUEST", "the path does not decode");
    return false;
  }
  if (q != std::string_view::npos) restc->query = tovi_http_parse_query(target.substr(q + 1));
  return true;
}

action_t http_dispatch_request(tovi_http_rest_closure_t *restc) {
  std::string allowed;
  const route_t *route = find_route(restc, &allowed);
  if (!route) {
    if (!allowed.empty()) {
      http_error_response(restc, 405, "METHOD NOT ALLOWED", "method not allowed");
      restc->response_headers.emplace_back("Allow", allowed);
    } else {
      http_error_response(restc, 404, "NOT FOUND", nullptr);
    }
    return ACTION_RESPOND;
  }
  restc->route = route;
  if (route->auth && !route->auth(restc, npats_of(restc), pats_of(restc))) {
    http_error_response(restc, 403, "FORBIDDEN", "a trusted client certificate is required");
    return ACTION_RESPOND;
  }
  if (route->auth && tovi_http_request_read_only(restc) && restc->method != "GET" &&
      restc->method != "HEAD") {
    std::string why = "the client certificate '" + restc->client_cn +
                      "' may only read: " + restc->method + " is refused";
    http_error_response(restc, 403, "FORBIDDEN", why.c_str());
    return ACTION_RESPOND;
  }
  return run_handler(restc, route->handler);
}

action_t http_dispatch_after_body(tovi_http_rest_closure_t *restc) {
  if (restc->body_failed) {
    if (!restc->ended) http_error_response(restc, 400, "BAD REQUEST", "the body could not be read");
    return ACTION_RESPOND;
  }
  return run_handler(restc, restc->route->handler);
}

action_t http_dispatch_resume(tovi_http_rest_closure_t *restc) {
  restc->floated = false;
  restc->resume_posted = false;
  tovi_http_rest_handler_t completion = restc->completion;
  restc->completion = nullptr;
  if (!completion) {
    if (!restc->ended) {
      if (restc->status == 0) http_error_response(restc, 500, "ERROR", "no response");
      restc->ended = true;
    }
    return ACTION_RESPOND;
  }
  return run_handler(restc, completion);
}

http_response_t http_build_response(tovi_http_rest_closure_t *restc) {
  http_response_t res;
  unsigned version = restc->version >= 11 ? 11 : 10;
  res.version(version);
  res.result(static_cast<unsigned>(restc->status));
  res.reason(restc->reason);
  for (const auto &h : restc->response_headers)
    res.set(h.first, h.second);
  res.set(http::field::server, "queltd");
  bool bodiless = restc->status < 200 || restc->status == 204 || restc->status == 304;
  if (bodiless) {
    http_drop_file(restc);
  } else if (restc->file_fd >= 0) {
    res.content_length(restc->file_size);
  } else {
    // The whole body is known here, so it goes with its length: a client reads exactly that and
    // the connection stays usable for the next request (HTTP/1.0 included).
    res.body() = std::move(restc->out);
    res.content_length(res.body().size());
  }
  res.keep_alive(version == 11 && restc->keep_alive);
  restc->out.clear();

  auto &st = http_stats();
  int cls = restc->status / 100;
  if (cls >= 1 && cls <= 5) counter_inc(st.by_class[cls - 1]);
  if (st.latency) stats_histogram_record_ns(st.latency, now_ns() - restc->start_ns);
  return res;
}

// ---- Socket-free processing
// ----------------------------------------------------------------------

namespace {

class bytes_connection_c : public connection_c {
 public:
  void post_resume(tovi_http_rest_closure_t *) override { resumed_ = true; }
  bool take_resumed() { return resumed_.exchange(false); }

  // Owned here so that a deferred handle, which holds the connection, keeps it alive.
  tovi_http_rest_closure_t restc;

 private:
  std::atomic<bool> resumed_{false};
};

}  // namespace
}  // namespace tovi_http_detail

using namespace tovi_http_detail;

tovi_http_rest_closure_s::~tovi_http_rest_closure_s() {
  http_drop_file(this);
}

std::string tovi_http_rest_process_bytes(std::string_view bytes,
                                         const tovi_http_conn_facts_t &facts) {
  auto conn = std::make_shared<bytes_connection_c>();
  tovi_http_rest_closure_t *restc = &conn->restc;
  restc->conn = conn.get();
  restc->peer = facts.peer;
  restc->peer_loopback = tovi_http_address_is_loopback(facts.peer);
  restc->tls = facts.tls;
  restc->cert_verified = facts.cert_verified;
  restc->client_cn = facts.cert_verified ? facts.client_cn : std::string();
  restc->allowed_cns = &facts.allowed_cns;
  restc->read_cns = &facts.read_cns;
  restc->insecure_loopback = facts.insecure_loopback;
  restc->open_probes = facts.open_probes;
  restc->document_root = facts.document_root;

  std::string output;
  boost::asio::const_buffer input(bytes.data(), bytes.size());
  while (input.size() > 0) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(facts.max_body);
    parser.header_limit(16 * 1024);
    parser.eager(true);
    boost::system::error_code ec;
    while (!ec && !parser.is_done() && input.size() > 0) {
      size_t used = parser.put(input, ec);
      input += used;
      if (ec == http::error::need_more) {
        ec = {};
        if (used == 0) break;
      }
    }
    if (!parser.is_header_done() && !ec) break;  // an incomplete request waits for more bytes
    action_t action;
    if (ec) {
      http_parse_error_response(restc, ec);
      action = ACTION_RESPOND;
    } else if (!http_closure_begin(restc, parser.get())) {
      action = ACTION_RESPOND;
    } else {
      restc->body_complete = parser.is_done();
      if (restc->body_complete) restc->body = parser.get().body();
      action = http_dispatch_request(restc);
      if (action == ACTION_NEED_BODY) {
        restc->body_failed = !restc->body_complete;
        action = http_dispatch_after_body(restc);
      }
      while (action == ACTION_DEFERRED) {
        if (!conn->take_resumed()) {
          // Not resumed yet: the handle keeps the connection, and with it the closure, alive
          // for a late resume, which then has nowhere to write.
          return output;
        }
        action = http_dispatch_resume(restc);
      }
    }
    http_response_t res = http_build_response(restc);
    int fd = http_take_file(restc);
    if (fd >= 0) {
      // Tests and fuzzing only: the socket path streams the file instead.
      char chunk[8192];
      ssize_t n;
      while ((n = read(fd, chunk, sizeof(chunk))) > 0)
        res.body().append(chunk, static_cast<size_t>(n));
      close(fd);
    }
    bool keep = res.keep_alive() && !ec && parser.is_done();
    std::ostringstream os;
    os << res;
    output += os.str();
    http_closure_end(restc);  // as a kept-alive socket connection does between requests
    if (!keep) break;
  }
  return output;
}

// ---- Registration
// ---------------------------------------------------------------------------------

int tovi_http_rest_register_auth(const char *method, const char *base, const char *expression,
                                 tovi_http_rest_handler_t handler, tovi_http_rest_auth_t auth) {
  if (!method || !*method || !base || base[0] != '/' || !expression || !handler) {
    tovi_log(tovi_error, "REST route %s %s%s: method, base (a path) and handler are required\n",
             method ? method : "(null)", base ? base : "(null)", expression ? expression : "");
    return -1;
  }
  const char *err = nullptr;
  int erroff = 0;
  // '$' means the true end of the path: a decoded "%0a" before it must not satisfy a route.
  pcre *re = pcre_compile(expression, PCRE_DOLLAR_ENDONLY, &err, &erroff, nullptr);
  if (!re) {
    tovi_log(tovi_error, "REST route %s %s%s: bad expression at %d: %s\n", method, base, expression,
             erroff, err);
    return -1;
  }
  pcre_extra *extra = pcre_study(re, PCRE_STUDY_JIT_COMPILE, &err);
  if (err) {
    tovi_log(tovi_error, "REST route %s %s%s: cannot study: %s\n", method, base, expression, err);
    pcre_free(re);
    return -1;
  }
  auto route = std::make_unique<route_t>();
  route->method = method;
  route->base = base;
  route->expression = expression;
  route->re = re;
  route->extra = extra;
  pcre_fullinfo(re, extra, PCRE_INFO_CAPTURECOUNT, &route->capture_count);
  route->handler = handler;
  route->auth = auth;

  auto &table = route_table();
  std::unique_lock<std::shared_mutex> hold(table.lock);
  route->seq = table.routes.size();
  table.routes.push_back(std::move(route));
  table.ordered.clear();
  for (auto &r : table.routes)
    table.ordered.push_back(r.get());
  std::stable_sort(
      table.ordered.begin(), table.ordered.end(),
      [](const route_t *a, const route_t *b) { return a->base.size() > b->base.size(); });
  return 0;
}

int tovi_http_rest_register(const char *method, const char *base, const char *expression,
                            tovi_http_rest_handler_t handler) {
  return tovi_http_rest_register_auth(method, base, expression, handler, nullptr);
}

namespace {

int endpoints_handler(tovi_http_rest_closure_t *restc, int, char **) {
  std::string out = "[";
  {
    auto &table = route_table();
    std::shared_lock<std::shared_mutex> hold(table.lock);
    bool first = true;
    for (const auto &r : table.routes) {
      out += first ? "\n  {" : ",\n  {";
      first = false;
      out += "\"method\": ";
      tovi_json_escape_into(&out, r->method);
      out += ", \"base\": ";
      tovi_json_escape_into(&out, r->base);
      out += ", \"pattern\": ";
      tovi_json_escape_into(&out, r->expression);
      out += r->auth ? ", \"auth\": true}" : ", \"auth\": false}";
    }
  }
  out += "\n]\n";
  tovi_http_response_ok(restc, "application/json");
  tovi_http_response_append_str(restc, out);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

}  // namespace

int tovi_http_rest_disclose_endpoints(const char *base, const char *expression) {
  return tovi_http_rest_register_auth("GET", base, expression, endpoints_handler,
                                      tovi_http_rest_client_cert_auth);
}

// ---- Authentication
// --------------------------------------------------------------------------------

bool tovi_http_address_is_loopback(std::string_view address) {
  boost::system::error_code ec;
  auto addr = boost::asio::ip::make_address(std::string(address), ec);
  if (ec) return false;
  if (addr.is_v6() && addr.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, addr.to_v6()).is_loopback();
  return addr.is_loopback();
}

namespace {
bool names_hold(const std::vector<std::string> *names, std::string_view cn) {
  return names && std::find(names->begin(), names->end(), cn) != names->end();
}
}  // namespace

bool tovi_http_auth_allows(const tovi_http_auth_facts_t &f) {
  if (f.tls) {
    if (!f.cert_verified || f.client_cn.empty()) return false;
    if (!f.allowed_cns || f.allowed_cns->empty()) return true;
    return names_hold(f.allowed_cns, f.client_cn) || names_hold(f.read_cns, f.client_cn);
  }
  return f.insecure_loopback && f.peer_loopback;
}

bool tovi_http_request_read_only(tovi_http_rest_closure_t *restc) {
  return restc->tls && restc->cert_verified && names_hold(restc->read_cns, restc->client_cn);
}

bool tovi_http_rest_probe_auth(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  return restc->open_probes || tovi_http_rest_client_cert_auth(restc, npats, pats);
}

bool tovi_http_rest_client_cert_auth(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_auth_facts_t f;
  f.tls = restc->tls;
  f.cert_verified = restc->cert_verified;
  f.client_cn = restc->client_cn;
  f.allowed_cns = restc->allowed_cns;
  f.read_cns = restc->read_cns;
  f.insecure_loopback = restc->insecure_loopback;
  f.peer_loopback = restc->peer_loopback;
  return tovi_http_auth_allows(f);
}

// ---- Request accessors
// ------------------------------------------------------------------------------

const char *tovi_http_request_method(tovi_http_rest_closure_t *restc) {
  return restc->method.c_str();
}
const std::string &tovi_http_request_path(tovi_http_rest_closure_t *restc) {
  return restc->path;
}
const std::string &tovi_http_request_target(tovi_http_rest_closure_t *restc) {
  return restc->target;
}
const char *tovi_http_request_querystring(tovi_http_rest_closure_t *restc, const char *name) {
  for (const auto &kv : restc->query)
    if (kv.first == name) return kv.second.c_str();
  return nullptr;
}
const std::vector<std::pair<std::string, std::string>> &tovi_http_request_query(
    tovi_http_rest_closure_t *restc) {
  return restc->query;
}
const char *tovi_http_request_header(tovi_http_rest_closure_t *restc, const char *name) {
  for (const auto &kv : restc->headers)
    if (iequals(kv.first, name)) return kv.second.c_str();
  return nullptr;
}
const std::string &tovi_http_request_peer(tovi_http_rest_closure_t *restc) {
  return restc->peer;
}
bool tovi_http_request_is_tls(tovi_http_rest_closure_t *restc) {
  return restc->tls;
}
const std::string &tovi_http_request_client_cn(tovi_http_rest_closure_t *restc) {
  return restc->client_cn;
}
const std::string &tovi_http_request_document_root(tovi_http_rest_closure_t *restc) {
  return restc->document_root;
}

bool tovi_rest_complete_upload(tovi_http_rest_closure_t *restc, int *complete) {
  if (restc->body_failed) {
    *complete = 0;
    return false;
  }
  if (restc->body_complete) {
    *complete = 1;
    return true;
  }
  restc->upload_wanted = true;
  *complete = 0;
  return true;
}

std::string_view tovi_http_request_body(tovi_http_rest_closure_t *restc) {
  return restc->body;
}

void tovi_http_request_release_body(tovi_http_rest_closure_t *restc) {
  std::string().swap(restc->body);
}

// ---- Response
// ----------------------------------------------------------------------------------------

void tovi_http_response_status_set(tovi_http_rest_closure_t *restc, int code, const char *reason) {
  restc->status = code;
  restc->reason = reason ? reason : "";
}

void tovi_http_response_header_set(tovi_http_rest_closure_t *restc, const char *name,
                                   const char *value) {
  for (auto &kv : restc->response_headers) {
    if (iequals(kv.first, name)) {
      kv.second = value;
      return;
    }
  }
  restc->response_headers.emplace_back(name, value);
}

void tovi_http_response_ok(tovi_http_rest_closure_t *restc, const char *content_type) {
  tovi_http_response_standard(restc, 200, "OK", content_type);
}

void tovi_http_response_standard(tovi_http_rest_closure_t *restc, int code, const char *reason,
                                 const char *content_type) {
  tovi_http_response_status_set(restc, code, reason);
  if (content_type) tovi_http_response_header_set(restc, "Content-Type", content_type);
}

void tovi_http_response_append(tovi_http_rest_closure_t *restc, const void *data, size_t len) {
  if (restc->ended) return;
  restc->out.append(static_cast<const char *>(data), len);
}

void tovi_http_response_append_str(tovi_http_rest_closure_t *restc, std::string_view text) {
  tovi_http_response_append(restc, text.data(), text.size());
}

void tovi_http_response_append_json(tovi_http_rest_closure_t *restc, json_object *object) {
  const char *text = json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
  if (!text) return;
  // json-c writes a string's bytes as they are, UTF-8 or not.
  std::string fixed;
  if (tovi_json_utf8_repair(text, &fixed))
    tovi_http_response_append_str(restc, fixed);
  else
    tovi_http_response_append_str(restc, text);
}

void tovi_http_response_end(tovi_http_rest_closure_t *restc) {
  if (restc->status == 0) tovi_http_response_status_set(restc, 200, "OK");
  restc->ended = true;
}

void tovi_http_response_json_error(tovi_http_rest_closure_t *restc, int code, const char *status,
                                   const char *reason) {
  http_error_response(restc, code, status, reason ? reason : "");
}

bool tovi_http_response_ended(tovi_http_rest_closure_t *restc) {
  return restc->ended;
}

int tovi_http_response_status(tovi_http_rest_closure_t *restc) {
  return restc->status;
}

// ---- Deferred replies
// --------------------------------------------------------------------------------

void tovi_http_rest_set_completion(tovi_http_rest_closure_t *restc,
                                   tovi_http_rest_handler_t completion) {
  restc->completion = completion;
}

tovi_http_deferred_t *tovi_http_rest_float(tovi_http_rest_closure_t *restc) {
  restc->floated = true;
  return new tovi_http_deferred_s{restc->conn->shared_from_this(), restc};
}

void tovi_http_rest_resume(tovi_http_deferred_t *deferred) {
  if (!deferred) return;
  deferred->conn->post_resume(deferred->restc);
  delete deferred;
}
