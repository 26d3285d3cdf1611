// The AMQP module.
//
// One thread per configured connection owns everything rabbitmq-c touches: the library is not
// thread-safe per connection, so no other thread ever calls into it. Other threads reach a
// connection only through its mailbox (`lock`): the queue of messages to publish and the
// requests to settle held deliveries, plus an eventfd that wakes the thread.
//
// Delivery guarantees. A message accepted by tovi_amqp_send_data counts as outstanding until
// the broker confirms it (or it is given up because its exchange does not exist); the bound on
// outstanding messages is the queue size, so memory is bounded however long the broker is away.
// The thread moves messages from `pending` to `in_flight` as it publishes them, numbering them
// as the broker does (publisher confirms count from 1 on each channel). Confirms remove them from
// the front of `in_flight`. When the connection is lost, everything still in flight goes back to
// the front of `pending` in its original order and is published again first after the
// reconnect: the broker may have stored some of it already (a duplicate), but nothing it did not
// confirm is forgotten.
//
// Publishing to an exchange that does not exist makes the broker close the channel, which
// would lose the confirms of everything in flight and, with republication, loop forever. So the
// first publish to an exchange this connection did not declare is preceded by a passive declare
// on a second channel; a missing exchange closes only that channel, and its messages are
// dropped, counted and logged.
//
// The thread's loop: publish what is pending (up to the in-flight limit), settle held deliveries,
// then wait in poll() for the socket or the eventfd, and hand every frame that arrived to
// handle_frame. rabbitmq-c sends heartbeats and checks the broker's whenever it is asked for a
// frame, which this loop does at least every kIdleWaitMs.
//
// Wake-ups: a sender writes the eventfd only while the thread is parked in poll() (`parked`),
// so a burst of alerts arriving while the thread works costs no system call and no extra pass.
// Batching happens at the transport only: on a plain TCP connection every message one pass
// publishes is encoded into one buffer (method, content header and body frames, as rabbitmq-c
// would send them) and written with one write; each message is still its own publish, numbered
// and confirmed on its own, in order. TLS connections publish through rabbitmq-c one by one.
//
// Latency: "publish_wait" is the time from the send call to the write that carried the message,
// "publish_to_confirm" from the send call to the broker's confirm; one clock reading serves a
// whole pass of publishes or a whole confirm frame.
#include "tovi/tovi_amqp.h"

#include <amqp.h>
#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "stats/stats.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

namespace {

constexpr int kIdleWaitMs = 200;
constexpr int kFramesPerPass = 1000;
constexpr int kPublishesPerPass = 256;
constexpr int kWriteWaitMs = 10000;          // a socket that takes nothing for this long is dead
constexpr amqp_channel_t kChannel = 1;       // publishing and consuming
constexpr amqp_channel_t kCheckChannel = 2;  // passive declares that may close their channel

tovi_log_stream_t log_error() {
  static tovi_log_stream_t ls = tovi_log_stream_find("error/amqp");
  return ls;
}
tovi_log_stream_t log_notice() {
  static tovi_log_stream_t ls = tovi_log_stream_find("notice/amqp");
  return ls;
}
tovi_log_stream_t log_debug() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/amqp");
  return ls;
}

uint64_t now_ns() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

amqp_bytes_t bytes_of(const std::string &s) {
  amqp_bytes_t b;
  b.len = s.size();
  b.bytes = const_cast<char *>(s.data());
  return b;
}

std::string string_of(amqp_bytes_t b) {
  return std::string(static_cast<const char *>(b.bytes), b.len);
}

// ---- settings ----

struct exchange_conf_t {
  std::string name;
  std::string type = "topic";
  bool durable = true;
  bool auto_delete = false;
};

struct binding_conf_t {
  std::string queue;  // empty inside a <queue>: that queue
  std::string exchange;
  std::string routing_key;
};

struct queue_conf_t {
  std::string name;  // empty: the broker names it
  bool durable = true;
  bool exclusive = false;
  bool auto_delete = false;
  bool consume = true;
  std::vector<binding_conf_t> bindings;
};

struct mq_conf_t {
  std::string host = "127.0.0.1";
  int32_t port = 5672;
  std::string vhost = "/";
  std::string user = "guest";
  std::string password = "guest";
  int32_t heartbeat = 30;
  int32_t prefetch = 100;
  bool tls = false;
  std::string ca, certificate, key;
  bool verify = true;
  std::vector<exchange_conf_t> exchanges;
  std::vector<queue_conf_t> queues;
  std::vector<binding_conf_t> bindings;
};

struct module_conf_t {
  int32_t queue_size = 100000;
  int32_t max_in_flight = 1000;
  int32_t backoff_min_ms = 100;
  int32_t backoff_max_ms = 10000;
  int32_t connect_timeout_ms = 5000;
  int32_t max_publish_attempts = 10;  // refusals (nacks) of one message before it is dropped
};

// ---- hooks ----

// `live` turns false when the hook is removed or replaced: a snapshot taken before that skips it.
struct message_hook_t {
  std::string name;
  tovi_amqp_message_hook_t hook;
  void *closure;
  std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
};
struct connection_hook_t {
  std::string name;
  tovi_amqp_connection_hook_t hook;
  void *closure;
  std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
};

// Hook calls hold this shared; removing a hook takes it exclusively once, after marking the hook
// dead, so that removal returns only after any call already under way has finished. A hook that
// removes a hook from inside a hook call does not wait (it would wait for itself): the dead mark
// alone keeps the removed hook from being called again.
std::shared_mutex hook_calls;
thread_local int in_hook_call = 0;

void wait_for_hook_calls() {
  if (in_hook_call > 0) return;
  std::unique_lock<std::shared_mutex> drained(hook_calls);
}

// Calls fn() for a live hook under the call guard; returns false (without calling) for a dead one.
template <typename Fn>
bool call_hook(const std::shared_ptr<std::atomic<bool>> &live, Fn fn) {
  std::shared_lock<std::shared_mutex> guard(hook_calls);
  // Acquire pairs with the release store of removal: once removal has waited, no call that saw
  // the hook live is still running.
  if (!live->load(std::memory_order_acquire)) return false;
  in_hook_call++;
  fn();
  in_hook_call--;
  return true;
}

// Copy-on-write lists: connection threads take a snapshot and call hooks without the lock.
std::mutex hooks_lock;
std::shared_ptr<const std::vector<message_hook_t>> message_hooks =
    std::make_shared<std::vector<message_hook_t>>();
std::shared_ptr<const std::vector<connection_hook_t>> connection_hooks =
    std::make_shared<std::vector<connection_hook_t>>();

template <typename T>
int hook_put(std::shared_ptr<const std::vector<T>> *list, T entry) {
  bool replaced = false;
  {
    std::lock_guard<std::mutex> g(hooks_lock);
    auto next = std::make_shared<std::vector<T>>(**list);
    auto it =
        std::find_if(next->begin(), next->end(), [&](const T &h) { return h.name == entry.name; });
    if (it != next->end()) {
      it->live->store(false, std::memory_order_release);
      *it = std::move(entry);
      replaced = true;
    } else {
      next->push_back(std::move(entry));
    }
    *list = std::move(next);
  }
  if (replaced) wait_for_hook_calls();
  return 0;
}

template <typename T>
int hook_remove(std::shared_ptr<const std::vector<T>> *list, const char *name) {
  {
    std::lock_guard<std::mutex> g(hooks_lock);
    auto next = std::make_shared<std::vector<T>>(**list);
    auto it = std::find_if(next->begin(), next->end(), [&](const T &h) { return h.name == name; });
    if (it == next->end()) return -1;
    it->live->store(false, std::memory_order_release);
    next->erase(it);
    *list = std::move(next);
  }
  wait_for_hook_calls();
  return 0;
}

template <typename T>
std::shared_ptr<const std::vector<T>> hook_snapshot(
    const std::shared_ptr<const std::vector<T>> &list) {
  std::lock_guard<std::mutex> g(hooks_lock);
  return list;
}

// ---- messages ----

struct outgoing_t {
  std::string exchange;
  std::string route;
  std::string body;
  bool mandatory = false;
  bool again = false;        // published before, without a confirm
  int refusals = 0;          // nacks so far
  int64_t not_before = 0;    // a refused message waits until then (steady ms)
  uint64_t accepted_ns = 0;  // when the send call took it (steady ns)
};
typedef std::unique_ptr<outgoing_t> outgoing_up;

