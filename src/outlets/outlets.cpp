// The outlets' configuration and registry: <notify> read once at start-up, one outlet per child
// element, and the fan-out of every announced state to each of them.
//
// The registry is built before any alert can be announced and only read afterwards (tests may
// replace it while nothing publishes); outlets are never freed, because the statistics refer to
// them for the life of the process.
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "outlets/outlets_internal.h"
#include "daemon_stats.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_log.h"

namespace {

std::atomic<bool> active{false};
// Publishing holds it (one dispatch thread, so it is not contended); configuring and shutting
// down hold it to change the registry under a publisher.
std::mutex registry_lock;
std::vector<outlet_c *> outlets;    // guarded by registry_lock
std::vector<outlet_c *> graveyard;  // stopped outlets, kept for the statistics that refer to them

const char *const alertmanager_api = "/api/v2/alerts";

bool ends_with(const std::string &s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Reads an attribute as a positive number into *out; absent leaves the default.
bool read_positive(tovi_conf_section_t s, const char *attr, long *out, std::string *error,
                   const std::string &where) {
  int64_t v = 0;
  std::string text;
  if (!tovi_conf_get_string(s, (std::string("self::node()/@") + attr).c_str(), &text)) return true;
  if (!tovi_conf_get_int64(s, (std::string("self::node()/@") + attr).c_str(), &v) || v <= 0) {
    *error = where + "/@" + attr + " must be a positive number";
    return false;
  }
  *out = long(v);
  return true;
}

bool read_settings(tovi_conf_section_t s, const std::string &kind, int index, outlet_settings_t *o,
                   std::string *error) {
  std::string where = "//notify/" + kind + "[" + std::to_string(index) + "]";
  if (!tovi_conf_get_string(s, "self::node()/@name", &o->name) || o->name.empty())
    o->name = kind + std::to_string(index);
  std::string url;
  if (tovi_conf_get_string(s, "self::node()/@url", &url) && !url.empty()) o->urls.push_back(url);
  for (tovi_conf_section_t u : tovi_conf_get_sections(s, "self::node()/url")) {
    std::string text;
    if (tovi_conf_get_string(u, "self::node()", &text) && !text.empty()) o->urls.push_back(text);
  }
  if (o->urls.empty()) {
    *error = where + " needs a url";
    return false;
  }
  for (std::string &u : o->urls) {
    if (u.rfind("http://", 0) != 0 && u.rfind("https://", 0) != 0) {
      *error = where + ": url " + u + " is not http:// or https://";
      return false;
    }
    if (kind == "alertmanager" && !ends_with(u, alertmanager_api)) {
      while (!u.empty() && u.back() == '/')
        u.pop_back();
      u += alertmanager_api;
    }
  }
  long queue = long(o->queue_size), batch = long(o->batch);
  if (!read_positive(s, "queue_size", &queue, error, where) ||
      !read_positive(s, "batch", &batch, error, where) ||
      !read_positive(s, "timeout_ms", &o->timeout_ms, error, where) ||
      !read_positive(s, "retry_initial_ms", &o->retry_initial_ms, error, where) ||
      !read_positive(s, "retry_max_ms", &o->retry_max_ms, error, where) ||
      !read_positive(s, "resend_interval_ms", &o->resend_interval_ms, error, where))
    return false;
  o->queue_size = size_t(queue);
  o->batch = size_t(batch);
  if (o->retry_max_ms < o->retry_initial_ms) o->retry_max_ms = o->retry_initial_ms;
  tovi_conf_get_string(s, "self::node()/@generator_url", &o->generator_url);
  std::string format;
  if (tovi_conf_get_string(s, "self::node()/@format", &format)) {
    if (format == "compact")
      o->compact = true;
    else if (format != "bus") {
      *error = where + "/@format must be \"bus\" or \"compact\"";
      return false;
    }
  }
  tovi_conf_get_string(s, "self::node()/@bearer_token", &o->bearer_token);
  tovi_conf_get_string(s, "self::node()/@hmac_secret", &o->hmac_secret);
  std::string header;
  if (tovi_conf_get_string(s, "self::node()/@signature_header", &header) && !header.empty())
    o->signature_header = header;
  tovi_conf_get_string(s, "self::node()/@ca_file", &o->ca_file);
  tovi_conf_get_string(s, "self::node()/@cert_file", &o->cert_file);
  tovi_conf_get_string(s, "self::node()/@key_file", &o->key_file);
  tovi_conf_get_boolean(s, "self::node()/@verify", &o->verify_peer);
  for (const std::string *f : {&o->ca_file, &o->cert_file, &o->key_file})
    if (!f->empty() && access(f->c_str(), R_OK) != 0) {
      *error = where + ": cannot read " + *f;
      return false;
    }
  return true;
}

bool configure_held(std::string *error);

}  // namespace

bool outlets_configure(std::string *error) {
  tovi_conf_section_read_hold();
  bool ok = configure_held(error);
  tovi_conf_section_read_release();
  return ok;
}

namespace {

bool configure_held(std::string *error) {
  tovi_conf_section_t notify = tovi_conf_get_section(nullptr, "//notify");
  if (!notify) return true;
  // A misspelt outlet would otherwise leave alerts silently undelivered.
  for (tovi_conf_section_t child : tovi_conf_get_sections(notify, "self::node()/*")) {
    std::string name = tovi_conf_section_name(child);
    if (name != "alertmanager" && name != "webhook") {
      *error = "//notify/" + name + " is not an outlet (alertmanager or webhook)";
      return false;
    }
  }
  std::vector<std::unique_ptr<outlet_c>> made;
  int index = 0;
  for (const char *kind : {"alertmanager", "webhook"}) {
    index = 0;
    for (tovi_conf_section_t s :
         tovi_conf_get_sections(notify, (std::string("self::node()/") + kind).c_str())) {
      outlet_settings_t settings;
      if (!read_settings(s, kind, ++index, &settings, error)) return false;
      if (std::string(kind) == "webhook") settings.batch = 1;
      made.push_back(std::string(kind) == "alertmanager" ? alertmanager_outlet_new(settings)
                                                         : webhook_outlet_new(settings));
    }
  }
  for (size_t i = 0; i < made.size(); i++)
    for (size_t k = 0; k < i; k++)
      if (made[i]->settings().name == made[k]->settings().name) {
        *error = "//notify: two outlets are named " + made[i]->settings().name;
        return false;
      }
  for (auto &o : made)
    if (!o->start(error)) {
      for (auto &started : made)
        started->stop();
      return false;
    }
  for (auto &o : made)
    outlets.push_back(o.release());
  // Release: a publisher that sees active sees the registry complete.
  active.store(!outlets.empty(), std::memory_order_release);
  return true;
}

}  // namespace

void outlets_init(void) {
  stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "notify");
  if (ns) outlet_register_label_statistics(ns);
  tovi_log_stream_find("error/notify");
  std::string error;
  if (!outlets_configure(&error)) {
    tovi_log(tovi_error, "notify: %s\n", error.c_str());
    exit(2);
  }
  std::lock_guard<std::mutex> g(registry_lock);
  for (outlet_c *o : outlets) {
    if (ns) o->register_statistics(ns);
    tovi_log(tovi_notice, "notify: outlet %s sends to %zu target(s)\n", o->settings().name.c_str(),
             o->settings().urls.size());
  }
}

bool outlets_active(void) {
  return active.load(std::memory_order_acquire);
}

void outlets_publish(const outlet_alert_sp &alert) {
  if (!alert || !outlets_active()) return;
  for (outlet_c *o : outlets)
    o->enqueue(o->admit(alert));
}

void outlets_shutdown(void) {
  active.store(false, std::memory_order_release);
  std::lock_guard<std::mutex> g(registry_lock);
  for (outlet_c *o : outlets) {
    o->stop();
    graveyard.push_back(o);
  }
  outlets.clear();
}
