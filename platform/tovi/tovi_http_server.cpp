// The REST server's listeners and connections, on Boost.Beast and OpenSSL.
//
// Each listener accepts on loop thread 0 and hands every new socket to the next loop thread in
// turn; from then on all of a connection's work (TLS handshake, reading, the handlers, writing)
// runs on that thread's io_context, so a connection needs no lock. The only way in from another
// thread is a deferred reply's resume, which posts to the connection's executor.
//
// A connection reads one request header at a time (a slow client gets header_timeout for its
// first request, idle_timeout while kept alive), dispatches it, reads the body when the handler
// asks for it, writes the reply and, on a kept-alive connection, reads whatever body the handler
// left unread before the next request. A malformed request gets 400 and the connection closes;
// a body over the limit gets 413 and the connection closes.
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <memory>
#include <optional>

#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_http_internal.h"
#include "tovi/tovi_log.h"

namespace tovi_http_detail {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

constexpr size_t header_limit_bytes = 16 * 1024;

struct listener_t {
  listener_settings_t settings;
  std::unique_ptr<ssl::context> tls;
  std::unique_ptr<tcp::acceptor> acceptor;
  int bound_port = -1;
};

struct server_state_t {
  std::vector<std::unique_ptr<listener_t>> listeners;
  bool initialized = false;
  bool started = false;
  int max_connections = 10000;
  std::atomic<int> connections{0};
  std::atomic<uint64_t> next_thread{0};
};

server_state_t &server() {
  static server_state_t *s = new server_state_t;
  return *s;
}

tovi_log_stream_t http_debug() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/http");
  return ls;
}

// The common name of a certificate's subject, or "".
std::string subject_cn(X509 *cert) {
  X509_NAME *name = X509_get_subject_name(cert);
  int idx = name ? X509_NAME_get_index_by_NID(name, NID_commonName, -1) : -1;
  if (idx < 0) return std::string();
  ASN1_STRING *data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
  unsigned char *utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, data);
  if (len < 0) return std::string();
  std::string cn(reinterpret_cast<char *>(utf8), static_cast<size_t>(len));
  OPENSSL_free(utf8);
  if (cn.find('\0') != std::string::npos) return std::string();  // never trust an embedded NUL
  return cn;
}

template <class Stream>
class session_c : public connection_c {
 public:
  static constexpr bool is_tls = !std::is_same_v<Stream, beast::tcp_stream>;

  session_c(tcp::socket &&socket, listener_t *listener)
      : stream_(make_stream(std::move(socket), listener)), listener_(listener) {
    const listener_settings_t &s = listener->settings;
    restc_.conn = this;
    restc_.tls = is_tls;
    restc_.allowed_cns = &s.allowed_cns;
    restc_.insecure_loopback = s.insecure_loopback;
    restc_.document_root = s.document_root;
    server().connections.fetch_add(1, std::memory_order_relaxed);
  }
  ~session_c() override { server().connections.fetch_sub(1, std::memory_order_relaxed); }

  void start() {
    boost::system::error_code ec;
    auto remote = beast::get_lowest_layer(stream_).socket().remote_endpoint(ec);
    if (ec) return;  // already gone
    restc_.peer = remote.address().to_string();
    restc_.peer_loopback = tovi_http_address_is_loopback(restc_.peer);
    if constexpr (is_tls) {
      beast::get_lowest_layer(stream_).expires_after(
          std::chrono::seconds(listener_->settings.header_timeout_s));
      stream_.async_handshake(
          ssl::stream_base::server,
          [self = self()](const boost::system::error_code &ec) { self->on_handshake(ec); });
    } else {
      read_header(true);
    }
  }

  void post_resume(tovi_http_rest_closure_t *restc) override {
    asio::post(stream_.get_executor(),
               [self = self(), restc] { self->handle(http_dispatch_resume(restc)); });
  }

 private:
  static Stream make_stream(tcp::socket &&socket, listener_t *listener) {
    if constexpr (is_tls)
      return Stream(beast::tcp_stream(std::move(socket)), *listener->tls);
    else
      return Stream(std::move(socket));
  }

  std::shared_ptr<session_c> self() {
    return std::static_pointer_cast<session_c>(shared_from_this());
  }

  void on_handshake(const boost::system::error_code &ec) {
    if (ec) {
      http_stats_tls_failure();
      tovi_log(http_debug(), "TLS handshake with %s failed: %s\n", restc_.peer.c_str(),
               ec.message().c_str());
      return;  // dropping the last reference closes the socket
    }
    if constexpr (is_tls) {
      SSL *ssl = stream_.native_handle();
      X509 *cert = SSL_get_peer_certificate(ssl);
      if (cert) {
        restc_.cert_verified = SSL_get_verify_result(ssl) == X509_V_OK;
        if (restc_.cert_verified) restc_.client_cn = subject_cn(cert);
        X509_free(cert);
      }
    }
    read_header(true);
  }

