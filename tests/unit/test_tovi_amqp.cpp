// The AMQP module. Tests that need a broker run when QUELT_RABBITMQ_PORT names the port of a
// private RabbitMQ node (tests/e2e/test_amqp_module.py starts one and runs this binary), and are
// skipped otherwise; the broker restart tests also need QUELT_RABBITMQ_RESTART_CMD and
// QUELT_RABBITMQ_CRASH_CMD, commands that stop (or kill) the node and start it again with its data.
#include "tovi/tovi_amqp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <amqp.h>
#include <amqp_tcp_socket.h>

#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

namespace {

using namespace std::chrono_literals;

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// A local port on which nothing listens.
int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int configure(const std::string &module_attrs, const std::string &mq_body) {
  std::string xml = "<queltd><modules><module name='amqp' " + module_attrs +
                    "/></modules><network><mq>" + mq_body + "</mq></network></queltd>";
  if (!tovi_conf_load_string(xml.c_str(), "test_tovi_amqp")) return -2;
  tovi_conf_section_t module = tovi_conf_get_section(nullptr, "//modules/module[@name='amqp']");
  return tovi_amqp_configure(module);
}

// What the hooks saw.
struct observed_t {
  std::mutex lock;
  std::vector<std::string> payloads;
  std::vector<tovi_amqp_envelope_t> envelopes;  // texts not kept
  std::vector<std::string> routing_keys;
  std::vector<std::string> content_types;
  std::vector<int> connection_changes;
  std::function<int(const tovi_amqp_envelope_t *, const std::string &)> decide;

  size_t count() {
    std::lock_guard<std::mutex> g(lock);
    return payloads.size();
  }
  int changes(int connected) {
    std::lock_guard<std::mutex> g(lock);
    int n = 0;
    for (int c : connection_changes)
      n += c == connected;
    return n;
  }
};

int message_hook(void *closure, tovi_amqp_connection_t *, int, const tovi_amqp_envelope_t *e,
                 const void *payload, size_t length) {
  auto *o = static_cast<observed_t *>(closure);
  std::string body(static_cast<const char *>(payload), length);
  std::lock_guard<std::mutex> g(o->lock);
  o->payloads.push_back(body);
  o->envelopes.push_back(*e);
  o->routing_keys.push_back(e->routing_key);
  o->content_types.push_back(e->content_type);
  return o->decide ? o->decide(e, body) : TOVI_AMQP_DONE;
}

int connection_hook(void *closure, tovi_amqp_connection_t *connection, int id, int connected) {
  auto *o = static_cast<observed_t *>(closure);
  EXPECT_EQ(tovi_amqp_connection_id(connection), id);
  std::lock_guard<std::mutex> g(o->lock);
  o->connection_changes.push_back(connected);
  return 0;
}

class tovi_amqp : public ::testing::Test {
 protected:
  void TearDown() override {
    tovi_amqp_stop();
    tovi_amqp_unregister_message_hook("test");
    tovi_amqp_unregister_connection_hook("test");
  }
  void hook_up() {
    ASSERT_EQ(tovi_amqp_register_message_hook("test", message_hook, &observed), 0);
    ASSERT_EQ(tovi_amqp_register_connection_hook("test", connection_hook, &observed), 0);
  }
  observed_t observed;
};

// Tests against a real broker: unique exchange and queue names per test and run.
class tovi_amqp_broker : public tovi_amqp {
 protected:
  void SetUp() override {
    const char *port = getenv("QUELT_RABBITMQ_PORT");
    if (!port) GTEST_SKIP() << "QUELT_RABBITMQ_PORT is not set";
    port_ = port;
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    exchange_ = "t." + test + "." + std::to_string(getpid());
    queue_ = "q." + test + "." + std::to_string(getpid());
  }