struct in_flight_t {
  uint64_t seq;
  outgoing_up message;  // null once settled out of order
  bool settled = false;
};

struct ack_request_t {
  uint64_t session;
  uint64_t delivery_tag;
  bool requeue;
};

struct held_t {
  int holds;
  bool requeue;
};

}  // namespace

struct tovi_amqp_connection_t {
  // Constant after configure.
  int id = 0;
  mq_conf_t conf;
  module_conf_t module;
  int wake_fd = -1;

  // The mailbox, guarded by `lock`.
  std::mutex lock;
  std::deque<outgoing_up> pending;
  std::vector<ack_request_t> ack_requests;

  std::atomic<bool> stopping{false};
  std::atomic<bool> connected{false};
  // Set while the connection thread is (about to be) parked in poll(): senders wake it only then.
  std::atomic<bool> parked{false};
  // Accepted and not yet confirmed or given up: pending plus in flight. Changed under `lock`
  // when it grows (so the bound holds); shrinks on the connection thread alone.
  std::atomic<int64_t> outstanding{0};
  std::thread thread;

  // Counters, relaxed: they are statistics, nothing is ordered by them.
  std::atomic<uint64_t> depth{0}, in_flight_count{0}, published{0}, confirmed{0}, returned{0},
      nacked{0}, republished{0}, reconnects{0}, send_errors{0}, dropped{0}, consumed{0}, acked{0},
      requeued{0}, unhandled{0}, cancelled{0}, blocked_count{0};
  std::atomic<bool> blocked{false};

  // Connection thread only.
  amqp_connection_state_t amqp = nullptr;
  std::deque<in_flight_t> in_flight;
  // Refused messages waiting out their back-off, in the order they were refused. They stay
  // outstanding; newer messages are published meanwhile.
  std::deque<outgoing_up> refused;
  uint64_t next_seq = 1;
  uint64_t session = 0;
  std::unordered_map<uint64_t, held_t> held;
  std::set<std::string> known_exchanges;
  std::unordered_map<std::string, int64_t> missing_exchanges;  // name -> when it was found missing
  bool check_channel_open = false;
  bool ever_connected = false;
  bool plain_tcp = false;        // publishes are written by this module (see "Batching" above)
  std::string out;               // the frames of one pass of publishes
  uint64_t failed_attempts = 0;  // in a row

  ~tovi_amqp_connection_t() {
    if (wake_fd >= 0) close(wake_fd);
  }
};

