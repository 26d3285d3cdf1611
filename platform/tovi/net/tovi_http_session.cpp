// The REST server's connections, on Boost.Beast and OpenSSL (the listeners that accept them are in
// tovi_http_server.cpp).
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

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <memory>
#include <optional>
#include <string>

#include "tovi/eventer.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_http_internal.h"
#include "tovi/tovi_http_tls.h"
#include "tovi/tovi_log.h"

namespace tovi_http_detail {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

constexpr size_t header_limit_bytes = 16 * 1024;

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

  // The peer's slot (peer_acquire) belongs to the session from here on.
  session_c(tcp::socket &&socket, listener_t *listener, std::string peer)
      : tcp_(std::move(socket)),
        executor_(tcp_.get_executor()),
        listener_(listener),
        deadline_(executor_) {
    const listener_settings_t &s = listener->settings;
    restc_.conn = this;
    restc_.tls = is_tls;
    restc_.allowed_cns = &s.allowed_cns;
    restc_.read_cns = &s.read_cns;
    restc_.insecure_loopback = s.insecure_loopback;
    restc_.open_probes = s.open_probes;
    restc_.document_root = s.document_root;
    restc_.peer = std::move(peer);
    restc_.peer_loopback = tovi_http_address_is_loopback(restc_.peer);
    server().connections.fetch_add(1, std::memory_order_relaxed);
  }
  ~session_c() override {
    peer_release(restc_.peer);
    server().connections.fetch_sub(1, std::memory_order_relaxed);
  }

  void start() {
    boost::system::error_code ignored;
    // Replies are written whole; waiting for an acknowledgement before sending the last
    // segment only delays them.
    tcp_.socket().set_option(tcp::no_delay(true), ignored);
    if constexpr (is_tls) {
      // The TLS state (some 40 KiB until the handshake ends) is made only once the client's
      // first record has arrived whole, and the whole handshake must finish within
      // handshake_timeout.
      deadline_.expires_after(std::chrono::seconds(listener_->settings.handshake_timeout_s));
      deadline_.async_wait([self = self()](const boost::system::error_code &ec) {
        if (!ec) self->handshake_expired();
      });
      await_client_hello();
    } else {
      read_header(true);
    }
  }

  void post_resume(tovi_http_rest_closure_t *restc) override {
    // Not tcp_'s executor: tcp_ is moved into tls_ once TLS begins.
    asio::post(executor_, [self = self(), restc] { self->handle(http_dispatch_resume(restc)); });
  }

 private:
  Stream &stream() {
    if constexpr (is_tls)
      return *tls_;
    else
      return tcp_;
  }
  beast::tcp_stream &lowest() {
    if constexpr (is_tls)
      return tls_ ? beast::get_lowest_layer(*tls_) : tcp_;
    else
      return tcp_;
  }

  // Whether TLS holds received bytes that a socket wait would not announce.
  bool tls_has_pending() {
    if constexpr (is_tls)
      return tls_ && tls_->native_handle() && SSL_has_pending(tls_->native_handle());
    else
      return false;
  }

  // The read and write deadline of the stream the connection uses now.
  template <class Duration>
  void expire_after(Duration d) {
    if constexpr (is_tls) {
      if (tls_) return tls_->expires_after(d);
    }
    tcp_.expires_after(d);
  }
  void expire_never() {
    if constexpr (is_tls) {
      if (tls_) return tls_->expires_never();
    }
    tcp_.expires_never();
  }

  std::shared_ptr<session_c> self() {
    return std::static_pointer_cast<session_c>(shared_from_this());
  }

  void handshake_expired() {
    if (handshake_done_) return;
    handshake_timed_out_ = true;
    http_stats_tls_failure();
    tovi_log(http_debug(), "TLS handshake with %s timed out\n", restc_.peer.c_str());
    boost::system::error_code ignored;
    lowest().socket().close(ignored);  // ends the pending wait or handshake
  }