  void start(const std::string &extra_mq = "", bool consume = true,
             const std::string &module_attrs = "backoff_max_ms='1000'") {
    std::string mq = "<host>127.0.0.1</host><port>" + port_ + "</port><heartbeat>2</heartbeat>" +
                     "<exchange name='" + exchange_ + "' type='topic'/>" + "<queue name='" +
                     queue_ + "' consume='" + (consume ? "true" : "false") +
                     "'><binding exchange='" + exchange_ + "' routing_key='bound.#'/></queue>" +
                     extra_mq;
    ASSERT_EQ(configure(module_attrs, mq), 0);
    hook_up();
    ASSERT_EQ(tovi_amqp_start(), 0);
    ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).connected == 1; }, 20s));
  }

  int send(const std::string &payload, const std::string &route = "bound.x", int mandatory = 0) {
    return tovi_amqp_send_data(exchange_.c_str(), route.c_str(), mandatory, 0, payload.data(),
                               payload.size(), -1);
  }

  bool all_confirmed(std::chrono::milliseconds timeout = 30s) {
    return wait_until(
        [] {
          tovi_amqp_stats_t s = tovi_amqp_get_stats(-1);
          return s.queue_depth == 0 && s.in_flight == 0;
        },
        timeout);
  }

  void restart_under_load(const char *restart_command);

  // Runs fn on a connection of our own to the broker (channel 1 open), as an administrator
  // would: declaring a queue with arguments, deleting one.
  bool admin(const std::function<bool(amqp_connection_state_t)> &fn) {
    amqp_connection_state_t conn = amqp_new_connection();
    amqp_socket_t *sock = amqp_tcp_socket_new(conn);
    bool ok = sock && amqp_socket_open(sock, "127.0.0.1", std::stoi(port_)) == AMQP_STATUS_OK &&
              amqp_login(conn, "/", 0, AMQP_DEFAULT_FRAME_SIZE, 0, AMQP_SASL_METHOD_PLAIN, "guest",
                         "guest")
                      .reply_type == AMQP_RESPONSE_NORMAL &&
              amqp_channel_open(conn, 1) &&
              amqp_get_rpc_reply(conn).reply_type == AMQP_RESPONSE_NORMAL && fn(conn);
    amqp_connection_close(conn, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(conn);
    return ok;
  }

  std::string port_, exchange_, queue_;
};

}  // namespace

TEST_F(tovi_amqp, send_without_a_configured_module_fails_and_counts) {
  uint64_t before = tovi_amqp_get_stats(-1).send_errors;
  EXPECT_EQ(tovi_amqp_send_data("x", "y", 0, 0, "p", 1, -1), -1);
  EXPECT_EQ(tovi_amqp_get_stats(-1).send_errors, before + 1);
}

TEST_F(tovi_amqp, unusable_configuration_is_refused) {
  const char *bad[][2] = {
      {"", ""},  // replaced below by a configuration without any mq
      {"", "<port>0</port>"},
      {"", "<port>http</port>"},
      {"", "<heartbeat>-1</heartbeat>"},
      {"", "<exchange type='topic'/>"},
      {"", "<binding exchange='x'/>"},
      {"", "<queue name='q'><binding routing_key='#'/></queue>"},
      {"", "<tls certificate='c.pem'/>"},
      {"", "<exchange name='x' durable='perhaps'/>"},
      {"queue_size='0'", ""},
      {"backoff_min_ms='500' backoff_max_ms='100'", ""},
  };
  ASSERT_TRUE(tovi_conf_load_string("<queltd><network/></queltd>", "test_tovi_amqp"));
  EXPECT_EQ(tovi_amqp_configure(nullptr), -1) << "no //network/mq";
  for (size_t i = 1; i < sizeof(bad) / sizeof(bad[0]); i++)
    EXPECT_EQ(configure(bad[i][0], bad[i][1]), -1) << bad[i][0] << bad[i][1];
  EXPECT_EQ(configure("queue_size='5'", "<port>5999</port><tls ca='ca.pem'/>"), 0);
}

TEST_F(tovi_amqp, named_functions_are_registered_by_configure) {
  ASSERT_EQ(configure("", "<port>1</port>"), 0);
  auto send = reinterpret_cast<tovi_amqp_send_data_fn_t>(
      tovi_function_find("tovi_amqp_send_data_function"));
  ASSERT_NE(send, nullptr);
  EXPECT_NE(tovi_function_find("tovi_amqp_register_message_hook"), nullptr);
  EXPECT_NE(tovi_function_find("tovi_amqp_register_connection_hook"), nullptr);
  // Configured but not started: a send waits in the queue for the connection.
  EXPECT_EQ(send("x", "y", 0, 0, "payload", 7, -1), 0);
  EXPECT_EQ(tovi_amqp_get_stats(0).queue_depth, 1u);
  EXPECT_EQ(send("x", "y", 0, 0, "payload", 7, 3), -1) << "no connection 3";
  tovi_amqp_stop();
}