  void read_header(bool first) {
    parser_.emplace();
    parser_->body_limit(http_max_body());
    parser_->header_limit(header_limit_bytes);
    const listener_settings_t &s = listener_->settings;
    beast::get_lowest_layer(stream_).expires_after(
        std::chrono::seconds(first ? s.header_timeout_s : s.idle_timeout_s));
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = self()](const boost::system::error_code &ec, size_t) { self->on_header(ec); });
  }

  void on_header(const boost::system::error_code &ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted || ec == asio::error::eof ||
        ec == asio::error::connection_reset || ec == ssl::error::stream_truncated) {
      shutdown();
      return;
    }
    if (ec) {
      bad_request(ec == http::error::body_limit ? 413 : 400);
      return;
    }
    if (!http_closure_begin(&restc_, parser_->get())) {
      close_after_ = true;
      handle(ACTION_RESPOND);
      return;
    }
    restc_.body_complete = parser_->is_done();
    if (restc_.body_complete) restc_.body = std::move(parser_->get().body());
    handle(http_dispatch_request(&restc_));
  }

  void bad_request(int code) {
    restc_.version = 11;
    restc_.keep_alive = false;
    if (code == 413)
      http_error_response(&restc_, 413, "PAYLOAD TOO LARGE", "the body is too large");
    else
      http_error_response(&restc_, 400, "BAD REQUEST", "malformed request");
    close_after_ = true;
    write_response();
  }

  void handle(action_t action) {
    switch (action) {
      case ACTION_RESPOND:
        write_response();
        break;
      case ACTION_NEED_BODY:
        read_body();
        break;
      case ACTION_DEFERRED:
        // Floated: the component holding the handle decides when the reply comes.
        beast::get_lowest_layer(stream_).expires_never();
        break;
    }
  }

  void read_body() {
    const char *expect = tovi_http_request_header(&restc_, "Expect");
    if (expect && strcasecmp(expect, "100-continue") == 0 && restc_.version >= 11) {
      auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
      beast::get_lowest_layer(stream_).expires_after(
          std::chrono::seconds(listener_->settings.idle_timeout_s));
      http::async_write(stream_, *cont,
                        [self = self(), cont](const boost::system::error_code &ec, size_t) {
                          if (ec) return self->shutdown();
                          self->read_body_now();
                        });
      return;
    }
    read_body_now();
  }

  void read_body_now() {
    beast::get_lowest_layer(stream_).expires_after(
        std::chrono::seconds(listener_->settings.idle_timeout_s));
    http::async_read(
        stream_, buffer_, *parser_,
        [self = self()](const boost::system::error_code &ec, size_t) { self->on_body(ec); });
  }

  void on_body(const boost::system::error_code &ec) {
    if (ec == http::error::body_limit) {
      bad_request(413);
      return;
    }
    if (ec) {
      shutdown();
      return;
    }
    restc_.body = std::move(parser_->get().body());
    restc_.body_complete = true;
    handle(http_dispatch_after_body(&restc_));
  }

  void write_response() {
    response_ = std::make_shared<http_response_t>(http_build_response(&restc_));
    if (!response_->keep_alive()) close_after_ = true;
    beast::get_lowest_layer(stream_).expires_after(
        std::chrono::seconds(listener_->settings.idle_timeout_s));
    http::async_write(
        stream_, *response_,
        [self = self()](const boost::system::error_code &ec, size_t) { self->on_write(ec); });
  }

  void on_write(const boost::system::error_code &ec) {
    response_.reset();
    if (ec || close_after_) {
      shutdown();
      return;
    }
    if (!parser_->is_done()) {
      // The handler answered without the body: read it past before the next request.
      beast::get_lowest_layer(stream_).expires_after(
          std::chrono::seconds(listener_->settings.idle_timeout_s));
      http::async_read(stream_, buffer_, *parser_,
                       [self = self()](const boost::system::error_code &ec, size_t) {
                         if (ec) return self->shutdown();
                         self->read_header(false);
                       });
      return;
    }
    read_header(false);
  }

  void shutdown() {
    auto &lowest = beast::get_lowest_layer(stream_);
    if constexpr (is_tls) {
      if (!shutting_down_) {
        shutting_down_ = true;
        lowest.expires_after(std::chrono::seconds(5));
        stream_.async_shutdown(
            [self = self()](const boost::system::error_code &) { self->close_socket(); });
        return;
      }
    }
    close_socket();
  }

  void close_socket() {
    boost::system::error_code ignored;
    auto &socket = beast::get_lowest_layer(stream_).socket();
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
  }

  Stream stream_;
  listener_t *listener_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<http_response_t> response_;
  tovi_http_rest_closure_t restc_;
  bool close_after_ = false;
  bool shutting_down_ = false;
};