  void await_client_hello() {
    tcp_.socket().async_wait(
        tcp::socket::wait_read,
        [self = self()](const boost::system::error_code &ec) { self->on_first_bytes(ec); });
  }

  // Whether the client's first TLS record has arrived whole, or what arrived cannot be the start
  // of one (TLS then answers it). Peeks; takes nothing from the socket.
  bool first_record_arrived() {
    uint8_t head[5];
    ssize_t n = recv(tcp_.socket().native_handle(), head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    if (n == 0) return true;
    if (head[0] != 22) return true;  // not a handshake record
    if (n < 5) return false;
    size_t record = 5 + (size_t(head[3]) << 8 | head[4]);
    boost::system::error_code ec;
    size_t available = tcp_.socket().available(ec);
    return ec || available >= record;
  }

  void on_first_bytes(const boost::system::error_code &ec) {
    if constexpr (is_tls) {
      if (ec || handshake_timed_out_) {
        deadline_.cancel();
        return;
      }
      // Each further piece of the record wakes the wait again.
      if (!first_record_arrived()) return await_client_hello();
      tls_.emplace(std::move(tcp_), listener_->tls.get());
      tls_->async_handshake(
          [self = self()](const boost::system::error_code &ec) { self->on_handshake(ec); });
    }
  }

  void on_handshake(const boost::system::error_code &ec) {
    handshake_done_ = true;
    deadline_.cancel();
    if (ec || handshake_timed_out_) {
      if (!handshake_timed_out_) {
        http_stats_tls_failure();
        tovi_log(http_debug(), "TLS handshake with %s failed: %s\n", restc_.peer.c_str(),
                 ec.message().c_str());
      }
      return;  // dropping the last reference closes the socket
    }
    if constexpr (is_tls) {
      SSL *ssl = tls_->native_handle();
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
    // Between requests a connection keeps no parser, no read buffer and nothing of the last
    // request or reply.
    parser_.reset();
    if (!first) http_closure_end(&restc_);
    if (buffer_.size() == 0) buffer_.shrink_to_fit();
    boost::system::error_code available_ec;
    if (buffer_.size() == 0 && !tls_has_pending() &&
        lowest().socket().available(available_ec) == 0 && !available_ec) {
      // The connection waits for its next bytes without any buffer at all (and TLS without its
      // record buffer, which OpenSSL gave back once it was empty).
      const listener_settings_t &s = listener_->settings;
      deadline_.expires_after(std::chrono::seconds(first ? s.header_timeout_s : s.idle_timeout_s));
      deadline_.async_wait([self = self()](const boost::system::error_code &ec) {
        if (!ec) {
          boost::system::error_code ignored;
          self->lowest().socket().close(ignored);
        }
      });
      lowest().socket().async_wait(tcp::socket::wait_read,
                                   [self = self(), first](const boost::system::error_code &ec) {
                                     self->deadline_.cancel();
                                     if (ec) return self->shutdown();
                                     self->read_header_now(first);
                                   });
      return;
    }
    read_header_now(first);
  }

  void read_header_now(bool first) {
    parser_.emplace();
    parser_->body_limit(http_max_body());
    parser_->header_limit(header_limit_bytes);
    const listener_settings_t &s = listener_->settings;
    expire_after(std::chrono::seconds(first ? s.header_timeout_s : s.idle_timeout_s));
    http::async_read_header(
        stream(), buffer_, *parser_,
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
      http_parse_error_response(&restc_, ec);
      close_after_ = true;
      write_response();
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
        expire_never();
        break;
    }
  }

  void read_body() {
    const char *expect = tovi_http_request_header(&restc_, "Expect");
    if (expect && strcasecmp(expect, "100-continue") == 0 && restc_.version >= 11) {
      auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
      expire_after(std::chrono::seconds(listener_->settings.idle_timeout_s));
      http::async_write(stream(), *cont,
                        [self = self(), cont](const boost::system::error_code &ec, size_t) {
                          if (ec) return self->shutdown();
                          self->read_body_now();
                        });
      return;
    }
    read_body_now();
  }

  void read_body_now() {
    expire_after(std::chrono::seconds(listener_->settings.idle_timeout_s));
    http::async_read(
        stream(), buffer_, *parser_,
        [self = self()](const boost::system::error_code &ec, size_t) { self->on_body(ec); });
  }

  void on_body(const boost::system::error_code &ec) {
    if (ec == http::error::body_limit) {
      http_parse_error_response(&restc_, ec);
      close_after_ = true;
      write_response();
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

  // Whether the request's body is still (partly) unread and too large, or of unknown size, to
  // be read past: the connection then closes after the reply instead of taking it in.
  bool unread_body_too_large() {
    if (!parser_ || parser_->is_done() || !parser_->is_header_done()) return false;
    auto remaining = parser_->content_length_remaining();
    return !remaining || *remaining > discard_body_limit;
  }

  void write_response() {
    if (unread_body_too_large()) {
      restc_.keep_alive = false;
      close_after_ = true;
      drain_on_close_ = true;
    }
    if (close_after_) {
      restc_.keep_alive = false;
      // The client may still be sending a body we refused (too large, say). Closing under it
      // would reset the connection and could destroy the reply before the client reads it: a
      // small rest is read through the stream and thrown away before the orderly close; a large
      // one is drained off the socket after it (close_socket).
      if (parser_ && !parser_->is_done() && !drain_on_close_) {
        // A length over the limit fails the header itself: the length then comes from the
        // field. Counting too much is harmless: the client closes once it has the reply.
        std::optional<uint64_t> remaining;
        if (parser_->is_header_done()) {
          if (auto r = parser_->content_length_remaining()) remaining = *r;
        } else {
          auto field = parser_->get()[http::field::content_length];
          uint64_t n = 0;
          auto [end, err] = std::from_chars(field.data(), field.data() + field.size(), n);
          if (err == std::errc() && end == field.data() + field.size() && !field.empty())
            remaining = n;
        }
        uint64_t buffered = buffer_.size();
        buffer_.consume(buffered);
        if (!remaining || *remaining > discard_body_limit)
          drain_on_close_ = true;
        else
          discard_left_ = *remaining > buffered ? *remaining - buffered : 0;
      }
    }
    response_ = std::make_shared<http_response_t>(http_build_response(&restc_));
    if (!response_->keep_alive()) close_after_ = true;
    expire_after(std::chrono::seconds(listener_->settings.idle_timeout_s));
    int fd = http_take_file(&restc_);
    if (fd >= 0) {
      // The file goes out in the body's own bounded pieces, never whole.
      auto file_res =
          std::make_shared<http::response<http::file_body>>(std::move(response_->base()));
      response_.reset();
      beast::file_posix file;
      file.native_handle(fd);
      boost::system::error_code ec;
      file_res->body().reset(std::move(file), ec);
      if (ec) return shutdown();
      file_res->content_length(file_res->body().size());
      http::async_write(stream(), *file_res,
                        [self = self(), file_res](const boost::system::error_code &ec, size_t) {
                          self->on_write(ec);
                        });
      return;
    }
    http::async_write(
        stream(), *response_,
        [self = self()](const boost::system::error_code &ec, size_t) { self->on_write(ec); });
  }

  void on_write(const boost::system::error_code &ec) {
    response_.reset();
    if (!ec && close_after_ && discard_left_ > 0) {
      discard_then_shutdown();
      return;
    }
    if (ec || close_after_) {
      shutdown();
      return;
    }
    if (parser_ && !parser_->is_done()) {
      // The handler answered without the body, which is small: read it past (into nothing
      // kept) before the next request.
      parser_->body_limit(discard_body_limit);
      expire_after(std::chrono::seconds(listener_->settings.idle_timeout_s));
      http::async_read(stream(), buffer_, *parser_,
                       [self = self()](const boost::system::error_code &ec, size_t) {
                         if (ec) return self->shutdown();
                         self->read_header(false);
                       });
      return;
    }
    read_header(false);
  }

  // Reads the refused body's rest through the stream, into nothing kept, then closes.
  void discard_then_shutdown() {
    if (!drain_buf_) drain_buf_ = std::make_unique<char[]>(drain_chunk_bytes);
    expire_after(std::chrono::seconds(2));
    size_t want = size_t(std::min<uint64_t>(discard_left_, drain_chunk_bytes));
    stream().async_read_some(asio::buffer(drain_buf_.get(), want),
                             [self = self()](const boost::system::error_code &ec, size_t n) {
                               self->discard_left_ -= std::min<uint64_t>(n, self->discard_left_);
                               if (ec || self->discard_left_ == 0) {
                                 self->drain_buf_.reset();
                                 return self->shutdown();
                               }
                               self->discard_then_shutdown();
                             });
  }

  void shutdown() {
    if constexpr (is_tls) {
      if (tls_ && handshake_done_ && !shutting_down_) {
        shutting_down_ = true;
        expire_after(std::chrono::seconds(5));
        tls_->async_shutdown(
            [self = self()](const boost::system::error_code &) { self->close_socket(); });
        return;
      }
    }
    close_socket();
  }

  void close_socket() {
    boost::system::error_code ignored;
    auto &socket = lowest().socket();
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    if (drain_on_close_ && socket.is_open()) {
      // The client may still be sending the body we refused. Closing now would reset the
      // connection and could destroy the reply before the client reads it, so read and throw
      // away what arrives, a little at a time, for a bounded time and amount.
      drain_on_close_ = false;
      drain_left_ = drain_limit_bytes;
      deadline_.expires_after(std::chrono::seconds(2));
      deadline_.async_wait([self = self()](const boost::system::error_code &ec) {
        if (ec) return;
        boost::system::error_code ignored;
        self->lowest().socket().close(ignored);
      });
      drain();
      return;
    }
    socket.close(ignored);
  }

  void drain() {
    drain_buf_ = std::make_unique<char[]>(drain_chunk_bytes);
    lowest().socket().async_read_some(
        asio::buffer(drain_buf_.get(), drain_chunk_bytes),
        [self = self()](const boost::system::error_code &ec, size_t n) {
          boost::system::error_code ignored;
          if (ec || n >= self->drain_left_) {
            self->deadline_.cancel();
            self->lowest().socket().close(ignored);
            return;
          }
          self->drain_left_ -= n;
          self->drain();
        });
  }

  static constexpr size_t drain_chunk_bytes = 4096;
  static constexpr size_t drain_limit_bytes = 1 << 20;

  beast::tcp_stream tcp_;                      // the connection; moved into tls_ once TLS begins
  beast::tcp_stream::executor_type executor_;  // the connection's loop thread
  std::optional<Stream> tls_;  // TLS listeners only: made when the client first sends
  listener_t *listener_;
  asio::steady_timer deadline_;  // handshake, idle wait and drain deadlines
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<http_response_t> response_;
  std::unique_ptr<char[]> drain_buf_;
  size_t drain_left_ = 0;
  tovi_http_rest_closure_t restc_;
  bool close_after_ = false;
  bool drain_on_close_ = false;
  uint64_t discard_left_ = 0;  // bytes of a refused small body still to read before closing
  bool shutting_down_ = false;
  bool handshake_done_ = !is_tls;
  bool handshake_timed_out_ = false;
};

using plain_session_c = session_c<beast::tcp_stream>;
using tls_session_c = session_c<tls_stream_c>;

}  // namespace

void http_session_start(tcp::socket &&socket, listener_t *listener, std::string peer) {
  auto executor = socket.get_executor();
  if (listener->tls) {
    auto session = std::make_shared<tls_session_c>(std::move(socket), listener, std::move(peer));
    asio::dispatch(executor, [session] { session->start(); });
  } else {
    auto session = std::make_shared<plain_session_c>(std::move(socket), listener, std::move(peer));
    asio::dispatch(executor, [session] { session->start(); });
  }
}

}  // namespace tovi_http_detail
