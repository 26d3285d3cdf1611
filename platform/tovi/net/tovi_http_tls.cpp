// The REST server's TLS stream: OpenSSL on the socket through a BIO of ours (see the header).
#include "tovi/tovi_http_tls.h"

#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

#include "tovi/tovi_log.h"

namespace tovi_http_detail {
namespace {

int socket_write(BIO *bio, const char *data, int len) {
  BIO_clear_retry_flags(bio);
  ssize_t n = send(BIO_get_fd(bio, nullptr), data, size_t(len), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    BIO_set_retry_write(bio);
  return int(n);
}

int socket_read(BIO *bio, char *data, int len) {
  BIO_clear_retry_flags(bio);
  ssize_t n = recv(BIO_get_fd(bio, nullptr), data, size_t(len), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return int(n);
}

long socket_ctrl(BIO *bio, int cmd, long num, void *ptr) {
  switch (cmd) {
    case BIO_C_SET_FD:
      BIO_set_data(bio, reinterpret_cast<void *>(intptr_t(*static_cast<int *>(ptr))));
      BIO_set_init(bio, 1);
      (void)num;
      return 1;
    case BIO_C_GET_FD: {
      int fd = int(intptr_t(BIO_get_data(bio)));
      if (ptr) *static_cast<int *>(ptr) = fd;
      return fd;
    }
    case BIO_CTRL_FLUSH:
      return 1;  // nothing is held back: every write goes to the socket
    default:
      return 0;
  }
}

// The reason of the most recent OpenSSL failure, for a log line; clears the queue.
std::string last_ssl_error() {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (!e) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

}  // namespace

bool tls_server_context_setup(SSL_CTX *ctx, const std::string &certificate_file,
                              const std::string &key_file, const std::string &ca_file) {
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    tovi_log(tovi_error, "REST listener: cannot require TLS 1.2: %s\n", last_ssl_error().c_str());
    return false;
  }
  // An idle connection gives its TLS record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    tovi_log(tovi_error, "REST listener: cannot use certificate_file '%s': %s\n",
             certificate_file.c_str(), last_ssl_error().c_str());
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    tovi_log(tovi_error, "REST listener: cannot use key_file '%s': %s\n", key_file.c_str(),
             last_ssl_error().c_str());
    return false;
  }
  if (!ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
      tovi_log(tovi_error, "REST listener: cannot use ca_file '%s': %s\n", ca_file.c_str(),
               last_ssl_error().c_str());
      return false;
    }
    // Ask for a client certificate without demanding one: routes without authentication stay
    // open to clients that have none, and the routes that need one answer 403.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(ca_file.c_str());
    if (names) SSL_CTX_set_client_CA_list(ctx, names);
    static const unsigned char sid_ctx[] = "queltd-rest";
    SSL_CTX_set_session_id_context(ctx, sid_ctx, sizeof(sid_ctx) - 1);
  }
  return true;
}

BIO_METHOD *tls_socket_bio_method() {
  static BIO_METHOD *method = [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rest socket");
    if (m) {
      BIO_meth_set_write(m, socket_write);
      BIO_meth_set_read(m, socket_read);
      BIO_meth_set_ctrl(m, socket_ctrl);
    }
    return m;
  }();
  return method;
}

tls_stream_c::tls_stream_c(next_layer_type &&tcp, SSL_CTX *ctx)
    : tcp_(std::move(tcp)),
      timer_(tcp_.get_executor()),
      self_(std::make_shared<tls_stream_c *>(this)) {
  boost::system::error_code ignored;
  tcp_.socket().native_non_blocking(true, ignored);
  BIO_METHOD *method = tls_socket_bio_method();
  BIO *bio = method ? BIO_new(method) : nullptr;
  ssl_ = bio ? SSL_new(ctx) : nullptr;
  if (!ssl_) {
    BIO_free(bio);
    return;
  }
  int fd = tcp_.socket().native_handle();
  BIO_ctrl(bio, BIO_C_SET_FD, 0, &fd);
  SSL_set_bio(ssl_, bio, bio);  // the SSL owns the BIO from here on
  SSL_set_accept_state(ssl_);
}

tls_stream_c::~tls_stream_c() {
  SSL_free(ssl_);
}

boost::system::error_code tls_stream_c::error_of(int ssl_error) {
  unsigned long queued = ERR_peek_last_error();
  ERR_clear_error();
  switch (ssl_error) {
    case SSL_ERROR_ZERO_RETURN:
      return boost::asio::error::eof;
    case SSL_ERROR_SYSCALL:
      if (errno != 0 && queued == 0) return error_code(errno, boost::system::system_category());
      return boost::asio::ssl::error::stream_truncated;
    case SSL_ERROR_SSL:
      if (ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        return boost::asio::ssl::error::stream_truncated;
      return error_code(int(queued), boost::asio::error::get_ssl_category());
    default:
      return error_code(int(queued ? queued : ERR_PACK(ERR_LIB_SSL, 0, ssl_error)),
                        boost::asio::error::get_ssl_category());
  }
}

void tls_stream_c::arm_expiry() {
  if (expiry_ == std::chrono::steady_clock::time_point::max()) return;
  timer_.expires_at(expiry_);
  timer_.async_wait([weak = std::weak_ptr<tls_stream_c *>(self_)](const error_code &ec) {
    auto alive = weak.lock();
    if (ec || !alive) return;
    tls_stream_c *s = *alive;
    s->timed_out_ = true;
    boost::system::error_code ignored;
    s->tcp_.socket().close(ignored);
  });
}

}  // namespace tovi_http_detail
