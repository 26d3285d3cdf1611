// Delivery: a bounded queue and a thread per target URL.
//
// The thread takes the oldest alerts (up to a batch), posts them and removes them only once the
// target took them, so alerts of one stream arrive in the order they were announced, through any
// number of failures. A failure that may pass (no connection, a timeout, 5xx, 429) is retried
// with exponential back-off and jitter; a refusal (any other answer outside 2xx) drops the batch,
// counted as rejected. Nothing here waits for the threads that publish: publishing appends under
// a mutex that is never held across a request, and a full queue drops the new alert.
//
// Alert routers re-send what is still firing: a thread whose queue is empty asks its outlet for
// the firing set once the re-send interval has passed since its last successful re-send.
#include <curl/curl.h>
#include <time.h>

#include <chrono>
#include <random>

#include "outlets/outlets_internal.h"
#include "daemon_stats.h"
#include "tovi/tovi_log.h"

uint64_t outlet_now_ms(void) {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

std::string outlet_rfc3339(uint64_t ms) {
  time_t s = time_t(ms / 1000);
  struct tm tm;
  gmtime_r(&s, &tm);
  char buf[80];
  snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, unsigned(ms % 1000));
  return buf;
}

namespace {

tovi_log_stream_t notify_error_stream() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/notify");
  return ls;
}

// A clock for waits and latency that wall-clock steps do not move.
typedef std::chrono::steady_clock steady_t;

struct queued_t {
  outlet_alert_sp alert;
  steady_t::time_point at;
};

enum post_result_t { POST_OK, POST_RETRY, POST_REFUSED };

size_t discard_body(char *, size_t size, size_t n, void *) {
  return size * n;
}

}  // namespace

class outlet_target_c {
 public:
  outlet_target_c(outlet_c &outlet, std::string url) : _outlet(outlet), _url(std::move(url)) {}
  ~outlet_target_c() { stop(); }

  bool start(std::string *error) {
    _curl = curl_easy_init();
    if (!_curl) {
      *error = "cannot create an HTTP client for " + _url;
      return false;
    }
    _thread = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    {
      std::lock_guard<std::mutex> g(_lock);
      if (_stopping) return;
      _stopping = true;
    }
    _wake.notify_all();
    if (_thread.joinable()) _thread.join();
    if (_curl) curl_easy_cleanup(_curl);
    _curl = nullptr;
  }

  void enqueue(const std::vector<outlet_alert_sp> &alerts) {
    size_t dropped = 0;
    {
      std::lock_guard<std::mutex> g(_lock);
      auto now = steady_t::now();
      for (const outlet_alert_sp &a : alerts) {
        if (_queue.size() >= _outlet.settings().queue_size) {
          dropped++;
          continue;
        }
        _queue.push_back({a, now});
      }
      _depth.store(_queue.size(), std::memory_order_relaxed);
    }
    outlet_counters_t &c = _outlet.counters();
    c.queued.fetch_add(alerts.size() - dropped, std::memory_order_relaxed);
    if (dropped) {
      c.dropped.fetch_add(dropped, std::memory_order_relaxed);
      log_throttled(_last_drop_log_s,
                    "outlet %s: queue of %s full (%zu), alert dropped (%lu dropped so far)\n",
                    _outlet.settings().name.c_str(), _url.c_str(), _outlet.settings().queue_size,
                    (unsigned long)c.dropped.load(std::memory_order_relaxed));
    }
    _wake.notify_one();
  }

  uint64_t depth() const { return _depth.load(std::memory_order_relaxed); }

 private:
  // At most one line a second per target and kind (drops, failures): a target that is down
  // must not flood the log, and its failures must not hide its drops.
  template <typename... A>
  void log_throttled(std::atomic<int64_t> &last_s, const char *fmt, A... args) {
    int64_t now_s = int64_t(outlet_now_ms() / 1000);
    int64_t last = last_s.load(std::memory_order_relaxed);
    if (now_s == last || !last_s.compare_exchange_strong(last, now_s)) return;
    tovi_log(notify_error_stream(), fmt, args...);
  }

