// The metric intake: the "metrics" log outlet and the broker line listeners.
//
// Every connection is a small state machine on its own loop thread, so it needs no lock:
//   reading  -> an async read is pending; bytes land in buf[end, cap)
//   scanning -> complete lines in buf[start, end) are decoded and staged in the connection's
//               director batch, up to 1024 at a time, and the batch is committed to the lanes
//               in runs (one claim and one wake-up per lane and commit; never blocking)
//   paused   -> a lane was full: the held-up rest of the batch stays staged, in order, and is
//               committed again on a timer; reading resumes only once it went through and the
//               rest of the buffer was scanned
// A second timer closes a connection whose peer stayed quiet for the idle timeout (never while
// paused: then it is we who do not read).
// The buffer starts at 4 KiB, grows while the peer keeps it full or a long line needs room (to
// at most max_line bytes of an unfinished line plus one read of 64 KiB) and shrinks back when it
// is empty and the peer sends little, so a connection's memory is bounded whatever the peer
// sends, and an idle one costs a few KiB: an unfinished line that outgrows max_line switches the
// connection to discarding until the next newline.
#include "vask/vask_intake.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
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
#include "vask/vask_formats.h"
#include "vask/vask_intake_formats.h"

namespace {

using boost::asio::ip::tcp;

constexpr int32_t default_max_line = 65536;
constexpr int32_t default_idle_timeout_s = 300;
constexpr size_t read_chunk = 65536;
constexpr size_t initial_buffer = 4096;  // what an idle connection holds
constexpr size_t min_read = 1024;        // the buffer grows when less room than this is left
constexpr uint64_t max_batch = 1024;     // lines staged before they are committed to the lanes
constexpr int initial_backoff_us = 100;
// A lane of 4096 messages drains in about 4 ms at 1 us a message: a paused connection must look
// again well before that, or the lane's consumer runs dry while the broker waits.
constexpr int max_backoff_us = 1000;
constexpr int initial_accept_backoff_ms = 10;
constexpr int max_accept_backoff_ms = 1000;
// Descriptors kept for everything but broker connections (REST, console, bus, files): a quarter
// of the limit, and at least this many.
constexpr int64_t reserved_descriptors = 256;

struct intake_counters_t {
  stats_counter_t *connections, *lines, *bytes, *overlong_lines, *partial_lines, *pauses,
      *read_errors, *log_lines, *reentrant_lines, *refused, *idle_closes, *accept_errors;
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
    n->refused = counter("refused_connections", "connections");
    n->idle_closes = counter("idle_closes", "connections");
    n->accept_errors = counter("accept_errors", "errors");
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
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // a CRLF line end
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
  int64_t max_connections = 0;
  int32_t idle_timeout_s = default_idle_timeout_s;  // 0: connections may stay quiet for ever
  uint16_t port = 0;
  // Metric lines when negative; else the wire format of the listener (vask_formats.h), placed
  // through `mapping`.
  int format = -1;
  vask_mapping_t mapping;
  int precision = 9;  // Influx time stamps
  std::atomic<uint64_t> next_thread{0};
  std::atomic<int64_t> open{0};  // this listener's connections
  // Accept thread only (loop thread 0).
  int backoff_ms = initial_accept_backoff_ms;
  uint64_t failures_unlogged = 0;
  std::chrono::steady_clock::time_point last_error_log{}, last_refusal_log{};
};

// Accept errors (running out of descriptors) are retried after a back-off that doubles from
// 10 ms to 1 s and logged at most once every 10 s with the number of failures in between.
void on_accept_error(listener_t *l, const boost::system::error_code &ec) {
  intake_counters_t &c = counters();
  stats_counter_inc(c.accept_errors);
  l->failures_unlogged++;
  auto now = std::chrono::steady_clock::now();
  if (now - l->last_error_log >= std::chrono::seconds(10)) {
    tovi_log(tovi_error,
             "metric intake: accept on port %u failed: %s (%llu times since the last "
             "report); retrying in %d ms\n",
             unsigned(l->port), ec.message().c_str(),
             static_cast<unsigned long long>(l->failures_unlogged), l->backoff_ms);
    l->failures_unlogged = 0;
    l->last_error_log = now;
  }
}

class connection_c : public std::enable_shared_from_this<connection_c> {
 public:
  connection_c(tcp::socket sock, const listener_t *l)
      : sock_(std::move(sock)),
        timer_(sock_.get_executor()),
        idle_timer_(sock_.get_executor()),
        max_line_(l->max_line),
        max_cap_(l->max_line + read_chunk),
        idle_(std::chrono::seconds(l->idle_timeout_s)),
        listener_open_(const_cast<listener_t *>(l)->open),
        format_(l->format) {
    if (format_ >= 0) {
      in_.format = vask_format_t(format_);
      in_.mapping = &l->mapping;
      in_.precision = l->precision;
      in_.emit = [](void *batch, vask_metric_message_t *m) {
        vask_metric_director_batch_add_message(static_cast<vask_director_batch_t *>(batch), m);
      };
      in_.closure = &batch_;
      boost::system::error_code ec;
      auto peer = sock_.remote_endpoint(ec);
      if (!ec) in_.peer = peer.address().to_string();
    }
    counters().open.fetch_add(1, std::memory_order_relaxed);
    listener_open_.fetch_add(1, std::memory_order_relaxed);
  }
  ~connection_c() {
    vask_metric_director_batch_release(&batch_);
    counters().open.fetch_sub(1, std::memory_order_relaxed);
    listener_open_.fetch_sub(1, std::memory_order_relaxed);
  }
  connection_c(const connection_c &) = delete;
  connection_c &operator=(const connection_c &) = delete;

