// What one server-side TLS connection of the REST server holds on the heap at each stage of its
// life: made, waiting for the client's second flight, established with a client certificate,
// and idle after one request and reply. It runs --connections handshakes side by side over
// socket pairs, with the REST server's own context settings, and counts glibc's heap in use
// (mallinfo2) across the server's calls only, so the client's memory is not in the figures and
// whatever the server files in its context (cached sessions) is.
//
//   tls_memory <ca> <server crt> <server key> <client crt> <client key> [--connections N]
//              [--tls12] [--no-release] [--cache-mode M] [--tickets N] [--no-ca-list]
//              [--census] [--client-no-ticket]
//
// --tls12 makes the clients speak TLS 1.2, --client-no-ticket makes them refuse tickets,
// --no-release skips SSL_free_buffers on the idle connections; the last three change the server's
// context after the REST server's own setup (SSL_CTX_set_session_cache_mode,
// SSL_CTX_set_num_tickets, an empty client CA list), to weigh candidates. --census lists, at each
// stage, OpenSSL's live allocations made in the server's calls by the source line that made them
// (use few connections: it is slow). The figures are read by hand (docs/performance.md); nothing is
// judged here.
#include <malloc.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tovi/tovi_http_tls.h"

namespace {

size_t heap_in_use() {
  return mallinfo2().uordblks;
}

struct pair_t {
  SSL *server = nullptr;
  SSL *client = nullptr;
  int fds[2] = {-1, -1};
};

// Heap growth across the server's calls, summed over every connection.
size_t server_bytes = 0;

// --census: OpenSSL's live allocations made during the server's calls, by source line.
struct census_t {
  bool on = false;
  bool in_server = false;
  std::unordered_map<void *, std::pair<size_t, std::string>> live;
} census;

void *census_malloc(size_t n, const char *file, int line) {
  void *p = std::malloc(n);
  if (p && census.in_server) {
    const char *base = std::strrchr(file, '/');
    census.live[p] = {n, std::string(base ? base + 1 : file) + ":" + std::to_string(line)};
  }
  return p;
}

void census_free(void *p, const char *, int) {
  if (p) census.live.erase(p);
  std::free(p);
}

void *census_realloc(void *p, size_t n, const char *file, int line) {
  if (!p) return census_malloc(n, file, line);
  auto it = census.live.find(p);
  bool tracked = it != census.live.end();
  std::string where = tracked ? it->second.second : std::string();
  if (tracked) census.live.erase(it);
  void *q = std::realloc(p, n);
  if (q && (tracked || census.in_server))
    census.live[q] = {n, tracked ? where : std::string(file) + ":" + std::to_string(line)};
  return q;
}

void census_report() {
  std::map<std::string, std::pair<size_t, size_t>> by_line;  // bytes, count
  size_t total = 0;
  for (auto &[p, v] : census.live) {
    by_line[v.second].first += v.first;
    by_line[v.second].second++;
    total += v.first;
  }
  std::vector<std::pair<size_t, std::string>> rows;
  for (auto &[where, bc] : by_line)
    rows.push_back({bc.first, where + " (" + std::to_string(bc.second) + " blocks)"});
  std::sort(rows.rbegin(), rows.rend());
  std::printf("  requested bytes held, all connections: %zu\n", total);
  for (size_t i = 0; i < rows.size() && i < 25; i++)
    std::printf("  %10zu  %s\n", rows[i].first, rows[i].second.c_str());
}

template <class F>
auto on_server(F f) {
  size_t before = heap_in_use();
  census.in_server = census.on;
  auto r = f();
  census.in_server = false;
  server_bytes += heap_in_use() - before;
  return r;
}

// Steps both ends until neither makes progress; returns once the server's handshake is done or
// both wait for each other.
void pump(pair_t &p, bool server_handshake_until_blocked, int rounds) {
  for (int i = 0; i < rounds; i++) {
    ERR_clear_error();
    SSL_do_handshake(p.client);
    if (server_handshake_until_blocked) on_server([&] { return SSL_do_handshake(p.server); });
  }
}

void fail(const char *what) {
  std::fprintf(stderr, "%s failed\n", what);
  ERR_print_errors_fp(stderr);
  std::exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: tls_memory CA SERVER_CRT SERVER_KEY CLIENT_CRT CLIENT_KEY "
                 "[--connections N] [--tls12] [--no-release]\n");
    return 2;
  }
  size_t n = 200;
  for (int i = 6; i < argc; i++)
    if (std::string_view(argv[i]) == "--census") {
      census.on = true;
      CRYPTO_set_mem_functions(census_malloc, census_realloc, census_free);
    }
  bool tls12 = false, release = true, no_ca_list = false, client_no_ticket = false;
  long cache_mode = -1, tickets = -1;
  for (int i = 6; i < argc; i++) {
    std::string_view a = argv[i];
    if (a == "--connections" && i + 1 < argc)
      n = size_t(std::atol(argv[++i]));
    else if (a == "--tls12")
      tls12 = true;
    else if (a == "--no-release")
      release = false;
    else if (a == "--cache-mode" && i + 1 < argc)
      cache_mode = std::strtol(argv[++i], nullptr, 0);
    else if (a == "--tickets" && i + 1 < argc)
      tickets = std::atol(argv[++i]);
    else if (a == "--no-ca-list")
      no_ca_list = true;
    else if (a == "--client-no-ticket")
      client_no_ticket = true;
  }

  size_t heap_at_start = heap_in_use();
  SSL_CTX *sctx = SSL_CTX_new(TLS_server_method());
  if (!sctx || !tovi_http_detail::tls_server_context_setup(sctx, argv[2], argv[3], argv[1]))
    fail("server context");
  if (cache_mode >= 0) SSL_CTX_set_session_cache_mode(sctx, cache_mode);
  if (tickets >= 0) SSL_CTX_set_num_tickets(sctx, size_t(tickets));
  if (no_ca_list) SSL_CTX_set_client_CA_list(sctx, sk_X509_NAME_new_null());
  SSL_CTX *cctx = SSL_CTX_new(TLS_client_method());
  if (!cctx || SSL_CTX_load_verify_locations(cctx, argv[1], nullptr) != 1 ||
      SSL_CTX_use_certificate_chain_file(cctx, argv[4]) != 1 ||
      SSL_CTX_use_PrivateKey_file(cctx, argv[5], SSL_FILETYPE_PEM) != 1)
    fail("client context");
  SSL_CTX_set_verify(cctx, SSL_VERIFY_PEER, nullptr);
  if (tls12) SSL_CTX_set_max_proto_version(cctx, TLS1_2_VERSION);
  if (client_no_ticket) SSL_CTX_set_options(cctx, SSL_OP_NO_TICKET);

  std::vector<pair_t> pairs(n);
  for (pair_t &p : pairs) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, p.fds) != 0) fail("socketpair");
    p.client = SSL_new(cctx);
    SSL_set_fd(p.client, p.fds[1]);
    SSL_set_connect_state(p.client);
  }
  auto report = [&](const char *stage) {
    std::printf("%-58s %8.1f KiB\n", stage, double(server_bytes) / double(n) / 1024.0);
    if (census.on) census_report();
  };

  for (pair_t &p : pairs) {
    p.server = on_server([&] {
      SSL *s = SSL_new(sctx);
      SSL_set_fd(s, p.fds[0]);
      SSL_set_accept_state(s);
      return s;
    });
  }
  report("made");

  // The client's hello, the server's first flight, then the server waits.
  for (pair_t &p : pairs) {
    SSL_do_handshake(p.client);
    on_server([&] { return SSL_do_handshake(p.server); });
  }
  report("waiting for the client's second flight");

  for (pair_t &p : pairs) {
    pump(p, true, 6);
    if (!SSL_is_init_finished(p.server)) fail("handshake");
  }
  report(tls12 ? "established (TLS 1.2)" : "established (TLS 1.3, tickets sent)");

  const char request[] = "GET /stats.json HTTP/1.1\r\nHost: x\r\n\r\n";
  const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
  char buf[4096];
  for (pair_t &p : pairs) {
    size_t done = 0;
    if (SSL_write_ex(p.client, request, sizeof request - 1, &done) != 1) fail("client write");
    on_server([&] { return SSL_read_ex(p.server, buf, sizeof buf, &done); });
    on_server([&] { return SSL_write_ex(p.server, reply, sizeof reply - 1, &done); });
    // The client takes the reply (and any tickets); the server sees nothing more.
    while (SSL_read_ex(p.client, buf, sizeof buf, &done) == 1) {
    }
    if (release) on_server([&] { return SSL_free_buffers(p.server); });
  }
  report(release ? "idle after one request, buffers freed" : "idle after one request");

  for (pair_t &p : pairs) {
    on_server([&] {
      SSL_free(p.server);
      return 0;
    });
    SSL_free(p.client);
    close(p.fds[0]);
    close(p.fds[1]);
  }
  report("after SSL_free of every connection (what stays in the context)");
  SSL_CTX_free(sctx);
  SSL_CTX_free(cctx);
  std::printf("%-58s %8.1f KiB\n", "the whole heap afterwards, against the start, per connection",
              (double(heap_in_use()) - double(heap_at_start)) / double(n) / 1024.0);
  return 0;
}
