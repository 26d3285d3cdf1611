// A server-side TLS stream for the REST server that costs little while a connection waits.
//
// Asio's TLS stream stages every byte through a BIO pair and two record-sized vectors: about
// 68 KiB per connection from the first byte to the close, whether the connection is busy, idle
// between requests or a client that sent a ClientHello and went silent. Here OpenSSL reads and
// writes the socket itself (through a small BIO of ours), so the only buffers are OpenSSL's
// record buffers, which it allocates when a record is in flight and gives back once they are empty
// (SSL_MODE_RELEASE_BUFFERS on the context). Waiting for the socket is Asio's readiness wait,
// which holds no buffer.
//
// Contract:
// - Server side only; the context decides versions, certificates and verification.
// - One operation at a time (a handshake, a read, a write or the shutdown): the REST session
//   reads, replies and reads again, never two at once. Completion handlers run on the stream's
//   executor, never inside the initiating call.
// - expires_after/expires_never work as beast::tcp_stream's do: once the expiry passes during an
//   operation, the socket is closed and the operation fails with beast::error::timeout.
// - Errors: a clean close_notify from the peer is asio::error::eof; a peer that closed without
//   one is ssl::error::stream_truncated; TLS failures carry the OpenSSL error in Asio's SSL
//   category; socket failures their errno.
// - async_shutdown sends close_notify and does not wait for the peer's.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "tovi/tovi_asio.h"

namespace tovi_http_detail {

// Configures a REST listener's server context: TLS 1.2 and later, the certificate chain and its
// key, and with a CA file (may be empty) client certificates asked for, not demanded, and
// verified against it; record buffers given back once empty (SSL_MODE_RELEASE_BUFFERS). Logs
// the first failure on "error", naming the file, and returns false. Called at start-up, before
// any connection, and by bench/tls_memory so that it measures the same settings.
bool tls_server_context_setup(SSL_CTX *ctx, const std::string &certificate_file,
                              const std::string &key_file, const std::string &ca_file);

// The BIO method that reads and writes a socket descriptor with recv/send (MSG_NOSIGNAL: a peer
// that went away is an error, never SIGPIPE). Process-wide, made on first use.
BIO_METHOD *tls_socket_bio_method();

class tls_stream_c {
 public:
  using next_layer_type = boost::beast::tcp_stream;
  using executor_type = next_layer_type::executor_type;
  using error_code = boost::system::error_code;

  // Takes the connected socket. native_handle() is null when OpenSSL could not make its state;
  // every operation then fails.
  tls_stream_c(next_layer_type &&tcp, SSL_CTX *ctx);
  ~tls_stream_c();
  tls_stream_c(const tls_stream_c &) = delete;
  tls_stream_c &operator=(const tls_stream_c &) = delete;

  executor_type get_executor() { return tcp_.get_executor(); }
  next_layer_type &next_layer() { return tcp_; }
  SSL *native_handle() { return ssl_; }

  void expires_after(std::chrono::steady_clock::duration d) {
    expiry_ = std::chrono::steady_clock::now() + d;
  }
  void expires_never() { expiry_ = std::chrono::steady_clock::time_point::max(); }

  template <class Handler>
  void async_handshake(Handler &&handler) {
    run([](SSL *ssl, size_t *) { return SSL_do_handshake(ssl); }, std::forward<Handler>(handler),
        true);
  }

  template <class Handler>
  void async_shutdown(Handler &&handler) {
    run([](SSL *ssl, size_t *) { return SSL_shutdown(ssl) >= 0 ? 1 : -1; },
        std::forward<Handler>(handler), true);
  }

  template <class MutableBuffers, class Handler>
  void async_read_some(const MutableBuffers &buffers, Handler &&handler) {
    boost::asio::mutable_buffer b = first_buffer<boost::asio::mutable_buffer>(buffers);
    run([b](SSL *ssl, size_t *n) { return b.size() ? SSL_read_ex(ssl, b.data(), b.size(), n) : 1; },
        std::forward<Handler>(handler), true);
  }