  post_result_t post(const std::string &body) {
    const outlet_settings_t &s = _outlet.settings();
    struct curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    std::string auth;
    if (!s.bearer_token.empty()) {
      auth = "Authorization: Bearer " + s.bearer_token;
      headers = curl_slist_append(headers, auth.c_str());
    }
    std::vector<std::string> extra = _outlet.headers(body);
    for (const std::string &h : extra)
      headers = curl_slist_append(headers, h.c_str());
    curl_easy_reset(_curl);
    curl_easy_setopt(_curl, CURLOPT_URL, _url.c_str());
    curl_easy_setopt(_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(_curl, CURLOPT_POST, 1L);
    curl_easy_setopt(_curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(_curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(_curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(_curl, CURLOPT_TIMEOUT_MS, s.timeout_ms);
    curl_easy_setopt(_curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(s.timeout_ms, 5000L));
    curl_easy_setopt(_curl, CURLOPT_WRITEFUNCTION, discard_body);
    curl_easy_setopt(_curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!s.ca_file.empty()) curl_easy_setopt(_curl, CURLOPT_CAINFO, s.ca_file.c_str());
    if (!s.cert_file.empty()) curl_easy_setopt(_curl, CURLOPT_SSLCERT, s.cert_file.c_str());
    if (!s.key_file.empty()) curl_easy_setopt(_curl, CURLOPT_SSLKEY, s.key_file.c_str());
    if (!s.verify_peer) {
      curl_easy_setopt(_curl, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(_curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    CURLcode rc = curl_easy_perform(_curl);
    long status = 0;
    if (rc == CURLE_OK) curl_easy_getinfo(_curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK) {
      log_throttled(_last_failure_log_s, "outlet %s: %s unreachable: %s\n", s.name.c_str(),
                    _url.c_str(), curl_easy_strerror(rc));
      return POST_RETRY;
    }
    if (status >= 200 && status < 300) return POST_OK;
    if (status >= 500 || status == 429) {
      log_throttled(_last_failure_log_s, "outlet %s: %s answered %ld, trying again\n",
                    s.name.c_str(), _url.c_str(), status);
      return POST_RETRY;
    }
    log_throttled(_last_failure_log_s, "outlet %s: %s refused an alert with %ld\n", s.name.c_str(),
                  _url.c_str(), status);
    return POST_REFUSED;
  }

  // Waits for the back-off of the attempt'th consecutive failure: exponential, capped, and
  // drawn between half and all of it so that daemons of a cluster do not retry in step.
  // Returns false when stopping.
  bool back_off(int attempt) {
    const outlet_settings_t &s = _outlet.settings();
    long delay = s.retry_initial_ms;
    for (int i = 0; i < attempt && delay < s.retry_max_ms; i++)
      delay *= 2;
    delay = std::min(delay, s.retry_max_ms);
    std::uniform_int_distribution<long> jitter(delay / 2, delay);
    long wait_ms = jitter(_random);
    std::unique_lock<std::mutex> g(_lock);
    _wake.wait_for(g, std::chrono::milliseconds(wait_ms), [this] { return _stopping; });
    return !_stopping;
  }

  void run() {
    int failures = 0;
    steady_t::time_point next_resend = steady_t::now() + resend_interval();
    for (;;) {
      std::vector<queued_t> batch;
      bool resend_due = false;
      {
        std::unique_lock<std::mutex> g(_lock);
        auto ready = [&] {
          return _stopping || !_queue.empty() ||
                 (_outlet.resends() && steady_t::now() >= next_resend);
        };
        if (_outlet.resends())
          _wake.wait_until(g, next_resend, ready);
        else
          _wake.wait(g, ready);
        if (_stopping) return;
        size_t n = std::min(_queue.size(), std::max<size_t>(1, _outlet.batch_max()));
        batch.assign(_queue.begin(), _queue.begin() + long(n));
        resend_due = batch.empty();
      }

      if (resend_due) {
        std::vector<outlet_alert_sp> firing = _outlet.resend_set();
        if (firing.empty()) {
          next_resend = steady_t::now() + resend_interval();
          continue;
        }
        bool ok = true;
        for (size_t i = 0; i < firing.size() && ok; i += _outlet.batch_max()) {
          std::vector<outlet_alert_sp> part(
              firing.begin() + long(i),
              firing.begin() + long(std::min(firing.size(), i + _outlet.batch_max())));
          post_result_t r = post(_outlet.encode(part, outlet_now_ms()));
          if (r == POST_RETRY)
            ok = false;
          else if (r == POST_OK)
            _outlet.counters().resent.fetch_add(part.size(), std::memory_order_relaxed);
        }
        if (ok) {
          failures = 0;
          next_resend = steady_t::now() + resend_interval();
        } else {
          _outlet.counters().retried.fetch_add(1, std::memory_order_relaxed);
          if (!back_off(failures++)) return;
          // Queued alerts go first; the re-send comes again when the queue is empty.
        }
        continue;
      }

      std::vector<outlet_alert_sp> alerts;
      alerts.reserve(batch.size());
      for (const queued_t &q : batch)
        alerts.push_back(q.alert);
      post_result_t r = post(_outlet.encode(alerts, outlet_now_ms()));
      if (r == POST_RETRY) {
        _outlet.counters().retried.fetch_add(1, std::memory_order_relaxed);
        if (!back_off(failures++)) return;
        continue;
      }
      failures = 0;
      auto now = steady_t::now();
      {
        std::lock_guard<std::mutex> g(_lock);
        // Only this thread removes, so the batch is still at the front.
        _queue.erase(_queue.begin(), _queue.begin() + long(batch.size()));
        _depth.store(_queue.size(), std::memory_order_relaxed);
      }
      outlet_counters_t &c = _outlet.counters();
      if (r == POST_OK) {
        c.sent.fetch_add(batch.size(), std::memory_order_relaxed);
        if (stats_histogram_t *latency = c.latency.load(std::memory_order_acquire))
          for (const queued_t &q : batch)
            stats_histogram_record_ns(
                latency,
                uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now - q.at).count()));
      } else {
        c.rejected.fetch_add(batch.size(), std::memory_order_relaxed);
      }
    }
  }

  std::chrono::milliseconds resend_interval() const {
    return std::chrono::milliseconds(_outlet.settings().resend_interval_ms);
  }

  outlet_c &_outlet;
  const std::string _url;
  CURL *_curl = nullptr;  // this target's thread only (and start/stop)
  std::thread _thread;
  std::minstd_rand _random{std::random_device{}()};  // this target's thread only
  std::atomic<int64_t> _last_drop_log_s{0};
  std::atomic<int64_t> _last_failure_log_s{0};
  std::atomic<uint64_t> _depth{0};  // _queue.size(), for statistics

  std::mutex _lock;
  std::condition_variable _wake;
  std::deque<queued_t> _queue;  // guarded by _lock
  bool _stopping = false;       // guarded by _lock
};

outlet_c::outlet_c(outlet_settings_t settings) : _settings(std::move(settings)) {}

outlet_c::~outlet_c() {
  stop();
}

bool outlet_c::start(std::string *error) {
  static std::once_flag curl_once;
  std::call_once(curl_once, [] { curl_global_init(CURL_GLOBAL_ALL); });
  for (const std::string &url : _settings.urls) {
    _targets.push_back(std::make_unique<outlet_target_c>(*this, url));
    if (!_targets.back()->start(error)) return false;
  }
  return true;
}

void outlet_c::enqueue(const std::vector<outlet_alert_sp> &alerts) {
  if (alerts.empty()) return;
  for (auto &t : _targets)
    t->enqueue(alerts);
}

void outlet_c::stop() {
  for (auto &t : _targets)
    t->stop();
  _targets.clear();
}

uint64_t outlet_c::queue_depth() const {
  uint64_t n = 0;
  for (const auto &t : _targets)
    n += t->depth();
  return n;
}

void outlet_c::register_statistics(stats_ns_t *parent) {
  stats_ns_t *ns = stats_register_ns(parent, _settings.name.c_str());
  if (!ns) return;
  stats_ns_add_tag(ns, "outlet", _settings.name.c_str());
  stats_opts_t alerts;
  alerts.units = "alerts";
  stats_register_u64(ns, "queued", STATS_COUNTER, &_counters.queued, alerts);
  stats_register_u64(ns, "sent", STATS_COUNTER, &_counters.sent, alerts);
  stats_register_u64(ns, "dropped", STATS_COUNTER, &_counters.dropped, alerts);
  stats_register_u64(ns, "rejected", STATS_COUNTER, &_counters.rejected, alerts);
  stats_register_u64(ns, "resent", STATS_COUNTER, &_counters.resent, alerts);
  stats_register_u64(ns, "resolved_stale", STATS_COUNTER, &_counters.resolved_stale, alerts);
  stats_opts_t requests;
  requests.units = "requests";
  stats_register_u64(ns, "retried", STATS_COUNTER, &_counters.retried, requests);
  stats_register_u64_fn(
      ns, "queue_depth", STATS_GAUGE, [this] { return queue_depth(); }, alerts);
  stats_opts_t seconds;
  seconds.units = "seconds";
  // Release: a target that sees the histogram sees it registered.
  _counters.latency.store(stats_register_histogram(ns, "latency", seconds),
                          std::memory_order_release);
}