namespace {

typedef std::shared_ptr<tovi_amqp_connection_t> connection_sp;

struct latency_t {
  stats_histogram_t *publish_wait = nullptr;
  stats_histogram_t *publish_to_confirm = nullptr;
};

// Registered in the process statistics with the module's counters ("tovi"/"amqp").
latency_t &latency() {
  static latency_t l = [] {
    latency_t made;
    stats_ns_t *ns = stats_register_ns(
        stats_register_ns(stats_recorder_root(stats_process_recorder()), "tovi"), "amqp");
    made.publish_wait = stats_register_histogram(ns, "publish_wait", {.units = "seconds"});
    made.publish_to_confirm =
        stats_register_histogram(ns, "publish_to_confirm", {.units = "seconds"});
    tovi_assert(made.publish_wait && made.publish_to_confirm);
    return made;
  }();
  return l;
}

struct module_state_t {
  std::mutex lock;
  std::shared_ptr<const std::vector<connection_sp>> connections =
      std::make_shared<std::vector<connection_sp>>();
  bool accepting = false;  // configured and not stopped: sends are queued
  bool running = false;    // threads started
};

module_state_t &state() {
  static module_state_t *s = new module_state_t;
  return *s;
}

std::shared_ptr<const std::vector<connection_sp>> connections_snapshot() {
  module_state_t &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.accepting ? s.connections : nullptr;
}

void wake(tovi_amqp_connection_t *c) {
  uint64_t one = 1;
  ssize_t n = write(c->wake_fd, &one, sizeof(one));
  (void)n;  // a full counter (EAGAIN) is still a wake-up
}

void drain_wake(tovi_amqp_connection_t *c) {
  uint64_t value;
  ssize_t n = read(c->wake_fd, &value, sizeof(value));
  (void)n;
}

std::string reply_text(amqp_rpc_reply_t r) {
  switch (r.reply_type) {
    case AMQP_RESPONSE_NORMAL:
      return "ok";
    case AMQP_RESPONSE_NONE:
      return "missing reply";
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
      return amqp_error_string2(r.library_error);
    case AMQP_RESPONSE_SERVER_EXCEPTION:
      if (r.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        auto *m = static_cast<amqp_connection_close_t *>(r.reply.decoded);
        return "connection closed by the broker: " + std::to_string(m->reply_code) + " " +
               string_of(m->reply_text);
      }
      if (r.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        auto *m = static_cast<amqp_channel_close_t *>(r.reply.decoded);
        return "channel closed by the broker: " + std::to_string(m->reply_code) + " " +
               string_of(m->reply_text);
      }
      return "unexpected broker reply";
  }
  return "unknown reply";
}

bool rpc_ok(tovi_amqp_connection_t *c, tovi_log_stream_t ls, const char *what) {
  amqp_rpc_reply_t r = amqp_get_rpc_reply(c->amqp);
  if (r.reply_type == AMQP_RESPONSE_NORMAL) return true;
  tovi_log(ls, "amqp %d (%s:%d): %s failed: %s", c->id, c->conf.host.c_str(), c->conf.port, what,
           reply_text(r).c_str());
  return false;
}

// Errors that callers or the broker can cause at any rate are logged at most once a second per
// kind (and counted): a flood of one kind never hides the first line of another.
enum log_kind_t {
  LOG_NOT_RUNNING,
  LOG_BAD_SEND,
  LOG_QUEUE_FULL,
  LOG_MISSING_EXCHANGE,
  LOG_REFUSED,
  LOG_REFUSED_DROPPED,
  LOG_UNHANDLED,
  LOG_KINDS
};

bool error_log_due(log_kind_t kind) {
  static std::atomic<int64_t> last[LOG_KINDS];
  int64_t now = now_ms(), prev = last[kind].load(std::memory_order_relaxed);
  if (prev != 0 && now - prev < 1000) return false;
  return last[kind].compare_exchange_strong(prev, now, std::memory_order_relaxed);
}

// Send errors that no connection can be charged with (the module is not running).
std::atomic<uint64_t> unattributed_send_errors{0};

// ---- connection thread: setup and teardown ----

void close_amqp(tovi_amqp_connection_t *c, bool graceful) {
  if (!c->amqp) return;
  if (graceful) {
    amqp_channel_close(c->amqp, kChannel, AMQP_REPLY_SUCCESS);
    amqp_connection_close(c->amqp, AMQP_REPLY_SUCCESS);
  }
  amqp_destroy_connection(c->amqp);
  c->amqp = nullptr;
  c->check_channel_open = false;
}

// During an outage every attempt fails the same way: the first failure and every 30th are
// errors, the others debug lines.
tovi_log_stream_t connect_log(const tovi_amqp_connection_t *c) {
  return c->failed_attempts % 30 == 0 ? log_error() : log_debug();
}

bool declare_topology(tovi_amqp_connection_t *c) {
  const mq_conf_t &conf = c->conf;
  c->known_exchanges.clear();
  c->known_exchanges.insert("");  // the default exchange always exists
  c->missing_exchanges.clear();
  for (const exchange_conf_t &e : conf.exchanges) {
    amqp_exchange_declare(c->amqp, kChannel, bytes_of(e.name), bytes_of(e.type), 0, e.durable,
                          e.auto_delete, 0, amqp_empty_table);
    if (!rpc_ok(c, connect_log(c), ("declaring exchange '" + e.name + "'").c_str())) return false;
    c->known_exchanges.insert(e.name);
  }
  std::vector<std::string> to_consume;
  auto bind = [&](const std::string &queue, const binding_conf_t &b) {
    amqp_queue_bind(c->amqp, kChannel, bytes_of(queue), bytes_of(b.exchange),
                    bytes_of(b.routing_key), amqp_empty_table);
    return rpc_ok(c, connect_log(c),
                  ("binding queue '" + queue + "' to exchange '" + b.exchange + "'").c_str());
  };
  for (const queue_conf_t &q : conf.queues) {
    amqp_queue_declare_ok_t *ok =
        amqp_queue_declare(c->amqp, kChannel, bytes_of(q.name), 0, q.durable, q.exclusive,
                           q.auto_delete, amqp_empty_table);
    if (!rpc_ok(c, connect_log(c), ("declaring queue '" + q.name + "'").c_str()) || !ok)
      return false;
    std::string name = string_of(ok->queue);
    for (const binding_conf_t &b : q.bindings)
      if (!bind(name, b)) return false;
    if (q.consume) to_consume.push_back(name);
  }
  for (const binding_conf_t &b : conf.bindings)
    if (!bind(b.queue, b)) return false;
  for (const std::string &q : to_consume) {
    amqp_basic_consume(c->amqp, kChannel, bytes_of(q), amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
    if (!rpc_ok(c, connect_log(c), ("consuming queue '" + q + "'").c_str())) return false;
    tovi_log(log_debug(), "amqp %d: consuming queue '%s'", c->id, q.c_str());
  }
  return true;
}

bool connect_once(tovi_amqp_connection_t *c) {
  const mq_conf_t &conf = c->conf;
  c->amqp = amqp_new_connection();
  tovi_assert(c->amqp);
  amqp_socket_t *sock = conf.tls ? amqp_ssl_socket_new(c->amqp) : amqp_tcp_socket_new(c->amqp);
  c->plain_tcp = !conf.tls;
  if (!sock) {
    tovi_log(connect_log(c), "amqp %d: cannot create a socket", c->id);
    return false;
  }
  if (conf.tls) {
    amqp_ssl_socket_set_verify_peer(sock, conf.verify);
    // The client library matches host names only; a broker addressed by IP address is checked
    // by OpenSSL itself against the certificate's IP addresses instead.
    unsigned char ip[16];
    bool ip_literal = inet_pton(AF_INET, conf.host.c_str(), ip) == 1 ||
                      inet_pton(AF_INET6, conf.host.c_str(), ip) == 1;
    amqp_ssl_socket_set_verify_hostname(sock, conf.verify && !ip_literal);
    if (conf.verify && ip_literal) {
      auto *ctx = static_cast<SSL_CTX *>(amqp_ssl_socket_get_context(sock));
      if (!ctx || X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(ctx), conf.host.c_str()) != 1) {
        tovi_log(connect_log(c), "amqp %d: cannot verify the broker's address %s", c->id,
                 conf.host.c_str());
        return false;
      }
    }
    if (!conf.ca.empty() && amqp_ssl_socket_set_cacert(sock, conf.ca.c_str()) != AMQP_STATUS_OK) {
      tovi_log(connect_log(c), "amqp %d: cannot use the CA file '%s'", c->id, conf.ca.c_str());
      return false;
    }
    if (!conf.certificate.empty() && amqp_ssl_socket_set_key(sock, conf.certificate.c_str(),
                                                             conf.key.c_str()) != AMQP_STATUS_OK) {
      tovi_log(connect_log(c), "amqp %d: cannot use the certificate '%s' and key '%s'", c->id,
               conf.certificate.c_str(), conf.key.c_str());
      return false;
    }
  }
  struct timeval tv;
  tv.tv_sec = c->module.connect_timeout_ms / 1000;
  tv.tv_usec = (c->module.connect_timeout_ms % 1000) * 1000;
  int status = amqp_socket_open_noblock(sock, conf.host.c_str(), conf.port, &tv);
  if (status != AMQP_STATUS_OK) {
    tovi_log(connect_log(c), "amqp %d: cannot connect to %s:%d: %s", c->id, conf.host.c_str(),
             conf.port, amqp_error_string2(status));
    return false;
  }
  amqp_set_handshake_timeout(c->amqp, &tv);
  amqp_set_rpc_timeout(c->amqp, &tv);
  // Announce that we understand consumer cancellation and connection.blocked: without this the
  // broker silently drops a consumer whose queue is deleted and never says why it stalls us.
  amqp_table_entry_t capability_entries[2];
  capability_entries[0].key = amqp_cstring_bytes("consumer_cancel_notify");
  capability_entries[0].value.kind = AMQP_FIELD_KIND_BOOLEAN;
  capability_entries[0].value.value.boolean = 1;
  capability_entries[1].key = amqp_cstring_bytes("connection.blocked");
  capability_entries[1].value.kind = AMQP_FIELD_KIND_BOOLEAN;
  capability_entries[1].value.value.boolean = 1;
  amqp_table_entry_t property_entries[2];
  property_entries[0].key = amqp_cstring_bytes("capabilities");
  property_entries[0].value.kind = AMQP_FIELD_KIND_TABLE;
  property_entries[0].value.value.table.num_entries = 2;
  property_entries[0].value.value.table.entries = capability_entries;
  property_entries[1].key = amqp_cstring_bytes("product");
  property_entries[1].value.kind = AMQP_FIELD_KIND_UTF8;
  property_entries[1].value.value.bytes = amqp_cstring_bytes("queltd");
  amqp_table_t properties;
  properties.num_entries = 2;
  properties.entries = property_entries;
  amqp_rpc_reply_t r = amqp_login_with_properties(
      c->amqp, conf.vhost.c_str(), 0, AMQP_DEFAULT_FRAME_SIZE, conf.heartbeat, &properties,
      AMQP_SASL_METHOD_PLAIN, conf.user.c_str(), conf.password.c_str());
  if (r.reply_type != AMQP_RESPONSE_NORMAL) {
    tovi_log(connect_log(c), "amqp %d: login to %s:%d as '%s' failed: %s", c->id, conf.host.c_str(),
             conf.port, conf.user.c_str(), reply_text(r).c_str());
    return false;
  }
  amqp_channel_open(c->amqp, kChannel);
  if (!rpc_ok(c, connect_log(c), "opening the channel")) return false;
  if (conf.prefetch > 0) {
    amqp_basic_qos(c->amqp, kChannel, 0, static_cast<uint16_t>(conf.prefetch), 0);
    if (!rpc_ok(c, connect_log(c), "setting the prefetch count")) return false;
  }
  amqp_confirm_select(c->amqp, kChannel);
  if (!rpc_ok(c, connect_log(c), "turning publisher confirms on")) return false;
  if (!declare_topology(c)) return false;
  c->next_seq = 1;
  c->session++;
  c->held.clear();
  return true;
}

// Everything unconfirmed goes back in front of what is waiting, in its original order.
void requeue_in_flight(tovi_amqp_connection_t *c) {
  size_t n = 0;
  {
    std::lock_guard<std::mutex> g(c->lock);
    for (auto it = c->in_flight.rbegin(); it != c->in_flight.rend(); ++it) {
      if (!it->message) continue;
      it->message->again = true;
      c->pending.push_front(std::move(it->message));
      n++;
    }
    c->depth.store(c->pending.size(), std::memory_order_relaxed);
  }
  c->in_flight.clear();
  c->in_flight_count.store(0, std::memory_order_relaxed);
  if (n)
    tovi_log(log_notice(), "amqp %d: %zu unconfirmed messages will be published again", c->id, n);
}

void fire_connection_hooks(tovi_amqp_connection_t *c, int connected) {
  auto hooks = hook_snapshot(connection_hooks);
  for (const connection_hook_t &h : *hooks)
    call_hook(h.live, [&] { h.hook(h.closure, c, c->id, connected); });
}

// ---- connection thread: publishing ----

// Whether the exchange exists. A passive declare on the check channel answers it; the broker
// closes that channel when the exchange is missing. *broken is set when the connection failed.
bool exchange_exists(tovi_amqp_connection_t *c, const std::string &name, bool *broken) {
  if (c->known_exchanges.count(name)) return true;
  auto missing = c->missing_exchanges.find(name);
  // Look again now and then: the exchange may be created later.
  if (missing != c->missing_exchanges.end() && now_ms() - missing->second < 5000) return false;
  if (!c->check_channel_open) {
    amqp_channel_open(c->amqp, kCheckChannel);
    if (!rpc_ok(c, log_error(), "opening the check channel")) {
      *broken = true;
      return false;
    }
    c->check_channel_open = true;
  }
  amqp_exchange_declare(c->amqp, kCheckChannel, bytes_of(name), amqp_cstring_bytes("topic"), 1, 0,
                        0, 0, amqp_empty_table);
  amqp_rpc_reply_t r = amqp_get_rpc_reply(c->amqp);
  if (r.reply_type == AMQP_RESPONSE_NORMAL) {
    c->known_exchanges.insert(name);
    c->missing_exchanges.erase(name);
    return true;
  }
  if (r.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION && r.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
    amqp_channel_close_ok_t ok;
    c->check_channel_open = false;
    if (amqp_send_method(c->amqp, kCheckChannel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok) !=
        AMQP_STATUS_OK) {
      *broken = true;
      return false;
    }
    tovi_log(log_error(), "amqp %d: exchange '%s' does not exist: %s", c->id, name.c_str(),
             reply_text(r).c_str());
    c->missing_exchanges[name] = now_ms();
    return false;
  }
  tovi_log(log_error(), "amqp %d: checking exchange '%s' failed: %s", c->id, name.c_str(),
           reply_text(r).c_str());
  *broken = true;
  return false;
}

// ---- frames of a publish, encoded here ----

void put_u8(std::string &b, uint8_t v) {
  b.push_back(char(v));
}
void put_u16(std::string &b, uint16_t v) {
  put_u8(b, uint8_t(v >> 8));
  put_u8(b, uint8_t(v));
}
void put_u32(std::string &b, uint32_t v) {
  put_u16(b, uint16_t(v >> 16));
  put_u16(b, uint16_t(v));
}

// One frame: type, channel, payload size, payload, end marker.
void put_frame(std::string &b, uint8_t type, const char *payload, size_t len) {
  put_u8(b, type);
  put_u16(b, kChannel);
  put_u32(b, uint32_t(len));
  b.append(payload, len);
  put_u8(b, AMQP_FRAME_END);
}

// Appends the frames of one persistent basic.publish to `out`: what amqp_basic_publish sends.
// False (out unchanged) when the method does not encode (a name over 255 bytes).
bool encode_publish(tovi_amqp_connection_t *c, const outgoing_t &m, std::string &out) {
  char method[4 + 2 + 256 + 256 + 1 + 16];
  amqp_basic_publish_t pub;
  memset(&pub, 0, sizeof(pub));
  pub.exchange = bytes_of(m.exchange);
  pub.routing_key = bytes_of(m.route);
  pub.mandatory = m.mandatory;
  amqp_bytes_t args = {sizeof(method) - 4, method + 4};
  int args_len = amqp_encode_method(AMQP_BASIC_PUBLISH_METHOD, &pub, args);
  if (args_len < 0) return false;
  uint32_t id = AMQP_BASIC_PUBLISH_METHOD;
  for (int i = 0; i < 4; i++)
    method[i] = char(id >> (24 - 8 * i));

  amqp_basic_properties_t props;
  memset(&props, 0, sizeof(props));
  props._flags = AMQP_BASIC_DELIVERY_MODE_FLAG;
  props.delivery_mode = AMQP_DELIVERY_PERSISTENT;
  char header[2 + 2 + 8 + 64];
  amqp_bytes_t prop_bytes = {sizeof(header) - 12, header + 12};
  int prop_len = amqp_encode_properties(AMQP_BASIC_CLASS, &props, prop_bytes);
  if (prop_len < 0) return false;
  // class, weight 0, body size: big-endian
  uint64_t size = m.body.size();
  header[0] = char(AMQP_BASIC_CLASS >> 8);
  header[1] = char(AMQP_BASIC_CLASS & 0xff);
  header[2] = header[3] = 0;
  for (int i = 0; i < 8; i++)
    header[4 + i] = char(size >> (56 - 8 * i));

  put_frame(out, AMQP_FRAME_METHOD, method, size_t(4 + args_len));
  put_frame(out, AMQP_FRAME_HEADER, header, size_t(12 + prop_len));
  // Body frames as large as the negotiated frame size allows (8 bytes of it are framing).
  int frame_max = amqp_get_frame_max(c->amqp);
  size_t chunk = frame_max > 4096 ? size_t(frame_max) - 8 : 4088;
  for (size_t at = 0; at < m.body.size(); at += chunk)
    put_frame(out, AMQP_FRAME_BODY, m.body.data() + at, std::min(chunk, m.body.size() - at));
  return true;
}

// Writes the pass's frames to the socket, waiting for room as rabbitmq-c's own sends do. False
// when the connection failed.
bool flush_out(tovi_amqp_connection_t *c) {
  int fd = amqp_get_sockfd(c->amqp);
  size_t done = 0;
  while (done < c->out.size()) {
    ssize_t n = send(fd, c->out.data() + done, c->out.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, kWriteWaitMs) > 0) continue;
    }
    tovi_log(log_error(), "amqp %d: publish failed: %s", c->id,
             n < 0 ? strerror(errno) : "the socket took nothing");
    c->out.clear();
    return false;
  }
  c->out.clear();
  return true;
}