using plain_session_c = session_c<beast::tcp_stream>;
using tls_session_c = session_c<beast::ssl_stream<beast::tcp_stream>>;

void accept_next(listener_t *listener) {
  server_state_t &st = server();
  int owner = static_cast<int>(st.next_thread.fetch_add(1, std::memory_order_relaxed) %
                               static_cast<uint64_t>(eventer_loop_concurrency()));
  listener->acceptor->async_accept(
      eventer_io_context(owner),
      [listener](const boost::system::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
          // Out of descriptors and the like: back off a little rather than spin.
          tovi_log(tovi_error, "REST listener on port %d cannot accept: %s\n", listener->bound_port,
                   ec.message().c_str());
          auto delay = std::make_shared<asio::steady_timer>(eventer_io_context(0),
                                                            std::chrono::milliseconds(100));
          delay->async_wait(
              [listener, delay](const boost::system::error_code &) { accept_next(listener); });
          return;
        }
        server_state_t &s = server();
        if (s.connections.load(std::memory_order_relaxed) >= s.max_connections) {
          http_stats_connection_refused();
          boost::system::error_code ignored;
          socket.close(ignored);
        } else {
          http_stats_connection_accepted();
          auto executor = socket.get_executor();
          if (listener->tls) {
            auto session = std::make_shared<tls_session_c>(std::move(socket), listener);
            asio::dispatch(executor, [session] { session->start(); });
          } else {
            auto session = std::make_shared<plain_session_c>(std::move(socket), listener);
            asio::dispatch(executor, [session] { session->start(); });
          }
        }
        accept_next(listener);
      });
}

bool absolute_path(const char *what, std::string *path) {
  if (path->empty()) return true;
  char buf[PATH_MAX];
  if (!realpath(path->c_str(), buf)) {
    tovi_log(tovi_error, "REST listener: %s '%s' cannot be found\n", what, path->c_str());
    return false;
  }
  *path = buf;
  return true;
}

std::vector<std::string> split_names(const std::string &text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string part =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t b = part.find_first_not_of(" \t"), e = part.find_last_not_of(" \t");
    if (b != std::string::npos) out.push_back(part.substr(b, e - b + 1));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

bool make_tls_context(listener_t *l) {
  const listener_settings_t &s = l->settings;
  auto ctx = std::make_unique<ssl::context>(ssl::context::tls_server);
  boost::system::error_code ec;
  ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                       ssl::context::single_dh_use,
                   ec);
  ctx->use_certificate_chain_file(s.certificate_file, ec);
  if (ec) {
    tovi_log(tovi_error, "REST listener: cannot use certificate_file '%s': %s\n",
             s.certificate_file.c_str(), ec.message().c_str());
    return false;
  }
  ctx->use_private_key_file(s.key_file, ssl::context::pem, ec);
  if (ec) {
    tovi_log(tovi_error, "REST listener: cannot use key_file '%s': %s\n", s.key_file.c_str(),
             ec.message().c_str());
    return false;
  }
  if (!s.ca_file.empty()) {
    ctx->load_verify_file(s.ca_file, ec);
    if (ec) {
      tovi_log(tovi_error, "REST listener: cannot use ca_file '%s': %s\n", s.ca_file.c_str(),
               ec.message().c_str());
      return false;
    }
    // Ask for a client certificate without demanding one: routes without authentication stay
    // open to clients that have none, and the routes that need one answer 403.
    ctx->set_verify_mode(ssl::verify_peer, ec);
    STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(s.ca_file.c_str());
    if (names) SSL_CTX_set_client_CA_list(ctx->native_handle(), names);
    static const unsigned char sid_ctx[] = "queltd-rest";
    SSL_CTX_set_session_id_context(ctx->native_handle(), sid_ctx, sizeof(sid_ctx) - 1);
  }
  l->tls = std::move(ctx);
  return true;
}