TEST_F(tovi_amqp, a_full_queue_refuses_sends_without_blocking_while_the_broker_is_away) {
  std::string mq = "<host>127.0.0.1</host><port>" + std::to_string(closed_port()) + "</port>";
  ASSERT_EQ(configure("queue_size='10' backoff_min_ms='10' backoff_max_ms='40'", mq), 0);
  hook_up();
  ASSERT_EQ(tovi_amqp_start(), 0);
  for (int i = 0; i < 10; i++)
    EXPECT_EQ(tovi_amqp_send_data("x", "r", 0, 0, "m", 1, -1), 0);
  uint64_t errors = tovi_amqp_get_stats(0).send_errors;
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(tovi_amqp_send_data("x", "r", 0, 0, "m", 1, -1), -1);
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  EXPECT_EQ(s.send_errors, errors + 5);
  EXPECT_EQ(s.queue_depth, 10u);
  EXPECT_EQ(s.connected, 0);
  EXPECT_EQ(tovi_amqp_send_data(nullptr, "r", 0, 0, "m", 1, -1), -1);
  // Never connected: no connection hook ran.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(observed.changes(1) + observed.changes(0), 0);
  tovi_amqp_stop();
  EXPECT_EQ(tovi_amqp_send_data("x", "r", 0, 0, "m", 1, -1), -1) << "stopped";
}

// Errors of each kind are logged at most once a second, but one kind's line never silences
// another's: a queue-full flood, a bad send and a send while stopped each get their line.
TEST_F(tovi_amqp, send_errors_are_logged_once_a_second_per_kind) {
  static std::mutex lines_lock;
  static std::vector<std::string> lines;
  tovi_log_outlet_register_callback("test-amqp-errors", [](tovi_log_stream_t, std::string_view t) {
    std::lock_guard<std::mutex> g(lines_lock);
    lines.emplace_back(t);
  });
  ASSERT_TRUE(tovi_log_stream_add_outlet("error/amqp", "test-amqp-errors"));
  auto logged = [](const char *text) {
    std::lock_guard<std::mutex> g(lines_lock);
    size_t n = 0;
    for (const auto &l : lines)
      n += l.find(text) != std::string::npos;
    return n;
  };

  std::string mq = "<host>127.0.0.1</host><port>" + std::to_string(closed_port()) + "</port>";
  ASSERT_EQ(configure("queue_size='1' backoff_min_ms='10' backoff_max_ms='40'", mq), 0);
  ASSERT_EQ(tovi_amqp_start(), 0);
  ASSERT_EQ(tovi_amqp_send_data("x", "r", 0, 0, "m", 1, -1), 0);  // fills the queue
  uint64_t errors = tovi_amqp_get_stats(0).send_errors;
  for (int i = 0; i < 50; i++)
    EXPECT_EQ(tovi_amqp_send_data("x", "r", 0, 0, "m", 1, -1), -1);
  EXPECT_EQ(tovi_amqp_send_data("x", nullptr, 0, 0, "m", 1, -1), -1);
  tovi_amqp_stop();
  EXPECT_EQ(tovi_amqp_send_data("x", "r", 0, 0, "m", 1, -1), -1);

  EXPECT_EQ(tovi_amqp_get_stats(0).send_errors, errors + 51) << "every refusal is counted";
  EXPECT_EQ(logged("the publish queue is full"), 1u);
  EXPECT_EQ(logged("bad send arguments"), 1u);
  EXPECT_EQ(logged("the module is not running"), 1u);
}

TEST_F(tovi_amqp_broker, publishes_persistently_and_consumes_in_order) {
  start();
  EXPECT_EQ(observed.changes(1), 1);
  const int n = 500;
  for (int i = 0; i < n; i++)
    ASSERT_EQ(send("message " + std::to_string(i)), 0);
  ASSERT_TRUE(wait_until([&] { return observed.count() == n; }, 30s)) << observed.count();
  ASSERT_TRUE(all_confirmed());
  std::lock_guard<std::mutex> g(observed.lock);
  for (int i = 0; i < n; i++) {
    EXPECT_EQ(observed.payloads[i], "message " + std::to_string(i));
    EXPECT_EQ(observed.envelopes[i].delivery_mode, 2);
    EXPECT_EQ(observed.routing_keys[i], "bound.x");
  }
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  EXPECT_EQ(s.published, static_cast<uint64_t>(n));
  EXPECT_EQ(s.confirmed, static_cast<uint64_t>(n));
  EXPECT_EQ(s.consumed, static_cast<uint64_t>(n));
  EXPECT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).acked == 500; }, 5s));
  EXPECT_EQ(s.republished, 0u);
  EXPECT_EQ(s.reconnects, 0u);
}