  void start() {
    last_active_ = std::chrono::steady_clock::now();
    arm_idle(idle_);
    read();
  }

 private:
  // Prepares the buffer for the next read: the unfinished line moves to the front; the buffer
  // grows while a peer keeps it full or a long line needs room, and goes back to its small size
  // once it holds nothing and the peer sends little, so an idle connection costs a few KiB.
  void prepare_buffer() {
    if (start_ > 0) {
      std::memmove(buf_.get(), buf_.get() + start_, end_ - start_);
      end_ -= start_;
      scan_ -= start_;
      start_ = 0;
    }
    size_t want = cap_;
    if (!buf_) {
      want = initial_buffer;
    } else if (end_ == 0 && last_read_ < initial_buffer / 2) {
      want = initial_buffer;
      if (cap_ > initial_buffer) vask_metric_director_batch_trim(&batch_);  // a burst is over
    } else if (cap_ - end_ < min_read || last_read_ == last_room_) {
      want = std::min(cap_ * 2, max_cap_);
    }
    if (want < end_ + min_read) want = std::min(max_cap_, end_ + min_read);
    if (buf_ && want == cap_) return;
    std::unique_ptr<char[]> next(new char[want]);
    if (end_) std::memcpy(next.get(), buf_.get(), end_);
    buf_ = std::move(next);
    cap_ = want;
  }

