// What the outlet files share: an outlet's settings and counters, the kinds of outlet, and the
// delivery target with its queue and thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outlets/outlets.h"

struct stats_ns_t;
struct stats_histogram_t;

// Settings of one outlet, read from its element under <notify>. Constant once configured.
struct outlet_settings_t {
  std::string name;                 // the element's "name" (default: its kind and index)
  std::vector<std::string> urls;    // one delivery target each
  size_t queue_size = 10000;        // alerts waiting per target before new ones are dropped
  size_t batch = 64;                // alerts in one request (webhooks: always 1)
  long timeout_ms = 10000;          // one request, connection included
  long retry_initial_ms = 500;      // first back-off
  long retry_max_ms = 30000;        // longest back-off
  long resend_interval_ms = 60000;  // alert routers: re-send of firing alerts
  std::string generator_url;        // alert routers: prefix of generatorURL (the ecid follows)
  bool compact = false;             // webhooks: the compact document instead of the bus's
  std::string bearer_token;         // sent as "Authorization: Bearer <token>" when set
  std::string hmac_secret;          // webhooks: signs the body when set
  std::string signature_header = "X-Queltd-Signature";
  std::string ca_file, cert_file, key_file;  // TLS: verify with, and present a certificate
  bool verify_peer = true;
};

// An outlet's counters, summed over its targets; published under "notify"/<name>.
struct outlet_counters_t {
  std::atomic<uint64_t> queued{0};          // alerts accepted into a queue
  std::atomic<uint64_t> sent{0};            // alerts the target took (2xx)
  std::atomic<uint64_t> retried{0};         // requests tried again after a failure
  std::atomic<uint64_t> dropped{0};         // alerts not queued: the queue was full
  std::atomic<uint64_t> rejected{0};        // alerts the target refused for good (4xx but 429)
  std::atomic<uint64_t> resent{0};          // firing alerts re-sent while they stay raised
  std::atomic<uint64_t> resolved_stale{0};  // firing alerts resolved because their stream went
  // Seconds from publish to accepted; set once the statistics are registered, which may be after
  // the targets started.
  std::atomic<stats_histogram_t *> latency{nullptr};
};

class outlet_target_c;

// One configured outlet. The kind decides what a request carries.
class outlet_c {
 public:
  explicit outlet_c(outlet_settings_t settings);
  virtual ~outlet_c();
  outlet_c(const outlet_c &) = delete;
  outlet_c &operator=(const outlet_c &) = delete;

  const outlet_settings_t &settings() const { return _settings; }
  outlet_counters_t &counters() { return _counters; }

  // The alerts this outlet sends for an announced state, in order (none, one, or a resolve of
  // the previous state followed by the new one). Any thread; never blocks on the network.
  virtual std::vector<outlet_alert_sp> admit(const outlet_alert_sp &alert) = 0;
  // The request body for a batch of alerts, at now_ms.
  virtual std::string encode(const std::vector<outlet_alert_sp> &batch, uint64_t now_ms) = 0;
  // Extra headers for a body ("Name: value").
  virtual std::vector<std::string> headers(const std::string & /*body*/) { return {}; }
  // Alerts to send again now (alert routers: the firing ones); called by target threads when
  // their queue is empty and the re-send interval has passed. May publish resolves of alerts
  // whose stream went.
  virtual std::vector<outlet_alert_sp> resend_set() { return {}; }
  // Whether this outlet re-sends at all.
  virtual bool resends() const { return false; }
  virtual size_t batch_max() const { return _settings.batch; }

  // Starts a thread per URL. Returns false with *error set when one cannot start.
  bool start(std::string *error);
  // Queues alerts on every target, in order; drops what does not fit. Any thread.
  void enqueue(const std::vector<outlet_alert_sp> &alerts);
  // Stops and joins every target thread.
  void stop();
  // Alerts waiting, over every target.
  uint64_t queue_depth() const;
  void register_statistics(stats_ns_t *parent);

 private:
  outlet_settings_t _settings;
  outlet_counters_t _counters;
  std::vector<std::unique_ptr<outlet_target_c>> _targets;
};

// Kinds, created by outlets_configure.
std::unique_ptr<outlet_c> alertmanager_outlet_new(outlet_settings_t settings);
std::unique_ptr<outlet_c> webhook_outlet_new(outlet_settings_t settings);

// RFC 3339 text of a time in milliseconds, UTC ("2026-12-08T08:10:00.123Z").
std::string outlet_rfc3339(uint64_t ms);
uint64_t outlet_now_ms(void);

// Registers "ignored_keys" in the namespace.
void outlet_register_label_statistics(stats_ns_t *ns);