bool publish_some(tovi_amqp_connection_t *c) {
  size_t first = c->in_flight.size();  // this pass's publishes start here
  bool ok = true;
  for (int budget = kPublishesPerPass;
       budget > 0 && c->in_flight.size() < static_cast<size_t>(c->module.max_in_flight); budget--) {
    outgoing_up m;
    if (!c->refused.empty() && c->refused.front()->not_before <= now_ms()) {
      m = std::move(c->refused.front());
      c->refused.pop_front();
    } else {
      std::lock_guard<std::mutex> g(c->lock);
      if (c->pending.empty()) break;
      m = std::move(c->pending.front());
      c->pending.pop_front();
      c->depth.store(c->pending.size(), std::memory_order_relaxed);
    }
    bool broken = false;
    // The passive declare is a round trip of its own: what this pass encoded goes out first.
    if (!c->known_exchanges.count(m->exchange) && !c->out.empty() && !flush_out(c)) broken = true;
    if (broken || !exchange_exists(c, m->exchange, &broken)) {
      if (broken) {
        std::lock_guard<std::mutex> g(c->lock);
        c->pending.push_front(std::move(m));
        c->depth.store(c->pending.size(), std::memory_order_relaxed);
        ok = false;
        break;
      }
      c->dropped.fetch_add(1, std::memory_order_relaxed);
      c->outstanding.fetch_sub(1, std::memory_order_relaxed);
      if (error_log_due(LOG_MISSING_EXCHANGE))
        tovi_log(log_error(),
                 "amqp %d: exchange '%s' does not exist: message to route '%s' dropped", c->id,
                 m->exchange.c_str(), m->route.c_str());
      continue;
    }
    int status = AMQP_STATUS_OK;
    if (!c->plain_tcp || !encode_publish(c, *m, c->out)) {
      if (!c->out.empty() && !flush_out(c)) status = AMQP_STATUS_SOCKET_ERROR;
      if (status == AMQP_STATUS_OK) {
        amqp_basic_properties_t props;
        memset(&props, 0, sizeof(props));
        props._flags = AMQP_BASIC_DELIVERY_MODE_FLAG;
        props.delivery_mode = AMQP_DELIVERY_PERSISTENT;
        status = amqp_basic_publish(c->amqp, kChannel, bytes_of(m->exchange), bytes_of(m->route),
                                    m->mandatory, 0, &props, bytes_of(m->body));
      }
    }
    bool again = m->again;
    // Kept in flight even when the publish failed: the teardown then puts it back in order.
    c->in_flight.push_back(in_flight_t{c->next_seq++, std::move(m)});
    c->in_flight_count.store(c->in_flight.size(), std::memory_order_relaxed);
    if (status != AMQP_STATUS_OK) {
      tovi_log(log_error(), "amqp %d: publish failed: %s", c->id, amqp_error_string2(status));
      ok = false;
      break;
    }
    c->published.fetch_add(1, std::memory_order_relaxed);
    if (again) c->republished.fetch_add(1, std::memory_order_relaxed);
  }
  if (ok && !c->out.empty() && !flush_out(c)) ok = false;
  c->out.clear();
  if (ok && c->in_flight.size() > first) {
    uint64_t now = now_ns();
    stats_histogram_t *wait = latency().publish_wait;
    for (size_t i = first; i < c->in_flight.size(); i++) {
      const outgoing_up &m = c->in_flight[i].message;
      if (m && m->accepted_ns)
        stats_histogram_record_ns(wait, now > m->accepted_ns ? now - m->accepted_ns : 0);
    }
  }
  return ok;
}

void pop_settled(tovi_amqp_connection_t *c) {
  while (!c->in_flight.empty() && c->in_flight.front().settled)
    c->in_flight.pop_front();
  c->in_flight_count.store(c->in_flight.size(), std::memory_order_relaxed);
}