  void read() {
    prepare_buffer();
    last_room_ = cap_ - end_;
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
      close();
      return;  // the last handler's reference goes: the connection is freed
    }
    stats_counter_add(c.bytes, n);
    last_read_ = n;
    last_active_ = std::chrono::steady_clock::now();
    // The read's one clock reading dates every line it completes.
    batch_.received_ns = uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(last_active_.time_since_epoch())
            .count());
    end_ += n;
    if (process()) read();
  }

  // Stages and commits the complete lines. Returns false when a full lane paused the connection.
  bool process() {
    for (;;) {
      bool more = scan();
      if (vask_metric_director_batch_commit(&batch_) == VASK_DIRECTOR_WOULD_BLOCK) {
        stats_counter_inc(counters().pauses);
        paused_ = true;
        backoff_us_ = initial_backoff_us;
        wait();
        return false;
      }
      if (!more) return true;
    }
  }

  // Stages complete lines, at most max_batch of them. Returns true when it stopped at that bound
  // with lines left.
  bool scan() {
    intake_counters_t &c = counters();
    uint64_t lines = 0;
    bool more = false;
    while (scan_ < end_) {
      if (lines == max_batch) {
        more = true;
        break;
      }
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
      if (len && base[line_end - 1] == '\r') len--;  // a CRLF line end
      if (len == 0) continue;
      if (len > max_line_) {
        stats_counter_inc(c.overlong_lines);
        continue;
      }
      lines++;
      if (format_ < 0)
        vask_metric_director_batch_add_line(&batch_, base + line_start, len);
      else if (format_ == VASK_FORMAT_INFLUX)
        vask_influx_decode_line(&in_, base + line_start, len);
      else
        vask_graphite_decode_line(&in_, base + line_start, len);
    }
    if (lines) stats_counter_add(c.lines, lines);
    if (format_ >= 0) {
      vask_ingest_publish(&in_);
      in_.now_ms = 0;  // samples without a time take the clock of their read
    }
    if (more) return true;
    scan_ = end_;
    if (!discarding_ && end_ - start_ > max_line_) {
      stats_counter_inc(c.overlong_lines);
      discarding_ = true;
    }
    if (discarding_) start_ = scan_ = end_;
    return false;
  }

  void wait() {
    timer_.expires_after(std::chrono::microseconds(backoff_us_));
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code &ec) {
      if (!ec) self->retry();
    });
  }

  void retry() {
    if (closed_) return;
    if (vask_metric_director_batch_commit(&batch_) == VASK_DIRECTOR_WOULD_BLOCK) {
      backoff_us_ = std::min(backoff_us_ * 2, max_backoff_us);
      wait();
      return;
    }
    if (!process()) return;
    paused_ = false;
    // The peer could not send while we were not reading: its silence starts now.
    last_active_ = std::chrono::steady_clock::now();
    read();
  }

  void arm_idle(std::chrono::steady_clock::duration after) {
    if (idle_.count() == 0) return;
    idle_timer_.expires_after(after);
    idle_timer_.async_wait([self = shared_from_this()](const boost::system::error_code &ec) {
      if (!ec) self->check_idle();
    });
  }

  void check_idle() {
    if (closed_) return;
    auto quiet = std::chrono::steady_clock::now() - last_active_;
    if (paused_ || quiet < idle_) {
      arm_idle(paused_ ? idle_ : idle_ - quiet);
      return;
    }
    stats_counter_inc(counters().idle_closes);
    if (end_ > start_ && !discarding_) stats_counter_inc(counters().partial_lines);
    start_ = end_;
    close();
  }

  // Closes the socket and cancels the timers; the pending handlers then let go of the connection.
  void close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    timer_.cancel();
    idle_timer_.cancel();
    sock_.close(ignored);
  }

  tcp::socket sock_;
  boost::asio::steady_timer timer_;       // retries of a held-up batch
  boost::asio::steady_timer idle_timer_;  // closes a connection whose peer went quiet
  const size_t max_line_;
  const size_t max_cap_;
  const std::chrono::steady_clock::duration idle_;  // 0: never
  std::atomic<int64_t> &listener_open_;
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0;
  size_t start_ = 0;      // first byte of the unfinished line
  size_t scan_ = 0;       // bytes before it hold no newline
  size_t end_ = 0;        // end of the data read
  size_t last_read_ = 0;  // bytes of the last read
  size_t last_room_ = 0;  // room that read was given
  bool discarding_ = false;
  bool paused_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point last_active_;
  int backoff_us_ = initial_backoff_us;
  vask_director_batch_t batch_;
  const int format_;
  vask_ingest_t in_;  // other wire formats: the decoding pass of this connection
};

