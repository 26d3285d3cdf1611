#include "test_support.h"
#include "tovi/tovi_console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tovi/eventer.h"
#include "tovi/tovi_conf.h"

namespace {

using namespace std::chrono_literals;

const char *const config = R"(<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>1</concurrency></config></eventer>
  <listeners><console address="127.0.0.1" port="0"/></listeners>
</queltd>
)";

int show_brokers(tovi_console_t *c, int argc, const char *const *argv, void *closure) {
  tovi_console_printf(c, "%s:", static_cast<const char *>(closure));
  for (int i = 0; i < argc; i++)
    tovi_console_printf(c, " [%s]", argv[i]);
  tovi_console_write(c, "\n");
  return 0;
}

void complete_brokers(int argc, const char *const *, const char *, tovi_console_candidates_t *out,
                      void *) {
  if (argc > 0) return;  // only the first argument names a broker
  tovi_console_candidate_add(out, "broker-a");
  tovi_console_candidate_add(out, "broker-b");
  tovi_console_candidate_add(out, "other");
}

int show_status(tovi_console_t *c, int, const char *const *, void *) {
  tovi_console_printf(c, "ok");  // no newline: the console ends the reply's line
  return 0;
}

class console_environment_c : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(tovi_conf_load_string(config, "console.conf"));
    ASSERT_EQ(eventer_init(), 0);
    ASSERT_TRUE(tovi_console_command_register("show brokers", show_brokers, complete_brokers,
                                              "list the brokers", const_cast<char *>("brokers")));
    ASSERT_TRUE(tovi_console_command_register("show status", show_status, nullptr, "", nullptr));
    ASSERT_TRUE(tovi_console_command_register("show stats", show_status, nullptr, "", nullptr));
    ASSERT_EQ(tovi_console_init("queltd"), 1);
    quelt_test::start_event_loop();
  }
  void TearDown() override { quelt_test::stop_event_loop(); }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new console_environment_c);

TEST(tovi_console, help_lists_builtins_and_module_commands) {
  std::string help = tovi_console_execute("help");
  EXPECT_NE(help.find("exit"), std::string::npos);
  EXPECT_NE(help.find("complete <partial line>"), std::string::npos);
  EXPECT_NE(help.find("show brokers"), std::string::npos);
  EXPECT_NE(help.find("list the brokers"), std::string::npos);
  EXPECT_NE(help.find("show eventer jobq"), std::string::npos);

  std::string below = tovi_console_execute("help show eventer");
  EXPECT_NE(below.find("show eventer threads"), std::string::npos);
  EXPECT_EQ(below.find("show brokers"), std::string::npos);
}

TEST(tovi_console, commands_resolve_by_words_and_unique_prefixes) {
  EXPECT_EQ(tovi_console_execute("show brokers"), "brokers:\n");
  EXPECT_EQ(tovi_console_execute("  sh   bro  b1 \"two words\""), "brokers: [b1] [two words]\n");
  EXPECT_EQ(tovi_console_execute("show status"), "ok\n");
  EXPECT_EQ(tovi_console_execute(""), "");

  EXPECT_EQ(tovi_console_execute("frobnicate now"), "unknown command: frobnicate\n");
  EXPECT_EQ(tovi_console_execute("show nothing"), "unknown command: show nothing\n");
  EXPECT_EQ(tovi_console_execute("show st"), "ambiguous command: show st\n");
  // A word that only groups others lists them.
  std::string group = tovi_console_execute("show");
  EXPECT_NE(group.find("show needs one of"), std::string::npos);
  EXPECT_NE(group.find("show status"), std::string::npos);

  EXPECT_FALSE(tovi_console_command_register("help me", show_status, nullptr, "", nullptr));
  EXPECT_FALSE(tovi_console_command_register("   ", show_status, nullptr, "", nullptr));
}

TEST(tovi_console, complete_offers_tree_words_and_the_commands_own_candidates) {
  EXPECT_EQ(tovi_console_execute("complete sh"), "show\n");
  EXPECT_EQ(tovi_console_execute("complete show "), "brokers\neventer\nmemory\nstats\nstatus\n");
  EXPECT_EQ(tovi_console_execute("complete show b"), "brokers\n");
  EXPECT_EQ(tovi_console_execute("complete show brokers "), "broker-a\nbroker-b\nother\n");
  EXPECT_EQ(tovi_console_execute("complete show brokers bro"), "broker-a\nbroker-b\n");
  EXPECT_EQ(tovi_console_execute("complete show brokers x y"), "");
  EXPECT_EQ(tovi_console_execute("complete e"), "exit\n");
  EXPECT_EQ(tovi_console_execute("complete nothing here"), "");
}

// A small blocking client for the network tests.
class client_c {
 public:
  client_c() {
    fd_ = quelt_test::connect_loopback(uint16_t(tovi_console_listener_port(0)));
    connected_ = fd_ >= 0;
  }
  ~client_c() { close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string &data) {
    ASSERT_EQ(::send(fd_, data.data(), data.size(), 0), ssize_t(data.size()));
  }
  // Reads until the text ends with `until`, the peer closes, or two seconds pass.
  std::string read_until(const std::string &until) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (got.size() < until.size() ||
           got.compare(got.size() - until.size(), until.size(), until) != 0) {
      pollfd p{fd_, POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline || poll(&p, 1, 100) < 0) break;
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      got.append(buf, size_t(n));
    }
    return got;
  }
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

TEST(tovi_console, a_telnet_session_survives_garbage_and_overlong_lines) {
  ASSERT_GT(tovi_console_listener_port(0), 0);
  client_c c;
  ASSERT_TRUE(c.connected());
  EXPECT_EQ(c.read_until("queltd# "), "queltd# ");

  c.send("show brokers b1\r\n");
  EXPECT_EQ(c.read_until("queltd# "), "brokers: [b1]\nqueltd# ");

  // Telnet negotiation (IAC DO ECHO, a sub-negotiation) and control bytes are not part of the line.
  const char garbage[] =
      "\xff\xfd\x01show\x01 st\xff\xfa\x18\x01\xff\xf0"
      "atus\r\n";
  c.send(std::string(garbage, sizeof garbage - 1));
  EXPECT_EQ(c.read_until("queltd# "), "ok\nqueltd# ");

  c.send(std::string(10000, 'x') + "\n");
  EXPECT_EQ(c.read_until("queltd# "), "error: line longer than 4096 bytes\nqueltd# ");

  c.send("nonsense\n");
  EXPECT_EQ(c.read_until("queltd# "), "unknown command: nonsense\nqueltd# ");

  c.send("exit\n");
  EXPECT_EQ(c.read_until("bye\n"), "bye\n");
  c.read_until("never");
  EXPECT_TRUE(c.closed());
}

TEST(tovi_console, a_client_that_vanishes_leaves_the_listener_working) {
  {
    client_c rude;
    ASSERT_TRUE(rude.connected());
    rude.send("show bro");  // half a line, then gone
  }
  client_c c;
  ASSERT_TRUE(c.connected());
  c.send("help show eventer\n");
  std::string reply = c.read_until("passes\nqueltd# ");
  EXPECT_NE(reply.find("show eventer jobq"), std::string::npos) << reply;
  EXPECT_FALSE(c.closed());
}

}  // namespace