  template <class ConstBuffers, class Handler>
  void async_write_some(const ConstBuffers &buffers, Handler &&handler) {
    boost::asio::const_buffer b = first_buffer<boost::asio::const_buffer>(buffers);
    size_t total = boost::asio::buffer_size(buffers);
    if (b.size() < total && b.size() < max_record) {
      // A reply's header and body are separate buffers: one record (and one send) for both
      // rather than one each. Kept until the write completes: OpenSSL retries with the same
      // bytes.
      coalesced_.resize(std::min(total, max_record));
      boost::asio::buffer_copy(boost::asio::buffer(coalesced_), buffers);
      b = boost::asio::buffer(coalesced_);
    }
    run([b](SSL *ssl,
            size_t *n) { return b.size() ? SSL_write_ex(ssl, b.data(), b.size(), n) : 1; },
        [this, handler = std::forward<Handler>(handler)](const error_code &ec, size_t n) mutable {
          std::string().swap(coalesced_);
          handler(ec, n);
        },
        true);
  }

 private:
  template <class Buffer, class Buffers>
  static Buffer first_buffer(const Buffers &buffers) {
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers); ++it) {
      Buffer b(*it);
      if (b.size()) return b;
    }
    return Buffer();
  }

  // Maps the outcome of an OpenSSL call that did not succeed and does not want to wait.
  error_code error_of(int ssl_error);

  template <class Handler>
  void complete(Handler &&handler, error_code ec, size_t n, bool immediate) {
    auto call = [handler = std::forward<Handler>(handler), ec, n]() mutable {
      if constexpr (std::is_invocable_v<Handler &, error_code, size_t>)
        handler(ec, n);
      else
        handler(ec);
    };
    if (immediate)
      boost::asio::post(get_executor(), std::move(call));
    else
      call();
  }

  // Runs step until it succeeds or fails, waiting for the socket whenever OpenSSL wants it.
  template <class Step, class Handler>
  void run(Step step, Handler &&handler, bool immediate) {
    if (!ssl_)
      return complete(std::forward<Handler>(handler), boost::asio::error::no_memory, 0, immediate);
    size_t n = 0;
    ERR_clear_error();
    errno = 0;  // SSL_ERROR_SYSCALL is told apart by errno
    int r = step(ssl_, &n);
    if (r > 0) return complete(std::forward<Handler>(handler), error_code(), n, immediate);
    int e = SSL_get_error(ssl_, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
      return complete(std::forward<Handler>(handler), error_of(e), 0, immediate);
    arm_expiry();
    tcp_.socket().async_wait(
        e == SSL_ERROR_WANT_READ ? boost::asio::socket_base::wait_read
                                 : boost::asio::socket_base::wait_write,
        [this, step, handler = std::forward<Handler>(handler)](const error_code &ec) mutable {
          timer_.cancel();
          if (timed_out_) {
            timed_out_ = false;
            return complete(std::move(handler), boost::beast::error::timeout, 0, false);
          }
          if (ec) return complete(std::move(handler), ec, 0, false);
          run(step, std::move(handler), false);
        });
  }

  // While a wait is pending, closes the socket once the expiry passes.
  void arm_expiry();

  static constexpr size_t max_record = 16384;

  next_layer_type tcp_;
  SSL *ssl_ = nullptr;
  std::string coalesced_;  // the bytes of a write in progress that spanned several buffers
  boost::asio::steady_timer timer_;
  std::chrono::steady_clock::time_point expiry_ = std::chrono::steady_clock::time_point::max();
  bool timed_out_ = false;
  // The expiry's wait may still be queued when the stream is gone: it holds a weak reference.
  std::shared_ptr<tls_stream_c *> self_;
};

}  // namespace tovi_http_detail
