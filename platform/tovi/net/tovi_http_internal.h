// What the REST server's request handling (tovi_http.cpp, tovi_http_paths.cpp) and its
// connections (tovi_http_server.cpp, and the socket-free path of tovi_http_rest_process_bytes)
// share. Nothing outside these files includes it.
#pragma once

#include <atomic>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tovi/tovi_asio.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_log.h"

namespace tovi_http_detail {

// A connection that can carry a deferred reply.
class connection_c : public std::enable_shared_from_this<connection_c> {
 public:
  virtual ~connection_c() = default;
  // Any thread: continue the floated request on the connection's own thread.
  virtual void post_resume(tovi_http_rest_closure_t *restc) = 0;
};

struct route_t;

// What the connection does next with a request.
enum action_t {
  ACTION_RESPOND,    // the response is ready: write it
  ACTION_NEED_BODY,  // read the rest of the body, then call http_dispatch_after_body
  ACTION_DEFERRED,   // wait for post_resume, then call http_dispatch_resume
};

using http_request_header_t = boost::beast::http::request<boost::beast::http::string_body>;
using http_response_t = boost::beast::http::response<boost::beast::http::string_body>;

// Settings of the listener a connection came in on (shared by its connections, never changed).
struct listener_settings_t {
  std::string address = "127.0.0.1";
  int port = 0;
  bool tls = false;
  std::string certificate_file, key_file, ca_file;
  std::vector<std::string> allowed_cns;
  std::vector<std::string> read_cns;  // verified common names that may only read
  bool insecure_loopback = false;
  bool open_probes = false;  // the health and readiness probes need no client certificate
  std::string document_root;
  int idle_timeout_s = 60;
  int header_timeout_s = 30;
  int handshake_timeout_s = 10;
};

// A reply with a body larger than this is never answered on a kept-alive connection while the
// request's own body is still unread: the connection closes instead of reading it.
constexpr uint64_t discard_body_limit = 64 * 1024;

// The request body limit, set by tovi_http_rest_init.
extern size_t g_max_body;
size_t http_max_body(void);

}  // namespace tovi_http_detail

struct tovi_http_rest_closure_s {
  // Constant for the connection.
  tovi_http_detail::connection_c *conn = nullptr;
  std::string peer;
  bool peer_loopback = false;
  bool tls = false;
  bool cert_verified = false;
  std::string client_cn;
  const std::vector<std::string> *allowed_cns = nullptr;
  const std::vector<std::string> *read_cns = nullptr;
  bool insecure_loopback = false;
  bool open_probes = false;
  std::string document_root;

  // The request.
  std::string method;
  std::string target;
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
  std::vector<std::pair<std::string, std::string>> headers;
  unsigned version = 11;
  bool keep_alive = true;
  std::string body;
  bool body_complete = false;
  bool body_failed = false;
  bool upload_wanted = false;
  const tovi_http_detail::route_t *route = nullptr;
  std::vector<std::string> captures;
  std::vector<char *> capture_ptrs;
  uint64_t start_ns = 0;

  // The response.
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> response_headers;
  std::string out;
  // A file reply: the open descriptor (owned here until the connection takes it) and its size;
  // the body is then streamed from the file, never held in `out`.
  int file_fd = -1;
  uint64_t file_size = 0;
  bool ended = false;
  bool floated = false;
  bool resume_posted = false;
  tovi_http_rest_handler_t completion = nullptr;

  ~tovi_http_rest_closure_s();
};

namespace tovi_http_detail {

// Whether two texts are equal ignoring ASCII case.
inline bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Resets the request and response parts of a closure for a new request, taking the header's
// method, target, version, headers and keep-alive. Returns false when the target is unusable
// (not a path, or a path that does not decode): the closure then holds a 400 response.
bool http_closure_begin(tovi_http_rest_closure_t *restc, const http_request_header_t &header);
// Gives back the memory of the request and reply just served (the body above all, which can be
// as large as the body limit), keeping the connection's constant part: a kept-alive connection
// waits for its next request holding nothing of the last one.
void http_closure_end(tovi_http_rest_closure_t *restc);
// The reply to a request that did not parse: 413 (body over the limit), 431 (header over the
// limit) or 400; the connection closes after it.
void http_parse_error_response(tovi_http_rest_closure_t *restc,
                               const boost::system::error_code &ec);
// Routes, authenticates and calls the handler.
action_t http_dispatch_request(tovi_http_rest_closure_t *restc);
// The body arrived (or failed: restc->body_failed); calls the handler again.
action_t http_dispatch_after_body(tovi_http_rest_closure_t *restc);
// A floated request resumed: calls the completion handler.
action_t http_dispatch_resume(tovi_http_rest_closure_t *restc);
// Sets an error response (status, reason and a small JSON body) and ends it.
void http_error_response(tovi_http_rest_closure_t *restc, int code, const char *reason,
                         const char *message);
// The response as a Beast message, counted in the statistics. Decides keep-alive: the result's
// keep_alive() says whether the connection may carry another request. A body is sent with its
// Content-Length; for a file reply (restc->file_fd >= 0) the body is left empty and the
// Content-Length is the file's: the caller streams the file (http_take_file).
http_response_t http_build_response(tovi_http_rest_closure_t *restc);
// Hands over the descriptor of a file reply (or -1): the caller closes it.
int http_take_file(tovi_http_rest_closure_t *restc);
// Closes a file reply's descriptor that nobody took.
void http_drop_file(tovi_http_rest_closure_t *restc);

// Statistics of the server.
void http_stats_connection_accepted(void);
void http_stats_connection_refused(void);
void http_stats_tls_failure(void);
void http_stats_connection_dropped_by_peer_cap(void);

// ---- Listeners and connections (tovi_http_server.cpp, tovi_http_session.cpp) -----------------

struct listener_t {
  listener_settings_t settings;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls{nullptr, SSL_CTX_free};
  std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
  int bound_port = -1;
};

struct server_state_t {
  std::vector<std::unique_ptr<listener_t>> listeners;
  bool initialized = false;
  bool started = false;
  int max_connections = 10000;
  int max_connections_per_peer = 0;  // 0: no cap
  int spare_fd = -1;                 // given up to refuse a connection when descriptors run out
  std::atomic<int> connections{0};
  std::atomic<uint64_t> next_thread{0};
};

// The server's listeners and limits, made by tovi_http_rest_init.
server_state_t &server();
// The "debug/http" stream.
tovi_log_stream_t http_debug();
// Gives back a connection's slot of its peer's count (taken when it was accepted).
void peer_release(const std::string &peer);
// Starts a connection on the socket's loop thread; the peer's slot belongs to it from here on.
void http_session_start(boost::asio::ip::tcp::socket &&socket, listener_t *listener,
                        std::string peer);

}  // namespace tovi_http_detail
