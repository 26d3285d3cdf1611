// The words people read: a ruleset's optional title, summary, labels and annotations, the labels
// of an announced state, and the placeholders of summaries and annotations.
//
// Placeholders are substituted, never evaluated: the only forms are {{value}}, {{metric}} and
// {{tag:<category>}}; anything else between braces stays as written. Every rendered text is
// bounded (outlet_render_max), so a long tag value or metric name cannot grow an alert.
#include <json-c/json.h>

#include <atomic>
#include <cstring>

#include "outlets/outlets.h"
#include "outlets/outlets_internal.h"
#include "daemon_stats.h"
#include "tovi/tovi_log.h"
#include "vask/vask_base64.h"

namespace {

// The statistic "notify"/"ignored_keys": ruleset keys for people ignored for their type.
std::atomic<uint64_t> ignored_keys{0};

void ignore_key(uint64_t ecid, const char *key, const char *why) {
  ignored_keys.fetch_add(1, std::memory_order_relaxed);
  static tovi_log_stream_t ls = tovi_log_stream_find("error/rules");
  tovi_log_fields(ls, ({"ecid", (unsigned long long)ecid}), "ruleset[%lu] key \"%s\" ignored: %s\n",
                  (unsigned long)ecid, key, why);
}

// A map of strings; members that are not strings are ignored one by one.
bool read_string_map(json_object *o, uint64_t ecid, const char *key, outlet_labels_t *out) {
  json_object *map = nullptr;
  if (!json_object_object_get_ex(o, key, &map) || !map) return false;
  if (!json_object_is_type(map, json_type_object)) {
    ignore_key(ecid, key, "not an object of strings");
    return false;
  }
  json_object_object_foreach(map, name, value) {
    if (!json_object_is_type(value, json_type_string) || !*name) {
      ignore_key(ecid, key, "a member is not a string");
      continue;
    }
    out->emplace_back(name, std::string(json_object_get_string(value),
                                        size_t(json_object_get_string_len(value))));
  }
  return true;
}

bool read_string(json_object *o, uint64_t ecid, const char *key, std::string *out) {
  json_object *v = nullptr;
  if (!json_object_object_get_ex(o, key, &v) || !v) return false;
  if (!json_object_is_type(v, json_type_string)) {
    ignore_key(ecid, key, "not a string");
    return false;
  }
  out->assign(json_object_get_string(v), size_t(json_object_get_string_len(v)));
  return true;
}

json_object *labels_to_json(const outlet_labels_t &labels) {
  json_object *o = json_object_new_object();
  for (const auto &[k, v] : labels)
    json_object_object_add(o, k.c_str(), json_object_new_string_len(v.data(), int(v.size())));
  return o;
}

// Replaces every byte that does not belong to a well-formed UTF-8 sequence with '?': tag values
// decoded from base64 may hold any bytes, and the router refuses a whole request over one
// label that is not UTF-8.
void make_utf8(std::string *s) {
  const size_t n = s->size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>((*s)[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 0;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; k++)
      ok = (static_cast<unsigned char>((*s)[i + k]) & 0xC0) == 0x80;
    if (ok && len > 1) {
      // No overlong forms, surrogates or code points beyond U+10FFFF.
      uint32_t cp = c & (0x7F >> len);
      for (size_t k = 1; k < len; k++)
        cp = (cp << 6) | (static_cast<unsigned char>((*s)[i + k]) & 0x3F);
      static const uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = cp >= min_cp[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (!ok) {
      (*s)[i] = '?';
      len = 1;
    }
    i += len;
  }
}

// Makes s valid UTF-8 and cuts it to at most max bytes without splitting a sequence, marking the
// cut with "...".
void bound(std::string *s, size_t max) {
  make_utf8(s);
  if (s->size() <= max) return;
  size_t cut = max - 3;
  while (cut > 0 && (static_cast<unsigned char>((*s)[cut]) & 0xC0) == 0x80)
    cut--;
  s->resize(cut);
  s->append("...");
}

bool has_label(const outlet_labels_t &labels, std::string_view name) {
  for (const auto &[k, _] : labels)
    if (k == name) return true;
  return false;
}

}  // namespace

void outlet_register_label_statistics(stats_ns_t *ns) {
  stats_opts_t opts;
  opts.units = "keys";
  stats_register_u64(ns, "ignored_keys", STATS_COUNTER, &ignored_keys, opts);
}

outlet_text_sp outlet_text_parse(json_object *definition, uint64_t ecid) {
  if (!definition || !json_object_is_type(definition, json_type_object)) return {};
  auto text = std::make_shared<outlet_text_t>();
  bool any = read_string(definition, ecid, "title", &text->title);
  any |= read_string(definition, ecid, "summary", &text->summary);
  any |= read_string_map(definition, ecid, "labels", &text->labels);
  any |= read_string_map(definition, ecid, "annotations", &text->annotations);
  if (!any) return {};
  return text;
}

bool outlet_text_equal(const outlet_text_sp &a, const outlet_text_sp &b) {
  static const outlet_text_t none;
  const outlet_text_t &x = a ? *a : none;
  const outlet_text_t &y = b ? *b : none;
  return x.title == y.title && x.summary == y.summary && x.labels == y.labels &&
         x.annotations == y.annotations;
}

void outlet_text_to_json(const outlet_text_sp &text, json_object *o) {
  if (!text) return;
  if (!text->title.empty())
    json_object_object_add(o, "title",
                           json_object_new_string_len(text->title.data(), int(text->title.size())));
  if (!text->summary.empty())
    json_object_object_add(
        o, "summary", json_object_new_string_len(text->summary.data(), int(text->summary.size())));
  if (!text->labels.empty()) json_object_object_add(o, "labels", labels_to_json(text->labels));
  if (!text->annotations.empty())
    json_object_object_add(o, "annotations", labels_to_json(text->annotations));
}

std::string outlet_render(std::string_view templ, const outlet_render_ctx_t &ctx) {
  std::string out;
  out.reserve(std::min(templ.size(), outlet_render_max));
  size_t i = 0;
  while (i < templ.size() && out.size() <= outlet_render_max) {
    size_t open = templ.find("{{", i);
    if (open == std::string_view::npos) {
      out.append(templ.substr(i));
      break;
    }
    out.append(templ.substr(i, open - i));
    size_t close = templ.find("}}", open + 2);
    if (close == std::string_view::npos) {
      out.append(templ.substr(open));
      break;
    }
    std::string_view name = templ.substr(open + 2, close - open - 2);
    if (name == "value") {
      out.append(ctx.value);
    } else if (name == "metric") {
      out.append(ctx.metric);
    } else if (name.substr(0, 4) == "tag:" && ctx.tags) {
      std::string_view category = name.substr(4);
      for (const auto &[k, v] : *ctx.tags)
        if (k == category) {
          out.append(v);
          break;
        }
    } else if (name.substr(0, 4) != "tag:") {
      out.append(templ.substr(open, close + 2 - open));  // not ours: kept as written
    }
    i = close + 2;
  }
  bound(&out, outlet_render_max);
  return out;
}

outlet_labels_t outlet_parse_stream_tags(std::string_view st) {
  outlet_labels_t tags;
  // Base64 has no commas or colons, so the pieces split on them even in their b"..." form.
  auto decode = [](std::string_view part, std::string *out) {
    if (part.size() >= 3 && part[0] == 'b' && part[1] == '"' && part.back() == '"') {
      std::string_view b64 = part.substr(2, part.size() - 3);
      std::string buf(vask_base64_decoded_max(b64.size()), '\0');
      long n = vask_base64_decode(b64.data(), b64.size(), reinterpret_cast<uint8_t *>(buf.data()));
      if (n < 0) return false;
      buf.resize(size_t(n));
      *out = std::move(buf);
      return true;
    }
    out->assign(part);
    return true;
  };
  size_t i = 0;
  while (i < st.size()) {
    size_t comma = st.find(',', i);
    std::string_view piece = st.substr(i, comma == std::string_view::npos ? st.npos : comma - i);
    i = comma == std::string_view::npos ? st.size() : comma + 1;
    // The category ends at the first colon outside a quoted form.
    size_t colon = std::string_view::npos;
    bool quoted = false;
    for (size_t k = 0; k < piece.size(); k++) {
      if (piece[k] == '"') quoted = !quoted;
      if (piece[k] == ':' && !quoted) {
        colon = k;
        break;
      }
    }
    std::string category, value;
    if (colon == std::string_view::npos || colon == 0) continue;
    if (!decode(piece.substr(0, colon), &category) || !decode(piece.substr(colon + 1), &value))
      continue;
    tags.emplace_back(std::move(category), std::move(value));
  }
  return tags;
}

std::string outlet_label_name(std::string_view name) {
  std::string out;
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) out.push_back('_');
  for (char c : name) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    out.push_back(ok ? c : '_');
  }
  return out;
}

