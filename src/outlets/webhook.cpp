// The webhook outlet: one POST per announced state, in the order the states were announced.
//
// The body is the bus document exactly as published, or with format="compact" a small document
// that carries what people read:
//   {"status": "firing"|"resolved", "ecid": 12, "stream": "<signature>", "severity": 2 or null,
//    "at": "<RFC 3339>", "value": "<text>", "labels": {...}, "annotations": {...}}
// With a secret, the body is signed with HMAC-SHA256 and the signature sent as
// "<signature_header>: sha256=<lower-case hex>", so a receiver can tell the daemon's posts from
// anyone else's.
#include <json-c/json.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "outlets/outlets_internal.h"

namespace {

json_object *string_map(const outlet_labels_t &labels) {
  json_object *o = json_object_new_object();
  for (const auto &[k, v] : labels)
    json_object_object_add(o, k.c_str(), json_object_new_string_len(v.data(), int(v.size())));
  return o;
}

class webhook_c final : public outlet_c {
 public:
  explicit webhook_c(outlet_settings_t s) : outlet_c(std::move(s)) {}

  size_t batch_max() const override { return 1; }

  std::vector<outlet_alert_sp> admit(const outlet_alert_sp &alert) override { return {alert}; }

  std::string encode(const std::vector<outlet_alert_sp> &batch, uint64_t) override {
    const outlet_alert_t &a = *batch.front();
    if (!settings().compact) return a.bus_document;
    json_object *o = json_object_new_object();
    json_object_object_add(o, "status", json_object_new_string(a.resolved ? "resolved" : "firing"));
    json_object_object_add(o, "ecid", json_object_new_uint64(a.ecid));
    json_object_object_add(o, "stream",
                           json_object_new_string_len(a.stream.data(), int(a.stream.size())));
    json_object_object_add(o, "severity", a.resolved ? nullptr : json_object_new_int(a.severity));
    json_object_object_add(o, "at", json_object_new_string(outlet_rfc3339(a.ms).c_str()));
    json_object_object_add(o, "value",
                           json_object_new_string_len(a.value.data(), int(a.value.size())));
    json_object_object_add(o, "labels", string_map(a.labels));
    json_object_object_add(o, "annotations", string_map(a.annotations));
    std::string body = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
    json_object_put(o);
    return body;
  }

  std::vector<std::string> headers(const std::string &body) override {
    const std::string &secret = settings().hmac_secret;
    if (secret.empty()) return {};
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), secret.data(), int(secret.size()),
              reinterpret_cast<const unsigned char *>(body.data()), body.size(), mac, &len))
      return {};
    static const char hex[] = "0123456789abcdef";
    std::string h = settings().signature_header + ": sha256=";
    for (unsigned int i = 0; i < len; i++) {
      h.push_back(hex[mac[i] >> 4]);
      h.push_back(hex[mac[i] & 15]);
    }
    return {h};
  }
};

}  // namespace

std::unique_ptr<outlet_c> webhook_outlet_new(outlet_settings_t settings) {
  return std::make_unique<webhook_c>(std::move(settings));
}