TEST_F(tovi_amqp_broker, unroutable_mandatory_messages_are_returned_and_counted) {
  start();
  ASSERT_EQ(send("lost", "unbound.route", 1), 0);
  ASSERT_EQ(send("kept", "bound.y", 1), 0);
  ASSERT_TRUE(all_confirmed());
  EXPECT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).returned == 1; }, 5s));
  ASSERT_TRUE(wait_until([&] { return observed.count() == 1; }, 5s));
  std::lock_guard<std::mutex> g(observed.lock);
  EXPECT_EQ(observed.payloads[0], "kept");
}

TEST_F(tovi_amqp_broker, a_missing_exchange_drops_its_messages_and_spares_the_rest) {
  start();
  std::string missing = exchange_ + ".missing";
  ASSERT_EQ(send("before"), 0);
  ASSERT_EQ(tovi_amqp_send_data(missing.c_str(), "bound.x", 0, 0, "nowhere", 7, -1), 0);
  ASSERT_EQ(send("after"), 0);
  ASSERT_TRUE(all_confirmed());
  ASSERT_TRUE(wait_until([&] { return observed.count() == 2; }, 5s));
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  EXPECT_EQ(s.dropped, 1u);
  EXPECT_EQ(s.reconnects, 0u) << "the publishing channel survived";
  std::lock_guard<std::mutex> g(observed.lock);
  EXPECT_EQ(observed.payloads, (std::vector<std::string>{"before", "after"}));
}

TEST_F(tovi_amqp_broker, held_and_requeued_deliveries_are_settled_as_the_hooks_say) {
  std::atomic<uint64_t> held_session{0}, held_tag{0};
  std::atomic<int> requeue_once{1};
  observed.decide = [&](const tovi_amqp_envelope_t *e, const std::string &body) {
    if (body == "requeue me" && requeue_once.exchange(0)) return TOVI_AMQP_REQUEUE;
    if (body == "hold me") {
      held_session = e->session;
      held_tag = e->delivery_tag;
      return TOVI_AMQP_HELD;
    }
    return TOVI_AMQP_DONE;
  };
  start();
  ASSERT_EQ(send("requeue me"), 0);
  ASSERT_TRUE(wait_until([&] { return observed.count() == 2; }, 10s));
  {
    std::lock_guard<std::mutex> g(observed.lock);
    EXPECT_FALSE(observed.envelopes[0].redelivered);
    EXPECT_TRUE(observed.envelopes[1].redelivered);
  }
  EXPECT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).acked == 1; }, 5s));
  EXPECT_EQ(tovi_amqp_get_stats(0).requeued, 1u);

  ASSERT_EQ(send("hold me"), 0);
  ASSERT_TRUE(wait_until([&] { return held_tag != 0; }, 10s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(tovi_amqp_get_stats(0).acked, 1u) << "a held delivery waits for its holder";
  std::thread([&] { tovi_amqp_ack_held(0, held_session, held_tag, false); }).join();
  EXPECT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).acked == 2; }, 5s));
  EXPECT_EQ(observed.count(), 3u);
}

TEST_F(tovi_amqp_broker, heartbeats_keep_an_idle_connection_up) {
  start();  // heartbeat 2 s: the broker drops a silent client after about 4 s
  std::this_thread::sleep_for(6s);
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  EXPECT_EQ(s.connected, 1);
  EXPECT_EQ(s.reconnects, 0u);
  EXPECT_EQ(observed.changes(0), 0);
  ASSERT_EQ(send("still here"), 0);
  EXPECT_TRUE(wait_until([&] { return observed.count() == 1; }, 5s));
}

