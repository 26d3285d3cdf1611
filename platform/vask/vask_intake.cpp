// The metric intake: the "metrics" log outlet and the broker line listeners.
//
// Every connection is a small state machine on its own loop thread, so it needs no lock:
//   reading  -> an async read is pending; bytes land in buf[end, cap)
//   scanning -> complete lines in buf[start, end) are submitted one by one (never blocking)
//   paused   -> a lane was full: the held-up delivery is retried on a timer; reading resumes
//               only once it went through and the rest of the buffer was scanned
// The buffer holds at most max_line bytes of an unfinished line plus one read, so a connection's
// memory is bounded whatever the peer sends: an unfinished line that outgrows max_line switches
// the connection to discarding until the next newline.
#include "vask/vask_intake.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "vask/vask_director.h"

namespace {

using boost::asio::ip::tcp;

constexpr int32_t default_max_line = 65536;
constexpr size_t read_chunk = 65536;
constexpr int initial_backoff_us = 100;
constexpr int max_backoff_us = 10000;

struct intake_counters_t {
  stats_counter_t *connections, *lines, *bytes, *overlong_lines, *partial_lines, *pauses,
      *read_errors, *log_lines, *reentrant_lines;
  std::atomic<int64_t> open{0};
};

intake_counters_t &counters() {
  static intake_counters_t *c = [] {
    auto *n = new intake_counters_t;  // never freed: connections count until the process ends
    stats_ns_t *root = stats_recorder_root(stats_process_recorder());
    stats_ns_t *ns = stats_register_ns(stats_register_ns(root, "vask"), "intake");
    auto counter = [ns](const char *name, const char *units) {
      stats_opts_t opts;
      opts.units = units;
      return stats_register_counter(ns, name, opts);
    };
    n->connections = counter("connections", "connections");
    n->lines = counter("lines", "lines");
    n->bytes = counter("bytes", "bytes");
    n->overlong_lines = counter("overlong_lines", "lines");
    n->partial_lines = counter("partial_lines", "lines");
    n->pauses = counter("pauses", "pauses");
    n->read_errors = counter("read_errors", "errors");
    n->log_lines = counter("log_lines", "lines");
    n->reentrant_lines = counter("reentrant_lines", "lines");
    stats_opts_t opts;
    opts.units = "connections";
    stats_register_i64(ns, "connections_open", STATS_GAUGE, &n->open, opts);
    return n;
  }();
  return *c;
}

// ---- The "metrics" log outlet
// ---------------------------------------------------------------------

void metrics_outlet(tovi_log_stream_t, std::string_view text) {
  intake_counters_t &c = counters();
  thread_local bool inside = false;
  if (inside) {
    stats_counter_add(c.reentrant_lines, 1 + std::count(text.begin(), text.end(), '\n'));
    return;
  }
  inside = true;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty()) continue;
    stats_counter_inc(c.log_lines);
    vask_metric_director_submit_line(line.data(), line.size());
  }
  inside = false;
}

// ---- Listeners and connections
// -------------------------------------------------------------------

struct listener_t {
  explicit listener_t(boost::asio::io_context &ctx) : acceptor(ctx), retry(ctx) {}
  tcp::acceptor acceptor;
  boost::asio::steady_timer retry;  // after an accept error such as running out of descriptors
  size_t max_line = default_max_line;
  uint16_t port = 0;
  std::atomic<uint64_t> next_thread{0};
};

class connection_c : public std::enable_shared_from_this<connection_c> {
 public:
  connection_c(tcp::socket sock, size_t max_line)
      : sock_(std::move(sock)),
        timer_(sock_.get_executor()),
        max_line_(max_line),
        cap_(max_line + read_chunk),
        buf_(new char[cap_]) {
    counters().open.fetch_add(1, std::memory_order_relaxed);
  }
  ~connection_c() {
    vask_metric_director_pending_release(&pending_);
    counters().open.fetch_sub(1, std::memory_order_relaxed);
  }
  connection_c(const connection_c &) = delete;
  connection_c &operator=(const connection_c &) = delete;

