// Requests per second of the REST server over TLS with keep-alive: an in-process server on the
// loop threads and a client on the benchmark thread that sends one request at a time on one
// connection (so the figure is the round trip of one request, not the server's total capacity).
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <thread>

#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_http.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;

int small_json(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_ok(restc, "application/json");
  tovi_http_response_append_str(restc, "{\"ok\": true}\n");
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

std::string cert_dir;

bool make_certs() {
  char tmpl[] = "/tmp/bench_http.XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  cert_dir = tmpl;
  std::string cmd = "cd " + cert_dir +
                    " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                    " -days 1 -subj /CN=bench-ca -keyout ca.key -out ca.crt"
                    " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                    " -subj /CN=bench -keyout server.key -out server.csr"
                    " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
                    " -days 1 -out server.crt"
                    " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                    " -subj /CN=queltd-operator -keyout client.key -out client.csr"
                    " && openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
                    " -days 1 -out client.crt";
  return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

bool start_server() {
  static bool started = [] {
    if (!make_certs()) return false;
    std::string conf =
        "<queltd><eventer><config><concurrency>2</concurrency></config></eventer>"
        "<listeners><listener type=\"http\" address=\"127.0.0.1\" port=\"0\""
        " certificate_file=\"" +
        cert_dir + "/server.crt\" key_file=\"" + cert_dir + "/server.key\" ca_file=\"" + cert_dir +
        "/ca.crt\"/></listeners></queltd>";
    if (!tovi_conf_load_string(conf.c_str(), "bench.conf") || eventer_init() != 0) return false;
    if (tovi_http_rest_init() != 1) return false;
    tovi_http_rest_register_auth("GET", "/", "^bench$", small_json,
                                 tovi_http_rest_client_cert_auth);
    if (tovi_http_listener_init("bench") != 1) return false;
    std::thread([] { eventer_loop(); }).detach();
    return true;
  }();
  return started;
}

void BM_http_tls_keepalive_get(benchmark::State &state) {
  if (!start_server()) {
    state.SkipWithError("cannot start the server");
    return;
  }
  asio::io_context ioc;
  ssl::context ctx(ssl::context::tls_client);
  ctx.load_verify_file(cert_dir + "/ca.crt");
  ctx.use_certificate_file(cert_dir + "/client.crt", ssl::context::pem);
  ctx.use_private_key_file(cert_dir + "/client.key", ssl::context::pem);
  ctx.set_verify_mode(ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> stream(ioc, ctx);
  beast::get_lowest_layer(stream).connect(
      asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                              static_cast<unsigned short>(tovi_http_listener_port(0))));
  stream.handshake(ssl::stream_base::client);

  http::request<http::empty_body> req(http::verb::get, "/bench", 11);
  req.set(http::field::host, "127.0.0.1");
  beast::flat_buffer buffer;
  for (auto _ : state) {
    http::write(stream, req);
    http::response<http::string_body> res;
    http::read(stream, buffer, res);
    if (res.result_int() != 200) {
      state.SkipWithError("unexpected status");
      break;
    }
    benchmark::DoNotOptimize(res.body().data());
  }
  state.SetItemsProcessed(state.iterations());
  beast::error_code ec;
  stream.shutdown(ec);
}
BENCHMARK(BM_http_tls_keepalive_get)->UseRealTime();

// The request path alone, without sockets or TLS: parse, route, answer, serialize.
void BM_http_process_bytes(benchmark::State &state) {
  static bool registered = tovi_http_rest_register("GET", "/", "^plain$", small_json) == 0;
  (void)registered;
  const std::string req = "GET /plain?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  tovi_http_conn_facts_t conn;
  for (auto _ : state)
    benchmark::DoNotOptimize(tovi_http_rest_process_bytes(req, conn));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_http_process_bytes);

}  // namespace
