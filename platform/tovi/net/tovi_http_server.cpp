// The REST server's listeners, on Boost.Beast and OpenSSL; the connections they accept are in
// tovi_http_session.cpp.
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
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_http_internal.h"
#include "tovi/tovi_http_tls.h"
#include "tovi/tovi_log.h"

namespace tovi_http_detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

server_state_t &server() {
  static server_state_t *s = new server_state_t;
  return *s;
}

tovi_log_stream_t http_debug() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/http");
  return ls;
}

namespace {

// Per-peer connection counts, so that one address cannot take every connection.
struct peer_counts_t {
  std::mutex lock;
  std::unordered_map<std::string, int> counts;  // guarded by lock
};

peer_counts_t &peer_counts() {
  static peer_counts_t *p = new peer_counts_t;
  return *p;
}

bool peer_acquire(const std::string &peer) {
  server_state_t &st = server();
  auto &pc = peer_counts();
  std::lock_guard<std::mutex> hold(pc.lock);
  int &n = pc.counts[peer];
  if (st.max_connections_per_peer > 0 && n >= st.max_connections_per_peer) {
    if (n == 0) pc.counts.erase(peer);
    return false;
  }
  n++;
  return true;
}

}  // namespace

void peer_release(const std::string &peer) {
  auto &pc = peer_counts();
  std::lock_guard<std::mutex> hold(pc.lock);
  auto it = pc.counts.find(peer);
  if (it != pc.counts.end() && --it->second <= 0) pc.counts.erase(it);
}

namespace {

// Accept failures (out of descriptors above all) are logged at most once a second, with the
// number since the last line.
struct accept_failures_t {
  std::mutex lock;
  std::chrono::steady_clock::time_point last_log{};  // guarded by lock
  uint64_t unlogged = 0;                             // guarded by lock
};

void log_accept_failure(listener_t *listener, const boost::system::error_code &ec) {
  static accept_failures_t *f = new accept_failures_t;
  std::lock_guard<std::mutex> hold(f->lock);
  f->unlogged++;
  auto now = std::chrono::steady_clock::now();
  if (now - f->last_log < std::chrono::seconds(1)) return;
  tovi_log(tovi_error, "REST listener on port %d cannot accept: %s (%llu times)\n",
           listener->bound_port, ec.message().c_str(),
           static_cast<unsigned long long>(f->unlogged));
  f->unlogged = 0;
  f->last_log = now;
}

// Out of descriptors, the connections waiting in the backlog are taken with the spare descriptor
// and closed at once: the clients learn at once, and the listener does not spin on them.
void refuse_one_with_spare(listener_t *listener) {
  server_state_t &st = server();
  if (st.spare_fd < 0) return;
  close(st.spare_fd);
  st.spare_fd = -1;
  // Every connection waiting now, a bounded number per pass: they would only wait for a
  // descriptor that is not coming.
  for (int i = 0; i < 256; i++) {
    int fd = accept4(listener->acceptor->native_handle(), nullptr, nullptr,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) break;
    close(fd);
    http_stats_connection_refused();
  }
  st.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void accept_next(listener_t *listener) {
  server_state_t &st = server();
  int owner = static_cast<int>(st.next_thread.fetch_add(1, std::memory_order_relaxed) %
                               static_cast<uint64_t>(eventer_loop_concurrency()));
  listener->acceptor->async_accept(
      eventer_io_context(owner),
      [listener](const boost::system::error_code &ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
          log_accept_failure(listener, ec);
          if (ec == asio::error::no_descriptors || ec.value() == ENFILE)
            refuse_one_with_spare(listener);
          // Back off a little rather than spin.
          auto delay = std::make_shared<asio::steady_timer>(eventer_io_context(0),
                                                            std::chrono::milliseconds(100));
          delay->async_wait(
              [listener, delay](const boost::system::error_code &) { accept_next(listener); });
          return;
        }
        server_state_t &s = server();
        boost::system::error_code peer_ec;
        auto remote = socket.remote_endpoint(peer_ec);
        if (peer_ec) {
          // Gone already.
        } else if (s.connections.load(std::memory_order_relaxed) >= s.max_connections) {
          http_stats_connection_refused();
        } else if (std::string peer = remote.address().to_string(); !peer_acquire(peer)) {
          http_stats_connection_dropped_by_peer_cap();
        } else {
          http_stats_connection_accepted();
          http_session_start(std::move(socket), listener, std::move(peer));
        }
        if (socket.is_open()) {
          boost::system::error_code ignored;
          socket.close(ignored);
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
  l->tls.reset(SSL_CTX_new(TLS_server_method()));
  return l->tls &&
         tls_server_context_setup(l->tls.get(), s.certificate_file, s.key_file, s.ca_file);
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
  cns.clear();
  if (tovi_conf_get_string(section, "@read_cns", &cns)) s.read_cns = split_names(cns);
  std::string probes;
  if (tovi_conf_get_string(section, "@open_probes", &probes)) {
    if (probes != "true" && probes != "false") {
      tovi_log(tovi_error, "REST listener on port %d: open_probes must be \"true\" or \"false\"\n",
               port);
      return false;
    }
    s.open_probes = probes == "true";
  }
  std::string insecure;
  tovi_conf_get_string(section, "@insecure", &insecure);
  tovi_conf_get_string(section, "@document_root", &s.document_root);
  int32_t t = s.idle_timeout_s;
  if (tovi_conf_get_int32(section, "@idle_timeout", &t) && t > 0) s.idle_timeout_s = t;
  t = s.header_timeout_s;
  if (tovi_conf_get_int32(section, "@header_timeout", &t) && t > 0) s.header_timeout_s = t;
  t = s.handshake_timeout_s;
  if (tovi_conf_get_int32(section, "@handshake_timeout", &t) && t > 0) s.handshake_timeout_s = t;

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
  if (!s.tls && (!s.key_file.empty() || !s.ca_file.empty() || !s.allowed_cns.empty() ||
                 !s.read_cns.empty())) {
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
  // By default REST may use the descriptors the process is allowed, less a reserve for the
  // console, the bus, the metric listeners, log files and configuration reads.
  struct rlimit nofile;
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY) {
    int64_t limit = static_cast<int64_t>(nofile.rlim_cur);
    int64_t reserve = std::max<int64_t>(64, limit / 4);
    st.max_connections = static_cast<int>(std::clamp<int64_t>(limit - reserve, 1, 1000000));
  }
  int32_t max_connections = st.max_connections;
  if (tovi_conf_get_int32(nullptr, "//listeners/@max_connections", &max_connections) &&
      max_connections > 0)
    st.max_connections = max_connections;
  st.max_connections_per_peer = std::max(1, st.max_connections / 2);
  int32_t per_peer = st.max_connections_per_peer;
  if (tovi_conf_get_int32(nullptr, "//listeners/@max_connections_per_peer", &per_peer) &&
      per_peer >= 0)
    st.max_connections_per_peer = per_peer;
  if (st.spare_fd < 0) st.spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);

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