  void start() { read(); }

 private:
  void read() {
    if (start_ > 0) {
      std::memmove(buf_.get(), buf_.get() + start_, end_ - start_);
      end_ -= start_;
      scan_ -= start_;
      start_ = 0;
    }
    sock_.async_read_some(boost::asio::buffer(buf_.get() + end_, cap_ - end_),
                          [self = shared_from_this()](const boost::system::error_code &ec,
                                                      size_t n) { self->on_read(ec, n); });
  }

  void on_read(const boost::system::error_code &ec, size_t n) {
    intake_counters_t &c = counters();
    if (ec) {
      if (end_ > start_ && !discarding_) stats_counter_inc(c.partial_lines);
      if (ec != boost::asio::error::eof && ec != boost::asio::error::connection_reset &&
          ec != boost::asio::error::operation_aborted)
        stats_counter_inc(c.read_errors);
      boost::system::error_code ignored;
      sock_.close(ignored);
      return;  // the last handler's reference goes: the connection is freed
    }
    stats_counter_add(c.bytes, n);
    end_ += n;
    if (scan()) read();
  }

  // Submits every complete line. Returns false when a full lane paused the connection.
  bool scan() {
    intake_counters_t &c = counters();
    while (scan_ < end_) {
      char *base = buf_.get();
      auto *nl = static_cast<char *>(std::memchr(base + scan_, '\n', end_ - scan_));
      if (!nl) break;
      size_t line_start = start_, line_end = nl - base;
      start_ = scan_ = line_end + 1;
      if (discarding_) {  // the end of a line already counted as overlong
        discarding_ = false;
        continue;
      }
      size_t len = line_end - line_start;
      if (len == 0) continue;
      if (len > max_line_) {
        stats_counter_inc(c.overlong_lines);
        continue;
      }
      stats_counter_inc(c.lines);
      if (vask_metric_director_try_submit_line(base + line_start, len, &pending_) ==
          VASK_DIRECTOR_WOULD_BLOCK) {
        stats_counter_inc(c.pauses);
        backoff_us_ = initial_backoff_us;
        wait();
        return false;
      }
    }
    scan_ = end_;
    if (!discarding_ && end_ - start_ > max_line_) {
      stats_counter_inc(c.overlong_lines);
      discarding_ = true;
    }
    if (discarding_) start_ = scan_ = end_;
    return true;
  }

  void wait() {
    timer_.expires_after(std::chrono::microseconds(backoff_us_));
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code &ec) {
      if (!ec) self->retry();
    });
  }

  void retry() {
    if (vask_metric_director_resume(&pending_) == VASK_DIRECTOR_WOULD_BLOCK) {
      backoff_us_ = std::min(backoff_us_ * 2, max_backoff_us);
      wait();
      return;
    }
    if (scan()) read();
  }

  tcp::socket sock_;
  boost::asio::steady_timer timer_;
  const size_t max_line_;
  const size_t cap_;
  std::unique_ptr<char[]> buf_;
  size_t start_ = 0;  // first byte of the unfinished line
  size_t scan_ = 0;   // bytes before it hold no newline
  size_t end_ = 0;    // end of the data read
  bool discarding_ = false;
  int backoff_us_ = initial_backoff_us;
  vask_director_pending_t pending_;
};

void accept_next(listener_t *l) {
  int threads = eventer_loop_concurrency();
  int thread = int(l->next_thread.fetch_add(1, std::memory_order_relaxed) % uint64_t(threads));
  boost::asio::io_context &ctx = eventer_io_context(thread);
  l->acceptor.async_accept(ctx, [l, &ctx](const boost::system::error_code &ec, tcp::socket sock) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
      tovi_log(tovi_error, "metric intake: accept on port %u failed: %s\n", unsigned(l->port),
               ec.message().c_str());
      l->retry.expires_after(std::chrono::milliseconds(100));
      l->retry.async_wait([l](const boost::system::error_code &e) {
        if (!e) accept_next(l);
      });
      return;
    }
    stats_counter_inc(counters().connections);
    boost::system::error_code ignored;
    sock.set_option(tcp::no_delay(true), ignored);
    auto conn = std::make_shared<connection_c>(std::move(sock), l->max_line);
    boost::asio::post(ctx, [conn] { conn->start(); });
    accept_next(l);
  });
}