void set_keepalive(tcp::socket &sock) {
  boost::system::error_code ignored;
  sock.set_option(tcp::no_delay(true), ignored);
  sock.set_option(boost::asio::socket_base::keep_alive(true), ignored);
  // A peer that vanished without a word is found within about two minutes.
  int fd = sock.native_handle();
  int idle = 60, interval = 10, count = 6;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void accept_next(listener_t *l) {
  int threads = eventer_loop_concurrency();
  int thread = int(l->next_thread.fetch_add(1, std::memory_order_relaxed) % uint64_t(threads));
  boost::asio::io_context &ctx = eventer_io_context(thread);
  l->acceptor.async_accept(ctx, [l, &ctx](const boost::system::error_code &ec, tcp::socket sock) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
      on_accept_error(l, ec);
      l->retry.expires_after(std::chrono::milliseconds(l->backoff_ms));
      l->backoff_ms = std::min(l->backoff_ms * 2, max_accept_backoff_ms);
      l->retry.async_wait([l](const boost::system::error_code &e) {
        if (!e) accept_next(l);
      });
      return;
    }
    l->backoff_ms = initial_accept_backoff_ms;
    intake_counters_t &c = counters();
    stats_counter_inc(c.connections);
    if (l->open.load(std::memory_order_relaxed) >= l->max_connections) {
      // Full: the peer sees its connection closed at once rather than hanging in the backlog.
      stats_counter_inc(c.refused);
      auto now = std::chrono::steady_clock::now();
      if (now - l->last_refusal_log >= std::chrono::seconds(10)) {
        l->last_refusal_log = now;
        tovi_log(tovi_error,
                 "metric intake: %lld connections open, the most allowed; refusing new ones on "
                 "port %u\n",
                 static_cast<long long>(l->max_connections), unsigned(l->port));
      }
      boost::system::error_code ignored;
      sock.close(ignored);
      accept_next(l);
      return;
    }
    set_keepalive(sock);
    auto conn = std::make_shared<connection_c>(std::move(sock), l);
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

// The default connection cap of each of `listeners` listeners: what the descriptor limit leaves
// once the reserve for everything else is set aside, shared among them.
int64_t default_max_connections(int listeners) {
  rlimit rl{};
  int64_t limit = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    limit = int64_t(rl.rlim_cur);
  else if (rl.rlim_cur == RLIM_INFINITY)
    limit = int64_t(1) << 20;
  int64_t budget = limit - std::max(reserved_descriptors, limit / 4);
  return std::max<int64_t>(1, budget / std::max(1, listeners));
}

int open_listener(tovi_conf_section_t s, const char *element, int format, int index,
                  int listeners) {
  std::string key = std::string("//listeners/") + element + "[" + std::to_string(index) + "]";
  std::string address = "127.0.0.1";
  int32_t port = -1, max_line = default_max_line, idle_timeout_s = default_idle_timeout_s;
  int64_t max_connections = default_max_connections(listeners);
  tovi_conf_get_string(s, "@address", &address);
  if (!tovi_conf_get_int32(s, "@port", &port) || port < 0 || port > 65535) {
    tovi_log(tovi_error, "%s/@port: a port from 0 to 65535 is required\n", key.c_str());
    return -1;
  }
  tovi_conf_get_int32(s, "@max_line_bytes", &max_line);
  if (max_line < 64 || max_line > (16 << 20)) {
    tovi_log(tovi_error, "%s/@max_line_bytes: must be between 64 and 16777216\n", key.c_str());
    return -1;
  }
  tovi_conf_get_int64(s, "@max_connections", &max_connections);
  if (max_connections < 1) {
    tovi_log(tovi_error, "%s/@max_connections: must be at least 1\n", key.c_str());
    return -1;
  }
  tovi_conf_get_int32(s, "@idle_timeout_s", &idle_timeout_s);
  if (idle_timeout_s < 0) {
    tovi_log(tovi_error, "%s/@idle_timeout_s: must not be negative\n", key.c_str());
    return -1;
  }
  vask_mapping_t mapping;
  int precision = 9;
  if (format >= 0) {
    if (!vask_mapping_from_conf(s, vask_format_t(format), key, &mapping)) return -1;
    std::string p;
    if (tovi_conf_get_string(s, "@precision", &p) &&
        !vask_influx_precision(p.c_str(), &precision)) {
      tovi_log(tovi_error, "%s/@precision: '%s' is not ns, us, ms, s, m or h\n", key.c_str(),
               p.c_str());
      return -1;
    }
  }
  boost::system::error_code ec;
  auto ip = boost::asio::ip::make_address(address, ec);
  if (ec) {
    tovi_log(tovi_error, "%s/@address: '%s' is not an IP address\n", key.c_str(), address.c_str());
    return -1;
  }
  auto *l = new listener_t(eventer_io_context(0));
  l->max_line = size_t(max_line);
  l->max_connections = max_connections;
  l->idle_timeout_s = idle_timeout_s;
  l->format = format;
  l->mapping = mapping;
  l->precision = precision;
  tcp::endpoint endpoint(ip, uint16_t(port));
  l->acceptor.open(endpoint.protocol(), ec);
  if (!ec) l->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) l->acceptor.bind(endpoint, ec);
  if (!ec) l->acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  if (ec) {
    tovi_log(tovi_error, "%s: cannot listen on %s port %d: %s\n", key.c_str(), address.c_str(),
             int(port), ec.message().c_str());
    delete l;
    return -1;
  }
  l->port = l->acceptor.local_endpoint(ec).port();
  intake().listeners.push_back(l);
  tovi_log(tovi_notice, "metric intake listening on %s port %u for %s (at most %lld connections)\n",
           address.c_str(), unsigned(l->port),
           format < 0 ? "metric lines" : vask_format_name(vask_format_t(format)),
           static_cast<long long>(l->max_connections));
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
  vask_format_stats_init();
  vask_metric_director_init_globals();
  tovi_log_outlet_register_callback("vask_intake", metrics_outlet);
  if (!tovi_log_stream_add_outlet("metrics", "vask_intake")) return -1;
  in.initialized = true;

  tovi_conf_section_read_hold();
  int rv = 0;
  struct kind_t {
    const char *element;
    int format;
  } kinds[] = {{"metrics", -1}, {"influx", VASK_FORMAT_INFLUX}, {"graphite", VASK_FORMAT_GRAPHITE}};
  std::vector<std::vector<tovi_conf_section_t>> sections;
  int total = 0;
  for (const kind_t &k : kinds) {
    sections.push_back(
        tovi_conf_get_sections(nullptr, (std::string("//listeners/") + k.element).c_str()));
    total += int(sections.back().size());
  }
  for (size_t k = 0; k < sections.size() && rv == 0; k++) {
    int index = 1;
    for (tovi_conf_section_t s : sections[k]) {
      if (open_listener(s, kinds[k].element, kinds[k].format, index++, total) != 0) {
        rv = -1;
        break;
      }
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
