// HTTP sources: Prometheus remote-write and Influx line protocol on the REST listeners.
//
// A request is decoded on its connection's loop thread into a director batch, which is committed
// to the lanes. A full lane floats the connection: the batch is retried on a timer of that loop
// thread (100 us doubling to 1 ms, as the TCP intake does) until it went through, and only then is
// the request answered, so a sender waits for the daemon instead of losing samples.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_log.h"
#include "vask/vask_director.h"
#include "vask/vask_formats.h"
#include "vask/vask_intake_formats.h"

namespace {

constexpr int initial_backoff_us = 100;
constexpr int max_backoff_us = 1000;
constexpr auto max_wait = std::chrono::seconds(10);

struct route_t {
  vask_format_t format;
  vask_mapping_t mapping;
  stats_counter_t *requests, *bad_requests, *busy, *pauses, *bytes;
};

// One configured route per kind; set once at start-up, read by the handlers.
route_t *g_remote_write = nullptr;
route_t *g_influx = nullptr;

route_t *make_route(vask_format_t format, const vask_mapping_t &mapping, const char *name) {
  auto *r =
      new route_t{format, mapping, nullptr, nullptr, nullptr, nullptr, nullptr};  // never freed
  stats_ns_t *root = stats_recorder_root(stats_process_recorder());
  stats_ns_t *ns =
      stats_register_ns(stats_register_ns(stats_register_ns(root, "vask"), "intake_http"), name);
  stats_opts_t req;
  req.units = "requests";
  r->requests = stats_register_counter(ns, "requests", req);
  r->bad_requests = stats_register_counter(ns, "bad_requests", req);
  r->busy = stats_register_counter(ns, "busy", req);
  r->pauses = stats_register_counter(ns, "pauses", req);
  stats_opts_t b;
  b.units = "bytes";
  r->bytes = stats_register_counter(ns, "bytes", b);
  return r;
}

void stage(void *closure, vask_metric_message_t *m) {
  vask_metric_director_batch_add_message(static_cast<vask_director_batch_t *>(closure), m);
}

// A request held up by a full lane.
struct waiting_t {
  explicit waiting_t(boost::asio::io_context &ctx) : timer(ctx) {}
  vask_director_batch_t batch;
  boost::asio::steady_timer timer;
  tovi_http_rest_closure_t *restc = nullptr;
  tovi_http_deferred_t *deferred = nullptr;
  route_t *route = nullptr;
  int backoff_us = initial_backoff_us;
  std::chrono::steady_clock::time_point since;
};

int reply_accepted(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_status_set(restc, 204, "No Content");
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int reply_busy(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_json_error(restc, 503, "Service Unavailable",
                                "metric lanes full; retry later");
  return TOVI_HTTP_DONE;
}

void retry(std::shared_ptr<waiting_t> w) {
  w->timer.expires_after(std::chrono::microseconds(w->backoff_us));
  w->timer.async_wait([w](const boost::system::error_code &ec) {
    if (ec) return;
    if (vask_metric_director_batch_commit(&w->batch) == VASK_DIRECTOR_DELIVERED) {
      tovi_http_rest_set_completion(w->restc, reply_accepted);
      tovi_http_rest_resume(w->deferred);
      return;
    }
    if (std::chrono::steady_clock::now() - w->since >= max_wait) {
      vask_metric_director_batch_release(&w->batch);
      stats_counter_inc(w->route->busy);
      tovi_http_rest_set_completion(w->restc, reply_busy);
      tovi_http_rest_resume(w->deferred);
      return;
    }
    w->backoff_us = std::min(w->backoff_us * 2, max_backoff_us);
    retry(w);
  });
}

void bad_request(tovi_http_rest_closure_t *restc, route_t *r, int code, const char *status,
                 const std::string &why) {
  stats_counter_inc(r->bad_requests);
  tovi_http_response_json_error(restc, code, status, why.c_str());
}

// Decodes the body into a batch and answers, or floats the request until the batch is in.
int ingest_body(tovi_http_rest_closure_t *restc, route_t *r, int precision, std::string_view body) {
  stats_counter_inc(r->requests);
  stats_counter_add(r->bytes, body.size());
  auto w = std::make_shared<waiting_t>(eventer_io_context(eventer_current_thread_id()));
  vask_ingest_t in;
  in.format = r->format;
  in.mapping = &r->mapping;
  in.peer = tovi_http_request_peer(restc);
  in.precision = precision;
  in.emit = stage;
  in.closure = &w->batch;
  vask_sample_reason_t whole = VASK_SAMPLE_OK;
  if (r->format == VASK_FORMAT_REMOTE_WRITE) {
    static thread_local std::string scratch;
    whole = vask_remote_write_decode(&in, body.data(), body.size(), &scratch);
    if (scratch.capacity() > (1u << 20)) std::string().swap(scratch);  // a burst is over
  } else {
    vask_influx_decode_lines(&in, body.data(), body.size());
  }
  uint64_t accepted = in.accepted, refused = vask_ingest_refused(&in);
  std::string first = in.first_excerpt;
  vask_sample_reason_t first_reason = in.first_reason;
  vask_ingest_publish(&in);
  if (whole != VASK_SAMPLE_OK || (accepted == 0 && refused > 0)) {
    vask_metric_director_batch_release(&w->batch);
    std::string why =
        std::string(vask_sample_reason_name(whole != VASK_SAMPLE_OK ? whole : first_reason));
    if (whole == VASK_SAMPLE_OK)
      why += ": " + std::to_string(refused) + " samples refused, the first: " + first;
    bad_request(restc, r, 400, "Bad Request", why);
    return TOVI_HTTP_DONE;
  }
  if (vask_metric_director_batch_commit(&w->batch) == VASK_DIRECTOR_DELIVERED)
    return reply_accepted(restc, 0, nullptr);
  stats_counter_inc(r->pauses);
  w->restc = restc;
  w->route = r;
  w->since = std::chrono::steady_clock::now();
  tovi_http_rest_set_completion(restc, reply_accepted);
  w->deferred = tovi_http_rest_float(restc);
  retry(w);
  return TOVI_HTTP_DEFER;
}

// Inflates a gzip body into *out, at most `limit` bytes. False when it is not gzip or too large.
bool gunzip(std::string_view in, size_t limit, std::string *out) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
  out->clear();
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  z.avail_in = uInt(in.size());
  int rc = Z_OK;
  char chunk[65536];
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef *>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    size_t got = sizeof chunk - z.avail_out;
    if (out->size() + got > limit) {
      rc = Z_MEM_ERROR;
      break;
    }
    out->append(chunk, got);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // truncated
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

bool header_is(tovi_http_rest_closure_t *restc, const char *name, std::string_view want) {
  const char *v = tovi_http_request_header(restc, name);
  if (!v) return true;  // absent: taken as the default
  std::string_view got(v);
  got = got.substr(0, got.find(';'));
  while (!got.empty() && got.back() == ' ')
    got.remove_suffix(1);
  if (got.size() != want.size()) return false;
  return std::equal(got.begin(), got.end(), want.begin(),
                    [](char a, char b) { return std::tolower(a) == std::tolower(b); });
}

int remote_write_post(tovi_http_rest_closure_t *restc, int, char **) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;
  route_t *r = g_remote_write;
  if (!header_is(restc, "Content-Encoding", "snappy")) {
    stats_counter_inc(r->requests);
    bad_request(restc, r, 415, "Unsupported Media Type", "Content-Encoding must be snappy");
    return TOVI_HTTP_DONE;
  }
  const char *type = tovi_http_request_header(restc, "Content-Type");
  if (!header_is(restc, "Content-Type", "application/x-protobuf") ||
      (type && std::string_view(type).find("io.prometheus.write.v2") != std::string_view::npos)) {
    stats_counter_inc(r->requests);
    bad_request(restc, r, 415, "Unsupported Media Type",
                "remote-write 1.0 (application/x-protobuf WriteRequest) only");
    return TOVI_HTTP_DONE;
  }
  return ingest_body(restc, r, 9, tovi_http_request_body(restc));
}

int influx_post(tovi_http_rest_closure_t *restc, int, char **) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;
  route_t *r = g_influx;
  int precision = 9;
  const char *p = tovi_http_request_querystring(restc, "precision");
  if (p && *p && !vask_influx_precision(p, &precision)) {
    stats_counter_inc(r->requests);
    bad_request(restc, r, 400, "Bad Request", std::string("unknown precision: ") + p);
    return TOVI_HTTP_DONE;
  }
  std::string_view body = tovi_http_request_body(restc);
  // Telegraf and the Influx clients may compress their bodies.
  static thread_local std::string inflated;
  if (tovi_http_request_header(restc, "Content-Encoding") &&
      !header_is(restc, "Content-Encoding", "identity")) {
    if (!header_is(restc, "Content-Encoding", "gzip")) {
      stats_counter_inc(r->requests);
      bad_request(restc, r, 415, "Unsupported Media Type", "Content-Encoding must be gzip or none");
      return TOVI_HTTP_DONE;
    }
    if (!gunzip(body, VASK_REMOTE_WRITE_MAX_DECOMPRESSED, &inflated)) {
      stats_counter_inc(r->requests);
      bad_request(restc, r, 400, "Bad Request", "bad_compression");
      return TOVI_HTTP_DONE;
    }
    body = inflated;
  }
  int rv = ingest_body(restc, r, precision, body);
  if (inflated.capacity() > (1u << 20)) std::string().swap(inflated);
  return rv;
}

