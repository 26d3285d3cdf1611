#include "vask/vask_intake_bus.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "stats/stats.h"
#include "tovi/tovi_amqp.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"
#include "vask/vask_director.h"

namespace {

struct bus_source_t {
  std::string exchange;
  stats_counter_t *deliveries;
  stats_counter_t *lines;
  stats_counter_t *bytes;
};

int on_delivery(void *closure, tovi_amqp_connection_t *, int, const tovi_amqp_envelope_t *envelope,
                const void *payload, size_t length) {
  auto *source = static_cast<bus_source_t *>(closure);
  if (!envelope->exchange || source->exchange != envelope->exchange) return TOVI_AMQP_DONE;
  stats_counter_inc(source->deliveries);
  stats_counter_add(source->bytes, length);
  const char *p = static_cast<const char *>(payload);
  const char *end = p + length;
  while (p < end) {
    const char *nl = static_cast<const char *>(memchr(p, '\n', end - p));
    const char *line_end = nl ? nl : end;
    size_t len = line_end - p;
    if (len > 0 && p[len - 1] == '\r') len--;
    if (len > 0) {
      // Blocking: waits for room in full lanes, so the delivery is acknowledged only once every
      // line of it was handed over.
      vask_metric_director_submit_line(p, len);
      stats_counter_inc(source->lines);
    }
    p = nl ? nl + 1 : end;
  }
  return TOVI_AMQP_DONE;
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
    auto *source = new bus_source_t{exchange, stats_register_counter(per, "deliveries"),
                                    stats_register_counter(per, "lines"),
                                    stats_register_counter(per, "bytes")};
    std::string name = "vask_intake_bus/" + exchange;
    tovi_amqp_register_message_hook(name.c_str(), on_delivery, source);
    tovi_log(tovi_notice, "metric lines consumed from exchange '%s'\n", exchange.c_str());
    hooked++;
  }
  tovi_conf_section_read_release();
  return hooked;
}