// A confirm (ack) or refusal (nack) of one message, or of every message up to the tag.
void settle_published(tovi_amqp_connection_t *c, uint64_t tag, bool multiple, bool ack) {
  size_t retried = 0, dropped = 0;
  uint64_t now = ack ? now_ns() : 0;
  for (in_flight_t &f : c->in_flight) {
    if (f.seq > tag) break;
    if (f.settled || (!multiple && f.seq != tag)) continue;
    f.settled = true;
    if (ack) {
      c->confirmed.fetch_add(1, std::memory_order_relaxed);
      c->outstanding.fetch_sub(1, std::memory_order_relaxed);
      if (f.message && f.message->accepted_ns)
        stats_histogram_record_ns(latency().publish_to_confirm,
                                  now > f.message->accepted_ns ? now - f.message->accepted_ns : 0);
      continue;
    }
    // Refused (a full queue with reject-publish, an internal error): published again after a
    // back-off that grows with each refusal, as after a reconnect, while newer messages go on;
    // dropped once it was refused max_publish_attempts times.
    c->nacked.fetch_add(1, std::memory_order_relaxed);
    outgoing_up m = std::move(f.message);
    if (!m) continue;
    if (++m->refusals >= c->module.max_publish_attempts) {
      c->dropped.fetch_add(1, std::memory_order_relaxed);
      c->outstanding.fetch_sub(1, std::memory_order_relaxed);
      dropped++;
      if (error_log_due(LOG_REFUSED_DROPPED))
        tovi_log(log_error(),
                 "amqp %d: message to exchange '%s' route '%s' refused %d times; dropped", c->id,
                 m->exchange.c_str(), m->route.c_str(), m->refusals);
      continue;
    }
    int64_t backoff = c->module.backoff_min_ms;
    for (int i = 1; i < m->refusals && backoff < c->module.backoff_max_ms; i++)
      backoff *= 2;
    m->not_before = now_ms() + std::min<int64_t>(backoff, c->module.backoff_max_ms);
    m->again = true;
    // Later refusals wait at least as long as earlier ones, so the list stays in due order.
    if (!c->refused.empty()) m->not_before = std::max(m->not_before, c->refused.back()->not_before);
    c->refused.push_back(std::move(m));
    retried++;
  }
  pop_settled(c);
  if (retried && error_log_due(LOG_REFUSED))
    tovi_log(log_error(), "amqp %d: the broker refused %zu messages; publishing them again later",
             c->id, retried);
  (void)dropped;
}

// ---- connection thread: consuming ----