// Sends keep coming while the broker is away (the queue holds them all); every message sent must
// arrive, duplicates allowed.
void tovi_amqp_broker::restart_under_load(const char *restart) {
  start();
  if (HasFatalFailure()) return;
  std::atomic<bool> restarted{false};
  std::atomic<int> sent{0};
  std::thread publisher([&] {
    int after = 0;
    for (int i = 0; after < 300; i++) {
      ASSERT_EQ(send(std::to_string(i)), 0) << "message " << i;
      sent = i + 1;
      if (restarted) after++;
      std::this_thread::sleep_for(2ms);
    }
  });
  bool publishing = wait_until([&] { return sent >= 300; }, 20s);
  int status = publishing ? system(restart) : -1;
  restarted = true;
  publisher.join();
  ASSERT_TRUE(publishing);
  ASSERT_EQ(status, 0) << restart;

  ASSERT_TRUE(all_confirmed(60s)) << "queue " << tovi_amqp_get_stats(0).queue_depth << " in flight "
                                  << tovi_amqp_get_stats(0).in_flight;
  int total = sent;
  std::map<int, int> seen;
  auto lost = [&] {
    std::lock_guard<std::mutex> g(observed.lock);
    seen.clear();
    for (const std::string &p : observed.payloads)
      seen[std::stoi(p)]++;
    int missing = 0;
    for (int i = 0; i < total; i++)
      missing += seen.count(i) == 0;
    return missing;
  };
  wait_until([&] { return lost() == 0; }, 60s);
  int duplicates = 0;
  for (auto [id, times] : seen)
    duplicates += times - 1;
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  printf("restart: %d sent, %d lost, %d duplicates, %llu republished, %llu reconnects\n", total,
         lost(), duplicates, static_cast<unsigned long long>(s.republished),
         static_cast<unsigned long long>(s.reconnects));
  EXPECT_EQ(lost(), 0);
  EXPECT_GE(s.reconnects, 1u);
  EXPECT_GE(observed.changes(0), 1) << "the disconnect hook ran";
  EXPECT_GE(observed.changes(1), 2) << "the connect hook ran again";
  EXPECT_EQ(s.send_errors, 0u);
}

TEST_F(tovi_amqp_broker, a_broker_restart_loses_no_message) {
  const char *restart = getenv("QUELT_RABBITMQ_RESTART_CMD");
  if (!restart) GTEST_SKIP() << "QUELT_RABBITMQ_RESTART_CMD is not set";
  restart_under_load(restart);
}

TEST_F(tovi_amqp_broker, a_broker_crash_loses_no_message) {
  const char *crash = getenv("QUELT_RABBITMQ_CRASH_CMD");
  if (!crash) GTEST_SKIP() << "QUELT_RABBITMQ_CRASH_CMD is not set";
  restart_under_load(crash);
}

TEST_F(tovi_amqp_broker, refused_messages_back_off_spare_newer_ones_and_are_dropped_in_the_end) {
  // A queue that holds one message and refuses publishes beyond it, bound to our exchange.
  std::string full = queue_ + ".full";
  start("", true, "backoff_min_ms='50' backoff_max_ms='400' max_publish_attempts='4'");
  ASSERT_TRUE(admin([&](amqp_connection_state_t conn) {
    amqp_table_entry_t args[2];
    args[0].key = amqp_cstring_bytes("x-max-length");
    args[0].value.kind = AMQP_FIELD_KIND_I32;
    args[0].value.value.i32 = 1;
    args[1].key = amqp_cstring_bytes("x-overflow");
    args[1].value.kind = AMQP_FIELD_KIND_UTF8;
    args[1].value.value.bytes = amqp_cstring_bytes("reject-publish");
    amqp_table_t table{2, args};
    amqp_queue_declare(conn, 1, amqp_cstring_bytes(full.c_str()), 0, 0, 0, 1, table);
    if (amqp_get_rpc_reply(conn).reply_type != AMQP_RESPONSE_NORMAL) return false;
    amqp_queue_bind(conn, 1, amqp_cstring_bytes(full.c_str()),
                    amqp_cstring_bytes(exchange_.c_str()), amqp_cstring_bytes("full.#"),
                    amqp_empty_table);
    return amqp_get_rpc_reply(conn).reply_type == AMQP_RESPONSE_NORMAL;
  }));
  ASSERT_EQ(send("fills the queue", "full.a"), 0);
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).confirmed == 1; }, 10s));
  ASSERT_EQ(send("refused", "full.a"), 0);
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).nacked >= 1; }, 10s));
  // Newer messages go out while the refused one waits for its next try.
  ASSERT_EQ(send("newer"), 0);
  ASSERT_TRUE(wait_until([&] { return observed.count() == 1; }, 5s));
  EXPECT_EQ(tovi_amqp_get_stats(0).dropped, 0u);
  // Four refusals, then dropped, counted, and nothing outstanding.
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).dropped == 1; }, 10s));
  ASSERT_TRUE(all_confirmed(5s));
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  EXPECT_EQ(s.nacked, 4u);
  EXPECT_EQ(s.published, 1u + 4u + 1u) << "published again only after a back-off";
  EXPECT_EQ(s.reconnects, 0u);
}

