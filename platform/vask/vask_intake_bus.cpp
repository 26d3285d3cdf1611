#include "vask/vask_intake_bus.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stats/stats.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "vask/vask_director.h"

namespace {

using namespace std::chrono_literals;

struct bus_source_t {
  std::string exchange;
  stats_counter_t *deliveries;
  stats_counter_t *lines;
  stats_counter_t *bytes;
  stats_counter_t *held;
};

// How long one delivery may keep the bus connection's thread waiting for room in full lanes.
// Far below any heartbeat interval; past it the delivery is held and finished by the hand-over
// thread.
constexpr auto delivery_deadline = 500ms;

// A delivery the connection thread could not hand over in time: what is left of it, finished by
// the hand-over thread, which then settles it with tovi_amqp_ack_held.
struct held_delivery_t {
  bus_source_t *source;
  int connection_id;
  uint64_t session;
  uint64_t tag;
  vask_director_pending_t pending;  // a line that reached only some lanes
  std::string rest;                 // lines not submitted yet
};

struct hand_over_t {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::unique_ptr<held_delivery_t>> queue;  // guarded by lock
  int busy = 0;                                        // guarded by lock: queued or in work
  bool started = false;                                // guarded by lock
};

hand_over_t &hand_over() {
  static hand_over_t *h = new hand_over_t;
  return *h;
}

// Calls fn(line, len) for each non-empty line of text (without "\r\n") until it returns false.
template <typename Fn>
void for_each_line(const char *p, const char *end, Fn fn) {
  while (p < end) {
    const char *nl = static_cast<const char *>(memchr(p, '\n', end - p));
    const char *line_end = nl ? nl : end;
    size_t len = line_end - p;
    if (len > 0 && p[len - 1] == '\r') len--;
    if (len > 0 && !fn(p, len)) return;
    p = nl ? nl + 1 : end;
  }
}

void hand_over_main() {
  hand_over_t &h = hand_over();
  for (;;) {
    std::unique_ptr<held_delivery_t> d;
    {
      std::unique_lock<std::mutex> g(h.lock);
      h.wake.wait(g, [&] { return !h.queue.empty(); });
      d = std::move(h.queue.front());
      h.queue.pop_front();
    }
    // Not a loop thread: waiting here for room is what slows the bus down.
    while (d->pending.remaining() > 0 &&
           vask_metric_director_resume(&d->pending) == VASK_DIRECTOR_WOULD_BLOCK)
      std::this_thread::sleep_for(1ms);
    const char *p = d->rest.data();
    for_each_line(p, p + d->rest.size(), [&](const char *line, size_t len) {
      vask_metric_director_submit_line(line, len);
      stats_counter_inc(d->source->lines);
      return true;
    });
    tovi_amqp_ack_held(d->connection_id, d->session, d->tag, false);
    std::lock_guard<std::mutex> g(h.lock);
    h.busy--;
  }
}

int hold(bus_source_t *source, int connection_id, const tovi_amqp_envelope_t *envelope,
         vask_director_pending_t *pending, const char *rest, const char *end) {
  auto d = std::make_unique<held_delivery_t>();
  d->source = source;
  d->connection_id = connection_id;
  d->session = envelope->session;
  d->tag = envelope->delivery_tag;
  if (pending) std::swap(d->pending, *pending);
  d->rest.assign(rest, end - rest);
  stats_counter_inc(source->held);
  hand_over_t &h = hand_over();
  {
    std::lock_guard<std::mutex> g(h.lock);
    if (!h.started) {
      std::thread(hand_over_main).detach();
      h.started = true;
    }
    h.busy++;
    h.queue.push_back(std::move(d));
  }
  h.wake.notify_one();
  return TOVI_AMQP_HELD;
}

int on_delivery(void *closure, tovi_amqp_connection_t *, int connection_id,
                const tovi_amqp_envelope_t *envelope, const void *payload, size_t length) {
  auto *source = static_cast<bus_source_t *>(closure);
  if (!envelope->exchange || source->exchange != envelope->exchange) return TOVI_AMQP_IGNORED;
  stats_counter_inc(source->deliveries);
  stats_counter_add(source->bytes, length);
  const char *begin = static_cast<const char *>(payload);
  const char *end = begin + length;
  // While earlier deliveries are being finished, later ones queue behind them: lines keep their
  // order. Only this (the connection's) thread adds to the queue, so an empty one stays empty.
  bool behind;
  {
    hand_over_t &h = hand_over();
    std::lock_guard<std::mutex> g(h.lock);
    behind = h.busy > 0;
  }
  if (behind) return hold(source, connection_id, envelope, nullptr, begin, end);

  auto deadline = std::chrono::steady_clock::now() + delivery_deadline;
  vask_director_pending_t pending;
  const char *stopped_at = nullptr;
  for_each_line(begin, end, [&](const char *line, size_t len) {
    vask_director_result_t r = vask_metric_director_try_submit_line(line, len, &pending);
    while (r == VASK_DIRECTOR_WOULD_BLOCK && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
      r = vask_metric_director_resume(&pending);
    }
    stats_counter_inc(source->lines);
    if (r == VASK_DIRECTOR_WOULD_BLOCK) {
      stopped_at = line + len;
      return false;
    }
    return true;
  });
  if (!stopped_at) return TOVI_AMQP_DONE;
  // Out of time: the line part-way in and the lines after it are finished by the hand-over
  // thread, and the delivery acknowledged then.
  const char *nl = static_cast<const char *>(memchr(stopped_at, '\n', end - stopped_at));
  return hold(source, connection_id, envelope, &pending, nl ? nl + 1 : end, end);
}

}  // namespace

int vask_intake_bus_init(void) {
  tovi_conf_section_read_hold();
  std::vector<tovi_conf_section_t> sections =
      tovi_conf_get_sections(nullptr, "//listeners/metrics_bus");
  int hooked = 0;
  for (size_t i = 0; i < sections.size(); i++) {
    std::string exchange;
    if (!tovi_conf_get_string(sections[i], "@exchange", &exchange) || exchange.empty()) {
      tovi_log(tovi_error, "listeners/metrics_bus: @exchange is required\n");
      hooked = -1;
      break;
    }
    stats_ns_t *root = stats_recorder_root(stats_process_recorder());
    stats_ns_t *ns = stats_register_ns(stats_register_ns(root, "vask"), "intake_bus");
    std::string ns_name = exchange;
    for (char &c : ns_name)
      if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    stats_ns_t *per = stats_register_ns(ns, ns_name.c_str());
    stats_ns_add_tag(per, "exchange", exchange.c_str());
    auto *source = new bus_source_t{
        exchange, stats_register_counter(per, "deliveries"), stats_register_counter(per, "lines"),
        stats_register_counter(per, "bytes"), stats_register_counter(per, "held")};
    std::string name = "vask_intake_bus/" + exchange;
    tovi_amqp_register_message_hook(name.c_str(), on_delivery, source);
    tovi_log(tovi_notice, "metric lines consumed from exchange '%s'\n", exchange.c_str());
    hooked++;
  }
  tovi_conf_section_read_release();
  return hooked;
}