bool settle_delivery(tovi_amqp_connection_t *c, uint64_t tag, bool requeue) {
  int status = requeue ? amqp_basic_reject(c->amqp, kChannel, tag, 1)
                       : amqp_basic_ack(c->amqp, kChannel, tag, 0);
  if (status != AMQP_STATUS_OK) {
    tovi_log(log_error(), "amqp %d: settling delivery %llu failed: %s", c->id,
             static_cast<unsigned long long>(tag), amqp_error_string2(status));
    return false;
  }
  (requeue ? c->requeued : c->acked).fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool handle_delivery(tovi_amqp_connection_t *c, const amqp_frame_t &frame) {
  auto *d = static_cast<amqp_basic_deliver_t *>(frame.payload.method.decoded);
  // The decoded method lives in the channel's pool, which reading the content may reuse.
  std::string exchange = string_of(d->exchange), routing_key = string_of(d->routing_key);
  uint64_t tag = d->delivery_tag;
  bool redelivered = d->redelivered;
  amqp_message_t message;
  amqp_rpc_reply_t r = amqp_read_message(c->amqp, frame.channel, &message, 0);
  if (r.reply_type != AMQP_RESPONSE_NORMAL) {
    tovi_log(log_error(), "amqp %d: reading a delivery failed: %s", c->id, reply_text(r).c_str());
    return false;
  }
  c->consumed.fetch_add(1, std::memory_order_relaxed);
  std::string content_type;
  if (message.properties._flags & AMQP_BASIC_CONTENT_TYPE_FLAG)
    content_type = string_of(message.properties.content_type);
  tovi_amqp_envelope_t envelope;
  envelope.exchange = exchange.c_str();
  envelope.routing_key = routing_key.c_str();
  envelope.delivery_tag = tag;
  envelope.content_type = content_type.c_str();
  envelope.delivery_mode = (message.properties._flags & AMQP_BASIC_DELIVERY_MODE_FLAG)
                               ? message.properties.delivery_mode
                               : 0;
  envelope.redelivered = redelivered;
  envelope.session = c->session;

  // A hook may settle its hold before it returns: the request waits in the mailbox until the
  // hold is recorded below.
  held_t held{0, false};
  bool taken = false;
  auto hooks = hook_snapshot(message_hooks);
  for (const message_hook_t &h : *hooks) {
    int rv = TOVI_AMQP_IGNORED;
    call_hook(h.live, [&] {
      rv = h.hook(h.closure, c, c->id, &envelope, message.body.bytes, message.body.len);
    });
    if (rv != TOVI_AMQP_IGNORED) taken = true;
    if (rv == TOVI_AMQP_HELD)
      held.holds++;
    else if (rv == TOVI_AMQP_REQUEUE)
      held.requeue = true;
  }
  size_t length = message.body.len;
  amqp_destroy_message(&message);
  if (!taken) {
    // Nobody's delivery: counted and logged, then rejected without requeue (a dead-letter
    // exchange on the queue keeps it), never acknowledged as if it had been used.
    c->unhandled.fetch_add(1, std::memory_order_relaxed);
    if (error_log_due(LOG_UNHANDLED))
      tovi_log(log_error(),
               "amqp %d: no hook takes deliveries from exchange '%s' route '%s' (%zu bytes); "
               "rejected",
               c->id, exchange.c_str(), routing_key.c_str(), length);
    int status = amqp_basic_reject(c->amqp, kChannel, tag, 0);
    if (status != AMQP_STATUS_OK) {
      tovi_log(log_error(), "amqp %d: rejecting delivery %llu failed: %s", c->id,
               static_cast<unsigned long long>(tag), amqp_error_string2(status));
      return false;
    }
    return true;
  }
  if (held.holds > 0) {
    c->held[tag] = held;
    return true;
  }
  return settle_delivery(c, tag, held.requeue);
}

bool settle_held_requests(tovi_amqp_connection_t *c) {
  std::vector<ack_request_t> requests;
  {
    std::lock_guard<std::mutex> g(c->lock);
    requests.swap(c->ack_requests);
  }
  for (const ack_request_t &r : requests) {
    if (r.session != c->session) continue;  // that channel is gone; the broker requeued it
    auto it = c->held.find(r.delivery_tag);
    if (it == c->held.end()) {
      tovi_log(log_error(), "amqp %d: delivery %llu settled but not held", c->id,
               static_cast<unsigned long long>(r.delivery_tag));
      continue;
    }
    it->second.requeue |= r.requeue;
    if (--it->second.holds > 0) continue;
    bool requeue = it->second.requeue;
    c->held.erase(it);
    if (!settle_delivery(c, r.delivery_tag, requeue)) return false;
  }
  return true;
}

bool handle_return(tovi_amqp_connection_t *c, const amqp_frame_t &frame) {
  auto *r = static_cast<amqp_basic_return_t *>(frame.payload.method.decoded);
  std::string exchange = string_of(r->exchange), route = string_of(r->routing_key),
              text = string_of(r->reply_text);
  int code = r->reply_code;
  amqp_message_t message;
  amqp_rpc_reply_t rr = amqp_read_message(c->amqp, frame.channel, &message, 0);
  if (rr.reply_type != AMQP_RESPONSE_NORMAL) {
    tovi_log(log_error(), "amqp %d: reading a returned message failed: %s", c->id,
             reply_text(rr).c_str());
    return false;
  }
  c->returned.fetch_add(1, std::memory_order_relaxed);
  tovi_log(log_error(), "amqp %d: message to exchange '%s' route '%s' (%zu bytes) returned: %d %s",
           c->id, exchange.c_str(), route.c_str(), message.body.len, code, text.c_str());
  amqp_destroy_message(&message);
  return true;
}

// Handles one frame. Returns false when the connection must be dropped.
bool handle_frame(tovi_amqp_connection_t *c, const amqp_frame_t &frame) {
  if (frame.frame_type != AMQP_FRAME_METHOD) {
    tovi_log(log_debug(), "amqp %d: stray frame of type %d on channel %d", c->id, frame.frame_type,
             frame.channel);
    return true;
  }
  switch (frame.payload.method.id) {
    case AMQP_BASIC_ACK_METHOD: {
      auto *a = static_cast<amqp_basic_ack_t *>(frame.payload.method.decoded);
      settle_published(c, a->delivery_tag, a->multiple, true);
      return true;
    }
    case AMQP_BASIC_NACK_METHOD: {
      auto *n = static_cast<amqp_basic_nack_t *>(frame.payload.method.decoded);
      settle_published(c, n->delivery_tag, n->multiple, false);
      return true;
    }
    case AMQP_BASIC_RETURN_METHOD:
      return handle_return(c, frame);
    case AMQP_BASIC_DELIVER_METHOD:
      return handle_delivery(c, frame);
    case AMQP_CHANNEL_CLOSE_METHOD: {
      auto *m = static_cast<amqp_channel_close_t *>(frame.payload.method.decoded);
      tovi_log(log_error(), "amqp %d: channel %d closed by the broker: %d %s", c->id, frame.channel,
               m->reply_code, string_of(m->reply_text).c_str());
      amqp_channel_close_ok_t ok;
      amqp_send_method(c->amqp, frame.channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
      if (frame.channel == kCheckChannel) {
        c->check_channel_open = false;
        return true;
      }
      return false;
    }
    case AMQP_CONNECTION_CLOSE_METHOD: {
      auto *m = static_cast<amqp_connection_close_t *>(frame.payload.method.decoded);
      tovi_log(log_error(), "amqp %d: connection closed by the broker: %d %s", c->id, m->reply_code,
               string_of(m->reply_text).c_str());
      amqp_connection_close_ok_t ok;
      amqp_send_method(c->amqp, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
      return false;
    }
    case AMQP_BASIC_CANCEL_METHOD: {
      // The broker dropped a consumer (its queue was deleted, its leader moved): reconnecting
      // declares the queue and consumes it again, so no later delivery is stranded.
      auto *m = static_cast<amqp_basic_cancel_t *>(frame.payload.method.decoded);
      c->cancelled.fetch_add(1, std::memory_order_relaxed);
      tovi_log(log_error(), "amqp %d: the broker cancelled consumer '%s'; reconnecting", c->id,
               string_of(m->consumer_tag).c_str());
      return false;
    }
    case AMQP_CONNECTION_BLOCKED_METHOD: {
      auto *m = static_cast<amqp_connection_blocked_t *>(frame.payload.method.decoded);
      c->blocked.store(true, std::memory_order_relaxed);
      c->blocked_count.fetch_add(1, std::memory_order_relaxed);
      tovi_log(log_error(), "amqp %d: the broker blocks publishing: %s", c->id,
               string_of(m->reason).c_str());
      return true;
    }
    case AMQP_CONNECTION_UNBLOCKED_METHOD:
      c->blocked.store(false, std::memory_order_relaxed);
      tovi_log(log_notice(), "amqp %d: the broker accepts publishing again", c->id);
      return true;
    default:
      tovi_log(log_debug(), "amqp %d: ignored method 0x%08x on channel %d", c->id,
               frame.payload.method.id, frame.channel);
      return true;
  }
}

// Runs a working connection until it fails (returns false) or the module stops (true).
bool serve(tovi_amqp_connection_t *c) {
  while (!c->stopping.load(std::memory_order_acquire)) {
    if (!publish_some(c)) return false;
    if (!settle_held_requests(c)) return false;

    bool more_to_publish;
    {
      std::lock_guard<std::mutex> g(c->lock);
      more_to_publish = (!c->pending.empty() &&
                         c->in_flight.size() < static_cast<size_t>(c->module.max_in_flight)) ||
                        !c->ack_requests.empty();
    }
    int wait_ms = kIdleWaitMs;
    if (!c->refused.empty())
      wait_ms = static_cast<int>(
          std::clamp<int64_t>(c->refused.front()->not_before - now_ms(), 0, kIdleWaitMs));
    if (more_to_publish || amqp_frames_enqueued(c->amqp) || amqp_data_in_buffer(c->amqp))
      wait_ms = 0;
    if (wait_ms > 0) {
      // Parks, then looks again: a message queued before the flag showed is seen here, one
      // queued after it finds the flag and writes the eventfd (see tovi_amqp_send_data).
      c->parked.store(true, std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_seq_cst);
      std::lock_guard<std::mutex> g(c->lock);
      if ((!c->pending.empty() &&
           c->in_flight.size() < static_cast<size_t>(c->module.max_in_flight)) ||
          !c->ack_requests.empty())
        wait_ms = 0;
    }
    struct pollfd fds[2];
    fds[0].fd = amqp_get_sockfd(c->amqp);
    fds[0].events = POLLIN;
    fds[1].fd = c->wake_fd;
    fds[1].events = POLLIN;
    int n = poll(fds, 2, wait_ms);
    c->parked.store(false, std::memory_order_relaxed);
    if (n < 0 && errno != EINTR) {
      tovi_log(log_error(), "amqp %d: poll failed: %s", c->id, strerror(errno));
      return false;
    }
    if (n > 0 && (fds[1].revents & POLLIN)) drain_wake(c);

    // Asking for a frame also sends a due heartbeat and notices a silent broker.
    for (int i = 0; i < kFramesPerPass; i++) {
      amqp_frame_t frame;
      struct timeval zero = {0, 0};
      int status = amqp_simple_wait_frame_noblock(c->amqp, &frame, &zero);
      if (status == AMQP_STATUS_TIMEOUT) break;
      if (status != AMQP_STATUS_OK) {
        tovi_log(log_error(), "amqp %d (%s:%d): connection lost: %s", c->id, c->conf.host.c_str(),
                 c->conf.port, amqp_error_string2(status));
        return false;
      }
      if (!handle_frame(c, frame)) return false;
    }
    amqp_maybe_release_buffers(c->amqp);
  }
  return true;
}

// Sleeps for up to ms, or until the module stops.
void wait_or_stop(tovi_amqp_connection_t *c, int ms) {
  int64_t deadline = now_ms() + ms;
  while (!c->stopping.load(std::memory_order_acquire)) {
    int64_t left = deadline - now_ms();
    if (left <= 0) return;
    struct pollfd fd;
    fd.fd = c->wake_fd;
    fd.events = POLLIN;
    if (poll(&fd, 1, static_cast<int>(left)) > 0) drain_wake(c);
  }
}

void connection_main(tovi_amqp_connection_t *c) {
  int backoff = c->module.backoff_min_ms;
  while (!c->stopping.load(std::memory_order_acquire)) {
    if (!connect_once(c)) {
      c->failed_attempts++;
      close_amqp(c, false);
      wait_or_stop(c, backoff);
      backoff = std::min(backoff * 2, c->module.backoff_max_ms);
      continue;
    }
    c->failed_attempts = 0;
    if (c->ever_connected) c->reconnects.fetch_add(1, std::memory_order_relaxed);
    c->ever_connected = true;
    c->connected.store(true, std::memory_order_release);
    tovi_log(log_notice(), "amqp %d: connected to %s:%d vhost '%s'", c->id, c->conf.host.c_str(),
             c->conf.port, c->conf.vhost.c_str());
    int64_t up_since = now_ms();
    fire_connection_hooks(c, 1);

    bool healthy = serve(c);
    c->connected.store(false, std::memory_order_release);
    c->blocked.store(false, std::memory_order_relaxed);
    requeue_in_flight(c);
    c->held.clear();
    close_amqp(c, healthy);
    fire_connection_hooks(c, 0);
    if (c->stopping.load(std::memory_order_acquire)) break;
    // A connection that held for a while starts the back-off over; one that keeps dropping at
    // once keeps backing off.
    if (now_ms() - up_since >= c->module.backoff_max_ms) backoff = c->module.backoff_min_ms;
    wait_or_stop(c, backoff);
    backoff = std::min(backoff * 2, c->module.backoff_max_ms);
  }
}

// ---- configuration ----

bool read_int(tovi_conf_section_t s, const char *path, int32_t *v, int32_t lo, int32_t hi,
              const char *where) {
  if (tovi_conf_exists(s, path) && !tovi_conf_get_int32(s, path, v)) {
    tovi_log(log_error(), "amqp: %s%s is not an integer", where, path);
    return false;
  }
  if (*v < lo || *v > hi) {
    tovi_log(log_error(), "amqp: %s%s must be between %d and %d", where, path, lo, hi);
    return false;
  }
  return true;
}

bool read_bool(tovi_conf_section_t s, const char *path, bool *v, const char *where) {
  if (tovi_conf_exists(s, path) && !tovi_conf_get_boolean(s, path, v)) {
    tovi_log(log_error(), "amqp: %s%s is not a boolean", where, path);
    return false;
  }
  return true;
}

bool read_binding(tovi_conf_section_t s, binding_conf_t *b, bool needs_queue) {
  tovi_conf_get_string(s, "@queue", &b->queue);
  tovi_conf_get_string(s, "@exchange", &b->exchange);
  tovi_conf_get_string(s, "@routing_key", &b->routing_key);
  if (b->exchange.empty() || (needs_queue && b->queue.empty())) {
    tovi_log(log_error(), "amqp: //network/mq binding needs %s",
             needs_queue ? "@queue and @exchange" : "@exchange");
    return false;
  }
  return true;
}

bool read_mq(tovi_conf_section_t s, mq_conf_t *mq) {
  const char *where = "//network/mq/";
  tovi_conf_get_string(s, "host", &mq->host);
  mq->tls = tovi_conf_exists(s, "tls");
  if (mq->tls) mq->port = 5671;
  if (!read_int(s, "port", &mq->port, 1, 65535, where)) return false;
  tovi_conf_get_string(s, "vhost", &mq->vhost);
  tovi_conf_get_string(s, "user", &mq->user);
  tovi_conf_get_string(s, "password", &mq->password);
  if (!read_int(s, "heartbeat", &mq->heartbeat, 0, 65535, where)) return false;
  if (!read_int(s, "prefetch", &mq->prefetch, 0, 65535, where)) return false;
  if (mq->tls) {
    tovi_conf_get_string(s, "tls/@ca", &mq->ca);
    tovi_conf_get_string(s, "tls/@certificate", &mq->certificate);
    tovi_conf_get_string(s, "tls/@key", &mq->key);
    if (!read_bool(s, "tls/@verify", &mq->verify, where)) return false;
    if (mq->certificate.empty() != mq->key.empty()) {
      tovi_log(log_error(), "amqp: %stls needs both @certificate and @key, or neither", where);
      return false;
    }
  }
  for (tovi_conf_section_t e : tovi_conf_get_sections(s, "exchange")) {
    exchange_conf_t x;
    tovi_conf_get_string(e, "@name", &x.name);
    tovi_conf_get_string(e, "@type", &x.type);
    if (x.name.empty()) {
      tovi_log(log_error(), "amqp: %sexchange needs @name", where);
      return false;
    }
    if (!read_bool(e, "@durable", &x.durable, "//network/mq/exchange/") ||
        !read_bool(e, "@auto_delete", &x.auto_delete, "//network/mq/exchange/"))
      return false;
    mq->exchanges.push_back(x);
  }
  for (tovi_conf_section_t qs : tovi_conf_get_sections(s, "queue")) {
    queue_conf_t q;
    tovi_conf_get_string(qs, "@name", &q.name);
    const char *qwhere = "//network/mq/queue/";
    if (!read_bool(qs, "@durable", &q.durable, qwhere) ||
        !read_bool(qs, "@exclusive", &q.exclusive, qwhere) ||
        !read_bool(qs, "@auto_delete", &q.auto_delete, qwhere) ||
        !read_bool(qs, "@consume", &q.consume, qwhere))
      return false;
    for (tovi_conf_section_t bs : tovi_conf_get_sections(qs, "binding")) {
      binding_conf_t b;
      if (!read_binding(bs, &b, false)) return false;
      q.bindings.push_back(b);
    }
    mq->queues.push_back(q);
  }
  for (tovi_conf_section_t bs : tovi_conf_get_sections(s, "binding")) {
    binding_conf_t b;
    if (!read_binding(bs, &b, true)) return false;
    mq->bindings.push_back(b);
  }
  return true;
}

// ---- named function entry points ----

int send_data_named(const char *exchange, const char *route, int mandatory, int immediate,
                    const void *payload, size_t length, int connection_id) {
  return tovi_amqp_send_data(exchange, route, mandatory, immediate, payload, length, connection_id);
}

int register_message_hook_named(const char *name, tovi_amqp_message_hook_t hook, void *closure) {
  return tovi_amqp_register_message_hook(name, hook, closure);
}

int register_connection_hook_named(const char *name, tovi_amqp_connection_hook_t hook,
                                   void *closure) {
  return tovi_amqp_register_connection_hook(name, hook, closure);
}

// Messages accepted and not yet confirmed, over every connection; -1 when the module is not
// running. Senders of bulk traffic pace themselves by it, so that it never fills the queue.
int64_t backlog_named(void) {
  auto cs = connections_snapshot();
  if (!cs || cs->empty()) return -1;
  int64_t total = 0;
  for (const connection_sp &c : *cs)
    total += c->outstanding.load(std::memory_order_relaxed);
  return total;
}

void register_named_functions() {
  static std::once_flag once;
  std::call_once(once, [] {
    tovi_function_register("tovi_amqp_send_data_function",
                           reinterpret_cast<void *>(&send_data_named));
    tovi_function_register("tovi_amqp_register_message_hook",
                           reinterpret_cast<void *>(&register_message_hook_named));
    tovi_function_register("tovi_amqp_register_connection_hook",
                           reinterpret_cast<void *>(&register_connection_hook_named));
    tovi_function_register("tovi_amqp_backlog_function", reinterpret_cast<void *>(&backlog_named));
  });
}

int module_configure(tovi_conf_section_t section) {
  return tovi_amqp_configure(section);
}
int module_start(void) {
  return tovi_amqp_start();
}

const tovi_module_t amqp_module = {"amqp", "AMQP 0-9-1 message bus connection", module_configure,
                                   module_start};

tovi_amqp_connection_t *choose_connection(const std::vector<connection_sp> &cs, int id) {
  if (id >= 0) return id < static_cast<int>(cs.size()) ? cs[id].get() : nullptr;
  if (id != -1 || cs.empty()) return nullptr;
  for (const connection_sp &c : cs)
    if (c->connected.load(std::memory_order_acquire)) return c.get();
  return cs[0].get();
}

}  // namespace

void tovi_amqp_module_register(void) {
  static std::once_flag once;
  std::call_once(once, [] { tovi_module_register(&amqp_module); });
}

int tovi_amqp_send_data(const char *exchange, const char *route, int mandatory, int immediate,
                        const void *payload, size_t length, int connection_id) {
  auto cs = connections_snapshot();
  if (!cs || cs->empty()) {
    unattributed_send_errors.fetch_add(1, std::memory_order_relaxed);
    if (error_log_due(LOG_NOT_RUNNING))
      tovi_log(log_error(), "amqp: the module is not running; message not sent");
    return -1;
  }
  tovi_amqp_connection_t *c = choose_connection(*cs, connection_id);
  if (!c || !exchange || !route || (!payload && length)) {
    (c ? c : (*cs)[0].get())->send_errors.fetch_add(1, std::memory_order_relaxed);
    if (error_log_due(LOG_BAD_SEND))
      tovi_log(log_error(), "amqp: bad send arguments (connection %d, exchange, route or payload)",
               connection_id);
    return -1;
  }
  if (immediate) {
    static std::once_flag once;
    std::call_once(once, [] {
      tovi_log(log_notice(),
               "amqp: the immediate flag is not supported by the broker; publishing without it");
    });
  }
  auto m = std::make_unique<outgoing_t>();
  m->exchange = exchange;
  m->route = route;
  m->body.assign(static_cast<const char *>(payload), length);
  m->mandatory = mandatory != 0;
  m->accepted_ns = now_ns();
  latency();
  {
    std::lock_guard<std::mutex> g(c->lock);
    if (c->outstanding.load(std::memory_order_relaxed) >= c->module.queue_size) {
      c->send_errors.fetch_add(1, std::memory_order_relaxed);
      if (error_log_due(LOG_QUEUE_FULL))
        tovi_log(log_error(),
                 "amqp %d: the publish queue is full; message to '%s' route '%s' not sent", c->id,
                 exchange, route);
      return -1;
    }
    c->outstanding.fetch_add(1, std::memory_order_relaxed);
    c->pending.push_back(std::move(m));
    c->depth.store(c->pending.size(), std::memory_order_relaxed);
  }
  // Pairs with the fence in serve(): either the thread sees this message before it parks, or
  // this sees it parked and wakes it.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (c->parked.load(std::memory_order_relaxed)) wake(c);
  return 0;
}

int tovi_amqp_register_message_hook(const char *name, tovi_amqp_message_hook_t hook,
                                    void *closure) {
  if (!name || !hook) return -1;
  return hook_put(&message_hooks, message_hook_t{name, hook, closure});
}

int tovi_amqp_register_connection_hook(const char *name, tovi_amqp_connection_hook_t hook,
                                       void *closure) {
  if (!name || !hook) return -1;
  return hook_put(&connection_hooks, connection_hook_t{name, hook, closure});
}

int tovi_amqp_unregister_message_hook(const char *name) {
  return name ? hook_remove(&message_hooks, name) : -1;
}

int tovi_amqp_unregister_connection_hook(const char *name) {
  return name ? hook_remove(&connection_hooks, name) : -1;
}

int tovi_amqp_ack_held(int connection_id, uint64_t session, uint64_t delivery_tag, bool requeue) {
  auto cs = connections_snapshot();
  if (!cs || connection_id < 0 || connection_id >= static_cast<int>(cs->size())) return -1;
  tovi_amqp_connection_t *c = (*cs)[connection_id].get();
  {
    std::lock_guard<std::mutex> g(c->lock);
    c->ack_requests.push_back(ack_request_t{session, delivery_tag, requeue});
  }
  wake(c);
  return 0;
}

int tovi_amqp_connection_id(const tovi_amqp_connection_t *connection) {
  return connection ? connection->id : -1;
}

tovi_amqp_stats_t tovi_amqp_get_stats(int connection_id) {
  tovi_amqp_stats_t st;
  memset(&st, 0, sizeof(st));
  std::shared_ptr<const std::vector<connection_sp>> cs;
  {
    module_state_t &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    cs = s.connections;
  }
  if (connection_id < 0) st.send_errors = unattributed_send_errors.load(std::memory_order_relaxed);
  for (const connection_sp &c : *cs) {
    if (connection_id >= 0 && c->id != connection_id) continue;
    auto get = [](const std::atomic<uint64_t> &a) { return a.load(std::memory_order_relaxed); };
    st.queue_depth += get(c->depth);
    st.in_flight += get(c->in_flight_count);
    st.published += get(c->published);
    st.confirmed += get(c->confirmed);
    st.returned += get(c->returned);
    st.nacked += get(c->nacked);
    st.republished += get(c->republished);
    st.reconnects += get(c->reconnects);
    st.send_errors += get(c->send_errors);
    st.dropped += get(c->dropped);
    st.consumed += get(c->consumed);
    st.acked += get(c->acked);
    st.requeued += get(c->requeued);
    st.unhandled += get(c->unhandled);
    st.cancelled += get(c->cancelled);
    st.blocked_count += get(c->blocked_count);
    if (c->blocked.load(std::memory_order_relaxed)) st.blocked++;
    st.connections++;
    if (c->connected.load(std::memory_order_relaxed)) st.connected++;
  }
  return st;
}

namespace {

// The module's counters in the process statistics ("tovi"/"amqp"), summed over the connections.
void register_statistics() {
  static std::once_flag once;
  std::call_once(once, [] {
    stats_ns_t *ns = stats_register_ns(
        stats_register_ns(stats_recorder_root(stats_process_recorder()), "tovi"), "amqp");
    struct field_t {
      const char *name;
      stats_kind_t kind;
      uint64_t tovi_amqp_stats_t::*member;
    };
    static const field_t fields[] = {
        {"queue_depth", STATS_GAUGE, &tovi_amqp_stats_t::queue_depth},
        {"in_flight", STATS_GAUGE, &tovi_amqp_stats_t::in_flight},
        {"published", STATS_COUNTER, &tovi_amqp_stats_t::published},
        {"confirmed", STATS_COUNTER, &tovi_amqp_stats_t::confirmed},
        {"returned", STATS_COUNTER, &tovi_amqp_stats_t::returned},
        {"nacked", STATS_COUNTER, &tovi_amqp_stats_t::nacked},
        {"republished", STATS_COUNTER, &tovi_amqp_stats_t::republished},
        {"reconnects", STATS_COUNTER, &tovi_amqp_stats_t::reconnects},
        {"send_errors", STATS_COUNTER, &tovi_amqp_stats_t::send_errors},
        {"dropped", STATS_COUNTER, &tovi_amqp_stats_t::dropped},
        {"consumed", STATS_COUNTER, &tovi_amqp_stats_t::consumed},
        {"acked", STATS_COUNTER, &tovi_amqp_stats_t::acked},
        {"requeued", STATS_COUNTER, &tovi_amqp_stats_t::requeued},
        {"unhandled", STATS_COUNTER, &tovi_amqp_stats_t::unhandled},
        {"consumers_cancelled", STATS_COUNTER, &tovi_amqp_stats_t::cancelled},
        {"blocked_count", STATS_COUNTER, &tovi_amqp_stats_t::blocked_count},
    };
    for (const field_t &f : fields) {
      auto member = f.member;
      stats_register_u64_fn(ns, f.name, f.kind,
                            [member] { return tovi_amqp_get_stats(-1).*member; });
    }
    stats_register_i64_fn(ns, "connected", STATS_GAUGE,
                          [] { return (int64_t)tovi_amqp_get_stats(-1).connected; });
    stats_register_i64_fn(ns, "blocked", STATS_GAUGE,
                          [] { return (int64_t)tovi_amqp_get_stats(-1).blocked; });
    latency();
  });
}

}  // namespace

int tovi_amqp_configure(tovi_conf_section_t module_section) {
  module_state_t &s = state();
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.running) {
      tovi_log(log_error(), "amqp: cannot configure while running");
      return -1;
    }
  }
  module_conf_t module;
  tovi_conf_section_read_hold();
  std::vector<connection_sp> connections;
  bool ok = true;
  if (module_section) {
    const char *where = "//modules/module[@name='amqp']/";
    ok = read_int(module_section, "@queue_size", &module.queue_size, 1, 100000000, where) &&
         read_int(module_section, "@max_in_flight", &module.max_in_flight, 1, 1000000, where) &&
         read_int(module_section, "@backoff_min_ms", &module.backoff_min_ms, 1, 3600000, where) &&
         read_int(module_section, "@backoff_max_ms", &module.backoff_max_ms, module.backoff_min_ms,
                  3600000, where) &&
         read_int(module_section, "@connect_timeout_ms", &module.connect_timeout_ms, 1, 600000,
                  where) &&
         read_int(module_section, "@max_publish_attempts", &module.max_publish_attempts, 1, 1000000,
                  where);
  }
  if (ok) {
    for (tovi_conf_section_t mq : tovi_conf_get_sections(nullptr, "//network/mq")) {
      auto c = std::make_shared<tovi_amqp_connection_t>();
      c->id = static_cast<int>(connections.size());
      c->module = module;
      if (!read_mq(mq, &c->conf)) {
        ok = false;
        break;
      }
      c->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      tovi_assert(c->wake_fd >= 0);
      connections.push_back(std::move(c));
    }
  }
  tovi_conf_section_read_release();
  if (ok && connections.empty()) {
    tovi_log(log_error(), "amqp: no //network/mq is configured");
    ok = false;
  }
  if (!ok) return -1;
  register_named_functions();
  register_statistics();
  std::lock_guard<std::mutex> g(s.lock);
  s.connections = std::make_shared<std::vector<connection_sp>>(std::move(connections));
  s.accepting = true;
  return 0;
}

int tovi_amqp_start(void) {
  module_state_t &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.accepting || s.running) return -1;
  for (const connection_sp &c : *s.connections) {
    tovi_amqp_connection_t *raw = c.get();
    c->thread = std::thread([raw] { connection_main(raw); });
  }
  s.running = true;
  return 0;
}

void tovi_amqp_stop(void) {
  module_state_t &s = state();
  std::shared_ptr<const std::vector<connection_sp>> cs;
  bool was_running;
  {
    std::lock_guard<std::mutex> g(s.lock);
    cs = s.connections;
    was_running = s.running;
    s.accepting = false;
    s.running = false;
  }
  if (!was_running) return;
  for (const connection_sp &c : *cs) {
    c->stopping.store(true, std::memory_order_release);
    wake(c.get());
  }
  for (const connection_sp &c : *cs) {
    if (c->thread.joinable()) c->thread.join();
    int64_t left = c->outstanding.load(std::memory_order_relaxed);
    if (left > 0)
      tovi_log(log_error(), "amqp %d: stopped with %lld messages not confirmed", c->id,
               static_cast<long long>(left));
  }
}

bool tovi_amqp_running(void) {
  module_state_t &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return s.running;
}
