// Outlets: what they add to the alert path, and how many alerts a second they deliver.
//
// BM_alert_path/<outlet>: a message that changes its stream's severity and publishes an alert
// (lookup, rule application, decision, document, send to a bus function that only counts), with
// no outlet (0), a webhook (1) or an alert router outlet (2) configured. The outlets deliver to a
// receiver in this process on loopback; the figure is the time the applying thread spends, which
// is what rule application pays (building labels and queueing; the delivery is another thread's).
// 1,000 exact numeric rulesets of one check.
//
// BM_delivery/<outlet>: alerts handed to the outlet until the receiver has taken them all:
// alerts per second through a webhook (one POST each) and through a router outlet (up to 64 a
// POST), over one keep-alive connection to the local receiver.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "outlets/outlets.h"
#include "rules_bench.h"
#include "tovi/tovi_conf.h"

namespace {

constexpr int ruleset_count = 1000;
const char *const check = rules_bench_check;
uint64_t when = 1700000000000;
std::atomic<uint64_t> received{0};  // alerts the receiver took

// A minimal HTTP/1.1 server: reads each request (headers and Content-Length body), counts its
// alerts (a router request holds one per "startsAt", a webhook request one), answers 200.
void serve_connection(int fd) {
  std::string buf;
  char chunk[65536];
  for (;;) {
    size_t header_end;
    while ((header_end = buf.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return (void)close(fd);
      buf.append(chunk, size_t(n));
    }
    size_t length = 0;
    size_t cl = buf.find("Content-Length: ");
    if (cl != std::string::npos && cl < header_end) length = std::stoul(buf.substr(cl + 16));
    while (buf.size() < header_end + 4 + length) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return (void)close(fd);
      buf.append(chunk, size_t(n));
    }
    std::string_view body(buf.data() + header_end + 4, length);
    uint64_t alerts = 0;
    for (size_t p = body.find("\"startsAt\""); p != std::string_view::npos;
         p = body.find("\"startsAt\"", p + 1))
      alerts++;
    received.fetch_add(alerts ? alerts : 1);
    buf.erase(0, header_end + 4 + length);
    static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    if (write(fd, reply, sizeof reply - 1) < 0) return (void)close(fd);
  }
}

int receiver_port() {
  static int port = [] {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0)
      std::abort();
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    std::thread([s] {
      for (;;) {
        int c = accept(s, nullptr, nullptr);
        if (c >= 0) std::thread(serve_connection, c).detach();
      }
    }).detach();
    return int(ntohs(a.sin_port));
  }();
  return port;
}

// 0: none, 1: a webhook, 2: an alert router outlet.
void configure(int outlet) {
  outlets_shutdown();
  std::string url = "http://127.0.0.1:" + std::to_string(receiver_port());
  std::string notify;
  if (outlet == 1)
    notify = "<notify><webhook url=\"" + url + "/hook\" queue_size=\"1000000\"/></notify>";
  if (outlet == 2)
    notify = "<notify><alertmanager url=\"" + url + "\" queue_size=\"1000000\"/></notify>";
  std::string xml = "<?xml version=\"1.0\"?><queltd>" + notify + "</queltd>";
  std::string error;
  if (!tovi_conf_load_string(xml.c_str(), "bench") || !outlets_configure(&error)) std::abort();
}

void setup() {
  static bool done = [] {
    rules_bench_start(
        ruleset_count,
        "\"metric_type\": \"numeric\", \"title\": \"m hot\","
        " \"summary\": \"{{metric}} at {{value}}\", \"labels\": {\"team\": \"ops\"},"
        " \"rules\": [{\"criteria\": \"max value\", \"severity\": 1, \"value\": \"1000\"}]");
    return true;
  }();
  (void)done;
}

void BM_alert_path(benchmark::State &state) {
  setup();
  configure(int(state.range(0)));
  std::vector<vask_metric_message_t *> set = rules_bench_messages(ruleset_count, "web01");
  size_t i = 0;
  for (auto _ : state) {
    vask_metric_message_t *m = set[i & 1023];
    m->value.whence_ms = ++when;
    m->value.value.n = (i++ >> 10) & 1 ? 5000 : 5;
    rules_bench_apply(m);
  }
  rules_bench_release(set);
  outlets_shutdown();
}
BENCHMARK(BM_alert_path)->Arg(0)->Arg(1)->Arg(2);

void BM_delivery(benchmark::State &state) {
  configure(int(state.range(0)));
  constexpr int batch = 2000;
  std::vector<outlet_alert_sp> alerts;
  for (int i = 0; i < batch; i++) {
    outlet_source_t src;
    src.ecid = uint64_t(i + 1);
    src.account_id = 7;
    src.severity = 2;
    src.ms = 1700000000000 + uint64_t(i);
    src.check = check;
    src.host = "web01";
    src.metric = "m." + std::to_string(i);
    src.signature = std::string(check) + "`" + src.metric + "|ST[]";
    src.value = "95";
    auto a = std::make_shared<outlet_alert_t>();
    a->ecid = src.ecid;
    a->stream = src.signature;
    a->severity = 2;
    a->ms = src.ms;
    a->bus_document = "{\"sev\":{\"self_event_criteria_id\":" + std::to_string(i + 1) + "}}";
    outlet_build_labels(src, a.get());
    alerts.push_back(a);
  }
  for (auto _ : state) {
    uint64_t want = received.load() + batch;
    for (const outlet_alert_sp &a : alerts)
      outlets_publish(a);
    while (received.load() < want)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * batch);
  outlets_shutdown();
}
BENCHMARK(BM_delivery)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