struct intake_t {
  std::mutex lock;
  bool initialized = false;
  std::vector<listener_t *> listeners;  // never freed: their handlers run until the end
};

intake_t &intake() {
  static intake_t *i = new intake_t;
  return *i;
}

int open_listener(tovi_conf_section_t s, int index) {
  std::string address = "127.0.0.1";
  int32_t port = -1, max_line = default_max_line;
  tovi_conf_get_string(s, "@address", &address);
  if (!tovi_conf_get_int32(s, "@port", &port) || port < 0 || port > 65535) {
    tovi_log(tovi_error, "//listeners/metrics[%d]/@port: a port from 0 to 65535 is required\n",
             index);
    return -1;
  }
  tovi_conf_get_int32(s, "@max_line_bytes", &max_line);
  if (max_line < 64 || max_line > (16 << 20)) {
    tovi_log(tovi_error,
             "//listeners/metrics[%d]/@max_line_bytes: must be between 64 and 16777216\n", index);
    return -1;
  }
  boost::system::error_code ec;
  auto ip = boost::asio::ip::make_address(address, ec);
  if (ec) {
    tovi_log(tovi_error, "//listeners/metrics[%d]/@address: '%s' is not an IP address\n", index,
             address.c_str());
    return -1;
  }
  auto *l = new listener_t(eventer_io_context(0));
  l->max_line = size_t(max_line);
  tcp::endpoint endpoint(ip, uint16_t(port));
  l->acceptor.open(endpoint.protocol(), ec);
  if (!ec) l->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) l->acceptor.bind(endpoint, ec);
  if (!ec) l->acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  if (ec) {
    tovi_log(tovi_error, "//listeners/metrics[%d]: cannot listen on %s port %d: %s\n", index,
             address.c_str(), int(port), ec.message().c_str());
    delete l;
    return -1;
  }
  l->port = l->acceptor.local_endpoint(ec).port();
  intake().listeners.push_back(l);
  tovi_log(tovi_notice, "metric intake listening on %s port %u\n", address.c_str(),
           unsigned(l->port));
  // Accepting starts on the listener's own loop thread.
  boost::asio::post(eventer_io_context(0), [l] { accept_next(l); });
  return 0;
}

}  // namespace

int vask_intake_init(void) {
  intake_t &in = intake();
  std::lock_guard<std::mutex> guard(in.lock);
  if (in.initialized) return 0;
  if (!eventer_is_initialized()) {
    tovi_log(tovi_error, "metric intake: the event loop must be initialised first\n");
    return -1;
  }
  counters();
  vask_metric_director_init_globals();
  tovi_log_outlet_register_callback("vask_intake", metrics_outlet);
  if (!tovi_log_stream_add_outlet("metrics", "vask_intake")) return -1;
  in.initialized = true;

  tovi_conf_section_read_hold();
  int rv = 0;
  int index = 1;
  for (tovi_conf_section_t s : tovi_conf_get_sections(nullptr, "//listeners/metrics")) {
    if (open_listener(s, index++) != 0) {
      rv = -1;
      break;
    }
  }
  tovi_conf_section_read_release();
  return rv;
}

std::vector<uint16_t> vask_intake_listener_ports(void) {
  intake_t &in = intake();
  std::lock_guard<std::mutex> guard(in.lock);
  std::vector<uint16_t> ports;
  for (listener_t *l : in.listeners)
    ports.push_back(l->port);
  return ports;
}