void outlet_build_labels(const outlet_source_t &src, outlet_alert_t *alert) {
  const outlet_text_t *text = src.text.get();
  outlet_labels_t &labels = alert->labels;
  labels.clear();
  std::string alertname =
      text && !text->title.empty() ? text->title : "ruleset_" + std::to_string(src.ecid);
  bound(&alertname, outlet_render_max);
  labels.emplace_back("alertname", std::move(alertname));
  labels.emplace_back(
      "severity", src.severity == 2147483647 ? std::string("clear") : std::to_string(src.severity));
  labels.emplace_back("account", std::to_string(src.account_id));
  // The router drops labels with empty values; leave them out rather than send them.
  auto add = [&](const char *name, const std::string &value) {
    if (value.empty()) return;
    std::string v = value;
    bound(&v, outlet_render_max);
    labels.emplace_back(name, std::move(v));
  };
  add("check", src.check);
  add("host", src.host);
  add("metric", src.metric);
  add("broker", src.broker);
  const size_t fixed = labels.size();
  static const char *const reserved[] = {"alertname", "severity", "account", "check",
                                         "host",      "metric",   "broker"};
  auto is_reserved = [](std::string_view n) {
    for (const char *r : reserved)
      if (n == r) return true;
    return false;
  };

  outlet_labels_t tags = outlet_parse_stream_tags(src.st_tags);
  for (const auto &[category, value] : tags) {
    std::string name = outlet_label_name(category);
    if (value.empty() || is_reserved(name) || has_label(labels, name)) continue;
    std::string v = value;
    bound(&v, outlet_render_max);
    labels.emplace_back(std::move(name), std::move(v));
  }
  if (text) {
    for (const auto &[k, v] : text->labels) {
      std::string name = outlet_label_name(k);
      if (is_reserved(name)) continue;
      std::string value = v;
      bound(&value, outlet_render_max);
      bool replaced = false;
      for (size_t i = fixed; i < labels.size(); i++)
        if (labels[i].first == name) {
          labels[i].second = value;
          replaced = true;
        }
      if (!replaced) labels.emplace_back(std::move(name), std::move(value));
    }
  }

  alert->annotations.clear();
  if (text) {
    outlet_render_ctx_t ctx;
    ctx.value = src.value;
    ctx.metric = src.metric;
    ctx.tags = &tags;
    if (!text->summary.empty())
      alert->annotations.emplace_back("summary", outlet_render(text->summary, ctx));
    for (const auto &[k, v] : text->annotations) {
      if (k == "summary" && !text->summary.empty()) continue;
      alert->annotations.emplace_back(k, outlet_render(v, ctx));
    }
  }
}