TEST_F(tovi_amqp_broker, deliveries_no_hook_takes_are_counted_and_not_acknowledged) {
  observed.decide = [](const tovi_amqp_envelope_t *, const std::string &body) {
    return body == "nobody's" ? TOVI_AMQP_IGNORED : TOVI_AMQP_DONE;
  };
  start();
  ASSERT_EQ(send("nobody's"), 0);
  ASSERT_EQ(send("mine"), 0);
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).acked == 1; }, 10s));
  tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
  EXPECT_EQ(s.unhandled, 1u);
  EXPECT_EQ(s.consumed, 2u);
  EXPECT_EQ(s.requeued, 0u);
}

TEST_F(tovi_amqp_broker, an_unregistered_hook_is_never_running_or_called_again) {
  std::atomic<bool> in_call{false};
  std::atomic<int> calls_after{0};
  std::atomic<bool> unregistered{false};
  observed.decide = [&](const tovi_amqp_envelope_t *, const std::string &body) {
    if (unregistered) calls_after++;
    if (body == "slow") {
      in_call = true;
      std::this_thread::sleep_for(300ms);
      in_call = false;
    }
    return TOVI_AMQP_DONE;
  };
  start();
  ASSERT_EQ(send("slow"), 0);
  ASSERT_TRUE(wait_until([&] { return in_call.load(); }, 10s));
  ASSERT_EQ(tovi_amqp_unregister_message_hook("test"), 0);
  EXPECT_FALSE(in_call.load()) << "unregister returned while the hook was still running";
  unregistered = true;
  ASSERT_EQ(send("after"), 0);
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).unhandled == 1; }, 10s));
  EXPECT_EQ(calls_after.load(), 0);
}

TEST_F(tovi_amqp_broker, a_cancelled_consumer_is_consumed_again) {
  start();
  ASSERT_EQ(send("before"), 0);
  ASSERT_TRUE(wait_until([&] { return observed.count() == 1; }, 10s));
  ASSERT_TRUE(admin([&](amqp_connection_state_t conn) {
    amqp_queue_delete(conn, 1, amqp_cstring_bytes(queue_.c_str()), 0, 0);
    return amqp_get_rpc_reply(conn).reply_type == AMQP_RESPONSE_NORMAL;
  }));
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).cancelled == 1; }, 10s));
  // Connected again: the queue is declared and consumed anew.
  ASSERT_TRUE(wait_until(
      [] {
        tovi_amqp_stats_t s = tovi_amqp_get_stats(0);
        return s.reconnects == 1 && s.connected == 1;
      },
      20s));
  ASSERT_EQ(send("after"), 0);
  ASSERT_TRUE(wait_until([&] { return observed.count() == 2; }, 10s));
  std::lock_guard<std::mutex> g(observed.lock);
  EXPECT_EQ(observed.payloads[1], "after");
}

TEST_F(tovi_amqp_broker, a_blocked_connection_is_shown_until_unblocked) {
  const char *ctl = getenv("QUELT_RABBITMQ_CTL_CMD");
  if (!ctl) GTEST_SKIP() << "QUELT_RABBITMQ_CTL_CMD is not set";
  auto watermark = [&](const char *value) {
    std::string cmd = std::string(ctl) + " set_vm_memory_high_watermark " + value + " >/dev/null";
    return system(cmd.c_str()) == 0;
  };
  start();
  ASSERT_TRUE(watermark("0.000001"));  // a memory alarm: the broker blocks publishers
  ASSERT_EQ(send("during the alarm"), 0);
  bool blocked = wait_until([] { return tovi_amqp_get_stats(0).blocked == 1; }, 20s);
  ASSERT_TRUE(watermark("0.4"));
  ASSERT_TRUE(blocked) << "connection.blocked was not announced or not shown";
  EXPECT_GE(tovi_amqp_get_stats(0).blocked_count, 1u);
  ASSERT_TRUE(wait_until([] { return tovi_amqp_get_stats(0).blocked == 0; }, 20s));
  ASSERT_TRUE(all_confirmed());
  EXPECT_TRUE(wait_until([&] { return observed.count() == 1; }, 10s));
}