bool read_listener(tovi_conf_section_t section, listener_t *l) {
  listener_settings_t &s = l->settings;
  tovi_conf_get_string(section, "@address", &s.address);
  int32_t port = -1;
  if (!tovi_conf_get_int32(section, "@port", &port) || port < 0 || port > 65535) {
    tovi_log(tovi_error, "REST listener: //listeners/listener/@port is missing or not a port\n");
    return false;
  }
  s.port = port;
  tovi_conf_get_string(section, "@certificate_file", &s.certificate_file);
  tovi_conf_get_string(section, "@key_file", &s.key_file);
  tovi_conf_get_string(section, "@ca_file", &s.ca_file);
  std::string cns;
  if (tovi_conf_get_string(section, "@allowed_cns", &cns)) s.allowed_cns = split_names(cns);
  std::string insecure;
  tovi_conf_get_string(section, "@insecure", &insecure);
  tovi_conf_get_string(section, "@document_root", &s.document_root);
  int32_t t = s.idle_timeout_s;
  if (tovi_conf_get_int32(section, "@idle_timeout", &t) && t > 0) s.idle_timeout_s = t;
  t = s.header_timeout_s;
  if (tovi_conf_get_int32(section, "@header_timeout", &t) && t > 0) s.header_timeout_s = t;

  s.tls = !s.certificate_file.empty();
  if (!insecure.empty()) {
    if (insecure != "loopback") {
      tovi_log(tovi_error, "REST listener on port %d: insecure must be \"loopback\"\n", s.port);
      return false;
    }
    if (s.tls) {
      tovi_log(tovi_error,
               "REST listener on port %d: insecure=\"loopback\" is for plain listeners only\n",
               s.port);
      return false;
    }
    s.insecure_loopback = true;
  }
  if (!s.tls && (!s.key_file.empty() || !s.ca_file.empty() || !s.allowed_cns.empty())) {
    tovi_log(tovi_error, "REST listener on port %d: TLS settings without certificate_file\n",
             s.port);
    return false;
  }
  if (s.tls && s.key_file.empty()) {
    tovi_log(tovi_error, "REST listener on port %d: certificate_file without key_file\n", s.port);
    return false;
  }
  if (!absolute_path("certificate_file", &s.certificate_file) ||
      !absolute_path("key_file", &s.key_file) || !absolute_path("ca_file", &s.ca_file) ||
      !absolute_path("document_root", &s.document_root))
    return false;
  if (!s.document_root.empty()) {
    struct stat st;
    if (stat(s.document_root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      tovi_log(tovi_error, "REST listener: document_root '%s' is not a directory\n",
               s.document_root.c_str());
      return false;
    }
  }
  return !s.tls || make_tls_context(l);
}

}  // namespace
}  // namespace tovi_http_detail

using namespace tovi_http_detail;

int tovi_http_rest_init(void) {
  server_state_t &st = server();
  if (st.initialized) return static_cast<int>(st.listeners.size());
  int64_t max_body = static_cast<int64_t>(g_max_body);
  if (tovi_conf_exists(nullptr, "//listeners/@max_body")) {
    if (!tovi_conf_get_int64(nullptr, "//listeners/@max_body", &max_body) || max_body <= 0) {
      tovi_log(tovi_error, "//listeners/@max_body must be a positive number of bytes\n");
      return -1;
    }
  }
  g_max_body = static_cast<size_t>(max_body);
  int32_t max_connections = st.max_connections;
  if (tovi_conf_get_int32(nullptr, "//listeners/@max_connections", &max_connections) &&
      max_connections > 0)
    st.max_connections = max_connections;

  for (tovi_conf_section_t section : tovi_conf_get_sections(nullptr, "//listeners/listener")) {
    std::string type;
    tovi_conf_get_string(section, "@type", &type);
    if (type != "http") continue;
    auto l = std::make_unique<listener_t>();
    if (!read_listener(section, l.get())) return -1;
    st.listeners.push_back(std::move(l));
  }
  st.initialized = true;
  return static_cast<int>(st.listeners.size());
}

int tovi_http_listener_init(const char *app_name) {
  server_state_t &st = server();
  if (!st.initialized && tovi_http_rest_init() < 0) return -1;
  if (st.started) return static_cast<int>(st.listeners.size());
  for (auto &lp : st.listeners) {
    listener_t *l = lp.get();
    boost::system::error_code ec;
    auto address = asio::ip::make_address(l->settings.address, ec);
    if (ec) {
      tovi_log(tovi_error, "%s: REST listener address '%s' is not an address\n", app_name,
               l->settings.address.c_str());
      return -1;
    }
    tcp::endpoint endpoint(address, static_cast<unsigned short>(l->settings.port));
    l->acceptor = std::make_unique<tcp::acceptor>(eventer_io_context(0));
    l->acceptor->open(endpoint.protocol(), ec);
    if (!ec) l->acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) l->acceptor->bind(endpoint, ec);
    if (!ec) l->acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      tovi_log(tovi_error, "%s: cannot listen for REST on %s:%d: %s\n", app_name,
               l->settings.address.c_str(), l->settings.port, ec.message().c_str());
      return -1;
    }
    l->bound_port = l->acceptor->local_endpoint(ec).port();
    tovi_log(tovi_notice, "%s: REST listening on %s:%d (%s)\n", app_name,
             l->settings.address.c_str(), l->bound_port, l->tls ? "TLS" : "plain");
    accept_next(l);
  }
  st.started = true;
  return static_cast<int>(st.listeners.size());
}

int tovi_http_listener_port(int index) {
  server_state_t &st = server();
  if (index < 0 || index >= static_cast<int>(st.listeners.size())) return -1;
  return st.listeners[static_cast<size_t>(index)]->bound_port;
}