bool allowed_text(const std::string &v) {
  for (unsigned char c : v)
    if (c == '`' || c == '\t' || c == '\n' || c == '\r' || c == '\0') return false;
  return true;
}

}  // namespace

bool vask_mapping_from_conf(tovi_conf_section_t s, vask_format_t format, const std::string &key,
                            vask_mapping_t *out) {
  vask_mapping_t m = vask_mapping_default(format);
  int64_t account = 0;
  if (tovi_conf_exists(s, "@account")) {
    std::string text;
    tovi_conf_get_string(s, "@account", &text);
    if (!tovi_conf_get_int64(s, "@account", &account) || account < 0) {
      tovi_log(tovi_error, "%s/@account: '%s' is not an account number\n", key.c_str(),
               text.c_str());
      return false;
    }
    m.account = uint64_t(account);
  }
  tovi_conf_get_string(s, "@account_label", &m.account_label);
  tovi_conf_get_string(s, "@check_uuid_label", &m.check_uuid_label);
  tovi_conf_get_string(s, "@check_id_label", &m.check_id_label);
  tovi_conf_get_string(s, "@host_label", &m.host_label);
  tovi_conf_get_string(s, "@broker", &m.broker);
  tovi_conf_get_string(s, "@module", &m.module);
  tovi_conf_get_string(s, "@name_separator", &m.name_separator);
  std::string identity;
  if (tovi_conf_get_string(s, "@identity", &identity)) {
    m.identity.clear();
    size_t at = 0;
    while (at <= identity.size()) {
      size_t comma = identity.find(',', at);
      std::string part = identity.substr(at, comma == std::string::npos ? comma : comma - at);
      part.erase(0, part.find_first_not_of(' '));
      part.erase(part.find_last_not_of(' ') + 1);
      if (!part.empty()) m.identity.push_back(part);
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    if (m.identity.size() > 8) {
      tovi_log(tovi_error, "%s/@identity: at most 8 labels\n", key.c_str());
      return false;
    }
  }
  int32_t node = -1;
  if (tovi_conf_get_int32(s, "@host_node", &node)) m.host_node = node;
  if (!allowed_text(m.module) || !allowed_text(m.broker) ||
      m.name_separator.find('\t') != std::string::npos) {
    tovi_log(tovi_error,
             "%s: module, broker and name_separator must not hold a back-quote, tab "
             "or line end\n",
             key.c_str());
    return false;
  }
  if (!m.broker.empty()) {
    bool digits_only = m.broker.find_first_not_of("0123456789.") == std::string::npos;
    if (digits_only) {
      tovi_log(tovi_error, "%s/@broker: a broker name needs a letter\n", key.c_str());
      return false;
    }
  }
  *out = m;
  return true;
}

int vask_intake_http_init(void) {
  static std::once_flag once;
  static int result = 0;
  bool first = false;
  std::call_once(once, [&first] { first = true; });
  if (!first) return 0;
  vask_metric_director_init_globals();
  vask_format_stats_init();
  tovi_conf_section_read_hold();
  int routes = 0;
  struct kind_t {
    const char *element;
    vask_format_t format;
    route_t **slot;
  } kinds[] = {{"remote_write", VASK_FORMAT_REMOTE_WRITE, &g_remote_write},
               {"influx_http", VASK_FORMAT_INFLUX, &g_influx}};
  for (const kind_t &k : kinds) {
    std::string key = std::string("//listeners/") + k.element;
    auto sections = tovi_conf_get_sections(nullptr, key.c_str());
    if (sections.empty()) continue;
    if (sections.size() > 1) {
      tovi_log(tovi_error, "%s: configure it once\n", key.c_str());
      result = -1;
      break;
    }
    vask_mapping_t mapping;
    if (!vask_mapping_from_conf(sections[0], k.format, key, &mapping)) {
      result = -1;
      break;
    }
    *k.slot = make_route(k.format, mapping, k.element);
    if (k.format == VASK_FORMAT_REMOTE_WRITE) {
      if (tovi_http_rest_register_auth("POST", "/api/v1/", "^write$", remote_write_post,
                                       tovi_http_rest_client_cert_auth) != 0) {
        result = -1;
        break;
      }
      routes++;
    } else {
      if (tovi_http_rest_register_auth("POST", "/api/v2/", "^write$", influx_post,
                                       tovi_http_rest_client_cert_auth) != 0 ||
          tovi_http_rest_register_auth("POST", "/", "^write$", influx_post,
                                       tovi_http_rest_client_cert_auth) != 0) {
        result = -1;
        break;
      }
      routes += 2;
    }
    tovi_log(tovi_notice, "metric intake: %s accepted over HTTP (account %llu)\n",
             vask_format_name(k.format), static_cast<unsigned long long>(mapping.account));
  }
  tovi_conf_section_read_release();
  return result < 0 ? -1 : routes;
}
